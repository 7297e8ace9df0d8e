// Country rules as address sets, against the in-process fake: the
// database read (every address form, comments, unknown codes), each rule's
// networks, the sets made before the test run and only the old ones taken
// away after the commit, a refused apply leaving the sets in force alone,
// a set another tool emptied refused by the proof and put back by the
// guard, chain texts that carry their sets, the check's findings.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <libzorvane.h>

#include "countries.h"
#include "fake_filter.h"
#include "stages.h"

namespace zvn_unit {
namespace {

class CountrySets : public testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/zvn-countries-XXXXXX";
        directory_ = mkdtemp(name);
        fake_ = &zvn::use_fake_filter(directory_);
        zvn_set_layout(ZVN_LAYOUT_FLAT);
        zvn_setup_chain_hook(ZVN_HOOK_KEEP);
        database_ = directory_ + "/countries.csv";
        // DE: 10.0.3.100-10.0.3.199 (dotted), FR: 10.3.0.0/24 (as an
        // integer), DE in IPv6 too; an unknown code and a comment.
        std::ofstream(database_) << "# a fixture of test ranges\n"
                                    "10.0.3.100,10.0.3.199,DE\n"
                                 << (10u << 24 | 3u << 16) << "," << ((10u << 24 | 3u << 16) + 255) << ",fr\n"
                                 << "2001:db8:3::100,2001:db8:3::1ff,DE\n"
                                    "192.0.2.0,192.0.2.255,??\n"
                                    "not a line\n";
        const char *paths[] = {database_.c_str()};
        zvn_set_country_databases(paths, 1);
        zvn_set_country_source(ZVN_COUNTRIES_SETS);
    }
    void TearDown() override
    {
        zvn_set_country_source(ZVN_COUNTRIES_MATCH);
        zvn_set_country_databases(nullptr, 0);
        zvn::use_packet_filter(nullptr);
        if (std::system(("rm -rf '" + directory_ + "'").c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << directory_;
    }
    std::string chain() const { return fake_->lines_of(zvn::ipv4, "ZORVANE"); }
    std::vector<std::string> set_names() const
    {
        std::vector<std::string> names;
        for (const auto &[name, set] : fake_->sets())
            names.push_back(name);
        return names;
    }
    nlohmann::json verified(const char *rules)
    {
        std::vector<char> out(1 << 16);
        EXPECT_EQ(zvn_verify_chain_json(rules, out.data(), out.size()), 0);
        return nlohmann::json::parse(out.data());
    }

    std::string directory_, database_;
    zvn::FakeFilter *fake_ = nullptr;
};

const char *const german = R"([{"src_country":["de"],"protocol":"icmp","allow":false},{"allow":true}])";

TEST_F(CountrySets, TheDatabaseReadsEveryFormAndSkipsWhatIsNoCountry)
{
    const zvn::CountryDatabase &database = zvn::country_database();
    ASSERT_EQ(database.files.size(), 1u);
    EXPECT_TRUE(database.files[0].read);
    EXPECT_EQ(database.files[0].entries, 3u);
    EXPECT_NE(database.files[0].problem.find("1 lines"), std::string::npos) << database.files[0].problem;
    EXPECT_TRUE(database.holds("DE"));
    EXPECT_TRUE(database.holds("FR"));
    EXPECT_FALSE(database.holds("??"));
    zvn::RuleSet set;
    ASSERT_TRUE(read(german, set));
    const zvn::AddressSet de = zvn::country_set(set.rules[0], zvn::ipv4);
    // 100 to 199 exactly, as the fewest networks
    EXPECT_EQ(de.entries,
              (std::vector<std::string>{"10.0.3.100/30", "10.0.3.104/29", "10.0.3.112/28", "10.0.3.128/26",
                                        "10.0.3.192/29"}));
    EXPECT_TRUE(zvn::is_country_set_name(de.name, zvn::ipv4));
    EXPECT_EQ(de.name.substr(0, 6), "zv4-1-");
    EXPECT_EQ(zvn::country_set(set.rules[0], zvn::ipv6).entries, std::vector<std::string>{"2001:db8:3::100/120"});
}

TEST_F(CountrySets, AnApplyMakesTheSetsFirstAndTakesTheOldOnesAwayAfter)
{
    ASSERT_EQ(zvn_apply_rules_json(german), 0) << zvn_last_error();
    EXPECT_NE(chain().find("-m set --match-set zv4-1-"), std::string::npos) << chain();
    EXPECT_EQ(chain().find("geoip"), std::string::npos);
    const auto first = set_names();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_TRUE(verified(german)["ipv4"]["holds"].get<bool>()) << verified(german).dump();
    // Ten re-applies of changing sets leave only the sets in force.
    for (int i = 0; i < 10; ++i) {
        const std::string rules = i % 2 == 0 ? R"([{"src_country":["FR"],"allow":false},{"src_country":["DE","FR"],"allow":true}])"
                                             : german;
        ASSERT_EQ(zvn_apply_rules_json(rules.c_str()), 0) << zvn_last_error();
        EXPECT_EQ(set_names().size(), i % 2 == 0 ? 2u : 1u);
    }
    // A set without countries takes every set away.
    ASSERT_EQ(zvn_apply_rules_json(R"([{"allow":true}])"), 0);
    EXPECT_EQ(set_names(), std::vector<std::string>{});
}

TEST_F(CountrySets, ARefusedApplyLeavesTheSetsInForceAlone)
{
    ASSERT_EQ(zvn_apply_rules_json(german), 0);
    const std::string before = chain();
    const auto sets_before = set_names();
    fake_->fail_next_test(zvn::ipv4, {2 << 8, "refused", 1});
    EXPECT_NE(zvn_apply_rules_json(R"([{"src_country":["FR"],"allow":false}])"), 0);
    EXPECT_EQ(chain(), before);
    EXPECT_EQ(set_names(), sets_before);
    fake_->fail_next_install(zvn::ipv4, {256, "", 0});
    EXPECT_NE(zvn_apply_rules_json(R"([{"src_country":["FR"],"allow":false}])"), 0);
    EXPECT_EQ(chain(), before);
    EXPECT_EQ(set_names(), sets_before);
    // a load that fails changes nothing either
    fake_->fail_next_set_load(256);
    EXPECT_EQ(zvn_apply_rules_json(R"([{"src_country":["FR"],"allow":false}])"), 256);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_INSTALL);
    EXPECT_EQ(chain(), before);
    // the dry run makes what it needs and takes it away
    EXPECT_EQ(zvn_test_rules_json(R"([{"src_country":["FR"],"allow":false}])"), 0);
    EXPECT_EQ(set_names(), sets_before);
}

TEST_F(CountrySets, AnEmptiedSetIsRefusedAndTheGuardPutsItBack)
{
    ASSERT_EQ(zvn_apply_rules_json(german), 0);
    auto &set = fake_->sets().begin()->second;
    const auto entries = set.entries;
    set.entries.clear();
    const auto result = verified(german);
    EXPECT_FALSE(result["ipv4"]["holds"].get<bool>());
    EXPECT_NE(result["ipv4"]["differs"].get<std::string>().find("does not hold what it was made with"),
              std::string::npos)
        << result.dump();
    std::vector<char> buffer(256);
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(german, buffer.data(), buffer.size()), -1);
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_MISMATCH);
    std::vector<char> report(1 << 16);
    EXPECT_EQ(zvn_guard_look(ZVN_LOOK_REPAIR | ZVN_LOOK_AGAIN, report.data(), report.size()), 0) << report.data();
    EXPECT_EQ(fake_->sets().begin()->second.entries, entries);
    EXPECT_TRUE(verified(german)["ipv4"]["holds"].get<bool>());
}

// The table's listing does not change when a set does: the guard's look
// must see it all the same, without being asked to prove again, and the
// status must tell which set.
TEST_F(CountrySets, ASetChangedBetweenLooksIsSeenWithoutAskingAgain)
{
    ASSERT_EQ(zvn_apply_rules_json(german), 0);
    std::vector<char> report(1 << 16);
    ASSERT_EQ(zvn_guard_look(ZVN_LOOK_REPAIR, report.data(), report.size()), 0) << report.data();
    auto looked = nlohmann::json::parse(report.data());
    EXPECT_TRUE(looked["address_sets"].get<bool>());
    EXPECT_EQ(looked["record"]["country_databases"], nlohmann::json::array({database_})) << looked.dump();
    auto &set = fake_->sets().begin()->second;
    const auto entries = set.entries;
    set.entries.push_back("10.0.3.0/28");

    zvn_table *table = zvn_table_read();
    ASSERT_NE(table, nullptr);
    std::vector<char> status(1 << 16);
    ASSERT_EQ(zvn_table_status_json(table, status.data(), status.size()), 0);
    zvn_table_free(table);
    const auto sets = nlohmann::json::parse(status.data())["ipv4"]["country_sets"];
    ASSERT_EQ(sets.size(), 1u) << status.data();
    EXPECT_EQ(sets[0]["rule"], 1);
    EXPECT_TRUE(sets[0]["stands"].get<bool>());
    EXPECT_FALSE(sets[0]["intact"].get<bool>());

    EXPECT_EQ(zvn_guard_look(ZVN_LOOK_REPAIR, report.data(), report.size()), 0) << report.data();
    looked = nlohmann::json::parse(report.data());
    EXPECT_TRUE(looked["repaired"].get<bool>()) << looked.dump();
    EXPECT_EQ(fake_->sets().begin()->second.entries, entries);
}

TEST_F(CountrySets, AChainTextCarriesItsSets)
{
    ASSERT_EQ(zvn_apply_rules_json(german), 0);
    std::vector<char> text(1 << 16);
    std::size_t length = 0;
    ASSERT_EQ(zvn_get_chain_text(text.data(), text.size(), &length), 0);
    EXPECT_NE(std::string(text.data()).find("#ipset add zv4-1-"), std::string::npos) << text.data();
    ASSERT_EQ(zvn_apply_rules_json(R"([{"allow":true}])"), 0);
    EXPECT_EQ(set_names(), std::vector<std::string>{});
    // a roll-back or a boot's fall-back, without the database
    zvn_set_country_databases(nullptr, 0);
    ASSERT_EQ(zvn_install_chain_text(text.data()), 0) << zvn_last_error();
    EXPECT_EQ(set_names().size(), 1u);
    EXPECT_NE(chain().find("--match-set zv4-1-"), std::string::npos);
}

TEST_F(CountrySets, TheCheckKnowsWhatTheDatabaseHolds)
{
    std::vector<char> out(1 << 16);
    ASSERT_EQ(zvn_check_rules_json(R"([{"src_country":["DE","XK"],"allow":false}])", out.data(), out.size()), 1);
    auto findings = nlohmann::json::parse(out.data());
    ASSERT_EQ(findings.size(), 1u) << findings.dump();
    EXPECT_EQ(findings[0]["code"], "unknown-country");
    EXPECT_EQ(findings[0]["key"], "src_country");
    EXPECT_NE(findings[0]["message"].get<std::string>().find("\"XK\""), std::string::npos);
    // FR has no IPv6 networks: a warning where the rule goes to IPv6
    if (zvn::ipv6_enabled()) {
        ASSERT_EQ(zvn_check_rules_json(R"([{"src_country":["FR"],"allow":false}])", out.data(), out.size()), 0);
        findings = nlohmann::json::parse(out.data());
        ASSERT_EQ(findings.size(), 1u) << findings.dump();
        EXPECT_EQ(findings[0]["code"], "country-family");
    }
    // with the match, the database is not asked
    zvn_set_country_source(ZVN_COUNTRIES_MATCH);
    EXPECT_EQ(zvn_check_rules_json(R"([{"src_country":["XK"],"allow":false}])", out.data(), out.size()), 0);
}

TEST_F(CountrySets, AutoTakesTheMatchWhereTheToolHasIt)
{
    zvn_set_country_source(ZVN_COUNTRIES_AUTO);
    fake_->country_match = false;
    ASSERT_EQ(zvn_apply_rules_json(german), 0) << zvn_last_error();
    EXPECT_NE(chain().find("--match-set"), std::string::npos);
    fake_->country_match = true;
    ASSERT_EQ(zvn_apply_rules_json(german), 0) << zvn_last_error();
    EXPECT_NE(chain().find("-m geoip"), std::string::npos) << chain();
    EXPECT_EQ(set_names(), std::vector<std::string>{});
}

}  // namespace
}  // namespace zvn_unit
