#!/usr/bin/env bash
# The layouts on the real kernel, inside "sandbox.sh nft|legacy": this
# namespace is the firewall, peer3 sends packets of any source address
# (tests/tools/packets) to eth3, ulogd writes the drop log.
#   1. The same random rule set, flat and indexed: the same probes give the
#      same per-rule counts and the same RULE=n lines, in the same order.
#   2. No packet that the set drops gets through while the set is applied
#      30 times, flat and indexed by turns.
#   3. With --log-limit 10, floods of a rule log at most its limit's lines
#      (10 at once, 20 where the nf_tables bucket adds the rate, then 10 a
#      second),
#      one rule with copies in many leaves included; the drops are counted.
# usage: layout.sh ZORVANE PACKETS ULOGD_CONF
set -uo pipefail
zorvane=$1 packets=$2 ulogd_conf=$3
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
work=$(mktemp -d)
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib/netlab.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib/checks.sh"
cleanup() { netlab_cleanup; rm -rf "$work"; }
trap cleanup EXIT
z() { "$zorvane" --ipv4-only "$@"; }

echo "== $(/sbin/iptables -V)"
netlab_up || exit 1
netlab_start_ulogd "$ulogd_conf" || exit 1
# Packets come from addresses no route leads back to.
for conf in all default eth3; do sysctl -qw "net.ipv4.conf.$conf.rp_filter=0"; done
mac=$(ip -o link show eth3 | awk '{ for (i = 1; i < NF; i++) if ($i == "link/ether") print $(i + 1) }')
send() { ip netns exec peer3 "$packets" "$@"; }
z setup >/dev/null 2>&1 || { fail "setup"; exit 1; }

# --- 1. the same probes, flat and indexed ------------------------------------------------------
# Rules and probes drawn from the same few networks, so that rules overlap
# and probes meet them: single addresses, networks, ranges, lists, rules
# without a source (copied into every leaf), interfaces, protocols, ports.
awk -v seed=7 'BEGIN {
    srand(seed)
    printf "["
    for (i = 0; i < 400; i++) {
        a = 1 + int(rand() * 3); b = int(rand() * 4); c = int(rand() * 256); d = 1 + int(rand() * 250)
        k = int(rand() * 10)
        if (k <= 3) source = "\"src_IP_cidr\":\"10." a "." b "." d "\","
        else if (k == 4) source = "\"src_IP_cidr\":\"10." a "." b ".0/24\","
        else if (k == 5) source = "\"src_IP_cidr\":\"10." a ".0.0/16\","
        else if (k == 6) source = "\"src_IP_range\":\"10." a "." b "." d "-10." a "." b "." (d + 5) "\","
        else if (k == 7) source = "\"src_IP_cidr\":\"10." a "." b "." d ",10." a "." b "." (d + 1) "\","
        else source = ""
        p = int(rand() * 5)
        if (source == "" && p >= 2) p = int(rand() * 2)  # no rule without a source matches everything
        proto = ""
        if (p == 0) proto = "\"protocol\":\"tcp\",\"dports_list\":[\"" (20 + int(rand() * 5)) "\",\"8000:8003\"],"
        if (p == 1) proto = "\"protocol\":\"udp\",\"dports_list\":[\"" (50 + int(rand() * 5)) "\"],"
        if (p == 2) proto = "\"protocol\":\"icmp\","
        m = int(rand() * 6)
        iface = ""
        if (m == 0) iface = "\"interface\":\"eth3\","
        if (m == 1) iface = "\"interface\":\"eth2\","
        printf "{%s%s%s\"allow\":%s},", source, proto, iface, rand() < 0.5 ? "true" : "false"
    }
    printf "{\"allow\":false}]\n"
}' > "$work/set.json"
awk -v seed=8 'BEGIN {
    srand(seed)
    for (i = 0; i < 600; i++) {
        p = int(rand() * 3)
        name = p == 0 ? "tcp" : (p == 1 ? "udp" : "icmp")
        port = p == 0 ? 20 + int(rand() * 8) : 50 + int(rand() * 6)
        printf "10.%d.%d.%d %s %d %d\n", 1 + int(rand() * 3), int(rand() * 4), 1 + int(rand() * 255), name, 30000 + i, port
    }
}' > "$work/probes"

for layout in flat indexed; do
    # --force: the source lists are error findings (one line per address)
    z apply --force --layout "$layout" "$work/set.json" >/dev/null 2>"$work/err" ||
        { fail "apply $layout"; tail -n 3 "$work/err"; }
    z status > "$work/status.$layout"
    grep -q "layout: $layout" "$work/status.$layout" && pass "the chain holds the $layout layout" ||
        fail "status: $(grep layout "$work/status.$layout")"
    z reset >/dev/null 2>&1
    : > /var/log/ulogd_syslogemu.log
    expect_eq "600 probes sent ($layout)" "$(send probe p3 10.0.3.254 "$mac" < "$work/probes")" 600
    sleep 1.5
    z counts --json "$work/set.json" > "$work/counts.$layout" || fail "counts of the $layout layout"
    grep -o 'RULE=[0-9]*' /var/log/ulogd_syslogemu.log > "$work/log.$layout"
done
decided=$(tr -d '[]\n' < "$work/counts.flat" | tr ',' '\n' | awk '{ s += $1 } END { print s + 0 }')
[ "$decided" -ge 500 ] && pass "the probes were decided by rules ($decided of 600)" || fail "only $decided probes decided"
[ "$(wc -l < "$work/log.flat")" -ge 100 ] && pass "$(wc -l < "$work/log.flat") drops logged" ||
    fail "only $(wc -l < "$work/log.flat") drops logged"
cmp -s "$work/counts.flat" "$work/counts.indexed" && pass "per-rule counts are the same in both layouts" ||
    fail "counts differ: $(diff <(tr ',' '\n' < "$work/counts.flat") <(tr ',' '\n' < "$work/counts.indexed") | head -5)"
cmp -s "$work/log.flat" "$work/log.indexed" && pass "the drop log names the same rules in the same order" ||
    fail "drop logs differ: $(diff "$work/log.flat" "$work/log.indexed" | head -5)"

# --- 2. no leak while the layouts replace each other ------------------------------------------
awk 'BEGIN {
    printf "["
    for (i = 0; i < 200; i++) printf "{\"src_IP_cidr\":\"10.%d.%d.9\",\"allow\":false},", 1 + i % 7, i
    printf "{\"src_IP_cidr\":\"10.0.3.100\",\"protocol\":\"udp\",\"allow\":false},"
    printf "{\"src_IP_cidr\":\"10.0.3.101\",\"protocol\":\"udp\",\"allow\":false},"
    for (i = 0; i < 100; i++) printf "{\"src_IP_cidr\":\"10.9.%d.0/24\",\"allow\":false},", i
    printf "{\"allow\":true}]\n"
}' > "$work/block.json"
z apply --layout flat "$work/block.json" >/dev/null 2>&1
# Whatever leaves ZORVANE undecided goes on in INPUT, behind the hook.
/sbin/iptables -A INPUT -s 10.0.3.100 -p udp -j ACCEPT
ip netns exec peer3 "$packets" flood p3 10.0.3.100 10.0.3.254 "$mac" 60 2000 > "$work/flood.out" &
flooder=$!
netlab_pids+=("$flooder")
sleep 0.5
for round in $(seq 30); do
    layout=flat
    [ $((round % 2)) = 1 ] && layout=indexed
    z apply --layout "$layout" "$work/block.json" >/dev/null 2>&1 || fail "re-apply $round ($layout)"
done
kill "$flooder" 2>/dev/null
wait "$flooder" 2>/dev/null
leaked=$(/sbin/iptables -vnx -L INPUT | awk '$8 == "10.0.3.100" { print $1 }')
expect_eq "no dropped packet got through 30 re-applies, flat and indexed by turns" "$leaked" 0
dropped=$(z counts --json "$work/block.json" | tr -d '[]' | cut -d, -f201)
[ "${dropped:-0}" -gt 0 ] && pass "the flood was dropped and counted meanwhile ($dropped since the last apply)" ||
    fail "the flood's rule counted ${dropped:-nothing}"
/sbin/iptables -D INPUT -s 10.0.3.100 -p udp -j ACCEPT

# --- 3. a log limit holds against floods --------------------------------------------------------
# Rule 202 floods from an address of its own (the flood above has ended
# anyway); rule 203 drops UDP port 9 from anywhere: it stands in every leaf.
sed 's/{"src_IP_cidr":"10.9.0.0\/24"/{"protocol":"udp","dports_list":["9"],"allow":false},&/' "$work/block.json" > "$work/limited.json"
z apply --log-limit 10 "$work/limited.json" >/dev/null 2>"$work/err" || { fail "apply --log-limit"; cat "$work/err"; }
z status >/dev/null && pass "status finds the limited set whole" || fail "status: $(z status)"
: > /var/log/ulogd_syslogemu.log
now() { date +%s.%N; }
# At most the burst and ten a second over the time the floods lasted (the
# nf_tables bucket holds rate and burst: 20 at first), and a little for
# the moment a flood ends.
bound() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%d", 10 * (b - a) + 23 }'; }
start=$(now)
sent=$(send flood p3 10.0.3.101 10.0.3.254 "$mac" 3)
most=$(bound "$start" "$(now)")
echo "flood: $sent (sent, seconds)"
sleep 1.5
lines=$(grep -c 'RULE=202 ' /var/log/ulogd_syslogemu.log)
count=$(z counts --json "$work/limited.json" | tr -d '[]' | cut -d, -f202)
[ "$lines" -ge 10 ] && [ "$lines" -le "$most" ] &&
    pass "a flood of ${count:-?} drops logged $lines lines (limit 10/s, burst 10; at most $most)" ||
    fail "the flood logged $lines lines for ${count:-?} drops (at most $most)"
[ "${count:-0}" -ge $((lines * 100)) ] && pass "every drop is counted" || fail "counted ${count:-nothing}"
# Three floods through three leaves meet three copies of rule 203, which
# share one limit: three buckets would log three times as much.
: > /var/log/ulogd_syslogemu.log
floods=()
start=$(now)
for source in 10.1.0.77 10.4.0.77 10.6.0.77; do
    ip netns exec peer3 "$packets" flood p3 "$source" 10.0.3.254 "$mac" 3 20000 > /dev/null &
    floods+=($!)
    netlab_pids+=($!)
done
wait "${floods[@]}"
most=$(bound "$start" "$(now)")
sleep 1.5
lines=$(grep -c 'RULE=203 ' /var/log/ulogd_syslogemu.log)
[ "$lines" -ge 10 ] && [ "$lines" -le "$most" ] &&
    pass "copies of a rule share its limit: $lines lines from three leaves (at most $most)" ||
    fail "three leaves logged $lines lines (at most $most)"

echo "== $failures failure(s)"
[ "$failures" = 0 ]
