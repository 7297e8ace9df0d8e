#!/usr/bin/env bash
# Two processes apply different rule sets at the same moment, many times,
# while a third lists the chain: every listing must show exactly one of the
# two rule sets (never a mixture, never an empty chain), and every apply must
# end in 0 or a failure status. Runs inside "sandbox.sh nft|legacy".
# usage: concurrency.sh ZVN_UTIL [ROUNDS]
set -uo pipefail
util=$1 rounds=${2:-40}
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
work=$(mktemp -d)
a='[{"interface":"eth9","protocol":"udp","dports_list":["53"],"allow":false},{"allow":true}]'
b='[{"src_IP_cidr":"10.1.0.0/16","protocol":"tcp","dports_list":["80","443"],"allow":true},{"interface":"eth8","allow":false},{"src_IP_range":"10.2.0.1-10.2.0.9","allow":false}]'

"$util" setup_default_chain
"$util" apply_rules "$b" && chain_b=$(/sbin/iptables -w -S ZORVANE)
"$util" apply_rules "$a" && chain_a=$(/sbin/iptables -w -S ZORVANE)
[ -n "${chain_a:-}" ] && [ -n "${chain_b:-}" ] || { echo "could not apply the two rule sets"; exit 1; }

observe() {
    local seen=0 bad=0 now
    while [ ! -e "$work/stop" ]; do
        now=$(/sbin/iptables -w -S ZORVANE 2>/dev/null) || continue
        seen=$((seen + 1))
        if [ "$now" != "$chain_a" ] && [ "$now" != "$chain_b" ]; then
            bad=$((bad + 1))
            [ -e "$work/first-bad" ] || printf '%s\n' "$now" > "$work/first-bad"
        fi
    done
    echo "$seen $bad" > "$work/observed"
}
apply_many() { # RULES NAME
    local i
    for i in $(seq "$rounds"); do "$util" apply_rules "$1" 2>/dev/null; echo $? >> "$work/status.$2"; done
}

observe &
observer=$!
apply_many "$a" a &
apply_many "$b" b &
wait %2 %3
touch "$work/stop"
wait "$observer"

read -r seen bad < "$work/observed"
failures=0
for name in a b; do
    statuses=$(sort "$work/status.$name" | uniq -c | tr -s ' ' | tr '\n' ';')
    echo "rule set $name: exit statuses (count status): $statuses"
    [ "$(wc -l < "$work/status.$name")" = "$rounds" ] || { echo "FAIL: $name did not finish"; failures=1; }
    grep -qx 0 "$work/status.$name" || { echo "FAIL: $name never applied"; failures=1; }
done
echo "listings seen: $seen, showing neither rule set: $bad"
if [ "$bad" != 0 ]; then echo "FAIL: first odd listing:"; cat "$work/first-bad"; failures=1; fi
final=$(/sbin/iptables -w -S ZORVANE)
if [ "$final" != "$chain_a" ] && [ "$final" != "$chain_b" ]; then echo "FAIL: final chain is neither"; failures=1; fi
[ "$seen" -gt 0 ] || { echo "FAIL: the observer saw nothing"; failures=1; }
rm -rf "$work"
[ "$failures" = 0 ] && echo "ok: every listing held exactly one rule set"
exit "$failures"
