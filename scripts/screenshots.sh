#!/usr/bin/env bash
# Screenshots of the window's minimise/restore cycle as a person sees it, on a virtual X
# display with a window manager (openbox) and a notification area (trayer):
#   1-collapsed.png   the window as it opens
#   2-expanded.png    after Listen and Show Status: the status log with its lines
#   3-minimised.png   after minimising: the window hidden, our icon in the notification area
#   4-restored.png    after clicking that icon: the window back at the height it had
#   5-tray-menu.png   the icon's right-click menu, while minimised
#   6-tooltip.png     a status line too long for the list, whole in its tooltip
#
# The program runs inside `unshare -n`, a network namespace with nothing in it, so pressing
# Listen can never send UPnP discovery (or anything else) onto the real network; it logs
# "Could not detect UPnP device". It reaches the X server through its file-system socket.
#
# Usage: scripts/screenshots.sh [PROGRAM [OUTPUT_DIR]]
#   PROGRAM     the built socks4proxy (default: build/release/src/ui/socks4proxy, built if missing)
#   OUTPUT_DIR  where the PNGs go (default: docs/screenshots)
# Needs root (for unshare -n, and apt-get for any missing tool).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
program="${1:-$root/build/release/src/ui/socks4proxy}"
out="${2:-$root/docs/screenshots}"
PATH="$PATH:/usr/sbin:/sbin"

say() { echo "screenshots: $*" >&2; }
die() { say "$*"; exit 1; }

[ "$(id -u)" -eq 0 ] || die "needs root (unshare -n keeps the program off the real network)"
unshare -n true 2>/dev/null || die "unshare -n does not work here"

# Tools, and the Debian packages that carry them.
missing=()
for pair in curl:curl nsenter:util-linux Xvfb:xvfb openbox:openbox trayer:trayer xdotool:xdotool import:imagemagick \
    xwininfo:x11-utils xprop:x11-utils xsetroot:x11-xserver-utils; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >&2
fi

if [ ! -x "$program" ]; then
    [ -z "${1:-}" ] || die "no program at $program"
    say "building socks4proxy into build/release"
    cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release >&2
    cmake --build "$root/build/release" --target socks4proxy >&2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/screenshots.XXXXXX")"
pids=()
cleanup() {
    local pid
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        pid=${pids[i]}
        if kill "$pid" 2>/dev/null; then wait "$pid" 2>/dev/null || true; fi
    done
    rm -rf -- "$work"
}
trap cleanup EXIT INT TERM

# Polls CONDITION (a command) every 50 ms for up to SECONDS; fails with WHAT on timeout.
wait_for() { # SECONDS WHAT CONDITION...
    local limit=$(($1 * 20)) what=$2 i
    shift 2
    for ((i = 0; i < limit; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    die "timed out waiting for $what"
}

# The program keeps IPs.txt beside itself: give it a directory of its own, allowing loopback so
# that a client in its namespace can make a long line.
cp "$program" "$work/socks4proxy"
printf '127.0.0.1\r\n' >"$work/IPs.txt"

# A display of its own (Xvfb picks a free number), small enough to keep the pictures small.
Xvfb -displayfd 3 -screen 0 400x340x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 10 "Xvfb" test -s "$work/display"
DISPLAY=":$(cat "$work/display")"
export DISPLAY
unset XAUTHORITY

openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
wait_for 10 "the window manager" sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
xsetroot -solid '#4a6d8c'

trayer --edge bottom --align right --widthtype request --height 24 --heighttype pixel \
    --SetDockType true --SetPartialStrut true --transparent false --tint 0xd0d0d0 \
    >"$work/trayer.log" 2>&1 &
pids+=($!)
wait_for 10 "the notification area" xdotool search --name '^panel$'

unshare -n env QT_QPA_PLATFORM=xcb "$work/socks4proxy" >"$work/program.log" 2>&1 &
pids+=($!)
program_pid=$!
wait_for 15 "the window" xdotool search --name '^Socks4 Proxy Server$'
win=$(xdotool search --name '^Socks4 Proxy Server$' | head -n 1)

viewable() { xwininfo -id "$1" | grep -q 'Map State: IsViewable'; }
height() { xwininfo -id "$win" | awk '/^  Height:/ { print $2 }'; }
# The notification-area icon: our window inside trayer's panel (trayer re-parents it).
tray_icon() {
    xwininfo -root -tree | awk '/"panel": \("panel"/ { inpanel = 1; next }
        inpanel && /"socks4proxy": \("socks4proxy"/ { print $1, $NF; exit }'
}
has_tray_icon() { [ -n "$(tray_icon)" ]; }
no_tray_icon() { [ -z "$(tray_icon)" ]; }
logged() { grep -qxF "$1" "$work/program.log"; }
shoot() { # NAME: the whole (small) screen, so the notification area is in the picture too
    sleep 0.5 # let the window paint; a screenshot has no "painted" event to wait for
    import -window root -strip -depth 8 -colors 64 "PNG8:$out/$1.png"
    say "$out/$1.png: $2"
}
click() { # x y in the window's client area
    xdotool mousemove --window "$win" "$1" "$2" click 1
}

mkdir -p "$out"
wait_for 10 "the window to map" viewable "$win"
shoot 1-collapsed "as it opens, $(height) px high"

# Listen (cmdListen at 8,8 97x25), then Show Status (cmdStatus at 0,88 249x25).
click 56 20
wait_for 15 "\"Could not detect UPnP device\"" logged "Could not detect UPnP device"
click 125 100
wait_for 5 "the window to expand" sh -c "xwininfo -id $win | grep -q 'Height: 262'"
before=$(height)
shoot 2-expanded "Listen and Show Status pressed, $before px high"

xdotool windowminimize "$win"
wait_for 5 "the icon in the notification area" has_tray_icon
sleep 0.5
state="$(xprop -id "$win" WM_STATE | awk '/window state/ { print $3 }')"
if viewable "$win"; then mapped=mapped; else mapped="not mapped"; fi
shoot 3-minimised "minimised; window $mapped (WM_STATE ${state:-none}); icon: $(tray_icon)"
# A hidden window must be gone from the desktop, not left there as an empty frame.
[ "$mapped" = "not mapped" ] || die "minimised, the window is still mapped (see 3-minimised.png)"

read -r icon_id icon_pos <<<"$(tray_icon)"
icon_x=$(echo "$icon_pos" | cut -d+ -f2)
icon_y=$(echo "$icon_pos" | cut -d+ -f3)
icon_w=$(xwininfo -id "$icon_id" | awk '/^  Width:/ { print $2 }')
xdotool mousemove $((icon_x + icon_w / 2)) $((icon_y + icon_w / 2)) click 3
sleep 1
shoot 5-tray-menu "the icon's menu, right-clicked"
xdotool key Escape
sleep 0.5
xdotool mousemove $((icon_x + icon_w / 2)) $((icon_y + icon_w / 2)) click 1
wait_for 5 "the window to come back" viewable "$win"
wait_for 5 "the icon to go" no_tray_icon
xdotool mousemove 10 10
after=$(height)
shoot 4-restored "icon clicked; window back, $after px high (was $before)"
[ "$after" = "$before" ] || die "restored at $after px, was $before px"

# A client in the program's namespace asks for a long name; the name cannot be resolved there,
# but the request's line is logged, wider than the list.
nsenter -t "$program_pid" -n ip link set lo up # a fresh namespace's loopback is down
nsenter -t "$program_pid" -n curl -s -m 5 --socks4a 127.0.0.1:1080 \
    http://a.rather.long.host.name.for.the.status.log.example/ >/dev/null 2>&1 || true
wait_for 10 "the request's line" grep -q 'to a.rather.long' "$work/program.log"
# Its row: the log's lines are the program's output without the platform's warnings.
line=$(grep -v -e '^sendto' -e '^QStandardPaths' -e '^qt\.' "$work/program.log" \
    | grep -n 'to a.rather.long' | head -n 1 | cut -d: -f1)
sleep 0.5 # the view shows new lines within 50 ms
row_height=13 # one line of the 11 px font
xdotool mousemove --window "$win" 60 $((112 + 2 + (line - 1) * row_height + row_height / 2))
sleep 0.3
xdotool mousemove_relative 1 0
sleep 1.5
shoot 6-tooltip "hovering line $line of the log"
