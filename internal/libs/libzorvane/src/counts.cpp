// Per-rule packet counts: by position, one listing per counted line, or
// from one listing of the whole chain that is first proven to hold the rule
// set asked about.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "zorvane_internal.h"

namespace zvn {

namespace {

// The check before the per-rule read: the rule set parses, validates and
// its restore file (every drop numbered 0) passes the test run, for each
// family. A file is removed after a passing test and kept after a failing
// one.
bool check_rule_set(const char *rules, ParsedRuleSet &parsed)
{
    std::vector<std::string> restore_test_filenames;
    if (!parse_and_validate(rules, parsed))
        return false;
    if (!write_restore_files(parsed.set, 0, restore_test_filenames)) {
        set_error(ZVN_ERROR_FILE, "the restore file could not be written");
        return false;
    }
    if (const int status = test_restore_files(restore_test_filenames); status != 0) {
        set_error(ZVN_ERROR_TEST_REFUSED, "the test run refused the restore file (status " + std::to_string(status) + ")");
        return false;
    }
    for (const auto &restore_test_filename : restore_test_filenames)
        std::remove(restore_test_filename.c_str());
    return true;
}

// The positions in one family's chain whose counters make each rule
// object's count (none for a rule of the other family). A rule whose source
// lists k addresses stands in the chain as k lines (allowing) or k logging
// lines then k dropping lines (dropping); the count is the sum of its
// ACCEPT or DROP lines.
std::vector<std::vector<int>> counted_positions(const RuleSet &set, const Family &family)
{
    std::vector<std::vector<int>> positions;
    positions.reserve(set.rules.size());
    int rule_query_index = 0;
    for (const Rule &single_rule : set.rules) {
        std::vector<int> counted;
        if (single_rule.in_family(family)) {
            const bool allow = single_rule.allow;
            const int lines = static_cast<int>(single_rule.lines_per_target());
            if (!allow)
                rule_query_index += lines;  // the logging lines are not counted
            for (int k = 0; k < lines; ++k)
                counted.push_back(++rule_query_index);
        }
        positions.push_back(std::move(counted));
    }
    return positions;
}

// The first blank-delimited token that strtoull converts without a range
// error; false when there is none.
bool first_count_token(const std::string &iptable_cmd_output, unsigned long long &packet_cnt)
{
    std::istringstream iptable_stdout(iptable_cmd_output);
    std::string token;
    while (std::getline(iptable_stdout, token, ' ')) {
        const char *ptoken = token.c_str();
        char *pend = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(ptoken, &pend, 10);
        if (pend == ptoken || errno == ERANGE)
            continue;
        packet_cnt = value;
        return true;
    }
    return false;
}

// Whether a single line's listing shows a line that no flat layout has:
// a return of loopback's packets, or a way into a sub-chain.
bool indexed_line(const std::string &iptable_cmd_output)
{
    std::istringstream words(iptable_cmd_output);
    std::string pkts, bytes, target;
    words >> pkts >> bytes >> target;
    return indexed_target(target);
}

// Reads one counted line by its own listing. 0 with the count, or the
// status that the first failure gives; layout_refusal where the chain
// holds an indexed layout.
constexpr int layout_refusal = -2;
int read_one_line(const Family &family, int rule_query_index, unsigned long long &packet_cnt)
{
    const std::string iptable_cmd =
        command(family.tool, " -vn -L ", chain_name, " ", std::to_string(rule_query_index), " --exact");
    std::string iptable_cmd_output;
    const int tmp_ret = exec(iptable_cmd, iptable_cmd_output);
    if (tmp_ret != 0) {
        set_error(ZVN_ERROR_LISTING, "the listing of line " + std::to_string(rule_query_index) + " failed (status " +
                                         std::to_string(tmp_ret) + ")");
        return tmp_ret;
    }
    if (iptable_cmd_output.empty()) {
        log_record("iptables list stdout is empty");
        set_error(ZVN_ERROR_COUNT, "the listing of line " + std::to_string(rule_query_index) + " printed nothing");
        return -1;
    }
    if (indexed_line(iptable_cmd_output)) {
        log_record("the chain holds an indexed layout: its positions are no rules, and no count was read");
        set_error(ZVN_ERROR_LAYOUT, "the chain holds an indexed layout, whose line " + std::to_string(rule_query_index) +
                                        " is no rule: read the counts with zvn_get_rule_count_snapshot_json");
        return layout_refusal;
    }
    if (!first_count_token(iptable_cmd_output, packet_cnt)) {
        log_record("Parsing iptable_stdout error");
        set_error(ZVN_ERROR_COUNT, "the listing of line " + std::to_string(rule_query_index) + " holds no count");
        return -1;
    }
    return 0;
}

// Serialises the counts and copies them into the caller's buffer if they
// fit, terminating NUL included.
int report_counts(const nlohmann::json &pktcnt_list, char *pktcnt_list_json, const size_t size_n,
                  int ret)
{
    const std::string pktcnt_list_string = pktcnt_list.dump();
    if (pktcnt_list_string.size() + 1 > size_n) {
        log_record("size_n is too small");
        set_error(ZVN_ERROR_BUFFER, "the buffer is too small for the counts (" +
                                        std::to_string(pktcnt_list_string.size() + 1) + " bytes needed)");
        return -1;
    }
    std::memcpy(pktcnt_list_json, pktcnt_list_string.c_str(), pktcnt_list_string.size() + 1);
    return ret;
}

nlohmann::json all_errors(std::size_t count)
{
    nlohmann::json pktcnt_list = nlohmann::json::array();
    for (std::size_t i = 0; i < count; ++i)
        pktcnt_list.push_back("error");
    return pktcnt_list;
}

// A sum of counters that would pass 2^64 - 1 cannot be told as a number.
bool add_count(unsigned long long &sum, unsigned long long packets)
{
    if (sum > ~0ULL - packets)
        return false;
    sum += packets;
    return true;
}

}  // namespace

int per_rule_counts(const char *rules, char *pktcnt_list_json, const size_t size_n)
{
    ParsedRuleSet parsed;
    if (!check_rule_set(rules, parsed))
        return -1;
    const RuleSet &set = parsed.set;
    const ChainLock lock;
    if (!lock.locked())
        return -1;

    const auto families = active_families();
    std::vector<std::vector<std::vector<int>>> positions;
    for (const Family *family : families)
        positions.push_back(counted_positions(set, *family));
    int ret = 0;
    nlohmann::json pktcnt_list = nlohmann::json::array();
    for (std::size_t rule = 0; rule < set.rules.size(); ++rule) {
        unsigned long long rule_count = 0;
        int rule_ret = 0;
        for (std::size_t f = 0; f < families.size() && rule_ret == 0; ++f) {
            for (const int rule_query_index : positions[f][rule]) {
                unsigned long long packet_cnt = 0;
                rule_ret = read_one_line(*families[f], rule_query_index, packet_cnt);
                // Positions of an indexed layout are other lines' numbers:
                // not one of them is told.
                if (rule_ret == layout_refusal)
                    return report_counts(all_errors(set.rules.size()), pktcnt_list_json, size_n, -1);
                if (rule_ret != 0)
                    break;
                if (!add_count(rule_count, packet_cnt)) {
                    log_record("the count of rule line ", rule_query_index, " overflows its rule's sum");
                    rule_ret = -1;
                    break;
                }
            }
        }
        if (rule_ret == 0) {
            pktcnt_list.push_back(rule_count);
        } else {
            if (ret == 0)
                ret = rule_ret;
            pktcnt_list.push_back("error");
        }
    }
    return report_counts(pktcnt_list, pktcnt_list_json, size_n, ret);
}

// All counts come from one listing of the chain (one per family; where an
// indexed layout stands, one more of the table, for its sub-chains), so
// they belong to one moment and cost one process however many rules there
// are. The listing is compared with the lines the rule set makes, in the
// layout the chain shows, before any count is told: counts of a rule set
// that the chain does not hold would be numbers of other rules.
int snapshot_counts(const char *rules, char *pktcnt_list_json, const size_t size_n)
{
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    // The listings run while the rule set is parsed and validated.
    std::vector<std::unique_ptr<LayoutListing>> listings;
    const auto families = active_families();
    for (const Family *family : families)
        listings.push_back(std::make_unique<LayoutListing>(*family, LayoutListing::Records::captured));
    // A plainly valid text is read without a JSON tree; anything else takes
    // the full parse and validation, with their records.
    ParsedRuleSet parsed;
    if (!read_plain_rule_set(rules, std::strlen(rules), parsed.set) && !parse_and_validate(rules, parsed))
        return -1;
    const std::size_t rule_count = parsed.set.rules.size();

    std::vector<unsigned long long> sums(rule_count, 0);
    std::vector<bool> overflowed(rule_count, false);
    for (std::size_t f = 0; f < families.size(); ++f) {
        if (const int status = listings[f]->finish(); status != 0) {
            set_error(ZVN_ERROR_LISTING, std::string("the listing of ") + families[f]->name + " chain failed (status " +
                                             std::to_string(status) + ")");
            return report_counts(all_errors(rule_count), pktcnt_list_json, size_n, status);
        }
        const ChainListingParser &parser = listings[f]->parser();
        const ListingProof proof = prove_listing(parsed.set, *families[f], parser, listings[f]->listing());
        if (!proof.mismatch.empty()) {
            log_record(proof.mismatch);
            const int ret = report_counts(all_errors(rule_count), pktcnt_list_json, size_n, -1);
            set_error(ZVN_ERROR_MISMATCH, proof.mismatch);
            return ret;
        }
        for (std::size_t rule = 0; rule < rule_count; ++rule)
            for (const auto &[chain, position] : proof.expected.counted[rule])
                if (!add_count(sums[rule], parser.chain(chain)[position].packets))
                    overflowed[rule] = true;
    }
    nlohmann::json pktcnt_list = nlohmann::json::array();
    int ret = 0;
    for (std::size_t rule = 0; rule < sums.size(); ++rule) {
        if (!overflowed[rule]) {
            pktcnt_list.push_back(sums[rule]);
            continue;
        }
        log_record("the counts of rule ", rule + 1, " overflow their sum");
        set_error(ZVN_ERROR_COUNT, "rule " + std::to_string(rule + 1) + ": its counts overflow their sum");
        ret = -1;
        pktcnt_list.push_back("error");
    }
    return report_counts(pktcnt_list, pktcnt_list_json, size_n, ret);
}

}  // namespace zvn
