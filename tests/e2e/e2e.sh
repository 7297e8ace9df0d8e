#!/usr/bin/env bash
# End to end on the real packet filter, inside the sandbox (nft or legacy):
# this namespace is the firewall, with interfaces eth3 and eth2 whose veth
# peers sit in two test-host namespaces. ulogd writes the drop log. Real
# packets go through the chain; the counts, the drop log and the answers are
# checked against what each rule should decide.
#
# usage (inside the sandbox): e2e.sh ZVN_UTIL RULE_COUNTS ULOGD_CONF
set -uo pipefail
util=$1 counts_tool=$2 ulogd_conf=$3
failures=0
pass() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_eq() { if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: expected '$3', got '$2'"; fi; }

[ -n "${ZVN_SANDBOX:-}" ] && [ "$ZVN_SANDBOX" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
echo "== back end: $(/sbin/iptables -V)"

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/netlab.sh"
trap netlab_cleanup EXIT
netlab_up || exit 1
netlab_start_ulogd "$ulogd_conf" || exit 1

# --- the rule set -----------------------------------------------------------------
country_rule=
if netlab_has_geoip; then
    country_rule='{"interface":"eth3","src_country":["US","GB"],"protocol":"icmp","allow":false},'
    echo "geoip match available: a country rule is included"
else
    echo "geoip match not available on this kernel: country rules are not exercised here"
fi

rules='[
 {"interface":"eth3","src_IP_cidr":"10.0.3.0/29","protocol":"icmp","allow":true},
 {"interface":"eth3","src_IP_range":"10.0.3.50-10.0.3.150","protocol":"icmp","allow":false},
 {"src_IP_cidr":"10.0.3.0/24","protocol":"udp","dports_list":["5001"],"allow":true},
 {"interface":"eth3","protocol":"udp","dports_list":["6000:6010"],"allow":false},
 {"interface":"eth2","protocol":"tcp","dports_list":["22","8000:8010"],"allow":false},
 {"interface":"eth2","protocol":"tcp","allow":true},
 {"interface":"eth2","src_IP_range":"10.0.2.1-10.0.2.9","allow":false},
 '"$country_rule"'
 {"allow":true}]'
last=8
[ -n "$country_rule" ] && last=9

"$util" setup_default_chain
"$util" apply_rules "$rules"
expect_eq "apply_rules exit status" "$?" 0

# --- traffic ------------------------------------------------------------------------
nc -u -l 10.0.3.254 5001 > /tmp/udp5001 2>/dev/null &
netlab_pids+=($!)
nc -l 10.0.2.254 7000 >/dev/null 2>&1 &
netlab_pids+=($!)
sleep 0.3
expect_eq "rule 1 (allowed CIDR ping) answered" "$(ping_from peer3 10.0.3.5 2 10.0.3.254)" 2
expect_eq "rule 2 (dropped range ping) unanswered" "$(ping_from peer3 10.0.3.100 3 10.0.3.254)" 0
udp_from peer3 10.0.3.5 5001 2 10.0.3.254
udp_from peer3 10.0.3.5 6005 2 10.0.3.254
tcp_from peer2 10.0.2.7 8005 10.0.2.254 0.5 && fail "rule 5 (dropped tcp) connected" || pass "rule 5 (dropped tcp) unanswered"
tcp_from peer2 10.0.2.7 7000 10.0.2.254 2 && pass "rule 6 (allowed tcp) connected" || fail "rule 6 (allowed tcp) refused"
expect_eq "rule 7 (dropped range, any protocol) ping unanswered" "$(ping_from peer2 10.0.2.7 2 10.0.2.254)" 0
expect_eq "rule $last (allow alone) ping answered" "$(ping_from peer3 10.0.3.220 1 10.0.3.254)" 1
sleep 0.5
expect_eq "rule 3 (allowed udp) datagram arrived" "$(head -c 5 /tmp/udp5001)" probe

# NEW packets each rule decided: an answered ping or connection is NEW only
# for its first packet, each dropped echo request and each datagram from a
# fresh port is NEW.
expected="[1,3,2,2,1,1,2,${country_rule:+0,}1]"
expect_eq "per-rule counts" "$("$counts_tool" "$rules")" "$expected"
expect_eq "snapshot counts" "$("$counts_tool" --snapshot "$rules")" "$expected"

sleep 1  # ulogd syncs every line, give it a moment
for n_count in 2:3 4:2 5:1 7:2; do
    n=${n_count%:*}
    expect_eq "drop log lines for RULE=$n" "$(grep -c "RULE=$n ACT=DROP" /var/log/ulogd_syslogemu.log)" "${n_count#*:}"
done
expect_eq "drop log lines in all" "$(grep -c 'ACT=DROP' /var/log/ulogd_syslogemu.log)" 8
grep -q 'RULE=2 ACT=DROP IN=eth3 .*SRC=10.0.3.100 DST=10.0.3.254' /var/log/ulogd_syslogemu.log &&
    pass "drop log line names interface and addresses" || fail "drop log line format"

# --- reset, re-apply, rejected rule set ------------------------------------------------
"$util" reset_counter
expect_eq "counts after reset_counter" "$("$counts_tool" "$rules")" "[0,0,0,0,0,0,0,${country_rule:+0,}0]"
ping_from peer3 10.0.3.100 2 10.0.3.254 >/dev/null
sleep 1
"$util" apply_rules "$rules"
expect_eq "re-apply empties the drop log" "$(wc -c < /var/log/ulogd_syslogemu.log)" 0

ping_from peer3 10.0.3.100 2 10.0.3.254 >/dev/null
sleep 1
chain_before=$(/sbin/iptables -S ZORVANE)
counts_before=$("$counts_tool" "$rules")
log_before=$(cat /var/log/ulogd_syslogemu.log)
"$util" apply_rules '[{"src_IP_cidr":"999.1.1.1","allow":false}]'
status=$?
[ "$status" != 0 ] && pass "rejected rule set exits $status" || fail "rejected rule set exited 0"
expect_eq "rejected rule set leaves the chain" "$(/sbin/iptables -S ZORVANE)" "$chain_before"
expect_eq "rejected rule set leaves the counts" "$("$counts_tool" "$rules")" "$counts_before"
expect_eq "rejected rule set leaves the drop log" "$(cat /var/log/ulogd_syslogemu.log)" "$log_before"
expect_eq "counts before the rejection were real" "${counts_before:0:5}" "[0,2,"

# --- updates never open the firewall ----------------------------------------------------
ip netns exec peer3 ping -n -q -i 0.005 -w 6 -I 10.0.3.100 10.0.3.254 > /tmp/flood 2>&1 &
flood=$!
netlab_pids+=($flood)
sleep 0.2
applied=0
for _ in $(seq 30); do "$util" apply_rules "$rules" && applied=$((applied + 1)); done
wait "$flood"
sent=$(awk '/transmitted/ { print $1 }' /tmp/flood)
received=$(awk '/received/ { for (i = 1; i <= NF; i++) if ($(i) ~ /^received/) print $(i - 1) }' /tmp/flood)
expect_eq "re-applied 30 times while pinged" "$applied" 30
expect_eq "replies to $sent pings during the updates" "$received" 0

echo "== $failures failure(s)"
[ "$failures" = 0 ]
