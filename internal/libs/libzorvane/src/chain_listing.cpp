// The chain as "iptables -vnx -L ZORVANE --line-numbers" prints it, and the
// proof that it holds a given rule set before its counters are told as that
// rule set's counts.
//
// A line of the listing (both back ends print the same columns):
//   num  pkts  bytes  target  prot  opt  in  out  source  destination  [matches]
//   4    0     0      NFLOG   1     --   eth3 *   0.0.0.0/0 0.0.0.0/0  source IP range 10.0.3.1-10.0.3.200 nflog-prefix "RULE=4 ACT=DROP"
// The protocol is printed as its number (0 for any); a source network with
// its host bits cleared, a single address without "/32".

#include <algorithm>
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

const char *protocol_number(const std::string *protocol, const Family &family)
{
    if (protocol == nullptr)
        return "0";
    if (*protocol == "tcp")
        return "6";
    if (*protocol == "udp")
        return "17";
    return family.icmp_number;  // validation lets no other name through
}

// The source column of one address or network as the tool prints it; ""
// where it cannot be foretold (a host name, which the tool resolves).
std::string listed_source(const std::string &element, const Family &family)
{
    if (family.bit == ipv6.bit) {
        const auto network = parse_ipv6_network(element);
        if (!network)
            return "";
        if (network->prefix == 128)
            return format_ipv6(network->address);
        return format_ipv6(network->first()) + "/" + std::to_string(network->prefix);
    }
    const auto network = parse_ipv4_network(element);
    if (!network)
        return "";
    if (network->prefix == 32)
        return format_ipv4(network->address);
    return format_ipv4(network->first()) + "/" + std::to_string(network->prefix);
}

// The source column of each line the rule makes: one per element of its
// source list; its lines are expected even where the source is not compared.
std::vector<std::string> listed_sources(const std::string *cidr, const Family &family)
{
    if (cidr == nullptr)
        return {family.any_source};
    std::vector<std::string> sources;
    for (const auto &element : split_commas(*cidr))
        sources.push_back(listed_source(element, family));
    return sources;
}

std::string listed_range(const std::string &text, const Family &family)
{
    if (family.bit == ipv6.bit) {
        const auto range = parse_ipv6_range(text);
        return range ? "source IP range " + format_ipv6(range->first) + "-" + format_ipv6(range->second) : "";
    }
    const auto range = parse_ipv4_range(text);
    return range ? "source IP range " + format_ipv4(range->first) + "-" + format_ipv4(range->second) : "";
}

// "the chain", or "the IPv6 chain" where two families are in play.
std::string chain_of(const Family &family)
{
    return ipv6_enabled() ? std::string("the ") + family.name + " chain" : "the chain";
}

std::string differs(std::size_t rule, const Family &family, std::size_t line, const char *what,
                    std::string_view listed, std::string_view expected)
{
    return "rule " + std::to_string(rule) + " does not match " + chain_of(family) + ": line " +
           std::to_string(line) + " has " + what + " \"" + std::string(listed) + "\" where the rule set makes \"" +
           std::string(expected) + "\"";
}

}  // namespace

void ChainListingParser::feed(const std::string &listing)
{
    for (;;) {
        const std::size_t end = listing.find('\n', parsed_);
        if (end == std::string::npos)
            return;
        parse_line(listing, parsed_, end);
        parsed_ = end + 1;
    }
}

void ChainListingParser::finish(const std::string &listing)
{
    feed(listing);
    if (parsed_ < listing.size())
        parse_line(listing, parsed_, listing.size());
    parsed_ = listing.size();
    lines_.resize(last_ == 0 ? 0 : last_ + 1);  // the table was grown ahead
}

void ChainListingParser::parse_line(const std::string &listing, std::size_t start, std::size_t end)
{
    const std::string_view line = std::string_view(listing).substr(start, end - start);
    const auto field = [&](std::string_view text) {
        return ListedField{static_cast<std::uint32_t>(start + static_cast<std::size_t>(text.data() - line.data())),
                           static_cast<std::uint32_t>(text.size())};
    };
    std::size_t pos = 0;
    unsigned long long num = 0;
    if (!parse_exact_count(next_field(line, pos), num) || num == 0 || num > 0x7fffffffULL)
        return;
    const auto index = static_cast<std::size_t>(num);
    if (lines_.size() <= index)
        lines_.resize(std::max(index + 1, lines_.size() * 2));
    last_ = std::max(last_, index);
    ListedRuleLine &entry = lines_[index];
    if (entry.readable || entry.repeated) {
        entry.repeated = true;
        entry.readable = false;
        return;
    }
    const std::string_view pkts = next_field(line, pos);
    next_field(line, pos);  // bytes
    entry.target = field(next_field(line, pos));
    entry.protocol = field(next_field(line, pos));
    next_field(line, pos);  // opt
    entry.in = field(next_field(line, pos));
    next_field(line, pos);  // out
    entry.source = field(next_field(line, pos));
    const std::string_view destination = next_field(line, pos);
    while (pos < line.size() && is_blank(line[pos]))
        ++pos;
    std::string_view extra = line.substr(pos);
    while (!extra.empty() && is_blank(extra.back()))
        extra.remove_suffix(1);
    entry.extra = field(extra);
    entry.readable = parse_exact_count(pkts, entry.packets) && !destination.empty();
}

ExpectedChain expected_chain(const RuleSet &set, const Family &family)
{
    ExpectedChain chain;
    chain.counted.reserve(set.rules.size());
    int position = 0;
    for (const Rule &rule : set.rules) {
        std::vector<int> counted;
        if (!rule.in_family(family)) {
            chain.counted.push_back(std::move(counted));
            continue;
        }
        const std::string *cidr = rule.cidr.set() ? &rule.cidr.text : nullptr;
        const std::string *range = rule.range.set() ? &rule.range.text : nullptr;
        chain.rules.push_back({rule.number, rule.interface.set() ? rule.interface.text : "!lo",
                               protocol_number(rule.protocol.set() ? &rule.protocol.text : nullptr, family),
                               cidr == nullptr && range != nullptr ? listed_range(*range, family) : "",
                               rule.ports.set() ? "multiport dports " + canonical_ports(rule.ports.items) : "",
                               rule.source() == SourceKind::countries});
        const auto of = static_cast<std::uint32_t>(chain.rules.size() - 1);
        const std::vector<std::string> sources = listed_sources(cidr, family);
        if (!rule.allow)
            for (const auto &source : sources) {
                chain.lines.push_back({of, "NFLOG", source});
                ++position;
            }
        for (const auto &source : sources) {
            chain.lines.push_back({of, rule.allow ? "ACCEPT" : "DROP", source});
            counted.push_back(++position);
        }
        chain.counted.push_back(std::move(counted));
    }
    return chain;
}

std::string listing_mismatch(const ExpectedChain &expected, const std::vector<ListedRuleLine> &lines,
                             const std::string &listing, const Family &family)
{
    const std::size_t listed = lines.empty() ? 0 : lines.size() - 1;
    std::size_t position = 0;
    std::string prefix;
    for (const ExpectedRuleLine &want : expected.lines) {
        const ExpectedRule &rule = expected.rules[want.of];
        ++position;
        const auto rule_differs = [&] {
            return "rule " + std::to_string(rule.rule) + " does not match " + chain_of(family);
        };
        if (position > listed)
            return rule_differs() + ": the chain holds " + std::to_string(listed) + " rule lines, its line " +
                   std::to_string(position) + " is missing";
        const ListedRuleLine &listed_line = lines[position];
        if (!listed_line.readable)
            return rule_differs() + ": line " + std::to_string(position) + " cannot be read";
        const std::string_view target = listed_line.target.in(listing), in = listed_line.in.in(listing),
                               protocol = listed_line.protocol.in(listing), source = listed_line.source.in(listing),
                               extra = listed_line.extra.in(listing);
        if (target != want.target)
            return differs(rule.rule, family, position, "target", target, want.target);
        if (in != rule.in)
            return differs(rule.rule, family, position, "in-interface", in, rule.in);
        if (protocol != rule.protocol)
            return differs(rule.rule, family, position, "protocol", protocol, rule.protocol);
        if (!want.source.empty() && source != want.source)
            return differs(rule.rule, family, position, "source", source, want.source);
        if (!rule.range.empty() && extra.find(rule.range) == std::string_view::npos)
            return differs(rule.rule, family, position, "matches", extra, rule.range);
        if (!rule.ports.empty() && extra.find(rule.ports) == std::string_view::npos)
            return differs(rule.rule, family, position, "ports", extra, rule.ports);
        prefix.clear();
        if (std::string_view(want.target) == "NFLOG") {
            prefix = "nflog-prefix \"RULE=" + std::to_string(rule.rule) + " ACT=DROP\"";
            if (extra.find(prefix) == std::string_view::npos)
                return differs(rule.rule, family, position, "log prefix", extra, prefix);
        }
        // Every field: nothing beyond what the rule makes (a port list or a
        // range the rule has not, another match). A country list's column
        // is the tool's own, so only what follows it is compared.
        std::string matches = rule.range;
        for (const std::string *part : {&rule.ports, static_cast<const std::string *>(&prefix)})
            if (!part->empty())
                matches += (matches.empty() ? "" : " ") + *part;
        const bool same = rule.countries ? extra.size() >= matches.size() &&
                                               extra.substr(extra.size() - matches.size()) == matches
                                         : extra == matches;
        if (!same)
            return differs(rule.rule, family, position, "matches", extra, matches);
    }
    if (listed > position)
        return "the rule set does not match " + chain_of(family) + ": the chain holds " + std::to_string(listed) +
               " rule lines, its " + std::to_string(expected.rules.size()) + " rules make " +
               std::to_string(position) + "; line " + std::to_string(position + 1) + " belongs to no rule";
    return "";
}

}  // namespace zvn
