#!/usr/bin/env bash
# Installs everything the program, its tests and its benchmarks need from Debian 12's packages.
# Usage: scripts/install-deps.sh [--run-only | --bench | --fuzz | --package]
#   (default: what the build and the test suite need; --bench adds the benchmarks' peers;
#   --fuzz adds clang and libFuzzer for scripts/fuzz.sh; --package adds what scripts/package.sh
#   builds and checks the Debian package with)
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

build=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev libminiupnpc-dev libsodium-dev
       libhttp-parser-dev)
test=(qt6-qpa-plugins miniupnpc miniupnpd-nftables nftables iproute2 ncat curl wget python3
      python3-socks proxychains4 xvfb xauth util-linux)
bench=(dante-server tinyproxy microsocks)
fuzz=(clang-14 libclang-rt-14-dev)
package=(dpkg-dev file lintian desktop-file-utils appstream)

pkgs=("${build[@]}")
case "${1:-}" in
    --run-only) ;;
    --bench) pkgs+=("${test[@]}" "${bench[@]}") ;;
    --fuzz) pkgs+=("${test[@]}" "${fuzz[@]}") ;;
    --package) pkgs+=("${package[@]}") ;;
    *) pkgs+=("${test[@]}") ;;
esac

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
