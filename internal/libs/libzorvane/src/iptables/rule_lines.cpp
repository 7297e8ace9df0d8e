// The model into the tool's restore lines: one rule line for a rule that
// allows, a logging line and a dropping line for one that drops, in the
// rule set's order; a layout's whole restore text, its chains declared,
// its dispatch lines, and the chains of an earlier layout taken away; the
// fail-safe set's text.

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "../families.h"
#include "../names.h"
#include "../programs.h"
#include "iptables.h"

namespace zvn {

namespace {

// How a layout writes a rule's lines beyond what the rule says.
struct LineStyle {
    const char *chain = chain_name;
    bool lo_returned = false;   // loopback's packets never get here: no "! -i lo"
    unsigned log_limit = 0;     // logged lines per second, 0: all
    bool shared_limit = false;  // the rule has copies: one limit for all of them
    // The rule's country set, where countries are matched as address sets.
    const std::string *country_set = nullptr;
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
// then its DROP line. Values are copied as the rule set writes them (the
// validation has refused control characters), ports without leading zeros.
void zvn_apply_rule(const Rule &single_rule, std::string &restore_file, unsigned int rule_index,
                    const Family &family, const LineStyle &style = {})
{
    // The match options are written once, at the end of the file; a dropping
    // rule repeats them for its second line.
    const std::size_t line_start = restore_file.size();
    const Written &written = single_rule.written;
    restore_file += "-A ";
    restore_file += style.chain;

    if (single_rule.interface_set()) {
        restore_file += " -i ";
        restore_file += written.interface_text;
    } else if (!style.lo_returned) {
        restore_file += " ! -i lo";
    }

    switch (single_rule.source) {
    case SourceKind::address:
        restore_file += " -s ";
        restore_file += written.cidr_text;
        break;
    case SourceKind::range:
        restore_file += " -m iprange --src-range ";
        restore_file += written.range_text;
        break;
    case SourceKind::countries:
        if (style.country_set != nullptr && !style.country_set->empty()) {
            restore_file += " -m set --match-set ";
            restore_file += *style.country_set;
            restore_file += " src";
        } else {
            restore_file += " -m geoip --source-country ";
            restore_file += written.country_list;
        }
        break;
    case SourceKind::none:
        break;
    }

    if (single_rule.protocol_set()) {
        restore_file += " -p ";
        restore_file += single_rule.protocol == Protocol::icmp ? tools_of(family).icmp : written.protocol_text.c_str();
    }

    if (single_rule.ports_set()) {
        restore_file += " -m multiport --dports ";
        restore_file += written.port_list;
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

}  // namespace

std::string log_limit_options(unsigned per_second)
{
    const std::string rate = std::to_string(per_second);
    return per_second == 0 ? "" : " -m limit --limit " + rate + "/sec --limit-burst " + rate;
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

std::string iptables_restore_text(const RuleSet &set, const Layout &layout, Numbering numbering,
                                  const Family &family, unsigned log_limit, const StandingLayout &standing,
                                  std::vector<std::uint32_t> *line_rules, const std::vector<std::string> *country_sets)
{
    // About one line and a half per rule on average: one allocation up front
    // instead of a series of doublings.
    std::string text;
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
    style.log_limit = log_limit;
    for (std::size_t c = 0; c < layout.chains.size(); ++c) {
        style.chain = names[c].c_str();
        for (const LayoutLine &line : layout.chains[c]) {
            switch (line.kind) {
            case LayoutLine::Kind::rule: {
                const Rule &rule = set.rules[line.index];
                style.shared_limit = layout.copies[line.index] > 1;
                style.country_set = country_sets != nullptr && line.index < country_sets->size()
                                        ? &(*country_sets)[line.index]
                                        : nullptr;
                zvn_apply_rule(rule, text, numbering == Numbering::zero ? 0 : rule.number, family, style);
                note(rule.number, rule.lines_in_restore_file());
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
    return text;
}

std::string iptables_failsafe_text(const RuleSet &allows, const Family &family, unsigned log_limit)
{
    // The allows' lines as the flat layout writes them, between the head
    // and "COMMIT".
    std::string extra;
    const Layout flat = compile_layout(allows, family, LayoutChoice::flat);
    for (const LayoutLine &line : flat.chains[0])
        zvn_apply_rule(allows.rules[line.index], extra, allows.rules[line.index].number, family);
    const std::string append = command("-A ", chain_name);
    return command("*filter\n:", chain_name, " - [0:0]\n", append, " -i lo -j ACCEPT\n", append,
                   " -m state --state RELATED,ESTABLISHED -j ACCEPT\n", extra, append, log_limit_options(log_limit),
                   " -j NFLOG --nflog-prefix  \"FAILSAFE ACT=DROP\"\n", append, " -j DROP\nCOMMIT\n");
}

namespace {

// The line a rule's packets are counted on: its verdict, not its log.
bool counted_line(std::string_view line)
{
    const auto ends = [&](std::string_view tail) {
        return line.size() >= tail.size() && line.substr(line.size() - tail.size()) == tail;
    };
    return line.rfind("-A ", 0) == 0 && (ends(" -j ACCEPT") || ends(" -j DROP"));
}

}  // namespace

std::string iptables_with_counts(const std::string &text, const std::vector<std::uint32_t> &line_rules,
                                 const std::vector<std::pair<std::uint64_t, std::uint64_t>> &per_rule)
{
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    std::vector<bool> given(per_rule.size(), false);
    std::size_t at = 0, line = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view one(text.data() + at, end - at);
        const std::uint32_t number = line < line_rules.size() ? line_rules[line] : 0;
        if (number > 0 && number <= per_rule.size() && !given[number - 1] && counted_line(one)) {
            given[number - 1] = true;
            const auto &[packets, bytes] = per_rule[number - 1];
            out += "[" + std::to_string(packets) + ":" + std::to_string(bytes) + "] ";
        }
        out.append(one);
        out += '\n';
        at = end + 1;
        ++line;
    }
    return out;
}

bool iptables_carries_counts(const std::string &text)
{
    return text.find("\n[") != std::string::npos;
}

}  // namespace zvn
