// Both address families, in a process where zvn_enable_ipv6() was called
// (test_main does so with ZVN_TEST_IPV6=1): which rule goes to which
// chain, the two files tested before either is installed, all or nothing,
// counts summed over both chains, the check. Fakes first, then the real
// tools.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>

#include <nlohmann/json.hpp>

#include "support.h"

namespace zvn_test {
namespace {

// Calls without the listing of the IPv4 chain, which runs beside the test
// runs and so may stand anywhere among them. The two test runs go on side
// by side, so they are put in family order.
std::vector<std::string> calls_but_keeping()
{
    auto calls = Fakes::calls();
    calls.erase(std::remove(calls.begin(), calls.end(), "iptables -S ZORVANE"), calls.end());
    if (calls.size() >= 2 && calls[0] == "ip6tables-restore --test FILE6" && calls[1] == "iptables-restore --test FILE")
        std::swap(calls[0], calls[1]);
    return calls;
}

// The copy of the file a test run was handed: the first two copies are the
// two test runs', in either order.
std::string tested_copy(const std::string &tool)
{
    return Fakes::restore_copy(Fakes::restore_tool(1) == tool ? 1 : 2);
}

const char *const mixed =
    "[{\"src_IP_cidr\":\"10.0.0.0/8\",\"allow\":false},"
    "{\"src_IP_cidr\":\"2001:db8::/32\",\"protocol\":\"tcp\",\"dports_list\":[\"22\"],\"allow\":true},"
    "{\"interface\":\"eth3\",\"protocol\":\"icmp\",\"allow\":false},"
    "{\"src_IP_range\":\"2001:db8::1-2001:db8::9\",\"protocol\":\"icmp\",\"allow\":false},"
    "{\"allow\":true}]";

class FakeIpv6 : public testing::Test {
protected:
    void SetUp() override { fresh_fake_state(); }
};

TEST_F(FakeIpv6, EachRuleGoesToItsFamilysChain)
{
    ASSERT_EQ(zvn_apply_rules_json(mixed), 0);
    EXPECT_EQ(calls_but_keeping(),
              (std::vector<std::string>{"iptables-restore --test FILE", "ip6tables-restore --test FILE6",
                                        "iptables-restore -n FILE", "ip6tables-restore -n FILE6"}));
    EXPECT_EQ(tested_copy("iptables-restore"),
              "*filter\n:ZORVANE - [0:0]\n"
              "-A ZORVANE ! -i lo -s 10.0.0.0/8 -j NFLOG --nflog-prefix  \"RULE=1 ACT=DROP\"\n"
              "-A ZORVANE ! -i lo -s 10.0.0.0/8 -j DROP\n"
              "-A ZORVANE -i eth3 -p icmp -j NFLOG --nflog-prefix  \"RULE=3 ACT=DROP\"\n"
              "-A ZORVANE -i eth3 -p icmp -j DROP\n"
              "-A ZORVANE ! -i lo -j ACCEPT\nCOMMIT\n");
    EXPECT_EQ(tested_copy("ip6tables-restore"),
              "*filter\n:ZORVANE - [0:0]\n"
              "-A ZORVANE ! -i lo -s 2001:db8::/32 -p tcp -m multiport --dports 22 -j ACCEPT\n"
              "-A ZORVANE -i eth3 -p ipv6-icmp -j NFLOG --nflog-prefix  \"RULE=3 ACT=DROP\"\n"
              "-A ZORVANE -i eth3 -p ipv6-icmp -j DROP\n"
              "-A ZORVANE ! -i lo -m iprange --src-range 2001:db8::1-2001:db8::9 -p ipv6-icmp -j NFLOG --nflog-prefix  \"RULE=4 ACT=DROP\"\n"
              "-A ZORVANE ! -i lo -m iprange --src-range 2001:db8::1-2001:db8::9 -p ipv6-icmp -j DROP\n"
              "-A ZORVANE ! -i lo -j ACCEPT\nCOMMIT\n");
    EXPECT_EQ(Fakes::restore_copy(3), tested_copy("iptables-restore"));
    EXPECT_EQ(Fakes::restore_copy(4), tested_copy("ip6tables-restore"));
    EXPECT_EQ(read_file(drop_log), "");  // emptied once, after both
    EXPECT_TRUE(restore_files_in_tmp().empty());
    EXPECT_EQ(shell("ls /tmp | grep -c zorvane || true"), "0\n");
}

struct FamilyFault {
    const char *name;
    const char *failing;
    std::vector<std::string> calls;
    int restore_copies;
};

class FakeIpv6Fault : public FakeIpv6, public testing::WithParamInterface<FamilyFault> {};

// A refused test run installs nothing; a failed IPv6 install puts the IPv4
// chain back as it was listed before the call.
TEST_P(FakeIpv6Fault, AllOrNothing)
{
    Fakes::answer_output("list-S-ZORVANE", "-N ZORVANE\n-A ZORVANE -s 192.0.2.0/24 ! -i lo -j ACCEPT\n");
    Fakes::answer(GetParam().failing, 4);
    EXPECT_EQ(zvn_apply_rules_json(mixed), 4 * 256);
    EXPECT_EQ(calls_but_keeping(), GetParam().calls);
    EXPECT_NE(Fakes::restore_tool(GetParam().restore_copies), "");
    EXPECT_EQ(Fakes::restore_tool(GetParam().restore_copies + 1), "");
    EXPECT_EQ(read_file(drop_log), old_drop_log);
    if (std::string(GetParam().failing) == "restore6-n") {
        EXPECT_EQ(Fakes::restore_copy(5), "*filter\n:ZORVANE - [0:0]\n-A ZORVANE -s 192.0.2.0/24 ! -i lo -j ACCEPT\nCOMMIT\n");
    }
}

const std::string test4 = "iptables-restore --test FILE";
const std::string test6 = "ip6tables-restore --test FILE6";
const std::string install4 = "iptables-restore -n FILE";
const std::string install6 = "ip6tables-restore -n FILE6";

INSTANTIATE_TEST_SUITE_P(
    Commands, FakeIpv6Fault,
    testing::Values(FamilyFault{"Ipv4Test", "restore-test", {test4, test6}, 2},
                    FamilyFault{"Ipv6Test", "restore6-test", {test4, test6}, 2},
                    FamilyFault{"Ipv4Install", "restore-n", {test4, test6, install4}, 3},
                    FamilyFault{"Ipv6Install", "restore6-n", {test4, test6, install4, install6, install4}, 5}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

// A failed IPv6 install after a listing that failed: there is nothing to
// put back, and the IPv4 chain keeps the new rules rather than being
// emptied. The listing is kept in no file of /tmp.
TEST_F(FakeIpv6, NoPutBackWithoutAListing)
{
    Fakes::answer("list-S-ZORVANE", 1);
    Fakes::answer("restore6-n", 4);
    LogCapture log;
    EXPECT_EQ(zvn_apply_rules_json(mixed), 4 * 256);
    EXPECT_EQ(calls_but_keeping(), (std::vector<std::string>{"iptables-restore --test FILE",
                                                              "ip6tables-restore --test FILE6",
                                                              "iptables-restore -n FILE", "ip6tables-restore -n FILE6"}));
    EXPECT_NE(log.text().find("the IPv4 chain was not listed before the change; it keeps the new rules"),
              std::string::npos)
        << log.text();
    EXPECT_EQ(shell("ls /tmp | grep -c previous || true"), "0\n");
}

// The two test runs go on at the same time: each fake waits for the other
// to have started, which running them in turn would never let happen.
TEST_F(FakeIpv6, TestRunsGoOnSideBySide)
{
    Fakes::answer_meeting("restore-test", "restore6-test");
    Fakes::answer_meeting("restore6-test", "restore-test");
    EXPECT_EQ(zvn_test_rules_json(mixed), 0);
    EXPECT_EQ(zvn_apply_rules_json(mixed), 0);
}

// Both refuse: the result, the kept file and the words on standard error
// are the IPv4 run's, as if the runs had gone in turn; the records show
// both.
TEST_F(FakeIpv6, TwoRefusalsReportTheFirstFamily)
{
    Fakes::answer("restore-test", 2, "ipv4 words\n");
    Fakes::answer("restore6-test", 3, "ipv6 words\n");
    LogCapture log;
    testing::internal::CaptureStderr();
    const int result = zvn_apply_rules_json(mixed);
    const std::string words = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 2 * 256);
    EXPECT_NE(words.find("ipv4 words"), std::string::npos) << words;
    EXPECT_EQ(words.find("ipv6 words"), std::string::npos) << words;
    EXPECT_NE(normalise_paths(log.text()).find("ip6tables-restore --test FILE6 1>&2 --> ret=768"), std::string::npos)
        << log.text();
    const auto kept = restore_files_in_tmp();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(normalise_paths(kept.front()), "FILE");

    // Only IPv6 refuses: its status and its words.
    fresh_fake_state();
    Fakes::answer("restore6-test", 3, "ipv6 words\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(zvn_test_rules_json(mixed), 3 * 256);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ipv6 words"), std::string::npos);
    ASSERT_EQ(restore_files_in_tmp().size(), 1u);
    EXPECT_EQ(normalise_paths(restore_files_in_tmp().front()), "FILE6");
}

// With both families an apply lists the IPv4 chain under the lock, from
// the start when the lock is free. Held elsewhere, a refused text is
// reported at once; a valid one waits, then lists and applies.
TEST_F(FakeIpv6, RefusedTextDoesNotWaitForTheLock)
{
    const pid_t holder = hold_lock_elsewhere(2);
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\":1}]"), -1);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
    EXPECT_EQ(log.lines().front(), "\"allow\" is not a boolean");
    EXPECT_EQ(Fakes::calls(), std::vector<std::string>{});
    EXPECT_EQ(zvn_apply_rules_json(mixed), 0);
    EXPECT_GT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.2);
    const auto calls = Fakes::calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "iptables -S ZORVANE"), 1);
    waitpid(holder, nullptr, 0);
}

TEST_F(FakeIpv6, SetupAndResetCoverBothChains)
{
    setup_default_chain();
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{
                                  "firewall.sh prepare", "iptables -N ZORVANE",
                                  "iptables -D INPUT -m state --state NEW -j ZORVANE",
                                  "iptables -A INPUT -m state --state NEW -j ZORVANE", "ip6tables -N ZORVANE",
                                  "ip6tables -D INPUT -m state --state NEW -j ZORVANE",
                                  "ip6tables -A INPUT -m state --state NEW -j ZORVANE"}));
    Fakes::reset();
    Fakes::answer("ip6tables-Z", 1);
    EXPECT_EQ(reset_counter(), 256);
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables -Z ZORVANE", "ip6tables -Z ZORVANE"}));
}

// A family's table as its save tool prints it, around lines of ZORVANE.
std::string saved(const std::string &lines)
{
    return "*filter\n:INPUT ACCEPT [0:0]\n:ZORVANE - [0:0]\n" + lines + "COMMIT\n";
}

std::string line(const std::string &pkts, const std::string &rest)
{
    return "[" + pkts + ":0] -A ZORVANE " + rest + "\n";
}

TEST_F(FakeIpv6, CountsAddBothChains)
{
    const char *rules = "[{\"protocol\":\"icmp\",\"allow\":false},{\"src_IP_cidr\":\"2001:db8::1\",\"allow\":true},"
                        "{\"src_IP_cidr\":\"10.0.0.1\",\"allow\":true},{\"allow\":true}]";
    Fakes::answer_output("save", saved(line("1", "! -i lo -p icmp -j NFLOG --nflog-prefix \"RULE=1 ACT=DROP\"") +
                                       line("3", "! -i lo -p icmp -j DROP") +
                                       line("5", "-s 10.0.0.1/32 ! -i lo -j ACCEPT") + line("7", "! -i lo -j ACCEPT")));
    Fakes::answer_output("save6",
                         saved(line("10", "! -i lo -p ipv6-icmp -j NFLOG --nflog-prefix \"RULE=1 ACT=DROP\"") +
                               line("30", "! -i lo -p ipv6-icmp -j DROP") +
                               line("50", "-s 2001:db8::1/128 ! -i lo -j ACCEPT") + line("70", "! -i lo -j ACCEPT")));
    for (int p = 1; p <= 4; ++p) {
        Fakes::answer_output("list-" + std::to_string(p), "  " + std::to_string(p) + " 0 x\n");
        Fakes::answer_output("list6-" + std::to_string(p), "  " + std::to_string(10 * p) + " 0 x\n");
    }
    char snapshot[64], per_rule[64];
    ASSERT_EQ(zvn_get_rule_count_snapshot_json(rules, snapshot, sizeof snapshot), 0);
    EXPECT_STREQ(snapshot, "[33,50,5,77]");
    ASSERT_EQ(zvn_get_rule_count_json(rules, per_rule, sizeof per_rule), 0);
    EXPECT_STREQ(per_rule, "[22,30,3,44]");  // positions 2|2, -|3, 3|-, 4|4

    // a rule the IPv6 chain does not hold
    Fakes::answer_output("save6", saved(line("10", "! -i lo -j ACCEPT")));
    LogCapture log;
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(rules, snapshot, sizeof snapshot), -1);
    EXPECT_EQ(log.lines().back(), "rule 1 does not match the IPv6 chain: line 1 has target \"ACCEPT\" where the rule "
                                  "set makes \"NFLOG\"");
}

TEST_F(FakeIpv6, StatusOfBothChains)
{
    Fakes::answer_output("list-S-INPUT", "-A INPUT -m state --state NEW -j ZORVANE\n");
    Fakes::answer_output("list6-S-ZORVANE", "-N ZORVANE\n-A ZORVANE ! -i lo -j ACCEPT\n");
    char buffer[128];
    ASSERT_EQ(zvn_get_chain_status_json(buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "{\"chain\":true,\"hooks\":1,\"ipv6\":{\"chain\":true,\"hooks\":0,\"rule_lines\":1},\"rule_lines\":0}");
}

// --- the check with both families -------------------------------------------------

// --- the real tools --------------------------------------------------------------------

class RealIpv6 : public testing::Test {
protected:
    void SetUp() override
    {
        for (const char *tool : {"iptables", "ip6tables"})
            shell(std::string("/sbin/") + tool + " -F INPUT; /sbin/" + tool + " -F ZORVANE; /sbin/" + tool +
                  " -X ZORVANE; true 2>/dev/null");
        remove_restore_files_in_tmp();
    }
};

std::vector<std::string> chain_of(const char *tool)
{
    return split_lines(shell(std::string("/sbin/") + tool + " -S ZORVANE 2>&1"));
}

TEST_F(RealIpv6, MixedRuleSetFillsBothChains)
{
    setup_default_chain();
    EXPECT_EQ(split_lines(shell("/sbin/ip6tables -S INPUT")).back(), "-A INPUT -m state --state NEW -j ZORVANE");
    ASSERT_EQ(zvn_apply_rules_json(mixed), 0);
    EXPECT_EQ(chain_of("iptables"),
              (std::vector<std::string>{"-N ZORVANE", "-A ZORVANE -s 10.0.0.0/8 ! -i lo -j NFLOG --nflog-prefix \"RULE=1 ACT=DROP\"",
                                        "-A ZORVANE -s 10.0.0.0/8 ! -i lo -j DROP",
                                        "-A ZORVANE -i eth3 -p icmp -j NFLOG --nflog-prefix \"RULE=3 ACT=DROP\"",
                                        "-A ZORVANE -i eth3 -p icmp -j DROP", "-A ZORVANE ! -i lo -j ACCEPT"}));
    EXPECT_EQ(chain_of("ip6tables"),
              (std::vector<std::string>{
                  "-N ZORVANE", "-A ZORVANE -s 2001:db8::/32 ! -i lo -p tcp -m multiport --dports 22 -j ACCEPT",
                  "-A ZORVANE -i eth3 -p ipv6-icmp -j NFLOG --nflog-prefix \"RULE=3 ACT=DROP\"",
                  "-A ZORVANE -i eth3 -p ipv6-icmp -j DROP",
                  "-A ZORVANE ! -i lo -p ipv6-icmp -m iprange --src-range 2001:db8::1-2001:db8::9 -j NFLOG --nflog-prefix \"RULE=4 ACT=DROP\"",
                  "-A ZORVANE ! -i lo -p ipv6-icmp -m iprange --src-range 2001:db8::1-2001:db8::9 -j DROP",
                  "-A ZORVANE ! -i lo -j ACCEPT"}));
    char buffer[64];
    ASSERT_EQ(zvn_get_rule_count_snapshot_json(mixed, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[0,0,0,0,0]");
    ASSERT_EQ(zvn_get_rule_count_json(mixed, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[0,0,0,0,0]");
    EXPECT_EQ(reset_counter(), 0);
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

// The IPv6 install fails after the IPv4 one succeeded: a stand-in for
// ip6tables-restore passes the test run to the real tool and fails the
// commit. Both chains must be as they were.
TEST_F(RealIpv6, FailedIpv6InstallLeavesBothChainsAsTheyWere)
{
    setup_default_chain();
    const char *before = "[{\"src_IP_cidr\":\"192.0.2.0/24\",\"allow\":false},{\"src_IP_cidr\":\"2001:db8:1::/48\",\"allow\":true},"
                         "{\"interface\":\"eth9\",\"allow\":true}]";
    ASSERT_EQ(zvn_apply_rules_json(before), 0);
    const auto ipv4_before = chain_of("iptables");
    const auto ipv6_before = chain_of("ip6tables");
    const std::string multi = "xtables-" + sandbox_mode() + "-multi";
    shell("rm /usr/sbin/ip6tables-restore && printf '#!/bin/sh\\n[ \"$1\" = --test ] && exec /usr/sbin/" + multi +
          " ip6tables-restore \"$@\"\\necho commit refused >\\&2; exit 4\\n' > /usr/sbin/ip6tables-restore && "
          "chmod 755 /usr/sbin/ip6tables-restore");
    write_file(drop_log, "kept\n");
    EXPECT_EQ(zvn_apply_rules_json(mixed), 4 * 256);
    shell("rm /usr/sbin/ip6tables-restore && ln -s " + multi + " /usr/sbin/ip6tables-restore");
    EXPECT_EQ(chain_of("iptables"), ipv4_before);
    EXPECT_EQ(chain_of("ip6tables"), ipv6_before);
    EXPECT_EQ(read_file(drop_log), "kept\n");
    char buffer[64];
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(before, buffer, sizeof buffer), 0);
}

}  // namespace
}  // namespace zvn_test
