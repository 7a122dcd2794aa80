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
# Everything (program, Dante, servers, browser, curl) runs inside a private network namespace
# with only loopback in it (the script re-runs itself under `unshare -n`), so nothing can leave
# the machine. Needs root.
#
# Usage: bench/busypage.sh [--window PATH] [--count N] [--delay SECONDS] [--rounds N]
#                          [--no-chromium] [--no-curl] [--no-dante]
#   --window PATH  bench_window (default: build/release/bench/bench_window)
#   --rounds N     loads per proxy and client, taken in turns (default 1)
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
window="$here/../build/release/bench/bench_window"
count=40 delay=1.5 rounds=1 chromium=1 curl=1 dante=1
args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
        --window) window="$2"; shift ;;
        --count) count="$2"; shift ;;
        --delay) delay="$2"; shift ;;
        --rounds) rounds="$2"; shift ;;
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

python3 "$here/busypage_server.py" --count "$count" --delay "$delay" >"$work/ports" &
pids+=($!)
wait_for 10 "the web servers" sh -c "[ \$(grep -c '^image ' '$work/ports') -eq $count ]"
page_port=$(awk '/^page / { print $2 }' "$work/ports")
mapfile -t image_ports < <(awk '/^image / { print $2 }' "$work/ports")

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

echo "== Busy page: $count images from $count origins, each answered after $delay s =="
printf '%-10s %-9s %s\n' client proxy "images loaded (seconds)"
for ((round = 1; round <= rounds; round++)); do
    for client in chromium curl; do
        { [ "$client" = chromium ] && [ "$chromium" = 0 ]; } && continue
        { [ "$client" = curl ] && [ "$curl" = 0 ]; } && continue
        for proxy in "${proxies[@]}"; do
            start=$EPOCHREALTIME
            result=$("${client}_load" "${proxy#* }")
            seconds=$(awk "BEGIN { printf \"%.1f\", $EPOCHREALTIME - $start }")
            printf '%-10s %-9s %s (%s s)\n' "$client" "${proxy% *}" "$result" "$seconds"
        done
    done
done
