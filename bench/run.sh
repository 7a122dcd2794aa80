#!/usr/bin/env bash
# Builds Release and runs the benchmarks, printing their figures.
# Usage: bench/run.sh [--quick] [bench_relay options...]   (bench_relay --help lists them)
# danted (dante-server) is started as a comparison when present; that needs root.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" --bench
dir="$("$root/scripts/build.sh" Release | tail -n 1)"
echo "== bench_relay ($dir/bench) =="
"$dir/bench/bench_relay" --proxyd "$dir/bench/bench_proxyd" "$@"
