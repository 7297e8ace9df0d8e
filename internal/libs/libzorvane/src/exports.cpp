// The exported functions: thin wrappers over the stages, which also keep
// the error channel (this thread's last failure, its code and message).

#include <climits>
#include <cstring>
#include <iostream>
#include <string>

#include "libzorvane.h"
#include "zorvane_internal.h"

// A stream without a buffer is bad from the start: whatever is inserted into
// it is discarded, so the library stays silent until enable_log().
std::ostream defaultLog(nullptr);
std::reference_wrapper<std::ostream> Log_impl = std::ref(defaultLog);

namespace zvn {

namespace {

thread_local int last_error_code = ZVN_OK;
thread_local std::string last_error_message;

}  // namespace

int null_argument()
{
    set_error(ZVN_ERROR_ARGUMENT, "a pointer argument is null");
    return -1;
}

int listing_failed(const Family &family, const char *what, int status)
{
    set_error(ZVN_ERROR_LISTING, std::string("the ") + family.name + " " + what + " could not be listed (status " +
                                     std::to_string(status) + ")");
    return status;
}

int copy_out(const std::string &text, char *out, size_t size_n)
{
    if (out == nullptr || text.size() + 1 > size_n) {
        log_record("size_n is too small");
        set_error(ZVN_ERROR_BUFFER, "the buffer is too small (" + std::to_string(text.size() + 1) + " bytes needed)");
        return -1;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return 0;
}

void clear_error()
{
    last_error_code = ZVN_OK;
    last_error_message.clear();
}

void set_error(int code, std::string message)
{
    last_error_code = code;
    last_error_message = std::move(message);
}

}  // namespace zvn

using namespace zvn;

extern "C" {

const char *zvn_last_error(void)
{
    return last_error_message.c_str();
}

int zvn_last_error_code(void)
{
    return last_error_code;
}

void enable_log(void)
{
    Log_impl = std::ref(std::cerr);
}

void setup_default_chain(void)
{
    clear_error();
    const ChainLock lock;
    if (!lock.locked())
        return;
    do_system_call(command(firewall_script, " prepare"));
    for (const Family *family : active_families()) {
        do_system_call(command(family->tool, " -N ", chain_name));
        do_system_call(command(family->tool, " -D INPUT -m state --state NEW -j ", chain_name));
        do_system_call(command(family->tool, " -A INPUT -m state --state NEW -j ", chain_name));
    }
}

int reset_counter(void)
{
    clear_error();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    int ret = 0;
    for (const Family *family : active_families()) {
        const int status = do_system_call(command(family->tool, " -Z ", chain_name));
        if (ret == 0 && status != 0) {
            ret = status;
            set_error(ZVN_ERROR_COMMAND, std::string("zeroing the ") + family->name + " chain's counters failed (status " +
                                             std::to_string(status) + ")");
        }
    }
    return ret;
}

int zvn_apply_rules_json(const char *rules)
{
    clear_error();
    return rules == nullptr ? null_argument() : apply_rule_set(rules);
}

int zvn_test_rules_json(const char *rules)
{
    clear_error();
    return rules == nullptr ? null_argument() : test_rule_set(rules);
}

int zvn_restore_text_json(const char *rules, char *restore_text_out, size_t size_n)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    ParsedRuleSet parsed;
    if (!parse_and_validate(rules, parsed))
        return -1;
    std::string text;
    for (const Family *family : active_families()) {
        std::string family_text;
        restore_text(parsed.set, 1, family_text, *family);
        if (ipv6_enabled())
            text += command("# ", family->restore_tool, "\n");
        text += family_text;
    }
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        set_error(ZVN_ERROR_BUFFER, "the restore text is longer than an int can tell");
        return -1;
    }
    if (restore_text_out != nullptr && text.size() + 1 <= size_n)
        std::memcpy(restore_text_out, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

int zvn_get_rule_count_json(const char *rules, char *pktcnt_list_json, const size_t size_n)
{
    clear_error();
    if (rules == nullptr || pktcnt_list_json == nullptr)
        return null_argument();
    return per_rule_counts(rules, pktcnt_list_json, size_n);
}

int zvn_get_rule_count_snapshot_json(const char *rules, char *pktcnt_list_json, const size_t size_n)
{
    clear_error();
    if (rules == nullptr || pktcnt_list_json == nullptr)
        return null_argument();
    return snapshot_counts(rules, pktcnt_list_json, size_n);
}

int zvn_rule_of_restore_line(const char *rules, int ipv6_file, long line)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    ParsedRuleSet parsed;
    if (!parse_and_validate(rules, parsed))
        return -1;
    const Family &family = ipv6_file != 0 && ipv6_enabled() ? ipv6 : ipv4;
    // "*filter" and the chain's declaration come first, "COMMIT" last.
    long next = 3;
    for (const Rule &rule : parsed.set.rules) {
        if (!rule.in_family(family))
            continue;
        const long lines = static_cast<long>(rule.lines_in_restore_file());
        if (line >= next && line < next + lines)
            return static_cast<int>(rule.number);
        next += lines;
    }
    return 0;
}

int zvn_describe_rules_json(const char *rules, char *descriptions_json, size_t size_n)
{
    clear_error();
    if (rules == nullptr || descriptions_json == nullptr)
        return null_argument();
    ParsedRuleSet parsed;
    if (!parse_and_validate(rules, parsed))
        return -1;
    nlohmann::json descriptions = nlohmann::json::array();
    for (const Rule &rule : parsed.set.rules)
        descriptions.push_back({{"rule", rule.number},
                                {"verdict", rule.allow ? "allow" : "drop"},
                                {"matches", rule.description()}});
    return copy_out(descriptions.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), descriptions_json,
                    size_n);
}

}  // extern "C"
