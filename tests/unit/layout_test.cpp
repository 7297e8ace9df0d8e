// The indexed layout against the rule set's own meaning. Random rule sets
// of every kind are compiled into both layouts and written out as restore
// text; the text is read back by a small interpreter of iptables' own rules
// (first match decides, NFLOG goes on, -j returns, -g does not, a source
// list stands as one line per address) and random packets are sent through
// it. For every packet the deciding rule, the verdict and the logged
// prefixes must be those of the first rule of the model that matches, in
// the flat and the indexed layout alike; and each rule's count, summed over
// the lines the readers count, must be the number of packets it decided.
// Hostile mixes must stay within the line budget and never walk longer
// than the flat chain.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "stages.h"

namespace zvn_unit {
namespace {

using zvn::AddressBits;

// --- packets and the model's meaning -------------------------------------------------------

struct Packet {
    AddressBits source = 0;
    std::string in;
    std::string protocol;  // tcp, udp, icmp, ipv6-icmp, gre
    unsigned port = 0;
    std::string country;
};

struct Outcome {
    std::size_t rule = 0;  // 0: no rule decided
    bool accepted = false;
    std::vector<std::size_t> logged;
    bool operator==(const Outcome &o) const { return rule == o.rule && accepted == o.accepted && logged == o.logged; }
};

std::ostream &operator<<(std::ostream &out, const Outcome &o)
{
    out << "rule " << o.rule << (o.accepted ? " accepts" : " drops") << ", logged";
    for (const auto r : o.logged)
        out << " " << r;
    return out;
}

// Addresses read with inet_pton, apart from the library's own parser.
bool address(const std::string &text, bool six, AddressBits &bits)
{
    unsigned char bytes[16];
    if (inet_pton(six ? AF_INET6 : AF_INET, text.c_str(), bytes) != 1)
        return false;
    bits = 0;
    for (int i = 0; i < (six ? 16 : 4); ++i)
        bits = (bits << 8) | bytes[i];
    return true;
}

struct Span {
    AddressBits first, last;
};

bool network(const std::string &text, bool six, Span &span)
{
    const unsigned width = six ? 128 : 32;
    const auto slash = text.find('/');
    AddressBits bits = 0;
    if (!address(text.substr(0, slash), six, bits))
        return false;
    const unsigned length = slash == std::string::npos ? width : static_cast<unsigned>(std::stoul(text.substr(slash + 1)));
    const AddressBits host = length == width ? 0 : length == 0 && width == 128 ? ~AddressBits(0)
                                                                               : (AddressBits(1) << (width - length)) - 1;
    span = {bits & ~host, bits | host};
    return true;
}

bool interface_matches(const std::string &name, const std::string &in)
{
    if (!name.empty() && name.back() == '+')
        return in.compare(0, name.size() - 1, name, 0, name.size() - 1) == 0;
    return in == name;
}

bool port_in(const std::vector<std::string> &ports, unsigned port)
{
    for (const auto &item : ports) {
        const auto colon = item.find(':');
        const unsigned low = static_cast<unsigned>(std::stoul(item.substr(0, colon)));
        const unsigned high = colon == std::string::npos ? low : static_cast<unsigned>(std::stoul(item.substr(colon + 1)));
        if (port >= low && port <= high)
            return true;
    }
    return false;
}

bool rule_matches(const zvn::Rule &rule, const Packet &p, bool six)
{
    const zvn::Written &w = rule.written;
    if (rule.interface_set() ? !interface_matches(w.interface_text, p.in) : p.in == "lo")
        return false;
    switch (rule.source) {
    case zvn::SourceKind::address: {
        bool any = false;
        std::stringstream list(w.cidr_text);
        std::string element;
        while (std::getline(list, element, ',')) {
            Span span{};
            any = any || (network(element, six, span) && p.source >= span.first && p.source <= span.last);
        }
        if (!any)
            return false;
        break;
    }
    case zvn::SourceKind::range: {
        const auto dash = w.range_text.find('-');
        AddressBits low = 0, high = 0;
        if (!address(w.range_text.substr(0, dash), six, low) || !address(w.range_text.substr(dash + 1), six, high) ||
            p.source < low || p.source > high)
            return false;
        break;
    }
    case zvn::SourceKind::countries:
        if (std::find(w.countries.begin(), w.countries.end(), p.country) == w.countries.end())
            return false;
        break;
    case zvn::SourceKind::none:
        break;
    }
    if (rule.protocol_set() && (w.protocol_text == "icmp" ? (six ? "ipv6-icmp" : "icmp") : w.protocol_text) != p.protocol)
        return false;
    return !rule.ports_set() || port_in(w.ports, p.port);
}

Outcome first_match(const zvn::RuleSet &set, const zvn::Family &family, const Packet &p)
{
    for (const auto &rule : set.rules)
        if (rule.in_family(family) && rule_matches(rule, p, family.bit == zvn::ipv6.bit))
            return {rule.number, rule.allow, rule.allow ? std::vector<std::size_t>{} : std::vector<std::size_t>{rule.number}};
    return {};
}

// --- the restore text, run ----------------------------------------------------------------

struct TextLine {
    std::size_t rule = 0;  // of the line in the file (0: none)
    bool has_in = false, not_in = false;
    std::string in;
    bool any_source = true;
    Span source{};
    bool has_range = false;
    Span range{};
    std::vector<std::string> countries;
    std::string protocol;
    std::vector<std::string> ports;
    std::string target;
    bool go = false;
    std::size_t logs = 0;  // RULE=n of an NFLOG line
    unsigned long long packets = 0;
};

std::vector<std::string> words_of(const std::string &line)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        if (i >= line.size())
            break;
        std::string word;
        if (line[i] == '"') {
            const auto end = line.find('"', i + 1);
            word = line.substr(i + 1, end - i - 1);
            i = end + 1;
        } else {
            while (i < line.size() && line[i] != ' ')
                word += line[i++];
        }
        words.push_back(word);
    }
    return words;
}

std::vector<std::string> split(const std::string &text, char by)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, by))
        parts.push_back(part);
    return parts;
}

class Chains {
public:
    Chains(const std::string &text, const std::vector<std::uint32_t> &line_rules, bool six) : six_(six)
    {
        std::istringstream in(text);
        std::string line;
        std::size_t number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (line.rfind("-A ", 0) != 0)
                continue;
            const auto words = words_of(line);
            TextLine parsed;
            parsed.rule = line_rules.at(number - 1);
            std::vector<std::string> sources;
            for (std::size_t w = 2; w < words.size(); ++w) {
                const std::string &word = words[w];
                if (word == "!" && words[w + 1] == "-i") {
                    parsed.has_in = parsed.not_in = true;
                    parsed.in = words[w + 2];
                    w += 2;
                } else if (word == "-i") {
                    parsed.has_in = true;
                    parsed.in = words[++w];
                } else if (word == "-s") {
                    sources = split(words[++w], ',');
                } else if (word == "--src-range") {
                    const auto ends = split(words[++w], '-');
                    parsed.has_range = address(ends[0], six, parsed.range.first) && address(ends[1], six, parsed.range.last);
                } else if (word == "--source-country") {
                    parsed.countries = split(words[++w], ',');
                } else if (word == "-p") {
                    parsed.protocol = words[++w];
                } else if (word == "--dports") {
                    parsed.ports = split(words[++w], ',');
                } else if (word == "-j" || word == "-g") {
                    parsed.go = word == "-g";
                    parsed.target = words[++w];
                } else if (word == "--nflog-prefix") {
                    parsed.logs = std::stoul(words[++w].substr(5));
                }
            }
            // The tool makes one line of each address of a source list.
            if (sources.empty())
                sources.push_back("");
            for (const auto &source : sources) {
                TextLine one = parsed;
                if (!source.empty()) {
                    one.any_source = false;
                    EXPECT_TRUE(network(source, six, one.source)) << source;
                }
                chains_[words[1]].push_back(one);
            }
        }
    }

    Outcome run(const Packet &p)
    {
        Outcome outcome;
        std::vector<std::pair<std::string, std::size_t>> frames{{zvn::chain_name, 0}};
        std::size_t steps = 0;
        while (!frames.empty()) {
            EXPECT_LT(++steps, 1000000u) << "a loop";
            auto &[chain, next] = frames.back();
            auto &lines = chains_[chain];
            if (next >= lines.size()) {
                frames.pop_back();
                continue;
            }
            TextLine &line = lines[next++];
            if (!matches(line, p))
                continue;
            ++line.packets;
            if (line.target == "ACCEPT" || line.target == "DROP") {
                outcome.rule = line.rule;
                outcome.accepted = line.target == "ACCEPT";
                return outcome;
            }
            if (line.target == "NFLOG") {
                outcome.logged.push_back(line.logs);
            } else if (line.target == "RETURN") {
                frames.pop_back();
            } else if (line.go) {
                frames.back() = {line.target, 0};
            } else {
                frames.emplace_back(line.target, 0);
            }
        }
        return outcome;
    }

    // A line's counter by chain index and listed position, as the readers
    // name it.
    unsigned long long packets(std::uint32_t chain, std::uint32_t position)
    {
        return chains_[zvn::layout_chain_name(chain)].at(position - 1).packets;
    }

private:
    bool matches(const TextLine &line, const Packet &p) const
    {
        if (line.has_in && interface_matches(line.in, p.in) == line.not_in)
            return false;
        if (!line.any_source && (p.source < line.source.first || p.source > line.source.last))
            return false;
        if (line.has_range && (p.source < line.range.first || p.source > line.range.last))
            return false;
        if (!line.countries.empty() &&
            std::find(line.countries.begin(), line.countries.end(), p.country) == line.countries.end())
            return false;
        if (!line.protocol.empty() && line.protocol != p.protocol)
            return false;
        return line.ports.empty() || port_in(line.ports, p.port);
    }

    bool six_;
    std::map<std::string, std::vector<TextLine>> chains_;
};

// --- random rule sets and packets -----------------------------------------------------------

std::string text_of(AddressBits bits, bool six)
{
    unsigned char bytes[16];
    for (int i = (six ? 15 : 3); i >= 0; --i) {
        bytes[i] = static_cast<unsigned char>(bits & 0xff);
        bits >>= 8;
    }
    char text[INET6_ADDRSTRLEN];
    inet_ntop(six ? AF_INET6 : AF_INET, bytes, text, sizeof text);
    return text;
}

struct Generator {
    std::mt19937_64 rng;
    bool six;
    std::vector<AddressBits> bases;  // clusters the rules and packets share

    Generator(std::uint64_t seed, bool six_family) : rng(seed), six(six_family)
    {
        for (int i = 0; i < 12; ++i)
            bases.push_back(random_address() & ~host(six ? 48 : 16));
    }
    unsigned width() const { return six ? 128 : 32; }
    AddressBits host(unsigned length) const
    {
        return length >= width() ? 0 : length == 0 && six ? ~AddressBits(0) : (AddressBits(1) << (width() - length)) - 1;
    }
    AddressBits random_address()
    {
        AddressBits bits = (AddressBits(rng()) << 64) | rng();
        return six ? bits : bits & 0xffffffffu;
    }
    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(rng() % n); }
    AddressBits near_address()
    {
        return pick(10) == 0 ? random_address() : bases[pick(bases.size())] | (random_address() & host(six ? 48 : 16));
    }
    std::string prefix(unsigned length)
    {
        return text_of(near_address() & ~host(length), six) + "/" + std::to_string(length);
    }

    // One rule of any kind; hostile draws wide, overlapping sources.
    nlohmann::json rule(bool hostile)
    {
        nlohmann::json r = {{"allow", pick(2) == 0}};
        const unsigned base = six ? 96 : 0;  // IPv6 prefixes end in the same low bits
        const std::size_t kind = pick(hostile ? 5 : 10);
        if (hostile) {
            if (kind <= 2)
                r["src_IP_cidr"] = prefix(base + 8 + static_cast<unsigned>(pick(17)));
            else if (kind == 3) {
                const AddressBits low = near_address() & ~host(base + 8);
                r["src_IP_range"] = text_of(low, six) + "-" + text_of(low + (random_address() & host(base + 10)), six);
            }
        } else if (kind <= 3) {
            r["src_IP_cidr"] = text_of(near_address(), six);
        } else if (kind == 4) {
            r["src_IP_cidr"] = prefix(base + 24);
        } else if (kind == 5) {
            r["src_IP_cidr"] = prefix(base + 16 + static_cast<unsigned>(pick(3)) * 4);
        } else if (kind == 6) {
            const AddressBits low = near_address();
            r["src_IP_range"] = text_of(low, six) + "-" + text_of(low + pick(5000), six);
        } else if (kind == 7) {
            r["src_IP_cidr"] = text_of(near_address(), six) + "," + prefix(base + 28);
        } else if (kind == 8) {
            r["src_country"] = pick(2) == 0 ? nlohmann::json{"US"} : nlohmann::json{"GB", "DE"};
        }
        static const char *const interfaces[] = {"eth3", "eth2", "eth+"};
        if (pick(4) == 0)
            r["interface"] = interfaces[pick(3)];
        const std::size_t protocol = pick(6);
        if (protocol <= 1) {
            r["protocol"] = protocol == 0 ? "tcp" : "udp";
            if (pick(2) == 0)
                r["dports_list"] = pick(2) == 0 ? nlohmann::json{std::to_string(20 + pick(10))}
                                                : nlohmann::json{"22", std::to_string(1000 + pick(50)) + ":1100"};
        } else if (protocol == 2) {
            r["protocol"] = "icmp";
        }
        return r;
    }

    std::string rule_set(std::size_t rules, bool hostile, bool loopback_rule)
    {
        nlohmann::json set = nlohmann::json::array();
        for (std::size_t i = 0; i < rules; ++i)
            set.push_back(rule(hostile));
        if (loopback_rule)
            set.insert(set.begin() + static_cast<std::ptrdiff_t>(pick(set.size())),
                       nlohmann::json{{"interface", "lo"}, {"protocol", "udp"}, {"allow", false}});
        return set.dump();
    }

    Packet packet()
    {
        static const char *const interfaces[] = {"eth3", "eth2", "eth9", "lo"};
        static const char *const countries[] = {"US", "GB", "DE", "FR"};
        const char *protocols[] = {"tcp", "udp", six ? "ipv6-icmp" : "icmp", "gre"};
        Packet p;
        p.source = near_address();
        p.in = interfaces[pick(4)];
        p.protocol = protocols[pick(4)];
        p.port = pick(2) == 0 ? static_cast<unsigned>(20 + pick(12)) : static_cast<unsigned>(990 + pick(150));
        p.country = countries[pick(4)];
        return p;
    }
};

// --- the tests ---------------------------------------------------------------------------------

struct Run {
    std::size_t indexed_sets = 0, packets = 0;
};

// Compiles one rule set both ways, runs the packets through both texts and
// compares each with the model; then the counts.
void differential(const std::string &rules, Generator &gen, const zvn::Family &family, std::size_t packets, Run &run)
{
    zvn::RuleSet set;
    ASSERT_TRUE(read(rules, set)) << rules;
    const bool six = family.bit == zvn::ipv6.bit;
    for (const auto choice : {zvn::LayoutChoice::flat, zvn::LayoutChoice::indexed}) {
        const zvn::Layout layout = zvn::compile_layout(set, family, choice);
        run.indexed_sets += layout.indexed ? 1 : 0;
        std::string text;
        std::vector<std::uint32_t> line_rules;
        text = restore_text(set, family, &layout, {}, &line_rules);
        Chains chains(text, line_rules, six);
        std::vector<unsigned long long> decided(set.rules.size() + 1, 0);
        for (std::size_t i = 0; i < packets; ++i) {
            const Packet p = gen.packet();
            const Outcome want = first_match(set, family, p);
            const Outcome got = chains.run(p);
            ASSERT_EQ(got, want) << (layout.indexed ? "indexed" : "flat") << " layout, packet from "
                                 << text_of(p.source, six) << " on " << p.in << " " << p.protocol << " " << p.port
                                 << " " << p.country << "\n"
                                 << rules;
            ++decided[got.rule];
            ++run.packets;
        }
        const zvn::ExpectedChain expected = zvn::expected_chain(set, family, layout, 0);
        for (std::size_t r = 0; r < set.rules.size(); ++r) {
            unsigned long long sum = 0;
            for (const auto &[chain, position] : expected.counted[r])
                sum += chains.packets(chain, position);
            EXPECT_EQ(sum, decided[r + 1]) << "rule " << r + 1 << " in the " << (layout.indexed ? "indexed" : "flat")
                                           << " layout";
        }
    }
}

void differential_suite(const zvn::Family &family, bool six)
{
    Run run;
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        Generator gen(seed, six);
        const std::size_t rules = seed % 4 == 0 ? 30 : 150 + gen.pick(250);
        differential(gen.rule_set(rules, seed % 5 == 0, seed % 7 == 0), gen, family, 1500, run);
        if (testing::Test::HasFatalFailure())
            return;
    }
    // Most sets must really have been indexed, or the test proves nothing.
    EXPECT_GE(run.indexed_sets, 25u);
}

TEST(Layout, IndexedDecidesCountsAndLogsAsTheFlatChain)
{
    differential_suite(zvn::ipv4, false);
}

TEST(LayoutIpv6, IndexedDecidesCountsAndLogsAsTheFlatChain)
{
    differential_suite(zvn::ipv6, true);
}

// Figures of one layout.
struct Figures {
    zvn::Layout layout, flat;
};

Figures figures(const std::string &rules, const zvn::Family &family = zvn::ipv4)
{
    zvn::RuleSet set;
    EXPECT_TRUE(read(rules, set));
    return {zvn::compile_layout(set, family, zvn::LayoutChoice::indexed),
            zvn::compile_layout(set, family, zvn::LayoutChoice::flat)};
}

TEST(Layout, HostileMixesStayWithinTheBudgetAndNeverWalkLonger)
{
    for (std::uint64_t seed = 100; seed < 112; ++seed) {
        Generator gen(seed, false);
        const Figures f = figures(gen.rule_set(500 + gen.pick(3000), true, seed % 3 == 0));
        EXPECT_LE(f.layout.lines, 4 * f.flat.lines) << "seed " << seed;
        EXPECT_LE(f.layout.deepest_walk, f.flat.deepest_walk) << "seed " << seed;
        EXPECT_LE(f.layout.chains.size(), 4001u) << "seed " << seed;
    }
}

TEST(Layout, ABlockListWalksFewLinesInFewChains)
{
    std::mt19937 rng(7);
    nlohmann::json set = nlohmann::json::array();
    for (int i = 0; i < 10000; ++i)
        set.push_back({{"src_IP_cidr", text_of(rng(), false)}, {"allow", false}});
    set.push_back({{"allow", true}});
    const Figures f = figures(set.dump());
    ASSERT_TRUE(f.layout.indexed);
    EXPECT_TRUE(f.layout.lo_returned);
    EXPECT_LE(f.layout.lines, f.flat.lines * 11 / 10);
    EXPECT_LE(f.layout.deepest_walk, 300u);
    EXPECT_LE(f.layout.chains.size(), 1000u);
    EXPECT_EQ(f.flat.deepest_walk, 20001u);
}

TEST(Layout, SmallSetsAndOptionLikeValuesStayFlat)
{
    const auto flat = [](const std::string &rules) { return !figures(rules).layout.indexed; };
    EXPECT_TRUE(flat(R"([{"src_IP_cidr":"10.0.0.1","allow":false},{"allow":true}])"));
    nlohmann::json many = nlohmann::json::array();
    for (int i = 0; i < 200; ++i)
        many.push_back({{"src_IP_cidr", "10." + std::to_string(i) + ".0.1"}, {"allow", false}});
    EXPECT_FALSE(flat(many.dump()));
    many[100]["interface"] = "eth0 -s 10.0.0.0/8";  // what the tool would read as more options
    EXPECT_TRUE(flat(many.dump()));
    // and the automatic choice is flat below its size
    zvn::RuleSet set;
    ASSERT_TRUE(read(R"([{"src_IP_cidr":"10.0.0.1","allow":false}])", set));
    EXPECT_FALSE(zvn::compile_layout(set, zvn::ipv4, zvn::LayoutChoice::automatic).indexed);
}

// The text of a layout: every chain declared, the index chain naming the
// sub-chains, and the chains of the layout that stood before taken away
// in the same commit.
TEST(Layout, TextDeclaresEveryChainAndTakesAwayWhatStood)
{
    nlohmann::json rules = nlohmann::json::array();
    for (int i = 0; i < 300; ++i)
        rules.push_back({{"src_IP_cidr", "10." + std::to_string(i % 200) + "." + std::to_string(i) + ".1"}, {"allow", false}});
    zvn::RuleSet set;
    ASSERT_TRUE(read(rules.dump(), set));
    const zvn::Layout layout = zvn::compile_layout(set, zvn::ipv4, zvn::LayoutChoice::indexed);
    ASSERT_TRUE(layout.indexed);
    const std::size_t subchains = layout.chains.size() - 1;
    const std::string text = restore_text(set, zvn::ipv4, &layout, {true, subchains + 2});
    EXPECT_EQ(text.rfind("*filter\n:ZORVANE - [0:0]\n:ZORVANE-1 - [0:0]\n", 0), 0u);
    EXPECT_NE(text.find(":ZORVANE-INDEX - [0:0]\n"), std::string::npos);
    EXPECT_NE(text.find("\n-A ZORVANE -i lo -j RETURN\n-A ZORVANE -j ZORVANE-"), std::string::npos);
    const std::string comment = "zorvane indexed layout: ZORVANE-1 to ZORVANE-" + std::to_string(subchains);
    EXPECT_NE(text.find("-A ZORVANE-INDEX -m comment --comment \"" + comment + "\"\n"), std::string::npos);
    const std::string gone1 = zvn::layout_chain_name(subchains + 1), gone2 = zvn::layout_chain_name(subchains + 2);
    EXPECT_NE(text.find(":" + gone1 + " - [0:0]\n:" + gone2 + " - [0:0]\n-X " + gone1 + "\n-X " + gone2 + "\nCOMMIT\n"),
              std::string::npos);
    EXPECT_EQ(text.find("! -i lo"), std::string::npos);  // behind the loopback return
    EXPECT_EQ(zvn::subchains_named(comment), subchains);

    // The flat layout takes away every chain of an indexed one, its index
    // chain too; with nothing standing it is the plain restore text.
    const zvn::Layout flat_layout = zvn::compile_layout(set, zvn::ipv4, zvn::LayoutChoice::flat);
    const std::string flat = restore_text(set, zvn::ipv4, &flat_layout, {true, 2}), plain = restore_text(set, zvn::ipv4);
    EXPECT_EQ(flat, plain.substr(0, plain.size() - 7) +
                        ":ZORVANE-1 - [0:0]\n:ZORVANE-2 - [0:0]\n:ZORVANE-INDEX - [0:0]\n"
                        "-X ZORVANE-1\n-X ZORVANE-2\n-X ZORVANE-INDEX\nCOMMIT\n");
}

// The log limit: a rule with one logging line keeps its own bucket, the
// copies of a rule share one named for the rule and the rate.
TEST(Layout, LogLimitIsSharedByARulesCopies)
{
    nlohmann::json rules = nlohmann::json::array();
    for (int i = 0; i < 100; ++i)
        rules.push_back({{"src_IP_cidr", "10." + std::to_string(i) + ".0.1"}, {"allow", false}});
    rules.insert(rules.begin() + 50, nlohmann::json::object({{"protocol", "tcp"}, {"allow", false}}));  // in every leaf
    zvn::RuleSet set;
    ASSERT_TRUE(read(rules.dump(), set));
    const zvn::Layout layout = zvn::compile_layout(set, zvn::ipv4, zvn::LayoutChoice::indexed);
    zvn::set_log_limit(20);
    const std::string text = restore_text(set, zvn::ipv4, &layout);
    zvn::set_log_limit(0);
    EXPECT_GT(layout.copies[50], 1u);
    EXPECT_NE(text.find("-s 10.7.0.1 -m limit --limit 20/sec --limit-burst 20 -j NFLOG --nflog-prefix  \"RULE=8 ACT=DROP\"\n"),
              std::string::npos);
    EXPECT_NE(text.find("-s 10.7.0.1 -j DROP\n"), std::string::npos);
    EXPECT_NE(text.find("-p tcp -m hashlimit --hashlimit-upto 20/sec --hashlimit-burst 20 --hashlimit-name z51-20 "
                        "--hashlimit-htable-size 1 --hashlimit-htable-max 1 -j NFLOG"),
              std::string::npos);
}

// A saved table of an indexed layout: its chains kept apart, the chains of
// other tools and other tables passed over.
TEST(Layout, SavedTableKeepsEveryChain)
{
    const std::string listing =
        "*nat\n:PREROUTING ACCEPT [0:0]\n[1:1] -A PREROUTING -j ZORVANE\nCOMMIT\n"
        "*filter\n:INPUT ACCEPT [0:0]\n:ZORVANE - [0:0]\n:ZORVANE-2 - [0:0]\n:ZORVANE-12 - [0:0]\n:fail2ban - [0:0]\n"
        "[9:9] -A INPUT -m state --state NEW -j ZORVANE\n"
        "[0:0] -A ZORVANE -i lo -j RETURN\n[5:0] -A ZORVANE -j ZORVANE-2\n"
        "[3:0] -A ZORVANE-2 -s 10.0.0.0/8 -g ZORVANE-12\n"
        "[7:70] -A ZORVANE-12 -s 10.0.0.1/32 -j DROP\n"
        "[1:0] -A fail2ban -s 1.2.3.4/32 -j DROP\nCOMMIT\n";
    zvn::FilterTable table;
    ASSERT_TRUE(zvn::read_saved_table(listing, table));
    ASSERT_EQ(table.chains.size(), 5u);
    const auto *leaf = table.chain("ZORVANE-12");
    ASSERT_NE(leaf, nullptr);
    ASSERT_EQ(leaf->lines.size(), 1u);
    EXPECT_EQ(table.lines[leaf->lines[0]].packets, 7u);
    EXPECT_EQ(table.lines[leaf->lines[0]].bytes, 70u);
    const zvn::ToolLine go = zvn::iptables_read_line(table.lines[table.chain("ZORVANE-2")->lines[0]].text);
    EXPECT_EQ(go.target, zvn::ToolLine::Target::go);
    EXPECT_EQ(go.target_chain, "ZORVANE-12");
    EXPECT_EQ(go.source, (zvn::Interval{0x0a000000, 0x0affffff}));
    EXPECT_EQ(table.chain("ZORVANE-5"), nullptr);
    EXPECT_EQ(table.chain("INPUT")->lines.size(), 1u);
}

}  // namespace
}  // namespace zvn_unit
