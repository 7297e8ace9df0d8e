// The chain's layout: which chain each rule's lines stand in, and the
// process's choice of it. The flat layout is every rule in ZORVANE, in
// order, and a NEW packet walks all of them: its cost grows with the rule
// set. The indexed layout (layout_tree.cpp) sends each packet by its
// source address through a tree of sub-chains to a leaf that holds every
// rule it can meet. Both are Layouts of the same lines, which the text,
// the expected listing and the counts read alike.

#include "layout.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "families.h"
#include "names.h"

namespace zvn {

namespace {

std::atomic<bool> layout_was_chosen{false};
std::atomic<int> chosen_layout_value{static_cast<int>(LayoutChoice::flat)};
std::atomic<unsigned> log_limit_value{0};

Layout flat_layout(const RuleSet &set, const Family &family)
{
    Layout layout;
    layout.chains.emplace_back();
    layout.copies.assign(set.rules.size(), 0);
    for (std::size_t r = 0; r < set.rules.size(); ++r) {
        const Rule &rule = set.rules[r];
        if (!rule.in_family(family))
            continue;
        layout.chains[0].push_back({LayoutLine::Kind::rule, 0, static_cast<std::uint32_t>(r), 0});
        layout.copies[r] = 1;
        layout.lines += (rule.allow ? 1 : 2) * rule.lines_per_target();
    }
    layout.deepest_walk = layout.lines;
    layout.groups = layout.chains[0].empty() ? 0 : 1;
    return layout;
}

}  // namespace

bool layout_chosen()
{
    return layout_was_chosen.load();
}

LayoutChoice layout_choice()
{
    return static_cast<LayoutChoice>(chosen_layout_value.load());
}

void choose_layout(LayoutChoice choice)
{
    chosen_layout_value.store(static_cast<int>(choice));
    layout_was_chosen.store(true);
}

unsigned log_limit()
{
    return log_limit_value.load();
}

void set_log_limit(unsigned per_second)
{
    log_limit_value.store(per_second);
}

std::string layout_chain_name(std::size_t chain)
{
    return chain == 0 ? std::string(chain_name) : std::string(chain_name) + "-" + std::to_string(chain);
}

long layout_chain_index(std::string_view name)
{
    const std::string_view ours = chain_name;
    if (name == ours)
        return 0;
    if (name.size() < ours.size() + 2 || name.substr(0, ours.size()) != ours || name[ours.size()] != '-')
        return -1;
    const std::string_view number = name.substr(ours.size() + 1);
    if (number[0] == '0' || !std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    const std::size_t k = leading_number(number, max_subchains + 1);
    return k > max_subchains ? -1 : static_cast<long>(k);
}

bool layout_chain(std::string_view name)
{
    return name == index_chain || layout_chain_index(name) >= 0;
}

std::vector<std::string> standing_chains(const StandingLayout &standing)
{
    std::vector<std::string> names;
    for (std::size_t k = 1; k <= standing.subchains; ++k)
        names.push_back(layout_chain_name(k));
    if (standing.index_chain)
        names.push_back(index_chain);
    return names;
}

std::vector<std::string> layout_subchains(const Layout &layout)
{
    std::vector<std::string> names;
    for (std::size_t k = 1; k < layout.chains.size(); ++k)
        names.push_back(layout_chain_name(k));
    if (layout.indexed)
        names.push_back(index_chain);
    return names;
}

namespace {

constexpr std::string_view index_comment_head = "zorvane indexed layout: ZORVANE-1 to ZORVANE-";

}  // namespace

std::string index_comment(std::size_t subchains)
{
    return std::string(index_comment_head) + std::to_string(subchains);
}

std::size_t subchains_named(std::string_view comment)
{
    const std::size_t at = comment.find(index_comment_head);
    if (at == std::string_view::npos)
        return 0;
    return leading_number(comment.substr(at + index_comment_head.size()), max_subchains);
}

std::size_t leading_number(std::string_view text, std::size_t cap)
{
    std::size_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            break;
        value = std::min(value * 10 + static_cast<std::size_t>(c - '0'), cap);
    }
    return value;
}

bool may_match_loopback(const Rule &rule)
{
    switch (rule.interface) {
    case InterfaceMatch::name: return rule.interface_name == "lo";
    case InterfaceMatch::wildcard: return std::string_view("lo").substr(0, rule.interface_name.size()) == rule.interface_name;
    case InterfaceMatch::any_but_lo: break;
    }
    return false;
}

Layout compile_layout(const RuleSet &set, const Family &family, LayoutChoice choice)
{
    if (choice == LayoutChoice::automatic) {
        std::size_t in_family = 0;
        for (const Rule &rule : set.rules)
            in_family += rule.in_family(family) ? 1u : 0u;
        choice = in_family >= auto_indexed_from ? LayoutChoice::indexed : LayoutChoice::flat;
    }
    if (choice == LayoutChoice::indexed)
        if (auto indexed = indexed_layout(set, family))
            return std::move(*indexed);
    return flat_layout(set, family);
}

Layout chosen_layout(const RuleSet &set, const Family &family)
{
    return compile_layout(set, family, layout_chosen() ? layout_choice() : LayoutChoice::flat);
}

std::vector<Layout> chosen_layouts(const RuleSet &set)
{
    std::vector<Layout> layouts;
    for (const Family *family : active_families())
        layouts.push_back(chosen_layout(set, *family));
    return layouts;
}

}  // namespace zvn
