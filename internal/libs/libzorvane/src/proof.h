// The proof that a family's table holds a rule set: the layout its chain
// shows compiled again from the model, the lines that layout makes, and
// each compared with what the tool read back, meaning by meaning; only
// then are a rule's counters told, summed over its copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "layout.h"
#include "packet_filter.h"
#include "rule_model.h"

namespace zvn {

struct Family;

// What a family's chains must show once they hold a rule set in a layout.
struct ExpectedRule {
    std::uint32_t rule;  // from 1, over the whole rule set
    const Rule *model;
    bool lo_returned;    // behind the loopback return: no "! -i lo"
    unsigned limit;      // the logging line's limit, 0: none
    bool shared_limit;   // its copies share one
};
struct ExpectedLine {
    static constexpr std::uint32_t no_rule = ~std::uint32_t{0};
    std::uint32_t of = no_rule;  // into ExpectedChain::rules; no_rule for a line of the layout's own
    ToolLine::Target target = ToolLine::Target::none;
    bool source_known = false;   // the source is foretold (else not compared)
    Interval source;
    std::uint8_t source_length = 0;
    std::uint32_t goes_to = 0;   // jump, go: the chain
};
struct ExpectedChain {
    bool indexed = false;
    std::vector<ExpectedRule> rules;
    std::vector<std::vector<ExpectedLine>> chains;  // [0] ZORVANE, [k] ZORVANE-k
    // Per rule of the set: the (chain, position) of each line counted.
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> counted;
    std::size_t lines() const;
};
// The lines of a layout with a log limit (0: none).
ExpectedChain expected_chain(const RuleSet &set, const Family &family, const Layout &layout, unsigned limit);

struct TableProof {
    bool chain = false;       // ZORVANE stands
    bool indexed = false;     // ZORVANE shows an indexed layout
    Layout layout;
    ExpectedChain expected;
    std::string mismatch;     // "" when the table holds the set
    std::size_t chains_listed = 0, lines_listed = 0, lines_holding = 0;
    // Per rule: its packets and bytes, summed over its counted lines; and
    // whether a sum overflowed.
    std::vector<std::uint64_t> packets, bytes;
    std::vector<bool> overflowed;
    // The library's address sets its lines match on.
    std::vector<std::string> set_names;
};
// The layout and the lines a family's table should show, compiled ahead
// (while the tool lists the table) for the layout the process would
// install; a proof of a table that shows that layout takes them.
struct ProofPlan {
    bool ready = false;
    Layout layout;
    ExpectedChain expected;
};
ProofPlan plan_proof(const RuleSet &set, const Family &family);

// A proof made as the table comes in: told each line by the read (see
// TableRead::finish), it compares the line with the planned layout's at
// once; finish() then has little left to do. Where the table shows the
// other layout, finish() proves the table again, whole.
class TableProver : public LineSink {
public:
    // again_if_other: prove the table whole where it shows the other layout.
    TableProver(const RuleSet &set, const Family &family, PacketFilter &filter, ProofPlan plan,
                bool again_if_other = true);
    ~TableProver() override;
    TableProver(const TableProver &) = delete;
    TableProver &operator=(const TableProver &) = delete;
    void line(std::string_view chain, std::string_view text, const FilterTable::Line &line) override;
    // The proof, once the table the lines came from is read.
    TableProof finish(const FilterTable &table);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Proves a table read before against a rule set (with the plan where the
// table shows its layout).
TableProof prove_table(const RuleSet &set, const Family &family, const FilterTable &table, PacketFilter &filter,
                       ProofPlan *plan = nullptr);

}  // namespace zvn
