// IPv4 and IPv6 addresses, networks and ranges as rule sets write them.

#include <arpa/inet.h>

#include <cstdint>
#include <optional>
#include <string>

#include "zorvane_internal.h"

namespace zvn {

std::optional<std::uint32_t> parse_ipv4(const std::string &text)
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
    return address;
}

std::uint32_t Ipv4Network::first() const
{
    return prefix == 0 ? 0 : address & (~std::uint32_t{0} << (32 - prefix));
}

std::uint32_t Ipv4Network::last() const
{
    return prefix == 0 ? ~std::uint32_t{0} : first() | ~(~std::uint32_t{0} << (32 - prefix));
}

std::optional<Ipv4Network> parse_ipv4_network(const std::string &text)
{
    const std::size_t slash = text.find('/');
    const auto address = parse_ipv4(text.substr(0, slash));
    if (!address)
        return std::nullopt;
    Ipv4Network network{*address, 32};
    if (slash == std::string::npos)
        return network;
    const std::string length = text.substr(slash + 1);
    if (length.empty() || length.size() > 2 || length.find_first_not_of("0123456789") != std::string::npos ||
        (length[0] == '0' && length.size() > 1))
        return std::nullopt;
    network.prefix = static_cast<unsigned>(std::stoul(length));
    if (network.prefix > 32)
        return std::nullopt;
    return network;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> parse_ipv4_range(const std::string &text)
{
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const auto first = parse_ipv4(text.substr(0, dash));
    const auto last = parse_ipv4(text.substr(dash + 1));
    if (!first || !last)
        return std::nullopt;
    return std::make_pair(*first, *last);
}

std::string format_ipv4(std::uint32_t address)
{
    char text[16];
    char *end = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned part = (address >> shift) & 0xff;
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

std::optional<Ipv6Address> parse_ipv6(const std::string &text)
{
    Ipv6Address address{};
    if (text.find(':') == std::string::npos || inet_pton(AF_INET6, text.c_str(), address.data()) != 1)
        return std::nullopt;
    return address;
}

Ipv6Address Ipv6Network::first() const
{
    Ipv6Address masked = address;
    for (unsigned bit = prefix; bit < 128; ++bit)
        masked[bit / 8] = static_cast<std::uint8_t>(masked[bit / 8] & ~(0x80u >> (bit % 8)));
    return masked;
}

Ipv6Address Ipv6Network::last() const
{
    Ipv6Address filled = address;
    for (unsigned bit = prefix; bit < 128; ++bit)
        filled[bit / 8] = static_cast<std::uint8_t>(filled[bit / 8] | (0x80u >> (bit % 8)));
    return filled;
}

std::optional<Ipv6Network> parse_ipv6_network(const std::string &text)
{
    const std::size_t slash = text.find('/');
    const auto address = parse_ipv6(text.substr(0, slash));
    if (!address)
        return std::nullopt;
    Ipv6Network network{*address, 128};
    if (slash == std::string::npos)
        return network;
    const std::string length = text.substr(slash + 1);
    if (length.empty() || length.size() > 3 || length.find_first_not_of("0123456789") != std::string::npos ||
        (length[0] == '0' && length.size() > 1))
        return std::nullopt;
    network.prefix = static_cast<unsigned>(std::stoul(length));
    if (network.prefix > 128)
        return std::nullopt;
    return network;
}

std::optional<std::pair<Ipv6Address, Ipv6Address>> parse_ipv6_range(const std::string &text)
{
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    const auto first = parse_ipv6(text.substr(0, dash));
    const auto last = parse_ipv6(text.substr(dash + 1));
    if (!first || !last)
        return std::nullopt;
    return std::make_pair(*first, *last);
}

std::string format_ipv6(const Ipv6Address &address)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return text;
}

AddressBits bits_of(const Ipv6Address &address)
{
    AddressBits bits = 0;
    for (const std::uint8_t byte : address)
        bits = (bits << 8) | byte;
    return bits;
}

Ipv6Address address_of(AddressBits bits)
{
    Ipv6Address address{};
    for (int i = 15; i >= 0; --i) {
        address[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits & 0xff);
        bits >>= 8;
    }
    return address;
}

}  // namespace zvn
