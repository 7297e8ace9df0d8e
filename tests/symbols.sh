#!/usr/bin/env bash
# The library exports its interface and nothing else, under the soname
# libzorvane.so.1, and the utility needs it by that soname.
# usage: symbols.sh LIBRARY UTILITY [COMMAND]
set -euo pipefail
lib=$1 util=$2 cmd=${3:-}
fail=0
expected="Log_impl
defaultLog
enable_log
reset_counter
setup_default_chain
zvn_apply_rules_json
zvn_changes_seen
zvn_check_rules_json
zvn_describe_layout_json
zvn_describe_rules_json
zvn_enable_ipv6
zvn_failsafe_text_json
zvn_get_chain_glance_json
zvn_get_chain_text
zvn_get_input_json
zvn_get_chain_status_json
zvn_get_rule_count_json
zvn_get_rule_count_snapshot_json
zvn_install_chain_text
zvn_host_json
zvn_keep_tool_words
zvn_guard_look
zvn_installed_json
zvn_installed_same
zvn_installed_rules
zvn_label_installs
zvn_table_installed_json
zvn_last_error
zvn_last_error_code
zvn_last_error_family
zvn_last_error_key
zvn_last_error_rule
zvn_last_error_size_needed
zvn_last_error_status
zvn_last_error_tool_words
zvn_rules_apply
zvn_rules_check_json
zvn_rules_counts
zvn_rules_describe_json
zvn_rules_free
zvn_rules_parse
zvn_rules_parse_n
zvn_rules_restore_text
zvn_rules_rule
zvn_rules_size
zvn_rules_test
zvn_rules_verify_json
zvn_lock_chain
zvn_restore_text_json
zvn_table_counts
zvn_table_free
zvn_table_read
zvn_table_status_json
zvn_table_verify_json
zvn_set_layout
zvn_set_log_limit
zvn_set_keep_counts
zvn_set_country_source
zvn_set_country_databases
zvn_countries_json
zvn_rule_of_restore_line
zvn_setup_chain_hook
zvn_test_rules_json
zvn_unlock_chain
zvn_verify_chain_json
zvn_watch_changes"
actual=$(nm -D --defined-only "$lib" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | LC_ALL=C sort)
if [ "$actual" != "$(LC_ALL=C sort <<<"$expected")" ]; then
    echo "exported symbols differ:"; diff <(LC_ALL=C sort <<<"$expected") <(echo "$actual") || true; fail=1
fi
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libzorvane.so.1 ] || { echo "soname is '$soname'"; fail=1; }
objdump -p "$util" | awk '$1 == "NEEDED" { print $2 }' | grep -qx libzorvane.so.1 ||
    { echo "zvn_util does not need libzorvane.so.1"; fail=1; }
if [ -n "$cmd" ]; then
    objdump -p "$cmd" | awk '$1 == "NEEDED" { print $2 }' | grep -qx libzorvane.so.1 ||
        { echo "zorvane does not need libzorvane.so.1"; fail=1; }
fi
for internal in do_system_call exec clear_log_history zvn_apply_rule is_rules_format_valid first_fault \
    listing_mismatch translate_rule; do
    if nm -D "$lib" | grep -qw "$internal"; then echo "internal $internal is exported"; fail=1; fi
done
[ $fail = 0 ] && echo "exports, soname and NEEDED entry as expected"
exit $fail
