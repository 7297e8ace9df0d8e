// A parsed rule set and the error channel's parts, against the fake: one
// parse serves the check, the dry run, the apply, the counts, the
// verification and the descriptions; a refusal is told as its parts (the
// rule, the key, the family, the tool's words), and a buffer too small
// says the size it needs.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <libzorvane.h>

#include "fake_filter.h"
#include "stages.h"

namespace zvn_unit {
namespace {

class FakeHandle : public testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/zvn-unit-XXXXXX";
        directory_ = mkdtemp(name) != nullptr ? name : "/tmp";
        fake_ = &zvn::use_fake_filter(directory_);
        setup_default_chain();
    }
    void TearDown() override
    {
        zvn::use_packet_filter(nullptr);
        if (std::system(("rm -rf '" + directory_ + "'").c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << directory_;
    }
    std::string directory_;
    zvn::FakeFilter *fake_ = nullptr;
};

struct Handle {
    explicit Handle(const std::string &text) : rules(zvn_rules_parse_n(text.data(), text.size())) {}
    ~Handle() { zvn_rules_free(rules); }
    zvn_rules *rules;
};

TEST_F(FakeHandle, RefusalsAreToldAsTheirParts)
{
    struct Case {
        std::string text;
        int code;
        int rule;
        const char *key;
    };
    for (const Case &c : {Case{"[{\"allow\":true},{\"allow\":true,\"protocol\":\"sctp\"}]", ZVN_ERROR_INVALID, 2, "protocol"},
                          Case{"[{\"allow\":true,\"Allow\":1}]", ZVN_ERROR_INVALID, 1, "Allow"},
                          Case{"[{\"allow\":true},", ZVN_ERROR_NOT_JSON, 0, ""},
                          Case{std::string("[{\"allow\":true}]\0[", 18), ZVN_ERROR_INVALID, 0, ""}}) {
        const Handle handle(c.text);
        EXPECT_EQ(handle.rules, nullptr) << c.text;
        EXPECT_EQ(zvn_last_error_code(), c.code) << c.text;
        EXPECT_EQ(zvn_last_error_rule(), c.rule) << c.text;
        EXPECT_STREQ(zvn_last_error_key(), c.key) << c.text;
    }
    EXPECT_EQ(zvn_rules_parse(nullptr), nullptr);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_ARGUMENT);
}

TEST_F(FakeHandle, OneParseServesEveryCall)
{
    const Handle handle(R"([{"src_IP_cidr":"10.0.0.1/24","protocol":"tcp","dports_list":["22"],"allow":true},
                            {"interface":"eth3","allow":false},{"allow":true}])");
    ASSERT_NE(handle.rules, nullptr);
    EXPECT_EQ(zvn_rules_size(handle.rules), 3u);
    std::vector<char> buffer(4096);
    EXPECT_EQ(zvn_rules_check_json(handle.rules, buffer.data(), buffer.size()), 0);
    EXPECT_NE(std::string(buffer.data()).find("\"code\":\"host-bits\""), std::string::npos);
    EXPECT_EQ(zvn_rules_test(handle.rules), 0);
    EXPECT_EQ(zvn_rules_apply(handle.rules), 0) << zvn_last_error();
    ASSERT_EQ(zvn_rules_verify_json(handle.rules, buffer.data(), buffer.size()), 0);
    EXPECT_TRUE(nlohmann::json::parse(buffer.data())["ipv4"]["holds"].get<bool>());
    fake_->set_counters(zvn::ipv4, "ZORVANE", 1, 4, 240);
    fake_->set_counters(zvn::ipv4, "ZORVANE", 3, 6, 360);
    std::vector<zvn_rule_count> counts(3);
    ASSERT_EQ(zvn_rules_counts(handle.rules, counts.data(), counts.size()), 0) << zvn_last_error();
    EXPECT_EQ(counts[0].packets, 4u);
    EXPECT_EQ(counts[0].bytes, 240u);
    EXPECT_EQ(counts[1].packets, 6u);
    EXPECT_EQ(counts[1].told, 1);
    EXPECT_EQ(zvn_rules_counts(handle.rules, counts.data(), 2), -1);  // the array is short
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_BUFFER);
    EXPECT_EQ(zvn_last_error_size_needed(), 3u);
    ASSERT_EQ(zvn_rules_describe_json(handle.rules, buffer.data(), buffer.size()), 0);
    EXPECT_EQ(nlohmann::json::parse(buffer.data())[1]["matches"], "all on eth3");
    const int length = zvn_rules_restore_text(handle.rules, nullptr, 0);
    EXPECT_GT(length, 0);
    EXPECT_EQ(zvn_last_error_size_needed(), static_cast<size_t>(length) + 1);
}

TEST_F(FakeHandle, ATestRunsRefusalNamesItsRuleFamilyAndWords)
{
    const Handle handle(R"([{"allow":true},{"src_country":["US"],"allow":false}])");
    ASSERT_NE(handle.rules, nullptr);
    EXPECT_EQ(zvn_rules_apply(handle.rules), 512);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_TEST_REFUSED);
    EXPECT_EQ(zvn_last_error_rule(), 2);
    EXPECT_STREQ(zvn_last_error_family(), "ipv4");
    EXPECT_EQ(zvn_last_error_status(), 512);
    EXPECT_NE(std::string(zvn_last_error_tool_words()).find("Couldn't load match `geoip'"), std::string::npos);
}

TEST_F(FakeHandle, BuffersTooSmallSayWhatTheyNeed)
{
    std::vector<char> small(4);
    EXPECT_EQ(zvn_describe_rules_json("[{\"allow\":true}]", small.data(), small.size()), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_BUFFER);
    const size_t needed = zvn_last_error_size_needed();
    std::vector<char> enough(needed);
    EXPECT_EQ(zvn_describe_rules_json("[{\"allow\":true}]", enough.data(), enough.size()), 0);
    EXPECT_EQ(zvn_check_rules_json("[{\"allow\":true,\"src_IP_cidr\":\"10.0.0.1/24\"}]", small.data(), small.size()), -1);
    EXPECT_GT(zvn_last_error_size_needed(), small.size());
    ASSERT_EQ(zvn_host_json(enough.data(), 2), -1);
    std::vector<char> host(zvn_last_error_size_needed());
    ASSERT_EQ(zvn_host_json(host.data(), host.size()), 0);
    EXPECT_TRUE(nlohmann::json::parse(host.data())["preparation_script"]["present"].get<bool>());
}

}  // namespace
}  // namespace zvn_unit
