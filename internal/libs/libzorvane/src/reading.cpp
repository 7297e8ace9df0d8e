// One reading of the packet filter and the questions asked of it; and the
// exported handle of a reading.

#include "reading.h"

#include <algorithm>
#include <new>
#include <string>

#include "countries.h"
#include "errors.h"
#include "families.h"
#include "frame.h"
#include "handle.h"
#include "iptables/iptables.h"
#include "libzorvane.h"
#include "log.h"
#include "names.h"
#include "rule_reader.h"

namespace zvn {

TableReading::TableReading(Records records) : families_(active_families())
{
    lock_.emplace();
    locked_ = lock_->locked();
    if (!locked_) {
        lock_.reset();
        return;
    }
    PacketFilter &filter = packet_filter();
    for (const Family *family : families_)
        reads_.push_back(filter.read_table(*family, records));
    finished_.assign(families_.size(), false);
    statuses_.assign(families_.size(), -1);
}

TableReading::~TableReading() = default;

int TableReading::finish(std::size_t family, LineSink *sink)
{
    if (!finished_[family]) {
        finished_[family] = true;
        statuses_[family] = reads_[family]->finish(sink);
        if (std::all_of(finished_.begin(), finished_.end(), [](bool done) { return done; }))
            lock_.reset();  // every table is read: the lock is another's again
    }
    return statuses_[family];
}

const FilterTable &TableReading::table(std::size_t family) const
{
    return reads_[family]->table();
}

int TableReading::prove(std::size_t family, const RuleSet &set, TableProof &proof)
{
    const Family &one = *families_[family];
    PacketFilter &filter = packet_filter();
    if (finished_[family]) {
        if (statuses_[family] == 0) {
            ProofPlan plan = plan_proof(set, one);
            proof = prove_table(set, one, table(family), filter, &plan);
        }
        return statuses_[family];
    }
    // The lines the table should show are worked out while the tool lists
    // it, and each line compared as it comes.
    TableProver prover(set, one, filter, plan_proof(set, one));
    const int status = finish(family, &prover);
    if (status == 0)
        proof = prover.finish(table(family));
    return status;
}

namespace {

int failed_read(const Family &family, int status)
{
    ErrorRecord &error = set_error(ZVN_ERROR_LISTING, std::string("the listing of ") + family.name +
                                                          " chain failed (status " + std::to_string(status) + ")");
    error.status = status;
    error.family = family.key;
    return status;
}

}  // namespace

int counts_of(TableReading &reading, const RuleSet &set, RuleCounts &counts)
{
    const std::size_t rules = set.rules.size();
    counts.outcome = RuleCounts::Outcome::unread;
    counts.rules = rules;
    counts.packets.assign(rules, 0);
    counts.bytes.assign(rules, 0);
    counts.told.assign(rules, false);
    std::vector<bool> overflowed(rules, false);
    for (std::size_t f = 0; f < reading.families().size(); ++f) {
        const Family &family = *reading.families()[f];
        TableProof proof;
        if (const int status = reading.prove(f, set, proof); status != 0)
            return failed_read(family, status);
        if (!proof.mismatch.empty()) {
            log_record(proof.mismatch);
            set_error(ZVN_ERROR_MISMATCH, proof.mismatch).family = family.key;
            return -1;
        }
        for (std::size_t rule = 0; rule < rules; ++rule) {
            std::uint64_t &packets = counts.packets[rule], &bytes = counts.bytes[rule];
            overflowed[rule] = overflowed[rule] || proof.overflowed[rule] ||
                               packets > ~std::uint64_t{0} - proof.packets[rule] ||
                               bytes > ~std::uint64_t{0} - proof.bytes[rule];
            if (!overflowed[rule]) {
                packets += proof.packets[rule];
                bytes += proof.bytes[rule];
            }
        }
    }
    counts.outcome = RuleCounts::Outcome::read;
    int ret = 0;
    for (std::size_t rule = 0; rule < rules; ++rule) {
        counts.told[rule] = !overflowed[rule];
        if (overflowed[rule]) {
            log_record("the counts of rule ", rule + 1, " overflow their sum");
            set_error(ZVN_ERROR_COUNT, "rule " + std::to_string(rule + 1) + ": its counts overflow their sum").rule =
                rule + 1;
            ret = -1;
        }
    }
    return ret;
}

int verify_of(TableReading &reading, const RuleSet &set, nlohmann::json &result)
{
    result = nlohmann::json::object();
    for (std::size_t f = 0; f < reading.families().size(); ++f) {
        TableProof proof;
        reading.prove(f, set, proof);
        nlohmann::json one = {{"chain", proof.chain}};
        if (!proof.chain) {
            one["holds"] = false;
            one["differs"] = "the chain does not exist or cannot be listed";
        } else {
            one["holds"] = proof.mismatch.empty();
            one["layout"] = proof.indexed ? "indexed" : "flat";
            one["chains"] = proof.chains_listed;
            one["lines"] = proof.lines_listed;
            one["expected_lines"] = proof.expected.lines();
            one["holding_lines"] = proof.lines_holding;
            if (proof.mismatch.empty()) {
                one["deepest_walk"] = proof.layout.deepest_walk;
                // The log limit its drops show (that of the first).
                for (const ExpectedRule &rule : proof.expected.rules)
                    if (!rule.model->allow) {
                        one["log_limit"] = rule.limit;
                        break;
                    }
            }
            else
                one["differs"] = proof.mismatch;
        }
        result[reading.families()[f]->key] = std::move(one);
    }
    return 0;
}

int status_of(TableReading &reading, nlohmann::json &result)
{
    result = nlohmann::json::object();
    PacketFilter &filter = packet_filter();
    const Frame frame = read_frame();
    for (std::size_t f = 0; f < reading.families().size(); ++f) {
        const Family &family = *reading.families()[f];
        if (const int status = reading.finish(f); status != 0)
            return listing_failed(family, "filter table", status);
        const FilterTable &table = reading.table(f);
        const InputView view = filter.read_input_view(table);
        const FrameState state = frame_state(view, frame.of(family));
        const FilterTable::Chain *chain = table.chain(chain_name);
        nlohmann::json one = {{"chain", chain != nullptr},
                              {"hooks", state.hooks.size()},
                              {"rule_lines", chain != nullptr ? chain->lines.size() : 0},
                              {"policy", view.policy},
                              {"input_rules", view.lines.size()},
                              {"hook_position", state.hooks.empty() ? 0 : state.hooks[0]},
                              {"ahead", state.hooks.empty() ? std::vector<std::string>{} : state.ahead},
                              {"prepared_missing", state.missing_prepared},
                              {"established_pass", state.established},
                              {"loopback_pass", state.loopback},
                              {"container_chains", state.containers}};
        nlohmann::json sets = nlohmann::json::array();
        for (const SetReport &set : sets_in_table(filter, table, family))
            sets.push_back({{"name", set.name}, {"rule", set.rule}, {"stands", set.stands},
                            {"intact", set.intact}, {"entries", set.entries}});
        if (!sets.empty())
            one["country_sets"] = std::move(sets);
        if (frame.of(family) != nullptr)
            one["hook_place"] = frame.where == ZVN_HOOK_FIRST ? "first" : frame.where == ZVN_HOOK_LAST ? "last" : "kept";
        result[family.key] = std::move(one);
    }
    return 0;
}

}  // namespace zvn

using namespace zvn;

extern "C" {

zvn_table *zvn_table_read(void)
{
    clear_error();
    auto *table = new (std::nothrow) zvn_table(Records::captured);
    if (table == nullptr) {
        set_error(ZVN_ERROR_ARGUMENT, "out of memory");
        return nullptr;
    }
    if (!table->reading.locked()) {
        delete table;
        return nullptr;
    }
    return table;
}

void zvn_table_free(zvn_table *table)
{
    delete table;
}

int zvn_table_status_json(zvn_table *table, char *status_json, size_t size_n)
{
    clear_error();
    if (table == nullptr || status_json == nullptr)
        return null_argument();
    nlohmann::json result;
    if (const int status = status_of(table->reading, result); status != 0)
        return status;
    return copy_out(result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), status_json, size_n);
}

int zvn_table_verify_json(zvn_table *table, zvn_rules *rules, char *result_json, size_t size_n)
{
    clear_error();
    if (table == nullptr || rules == nullptr || result_json == nullptr)
        return null_argument();
    nlohmann::json result;
    verify_of(table->reading, *rules_of_handle(rules), result);
    return copy_out(result.dump(), result_json, size_n);
}

int zvn_table_counts(zvn_table *table, zvn_rules *rules, struct zvn_rule_count *counts, size_t n)
{
    clear_error();
    if (table == nullptr || rules == nullptr || (counts == nullptr && n > 0))
        return null_argument();
    const RuleSet &set = *rules_of_handle(rules);
    if (n < set.rules.size()) {
        set_error(ZVN_ERROR_BUFFER, "the array holds " + std::to_string(n) + " counts, and the set has " +
                                        std::to_string(set.rules.size()) + " rules")
            .needed = set.rules.size();
        return -1;
    }
    RuleCounts read;
    const int ret = counts_of(table->reading, set, read);
    if (read.outcome != RuleCounts::Outcome::read)
        return ret;
    for (std::size_t r = 0; r < read.rules; ++r)
        counts[r] = {read.told[r] ? read.packets[r] : 0, read.told[r] ? read.bytes[r] : 0, read.told[r] ? 1 : 0};
    return ret;
}

}  // extern "C"
