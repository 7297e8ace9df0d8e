// Chain texts with the fakes: the chain kept as the tool lists it, put back
// only when it holds nothing but the chain's own lines, the fail-safe set,
// and the verification of each family's chain against a rule set.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support.h"

namespace zvn_test {
namespace {

const std::string head = "*filter\n:ZORVANE - [0:0]\n";

class FakeChainText : public testing::Test {
protected:
    void SetUp() override { fresh_fake_state(); }
};

TEST_F(FakeChainText, KeepsTheChainAsListed)
{
    Fakes::answer_output("list-S-ZORVANE", "-N ZORVANE\n-A ZORVANE -s 10.0.0.0/8 -j ACCEPT\n-A ZORVANE -j DROP\n");
    char buffer[256];
    size_t length = 0;
    ASSERT_EQ(zvn_get_chain_text(buffer, sizeof buffer, &length), 0);
    const std::string expected = head + "-A ZORVANE -s 10.0.0.0/8 -j ACCEPT\n-A ZORVANE -j DROP\nCOMMIT\n";
    EXPECT_EQ(buffer, expected);
    EXPECT_EQ(length, expected.size());
    // no indexed layout stands (its index chain is missing): ZORVANE alone
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables -S ZORVANE-INDEX", "iptables -S ZORVANE"}));

    // too small: the length says how much is needed, the buffer is untouched
    char small[8] = "intact";
    EXPECT_EQ(zvn_get_chain_text(small, sizeof small, &length), -1);
    EXPECT_EQ(length, expected.size());
    EXPECT_STREQ(small, "intact");

    Fakes::answer("list-S-ZORVANE", 1);
    EXPECT_EQ(zvn_get_chain_text(buffer, sizeof buffer, &length), 256);
}

TEST_F(FakeChainText, InstallsAfterTheTestRun)
{
    const std::string text = head + "-A ZORVANE -i lo -j ACCEPT\n-A ZORVANE -j DROP\nCOMMIT\n";
    ASSERT_EQ(zvn_install_chain_text(text.c_str()), 0);
    // then the chain listed as the kernel took it, for the record of the install
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables -S ZORVANE-INDEX", "iptables-restore --test FILE",
                                                        "iptables-restore -n FILE", "iptables -S ZORVANE-INDEX",
                                                        "iptables -S ZORVANE"}));
    EXPECT_EQ(Fakes::restore_copy(2), text);
    EXPECT_EQ(read_file(drop_log), old_drop_log);  // the drop log is not touched
    EXPECT_TRUE(restore_files_in_tmp().empty());

    Fakes::reset();
    Fakes::answer("restore-test", 2);
    EXPECT_EQ(zvn_install_chain_text(text.c_str()), 512);
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables -S ZORVANE-INDEX", "iptables-restore --test FILE"}));
    EXPECT_EQ(restore_files_in_tmp().size(), 1u);
}

// Anything beyond the chain's own lines is refused before a command runs.
TEST_F(FakeChainText, RefusesWhatIsNotTheChain)
{
    for (const std::string &text : std::vector<std::string>{
             "", head, head + "-A INPUT -j ACCEPT\nCOMMIT\n", "*nat\n:ZORVANE - [0:0]\nCOMMIT\n",
          "*filter\n:INPUT DROP [0:0]\nCOMMIT\n", head + "-A ZORVANE -j ACCEPT\n", head + "COMMIT\n" + head + "COMMIT\n",
          head + "-A ZORVANE -j ACCEPT\x01\nCOMMIT\n", "# /sbin/ip6tables-restore\n" + head + "COMMIT\n",
          head + "COMMIT\n-A ZORVANE -j ACCEPT\n", head + "\n-A ZORVANE -j ACCEPT\nCOMMIT\n"}) {
        LogCapture log;
        EXPECT_EQ(zvn_install_chain_text(text.c_str()), -1) << text;
        EXPECT_NE(log.text().find("the chain text is refused: "), std::string::npos) << text;
    }
    EXPECT_EQ(zvn_install_chain_text(nullptr), -1);
    EXPECT_TRUE(Fakes::calls().empty());
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

TEST_F(FakeChainText, FailsafeKeepsLoopbackAndTheAllowsOpen)
{
    const int length = zvn_failsafe_text_json(nullptr, nullptr, 0);
    std::vector<char> buffer(static_cast<size_t>(length) + 1);
    ASSERT_EQ(zvn_failsafe_text_json(nullptr, buffer.data(), buffer.size()), length);
    const std::string closed = "-A ZORVANE -i lo -j ACCEPT\n-A ZORVANE -m state --state RELATED,ESTABLISHED -j ACCEPT\n";
    const std::string drop = "-A ZORVANE -j NFLOG --nflog-prefix  \"FAILSAFE ACT=DROP\"\n-A ZORVANE -j DROP\nCOMMIT\n";
    EXPECT_EQ(buffer.data(), head + closed + drop);

    const char *allows = "[{\"protocol\":\"tcp\",\"dports_list\":[\"22\"],\"allow\":true}]";
    std::vector<char> with(1024);
    ASSERT_GT(zvn_failsafe_text_json(allows, with.data(), with.size()), 0);
    EXPECT_EQ(with.data(), head + closed + "-A ZORVANE ! -i lo -p tcp -m multiport --dports 22 -j ACCEPT\n" + drop);
    // the text installs as it stands
    EXPECT_EQ(zvn_install_chain_text(with.data()), 0);

    EXPECT_EQ(zvn_failsafe_text_json("[{\"allow\":false}]", with.data(), with.size()), -1);
    EXPECT_EQ(zvn_failsafe_text_json("[{\"allow\":1}]", with.data(), with.size()), -1);
    EXPECT_EQ(zvn_failsafe_text_json("not json", with.data(), with.size()), -1);
}

TEST_F(FakeChainText, VerifiesTheChainAgainstARuleSet)
{
    const char *rules = "[{\"interface\":\"eth3\",\"protocol\":\"tcp\",\"allow\":true},{\"allow\":false}]";
    Fakes::answer_output("save",
                         "*filter\n:INPUT ACCEPT [0:0]\n:ZORVANE - [0:0]\n"
                         "[0:0] -A ZORVANE -i eth3 -p tcp -j ACCEPT\n"
                         "[0:0] -A ZORVANE ! -i lo -j NFLOG --nflog-prefix \"RULE=2 ACT=DROP\"\n"
                         "[0:0] -A ZORVANE ! -i lo -j DROP\nCOMMIT\n");
    char buffer[512];
    ASSERT_EQ(zvn_verify_chain_json(rules, buffer, sizeof buffer), 0);
    EXPECT_EQ(nlohmann::json::parse(buffer),
              nlohmann::json::parse(R"({"ipv4":{"chain":true,"chains":1,"deepest_walk":3,"expected_lines":3,
                                             "holding_lines":3,"holds":true,"layout":"flat","lines":3,
                                             "log_limit":0}})"));

    ASSERT_EQ(zvn_verify_chain_json("[{\"allow\":true}]", buffer, sizeof buffer), 0);
    const auto other = nlohmann::json::parse(buffer);
    EXPECT_FALSE(other["ipv4"]["holds"].get<bool>());
    EXPECT_NE(other["ipv4"]["differs"].get<std::string>().find("rule 1 does not match the chain"), std::string::npos);

    Fakes::answer("save", 1);
    ASSERT_EQ(zvn_verify_chain_json(rules, buffer, sizeof buffer), 0);
    EXPECT_EQ(nlohmann::json::parse(buffer)["ipv4"]["chain"], false);

    EXPECT_EQ(zvn_verify_chain_json("[1]", buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_verify_chain_json(rules, buffer, 4), -1);
}

// With IPv6 on, each family has its own section; a failed IPv6 install
// puts the IPv4 chain back as it was.
class FakeIpv6ChainText : public FakeChainText {};

TEST_F(FakeIpv6ChainText, SectionsAreAllOrNothing)
{
    const int length = zvn_failsafe_text_json(nullptr, nullptr, 0);
    std::vector<char> failsafe(static_cast<size_t>(length) + 1);
    zvn_failsafe_text_json(nullptr, failsafe.data(), failsafe.size());
    const std::string text = failsafe.data();
    EXPECT_EQ(text.rfind("# /sbin/iptables-restore\n*filter\n", 0), 0u);
    EXPECT_NE(text.find("COMMIT\n# /sbin/ip6tables-restore\n*filter\n"), std::string::npos);

    Fakes::answer_output("list-S-ZORVANE", "-N ZORVANE\n-A ZORVANE -j ACCEPT\n");
    Fakes::answer("restore6-n", 1);
    EXPECT_EQ(zvn_install_chain_text(text.c_str()), 256);
    // test, test, install IPv4, install IPv6 (fails), the IPv4 chain put back
    EXPECT_EQ(Fakes::restore_copy(5), head + "-A ZORVANE -j ACCEPT\nCOMMIT\n");
    EXPECT_EQ(Fakes::restore_tool(5), "iptables-restore");
}

}  // namespace
}  // namespace zvn_test
