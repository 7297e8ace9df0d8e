// Per-rule packet counts: by position, one listing per counted line, or
// from one read of the table that is proven first to hold the rule set
// asked about.

#include "counts.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "errors.h"
#include "families.h"
#include "libzorvane.h"
#include "lock.h"
#include "log.h"
#include "names.h"
#include "packet_filter.h"
#include "proof.h"
#include "reading.h"
#include "rule_reader.h"

namespace zvn {

namespace {

// The check before the per-rule read: the rule set parses, validates and
// its restore file (every drop numbered 0) passes the test run, for each
// family. A file is removed after a passing test and kept after a failing
// one.
bool check_rule_set(const char *rules, RuleSet &set)
{
    PacketFilter &filter = packet_filter();
    if (!read_rules(rules, std::strlen(rules), set))
        return false;
    const auto families = active_families();
    std::vector<std::unique_ptr<RestoreFile>> files;
    for (const Family *family : families) {
        auto file = filter.write(*family, filter.restore_text(set, compile_layout(set, *family, LayoutChoice::flat),
                                                              Numbering::zero, *family, log_limit()));
        if (!file) {
            for (auto &written : files)
                written->remove();
            set_error(ZVN_ERROR_FILE, "the restore file could not be written");
            return false;
        }
        files.push_back(std::move(file));
    }
    std::vector<RestoreFile *> tested;
    for (auto &file : files)
        tested.push_back(file.get());
    const std::vector<ToolVerdict> verdicts = filter.test(tested);
    for (std::size_t f = 0; f < files.size(); ++f)
        if (verdicts[f].status != 0) {
            for (std::size_t other = 0; other < files.size(); ++other)
                if (other != f)
                    files[other]->remove();
            set_error(ZVN_ERROR_TEST_REFUSED,
                      "the test run refused the restore file (status " + std::to_string(verdicts[f].status) + ")")
                .status = verdicts[f].status;
            return false;
        }
    for (auto &file : files)
        file->remove();
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

// Reads one counted line by its own listing. 0 with the count, or the
// status that the first failure gives; layout_refusal where the chain
// holds an indexed layout.
constexpr int layout_refusal = -2;
int read_one_line(PacketFilter &filter, const Family &family, int rule_query_index, unsigned long long &packet_cnt)
{
    PositionRead listed;
    const int tmp_ret = filter.read_position(family, rule_query_index, listed);
    if (tmp_ret != 0) {
        set_error(ZVN_ERROR_LISTING, "the listing of line " + std::to_string(rule_query_index) + " failed (status " +
                                         std::to_string(tmp_ret) + ")")
            .status = tmp_ret;
        return tmp_ret;
    }
    if (listed.output.empty()) {
        log_record("iptables list stdout is empty");
        set_error(ZVN_ERROR_COUNT, "the listing of line " + std::to_string(rule_query_index) + " printed nothing");
        return -1;
    }
    if (listed.shows_layout) {
        log_record("the chain holds an indexed layout: its positions are no rules, and no count was read");
        set_error(ZVN_ERROR_LAYOUT, "the chain holds an indexed layout, whose line " + std::to_string(rule_query_index) +
                                        " is no rule: read the counts with zvn_get_rule_count_snapshot_json");
        return layout_refusal;
    }
    if (!listed.counted) {
        log_record("Parsing iptable_stdout error");
        set_error(ZVN_ERROR_COUNT, "the listing of line " + std::to_string(rule_query_index) + " holds no count");
        return -1;
    }
    packet_cnt = listed.packets;
    return 0;
}

// Serialises the counts and copies them into the caller's buffer if they
// fit, terminating NUL included.
int report_counts(const nlohmann::json &pktcnt_list, char *pktcnt_list_json, const size_t size_n, int ret)
{
    const std::string pktcnt_list_string = pktcnt_list.dump();
    if (pktcnt_list_string.size() + 1 > size_n) {
        log_record("size_n is too small");
        set_error(ZVN_ERROR_BUFFER, "the buffer is too small for the counts (" +
                                        std::to_string(pktcnt_list_string.size() + 1) + " bytes needed)")
            .needed = pktcnt_list_string.size() + 1;
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
    RuleSet set;
    if (!check_rule_set(rules, set))
        return -1;
    const ChainLock lock;
    if (!lock.locked())
        return -1;
    PacketFilter &filter = packet_filter();
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
                rule_ret = read_one_line(filter, *families[f], rule_query_index, packet_cnt);
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

// All counts come from one read of the table per family, so they belong to
// one moment and cost one process however many rules there are. The table
// is compared with the lines the rule set makes, in the layout the chain
// shows, before any count is told: counts of a rule set that the chain
// does not hold would be numbers of other rules.
int read_counts(const RuleSetSource &source, RuleCounts &counts)
{
    counts = RuleCounts{};
    // The reads run while the rule set is read.
    TableReading reading(Records::captured);
    if (!reading.locked())
        return -1;
    const RuleSet *set = source();
    if (set == nullptr)
        return -1;
    return counts_of(reading, *set, counts);
}

int snapshot_counts(const char *rules, char *pktcnt_list_json, const size_t size_n)
{
    RuleSet storage;
    RuleCounts counts;
    const int ret = read_counts(rules_of_text(rules, storage), counts);
    switch (counts.outcome) {
    case RuleCounts::Outcome::refused:
        return ret;  // the buffer is not written
    case RuleCounts::Outcome::unread: {
        // The chain's counts are not this rule set's: not one is told. A
        // mismatch stays the error even where the buffer is too small.
        const ErrorRecord why = last_error();
        const int reported = report_counts(all_errors(counts.rules), pktcnt_list_json, size_n, ret);
        if (why.code == ZVN_ERROR_MISMATCH)
            set_error(why.code, why.message) = why;
        return reported;
    }
    case RuleCounts::Outcome::read:
        break;
    }
    nlohmann::json pktcnt_list = nlohmann::json::array();
    for (std::size_t rule = 0; rule < counts.rules; ++rule) {
        if (counts.told[rule])
            pktcnt_list.push_back(counts.packets[rule]);
        else
            pktcnt_list.push_back("error");
    }
    return report_counts(pktcnt_list, pktcnt_list_json, size_n, ret);
}

}  // namespace zvn
