#!/usr/bin/env bash
# A real UPnP Internet gateway (miniupnpd) in three private network namespaces, for tests.
#
#   LAN  lan0    192.168.77.2/24, default via 192.168.77.1   <- the program under test runs here
#   GW   gwlan0  192.168.77.1/24  miniupnpd: SSDP udp/1900, SOAP http://192.168.77.1:5555/
#        gwwan0  10.77.0.1/24     its WAN side; forwards, no default route
#   WAN  wan0    10.77.0.2/24     stands for the internet; no default route
#
# Both ends of every veth pair are made inside these namespaces, so no packet of the lab can
# reach the machine's real network. Namespace names carry a random suffix: fixtures running at
# the same time never meet.
#
# Usage:
#   igd-fixture.sh up                      start one; prints its directory (DIR)
#   igd-fixture.sh exec DIR lan|gw|wan CMD [ARG...]
#                                          run CMD in a namespace of DIR's fixture, with
#                                          IGD_FIXTURE_ROOTDESC set to the gateway's root
#                                          description URL and IGD_FIXTURE_GATEWAY_PID to
#                                          miniupnpd's PID (SIGSTOP it to hang the gateway)
#   igd-fixture.sh down DIR                stop the gateway, delete the namespaces and DIR
#   igd-fixture.sh run CMD [ARG...]        up, CMD in the LAN namespace, down; exits with
#                                          CMD's status
# Exits with 77 (skip) when the fixture cannot run here: not root, or a tool missing.
set -euo pipefail

readonly SKIP=77
readonly ROOTDESC=http://192.168.77.1:5555/rootDesc.xml

die() { echo "igd-fixture: $*" >&2; exit 1; }

can_run() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "igd-fixture: skipped: needs root for network namespaces" >&2; exit "$SKIP"
    fi
    local tool
    for tool in ip nft ss miniupnpd; do
        command -v "$tool" >/dev/null 2>&1 || PATH="$PATH:/usr/sbin:/sbin" command -v "$tool" >/dev/null 2>&1 \
            || { echo "igd-fixture: skipped: $tool not installed" >&2; exit "$SKIP"; }
    done
    PATH="$PATH:/usr/sbin:/sbin"
}

load() { # DIR -> lan gw wan daemon variables
    [ -f "$1/names" ] || die "$1 is not a fixture directory"
    # shellcheck disable=SC1091
    . "$1/names"
}

daemon_alive() { # PID: alive and not yet a zombie
    [ -r "/proc/$1/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status"
}

cmd_down() {
    local dir=$1 i
    [ -d "$dir" ] || return 0
    lan='' gw='' wan='' daemon=''
    [ -f "$dir/names" ] && load "$dir"
    if [ -n "$daemon" ] && daemon_alive "$daemon" && grep -q miniupnpd "/proc/$daemon/cmdline" 2>/dev/null; then
        kill -TERM "$daemon" 2>/dev/null || true
        # It sends SSDP byebyes on SIGTERM, which takes 1-2 s.
        for ((i = 0; i < 60; i++)); do
            daemon_alive "$daemon" || break
            sleep 0.05
        done
        if daemon_alive "$daemon"; then kill -KILL "$daemon" 2>/dev/null || true; fi
    fi
    # Deleting the namespaces also drops the nft rules and mappings the daemon leaves behind.
    for ns in $lan $gw $wan; do
        ip netns del "$ns" 2>/dev/null || true
    done
    rm -rf -- "$dir"
}

write_config() { # DIR
    cat >"$1/miniupnpd.conf" <<CONF
ext_ifname=gwwan0
# The WAN side has a private address, on which miniupnpd refuses to forward. It only ever
# reports this one as the external address: nothing carries it and no route leads to it.
ext_ip=1.2.3.4
listening_ip=gwlan0
http_port=5555
ipv6_disable=yes
enable_upnp=yes
enable_natpmp=no
secure_mode=yes
system_uptime=no
notify_interval=60
clean_ruleset_interval=0
lease_file=$1/upnp.leases
uuid=3d3cec3a-8cf0-11e0-98ee-001a6b5a1a77
allow 1024-65535 192.168.77.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
    # miniupnpd fills these chains but does not create them.
    cat >"$1/ruleset.nft" <<'NFT'
table inet filter {
	chain forward {
		type filter hook forward priority 0; policy drop;
		ct state established,related accept
		jump miniupnpd
		iifname "gwlan0" accept
	}
	chain miniupnpd {
	}
	chain prerouting {
		type nat hook prerouting priority -100; policy accept;
		jump prerouting_miniupnpd
	}
	chain postrouting {
		type nat hook postrouting priority 100; policy accept;
		jump postrouting_miniupnpd
		oifname "gwwan0" masquerade
	}
	chain prerouting_miniupnpd {
	}
	chain postrouting_miniupnpd {
	}
}
NFT
}

cmd_up() {
    can_run
    local dir id i
    dir=$(mktemp -d "${TMPDIR:-/tmp}/igd-fixture.XXXXXX")
    id=${dir##*.}
    lan=igdlan-$id gw=igdgw-$id wan=igdwan-$id daemon=''
    printf 'lan=%s\ngw=%s\nwan=%s\n' "$lan" "$gw" "$wan" >"$dir/names"
    # Every step is checked by hand: errexit does not reach into $(...) or || contexts.
    step() { "$@" || { echo "igd-fixture: failed: $*" >&2; cmd_down "$dir"; exit 1; }; }

    step ip netns add "$lan"
    step ip netns add "$gw"
    step ip netns add "$wan"
    step ip -n "$lan" link add lan0 type veth peer name gwlan0 netns "$gw"
    step ip -n "$gw" link add gwwan0 type veth peer name wan0 netns "$wan"
    step ip -n "$lan" addr add 192.168.77.2/24 dev lan0
    step ip -n "$gw" addr add 192.168.77.1/24 dev gwlan0
    step ip -n "$gw" addr add 10.77.0.1/24 dev gwwan0
    step ip -n "$wan" addr add 10.77.0.2/24 dev wan0
    for ns in "$lan" "$gw" "$wan"; do step ip -n "$ns" link set lo up; done
    step ip -n "$lan" link set lan0 up
    step ip -n "$gw" link set gwlan0 up
    step ip -n "$gw" link set gwwan0 up
    step ip -n "$wan" link set wan0 up
    step ip -n "$lan" route add default via 192.168.77.1
    step ip netns exec "$gw" sysctl -qw net.ipv4.ip_forward=1

    step write_config "$dir"
    step ip netns exec "$gw" nft -f "$dir/ruleset.nft"
    rm -f "$dir/upnp.leases"
    # ip netns exec replaces itself with the daemon, so $! is the daemon's PID.
    ip netns exec "$gw" miniupnpd -d -f "$dir/miniupnpd.conf" -P "$dir/miniupnpd.pid" \
        </dev/null >"$dir/miniupnpd.log" 2>&1 &
    daemon=$!
    echo "daemon=$daemon" >>"$dir/names"

    # Ready once both its SOAP and SSDP sockets are bound (normally within 150 ms).
    for ((i = 0; i < 100; i++)); do
        daemon_alive "$daemon" || break
        if [ -n "$(ip netns exec "$gw" ss -Hltn 'sport = :5555')" ] \
            && [ -n "$(ip netns exec "$gw" ss -Hlun 'sport = :1900')" ]; then
            echo "$dir"
            return 0
        fi
        sleep 0.05
    done
    cat "$dir/miniupnpd.log" >&2
    echo "igd-fixture: miniupnpd did not become ready" >&2
    cmd_down "$dir"
    exit 1
}

cmd_exec() {
    local dir=$1 which=$2 ns
    shift 2
    load "$dir"
    case $which in
    lan) ns=$lan ;; gw) ns=$gw ;; wan) ns=$wan ;;
    *) die "no namespace '$which' (lan, gw or wan)" ;;
    esac
    exec ip netns exec "$ns" env IGD_FIXTURE_ROOTDESC="$ROOTDESC" IGD_FIXTURE_GATEWAY_PID="$daemon" "$@"
}

cmd_run() {
    local dir status=0
    dir=$(cmd_up)
    trap 'cmd_down "$dir"' EXIT INT TERM
    (cmd_exec "$dir" lan "$@") || status=$?
    cmd_down "$dir"
    trap - EXIT INT TERM
    exit "$status"
}

case ${1:-} in
up) cmd_up ;;
down) [ $# -eq 2 ] || die "usage: $0 down DIR"; can_run; cmd_down "$2" ;;
exec) [ $# -ge 4 ] || die "usage: $0 exec DIR lan|gw|wan CMD [ARG...]"; can_run; shift; cmd_exec "$@" ;;
run) [ $# -ge 2 ] || die "usage: $0 run CMD [ARG...]"; shift; cmd_run "$@" ;;
*) die "usage: $0 up | down DIR | exec DIR lan|gw|wan CMD... | run CMD..." ;;
esac
