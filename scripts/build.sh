#!/usr/bin/env bash
# Configures and builds into build/<type>[-sanitize]. Prints the build directory last.
# Usage: scripts/build.sh [Release|Debug] [--sanitize] [--werror]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
type="Release"; sanitize=OFF; werror=OFF
for a in "$@"; do
    case "$a" in
        --sanitize) sanitize=ON ;;
        --werror) werror=ON ;;
        Release|Debug|RelWithDebInfo) type="$a" ;;
        *) echo "unknown argument: $a" >&2; exit 2 ;;
    esac
done
dir="$root/build/${type,,}"
[ "$sanitize" = ON ] && dir="$dir-sanitize"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" \
    -DSOCKS4_SANITIZE="$sanitize" -DSOCKS4_WERROR="$werror" >&2
cmake --build "$dir" -j "$(nproc)" >&2
echo "$dir"
