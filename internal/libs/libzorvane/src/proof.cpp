// The proof that a table holds a rule set, line for line and meaning by
// meaning: the interface, the protocol, the source (a network the tool
// lists with its host bits cleared), the range, the ports, the verdict,
// the drop prefix naming the rule and the log limit, and nothing more;
// the layout's own lines (the loopback return, the jumps into groups, the
// dispatch by source) alike. The first difference names the rule.

#include "proof.h"

#include <algorithm>
#include <set>
#include <string>
#include <string_view>

#include "countries.h"
#include "families.h"
#include "names.h"

namespace zvn {

namespace {

using Target = ToolLine::Target;

int protocol_number(const Rule &rule, const Family &family)
{
    switch (rule.protocol) {
    case Protocol::tcp: return 6;
    case Protocol::udp: return 17;
    case Protocol::icmp: return family.bit == ipv6.bit ? 58 : 1;
    case Protocol::any: break;
    }
    return 0;
}

const char *protocol_name(int number)
{
    switch (number) {
    case 0: return "all";
    case 6: return "tcp";
    case 17: return "udp";
    case 1: return "icmp";
    case 58: return "ipv6-icmp";
    default: return "another";
    }
}

const char *target_name(Target target)
{
    switch (target) {
    case Target::accept: return "ACCEPT";
    case Target::drop: return "DROP";
    case Target::nflog: return "NFLOG";
    case Target::ret: return "RETURN";
    case Target::jump:
    case Target::go:
    case Target::other: return "";
    case Target::none: break;
    }
    return "none";
}

std::string listed_target(const ToolLine &line)
{
    if (line.target == Target::go)
        return std::string(line.target_chain) + " [goto]";
    if (line.target == Target::jump || line.target == Target::other)
        return std::string(line.target_chain);
    return target_name(line.target);
}

std::string listed_in(const ToolLine &line)
{
    if (line.in.empty())
        return "*";
    return (line.in_negated ? "!" : "") + std::string(line.in);
}

// The length of the network an interval is (the widest prefix whose block
// it fills).
std::uint8_t network_length(const Interval &interval, const Family &family)
{
    return static_cast<std::uint8_t>(family.width - bit_length(interval.last - interval.first));
}

// "the chain", or "the IPv6 chain" where two families are in play.
std::string chain_of(const Family &family)
{
    return ipv6_enabled() ? std::string("the ") + family.name + " chain" : "the chain";
}

// "line 3", or "ZORVANE-7 line 3" in a sub-chain.
std::string line_of(std::size_t chain, std::size_t line)
{
    return (chain == 0 ? std::string() : layout_chain_name(chain) + " ") + "line " + std::to_string(line);
}

std::string differs(std::uint32_t rule, const Family &family, std::size_t chain, std::size_t line, const char *what,
                    std::string_view listed, std::string_view expected)
{
    return (rule == 0 ? "the rule set" : "rule " + std::to_string(rule)) + " does not match " + chain_of(family) +
           ": " + line_of(chain, line) + " has " + what + " \"" + std::string(listed) +
           "\" where the rule set makes \"" + std::string(expected) + "\"";
}

// Compares one listed line with the line the layout makes: "" when they
// agree, else the difference.
class LineComparison {
public:
    LineComparison(const ExpectedChain &expected, const Family &family, std::size_t chain, std::size_t position)
        : expected_(expected), family_(family), chain_(chain), position_(position)
    {
    }

    std::string differs_from(const ExpectedLine &want, const ToolLine &got) const
    {
        const std::uint32_t rule = want.of == ExpectedLine::no_rule ? 0 : expected_.rules[want.of].rule;
        const auto say = [&](const char *what, std::string_view listed, std::string_view made) {
            return differs(rule, family_, chain_, position_, what, listed, made);
        };
        if (got.target != want.target ||
            ((want.target == Target::go || want.target == Target::jump) &&
             got.target_chain != layout_chain_name(want.goes_to)))
            return say("target", listed_target(got), expected_target(want));
        const std::string in = expected_in(want);
        if (listed_in(got) != in)
            return say("in-interface", listed_in(got), in);
        const int protocol = want.of == ExpectedLine::no_rule ? 0 : protocol_number(*expected_.rules[want.of].model, family_);
        if (got.protocol_number != protocol)
            return say("protocol", got.protocol.empty() ? "all" : got.protocol, protocol_name(protocol));
        if (!want.source_known) {
            // not foretold: the tool resolves it its own way
        } else if (want.source_length == 0 && want.target != Target::go) {
            if (got.has_source)
                return say("source", got.source_text, "any");
        } else if (!got.has_source || got.source != want.source) {
            return say("source", got.has_source ? got.source_text : "any",
                       network_text(want.source.first, want.source_length, family_));
        }
        if (want.of == ExpectedLine::no_rule)
            return got.has_range || !got.ports.empty() || got.countries || !got.set_name.empty() || got.limit != 0 ||
                           !got.comment.empty() || got.extra
                       ? say("matches", "more than the layout's own", "")
                       : "";
        return rule_matches(expected_.rules[want.of], want, got, say);
    }

private:
    template <typename Say>
    std::string rule_matches(const ExpectedRule &expected, const ExpectedLine &want, const ToolLine &got,
                             const Say &say) const
    {
        const Rule &rule = *expected.model;
        if (rule.source == SourceKind::range) {
            if (!got.has_range || (rule.source_known && got.range != rule.addresses[0]))
                return say("source IP range", got.has_range ? got.range_text : "none", rule.written.range_text);
        } else if (got.has_range) {
            return say("source IP range", got.range_text, "none");
        }
        // Countries are matched by the country match or by the rule's own
        // address set ("zv4-<rule>-<digest>"), whose entries are compared
        // once the table is proved.
        const bool by_set = !got.set_name.empty();
        if ((rule.source == SourceKind::countries) != (got.countries || by_set))
            return say("matches", got.countries ? "a country match" : by_set ? "an address set" : "no country match",
                       rule.source == SourceKind::countries ? "source countries " + rule.written.country_list : "none");
        if (by_set) {
            std::uint32_t named = 0;
            if (!is_country_set_name(std::string(got.set_name), family_, &named) || named != expected.rule)
                return say("address set", got.set_name, "the country set of rule " + std::to_string(expected.rule));
        }
        if (rule.ports_set()) {
            if (got.ports.empty() || (rule.ports_known && got.port_intervals != rule.ports))
                return say("ports", got.ports.empty() ? "none" : got.ports, rule.written.port_list);
        } else if (!got.ports.empty()) {
            return say("ports", got.ports, "none");
        }
        if (want.target == Target::nflog) {
            const std::string prefix = "RULE=" + std::to_string(expected.rule) + " ACT=DROP";
            if (got.nflog_prefix != prefix)
                return say("log prefix", got.nflog_prefix, prefix);
            if (got.limit != expected.limit || (expected.limit != 0 && got.shared_limit != expected.shared_limit))
                return say("log limit", std::to_string(got.limit) + "/sec", std::to_string(expected.limit) + "/sec");
        } else if (got.limit != 0) {
            return say("matches", "a limit", "none");
        }
        if ((!got.set_name.empty() && rule.source != SourceKind::countries) || !got.comment.empty() || got.extra)
            return say("matches", "an option the rule set does not make", "none");
        return "";
    }

    std::string expected_target(const ExpectedLine &want) const
    {
        if (want.target == Target::go)
            return layout_chain_name(want.goes_to) + " [goto]";
        if (want.target == Target::jump)
            return layout_chain_name(want.goes_to);
        return target_name(want.target);
    }

    std::string expected_in(const ExpectedLine &want) const
    {
        if (want.of == ExpectedLine::no_rule)
            return want.target == Target::ret ? "lo" : "*";
        const ExpectedRule &rule = expected_.rules[want.of];
        if (rule.model->interface_set())
            return rule.model->written.interface_text;
        return rule.lo_returned ? "*" : "!lo";
    }

    const ExpectedChain &expected_;
    const Family &family_;
    std::size_t chain_, position_;
};

bool add_count(std::uint64_t &sum, std::uint64_t value)
{
    if (sum > ~std::uint64_t{0} - value)
        return false;
    sum += value;
    return true;
}

}  // namespace

std::size_t ExpectedChain::lines() const
{
    std::size_t lines = 0;
    for (const auto &chain : chains)
        lines += chain.size();
    return lines;
}

ExpectedChain expected_chain(const RuleSet &set, const Family &family, const Layout &layout, unsigned limit)
{
    ExpectedChain chain;
    chain.indexed = layout.indexed;
    chain.counted.resize(set.rules.size());
    chain.chains.resize(layout.chains.size());
    // One entry per rule of the family, shared by its copies.
    std::vector<std::uint32_t> entry_of(set.rules.size(), ExpectedLine::no_rule);
    for (std::size_t r = 0; r < set.rules.size(); ++r) {
        if (layout.copies[r] == 0)
            continue;
        entry_of[r] = static_cast<std::uint32_t>(chain.rules.size());
        chain.rules.push_back({set.rules[r].number, &set.rules[r], layout.lo_returned, limit, layout.copies[r] > 1});
    }
    for (std::size_t c = 0; c < layout.chains.size(); ++c) {
        std::vector<ExpectedLine> &lines = chain.chains[c];
        for (const LayoutLine &line : layout.chains[c]) {
            switch (line.kind) {
            case LayoutLine::Kind::rule: {
                const Rule &rule = set.rules[line.index];
                const std::uint32_t of = entry_of[line.index];
                // One line per element of the rule's address list, each of
                // its network where the model read it.
                const std::size_t per_target = rule.lines_per_target();
                const auto line_of_element = [&](Target target, std::size_t e) {
                    ExpectedLine want;
                    want.of = of;
                    want.target = target;
                    if (rule.source != SourceKind::address) {
                        want.source_known = true;
                    } else if (rule.source_known && e < rule.addresses.size()) {
                        // The whole space (a length of 0) lists no source.
                        want.source_known = true;
                        want.source = rule.addresses[e];
                        want.source_length = network_length(want.source, family);
                    }
                    return want;
                };
                if (!rule.allow)
                    for (std::size_t e = 0; e < per_target; ++e)
                        lines.push_back(line_of_element(Target::nflog, e));
                for (std::size_t e = 0; e < per_target; ++e) {
                    lines.push_back(line_of_element(rule.allow ? Target::accept : Target::drop, e));
                    chain.counted[line.index].emplace_back(static_cast<std::uint32_t>(c),
                                                           static_cast<std::uint32_t>(lines.size()));
                }
                break;
            }
            case LayoutLine::Kind::dispatch: {
                ExpectedLine want;
                want.target = Target::go;
                want.source_known = true;
                want.source = {line.first, line.first | host_mask(family.width, line.prefix_length)};
                want.source_length = line.prefix_length;
                want.goes_to = line.index;
                lines.push_back(want);
                break;
            }
            case LayoutLine::Kind::jump: {
                ExpectedLine want;
                want.target = Target::jump;
                want.source_known = true;
                want.goes_to = line.index;
                lines.push_back(want);
                break;
            }
            case LayoutLine::Kind::lo_return: {
                ExpectedLine want;
                want.target = Target::ret;
                want.source_known = true;
                lines.push_back(want);
                break;
            }
            }
        }
    }
    return chain;
}

ProofPlan plan_proof(const RuleSet &set, const Family &family)
{
    ProofPlan plan;
    plan.layout = chosen_layout(set, family);
    plan.expected = expected_chain(set, family, plan.layout, 0);
    plan.ready = true;
    return plan;
}

// What the lines of one chain of the layout showed so far.
struct ChainState {
    std::size_t count = 0, holding = 0;
    std::string mismatch;                // its first difference
    std::vector<std::uint32_t> counted;  // per position: the rule it counts for, plus 1; 0: none
    bool nflog = false;                  // a logging line came
};

struct TableProver::State {
    const RuleSet &set;
    const Family &family;
    PacketFilter &filter;
    ProofPlan plan;
    bool again_if_other = true;  // prove the table whole where it shows the other layout
    std::vector<ChainState> chains;
    bool shows_indexed = false;
    long first_limit_chain = -1;  // where the first logging line came
    std::vector<std::uint64_t> packets, bytes;
    std::vector<bool> overflowed;
    std::set<std::string> set_names;  // of the lines that matched

    State(const RuleSet &set_of, const Family &family_of, PacketFilter &filter_of, ProofPlan plan_of)
        : set(set_of), family(family_of), filter(filter_of), plan(std::move(plan_of))
    {
        const auto &expected = plan.expected;
        chains.resize(expected.chains.size());
        for (std::size_t c = 0; c < chains.size(); ++c)
            chains[c].counted.assign(expected.chains[c].size() + 1, 0);
        for (std::size_t rule = 0; rule < expected.counted.size(); ++rule)
            for (const auto &[chain, position] : expected.counted[rule])
                chains[chain].counted[position] = static_cast<std::uint32_t>(rule + 1);
        packets.assign(set.rules.size(), 0);
        bytes.assign(set.rules.size(), 0);
        overflowed.assign(set.rules.size(), false);
    }

    static std::string who(const ExpectedChain &expected, const ExpectedLine &want)
    {
        return want.of == ExpectedLine::no_rule ? std::string("the rule set")
                                                : "rule " + std::to_string(expected.rules[want.of].rule);
    }

    void line(std::string_view name, std::string_view text, const FilterTable::Line &listed)
    {
        const long index = layout_chain_index(name);
        if (index < 0 || static_cast<std::size_t>(index) >= chains.size())
            return;  // another tool's chain, or a sub-chain the plan has not
        const auto c = static_cast<std::size_t>(index);
        ChainState &state = chains[c];
        const std::size_t position = ++state.count;
        const ToolLine got = filter.read_line(text);
        // A line that returns loopback's packets or leads into a sub-chain
        // shows an indexed layout: no flat layout has one.
        if (c == 0 && (got.target == Target::ret || ((got.target == Target::jump || got.target == Target::go) &&
                                                     got.target_chain != chain_name)))
            shows_indexed = true;
        if (got.target == Target::nflog && !state.nflog) {
            state.nflog = true;
            if (first_limit_chain < 0) {
                // The first logging line carries the log limit of them all.
                first_limit_chain = index;
                for (ExpectedRule &rule : plan.expected.rules)
                    rule.limit = got.limit;
            }
        }
        const auto &wanted = plan.expected.chains[c];
        if (position > wanted.size())
            return;
        const ExpectedLine &want = wanted[position - 1];
        std::string difference;
        if (!got.readable || !listed.counted)
            difference = who(plan.expected, want) + " does not match " + chain_of(family) + ": " + line_of(c, position) +
                         " cannot be read";
        else
            difference = LineComparison(plan.expected, family, c, position).differs_from(want, got);
        if (!difference.empty()) {
            if (state.mismatch.empty())
                state.mismatch = std::move(difference);
            return;
        }
        ++state.holding;
        if (!got.set_name.empty())
            set_names.emplace(got.set_name);
        if (const std::uint32_t counted = state.counted[position]; counted != 0)
            if (!add_count(packets[counted - 1], listed.packets) || !add_count(bytes[counted - 1], listed.bytes))
                overflowed[counted - 1] = true;
    }

    TableProof finish(const FilterTable &table)
    {
        TableProof proof;
        proof.packets.assign(set.rules.size(), 0);
        proof.bytes.assign(set.rules.size(), 0);
        proof.overflowed.assign(set.rules.size(), false);
        const FilterTable::Chain *top = table.chain(chain_name);
        if (top == nullptr) {
            proof.mismatch = "the rule set does not match " + chain_of(family) + ": the chain does not exist";
            return proof;
        }
        proof.chain = true;
        proof.indexed = shows_indexed;
        // The lines were compared with the planned layout's: the table must
        // show that layout. (Every logging line of a layout carries one
        // limit, that of the first to come: a table whose lines carry two
        // differs either way.)
        if (again_if_other && plan.layout.indexed != shows_indexed)
            return prove_table(set, family, table, filter);
        for (const FilterTable::Chain &chain : table.chains)
            if (layout_chain_index(chain.name) >= 0) {
                ++proof.chains_listed;
                proof.lines_listed += chain.lines.size();
            }
        proof.layout = std::move(plan.layout);
        proof.expected = std::move(plan.expected);
        if (proof.indexed && !proof.layout.indexed) {
            proof.mismatch = "the rule set does not match " + chain_of(family) +
                             ": the chain holds an indexed layout, and this rule set makes a flat one";
            return proof;
        }
        for (std::size_t c = 0; c < proof.expected.chains.size(); ++c) {
            const auto &wanted = proof.expected.chains[c];
            const ChainState &state = chains[c];
            const std::string holder = c == 0 ? "the chain" : layout_chain_name(c);
            proof.lines_holding += state.holding;
            if (!proof.mismatch.empty())
                continue;
            if (c > 0 && table.chain(layout_chain_name(c)) == nullptr) {
                proof.mismatch = "the rule set does not match " + chain_of(family) + ": its chain " +
                                 layout_chain_name(c) + " is missing";
            } else if (!state.mismatch.empty()) {
                proof.mismatch = state.mismatch;
            } else if (state.count < wanted.size()) {
                proof.mismatch = who(proof.expected, wanted[state.count]) + " does not match " + chain_of(family) + ": " + holder +
                                 " holds " + std::to_string(state.count) + " rule lines, its line " +
                                 std::to_string(state.count + 1) + " is missing";
            } else if (state.count > wanted.size()) {
                proof.mismatch = "the rule set does not match " + chain_of(family) + ": " + holder + " holds " +
                                 std::to_string(state.count) + " rule lines, its " +
                                 (c == 0 && !proof.expected.indexed
                                      ? std::to_string(proof.expected.rules.size()) + " rules make "
                                      : std::string("layout makes ")) +
                                 std::to_string(wanted.size()) + "; " + line_of(c, wanted.size() + 1) +
                                 " belongs to no rule";
            }
        }
        // The sets the lines match on hold what their names say.
        if (proof.mismatch.empty() && !set_names.empty()) {
            const std::string differs = sets_differ(filter, {set_names.begin(), set_names.end()});
            if (!differs.empty())
                proof.mismatch = "the rule set does not match " + chain_of(family) + ": " + differs;
        }
        proof.set_names.assign(set_names.begin(), set_names.end());
        if (proof.mismatch.empty()) {
            proof.packets = std::move(packets);
            proof.bytes = std::move(bytes);
            proof.overflowed = std::move(overflowed);
        }
        return proof;
    }
};

TableProver::TableProver(const RuleSet &set, const Family &family, PacketFilter &filter, ProofPlan plan,
                         bool again_if_other)
    : state_(std::make_unique<State>(set, family, filter, std::move(plan)))
{
    state_->again_if_other = again_if_other;
}

TableProver::~TableProver() = default;

void TableProver::line(std::string_view chain, std::string_view text, const FilterTable::Line &line)
{
    state_->line(chain, text, line);
}

TableProof TableProver::finish(const FilterTable &table)
{
    return state_->finish(table);
}

TableProof prove_table(const RuleSet &set, const Family &family, const FilterTable &table, PacketFilter &filter,
                       ProofPlan *plan)
{
    // The layout the table shows, from ZORVANE's own lines.
    bool indexed = false;
    if (const FilterTable::Chain *top = table.chain(chain_name))
        for (const std::uint32_t l : top->lines) {
            const ToolLine line = filter.read_line(table.lines[l].text);
            if (line.target == Target::ret ||
                ((line.target == Target::jump || line.target == Target::go) && line.target_chain != chain_name)) {
                indexed = true;
                break;
            }
        }
    ProofPlan chosen;
    if (plan != nullptr && plan->ready && plan->layout.indexed == indexed) {
        chosen = std::move(*plan);
    } else {
        chosen.layout = compile_layout(set, family, indexed ? LayoutChoice::indexed : LayoutChoice::flat);
        chosen.expected = expected_chain(set, family, chosen.layout, 0);
        chosen.ready = true;
    }
    // The chains' lines in their order, ZORVANE's first: the first logging
    // line then carries the limit in that order too.
    TableProver prover(set, family, filter, std::move(chosen), false);
    std::vector<const FilterTable::Chain *> ordered;
    for (const FilterTable::Chain &chain : table.chains)
        if (layout_chain_index(chain.name) >= 0)
            ordered.push_back(&chain);
    std::sort(ordered.begin(), ordered.end(), [](const FilterTable::Chain *a, const FilterTable::Chain *b) {
        return layout_chain_index(a->name) < layout_chain_index(b->name);
    });
    for (const FilterTable::Chain *chain : ordered)
        for (const std::uint32_t l : chain->lines)
            prover.line(chain->name, table.lines[l].text, table.lines[l]);
    return prover.finish(table);
}

}  // namespace zvn
