// Translation of the model into restore lines: one rule line for a rule that
// allows, a logging line and a dropping line for one that drops, all
// appended to the chain ZORVANE, in the rule set's order.

#include <algorithm>
#include <string>

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

// Appends the one or two lines of a rule to the restore text of one family:
// an allowing rule gives its ACCEPT line, a dropping rule its NFLOG line,
// then its DROP line. Values are copied as the rule set holds them (the
// validation has refused control characters), ports in decimal.
void zvn_apply_rule(const Rule &single_rule, std::string &restore_file, unsigned int rule_index,
                    const Family &family)
{
    // The match options are written once, at the end of the file; a dropping
    // rule repeats them for its second line.
    const std::size_t line_start = restore_file.size();
    restore_file += "-A ";
    restore_file += chain_name;

    if (single_rule.interface.set()) {
        restore_file += " -i ";
        restore_file += single_rule.interface.text;
    } else {
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
    restore_file += " -j NFLOG --nflog-prefix  \"RULE=";
    restore_file += std::to_string(rule_index);
    restore_file += " ACT=DROP\"\n";
    restore_file.append(restore_file, line_start, matches_length);
    restore_file += " -j DROP\n";
}

}  // namespace

std::string canonical_ports(const std::vector<std::string> &ports)
{
    std::string text;
    append_joined(text, ports, true);
    return text;
}

void restore_text(const RuleSet &set, unsigned int rule_index_start, std::string &text, const Family &family)
{
    // About one line and a half per rule on average: one allocation up front
    // instead of a series of doublings.
    text.clear();
    text.reserve(set.rules.size() * 128 + 64);
    text = "*filter\n:";
    text += chain_name;
    text += " - [0:0]\n";
    unsigned int rule_index = rule_index_start;
    for (const Rule &single_rule : set.rules) {
        if (single_rule.in_family(family))
            zvn_apply_rule(single_rule, text, rule_index, family);
        if (rule_index_start != 0)
            ++rule_index;
    }
    text += "COMMIT\n";
}

}  // namespace zvn
