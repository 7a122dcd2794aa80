#!/usr/bin/env python3
"""UDP through the proxies (bench/README.md): datagrams per second through a SOCKS5 UDP
association against direct, to an echo on loopback (bench/udpload.cpp), for the program and for
Dante. Started by `bash bench/run.sh --udp`, inside a private network namespace that holds only
lo, like the rest of the benchmark."""
import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no byte-code beside the sources
import bench  # noqa: E402


def start_dante(work):
    port = bench.free_port()
    with open("/proc/self/uid_map") as f:  # real root drops to nobody, as in bench.py
        user = "nobody" if f.read().split() == ["0", "0", "4294967295"] else "root"
    config = os.path.join(work, "danted-udp.conf")
    with open(config, "w") as f:
        f.write(f"logoutput: {work}/danted.log\n"
                f"internal: 127.0.0.1 port = {port}\nexternal: 127.0.0.1\n"
                "clientmethod: none\nsocksmethod: none\nuser.privileged: root\n"
                f"user.unprivileged: {user}\n"
                "client pass {\n from: 127.0.0.1/32 to: 0.0.0.0/0\n log: error\n}\n"
                "socks pass {\n from: 127.0.0.1/32 to: 127.0.0.1/32\n"
                " command: udpassociate udpreply\n log: error\n}\n")
    danted = shutil.which("danted") or "/usr/sbin/danted"
    p = bench.spawn([danted, "-f", config], open(os.path.join(work, "danted.out"), "wb"))
    bench.wait_until(lambda: bench.accepts(port) or p.poll() is not None, 15, "Dante listening")
    if p.poll() is not None:
        raise bench.BenchError(f"danted ended at start; see {work}/danted.out")
    return bench.Proxy("Dante", p, port)


def start_program(build, work):
    b = bench.Bench.__new__(bench.Bench)  # only its program starter is wanted
    b.work, b.program_exe = work, os.path.join(build, "src", "ui", "socks4proxy")
    return b.start_program(["127.0.0.1", "::1"])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(here, "..", "build", "release"))
    parser.add_argument("--quick", action="store_true", help="1 s each way instead of 5")
    parser.add_argument("--size", type=int, default=512, help="payload bytes (512)")
    parser.add_argument("--window", type=int, default=32, help="datagrams in flight (32)")
    a, _ = parser.parse_known_args()
    with open("/proc/net/dev") as f:
        if [line.split(":")[0].strip() for line in f.readlines()[2:]] != ["lo"]:
            sys.exit("udp: run me through bench/run.sh --udp: in a namespace that holds only lo")
    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(s, bench.stop_all)
    work = tempfile.mkdtemp(prefix="socks4udp.")
    tool = os.path.join(os.path.abspath(a.build), "bench", "udpload")
    print("| proxy | request | direct /s | through /s | ratio | lost (direct, through) |\n"
          "|---|---|---|---|---|---|")
    try:
        for start in (lambda: start_program(os.path.abspath(a.build), work),
                      lambda: start_dante(work)):
            proxy = start()
            for form in ("zero", "name"):
                r = subprocess.run([tool, "--proxy", proxy.address(), "--seconds",
                                    "1" if a.quick else "5", "--size", str(a.size), "--window",
                                    str(a.window), "--form", form],
                                   capture_output=True, text=True, timeout=120)
                f = json.loads((r.stdout.strip().splitlines() or ["{}"])[-1] or "{}")
                if not f.get("ok"):
                    print(f"| {proxy.name} | {form} | failed: {f.get('error', r.stderr)} |||")
                    continue
                print(f"| {proxy.name} | {form} | {f['direct_per_s']:.0f} | "
                      f"{f['proxy_per_s']:.0f} | {f['ratio']:.3f} | "
                      f"{f['lost_direct']}, {f['lost_proxy']} |", flush=True)
            bench.stop(proxy.process)
    except bench.BenchError as e:
        sys.exit(f"udp: {e} (logs in {work})")
    finally:
        bench.stop_all()
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
