#!/usr/bin/env bash
# Country rules as address sets, on the real tools inside "sandbox.sh
# nft|legacy" with /etc as a throwaway overlay: a database of test ranges
# (tests/data/countries.csv, private and documentation addresses only)
# and real packets from the peer namespace in both families; the drops
# logged with their own rule number and counted on it; a set another tool
# empties seen by status and put back by the guard; generations of sets
# that leave none behind; refusals that change nothing; a confirm
# roll-back and a boot that bring the sets back without the database; and
# the packaged database behind the utility's sample set.
# usage: countries.sh ZORVANE SOURCE_DIR
set -uo pipefail
zorvane=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
work=$(mktemp -d)
source "$src/scripts/lib/netlab.sh"
guard=
cleanup() {
    [ -z "$guard" ] || kill "$guard" 2>/dev/null
    pkill -f "zorvane apply --confirm" 2>/dev/null
    netlab_cleanup
    /usr/sbin/ipset destroy 2>/dev/null
    rm -rf "$work" /run/zorvane /etc/zorvane /var/lib/zorvane
}
trap cleanup EXIT
source "$src/tests/lib/checks.sh"

db="$src/tests/data/countries.csv"
# The same countries with other ranges: another generation of sets.
sed 's/^10\.0\.3\.100,10\.0\.3\.127,NZ$/10.0.3.96,10.0.3.127,NZ/' "$db" > "$work/other.csv"
with_db=(--countries sets --country-db "$db")
v4() { ping_from peer3 "$1" "${2:-2}" 10.0.3.254; }
v6() { ping6_from peer3 "$1" "${2:-2}" 2001:db8:3::fe; }
zv_sets() { /usr/sbin/ipset list -n 2>/dev/null | grep '^zv[46]-' | sort; }
chain_and_sets() { /sbin/iptables -S ZORVANE; /sbin/ip6tables -S ZORVANE; /usr/sbin/ipset save 2>/dev/null | sort; }

echo "== $(/sbin/iptables -V), $(/usr/sbin/ipset version | head -n 1)"
netlab_up || exit 1
netlab_start_ulogd "$src/deploy/ulogd-zorvane.conf" || exit 1
"$zorvane" setup 2>/dev/null || fail "setup"

# NZ and FR drop ICMP on eth3 (JP has no IPv6 ranges), everything else is let in.
cat > "$work/countries.json" <<'EOF'
[{"interface":"eth3","src_country":["NZ"],"protocol":"icmp","allow":false},
 {"interface":"eth3","src_country":["FR","JP"],"protocol":"icmp","allow":false},
 {"allow":true}]
EOF

# --- the check ------------------------------------------------------------------------------------
"$zorvane" check "${with_db[@]}" "$work/countries.json" > "$work/check" 2>&1
expect_eq "check of known codes exits" "$?" 0
has "a country without IPv6 networks is a warning" 'rule 2 (src_country): warning' "$work/check"
has "naming the country" 'JP' "$work/check"
sed 's/"NZ"/"DE"/' "$work/countries.json" > "$work/unknown.json"
"$zorvane" check "${with_db[@]}" "$work/unknown.json" > "$work/check" 2>&1
expect_eq "check of a code the database does not hold exits" "$?" 1
has "the unknown code is an error of its rule and field" 'rule 1 (src_country): error' "$work/check"
has "naming the code" 'DE' "$work/check"

# --- packets of both families ---------------------------------------------------------------------
"$zorvane" apply "${with_db[@]}" "$work/countries.json" 2>"$work/err" || fail "apply: $(cat "$work/err")"
/sbin/iptables -S ZORVANE | grep -q -- '-m set --match-set zv4-1-[0-9a-f]\{12\} src' &&
    pass "rule 1 matches on its own IPv4 set" || fail "no set match: $(/sbin/iptables -S ZORVANE)"
/sbin/ip6tables -S ZORVANE | grep -q -- '-m set --match-set zv6-1-[0-9a-f]\{12\} src' &&
    pass "and on its own IPv6 set" || fail "no set match: $(/sbin/ip6tables -S ZORVANE)"
: > /var/log/ulogd_syslogemu.log
expect_eq "IPv4 from NZ is dropped" "$(v4 10.0.3.100 2)" 0
expect_eq "IPv4 from FR is dropped" "$(v4 10.0.3.220 3)" 0
expect_eq "IPv4 from elsewhere passes" "$(v4 10.0.3.5 2)" 2
expect_eq "IPv6 from NZ is dropped" "$(v6 2001:db8:3::100 2)" 0
expect_eq "IPv6 from FR is dropped" "$(v6 2001:db8:3::300 3)" 0
expect_eq "IPv6 from elsewhere passes" "$(v6 2001:db8:3::5 2)" 2
sleep 1  # ulogd writes each line as it comes
expect_eq "NZ's drops are logged as rule 1" "$(grep -c 'RULE=1 ACT=DROP' /var/log/ulogd_syslogemu.log)" 4
expect_eq "FR's drops are logged as rule 2" "$(grep -c 'RULE=2 ACT=DROP' /var/log/ulogd_syslogemu.log)" 6
counts=$("$zorvane" counts --json "$work/countries.json" 2>"$work/err")
expect_eq "each drop is counted on its rule" "$(echo "$counts" | jq -c '.[0:2]')" "[4,6]"
"$zorvane" status > "$work/status" 2>&1
expect_eq "status with the sets exits" "$?" 0
has "status shows rule 1's set and its networks" "country set of rule 1: zv4-1-" "$work/status"
has "status names the database" "country database $db: 5 ranges" "$work/status"
has "status shows the source" "countries: sets" "$work/status"

# --- the indexed layout keeps a country rule in its place ------------------------------------------
# Rule 2 allows one NZ address before rule 3 drops NZ: the order decides.
cat > "$work/ordered.json" <<'EOF'
[{"interface":"eth2","src_IP_cidr":"10.0.2.0/24","allow":true},
 {"interface":"eth3","src_IP_cidr":"10.0.3.100/32","protocol":"icmp","allow":true},
 {"interface":"eth3","src_country":["NZ","FR"],"protocol":"icmp","allow":false},
 {"interface":"eth3","src_IP_cidr":"10.0.3.0/24","protocol":"icmp","allow":true},
 {"allow":false}]
EOF
for layout in indexed flat; do
    "$zorvane" apply --layout "$layout" "${with_db[@]}" "$work/ordered.json" 2>"$work/err" ||
        fail "apply --layout $layout: $(cat "$work/err")"
    expect_eq "$layout: the allow before the country rule lets its address in" "$(v4 10.0.3.100 1)" 1
    expect_eq "$layout: the country rule drops the rest of its countries" "$(v4 10.0.3.220 1)" 0
    expect_eq "$layout: the allow after it lets the others in" "$(v4 10.0.3.5 1)" 1
    expect_eq "$layout: IPv6 of the countries dropped" "$(v6 2001:db8:3::100 1)" 0
    "$zorvane" status > /dev/null 2>&1
    expect_eq "$layout: status exits" "$?" 0
done
"$zorvane" apply "${with_db[@]}" "$work/countries.json" 2>"$work/err" || fail "apply: $(cat "$work/err")"

# --- a set another tool empties -------------------------------------------------------------------
set1=$(zv_sets | grep '^zv4-1-')
/usr/sbin/ipset flush "$set1"
expect_eq "with its set emptied, NZ passes (the harm)" "$(v4 10.0.3.100 1)" 1
"$zorvane" status > "$work/status" 2>&1
expect_eq "status of an emptied set exits" "$?" 3
has "and says which set" "$set1" "$work/status"
"$zorvane" counts --json "$work/countries.json" > /dev/null 2>"$work/err"
expect_eq "counts refuse a chain whose set was emptied" "$?" 3
"$zorvane" guard --interval 1 2>> "$work/guard.log" &
guard=$!
until_within 8 '[ "$(/usr/sbin/ipset list "$set1" -t 2>/dev/null | sed -n "s/^Number of entries: //p")" = 3 ]' &&
    pass "the guard puts the set's entries back" || fail "the set stays empty: $(cat "$work/guard.log")"
expect_eq "so NZ is dropped again" "$(v4 10.0.3.100 1)" 0
/usr/sbin/ipset add "$set1" 10.0.3.0/28
until_within 8 '! /usr/sbin/ipset test "$set1" 10.0.3.5 2>/dev/null' &&
    pass "an entry another tool added is taken away" || fail "the added entry stays"
expect_eq "so 10.0.3.5 passes again" "$(v4 10.0.3.5 1)" 1
kill "$guard"; wait "$guard" 2>/dev/null; guard=

# --- generations: ten applies leave only the sets in force ----------------------------------------
for i in 1 2 3 4 5 6 7 8 9 10; do
    if [ $((i % 2)) = 0 ]; then use=$db; else use=$work/other.csv; fi
    "$zorvane" apply --countries sets --country-db "$use" "$work/countries.json" 2>>"$work/err" || fail "apply $i"
done
expect_eq "ten applies leave four sets (two rules, two families)" "$(zv_sets | wc -l)" 4
in_force=$( (/sbin/iptables -S ZORVANE; /sbin/ip6tables -S ZORVANE) | grep -o 'zv[46]-[0-9]*-[0-9a-f]*' | sort -u)
expect_eq "and they are the ones the lines match on" "$(zv_sets)" "$in_force"
echo '[{"allow":true}]' | "$zorvane" apply - 2>"$work/err" || fail "apply of no countries"
expect_eq "a set without country rules leaves no set" "$(zv_sets | wc -l)" 0
"$zorvane" apply "${with_db[@]}" "$work/countries.json" 2>"$work/err" || fail "apply: $(cat "$work/err")"

# --- refusals change nothing ----------------------------------------------------------------------
chain_and_sets > "$work/before"
"$zorvane" apply "${with_db[@]}" "$work/unknown.json" > /dev/null 2>&1
expect_eq "an apply with an unknown code exits" "$?" 1
chain_and_sets > "$work/after"
cmp -s "$work/before" "$work/after" && pass "and the chains and sets are as they were" ||
    fail "changed: $(diff "$work/before" "$work/after" | head -n 8)"
# One the test run refuses (an interface name longer than the kernel takes), after its sets were made.
chain_and_sets > "$work/before"
printf '[{"interface":"eth3","src_country":["NZ"],"protocol":"icmp","allow":false},{"interface":"%s","allow":true}]\n' \
    "$(printf 'x%.0s' $(seq 20))" > "$work/toolrefuses.json"
"$zorvane" apply --force --countries sets --country-db "$work/other.csv" "$work/toolrefuses.json" > /dev/null 2>&1
expect_eq "an apply the test run refuses exits" "$?" 1
chain_and_sets > "$work/after"
cmp -s "$work/before" "$work/after" && pass "and the sets it made are gone again" ||
    fail "changed: $(diff "$work/before" "$work/after" | head -n 8)"

# --- a confirm roll-back brings the previous sets back --------------------------------------------
"$zorvane" apply "${with_db[@]}" "$work/countries.json" 2>"$work/err" || fail "apply: $(cat "$work/err")"
sets_before=$(zv_sets)
"$zorvane" apply --confirm 2 --countries sets --country-db "$work/other.csv" "$work/countries.json" \
    < /dev/null > "$work/confirm" 2>&1
expect_eq "an unconfirmed change is rolled back" "$?" 1
expect_eq "the roll-back brings back the previous sets" "$(zv_sets)" "$sets_before"
expect_eq "so 10.0.3.100 is dropped as before" "$(v4 10.0.3.100 1)" 0
"$zorvane" status > /dev/null 2>&1
expect_eq "status after the roll-back exits" "$?" 0

# --- boot: the sets are built again; the fall-back needs no database ------------------------------
cp "$db" "$work/saved-db.csv"
"$zorvane" apply --save --countries sets --country-db "$work/saved-db.csv" "$work/countries.json" 2>"$work/err" ||
    fail "apply --save: $(cat "$work/err")"
reboot() {
    for tool in /sbin/iptables /sbin/ip6tables; do "$tool" -F; "$tool" -X; done
    /usr/sbin/ipset destroy
    rm -rf /run/zorvane /run/zorvane.lock
}
reboot
"$zorvane" restore 2>"$work/err"
expect_eq "restore builds the sets again" "$?" 0
expect_eq "with the saved options: NZ dropped" "$(v4 10.0.3.100 1)" 0
expect_eq "in IPv6 too" "$(v6 2001:db8:3::100 1)" 0
# The saved set now refused and the database gone: the last good set, sets and all.
echo '[{"protocol":"tcp","protocol":"udp","allow":true}]' > /etc/zorvane/rules.json
rm "$work/saved-db.csv"
reboot
"$zorvane" restore 2>"$work/err"
expect_eq "a boot whose saved set is refused exits" "$?" 3
expect_eq "the last good set is in force without the database: NZ dropped" "$(v4 10.0.3.100 1)" 0
expect_eq "FR dropped" "$(v6 2001:db8:3::300 1)" 0
expect_eq "others pass" "$(v4 10.0.3.5 1)" 1
expect_eq "its four sets stand" "$(zv_sets | wc -l)" 4

# --- the packaged database: the utility's sample set ----------------------------------------------
if [ -r /usr/share/tor/geoip ] && [ -r /usr/share/tor/geoip6 ]; then
    rm -f /etc/zorvane/rules.json
    sample="$src/tests/data/sample_rules.json"
    "$zorvane" check --countries sets "$sample" > "$work/check" 2>&1
    expect_eq "the sample set is checked with the packaged database" "$?" 0
    start=$(date +%s.%N)
    "$zorvane" apply --countries sets "$sample" 2>"$work/err" || fail "apply of the sample: $(cat "$work/err")"
    echo "sample set applied with the packaged database in $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }') s"
    us=$(/usr/sbin/ipset list -t "$(zv_sets | grep '^zv4-5-')" | sed -n 's/^Number of entries: //p')
    [ "${us:-0}" -gt 10000 ] && pass "the US set holds its networks ($us)" || fail "the US set holds ${us:-none}"
    expect_eq "rule 6's fourteen countries have a set in each family" "$(zv_sets | grep -c -- '-6-')" 2
    "$zorvane" counts --json "$sample" > /dev/null 2>"$work/err"
    expect_eq "its counts are read" "$?" 0
    "$zorvane" apply "$sample" 2>"$work/err"
    expect_eq "the default (auto) applies it where the kernel has no country match" "$?" 0
    if ! netlab_has_geoip; then
        expect_eq "as sets" "$(zv_sets | wc -l)" 4
        "$zorvane" apply --countries match "$sample" > /dev/null 2>&1
        expect_eq "--countries match is refused here, as the kernel lacks the match" "$?" 1
    fi
else
    fail "the packaged country database (tor-geoipdb) is not installed"
fi

echo "== $failures failure(s) ($ZVN_SANDBOX)"
[ "$failures" = 0 ]
