#!/usr/bin/env bash
# The benchmark (bench/README.md): installs the peers, builds the program (Release) with the
# benchmark's tools, then runs bench/bench.py inside a private network namespace that holds only
# loopback: pressing Listen sends UPnP discovery, which must not reach any real network.
# Usage: bash bench/run.sh [--quick] [bench.py options; --help lists them]
#        bash bench/run.sh --udp [--quick] [udp.py options]: UDP through an association, alone
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "${SOCKS4_BENCH_INSIDE:-}" != 1 ]; then
    bash "$root/scripts/install-deps.sh" --bench
    dir="$(bash "$root/scripts/build.sh" Release --bench)"
    as=(-rn)
    [ "$(id -u)" -eq 0 ] && as=(-n)
    exec env SOCKS4_BENCH_INSIDE=1 SOCKS4_BENCH_BUILD="$dir" unshare "${as[@]}" bash "$0" "$@"
fi
ip link set lo up
script=bench.py
[ "${1:-}" = --udp ] && script=udp.py && shift
run=(python3 "$root/bench/$script" --build "$SOCKS4_BENCH_BUILD" "$@")
if command -v xvfb-run >/dev/null; then
    run=(xvfb-run -a -s "-screen 0 1280x1024x24" "${run[@]}")
else
    export QT_QPA_PLATFORM=offscreen
fi
# The run is a process group of its own (bench.py ends every process it started when told to):
# an interrupted run.sh ends that group.
setsid "${run[@]}" &
pid=$!
trap 'kill -TERM -- "-$pid" 2>/dev/null || true; wait "$pid" || true' INT TERM HUP
wait "$pid"
