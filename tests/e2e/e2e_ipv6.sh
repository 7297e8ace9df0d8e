#!/usr/bin/env bash
# Both families end to end on the real packet filter, inside the sandbox
# (nft or legacy), through the zorvane command (IPv6 on): pings, UDP and
# TCP over IPv6 and IPv4 allowed and dropped per rule, one drop log naming
# the rules of both families, counts that add both chains per rule, and
# neighbour discovery alive under a drop-everything rule set.
# usage (inside the sandbox): e2e_ipv6.sh ZORVANE ULOGD_CONF
set -uo pipefail
zorvane=$1 ulogd_conf=$2
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected '$3', got '$2'"; fi; }

[ -n "${ZVN_SANDBOX:-}" ] && [ "$ZVN_SANDBOX" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
[ -e /proc/net/if_inet6 ] || { echo "no IPv6 in this kernel; skipped"; exit 77; }
echo "== back end: $(/sbin/iptables -V)"

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/netlab.sh"
trap netlab_cleanup EXIT
netlab_up || exit 1
netlab_start_ulogd "$ulogd_conf" || exit 1

work=$(mktemp -d)
cat > "$work/rules.json" <<'EOF'
[{"interface":"eth3","src_IP_cidr":"2001:db8:3::/120","protocol":"icmp","allow":true},
 {"interface":"eth3","src_IP_range":"2001:db8:3::100-2001:db8:3::1ff","protocol":"icmp","allow":false},
 {"interface":"eth3","src_IP_cidr":"10.0.3.0/29","protocol":"icmp","allow":true},
 {"interface":"eth3","protocol":"icmp","allow":false},
 {"protocol":"udp","dports_list":["5001"],"allow":true},
 {"interface":"eth2","protocol":"tcp","dports_list":["8000"],"allow":false},
 {"allow":true}]
EOF
"$zorvane" setup 2>/dev/null
"$zorvane" apply "$work/rules.json" 2>/dev/null
expect_eq "apply of a mixed rule set" "$?" 0
expect_eq "IPv4 chain lines" "$(/sbin/iptables -S ZORVANE | grep -c "^-A")" 7
expect_eq "IPv6 chain lines" "$(/sbin/ip6tables -S ZORVANE | grep -c "^-A")" 9

nc -6 -l 2001:db8:2::fe 7000 >/dev/null 2>&1 &
netlab_pids+=($!)
sleep 0.3
expect_eq "rule 1: IPv6 ping from an allowed network answered" "$(ping6_from peer3 2001:db8:3::5 2 2001:db8:3::fe)" 2
expect_eq "rule 2: IPv6 ping from a dropped range unanswered" "$(ping6_from peer3 2001:db8:3::100 3 2001:db8:3::fe)" 0
expect_eq "rule 3: IPv4 ping from an allowed network answered" "$(ping_from peer3 10.0.3.5 2 10.0.3.254)" 2
expect_eq "rule 4: IPv4 ping otherwise dropped" "$(ping_from peer3 10.0.3.100 2 10.0.3.254)" 0
expect_eq "rule 4: IPv6 ping otherwise dropped" "$(ping6_from peer3 2001:db8:3::300 1 2001:db8:3::fe)" 0
udp_from peer3 2001:db8:3::5 5001 2 2001:db8:3::fe
udp_from peer3 10.0.3.5 5001 1 10.0.3.254
tcp_from peer2 2001:db8:2::7 8000 2001:db8:2::fe 0.5 && fail "rule 6: IPv6 TCP to 8000 connected" ||
    pass "rule 6: IPv6 TCP to 8000 unanswered"
tcp_from peer2 2001:db8:2::7 7000 2001:db8:2::fe 2 && pass "rule 7: IPv6 TCP to 7000 connected" ||
    fail "rule 7: IPv6 TCP to 7000 refused"
sleep 1

# Each rule's count is the sum of its lines in both chains.
expect_eq "counts per rule, both families added" "$("$zorvane" counts --json "$work/rules.json" 2>/dev/null)" \
    "[1,3,1,3,3,1,1]"
expect_eq "drop log: RULE=2 (IPv6)" "$(grep -c 'RULE=2 ACT=DROP.*SRC=2001:db8:3::100' /var/log/ulogd_syslogemu.log)" 3
expect_eq "drop log: RULE=4 from IPv4" "$(grep -c 'RULE=4 ACT=DROP.*SRC=10.0.3.100' /var/log/ulogd_syslogemu.log)" 2
expect_eq "drop log: RULE=4 from IPv6" "$(grep -c 'RULE=4 ACT=DROP.*SRC=2001:db8:3::300' /var/log/ulogd_syslogemu.log)" 1
expect_eq "drop log: RULE=6 (IPv6 TCP)" "$(grep -c 'RULE=6 ACT=DROP.*SRC=2001:db8:2::7' /var/log/ulogd_syslogemu.log)" 1

# Neighbour discovery is never NEW: a drop-everything set still lets the
# hosts find each other, while the peer's own pings are dropped.
echo '[{"allow":false}]' > "$work/drop_all.json"
"$zorvane" apply "$work/drop_all.json" 2>/dev/null
ip -6 neigh flush dev eth3
ip -n peer3 -6 neigh flush dev p3
answered=$(ping -6 -n -q -c 2 -i 0.2 -W 1 2001:db8:3::5 2>/dev/null | awk '/received/ { for (i = 1; i <= NF; i++) if ($(i) ~ /^received/) print $(i - 1) }')
expect_eq "drop everything: the firewall still reaches its IPv6 neighbour" "$answered" 2
expect_eq "drop everything: the neighbour's pings are dropped" "$(ping6_from peer3 2001:db8:3::5 2 2001:db8:3::fe)" 0
expect_eq "drop everything: the dropped pings counted" "$("$zorvane" counts --json "$work/drop_all.json" 2>/dev/null)" "[2]"

rm -rf "$work"
echo "== $failures failure(s)"
[ "$failures" = 0 ]
