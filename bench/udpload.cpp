// udpload: datagrams per second through a SOCKS5 UDP association against the same load sent
// directly, to a UDP echo server of its own on 127.0.0.1 (an ephemeral port).
//
//   udpload --proxy IP:PORT [--seconds S] [--size BYTES] [--window W] [--form zero|name]
//       For S seconds (5) each way, keeps W datagrams (32) of BYTES payload (512) in flight and
//       counts the echoes: first directly, then through an association asked for with
//       DST 0.0.0.0:<our port> (zero) or the name "0":<our port> (name, as PySocks asks).
//       A window without an echo for 200 ms is sent again (counted as lost).
//       Prints {"ok":..,"direct_per_s":..,"proxy_per_s":..,"ratio":..,"lost_direct":..,...}.
//
// Exit status: 0 ok, 1 failure (the JSON says which), 2 usage.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

/// Ends the run with what failed; withErrno adds the system's reason (0: the peer closed).
[[noreturn]] void fail(const std::string &what, bool withErrno = true)
{
    const std::string reason = !withErrno ? "" : errno ? std::strerror(errno) : "closed";
    std::printf("{\"ok\":false,\"error\":\"%s%s%s\"}\n", what.c_str(), reason.empty() ? "" : ": ",
        reason.c_str());
    std::exit(1);
}

sockaddr_in loopback(uint16_t port = 0)
{
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

int udpSocket()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback();
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        fail("udp socket");
    return fd;
}

uint16_t portOf(int fd)
{
    sockaddr_in a {};
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
    return ntohs(a.sin_port);
}

void readExactly(int fd, unsigned char *to, size_t n)
{
    for (size_t got = 0; got < n;) {
        const ssize_t r = ::recv(fd, to + got, n - got, 0);
        if (r <= 0)
            fail("reading the proxy's reply");
        got += size_t(r);
    }
}

/// Asks for an association over `tcp`; returns where datagrams go (BND).
sockaddr_in associate(int tcp, const sockaddr_in &proxy, uint16_t ourPort, bool byName)
{
    if (::connect(tcp, reinterpret_cast<const sockaddr *>(&proxy), sizeof proxy) != 0)
        fail("connecting to the proxy");
    std::vector<unsigned char> request { 5, 1, 0, 5, 3, 0 };
    if (byName)
        request.insert(request.end(), { 3, 1, '0' });
    else
        request.insert(request.end(), { 1, 0, 0, 0, 0 });
    request.push_back(uint8_t(ourPort >> 8));
    request.push_back(uint8_t(ourPort));
    if (::send(tcp, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
        fail("sending the request");
    unsigned char reply[2 + 4 + 4 + 2];
    readExactly(tcp, reply, 2);
    if (reply[0] != 5 || reply[1] != 0)
        fail("the proxy refused method 00", false);
    readExactly(tcp, reply, 4);
    if (reply[1] != 0 || reply[3] != 1)
        fail("reply " + std::to_string(reply[1]) + ", address type " + std::to_string(reply[3]),
            false);
    readExactly(tcp, reply + 4, 6);
    sockaddr_in bound {};
    bound.sin_family = AF_INET;
    std::memcpy(&bound.sin_addr, reply + 4, 4);
    std::memcpy(&bound.sin_port, reply + 8, 2);
    return bound;
}

struct Figures
{
    double perSecond = 0;
    long lost = 0;
};

/// Round trips per second with `window` datagrams in flight; `header` goes before each payload
/// and is expected (ATYP 1, 10 bytes) before each echo.
Figures load(int fd, const sockaddr_in &to, const std::vector<unsigned char> &header, size_t size,
    int window, double seconds)
{
    std::vector<unsigned char> out(header);
    out.resize(header.size() + size, 'u');
    std::vector<unsigned char> in(65536);
    const auto sendOne = [&] {
        ::sendto(fd, out.data(), out.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    };
    for (int i = 0; i < window; ++i)
        sendOne();
    Figures f;
    long echoes = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, 200) == 0) { // the window is lost: start it again
            f.lost += window;
            for (int i = 0; i < window; ++i)
                sendOne();
            continue;
        }
        const ssize_t n = ::recv(fd, in.data(), in.size(), 0);
        if (n != ssize_t(out.size()) || !std::equal(header.begin(), header.end(), in.begin()))
            fail("an echo of the wrong form", false);
        ++echoes;
        sendOne();
    }
    f.perSecond = double(echoes) / std::chrono::duration<double>(Clock::now() - start).count();
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    sockaddr_in proxy {};
    double seconds = 5;
    size_t size = 512;
    int window = 32;
    bool byName = false, haveProxy = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string k = argv[i], v = argv[i + 1];
        if (k == "--proxy") {
            const auto colon = v.rfind(':');
            proxy.sin_family = AF_INET;
            proxy.sin_port = htons(uint16_t(std::atoi(v.c_str() + colon + 1)));
            haveProxy = colon != std::string::npos
                && ::inet_pton(AF_INET, v.substr(0, colon).c_str(), &proxy.sin_addr) == 1;
        } else if (k == "--seconds") {
            seconds = std::atof(v.c_str());
        } else if (k == "--size") {
            size = size_t(std::atol(v.c_str()));
        } else if (k == "--window") {
            window = std::atoi(v.c_str());
        } else if (k == "--form") {
            byName = v == "name";
        } else {
            haveProxy = false;
            break;
        }
    }
    if (!haveProxy || argc % 2 == 0 || size > 65507 - 10 || window < 1 || seconds <= 0) {
        std::fprintf(stderr,
            "usage: udpload --proxy IP:PORT [--seconds S] [--size BYTES] "
            "[--window W] [--form zero|name]\n");
        return 2;
    }

    const int echo = udpSocket();
    std::atomic<bool> done { false };
    std::thread server([&] {
        std::vector<unsigned char> b(65536);
        timeval tick { 0, 100 * 1000 };
        ::setsockopt(echo, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        while (!done) {
            sockaddr_in from {};
            socklen_t n = sizeof from;
            const ssize_t r =
                ::recvfrom(echo, b.data(), b.size(), 0, reinterpret_cast<sockaddr *>(&from), &n);
            if (r >= 0)
                ::sendto(echo, b.data(), size_t(r), 0, reinterpret_cast<sockaddr *>(&from), n);
        }
    });
    const sockaddr_in echoAt = loopback(portOf(echo));

    const int direct = udpSocket();
    const Figures d = load(direct, echoAt, {}, size, window, seconds);

    const int client = udpSocket();
    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in relay = associate(tcp, proxy, portOf(client), byName);
    std::vector<unsigned char> header { 0, 0, 0, 1, 127, 0, 0, 1 };
    header.push_back(uint8_t(ntohs(echoAt.sin_port) >> 8));
    header.push_back(uint8_t(ntohs(echoAt.sin_port)));
    const Figures p = load(client, relay, header, size, window, seconds);
    done = true;
    server.join();
    std::printf("{\"ok\":true,\"direct_per_s\":%.0f,\"proxy_per_s\":%.0f,\"ratio\":%.3f,"
                "\"lost_direct\":%ld,\"lost_proxy\":%ld}\n",
        d.perSecond, p.perSecond, p.perSecond / d.perSecond, d.lost, p.lost);
    ::close(tcp);
    return 0;
}
