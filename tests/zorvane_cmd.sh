#!/usr/bin/env bash
# The operator's command on the real tools, inside "sandbox.sh nft|legacy":
# every exit status and the message a person sees, a 2,000-rule file
# applied, check installing nothing, 100,000 rules from standard input, and
# the node_exporter text scraped by a real node_exporter on loopback.
# usage: zorvane_cmd.sh ZORVANE SOURCE_DIR
set -uo pipefail
zorvane=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
work=$(mktemp -d)
exporter=
cleanup() {
    [ -z "$exporter" ] || kill "$exporter" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
source "$src/tests/lib/checks.sh"

# run EXPECTED_STATUS DESCRIPTION ARGS...: runs zorvane, keeps out and err.
run() {
    local expected=$1 what=$2
    shift 2
    "$zorvane" "$@" > "$work/out" 2> "$work/err" < "${stdin:-/dev/null}"
    local status=$?
    if [ "$status" = "$expected" ]; then pass "$what: exit $status"; else
        fail "$what: exit $status, expected $expected"; sed 's/^/    err: /' "$work/err" | head -n 5; fi
}
says() { # STREAM TEXT DESCRIPTION
    if grep -qF -- "$2" "$work/$1"; then pass "$3"; else fail "$3: $1 lacks '$2'"; sed 's/^/    /' "$work/$1" | head -n 5; fi
}
chain() { /sbin/iptables -S ZORVANE 2>&1; }

# rules N: N rules, each a distinct network on one of four interfaces, every
# third dropping, then allow-all.
rules() {
    awk -v n="$1" 'BEGIN {
        printf "["
        for (i = 0; i < n; i++)
            printf "{\"interface\":\"eth%d\",\"src_IP_cidr\":\"10.%d.%d.0/24\",\"protocol\":\"tcp\",\"dports_list\":[\"%d\"],\"allow\":%s},",
                i % 4, int(i / 250) % 250, i % 250, 1000 + i % 60000, (i % 3 == 2) ? "false" : "true"
        printf "{\"allow\":true}]"
    }'
}

echo "== $(/sbin/iptables -V)"

# --- a host without its preparation script ------------------------------------
mv /usr/sbin/firewall.sh "$work/firewall.sh"
run 3 "setup without /usr/sbin/firewall.sh" setup
says err "/usr/sbin/firewall.sh is missing" "setup names the missing script"
says err "install -m 0755 " "setup says how to install the example"
mv "$work/firewall.sh" /usr/sbin/firewall.sh

# --- before setup: nothing to apply into -----------------------------------------
rules 3 > "$work/small.json"
run 3 "status before setup" status
says out "chain ZORVANE (IPv4): missing" "status says the chain is missing"
says out "chain ZORVANE (IPv6): missing" "for both families"
run 3 "apply before setup" apply "$work/small.json"
says err "run zorvane setup first" "apply asks for setup"
/sbin/iptables -N ZORVANE
run 3 "apply into an unhooked chain" apply "$work/small.json"
says err "not reached from INPUT" "apply refuses an unhooked chain"
[ "$(chain)" = "-N ZORVANE" ] && pass "the unhooked chain stayed empty" || fail "the unhooked chain was filled"

# --- setup, status ----------------------------------------------------------------------
run 0 "setup" setup
[ ! -s "$work/out" ] && ! grep -q "Bad rule\|already exists" "$work/err" && pass "setup prints no tool chatter" ||
    fail "setup printed the tools' messages"
run 0 "setup again" setup
run 0 "status" status
says out "present, 0 rule lines" "status counts the lines"
says out "reached from INPUT: yes (1 hook)" "status sees the hook"
run 0 "status --json" status --json
fields='{ahead,chain,hook_position,hooks,input_rules,policy,rule_lines,established_pass,loopback_pass,problems}'
expect_eq "status as JSON" "$(jq -c "$fields + {ipv6: (.ipv6 | $fields | del(.problems))}" "$work/out")" \
    '{"ahead":[],"chain":true,"hook_position":3,"hooks":1,"input_rules":3,"policy":"ACCEPT","rule_lines":0,"established_pass":true,"loopback_pass":true,"problems":[],"ipv6":{"ahead":[],"chain":true,"hook_position":3,"hooks":1,"input_rules":3,"policy":"ACCEPT","rule_lines":0,"established_pass":true,"loopback_pass":true}}'
run 0 "status --json --ipv4-only" --ipv4-only status --json
expect_eq "--ipv4-only leaves IPv6 out" "$(jq -c "$fields + {ipv6}" "$work/out")" \
    '{"ahead":[],"chain":true,"hook_position":3,"hooks":1,"input_rules":3,"policy":"ACCEPT","rule_lines":0,"established_pass":true,"loopback_pass":true,"problems":[],"ipv6":null}'

# --- check installs nothing; apply 2,000 rules ----------------------------------------
rules 2000 > "$work/big.json"
before=$(chain)
run 0 "check of 2,000 rules" check "$work/big.json"
says err "0 errors, 0 warnings" "check reports no findings"
says err "nothing was installed" "check says it installed nothing"
[ "$(chain)" = "$before" ] && pass "check left the chain as it was" || fail "check changed the chain"
run 0 "check --show" check --show "$work/small.json"
says out '-A ZORVANE -i eth2 -s 10.0.2.0/24 -p tcp -m multiport --dports 1002 -j NFLOG --nflog-prefix  "RULE=3 ACT=DROP"' \
    "--show prints the restore text"
run 0 "apply of 2,000 rules, flat" apply --layout flat "$work/big.json"
says err "applied 2001 rules" "apply says what it did"
[ "$(/sbin/iptables -S ZORVANE | grep -c "^-A")" = $((2001 + 666)) ] && pass "the chain holds 2,667 lines" ||
    fail "the chain holds $(/sbin/iptables -S ZORVANE | grep -c '^-A') lines"

# --- counts ---------------------------------------------------------------------------------
run 0 "counts --json" counts --json "$work/big.json"
[ "$(tr -d '[]\n' < "$work/out" | tr ',' '\n' | grep -c '^0$')" = 2001 ] && pass "2,001 counts of 0" ||
    fail "counts: $(head -c 100 "$work/out")"
run 0 "counts table" counts "$work/big.json"
says out "   3  drop           0  tcp ports 1002 from 10.0.2.0/24 on eth2" "the table describes each rule, whole"
run 3 "counts of a rule set the chain does not hold" counts "$work/small.json"
says err "does not hold this rule set" "counts refuses another rule set"
says err "rule 4 does not match the IPv4 chain" "and names the rule that differs"

# --- layouts: the same set indexed (the default from 16 rules), counted, and flat again ----------
run 0 "apply of 2,000 rules" apply "$work/big.json"
subchains=$(/sbin/iptables -S | grep -c '^-N ZORVANE-[0-9]')
[ "$subchains" -gt 10 ] && pass "indexed in $subchains sub-chains" || fail "indexed in $subchains sub-chains"
[ "$(/sbin/iptables -S ZORVANE | grep -c '^-A')" -lt 20 ] && pass "ZORVANE holds only the way in" ||
    fail "ZORVANE holds $(/sbin/iptables -S ZORVANE | grep -c '^-A') lines"
run 0 "status of an indexed layout" status
says out "layout: indexed, $((subchains + 1)) chains" "status names the layout"
says out "walks at most" "and the deepest walk"
run 0 "counts of an indexed layout" counts --json "$work/big.json"
[ "$(tr -d '[]\n' < "$work/out" | tr ',' '\n' | grep -c '^0$')" = 2001 ] && pass "2,001 counts of 0 again" ||
    fail "counts: $(head -c 100 "$work/out")"
run 3 "counts of another set on an indexed layout" counts "$work/small.json"
says err "the chain holds an indexed layout, and this rule set makes a flat one" "counts names the layout"
run 0 "the same set flat again" apply --layout flat "$work/big.json"
[ "$(/sbin/iptables -S | grep -c '^-N ZORVANE-')" = 0 ] && pass "the sub-chains are gone" ||
    fail "$(/sbin/iptables -S | grep -c '^-N ZORVANE-') sub-chains stayed"
run 0 "check --show --log-limit" check --show --log-limit 5 "$work/small.json"
says out '-m limit --limit 5/sec --limit-burst 5 -j NFLOG --nflog-prefix  "RULE=3 ACT=DROP"' "--show prints the limit"
run 2 "a log limit over 10000" apply --log-limit 10001 "$work/small.json"
run 2 "an unknown layout" apply --layout tree "$work/small.json"

# --- refusals ---------------------------------------------------------------------------------
cat > "$work/faulty.json" <<'EOF'
[{"src_IP_cidr":["10.9.0.0/16"],"allow":true},{"protocol":6,"allow":false},{"allow":true}]
EOF
before=$(chain)
run 1 "check with error findings" check "$work/faulty.json"
says err 'rule 1 (src_IP_cidr): error ignored-value' "the finding names rule and key"
says err "2 errors, 0 warnings" "the findings are counted"
run 1 "apply with error findings" apply "$work/faulty.json"
says err "nothing was changed" "apply says nothing changed"
[ "$(chain)" = "$before" ] && pass "a refused apply left the chain" || fail "a refused apply changed the chain"
run 1 "check --json" check --json "$work/faulty.json"
says out "\"code\":\"ignored-value\"" "--json prints the findings"
echo '[{"allow":true},{"src_IP_cidr":"999.1.1.1","allow":false}]' > "$work/rejected.json"
run 1 "apply --force of a set the tool rejects" apply --force "$work/rejected.json"
says err "the test run refused rule 2 (all from 999.1.1.1 on any interface but lo)" "the refusal names the rule"
says err "host/network \`999.1.1.1' not found" "with the tool's own words"
[ "$(chain)" = "$before" ] && pass "a rejected set left the chain" || fail "a rejected set changed the chain"
echo '[{"src_country":["US"],"protocol":"icmp","allow":false},{"allow":true}]' > "$work/country.json"
if ! grep -q geoip /proc/net/ip_tables_matches 2>/dev/null; then
    run 1 "check of a country rule with the geoip match asked for, which the kernel lacks" \
        check --countries match "$work/country.json"
    says err "the test run refused rule 1" "the missing match is named at its rule"
    run 0 "check of it by default: the country as an address set" check "$work/country.json"
fi
stdin=/dev/null run 1 "empty standard input" check -
says err "the rule set is not JSON" "an empty text is not JSON"
run 2 "unreadable file" check "$work/nonexistent.json"
says err "cannot read $work/nonexistent.json: No such file or directory" "the system's error text"
run 2 "unknown command" frobnicate
run 2 "apply without a file" apply
run 0 "--help of a command" counts --help
says out "--prometheus" "the help lists the options"
run 0 "--version" --version
says out "zorvane 1.0.0" "the version"
run 0 "-v shows the library's log" -v status
says err 'popen --> /sbin/iptables-save -c -t filter' "the log shows commands"

# --- any size: 100,000 rules through standard input ----------------------------------------
rules 100000 > "$work/huge.json"
stdin=$work/huge.json run 0 "check of 100,000 rules from standard input" check -

# --- reset ------------------------------------------------------------------------------------
run 0 "apply small" apply "$work/small.json"
run 0 "reset" reset
says err "counters of the chain ZORVANE are zero" "reset says what it did"

# --- node_exporter scrapes the counts ----------------------------------------------------------
if command -v prometheus-node-exporter >/dev/null; then
    mkdir -p "$work/textfile"
    "$zorvane" counts --prometheus "$work/small.json" > "$work/textfile/zorvane.prom.tmp" &&
        mv "$work/textfile/zorvane.prom.tmp" "$work/textfile/zorvane.prom"
    prometheus-node-exporter --collector.disable-defaults --collector.textfile \
        --collector.textfile.directory="$work/textfile" --web.listen-address=127.0.0.1:19100 >"$work/exporter.log" 2>&1 &
    exporter=$!
    for _ in $(seq 50); do curl -sf http://127.0.0.1:19100/metrics > "$work/metrics" 2>/dev/null && break; sleep 0.1; done
    says metrics 'zorvane_rule_packets_total{rule="3",verdict="drop"} 0' "node_exporter serves the counts"
    says metrics 'node_textfile_scrape_error 0' "node_exporter read the file without error"
    [ "$(grep -c '^zorvane_rule_packets_total' "$work/metrics")" = 4 ] && pass "one sample per rule" ||
        fail "samples: $(grep -c '^zorvane_rule_packets_total' "$work/metrics")"
else
    fail "prometheus-node-exporter is not installed"
fi

echo "== $failures failure(s)"
[ "$failures" = 0 ]
