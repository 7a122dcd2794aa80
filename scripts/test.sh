#!/usr/bin/env bash
# Installs what is needed, builds and runs the whole test suite through CTest.
# Usage: scripts/test.sh [--sanitize] [--werror] [--bench]
# --bench also builds the benchmark's tools, so they keep compiling; CTest runs none of them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
type=Release
for a in "$@"; do [ "$a" = --sanitize ] && type=Debug; done
dir="$("$root/scripts/build.sh" "$type" "$@")"
cd "$dir"
export QT_QPA_PLATFORM=offscreen
if [[ " $* " == *" --sanitize "* ]]; then
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
ctest --output-on-failure -j 2 --timeout 300
