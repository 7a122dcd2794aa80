#!/usr/bin/env bash
# igd-fixture.sh CMD [ARG...]: runs CMD in a namespace LAN (lan0 192.168.77.2/24, default via .1)
# beside miniupnpd in a namespace GW (gwlan0 192.168.77.1/24; WAN gwwan0 10.77.0.1/24, a veth
# whose peer stays in GW). Both are made for this run and deleted after it, with every interface
# inside them: no packet can reach the machine's network. Exits with CMD's status, or 77
# (skipped) without root or the tools.
set -euo pipefail
PATH="$PATH:/usr/sbin:/sbin"
skip() { echo "igd-fixture: skipped: $*" >&2; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root for network namespaces"
for tool in ip nft ss miniupnpd upnpc; do command -v "$tool" >/dev/null || skip "no $tool"; done
dir=$(mktemp -d "${TMPDIR:-/tmp}/igd-fixture.XXXXXX")
lan=igdlan-${dir##*.} gw=igdgw-${dir##*.} daemon=''
# Running and not a zombie (not judged by its command line: it may not have exec'd yet).
alive() { [ -n "$daemon" ] && grep -qs '^State:[[:space:]]*[^Z[:space:]]' "/proc/$daemon/status"; }
# shellcheck disable=SC2317 # run by the EXIT trap; deleting a namespace drops its rules too
down() {
    if alive; then kill -KILL "$daemon" || true; fi
    ip netns del "$lan" 2>/dev/null || true
    ip netns del "$gw" 2>/dev/null || true
    rm -rf -- "$dir"
}
trap down EXIT
trap 'exit 1' INT TERM
for ns in "$lan" "$gw"; do ip netns add "$ns"; done
ip -n "$lan" link add lan0 type veth peer name gwlan0 netns "$gw"
ip -n "$gw" link add gwwan0 type veth peer name wan0
ip -n "$lan" addr add 192.168.77.2/24 dev lan0
ip -n "$gw" addr add 192.168.77.1/24 dev gwlan0
ip -n "$gw" addr add 10.77.0.1/24 dev gwwan0
for link in "$lan lo" "$lan lan0" "$gw lo" "$gw gwlan0" "$gw gwwan0" "$gw wan0"; do
    ip -n "${link% *}" link set "${link#* }" up
done
ip -n "$lan" route add default via 192.168.77.1
# miniupnpd writes its mappings into these chains but does not create them.
echo 'table inet filter { chain miniupnpd {}; chain prerouting_miniupnpd {}; chain postrouting_miniupnpd {}; }' \
    | ip netns exec "$gw" nft -f -
# It maps nothing on a private WAN address; ext_ip is only reported, nothing routes to it.
printf '%s\n' ext_ifname=gwwan0 ext_ip=1.2.3.4 listening_ip=gwlan0 http_port=5555 ipv6_disable=yes \
    secure_mode=yes "lease_file=$dir/leases" 'allow 1024-65535 192.168.77.0/24 1024-65535' \
    'deny 0-65535 0.0.0.0/0 0-65535' >"$dir/conf"
# ip netns exec replaces itself with the daemon, so $! is the daemon's PID.
ip netns exec "$gw" miniupnpd -d -f "$dir/conf" -P "$dir/pid" </dev/null >"$dir/log" 2>&1 &
daemon=$!
for _ in $(seq 200); do # ready once its SOAP and SSDP sockets are bound (normally in 150 ms)
    alive || break
    if [ -n "$(ip netns exec "$gw" ss -Hltn 'sport = :5555')" ] \
        && [ -n "$(ip netns exec "$gw" ss -Hlun 'sport = :1900')" ]; then
        ip netns exec "$lan" env IGD_FIXTURE_ROOTDESC=http://192.168.77.1:5555/rootDesc.xml "$@"
        exit # with CMD's status: errexit ends the script there when it fails
    fi
    sleep 0.05
done
cat "$dir/log" >&2
echo "igd-fixture: miniupnpd did not become ready" >&2
exit 1
