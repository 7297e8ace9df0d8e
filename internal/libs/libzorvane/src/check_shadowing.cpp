// The check's shadowing: the first earlier rule that matches every packet a
// rule matches, found through an index of earlier rules by interface and
// source block instead of a comparison of every pair.

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "check.h"

namespace zvn {

namespace {

// The whole IPv4 space: what "any source" means with IPv4 alone.
const std::vector<Interval> every_address{{0, 0xffffffffu}};

bool interface_covers(const Match &a, const Match &b)
{
    const auto starts_with = [](const std::string &text, const std::string &prefix) {
        return text.compare(0, prefix.size(), prefix) == 0;
    };
    switch (a.interface) {
    case InterfaceMatch::any_but_lo:
        if (b.interface == InterfaceMatch::any_but_lo)
            return true;
        if (b.interface == InterfaceMatch::name)
            return b.interface_name != "lo";
        return !starts_with("lo", b.interface_name);  // b's wildcard must not take in lo
    case InterfaceMatch::name:
        return b.interface == InterfaceMatch::name && b.interface_name == a.interface_name;
    case InterfaceMatch::wildcard:
        if (b.interface == InterfaceMatch::any_but_lo)
            return a.interface_name.empty();
        return starts_with(b.interface_name, a.interface_name);
    }
    return false;
}

bool source_covers(const Match &a, const Match &b)
{
    switch (a.source) {
    case Match::Source::any:
        return true;
    case Match::Source::addresses:
        if (b.source == Match::Source::addresses)
            return intervals_cover(a.addresses, b.addresses);
        return intervals_cover(a.addresses, every_address);
    case Match::Source::countries:
        return b.source == Match::Source::countries &&
               std::includes(a.countries.begin(), a.countries.end(), b.countries.begin(), b.countries.end());
    }
    return false;
}

// a matches every packet that b matches.
bool covers(const Match &a, const Match &b)
{
    if ((a.families & b.families) != b.families)
        return false;
    if (a.protocol != Protocol::any && a.protocol != b.protocol)
        return false;
    if (a.has_ports && (!b.has_ports || !intervals_cover(a.ports, b.ports)))
        return false;
    return interface_covers(a, b) && source_covers(a, b);
}

// ---------------------------------------------------------------------------
// Shadowing: the first earlier rule that matches every packet a rule matches
// ---------------------------------------------------------------------------

// Earlier rules of one interface selector, indexed by source. A rule whose
// source is one interval of addresses is filed under the smallest CIDR block
// that holds it: a rule that covers another holds its whole span, so its
// block is that span's block or one of its ancestors, and only those are
// looked up. Rules of any source are tried for every rule; country rules
// only for country rules.
struct BlockKey {
    unsigned family;  // 1 IPv4, 2 IPv6
    unsigned prefix;
    AddressBits first;
    bool operator==(const BlockKey &o) const
    {
        return family == o.family && prefix == o.prefix && first == o.first;
    }
};

struct BlockKeyHash {
    std::size_t operator()(const BlockKey &key) const
    {
        const auto high = static_cast<std::uint64_t>(key.first >> 64), low = static_cast<std::uint64_t>(key.first);
        std::uint64_t h = high * 0x9e3779b97f4a7c15ULL ^ low;
        h ^= (std::uint64_t{key.family} << 8 | key.prefix) * 0xff51afd7ed558ccdULL;
        return static_cast<std::size_t>(h ^ (h >> 29));
    }
};

// The width of a family's addresses.
unsigned address_bits(unsigned family)
{
    return family == 2 ? 128 : 32;
}

// The point with every bit after the first prefix bits cleared.
AddressBits masked(AddressBits point, unsigned prefix, unsigned family)
{
    return point & ~host_mask(address_bits(family), prefix);
}

struct SourceIndex {
    std::unordered_map<BlockKey, std::vector<std::size_t>, BlockKeyHash> blocks;
    std::array<std::vector<unsigned>, 3> prefixes;  // per family: the prefix lengths filed, ascending
    std::vector<std::size_t> any, countries;
};

class ShadowFinder {
public:
    explicit ShadowFinder(const std::vector<Match> &matches) : matches_(matches) {}

    // The first earlier rule (index into matches) that covers rule b, or
    // matches.size() where there is none. Rules are offered in order.
    std::size_t first_cover(std::size_t b)
    {
        const Match &rule = matches_[b];
        std::size_t best = matches_.size();
        const auto try_index = [&](const SourceIndex &index) { search(index, rule, best); };
        const auto starts_with = [](const std::string &text, const std::string &prefix) {
            return text.compare(0, prefix.size(), prefix) == 0;
        };
        switch (rule.interface) {
        case InterfaceMatch::any_but_lo:
            try_index(any_but_lo_);
            break;
        case InterfaceMatch::name:
            if (const auto it = names_.find(rule.interface_name); it != names_.end())
                try_index(it->second);
            if (rule.interface_name != "lo")
                try_index(any_but_lo_);
            break;
        case InterfaceMatch::wildcard:
            if (!starts_with("lo", rule.interface_name))
                try_index(any_but_lo_);
            break;
        }
        for (const auto &[prefix, index] : wildcards_)
            if (rule.interface != InterfaceMatch::any_but_lo ? starts_with(rule.interface_name, prefix) : prefix.empty())
                try_index(index);
        return best;
    }

    void add(std::size_t a)
    {
        const Match &rule = matches_[a];
        SourceIndex *index = &any_but_lo_;
        if (rule.interface == InterfaceMatch::name) {
            index = &names_[rule.interface_name];
        } else if (rule.interface == InterfaceMatch::wildcard) {
            auto it = std::find_if(wildcards_.begin(), wildcards_.end(),
                                   [&](const auto &entry) { return entry.first == rule.interface_name; });
            if (it == wildcards_.end())
                it = wildcards_.insert(wildcards_.end(), {rule.interface_name, SourceIndex{}});
            index = &it->second;
        }
        switch (rule.source) {
        case Match::Source::any:
            index->any.push_back(a);
            return;
        case Match::Source::countries:
            index->countries.push_back(a);
            return;
        case Match::Source::addresses: {
            const unsigned family = rule.families;
            const AddressBits first = rule.addresses.front().first, last = rule.addresses.back().last;
            const unsigned prefix = common_prefix(first, last, address_bits(family));
            index->blocks[BlockKey{family, prefix, masked(first, prefix, family)}].push_back(a);
            auto &filed = index->prefixes[family];
            if (std::find(filed.begin(), filed.end(), prefix) == filed.end()) {
                filed.push_back(prefix);
                std::sort(filed.begin(), filed.end());
            }
            return;
        }
        }
    }

private:
    void scan(const std::vector<std::size_t> &candidates, const Match &rule, std::size_t &best) const
    {
        for (const std::size_t a : candidates) {
            if (a >= best)
                return;
            if (covers(matches_[a], rule)) {
                best = a;
                return;
            }
        }
    }

    void scan_blocks(const SourceIndex &index, unsigned family, AddressBits first, unsigned span_prefix,
                     const Match &rule, std::size_t &best) const
    {
        for (const unsigned prefix : index.prefixes[family]) {
            if (prefix > span_prefix)
                break;
            const auto it = index.blocks.find(BlockKey{family, prefix, masked(first, prefix, family)});
            if (it != index.blocks.end())
                scan(it->second, rule, best);
        }
    }

    void search(const SourceIndex &index, const Match &rule, std::size_t &best) const
    {
        scan(index.any, rule, best);
        switch (rule.source) {
        case Match::Source::addresses: {
            const AddressBits first = rule.addresses.front().first, last = rule.addresses.back().last;
            scan_blocks(index, rule.families, first, common_prefix(first, last, address_bits(rule.families)), rule, best);
            return;
        }
        case Match::Source::countries:
            scan(index.countries, rule, best);
            [[fallthrough]];
        case Match::Source::any:
            // With IPv4 alone, a network or range that spans every address
            // covers any source and every country too.
            if (rule.families == 1)
                scan_blocks(index, 1, 0, 0, rule, best);
            return;
        }
    }

    const std::vector<Match> &matches_;
    SourceIndex any_but_lo_;
    std::unordered_map<std::string, SourceIndex> names_;
    std::vector<std::pair<std::string, SourceIndex>> wildcards_;
};

}  // namespace

void find_shadowed(const std::vector<Match> &matches, std::vector<std::vector<Finding>> &per_rule)
{
    ShadowFinder finder(matches);
    for (std::size_t b = 0; b < matches.size(); ++b) {
        if (!matches[b].usable)
            continue;
        const std::size_t a = finder.first_cover(b);
        if (a < matches.size()) {
            const bool same = matches[a].allow == matches[b].allow;
            const std::string verdict = matches[a].allow ? "allows" : "drops";
            per_rule[b].push_back(
                {b + 1, "", false, same ? "redundant" : "shadowed",
                 same ? "rule " + std::to_string(b + 1) + " changes nothing: rule " + std::to_string(a + 1) +
                            " already " + verdict + " every packet it matches"
                      : "rule " + std::to_string(b + 1) + " never matches: rule " + std::to_string(a + 1) +
                            " " + verdict + " every packet it matches first",
                 a + 1});
        }
        finder.add(b);
    }
}


}  // namespace zvn
