// The flows above the packet filter, against the in-process fake: apply
// (all or nothing, the drop log emptied only after), the dry run, the
// verification, both count reads, the status and INPUT, an indexed
// layout's install and what a flat one takes away, chain texts kept and
// put back, the fail-safe set; IPv6's all-or-nothing in its own process.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <libzorvane.h>

#include "fake_filter.h"
#include "stages.h"

namespace zvn_unit {
namespace {

std::string fresh_directory()
{
    char name[] = "/tmp/zvn-unit-XXXXXX";
    const char *made = mkdtemp(name);
    return made != nullptr ? made : "/tmp";
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        out.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
}

nlohmann::json json_of(int (*call)(const char *, char *, size_t), const std::string &rules)
{
    std::vector<char> buffer(1 << 16);
    EXPECT_EQ(call(rules.c_str(), buffer.data(), buffer.size()), 0) << zvn_last_error();
    return nlohmann::json::parse(buffer.data(), nullptr, false);
}

class FakeFlow : public testing::Test {
protected:
    void SetUp() override
    {
        directory_ = fresh_directory();
        fake_ = &zvn::use_fake_filter(directory_);
        setup_default_chain();
    }
    void TearDown() override
    {
        zvn::use_packet_filter(nullptr);
        if (std::system(("rm -rf '" + directory_ + "'").c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << directory_;
    }
    std::string drop_log() const { return directory_ + "/ulogd_syslogemu.log"; }
    std::string chain(const zvn::Family &family = zvn::ipv4) const { return fake_->lines_of(family, "ZORVANE"); }

    std::string directory_;
    zvn::FakeFilter *fake_ = nullptr;
};

const char *const sample = R"([{"interface":"eth3","src_IP_cidr":"10.0.0.1/24","protocol":"icmp","allow":true},
    {"src_IP_range":"10.0.3.1-10.0.3.200","protocol":"tcp","dports_list":["22","1000:1020"],"allow":false},
    {"allow":true}])";

TEST_F(FakeFlow, ApplyInstallsTheChainAsTheToolListsIt)
{
    std::ofstream(drop_log()) << "old drop\n";
    ASSERT_EQ(zvn_apply_rules_json(sample), 0) << zvn_last_error();
    EXPECT_EQ(lines(chain()),
              (std::vector<std::string>{
                  "-A ZORVANE -s 10.0.0.0/24 -i eth3 -p icmp -j ACCEPT",
                  "-A ZORVANE ! -i lo -p tcp -m iprange --src-range 10.0.3.1-10.0.3.200 -m multiport --dports "
                  "22,1000:1020 -j NFLOG --nflog-prefix \"RULE=2 ACT=DROP\"",
                  "-A ZORVANE ! -i lo -p tcp -m iprange --src-range 10.0.3.1-10.0.3.200 -m multiport --dports "
                  "22,1000:1020 -j DROP",
                  "-A ZORVANE ! -i lo -j ACCEPT"}));
    std::ifstream log(drop_log());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}), "");  // emptied once in force
    EXPECT_EQ(fake_->files_left(), 0u);
    EXPECT_EQ(fake_->runs, (std::vector<std::string>{"prepare", "test ipv4", "install ipv4"}));
}

TEST_F(FakeFlow, ARefusedSetChangesNothingAndNamesItsRule)
{
    ASSERT_EQ(zvn_apply_rules_json(sample), 0);
    const std::string before = chain();
    std::ofstream(drop_log()) << "old drop\n";
    // the country match is not in this kernel: the tool refuses line 4
    const char *countries = R"([{"allow":true},{"src_country":["US"],"allow":false}])";
    EXPECT_EQ(zvn_apply_rules_json(countries), 512);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_TEST_REFUSED);
    EXPECT_EQ(zvn::last_error().rule, 2u);
    EXPECT_NE(zvn::last_error().tool_words.find("geoip"), std::string::npos);
    EXPECT_EQ(chain(), before);
    std::ifstream log(drop_log());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(log), {}), "old drop\n");
    EXPECT_EQ(fake_->files_left(), 1u);  // kept for a look
    // the dry run says the same and installs nothing
    EXPECT_EQ(zvn_test_rules_json(countries), 512);
    EXPECT_EQ(zvn_test_rules_json(sample), 0);
    EXPECT_EQ(chain(), before);
    // a failed commit keeps the old rules too
    fake_->fail_next_install(zvn::ipv4, {256, "", 0});
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\":false}]"), 256);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_INSTALL);
    EXPECT_EQ(chain(), before);
}

TEST_F(FakeFlow, VerificationAndCountsReadOneTable)
{
    ASSERT_EQ(zvn_apply_rules_json(sample), 0);
    auto verified = json_of(zvn_verify_chain_json, sample);
    EXPECT_TRUE(verified["ipv4"]["holds"].get<bool>()) << verified.dump();
    EXPECT_EQ(verified["ipv4"]["holding_lines"], 4);
    fake_->set_counters(zvn::ipv4, "ZORVANE", 1, 7, 700);
    fake_->set_counters(zvn::ipv4, "ZORVANE", 3, 9, 900);  // the DROP line counts
    fake_->set_counters(zvn::ipv4, "ZORVANE", 2, 9, 900);  // the logging line does not
    std::vector<char> buffer(256);
    ASSERT_EQ(zvn_get_rule_count_snapshot_json(sample, buffer.data(), buffer.size()), 0);
    EXPECT_STREQ(buffer.data(), "[7,9,0]");
    ASSERT_EQ(zvn_get_rule_count_json(sample, buffer.data(), buffer.size()), 0);
    EXPECT_STREQ(buffer.data(), "[7,9,0]");
    // another tool's edit: refused, naming the rule, and the lines that hold
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-D ZORVANE 1"));
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-I ZORVANE -s 10.0.0.0/24 -i eth2 -p icmp -j ACCEPT"));
    verified = json_of(zvn_verify_chain_json, sample);
    EXPECT_FALSE(verified["ipv4"]["holds"].get<bool>());
    EXPECT_EQ(verified["ipv4"]["holding_lines"], 3);
    EXPECT_EQ(verified["ipv4"]["differs"],
              "rule 1 does not match the chain: line 1 has in-interface \"eth2\" where the rule set makes \"eth3\"");
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(sample, buffer.data(), buffer.size()), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_MISMATCH);
    EXPECT_STREQ(buffer.data(), "[\"error\",\"error\",\"error\"]");
    // a read that fails
    fake_->fail_reads(zvn::ipv4, 256);
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(sample, buffer.data(), buffer.size()), 256);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_LISTING);
}

TEST_F(FakeFlow, StatusAndWhatStandsAheadOfTheHook)
{
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-I INPUT -p tcp -m multiport --dports 80 -j ACCEPT"));
    const auto input = json_of([](const char *, char *out, size_t n) { return zvn_get_input_json(out, n); }, "");
    EXPECT_EQ(input["ipv4"]["hook_position"], 4);  // behind the accept, loopback and established
    EXPECT_EQ(input["ipv4"]["ahead"], nlohmann::json::array({"-A INPUT -p tcp -m multiport --dports 80 -j ACCEPT"}));
    const auto status = json_of([](const char *, char *out, size_t n) { return zvn_get_chain_status_json(out, n); }, "");
    EXPECT_EQ(status, nlohmann::json::parse(R"({"chain":true,"hooks":1,"rule_lines":0})"));
    zvn_setup_chain_hook(ZVN_HOOK_FIRST | ZVN_HOOK_NO_PREPARE);
    const auto moved = json_of([](const char *, char *out, size_t n) { return zvn_get_input_json(out, n); }, "");
    EXPECT_EQ(moved["ipv4"]["hook_position"], 1);
    EXPECT_EQ(moved["ipv4"]["ahead"], nlohmann::json::array());
}

TEST_F(FakeFlow, AnIndexedLayoutInstallsAndAFlatOneTakesItAway)
{
    nlohmann::json block = nlohmann::json::array();
    for (int i = 0; i < 400; ++i)
        block.push_back({{"src_IP_cidr", "10." + std::to_string(i % 100) + "." + std::to_string(i / 100) + ".9"},
                         {"allow", false}});
    block.push_back({{"allow", true}});
    const std::string text = block.dump();
    ASSERT_EQ(zvn_set_layout(ZVN_LAYOUT_INDEXED), 0);
    ASSERT_EQ(zvn_apply_rules_json(text.c_str()), 0) << zvn_last_error();
    ASSERT_NE(fake_->table(zvn::ipv4).chain("ZORVANE-INDEX"), nullptr);
    const std::size_t chains = fake_->table(zvn::ipv4).chains.size();
    EXPECT_GT(chains, 10u);
    const auto verified = json_of(zvn_verify_chain_json, text);
    EXPECT_EQ(verified["ipv4"]["layout"], "indexed");
    EXPECT_TRUE(verified["ipv4"]["holds"].get<bool>()) << verified.dump();
    // a copy's counter counts for its rule: the first dropping line of a leaf
    std::string leaf;
    std::size_t position = 0;
    for (const auto &one : fake_->table(zvn::ipv4).chains)
        for (std::size_t l = 0; l < one.lines.size() && leaf.empty(); ++l)
            if (one.name.rfind("ZORVANE-", 0) == 0 && one.lines[l].text.find(" -j DROP") != std::string::npos) {
                leaf = one.name;
                position = l + 1;
            }
    ASSERT_FALSE(leaf.empty());
    fake_->set_counters(zvn::ipv4, leaf, position, 5, 50);
    std::vector<char> counts(1 << 16);
    ASSERT_EQ(zvn_get_rule_count_snapshot_json(text.c_str(), counts.data(), counts.size()), 0) << zvn_last_error();
    const auto parsed = nlohmann::json::parse(counts.data());
    std::uint64_t sum = 0;
    for (const auto &count : parsed)
        sum += count.get<std::uint64_t>();
    EXPECT_EQ(sum, 5u);
    // a position read refuses the indexed chain
    EXPECT_EQ(zvn_get_rule_count_json(text.c_str(), counts.data(), counts.size()), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_LAYOUT);
    // the flat layout takes every chain of the indexed one away in its commit
    ASSERT_EQ(zvn_set_layout(ZVN_LAYOUT_FLAT), 0);
    ASSERT_EQ(zvn_apply_rules_json(sample), 0) << zvn_last_error();
    EXPECT_EQ(fake_->table(zvn::ipv4).chains.size(), 4u);
    EXPECT_EQ(fake_->table(zvn::ipv4).chain("ZORVANE-INDEX"), nullptr);
}

TEST_F(FakeFlow, ChainTextsAreKeptAndPutBackAndTheFailsafeSetInstalls)
{
    ASSERT_EQ(zvn_apply_rules_json(sample), 0);
    std::vector<char> kept(1 << 16);
    size_t length = 0;
    ASSERT_EQ(zvn_get_chain_text(kept.data(), kept.size(), &length), 0);
    const std::string before = chain();
    ASSERT_EQ(zvn_apply_rules_json("[{\"allow\":false}]"), 0);
    EXPECT_NE(chain(), before);
    ASSERT_EQ(zvn_install_chain_text(kept.data()), 0) << zvn_last_error();
    EXPECT_EQ(chain(), before);
    // the fail-safe set: loopback, established, the allows, then every drop logged
    const int size = zvn_failsafe_text_json(R"([{"protocol":"tcp","dports_list":["22"],"allow":true}])", nullptr, 0);
    ASSERT_GT(size, 0);
    std::vector<char> failsafe(static_cast<std::size_t>(size) + 1);
    zvn_failsafe_text_json(R"([{"protocol":"tcp","dports_list":["22"],"allow":true}])", failsafe.data(), failsafe.size());
    ASSERT_EQ(zvn_install_chain_text(failsafe.data()), 0) << zvn_last_error();
    EXPECT_EQ(lines(chain()), (std::vector<std::string>{"-A ZORVANE -i lo -j ACCEPT",
                                                        "-A ZORVANE -m state --state RELATED,ESTABLISHED -j ACCEPT",
                                                        "-A ZORVANE ! -i lo -p tcp -m multiport --dports 22 -j ACCEPT",
                                                        "-A ZORVANE -j NFLOG --nflog-prefix \"FAILSAFE ACT=DROP\"",
                                                        "-A ZORVANE -j DROP"}));
    // a chain text of anything else is refused before any run
    EXPECT_EQ(zvn_install_chain_text("*filter\n:INPUT ACCEPT [0:0]\n-A INPUT -j ACCEPT\nCOMMIT\n"), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_CHAIN_TEXT);
}

// With IPv6 on (its own process): both files tested first; an IPv6 install
// that fails puts the IPv4 chain back as it was.
TEST_F(FakeFlow, Ipv6InstallFailurePutsTheIpv4ChainBack)
{
    ASSERT_EQ(zvn_apply_rules_json(sample), 0) << zvn_last_error();
    const std::string four = chain(), six = chain(zvn::ipv6);
    EXPECT_NE(six.find("-A ZORVANE ! -i lo -j ACCEPT"), std::string::npos);
    fake_->fail_next_test(zvn::ipv6, {512, "refused", 3});
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\":false}]"), 512);
    EXPECT_EQ(std::string(zvn::last_error().family), "ipv6");
    EXPECT_EQ(chain(), four);
    fake_->fail_next_install(zvn::ipv6, {256, "", 0});
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\":false}]"), 256);
    EXPECT_EQ(chain(), four);
    EXPECT_EQ(chain(zvn::ipv6), six);
    // A parsed set installs the family of fewer rules first, and puts that
    // one back should the other fail.
    zvn_rules *handle = zvn_rules_parse(R"([{"src_IP_cidr":"10.0.0.1","allow":false},
                                            {"src_IP_cidr":"10.0.0.2","allow":false},{"allow":false}])");
    ASSERT_NE(handle, nullptr);
    fake_->runs.clear();
    fake_->fail_next_install(zvn::ipv4, {256, "", 0});
    EXPECT_EQ(zvn_rules_apply(handle), 256);
    EXPECT_EQ(fake_->runs, (std::vector<std::string>{"test ipv4", "test ipv6", "install ipv6", "install ipv4",
                                                     "install ipv6"}));  // the last: IPv6 put back
    EXPECT_EQ(chain(), four);
    EXPECT_EQ(chain(zvn::ipv6), six);
    EXPECT_STREQ(zvn_last_error(), "the IPv4 install failed (status 256)");
    EXPECT_EQ(zvn_rules_apply(handle), 0);
    zvn_rules_free(handle);
}

}  // namespace
}  // namespace zvn_unit
