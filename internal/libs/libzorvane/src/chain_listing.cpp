// The chain as "iptables -vnx -L ZORVANE --line-numbers" prints it, and the
// proof that it holds a given rule set before its counters are told as that
// rule set's counts.
//
// A line of the listing (both back ends print the same columns):
//   num  pkts  bytes  target  prot  opt  in  out  source  destination  [matches]
//   4    0     0      NFLOG   1     --   eth3 *   0.0.0.0/0 0.0.0.0/0  source IP range 10.0.3.1-10.0.3.200 nflog-prefix "RULE=4 ACT=DROP"
// The protocol is printed as its number (0 for any); a source network with
// its host bits cleared, a single address without "/32".

#include <string>
#include <string_view>
#include <vector>

#include "zorvane_internal.h"

namespace zvn {

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// The next blank-separated field of line from pos on ("" at the end).
std::string_view next_field(std::string_view line, std::size_t &pos)
{
    while (pos < line.size() && is_blank(line[pos]))
        ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && !is_blank(line[pos]))
        ++pos;
    return line.substr(start, pos - start);
}

// A number as the exact listing prints it: decimal digits only, within 64
// bits. Anything else is no number.
bool parse_exact_count(std::string_view token, unsigned long long &count)
{
    if (token.empty() || token.size() > 20)
        return false;
    unsigned long long value = 0;
    for (const char c : token) {
        if (c < '0' || c > '9')
            return false;
        const auto digit = static_cast<unsigned long long>(c - '0');
        if (value > (~0ULL - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    count = value;
    return true;
}

// What one installed line of a rule must show.
struct ExpectedLine {
    const char *target;
    std::string source;  // "" where the tool's form cannot be foretold
};

std::string protocol_number(const nlohmann::json &rule)
{
    const std::string *protocol = set_string(rule, "protocol");
    if (protocol == nullptr)
        return "0";
    if (*protocol == "tcp")
        return "6";
    if (*protocol == "udp")
        return "17";
    if (*protocol == "icmp")
        return "1";
    return *protocol;
}

// The source column of each address of the rule's source list; "" for an
// element that is not an IPv4 address or network (a host name, which the
// tool resolves): its lines are still expected, its source is not compared.
std::vector<std::string> listed_sources(const nlohmann::json &rule)
{
    if (used_source(rule) != SourceKind::address)
        return {"0.0.0.0/0"};
    std::vector<std::string> sources;
    for (const auto &element : split_commas(*set_string(rule, "src_IP_cidr"))) {
        const auto network = parse_ipv4_network(element);
        if (!network)
            sources.emplace_back();
        else if (network->prefix == 32)
            sources.push_back(format_ipv4(network->address));
        else
            sources.push_back(format_ipv4(network->first()) + "/" + std::to_string(network->prefix));
    }
    return sources;
}

std::string listed_range(const nlohmann::json &rule)
{
    if (used_source(rule) != SourceKind::range)
        return "";
    const auto range = parse_ipv4_range(*set_string(rule, "src_IP_range"));
    if (!range)
        return "";
    return "source IP range " + format_ipv4(range->first) + "-" + format_ipv4(range->second);
}

std::string differs(std::size_t rule, std::size_t line, const char *what, const std::string &listed,
                    const std::string &expected)
{
    return "rule " + std::to_string(rule) + " does not match the chain: line " + std::to_string(line) + " has " +
           what + " \"" + listed + "\" where the rule set makes \"" + expected + "\"";
}

}  // namespace

std::vector<ListedRuleLine> parse_chain_listing(const std::string &listing)
{
    std::vector<ListedRuleLine> lines;
    std::string_view rest(listing);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);

        std::size_t pos = 0;
        unsigned long long num = 0;
        if (!parse_exact_count(next_field(line, pos), num) || num == 0 || num > 0x7fffffffULL)
            continue;
        const auto index = static_cast<std::size_t>(num);
        if (lines.size() <= index)
            lines.resize(index + 1);
        ListedRuleLine &entry = lines[index];
        if (entry.readable || entry.repeated) {
            entry.repeated = true;
            entry.readable = false;
            continue;
        }
        const std::string_view pkts = next_field(line, pos);
        next_field(line, pos);  // bytes
        entry.target = next_field(line, pos);
        entry.protocol = next_field(line, pos);
        next_field(line, pos);  // opt
        entry.in = next_field(line, pos);
        next_field(line, pos);  // out
        entry.source = next_field(line, pos);
        const std::string_view destination = next_field(line, pos);
        while (pos < line.size() && is_blank(line[pos]))
            ++pos;
        std::string_view extra = line.substr(pos);
        while (!extra.empty() && is_blank(extra.back()))
            extra.remove_suffix(1);
        entry.extra = extra;
        entry.readable = parse_exact_count(pkts, entry.packets) && !destination.empty();
    }
    return lines;
}

std::string listing_mismatch(const nlohmann::json &rules_json, const std::vector<ListedRuleLine> &lines)
{
    const std::size_t listed = lines.empty() ? 0 : lines.size() - 1;
    std::size_t position = 0;
    std::size_t rule = 0;
    for (const auto &single_rule : rules_json) {
        ++rule;
        const bool allow = single_rule.at("allow").get<bool>();
        const std::string *interface = set_string(single_rule, "interface");
        const std::string in = interface != nullptr ? *interface : "!lo";
        const std::string protocol = protocol_number(single_rule);
        const std::string range = listed_range(single_rule);
        const std::string prefix = "nflog-prefix \"RULE=" + std::to_string(rule) + " ACT=DROP\"";

        std::vector<ExpectedLine> expected;
        const std::vector<std::string> sources = listed_sources(single_rule);
        if (!allow)
            for (const auto &source : sources)
                expected.push_back({"NFLOG", source});
        for (const auto &source : sources)
            expected.push_back({allow ? "ACCEPT" : "DROP", source});

        for (const ExpectedLine &want : expected) {
            ++position;
            if (position > listed)
                return "rule " + std::to_string(rule) + " does not match the chain: the chain holds " +
                       std::to_string(listed) + " rule lines, its line " + std::to_string(position) +
                       " is missing";
            const ListedRuleLine &got = lines[position];
            if (!got.readable)
                return "rule " + std::to_string(rule) + " does not match the chain: line " +
                       std::to_string(position) + " cannot be read";
            if (got.target != want.target)
                return differs(rule, position, "target", got.target, want.target);
            if (got.in != in)
                return differs(rule, position, "in-interface", got.in, in);
            if (got.protocol != protocol)
                return differs(rule, position, "protocol", got.protocol, protocol);
            if (!want.source.empty() && got.source != want.source)
                return differs(rule, position, "source", got.source, want.source);
            if (!range.empty() && got.extra.find(range) == std::string::npos)
                return differs(rule, position, "matches", got.extra, range);
            if (std::string_view(want.target) == "NFLOG" && got.extra.find(prefix) == std::string::npos)
                return differs(rule, position, "log prefix", got.extra, prefix);
        }
    }
    if (listed > position)
        return "the rule set does not match the chain: the chain holds " + std::to_string(listed) +
               " rule lines, its " + std::to_string(rule) + " rules make " + std::to_string(position) + "; line " +
               std::to_string(position + 1) + " belongs to no rule";
    return "";
}

}  // namespace zvn
