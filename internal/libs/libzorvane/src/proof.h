// The proof that a family's table holds a rule set: the layout its chain
// shows compiled again from the model, the lines that layout makes, and
// each compared with what the tool read back, meaning by meaning; only
// then are a rule's counters told, summed over its copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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
};
// Proves a table against a rule set, reading its lines through the filter.
TableProof prove_table(const RuleSet &set, const Family &family, const FilterTable &table, PacketFilter &filter);

}  // namespace zvn
