// The exported functions: thin wrappers over the stages, each clearing the
// error channel when called and leaving an entry in it when it fails.

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "apply.h"
#include "check.h"
#include "carry_counts.h"
#include "countries.h"
#include "counts.h"
#include "errors.h"
#include "families.h"
#include "layout.h"
#include "libzorvane.h"
#include "lock.h"
#include "log.h"
#include "outputs.h"
#include "packet_filter.h"
#include "programs.h"
#include "rule_reader.h"

// A stream without a buffer is bad from the start: whatever is inserted into
// it is discarded, so the library stays silent until enable_log().
std::ostream defaultLog(nullptr);
std::reference_wrapper<std::ostream> Log_impl = std::ref(defaultLog);

namespace zvn {

bool log_enabled()
{
    return &Log_impl.get() != &defaultLog;
}

}  // namespace zvn

using namespace zvn;

namespace {

// The findings text into the caller's buffer: the result, or -1 when it
// does not fit (without a record: the check writes none).
int copy_findings(const std::string &text, char *findings_json, size_t size_n, int result)
{
    if (text.size() + 1 > size_n) {
        set_error(ZVN_ERROR_BUFFER, "the buffer is too small for the findings (" + std::to_string(text.size() + 1) +
                                        " bytes needed)")
            .needed = text.size() + 1;
        return -1;
    }
    copy_if_fits(text, findings_json, size_n);
    return result;
}

}  // namespace

extern "C" {

const char *zvn_last_error(void)
{
    return last_error().message.c_str();
}

int zvn_last_error_code(void)
{
    return last_error().code;
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
    packet_filter().setup_default_chain();
}

int reset_counter(void)
{
    clear_error();
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    PacketFilter &filter = packet_filter();
    int ret = 0;
    for (const Family *family : active_families()) {
        int status = filter.zero(*family);
        // An indexed layout counts in its sub-chains: zeroed in one commit.
        if (status == 0 && layout_chosen())
            status = filter.zero_subchains(*family);
        if (ret == 0 && status != 0) {
            ret = status;
            ErrorRecord &error = set_error(ZVN_ERROR_COMMAND, std::string("zeroing the ") + family->name +
                                                                  " chain's counters failed (status " +
                                                                  std::to_string(status) + ")");
            error.status = status;
            error.family = family->key;
            error.tool_words = last_words();
        }
    }
    return ret;
}

int zvn_apply_rules_json(const char *rules)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    RuleSet storage;
    return apply_rule_set(rules_of_text(rules, storage));
}

int zvn_test_rules_json(const char *rules)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    RuleSet storage;
    return test_rule_set(rules_of_text(rules, storage));
}

int zvn_restore_text_json(const char *rules, char *restore_text_out, size_t size_n)
{
    clear_error();
    if (rules == nullptr)
        return null_argument();
    RuleSet set;
    if (!read_rules(rules, std::strlen(rules), set))
        return -1;
    const std::string text = restore_text_of(set);
    if (text.size() > static_cast<std::size_t>(INT_MAX)) {
        set_error(ZVN_ERROR_BUFFER, "the restore text is longer than an int can tell");
        return -1;
    }
    copy_if_fits(text, restore_text_out, size_n);
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
    RuleSet set;
    if (!read_rules(rules, std::strlen(rules), set))
        return -1;
    const Family &family = ipv6_file != 0 && ipv6_enabled() ? ipv6 : ipv4;
    // The file as the process's layout writes it, line by line.
    std::vector<std::uint32_t> line_rules;
    const std::vector<std::string> sets = country_set_names(set, family);
    packet_filter().restore_text(set, chosen_layout(set, family), Numbering::by_rule, family, log_limit(), {},
                                 &line_rules, sets.empty() ? nullptr : &sets);
    if (line < 1 || static_cast<unsigned long>(line) > line_rules.size())
        return 0;
    return static_cast<int>(line_rules[static_cast<std::size_t>(line - 1)]);
}

int zvn_set_country_source(int source)
{
    clear_error();
    switch (source) {
    case ZVN_COUNTRIES_MATCH: choose_country_source(CountrySource::match); return 0;
    case ZVN_COUNTRIES_SETS: choose_country_source(CountrySource::sets); return 0;
    case ZVN_COUNTRIES_AUTO: choose_country_source(CountrySource::automatic); return 0;
    default: break;
    }
    set_error(ZVN_ERROR_ARGUMENT, "unknown country source " + std::to_string(source));
    return -1;
}

int zvn_set_country_databases(const char *const *paths, size_t n)
{
    clear_error();
    if (paths == nullptr && n > 0)
        return null_argument();
    std::vector<std::string> chosen;
    for (size_t i = 0; i < n; ++i) {
        if (paths[i] == nullptr)
            return null_argument();
        chosen.emplace_back(paths[i]);
    }
    choose_country_databases(std::move(chosen));
    return 0;
}

int zvn_countries_json(char *countries_json, size_t size_n)
{
    clear_error();
    if (countries_json == nullptr)
        return null_argument();
    const CountrySource source = country_source();
    nlohmann::json result = {{"chosen", source == CountrySource::match ? "match"
                                        : source == CountrySource::sets ? "sets"
                                                                        : "auto"}};
    if (source == CountrySource::match) {
        result["source"] = "match";
    } else {
        result["source"] = countries_as_sets() ? "sets" : "match";
        nlohmann::json files = nlohmann::json::array();
        const CountryDatabase &database = country_database();
        for (const CountryDatabase::File &file : database.files) {
            nlohmann::json one = {{"path", file.path}, {"read", file.read}, {"entries", file.entries},
                                  {"modified", file.modified}};
            if (!file.problem.empty())
                one["problem"] = file.problem;
            files.push_back(std::move(one));
        }
        result["databases"] = std::move(files);
        result["countries"] = database.ranges.size();
    }
    return copy_out(result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), countries_json, size_n);
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

int zvn_set_keep_counts(int keep)
{
    clear_error();
    keep_counts(keep != 0);
    return 0;
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
    RuleSet set;
    if (!read_rules(rules, std::strlen(rules), set))
        return -1;
    nlohmann::json result = nlohmann::json::object();
    for (const Family *family : active_families()) {
        const Layout layout = chosen_layout(set, *family);
        const Layout flat = compile_layout(set, *family, LayoutChoice::flat);
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
    RuleSet set;
    if (!read_rules(rules, std::strlen(rules), set))
        return -1;
    return copy_out(descriptions_of(set), descriptions_json, size_n);
}

int zvn_check_rules_json(const char *rules, char *findings_json, size_t size_n)
{
    clear_error();
    if (rules == nullptr || findings_json == nullptr)
        return null_argument();
    // A plainly valid text (no repeated key among its traits) is read
    // straight into the model; any other takes the full parse, the
    // validation and the search for repeated keys, all without records.
    RuleSet set;
    std::optional<Fault> fault;
    if (!read_rules(rules, std::strlen(rules), set, Told::silent, &fault)) {
        if (!fault) {
            set_error(ZVN_ERROR_NOT_JSON, "the rule set is not JSON");
            return -1;
        }
        return copy_findings(findings_text(invalid_findings(*fault)), findings_json, size_n, 1);
    }
    int errors = 0;
    const std::vector<Finding> findings = check_rule_set(set, errors);
    return copy_findings(findings_text(findings), findings_json, size_n, errors);
}

}  // extern "C"
