#!/usr/bin/env bash
# Applies of two rule sets race with snapshot reads of both, in separate
# processes, on the real tools (run inside "sandbox.sh nft|legacy"). The two
# sets have the same shape (a read by position alone would find plausible
# numbers in either chain) but differ in their interfaces. Every read must
# either match the set it asked about and give counts, or report that the
# chain does not hold it: never counts of the other set.
# usage: race.sh ZVN_UTIL RACE_READER [ROUNDS]
set -uo pipefail
util=$1 reader=$2 rounds=${3:-60}
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
a='[{"interface":"eth7","protocol":"udp","dports_list":["53"],"allow":false},{"interface":"eth7","allow":true},{"allow":true}]'
b='[{"interface":"eth8","protocol":"udp","dports_list":["53"],"allow":false},{"interface":"eth8","allow":true},{"allow":true}]'

"$util" setup_default_chain 2>/dev/null
"$util" apply_rules "$a" && /sbin/iptables -w -S ZORVANE > "$work/chain_a"
"$util" apply_rules "$b" && /sbin/iptables -w -S ZORVANE > "$work/chain_b"
[ -s "$work/chain_a" ] && [ -s "$work/chain_b" ] || { echo "FAIL: could not apply the two rule sets"; exit 1; }

apply_many() { # RULES NAME
    local i failed=0
    for i in $(seq "$rounds"); do "$util" apply_rules "$1" || failed=$((failed + 1)); done
    echo "$failed" > "$work/failed.$2"
}
apply_many "$a" a &
apply_many "$b" b &
appliers=$(jobs -p)
"$reader" "$a" "$work/chain_a" "$work/stop" > "$work/read.a" 2>&1 &
reader_a=$!
"$reader" "$b" "$work/chain_b" "$work/stop" > "$work/read.b" 2>&1 &
reader_b=$!
# shellcheck disable=SC2086
wait $appliers
touch "$work/stop"
failures=0
wait "$reader_a" || failures=1
wait "$reader_b" || failures=1
for name in a b; do
    grep -q ' counted [1-9]' "$work/read.$name" && grep -q ' refused [1-9]' "$work/read.$name" ||
        { echo "FAIL: the reads of $name did not meet both chains: the race did not happen"; failures=1; }
done
for name in a b; do
    echo "reads of rule set $name: $(cat "$work/read.$name")"
    echo "applies of rule set $name that failed: $(cat "$work/failed.$name")"
    [ "$(cat "$work/failed.$name")" = 0 ] || failures=1
done
if [ "$failures" = 0 ]; then echo "ok: every read matched its rule set or said it did not"; else echo "FAIL"; fi
exit "$failures"
