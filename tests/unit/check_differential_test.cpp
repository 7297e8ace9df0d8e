// The check's shadowing against a brute-force oracle, on random rule sets
// drawn from small pools so that rules often cover each other. The oracle
// knows nothing of the check's index: a rule's match set is a product of
// interface x (protocol, port) x (family, address, country), and one rule
// covers another where each factor of the other is a subset of its own,
// tested on every critical point (the ends of every interval, one past
// them, and a name or country no rule mentions). Suites for IPv4 alone and,
// in the IPv6 process, for rule sets that mix the families.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include <libzorvane.h>

namespace zvn_unit {
namespace {

using nlohmann::json;

// --- the oracle ---------------------------------------------------------------------------

struct Addr {
    int family;            // 4 or 6
    unsigned char b[16];   // big-endian; IPv4 in the first 4 bytes
    bool operator<(const Addr &o) const
    {
        return family != o.family ? family < o.family : std::memcmp(b, o.b, 16) < 0;
    }
    bool operator<=(const Addr &o) const { return !(o < *this); }
};

Addr parse_addr(const std::string &text)
{
    Addr a{};
    a.family = text.find(':') != std::string::npos ? 6 : 4;
    inet_pton(a.family == 6 ? AF_INET6 : AF_INET, text.c_str(), a.b);
    return a;
}

// Adds delta (+1 or -1) in the family's width; false past either end.
bool step(Addr &a, int delta)
{
    const int width = a.family == 6 ? 16 : 4;
    for (int i = width - 1; i >= 0; --i) {
        const int v = a.b[i] + delta;
        if (v >= 0 && v <= 255) {
            a.b[i] = static_cast<unsigned char>(v);
            return true;
        }
        a.b[i] = static_cast<unsigned char>(delta > 0 ? 0 : 255);
    }
    return false;
}

std::pair<Addr, Addr> interval_of(const std::string &value)
{
    const auto dash = value.find('-');
    if (dash != std::string::npos)
        return {parse_addr(value.substr(0, dash)), parse_addr(value.substr(dash + 1))};
    const auto slash = value.find('/');
    Addr first = parse_addr(value.substr(0, slash));
    const int width = first.family == 6 ? 128 : 32;
    const int prefix = slash == std::string::npos ? width : std::stoi(value.substr(slash + 1));
    Addr last = first;
    for (int bit = prefix; bit < width; ++bit) {
        first.b[bit / 8] = static_cast<unsigned char>(first.b[bit / 8] & ~(0x80 >> (bit % 8)));
        last.b[bit / 8] = static_cast<unsigned char>(last.b[bit / 8] | (0x80 >> (bit % 8)));
    }
    return {first, last};
}

struct Packet {
    std::string interface;
    std::string protocol;  // tcp udp icmp gre
    int port;              // -1 for protocols without ports
    Addr source;
    std::string country;
};

const std::string *text_of(const json &rule, const char *key)
{
    const auto it = rule.find(key);
    return it != rule.end() && it->is_string() && !it->get<std::string>().empty() ? &it->get_ref<const std::string &>()
                                                                                 : nullptr;
}

bool list_of(const json &rule, const char *key)
{
    const auto it = rule.find(key);
    return it != rule.end() && it->is_array() && !it->empty();
}

// Which families' chains hold the rule.
std::set<int> families_of(const json &rule, bool ipv6)
{
    if (!ipv6)
        return {4};
    const std::string *source = text_of(rule, "src_IP_cidr") ? text_of(rule, "src_IP_cidr") : text_of(rule, "src_IP_range");
    if (source == nullptr)
        return {4, 6};
    return {source->find(':') != std::string::npos ? 6 : 4};
}

bool matches(const json &rule, const Packet &p, bool ipv6)
{
    if (const std::string *name = text_of(rule, "interface")) {
        if (name->back() == '+' ? p.interface.rfind(name->substr(0, name->size() - 1), 0) != 0 : p.interface != *name)
            return false;
    } else if (p.interface == "lo") {
        return false;
    }
    if (const std::string *protocol = text_of(rule, "protocol"); protocol && *protocol != p.protocol)
        return false;
    if (list_of(rule, "dports_list")) {
        if (p.port < 0)
            return false;
        bool in = false;
        for (const auto &element : rule["dports_list"]) {
            const std::string text = element;
            const auto colon = text.find(':');
            const int a = std::stoi(text.substr(0, colon)), b = colon == std::string::npos ? a : std::stoi(text.substr(colon + 1));
            in = in || (a <= p.port && p.port <= b);
        }
        if (!in)
            return false;
    }
    if (!families_of(rule, ipv6).count(p.source.family))
        return false;
    const std::string *source = text_of(rule, "src_IP_cidr") ? text_of(rule, "src_IP_cidr") : text_of(rule, "src_IP_range");
    if (source != nullptr) {
        const auto [first, last] = interval_of(*source);
        return first <= p.source && p.source <= last;
    }
    if (list_of(rule, "src_country")) {
        for (const auto &country : rule["src_country"])
            if (country == p.country)
                return true;
        return false;
    }
    return true;
}

// Every packet that tells two rules' sets apart, dimension by dimension.
std::vector<Packet> critical_packets(const json &rules, bool ipv6)
{
    std::set<std::string> interfaces{"lo", "eth0", "q"}, countries{"ZZ"};
    std::set<int> ports{0, 65535};
    std::set<Addr> addresses;
    for (int family : {4, 6}) {
        if (family == 6 && !ipv6)
            continue;
        Addr low{}, high{};
        low.family = high.family = family;
        std::memset(high.b, 0xff, family == 6 ? 16 : 4);
        addresses.insert(low);
        addresses.insert(high);
    }
    for (const auto &rule : rules) {
        if (const std::string *name = text_of(rule, "interface")) {
            const std::string stem = name->back() == '+' ? name->substr(0, name->size() - 1) : *name;
            interfaces.insert(stem);
            interfaces.insert(stem + "x");
        }
        const std::string *source = text_of(rule, "src_IP_cidr") ? text_of(rule, "src_IP_cidr") : text_of(rule, "src_IP_range");
        if (source != nullptr) {
            auto [first, last] = interval_of(*source);
            addresses.insert(first);
            addresses.insert(last);
            if (step(first, -1))
                addresses.insert(first);
            if (step(last, +1))
                addresses.insert(last);
        }
        if (list_of(rule, "src_country"))
            for (const auto &country : rule["src_country"])
                countries.insert(country.get<std::string>());
        if (list_of(rule, "dports_list"))
            for (const auto &element : rule["dports_list"]) {
                const std::string text = element;
                const auto colon = text.find(':');
                for (const int end : {std::stoi(text.substr(0, colon)),
                                      colon == std::string::npos ? -1 : std::stoi(text.substr(colon + 1))})
                    for (const int p : {end - 1, end, end + 1})
                        if (end >= 0 && p >= 0 && p <= 65535)
                            ports.insert(p);
            }
    }
    std::vector<Packet> packets;
    for (const auto &interface : interfaces)
        for (const auto &address : addresses)
            for (const auto &country : countries) {
                for (const char *protocol : {"icmp", "gre"})
                    packets.push_back({interface, protocol, -1, address, country});
                for (const char *protocol : {"tcp", "udp"})
                    for (const int port : ports)
                        packets.push_back({interface, protocol, port, address, country});
            }
    return packets;
}

// --- random rule sets ----------------------------------------------------------------------

json random_rules(std::mt19937 &random, bool ipv6)
{
    const auto pick = [&](const std::vector<std::string> &pool) {
        return pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(random)];
    };
    const std::vector<std::string> interfaces{"", "eth0", "eth1", "eth+", "e+", "lo", "+"};
    std::vector<std::string> cidrs{"10.0.0.0/8", "10.1.0.0/16", "10.1.2.0/24", "10.1.2.3", "0.0.0.0/0", "192.168.0.0/16"};
    std::vector<std::string> ranges{"10.1.0.0-10.1.255.255", "10.0.0.0-10.2.0.0", "10.1.2.0-10.1.2.9"};
    if (ipv6) {
        cidrs.insert(cidrs.end(), {"2001:db8::/32", "2001:db8:1::/48", "::/0", "2001:db8:1::5"});
        ranges.insert(ranges.end(), {"2001:db8:1::-2001:db8:1::ff", "2001:db8::-2001:db9::"});
    }
    const std::vector<std::vector<std::string>> countries{{"US"}, {"US", "GB"}, {"GB"}};
    const std::vector<std::string> protocols{"", "tcp", "udp", "icmp"};
    const std::vector<std::vector<std::string>> port_lists{{"22"}, {"20:30"}, {"22", "80"}, {"1:1000"}, {"80"}};
    json rules = json::array();
    const int count = std::uniform_int_distribution<int>(2, 14)(random);
    for (int i = 0; i < count; ++i) {
        json rule = {{"allow", random() % 2 == 0}};
        if (const std::string name = pick(interfaces); !name.empty())
            rule["interface"] = name;
        switch (random() % 4) {
        case 0: rule["src_IP_cidr"] = pick(cidrs); break;
        case 1: rule["src_IP_range"] = pick(ranges); break;
        case 2: rule["src_country"] = countries[random() % countries.size()]; break;
        default: break;
        }
        const std::string protocol = pick(protocols);
        if (!protocol.empty())
            rule["protocol"] = protocol;
        if ((protocol == "tcp" || protocol == "udp") && random() % 2 == 0)
            rule["dports_list"] = port_lists[random() % port_lists.size()];
        rules.push_back(rule);
    }
    return rules;
}

void compare_with_oracle(bool ipv6)
{
    std::mt19937 random(20261209u + (ipv6 ? 1u : 0u));
    int covered_seen = 0;
    for (int round = 0; round < 400; ++round) {
        const json rules = random_rules(random, ipv6);
        std::vector<char> buffer(1 << 16);
        ASSERT_GE(zvn_check_rules_json(rules.dump().c_str(), buffer.data(), buffer.size()), 0);
        std::set<int> unusable;
        std::map<int, std::pair<std::string, int>> reported;
        for (const auto &f : json::parse(buffer.data())) {
            if (f["severity"] == "error")
                unusable.insert(f["rule"].get<int>());
            if (f.contains("other_rule"))
                reported[f["rule"]] = {f["code"], f["other_rule"]};
        }
        const auto packets = critical_packets(rules, ipv6);
        std::vector<std::vector<bool>> match(rules.size());
        for (std::size_t r = 0; r < rules.size(); ++r)
            for (const auto &p : packets)
                match[r].push_back(matches(rules[r], p, ipv6));
        std::map<int, std::pair<std::string, int>> expected;
        for (std::size_t b = 0; b < rules.size(); ++b) {
            if (unusable.count(static_cast<int>(b + 1)))
                continue;
            for (std::size_t a = 0; a < b; ++a) {
                if (unusable.count(static_cast<int>(a + 1)))
                    continue;
                bool covers = true;
                for (std::size_t p = 0; p < packets.size() && covers; ++p)
                    covers = !match[b][p] || match[a][p];
                if (covers) {
                    expected[static_cast<int>(b + 1)] = {rules[a]["allow"] == rules[b]["allow"] ? "redundant" : "shadowed",
                                                         static_cast<int>(a + 1)};
                    break;
                }
            }
        }
        covered_seen += static_cast<int>(expected.size());
        ASSERT_EQ(reported, expected) << rules.dump();
    }
    EXPECT_GT(covered_seen, 400);  // the pools make covering common
}

TEST(CheckDifferential, ShadowingAgreesWithTheOracle)
{
    compare_with_oracle(false);
}

TEST(Ipv6CheckDifferential, ShadowingAgreesWithTheOracleOverBothFamilies)
{
    compare_with_oracle(true);
}

}  // namespace
}  // namespace zvn_unit
