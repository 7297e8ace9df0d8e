// Counts from one listing of the whole chain, with the fakes: the listing is
// compared with the rule set before any count is told, lines of source lists
// are summed, and the result codes.
#include <gtest/gtest.h>

#include <cstring>

#include <nlohmann/json.hpp>

#include "support.h"

namespace zvn_test {
namespace {

const char *const chain_header = "Chain ZORVANE (1 references)\n";
const char *const column_header =
    "num      pkts      bytes target     prot opt in     out     source               destination         \n";

// One numbered line as both back ends print it.
std::string numbered(int num, const std::string &pkts, const std::string &target = "ACCEPT",
                     const std::string &prot = "0", const std::string &in = "!lo",
                     const std::string &source = "0.0.0.0/0", const std::string &extra = "")
{
    return std::to_string(num) + "    " + pkts + "     8400 " + target + "     " + prot + "    --  " + in +
           "    *       " + source + "            0.0.0.0/0            " + extra + "\n";
}

std::string nflog(int rule)
{
    return "nflog-prefix \"RULE=" + std::to_string(rule) + " ACT=DROP\"";
}

const std::string list_all = "iptables -vnx -L ZORVANE --line-numbers";

// Allow from two networks (two lines), drop on eth3 (two lines), allow all.
const char *const listed_rules =
    "[{\"src_IP_cidr\":\"10.0.0.0/8,192.168.0.1/16\",\"allow\":true},"
    "{\"interface\":\"eth3\",\"protocol\":\"icmp\",\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"allow\":false},"
    "{\"allow\":true}]";

std::string listed_chain(const std::string &in2 = "eth3", const std::string &prefix2 = nflog(2))
{
    const std::string range = "source IP range 10.0.3.1-10.0.3.200";
    return std::string(chain_header) + column_header + numbered(1, "1", "ACCEPT", "0", "!lo", "10.0.0.0/8") +
           numbered(2, "2", "ACCEPT", "0", "!lo", "192.168.0.0/16") +
           numbered(3, "3", "NFLOG", "1", in2, "0.0.0.0/0", range + " " + prefix2) +
           numbered(4, "4", "DROP", "1", in2, "0.0.0.0/0", range) + numbered(5, "5");
}

class FakeSnapshot : public testing::Test {
protected:
    void SetUp() override { fresh_fake_state(); }
};

TEST_F(FakeSnapshot, SumsTheLinesOfEachRuleAfterOneListing)
{
    Fakes::answer_output("list-all", listed_chain());
    char buffer[64];
    LogCapture log;
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(listed_rules, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[3,4,5]");
    // the listing is the proof: no restore file, no test run
    EXPECT_EQ(Fakes::calls(), std::vector<std::string>{list_all});
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"popen --> /sbin/iptables -vnx -L ZORVANE --line-numbers",
                                                     "popen --> /sbin/iptables -vnx -L ZORVANE --line-numbers --> ret=0"}));
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

TEST_F(FakeSnapshot, PerRuleReadSumsTheSameLines)
{
    for (int p = 1; p <= 5; ++p)
        Fakes::answer_output("list-" + std::to_string(p), "    " + std::to_string(10 * p) + "   840 ACCEPT  all\n");
    char buffer[64];
    EXPECT_EQ(zvn_get_rule_count_json(listed_rules, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[30,40,50]");
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables-restore --test FILE", "iptables -vn -L ZORVANE 1 --exact",
                                                        "iptables -vn -L ZORVANE 2 --exact", "iptables -vn -L ZORVANE 4 --exact",
                                                        "iptables -vn -L ZORVANE 5 --exact"}));
}

TEST_F(FakeSnapshot, ToolWarningsAndMissingNewlineAreHarmless)
{
    const std::string chain = listed_chain();
    for (const std::string &listing :
         {"# Warning: iptables-legacy tables present, use iptables-legacy to see them\n" + chain,
          chain.substr(0, chain.size() - 1)}) {
        Fakes::answer_output("list-all", listing);
        char buffer[64];
        EXPECT_EQ(zvn_get_rule_count_snapshot_json(listed_rules, buffer, sizeof buffer), 0);
        EXPECT_STREQ(buffer, "[3,4,5]");
    }
}

struct Mismatch {
    const char *name;
    std::string rules;
    std::string listing;
    std::string record;
};

class FakeSnapshotMismatch : public FakeSnapshot, public testing::WithParamInterface<Mismatch> {};

TEST_P(FakeSnapshotMismatch, RefusesEveryCountAndNamesTheRule)
{
    const auto &c = GetParam();
    Fakes::answer_output("list-all", c.listing);
    char buffer[64];
    LogCapture log;
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(c.rules.c_str(), buffer, sizeof buffer), -1);
    std::string errors = "[";
    for (size_t i = 0; i < nlohmann::json::parse(c.rules).size(); ++i)
        errors += std::string(i ? "," : "") + "\"error\"";
    EXPECT_EQ(std::string(buffer), errors + "]");
    EXPECT_EQ(log.lines().back(), c.record);
}

const std::string three_allow = "[{\"allow\":true},{\"allow\":true},{\"allow\":true}]";
const std::string three_lines = numbered(1, "1") + numbered(2, "2") + numbered(3, "3");

INSTANTIATE_TEST_SUITE_P(
    Listings, FakeSnapshotMismatch,
    testing::Values(
        Mismatch{"ChainShorter", three_allow, numbered(1, "1") + numbered(2, "2"),
                 "rule 3 does not match the chain: the chain holds 2 rule lines, its line 3 is missing"},
        Mismatch{"ChainLonger", three_allow, three_lines + numbered(4, "4"),
                 "the rule set does not match the chain: the chain holds 4 rule lines, its 3 rules make 3; line 4 "
                 "belongs to no rule"},
        Mismatch{"EmptyChain", "[{\"allow\":false}]", std::string(chain_header) + column_header,
                 "rule 1 does not match the chain: the chain holds 0 rule lines, its line 1 is missing"},
        Mismatch{"Verdict", "[{\"allow\":true},{\"allow\":false}]", three_lines,
                 "rule 2 does not match the chain: line 2 has target \"ACCEPT\" where the rule set makes \"NFLOG\""},
        Mismatch{"Prefix", listed_rules, listed_chain("eth3", nflog(12)),
                 "rule 2 does not match the chain: line 3 has log prefix \"source IP range 10.0.3.1-10.0.3.200 "
                 "nflog-prefix \"RULE=12 ACT=DROP\"\" where the rule set makes \"nflog-prefix \"RULE=2 ACT=DROP\"\""},
        Mismatch{"Interface", listed_rules, listed_chain("eth2"),
                 "rule 2 does not match the chain: line 3 has in-interface \"eth2\" where the rule set makes \"eth3\""},
        Mismatch{"AnyButLo", "[{\"allow\":true}]", numbered(1, "1", "ACCEPT", "0", "*"),
                 "rule 1 does not match the chain: line 1 has in-interface \"*\" where the rule set makes \"!lo\""},
        Mismatch{"Protocol", "[{\"protocol\":\"udp\",\"allow\":true}]", numbered(1, "1", "ACCEPT", "6"),
                 "rule 1 does not match the chain: line 1 has protocol \"6\" where the rule set makes \"17\""},
        Mismatch{"Source", "[{\"src_IP_cidr\":\"10.0.0.1/24\",\"allow\":true}]",
                 numbered(1, "1", "ACCEPT", "0", "!lo", "10.0.1.0/24"),
                 "rule 1 does not match the chain: line 1 has source \"10.0.1.0/24\" where the rule set makes \"10.0.0.0/24\""},
        Mismatch{"SingleAddress", "[{\"src_IP_cidr\":\"10.0.0.1/32\",\"allow\":true}]",
                 numbered(1, "1", "ACCEPT", "0", "!lo", "10.0.0.1/32"),
                 "rule 1 does not match the chain: line 1 has source \"10.0.0.1/32\" where the rule set makes \"10.0.0.1\""},
        Mismatch{"Range", "[{\"src_IP_range\":\"10.0.0.1-10.0.0.9\",\"allow\":true}]",
                 numbered(1, "1", "ACCEPT", "0", "!lo", "0.0.0.0/0", "source IP range 10.0.0.1-10.0.0.8"),
                 "rule 1 does not match the chain: line 1 has matches \"source IP range 10.0.0.1-10.0.0.8\" where the "
                 "rule set makes \"source IP range 10.0.0.1-10.0.0.9\""},
        Mismatch{"CountTooLarge", three_allow, numbered(1, "1") + numbered(2, "18446744073709551616") + numbered(3, "3"),
                 "rule 2 does not match the chain: line 2 cannot be read"},
        Mismatch{"CountNotDigits", three_allow, numbered(1, "1") + numbered(2, "-5") + numbered(3, "3"),
                 "rule 2 does not match the chain: line 2 cannot be read"},
        Mismatch{"TruncatedLine", three_allow, numbered(1, "1") + "2\n" + numbered(3, "3"),
                 "rule 2 does not match the chain: line 2 cannot be read"},
        Mismatch{"RepeatedNumber", three_allow, numbered(1, "1") + numbered(2, "2") + numbered(2, "7") + numbered(3, "3"),
                 "rule 2 does not match the chain: line 2 cannot be read"}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

TEST(FakeSnapshotResults, LargestCountAndOverflowingSum)
{
    fresh_fake_state();
    char buffer[64];
    Fakes::answer_output("list-all", numbered(1, "18446744073709551615"));
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[{\"allow\":true}]", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[18446744073709551615]");
    Fakes::answer_output("list-all", numbered(1, "18446744073709551615", "ACCEPT", "0", "!lo", "10.0.0.1") +
                                         numbered(2, "1", "ACCEPT", "0", "!lo", "10.0.0.2") + numbered(3, "3"));
    LogCapture log;
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[{\"src_IP_cidr\":\"10.0.0.1,10.0.0.2\",\"allow\":true},{\"allow\":true}]",
                                               buffer, sizeof buffer),
              -1);
    EXPECT_STREQ(buffer, "[\"error\",3]");
    EXPECT_EQ(log.lines().back(), "the counts of rule 1 overflow their sum");
}

TEST(FakeSnapshotResults, FailedListingMakesEveryElementAnError)
{
    fresh_fake_state();
    Fakes::answer("list-all", 1, std::string(chain_header) + numbered(1, "4"));
    char buffer[64];
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[{\"allow\":true},{\"allow\":false}]", buffer, sizeof buffer), 256);
    EXPECT_STREQ(buffer, "[\"error\",\"error\"]");
}

TEST(FakeSnapshotResults, EmptyRuleSetNeedsAnEmptyChain)
{
    fresh_fake_state();
    char buffer[3];
    Fakes::answer_output("list-all", std::string(chain_header) + column_header);
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[]", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[]");
    EXPECT_EQ(Fakes::calls(), std::vector<std::string>{list_all});
    Fakes::answer_output("list-all", numbered(1, "4"));
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[]", buffer, sizeof buffer), -1);
}

TEST(FakeSnapshotResults, RefusalsLeaveTheBuffer)
{
    fresh_fake_state();
    Fakes::answer_output("list-all", numbered(1, "12345"));
    char buffer[8] = "intact";
    LogCapture log;
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[{\"allow\":true}]", buffer, 7), -1);  // "[12345]" needs 8
    EXPECT_EQ(log.lines().back(), "size_n is too small");
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("{}", buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(nullptr, buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[]", nullptr, 8), -1);
    EXPECT_STREQ(buffer, "intact");
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[{\"allow\":true}]", buffer, 8), 0);
    EXPECT_STREQ(buffer, "[12345]");
}

}  // namespace
}  // namespace zvn_test
