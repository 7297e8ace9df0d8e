// Addresses, networks, ranges and ports as points of one space: an IPv4
// address in the low 32 bits, an IPv6 address in all 128, a port as its
// number. One interval type serves them all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zvn {

struct Family;

__extension__ typedef unsigned __int128 AddressBits;

// first to last, both included.
struct Interval {
    AddressBits first = 0, last = 0;
    bool operator==(const Interval &o) const { return first == o.first && last == o.last; }
    bool operator!=(const Interval &o) const { return !(*this == o); }
    bool operator<(const Interval &o) const { return first != o.first ? first < o.first : last < o.last; }
};

// The low bits a prefix of length leaves free in a space of width bits.
AddressBits host_mask(unsigned width, unsigned length);
// The number of significant bits of a value.
unsigned bit_length(AddressBits value);
// The longest prefix two points share within a space of width bits.
unsigned common_prefix(AddressBits first, AddressBits last, unsigned width);

// An address or a network "address/length" as written: the address keeps
// its host bits, so that a reader can tell 10.0.0.1/24 from 10.0.0.0/24.
struct Network {
    AddressBits address = 0;
    unsigned prefix = 32;
    unsigned width = 32;
    AddressBits first() const { return address & ~host_mask(width, prefix); }
    AddressBits last() const { return first() | host_mask(width, prefix); }
    Interval interval() const { return {first(), last()}; }
    bool host_bits_set() const { return address != first(); }
};

// A dotted quad of four decimal numbers 0..255 without leading zeros (some
// parsers read those as octal), or an IPv6 address; nothing else.
std::optional<AddressBits> parse_address(std::string_view text, const Family &family);
// An address, or "address/length" (0..32, 0..128) without leading zeros.
std::optional<Network> parse_network(std::string_view text, const Family &family);
// "a-b": the two addresses in the order written (first may lie above last).
std::optional<Interval> parse_range(std::string_view text, const Family &family);
// The family a source text names: IPv6 where it holds a colon.
const Family &family_of_text(std::string_view text);
// ::ffff:a.b.c.d, an IPv4 address written as IPv6.
bool ipv4_mapped(AddressBits address);

// An address as the tool writes it ("10.0.0.1", "2001:db8::1"); a network
// of a prefix length, without the length where it covers one address.
std::string format_address(AddressBits address, const Family &family);
std::string network_text(AddressBits first, unsigned length, const Family &family);

// Sorted, with touching and overlapping intervals joined.
std::vector<Interval> merged(std::vector<Interval> intervals);
// Every interval of inner lies within one interval of outer (both merged).
bool intervals_cover(const std::vector<Interval> &outer, const std::vector<Interval> &inner);

}  // namespace zvn
