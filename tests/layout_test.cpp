// The layouts through the library, in a process of their own (a layout,
// once chosen, holds for the process; started with ZVN_TEST_LAYOUT=1, the
// automatic choice made). With the fakes: what an apply looks at first and
// takes away, the per-position read refusing an indexed chain, the reset of
// the sub-chains. With the real tools of either back end: an indexed set
// installed, verified chain by chain, its copies' counters summed, replaced
// by a flat one and back without a chain left over or another tool's
// touched, a tampered leaf found, the chain text carried whole.
#include <gtest/gtest.h>

#include <map>

#include <nlohmann/json.hpp>

#include "support.h"

namespace zvn_test {
namespace {

using nlohmann::json;

// N rules, each dropping one address of its own, then allow-all: indexed.
std::string block_list(int n, const std::string &prefix = "10.")
{
    json set = json::array();
    for (int i = 0; i < n; ++i)
        set.push_back({{"src_IP_cidr", prefix + std::to_string(1 + i % 200) + "." + std::to_string(i / 200) + ".9"},
                       {"allow", false}});
    // a rule without a source in the middle: copied into every leaf
    set.insert(set.begin() + n / 2, json::object({{"protocol", "udp"}, {"dports_list", {"9"}}, {"allow", false}}));
    set.push_back({{"allow", true}});
    return set.dump();
}

json layout_of(const std::string &rules)
{
    std::vector<char> buffer(4096);
    EXPECT_EQ(zvn_describe_layout_json(rules.c_str(), buffer.data(), buffer.size()), 0);
    return json::parse(buffer.data());
}

json verify(const std::string &rules)
{
    std::vector<char> buffer(1 << 16);
    EXPECT_EQ(zvn_verify_chain_json(rules.c_str(), buffer.data(), buffer.size()), 0);
    return json::parse(buffer.data());
}

// --- with the fakes -------------------------------------------------------------------------

class FakeLayout : public testing::Test {
protected:
    void SetUp() override { fresh_fake_state(); }
};

const std::string standing_index =
    "-N ZORVANE-INDEX\n-A ZORVANE-INDEX -m comment --comment \"zorvane indexed layout: ZORVANE-1 to ZORVANE-3\"\n";

TEST_F(FakeLayout, SwitchesRefuseWhatTheyDoNotKnow)
{
    EXPECT_EQ(zvn_set_layout(7), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_ARGUMENT);
    EXPECT_EQ(zvn_set_log_limit(10001), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_ARGUMENT);
    EXPECT_EQ(zvn_set_layout(ZVN_LAYOUT_AUTO), 0);
    EXPECT_EQ(layout_of(block_list(10))["ipv4"]["layout"], "flat");  // below the automatic size
    EXPECT_EQ(layout_of(block_list(300))["ipv4"]["layout"], "indexed");
}

// A flat set over a standing indexed layout: the sub-chains it named and
// the index chain go in the same commit.
TEST_F(FakeLayout, ApplyTakesAwayTheChainsAnEarlierLayoutLeft)
{
    Fakes::answer_output("list-S-ZORVANE-INDEX", standing_index);
    const char *rules = R"([{"src_IP_cidr":"10.0.0.1","allow":false}])";
    ASSERT_EQ(zvn_apply_rules_json(rules), 0);
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables -S ZORVANE-INDEX", "iptables-restore --test FILE",
                                                        "iptables-restore -n FILE"}));
    EXPECT_EQ(Fakes::restore_copy(2),
              "*filter\n:ZORVANE - [0:0]\n"
              "-A ZORVANE ! -i lo -s 10.0.0.1 -j NFLOG --nflog-prefix  \"RULE=1 ACT=DROP\"\n"
              "-A ZORVANE ! -i lo -s 10.0.0.1 -j DROP\n"
              ":ZORVANE-1 - [0:0]\n:ZORVANE-2 - [0:0]\n:ZORVANE-3 - [0:0]\n:ZORVANE-INDEX - [0:0]\n"
              "-X ZORVANE-1\n-X ZORVANE-2\n-X ZORVANE-3\n-X ZORVANE-INDEX\nCOMMIT\n");
}

// The file names its lines' rules for a refusal of the tool.
TEST_F(FakeLayout, IndexedFileMapsEachLineToItsRule)
{
    const std::string rules = block_list(300);
    ASSERT_EQ(zvn_apply_rules_json(rules.c_str()), 0);
    const auto lines = split_lines(Fakes::restore_copy(2));
    std::size_t named = 0;
    for (std::size_t l = 0; l < lines.size(); ++l) {
        const auto at = lines[l].find("RULE=");
        const int rule = zvn_rule_of_restore_line(rules.c_str(), 0, static_cast<long>(l + 1));
        if (at != std::string::npos) {
            EXPECT_EQ(rule, std::stoi(lines[l].substr(at + 5))) << lines[l];
            ++named;
        } else if (lines[l].find(" -g ") != std::string::npos || lines[l][0] != '-') {
            EXPECT_EQ(rule, 0) << lines[l];
        }
    }
    EXPECT_GT(named, 300u);  // the copies of the rule without a source too
    // and the restore text is the file
    const int length = zvn_restore_text_json(rules.c_str(), nullptr, 0);
    std::vector<char> text(static_cast<std::size_t>(length) + 1);
    zvn_restore_text_json(rules.c_str(), text.data(), text.size());
    EXPECT_EQ(text.data(), Fakes::restore_copy(2));
}

// Positions of an indexed chain are no rules: not one count is told.
TEST_F(FakeLayout, PerPositionReadRefusesAnIndexedChain)
{
    Fakes::answer_output("list-any", "       0        0 ZORVANE-4  0    --  *      *       10.0.0.0/8    0.0.0.0/0   [goto]\n");
    char buffer[64];
    EXPECT_EQ(zvn_get_rule_count_json(R"([{"allow":true},{"allow":true}])", buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "[\"error\",\"error\"]");
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_LAYOUT);
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables-restore --test FILE", "iptables -vn -L ZORVANE 1 --exact"}));
}

// The snapshot reads the whole table in one listing, and tells an indexed
// layout by ZORVANE's own lines.
TEST_F(FakeLayout, SnapshotListsTheTableForAnIndexedChain)
{
    Fakes::answer_output("save", "*filter\n:ZORVANE - [0:0]\n:ZORVANE-1 - [0:0]\n"
                                 "[0:0] -A ZORVANE -i lo -j RETURN\n"
                                 "[0:0] -A ZORVANE -j ZORVANE-1\nCOMMIT\n");
    char buffer[64];
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(R"([{"allow":true}])", buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_MISMATCH);
    EXPECT_NE(std::string(zvn_last_error()).find("the chain holds an indexed layout, and this rule set makes a flat one"),
              std::string::npos);
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables-save -c -t filter"}));
}

TEST_F(FakeLayout, ResetZeroesTheSubChainsInOneCommit)
{
    Fakes::answer_output("list-S-ZORVANE-INDEX", standing_index);
    EXPECT_EQ(reset_counter(), 0);
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables -Z ZORVANE", "iptables -S ZORVANE-INDEX",
                                                        "iptables-restore -n FILE"}));
    EXPECT_EQ(Fakes::restore_copy(1), "*filter\n-Z ZORVANE-1\n-Z ZORVANE-2\n-Z ZORVANE-3\nCOMMIT\n");
    Fakes::reset();
    Fakes::answer_output("list-S-ZORVANE-INDEX", standing_index);
    Fakes::answer("restore-n", 1);
    EXPECT_EQ(reset_counter(), 256);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_COMMAND);
}

// --- with the real tools --------------------------------------------------------------------

std::vector<std::string> subchains()
{
    std::vector<std::string> names;
    for (const auto &line : split_lines(shell("/sbin/iptables -S")))
        if (line.rfind("-N ZORVANE-", 0) == 0)
            names.push_back(line.substr(3));
    return names;
}

class RealLayout : public testing::Test {
protected:
    void SetUp() override
    {
        shell("/sbin/iptables -F INPUT; /sbin/iptables -N fail2ban; /sbin/iptables -A fail2ban -s 1.2.3.4 -j DROP; "
              "/sbin/iptables -A INPUT -j fail2ban; true 2>/dev/null");
        setup_default_chain();
    }
};

TEST_F(RealLayout, IndexedAndFlatReplaceEachOtherWholly)
{
    const std::string big = block_list(2000), small = block_list(400), tiny = R"([{"allow":true}])";
    for (const std::string *rules : {&big, &small, &big, &tiny}) {
        ASSERT_EQ(zvn_apply_rules_json(rules->c_str()), 0) << zvn_last_error();
        const json layout = layout_of(*rules)["ipv4"];
        const json verified = verify(*rules)["ipv4"];
        EXPECT_TRUE(verified["holds"].get<bool>()) << verified.dump();
        EXPECT_EQ(verified["layout"], layout["layout"]);
        EXPECT_EQ(verified["chains"], layout["chains"]);
        EXPECT_EQ(verified["lines"], layout["lines"]);
        EXPECT_EQ(verified["deepest_walk"], layout["deepest_walk"]);
        // every sub-chain of the layout and the index chain, nothing more
        const std::size_t made = layout["chains"].get<std::size_t>() - 1;
        EXPECT_EQ(subchains().size(), made == 0 ? 0 : made + 1);
    }
    // another tool's chain and its jump were never touched
    EXPECT_EQ(shell("/sbin/iptables -S fail2ban"), "-N fail2ban\n-A fail2ban -s 1.2.3.4/32 -j DROP\n");
    EXPECT_NE(shell("/sbin/iptables -S INPUT").find("-A INPUT -j fail2ban"), std::string::npos);
}

// The counters of a rule's copies add up: every line of the chains gets a
// count of its own (iptables-restore -c), and each rule's count is the sum
// over its counted lines.
TEST_F(RealLayout, CountsAreTheSumsOverARulesCopies)
{
    const std::string rules = block_list(1000);
    ASSERT_EQ(zvn_apply_rules_json(rules.c_str()), 0);
    const std::string saved = shell("/sbin/iptables-save -t filter");
    std::string counted = "*filter\n";
    unsigned long long total = 0, line = 0;
    for (const auto &text : split_lines(saved)) {
        if (text.rfind("-A ZORVANE", 0) != 0)
            continue;
        ++line;
        const bool verdict = text.find(" -j DROP") != std::string::npos || text.find(" -j ACCEPT") != std::string::npos;
        if (verdict)
            total += line;
        // replacing each line in place with its counter set
        const std::string chain = text.substr(3, text.find(' ', 3) - 3);
        counted += "[" + std::to_string(line) + ":0] -R " + chain + " " + "POS " + text.substr(text.find(' ', 3) + 1) + "\n";
    }
    // positions within each chain
    std::map<std::string, int> next;
    std::string numbered;
    for (auto text : split_lines(counted)) {
        const auto at = text.find(" POS ");
        if (at != std::string::npos) {
            const auto chain_start = text.find("-R ") + 3;
            const std::string chain = text.substr(chain_start, text.find(' ', chain_start) - chain_start);
            text.replace(at, 5, " " + std::to_string(++next[chain]) + " ");
        }
        numbered += text + "\n";
    }
    write_file("/tmp/counted", numbered + "COMMIT\n");
    ASSERT_EQ(shell("/sbin/iptables-restore -c -n /tmp/counted 2>&1; echo $?"), "0\n");
    std::vector<char> buffer(1 << 16);
    ASSERT_EQ(zvn_get_rule_count_snapshot_json(rules.c_str(), buffer.data(), buffer.size()), 0) << zvn_last_error();
    unsigned long long sum = 0;
    const json counts = json::parse(buffer.data());
    for (const auto &count : counts)
        sum += count.get<unsigned long long>();
    EXPECT_EQ(sum, total);
    // the copied rule's count comes from many leaves
    EXPECT_GT(layout_of(rules)["ipv4"]["most_copies"].get<int>(), 5);
    // and a reset zeroes every sub-chain
    ASSERT_EQ(reset_counter(), 0);
    ASSERT_EQ(zvn_get_rule_count_snapshot_json(rules.c_str(), buffer.data(), buffer.size()), 0);
    for (const auto &count : json::parse(buffer.data()))
        EXPECT_EQ(count.get<unsigned long long>(), 0u);
}

TEST_F(RealLayout, ATamperedLeafIsFound)
{
    const std::string rules = block_list(1000);
    ASSERT_EQ(zvn_apply_rules_json(rules.c_str()), 0);
    const std::string leaf = subchains().back() == "ZORVANE-INDEX" ? subchains().front() : subchains().back();
    shell("/sbin/iptables -D " + leaf + " 1");
    const json verified = verify(rules)["ipv4"];
    EXPECT_FALSE(verified["holds"].get<bool>());
    EXPECT_NE(verified["differs"].get<std::string>().find(leaf), std::string::npos) << verified.dump();
    char buffer[64];
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(rules.c_str(), buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_MISMATCH);
}

// The chain text of an indexed layout carries its sub-chains: installed
// over another set, the layout is back whole.
TEST_F(RealLayout, ChainTextCarriesTheSubChains)
{
    const std::string rules = block_list(1000);
    ASSERT_EQ(zvn_apply_rules_json(rules.c_str()), 0);
    std::vector<char> text(1 << 22);
    size_t length = 0;
    ASSERT_EQ(zvn_get_chain_text(text.data(), text.size(), &length), 0);
    ASSERT_EQ(zvn_apply_rules_json(block_list(2000, "11.").c_str()), 0);
    ASSERT_EQ(zvn_install_chain_text(text.data()), 0) << zvn_last_error();
    EXPECT_TRUE(verify(rules)["ipv4"]["holds"].get<bool>());
    EXPECT_EQ(subchains().size(), layout_of(rules)["ipv4"]["chains"].get<std::size_t>());
}

TEST_F(RealLayout, LogLimitIsInstalledAndVerified)
{
    const std::string rules = block_list(500);
    ASSERT_EQ(zvn_set_log_limit(7), 0);
    ASSERT_EQ(zvn_apply_rules_json(rules.c_str()), 0);
    ASSERT_EQ(zvn_set_log_limit(0), 0);
    EXPECT_TRUE(verify(rules)["ipv4"]["holds"].get<bool>());
    const std::string listed = shell("/sbin/iptables -S");
    EXPECT_NE(listed.find("-m limit --limit 7/sec --limit-burst 7 -j NFLOG"), std::string::npos);
    EXPECT_NE(listed.find("--hashlimit-name z251-7"), std::string::npos);
}

// Both families: an IPv6 block list is indexed on its own chain.
class RealLayoutIpv6 : public RealLayout {};

TEST_F(RealLayoutIpv6, BothFamiliesAreIndexedAndVerified)
{
    json set = json::array();
    for (int i = 0; i < 600; ++i) {
        set.push_back({{"src_IP_cidr", "10." + std::to_string(i % 250) + "." + std::to_string(i / 250) + ".7"}, {"allow", false}});
        set.push_back({{"src_IP_cidr", "2001:db8:" + std::to_string(i % 97) + "::" + std::to_string(i)}, {"allow", false}});
    }
    set.push_back({{"allow", true}});
    const std::string rules = set.dump();
    ASSERT_EQ(zvn_apply_rules_json(rules.c_str()), 0) << zvn_last_error();
    const json verified = verify(rules);
    for (const char *family : {"ipv4", "ipv6"}) {
        EXPECT_TRUE(verified[family]["holds"].get<bool>()) << verified.dump();
        EXPECT_EQ(verified[family]["layout"], "indexed");
    }
    EXPECT_NE(shell("/sbin/ip6tables -S ZORVANE"), "");
    std::vector<char> buffer(1 << 16);
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(rules.c_str(), buffer.data(), buffer.size()), 0) << zvn_last_error();
    // back to a flat set: both families' sub-chains are gone
    ASSERT_EQ(zvn_apply_rules_json(R"([{"allow":true}])"), 0);
    EXPECT_EQ(shell("/sbin/iptables -S | grep -c '^-N ZORVANE-'"), "0\n");
    EXPECT_EQ(shell("/sbin/ip6tables -S | grep -c '^-N ZORVANE-'"), "0\n");
}

}  // namespace
}  // namespace zvn_test
