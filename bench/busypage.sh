#!/usr/bin/env bash
# The busy page: what a person browsing through the proxy sees on a page with many images from
# many sites. A page whose COUNT images (default 40) come from COUNT origins (one loopback port
# each), every one answered after DELAY seconds (default 1.5), is loaded
#   - by headless Chromium (--proxy-server=socks4://..., loopback not bypassed), which reports
#     how many images loaded;
#   - by COUNT `curl --socks4` fetching one image each, all at once;
# through the program (bench_window: the window open, its log running) and through Dante
# (danted), in the same run. Prints "X of COUNT" for each.
#
# Each is done for each way the image servers treat a connection once they have answered
# (--keepalive, default "close 5 forever"): close it at once; close it after 5 s idle, as
# Apache does by default; keep it until the client closes. A browser keeps its connections
# alive, and a proxy with few slots serves those waiting only as kept-alive connections end.
#
# Everything (program, Dante, servers, browser, curl) runs inside a private network namespace
# with only loopback in it (the script re-runs itself under `unshare -n`), so nothing can leave
# the machine. Needs root.
#
# Usage: bench/busypage.sh [--window PATH] [--count N] [--delay SECONDS] [--rounds N]
#                          [--keepalive "close 5 forever"] [--no-chromium] [--no-curl] [--no-dante]
#   --window PATH  bench_window (default: build/release/bench/bench_window)
#   --rounds N     loads per proxy and client, taken in turns (default 1)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
window="$here/../build/release/bench/bench_window"
count=40 delay=1.5 rounds=1 chromium=1 curl=1 dante=1 keepalive="close 5 forever"
args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
        --window) window="$2"; shift ;;
        --count) count="$2"; shift ;;
        --delay) delay="$2"; shift ;;
        --rounds) rounds="$2"; shift ;;
        --keepalive) keepalive="$2"; shift ;;
        --no-chromium) chromium=0 ;;
        --no-curl) curl=0 ;;
        --no-dante) dante=0 ;;
        *) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
    esac
    shift
done

say() { echo "busypage: $*" >&2; }

if [ "${BUSYPAGE_NETNS:-}" != inside ]; then
    [ "$(id -u)" -eq 0 ] || { say "needs root (unshare -n)"; exit 1; }
    exec unshare -n env BUSYPAGE_NETNS=inside bash "$0" "${args[@]}"
fi
PATH="$PATH:/usr/sbin:/sbin"
ip link set lo up

[ -x "$window" ] || { say "no bench_window at $window (build it: scripts/build.sh Release)"; exit 1; }
if [ "$chromium" = 1 ] && ! command -v chromium >/dev/null; then
    say "no chromium (scripts/install-deps.sh --bench); curl only"
    chromium=0
fi
if [ "$dante" = 1 ] && [ ! -x /usr/sbin/danted ]; then
    say "no danted (scripts/install-deps.sh --bench); no comparison"
    dante=0
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/busypage.XXXXXX")"
chmod 755 "$work"
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        if kill "${pids[i]}" 2>/dev/null; then wait "${pids[i]}" 2>/dev/null || true; fi
    done
    rm -rf -- "$work"
}
trap cleanup EXIT INT TERM

wait_for() { # SECONDS WHAT CONDITION...: polls every 50 ms
    local limit=$(($1 * 20)) what=$2 i
    shift 2
    for ((i = 0; i < limit; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    say "timed out waiting for $what"
    exit 1
}

# The program, listening on 1080 as a person would set it (this namespace is empty).
QT_QPA_PLATFORM=offscreen "$window" 1080 >"$work/mirror.txt" 2>"$work/window.err" &
pids+=($!)
wait_for 15 "bench_window" grep -q '^listening ' "$work/window.err"
proxies=("program 1080")

if [ "$dante" = 1 ]; then
    cat >"$work/danted.conf" <<EOF
logoutput: $work/danted.log
internal: 127.0.0.1 port = 1081
external: 127.0.0.1
clientmethod: none
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass {
  from: 127.0.0.1/32 to: 0.0.0.0/0
  log: error
}
socks pass {
  from: 127.0.0.1/32 to: 127.0.0.1/32
  command: connect
  protocol: tcp
  log: error
}
EOF
    /usr/sbin/danted -f "$work/danted.conf" >"$work/danted.out" 2>&1 &
    pids+=($!)
    wait_for 10 "danted" bash -c 'exec 3<>/dev/tcp/127.0.0.1/1081'
    proxies+=("dante 1081")
fi

chromium_load() { # PORT: prints "X of COUNT" (or "failed")
    local profile
    profile="$(mktemp -d "$work/chromium.XXXXXX")"
    timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
        --disable-background-networking --disable-component-update --disable-sync \
        --user-data-dir="$profile" --proxy-server="socks4://127.0.0.1:$1" \
        --proxy-bypass-list='<-loopback>' --dump-dom "http://127.0.0.1:$page_port/" \
        2>"$profile.err" | sed -n 's/.*<div id="result">loaded \([0-9]*\) of \([0-9]*\)<.*/\1 of \2/p' \
        | grep . || echo failed
    rm -rf -- "$profile"
}

curl_load() { # PORT: prints "X of COUNT"
    local p i=0
    for p in "${image_ports[@]}"; do
        curl -s -o /dev/null -w '%{http_code}\n' --max-time 60 --socks4 "127.0.0.1:$1" \
            "http://127.0.0.1:$p/image.png" >"$work/curl.$i" 2>/dev/null &
        i=$((i + 1))
    done
    wait_curls
    echo "$(cat "$work"/curl.* | grep -c '^200$') of $count"
    rm -f "$work"/curl.*
}
wait_curls() { # every background job that is not one of ours
    local job
    for job in $(jobs -p); do
        [[ " ${pids[*]} " == *" $job "* ]] || wait "$job" || true
    done
}

# The web servers, afresh for each keep-alive policy: POLICY.
start_servers() {
    if [ -n "${server_pid:-}" ]; then
        kill "$server_pid"
        wait "$server_pid" 2>/dev/null || true
    fi
    python3 "$here/busypage_server.py" --count "$count" --delay "$delay" --keepalive "$1" \
        >"$work/ports" &
    server_pid=$!
    pids+=("$server_pid")
    wait_for 10 "the web servers" sh -c "[ \$(grep -c '^image ' '$work/ports') -eq $count ]"
    page_port=$(awk '/^page / { print $2 }' "$work/ports")
    mapfile -t image_ports < <(awk '/^image / { print $2 }' "$work/ports")
}

echo "== Busy page: $count images from $count origins, each answered after $delay s =="
printf '%-10s %-11s %-9s %s\n' client keep-alive proxy "images loaded (seconds)"
for policy in $keepalive; do
    start_servers "$policy"
    for ((round = 1; round <= rounds; round++)); do
        for client in chromium curl; do
            { [ "$client" = chromium ] && [ "$chromium" = 0 ]; } && continue
            { [ "$client" = curl ] && [ "$curl" = 0 ]; } && continue
            for proxy in "${proxies[@]}"; do
                start=$EPOCHREALTIME
                result=$("${client}_load" "${proxy#* }")
                seconds=$(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }")
                case "$policy" in close | forever) shown=$policy ;; *) shown="${policy} s" ;; esac
                printf '%-10s %-11s %-9s %s (%s s)\n' "$client" "$shown" "${proxy% *}" "$result" \
                    "$seconds"
            done
        done
    done
done
