// The exported functions: thin wrappers over the stages, which also keep
// the error channel (this thread's last failure, its code and message).

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

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
        int status = do_system_call(command(family->tool, " -Z ", chain_name));
        // An indexed layout counts in its sub-chains: zeroed in one commit.
        if (status == 0 && layout_chosen())
            status = zero_subchains(*family);
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
        layout_text(parsed.set, chosen_layout(parsed.set, *family), 1, *family, family_text);
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
    // The file as the process's layout writes it, line by line.
    std::string text;
    std::vector<std::uint32_t> line_rules;
    layout_text(parsed.set, chosen_layout(parsed.set, family), 1, family, text, {}, &line_rules);
    if (line < 1 || static_cast<unsigned long>(line) > line_rules.size())
        return 0;
    return static_cast<int>(line_rules[static_cast<std::size_t>(line - 1)]);
}

int zvn_set_layout(int layout)
{
    clear_error();
    switch (layout) {
    case ZVN_LAYOUT_FLAT: choose_layout(LayoutChoice::flat); return 0;
    case ZVN_LAYOUT_INDEXED: choose_layout(LayoutChoice::indexed); return 0;
    case ZVN_LAYOUT_AUTO: choose_layout(LayoutChoice::automatic); return 0;
    default: break;
    }
    set_error(ZVN_ERROR_ARGUMENT, "unknown layout " + std::to_string(layout));
    return -1;
}

int zvn_set_log_limit(unsigned int lines_per_second)
{
    clear_error();
    if (lines_per_second > max_log_limit) {
        set_error(ZVN_ERROR_ARGUMENT, "a log limit of " + std::to_string(lines_per_second) +
                                          " lines per second is more than " + std::to_string(max_log_limit));
        return -1;
    }
    set_log_limit(lines_per_second);
    return 0;
}

int zvn_describe_layout_json(const char *rules, char *layout_json, size_t size_n)
{
    clear_error();
    if (rules == nullptr || layout_json == nullptr)
        return null_argument();
    ParsedRuleSet parsed;
    if (!read_plain_rule_set(rules, std::strlen(rules), parsed.set) && !parse_and_validate(rules, parsed))
        return -1;
    nlohmann::json result = nlohmann::json::object();
    for (const Family *family : active_families()) {
        const Layout layout = chosen_layout(parsed.set, *family);
        const Layout flat = compile_layout(parsed.set, *family, LayoutChoice::flat);
        std::size_t most_copies = 0;
        for (const std::uint32_t copies : layout.copies)
            most_copies = std::max<std::size_t>(most_copies, copies);
        result[family->key] = {
            {"layout", layout.indexed ? "indexed" : "flat"}, {"chains", layout.chains.size()},
            {"lines", layout.lines},                         {"flat_lines", flat.lines},
            {"deepest_walk", layout.deepest_walk},           {"flat_walk", flat.deepest_walk},
            {"groups", layout.groups},                       {"most_copies", most_copies}};
    }
    return copy_out(result.dump(), layout_json, size_n);
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
