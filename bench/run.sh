#!/usr/bin/env bash
# Builds Release and runs the benchmarks, printing their figures.
# Usage: bench/run.sh [--quick] [bench_relay options...]   (bench_relay --help lists them)
# danted (dante-server) and bench/splicerelay.c are started as comparisons; that needs root
# (bench_relay runs in a private network namespace of its own).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" --bench
dir="$("$root/scripts/build.sh" Release | tail -n 1)"
echo "== bench_relay ($dir/bench) =="
"$dir/bench/bench_relay" "$@"
# Many short connections through the program with its window open, against Dante; then the busy
# page in Chromium and curl. Both run in private network namespaces of their own.
quick=()
for a in "$@"; do [ "$a" = --quick ] && quick=(--quick); done
echo "== bench_handshake =="
"$dir/bench/bench_handshake" "${quick[@]}"
echo "== busy page =="
"$root/bench/busypage.sh" --window "$dir/bench/bench_window"
