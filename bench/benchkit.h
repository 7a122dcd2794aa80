#pragma once

// What the benchmark programs share: loopback sockets and SOCKS4 clients, child processes in
// process groups of their own (ended by a time budget), Dante as a peer, the private network
// namespace, the figures of /proc, and the formatting of tables.

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace benchkit {

using Clock = std::chrono::steady_clock;
constexpr uint64_t MiB = 1024 * 1024;

double secondsSince(Clock::time_point t0);

/// The program's name in front of every message, in the time budget's too (set it first).
void setProgramName(const char *name);
const char *programName();

// --- Sockets ----------------------------------------------------------------------------------

sockaddr_in loopback(uint16_t port);
uint16_t localPort(int fd);
/// A port that was free a moment ago (for a peer that has to be told its port).
uint16_t freePort();
/// A socket listening on 127.0.0.1 at a free port (SO_REUSEADDR).
int listenLoopback(int backlog, bool nonBlocking = false);
/// A blocking connection to 127.0.0.1:port, or -1.
int tcpConnect(uint16_t port);
bool readExactly(int fd, unsigned char *buffer, size_t size);
bool sendAll(int fd, const char *data, size_t size);
/// Connects through a SOCKS4 proxy to 127.0.0.1:destPort; returns the socket once granted.
int socksConnect(uint16_t proxyPort, uint16_t destPort);
/// Closes with a reset instead of an orderly end.
void resetAndClose(int fd);
/// Whether 127.0.0.1:port accepts a connection within `seconds`.
bool waitListening(uint16_t port, double seconds);

/// Moves this process (and so every child it starts) into a network namespace of its own with
/// only the loopback interface, up; with `widePorts` that namespace also gets the widest
/// ephemeral port range and TIME-WAIT reuse, for runs of very many short connections.
bool enterPrivateNetwork(bool widePorts = false);

// --- Processes --------------------------------------------------------------------------------

/// Past `seconds`, every child still running is killed (its whole group) and the program ends
/// with status 3. Also ignores SIGPIPE.
void startTimeBudget(unsigned seconds);

/// A child process in its own process group, ended with a signal to that group.
struct Child
{
    pid_t pid = -1;
    uint16_t port = 0;

    void stop(int signal = 15 /* SIGTERM */);
};

/// Starts argv[0] (searched in PATH) in a process group of its own, standard output and error
/// into the files `out` and `err` (which may be the same). The group is known to the time budget.
pid_t spawn(const std::vector<std::string> &argv, const std::string &out, const std::string &err);
/// Makes a group known to the time budget (for a child started otherwise), or forgets it.
void rememberGroup(pid_t pid, bool running);

/// Starts a proxy that prints its port: bench_proxyd and splicerelay as their first line on
/// standard output, bench_window (anywhere in argv, after a wrapper such as valgrind) as
/// "listening PORT" on standard error, its standard output (the log's mirror) going to `mirror`.
/// Whatever else comes on that pipe is read and dropped, so that the proxy never blocks on it.
std::optional<Child> startProxy(
    const std::vector<std::string> &argv, const std::string &mirror = "/dev/null");
/// Dante (danted) serving SOCKS4 on 127.0.0.1 to 127.0.0.1, its files in `dir`; none when it is
/// not installed or this is not root (then saying so when `sayWhenMissing`).
std::optional<Child> startDante(const std::string &dir, bool sayWhenMissing = false);

/// The file `name` in this program's own directory.
std::string besideSelf(const std::string &name);
/// A fresh directory /tmp/<program>.XXXXXX that others can read (Dante runs as nobody).
std::string makeWorkDir();

// --- /proc ------------------------------------------------------------------------------------

struct Memory
{
    uint64_t rss = 0; // VmRSS, bytes
    uint64_t hwm = 0; // VmHWM, bytes
};
Memory readMemory(pid_t pid);

/// The processes of process group `group` (a proxy and, for Dante, its helper processes).
std::vector<pid_t> groupMembers(pid_t group);
/// CPU seconds (user + system) used so far by the processes of `group`; with `endedChildren`
/// also those of their children that have ended.
double groupCpu(pid_t group, bool endedChildren = false);
/// Starts a new peak-RSS period for every process of `group` (VmHWM back to VmRSS).
void resetPeaks(pid_t group);
/// The sum of the peak RSS of the processes of `group` since resetPeaks().
uint64_t groupPeak(pid_t group);

// --- Figures ----------------------------------------------------------------------------------

double median(std::vector<double> v);
std::string fixed(double v, int decimals = 1);
/// a / b with two decimals, "-" when either is missing.
std::string ratio(double a, double b);
std::string mib(uint64_t bytes);

/// Command-line options: `while (args.next())` and compare args.flag(); value() takes the
/// option's value, or prints the usage and exits with status 2 when there is none.
class Args
{
public:
    Args(int argc, char **argv, void (*usage)()) : m_argc(argc), m_argv(argv), m_usage(usage) { }
    bool next();
    const std::string &flag() const { return m_flag; }
    bool is(const char *name) const { return m_flag == name; }
    const char *value();
    /// An unknown option: the usage, and status 0 for --help, else 2.
    int unknown() const;

private:
    int m_argc;
    char **m_argv;
    void (*m_usage)();
    int m_index = 0;
    std::string m_flag;
};

} // namespace benchkit
