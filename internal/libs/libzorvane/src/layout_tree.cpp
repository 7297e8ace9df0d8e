// The indexed layout's compiler. Each rule of a family is placed by its
// source intervals (a rule without a source the tree can place, such as
// countries or any source, stands everywhere). A group of consecutive
// rules becomes a tree of sub-chains: a node splits the span of the
// addresses of the rules that do not cover it a few bits at a time
// ("-s 10.0.0.0/11 -g ZORVANE-7"), each child holding, in order, every rule
// its addresses can meet, down to leaves whose walk is small; a packet of
// no child meets the node's covering rules after its dispatch lines. What a
// line costs is what its first match costs on the nf_tables back end. The
// set is split into groups where rules placed everywhere would be copied
// for nothing; a tree that passes its line or chain budget is rebuilt with
// bigger leaves, and plain lines stand where no tree walks shorter.

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "families.h"
#include "layout.h"

namespace zvn {

namespace {

// What one line costs a packet that it does not match, in units of the
// cheapest line (measured on the nf_tables back end, where a line that
// first compares the source address is cheap, and an interface name or a
// match module before it costs more than ten such lines).
constexpr unsigned source_first_line = 1;
constexpr unsigned interface_first_line = 13;
constexpr unsigned module_first_line = 16;  // iprange, geoip
constexpr unsigned other_line = 2;          // a protocol, or nothing

// A leaf's walk, to begin with (a sixteenth of the span's, within these
// bounds): doubled while a tree passes its budget.
constexpr std::size_t least_leaf_cost = 16;
constexpr std::size_t most_first_leaf_cost = 128;
// At most 2^6 dispatch lines in a node: a wider node is walked line by line.
constexpr unsigned max_stride = 6;
// A group's tree may hold this many times its rules' plain lines.
constexpr std::size_t line_budget = 4;
// Sub-chains in all: their number, more than their lines, makes installs
// slow on the nf_tables back end.
constexpr std::size_t subchain_budget = 4000;
// A span of fewer rules stays plain lines.
constexpr std::size_t min_tree_rules = 8;

// A rule as the compiler places it.
struct Placed {
    bool in_family = false;
    bool everywhere = true;  // no source the tree can place: every leaf holds it
    std::vector<Interval> sources;
    std::uint32_t lines = 0;      // listed lines of one copy
    std::uint32_t cost = 0;       // one copy's walk, behind the loopback return
    std::uint32_t flat_cost = 0;  // the same with "! -i lo" on its lines
};

struct Walk {
    std::size_t cost = 0, lines = 0;
};

struct Built {
    std::uint32_t chain = 0;
    Walk walk;
};

std::uint32_t line_cost(const Rule &rule, bool lo_returned)
{
    if (rule.interface_set() || !lo_returned)
        return interface_first_line;
    switch (rule.source) {
    case SourceKind::address:
        return source_first_line;
    case SourceKind::range:
    case SourceKind::countries:
        return module_first_line;
    case SourceKind::none:
        break;
    }
    return other_line;
}

Placed place(const Rule &rule, const Family &family, bool lo_returned)
{
    Placed placed;
    placed.in_family = true;
    const auto per_target = static_cast<std::uint32_t>(rule.lines_per_target());
    const std::uint32_t lines = (rule.allow ? 1u : 2u) * per_target;
    placed.lines = lines;
    placed.cost = lines * line_cost(rule, lo_returned);
    placed.flat_cost = lines * line_cost(rule, false);
    // A source the model could read places the rule; any other (countries,
    // any source, a value the tool reads its own way) stands everywhere.
    if ((rule.source == SourceKind::address || rule.source == SourceKind::range) && rule.source_known &&
        rule.source_family == family.bit && !rule.addresses.empty()) {
        placed.everywhere = false;
        placed.sources = rule.addresses;
    }
    return placed;
}

// What walking the lines of rules, one after another, costs a packet.
Walk plain_walk(const std::vector<Placed> &placed, const std::vector<std::uint32_t> &rules)
{
    Walk walk;
    for (const std::uint32_t r : rules) {
        walk.cost += placed[r].cost;
        walk.lines += placed[r].lines;
    }
    return walk;
}

// Appends the lines of rules to a chain, in order: their walk.
Walk append_rules(const std::vector<Placed> &placed, const std::vector<std::uint32_t> &rules,
                  std::vector<LayoutLine> &chain)
{
    for (const std::uint32_t r : rules)
        chain.push_back({LayoutLine::Kind::rule, 0, r, 0});
    return plain_walk(placed, rules);
}

bool intersects(const Interval &interval, AddressBits first, AddressBits last)
{
    return interval.first <= last && interval.last >= first;
}

bool covers(const Placed &rule, AddressBits first, AddressBits last)
{
    if (rule.everywhere)
        return true;
    for (const Interval &interval : rule.sources)
        if (interval.first <= first && interval.last >= last)
            return true;
    return false;
}

// Builds one group's tree into the layout's chains, within a line and a
// chain budget; an attempt that passes either stops early and is undone by
// the caller.
class TreeBuilder {
public:
    TreeBuilder(const std::vector<Placed> &placed, unsigned width, std::size_t leaf_cost,
                std::vector<std::vector<LayoutLine>> &chains, std::size_t max_lines, std::size_t max_chains)
        : placed_(placed), width_(width), leaf_cost_(leaf_cost), chains_(chains), max_lines_(max_lines),
          max_chains_(max_chains)
    {
    }

    std::optional<Built> build(const std::vector<std::uint32_t> &rules)
    {
        const Built root = node(0, 0, rules);
        if (over_)
            return std::nullopt;
        return root;
    }

private:
    std::uint32_t new_chain()
    {
        chains_.emplace_back();
        if (++chains_made_ > max_chains_)
            over_ = true;
        return static_cast<std::uint32_t>(chains_.size() - 1);
    }

    void add_lines(std::size_t lines)
    {
        lines_ += lines;
        if (lines_ > max_lines_)
            over_ = true;
    }

    Built leaf(const std::vector<std::uint32_t> &rules)
    {
        Built built;
        built.chain = new_chain();
        std::vector<LayoutLine> lines;
        lines.reserve(rules.size());
        built.walk = append_rules(placed_, rules, lines);
        add_lines(built.walk.lines);
        chains_[built.chain] = std::move(lines);
        return built;
    }

    Built node(AddressBits first, unsigned length, const std::vector<std::uint32_t> &rules)
    {
        if (over_)
            return {};
        const AddressBits last = first | host_mask(width_, length);
        std::vector<std::uint32_t> cover, partial;
        std::size_t all_cost = 0, partial_cost = 0;
        for (const std::uint32_t r : rules) {
            all_cost += placed_[r].cost;
            if (covers(placed_[r], first, last)) {
                cover.push_back(r);
            } else {
                partial.push_back(r);
                partial_cost += placed_[r].cost;
            }
        }
        if (partial.empty() || all_cost <= leaf_cost_ || length >= width_)
            return leaf(rules);

        // The span of the partial rules' sources within this node: the
        // children split that span, not the whole node, so that a cluster
        // of addresses is reached in one step.
        AddressBits low = last, high = first;
        for (const std::uint32_t r : partial)
            for (const Interval &interval : placed_[r].sources)
                if (intersects(interval, first, last)) {
                    low = std::min(low, std::max(interval.first, first));
                    high = std::max(high, std::min(interval.last, last));
                }
        const unsigned span_length = width_ - bit_length(low ^ high);
        unsigned stride = 1;
        while (stride < max_stride && (partial_cost >> stride) > leaf_cost_)
            ++stride;
        const unsigned child_length = std::min(width_, span_length + stride);
        const AddressBits base = low & ~host_mask(width_, span_length);
        const std::size_t children = std::size_t{1} << (child_length - span_length);
        const unsigned shift = width_ - child_length;
        const auto child_of = [&](AddressBits address) {
            return shift >= 128 ? std::size_t{0} : static_cast<std::size_t>((address - base) >> shift);
        };
        const auto clipped = [&](const Interval &interval) {
            return Interval{std::max(interval.first, first), std::min(interval.last, last)};
        };

        std::vector<bool> needed(children, false);
        for (const std::uint32_t r : partial)
            for (const Interval &interval : placed_[r].sources)
                if (intersects(interval, first, last)) {
                    const Interval part = clipped(interval);
                    for (std::size_t c = child_of(part.first); c <= child_of(part.last); ++c)
                        needed[c] = true;
                }
        std::vector<std::vector<std::uint32_t>> lists(children);
        std::vector<std::uint32_t> last_rule(children, ~std::uint32_t{0});
        for (const std::uint32_t r : rules) {
            if (covers(placed_[r], first, last)) {
                for (std::size_t c = 0; c < children; ++c)
                    if (needed[c])
                        lists[c].push_back(r);
                continue;
            }
            for (const Interval &interval : placed_[r].sources) {
                if (!intersects(interval, first, last))
                    continue;
                const Interval part = clipped(interval);
                for (std::size_t c = child_of(part.first); c <= child_of(part.last); ++c)
                    if (last_rule[c] != r) {
                        lists[c].push_back(r);
                        last_rule[c] = r;
                    }
            }
        }
        // Where every child would hold every rule, splitting only copies.
        bool shorter = false;
        for (std::size_t c = 0; c < children; ++c)
            shorter = shorter || (needed[c] && lists[c].size() < rules.size());
        if (!shorter)
            return leaf(rules);

        Built built;
        built.chain = new_chain();
        std::vector<LayoutLine> lines;
        std::size_t dispatched = 0;
        for (std::size_t c = 0; c < children && !over_; ++c) {
            if (!needed[c])
                continue;
            const AddressBits child_first = base + (shift >= 128 ? AddressBits(0) : AddressBits(c) << shift);
            const Built child = node(child_first, child_length, lists[c]);
            lines.push_back({LayoutLine::Kind::dispatch, static_cast<std::uint8_t>(child_length), child.chain, child_first});
            ++dispatched;
            built.walk.cost = std::max(built.walk.cost, dispatched + child.walk.cost);
            built.walk.lines = std::max(built.walk.lines, dispatched + child.walk.lines);
            std::vector<std::uint32_t>().swap(lists[c]);
        }
        // A packet of none of the children meets only the covering rules.
        Walk fall = append_rules(placed_, cover, lines);
        fall.cost += dispatched;
        fall.lines += dispatched;
        built.walk.cost = std::max(built.walk.cost, fall.cost);
        built.walk.lines = std::max(built.walk.lines, fall.lines);
        add_lines(fall.lines);
        chains_[built.chain] = std::move(lines);
        return built;
    }

    const std::vector<Placed> &placed_;
    const unsigned width_;
    const std::size_t leaf_cost_;
    std::vector<std::vector<LayoutLine>> &chains_;
    const std::size_t max_lines_, max_chains_;
    std::size_t lines_ = 0, chains_made_ = 0;
    bool over_ = false;
};

// The groups of an indexed layout, in the rule set's order: trees where
// they shorten the walk within budget, plain lines elsewhere (consecutive
// plain rules share one chain).
class GroupCompiler {
public:
    GroupCompiler(const std::vector<Placed> &placed, unsigned width, std::vector<std::vector<LayoutLine>> &chains)
        : placed_(placed), width_(width), chains_(chains)
    {
    }

    void compile(const std::vector<std::uint32_t> &rules)
    {
        compile_range(rules, 0, rules.size());
        flush_plain();
    }

    const std::vector<Built> &groups() const { return groups_; }

private:
    void flush_plain()
    {
        if (plain_.empty())
            return;
        Built built;
        built.chain = static_cast<std::uint32_t>(chains_.size());
        chains_.emplace_back();
        built.walk = append_rules(placed_, plain_, chains_.back());
        plain_.clear();
        groups_.push_back(built);
    }

    void plain(const std::vector<std::uint32_t> &rules, std::size_t from, std::size_t to)
    {
        plain_.insert(plain_.end(), rules.begin() + static_cast<std::ptrdiff_t>(from),
                      rules.begin() + static_cast<std::ptrdiff_t>(to));
    }

    // A tree of the span within budget that walks shorter than its plain
    // lines; leaves grow while it does not fit.
    std::optional<Built> tree(const std::vector<std::uint32_t> &span)
    {
        const auto [span_cost, span_lines] = plain_walk(placed_, span);
        const std::size_t used = chains_.size() - 1;
        if (used + 2 > subchain_budget)
            return std::nullopt;
        // The tree, its jump and ZORVANE's loopback return within budget.
        const std::size_t max_lines = line_budget * span_lines - 2;
        const std::size_t first_leaf_cost = std::clamp(span_cost / 16, least_leaf_cost, most_first_leaf_cost);
        for (std::size_t leaf_cost = first_leaf_cost; leaf_cost < span_cost; leaf_cost *= 2) {
            const std::size_t mark = chains_.size();
            TreeBuilder builder(placed_, width_, leaf_cost, chains_, max_lines, subchain_budget - used);
            const auto built = builder.build(span);
            if (built && chains_.size() - mark > 1 && built->walk.cost < span_cost && built->walk.lines < span_lines)
                return built;
            chains_.resize(mark);
        }
        return std::nullopt;
    }

    void compile_range(const std::vector<std::uint32_t> &rules, std::size_t from, std::size_t to)
    {
        // Rules placed everywhere at either end gain nothing from a tree.
        while (from < to && placed_[rules[from]].everywhere) {
            plain(rules, from, from + 1);
            ++from;
        }
        std::size_t end = to;
        while (end > from && placed_[rules[end - 1]].everywhere)
            --end;
        if (end - from >= min_tree_rules) {
            const std::vector<std::uint32_t> span(rules.begin() + static_cast<std::ptrdiff_t>(from),
                                                  rules.begin() + static_cast<std::ptrdiff_t>(end));
            if (const auto built = tree(span)) {
                flush_plain();
                groups_.push_back(*built);
            } else if (end - from >= 2 * min_tree_rules) {
                // Split where a rule placed everywhere stands nearest the
                // middle (it is then copied into neither half), else in the
                // middle.
                const std::size_t middle = from + (end - from) / 2;
                std::size_t split = middle;
                for (std::size_t d = 0; d < (end - from) / 2; ++d) {
                    if (placed_[rules[middle + d]].everywhere) {
                        split = middle + d;
                        break;
                    }
                    if (middle >= from + d + 1 && placed_[rules[middle - d - 1]].everywhere) {
                        split = middle - d - 1;
                        break;
                    }
                }
                compile_range(rules, from, split);
                compile_range(rules, split, end);
            } else {
                plain(rules, from, end);
            }
        } else {
            plain(rules, from, end);
        }
        plain(rules, end, to);
    }

    const std::vector<Placed> &placed_;
    const unsigned width_;
    std::vector<std::vector<LayoutLine>> &chains_;
    std::vector<std::uint32_t> plain_;
    std::vector<Built> groups_;
};

}  // namespace

std::optional<Layout> indexed_layout(const RuleSet &set, const Family &family)
{
    std::vector<std::uint32_t> rules;
    bool loopback = false;
    for (std::size_t r = 0; r < set.rules.size(); ++r) {
        const Rule &rule = set.rules[r];
        if (!rule.in_family(family))
            continue;
        if (rule.option_text)
            return std::nullopt;
        loopback = loopback || may_match_loopback(rule);
        rules.push_back(static_cast<std::uint32_t>(r));
    }
    if (rules.size() < min_tree_rules)
        return std::nullopt;

    Layout layout;
    layout.indexed = true;
    layout.lo_returned = !loopback;
    std::vector<Placed> placed(set.rules.size());
    std::size_t flat_cost = 0, flat_lines = 0;
    for (const std::uint32_t r : rules) {
        placed[r] = place(set.rules[r], family, layout.lo_returned);
        flat_cost += placed[r].flat_cost;
        flat_lines += placed[r].lines;
    }
    layout.chains.emplace_back();  // ZORVANE, filled last
    GroupCompiler compiler(placed, family.width, layout.chains);
    compiler.compile(rules);
    const auto &groups = compiler.groups();
    if (groups.size() == 1 && layout.chains.size() == 2)
        return std::nullopt;  // one run of plain lines: nothing was indexed

    Walk walk;
    std::vector<LayoutLine> &top = layout.chains[0];
    if (layout.lo_returned) {
        top.push_back({LayoutLine::Kind::lo_return, 0, 0, 0});
        walk = {interface_first_line, 1};
    }
    for (const Built &group : groups) {
        top.push_back({LayoutLine::Kind::jump, 0, group.chain, 0});
        walk.cost += 1 + group.walk.cost;
        walk.lines += 1 + group.walk.lines;
    }
    if (walk.cost >= flat_cost || walk.lines > flat_lines)
        return std::nullopt;  // overlapping wide sources: the tree walks no shorter

    layout.copies.assign(set.rules.size(), 0);
    for (const auto &chain : layout.chains)
        for (const LayoutLine &line : chain)
            if (line.kind == LayoutLine::Kind::rule) {
                ++layout.copies[line.index];
                layout.lines += placed[line.index].lines;
            } else {
                ++layout.lines;
            }
    layout.deepest_walk = walk.lines;
    layout.groups = groups.size();
    return layout;
}

}  // namespace zvn
