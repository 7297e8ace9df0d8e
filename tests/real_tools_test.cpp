// The chain operations and rule sets against the real iptables (nf_tables or
// legacy back end, whichever the sandbox chose), in the sandbox's own network
// namespace.
#include <gtest/gtest.h>

#include "support.h"

namespace zvn_test {
namespace {

std::vector<std::string> chain_rules(const std::string &chain)
{
    return split_lines(shell("/sbin/iptables -S " + chain + " 2>&1"));
}

class RealChain : public testing::Test {
protected:
    void SetUp() override
    {
        shell("/sbin/iptables -F INPUT; /sbin/iptables -F ZORVANE; /sbin/iptables -X ZORVANE; true 2>/dev/null");
        remove_restore_files_in_tmp();
    }
};

const std::vector<std::string> prepared_input = {
    "-P INPUT ACCEPT",
    "-A INPUT -i lo -j ACCEPT",
    "-A INPUT -m state --state RELATED,ESTABLISHED -j ACCEPT",
    "-A INPUT -m state --state NEW -j ZORVANE",
};

TEST_F(RealChain, ResetCounterWithoutChainFails)
{
    EXPECT_NE(reset_counter(), 0);
    EXPECT_EQ(run_util({"zvn_util", "reset_counter"}).exit_status, 1);
}

TEST_F(RealChain, SetupTwiceLeavesOneHookLast)
{
    setup_default_chain();
    setup_default_chain();
    EXPECT_EQ(chain_rules("INPUT"), prepared_input);
    EXPECT_EQ(chain_rules("ZORVANE"), std::vector<std::string>{"-N ZORVANE"});
    // a rule added after the hook: the next setup moves the hook behind it
    shell("/sbin/iptables -A INPUT -p tcp -j ACCEPT");
    EXPECT_EQ(run_util({"zvn_util", "setup_default_chain"}).exit_status, 0);
    auto expected = prepared_input;
    expected.insert(expected.end() - 1, "-A INPUT -p tcp -j ACCEPT");
    EXPECT_EQ(chain_rules("INPUT"), expected);
    EXPECT_EQ(reset_counter(), 0);
}

const char *const country_free_rules =
    "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"icmp\",\"allow\":true},"
    "{\"src_IP_cidr\":\"10.0.1.0/24\",\"protocol\":\"udp\",\"dports_list\":[\"123\",\"1000:1020\"],\"allow\":true},"
    "{\"interface\":\"eth3\",\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"protocol\":\"icmp\",\"allow\":false},"
    "{\"interface\":\"eth2\",\"protocol\":\"tcp\",\"dports_list\":[\"22\"],\"allow\":false},"
    "{\"allow\":true}]";

const std::vector<std::string> country_free_chain = {
    "-N ZORVANE",
    "-A ZORVANE -s 10.0.0.0/24 -i eth3 -p icmp -j ACCEPT",
    "-A ZORVANE -s 10.0.1.0/24 ! -i lo -p udp -m multiport --dports 123,1000:1020 -j ACCEPT",
    "-A ZORVANE -i eth3 -p icmp -m iprange --src-range 10.0.3.1-10.0.3.200 -j NFLOG --nflog-prefix \"RULE=3 ACT=DROP\"",
    "-A ZORVANE -i eth3 -p icmp -m iprange --src-range 10.0.3.1-10.0.3.200 -j DROP",
    "-A ZORVANE -i eth2 -p tcp -m multiport --dports 22 -j NFLOG --nflog-prefix \"RULE=4 ACT=DROP\"",
    "-A ZORVANE -i eth2 -p tcp -m multiport --dports 22 -j DROP",
    "-A ZORVANE ! -i lo -j ACCEPT",
};

TEST_F(RealChain, RuleSetBecomesTheChainAndRejectedOneChangesNothing)
{
    setup_default_chain();
    ASSERT_EQ(zvn_apply_rules_json(country_free_rules), 0);
    EXPECT_EQ(chain_rules("ZORVANE"), country_free_chain);
    ASSERT_EQ(zvn_apply_rules_json(country_free_rules), 0);
    EXPECT_EQ(chain_rules("ZORVANE"), country_free_chain);
    EXPECT_TRUE(restore_files_in_tmp().empty());

    write_file(drop_log, "kept\n");
    const int rejected = zvn_apply_rules_json("[{\"src_IP_cidr\":\"999.1.1.1\",\"allow\":false}]");
    EXPECT_NE(rejected, 0);
    EXPECT_NE(rejected, -1);
    EXPECT_EQ(chain_rules("ZORVANE"), country_free_chain);
    EXPECT_EQ(read_file(drop_log), "kept\n");
    EXPECT_EQ(restore_files_in_tmp().size(), 1u);
    EXPECT_EQ(chain_rules("INPUT"), prepared_input);
}

TEST_F(RealChain, CountsReadBackAndReset)
{
    setup_default_chain();
    // Send loopback pings through the chain too: the prepared INPUT accepts
    // loopback before the hook.
    shell("/sbin/iptables -I INPUT 1 -i lo -m state --state NEW -j ZORVANE");
    const char *rules = "[{\"interface\":\"lo\",\"protocol\":\"icmp\",\"allow\":false},"
                        "{\"interface\":\"lo\",\"protocol\":\"udp\",\"allow\":true},{\"allow\":true}]";
    ASSERT_EQ(zvn_apply_rules_json(rules), 0);
    int status = 0;
    shell("ping -c 3 -i 0.2 -W 1 127.0.0.1 >/dev/null 2>&1", &status);
    EXPECT_NE(status, 0);  // dropped
    shell("for i in 1 2; do echo x | nc -u -w0 127.0.0.1 9; done");
    char buffer[128];
    ASSERT_EQ(zvn_get_rule_count_json(rules, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[3,2,0]");
    EXPECT_EQ(reset_counter(), 0);
    ASSERT_EQ(zvn_get_rule_count_json(rules, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[0,0,0]");
}

TEST_F(RealChain, SnapshotAgreesWithPerRuleCounts)
{
    setup_default_chain();
    shell("/sbin/iptables -I INPUT 1 -i lo -m state --state NEW -j ZORVANE");
    const char *rules =
        "[{\"interface\":\"lo\",\"src_IP_cidr\":\"127.0.0.2\",\"protocol\":\"icmp\",\"allow\":false},"
        "{\"interface\":\"lo\",\"src_IP_range\":\"127.0.0.3-127.0.0.4\",\"protocol\":\"icmp\",\"allow\":true},"
        "{\"interface\":\"lo\",\"protocol\":\"udp\",\"dports_list\":[\"9\",\"100:110\"],\"allow\":false},"
        "{\"interface\":\"lo\",\"protocol\":\"udp\",\"dports_list\":[\"7\"],\"allow\":true},"
        "{\"interface\":\"lo\",\"protocol\":\"tcp\",\"dports_list\":[\"22\"],\"allow\":false},"
        "{\"interface\":\"eth9\",\"allow\":false},"
        "{\"interface\":\"lo\",\"protocol\":\"tcp\",\"allow\":true},"
        "{\"src_IP_cidr\":\"10.9.0.0/16\",\"allow\":false},"
        "{\"interface\":\"lo\",\"protocol\":\"icmp\",\"allow\":false},"
        "{\"protocol\":\"udp\",\"allow\":true},"
        "{\"interface\":\"lo\",\"allow\":true},"
        "{\"allow\":true}]";
    ASSERT_EQ(zvn_apply_rules_json(rules), 0);
    shell("ping -c 2 -i 0.2 -W 1 -I 127.0.0.2 127.0.0.1; ping -c 1 -W 1 -I 127.0.0.3 127.0.0.1;"
          "ping -c 3 -i 0.2 -W 1 127.0.0.1;"
          "for p in 9 105 7 7; do echo x | nc -u -w0 127.0.0.1 $p; done;"
          "nc -z -w 1 127.0.0.1 22; nc -z -w 1 127.0.0.1 23; true >/dev/null 2>&1;"
          // a SYN the kernel sends again as nc gives up must not fall
          // between the two reads
          "sleep 1.5");
    char per_rule[256], snapshot[256];
    ASSERT_EQ(zvn_get_rule_count_json(rules, per_rule, sizeof per_rule), 0);
    ASSERT_EQ(zvn_get_rule_count_snapshot_json(rules, snapshot, sizeof snapshot), 0);
    EXPECT_STREQ(snapshot, per_rule);
    // icmp from .2 dropped twice, .3 answered once, two udp drops, two udp
    // allows, the ssh attempt retried, the closed port refused once, three
    // pings dropped
    EXPECT_EQ(std::string(snapshot).substr(0, 9), "[2,1,2,2,");
}

// A rule set that differs from the installed one in any checked way gives
// no counts; the installed one does.
TEST_F(RealChain, SnapshotRefusesRuleSetsTheChainDoesNotHold)
{
    setup_default_chain();
    const char *installed =
        "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"icmp\",\"allow\":true},"
        "{\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"protocol\":\"udp\",\"dports_list\":[\"53\"],\"allow\":false},"
        "{\"src_IP_cidr\":\"10.1.0.0/16,10.2.0.7\",\"allow\":false},"
        "{\"allow\":true}]";
    ASSERT_EQ(zvn_apply_rules_json(installed), 0);
    char buffer[256];
    ASSERT_EQ(zvn_get_rule_count_snapshot_json(installed, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[0,0,0,0]");
    // a port written with a leading zero is the port the chain holds
    const std::string zero = std::string(installed).replace(std::string(installed).find("[\"53\"]"), 6, "[\"053\"]");
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(zero.c_str(), buffer, sizeof buffer), 0);
    struct Other {
        const char *what;
        const char *rules;
    };
    for (const Other &other : {
             Other{"count", "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"icmp\",\"allow\":true}]"},
             Other{"verdict", "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"icmp\",\"allow\":false},"
                              "{\"src_IP_cidr\":\"10.1.0.0/16,10.2.0.7\",\"allow\":true},{\"allow\":true}]"},
             Other{"number", "[{\"allow\":false},{\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"protocol\":\"udp\",\"allow\":false},"
                             "{\"src_IP_cidr\":\"10.1.0.0/16,10.2.0.7\",\"allow\":false},{\"allow\":true}]"},
             Other{"interface", "[{\"interface\":\"eth4\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"icmp\",\"allow\":true},"
                                "{\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"protocol\":\"udp\",\"allow\":false},"
                                "{\"src_IP_cidr\":\"10.1.0.0/16,10.2.0.7\",\"allow\":false},{\"allow\":true}]"},
             Other{"protocol", "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"tcp\",\"allow\":true},"
                               "{\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"protocol\":\"udp\",\"allow\":false},"
                               "{\"src_IP_cidr\":\"10.1.0.0/16,10.2.0.7\",\"allow\":false},{\"allow\":true}]"},
             Other{"source", "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.1.1/24\",\"protocol\":\"icmp\",\"allow\":true},"
                             "{\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"protocol\":\"udp\",\"allow\":false},"
                             "{\"src_IP_cidr\":\"10.1.0.0/16,10.2.0.7\",\"allow\":false},{\"allow\":true}]"},
             Other{"range", "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"icmp\",\"allow\":true},"
                            "{\"src_IP_range\":\"10.0.3.1-10.0.3.201\",\"protocol\":\"udp\",\"allow\":false},"
                            "{\"src_IP_cidr\":\"10.1.0.0/16,10.2.0.7\",\"allow\":false},{\"allow\":true}]"},
             // every field is compared: the ports too, and their absence
             Other{"ports", "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"icmp\",\"allow\":true},"
                            "{\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"protocol\":\"udp\",\"dports_list\":[\"54\"],\"allow\":false},"
                            "{\"src_IP_cidr\":\"10.1.0.0/16,10.2.0.7\",\"allow\":false},{\"allow\":true}]"},
             Other{"no ports", "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"icmp\",\"allow\":true},"
                               "{\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"protocol\":\"udp\",\"allow\":false},"
                               "{\"src_IP_cidr\":\"10.1.0.0/16,10.2.0.7\",\"allow\":false},{\"allow\":true}]"},
             Other{"list", "[{\"interface\":\"eth3\",\"src_IP_cidr\":\"10.0.0.1/24\",\"protocol\":\"icmp\",\"allow\":true},"
                           "{\"src_IP_range\":\"10.0.3.1-10.0.3.200\",\"protocol\":\"udp\",\"allow\":false},"
                           "{\"src_IP_cidr\":\"10.1.0.0/16\",\"allow\":false},{\"allow\":true}]"}}) {
        LogCapture log;
        EXPECT_EQ(zvn_get_rule_count_snapshot_json(other.rules, buffer, sizeof buffer), -1) << other.what;
        EXPECT_NE(log.text().find("does not match the chain"), std::string::npos) << other.what << log.text();
        EXPECT_EQ(std::string(buffer).find_first_of("0123456789"), std::string::npos) << other.what << buffer;
    }
}

// A source list is installed as one line per address: both reads sum them.
TEST_F(RealChain, SourceListCountsAddUpPerRule)
{
    setup_default_chain();
    shell("/sbin/iptables -I INPUT 1 -i lo -m state --state NEW -j ZORVANE");
    const char *rules =
        "[{\"interface\":\"lo\",\"src_IP_cidr\":\"127.0.0.2,127.0.0.3\",\"protocol\":\"icmp\",\"allow\":false},"
        "{\"interface\":\"lo\",\"src_IP_cidr\":\"127.0.0.4/32,127.0.0.5\",\"protocol\":\"icmp\",\"allow\":true},"
        "{\"interface\":\"lo\",\"protocol\":\"icmp\",\"allow\":false},"
        "{\"allow\":true}]";
    ASSERT_EQ(zvn_apply_rules_json(rules), 0);
    EXPECT_EQ(split_lines(shell("/sbin/iptables -S ZORVANE")).size(), 10u);  // -N, 4 + 2 + 2 + 1 lines
    shell("ping -c 2 -i 0.2 -W 1 -I 127.0.0.2 127.0.0.1; ping -c 1 -W 1 -I 127.0.0.3 127.0.0.1;"
          "ping -c 1 -W 1 -I 127.0.0.4 127.0.0.1; ping -c 1 -W 1 -I 127.0.0.5 127.0.0.1;"
          "ping -c 2 -i 0.2 -W 1 -I 127.0.0.6 127.0.0.1; true >/dev/null 2>&1");
    char per_rule[128], snapshot[128];
    ASSERT_EQ(zvn_get_rule_count_json(rules, per_rule, sizeof per_rule), 0);
    ASSERT_EQ(zvn_get_rule_count_snapshot_json(rules, snapshot, sizeof snapshot), 0);
    EXPECT_STREQ(per_rule, "[3,2,2,0]");
    EXPECT_STREQ(snapshot, "[3,2,2,0]");
}

}  // namespace
}  // namespace zvn_test
