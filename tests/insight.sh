#!/usr/bin/env bash
# What the firewall is doing and what a change will do, on the real tools
# inside "sandbox.sh nft|legacy": a ping flood seen by top, drops read back
# by log with their rule and source, diff's exit status and renumbering,
# counts with bytes, counts kept across applies in both layouts, the set in
# force used where no file is given, a rule added and deleted, and what a
# new user trips over.
# usage: insight.sh ZORVANE SOURCE_DIR
set -uo pipefail
zorvane=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
work=$(mktemp -d)
source "$src/scripts/lib/netlab.sh"
cleanup() { netlab_cleanup; rm -rf "$work" /run/zorvane /etc/zorvane /var/lib/zorvane; }
trap cleanup EXIT
source "$src/tests/lib/checks.sh"
netlab_up || exit 1
netlab_start_ulogd "$src/deploy/ulogd-zorvane.conf" || exit 1
"$zorvane" setup 2>/dev/null || fail "setup"

cat > "$work/a.json" <<'EOF'
[{"interface":"eth3","src_IP_cidr":"10.0.3.100/32","protocol":"icmp","allow":false},
 {"interface":"eth3","protocol":"tcp","dports_list":["22"],"allow":true},
 {"interface":"eth3","src_IP_cidr":"10.0.3.220/32","allow":false},
 {"allow":true}]
EOF
"$zorvane" apply "$work/a.json" 2>"$work/err" || fail "apply: $(cat "$work/err")"

# --- no file: the set in force (the apply saved nothing) ----------------------------------------
"$zorvane" counts > "$work/out" 2>&1
expect_eq "counts without FILE after an apply without --save" "$?" 0
has "names the rules of the set in force" "tcp ports 22 on eth3" "$work/out"

# --- top sees a flood ---------------------------------------------------------------------------
( ip netns exec peer3 ping -n -q -f -c 3000 -I 10.0.3.100 10.0.3.254 >/dev/null 2>&1 ) &
flood=$!
"$zorvane" top --once --json --interval 1 > "$work/top" 2>"$work/err" || fail "top: $(cat "$work/err")"
wait "$flood"
expect_eq "top's busiest rule is the one the flood meets" "$(jq -r '.[0].rule' "$work/top")" 1
jq -e '.[0].verdict == "drop" and .[0].packets_per_second > 50 and .[0].bytes_per_second > 0' "$work/top" >/dev/null &&
    pass "with its rates a second" || fail "top: $(head -c 400 "$work/top")"
expect_eq "top lists every rule" "$(jq length "$work/top")" 4

# --- counts with bytes --------------------------------------------------------------------------
"$zorvane" counts --json --bytes "$work/a.json" > "$work/counts"
jq -e '.[0].packets >= 3000 and .[0].bytes == .[0].packets * 84' "$work/counts" >/dev/null &&
    pass "counts --bytes: the flood's packets and their bytes" || fail "counts: $(cat "$work/counts")"
expect_eq "the plain --json array stays as it is" "$("$zorvane" counts --json "$work/a.json" | jq -c '.[1:]')" "[0,0,0]"
"$zorvane" counts --prometheus "$work/a.json" > "$work/prom"
has "the Prometheus text has the bytes" 'zorvane_rule_bytes_total{rule="1",verdict="drop"}' "$work/prom"
"$zorvane" counts --bytes "$work/a.json" > "$work/table"
has "the table has a bytes column" "bytes  matches" "$work/table"

# --- the drop log read back ---------------------------------------------------------------------
ip netns exec peer3 ping -n -q -c 2 -i 0.2 -W 1 -I 10.0.3.220 10.0.3.254 >/dev/null 2>&1
sleep 1
"$zorvane" log --json --rule 3 > "$work/log"
expect_eq "log --rule 3: the two drops of rule 3" "$(wc -l < "$work/log")" 2
jq -s -e 'all(.rule == 3 and .source == "10.0.3.220" and .interface == "eth3" and .protocol == "ICMP")' \
    "$work/log" >/dev/null && pass "each with its source, interface and protocol" || fail "log: $(head -c 400 "$work/log")"
has "each named by its rule's description" '"description":"all from 10.0.3.220/32 on eth3"' "$work/log"
"$zorvane" log --summary --json > "$work/summary"
jq -e '.[0].rule == 1 and .[0].drops >= 3000 and .[0].top_sources[0].source == "10.0.3.100"' "$work/summary" >/dev/null &&
    pass "log --summary: drops per rule, busiest first, with the top source" || fail "summary: $(head -c 400 "$work/summary")"
"$zorvane" log --since 1d --rule 3 > "$work/plain"
has "the plain form names the rule and the source" "RULE=3 DROP ICMP 10.0.3.220 -> 10.0.3.254 on eth3" "$work/plain"
"$zorvane" log --since nonsense > /dev/null 2>&1
expect_eq "a --since it cannot read" "$?" 2
"$zorvane" log --file "$work/none.log" > /dev/null 2>"$work/err"
expect_eq "a log it cannot read" "$?" 3
has "says why" "No such file or directory" "$work/err"

# --- diff ---------------------------------------------------------------------------------------
"$zorvane" diff "$work/a.json" > "$work/diff"
expect_eq "diff of the set in force against itself" "$?" 0
jq '[{"interface":"eth2","allow":false}] + .' "$work/a.json" > "$work/b.json"
"$zorvane" diff "$work/b.json" > "$work/diff"
expect_eq "diff of an inserted rule" "$?" 1
has "names the added rule" "+ rule 1: drop all on eth2 (added)" "$work/diff"
has "and the rules renumbered, whose RULE=n changes" "renumbered: rules 1-4 become 2-5" "$work/diff"
jq '[.[2], .[0], .[1], .[3]]' "$work/a.json" > "$work/moved.json"
"$zorvane" diff "$work/moved.json" > "$work/diff"
has "a rule out of its order moved" "(moved from rule 3)" "$work/diff"
jq '.[1].dports_list = ["2222"]' "$work/a.json" > "$work/changed.json"
"$zorvane" diff "$work/changed.json" > "$work/diff"
has "a rule edited in place changed" "~ rule 2: allow tcp ports 22 on eth3" "$work/diff"
jq 'del(.[2])' "$work/a.json" > "$work/removed.json"
"$zorvane" diff "$work/removed.json" > "$work/diff"
has "a rule taken out removed" "- rule 3: drop all from 10.0.3.220/32 on eth3 (removed)" "$work/diff"
"$zorvane" diff --saved "$work/a.json" > /dev/null 2>&1
expect_eq "diff --saved without a saved set" "$?" 2
"$zorvane" apply --diff "$work/b.json" 2> "$work/err" > /dev/null
has "apply --diff shows it before applying" "+ rule 1: drop all on eth2 (added)" "$work/err"
"$zorvane" diff "$work/b.json" > /dev/null
expect_eq "and then the set in force is the new one" "$?" 0

# --- counts kept across applies, both layouts ---------------------------------------------------
"$zorvane" apply "$work/a.json" 2>/dev/null
kept=$("$zorvane" counts --json --bytes | jq -c '.[0]')
[ "$(jq .packets <<<"$kept")" -ge 3000 ] && pass "the flood's count stands ($kept)" || fail "no count to keep: $kept"
for layout in indexed flat; do
    "$zorvane" apply --layout "$layout" "$work/b.json" 2>"$work/err" || fail "apply --layout $layout: $(cat "$work/err")"
    expect_eq "$layout: the renumbered rule keeps its packets and bytes" "$("$zorvane" counts --json --bytes | jq -c '.[1]')" "$kept"
    expect_eq "$layout: the new rule starts at zero" "$("$zorvane" counts --json | jq -c '.[0]')" 0
    "$zorvane" status >/dev/null 2>&1
    expect_eq "$layout: status after an apply that kept counts" "$?" 0
done
"$zorvane" apply --reset-counts "$work/b.json" 2>/dev/null
expect_eq "--reset-counts zeroes them" "$("$zorvane" counts --json | jq -c 'add')" 0

# --- one rule added and deleted, as with ufw ----------------------------------------------------
"$zorvane" apply --save "$work/a.json" 2>/dev/null || fail "apply --save"
"$zorvane" rule add --at 1 '{"interface":"eth2","allow":false}' > /dev/null 2>"$work/err"
expect_eq "rule add --at 1" "$?" 0
has "shows the change first" "+ rule 1: drop all on eth2 (added)" "$work/err"
expect_eq "the saved set has it" "$(jq length /etc/zorvane/rules.json)" 5
"$zorvane" diff --saved "$work/b.json" > /dev/null
expect_eq "the saved set is the edited one" "$?" 0
"$zorvane" diff "$work/b.json" > /dev/null
expect_eq "and in force" "$?" 0
"$zorvane" rule delete 1 > /dev/null 2>"$work/err"
expect_eq "rule delete 1" "$?" 0
has "shows the change" "- rule 1: drop all on eth2 (removed)" "$work/err"
"$zorvane" diff "$work/a.json" > /dev/null
expect_eq "the set in force is the first again" "$?" 0
"$zorvane" rule delete 99 > /dev/null 2>&1
expect_eq "rule delete of a rule that is not there" "$?" 2
"$zorvane" rule add '{"protocol":"tcp","dports_list":["ssh"],"allow":true}' > /dev/null 2>&1
expect_eq "rule add of a refused rule" "$?" 1
expect_eq "leaves the saved set" "$(jq length /etc/zorvane/rules.json)" 4

# --- what a new user trips over -----------------------------------------------------------------
"$zorvane" aply "$work/a.json" > /dev/null 2>"$work/err"
expect_eq "a mistyped command" "$?" 2
has "says which was meant" 'no command "aply"; did you mean "apply"?' "$work/err"
if command -v setpriv >/dev/null; then
    setpriv --reuid=65534 --regid=65534 --clear-groups "$zorvane" status > /dev/null 2>"$work/err"
    expect_eq "status without root" "$?" 3
    has "says root is needed" "zorvane status needs root" "$work/err"
    cp "$work/a.json" "$work/public.json"; chmod 644 "$work/public.json"; chmod 755 "$work"
    setpriv --reuid=65534 --regid=65534 --clear-groups "$zorvane" check --no-test "$work/public.json" > /dev/null 2>"$work/err"
    expect_eq "check --no-test without root" "$?" 0
    setpriv --reuid=65534 --regid=65534 --clear-groups "$zorvane" check "$work/public.json" > /dev/null 2>"$work/err"
    expect_eq "check with its test run without root" "$?" 3
    has "points to --no-test" "check --no-test gives the findings alone" "$work/err"
fi

echo "== $failures failure(s) ($ZVN_SANDBOX)"
[ "$failures" = 0 ]
