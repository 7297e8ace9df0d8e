// The check of a rule set: every finding code, shadowing across interfaces,
// wildcards, nested networks and ranges, ports and countries, rules that
// look alike but are not covered, and the buffer contract. A unit test: the
// check runs nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <tuple>

#include <nlohmann/json.hpp>

#include <libzorvane.h>

namespace zvn_unit {
namespace {

// rule, key ("" for null), code, other rule (0 for none); severity follows
// from the code.
using Expected = std::tuple<int, std::string, std::string, int>;

bool is_warning(const std::string &code)
{
    return code == "host-bits" || code == "unused-source" || code == "shadowed" || code == "redundant" ||
           code == "empty" || code == "empty-value" || code == "interface-wildcard";
}

struct CheckCase {
    const char *name;
    std::string rules;
    std::vector<Expected> findings;
};

std::vector<Expected> findings_of(const std::string &rules, int *result)
{
    std::vector<char> buffer(1 << 16);
    *result = zvn_check_rules_json(rules.c_str(), buffer.data(), buffer.size());
    std::vector<Expected> found;
    if (*result < 0)
        return found;
    for (const auto &f : nlohmann::json::parse(buffer.data())) {
        const std::string code = f["code"];
        EXPECT_EQ(f["severity"], is_warning(code) ? "warning" : "error") << f.dump();
        EXPECT_FALSE(f["message"].get<std::string>().empty());
        EXPECT_EQ(f.contains("other_rule"), code == "shadowed" || code == "redundant") << f.dump();
        found.emplace_back(f["rule"].get<int>(), f["key"].is_null() ? "" : f["key"].get<std::string>(), code,
                           f.value("other_rule", 0));
    }
    return found;
}

class Check : public testing::TestWithParam<CheckCase> {};

TEST_P(Check, ReportsTheFindings)
{
    int result = 0;
    const auto found = findings_of(GetParam().rules, &result);
    EXPECT_EQ(found, GetParam().findings);
    int errors = 0;
    for (const auto &f : GetParam().findings)
        errors += is_warning(std::get<2>(f)) ? 0 : 1;
    EXPECT_EQ(result, errors);
}

std::string rules(std::initializer_list<const char *> objects)
{
    std::string text = "[";
    for (const char *object : objects)
        text += std::string(text.size() > 1 ? "," : "") + object;
    return text + "]";
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Check,
    testing::Values(
        CheckCase{"Clean", rules({R"({"interface":"eth3","src_IP_cidr":"10.0.0.0/24","protocol":"tcp","dports_list":["22","80:90"],"allow":true})",
                                  R"({"src_IP_range":"10.0.3.1-10.0.3.200","protocol":"udp","allow":false})",
                                  R"({"src_country":["US","gb"],"allow":false})", R"({"interface":"eth+","allow":true})"}),
                  {}},
        CheckCase{"Empty", "[]", {{0, "", "empty", 0}}},
        CheckCase{"InvalidNamesRuleAndKey", rules({R"({"allow":true})", R"({"allow":true,"protocol":"sctp"})"}),
                  {{2, "protocol", "invalid", 0}}},
        CheckCase{"InvalidWholeSet", "{}", {{0, "", "invalid", 0}}},
        CheckCase{"InvalidElement", "[1]", {{1, "", "invalid", 0}}},
        CheckCase{"IgnoredValues",
                  rules({R"({"src_IP_cidr":["10.9.0.0/16"],"allow":true})", R"({"protocol":6,"allow":false})",
                         R"({"interface":5,"src_IP_range":{},"allow":false})", R"({"interface":null,"protocol":null,"allow":true})"}),
                  {{1, "src_IP_cidr", "ignored-value", 0}, {2, "protocol", "ignored-value", 0},
                   {3, "interface", "ignored-value", 0}, {3, "src_IP_range", "ignored-value", 0},
                   {4, "interface", "null-value", 0}, {4, "protocol", "null-value", 0}}},
        CheckCase{"OptionText",
                  rules({R"({"src_IP_cidr":"0.0.0.0/0 -m limit --limit 1/hour","allow":false})",
                         R"({"interface":"eth0 ! -s 192.0.2.1","allow":true})", R"({"interface":"!eth0","allow":true})",
                         R"({"src_IP_range":"-x","allow":true})", R"({"protocol":"tcp","dports_list":["22\"x"],"allow":true})",
                         R"({"src_country":["U'"],"allow":true})"}),
                  {{1, "src_IP_cidr", "option-text", 0}, {2, "interface", "option-text", 0},
                   {3, "interface", "option-text", 0}, {4, "src_IP_range", "option-text", 0},
                   {5, "dports_list", "option-text", 0}, {6, "src_country", "option-text", 0}}},
        CheckCase{"BadInterface",
                  rules({R"({"interface":"a234567890123456","allow":true})", R"({"interface":"eth/0","allow":true})",
                         R"({"interface":"eth:0","allow":true})", R"({"interface":"et+h","allow":true})",
                         R"({"interface":"..","allow":true})", R"({"interface":"a23456789012345","allow":true})",
                         R"({"interface":"a2345678901234+","allow":true})"}),
                  {{1, "interface", "bad-interface", 0}, {2, "interface", "bad-interface", 0},
                   {3, "interface", "bad-interface", 0}, {4, "interface", "bad-interface", 0},
                   {5, "interface", "bad-interface", 0}}},
        CheckCase{"Addresses",
                  rules({R"({"src_IP_cidr":"999.1.1.1","allow":true})", R"({"src_IP_cidr":"10.0.0.0/33","allow":true})",
                         R"({"src_IP_cidr":"10.0.0","allow":true})", R"({"src_IP_cidr":"010.0.0.1","allow":true})",
                         R"({"src_IP_cidr":"10.0.0.1/24","allow":false})", R"({"src_IP_cidr":"host.example","allow":true})",
                         R"({"src_IP_cidr":"10.1.0.0/16,192.168.0.0/16","allow":true})",
                         R"({"src_IP_cidr":"10.2.0.0/16,bad","allow":true})"}),
                  {{1, "src_IP_cidr", "bad-address", 0}, {2, "src_IP_cidr", "bad-address", 0},
                   {3, "src_IP_cidr", "bad-address", 0}, {4, "src_IP_cidr", "bad-address", 0},
                   {5, "src_IP_cidr", "host-bits", 0}, {6, "src_IP_cidr", "bad-address", 0},
                   {7, "src_IP_cidr", "address-list", 0}, {8, "src_IP_cidr", "address-list", 0},
                   {8, "src_IP_cidr", "bad-address", 0}}},
        CheckCase{"Ranges",
                  rules({R"({"src_IP_range":"10.0.0.9-10.0.0.1","allow":true})", R"({"src_IP_range":"10.0.0.1","allow":true})",
                         R"({"src_IP_range":"10.0.0.1-10.0.0.300","allow":true})", R"({"src_IP_range":"10.0.0.5-10.0.0.5","allow":true})"}),
                  {{1, "src_IP_range", "bad-range", 0}, {2, "src_IP_range", "bad-range", 0},
                   {3, "src_IP_range", "bad-range", 0}}},
        CheckCase{"Ports",
                  rules({R"({"protocol":"tcp","dports_list":["65536"],"allow":true})",
                         R"({"protocol":"tcp","dports_list":["90:80"],"allow":true})",
                         R"({"protocol":"tcp","dports_list":["ssh"],"allow":true})",
                         R"({"protocol":"udp","dports_list":["1","2","3","4","5","6","7","8","9","10","11","12","13","14","15","16"],"allow":true})",
                         R"({"protocol":"udp","dports_list":["1:2","3:4","5:6","7:8","9:10","11:12","13:14","15"],"allow":true})",
                         R"({"protocol":"udp","dports_list":["1:2","3:4","5:6","7:8","9:10","11:12","13:14","15","16"],"allow":true})",
                         R"({"dports_list":["22"],"allow":true})", R"({"protocol":"icmp","dports_list":["22"],"allow":true})",
                         R"({"protocol":"tcp","dports_list":["0","65535","1:65535"],"allow":false})"}),
                  {{1, "dports_list", "bad-port", 0}, {2, "dports_list", "bad-port", 0},
                   {3, "dports_list", "bad-port", 0}, {4, "dports_list", "bad-port", 0},
                   {6, "dports_list", "bad-port", 0}, {7, "dports_list", "ports-need-protocol", 0},
                   {8, "dports_list", "ports-need-protocol", 0}}},
        CheckCase{"Countries",
                  rules({R"({"src_country":["USA"],"allow":true})", R"({"src_country":["U1"],"allow":true})",
                         R"({"src_country":["é"],"allow":true})"}),
                  {{1, "src_country", "bad-country", 0}, {2, "src_country", "bad-country", 0},
                   {3, "src_country", "bad-country", 0}}},
        CheckCase{"UnusedSources",
                  rules({R"({"src_IP_cidr":"10.0.0.0/8","src_IP_range":"10.0.0.1-10.0.0.2","src_country":["US"],"allow":true})",
                         R"({"src_IP_cidr":"","src_IP_range":"10.1.0.1-10.1.0.2","src_country":["US"],"allow":true})",
                         R"({"src_IP_cidr":"","src_IP_range":"","src_country":["GB"],"allow":true})"}),
                  {{1, "src_IP_range", "unused-source", 0}, {1, "src_country", "unused-source", 0},
                   {2, "src_country", "unused-source", 0}, {2, "", "redundant", 1}}}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

// Forms that make a rule wider than written, or that the tool reads other
// than written: each has its own code, rule and key.
INSTANTIATE_TEST_SUITE_P(
    WiderThanWritten, Check,
    testing::Values(
        CheckCase{"LeadingZeroPorts",
                  rules({R"({"interface":"e1","protocol":"tcp","dports_list":["010:020"],"allow":false})",
                         R"({"interface":"e2","protocol":"tcp","dports_list":["80","022"],"allow":false})",
                         R"({"interface":"e3","protocol":"udp","dports_list":["1:00"],"allow":false})",
                         R"({"interface":"e4","protocol":"tcp","dports_list":["0","0:10","100"],"allow":false})"}),
                  {{1, "dports_list", "noncanonical-port", 0}, {2, "dports_list", "noncanonical-port", 0},
                   {3, "dports_list", "noncanonical-port", 0}}},
        CheckCase{"NullSources",
                  rules({R"({"interface":"e1","src_IP_cidr":null,"allow":true})",
                         R"({"interface":"e2","src_IP_range":null,"allow":true})",
                         R"({"interface":"e3","src_IP_cidr":null,"src_IP_range":"10.0.0.1-10.0.0.2","allow":true})"}),
                  {{1, "src_IP_cidr", "null-value", 0}, {2, "src_IP_range", "null-value", 0},
                   {3, "src_IP_cidr", "null-value", 0}}},
        CheckCase{"EmptyValuesMeanNotSet",
                  rules({R"({"interface":"e1","src_IP_cidr":"","allow":true})",
                         R"({"interface":"e2","src_IP_range":"","allow":true})",
                         R"({"interface":"e3","src_country":[],"allow":true})",
                         R"({"interface":"e4","protocol":"tcp","dports_list":[],"allow":true})",
                         R"({"interface":"","src_IP_cidr":"192.168.0.0/16","protocol":"","allow":true})",
                         R"({"interface":"e5","src_IP_cidr":"","src_IP_range":"10.0.0.1-10.0.0.2","allow":true})"}),
                  {{1, "src_IP_cidr", "empty-value", 0}, {2, "src_IP_range", "empty-value", 0},
                   {3, "src_country", "empty-value", 0}, {4, "dports_list", "empty-value", 0},
                   {5, "interface", "empty-value", 0}, {5, "protocol", "empty-value", 0}}},
        CheckCase{"DuplicateKeys",
                  rules({R"({"interface":"e1","src_IP_cidr":"10.0.0.0/8","src_IP_cidr":"0.0.0.0/0","allow":true})",
                         R"({"interface":"e2","allow":false,"allow":true,"allow":false})",
                         R"({"interface":"e3","src_IP_cidr":"10.0.0.0/8","allow":true})"}),
                  {{1, "src_IP_cidr", "duplicate-key", 0}, {2, "allow", "duplicate-key", 0}}},
        CheckCase{"InterfaceWildcards",
                  rules({R"({"interface":"eth*","allow":true})", R"({"interface":"eth?","allow":true})",
                         R"({"interface":"eth+","allow":true})"}),
                  {{1, "interface", "interface-wildcard", 0}, {2, "interface", "interface-wildcard", 0}}},
        CheckCase{"MappedAddressWithIpv4Alone",
                  rules({R"({"src_IP_cidr":"::ffff:10.0.0.0/104","allow":false})"}),
                  {{1, "src_IP_cidr", "bad-address", 0}}}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

// A value nested far deeper than any rule means is described, not dumped
// (dumping recurses once per level): the check ends with its finding.
TEST(CheckResults, DeeplyNestedValueIsAFindingNotACrash)
{
    for (const std::string key : {"interface", "src_IP_cidr", "protocol"}) {
        const std::string deep = "[{\"allow\":true,\"" + key + "\":" + std::string(100000, '[') +
                                 std::string(100000, ']') + "}]";
        std::vector<char> buffer(1 << 16);
        EXPECT_EQ(zvn_check_rules_json(deep.c_str(), buffer.data(), buffer.size()), 1) << key;
        const auto findings = nlohmann::json::parse(buffer.data());
        ASSERT_EQ(findings.size(), 1u);
        EXPECT_EQ(findings[0]["code"], "ignored-value");
        EXPECT_NE(findings[0]["message"].get<std::string>().find("an array nested deeper than 32 levels"),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shadowing, Check,
    testing::Values(
        CheckCase{"AllowAllShadowsEverything",
                  rules({R"({"allow":true})", R"({"interface":"eth3","protocol":"icmp","allow":false})",
                         R"({"src_IP_cidr":"10.0.0.0/8","allow":true})", R"({"interface":"lo","allow":false})"}),
                  {{2, "", "shadowed", 1}, {3, "", "redundant", 1}}},
        CheckCase{"FirstCoveringRuleIsNamed",
                  rules({R"({"interface":"eth3","allow":false})", R"({"allow":false})",
                         R"({"interface":"eth3","protocol":"udp","allow":true})"}),
                  {{3, "", "shadowed", 1}}},
        CheckCase{"Interfaces",
                  rules({R"({"interface":"eth+","allow":false})", R"({"interface":"eth3","allow":true})",
                         R"({"interface":"eth","allow":true})", R"({"interface":"ethx+","allow":true})",
                         R"({"interface":"et","allow":true})", R"({"interface":"wlan0","allow":true})",
                         R"({"interface":"wlan0","protocol":"tcp","allow":true})"}),
                  {{2, "", "shadowed", 1}, {3, "", "shadowed", 1}, {4, "", "shadowed", 1}, {7, "", "redundant", 6}}},
        CheckCase{"AnyButLoAndWildcards",
                  rules({R"({"interface":"+","protocol":"tcp","allow":true})", R"({"protocol":"tcp","allow":true})",
                         R"({"protocol":"udp","allow":false})", R"({"interface":"l+","protocol":"udp","allow":true})",
                         R"({"interface":"lx+","protocol":"udp","allow":true})", R"({"interface":"lo","protocol":"udp","allow":true})"}),
                  {{2, "", "redundant", 1}, {5, "", "shadowed", 3}, {6, "", "redundant", 4}}},
        CheckCase{"NestedNetworksAndRanges",
                  rules({R"({"src_IP_cidr":"10.0.0.0/8","allow":false})", R"({"src_IP_cidr":"10.1.2.0/24","allow":true})",
                         R"({"src_IP_range":"10.255.255.0-10.255.255.255","allow":true})",
                         R"({"src_IP_range":"9.255.255.255-10.0.0.5","allow":true})",
                         R"({"src_IP_range":"192.168.1.10-192.168.1.20","allow":true})",
                         R"({"src_IP_cidr":"192.168.1.16/30","allow":false})", R"({"src_IP_cidr":"192.168.1.20/30","allow":false})",
                         R"({"src_IP_cidr":"192.168.1.10","allow":false})", R"({"src_IP_cidr":"0.0.0.0/0","allow":true})",
                         R"({"src_country":["US"],"allow":true})"}),
                  {{2, "", "shadowed", 1}, {3, "", "shadowed", 1}, {6, "", "shadowed", 5},
                   {8, "", "shadowed", 5}, {10, "", "redundant", 9}}},
        CheckCase{"AnyAddressCoversTheWholeSpace",
                  rules({R"({"src_IP_range":"0.0.0.0-255.255.255.255","allow":true})", R"({"allow":true})",
                         R"({"src_country":["US"],"allow":true})"}),
                  {{2, "", "redundant", 1}, {3, "", "redundant", 1}}},
        CheckCase{"Ports",
                  rules({R"({"protocol":"tcp","dports_list":["1000:2000","22"],"allow":false})",
                         R"({"protocol":"tcp","dports_list":["1500","22"],"allow":true})",
                         R"({"protocol":"tcp","dports_list":["1999:2001"],"allow":true})",
                         R"({"protocol":"udp","dports_list":["1500"],"allow":true})", R"({"protocol":"tcp","allow":true})",
                         R"({"protocol":"tcp","dports_list":["2000:2001","1000:1999"],"allow":true})",
                         R"({"protocol":"tcp","dports_list":["3000"],"allow":true})"}),
                  {{2, "", "shadowed", 1}, {6, "", "redundant", 5}, {7, "", "redundant", 5}}},
        CheckCase{"Countries",
                  rules({R"({"src_country":["US","GB","FR"],"allow":false})", R"({"src_country":["gb","us"],"allow":true})",
                         R"({"src_country":["GB","DE"],"allow":true})", R"({"src_IP_cidr":"10.0.0.0/8","allow":true})",
                         R"({"src_country":["DE"],"allow":false})"}),
                  {{2, "", "shadowed", 1}, {5, "", "shadowed", 3}}},
        CheckCase{"AlikeButNotCovered",
                  rules({R"({"interface":"eth3","src_IP_cidr":"10.0.0.0/24","protocol":"tcp","dports_list":["22"],"allow":false})",
                         R"({"interface":"eth4","src_IP_cidr":"10.0.0.0/24","protocol":"tcp","dports_list":["22"],"allow":true})",
                         R"({"interface":"eth3","src_IP_cidr":"10.0.0.0/23","protocol":"tcp","dports_list":["22"],"allow":true})",
                         R"({"interface":"eth3","src_IP_cidr":"10.0.0.0/24","protocol":"udp","dports_list":["22"],"allow":true})",
                         R"({"interface":"eth3","src_IP_cidr":"10.0.0.0/24","protocol":"tcp","dports_list":["22","23"],"allow":true})",
                         R"({"interface":"eth3","src_IP_cidr":"10.0.0.0/24","protocol":"tcp","allow":true})",
                         R"({"interface":"eth3","src_IP_range":"10.0.0.0-10.0.2.0","protocol":"tcp","dports_list":["22"],"allow":true})",
                         R"({"interface":"eth+","src_IP_cidr":"10.0.0.0/24","protocol":"tcp","dports_list":["22"],"allow":true})",
                         R"({"src_IP_cidr":"10.0.0.0/24","protocol":"tcp","dports_list":["22"],"allow":true})"}),
                  {}},
        CheckCase{"UnreadableValuesNeitherCoverNorAreCovered",
                  rules({R"({"src_IP_cidr":"bogus","allow":false})", R"({"src_IP_cidr":"10.0.0.0/8","allow":true})",
                         R"({"interface":5,"allow":false})", R"({"interface":"eth3","allow":true})",
                         R"({"allow":true})", R"({"src_IP_cidr":"bogus","allow":true})"}),
                  {{1, "src_IP_cidr", "bad-address", 0}, {3, "interface", "ignored-value", 0},
                   {6, "src_IP_cidr", "bad-address", 0}}},
        CheckCase{"UnusedSourceDoesNotNarrow",
                  rules({R"({"src_IP_cidr":"10.0.0.0/8","src_IP_range":"192.168.0.1-192.168.0.2","allow":false})",
                         R"({"src_IP_cidr":"10.1.0.0/16","allow":true})", R"({"src_IP_range":"192.168.0.1-192.168.0.1","allow":true})"}),
                  {{1, "src_IP_range", "unused-source", 0}, {2, "", "shadowed", 1}}}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

TEST(CheckResults, RefusalsLeaveTheBuffer)
{
    char buffer[32] = "intact";
    EXPECT_EQ(zvn_check_rules_json(nullptr, buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_check_rules_json("[", buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_check_rules_json("[]", nullptr, 100), -1);
    EXPECT_EQ(zvn_check_rules_json("[]", buffer, 5), -1);  // the empty finding does not fit
    EXPECT_STREQ(buffer, "intact");
    EXPECT_EQ(zvn_check_rules_json("[{\"allow\":true}]", buffer, 3), 0);
    EXPECT_STREQ(buffer, "[]");
}

TEST(CheckResults, InvalidCarriesTheValidationMessage)
{
    char buffer[256];
    EXPECT_EQ(zvn_check_rules_json("[{\"allow\":true},{\"allow\":1}]", buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "[{\"rule\":2,\"key\":\"allow\",\"severity\":\"error\",\"code\":\"invalid\","
                         "\"message\":\"\\\"allow\\\" is not a boolean\"}]");
}

// A rule set large enough to show that the check does not compare every
// pair: 20,000 distinct rules in under a second even in a sanitized build.
TEST(CheckResults, LargeRuleSetIsChecked)
{
    std::string text = "[";
    for (int i = 0; i < 20000; ++i)
        text += std::string(i ? "," : "") + "{\"interface\":\"eth" + std::to_string(i % 4) + "\",\"src_IP_cidr\":\"10." +
                std::to_string(i / 250 % 250) + "." + std::to_string(i % 250) + ".0/24\",\"protocol\":\"tcp\"," +
                "\"dports_list\":[\"" + std::to_string(1000 + i) + "\"],\"allow\":true}";
    text += ",{\"allow\":true}]";
    std::vector<char> buffer(1 << 20);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zvn_check_rules_json(text.c_str(), buffer.data(), buffer.size()), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
    EXPECT_STREQ(buffer.data(), "[]");
}

// --- with IPv6 on (a process of its own) ---------------------------------------

std::vector<std::string> codes(const std::string &rules)
{
    std::vector<char> buffer(1 << 14);
    EXPECT_GE(zvn_check_rules_json(rules.c_str(), buffer.data(), buffer.size()), 0);
    std::vector<std::string> found;
    for (const auto &f : nlohmann::json::parse(buffer.data()))
        found.push_back(std::to_string(f["rule"].get<int>()) + " " + f["code"].get<std::string>() +
                        (f.contains("other_rule") ? " " + std::to_string(f["other_rule"].get<int>()) : ""));
    return found;
}

TEST(Ipv6Check, AddressesOfBothFamilies)
{
    EXPECT_EQ(codes("[{\"src_IP_cidr\":\"2001:db8::/32\",\"allow\":true},{\"src_IP_cidr\":\"2001:db8::1/129\",\"allow\":true},"
                    "{\"src_IP_cidr\":\"2001:db8::1/64\",\"allow\":true},{\"src_IP_range\":\"2001:db8::9-2001:db8::1\",\"allow\":true},"
                    "{\"src_IP_range\":\"10.0.0.1-2001:db8::1\",\"allow\":true},{\"src_IP_cidr\":\"10.0.0.0/8\",\"allow\":true},"
                    "{\"src_IP_cidr\":\"2001:db8::/32,10.0.0.1\",\"allow\":true}]"),
              (std::vector<std::string>{"2 bad-address", "3 host-bits", "3 redundant 1", "4 bad-range", "5 bad-range",
                                        "7 address-list", "7 bad-address"}));
}

// An IPv4 address written as IPv6 goes to the IPv6 chain, where no packet
// carries it: the rule would match nothing.
TEST(Ipv6Check, Ipv4MappedSourcesMatchNothing)
{
    EXPECT_EQ(codes("[{\"src_IP_cidr\":\"::ffff:10.0.0.0/104\",\"allow\":false},"
                    "{\"src_IP_cidr\":\"::ffff:192.0.2.1\",\"allow\":false},"
                    "{\"src_IP_range\":\"::ffff:10.0.0.1-::ffff:10.0.0.9\",\"allow\":false},"
                    "{\"src_IP_cidr\":\"::/64\",\"allow\":false},{\"src_IP_cidr\":\"2001:db8::/32\",\"allow\":true}]"),
              (std::vector<std::string>{"1 ipv4-mapped", "2 ipv4-mapped", "3 ipv4-mapped"}));
}

TEST(Ipv6Check, ShadowingKnowsTheFamilies)
{
    EXPECT_EQ(codes("[{\"src_IP_cidr\":\"0.0.0.0/0\",\"allow\":false},{\"allow\":true},"
                    "{\"src_IP_cidr\":\"::/0\",\"allow\":false},{\"src_country\":[\"US\"],\"allow\":true},"
                    "{\"protocol\":\"tcp\",\"allow\":true},{\"src_IP_cidr\":\"2001:db8::/48\",\"allow\":true},"
                    "{\"src_IP_range\":\"10.1.0.0-10.1.0.9\",\"allow\":true}]"),
              (std::vector<std::string>{"3 shadowed 2", "4 redundant 2", "5 redundant 2", "6 redundant 2",
                                        "7 shadowed 1"}));
}

}  // namespace
}  // namespace zvn_unit
