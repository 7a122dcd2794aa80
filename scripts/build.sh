#!/usr/bin/env bash
# Configures and builds into build/<type>[-sanitize]. Prints the build directory last.
# Usage: scripts/build.sh [Release|Debug] [--sanitize] [--werror] [--bench] [--target NAME]
# --bench also builds the benchmark's tools (bench/, -DSOCKS4_BENCH=ON).
# SOCKS4_WERROR=ON in the environment also turns warnings into errors.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
type="Release"; sanitize=OFF; werror="${SOCKS4_WERROR:-OFF}"; target=(); bench=OFF
while [ $# -gt 0 ]; do
    case "$1" in
        --sanitize) sanitize=ON ;;
        --werror) werror=ON ;;
        --bench) bench=ON ;;
        --target) target=(--target "$2"); shift ;;
        Release|Debug|RelWithDebInfo) type="$1" ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done
dir="$root/build/${type,,}"
# ccache, where it is installed, shares compiled objects between checkouts of the same tree.
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}" CCACHE_NOHASHDIR=true
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
[ "$sanitize" = ON ] && dir="$dir-sanitize"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
    -DSOCKS4_SANITIZE="$sanitize" -DSOCKS4_WERROR="$werror" -DSOCKS4_BENCH="$bench" "${launcher[@]}" >&2
cmake --build "$dir" -j "$(nproc)" "${target[@]}" >&2
echo "$dir"
