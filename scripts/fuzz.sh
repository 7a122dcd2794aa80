#!/usr/bin/env bash
# Runs each fuzz target for SECONDS under ASan and UBSan (clang-14: scripts/install-deps.sh --fuzz),
# seeded by the corpus, and prints its runs or finding (exit 1). New inputs stay in
# build/fuzz/corpus/<target>, findings go to build/fuzz/findings/<target>-*.
# Usage: scripts/fuzz.sh SECONDS [TARGET...]   (targets: socks rfc1929 http udp)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)" && build="$root/build/fuzz" && status=0
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]} && shift
targets=("$@") && [ $# -gt 0 ] || targets=(socks rfc1929 http udp)
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSOCKS4_FUZZ=ON >/dev/null && cmake --build "$build" -j 2 --target "${targets[@]/#/fuzz_}" >&2
for t in "${targets[@]}"; do # SOCKS: up to the longest user id and name; HTTP: a few heads, in chunks
    mkdir -p "$build/corpus/$t" "$build/findings" && len=$(case $t in socks) echo 1400 ;; http) echo 4096 ;; udp) echo 400 ;; *) echo 600 ;; esac)
    out=$(ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=5} "$build/tests/fuzz/fuzz_$t" \
        -max_len="$len" -max_total_time="$seconds" -artifact_prefix="$build/findings/$t-" \
        "$build/corpus/$t" "$root/tests/fuzz/corpus/$t" 2>&1 | grep -E '^Done|broken|SUMMARY') || status=1
    echo "$t: $out"
done
exit "$status"
