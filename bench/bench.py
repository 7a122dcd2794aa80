#!/usr/bin/env python3
"""The benchmark's driver (bench/README.md): the program as users run it, Dante and
splice_relay side by side on loopback, each cell in interleaved rounds, one table of same-run
ratios. bench/run.sh starts it inside a private network namespace; never run it outside one, as
the program's Listen sends UPnP discovery."""
import argparse
import collections
import json
import os
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")
MIB = 1 << 20
USER = "alice:bench-password"  # the program's one user, for the logins
STARTED = time.monotonic()
children = []  # every process started, ended by stop_all()
problems = []  # what looked wrong, printed after the table


class BenchError(Exception):
    pass


def log(*words):
    print(f"{time.monotonic() - STARTED:6.1f} s", *words, file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(check, seconds, what):
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            raise BenchError(f"no {what} within {seconds} s")
        time.sleep(0.05)


def accepts(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def spawn(command, output, **kw):
    # A session of its own, so that stopping it also ends what it forked (Dante's helpers).
    p = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                         start_new_session=True, **kw)
    children.append(p)
    return p


def stop(p, seconds=10):
    """Ends p's process group: SIGTERM, then SIGKILL. Returns p's exit status."""
    if p.poll() is None:
        os.killpg(p.pid, signal.SIGTERM)
        try:
            p.wait(seconds)
        except subprocess.TimeoutExpired:
            problems.append(f"{p.args[0]} did not end within {seconds} s of SIGTERM")
    try:
        os.killpg(p.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    p.wait()
    if p in children:
        children.remove(p)
    return p.returncode


def stop_all(*signalled):
    if signalled:
        log("interrupted: ending every process started")
    for p in list(children):
        stop(p, 3)
    if signalled:
        sys.exit(1)


def cpu_seconds(pid):
    """utime + stime of every thread of pid, from /proc."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def rss(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise BenchError(f"no VmRSS for {pid}")


class Proxy:
    def __init__(self, name, process, port):
        self.name, self.process, self.port = name, process, port

    def address(self):
        if self.process.poll() is not None:
            raise BenchError(f"{self.name} has ended, status {self.process.returncode}")
        return f"127.0.0.1:{self.port}"


class Bench:
    def __init__(self, a):
        self.a = a
        self.tool = lambda name: os.path.join(a.build, "bench", name)
        self.program_exe = os.path.join(a.build, "src", "ui", "socks4proxy")
        for path in (self.program_exe, self.tool("socksbench"), self.tool("splice_relay"),
                     self.tool("socksload")):
            if not os.access(path, os.X_OK):
                raise BenchError(f"{path} is missing: build with scripts/build.sh Release --bench")
        self.work = tempfile.mkdtemp(prefix="socks4bench.")  # logs; kept when the run fails

    # --- the three proxies ---------------------------------------------------------------------

    def start_program(self, entries, *options, login=False):
        """The real executable, copied beside an IPs.txt of its own (the portable build's rule);
        with login, one user (USER) for the clients that log in."""
        folder = tempfile.mkdtemp(prefix="program.", dir=self.work)
        exe = os.path.join(folder, "socks4proxy")
        shutil.copy2(self.program_exe, exe)
        with open(os.path.join(folder, "IPs.txt"), "w") as f:
            f.write("".join(e + "\n" for e in entries))
        if login:
            user, password = USER.split(":")
            subprocess.run([exe, "--add-user", user], input=password + "\n", text=True,
                           check=True, capture_output=True, timeout=60)
        port, out = free_port(), os.path.join(folder, "stdout.log")
        p = spawn([exe, "--port", str(port), "--listen", *options], open(out, "wb"))

        def listening():
            with open(out, "rb") as f:
                text = f.read()
            if b"Listener Error" in text or p.poll() is not None:
                raise BenchError(f"the program did not listen: {text[-500:]!r}")
            return b"Listener Listening" in text
        wait_until(listening, 30, "\"Listener Listening\" from the program")
        return Proxy("program", p, port)

    def start_peer(self, name, port, command):
        """A peer proxy, ready once it accepts on port; its output in the work folder."""
        p = spawn(command, open(os.path.join(self.work, f"{name}.out"), "wb"))
        wait_until(lambda: accepts(port) or p.poll() is not None, 15, f"{name} listening")
        if p.poll() is not None:
            raise BenchError(f"{name} ended at start; see {self.work}/{name}.out")
        return Proxy(name, p, port)

    def start_dante(self, command=" command: connect\n protocol: tcp\n"):
        port = free_port()
        # Real root drops to nobody; inside a user namespace only our own user is mapped.
        with open("/proc/self/uid_map") as f:
            user = "nobody" if f.read().split() == ["0", "0", "4294967295"] else "root"
        config = os.path.join(self.work, "danted.conf")
        with open(config, "w") as f:
            f.write(f"logoutput: {self.work}/danted.log\n"
                    f"internal: 127.0.0.1 port = {port}\nexternal: 127.0.0.1\n"
                    "clientmethod: none\nsocksmethod: none\n"
                    f"user.privileged: root\nuser.unprivileged: {user}\n"
                    "client pass {\n from: 127.0.0.1/32 to: 0.0.0.0/0\n log: error\n}\n"
                    "socks pass {\n from: 127.0.0.1/32 to: 127.0.0.1/32\n"
                    f"{command} log: error\n}}\n")
        return self.start_peer("Dante", port,
                               [shutil.which("danted") or "/usr/sbin/danted", "-f", config])

    def start_splice(self):
        port = free_port()
        return self.start_peer("splice_relay", port,
                               [self.tool("splice_relay"), str(port), "127.0.0.1", "36000"])

    def start_microsocks(self):
        port = free_port()
        return self.start_peer("microsocks", port,
                               ["microsocks", "-i", "127.0.0.1", "-p", str(port)])

    def start_tinyproxy(self):
        port, config = free_port(), os.path.join(self.work, "tinyproxy.conf")
        with open(config, "w") as f:  # no ConnectPort line: CONNECT to any port
            f.write(f"Port {port}\nListen 127.0.0.1\nAllow 127.0.0.1\nMaxClients 512\n"
                    "LogLevel Error\nTimeout 60\n")
        return self.start_peer("tinyproxy", port, ["tinyproxy", "-d", "-c", config])

    # --- the load ------------------------------------------------------------------------------

    def run_json(self, command, timeout):
        r = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
        try:
            result = json.loads(r.stdout.strip().splitlines()[-1])
        except (IndexError, ValueError):
            result = {"ok": False, "error": f"status {r.returncode}: {r.stderr.strip()[-300:]}"}
        if not result.get("ok"):
            raise BenchError(f"{' '.join(command[:2])} via {command[-1]}: {result.get('error')}")
        return result

    def socksbench(self, proxy, *args):
        return self.run_json([self.tool("socksbench"), *args, "--timeout", "600", "--json",
                              "--proxy", proxy.address()], 700)

    def throughput(self, proxy, direction, size, streams):
        """MB/s (10^6 bytes) and payload bytes per CPU-second of the proxy process."""
        before = cpu_seconds(proxy.process.pid)
        r = self.socksbench(proxy, "throughput", "--dir", direction, "--bytes", size,
                            "--streams", str(streams))
        cpu = cpu_seconds(proxy.process.pid) - before
        return r["mbps"], r["total_bytes"] / cpu if cpu > 0 else float("inf")

    def handshakes(self, proxy, *how, count=None):
        """Connect, request, grant, 1 byte echoed, the destination's close; how: --socks 5 ..."""
        return self.socksbench(proxy, "handshake", "--count", str(count or self.a.count),
                               "--parallel", str(self.a.parallel), *how)["conn_per_s"]

    def latency(self, proxy):
        return self.socksbench(proxy, "latency", "--count", str(self.a.latency_count))["p50_us"]

    def busy_latency(self, proxy):
        """Round trips of one client while another downloads flat out through the same proxy."""
        stream = subprocess.Popen([self.tool("socksbench"), "throughput", "--dir", "down",
                                   "--bytes", "4000G", "--streams", "1", "--timeout", "600",
                                   "--proxy", proxy.address()],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        try:
            time.sleep(0.5)
            if stream.poll() is not None:
                raise BenchError(f"the download beside the probe failed: {stream.stderr.read()}")
            return self.latency(proxy)
        finally:
            stream.terminate()
            stream.wait()

    def slow_readers(self, proxy):
        """Peak RSS above idle while 16 clients of flat-out destinations read 1 byte per 100 ms
        (half of them) or nothing; sampled after the first settle seconds."""
        pid = proxy.process.pid
        idle, cpu = rss(pid), cpu_seconds(pid)
        load = subprocess.Popen([self.tool("socksload"), "slow", "--clients", "16",
                                 "--seconds", str(self.a.slow_seconds), "--every-ms", "100",
                                 "--proxy", proxy.address()],
                                stdout=subprocess.PIPE, text=True)
        try:
            ready = select.select([load.stdout], [], [], 30)[0]
            if not ready or load.stdout.readline() != "ready\n":
                raise BenchError("slow readers: no grants for 16 clients within 30 s")
            time.sleep(self.a.settle)
            peak = 0
            while load.poll() is None:
                peak = max(peak, rss(pid))
                time.sleep(0.2)
            result = json.loads(load.stdout.read().strip().splitlines()[-1])
            if not result.get("ok"):
                raise BenchError(f"slow readers: {result.get('error')}")
        finally:
            if load.poll() is None:
                load.kill()
            load.wait()
        cpu = cpu_seconds(pid) - cpu  # a proxy that spins on a full path would show here
        time.sleep(2)  # the slots end, each within a second of its client
        return (peak - idle) / MIB, idle / MIB, rss(pid) / MIB, cpu

    def log_errors(self, proxy):
        """The program's "Error" lines by form (numbers as N), most frequent first."""
        with open(os.path.join(os.path.dirname(proxy.process.args[0]), "stdout.log"), "rb") as f:
            lines = f.read().decode(errors="replace").splitlines()
        forms = collections.Counter(re.sub(r"\d+", "N", ln) for ln in lines if "Error" in ln)
        return len(lines), forms.most_common(5)

    # --- the cells -----------------------------------------------------------------------------

    def live_program(self):
        if self.program.process.poll() is not None:
            p = self.program.process
            problems.append(f"the program ended during the run, status {p.returncode}"
                            f" (log in {os.path.dirname(p.args[0])})")
            self.program = self.start_program(["127.0.0.1", "::1"], login=True)
        return self.program

    def rounds(self, what, steps):
        """Each step once per round, in turn, for a.rounds rounds: {label: [figure per round]}.
        Each round starts one step further on, so that no step always comes first."""
        figures = {label: [] for label, _ in steps}
        for r in range(self.a.rounds):
            for label, step in steps[r % len(steps):] + steps[:r % len(steps)]:
                figures[label].append(step())
                log(f"  {what}, round {r + 1}: {label} {figures[label][-1]}")
        return figures

    def trio(self, measure):
        return [("program", lambda: measure(self.live_program())),
                ("Dante", lambda: measure(self.dante)),
                ("splice_relay", lambda: measure(self.splice))]

    def run(self):
        a = self.a
        self.program = self.start_program(["127.0.0.1", "::1"], login=True)
        self.dante, self.splice = self.start_dante(), self.start_splice()
        self.micro, self.tiny = self.start_microsocks(), self.start_tinyproxy()
        time.sleep(1)
        first_rss = rss(self.program.process.pid)
        rows = []

        def cell(name, work):
            """work() gives the row's figures, or a list of whole rows."""
            log(name)
            try:
                figures = work()
                rows.extend(figures if isinstance(figures, list) else [(name, *figures)])
            except (BenchError, subprocess.TimeoutExpired) as e:
                problems.append(f"{name}: {e}")
                rows.append((name, "failed", str(e)[:120]))

        def against(f, peers, key=lambda x: x):
            return ", ".join(f"{peer} {ratio(f, 'program', peer, key):.2f}" for peer in peers)

        def throughput(direction, size, streams):
            f = self.rounds(f"{streams} stream(s) {direction}",
                            self.trio(lambda p: self.throughput(p, direction, size, streams)))
            return (f"{med(f['program'], 0):.0f} MB/s",
                    against(f, ["Dante", "splice_relay"], lambda x: x[0])), f

        down1 = {}

        def one_down():
            text, f = throughput("down", a.bytes, 1)
            down1.update(f)
            return text
        cell(f"throughput, 1 stream down, {a.bytes}", one_down)
        if down1:
            rows.append(("bytes per CPU-second, 1 stream down",
                         f"{med(down1['program'], 1) / 1e9:.2f} GB/CPU-s",
                         against(down1, ["splice_relay"], lambda x: x[1])))
        cell(f"throughput, 1 stream up, {a.bytes}", lambda: throughput("up", a.bytes, 1)[0])
        cell(f"throughput, 16 streams down, {a.bytes16} each",
             lambda: throughput("down", a.bytes16, 16)[0])

        def fairness():
            measure = lambda p: (self.latency(p), self.busy_latency(p))  # noqa: E731
            f = self.rounds("latency idle, busy",
                            [s for s in self.trio(measure) if s[0] != "Dante"])
            slowdown = lambda x: x[1] / x[0]  # noqa: E731
            return (f"busy/idle {med(f['program'], slowdown):.2f} (p50 {med(f['program'], 0):.0f}"
                    f" -> {med(f['program'], 1):.0f} us)",
                    f"splice_relay's busy/idle {med(f['splice_relay'], slowdown):.2f}; program's "
                    f"over splice_relay's {ratio(f, 'program', 'splice_relay', slowdown):.2f}")
        cell("fairness: latency p50 beside a 1-stream download", fairness)

        def handshakes():
            program = lambda *how: lambda: self.handshakes(self.live_program(), *how)  # noqa
            login = ("--socks", "5", "--auth", USER, "--source", "127.0.0.2")  # not on the list
            self.handshakes(self.live_program(), *login, count=50)  # the login remembered
            steps = self.trio(self.handshakes) + [
                ("SOCKS5", program("--socks", "5")),
                ("microsocks", lambda: self.handshakes(self.micro, "--socks", "5")),
                ("CONNECT", program("--socks", "http")),
                ("tinyproxy", lambda: self.handshakes(self.tiny, "--socks", "http")),
                ("login", program(*login))]
            f = self.rounds("handshakes", steps)
            n = f"{a.parallel} parallel"
            return [(f"SOCKS4 handshakes/s, {n}", f"{med(f['program']):.0f} /s",
                     against(f, ["Dante", "splice_relay"]) + " (target: splice_relay >= 1.0)"),
                    (f"SOCKS5 handshakes/s, {n}", f"{med(f['SOCKS5']):.0f} /s",
                     f"microsocks {ratio(f, 'SOCKS5', 'microsocks'):.2f} (target >= 1.0)"),
                    (f"HTTP CONNECT handshakes/s, {n}", f"{med(f['CONNECT']):.0f} /s",
                     f"tinyproxy {ratio(f, 'CONNECT', 'tinyproxy'):.2f} (target >= 1.5)"),
                    (f"SOCKS5 with a password, {n}", f"{med(f['login']):.0f} /s",
                     f"over a listed client's {ratio(f, 'login', 'SOCKS5'):.2f} (target >= 0.8)")]
        cell("handshakes", handshakes)

        def memory():
            above, idle, after, cpu = self.slow_readers(self.live_program())
            if above > 16:
                problems.append(f"memory with slow readers: {above:.1f} MiB above idle (target 16)")
            return (f"{above:+.1f} MiB",
                    f"target <= 16 MiB; idle {idle:.1f} MiB, "
                    f"{after:.1f} MiB after the clients left; {cpu:.2f} CPU-s in "
                    f"{a.slow_seconds:g} s")
        cell("memory: 16 slow readers, peak RSS above idle", memory)

        last_rss = rss(self.live_program().process.pid)
        status = stop(self.program.process)
        if status != 0:
            problems.append(f"the program ended with status {status} on SIGTERM")
        self.errors = self.log_errors(self.program)

        def window():  # fresh programs, the Connections window (a snapshot a second) open or not
            ps = {"closed": self.start_program(["127.0.0.1"]),
                  "open": self.start_program(["127.0.0.1"], "--connections")}
            try:
                f = self.rounds("window", [(k, lambda p=p: (self.handshakes(p), self.throughput(
                    p, "down", a.bytes, 1)[0])) for k, p in ps.items()])
            finally:
                [stop(p.process) for p in ps.values()]
            r = [ratio(f, "open", "closed", lambda x, i=i: x[i]) for i in (0, 1)]
            return f"handshakes {r[0]:.2f}, 1 stream down {r[1]:.2f}", "open over closed (>= 0.95)"
        cell("the Connections window open: SOCKS4 handshakes/s, 1 stream down", window)

        def admission():
            many = [f"10.{i}.0.0/16" if i % 100 == 0 else f"fd00::{i:x}" if i % 100 == 50
                    else f"192.168.{i // 200}.{i % 200 + 1}" for i in range(a.entries - 1)]

            def with_list(entries):
                self.program = self.start_program(entries)
                try:
                    return self.handshakes(self.program)
                finally:
                    stop(self.program.process)
            f = self.rounds("admission", [("1 entry", lambda: with_list(["127.0.0.1"])),
                                          ("many", lambda: with_list(many + ["127.0.0.1"]))])
            return (f"{med(f['many']):.0f} /s with {a.entries} entries",
                    f"over 1 entry's ({med(f['1 entry']):.0f} /s) "
                    f"{ratio(f, 'many', '1 entry'):.2f}")
        cell(f"admission: SOCKS4 handshakes/s, {a.entries} allow-list entries", admission)
        return rows, first_rss, last_rss


def med(figures, index=None):
    if callable(index):
        return statistics.median(index(x) for x in figures)
    return statistics.median(x if index is None else x[index] for x in figures)


def ratio(f, name, peer, key=lambda x: x):
    """The median of the same-round ratios name/peer."""
    return statistics.median(key(x) / key(y) for x, y in zip(f[name], f[peer]))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "release"))
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 1 round, 256M streams, 16M each of 16, 1000 handshakes")
    parser.add_argument("--rounds", type=int)
    parser.add_argument("--bytes", help="per stream, 1 stream (2G)")
    parser.add_argument("--bytes16", help="per stream, 16 streams (256M)")
    parser.add_argument("--count", type=int, help="handshakes per measurement (6000)")
    parser.add_argument("--parallel", type=int, default=15)
    parser.add_argument("--latency-count", type=int, help="round trips per latency figure (5000)")
    parser.add_argument("--slow-seconds", type=float, help="how long the slow readers read (10)")
    parser.add_argument("--settle", type=float, help="seconds before memory is sampled (3)")
    parser.add_argument("--entries", type=int, default=1000, help="allow-list entries (1000)")
    a = parser.parse_args()
    defaults = dict(rounds=5, bytes="2G", bytes16="256M", count=6000, latency_count=5000,
                    slow_seconds=10, settle=3)
    if a.quick:
        defaults.update(rounds=1, bytes="256M", bytes16="16M", count=1000, latency_count=2000,
                        slow_seconds=4, settle=1)
    for k, v in defaults.items():
        if getattr(a, k) is None:
            setattr(a, k, v)
    a.build = os.path.abspath(a.build)
    with open("/proc/net/dev") as f:  # this network namespace's interfaces
        interfaces = [line.split(":")[0].strip() for line in f.readlines()[2:]]
    if interfaces != ["lo"]:
        sys.exit("bench: run me through bench/run.sh: in a network namespace that holds only lo")
    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(s, stop_all)
    start, load = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), os.getloadavg()
    bench = None
    try:
        bench = Bench(a)
        rows, first_rss, last_rss = bench.run()
    except BenchError as e:
        sys.exit(f"bench: {e}" + (f" (logs in {bench.work})" if bench else ""))
    finally:
        stop_all()
    lines, forms = bench.errors
    if last_rss - first_rss > 16 * MIB + 48 * lines:  # the log keeps its lines (about 36 bytes)
        problems.append(f"the program grew from {first_rss / MIB:.1f} to {last_rss / MIB:.1f} MiB")
    print(f"{start}, {os.cpu_count()} cores, load average {load[0]:.2f} at the start and "
          f"{os.getloadavg()[0]:.2f} at the end; {a.rounds} round(s), "
          "medians of same-round ratios\n")
    print("| cell | program | against (same run) |\n|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print(f"\nThe program's RSS: {first_rss / MIB:.1f} MiB after start, {last_rss / MIB:.1f} MiB "
          "before the admission cell's restarts.")
    print(f"Its log: {lines} lines; error lines by form: "
          + ("; ".join(f"{n} x {form}" for form, n in forms) or "none") + ".")
    for p in problems:
        print(f"problem: {p}")
    shutil.rmtree(bench.work, ignore_errors=True)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
