#!/usr/bin/env bash
# The Ansible role against the local host, inside "sandbox.sh nft|legacy"
# with /etc as an overlay (package installation skipped by its tag): the
# rule set is placed, checked, applied; a second run changes nothing; a
# refused rule set fails the play and leaves file and chain as they were.
# usage: ansible.sh ZORVANE SOURCE_DIR
set -uo pipefail
zorvane=$1 src=$2
[ "${ZVN_SANDBOX:-fake}" != fake ] || { echo "run me through sandbox.sh nft|legacy"; exit 2; }
command -v ansible-playbook >/dev/null || { echo "ansible-playbook missing (apt-get install ansible-core)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work" /etc/zorvane' EXIT
export HOME=$work ANSIBLE_LOCAL_TEMP=$work/tmp ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_NOCOLOR=1
source "$src/tests/lib/checks.sh"

play() { # RULES_FILE
    ansible-playbook -i localhost, -c local "$src/deploy/ansible/site.yml" --skip-tags package \
        -e "zorvane_rules_file=$1" -e "zorvane_command=$zorvane" -e ansible_become=false > "$work/play.log" 2>&1
}

echo '[{"interface":"eth3","protocol":"icmp","allow":false},{"allow":true}]' > "$work/good.json"
echo '[{"src_IP_cidr":["10.9.0.0/16"],"allow":true}]' > "$work/bad.json"

play "$work/good.json"
expect_eq "the play" "$?" 0
expect_eq "the rule set is placed" "$(cat /etc/zorvane/rules.json)" "$(cat "$work/good.json")"
"$zorvane" counts --json >/dev/null 2>&1
expect_eq "the chain holds it" "$?" 0
"$zorvane" status >/dev/null 2>&1
expect_eq "the chain is reached from INPUT" "$?" 0

play "$work/good.json"
expect_eq "a second play" "$?" 0
grep -q 'changed=0' "$work/play.log" && pass "a second play changes nothing" || fail "second play: $(grep 'ok=' "$work/play.log")"

chain=$(/sbin/iptables -S ZORVANE)
play "$work/bad.json"
status=$?
[ "$status" != 0 ] && pass "a refused rule set fails the play ($status)" || fail "a refused rule set passed the play"
grep -q 'error ignored-value' "$work/play.log" && pass "the play shows the finding" || fail "the play does not show why"
expect_eq "the old rule set stays in place" "$(cat /etc/zorvane/rules.json)" "$(cat "$work/good.json")"
expect_eq "the chain is as it was" "$(/sbin/iptables -S ZORVANE)" "$chain"

[ "$failures" = 0 ] || cat "$work/play.log"
echo "== $failures failure(s)"
[ "$failures" = 0 ]
