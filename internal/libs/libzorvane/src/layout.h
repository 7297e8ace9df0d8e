// The chain's layout: which chain each rule's lines stand in. Flat: every
// rule's lines in ZORVANE, in order, as the restore file has always been.
// Indexed: ZORVANE sends each packet, by its source address, through a tree
// of sub-chains ZORVANE-1, ZORVANE-2, ... to a leaf that holds, in order,
// every rule whose source the packet can have; what a packet meets first
// still decides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "addresses.h"
#include "rule_model.h"

namespace zvn {

struct Family;

enum class LayoutChoice { flat, indexed, automatic };

// The process's choice (zvn_set_layout). Until a client makes one, every
// operation writes the flat layout and does exactly what it always did;
// once it has, an apply also takes away the sub-chains an earlier layout
// left (they are known from the chain ZORVANE-INDEX).
bool layout_chosen();
LayoutChoice layout_choice();
void choose_layout(LayoutChoice choice);
// Lines logged per second per rule (zvn_set_log_limit); 0: every drop.
unsigned log_limit();
void set_log_limit(unsigned per_second);
constexpr unsigned max_log_limit = 10000;

// The automatic choice takes the indexed layout from this many rules of a
// family on, the flat one below: small sets read as they always did. From
// 16 rules on, the indexed layout takes NEW packets 1.4 times as fast on
// the nf_tables back end (1.9 at 32, 2.9 at 64); on the legacy back end,
// whose lines cost little, it costs nothing.
constexpr std::size_t auto_indexed_from = 16;

// Sub-chains beyond this many are never made, nor read from a listing.
constexpr std::size_t max_subchains = 100000;

struct LayoutLine {
    enum class Kind : std::uint8_t { rule, dispatch, jump, lo_return };
    Kind kind = Kind::rule;
    std::uint8_t prefix_length = 0;  // dispatch: "-s first/length -g chain"
    std::uint32_t index = 0;         // rule: into RuleSet::rules; dispatch, jump: the chain
    AddressBits first = 0;           // dispatch
};

struct Layout {
    bool indexed = false;
    // The first line returns loopback's packets (no rule of the set can
    // match them), so no line needs "! -i lo".
    bool lo_returned = false;
    std::vector<std::vector<LayoutLine>> chains;  // [0] ZORVANE, [k] ZORVANE-k
    std::vector<std::uint32_t> copies;            // per rule of the set: its copies here
    // Figures, in rule lines as the tool lists them (a source list of k
    // addresses makes k): all of them, and the most a packet can walk.
    std::size_t lines = 0;
    std::size_t deepest_walk = 0;
    std::size_t groups = 0;  // rule groups, each a tree or a run of plain lines
};

// What an earlier indexed layout left in a family's filter table, as
// ZORVANE-INDEX tells it: taken away in the commit of the next layout.
struct StandingLayout {
    bool index_chain = false;   // ZORVANE-INDEX stands
    std::size_t subchains = 0;  // ZORVANE-1 to ZORVANE-subchains stand
};

// "ZORVANE" for chain 0, "ZORVANE-k" for chain k; and back: the chain a
// name names (0, k up to max_subchains), -1 for any other name, the index
// chain's among them.
std::string layout_chain_name(std::size_t chain);
long layout_chain_index(std::string_view name);
// Whether a chain is one of a layout's: ZORVANE, ZORVANE-k, ZORVANE-INDEX.
bool layout_chain(std::string_view name);
// The chains beside ZORVANE of a layout that stands, and of a layout.
std::vector<std::string> standing_chains(const StandingLayout &standing);
std::vector<std::string> layout_subchains(const Layout &layout);
// The index chain's comment, and the number of sub-chains a comment names
// (0 for a text that is no such comment).
std::string index_comment(std::size_t subchains);
std::size_t subchains_named(std::string_view comment);

// The number the decimal digits at the start of a text make, at most cap
// (a bound well below the largest size); 0 where it starts with none.
std::size_t leading_number(std::string_view text, std::size_t cap);

// The layout of a family's chain for a rule set: flat, indexed (which is
// flat where no tree would shorten the walk), or automatic (by size).
// Deterministic: a reader that compiles it again gets the same chains.
Layout compile_layout(const RuleSet &set, const Family &family, LayoutChoice choice);
// The indexed layout (layout_tree.cpp); nothing where the set stays flat
// (too few rules, values the tool would read as options, no tree that
// walks shorter).
std::optional<Layout> indexed_layout(const RuleSet &set, const Family &family);
// The layout the process's choice makes (flat until one is made), and one
// per active family.
Layout chosen_layout(const RuleSet &set, const Family &family);
std::vector<Layout> chosen_layouts(const RuleSet &set);
// Whether a rule's interface can name the loopback interface ("lo", or a
// wildcard that "lo" begins with).
bool may_match_loopback(const Rule &rule);

}  // namespace zvn
