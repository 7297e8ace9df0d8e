// The error channel: for each kind of refusal a stable code and a message
// naming the rule and the field where there is one, and nothing after a
// success. Only calls that run nothing are made here; refusals that need
// the tools are tested with the fakes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <libzorvane.h>

namespace zvn_unit {
namespace {

struct Refusal {
    const char *name;
    std::function<int()> call;
    int code;
    const char *message;  // a part of zvn_last_error()
};

class ErrorChannel : public testing::TestWithParam<Refusal> {};

char buffer[64];

TEST_P(ErrorChannel, CodeAndMessage)
{
    const auto &c = GetParam();
    EXPECT_EQ(c.call(), -1);
    EXPECT_EQ(zvn_last_error_code(), c.code);
    EXPECT_NE(std::string(zvn_last_error()).find(c.message), std::string::npos) << zvn_last_error();
    // a success clears it
    EXPECT_GE(zvn_restore_text_json("[]", nullptr, 0), 0);
    EXPECT_EQ(zvn_last_error_code(), ZVN_OK);
    EXPECT_STREQ(zvn_last_error(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ErrorChannel,
    testing::Values(
        Refusal{"NullRules", [] { return zvn_restore_text_json(nullptr, nullptr, 0); }, ZVN_ERROR_ARGUMENT, "null"},
        Refusal{"NotJson", [] { return zvn_restore_text_json("[", nullptr, 0); }, ZVN_ERROR_NOT_JSON, "not JSON"},
        Refusal{"InvalidNamesRuleAndKey",
                [] { return zvn_restore_text_json("[{\"allow\":true},{\"allow\":true,\"protocol\":\"TCP\"}]", nullptr, 0); },
                ZVN_ERROR_INVALID, "rule 2 (protocol): \"protocol\" only support tcp/udp/icmp"},
        Refusal{"MissingAllow", [] { return zvn_describe_rules_json("[{}]", buffer, sizeof buffer); },
                ZVN_ERROR_INVALID, "rule 1 (allow): \"allow\" missing"},
        Refusal{"CheckNotJson", [] { return zvn_check_rules_json("[1", buffer, sizeof buffer); }, ZVN_ERROR_NOT_JSON,
                "not JSON"},
        Refusal{"CheckBufferTooSmall", [] { return zvn_check_rules_json("[]", buffer, 4); }, ZVN_ERROR_BUFFER,
                "too small"},
        Refusal{"DescriptionsBufferTooSmall",
                [] { return zvn_describe_rules_json("[{\"allow\":true},{\"allow\":true}]", buffer, 8); },
                ZVN_ERROR_BUFFER, "bytes needed"},
        Refusal{"FailsafeDropRefused", [] { return zvn_failsafe_text_json("[{\"allow\":false}]", nullptr, 0); },
                ZVN_ERROR_INVALID, "rule 1 (allow): the fail-safe set takes only rules that allow"},
        Refusal{"ChainTextRefused", [] { return zvn_install_chain_text("*nat\nCOMMIT\n"); }, ZVN_ERROR_CHAIN_TEXT,
                "\"*nat\" where \"*filter\" belongs"},
        Refusal{"RestoreLineOfInvalidSet", [] { return zvn_rule_of_restore_line("[{\"allow\":2}]", 0, 3); },
                ZVN_ERROR_INVALID, "rule 1 (allow)"}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

TEST(RestoreLines, NameTheirRule)
{
    const char *rules = "[{\"allow\":true},{\"allow\":false},{\"allow\":true}]";
    // *filter, :ZORVANE, rule 1, rule 2 (two lines), rule 3, COMMIT
    const std::vector<int> expected{0, 0, 1, 2, 2, 3, 0};
    for (long line = 1; line <= 7; ++line)
        EXPECT_EQ(zvn_rule_of_restore_line(rules, 0, line), expected[static_cast<std::size_t>(line - 1)]) << line;
}

TEST(Descriptions, SayWhatEachRuleMatches)
{
    char text[512];
    ASSERT_EQ(zvn_describe_rules_json("[{\"interface\":\"eth0\",\"src_IP_cidr\":\"10.0.0.0/8\",\"protocol\":\"tcp\","
                                      "\"dports_list\":[\"22\",\"80\"],\"allow\":true},{\"src_country\":[\"US\"],\"allow\":false}]",
                                      text, sizeof text),
              0);
    EXPECT_STREQ(text, "[{\"matches\":\"tcp ports 22,80 from 10.0.0.0/8 on eth0\",\"rule\":1,\"verdict\":\"allow\"},"
                       "{\"matches\":\"all from countries US on any interface but lo\",\"rule\":2,\"verdict\":\"drop\"}]");
}

}  // namespace
}  // namespace zvn_unit
