// A rule set parsed once and used by several calls, and the error
// channel's parts: a client that checks, applies and counts one set reads
// its text once and never reads a message to learn what failed.

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "apply.h"
#include "check.h"
#include "countries.h"
#include "counts.h"
#include "errors.h"
#include "families.h"
#include "handle.h"
#include "layout.h"
#include "libzorvane.h"
#include "packet_filter.h"
#include "rule_reader.h"
#include "outputs.h"

struct zvn_rules {
    zvn::RuleSet set;
    std::vector<std::string> descriptions;  // made when first asked for
};

namespace zvn {

const RuleSet *rules_of_handle(const zvn_rules *rules)
{
    return &rules->set;
}

namespace {

RuleSetSource parsed(zvn_rules *rules)
{
    return [rules]() -> const RuleSet * { return &rules->set; };
}

}  // namespace

std::string restore_text_of(const RuleSet &set)
{
    PacketFilter &filter = packet_filter();
    std::string text;
    for (const Family *family : active_families()) {
        if (ipv6_enabled())
            text += filter.section_header(*family);
        const std::vector<std::string> sets = country_set_names(set, *family);
        text += filter.restore_text(set, chosen_layout(set, *family), Numbering::by_rule, *family, log_limit(), {},
                                    nullptr, sets.empty() ? nullptr : &sets);
    }
    return text;
}

std::string descriptions_of(const RuleSet &set)
{
    nlohmann::json descriptions = nlohmann::json::array();
    for (const Rule &rule : set.rules)
        descriptions.push_back(
            {{"rule", rule.number}, {"verdict", rule.allow ? "allow" : "drop"}, {"matches", rule.description()}});
    return descriptions.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace zvn

using namespace zvn;

extern "C" {

int zvn_last_error_rule(void)
{
    return static_cast<int>(last_error().rule);
}

const char *zvn_last_error_key(void)
{
    return last_error().key.c_str();
}

const char *zvn_last_error_family(void)
{
    return last_error().family;
}

int zvn_last_error_status(void)
{
    return last_error().status;
}

const char *zvn_last_error_tool_words(void)
{
    return last_error().tool_words.c_str();
}

size_t zvn_last_error_size_needed(void)
{
    return last_error().needed;
}

zvn_rules *zvn_rules_parse(const char *text)
{
    clear_error();
    if (text == nullptr) {
        null_argument();
        return nullptr;
    }
    return zvn_rules_parse_n(text, std::strlen(text));
}

zvn_rules *zvn_rules_parse_n(const char *text, size_t length)
{
    clear_error();
    if (text == nullptr) {
        null_argument();
        return nullptr;
    }
    if (const void *nul = std::memchr(text, '\0', length)) {
        const auto offset = static_cast<std::size_t>(static_cast<const char *>(nul) - text);
        set_error(ZVN_ERROR_INVALID, "the rule set holds a NUL byte at offset " + std::to_string(offset) +
                                         ": everything after it would be lost");
        return nullptr;
    }
    auto *rules = new (std::nothrow) zvn_rules;
    if (rules == nullptr) {
        set_error(ZVN_ERROR_ARGUMENT, "out of memory");
        return nullptr;
    }
    if (!read_rules(text, length, rules->set)) {
        delete rules;
        return nullptr;
    }
    return rules;
}

void zvn_rules_free(zvn_rules *rules)
{
    delete rules;
}

size_t zvn_rules_size(const zvn_rules *rules)
{
    return rules == nullptr ? 0 : rules->set.rules.size();
}

int zvn_rules_rule(zvn_rules *rules, size_t rule, const char **description)
{
    clear_error();
    if (rules == nullptr || rule == 0 || rule > rules->set.rules.size()) {
        set_error(ZVN_ERROR_ARGUMENT, "no such rule");
        return -1;
    }
    if (description != nullptr) {
        if (rules->descriptions.empty())
            for (const Rule &one : rules->set.rules)
                rules->descriptions.push_back(one.description());
        *description = rules->descriptions[rule - 1].c_str();
    }
    return rules->set.rules[rule - 1].allow ? 1 : 0;
}

int zvn_rules_check_json(zvn_rules *rules, char *findings_json, size_t size_n)
{
    clear_error();
    if (rules == nullptr || findings_json == nullptr)
        return null_argument();
    int errors = 0;
    const std::string text = findings_text(check_rule_set(rules->set, errors));
    if (text.size() + 1 > size_n) {
        set_error(ZVN_ERROR_BUFFER, "the buffer is too small for the findings (" + std::to_string(text.size() + 1) +
                                        " bytes needed)")
            .needed = text.size() + 1;
        return -1;
    }
    copy_if_fits(text, findings_json, size_n);
    return errors;
}

int zvn_rules_test(zvn_rules *rules)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    const KeptWords words;
    return test_rule_set(parsed(rules));
}

int zvn_rules_apply(zvn_rules *rules)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    const KeptWords words;
    return apply_rule_set(parsed(rules), FamilyOrder::smaller_first);
}

int zvn_rules_counts(zvn_rules *rules, struct zvn_rule_count *counts, size_t n)
{
    clear_error();
    if (rules == nullptr || (counts == nullptr && n > 0))
        return null_argument();
    if (n < rules->set.rules.size()) {
        set_error(ZVN_ERROR_BUFFER, "the array holds " + std::to_string(n) + " counts, and the set has " +
                                        std::to_string(rules->set.rules.size()) + " rules")
            .needed = rules->set.rules.size();
        return -1;
    }
    const KeptWords words;
    RuleCounts read;
    const int ret = read_counts(parsed(rules), read);
    if (read.outcome != RuleCounts::Outcome::read)
        return ret;
    for (std::size_t r = 0; r < read.rules; ++r)
        counts[r] = {read.told[r] ? read.packets[r] : 0, read.told[r] ? read.bytes[r] : 0, read.told[r] ? 1 : 0};
    return ret;
}

int zvn_rules_verify_json(zvn_rules *rules, char *result_json, size_t size_n)
{
    clear_error();
    if (rules == nullptr || result_json == nullptr)
        return null_argument();
    const KeptWords words;
    return verify_json(parsed(rules), result_json, size_n);
}

int zvn_rules_describe_json(zvn_rules *rules, char *descriptions_json, size_t size_n)
{
    clear_error();
    if (rules == nullptr || descriptions_json == nullptr)
        return null_argument();
    return copy_out(descriptions_of(rules->set), descriptions_json, size_n);
}

int zvn_rules_restore_text(zvn_rules *rules, char *restore_text, size_t size_n)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    const std::string text = restore_text_of(rules->set);
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        set_error(ZVN_ERROR_BUFFER, "the restore text is longer than an int can tell");
        return -1;
    }
    copy_if_fits(text, restore_text, size_n);
    return static_cast<int>(text.size());
}

void zvn_keep_tool_words(int keep)
{
    keep_words_always(keep != 0);
}

int zvn_host_json(char *host_json, size_t size_n)
{
    clear_error();
    if (host_json == nullptr)
        return null_argument();
    const Readiness ready = packet_filter().readiness();
    const nlohmann::json host = {
        {"preparation_script", {{"path", ready.preparation_script}, {"present", ready.preparation}}},
        {"ipv6", {{"kernel", ready.ipv6_kernel}, {"tools_missing", ready.ipv6_missing}}}};
    return copy_out(host.dump(), host_json, size_n);
}

}  // extern "C"
