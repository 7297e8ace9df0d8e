// IPv4 and IPv6 addresses, networks and ranges as rule sets and the tool
// write them.

#include "addresses.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

#include "families.h"

namespace zvn {

AddressBits host_mask(unsigned width, unsigned length)
{
    const unsigned host = width > length ? width - length : 0;
    if (host == 0)
        return 0;
    if (host >= 128)
        return ~AddressBits(0);
    return (AddressBits(1) << host) - 1;
}

unsigned bit_length(AddressBits value)
{
    unsigned length = 0;
    while (value != 0) {
        value >>= 1;
        ++length;
    }
    return length;
}

unsigned common_prefix(AddressBits first, AddressBits last, unsigned width)
{
    const unsigned differing = bit_length(first ^ last);
    return differing >= width ? 0 : width - differing;
}

namespace {

std::optional<AddressBits> parse_ipv4(std::string_view text)
{
    std::uint32_t address = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return std::nullopt;
            ++pos;
        }
        const std::size_t digits_start = pos;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - digits_start < 3)
            value = value * 10 + static_cast<unsigned>(text[pos++] - '0');
        // A leading zero is refused: some parsers read such a part as octal.
        if (pos == digits_start || value > 255 || (text[digits_start] == '0' && pos - digits_start > 1))
            return std::nullopt;
        address = (address << 8) | value;
    }
    if (pos != text.size())
        return std::nullopt;
    return AddressBits(address);
}

std::optional<AddressBits> parse_ipv6(std::string_view text)
{
    if (text.find(':') == std::string_view::npos || text.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    std::array<unsigned char, 16> bytes{};
    const std::string copy(text);
    if (inet_pton(AF_INET6, copy.c_str(), bytes.data()) != 1)
        return std::nullopt;
    AddressBits bits = 0;
    for (const unsigned char byte : bytes)
        bits = (bits << 8) | byte;
    return bits;
}

}  // namespace

std::optional<AddressBits> parse_address(std::string_view text, const Family &family)
{
    return family.width == 128 ? parse_ipv6(text) : parse_ipv4(text);
}

std::optional<Network> parse_network(std::string_view text, const Family &family)
{
    const std::size_t slash = text.find('/');
    const auto address = parse_address(text.substr(0, slash), family);
    if (!address)
        return std::nullopt;
    Network network{*address, family.width, family.width};
    if (slash == std::string_view::npos)
        return network;
    const std::string_view length = text.substr(slash + 1);
    const std::size_t most_digits = family.width == 128 ? 3 : 2;
    if (length.empty() || length.size() > most_digits || (length[0] == '0' && length.size() > 1) ||
        !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    unsigned prefix = 0;
    for (const char c : length)
        prefix = prefix * 10 + static_cast<unsigned>(c - '0');
    if (prefix > family.width)
        return std::nullopt;
    network.prefix = prefix;
    return network;
}

std::optional<Interval> parse_range(std::string_view text, const Family &family)
{
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos)
        return std::nullopt;
    const auto first = parse_address(text.substr(0, dash), family);
    const auto last = parse_address(text.substr(dash + 1), family);
    if (!first || !last)
        return std::nullopt;
    return Interval{*first, *last};
}

const Family &family_of_text(std::string_view text)
{
    return text.find(':') != std::string_view::npos ? ipv6 : ipv4;
}

bool ipv4_mapped(AddressBits address)
{
    return (address >> 32) == 0xffff;
}

std::string format_address(AddressBits address, const Family &family)
{
    if (family.width == 128) {
        std::array<unsigned char, 16> bytes{};
        for (int i = 15; i >= 0; --i) {
            bytes[static_cast<std::size_t>(i)] = static_cast<unsigned char>(address & 0xff);
            address >>= 8;
        }
        char text[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, bytes.data(), text, sizeof text);
        return text;
    }
    char text[16];
    char *end = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned part = static_cast<unsigned>(address >> shift) & 0xff;
        if (part >= 100)
            *end++ = static_cast<char>('0' + part / 100);
        if (part >= 10)
            *end++ = static_cast<char>('0' + part / 10 % 10);
        *end++ = static_cast<char>('0' + part % 10);
        if (shift > 0)
            *end++ = '.';
    }
    return std::string(text, end);
}

std::string network_text(AddressBits first, unsigned length, const Family &family)
{
    const std::string address = format_address(first, family);
    return length == family.width ? address : address + "/" + std::to_string(length);
}

std::vector<Interval> merged(std::vector<Interval> intervals)
{
    std::sort(intervals.begin(), intervals.end());
    std::vector<Interval> result;
    for (const Interval &next : intervals) {
        // Touching intervals join too: the one after the end of the space
        // is nothing.
        if (!result.empty() &&
            (result.back().last == ~AddressBits(0) || next.first <= result.back().last + 1))
            result.back().last = std::max(result.back().last, next.last);
        else
            result.push_back(next);
    }
    return result;
}

bool intervals_cover(const std::vector<Interval> &outer, const std::vector<Interval> &inner)
{
    for (const Interval &piece : inner) {
        auto it = std::upper_bound(outer.begin(), outer.end(), Interval{piece.first, ~AddressBits(0)});
        if (it == outer.begin())
            return false;
        --it;
        if (piece.first < it->first || it->last < piece.last)
            return false;
    }
    return true;
}

}  // namespace zvn
