#!/usr/bin/env bash
# Memcheck over every command of the utility, against the fakes (run inside
# "sandbox.sh fake"): no memory errors and no leaks, on success and failure.
# usage: valgrind.sh ZVN_UTIL
set -uo pipefail
util=$1
command -v valgrind >/dev/null || { echo "valgrind missing; skipped"; exit 77; }
plan=$ZVN_FAKE_DIR/plan
failures=0
report=$(mktemp)

check() { # DESCRIPTION ARGS...
    local what=$1
    shift
    valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible \
        --errors-for-leak-kinds=definite,indirect,possible "$util" "$@" >/dev/null 2>"$report"
    if [ $? = 99 ] || grep -q '^==[0-9]*==' "$report"; then
        echo "FAIL: $what"; cat "$report"; failures=$((failures + 1))
    else
        echo "ok: $what"
    fi
}

printf '     5      300 ACCEPT     all  --  *      *       0.0.0.0/0            0.0.0.0/0\n' > "$plan/list-any.out"
check "usage"
check "apply_rules, valid" -d apply_rules '[{"interface":"eth3","src_country":["US","GB"],"dports_list":["1","2:3"],"allow":false},{"allow":true}]'
check "apply_rules, not JSON" -d apply_rules '[{"allow":true'
check "apply_rules, invalid" -d apply_rules '[{"allow":true,"interface":"a\nb"}]'
check "setup_default_chain" -d setup_default_chain
check "reset_counter" -d reset_counter
check "test_apply_rules" -d test_apply_rules
check "test_get_rule_count" -d test_get_rule_count
echo 3 > "$plan/list-5.status"
: > "$plan/list-7.out"
check "test_get_rule_count, failing listings" -d test_get_rule_count
echo 2 > "$plan/restore-test.status"
check "test_apply_rules, rejected" -d test_apply_rules
check "test_get_rule_count, rejected" -d test_get_rule_count
rm -f "$report"
echo "== $failures failure(s)"
[ "$failures" = 0 ]
