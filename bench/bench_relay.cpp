// Throughput, slow-reader memory and handshake rate of the program, measured in the same run
// against Dante (danted) and against splicerelay (a minimal single-threaded epoll + splice relay,
// bench/splicerelay.c), and printed as tables of figures and ratios.
//
// The program is bench_window (the real window, its log running) when it was built next to this
// file, else bench_proxyd (the relay alone); --program picks either. Every throughput cell runs
// its transfers in rounds that take the peers in turns, and compares medians; with each it prints
// the peer's CPU time (all processes of its group: Dante has several) and peak RSS (VmHWM, reset
// before the cell). The measuring side is plain POSIX sockets and threads. Everything runs in a
// private network namespace of its own that holds only loopback (root; --no-netns stays on
// 127.0.0.1 of the current one).
//
// The memory figures mean something only for a Release build without sanitizers: AddressSanitizer
// keeps freed blocks in quarantine, which shows up as hundreds of MiB of growth.

#include "benchkit.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace benchkit;

namespace {

struct Options
{
    uint64_t streamBytes = 2048 * MiB; // per single-stream transfer
    int streams = 16; // parallel streams ...
    uint64_t streamsBytes = 256 * MiB; // ... of this many bytes each
    int sequentialHandshakes = 2000;
    int parallelThreads = 16;
    int parallelHandshakes = 2000; // in total, over all threads
    uint64_t slowBytes = 4096 * MiB; // each destination offers this much to its slow reader
    double stallSeconds = 3.0; // slow readers first read nothing at all ...
    double slowSeconds = 8.0; // ... then 64 KiB every 10 ms
    int repeat = 3; // throughput figures are medians of this many rounds
    unsigned budgetSeconds = 900; // the whole run is cut off past this
    bool dante = true;
    bool handshakes = true;
    bool netns = true;
    std::string program; // bench_window or bench_proxyd
    std::string splice; // splicerelay
    std::string splicePipe = "0"; // its pipe size in bytes; 0: the kernel's default
};

/// Reads until the peer's end (or an error); returns the bytes read.
uint64_t readToEnd(int fd, std::vector<char> &buffer)
{
    uint64_t bytes = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return bytes;
        bytes += static_cast<uint64_t>(n);
    }
}

// --- Local destinations -----------------------------------------------------------------------

/// A loopback server, one thread per connection: a sink reads until the peer's end and then
/// closes; a source sends a fixed number of bytes (or until the peer goes away) and then closes.
class Server
{
public:
    enum class Mode { Sink, Source };

    Server(Mode mode, uint64_t sourceBytes) : m_mode(mode), m_sourceBytes(sourceBytes)
    {
        m_fd = listenLoopback(512);
        m_port = localPort(m_fd);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }
    ~Server()
    {
        m_stop = true;
        ::shutdown(m_fd, SHUT_RDWR);
        m_acceptor.join();
        ::close(m_fd);
        // Connection threads are detached and end with their peers; wait for them so that none
        // outlives this object.
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_live == 0; });
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    uint16_t port() const { return m_port; }

    /// Waits until `count` connections have finished in all; returns the bytes the last one
    /// received (sink) or sent (source).
    uint64_t waitFinished(uint64_t count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_finished >= count; });
        return m_lastBytes;
    }
    bool waitFinishedFor(uint64_t count, double seconds)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(
            lock, std::chrono::duration<double>(seconds), [&] { return m_finished >= count; });
    }
    uint64_t finished()
    {
        std::lock_guard lock(m_mutex);
        return m_finished;
    }

private:
    void acceptLoop()
    {
        for (;;) {
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            {
                std::lock_guard lock(m_mutex);
                ++m_live;
            }
            std::thread([this, fd] { serve(fd); }).detach();
        }
    }

    void serve(int fd)
    {
        uint64_t bytes = 0;
        std::vector<char> buffer(1 * MiB);
        if (m_mode == Mode::Sink) {
            bytes = readToEnd(fd, buffer);
        } else {
            for (size_t i = 0; i < buffer.size(); ++i)
                buffer[i] = static_cast<char>((i * 7 + i / 4096) & 0xff);
            // Sending wakes up now and then, so that a peer that neither reads nor goes away
            // cannot keep this thread past the server's end.
            const timeval wake { 0, 200'000 };
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wake, sizeof wake);
            while (bytes < m_sourceBytes && !m_stop) {
                const size_t chunk =
                    static_cast<size_t>(std::min<uint64_t>(buffer.size(), m_sourceBytes - bytes));
                const ssize_t n = ::send(fd, buffer.data(), chunk, MSG_NOSIGNAL);
                if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                    continue;
                if (n <= 0)
                    break;
                bytes += static_cast<uint64_t>(n);
            }
        }
        ::close(fd);
        std::lock_guard lock(m_mutex);
        ++m_finished;
        --m_live;
        m_lastBytes = bytes;
        m_changed.notify_all();
    }

    Mode m_mode;
    uint64_t m_sourceBytes;
    int m_fd = -1;
    uint16_t m_port = 0;
    std::thread m_acceptor;
    std::atomic<bool> m_stop { false };
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_finished = 0;
    uint64_t m_live = 0;
    uint64_t m_lastBytes = 0;
};

// --- Proxies under test -----------------------------------------------------------------------

// --- Measurements -----------------------------------------------------------------------------

/// How a measuring client reaches a destination: directly, or through a SOCKS4 proxy.
struct Route
{
    const char *name;
    uint16_t proxyPort; // 0: direct
    int open(uint16_t destPort) const
    {
        return proxyPort == 0 ? tcpConnect(destPort) : socksConnect(proxyPort, destPort);
    }
};

/// MiB/s for a transfer that started at t0, or 0 (with a message) when bytes went missing.
double throughput(
    const Route &route, const char *what, uint64_t received, uint64_t bytes, Clock::time_point t0)
{
    const double seconds = secondsSince(t0);
    if (received != bytes) {
        std::fprintf(stderr, "bench_relay: %s %s: got %llu of %llu bytes\n", route.name, what,
            static_cast<unsigned long long>(received), static_cast<unsigned long long>(bytes));
        return 0;
    }
    return static_cast<double>(bytes) / MiB / seconds;
}

/// Client -> sink: MiB/s from the grant until the sink has all bytes; 0 on failure.
double upload(const Route &route, uint64_t bytes)
{
    Server sink(Server::Mode::Sink, 0);
    const int fd = route.open(sink.port());
    if (fd < 0)
        return 0;
    std::vector<char> buffer(256 * 1024, 'u');
    const auto t0 = Clock::now();
    uint64_t sent = 0;
    while (sent < bytes) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(buffer.size(), bytes - sent));
        if (!sendAll(fd, buffer.data(), chunk))
            break;
        sent += chunk;
    }
    ::shutdown(fd, SHUT_WR);
    const uint64_t received = sink.waitFinished(1);
    ::close(fd);
    return throughput(route, "upload", received, bytes, t0);
}

/// Source -> client: MiB/s from the grant until the client has read the end; 0 on failure.
double download(const Route &route, uint64_t bytes)
{
    Server source(Server::Mode::Source, bytes);
    const int fd = route.open(source.port());
    if (fd < 0)
        return 0;
    std::vector<char> buffer(256 * 1024);
    const auto t0 = Clock::now();
    const uint64_t received = readToEnd(fd, buffer);
    ::close(fd);
    return throughput(route, "download", received, bytes, t0);
}

/// `streams` source->client transfers of `bytes` each at once: MiB/s of all of them together.
double downloads(const Route &route, int streams, uint64_t bytes)
{
    Server source(Server::Mode::Source, bytes);
    std::vector<int> fds;
    for (int i = 0; i < streams; ++i) {
        const int fd = route.open(source.port());
        if (fd < 0)
            break;
        fds.push_back(fd);
    }
    std::atomic<uint64_t> received { 0 };
    const auto t0 = Clock::now();
    std::vector<std::thread> readers;
    for (const int fd : fds) {
        readers.emplace_back([fd, &received] {
            std::vector<char> buffer(256 * 1024);
            received.fetch_add(readToEnd(fd, buffer));
            ::close(fd);
        });
    }
    for (std::thread &t : readers)
        t.join();
    return throughput(
        route, "downloads", received.load(), bytes * static_cast<uint64_t>(streams), t0);
}

/// A client reads 1 MiB of an endless download and goes away: seconds until its destination,
/// still sending, learns it (its send fails); -1 if not within 10 s.
double departedClient(const Route &route)
{
    Server source(Server::Mode::Source, UINT64_MAX / 2);
    const int fd = route.open(source.port());
    if (fd < 0)
        return -1;
    std::vector<unsigned char> buffer(1 * MiB);
    readExactly(fd, buffer.data(), buffer.size());
    const auto t0 = Clock::now();
    ::close(fd);
    return source.waitFinishedFor(1, 10) ? secondsSince(t0) : -1;
}

struct Rate
{
    double perSecond = 0;
    int failures = 0;
};

/// `total` cycles of connect + request + grant + close, spread over `threads` clients.
Rate handshakes(const Route &route, int total, int threads)
{
    Server sink(Server::Mode::Sink, 0);
    std::atomic<int> next { 0 };
    std::atomic<int> done { 0 };
    std::atomic<int> failures { 0 };
    const auto t0 = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            while (next.fetch_add(1) < total) {
                // A refusal (for instance all sixteen slots still busy with connections whose
                // end the proxy has not seen yet) counts as a failure and is tried again.
                for (int attempt = 0; attempt < 50; ++attempt) {
                    const int fd = route.open(sink.port());
                    if (fd >= 0) {
                        ::close(fd);
                        done.fetch_add(1);
                        break;
                    }
                    failures.fetch_add(1);
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }
    for (std::thread &w : workers)
        w.join();
    const double seconds = secondsSince(t0);
    return { done.load() / seconds, failures.load() };
}

struct SlowResult
{
    Memory baseline;
    uint64_t sampledPeak = 0;
    Memory end;
    uint64_t delivered = 0;
    int opened = 0;
};

/// Sixteen slots, each destination pushing as fast as it can toward a client that first reads
/// nothing and then 64 KiB every 10 ms, while the proxy's memory is sampled.
SlowResult slowReaders(const Options &o, const Child &proxy)
{
    constexpr int Slots = 16;
    SlowResult r;
    r.baseline = readMemory(proxy.pid);
    Server source(Server::Mode::Source, o.slowBytes);

    std::atomic<bool> sampling { true };
    std::thread sampler([&] {
        while (sampling.load()) {
            r.sampledPeak = std::max(r.sampledPeak, readMemory(proxy.pid).rss);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    std::vector<int> fds;
    for (int i = 0; i < Slots; ++i) {
        int fd = -1;
        for (int attempt = 0; attempt < 50 && fd < 0; ++attempt)
            fd = socksConnect(proxy.port, source.port());
        if (fd >= 0)
            fds.push_back(fd);
    }
    r.opened = static_cast<int>(fds.size());

    std::this_thread::sleep_for(std::chrono::duration<double>(o.stallSeconds));
    std::atomic<uint64_t> delivered { 0 };
    std::vector<std::thread> readers;
    const auto until = Clock::now()
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.slowSeconds));
    for (int fd : fds) {
        readers.emplace_back([fd, until, &delivered] {
            std::vector<char> buffer(64 * 1024);
            while (Clock::now() < until) {
                const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n > 0)
                    delivered.fetch_add(static_cast<uint64_t>(n));
                else if (n == 0)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    for (std::thread &t : readers)
        t.join();
    r.delivered = delivered.load();
    sampling = false;
    sampler.join();
    r.end = readMemory(proxy.pid);
    for (int fd : fds) {
        // Reset rather than drain: the destinations still have up to a gigabyte each to offer.
        resetAndClose(fd);
    }
    return r;
}

// --- Report -----------------------------------------------------------------------------------

void usage()
{
    std::puts(
        "usage: bench_relay [--quick] [--mib N] [--streams N] [--streams-mib N] [--repeat N]\n"
        "                   [--handshakes N] [--parallel THREADS] [--no-handshakes]\n"
        "                   [--slow-mib N] [--stall SECONDS] [--slow SECONDS] [--no-dante]\n"
        "                   [--no-netns] [--program PATH] [--splice PATH] [--splice-pipe B]\n"
        "  --quick          a short run: 256 MiB streams, 16 x 32 MiB, 500 + 500 handshakes,\n"
        "                   2 s stall + 4 s slow reading of 1 GiB\n"
        "  --mib N          bytes per single-stream transfer, in MiB (default 2048)\n"
        "  --streams N      parallel streams in the many-streams cell (default 16)\n"
        "  --streams-mib N  bytes per stream there, in MiB (default 256)\n"
        "  --repeat N       rounds per throughput cell; figures are medians (default 3)\n"
        "  --handshakes N   sequential cycles, and as many again in parallel (default 2000)\n"
        "  --parallel T     client threads for the parallel cycles (default 16)\n"
        "  --slow-mib N     what each destination offers its slow reader (default 4096)\n"
        "  --program PATH   the program: bench_window (default when built) or bench_proxyd\n"
        "  --splice PATH    the splice relay (default: splicerelay beside this file)\n"
        "  --splice-pipe B  its pipes' size in bytes (default: the kernel's, 64 KiB)\n"
        "  --no-dante       skip the comparison with danted");
}

/// One peer's figures for one transfer.
struct Sample
{
    double rate = 0; // MiB/s
    double cpu = 0; // CPU seconds of the peer's processes
    uint64_t peak = 0; // their peak RSS during the transfer
};

/// A proxy under test, reached through its SOCKS4 port.
struct Peer
{
    const char *name;
    Child child;
    Route route() const { return { name, child.port }; }
};

/// A throughput cell: one kind of transfer, run for every peer in rounds.
struct Cell
{
    std::string name;
    uint64_t bytes;
    std::function<double(const Route &)> run;
    std::vector<Sample> median; // per peer
};

} // namespace

int main(int argc, char **argv)
{
    setProgramName("bench_relay");
    Options o;
    for (Args a(argc, argv, usage); a.next();) {
        if (a.is("--quick")) {
            o.streamBytes = 256 * MiB;
            o.streamsBytes = 32 * MiB;
            o.sequentialHandshakes = 500;
            o.parallelHandshakes = 500;
            o.slowBytes = 1024 * MiB;
            o.stallSeconds = 2;
            o.slowSeconds = 4;
            o.budgetSeconds = 300;
        } else if (a.is("--repeat")) {
            o.repeat = std::max(1, std::atoi(a.value()));
        } else if (a.is("--mib")) {
            o.streamBytes = std::strtoull(a.value(), nullptr, 10) * MiB;
        } else if (a.is("--streams")) {
            o.streams = std::max(1, std::atoi(a.value()));
        } else if (a.is("--streams-mib")) {
            o.streamsBytes = std::strtoull(a.value(), nullptr, 10) * MiB;
        } else if (a.is("--handshakes")) {
            o.sequentialHandshakes = o.parallelHandshakes = std::atoi(a.value());
        } else if (a.is("--parallel")) {
            o.parallelThreads = std::max(1, std::atoi(a.value()));
        } else if (a.is("--no-handshakes")) {
            o.handshakes = false;
        } else if (a.is("--slow-mib")) {
            o.slowBytes = std::strtoull(a.value(), nullptr, 10) * MiB;
        } else if (a.is("--stall")) {
            o.stallSeconds = std::atof(a.value());
        } else if (a.is("--slow")) {
            o.slowSeconds = std::atof(a.value());
        } else if (a.is("--no-dante")) {
            o.dante = false;
        } else if (a.is("--no-netns")) {
            o.netns = false;
        } else if (a.is("--program") || a.is("--proxyd")) {
            o.program = a.value();
        } else if (a.is("--splice")) {
            o.splice = a.value();
        } else if (a.is("--splice-pipe")) {
            o.splicePipe = a.value();
        } else {
            return a.unknown();
        }
    }
    if (o.program.empty()) {
        o.program = besideSelf("bench_window");
        if (::access(o.program.c_str(), X_OK) != 0)
            o.program = besideSelf("bench_proxyd");
    }
    if (o.splice.empty())
        o.splice = besideSelf("splicerelay");
    if (o.netns && !enterPrivateNetwork())
        return 1;
    // A hung peer must not hold the run forever.
    startTimeBudget(o.budgetSeconds);
    const std::string dir = makeWorkDir();

    std::vector<Peer> peers;
    if (std::optional<Child> c = startProxy({ o.program, "0" }))
        peers.push_back({ "program", *c });
    else
        return 1;
    if (std::optional<Child> c = startProxy({ o.splice, "0", o.splicePipe }))
        peers.push_back({ "splice", *c });
    if (std::optional<Child> c = o.dante ? startDante(dir) : std::nullopt)
        peers.push_back({ "dante", *c });
    const auto peerIndex = [&](const char *name) -> int {
        for (size_t p = 0; p < peers.size(); ++p) {
            if (std::strcmp(peers[p].name, name) == 0)
                return static_cast<int>(p);
        }
        return -1;
    };
    const int splice = peerIndex("splice");
    const int dante = peerIndex("dante");
    const Memory programStart = readMemory(peers[0].child.pid);
    std::printf("bench_relay: program %s (pid %d)", o.program.c_str(), peers[0].child.pid);
    for (size_t p = 1; p < peers.size(); ++p)
        std::printf(", %s pid %d", peers[p].name, peers[p].child.pid);
    std::printf("%s\n", o.netns ? "; private network namespace" : "");

    // Throughput: rounds take the peers in turns; each figure is the median round.
    std::vector<Cell> cells {
        { "1 stream, client -> destination", o.streamBytes,
            [&](const Route &r) { return upload(r, o.streamBytes); }, {} },
        { "1 stream, destination -> client", o.streamBytes,
            [&](const Route &r) { return download(r, o.streamBytes); }, {} },
        { std::to_string(o.streams) + " streams, destination -> client",
            o.streamsBytes * static_cast<uint64_t>(o.streams),
            [&](const Route &r) { return downloads(r, o.streams, o.streamsBytes); }, {} },
    };
    std::printf(
        "\n== Throughput, median of %d rounds; CPU and peak RSS of each peer's processes ==\n",
        o.repeat);
    std::printf("%-34s %-8s %9s %8s %11s %10s\n", "cell", "peer", "MiB/s", "CPU s", "MiB/CPU-s",
        "peak RSS");
    for (Cell &cell : cells) {
        std::vector<std::vector<Sample>> rounds(peers.size());
        for (int round = 0; round < o.repeat; ++round) {
            for (size_t p = 0; p < peers.size(); ++p) {
                const pid_t group = peers[p].child.pid;
                resetPeaks(group);
                const double cpu0 = groupCpu(group);
                Sample sample;
                sample.rate = cell.run(peers[p].route());
                // A helper process of Dante's that ends takes its CPU time along: no figure then.
                sample.cpu = std::max(0.0, groupCpu(group) - cpu0);
                sample.peak = groupPeak(group);
                rounds[p].push_back(sample);
            }
        }
        for (size_t p = 0; p < peers.size(); ++p) {
            std::vector<Sample> &r = rounds[p];
            std::sort(r.begin(), r.end(),
                [](const Sample &a, const Sample &b) { return a.rate < b.rate; });
            const Sample m = r[r.size() / 2];
            cell.median.push_back(m);
            std::printf("%-34s %-8s %9s %8s %11s %10s\n", p == 0 ? cell.name.c_str() : "",
                peers[p].name, fixed(m.rate).c_str(), fixed(m.cpu, 2).c_str(),
                m.cpu > 0 ? fixed(static_cast<double>(cell.bytes) / MiB / m.cpu, 0).c_str() : "-",
                mib(m.peak).c_str());
        }
        std::fflush(stdout);
    }
    std::printf("\n%-34s %14s %15s %20s\n", "ratios", "program/dante", "program/splice",
        "per CPU-s p/splice");
    for (const Cell &cell : cells) {
        const Sample &me = cell.median[0];
        const auto perCpu = [](const Sample &x) { return x.cpu > 0 ? 1 / x.cpu : 0.0; };
        std::printf("%-34s %14s %15s %20s\n", cell.name.c_str(),
            dante >= 0 ? ratio(me.rate, cell.median[static_cast<size_t>(dante)].rate).c_str() : "-",
            splice >= 0 ? ratio(me.rate, cell.median[static_cast<size_t>(splice)].rate).c_str()
                        : "-",
            splice >= 0
                ? ratio(perCpu(me), perCpu(cell.median[static_cast<size_t>(splice)])).c_str()
                : "-");
    }
    std::printf("program VmRSS at start %s, after the streams %s\n", mib(programStart.rss).c_str(),
        mib(readMemory(peers[0].child.pid).rss).c_str());
    std::fflush(stdout);

    // A client that goes away during a download: how soon its destination learns it.
    std::printf("\n== A client leaves an endless download: seconds until the destination's "
                "sending fails ==\n");
    for (const Peer &peer : peers) {
        const double seconds = departedClient(peer.route());
        std::printf(
            "%-8s %s\n", peer.name, seconds < 0 ? "not within 10 s" : fixed(seconds, 2).c_str());
    }
    std::fflush(stdout);

    // Handshakes.
    if (o.handshakes) {
        const Route viaProxy = peers[0].route();
        const Route viaDante = dante >= 0 ? peers[static_cast<size_t>(dante)].route() : Route {};
        std::printf("\n== Handshakes: connect + SOCKS4 request + grant + close (per second) ==\n");
        std::printf("%-22s %10s %10s %12s %16s\n", "mode", "program", "dante", "program/dante",
            "refused p / d");
        const auto handshakeRow = [&](const std::string &name, int total, int threads) {
            const Rate p = handshakes(viaProxy, total, threads);
            const Rate s = dante >= 0 ? handshakes(viaDante, total, threads) : Rate {};
            std::printf("%-22s %10s %10s %12s %16s\n", name.c_str(), fixed(p.perSecond, 0).c_str(),
                dante >= 0 ? fixed(s.perSecond, 0).c_str() : "skipped",
                ratio(p.perSecond, s.perSecond).c_str(),
                (std::to_string(p.failures) + " / "
                    + (dante >= 0 ? std::to_string(s.failures) : "-"))
                    .c_str());
            std::fflush(stdout);
        };
        handshakeRow(
            "sequential x" + std::to_string(o.sequentialHandshakes), o.sequentialHandshakes, 1);
        // Half the slots, then (by default) all of them: with every slot in use, a client that
        // reconnects before the proxy has seen its previous close is refused.
        for (const int threads : { std::max(1, o.parallelThreads / 2), o.parallelThreads }) {
            handshakeRow(
                std::to_string(threads) + " parallel, x" + std::to_string(o.parallelHandshakes),
                o.parallelHandshakes, threads);
        }
    }
    for (Peer &peer : peers)
        peer.child.stop();

    // Memory with slow readers, in a fresh program so that the baseline is the idle process.
    std::optional<Child> fresh = startProxy({ o.program, "0" });
    if (!fresh)
        return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::printf("\n== Memory, 16 slots, destinations offering %s each to slow readers ==\n",
        mib(o.slowBytes).c_str());
    std::printf("(no reading for %s s, then 64 KiB every 10 ms for %s s)\n",
        fixed(o.stallSeconds).c_str(), fixed(o.slowSeconds).c_str());
    const SlowResult m = slowReaders(o, *fresh);
    const uint64_t peak = std::max(m.sampledPeak, m.end.hwm);
    const uint64_t growth = peak > m.baseline.rss ? peak - m.baseline.rss : 0;
    std::printf("slots served            %d of 16\n", m.opened);
    std::printf("delivered to readers    %s\n", mib(m.delivered).c_str());
    std::printf("baseline VmRSS (idle)   %s\n", mib(m.baseline.rss).c_str());
    std::printf("peak VmRSS (sampled)    %s\n", mib(m.sampledPeak).c_str());
    std::printf("VmHWM at the end        %s\n", mib(m.end.hwm).c_str());
    std::printf("growth                  %s   target <= 16 MiB: %s\n", mib(growth).c_str(),
        growth <= 16 * MiB ? "met" : "NOT MET");
    fresh->stop();
    std::fflush(stdout);
    return 0;
}
