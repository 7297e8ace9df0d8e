#!/usr/bin/env bash
# Beside other tools, on the real tools inside "sandbox.sh nft|legacy": a ban
# chain at INPUT 1, accepts, FORWARD, nat and mangle rules, ip6tables rules
# and (nf_tables) another nft table stand in the packet filter. Each zorvane
# step changes nothing outside its chain and its hook; status names what
# stands ahead of the hook and notices a chain emptied, unhooked or holding
# another set; counts refuse a chain no packet reaches; setup leaves a hook
# where it stands unless asked to move it.
# usage: coexist.sh ZORVANE SOURCE_DIR
set -uo pipefail
zorvane=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
mode=$ZVN_SANDBOX
work=$(mktemp -d)
cleanup() { rm -rf "$work" /run/zorvane /etc/zorvane /var/lib/zorvane; }
trap cleanup EXIT
source "$src/tests/lib/checks.sh"
run() { # EXPECTED DESCRIPTION ARGS...
    local expected=$1 what=$2
    shift 2
    "$zorvane" "$@" > "$work/out" 2> "$work/err"
    local status=$?
    if [ "$status" = "$expected" ]; then pass "$what: exit $status"; else
        fail "$what: exit $status, expected $expected"; sed 's/^/    /' "$work/out" "$work/err" | head -n 8; fi
}
unchanged_since() { # DESCRIPTION FILE
    if diff -u "$2" <(foreign_rules) > "$work/diff"; then pass "$1 changed nothing of the other tools"; else
        fail "$1 changed other tools' rules:"; head -n 20 "$work/diff"; fi
}

echo "== $(/sbin/iptables -V)"
# --- the neighbours -------------------------------------------------------------------------------
/sbin/iptables -N f2b-sshd
/sbin/iptables -A f2b-sshd -s 192.0.2.66 -j REJECT
/sbin/iptables -A f2b-sshd -j RETURN
/sbin/iptables -I INPUT 1 -p tcp --dport 22 -j f2b-sshd
/sbin/iptables -A INPUT -p tcp --dport 22 -j ACCEPT
/sbin/iptables -A INPUT -m state --state RELATED,ESTABLISHED -j ACCEPT
/sbin/iptables -A FORWARD -i eth9 -j DROP
/sbin/iptables -t nat -A POSTROUTING -s 10.99.0.0/16 -j MASQUERADE
/sbin/iptables -t mangle -A PREROUTING -p udp --dport 53 -j MARK --set-mark 7
/sbin/ip6tables -A INPUT -p tcp --dport 22 -j ACCEPT
/sbin/ip6tables -A FORWARD -j DROP
if [ "$mode" = nft ]; then
    nft add table inet neighbour && nft add chain inet neighbour input '{ type filter hook input priority 10; }' &&
        nft add rule inet neighbour input tcp dport 8080 accept
fi
# The host's own preparation script (outside zorvane) runs at every setup:
# its rules belong to the baseline.
/usr/sbin/firewall.sh prepare
foreign_rules > "$work/before"
echo '[{"interface":"eth3","protocol":"icmp","allow":false},{"protocol":"tcp","dports_list":["80"],"allow":true},{"allow":false}]' > "$work/rules.json"

# --- setup and apply beside them --------------------------------------------------------------------
run 0 "setup beside other tools" setup
unchanged_since "setup" "$work/before"
has "setup says where the hook stands" "the hook is rule" "$work/err"
run 0 "apply beside other tools" apply "$work/rules.json"
unchanged_since "apply" "$work/before"
run 0 "status with accepts ahead of the hook (warnings only)" status
has "status quotes the accept ahead of the hook" "warning: IPv4: ahead of the hook, this rule can accept new connections before zorvane sees them: -A INPUT -p tcp -m tcp --dport 22 -j ACCEPT" "$work/out"
grep -q "ahead of the hook.*f2b-sshd" "$work/out" && fail "the ban chain, which only rejects and returns, was named" ||
    pass "a jump to a chain that only rejects and returns is no way around the set"
grep -q "ahead of the hook.*RELATED,ESTABLISHED" "$work/out" && fail "a rule for established traffic was named" ||
    pass "a rule for established traffic alone is no bypass"
has "status says what the hook's place means" "rules of other tools ahead of it decide first" "$work/out"
run 0 "status --json" status --json
has "status --json lists the rules ahead" '"ahead":["-A INPUT -p tcp -m tcp --dport 22 -j ACCEPT"]' "$work/out"
run 0 "counts beside other tools" counts "$work/rules.json"
unchanged_since "status and counts" "$work/before"

# --- case 1: an accept-all inserted at INPUT 1 ------------------------------------------------------------
/sbin/iptables -I INPUT 1 -j ACCEPT
run 0 "status with an accept-all at INPUT 1 (a warning, not a failure)" status
has "the accept-all is quoted" "this rule can accept new connections before zorvane sees them: -A INPUT -j ACCEPT" "$work/out"
/sbin/iptables -D INPUT -j ACCEPT

# --- setup keeps the hook where it stands; --hook moves it ---------------------------------------------------
/sbin/iptables -A INPUT -p udp --dport 5353 -j ACCEPT   # another tool appends after the hook
hook_at() { /sbin/iptables -S INPUT | grep -v '^-P' | grep -n -- '-j ZORVANE$' | cut -d: -f1; }
before_hook=$(hook_at)
run 0 "setup again" setup
expect_eq "a second setup leaves the hook where it stands" "$(hook_at)" "$before_hook"
run 0 "setup --hook first" setup --hook first
expect_eq "--hook first puts the hook at the top of INPUT" "$(hook_at)" 1
has "and says what that means" "the rule set decides before any other tool's rule" "$work/err"
run 0 "status with the hook first" status
grep -q "ahead of the hook" "$work/out" && fail "warnings with the hook first: $(grep ahead "$work/out")" ||
    pass "nothing stands ahead of a first hook"
run 0 "setup --hook last" setup --hook last
expect_eq "--hook last puts it at the end" "$(hook_at)" "$(/sbin/iptables -S INPUT | grep -c '^-A')"
expect_eq "one hook in IPv4" "$(/sbin/iptables -S INPUT | grep -c -- '-j ZORVANE$')" 1
expect_eq "one hook in IPv6" "$(/sbin/ip6tables -S INPUT | grep -c -- '-j ZORVANE$')" 1
/sbin/iptables -D INPUT -p udp --dport 5353 -j ACCEPT
run 0 "setup back to where it was" setup --hook last
unchanged_since "setup --hook first and last" "$work/before"

# --- case 2: the chain emptied, hook kept -----------------------------------------------------------------------
/sbin/iptables -F ZORVANE
run 3 "status of an emptied chain" status
has "status says how it differs" "does NOT hold what was last installed: 0 of 5 lines hold" "$work/out"
run 0 "apply again" apply "$work/rules.json"

# --- case 3: INPUT flushed ---------------------------------------------------------------------------------------
/sbin/iptables-save -t filter > "$work/filter.save"
/sbin/iptables -F INPUT
run 3 "status of an unhooked chain" status
has "status says it is not reached" "reached from INPUT: no" "$work/out"
run 3 "counts of a chain no packet reaches" counts "$work/rules.json"
has "counts says why" "is not reached from INPUT" "$work/err"
/sbin/iptables-restore < "$work/filter.save"

# --- case 4: another tool's full restore removes the chain and its hook -------------------------------------------
grep -v 'ZORVANE' "$work/filter.save" > "$work/foreign.save"
/sbin/iptables-restore < "$work/foreign.save"
run 3 "status after a foreign full restore" status
has "status says the chain is missing" "chain ZORVANE (IPv4): missing" "$work/out"
run 0 "setup puts it back" setup
run 0 "apply puts the set back" apply "$work/rules.json"
run 0 "status is whole again" status

# --- case 5: an IPv4-only apply leaves an IPv6 chain with other ports --------------------------------------------
echo '[{"protocol":"tcp","dports_list":["22"],"allow":false},{"allow":true}]' > "$work/old.json"
echo '[{"protocol":"tcp","dports_list":["23"],"allow":false},{"allow":true}]' > "$work/new.json"
run 0 "apply to both families" apply "$work/old.json"
run 0 "apply to IPv4 alone, other ports" --ipv4-only apply "$work/new.json"
run 3 "counts of the new set while the IPv6 chain holds the old ports" counts "$work/new.json"
has "counts names the ports that differ" "IPv6 chain" "$work/err"
run 3 "status: the IPv6 chain does not hold the set last applied" status
has "status says where" "rule 1 does not match the IPv6 chain" "$work/out"
unchanged_since "every step" "$work/before"

echo "== $failures failure(s) ($mode)"
[ "$failures" = 0 ]
