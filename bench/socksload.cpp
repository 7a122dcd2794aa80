// socksload: the load case the shared socksbench tool does not cover, with its own destination
// server on 127.0.0.1 (an ephemeral port):
//
//   socksload slow --proxy IP:PORT --clients C --seconds S [--every-ms M]
//       C SOCKS4 clients of a destination that sends as fast as it can; the even ones read one
//       byte every M ms (100), the odd ones read nothing. Prints "ready" once every client has
//       its grant, then after S seconds {"ok":..}.
//
// Exit status: 0 ok, 1 failure (the JSON says which), 2 usage.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options
{
    std::string mode;
    sockaddr_in proxy {};
    int clients = 16;
    double seconds = 10;
    int everyMs = 100;
};

std::atomic<bool> failed { false };
std::string failure;

/// Records the first failure; withErrno adds the system's reason (0: the peer closed).
void fail(const std::string &what, bool withErrno = true)
{
    const std::string reason = !withErrno ? "" : errno ? std::strerror(errno) : "closed";
    if (!failed.exchange(true))
        failure = what + (reason.empty() ? "" : ": " + reason);
}

[[noreturn]] void finish(const std::string &figures)
{
    if (failed)
        std::printf("{\"ok\":false,\"error\":\"%s\"}\n", failure.c_str());
    else
        std::printf("{\"ok\":true%s}\n", figures.c_str());
    std::fflush(stdout);
    _exit(failed ? 1 : 0); // destination threads may still be blocked in send()
}

bool sendAll(int fd, const void *data, size_t size)
{
    const auto *p = static_cast<const unsigned char *>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool recvAll(int fd, void *data, size_t size)
{
    auto *p = static_cast<unsigned char *>(data);
    while (size > 0) {
        const ssize_t n = ::recv(fd, p, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = 0;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

sockaddr *asAddress(sockaddr_in &a)
{
    return reinterpret_cast<sockaddr *>(&a);
}

/// A socket connected to the proxy (blocking, 20 s timeouts), or -1.
int connectProxy(const Options &o)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit { 20, 0 };
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in proxy = o.proxy;
    if (::connect(fd, asAddress(proxy), sizeof proxy) != 0) {
        fail("connect to the proxy");
        ::close(fd);
        return -1;
    }
    return fd;
}

/// A listening socket on 127.0.0.1; its port in *port.
int listenLocal(uint16_t *port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(fd, asAddress(a), sizeof a) != 0 || ::listen(fd, 1024) != 0
        || ::getsockname(fd, asAddress(a), &size) != 0) {
        std::perror("socksload: destination server");
        std::exit(1);
    }
    *port = ntohs(a.sin_port);
    return fd;
}

/// The slow readers' destination: a thread per connection that sends until the send fails.
void sourceServer(int listener)
{
    for (;;) {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        std::thread([c] {
            static const std::vector<char> chunk(1 << 16, 'x');
            while (sendAll(c, chunk.data(), chunk.size())) { }
            ::close(c);
        }).detach();
    }
}

[[noreturn]] void runSlow(const Options &o)
{
    uint16_t port = 0;
    std::thread(sourceServer, listenLocal(&port)).detach();
    std::vector<int> clients;
    for (int i = 0; i < o.clients && !failed; ++i) {
        const int fd = connectProxy(o);
        unsigned char request[] = { 4, 1, 0, 0, 127, 0, 0, 1, 's', 'l', 'o', 'w', 0 };
        request[2] = static_cast<unsigned char>(port >> 8);
        request[3] = static_cast<unsigned char>(port & 0xff);
        unsigned char grant[8] = {};
        if (fd >= 0 && !(sendAll(fd, request, sizeof request) && recvAll(fd, grant, 8)))
            fail("SOCKS4 request");
        else if (fd >= 0 && grant[1] != 0x5A)
            fail("SOCKS4 request refused, code " + std::to_string(grant[1]), false);
        clients.push_back(fd);
    }
    if (failed)
        finish({});
    std::printf("ready\n");
    std::fflush(stdout);
    const auto end = Clock::now() + std::chrono::duration<double>(o.seconds);
    long read = 0;
    while (Clock::now() < end && !failed) {
        std::this_thread::sleep_for(std::chrono::milliseconds(o.everyMs));
        for (size_t i = 0; i < clients.size(); i += 2) {
            char byte;
            const ssize_t n = ::recv(clients[i], &byte, 1, MSG_DONTWAIT);
            if (n == 1)
                ++read;
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                fail("slow reader " + std::to_string(i) + ": connection ended");
        }
    }
    finish(",\"bytes_read\":" + std::to_string(read));
}

[[noreturn]] void usage()
{
    std::fprintf(stderr,
        "usage: socksload slow --proxy IP:PORT [--clients C] [--seconds S] [--every-ms M]\n");
    std::exit(2);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        usage();
    Options o;
    o.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--proxy") {
            const size_t colon = value.rfind(':');
            o.proxy.sin_family = AF_INET;
            o.proxy.sin_port = htons(static_cast<uint16_t>(std::atoi(value.c_str() + colon + 1)));
            if (colon == std::string::npos
                || ::inet_pton(AF_INET, value.substr(0, colon).c_str(), &o.proxy.sin_addr) != 1)
                usage();
        } else if (option == "--clients") {
            o.clients = std::atoi(value.c_str());
        } else if (option == "--seconds") {
            o.seconds = std::atof(value.c_str());
        } else if (option == "--every-ms") {
            o.everyMs = std::atoi(value.c_str());
        } else {
            usage();
        }
    }
    if (argc % 2 != 0 || o.proxy.sin_port == 0 || o.clients < 1 || o.everyMs < 1)
        usage();
    std::signal(SIGPIPE, SIG_IGN);
    if (o.mode == "slow")
        runSlow(o);
    usage();
}
