#!/usr/bin/env bash
# A picture of the Connections window over made-up traffic (sixteen busy slots, four clients
# waiting, a minute of rates behind the graph, a hundred recent endings), drawn on a virtual X
# display: docs/screenshots/connections.png. The window is fed by tests/ui/connections_shot.cpp,
# which saves its own picture; it touches no network (run inside `unshare -n` when root anyway).
#
# Usage: scripts/screenshot-connections.sh [OUTPUT_DIR]   (default: docs/screenshots)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/docs/screenshots}"
say() { echo "screenshot-connections: $*" >&2; }

if ! command -v Xvfb >/dev/null 2>&1; then
    say "installing xvfb"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends xvfb >&2
fi
build="$(bash "$root/scripts/build.sh" --target connections_shot | tail -n 1)"

work="$(mktemp -d "${TMPDIR:-/tmp}/connections-shot.XXXXXX")"
xvfb=""
cleanup() {
    if [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null; then wait "$xvfb" 2>/dev/null || true; fi
    rm -rf -- "$work"
}
trap cleanup EXIT INT TERM

Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.05
done
[ -s "$work/display" ] || { say "Xvfb did not start"; exit 1; }

isolate=()
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then isolate=(unshare -n); fi
mkdir -p "$out"
DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb \
    "${isolate[@]}" "$build/tests/ui/connections_shot" "$out/connections.png" 2>"$work/shot.log" \
    || { cat "$work/shot.log" >&2; exit 1; }
say "$out/connections.png"
