// Counts carried over an apply (see carry_counts.h).

#include "carry_counts.h"

#include <atomic>
#include <deque>
#include <unordered_map>
#include <utility>

#include "installed.h"
#include "layout.h"
#include "log.h"
#include "proof.h"

namespace zvn {

namespace {

std::atomic<bool> carrying{false};

// The same rule is the same verdict and the same meaning in words, which
// name every match it has.
std::string rule_key(const Rule &rule)
{
    return (rule.allow ? "allow " : "drop ") + rule.description();
}

}  // namespace

bool keeping_counts()
{
    return carrying.load();
}

void keep_counts(bool keep)
{
    carrying.store(keep);
}

struct CountCarry::State {
    PacketFilter &filter;
    std::vector<const Family *> families;
    std::shared_ptr<const RuleSet> old_set;
    std::vector<std::unique_ptr<TableRead>> reads;
    std::vector<bool> finished;
    // Per family, per rule key, the counts of the old rules in their order.
    std::vector<std::unordered_map<std::string, std::deque<std::pair<std::uint64_t, std::uint64_t>>>> counts;

    explicit State(PacketFilter &filter_of) : filter(filter_of) {}

    bool same_set = false;
    std::vector<bool> indexed;
    std::vector<unsigned> limits;

    void finish(std::size_t f, const Layout &layout)
    {
        if (f >= reads.size() || finished[f])
            return;
        finished[f] = true;
        if (!reads[f] || reads[f]->finish() != 0)
            return;
        // A re-apply of the set in force as it stands: the new layout's
        // lines are the ones to prove against, compiled already.
        ProofPlan plan;
        if (same_set && layout.indexed == indexed[f] && log_limit() == limits[f]) {
            plan.layout = layout;
            plan.expected = expected_chain(*old_set, *families[f], layout, limits[f]);
            plan.ready = true;
        }
        const TableProof proof = prove_table(*old_set, *families[f], reads[f]->table(), filter, plan.ready ? &plan : nullptr);
        if (!proof.mismatch.empty()) {
            // Another tool changed the chain: its counts are of no rule.
            log_record("the counts of the ", families[f]->name, " chain are not carried over: ", proof.mismatch);
            return;
        }
        for (std::size_t r = 0; r < old_set->rules.size() && r < proof.packets.size(); ++r)
            if (old_set->rules[r].in_family(*families[f]) && !proof.overflowed[r])
                counts[f][rule_key(old_set->rules[r])].emplace_back(proof.packets[r], proof.bytes[r]);
    }
};

CountCarry::CountCarry(PacketFilter &filter, const std::vector<const Family *> &families, const RuleSet &incoming)
    : state_(std::make_unique<State>(filter))
{
    if (!keeping_counts())
        return;
    const RecordRead read = read_installed();
    if (!read.record || read.state != RecordRead::State::read || read.record->rules_text.empty())
        return;
    state_->same_set = read.record->rules_text == incoming.text;
    // The set in force read from its record, unless it is the one coming in
    // (then borrowed: it outlives the carry).
    state_->old_set = state_->same_set ? std::shared_ptr<const RuleSet>(&incoming, [](const RuleSet *) {})
                                       : read.record->set();
    if (!state_->old_set)
        return;
    state_->families = families;
    state_->counts.resize(families.size());
    state_->finished.assign(families.size(), false);
    for (const Family *family : families) {
        const InstalledFamily *installed = read.record->of(*family);
        state_->indexed.push_back(installed != nullptr && installed->indexed);
        state_->limits.push_back(installed != nullptr ? installed->log_limit : 0);
        state_->reads.push_back(installed != nullptr ? filter.read_table(*family, Records::captured) : nullptr);
    }
}

CountCarry::~CountCarry()
{
    for (std::size_t f = 0; f < state_->reads.size(); ++f)
        if (state_->reads[f] && !state_->finished[f])
            state_->reads[f]->finish();
}

std::string CountCarry::with_counts(std::size_t f, const RuleSet &set, const std::string &text,
                                    const std::vector<std::uint32_t> &line_rules, const Layout &layout)
{
    if (!state_->old_set || f >= state_->reads.size())
        return text;
    state_->finish(f, layout);
    auto &counts = state_->counts[f];
    if (counts.empty())
        return text;
    // Each new rule takes the counts of the first old rule like it not yet
    // taken: a rule written twice keeps both counts.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> carried(set.rules.size(), {0, 0});
    bool any = false;
    for (std::size_t r = 0; r < set.rules.size(); ++r) {
        if (!set.rules[r].in_family(*state_->families[f]))
            continue;
        const auto found = counts.find(rule_key(set.rules[r]));
        if (found == counts.end() || found->second.empty())
            continue;
        carried[r] = found->second.front();
        found->second.pop_front();
        any = any || carried[r].first != 0 || carried[r].second != 0;
    }
    if (!any)
        return text;
    return state_->filter.with_counts(text, line_rules, carried);
}

}  // namespace zvn
