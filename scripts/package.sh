#!/usr/bin/env bash
# Builds the Debian package of the installed program (IPs.txt in the user's configuration
# folder) and checks it: desktop-file-validate, appstreamcli and lintian (no errors allowed).
# Installs what it needs first. Leaves build/package/socks4proxy_<version>_<arch>.deb.
# Usage: scripts/package.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" --package
dir="$root/build/deb"
out="$root/build/package"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DSOCKS4_INSTALLED=ON -DSOCKS4_WERROR="${SOCKS4_WERROR:-OFF}" >&2
cmake --build "$dir" -j "$(nproc)" --target socks4proxy socks4proxy_changelog >&2
rm -rf "$out"
cpack --config "$dir/CPackConfig.cmake" -B "$out" >&2
rm -rf "$out/_CPack_Packages"
deb="$(ls "$out"/*.deb)"

desktop-file-validate "$root"/data/*.desktop
appstreamcli validate --no-net "$root"/data/*.metainfo.xml >&2
lintian --fail-on error "$deb" >&2
echo "$deb"
