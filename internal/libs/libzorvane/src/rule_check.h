// What the check's two halves share: a finding, and what a rule matches
// (interface, source as merged intervals or countries, protocol, ports),
// which the shadowing compares. Internal to the check.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "zorvane_internal.h"

namespace zvn {

struct Finding {
    std::size_t rule;
    const char *key;  // nullptr: the rule (or rule set) as a whole
    bool error;
    const char *code;
    std::string message;
    std::size_t other_rule = 0;  // 0: none
};

// A point of an address space (IPv4 in the low 32 bits, or IPv6) or a port.
struct Point {
    std::uint64_t high = 0, low = 0;
    bool operator<(const Point &o) const { return high != o.high ? high < o.high : low < o.low; }
    bool operator<=(const Point &o) const { return !(o < *this); }
    bool operator==(const Point &o) const { return high == o.high && low == o.low; }
};
constexpr Point point(std::uint64_t value)
{
    return Point{0, value};
}
Point point(const Ipv6Address &address);

using Interval = std::pair<Point, Point>;  // inclusive

enum class Interface { any_but_lo, name, wildcard };
enum class Source { any, addresses, countries };

struct Match {
    bool usable = true;  // every value it matches on could be read
    bool allow = false;
    unsigned families = 1;  // bit 1: the IPv4 chain, bit 2: the IPv6 chain
    Interface interface = Interface::any_but_lo;
    std::string interface_name;  // a name, or a wildcard's prefix without '+'
    Source source = Source::any;
    std::vector<Interval> addresses;     // sorted, merged; of the one family the rule is in
    std::vector<std::string> countries;  // sorted, upper case, unique
    int protocol = 0;                    // 0 any, 1 tcp, 2 udp, 3 icmp
    bool has_ports = false;
    std::vector<Interval> ports;  // sorted, merged
};

// Sorted, with touching and overlapping intervals joined.
std::vector<Interval> merged(std::vector<Interval> intervals);

// Adds to each rule's findings the first earlier rule that matches every
// packet it matches (shadowed, or redundant with the same verdict).
void find_shadowed(const std::vector<Match> &matches, std::vector<std::vector<Finding>> &per_rule);

}  // namespace zvn
