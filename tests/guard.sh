#!/usr/bin/env bash
# zorvane guard on the real tools, inside "sandbox.sh nft|legacy", with
# neighbours in place: each kind of breakage (INPUT flushed, the chain
# emptied, the chain deleted with its hook, another tool's full restore,
# the IPv6 hook gone; a sub-chain of an indexed layout flushed, every one
# taken) is healed within one interval plus one apply at the default
# interval, measured, with pings showing the drops back, in the layout and
# with the log limit the set was applied with; a repair
# touches no rule of the other tools; an apply by the command and a pause
# are no breakage; the textfile keeps its gauges.
# usage: guard.sh ZORVANE SOURCE_DIR
set -uo pipefail
zorvane=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
mode=$ZVN_SANDBOX
work=$(mktemp -d)
source "$src/scripts/lib/netlab.sh"
guard=
cleanup() {
    [ -z "$guard" ] || kill "$guard" 2>/dev/null
    netlab_cleanup
    rm -rf "$work" /run/zorvane /etc/zorvane /var/lib/zorvane
}
trap cleanup EXIT
source "$src/tests/lib/checks.sh"
pings() { ping_from peer3 10.0.3.5 "${1:-1}" 10.0.3.254; }
intact() { "$zorvane" status >/dev/null 2>&1; }
# heal NAME: waits until status is whole again; prints the seconds it took
heal_within() {
    local name=$1 limit=$2 start now
    start=$(date +%s.%N)
    while ! intact; do
        now=$(date +%s.%N)
        if awk -v a="$start" -v b="$now" -v l="$limit" 'BEGIN { exit !(b - a > l) }'; then
            fail "$name: not healed within $limit s"; return 1
        fi
        sleep 0.2
    done
    now=$(date +%s.%N)
    awk -v a="$start" -v b="$now" 'BEGIN { printf "%.1f", b - a }' > "$work/took"
    pass "$name: healed in $(cat "$work/took") s (limit $limit s)"
}

echo "== $(/sbin/iptables -V)"
netlab_up || exit 1
/sbin/iptables -N f2b-sshd && /sbin/iptables -A f2b-sshd -j RETURN && /sbin/iptables -I INPUT 1 -p tcp --dport 22 -j f2b-sshd
/sbin/iptables -t nat -A POSTROUTING -s 10.99.0.0/16 -j MASQUERADE
/sbin/ip6tables -A INPUT -p tcp --dport 22 -j ACCEPT
echo '[{"interface":"eth3","protocol":"icmp","allow":false},{"allow":true}]' > "$work/rules.json"
"$zorvane" setup 2>/dev/null && "$zorvane" apply "$work/rules.json" 2>/dev/null || fail "setup and apply"
expect_eq "pings are dropped by the set" "$(pings 1)" 0
mkdir -p "$work/textfile"
"$zorvane" guard --textfile "$work/textfile" 2> "$work/guard.log" &
guard=$!
sleep 1
grep -q 'zorvane_chain_intact{family="ipv4"} 1' "$work/textfile/zorvane.prom" 2>/dev/null &&
    pass "the textfile says the chain is intact" || fail "textfile: $(cat "$work/textfile/zorvane.prom" 2>&1)"

# Each breakage, then the time until status is whole again, at the default
# interval of 5 s: within one interval plus one apply (10 s).
# The preparation's lines are the frame the guard puts back with the chain;
# every other tool's rule must stay as the breakage left it.
others() { foreign_rules | grep -v -- '-A INPUT -i lo -j ACCEPT$\|-A INPUT -m state --state RELATED,ESTABLISHED -j ACCEPT$'; }
breakage() { # NAME COMMANDS
    local name=$1
    shift
    "$@"
    others > "$work/broken"
    heal_within "$name" 10 || return
    expect_eq "$name: the drops are back" "$(pings 1)" 0
    if diff -u "$work/broken" <(others) > "$work/diff"; then pass "$name: the repair touched no other rule"; else
        fail "$name: the repair changed other rules:"; head -n 10 "$work/diff"; fi
    expect_eq "$name: the preparation's lines are there" \
        "$(/sbin/iptables -S INPUT | grep -c -- '-i lo -j ACCEPT$\|--state RELATED,ESTABLISHED -j ACCEPT$')" 2
}
flush_input() { /sbin/iptables -F INPUT; }
empty_chain() { /sbin/iptables -F ZORVANE; }
delete_chain() { /sbin/iptables -D INPUT -m state --state NEW -j ZORVANE; /sbin/iptables -F ZORVANE; /sbin/iptables -X ZORVANE; }
foreign_restore() { /sbin/iptables-save -t filter | grep -v ZORVANE > "$work/foreign.save"; /sbin/iptables-restore < "$work/foreign.save"; }
ipv6_hook_gone() { /sbin/ip6tables -D INPUT -m state --state NEW -j ZORVANE; }
breakage "INPUT flushed" flush_input
breakage "chain emptied" empty_chain
breakage "chain deleted with its hook" delete_chain
breakage "a foreign full restore" foreign_restore
breakage "IPv6 hook gone" ipv6_hook_gone
grep -c "^zorvane guard: IPv[46]: " "$work/guard.log" > "$work/repairs"
expect_eq "one journal line per repair" "$(cat "$work/repairs")" 5
grep -q 'zorvane_repairs_total 5' "$work/textfile/zorvane.prom" && pass "the textfile counts the repairs" ||
    fail "textfile: $(cat "$work/textfile/zorvane.prom")"

# A deliberate change is no breakage: an apply by the command, and a pause.
echo '[{"allow":true}]' > "$work/allow.json"
"$zorvane" apply "$work/allow.json" 2>/dev/null
sleep 6
expect_eq "after an apply by the command the new set stays" "$(pings 1)" 1
expect_eq "and the guard repaired nothing" "$(grep -c "^zorvane guard: IPv[46]: " "$work/guard.log")" 5
"$zorvane" guard --pause 2>/dev/null
/sbin/iptables -F ZORVANE
sleep 6
expect_eq "a paused guard leaves a change alone" "$(/sbin/iptables -S ZORVANE | grep -c '^-A')" 0
"$zorvane" guard --resume 2>/dev/null
heal_within "after --resume" 10
kill "$guard"; wait "$guard" 2>/dev/null; guard=
sed 's/^/    guard: /' "$work/guard.log"

# An indexed set with a log limit: a flushed leaf and a foreign restore
# that takes every sub-chain are healed to the same layout and limit.
awk 'BEGIN { printf "["; for (i = 0; i < 300; i++) printf "{\"src_IP_cidr\":\"10.%d.%d.9\",\"allow\":false},", 1 + i % 50, i % 250
             printf "{\"interface\":\"eth3\",\"protocol\":\"icmp\",\"allow\":false},{\"allow\":true}]" }' > "$work/big.json"
"$zorvane" apply --log-limit 5 "$work/big.json" 2>/dev/null || fail "apply of an indexed set"
"$zorvane" guard 2> "$work/guard2.log" &
guard=$!
sleep 1
leaf=$(/sbin/iptables -S | awk '/^-N ZORVANE-[0-9]/ { n = $2 } END { print n }')
breakage "a sub-chain of the indexed layout flushed ($leaf)" /sbin/iptables -F "$leaf"
breakage "a foreign full restore of an indexed layout" foreign_restore
"$zorvane" status > "$work/status"
grep -q "layout: indexed" "$work/status" && pass "the layout came back indexed" || fail "status: $(cat "$work/status")"
[ "$(/sbin/iptables -S | grep -c -- "-m limit --limit 5/sec")" -gt 0 ] && pass "with its log limit" || fail "the log limit is gone"
kill "$guard"; wait "$guard" 2>/dev/null; guard=
sed 's/^/    guard: /' "$work/guard2.log"
echo "== $failures failure(s) ($mode)"
[ "$failures" = 0 ]
