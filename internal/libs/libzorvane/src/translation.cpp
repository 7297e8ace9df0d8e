// Translation of the model into restore lines: one rule line for a rule that
// allows, a logging line and a dropping line for one that drops, in the
// rule set's order; and a whole layout's restore text, its chains declared,
// its dispatch lines, and the chains of an earlier layout taken away.

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "zorvane_internal.h"

namespace zvn {

namespace {

// The tool reads a port number with a leading zero as octal ("010" is port
// 8), so every number of a port or a:b range is passed without its leading
// zeros: the tool then reads the port that was written. Anything that is
// not digits passes unchanged, for the test run to judge.
void append_port(std::string &cmd, const std::string &port)
{
    std::size_t start = 0;
    for (;;) {
        std::size_t end = port.find(':', start);
        if (end == std::string::npos)
            end = port.size();
        std::size_t first = start;
        const bool digits = end > start && std::all_of(port.begin() + static_cast<std::ptrdiff_t>(start),
                                                       port.begin() + static_cast<std::ptrdiff_t>(end),
                                                       [](char c) { return c >= '0' && c <= '9'; });
        while (digits && first + 1 < end && port[first] == '0')
            ++first;
        cmd.append(port, first, end - first);
        if (end == port.size())
            return;
        cmd += ':';
        start = end + 1;
    }
}

void append_joined(std::string &cmd, const std::vector<std::string> &items, bool ports)
{
    bool first = true;
    for (const auto &item : items) {
        if (!first)
            cmd += ',';
        if (ports)
            append_port(cmd, item);
        else
            cmd += item;
        first = false;
    }
}

// How a layout writes a rule's lines beyond what the rule says.
struct LineStyle {
    const char *chain = chain_name;
    bool lo_returned = false;   // loopback's packets never get here: no "! -i lo"
    unsigned log_limit = 0;     // logged lines per second, 0: all
    bool shared_limit = false;  // the rule has copies: one limit for all of them
};

// The logging line's limit: a rule of one line keeps its own bucket; the
// copies of a rule share one by name (the name carries the rate, since a
// table of that name that still stands keeps its first rate).
void append_log_limit(std::string &line, const LineStyle &style, const Rule &rule)
{
    const std::string rate = std::to_string(style.log_limit);
    if (style.shared_limit)
        line += " -m hashlimit --hashlimit-upto " + rate + "/sec --hashlimit-burst " + rate + " --hashlimit-name z" +
                std::to_string(rule.number) + "-" + rate + " --hashlimit-htable-size 1 --hashlimit-htable-max 1";
    else
        line += log_limit_options(style.log_limit);
}

// Appends the one or two lines of a rule to the restore text of one family:
// an allowing rule gives its ACCEPT line, a dropping rule its NFLOG line,
// then its DROP line. Values are copied as the rule set holds them (the
// validation has refused control characters), ports in decimal.
void zvn_apply_rule(const Rule &single_rule, std::string &restore_file, unsigned int rule_index,
                    const Family &family, const LineStyle &style = {})
{
    // The match options are written once, at the end of the file; a dropping
    // rule repeats them for its second line.
    const std::size_t line_start = restore_file.size();
    restore_file += "-A ";
    restore_file += style.chain;

    if (single_rule.interface.set()) {
        restore_file += " -i ";
        restore_file += single_rule.interface.text;
    } else if (!style.lo_returned) {
        restore_file += " ! -i lo";
    }

    switch (single_rule.source()) {
    case SourceKind::address:
        restore_file += " -s ";
        restore_file += single_rule.cidr.text;
        break;
    case SourceKind::range:
        restore_file += " -m iprange --src-range ";
        restore_file += single_rule.range.text;
        break;
    case SourceKind::countries:
        restore_file += " -m geoip --source-country ";
        append_joined(restore_file, single_rule.countries.items, false);
        break;
    case SourceKind::none:
        break;
    }

    if (single_rule.protocol.set()) {
        restore_file += " -p ";
        restore_file += single_rule.protocol.text == "icmp" ? family.icmp : single_rule.protocol.text.c_str();
    }

    if (single_rule.ports.set()) {
        restore_file += " -m multiport --dports ";
        append_joined(restore_file, single_rule.ports.items, true);
    }

    if (single_rule.allow) {
        restore_file += " -j ACCEPT\n";
        return;
    }
    const std::size_t matches_length = restore_file.size() - line_start;
    if (style.log_limit != 0)
        append_log_limit(restore_file, style, single_rule);
    restore_file += " -j NFLOG --nflog-prefix  \"RULE=";
    restore_file += std::to_string(rule_index);
    restore_file += " ACT=DROP\"\n";
    restore_file.append(restore_file, line_start, matches_length);
    restore_file += " -j DROP\n";
}

constexpr const char *index_comment_head = "zorvane indexed layout: ZORVANE-1 to ZORVANE-";

}  // namespace

std::string canonical_ports(const std::vector<std::string> &ports)
{
    std::string text;
    append_joined(text, ports, true);
    return text;
}

void restore_text(const RuleSet &set, unsigned int rule_index_start, std::string &text, const Family &family)
{
    layout_text(set, compile_layout(set, family, LayoutChoice::flat), rule_index_start, family, text);
}

std::string log_limit_options(unsigned per_second)
{
    const std::string rate = std::to_string(per_second);
    return per_second == 0 ? "" : " -m limit --limit " + rate + "/sec --limit-burst " + rate;
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

// Emptied (declared) first, then deleted, in the same commit: a
// declaration makes a chain that is gone, so the deletion cannot fail for
// want of it, and no chain of the lot still jumps to another.
std::string taken_away(const std::vector<std::string> &standing, const std::vector<std::string> &keeping)
{
    const std::set<std::string> kept(keeping.begin(), keeping.end());
    std::string declared, deleted;
    for (const auto &name : standing)
        if (kept.count(name) == 0) {
            declared += ":" + name + " - [0:0]\n";
            deleted += "-X " + name + "\n";
        }
    return declared + deleted;
}

std::string index_comment(std::size_t subchains)
{
    return index_comment_head + std::to_string(subchains);
}

std::size_t subchains_named(const std::string &listing)
{
    const std::size_t at = listing.find(index_comment_head);
    if (at == std::string::npos)
        return 0;
    return leading_number(std::string_view(listing).substr(at + std::strlen(index_comment_head)), max_subchains);
}

void layout_text(const RuleSet &set, const Layout &layout, unsigned int rule_index_start, const Family &family,
                 std::string &text, const StandingLayout &standing, std::vector<std::uint32_t> *line_rules)
{
    // About one line and a half per rule on average: one allocation up front
    // instead of a series of doublings.
    text.clear();
    text.reserve(layout.lines * 80 + set.rules.size() * 16 + 64);
    const auto note = [&](std::uint32_t rule, std::size_t lines) {
        if (line_rules != nullptr)
            line_rules->insert(line_rules->end(), lines, rule);
    };
    text = "*filter\n";
    std::vector<std::string> names;
    for (std::size_t c = 0; c < layout.chains.size(); ++c) {
        names.push_back(layout_chain_name(c));
        text += ":" + names.back() + " - [0:0]\n";
    }
    if (layout.indexed)
        text += command(":", index_chain, " - [0:0]\n");
    note(0, layout.chains.size() + 1 + (layout.indexed ? 1 : 0));
    LineStyle style;
    style.lo_returned = layout.lo_returned;
    style.log_limit = log_limit();
    for (std::size_t c = 0; c < layout.chains.size(); ++c) {
        style.chain = names[c].c_str();
        for (const LayoutLine &line : layout.chains[c]) {
            switch (line.kind) {
            case LayoutLine::Kind::rule: {
                const Rule &rule = set.rules[line.index];
                style.shared_limit = layout.copies[line.index] > 1;
                zvn_apply_rule(rule, text, rule_index_start == 0 ? 0 : static_cast<unsigned>(rule.number), family, style);
                note(static_cast<std::uint32_t>(rule.number), rule.lines_in_restore_file());
                break;
            }
            case LayoutLine::Kind::dispatch:
                text += "-A " + names[c] + " -s " + network_text(line.first, line.prefix_length, family) + " -g " +
                        names[line.index] + "\n";
                note(0, 1);
                break;
            case LayoutLine::Kind::jump:
                text += "-A " + names[c] + " -j " + names[line.index] + "\n";
                note(0, 1);
                break;
            case LayoutLine::Kind::lo_return:
                text += "-A " + names[c] + " -i lo -j RETURN\n";
                note(0, 1);
                break;
            }
        }
    }
    if (layout.indexed) {
        text += command("-A ", index_chain, " -m comment --comment \"", index_comment(layout.chains.size() - 1), "\"\n");
        note(0, 1);
    }
    const std::string stale = taken_away(standing_chains(standing), layout_subchains(layout));
    text += stale;
    note(0, static_cast<std::size_t>(std::count(stale.begin(), stale.end(), '\n')));
    text += "COMMIT\n";
    note(0, 1);
}

}  // namespace zvn
