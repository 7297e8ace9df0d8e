#!/usr/bin/env bash
# The packet path, inside "sandbox.sh nft|legacy": NEW UDP packets per
# second that this namespace accepts behind a block list of N addresses and
# one allow rule, flooded from the peer namespace (tests/tools/packets) on
# one core while the other takes the receiving side (RPS). For each N, in
# turns, medians of three: the indexed layout, the flat one (up to 10,000
# rules), and one nft set of the same addresses, the baseline. Each from a
# source of its own leaf (10.0.3.5, listed nowhere) and from one next to a
# listed address (its leaf full). Then a drop flood against --log-limit 10:
# the lines it logged. CSV rows on standard output, as zvn_bench prints.
# usage: sandbox.sh nft|legacy bench/packet_path.sh ZORVANE PACKETS ULOGD_CONF [SIZES...]
set -uo pipefail
zorvane=$1 packets=$2 ulogd_conf=$3
shift 3
sizes=${*:-1000 10000 100000}
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
backend=${ZVN_SANDBOX:?run me through tests/sandbox/sandbox.sh}
work=$(mktemp -d /var/tmp/zvn-packet-path.XXXXXX)
source "$top/scripts/lib/netlab.sh"
cleanup() { netlab_cleanup; rm -rf "$work"; }
trap cleanup EXIT
netlab_up >/dev/null || exit 1
netlab_start_ulogd "$ulogd_conf" || exit 1
mount -t sysfs sysfs /sys  # this namespace's own devices
echo 2 > /sys/class/net/eth3/queues/rx-0/rps_cpus
for conf in all default eth3; do sysctl -qw "net.ipv4.conf.$conf.rp_filter=0"; done
mac=$(cat /sys/class/net/eth3/address)
z() { "$zorvane" --ipv4-only "$@"; }
z setup >/dev/null 2>&1
row() { echo "$1,$backend,$2,$3,$4"; }

# The rule set: N random unicast addresses dropped, then allow-all.
block_list() {
    awk -v n="$1" 'BEGIN {
        srand(1); printf "["
        for (i = 0; i < n; i++) {
            do a = 1 + int(rand() * 223); while (a == 10 || a == 127)
            printf "{\"src_IP_cidr\":\"%d.%d.%d.%d\",\"allow\":false},", a, int(rand() * 256), int(rand() * 256), 1 + int(rand() * 253)
        }
        printf "{\"allow\":true}]\n"
    }'
}
# The listed address nearest the middle of the address space, plus one.
beside_listed() {
    grep -o '"src_IP_cidr":"[0-9.]*"' "$1" | cut -d'"' -f4 | sort -t. -k1,1n -k2,2n -k3,3n -k4,4n |
        awk '{ a[NR] = $0 } END { split(a[int(NR / 2)], p, "."); printf "%d.%d.%d.%d\n", p[1], p[2], p[3], p[4] + 1 }'
}
nft_set() {
    { printf 'table ip baseline {\n  set listed {\n    type ipv4_addr; flags interval;\n    elements = { '
      grep -o '"src_IP_cidr":"[0-9.]*"' "$1" | cut -d'"' -f4 | sort -u | paste -sd,
      printf '    }\n  }\n  chain input {\n    type filter hook input priority 0;\n'
      printf '    ct state new ip saddr @listed log group 0 prefix "SET ACT=DROP" drop\n'
      printf '    ct state new iifname != "lo" counter accept\n  }\n}\n'; } > "$work/baseline.nft"
}
accepted_by_zorvane() { /sbin/iptables -vnx -L | awk '$3 == "ACCEPT" { c += $1 } END { print c + 0 }'; }
accepted_by_set() { nft list chain ip baseline input | awk '/counter packets/ { for (i = 1; i <= NF; i++) if ($i == "packets") print $(i + 1) }'; }
# rate COUNTER SOURCE: accepted packets per second of a 2 s flood.
rate() {
    local before after out
    before=$($1)
    out=$(ip netns exec peer3 taskset -c 0 "$packets" flood p3 "$2" 10.0.3.254 "$mac" 2)
    after=$($1)
    echo "$out" | awk -v a=$((after - before)) '{ printf "%d", a / $2 }'
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
hook() { /sbin/iptables -C INPUT -m state --state NEW -j ZORVANE 2>/dev/null || /sbin/iptables -A INPUT -m state --state NEW -j ZORVANE; }
unhook() { /sbin/iptables -D INPUT -m state --state NEW -j ZORVANE 2>/dev/null; }

for n in $sizes; do
    block_list "$n" > "$work/rules.json"
    nft_set "$work/rules.json"
    beside=$(beside_listed "$work/rules.json")
    for source in 10.0.3.5 "$beside"; do
        kind=own_leaf
        [ "$source" = 10.0.3.5 ] || kind=full_leaf
        set_rates=() indexed_rates=() flat_rates=()
        for _ in 1 2 3; do
            unhook; nft -f "$work/baseline.nft"
            set_rates+=("$(rate accepted_by_set "$source")")
            nft delete table ip baseline; hook
            z apply --layout indexed "$work/rules.json" >/dev/null 2>&1 || echo "packet_path: indexed apply failed" >&2
            indexed_rates+=("$(rate accepted_by_zorvane "$source")")
            if [ "$n" -le 10000 ]; then
                z apply --layout flat "$work/rules.json" >/dev/null 2>&1 || echo "packet_path: flat apply failed" >&2
                flat_rates+=("$(rate accepted_by_zorvane "$source")")
            fi
        done
        set_rate=$(median "${set_rates[@]}") indexed_rate=$(median "${indexed_rates[@]}")
        row rate "$n" "${kind}_nft_set_pps" "$set_rate"
        row rate "$n" "${kind}_indexed_pps" "$indexed_rate"
        row rate "$n" "${kind}_indexed_over_set" "$(awk -v a="$indexed_rate" -v b="$set_rate" 'BEGIN { printf "%.3f", a / b }')"
        if [ ${#flat_rates[@]} -gt 0 ]; then
            flat_rate=$(median "${flat_rates[@]}")
            row rate "$n" "${kind}_flat_pps" "$flat_rate"
            row rate "$n" "${kind}_flat_over_set" "$(awk -v a="$flat_rate" -v b="$set_rate" 'BEGIN { printf "%.4f", a / b }')"
        fi
    done
done

# A drop flood from a listed address against a log limit of 10 a second.
block_list 10000 > "$work/rules.json"
listed=$(grep -o '"src_IP_cidr":"[0-9.]*"' "$work/rules.json" | head -1 | cut -d'"' -f4)
z apply --log-limit 10 "$work/rules.json" >/dev/null 2>&1
: > /var/log/ulogd_syslogemu.log
out=$(ip netns exec peer3 taskset -c 0 "$packets" flood p3 "$listed" 10.0.3.254 "$mac" 5)
sleep 2
row log_limit 10000 flood_pps "$(echo "$out" | awk '{ printf "%d", $1 / $2 }')"
row log_limit 10000 flood_seconds "$(echo "$out" | awk '{ print $2 }')"
row log_limit 10000 dropped "$(z counts --json "$work/rules.json" | tr -d '[]' | cut -d, -f1)"
row log_limit 10000 lines_logged "$(grep -c 'RULE=1 ' /var/log/ulogd_syslogemu.log)"
