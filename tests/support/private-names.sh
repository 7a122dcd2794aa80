#!/bin/sh
# Runs a test program in private network and mount namespaces: loopback only, and a resolver
# that asks 127.0.0.1, where the test itself plays the name server. Skipped (77) without root.
PATH="$PATH:/usr/sbin:/sbin"
if [ "$(id -u)" -ne 0 ] || ! unshare -n -m true 2>/dev/null; then
    echo "skipped: needs root for unshare -n -m"
    exit 77
fi
exec unshare -n -m sh -c '
    ip link set lo up || exit 1
    conf=$(mktemp) || exit 1
    printf "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n" >"$conf"
    mount --bind "$conf" /etc/resolv.conf && rm "$conf" && exec "$@"' sh "$@"
