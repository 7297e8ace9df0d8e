#!/usr/bin/env bash
# Failing closed on the real tools, inside "sandbox.sh nft|legacy" with /etc
# and /var/lib as throwaway overlays: every form that would make a rule
# wider than written is named by the check and refused by apply (ports
# with leading zeros shown with real traffic), every broken boot ends with
# the host filtering (the last good set or the fail-safe set) and the unit
# failing, a killed applier still rolls back at its deadline, a second
# change waits its turn, and a save that cannot be written changes nothing.
# usage: failclosed.sh ZORVANE SOURCE_DIR
set -uo pipefail
zorvane=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
mode=$ZVN_SANDBOX
saved=/etc/zorvane/rules.json
work=$(mktemp -d)
source "$src/scripts/lib/netlab.sh"
cleanup() {
    umount /etc/zorvane 2>/dev/null || true
    pkill -f "zorvane.*watch-pending" 2>/dev/null || true
    netlab_cleanup
    rm -rf "$work" /etc/zorvane /var/lib/zorvane /run/zorvane
}
trap cleanup EXIT
source "$src/tests/lib/checks.sh"
chain() { /sbin/iptables -S ZORVANE 2>&1; }
chain6() { /sbin/ip6tables -S ZORVANE 2>&1; }
pings() { ping_from peer3 10.0.3.5 "${1:-2}" 10.0.3.254; }

echo "== $(/sbin/iptables -V)"
netlab_up || exit 1
"$zorvane" setup 2>/dev/null || fail "setup"

# --- every form through the check and through apply -----------------------------------
# name | rule set | check exit | finding code | apply exit (without --force)
printf '[{"allow":true,"interface":%s%s}]' "$(printf '%.0s[' $(seq 100000))" "$(printf '%.0s]' $(seq 100000))" > "$work/deep.json"
printf '[{"allow":true},\x00{"allow":false}]' > "$work/nul.json"
printf '[{"allow":true,"interface":"eth\xff"}]' > "$work/latin1.json"
while IFS='|' read -r name rules check_status code apply_status; do
    [ -n "$name" ] || continue
    case $rules in @*) file=$work/${rules#@} ;; *) file=$work/$name.json; printf '%s' "$rules" > "$file" ;; esac
    before=$(chain)
    "$zorvane" check --json "$file" > "$work/out" 2> "$work/err"
    expect_eq "$name: check exits" "$?" "$check_status"
    [ -z "$code" ] || has "$name: the check names $code" "\"code\":\"$code\"" "$work/out"
    "$zorvane" apply "$file" > /dev/null 2> "$work/err"
    expect_eq "$name: apply exits" "$?" "$apply_status"
    [ "$apply_status" = 0 ] || expect_eq "$name: a refused apply leaves the chain" "$(chain)" "$before"
done <<'EOF'
leading-zero|[{"protocol":"tcp","dports_list":["010:020"],"allow":false},{"allow":true}]|1|noncanonical-port|1
leading-zero-single|[{"protocol":"tcp","dports_list":["022"],"allow":false},{"allow":true}]|1|noncanonical-port|1
null-source|[{"src_IP_cidr":null,"allow":true}]|1|null-value|1
null-range|[{"src_IP_range":null,"allow":true}]|1|null-value|1
duplicate-key|[{"src_IP_cidr":"10.0.0.0/8","src_IP_cidr":"0.0.0.0/0","allow":true}]|1|duplicate-key|1
mapped|[{"src_IP_cidr":"::ffff:10.0.0.0/104","allow":false},{"allow":true}]|1|ipv4-mapped|1
empty-source|[{"src_IP_cidr":"","allow":true}]|0|empty-value|0
empty-range|[{"src_IP_range":"","allow":true}]|0|empty-value|0
empty-countries|[{"src_country":[],"allow":true}]|0|empty-value|0
empty-ports|[{"protocol":"tcp","dports_list":[],"allow":true}]|0|empty-value|0
wildcard-interface|[{"interface":"eth*","allow":false},{"allow":true}]|0|interface-wildcard|0
deep-value|@deep.json|1|ignored-value|1
nul-byte|@nul.json|1|nul-byte|1
not-utf8|@latin1.json|1||1
out-of-range|[{"allow":true,"interface":1e999}]|1||1
truncated|[{"allow":true},{"allow"|1||1
EOF
"$zorvane" apply --force "$work/nul.json" 2> "$work/err"
expect_eq "a NUL byte refuses even with --force" "$?" 1
has "and names its offset" "NUL byte at offset 16" "$work/err"
"$zorvane" apply "$work/out-of-range.json" 2> "$work/err"
has "1e999 is a refused rule set, in the command's words" "the rule set is not JSON" "$work/err"
"$zorvane" check "$work" 2> "$work/err"
expect_eq "a directory as FILE exits" "$?" 2
has "and says it is not a file" "not a file" "$work/err"

# --- the ports as written, with traffic ------------------------------------------------------
"$zorvane" apply --force "$work/leading-zero.json" 2>/dev/null
expect_eq "apply --force of 010:020" "$?" 0
chain | grep -q -- "--dports 10:20" && pass "the chain holds ports 10:20" || fail "the chain holds: $(chain)"
for port in 8 9 10 17 20 21; do nc -lk 10.0.3.254 "$port" >/dev/null 2>&1 & netlab_pids+=($!); done
sleep 0.5
open=""
for port in 8 9 10 17 20 21; do tcp_from peer3 10.0.3.5 "$port" 10.0.3.254 1 && open="$open $port"; done
expect_eq "TCP ports answering (the set drops 10 to 20)" "$open" " 8 9 21"

# --- save before commit ----------------------------------------------------------------------
echo '[{"allow":true}]' > "$work/allow.json"
echo '[{"interface":"eth3","protocol":"icmp","allow":false},{"allow":true}]' > "$work/drop.json"
"$zorvane" apply --save "$work/allow.json" 2>/dev/null
expect_eq "apply --save" "$?" 0
test -s /var/lib/zorvane/last-good.ipv4 && pass "the last good IPv4 chain is kept" || fail "no last good IPv4 chain"
test -s /var/lib/zorvane/last-good.ipv6 && pass "the last good IPv6 chain is kept" || fail "no last good IPv6 chain"
before=$(chain)
mount --bind /etc/zorvane /etc/zorvane && mount -o remount,bind,ro /etc/zorvane
"$zorvane" apply --save "$work/drop.json" 2> "$work/err"
expect_eq "apply --save to a read-only /etc exits" "$?" 3
has "it refuses before the change" "nothing was changed" "$work/err"
expect_eq "the chain is as it was" "$(chain)" "$before"
umount /etc/zorvane

# --- changes that cannot be orphaned ----------------------------------------------------------------
for signal in KILL QUIT; do
    expect_eq "pings pass before the change ($signal)" "$(pings 1)" 1
    "$zorvane" apply --save --confirm 3 "$work/drop.json" </dev/null >/dev/null 2>&1 &
    applier=$!
    sleep 1
    expect_eq "the new set is in force while it waits ($signal)" "$(pings 1)" 0
    "$zorvane" apply --save "$work/allow.json" 2> "$work/err"
    expect_eq "a second change during the window exits ($signal)" "$?" 1
    has "it says which change awaits and until when" "a change awaits confirmation until" "$work/err"
    "$zorvane" setup 2>/dev/null
    expect_eq "setup waits its turn too ($signal)" "$?" 1
    kill -s "$signal" "$applier"
    wait "$applier" 2>/dev/null
    sleep 3
    expect_eq "SIG$signal of the applier: rolled back at the deadline" "$(chain)" "$before"
    [ ! -e /run/zorvane/pending ] && pass "nothing pending afterwards" || fail "/run/zorvane/pending is left"
    expect_eq "the saved set was not changed" "$(cat $saved)" '[{"allow":true}]'
    "$zorvane" confirm 2>/dev/null
    expect_eq "nothing to confirm afterwards" "$?" 3
done
# a killed applier's change can still be confirmed, and is saved then
"$zorvane" apply --save --confirm 20 "$work/drop.json" </dev/null >/dev/null 2>&1 &
applier=$!
sleep 1
kill -KILL "$applier"
wait "$applier" 2>/dev/null
"$zorvane" confirm 2> "$work/err"
expect_eq "zorvane confirm after the applier died" "$?" 0
expect_eq "the confirmed set stays" "$(pings 1)" 0
expect_eq "and is saved" "$(cat $saved)" "$(cat "$work/drop.json")"
grep -q "icmp" /var/lib/zorvane/last-good.ipv4 && pass "and kept as the last good set" || fail "last good: $(cat /var/lib/zorvane/last-good.ipv4)"

# --- a kill between the families' installs ---------------------------------------------------------
rm -f /usr/sbin/ip6tables-restore
printf '#!/bin/sh\n[ "$1" = -n ] && sleep 3\nexec /usr/sbin/xtables-%s-multi ip6tables-restore "$@"\n' "$mode" > /usr/sbin/ip6tables-restore
chmod 0755 /usr/sbin/ip6tables-restore
"$zorvane" apply "$work/allow.json" 2>"$work/apply.err" &
applier=$!
for _ in $(seq 50); do [ "$(chain | grep -c '^-A')" = 1 ] && break; sleep 0.1; done
[ "$(chain | grep -c '^-A')" = 1 ] || fail "the IPv4 install did not come: $(cat "$work/apply.err")"
kill -KILL "$applier" 2>/dev/null; pkill -KILL -f "ip6tables-restore -n"
wait "$applier" 2>/dev/null
rm -f /usr/sbin/ip6tables-restore && ln -s "xtables-$mode-multi" /usr/sbin/ip6tables-restore
"$zorvane" status > "$work/out" 2>&1
expect_eq "status after a kill between the families exits" "$?" 3
has "the IPv4 chain holds the unfinished apply's set" "holds the rule set of an apply that did not finish" "$work/out"
grep -A5 "(IPv6)" "$work/out" | grep -q "holds what was last installed" && pass "the IPv6 chain holds the set last installed" ||
    fail "status: $(cat "$work/out")"
"$zorvane" apply "$work/drop.json" 2>/dev/null

# --- boots ------------------------------------------------------------------------------------------------
# boot: the unit's ExecStart in a fresh network namespace (empty tables);
# prints its exit status, then both chains and the hooks.
boot() {
    unshare --net sh -c 'ip link set lo up; "$0" restore 2>"$1/boot.err"; echo "exit $?";
        /sbin/iptables -S ZORVANE 2>/dev/null; /sbin/ip6tables -S ZORVANE 2>/dev/null | sed "s/^/6 /";
        echo "hooks $(/sbin/iptables -S INPUT | grep -c -- "-j ZORVANE") $(/sbin/ip6tables -S INPUT 2>/dev/null | grep -c -- "-j ZORVANE")"' \
        "$zorvane" "$work" > "$work/boot.out"
}
good4=$(sed -n '/^-A/p' /var/lib/zorvane/last-good.ipv4)
cp "$saved" "$work/saved.json"
expect_boot() { # NAME EXIT WHAT(good|saved|failsafe|nothing)
    boot
    expect_eq "boot, $1: the unit's command exits" "$(head -n 1 "$work/boot.out")" "exit $2"
    case $3 in
    good | saved) expect_eq "boot, $1: the chain holds the $3 set" "$(grep '^-A' "$work/boot.out")" "$good4" ;;
    failsafe) grep -q 'FAILSAFE ACT=DROP' "$work/boot.out" && grep -q '^-A ZORVANE -j DROP' "$work/boot.out" &&
        grep -q '^6 -A ZORVANE -j DROP' "$work/boot.out" && pass "boot, $1: the fail-safe set is in force in both families" ||
        fail "boot, $1: $(cat "$work/boot.out")" ;;
    nothing) expect_eq "boot, $1: nothing was changed" "$(sed 1d "$work/boot.out")" "hooks 0 0" ;;
    esac
    [ "$3" = nothing ] || expect_eq "boot, $1: INPUT reaches the chain" "$(tail -n 1 "$work/boot.out" | cut -d' ' -f2)" 1
}
expect_boot good 0 saved
head -c 20 "$work/saved.json" > $saved; expect_boot truncated 3 good
has "the truncated set is named" "is refused" "$work/boot.err"
has "and what is in force instead" "in force instead: IPv4: the last set installed successfully" "$work/boot.err"
: > $saved; expect_boot empty 3 good
printf '[{"allow":true,"interface":"eth\xff"}]' > $saved; expect_boot not-utf8 3 good
rm -f $saved; expect_boot "saved set deleted" 3 good
has "the missing set is named" "is missing, though one was saved before" "$work/boot.err"
cp "$work/saved.json" $saved
mv /usr/sbin/firewall.sh "$work/firewall.sh"; expect_boot "firewall.sh missing" 3 saved
has "the missing script is named" "/usr/sbin/firewall.sh is missing" "$work/boot.err"
mv "$work/firewall.sh" /usr/sbin/firewall.sh
rm /usr/sbin/ip6tables-restore; expect_boot "ip6tables-restore missing" 3 saved
has "the missing tool is named" "ip6tables-restore missing" "$work/boot.err"
ln -s "xtables-$mode-multi" /usr/sbin/ip6tables-restore
# a set applied with --force boots as it was applied, until it is edited
echo '[{"src_IP_cidr":null,"interface":"eth3","protocol":"icmp","allow":false},{"allow":true}]' > "$work/forced.json"
"$zorvane" apply --force --save "$work/forced.json" 2>/dev/null
good4=$(sed -n '/^-A/p' /var/lib/zorvane/last-good.ipv4)
expect_boot "saved with --force" 0 saved
echo ' ' >> $saved; expect_boot "forced set edited" 3 good
# no last good set: the fail-safe set, with its extra allows
rm -rf /var/lib/zorvane
echo '[{"protocol":"tcp","dports_list":["22"],"allow":true}]' > /etc/zorvane/failsafe.json
echo '[' > $saved; expect_boot "refused, no last good set" 3 failsafe
grep -q -- '--dports 22 -j ACCEPT' "$work/boot.out" && pass "the fail-safe set keeps the management port open" ||
    fail "fail-safe: $(cat "$work/boot.out")"
has "the fail-safe set is named" "the fail-safe set" "$work/boot.err"
rm -rf /etc/zorvane; expect_boot "never saved" 0 nothing
has "a host that never saved a set is told so" "nothing to restore; the packet filter was not changed" "$work/boot.err"

# the fail-safe set drops what it should, with its own log prefix
mkdir -p /etc/zorvane && echo '[' > $saved
netlab_start_ulogd "$src/deploy/ulogd-zorvane.conf" || fail "ulogd"
"$zorvane" restore 2>/dev/null
expect_eq "restore falls back here too" "$?" 3
expect_eq "pings are dropped under the fail-safe set" "$(pings 2)" 0
sleep 1
grep -q "FAILSAFE ACT=DROP" /var/log/ulogd_syslogemu.log && pass "the drops are logged as FAILSAFE" ||
    fail "drop log: $(tail -n 3 /var/log/ulogd_syslogemu.log)"
expect_eq "the host's own loopback still works" "$(ping -c 1 -W 1 127.0.0.1 >/dev/null 2>&1 && echo up)" up

echo "== $failures failure(s) ($mode)"
[ "$failures" = 0 ]
