// The chain as "iptables -vnx -L ZORVANE --line-numbers" prints it (and an
// indexed layout's chains, as "iptables -vnx -L --line-numbers" prints the
// whole table), and the proof that it holds a given rule set before its
// counters are told as that rule set's counts.
//
// A line of the listing (both back ends print the same columns):
//   num  pkts  bytes  target  prot  opt  in  out  source  destination  [matches]
//   4    0     0      NFLOG   1     --   eth3 *   0.0.0.0/0 0.0.0.0/0  source IP range 10.0.3.1-10.0.3.200 nflog-prefix "RULE=4 ACT=DROP"
//   1    0     0      ZORVANE-7 0   --   *    *   10.0.0.0/8 0.0.0.0/0 [goto]
// The protocol is printed as its number (0 for any); a source network with
// its host bits cleared, a single address without "/32".

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
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

// "line 3", or "ZORVANE-7 line 3" in a sub-chain.
std::string line_of(std::size_t chain, std::size_t line)
{
    return (chain == 0 ? std::string() : layout_chain_name(chain) + " ") + "line " + std::to_string(line);
}

std::string differs(std::size_t rule, const Family &family, std::size_t chain, std::size_t line, const char *what,
                    std::string_view listed, std::string_view expected)
{
    return (rule == 0 ? "the rule set" : "rule " + std::to_string(rule)) + " does not match " + chain_of(family) +
           ": " + line_of(chain, line) + " has " + what + " \"" + std::string(listed) +
           "\" where the rule set makes \"" + std::string(expected) + "\"";
}

const std::vector<ListedRuleLine> no_lines;

// The log limit written on logging lines: what the listing prints of it.
std::string limit_text(unsigned limit, bool shared)
{
    const std::string rate = std::to_string(limit);
    return shared ? "limit: up to " + rate + "/sec burst " + rate + " htable-size 1 htable-max 1"
                  : "limit: avg " + rate + "/sec burst " + rate;
}

}  // namespace

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
    for (std::size_t c = 0; c < chains_.size(); ++c)
        chains_[c].resize(last_[c] == 0 ? 0 : last_[c] + 1);  // the tables were grown ahead
}

const std::vector<ListedRuleLine> &ChainListingParser::chain(std::size_t index) const
{
    return index < chains_.size() ? chains_[index] : no_lines;
}

std::size_t ChainListingParser::chains_listed() const
{
    return static_cast<std::size_t>(std::count(listed_.begin(), listed_.end(), true));
}

std::size_t ChainListingParser::lines_listed() const
{
    std::size_t lines = 0;
    for (const auto &chain : chains_)
        lines += chain.empty() ? 0 : chain.size() - 1;
    return lines;
}

void ChainListingParser::enter_chain(std::string_view name)
{
    current_ = layout_chain_index(name);
    if (current_ < 0)
        return;
    const auto index = static_cast<std::size_t>(current_);
    if (chains_.size() <= index) {
        chains_.resize(index + 1);
        last_.resize(index + 1, 0);
        listed_.resize(index + 1, false);
    }
    listed_[index] = true;
}

void ChainListingParser::parse_line(const std::string &listing, std::size_t start, std::size_t end)
{
    const std::string_view line = std::string_view(listing).substr(start, end - start);
    const auto field = [&](std::string_view text) {
        return ListedField{static_cast<std::uint32_t>(start + static_cast<std::size_t>(text.data() - line.data())),
                           static_cast<std::uint32_t>(text.size())};
    };
    std::size_t pos = 0;
    const std::string_view first = next_field(line, pos);
    if (first == "Chain") {
        enter_chain(next_field(line, pos));
        return;
    }
    unsigned long long num = 0;
    if (current_ < 0 || !parse_exact_count(first, num) || num == 0 || num > 0x7fffffffULL)
        return;
    const auto index = static_cast<std::size_t>(num);
    std::vector<ListedRuleLine> &lines = chains_[static_cast<std::size_t>(current_)];
    if (lines.size() <= index)
        lines.resize(std::max(index + 1, lines.size() * 2));
    std::size_t &last = last_[static_cast<std::size_t>(current_)];
    last = std::max(last, index);
    ListedRuleLine &entry = lines[index];
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
    std::vector<std::uint32_t> entry_of(set.rules.size(), ExpectedRuleLine::no_rule);
    std::vector<std::vector<std::string>> sources_of(set.rules.size());
    for (std::size_t r = 0; r < set.rules.size(); ++r) {
        const Rule &rule = set.rules[r];
        if (layout.copies[r] == 0)
            continue;
        const std::string *cidr = rule.cidr.set() ? &rule.cidr.text : nullptr;
        const std::string *range = rule.range.set() ? &rule.range.text : nullptr;
        entry_of[r] = static_cast<std::uint32_t>(chain.rules.size());
        chain.rules.push_back({rule.number,
                               rule.interface.set() ? rule.interface.text : layout.lo_returned ? "*" : "!lo",
                               protocol_number(rule.protocol.set() ? &rule.protocol.text : nullptr, family),
                               cidr == nullptr && range != nullptr ? listed_range(*range, family) : "",
                               rule.ports.set() ? "multiport dports " + canonical_ports(rule.ports.items) : "",
                               rule.source() == SourceKind::countries,
                               limit == 0 ? "" : limit_text(limit, layout.copies[r] > 1)});
        sources_of[r] = listed_sources(cidr, family);
    }
    for (std::size_t c = 0; c < layout.chains.size(); ++c) {
        std::vector<ExpectedRuleLine> &lines = chain.chains[c];
        for (const LayoutLine &line : layout.chains[c]) {
            switch (line.kind) {
            case LayoutLine::Kind::rule: {
                const Rule &rule = set.rules[line.index];
                const std::vector<std::string> &sources = sources_of[line.index];
                const std::uint32_t of = entry_of[line.index];
                if (!rule.allow)
                    for (const auto &source : sources)
                        lines.push_back({of, "NFLOG", source, 0, false, false});
                for (const auto &source : sources) {
                    lines.push_back({of, rule.allow ? "ACCEPT" : "DROP", source, 0, false, false});
                    chain.counted[line.index].emplace_back(static_cast<std::uint32_t>(c),
                                                           static_cast<std::uint32_t>(lines.size()));
                }
                break;
            }
            case LayoutLine::Kind::dispatch:
                lines.push_back({ExpectedRuleLine::no_rule, nullptr,
                                 network_text(line.first, line.prefix_length, family), line.index, true, false});
                break;
            case LayoutLine::Kind::jump:
                lines.push_back({ExpectedRuleLine::no_rule, nullptr, family.any_source, line.index, false, false});
                break;
            case LayoutLine::Kind::lo_return:
                lines.push_back({ExpectedRuleLine::no_rule, "RETURN", family.any_source, 0, false, true});
                break;
            }
        }
    }
    return chain;
}

namespace {

// The first difference of one listed line from the line the layout makes
// of no rule (a dispatch, a jump, the loopback return); "" where none.
std::string structure_differs(const ExpectedRuleLine &want, const ListedRuleLine &listed_line,
                              const std::string &listing, const Family &family, std::size_t chain,
                              std::size_t position)
{
    const std::string target = want.target != nullptr ? want.target : layout_chain_name(want.goes_to);
    const char *in = want.loopback ? "lo" : "*";
    const char *extra = want.go ? "[goto]" : "";
    const std::pair<const char *, std::string_view> fields[] = {
        {"target", target}, {"in-interface", in}, {"protocol", "0"}, {"source", want.source}, {"matches", extra}};
    const std::string_view listed[] = {listed_line.target.in(listing), listed_line.in.in(listing),
                                       listed_line.protocol.in(listing), listed_line.source.in(listing),
                                       listed_line.extra.in(listing)};
    for (std::size_t i = 0; i < std::size(fields); ++i)
        if (listed[i] != fields[i].second)
            return differs(0, family, chain, position, fields[i].first, listed[i], fields[i].second);
    return "";
}

std::string rule_line_differs(const ExpectedRule &rule, const ExpectedRuleLine &want, const ListedRuleLine &listed_line,
                              const std::string &listing, const Family &family, std::size_t chain, std::size_t position,
                              std::string &prefix)
{
    const std::string_view target = listed_line.target.in(listing), in = listed_line.in.in(listing),
                           protocol = listed_line.protocol.in(listing), source = listed_line.source.in(listing),
                           extra = listed_line.extra.in(listing);
    if (target != want.target)
        return differs(rule.rule, family, chain, position, "target", target, want.target);
    if (in != rule.in)
        return differs(rule.rule, family, chain, position, "in-interface", in, rule.in);
    if (protocol != rule.protocol)
        return differs(rule.rule, family, chain, position, "protocol", protocol, rule.protocol);
    if (!want.source.empty() && source != want.source)
        return differs(rule.rule, family, chain, position, "source", source, want.source);
    if (!rule.range.empty() && extra.find(rule.range) == std::string_view::npos)
        return differs(rule.rule, family, chain, position, "matches", extra, rule.range);
    if (!rule.ports.empty() && extra.find(rule.ports) == std::string_view::npos)
        return differs(rule.rule, family, chain, position, "ports", extra, rule.ports);
    prefix.clear();
    const bool logging = std::string_view(want.target) == "NFLOG";
    if (logging) {
        prefix = "nflog-prefix \"RULE=" + std::to_string(rule.rule) + " ACT=DROP\"";
        if (extra.find(prefix) == std::string_view::npos)
            return differs(rule.rule, family, chain, position, "log prefix", extra, prefix);
    }
    // Every field: nothing beyond what the rule makes (a port list or a
    // range the rule has not, another match). A country list's column is
    // the tool's own, so only what follows it is compared.
    std::string matches = rule.range;
    const std::string none;
    for (const std::string *part : {&rule.ports, logging ? &rule.limit : &none, static_cast<const std::string *>(&prefix)})
        if (!part->empty())
            matches += (matches.empty() ? "" : " ") + *part;
    const bool same = rule.countries ? extra.size() >= matches.size() &&
                                           extra.substr(extra.size() - matches.size()) == matches
                                     : extra == matches;
    if (!same)
        return differs(rule.rule, family, chain, position, "matches", extra, matches);
    return "";
}

}  // namespace

std::string listing_mismatch(const ExpectedChain &expected, const ChainListingParser &parser,
                             const std::string &listing, const Family &family)
{
    std::string prefix;
    for (std::size_t c = 0; c < expected.chains.size(); ++c) {
        if (!parser.listed(c))
            return "the rule set does not match " + chain_of(family) + ": its chain " + layout_chain_name(c) +
                   " is missing";
        const std::vector<ListedRuleLine> &lines = parser.chain(c);
        const std::size_t listed = lines.empty() ? 0 : lines.size() - 1;
        const std::string holder = c == 0 ? "the chain" : layout_chain_name(c);
        std::size_t position = 0;
        for (const ExpectedRuleLine &want : expected.chains[c]) {
            ++position;
            const std::string who = want.of == ExpectedRuleLine::no_rule
                                        ? "the rule set"
                                        : "rule " + std::to_string(expected.rules[want.of].rule);
            if (position > listed)
                return who + " does not match " + chain_of(family) + ": " + holder + " holds " +
                       std::to_string(listed) + " rule lines, its line " + std::to_string(position) + " is missing";
            const ListedRuleLine &listed_line = lines[position];
            if (!listed_line.readable)
                return who + " does not match " + chain_of(family) + ": " + line_of(c, position) + " cannot be read";
            const std::string difference =
                want.of == ExpectedRuleLine::no_rule
                    ? structure_differs(want, listed_line, listing, family, c, position)
                    : rule_line_differs(expected.rules[want.of], want, listed_line, listing, family, c, position, prefix);
            if (!difference.empty())
                return difference;
        }
        if (listed > position)
            return "the rule set does not match " + chain_of(family) + ": " + holder + " holds " +
                   std::to_string(listed) + " rule lines, its " +
                   (c == 0 && !expected.indexed ? std::to_string(expected.rules.size()) + " rules make "
                                                : std::string("layout makes ")) +
                   std::to_string(position) + "; " + line_of(c, position + 1) + " belongs to no rule";
    }
    return "";
}

LayoutListing::LayoutListing(const Family &family, Records records)
    : family_(family), prefix_(records == Records::captured ? "popen --> " : "$ ")
{
    start(false);
}

LayoutListing::~LayoutListing()
{
    read();
}

void LayoutListing::start(bool whole_table)
{
    std::vector<std::string> argv{family_.tool, "-vnx", "-L", chain_name, "--line-numbers"};
    if (whole_table)
        argv.erase(argv.begin() + 3);
    cmd_.clear();
    for (const auto &arg : argv)
        cmd_ += (cmd_.empty() ? "" : " ") + arg;
    log_record(prefix_, cmd_);
    program_ = std::make_unique<Program>(argv, 1, Program::Mode::piped);
    output_.clear();
    parser_ = ChainListingParser();
    read_ = false;
}

int LayoutListing::read()
{
    if (read_)
        return -1;
    read_ = true;
    const int status =
        program_->read_all(output_, [this](const std::string &so_far) { parser_.feed(so_far); });
    log_record(prefix_, cmd_, " --> ret=", status);
    if (status == 0)
        parser_.finish(output_);
    return status;
}

int LayoutListing::finish()
{
    if (const int status = read(); status != 0)
        return status;
    if (!shows_indexed_layout(parser_, output_))
        return 0;
    indexed_ = true;
    start(true);
    return read();
}

bool shows_indexed_layout(const ChainListingParser &parser, const std::string &listing)
{
    for (const ListedRuleLine &line : parser.lines()) {
        const std::string_view target = line.target.in(listing);
        if (line.readable && indexed_target(target))
            return true;
    }
    return false;
}

namespace {

// The rate of the first logging line's limit ("limit: avg 5/sec", "limit:
// up to 5/sec"), 0 where it has none.
unsigned listed_log_limit(const ChainListingParser &parser, const std::string &listing)
{
    for (std::size_t c = 0; c < parser.chain_slots(); ++c)
        for (const ListedRuleLine &line : parser.chain(c)) {
            if (!line.readable || line.target.in(listing) != "NFLOG")
                continue;
            const std::string_view extra = line.extra.in(listing);
            for (const std::string_view head : {std::string_view("limit: avg "), std::string_view("limit: up to ")})
                if (const std::size_t at = extra.find(head); at != std::string_view::npos)
                    return static_cast<unsigned>(leading_number(extra.substr(at + head.size()), max_log_limit + 1));
            return 0;
        }
    return 0;
}

}  // namespace

ListingProof prove_listing(const RuleSet &set, const Family &family, const ChainListingParser &parser,
                           const std::string &listing)
{
    ListingProof proof;
    const bool indexed = shows_indexed_layout(parser, listing);
    proof.layout = compile_layout(set, family, indexed ? LayoutChoice::indexed : LayoutChoice::flat);
    proof.expected = expected_chain(set, family, proof.layout, listed_log_limit(parser, listing));
    if (indexed && !proof.layout.indexed)
        proof.mismatch = "the rule set does not match " + chain_of(family) +
                         ": the chain holds an indexed layout, and this rule set makes a flat one";
    else
        proof.mismatch = listing_mismatch(proof.expected, parser, listing, family);
    return proof;
}

}  // namespace zvn
