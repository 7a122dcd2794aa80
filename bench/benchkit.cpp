#include "benchkit.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>

namespace benchkit {

namespace {

const char *g_program = "bench";
/// Process groups of the children still running, for the time-out handler.
volatile sig_atomic_t g_groups[8] = {};
char g_timeoutText[128] = {};

void onTimeout(int)
{
    for (const volatile sig_atomic_t &g : g_groups) {
        if (g > 0)
            ::kill(-g, SIGKILL);
    }
    (void)!::write(STDERR_FILENO, g_timeoutText, std::strlen(g_timeoutText));
    ::_exit(3);
}

/// In a child: runs argv (searched in PATH), or ends the child.
[[noreturn]] void exec(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "%s: exec %s: %s\n", g_program, args[0], std::strerror(errno));
    ::_exit(127);
}

bool writeFile(const char *path, const char *text)
{
    std::ofstream f(path);
    f << text;
    return static_cast<bool>(f);
}

} // namespace

double secondsSince(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void setProgramName(const char *name)
{
    g_program = name;
}

const char *programName()
{
    return g_program;
}

// --- Sockets ----------------------------------------------------------------------------------

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t localPort(int fd)
{
    sockaddr_in a {};
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
    return ntohs(a.sin_port);
}

uint16_t freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(0);
    ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    const uint16_t port = localPort(fd);
    ::close(fd);
    return port;
}

int listenLoopback(int backlog, bool nonBlocking)
{
    const int fd =
        ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in a = loopback(0);
    ::bind(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a);
    ::listen(fd, backlog);
    return fd;
}

int tcpConnect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in a = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool readExactly(int fd, unsigned char *buffer, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::recv(fd, buffer + got, size - got, 0);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int socksConnect(uint16_t proxyPort, uint16_t destPort)
{
    const int fd = tcpConnect(proxyPort);
    if (fd < 0)
        return -1;
    const unsigned char request[] = { 4, 1, static_cast<unsigned char>(destPort >> 8),
        static_cast<unsigned char>(destPort & 0xff), 127, 0, 0, 1, 'b', 'e', 'n', 'c', 'h', 0 };
    unsigned char reply[8];
    if (!sendAll(fd, reinterpret_cast<const char *>(request), sizeof request)
        || !readExactly(fd, reply, sizeof reply) || reply[0] != 0 || reply[1] != 0x5a) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void resetAndClose(int fd)
{
    const linger hard { 1, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

bool waitListening(uint16_t port, double seconds)
{
    const auto t0 = Clock::now();
    while (secondsSince(t0) < seconds) {
        const int fd = tcpConnect(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool enterPrivateNetwork(bool widePorts)
{
    if (::unshare(CLONE_NEWNET) != 0) {
        std::fprintf(stderr, "%s: unshare(CLONE_NEWNET) (needs root; or pass --no-netns): %s\n",
            g_program, std::strerror(errno));
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0
        && ((request.ifr_flags |= IFF_UP | IFF_RUNNING), ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    const int error = errno;
    ::close(fd);
    if (!up) {
        std::fprintf(stderr, "%s: bringing lo up: %s\n", g_program, std::strerror(error));
        return false;
    }
    if (widePorts) {
        // These settings belong to the new namespace only.
        writeFile("/proc/sys/net/ipv4/ip_local_port_range", "1024 65535");
        writeFile("/proc/sys/net/ipv4/tcp_tw_reuse", "1");
    }
    return true;
}

// --- Processes --------------------------------------------------------------------------------

void startTimeBudget(unsigned seconds)
{
    std::snprintf(
        g_timeoutText, sizeof g_timeoutText, "%s: time budget exceeded, stopped\n", g_program);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGALRM, onTimeout);
    ::alarm(seconds);
}

void rememberGroup(pid_t pid, bool running)
{
    for (volatile sig_atomic_t &g : g_groups) {
        if (running ? g == 0 : g == pid) {
            g = running ? pid : 0;
            return;
        }
    }
}

void Child::stop(int signal)
{
    if (pid <= 0)
        return;
    ::kill(-pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    rememberGroup(pid, false);
    pid = -1;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &out, const std::string &err)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int e =
            err == out ? o : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(o, STDOUT_FILENO);
        ::dup2(e, STDERR_FILENO);
        exec(argv);
    }
    ::setpgid(pid, pid);
    rememberGroup(pid, true);
    return pid;
}

std::optional<Child> startProxy(const std::vector<std::string> &argv, const std::string &mirror)
{
    const bool window = std::any_of(argv.begin(), argv.end(),
        [](const std::string &a) { return a.find("bench_window") != std::string::npos; });
    int out[2];
    if (::pipe(out) != 0)
        return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(out[1], window ? STDERR_FILENO : STDOUT_FILENO);
        if (window) {
            ::dup2(::open(mirror.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        }
        ::close(out[0]);
        ::close(out[1]);
        exec(argv);
    }
    ::close(out[1]);
    ::setpgid(pid, pid);
    rememberGroup(pid, true);
    std::string line, before; // before: what came ahead of the port, Qt's warnings for instance
    for (char c = 0; ::read(out[0], &c, 1) == 1;) {
        if (c != '\n')
            line += c;
        else if (!window || line.rfind("listening ", 0) == 0)
            break;
        else
            before += std::exchange(line, {}) + '\n';
    }
    std::thread([fd = out[0]] {
        char sink[4096];
        while (::read(fd, sink, sizeof sink) > 0) { }
        ::close(fd);
    }).detach();
    const size_t digits = line.find_first_of("0123456789");
    Child child { pid,
        static_cast<uint16_t>(digits == std::string::npos ? 0 : std::atoi(line.c_str() + digits)) };
    if (child.port == 0 || !waitListening(child.port, 10)) {
        std::fprintf(
            stderr, "%s: %s did not start\n%s", g_program, argv[0].c_str(), before.c_str());
        child.stop();
        return std::nullopt;
    }
    return child;
}

std::optional<Child> startDante(const std::string &dir, bool sayWhenMissing)
{
    std::string binary;
    for (const char *c : { "/usr/sbin/danted", "/usr/local/sbin/danted" }) {
        if (::access(c, X_OK) == 0)
            binary = c;
    }
    if (binary.empty() || ::geteuid() != 0) {
        if (sayWhenMissing)
            std::fprintf(stderr, "%s: no danted (or not root): no comparison\n", g_program);
        return std::nullopt;
    }
    const uint16_t port = freePort();
    const std::string config = dir + "/danted.conf";
    std::ofstream(config) << "logoutput: " << dir << "/danted.log\n"
                          << "internal: 127.0.0.1 port = " << port << "\n"
                          << "external: 127.0.0.1\n"
                          << "clientmethod: none\n"
                          << "socksmethod: none\n"
                          << "user.privileged: root\n"
                          << "user.unprivileged: nobody\n"
                          << "client pass {\n  from: 127.0.0.1/32 to: 0.0.0.0/0\n"
                             "  log: error\n}\n"
                          << "socks pass {\n  from: 127.0.0.1/32 to: 127.0.0.1/32\n"
                             "  command: connect\n  protocol: tcp\n  log: error\n}\n";
    const std::string log = dir + "/danted.out";
    Child child { spawn({ binary, "-f", config }, log, log), port };
    if (!waitListening(port, 5)) {
        child.stop();
        std::fprintf(stderr, "%s: danted did not start (see %s)\n", g_program, log.c_str());
        return std::nullopt;
    }
    return child;
}

std::string besideSelf(const std::string &name)
{
    std::string self(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size());
    self.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return self.substr(0, self.rfind('/') + 1) + name;
}

std::string makeWorkDir()
{
    std::string path = std::string("/tmp/") + g_program + ".XXXXXX";
    if (!::mkdtemp(path.data()))
        return "/tmp";
    ::chmod(path.c_str(), 0755);
    return path;
}

// --- /proc ------------------------------------------------------------------------------------

Memory readMemory(pid_t pid)
{
    Memory m;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            m.rss = std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
        else if (line.rfind("VmHWM:", 0) == 0)
            m.hwm = std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    }
    return m;
}

std::vector<pid_t> groupMembers(pid_t group)
{
    std::vector<pid_t> members;
    DIR *proc = ::opendir("/proc");
    while (dirent *e = proc ? ::readdir(proc) : nullptr) {
        const pid_t pid = std::atoi(e->d_name);
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        if (pid <= 0 || !std::getline(stat, text))
            continue;
        int pgrp = 0;
        const size_t close = text.rfind(')');
        if (close != std::string::npos
            && std::sscanf(text.c_str() + close + 1, " %*c %*d %d", &pgrp) == 1 && pgrp == group)
            members.push_back(pid);
    }
    if (proc)
        ::closedir(proc);
    return members;
}

double groupCpu(pid_t group, bool endedChildren)
{
    double ticks = 0;
    for (const pid_t pid : groupMembers(group)) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        std::getline(stat, text);
        // After the command: state, ppid, pgrp, ... utime (14th field), stime, cutime, cstime.
        unsigned long user = 0, system = 0;
        long childUser = 0, childSystem = 0;
        const size_t close = text.rfind(')');
        if (close != std::string::npos
            && std::sscanf(text.c_str() + close + 1,
                   " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %ld %ld", &user, &system,
                   &childUser, &childSystem)
                >= 2)
            ticks += static_cast<double>(user + system)
                + (endedChildren ? static_cast<double>(childUser + childSystem) : 0);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void resetPeaks(pid_t group)
{
    for (const pid_t pid : groupMembers(group))
        std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

uint64_t groupPeak(pid_t group)
{
    uint64_t sum = 0;
    for (const pid_t pid : groupMembers(group))
        sum += readMemory(pid).hwm;
    return sum;
}

// --- Figures ----------------------------------------------------------------------------------

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string fixed(double v, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string ratio(double a, double b)
{
    return a > 0 && b > 0 ? fixed(a / b, 2) : std::string("-");
}

std::string mib(uint64_t bytes)
{
    return fixed(static_cast<double>(bytes) / MiB, 1) + " MiB";
}

bool Args::next()
{
    if (++m_index >= m_argc)
        return false;
    m_flag = m_argv[m_index];
    return true;
}

const char *Args::value()
{
    if (m_index + 1 >= m_argc) {
        m_usage();
        std::exit(2);
    }
    return m_argv[++m_index];
}

int Args::unknown() const
{
    m_usage();
    return m_flag == "--help" ? 0 : 2;
}

} // namespace benchkit
