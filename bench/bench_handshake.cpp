// bench_handshake: the cost of many short connections through the program as users run it (the
// window open, its log running and mirrored to a file: bench_window), against Dante (danted) in
// the same run.
//
//   handshakes/s   15 clients in parallel, each connecting, sending a SOCKS4 request, reading
//                  the grant and closing, over and over; rounds taken in turns with Dante, the
//                  median of each side compared. Measured early (a nearly empty log) and again
//                  after 10^5 more connections through the program (the log ~4 lines longer
//                  for each).
//   yardsticks     the same rounds through bench_proxyd ("headless": the relay alone, no window,
//                  no log), which tells the window's share of the cost from the relay's, and
//                  through splicerelay ("epoll-C": a minimal single-threaded epoll relay in C).
//   bytes/line     the program's resident memory growth over those 10^5 connections divided by
//                  the log lines they added (counted on the mirror).
//
// Everything runs in a private network namespace that this program creates (unshare, which
// needs root; --no-netns stays on 127.0.0.1 of the current one instead), so nothing can leave
// the machine. The namespace's ephemeral port range is widened and TIME-WAIT reuse turned on
// there, so that 10^5 connections do not run out of ports.
//
// Profiling: --perf FILE records `perf record -g` on the program during the late rounds;
// --wrap "valgrind --tool=callgrind --callgrind-out-file=F" starts the program under a tool.
//
// Usage: bench_handshake [--quick] [--count N] [--rounds N] [--fill N] [--clients N]
//                        [--window PATH] [--no-dante] [--no-yardsticks] [--collapsed] [--no-netns]
//                        [--perf FILE] [--wrap CMD]

#include "benchkit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace benchkit;

namespace {

struct Options
{
    int clients = 15;
    int count = 5000; // handshakes per measuring round
    int rounds = 3; // per side, early and late
    int fill = 100'000; // connections through the program between early and late
    unsigned budgetSeconds = 900;
    bool dante = true;
    bool yardsticks = true;
    bool collapsed = false; // the status log out of sight
    bool netns = true;
    std::string window; // bench_window; beside this program by default
    std::string perfFile;
    std::string wrap;
};

/// One handshake: connect, request 127.0.0.1:destPort, read the grant, close. False when the
/// proxy refused or closed before granting.
bool handshake(uint16_t proxyPort, uint16_t destPort)
{
    const int fd = socksConnect(proxyPort, destPort);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

/// The destination: one thread with epoll that accepts, reads until the proxy's end and closes,
/// so that it costs next to nothing beside the proxies it serves.
class Sink
{
public:
    Sink()
    {
        m_listener = listenLoopback(4096, true);
        m_port = localPort(m_listener);
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        ::pipe2(m_stop, O_CLOEXEC);
        add(m_listener);
        add(m_stop[0]);
        m_thread = std::thread([this] { run(); });
    }
    ~Sink()
    {
        (void)!::write(m_stop[1], "x", 1);
        m_thread.join();
        ::close(m_epoll);
        ::close(m_listener);
        ::close(m_stop[0]);
        ::close(m_stop[1]);
    }
    Sink(const Sink &) = delete;
    Sink &operator=(const Sink &) = delete;

    uint16_t port() const { return m_port; }

private:
    void add(int fd)
    {
        epoll_event e {};
        e.events = EPOLLIN;
        e.data.fd = fd;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &e);
    }
    void run()
    {
        epoll_event events[64];
        char buffer[4096];
        for (;;) {
            const int n = ::epoll_wait(m_epoll, events, 64, -1);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_stop[0])
                    return;
                if (fd == m_listener) {
                    int c;
                    while (
                        (c = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK))
                        >= 0)
                        add(c);
                    continue;
                }
                ssize_t got;
                while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) { }
                if (got == 0 || (errno != EAGAIN && errno != EINTR))
                    ::close(fd); // also leaves the epoll set
            }
        }
    }

    int m_listener = -1;
    int m_epoll = -1;
    int m_stop[2] = { -1, -1 };
    uint16_t m_port = 0;
    std::thread m_thread;
};

// --- Processes --------------------------------------------------------------------------------

std::optional<Child> startWindow(const Options &o, const std::string &dir)
{
    std::vector<std::string> argv;
    std::istringstream wrap(o.wrap);
    for (std::string word; wrap >> word;)
        argv.push_back(word);
    argv.push_back(o.window);
    argv.push_back(std::to_string(freePort()));
    if (o.collapsed)
        argv.push_back("--collapsed");
    return startProxy(argv, dir + "/mirror.txt");
}

/// A proxy from beside bench_window that prints its port on standard output when given port 0:
/// bench_proxyd (the relay alone: no window, no log) or splicerelay (a minimal epoll relay in C).
std::optional<Child> startPrinter(const Options &o, const char *name)
{
    const std::string path = o.window.substr(0, o.window.rfind('/') + 1) + name;
    if (::access(path.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "bench_handshake: no %s: no comparison with it\n", path.c_str());
        return std::nullopt;
    }
    return startProxy({ path, "0" });
}

/// Counts the lines written to the mirror so far (reading on from where it last stopped).
class LineCounter
{
public:
    explicit LineCounter(std::string path) : m_path(std::move(path)) { }
    uint64_t count()
    {
        std::ifstream f(m_path, std::ios::binary);
        f.seekg(static_cast<std::streamoff>(m_offset));
        char buffer[1 << 16];
        while (f.read(buffer, sizeof buffer) || f.gcount() > 0) {
            m_lines += static_cast<uint64_t>(std::count(buffer, buffer + f.gcount(), '\n'));
            m_offset += static_cast<uint64_t>(f.gcount());
        }
        return m_lines;
    }
    /// Waits until the mirror has stopped growing (it is written in slices, a turn behind).
    uint64_t settled()
    {
        uint64_t last = count();
        for (int quiet = 0; quiet < 5;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const uint64_t now = count();
            quiet = now == last ? quiet + 1 : 0;
            last = now;
        }
        return last;
    }

private:
    std::string m_path;
    uint64_t m_offset = 0;
    uint64_t m_lines = 0;
};

// --- Measurement ------------------------------------------------------------------------------

struct Rate
{
    double perSecond = 0;
    int refused = 0;
    double cpu = 0; // the proxy's CPU seconds during the round
};

/// `total` handshakes spread over `clients` threads. A refusal is tried again (and counted).
Rate handshakes(uint16_t proxyPort, uint16_t destPort, int total, int clients, pid_t cpuOf)
{
    std::atomic<int> next { 0 };
    std::atomic<int> refused { 0 };
    const double cpu0 = cpuOf > 0 ? groupCpu(cpuOf, true) : 0;
    const auto t0 = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < clients; ++t) {
        workers.emplace_back([&] {
            while (next.fetch_add(1) < total) {
                for (int attempt = 0; attempt < 1000 && !handshake(proxyPort, destPort);
                     ++attempt) {
                    refused.fetch_add(1);
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            }
        });
    }
    for (std::thread &w : workers)
        w.join();
    const double seconds = secondsSince(t0);
    return { total / seconds, refused.load(), cpuOf > 0 ? groupCpu(cpuOf, true) - cpu0 : 0 };
}

/// One proxy under test; index 0 is the program.
struct Side
{
    std::string name;
    Child child;
};

/// Median rate and CPU per handshake of each side over one phase's rounds.
struct Phase
{
    std::vector<double> rate; // handshakes per second
    std::vector<double> cpu; // CPU microseconds per handshake
    int refused = 0; // by the program
};

/// Rounds taken in turns over all sides, so that a burst of other work on the machine falls on
/// all of them alike.
Phase measure(const Options &o, const char *name, std::vector<Side> &sides, uint16_t destPort)
{
    std::vector<std::vector<double>> rates(sides.size());
    Phase phase;
    phase.cpu.assign(sides.size(), 0);
    for (int round = 0; round < o.rounds; ++round) {
        std::printf("  %-6s round %d:", name, round + 1);
        for (size_t i = 0; i < sides.size(); ++i) {
            const Rate r =
                handshakes(sides[i].child.port, destPort, o.count, o.clients, sides[i].child.pid);
            rates[i].push_back(r.perSecond);
            phase.cpu[i] += r.cpu;
            if (i == 0)
                phase.refused += r.refused;
            std::printf("  %s %.0f/s", sides[i].name.c_str(), r.perSecond);
            if (r.refused)
                std::printf(" (%d refused)", r.refused);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    for (size_t i = 0; i < sides.size(); ++i) {
        phase.rate.push_back(median(rates[i]));
        phase.cpu[i] *= 1e6 / (static_cast<double>(o.count) * o.rounds);
    }
    return phase;
}

void usage()
{
    std::puts(
        "usage: bench_handshake [--quick] [--count N] [--rounds N] [--fill N] [--clients N]\n"
        "                       [--window PATH] [--no-dante] [--no-yardsticks]\n"
        "                       [--collapsed] [--no-netns] [--perf FILE] [--wrap CMD]\n"
        "  --quick       1000 handshakes per round, 10^4 filling connections\n"
        "  --count N     handshakes per measuring round (default 5000)\n"
        "  --rounds N    rounds per side, early and late; medians compared (default 3)\n"
        "  --fill N      connections through the program between early and late (default 10^5)\n"
        "  --clients N   parallel clients (default 15)\n"
        "  --window PATH bench_window (default: beside this program)\n"
        "  --no-dante    no comparison with Dante\n"
        "  --no-yardsticks  no columns for bench_proxyd and splicerelay\n"
        "  --no-netns    stay in the current network namespace (127.0.0.1 only)\n"
        "  --collapsed   the window with its status log folded away (out of sight)\n"
        "  --perf FILE   perf record -g on the program during the late rounds\n"
        "  --wrap CMD    start the program under CMD (split at blanks), e.g. valgrind");
}

} // namespace

int main(int argc, char **argv)
{
    setProgramName("bench_handshake");
    Options o;
    for (Args a(argc, argv, usage); a.next();) {
        if (a.is("--quick")) {
            o.count = 1000;
            o.fill = 10'000;
        } else if (a.is("--count")) {
            o.count = std::max(1, std::atoi(a.value()));
        } else if (a.is("--rounds")) {
            o.rounds = std::max(1, std::atoi(a.value()));
        } else if (a.is("--fill")) {
            o.fill = std::max(0, std::atoi(a.value()));
        } else if (a.is("--clients")) {
            o.clients = std::max(1, std::atoi(a.value()));
        } else if (a.is("--window")) {
            o.window = a.value();
        } else if (a.is("--no-dante")) {
            o.dante = false;
        } else if (a.is("--collapsed")) {
            o.collapsed = true;
        } else if (a.is("--no-yardsticks")) {
            o.yardsticks = false;
        } else if (a.is("--no-netns")) {
            o.netns = false;
        } else if (a.is("--perf")) {
            o.perfFile = a.value();
        } else if (a.is("--wrap")) {
            o.wrap = a.value();
        } else {
            return a.unknown();
        }
    }
    if (o.window.empty())
        o.window = besideSelf("bench_window");
    if (o.netns && !enterPrivateNetwork(true))
        return 1;
    startTimeBudget(o.budgetSeconds);
    const std::string dir = makeWorkDir();

    Sink sink;
    std::optional<Child> program = startWindow(o, dir);
    if (!program)
        return 1;
    std::vector<Side> sides { { "program", *program } };
    if (std::optional<Child> c = o.yardsticks ? startPrinter(o, "bench_proxyd") : std::nullopt)
        sides.push_back({ "headless", *c });
    if (std::optional<Child> c = o.yardsticks ? startPrinter(o, "splicerelay") : std::nullopt)
        sides.push_back({ "epoll-C", *c });
    if (std::optional<Child> c = o.dante ? startDante(dir, true) : std::nullopt)
        sides.push_back({ "dante", *c });
    const bool dante = sides.back().name == "dante";
    LineCounter mirror(dir + "/mirror.txt");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::printf("bench_handshake: %d clients, %s;", o.clients,
        o.netns ? "private network namespace" : "127.0.0.1");
    for (const Side &side : sides)
        std::printf(" %s pid %d port %u;", side.name.c_str(), side.child.pid, side.child.port);
    std::printf("\n");
    std::printf("\n== Handshakes: connect + SOCKS4 request + grant + close, %d clients, %d per "
                "round, median of %d ==\n",
        o.clients, o.count, o.rounds);
    const Phase early = measure(o, "early", sides, sink.port());

    const uint64_t linesBefore = mirror.settled();
    const uint64_t rssBefore = readMemory(program->pid).rss;
    std::printf("  filling: %d connections through the program ...\n", o.fill);
    std::fflush(stdout);
    const Rate fill = handshakes(program->port, sink.port(), o.fill, o.clients, program->pid);
    const uint64_t linesAfter = mirror.settled();
    const uint64_t rssAfter = readMemory(program->pid).rss;
    std::printf("  filled at %.0f/s (%d refused), program CPU %.1f s; log now %llu lines\n",
        fill.perSecond, fill.refused, fill.cpu, static_cast<unsigned long long>(linesAfter));
    std::fflush(stdout);

    Child perf;
    if (!o.perfFile.empty()) {
        perf.pid =
            spawn({ "perf", "record", "-g", "-o", o.perfFile, "-p", std::to_string(program->pid) },
                dir + "/perf.out", dir + "/perf.out");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const Phase late = measure(o, "late", sides, sink.port());
    if (perf.pid > 0)
        perf.stop(SIGINT);

    const uint64_t lines = linesAfter - linesBefore;
    const double perLine = lines > 0 && rssAfter > rssBefore
        ? static_cast<double>(rssAfter - rssBefore) / static_cast<double>(lines)
        : 0;

    const std::string after = "after " + std::to_string(o.fill) + " more connections";
    const auto table = [&](const char *title, bool cpu) {
        std::printf("\n%-32s", title);
        for (const Side &side : sides)
            std::printf(" %9s", side.name.c_str());
        if (dante) {
            for (size_t i = 0; i + 1 < sides.size(); ++i)
                std::printf(" %9s",
                    (cpu ? "dan/" + sides[i].name.substr(0, 4)
                         : sides[i].name.substr(0, 4) + "/dan")
                        .c_str());
        }
        std::printf("\n");
        for (const auto &[name, phase] :
            { std::pair { "early", &early }, { after.c_str(), &late } }) {
            const std::vector<double> &v = cpu ? phase->cpu : phase->rate;
            std::printf("%-32s", name);
            for (double x : v)
                std::printf(" %9s", fixed(x, 0).c_str());
            if (dante) {
                // Dante over the side for CPU (less is better), the side over Dante for rates.
                for (size_t i = 0; i + 1 < v.size(); ++i)
                    std::printf(
                        " %9s", (cpu ? ratio(v.back(), v[i]) : ratio(v[i], v.back())).c_str());
            }
            std::printf("\n");
        }
    };
    table("handshakes/s (median)", false);
    std::printf("program refused %d early, %d late (tried again after 0.2 ms)\n", early.refused,
        late.refused);
    std::printf("program late/early %s   target: program/dante >= 1.5, early and late\n",
        ratio(late.rate[0], early.rate[0]).c_str());
    // CPU per handshake depends far less than rates on what else the machine is doing.
    table("CPU us per handshake", true);
    std::printf("\n== Memory per log line ==\n");
    std::printf("log lines added %llu; program VmRSS %.1f -> %.1f MiB; %.0f bytes per line "
                "(target <= 64: %s)\n",
        static_cast<unsigned long long>(lines), static_cast<double>(rssBefore) / (1 << 20),
        static_cast<double>(rssAfter) / (1 << 20), perLine,
        lines == 0          ? "-"
            : perLine <= 64 ? "met"
                            : "NOT MET");
    std::fflush(stdout);

    for (Side &side : sides)
        side.child.stop();
    ::unlink((dir + "/mirror.txt").c_str());
    return 0;
}
