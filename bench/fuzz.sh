#!/usr/bin/env bash
# Runs each fuzz target (bench/fuzz) for SECONDS under ASan and UBSan and prints, per target,
# the executions and the findings. Builds them first in build/fuzz with clang-14
# (scripts/install-deps.sh --fuzz installs it). The committed corpus seeds each run; what the
# run adds stays in build/fuzz/corpus, findings go to build/fuzz/findings/<target>/.
# Usage: [RUNS=N] bench/fuzz.sh SECONDS [TARGET...]   (targets: socks4 allowlist ipsfile)
# With RUNS, a target also stops after N executions.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=${1:?usage: bench/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(socks4 allowlist ipsfile)
build="$root/build/fuzz"

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DSOCKS4_FUZZ=ON >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/#/fuzz_}" >&2

# Shorter allocation stacks than the default 30 frames: much faster, and a finding can be
# replayed with full stacks.
export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=5}
status=0
printf '%-10s %14s %9s %s\n' target executions findings seconds
for target in "${targets[@]}"; do
    work="$build/corpus/$target" findings="$build/findings/$target"
    mkdir -p "$work" "$findings"
    log="$build/$target.log"
    # Inputs no longer than a request with the longest user id and its host name, or a few
    # lines: longer ones only cost time.
    maxlen=64
    [ "$target" != socks4 ] || maxlen=1400
    # One process; a finding ends the run and is saved as crash-*, leak-*, timeout-* or oom-*.
    start=$SECONDS
    "$build/bench/fuzz/fuzz_$target" -max_total_time="$seconds" -runs="${RUNS:--1}" \
        -max_len="$maxlen" -print_final_stats=1 -artifact_prefix="$findings/" \
        "$work" "$root/bench/fuzz/corpus/$target" >"$log" 2>&1 || true
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    found=$(find "$findings" -type f | wc -l)
    [ "$found" -eq 0 ] || status=1
    printf '%-10s %14s %9s %s\n' "$target" "${runs:-?}" "$found" $((SECONDS - start))
    [ "$found" -eq 0 ] || { grep -m 5 -E 'ERROR|invariant|SUMMARY' "$log" || true; ls "$findings"; }
done
exit "$status"
