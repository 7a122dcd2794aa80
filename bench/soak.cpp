// Soak: many connections through the headless proxy (bench_proxyd --log), each with its own
// payload sizes, chunking, closing order and faults, and afterwards the checks that the proxy is
// back where it started: every slot free, descriptors and memory at their idle figures, every
// byte that arrived equal to the byte that was sent, no crash, a clean exit.
//
// One thread and one epoll loop hold the clients, the destinations and the proxy's log. A
// connection's plan (kind, sizes, who closes first, where a reset hits) follows from the seed and
// its number, and so do its bytes: each direction is a stream computed from them, so every byte
// received is compared with the byte sent at that offset as it arrives, and a finished transfer
// must also have the full length. The first eight bytes a client sends are its number, which
// tells the destination which plan it is serving.
//
// Clients beyond the 16 slots wait for a slot (up to 64 of them), so with at most 20 clients
// every allowed client is served, and a close without any reply is a fault. With --no-waiting
// (for a relay that closes clients beyond its slots at once) such a close counts as "refused,
// not served" when at least 16 other connections may still have held a slot at that moment: a
// connection holds one until we have seen the proxy tear it down, and as the proxy has one
// thread, a connection we open after seeing that is handled after the slot was freed.
//
// Usage: soak [--connections N] [--seed N] [--parallel N] [--proxyd PATH] [--no-waiting]
//             [--rss-slack-mib N (-1: report only)] [--stall-seconds N] [--settle-seconds N]
// Exit status 0 when every check passed. Everything talks to 127.0.0.1 only.

#include "benchkit.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace benchkit;

namespace {

constexpr int SlotCount = 16;
constexpr uint64_t HeaderSize = 8;
constexpr uint64_t MaxPayload = 1024 * 1024;

struct Options
{
    uint64_t connections = 100000;
    uint64_t seed = 1;
    int parallel = 20;
    std::string proxyd;
    bool waiting = true;
    long rssSlackMiB = 16;
    int stallSeconds = 60;
    int settleSeconds = 0;
};

// --- Plans and streams ------------------------------------------------------------------------

uint64_t mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

enum class Direction : uint64_t { Up = 1, Down = 2 };

/// Bytes [offset, offset + n) of a connection's stream; upstream begins with its number.
void fillStream(
    uint64_t seed, uint64_t id, Direction dir, uint64_t offset, unsigned char *out, size_t n)
{
    const uint64_t base = mix(seed ^ mix(id * 4 + static_cast<uint64_t>(dir)));
    size_t i = 0;
    while (i < n) {
        const uint64_t at = offset + i;
        if (dir == Direction::Up && at < HeaderSize) {
            out[i++] = static_cast<unsigned char>(id >> (8 * at));
            continue;
        }
        const uint64_t word = mix(base + at / 8);
        for (uint64_t b = at % 8; b < 8 && i < n; ++b)
            out[i++] = static_cast<unsigned char>(word >> (8 * b));
    }
}

enum class Kind { Normal, DestRefuses, DestResets, ClientResets, ClientVanishes, Hold };

struct Plan
{
    Kind kind = Kind::Normal;
    uint64_t up = HeaderSize; ///< client to destination, the number included
    uint64_t down = 0; ///< destination to client
    uint64_t resetAt = HeaderSize; ///< a reset hits once the destination has this many bytes
    bool clientFirst = true; ///< Normal: the client closes first, else the destination
    bool halfClose = false; ///< the closing side shuts down its sending side and waits for EOF
    bool early = false; ///< the client sends its first bytes without waiting for the grant
};

uint64_t between(std::mt19937_64 &rng, uint64_t lo, uint64_t hi)
{
    return lo + rng() % (hi - lo + 1);
}

uint64_t payloadSize(std::mt19937_64 &rng)
{
    const uint64_t r = rng() % 100;
    if (r < 50)
        return between(rng, 0, 2048);
    if (r < 85)
        return between(rng, 2048, 64 * 1024);
    if (r < 98)
        return between(rng, 64 * 1024, 256 * 1024);
    return between(rng, 256 * 1024, MaxPayload);
}

Plan makePlan(uint64_t seed, uint64_t id)
{
    std::mt19937_64 rng(mix(seed * 31 + id));
    Plan p;
    const uint64_t r = rng() % 100;
    p.kind = r < 4 ? Kind::DestRefuses
        : r < 12   ? Kind::DestResets
        : r < 20   ? Kind::ClientResets
        : r < 24   ? Kind::ClientVanishes
                   : Kind::Normal;
    p.up = HeaderSize + payloadSize(rng);
    p.down = payloadSize(rng);
    p.resetAt = between(rng, HeaderSize, p.up);
    p.clientFirst = rng() % 2 == 0;
    p.halfClose = rng() % 2 == 0;
    p.early = rng() % 3 == 0;
    return p;
}

size_t chunkSize(std::mt19937_64 &rng)
{
    const uint64_t r = rng() % 10;
    return static_cast<size_t>(r < 3 ? between(rng, 1, 512)
            : r < 8                  ? between(rng, 512, 16 * 1024)
                                     : between(rng, 16 * 1024, 256 * 1024));
}

// --- Small POSIX helpers ----------------------------------------------------------------------

/// A loopback socket bound to a free port; listening unless `listening` is false, in which case
/// every connection to that port is refused for as long as the socket stays open.
int boundSocket(bool listening)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in a = loopback(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0
        || (listening && ::listen(fd, 1024) != 0)) {
        std::perror("soak: destination socket");
        std::exit(2);
    }
    return fd;
}

/// A process's open descriptors: all, and how many of them are pipes.
struct Fds
{
    long all = -1;
    long pipes = 0;
};

Fds countFds(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR *dir = ::opendir(path.c_str());
    Fds n;
    if (!dir)
        return n;
    n.all = 0;
    while (const dirent *e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        ++n.all;
        char target[64] = {};
        if (::readlink((path + '/' + e->d_name).c_str(), target, sizeof target - 1) > 0
            && std::strncmp(target, "pipe:", 5) == 0)
            ++n.pipes;
    }
    ::closedir(dir);
    return n;
}

/// Back to idle: every descriptor that was not open at idle is gone, except the pipes that the
/// endpoints keep for their next connection's zero-copy path (at most one per endpoint: two
/// descriptors, two endpoints per slot).
bool fdsBackToIdle(const Fds &idle, const Fds &now)
{
    const long kept = now.pipes - idle.pipes;
    return kept >= 0 && kept <= 4 * SlotCount && now.all - kept == idle.all;
}

long rssKiB(pid_t pid)
{
    return static_cast<long>(readMemory(pid).rss / 1024);
}

// --- The soak ---------------------------------------------------------------------------------

enum class Role { Client, Dest };
/// A client goes Connecting, AwaitReply, then Granted (or Holding), a destination AwaitNumber,
/// then Granted; Draining: its part is over and it waits for the end of the connection.
enum class Stage { Connecting, AwaitReply, AwaitNumber, Granted, Holding, Draining, Done };

struct Conn;

/// One of our sockets: a client towards the proxy, or a destination's accepted connection.
struct Peer
{
    explicit Peer(Role r) : role(r) { }

    Role role;
    Conn *conn = nullptr;
    int fd = -1;
    Stage stage = Stage::Connecting;
    uint64_t sent = 0;
    uint64_t received = 0;
    bool sendStopped = false;
    bool writing = false; ///< EPOLLOUT is registered
    unsigned char header[HeaderSize] {};
    bool late = false; ///< a destination that outlived its client's connection
    std::mt19937_64 rng;
};

struct Conn
{
    uint64_t id = 0;
    Plan plan;
    Peer client = Peer(Role::Client);
    Peer *dest = nullptr;
    bool destClosed = false;
    std::string out; ///< request bytes not yet sent
    std::string reply;
    bool granted = false;
    bool teardownSeen = false;
    int othersHeld = 0; ///< connections that may have held a slot when this one started
    uint64_t startSeq = 0;
};

class Soak
{
public:
    explicit Soak(const Options &o) : m_o(o) { }
    int run();

private:
    // The proxy process and its log.
    bool startProxy();
    void onLog();
    void parseLogLine(const std::string &line);
    // Connections.
    void start(uint64_t id, const Plan &plan);
    void onClientWritable(Conn &c);
    void onClientReadable(Conn &c);
    void onClientEnd(Conn &c, bool reset);
    void sendUp(Conn &c);
    void onAccept();
    void onDestReadable(Peer &d);
    void onDestEnd(Peer &d, bool reset);
    void sendDown(Peer &d);
    void afterProgress(Conn &c);
    void destMaybeClose(Peer &d);
    void destGotUp(Peer &d);
    void resetClient(Conn &c);
    void closePeer(Peer &p, bool reset = false);
    void setWriting(Peer &p, bool on);
    void sawTeardown(Conn &c);
    void maybeFinish(Conn &c);
    bool verify(Conn &c, Direction dir, uint64_t offset, const unsigned char *data, size_t n);
    void fault(const Conn *c, const std::string &what);
    // The loop.
    bool turn(int timeoutMs);
    bool waitFor(const std::function<bool()> &done, const char *what);
    void dumpLive();

    const Options &m_o;
    pid_t m_pid = -1;
    int m_logFd = -1;
    std::string m_logBuffer;
    std::array<bool, SlotCount> m_slotOpen {};
    uint64_t m_logRequests = 0;
    uint64_t m_logCloses = 0;
    int m_epoll = -1;
    int m_listener = -1;
    int m_refusing = -1;
    uint16_t m_proxyPort = 0;
    uint16_t m_destPort = 0;
    uint16_t m_refusingPort = 0;
    std::vector<std::unique_ptr<Conn>> m_conns; ///< by number; reset once finished
    std::vector<std::unique_ptr<Peer>> m_dests;
    std::vector<std::unique_ptr<Conn>> m_deadConns; ///< freed after each turn
    uint64_t m_live = 0;
    uint64_t m_started = 0;
    uint64_t m_vanishStarted = 0;
    int m_held = 0;
    int m_holdGranted = 0;
    uint64_t m_faults = 0;
    bool m_proxyGone = false;
    Clock::time_point m_lastProgress = Clock::now();
    std::vector<unsigned char> m_scratch = std::vector<unsigned char>(256 * 1024 + 16);
    std::vector<unsigned char> m_expected = std::vector<unsigned char>(256 * 1024 + 16);
    // Figures.
    uint64_t m_served = 0, m_destReset = 0, m_clientReset = 0, m_vanished = 0;
    uint64_t m_refusedReply = 0, m_refusedNoReply = 0, m_refusedByProxy = 0, m_anonymous = 0;
    uint64_t m_bytesUp = 0, m_bytesDown = 0;
    long m_peakFds = 0, m_peakRss = 0;
};

bool Soak::startProxy()
{
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    m_pid = ::fork();
    if (m_pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execl(m_o.proxyd.c_str(), m_o.proxyd.c_str(), "0", "--log", static_cast<char *>(nullptr));
        std::perror("soak: exec bench_proxyd");
        ::_exit(127);
    }
    ::close(out[1]);
    m_logFd = out[0];
    // The first line is the port; everything after it is the log.
    std::string first;
    char ch = 0;
    while (::read(m_logFd, &ch, 1) == 1 && ch != '\n')
        first += ch;
    m_proxyPort = static_cast<uint16_t>(std::atoi(first.c_str()));
    ::fcntl(m_logFd, F_SETFL, O_NONBLOCK);
    return m_proxyPort != 0;
}

void Soak::onLog()
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(m_logFd, buffer, sizeof buffer);
        if (n > 0) {
            m_logBuffer.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 && !m_proxyGone) {
            m_proxyGone = true;
            fault(nullptr, "the proxy's log ended: the proxy is gone");
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_logFd, nullptr);
        }
        break;
    }
    size_t start = 0;
    for (size_t nl; (nl = m_logBuffer.find('\n', start)) != std::string::npos; start = nl + 1)
        parseLogLine(m_logBuffer.substr(start, nl - start));
    m_logBuffer.erase(0, start);
}

void Soak::parseLogLine(const std::string &line)
{
    // Only the lines that open and close a slot matter here.
    int slot = -1;
    char side[16] = {};
    int used = 0;
    if (std::sscanf(line.c_str(), "%15s [%d] %n", side, &slot, &used) < 2 || slot < 0
        || slot >= SlotCount)
        return;
    const std::string rest = line.substr(static_cast<size_t>(used));
    const std::string who = side;
    bool &open = m_slotOpen.at(static_cast<size_t>(slot));
    if (who == "Proxy" && rest.rfind("Connection Request from ", 0) == 0) {
        if (open)
            fault(nullptr, "log: slot " + std::to_string(slot) + " handed out while busy");
        open = true;
        ++m_logRequests;
    } else if (rest == "Connection Closed" || rest.rfind("Error: ", 0) == 0) {
        if (!open)
            fault(nullptr, "log: slot " + std::to_string(slot) + " closed twice: " + line);
        open = false;
        ++m_logCloses;
    }
}

void Soak::fault(const Conn *c, const std::string &what)
{
    ++m_faults;
    if (m_faults <= 20) {
        if (c) {
            const Plan &p = c->plan;
            std::fprintf(stderr,
                "soak: FAULT connection %llu (kind %d, up %llu, down %llu, reset at %llu, %s "
                "first%s%s): %s\n",
                static_cast<unsigned long long>(c->id), static_cast<int>(p.kind),
                static_cast<unsigned long long>(p.up), static_cast<unsigned long long>(p.down),
                static_cast<unsigned long long>(p.resetAt),
                p.clientFirst ? "client" : "destination", p.halfClose ? ", half-close" : "",
                p.early ? ", early" : "", what.c_str());
        } else {
            std::fprintf(stderr, "soak: FAULT %s\n", what.c_str());
        }
    }
}

void Soak::setWriting(Peer &p, bool on)
{
    if (p.fd < 0 || p.writing == on)
        return;
    p.writing = on;
    epoll_event ev {};
    ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
    ev.data.ptr = &p;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, p.fd, &ev);
}

void Soak::closePeer(Peer &p, bool reset)
{
    if (p.fd < 0)
        return;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, p.fd, nullptr);
    if (reset)
        resetAndClose(p.fd);
    else
        ::close(p.fd);
    p.fd = -1;
    p.stage = Stage::Done;
    if (p.role == Role::Dest && p.conn) {
        p.conn->destClosed = true;
        p.conn->dest = nullptr;
    }
}

bool Soak::verify(Conn &c, Direction dir, uint64_t offset, const unsigned char *data, size_t n)
{
    const uint64_t total = dir == Direction::Up ? c.plan.up : c.plan.down;
    if (offset + n > total) {
        fault(&c,
            std::string(dir == Direction::Up ? "destination" : "client")
                + " received more bytes than were sent");
        return false;
    }
    fillStream(m_o.seed, c.id, dir, offset, m_expected.data(), n);
    if (std::memcmp(data, m_expected.data(), n) != 0) {
        size_t at = 0;
        while (data[at] == m_expected[at])
            ++at;
        fault(&c,
            std::string(dir == Direction::Up ? "upstream" : "downstream")
                + " byte differs at offset " + std::to_string(offset + at));
        return false;
    }
    (dir == Direction::Up ? m_bytesUp : m_bytesDown) += n;
    return true;
}

void Soak::start(uint64_t id, const Plan &plan)
{
    auto owned = std::make_unique<Conn>();
    Conn &c = *owned;
    c.id = id;
    c.plan = plan;
    c.client.conn = &c;
    c.client.rng.seed(mix(m_o.seed ^ (id << 1)));
    c.othersHeld = m_held;
    c.startSeq = m_started++;
    if (plan.kind == Kind::ClientVanishes)
        ++m_vanishStarted;
    if (m_conns.size() <= id)
        m_conns.resize(id + 1);
    m_conns[id] = std::move(owned);
    ++m_live;
    ++m_held;

    const uint16_t port = plan.kind == Kind::DestRefuses ? m_refusingPort : m_destPort;
    const unsigned char request[] = { 4, 1, static_cast<unsigned char>(port >> 8),
        static_cast<unsigned char>(port & 0xff), 127, 0, 0, 1, 's', 'o', 'a', 'k', 0 };
    c.out.assign(reinterpret_cast<const char *>(request), sizeof request);

    c.client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(c.client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const sockaddr_in a = loopback(m_proxyPort);
    if (::connect(c.client.fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0
        && errno != EINPROGRESS) {
        fault(&c, std::string("cannot connect to the proxy: ") + std::strerror(errno));
    }
    epoll_event ev {};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.ptr = &c.client;
    c.client.writing = true;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, c.client.fd, &ev);
}

void Soak::sendUp(Conn &c)
{
    Peer &p = c.client;
    if (!c.out.empty()) {
        const ssize_t n = ::send(p.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0)
            c.out.erase(0, static_cast<size_t>(n));
        else if (n < 0 && errno != EAGAIN)
            p.sendStopped = true; // refused or reset; reading tells which
    }
    const bool mayPayload = c.out.empty() && !p.sendStopped
        && (p.stage == Stage::Granted || (c.plan.early && p.stage == Stage::AwaitReply));
    if (mayPayload && p.sent < c.plan.up) {
        // A vanishing client sends its number at most, then goes.
        const uint64_t limit = c.plan.kind == Kind::ClientVanishes ? HeaderSize : c.plan.up;
        const size_t n = static_cast<size_t>(
            std::min<uint64_t>(chunkSize(p.rng), limit > p.sent ? limit - p.sent : 0));
        if (n > 0) {
            fillStream(m_o.seed, c.id, Direction::Up, p.sent, m_scratch.data(), n);
            const ssize_t w = ::send(p.fd, m_scratch.data(), n, MSG_NOSIGNAL);
            if (w > 0) {
                p.sent += static_cast<uint64_t>(w);
                m_lastProgress = Clock::now();
            } else if (w < 0 && errno != EAGAIN) {
                p.sendStopped = true;
                if (c.plan.kind == Kind::Normal && p.stage == Stage::Granted)
                    fault(&c, std::string("client send failed: ") + std::strerror(errno));
            }
        }
    }
    const bool more = !c.out.empty()
        || (mayPayload && p.sent < (c.plan.kind == Kind::ClientVanishes ? HeaderSize : c.plan.up));
    setWriting(p, more && !p.sendStopped);
    if (c.plan.kind == Kind::ClientVanishes && c.out.empty() && p.stage == Stage::AwaitReply
        && (!c.plan.early || p.sent >= HeaderSize || p.sendStopped)) {
        // Gone before the grant: our sending side closes; we read what still comes until EOF.
        ::shutdown(p.fd, SHUT_WR);
        p.stage = Stage::Draining;
        setWriting(p, false);
    }
}

void Soak::onClientWritable(Conn &c)
{
    Peer &p = c.client;
    if (p.stage == Stage::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == ECONNRESET) {
            p.stage = Stage::AwaitReply;
            onClientEnd(c, true);
            return;
        }
        if (error != 0) {
            fault(&c, std::string("cannot connect to the proxy: ") + std::strerror(error));
            closePeer(p);
            sawTeardown(c);
            maybeFinish(c);
            return;
        }
        p.stage = Stage::AwaitReply;
    }
    sendUp(c);
    afterProgress(c);
}

void Soak::onClientReadable(Conn &c)
{
    Peer &p = c.client;
    const size_t want = std::min(chunkSize(p.rng) + 1024, m_scratch.size());
    const ssize_t n = ::recv(p.fd, m_scratch.data(), want, 0);
    if (n < 0 && errno == EAGAIN)
        return;
    if (n <= 0) {
        onClientEnd(c, n < 0);
        return;
    }
    m_lastProgress = Clock::now();
    size_t used = 0;
    const auto got = static_cast<size_t>(n);
    if (c.reply.size() < 8 && !c.granted) {
        used = std::min(got, 8 - c.reply.size());
        c.reply.append(reinterpret_cast<const char *>(m_scratch.data()), used);
        if (c.reply.size() == 8) {
            const auto byte = [&c](size_t i) { return static_cast<unsigned char>(c.reply[i]); };
            const uint16_t port = static_cast<uint16_t>(byte(2) << 8 | byte(3));
            const bool addressOk = byte(4) == 127 && byte(5) == 0 && byte(6) == 0 && byte(7) == 1;
            if (byte(0) == 0 && byte(1) == 0x5a && c.plan.kind != Kind::DestRefuses && addressOk
                && port == m_destPort) {
                c.granted = true;
                if (p.stage == Stage::AwaitReply)
                    p.stage = c.plan.kind == Kind::Hold ? Stage::Holding : Stage::Granted;
                if (c.plan.kind == Kind::Hold && ++m_holdGranted == SlotCount) {
                    // Every slot serves one of these at once: let them all go.
                    for (auto &other : m_conns) {
                        if (other && other->plan.kind == Kind::Hold
                            && other->client.stage == Stage::Holding)
                            closePeer(other->client);
                    }
                }
            } else if (byte(0) == 0 && byte(1) == 0x5b && c.plan.kind == Kind::DestRefuses
                && addressOk && port == m_refusingPort) {
                ++m_refusedReply;
                p.stage = Stage::Draining;
                setWriting(p, false);
            } else {
                fault(&c, "unexpected reply to the request");
            }
        }
    }
    if (used < got) {
        if (!c.granted || p.stage == Stage::Draining)
            fault(&c, "client received bytes it should not have");
        else if (verify(c, Direction::Down, p.received, m_scratch.data() + used, got - used))
            p.received += got - used;
    }
    if (c.client.fd >= 0) {
        sendUp(c);
        afterProgress(c);
    }
}

void Soak::onClientEnd(Conn &c, bool reset)
{
    Peer &p = c.client;
    const Plan &plan = c.plan;
    m_lastProgress = Clock::now();
    if (!c.granted && c.reply.size() < 8 && p.stage != Stage::Draining) {
        // Closed without any reply.
        if (!c.reply.empty()) {
            fault(&c, "closed after a partial reply");
        } else if (plan.kind == Kind::DestRefuses) {
            ++m_refusedNoReply;
        } else if (!m_o.waiting
            && c.othersHeld + (m_started - c.startSeq - 1) >= uint64_t(SlotCount)) {
            ++m_refusedByProxy;
        } else {
            fault(&c,
                "refused with only " + std::to_string(c.othersHeld)
                    + " other connections in flight");
        }
    } else if (p.stage == Stage::Draining) {
        if (plan.kind == Kind::ClientVanishes)
            ++m_vanished;
        if (plan.kind == Kind::Normal && p.received != plan.down)
            fault(&c, "client got " + std::to_string(p.received) + " bytes before EOF");
        if (reset && plan.kind != Kind::ClientVanishes)
            fault(&c, "client saw a reset after a complete exchange");
    } else if (plan.kind == Kind::DestResets) {
        ++m_destReset;
    } else if (plan.kind == Kind::Normal && !plan.clientFirst) {
        if (reset || p.received != plan.down)
            fault(&c,
                std::string(reset ? "reset" : "EOF") + " after " + std::to_string(p.received)
                    + " bytes at the client");
        else
            ++m_served;
    } else {
        fault(&c,
            std::string("the proxy closed the client early (") + (reset ? "reset" : "EOF") + ")");
    }
    closePeer(p);
    sawTeardown(c);
    maybeFinish(c);
}

void Soak::afterProgress(Conn &c)
{
    Peer &p = c.client;
    const Plan &plan = c.plan;
    if (p.fd < 0 || p.stage != Stage::Granted || plan.kind != Kind::Normal || !plan.clientFirst)
        return;
    if (p.sent == plan.up && p.received == plan.down) {
        ++m_served;
        if (plan.halfClose) {
            ::shutdown(p.fd, SHUT_WR);
            p.stage = Stage::Draining;
            setWriting(p, false);
        } else {
            closePeer(p);
            maybeFinish(c);
        }
    }
}

void Soak::resetClient(Conn &c)
{
    if (c.client.fd < 0)
        return;
    ++m_clientReset;
    closePeer(c.client, true);
    maybeFinish(c);
}

void Soak::onAccept()
{
    for (;;) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        auto d = std::make_unique<Peer>(Role::Dest);
        d->fd = fd;
        d->stage = Stage::AwaitNumber;
        d->rng.seed(mix(static_cast<uint64_t>(fd) * 7919 + m_dests.size()));
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event ev {};
        ev.events = EPOLLIN;
        ev.data.ptr = d.get();
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
        m_dests.push_back(std::move(d));
    }
}

void Soak::sendDown(Peer &d)
{
    Conn *c = d.conn;
    if (!c || d.sendStopped || d.sent >= c->plan.down || d.stage != Stage::Granted) {
        setWriting(d, false);
        destMaybeClose(d);
        return;
    }
    const size_t n = std::min<size_t>(chunkSize(d.rng), c->plan.down - d.sent);
    fillStream(m_o.seed, c->id, Direction::Down, d.sent, m_scratch.data(), n);
    const ssize_t w = ::send(d.fd, m_scratch.data(), n, MSG_NOSIGNAL);
    if (w > 0) {
        d.sent += static_cast<uint64_t>(w);
        m_lastProgress = Clock::now();
    } else if (w < 0 && errno != EAGAIN) {
        d.sendStopped = true;
        if (c->plan.kind == Kind::Normal)
            fault(c, std::string("destination send failed: ") + std::strerror(errno));
    }
    setWriting(d, !d.sendStopped && d.sent < c->plan.down);
    destMaybeClose(d);
}

void Soak::destMaybeClose(Peer &d)
{
    Conn *c = d.conn;
    if (!c || d.fd < 0 || c->plan.kind != Kind::Normal || c->plan.clientFirst
        || d.sent != c->plan.down || d.received != c->plan.up || d.stage != Stage::Granted)
        return;
    if (c->plan.halfClose) {
        ::shutdown(d.fd, SHUT_WR);
        d.stage = Stage::Draining;
        setWriting(d, false);
    } else {
        closePeer(d);
        maybeFinish(*c);
    }
}

void Soak::onDestReadable(Peer &d)
{
    const size_t want = std::min(chunkSize(d.rng) + 1024, m_scratch.size());
    const bool number = d.stage == Stage::AwaitNumber;
    const ssize_t n = ::recv(d.fd, m_scratch.data(), number ? HeaderSize - d.received : want, 0);
    if (n < 0 && errno == EAGAIN)
        return;
    if (n <= 0) {
        onDestEnd(d, n < 0);
        return;
    }
    m_lastProgress = Clock::now();
    const auto got = static_cast<size_t>(n);
    if (number) {
        std::memcpy(d.header + d.received, m_scratch.data(), got);
        d.received += got;
        if (d.received < HeaderSize)
            return;
        uint64_t id = 0;
        for (uint64_t i = 0; i < HeaderSize; ++i)
            id |= static_cast<uint64_t>(d.header[i]) << (8 * i);
        Conn *c = id < m_conns.size() ? m_conns[id].get() : nullptr;
        if (!c) {
            // Its client has finished already, which only a client that left before its grant
            // may do; such a destination just waits for the end.
            if (id >= m_conns.size() || makePlan(m_o.seed, id).kind != Kind::ClientVanishes)
                fault(nullptr, "destination got an unknown number " + std::to_string(id));
            d.late = true;
            d.stage = Stage::Draining;
            return;
        }
        if (c->dest) {
            fault(c, "a second destination connection");
            return;
        }
        c->dest = &d;
        d.conn = c;
        d.stage = Stage::Granted;
        if (c->plan.kind == Kind::ClientVanishes || c->plan.kind == Kind::Hold)
            d.stage = Stage::Draining;
        else
            destGotUp(d); // the number alone may be all there is
        return;
    }
    Conn *c = d.conn;
    if (!c || d.stage == Stage::Draining) {
        if (c && c->plan.kind != Kind::ClientVanishes)
            fault(c, "destination got bytes after its exchange");
        return;
    }
    if (!verify(*c, Direction::Up, d.received, m_scratch.data(), got))
        return;
    d.received += got;
    destGotUp(d);
}

void Soak::destGotUp(Peer &d)
{
    Conn &c = *d.conn;
    if (c.plan.kind == Kind::DestResets && d.received >= c.plan.resetAt) {
        closePeer(d, true);
        maybeFinish(c);
        return;
    }
    if (c.plan.kind == Kind::ClientResets && d.received >= c.plan.resetAt)
        resetClient(c);
    sendDown(d);
}

void Soak::onDestEnd(Peer &d, bool reset)
{
    m_lastProgress = Clock::now();
    Conn *c = d.conn;
    if (!c) {
        if (!d.late && d.received < HeaderSize) {
            if (d.received > 0)
                fault(nullptr, "destination closed after part of a connection number");
            ++m_anonymous;
        }
        closePeer(d);
        return;
    }
    const Plan &plan = c->plan;
    const bool clientGone = c->client.fd < 0 || c->client.stage == Stage::Draining;
    if (plan.kind == Kind::Normal && d.stage != Stage::Draining) {
        if (!plan.clientFirst)
            fault(c, "the proxy closed the destination before it was done");
        else if (d.received != plan.up)
            fault(c,
                "destination got " + std::to_string(d.received) + " bytes before "
                    + (reset ? "a reset" : "EOF"));
        else if (reset)
            fault(c, "destination saw a reset after a complete exchange");
    } else if (plan.kind == Kind::ClientResets && !clientGone) {
        fault(c, "the proxy closed the destination before the client reset");
    }
    closePeer(d);
    sawTeardown(*c);
    maybeFinish(*c);
}

void Soak::sawTeardown(Conn &c)
{
    if (c.teardownSeen)
        return;
    c.teardownSeen = true;
    --m_held;
}

void Soak::maybeFinish(Conn &c)
{
    if (c.client.fd >= 0)
        return;
    // A granted connection has a destination to wait for, unless its client left before the
    // grant (then the destination may come, late, or never).
    const bool expectDest = c.granted && c.plan.kind != Kind::ClientVanishes;
    if (c.dest) {
        if (expectDest)
            return;
        c.dest->conn = nullptr;
        c.dest->late = true;
        c.dest = nullptr;
    } else if (expectDest && !c.destClosed) {
        return;
    }
    if (!c.teardownSeen) {
        // Only a destination that already went can be the last sign of this connection.
        sawTeardown(c);
    }
    --m_live;
    m_deadConns.push_back(std::move(m_conns[c.id]));
}

bool Soak::turn(int timeoutMs)
{
    std::array<epoll_event, 64> events {};
    const int n = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), timeoutMs);
    for (int k = 0; k < n; ++k) {
        const epoll_event &e = events.at(static_cast<size_t>(k));
        if (e.data.ptr == nullptr) {
            onAccept();
            continue;
        }
        if (e.data.ptr == &m_logFd) {
            onLog();
            continue;
        }
        auto *p = static_cast<Peer *>(e.data.ptr);
        if (p->fd < 0)
            continue;
        if (p->role == Role::Client) {
            Conn &c = *p->conn;
            if (e.events & EPOLLOUT)
                onClientWritable(c);
            if (p->fd >= 0 && (e.events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                onClientReadable(c);
        } else {
            if (e.events & EPOLLOUT)
                sendDown(*p);
            if (p->fd >= 0 && (e.events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                onDestReadable(*p);
        }
    }
    m_deadConns.clear();
    std::erase_if(m_dests, [](const std::unique_ptr<Peer> &d) { return d->fd < 0; });
    // Keep the destination peers' addresses stable: erase_if moves only the unique_ptrs.
    if (Clock::now() - m_lastProgress > std::chrono::seconds(m_o.stallSeconds)) {
        fault(nullptr, "no progress for " + std::to_string(m_o.stallSeconds) + " s");
        dumpLive();
        return false;
    }
    return !m_proxyGone;
}

bool Soak::waitFor(const std::function<bool()> &done, const char *what)
{
    m_lastProgress = Clock::now();
    while (!done()) {
        if (!turn(100)) {
            std::fprintf(stderr, "soak: gave up waiting for %s\n", what);
            return false;
        }
    }
    return true;
}

void Soak::dumpLive()
{
    int shown = 0;
    for (const auto &c : m_conns) {
        if (!c || shown++ >= 20)
            continue;
        std::fprintf(stderr,
            "  live %llu kind %d client fd %d stage %d sent %llu got %llu; dest %s stage %d "
            "sent %llu got %llu\n",
            static_cast<unsigned long long>(c->id), static_cast<int>(c->plan.kind), c->client.fd,
            static_cast<int>(c->client.stage), static_cast<unsigned long long>(c->client.sent),
            static_cast<unsigned long long>(c->client.received), c->dest ? "yes" : "no",
            c->dest ? static_cast<int>(c->dest->stage) : -1,
            static_cast<unsigned long long>(c->dest ? c->dest->sent : 0),
            static_cast<unsigned long long>(c->dest ? c->dest->received : 0));
    }
}

int Soak::run()
{
    ::signal(SIGPIPE, SIG_IGN);
    m_listener = boundSocket(true);
    m_refusing = boundSocket(false);
    m_destPort = localPort(m_listener);
    m_refusingPort = localPort(m_refusing);
    if (!startProxy()) {
        std::fprintf(stderr, "soak: cannot start %s\n", m_o.proxyd.c_str());
        return 2;
    }
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.ptr = nullptr;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &ev);
    ev.data.ptr = &m_logFd;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_logFd, &ev);

    const Fds idleFds = countFds(m_pid);
    const long idleRss = rssKiB(m_pid);
    const auto t0 = Clock::now();

    // The soak: phases of 500 connections, each with its own number of clients at once, so
    // that some phases stay within the 16 slots and others contend for them.
    std::mt19937_64 phaseRng(mix(m_o.seed + 7));
    uint64_t next = 0;
    int target = m_o.parallel;
    bool ok = true;
    uint64_t turns = 0;
    while (ok && (next < m_o.connections || m_live > 0)) {
        const bool phaseEnd = next % 500 == 0;
        if (phaseEnd && m_live == 0) // every other phase contends with the full width
            target = (next / 500) % 2 == 0
                ? m_o.parallel
                : static_cast<int>(between(phaseRng, 1, static_cast<uint64_t>(m_o.parallel)));
        // A phase drains before the next one starts with its own width.
        while (next < m_o.connections && m_live < static_cast<uint64_t>(target)
            && !(phaseEnd && m_live > 0)) {
            start(next, makePlan(m_o.seed, next));
            if (++next % 500 == 0)
                break;
        }
        if (++turns % 1000 == 0) {
            m_peakFds = std::max(m_peakFds, countFds(m_pid).all);
            m_peakRss = std::max(m_peakRss, rssKiB(m_pid));
        }
        ok = turn(1000);
    }
    const double seconds = secondsSince(t0);

    // Every slot free: sixteen clients are all granted at once, then leave.
    for (int k = 0; ok && k < SlotCount; ++k) {
        Plan hold;
        hold.kind = Kind::Hold; // sends its number early, then holds its slot
        hold.early = true;
        start(next++, hold);
    }
    ok = ok && waitFor([this] { return m_live == 0; }, "sixteen clients at once after the soak")
        && m_holdGranted == SlotCount;
    if (m_holdGranted != SlotCount)
        fault(nullptr, "only " + std::to_string(m_holdGranted) + " of 16 slots served afterwards");
    // The log shows every slot closed, and the descriptors come back to their idle count (a
    // connection may still be finishing its close in the background).
    if (ok) {
        waitFor(
            [this] {
                return std::none_of(
                    m_slotOpen.begin(), m_slotOpen.end(), [](bool open) { return open; });
            },
            "the log to show every slot closed");
        waitFor([this, idleFds] { return fdsBackToIdle(idleFds, countFds(m_pid)); },
            "the proxy's descriptors to come back to idle");
    }
    const Fds afterFds = countFds(m_pid);
    const long afterRss = rssKiB(m_pid);
    // Optionally idle a while (closes finishing in the background, timers running out) and
    // look at memory once more.
    long settledRss = -1;
    long settledFds = -1;
    if (m_o.settleSeconds > 0) {
        const auto until = Clock::now() + std::chrono::seconds(m_o.settleSeconds);
        while (Clock::now() < until && !m_proxyGone) {
            turn(200);
            m_lastProgress = Clock::now();
        }
        settledRss = rssKiB(m_pid);
        settledFds = countFds(m_pid).all;
    }
    for (bool open : m_slotOpen) {
        if (open) {
            fault(nullptr, "the log leaves a slot open");
            break;
        }
    }
    if (!fdsBackToIdle(idleFds, afterFds))
        fault(nullptr,
            "descriptors: " + std::to_string(afterFds.all) + " after ("
                + std::to_string(afterFds.pipes) + " pipes), " + std::to_string(idleFds.all)
                + " idle");
    if (m_anonymous > m_vanishStarted)
        fault(nullptr, std::to_string(m_anonymous) + " destinations never got their number");
    const long finalRss = settledRss >= 0 ? settledRss : afterRss;
    if (m_o.rssSlackMiB >= 0 && finalRss > idleRss + m_o.rssSlackMiB * 1024)
        fault(nullptr, "memory did not come back near idle");

    // A clean exit: sanitizer reports (leaks included) make the exit status non-zero.
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        fault(nullptr, "the proxy ended during the soak");
    } else {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, &status, 0);
    }
    const bool cleanExit = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!cleanExit)
        fault(nullptr,
            WIFSIGNALED(status)
                ? "the proxy died of signal " + std::to_string(WTERMSIG(status))
                : "the proxy exited with status " + std::to_string(WEXITSTATUS(status)));

    const auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("soak: %llu connections (seed %llu, up to %d clients at once for 16 slots) in "
                "%.1f s\n",
        u(m_o.connections), u(m_o.seed), m_o.parallel, seconds);
    std::printf("  served whole %llu; destination reset %llu; client reset %llu; client left "
                "before the grant %llu\n",
        u(m_served), u(m_destReset), u(m_clientReset), u(m_vanished));
    std::printf("  destination refused: %llu with reply 91, %llu closed without reply; refused "
                "by the proxy (all slots busy) %llu; destinations left without a number %llu\n",
        u(m_refusedReply), u(m_refusedNoReply), u(m_refusedByProxy), u(m_anonymous));
    std::printf("  bytes verified: %llu up, %llu down, %llu in all (%.1f MiB)\n", u(m_bytesUp),
        u(m_bytesDown), u(m_bytesUp + m_bytesDown),
        static_cast<double>(m_bytesUp + m_bytesDown) / (1024.0 * 1024.0));
    std::printf("  slots: %d of 16 served at once afterwards; log: %llu slots opened, %llu "
                "closed, none left open\n",
        m_holdGranted, u(m_logRequests), u(m_logCloses));
    std::printf("  descriptors: %ld idle, %ld peak, %ld after, of which %ld are pipes kept for "
                "reuse by the endpoints (%ld idle)\n",
        idleFds.all, m_peakFds, afterFds.all, afterFds.pipes, idleFds.pipes);
    std::printf("  memory (VmRSS): %ld KiB idle, %ld KiB peak, %ld KiB after\n", idleRss, m_peakRss,
        afterRss);
    if (settledRss >= 0)
        std::printf("  memory %d s later: %ld KiB, descriptors %ld\n", m_o.settleSeconds,
            settledRss, settledFds);
    std::printf("  proxy exit: %s; faults: %llu\n", cleanExit ? "clean" : "NOT clean", u(m_faults));
    return m_faults == 0 ? 0 : 1;
}

void usage()
{
    std::fprintf(stderr,
        "usage: soak [--connections N] [--seed N] [--parallel N] [--proxyd PATH] "
        "[--no-waiting] [--rss-slack-mib N] [--stall-seconds N] [--settle-seconds N]\n");
}

} // namespace

int main(int argc, char **argv)
{
    setProgramName("soak");
    Options o;
    for (Args a(argc, argv, usage); a.next();) {
        if (a.is("--connections"))
            o.connections = std::stoull(a.value());
        else if (a.is("--seed"))
            o.seed = std::stoull(a.value());
        else if (a.is("--parallel"))
            o.parallel = std::clamp(std::stoi(a.value()), 1, 64);
        else if (a.is("--proxyd"))
            o.proxyd = a.value();
        else if (a.is("--no-waiting"))
            o.waiting = false;
        else if (a.is("--rss-slack-mib"))
            o.rssSlackMiB = std::stol(a.value());
        else if (a.is("--stall-seconds"))
            o.stallSeconds = std::stoi(a.value());
        else if (a.is("--settle-seconds"))
            o.settleSeconds = std::stoi(a.value());
        else
            return a.unknown();
    }
    if (o.proxyd.empty())
        o.proxyd = besideSelf("bench_proxyd");
    Soak soak(o);
    return soak.run();
}
