// Counts carried over an apply, against the in-process fake: each rule of
// the new set starts with the counts of the same rule of the set in force
// whatever its number, in both layouts; a rule the set in force lacks, a
// chain another tool changed and the switch off start at zero; the record
// keeps the lines without the counts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <libzorvane.h>

#include "fake_filter.h"
#include "stages.h"

namespace zvn_unit {
namespace {

class CarriedCounts : public testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/zvn-carry-XXXXXX";
        directory_ = mkdtemp(name);
        fake_ = &zvn::use_fake_filter(directory_);
        zvn_set_layout(GetParam());
        setup_default_chain();
        zvn_set_keep_counts(1);
    }
    void TearDown() override
    {
        zvn_set_keep_counts(0);
        zvn_set_layout(ZVN_LAYOUT_FLAT);
        zvn::use_packet_filter(nullptr);
        if (std::system(("rm -rf '" + directory_ + "'").c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << directory_;
    }
    std::vector<zvn_rule_count> counts(const std::string &text)
    {
        zvn_rules *rules = zvn_rules_parse(text.c_str());
        EXPECT_NE(rules, nullptr);
        std::vector<zvn_rule_count> out(zvn_rules_size(rules));
        EXPECT_EQ(zvn_rules_counts(rules, out.data(), out.size()), 0) << zvn_last_error();
        zvn_rules_free(rules);
        return out;
    }
    // Counts on every counted line of the chains: packets of a rule's
    // copies add up.
    void count_everything(std::uint64_t packets)
    {
        for (const std::string &chain : fake_->chain_names(zvn::ipv4)) {
            const auto listed = fake_->lines_of(zvn::ipv4, chain);
            std::size_t line = 0, start = 0;
            while (start < listed.size()) {
                const std::size_t end = listed.find('\n', start);
                const std::string one = listed.substr(start, end - start);
                ++line;
                if (one.size() > 10 && (one.rfind(" -j ACCEPT") == one.size() - 10 || one.rfind(" -j DROP") == one.size() - 8))
                    fake_->set_counters(zvn::ipv4, chain, line, packets, packets * 100);
                start = end == std::string::npos ? listed.size() : end + 1;
            }
        }
    }

    std::string directory_;
    zvn::FakeFilter *fake_ = nullptr;
};

const std::string first = R"([{"src_IP_cidr":"10.1.0.0/16","allow":false},{"protocol":"tcp","dports_list":["22"],"allow":true},)"
                          R"({"src_IP_cidr":"10.2.0.0/16","allow":false},{"allow":true}])";
// a rule inserted at the top: every other rule renumbered
const std::string second = R"([{"interface":"eth2","allow":false},{"src_IP_cidr":"10.1.0.0/16","allow":false},)"
                           R"({"protocol":"tcp","dports_list":["22"],"allow":true},)"
                           R"({"src_IP_cidr":"10.2.0.0/16","allow":false},{"allow":true}])";

TEST_P(CarriedCounts, EachRuleKeepsItsCountsWhateverItsNumber)
{
    ASSERT_EQ(zvn_apply_rules_json(first.c_str()), 0) << zvn_last_error();
    count_everything(3);
    const auto before = counts(first);
    ASSERT_EQ(before.size(), 4u);
    ASSERT_GE(before[0].packets, 3u);
    ASSERT_GE(before[3].packets, 3u);
    ASSERT_EQ(zvn_apply_rules_json(second.c_str()), 0) << zvn_last_error();
    const auto after = counts(second);
    EXPECT_EQ(after[0].packets, 0u);  // new
    for (std::size_t r = 0; r < before.size(); ++r) {
        EXPECT_EQ(after[r + 1].packets, before[r].packets) << "rule " << r + 1;
        EXPECT_EQ(after[r + 1].bytes, before[r].bytes) << "rule " << r + 1;
    }
    // the same set again changes nothing
    ASSERT_EQ(zvn_apply_rules_json(second.c_str()), 0);
    EXPECT_EQ(counts(second)[1].packets, before[0].packets);
    // and the guard's record holds the lines as listed: whole
    std::vector<char> report(1 << 16);
    EXPECT_EQ(zvn_guard_look(ZVN_LOOK_AGAIN, report.data(), report.size()), 0) << report.data();
}

TEST_P(CarriedCounts, NothingIsCarriedOffOrFromAChangedChain)
{
    ASSERT_EQ(zvn_apply_rules_json(first.c_str()), 0);
    count_everything(5);
    zvn_set_keep_counts(0);
    ASSERT_EQ(zvn_apply_rules_json(first.c_str()), 0);
    EXPECT_EQ(counts(first)[0].packets, 0u);
    zvn_set_keep_counts(1);
    count_everything(5);
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-I ZORVANE -s 10.9.0.0/16 -j ACCEPT"));  // another tool's line
    ASSERT_EQ(zvn_apply_rules_json(first.c_str()), 0);
    EXPECT_EQ(counts(first)[0].packets, 0u);
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, CarriedCounts, testing::Values(ZVN_LAYOUT_FLAT, ZVN_LAYOUT_INDEXED));

}  // namespace
}  // namespace zvn_unit
