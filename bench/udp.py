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
        b = bench.Bench.__new__(bench.Bench)  # only its proxy starters are wanted
        b.work, b.program_exe = work, os.path.join(a.build, "src", "ui", "socks4proxy")
        for start in (lambda: b.start_program(["127.0.0.1", "::1"]),
                      lambda: b.start_dante(" command: udpassociate udpreply\n")):
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
