#!/usr/bin/env bash
# A picture of the Connections window of the real program under real load, on a virtual X
# display: docs/screenshots/connections.png. The program (`--listen --connections`, a copy beside
# its own IPs.txt) runs in a private network namespace with a load of its own: a destination that
# sends at the rate each client names, sixteen clients in the slots (SOCKS4, SOCKS4a, SOCKS5; one
# half-closed, one still negotiating, one still connecting), four waiting, and earlier endings.
#
# Usage: scripts/screenshot-connections.sh [OUTPUT_DIR]   (default: docs/screenshots; needs root)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$root/docs/screenshots}"
PATH="$PATH:/usr/sbin:/sbin"
say() { echo "screenshot-connections: $*" >&2; }
[ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null || { say "needs root and unshare -n"; exit 1; }

missing=()
for pair in Xvfb:xvfb xdotool:xdotool import:imagemagick nsenter:util-linux; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
done
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >&2
fi
build="$(bash "$root/scripts/build.sh" --target socks4proxy | tail -n 1)"

work="$(mktemp -d "${TMPDIR:-/tmp}/connections-shot.XXXXXX")"
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        if kill "${pids[i]}" 2>/dev/null; then wait "${pids[i]}" 2>/dev/null || true; fi
    done
    rm -rf -- "$work"
}
trap cleanup EXIT INT TERM
wait_for() { # SECONDS WHAT CONDITION...
    local i what=$2 limit=$(($1 * 20))
    shift 2
    for ((i = 0; i < limit; i++)); do "$@" >/dev/null 2>&1 && return 0; sleep 0.05; done
    say "timed out waiting for $what"
    exit 1
}

cp "$build/src/ui/socks4proxy" "$work/socks4proxy"
printf '127.0.0.1\n' >"$work/IPs.txt"
Xvfb -displayfd 3 -screen 0 1280x900x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 10 Xvfb test -s "$work/display"
export DISPLAY=":$(cat "$work/display")"
unset XAUTHORITY

unshare -n sh -c 'ip link set lo up && exec "$0" --port 1080 --listen --connections' \
    "$work/socks4proxy" >"$work/program.log" 2>&1 &
pids+=($!)
wait_for 15 "\"Listener Listening\"" grep -q "Listener Listening" "$work/program.log"
seconds=28
nsenter -t "$!" -n python3 - 1080 "$seconds" >"$work/load.log" 2>&1 <<'EOF' &
import socket, struct, sys, threading, time
PROXY, SOURCE = ("127.0.0.1", int(sys.argv[1])), 9000
END = time.monotonic() + float(sys.argv[2])

def pace(s, rate, total=0, shut=False):
    """Sends `rate` bytes a second (`total` at most, then its end) and drops what arrives, until
    both have ended or the run's end."""
    sent = 0
    while time.monotonic() < END:
        try:
            if not shut:
                n = rate // 10 if not total else min(rate // 10, total - sent)
                s.sendall(b"x" * n)
                sent += n
                if total and sent >= total:
                    s.shutdown(socket.SHUT_WR)
                    shut = True
            while s.recv(1 << 20, socket.MSG_DONTWAIT):
                pass
            if shut:
                return s.close()
        except BlockingIOError:
            pass
        except OSError:
            return s.close()
        time.sleep(0.1)

def source(c):
    pace(c, *struct.unpack("!II", c.recv(8, socket.MSG_WAITALL)))

def serve(s):
    while True:
        threading.Thread(target=source, args=(s.accept()[0],), daemon=True).start()

def client(kind, up, down, total=0, port=SOURCE, user=b"", shut=False):
    s = socket.create_connection(PROXY)
    to = struct.pack("!H", port)
    if kind == "5":
        s.sendall(b"\5\1\0\5\1\0\3\x09localhost" + to)
        s.recv(2, socket.MSG_WAITALL)
    elif kind == "4a":
        s.sendall(b"\4\1" + to + b"\0\0\0\1" + user + b"\0localhost\0")
    elif kind == "4":
        s.sendall(b"\4\1" + to + b"\x7f\0\0\1" + user + b"\0")
    else:
        return time.sleep(max(0, END - time.monotonic()))
    if s.recv(10 if kind == "5" else 8, socket.MSG_WAITALL)[1:2] not in (b"\0", b"\x5a"):
        return s.close()
    s.sendall(struct.pack("!II", down, total))
    if shut:
        s.shutdown(socket.SHUT_WR)
    pace(s, up, 0, shut)

threading.Thread(target=serve, args=(socket.create_server(("127.0.0.1", SOURCE)),),
                 daemon=True).start()
stuck = socket.create_server(("127.0.0.1", 9001), backlog=0)  # full: connects hang
socket.create_connection(("127.0.0.1", 9001))
for i in range(30):  # the recent ones: finished, or refused by the destination
    kind = ["4", "4a", "5"][i % 3]
    try:
        client(kind, 0, 1 << 30, 20000 * (i + 1), port=9002 if i % 7 == 3 else SOURCE, shut=True)
    except OSError:
        pass
loads = [("4", 40000, 900000, b"alice"), ("4a", 8000, 2500000, b""), ("5", 120000, 60000, b""),
         ("4", 3000, 400000, b"build"), ("5", 16000, 1200000, b""), ("4a", 500, 30000, b"")]
threads = []
for i in range(16):
    kind, up, down, user = loads[i % len(loads)]
    args = dict(user=user, shut=i == 7)
    if i == 11:
        kind = ""  # sends nothing: negotiating
    if i == 13:
        args["port"] = 9001  # the destination never answers: connecting
    rates = (kind, up * (1 + i % 3), down // (1 + i % 4))
    threads.append(threading.Thread(target=client, args=rates, kwargs=args, daemon=True))
for i in range(4):  # in line for a slot
    threads.append(threading.Thread(target=client, args=("4", 1000, 1000), daemon=True))
for t in threads:
    t.start()
    time.sleep(0.1)
time.sleep(max(0, END - time.monotonic()))
EOF
pids+=($!)
wait_for 15 "the window" xdotool search --name '^Connections$'
sleep $((seconds - 6)) # a graph with some history; every client still there
win=$(xdotool search --name '^Connections$' | head -n 1)
xdotool windowraise "$win"
sleep 1.5 # one more refresh, painted
mkdir -p "$out"
import -window "$win" -strip "$out/connections.png"
say "$out/connections.png"
