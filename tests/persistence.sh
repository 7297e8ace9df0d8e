#!/usr/bin/env bash
# The saved rule set, the boot unit and confirmed changes on the real tools,
# inside "sandbox.sh nft|legacy" with /etc as a throwaway overlay. Real
# traffic between namespaces shows which rules are in force.
# usage: persistence.sh ZORVANE SOURCE_DIR
set -uo pipefail
zorvane=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
saved=/etc/zorvane/rules.json
work=$(mktemp -d)
source "$src/scripts/lib/netlab.sh"
cleanup() { netlab_cleanup; rm -rf "$work" /etc/zorvane; }
trap cleanup EXIT
source "$src/tests/lib/checks.sh"
chain() { /sbin/iptables -S ZORVANE 2>&1; }
pings() { ping_from peer3 10.0.3.5 "${1:-2}" 10.0.3.254; }

# The part after a reboot runs in a fresh network namespace: empty tables,
# no chain, no hook, only the saved file on disk.
if [ "${1:-}" = --booted ]; then
    zorvane=$2 src=$3
    source "$src/scripts/lib/netlab.sh"
    trap netlab_cleanup EXIT
    failures=0
    ip link set lo up
    expect_eq "the rebooted host has no chain" "$(/sbin/iptables -S ZORVANE 2>/dev/null)" ""
    unit=$src/deploy/zorvane.service
    grep -q '^Condition' "$unit" && fail "the unit has a condition: a missing saved set would skip it silently" ||
        pass "the unit runs whatever is saved"
    while read -r line; do
        # shellcheck disable=SC2086
        set -- ${line#ExecStart=}
        "$zorvane" "${@:2}" || fail "ExecStart $line failed"
    done < <(grep '^ExecStart=' "$unit")
    expect_eq "INPUT reaches the chain" "$(/sbin/iptables -S INPUT | grep -c -- '-j ZORVANE$')" 1
    netlab_up
    expect_eq "the saved rule set drops pings after the reboot" "$(pings 2)" 0
    expect_eq "the drop is counted there" "$("$zorvane" counts --json 2>/dev/null)" "[2,0]"
    echo "== $failures failure(s) after the reboot"
    exit "$failures"
fi

netlab_up || exit 1
allow_all='[{"allow":true}]'
drop_pings='[{"interface":"eth3","protocol":"icmp","allow":false},{"allow":true}]'
echo "$allow_all" > "$work/allow.json"
echo "$drop_pings" > "$work/drop.json"

# --- the saved rule set -----------------------------------------------------------------
"$zorvane" restore 2>"$work/err"
expect_eq "restore on a host that never saved a set exits" "$?" 0
grep -q "nothing to restore; the packet filter was not changed" "$work/err" && pass "restore says there is none" ||
    fail "restore: $(cat "$work/err")"
expect_eq "and changed nothing" "$(/sbin/iptables -S ZORVANE 2>/dev/null)" ""
"$zorvane" setup 2>/dev/null
"$zorvane" apply --save "$work/allow.json" 2>/dev/null
expect_eq "apply --save" "$?" 0
expect_eq "the saved file is the rule set" "$(cat $saved)" "$allow_all"
expect_eq "its mode" "$(stat -c %a $saved) $(stat -c %a /etc/zorvane)" "644 755"
"$zorvane" check >/dev/null 2>&1
expect_eq "check without FILE uses the saved set" "$?" 0
expect_eq "counts without FILE uses the saved set" "$("$zorvane" counts --json 2>/dev/null)" "[0]"
echo '[{"allow":true},{"src_IP_cidr":"999.1.1.1","allow":false}]' > $saved
before=$(chain)
"$zorvane" restore 2>"$work/err"
expect_eq "restore of a refused saved set exits" "$?" 3
grep -q "is refused" "$work/err" && pass "restore says why" || fail "restore: $(cat "$work/err")"
expect_eq "a refused restore changes nothing" "$(chain)" "$before"
"$zorvane" apply --save - < "$work/drop.json" 2>/dev/null
expect_eq "apply --save from standard input" "$(cat $saved)" "$drop_pings"
expect_eq "the saved set is in force" "$(pings 2)" 0

# --- a reboot -------------------------------------------------------------------------------
# shellcheck disable=SC2016
unshare --net --mount --propagation private \
    sh -c 'mount -t tmpfs tmpfs /run/netns && exec "$0" --booted "$1" "$2"' "$0" "$zorvane" "$src"
expect_eq "after the reboot" "$?" 0

# --- confirmed changes ----------------------------------------------------------------------
"$zorvane" apply --save "$work/allow.json" 2>/dev/null
allowed_chain=$(chain)
expect_eq "pings pass before the change" "$(pings 2)" 2

# never confirmed: rolled back within the timeout plus one second
start=$(date +%s.%N)
"$zorvane" apply --save --confirm 3 "$work/drop.json" </dev/null 2>"$work/err" &
waiter=$!
sleep 1.2
expect_eq "the new set is in force while it waits" "$(pings 1)" 0
wait "$waiter"
status=$?
elapsed=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
expect_eq "an unconfirmed change exits" "$status" 1
awk -v e="$elapsed" 'BEGIN { exit !(e < 4.0) }' && pass "rolled back after ${elapsed}s (timeout 3 s)" ||
    fail "rolled back only after ${elapsed}s"
grep -q "no confirmation in time: rolled back (no confirmation in time): the previous rules of the chain ZORVANE are back in force" "$work/err" &&
    pass "it says so" || fail "message: $(cat "$work/err")"
expect_eq "the old chain is back exactly" "$(chain)" "$allowed_chain"
expect_eq "the connection works again" "$(pings 2)" 2
expect_eq "--save did not save the unconfirmed set" "$(cat $saved)" "$allow_all"

# confirmed from another shell
"$zorvane" apply --save --confirm 20 "$work/drop.json" </dev/null 2>/dev/null &
waiter=$!
sleep 1
"$zorvane" confirm 2>/dev/null
expect_eq "zorvane confirm" "$?" 0
wait "$waiter"
expect_eq "a confirmed change exits" "$?" 0
expect_eq "and stays" "$(pings 1)" 0
expect_eq "and is saved" "$(cat $saved)" "$drop_pings"
"$zorvane" confirm 2>/dev/null
expect_eq "zorvane confirm with nothing waiting" "$?" 3

# confirmed by typing yes
"$zorvane" apply --confirm 20 "$work/allow.json" 2>/dev/null < <(sleep 1; echo no; echo yes)
expect_eq "typing yes confirms" "$?" 0
expect_eq "the typed-in set stays" "$(pings 1)" 1

# a hang-up and a SIGTERM roll back at once
for signal in HUP TERM; do
    before=$(chain)
    "$zorvane" apply --confirm 60 "$work/drop.json" </dev/null 2>/dev/null &
    waiter=$!
    sleep 1
    kill -s "$signal" "$waiter"
    wait "$waiter"
    expect_eq "SIG$signal during the wait exits" "$?" 1
    expect_eq "SIG$signal puts the old chain back" "$(chain)" "$before"
done

echo "== $failures failure(s)"
[ "$failures" = 0 ]
