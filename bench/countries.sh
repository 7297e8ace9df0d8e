#!/usr/bin/env bash
# Country rules as address sets, inside "sandbox.sh nft|legacy", with the
# packaged database (tor-geoipdb):
#   - the utility's sample set (rule 5: US; rule 6: 14 countries) applied
#     with --countries sets, its sets made afresh each time, and again with
#     them standing;
#   - a US rule's apply taken apart (strace of the one run that loads the
#     sets) against a bare "ipset restore" of the same entries, and against
#     an apply of one plain rule: what the database and the networks cost;
#   - NEW packets a second accepted behind the US rule against an empty
#     chain (the flood from the peer namespace, a source no set holds);
#   - the kernel memory of the US IPv4 set (as ipset counts it) against the
#     same networks as plain rules (a chain of "-s NET -j DROP" lines; the
#     fall of MemAvailable, so roughly).
# CSV rows on standard output, as zvn_bench prints.
# usage: sandbox.sh nft|legacy bench/countries.sh ZORVANE PACKETS
set -uo pipefail
zorvane=$1 packets=$2
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
backend=${ZVN_SANDBOX:?run me through tests/sandbox/sandbox.sh}
work=$(mktemp -d /var/tmp/zvn-countries.XXXXXX)
source "$top/scripts/lib/netlab.sh"
cleanup() { netlab_cleanup; /usr/sbin/ipset destroy 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
[ -r /usr/share/tor/geoip ] || { echo "countries bench: tor-geoipdb is not installed" >&2; exit 1; }
netlab_up >/dev/null || exit 1
mount -t sysfs sysfs /sys
echo 2 > /sys/class/net/eth3/queues/rx-0/rps_cpus
for conf in all default eth3; do sysctl -qw "net.ipv4.conf.$conf.rp_filter=0"; done
mac=$(cat /sys/class/net/eth3/address)
"$zorvane" setup >/dev/null 2>&1
row() { echo "$1,$backend,$2,$3,$4"; }
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ms() { # COMMAND...: its wall time in ms
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
plain='[{"src_IP_cidr":"10.9.9.0/24","allow":false},{"allow":true}]'
echo "$plain" > "$work/plain.json"
echo '[{"src_country":["US"],"allow":false},{"allow":true}]' > "$work/us.json"
echo '[{"allow":true}]' > "$work/empty.json"
sample=$top/tests/data/sample_rules.json
afresh() { "$zorvane" apply "$work/plain.json" >/dev/null 2>&1; /usr/sbin/ipset destroy 2>/dev/null; }

# --- the sample set ---------------------------------------------------------------------------
fresh=() standing=()
for _ in 1 2 3; do
    afresh
    fresh+=("$(ms "$zorvane" apply --countries sets "$sample")")
    standing+=("$(ms "$zorvane" apply --countries sets "$sample")")
done
row countries 12 sample_apply_fresh_ms "$(median "${fresh[@]}")"
row countries 12 sample_apply_standing_ms "$(median "${standing[@]}")"
for rule in 5 6; do
    for family in 4 6; do
        name=$(/usr/sbin/ipset list -n | grep "^zv$family-$rule-")
        row countries 12 "rule${rule}_ipv${family}_networks" \
            "$(/usr/sbin/ipset list -t "$name" | sed -n 's/^Number of entries: //p')"
    done
done

# --- a US rule taken apart --------------------------------------------------------------------
us=() plain_runs=() bare=() loads=()
for _ in 1 2 3; do
    afresh
    us+=("$(ms "$zorvane" apply --countries sets "$work/us.json")")
    /usr/sbin/ipset save | sed 's/zv\([46]\)-/bare\1-/g' > "$work/bare.txt"
    plain_runs+=("$(ms "$zorvane" apply "$work/plain.json")")
    /usr/sbin/ipset destroy 2>/dev/null
    bare+=("$(ms /usr/sbin/ipset restore -f "$work/bare.txt")")
    /usr/sbin/ipset destroy 2>/dev/null
    # The library's load: the one "ipset -file FILE restore" it runs, from
    # its start to its end.
    afresh
    strace --seccomp-bpf -f -ttt -e trace=execve -e signal=none -o "$work/trace" \
        "$zorvane" apply --countries sets "$work/us.json" >/dev/null 2>&1
    loads+=("$(awk '/execve\(.*ipset", \["\/usr\/sbin\/ipset", "-file"/ { pid = $1; start = $2 }
                    pid != "" && $1 == pid && /\+\+\+ exited/ { printf "%d", ($2 - start) * 1000; exit }' "$work/trace")")
done
us_ms=$(median "${us[@]}") plain_ms=$(median "${plain_runs[@]}") bare_ms=$(median "${bare[@]}") load_ms=$(median "${loads[@]}")
row countries 2 us_apply_fresh_ms "$us_ms"
row countries 2 plain_apply_ms "$plain_ms"
row countries 2 bare_ipset_restore_ms "$bare_ms"
row countries 2 library_set_load_ms "$load_ms"
row countries 2 set_load_over_bare "$(ratio "$load_ms" "$bare_ms")"
row countries 2 sets_part_over_bare "$(ratio $((us_ms - plain_ms)) "$bare_ms")"
row countries 2 database_and_networks_ms $((us_ms - plain_ms - load_ms))

# --- NEW packets behind the US rule -----------------------------------------------------------
accepted() { /sbin/iptables -vnx -L ZORVANE | awk '$3 == "ACCEPT" { c += $1 } END { print c + 0 }'; }
rate() {
    local before after out
    before=$(accepted)
    out=$(ip netns exec peer3 taskset -c 0 "$packets" flood p3 10.0.3.5 10.0.3.254 "$mac" 2)
    after=$(accepted)
    echo "$out" | awk -v a=$((after - before)) '{ printf "%d", a / $2 }'
}
empty_rates=() us_rates=()
for _ in 1 2 3 4 5; do
    "$zorvane" --ipv4-only apply "$work/empty.json" >/dev/null 2>&1
    empty_rates+=("$(rate)")
    "$zorvane" --ipv4-only apply --countries sets "$work/us.json" >/dev/null 2>&1
    us_rates+=("$(rate)")
done
empty_rate=$(median "${empty_rates[@]}") us_rate=$(median "${us_rates[@]}")
row countries 2 empty_chain_pps "$empty_rate"
row countries 2 behind_us_set_pps "$us_rate"
row countries 2 us_set_over_empty "$(ratio "$us_rate" "$empty_rate")"

# --- kernel memory: the US set against its networks as rules ---------------------------------
"$zorvane" --ipv4-only apply --countries sets "$work/us.json" >/dev/null 2>&1
name=$(/usr/sbin/ipset list -n | grep '^zv4-1-')
networks=$(/usr/sbin/ipset list "$name" | grep -c '^[0-9]')
set_bytes=$(/usr/sbin/ipset list -t "$name" | sed -n 's/^Size in memory: //p')
row countries "$networks" us_ipv4_set_bytes "$set_bytes"
/usr/sbin/ipset list "$name" | grep '^[0-9]' > "$work/networks"
"$zorvane" --ipv4-only apply "$work/empty.json" >/dev/null 2>&1
{ echo '*filter'; echo ':PLAIN - [0:0]'; sed 's/^/-A PLAIN -s /; s/$/ -j DROP/' "$work/networks"; echo COMMIT; } > "$work/plain.rules"
available() { awk '/MemAvailable/ { print $2 }' /proc/meminfo; }
sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null
before=$(available)
/sbin/iptables-restore -n "$work/plain.rules"
sleep 1
after=$(available)
row countries "$networks" us_ipv4_as_rules_kernel_kib $((before - after))
/sbin/iptables -F PLAIN; /sbin/iptables -X PLAIN
