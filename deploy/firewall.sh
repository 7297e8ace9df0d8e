#!/bin/sh
# Host preparation for zorvane, run by the library as "firewall.sh prepare"
# before it hooks its chain into INPUT. It accepts loopback traffic and the
# replies of established connections at the top of INPUT, each rule once,
# however often it runs; for IPv6 as well where ip6tables is present.
# Other arguments change nothing.
set -u
case ${1:-} in
prepare) ;;
*) echo "usage: $0 prepare" >&2; exit 2 ;;
esac
for IPT in /sbin/iptables /sbin/ip6tables; do
    [ -x "$IPT" ] || continue
    if ! $IPT -C INPUT -i lo -j ACCEPT 2>/dev/null; then
        $IPT -I INPUT 1 -i lo -j ACCEPT || exit 1
    fi
    if ! $IPT -C INPUT -m state --state ESTABLISHED,RELATED -j ACCEPT 2>/dev/null; then
        $IPT -I INPUT 2 -m state --state ESTABLISHED,RELATED -j ACCEPT || exit 1
    fi
done
exit 0
