// The model: validation's messages, order and dump, the typed rules it
// fills, the plain reader agreeing with the full one, the family split,
// and the translation of the model into restore lines.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../log_capture.h"
#include "stages.h"

namespace zvn_unit {
namespace {

using zvn_test::LogCapture;

std::vector<std::string> lines_of(const std::string &text)
{
    return zvn_test::split_lines(text);
}

struct Refusal {
    const char *text;
    const char *message;
    const char *error;  // what zvn_last_error() says
};

class Validation : public testing::TestWithParam<Refusal> {};

TEST_P(Validation, FirstFaultThenDumpAndTheErrorChannel)
{
    const auto &c = GetParam();
    LogCapture records;
    zvn::RuleSet set;
    EXPECT_FALSE(read(c.text, set));
    std::vector<std::string> expected{c.message, "Dump:"};
    for (const auto &line : lines_of(nlohmann::json::parse(c.text).dump(1)))
        expected.push_back(line);
    EXPECT_EQ(records.lines(), expected);
    // the same through an exported function that runs nothing
    EXPECT_EQ(zvn_restore_text_json(c.text, nullptr, 0), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_INVALID);
    EXPECT_STREQ(zvn_last_error(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Validation,
    testing::Values(
        Refusal{"{}", "input rules is not an array!", "input rules is not an array!"},
        Refusal{"null", "input rules is not an array!", "input rules is not an array!"},
        Refusal{"[1]", "element is not an object", "rule 1: element is not an object"},
        Refusal{"[{}]", "\"allow\" missing", "rule 1 (allow): \"allow\" missing"},
        Refusal{"[{\"allow\":1}]", "\"allow\" is not a boolean", "rule 1 (allow): \"allow\" is not a boolean"},
        Refusal{"[{\"bogus\":1,\"protocol\":\"TCP\"}]", "\"allow\" missing", "rule 1 (allow): \"allow\" missing"},
        Refusal{"[{\"allow\":true,\"Allow\":true}]", "unknown key: \"Allow\"", "rule 1 (Allow): unknown key: \"Allow\""},
        // the key that sorts first reports
        Refusal{"[{\"protocol\":\"TCP\",\"dports_list\":22,\"allow\":true}]", "\"dports_list\" is not an array",
                "rule 1 (dports_list): \"dports_list\" is not an array"},
        Refusal{"[{\"allow\":true},{\"allow\":true,\"protocol\":\"sctp\"}]", "\"protocol\" only support tcp/udp/icmp",
                "rule 2 (protocol): \"protocol\" only support tcp/udp/icmp"},
        Refusal{"[{\"allow\":true,\"src_country\":[\"US\",1]}]", "\"src_country\" element is not a string",
                "rule 1 (src_country): \"src_country\" element is not a string"},
        Refusal{"[{\"allow\":true,\"dports_list\":[\"\",80]}]", "\"dports_list\" element is an empty string",
                "rule 1 (dports_list): \"dports_list\" element is an empty string"},
        Refusal{"[{\"allow\":true,\"interface\":\"eth0\\n-I INPUT 1 -j ACCEPT\"}]",
                "\"interface\" contains a control character", "rule 1 (interface): \"interface\" contains a control character"},
        Refusal{"[{\"allow\":false,\"dports_list\":[5,\"22\\n\"]}]", "\"dports_list\" element is not a string",
                "rule 1 (dports_list): \"dports_list\" element is not a string"}));

TEST(Model, HoldsTheValuesAsWrittenAndWhatTheyMean)
{
    zvn::RuleSet set;
    ASSERT_TRUE(read(
        R"([{"interface":"","src_IP_cidr":null,"src_IP_range":"10.0.0.1-10.0.0.9","protocol":6,"dports_list":[],"allow":false},
            {"src_IP_cidr":"10.0.0.0/8,192.168.0.1/16","src_country":["US"],"interface":"eth+","allow":true},
            {"protocol":"tcp","dports_list":["022","80:90","ssh"],"src_country":["us","GB","US"],"allow":true}])",
        set));
    ASSERT_EQ(set.rules.size(), 3u);
    const zvn::Rule &first = set.rules[0], &second = set.rules[1], &third = set.rules[2];
    EXPECT_EQ(first.number, 1u);
    EXPECT_FALSE(first.allow);
    EXPECT_EQ(first.written.interface, zvn::Given::text);
    EXPECT_FALSE(first.interface_set());
    EXPECT_EQ(first.interface, zvn::InterfaceMatch::any_but_lo);
    EXPECT_EQ(first.written.cidr, zvn::Given::null);
    EXPECT_EQ(first.written.protocol, zvn::Given::other);
    EXPECT_EQ(first.protocol, zvn::Protocol::any);
    EXPECT_TRUE(first.written.ports_present);
    EXPECT_FALSE(first.ports_set());
    EXPECT_EQ(first.source, zvn::SourceKind::range);
    EXPECT_EQ(first.addresses, (std::vector<zvn::Interval>{{0x0a000001, 0x0a000009}}));
    EXPECT_EQ(first.lines_in_restore_file(), 2u);
    EXPECT_EQ(first.description(), "all from 10.0.0.1-10.0.0.9 on any interface but lo");
    // a list of networks: one interval each, host bits cleared
    EXPECT_EQ(second.source, zvn::SourceKind::address);
    EXPECT_EQ(second.addresses, (std::vector<zvn::Interval>{{0x0a000000, 0x0affffff}, {0xc0a80000, 0xc0a8ffff}}));
    EXPECT_EQ(second.lines_per_target(), 2u);
    EXPECT_EQ(second.interface, zvn::InterfaceMatch::wildcard);
    EXPECT_EQ(second.interface_name, "eth");
    EXPECT_TRUE(second.in_family(zvn::ipv4));
    // ports as they go to the tool, and what they mean where they can be read
    EXPECT_EQ(third.written.port_list, "22,80:90,ssh");
    EXPECT_FALSE(third.ports_known);
    EXPECT_EQ(third.countries, (std::vector<std::string>{"GB", "US"}));
    EXPECT_EQ(third.protocol, zvn::Protocol::tcp);
    zvn::RuleSet ports;
    ASSERT_TRUE(read(R"([{"protocol":"udp","dports_list":["0053","1000:1020"],"allow":true}])", ports));
    EXPECT_TRUE(ports.rules[0].ports_known);
    EXPECT_EQ(ports.rules[0].ports, (std::vector<zvn::Interval>{{53, 53}, {1000, 1020}}));
}

// The plain reader (no JSON tree) gives the same model as the full parse
// for every plainly valid text, and declines everything else.
TEST(Model, PlainReaderAgreesWithTheFullParse)
{
    for (const std::string text : {
             R"([])", R"([{"allow":true}])",
             R"([{"interface":"eth3","src_IP_cidr":"10.0.0.1/24","protocol":"icmp","allow":true},{"interface":"","src_IP_cidr":"10.0.0.1/24","protocol":"udp","dports_list":["123","1000:1020"],"allow":true}])",
             R"([{"src_IP_range":"10.0.3.1-10.0.3.200","src_country":["US","GB"],"protocol":null,"allow":false}])"}) {
        zvn::RuleSet plain, full;
        ASSERT_TRUE(zvn::read_plain_rule_set(text.c_str(), text.size(), plain)) << text;
        const nlohmann::json tree = nlohmann::json::parse(text);
        ASSERT_FALSE(zvn::read_rule_set(tree, full)) << text;
        EXPECT_EQ(restore_text(plain, zvn::ipv4), restore_text(full, zvn::ipv4)) << text;
        ASSERT_EQ(plain.rules.size(), full.rules.size());
        for (std::size_t r = 0; r < plain.rules.size(); ++r) {
            EXPECT_EQ(plain.rules[r].addresses, full.rules[r].addresses) << text;
            EXPECT_EQ(plain.rules[r].countries, full.rules[r].countries) << text;
        }
    }
    // declined before any rule is read, too: a string, a value or a key
    // outside a rule (once read past the end of an empty model)
    for (const std::string text : {R"([{"allow":1}])", R"([{"allow":true,"allow":false}])", R"([{"allow":true,"x":1}])",
                                   R"([{"allow":true,"protocol":"TCP"}])", R"([{"allow":true,"interface":5}])", R"({})",
                                   R"("allow")", R"(["x"])", R"([null])", R"(null)", R"([true])", R"([[]])"}) {
        zvn::RuleSet plain;
        EXPECT_FALSE(zvn::read_plain_rule_set(text.c_str(), text.size(), plain)) << text;
    }
}

// Repeated keys of rule objects, found in the raw text: decoded keys
// compared, nested objects and other elements passed over.
TEST(Model, RepeatedKeysOfRuleObjects)
{
    using Found = std::vector<std::pair<std::size_t, std::string>>;
    const auto found = [](const std::string &text) {
        zvn::RuleSet set;
        (void)zvn::read_rule_set(nlohmann::json::parse(text), set);
        set.rules.resize(8);  // a rule to note keys of, even where validation stopped
        set.notes.clear();
        zvn::note_duplicate_keys(text.c_str(), text.size(), set);
        Found keys;
        for (const auto &note : set.notes)
            keys.emplace_back(note.rule + 1, zvn::key_name(note.key));
        return keys;
    };
    EXPECT_EQ(found(R"([{"allow":1,"protocol":2}])"), Found{});
    EXPECT_EQ(found(R"([{"protocol":1,"protocol":2,"protocol":3}])"), (Found{{1, "protocol"}}));
    EXPECT_EQ(found(R"([1, "x,]", {"allow":true,"allow":false}])"), (Found{{3, "allow"}}));
    EXPECT_EQ(found(R"([{"x":{"allow":1,"allow":2}},{"b":[{"interface":1,"interface":1}]}])"), Found{});
    EXPECT_EQ(found(R"([{"interface":1, "interface" :2},{"src_IP_c\u0069dr":1,"src_IP_cidr":2}])"),
              (Found{{1, "interface"}, {2, "src_IP_cidr"}}));
    EXPECT_EQ(found(R"({"allow":1,"allow":2})"), Found{});
    // a key the format does not know is refused by validation, never noted
    EXPECT_EQ(found(R"([{"a":1,"a":2}])"), Found{});
}

struct Translation {
    const char *rules;
    std::vector<std::string> lines;
};

class Translate : public testing::TestWithParam<Translation> {};

TEST_P(Translate, WritesTheRuleLines)
{
    zvn::RuleSet set;
    ASSERT_TRUE(read(GetParam().rules, set));
    const std::string text = restore_text(set, zvn::ipv4);
    std::vector<std::string> expected{"*filter", ":ZORVANE - [0:0]"};
    expected.insert(expected.end(), GetParam().lines.begin(), GetParam().lines.end());
    expected.push_back("COMMIT");
    EXPECT_EQ(lines_of(text), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Translate,
    testing::Values(
        Translation{"[]", {}},
        Translation{"[{\"allow\":true}]", {"-A ZORVANE ! -i lo -j ACCEPT"}},
        Translation{"[{\"allow\":true,\"interface\":\"\"},{\"allow\":true,\"interface\":5},"
                    "{\"allow\":true,\"interface\":null},{\"allow\":true,\"interface\":true}]",
                    {"-A ZORVANE ! -i lo -j ACCEPT", "-A ZORVANE ! -i lo -j ACCEPT",
                     "-A ZORVANE ! -i lo -j ACCEPT", "-A ZORVANE ! -i lo -j ACCEPT"}},
        Translation{"[{\"allow\":true,\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"src_IP_cidr\":\"10.0.0.0/8\","
                    "\"src_country\":[\"US\"]}]",
                    {"-A ZORVANE ! -i lo -s 10.0.0.0/8 -j ACCEPT"}},
        Translation{"[{\"allow\":true,\"src_IP_cidr\":\"\",\"src_IP_range\":\"10.0.3.1-10.0.3.200\","
                    "\"src_country\":[\"US\"]}]",
                    {"-A ZORVANE ! -i lo -m iprange --src-range 10.0.3.1-10.0.3.200 -j ACCEPT"}},
        Translation{"[{\"allow\":true,\"src_IP_cidr\":\"\",\"src_IP_range\":\"\",\"src_country\":[\"US\",\"GB\"]}]",
                    {"-A ZORVANE ! -i lo -m geoip --source-country US,GB -j ACCEPT"}},
        Translation{"[{\"allow\":true,\"src_country\":[],\"dports_list\":[]}]", {"-A ZORVANE ! -i lo -j ACCEPT"}},
        Translation{"[{\"allow\":true,\"interface\":\"eth2\",\"protocol\":\"tcp\",\"dports_list\":[\"1\",\"2:3\"]}]",
                    {"-A ZORVANE -i eth2 -p tcp -m multiport --dports 1,2:3 -j ACCEPT"}},
        Translation{"[{\"allow\":true,\"protocol\":6},{\"allow\":true,\"protocol\":null},{\"allow\":true,\"protocol\":\"\"}]",
                    {"-A ZORVANE ! -i lo -j ACCEPT", "-A ZORVANE ! -i lo -j ACCEPT", "-A ZORVANE ! -i lo -j ACCEPT"}},
        // ports go to the tool in decimal: it would read a leading zero as octal
        Translation{"[{\"allow\":false,\"protocol\":\"tcp\",\"dports_list\":[\"010:020\",\"022\",\"0\",\"00:0080\",\"0x16\"]}]",
                    {"-A ZORVANE ! -i lo -p tcp -m multiport --dports 10:20,22,0,0:80,0x16 -j NFLOG --nflog-prefix  \"RULE=1 ACT=DROP\"",
                     "-A ZORVANE ! -i lo -p tcp -m multiport --dports 10:20,22,0,0:80,0x16 -j DROP"}},
        // the prefix counts rule objects, not lines
        Translation{"[{\"allow\":true},{\"allow\":false,\"protocol\":\"udp\"},{\"allow\":false}]",
                    {"-A ZORVANE ! -i lo -j ACCEPT",
                     "-A ZORVANE ! -i lo -p udp -j NFLOG --nflog-prefix  \"RULE=2 ACT=DROP\"",
                     "-A ZORVANE ! -i lo -p udp -j DROP",
                     "-A ZORVANE ! -i lo -j NFLOG --nflog-prefix  \"RULE=3 ACT=DROP\"", "-A ZORVANE ! -i lo -j DROP"}}));

TEST(Translate, SampleGivesTheTwentyTwoLines)
{
    std::ifstream rules_file(ZVN_SOURCE_DIR "/tests/data/sample_rules.json"),
        restore_file(ZVN_SOURCE_DIR "/tests/data/sample_restore.txt");
    std::stringstream rules, restore;
    rules << rules_file.rdbuf();
    restore << restore_file.rdbuf();
    std::vector<char> text(4096);
    ASSERT_GT(zvn_restore_text_json(rules.str().c_str(), text.data(), text.size()), 0);
    EXPECT_EQ(text.data(), restore.str());
}

TEST(Ipv6Model, EachRuleGoesToItsFamily)
{
    zvn::RuleSet set;
    ASSERT_TRUE(read(
        R"([{"src_IP_cidr":"2001:db8::/32","allow":true},{"src_IP_range":"10.0.0.1-10.0.0.2","allow":true},
            {"src_country":["US"],"allow":true},{"protocol":"icmp","allow":false}])",
        set));
    const auto &rules = set.rules;
    EXPECT_EQ(rules[0].families(), 2u);
    EXPECT_EQ(rules[1].families(), 1u);
    EXPECT_EQ(rules[2].families(), 3u);
    const std::string text = restore_text(set, zvn::ipv6);
    EXPECT_EQ(lines_of(text), (std::vector<std::string>{
                                  "*filter", ":ZORVANE - [0:0]", "-A ZORVANE ! -i lo -s 2001:db8::/32 -j ACCEPT",
                                  "-A ZORVANE ! -i lo -m geoip --source-country US -j ACCEPT",
                                  "-A ZORVANE ! -i lo -p ipv6-icmp -j NFLOG --nflog-prefix  \"RULE=4 ACT=DROP\"",
                                  "-A ZORVANE ! -i lo -p ipv6-icmp -j DROP", "COMMIT"}));
    EXPECT_EQ(zvn_rule_of_restore_line(
                  R"([{"src_IP_cidr":"2001:db8::/32","allow":true},{"src_IP_range":"10.0.0.1-10.0.0.2","allow":true},{"allow":false}])",
                  1, 4),
              3);
}

}  // namespace
}  // namespace zvn_unit
