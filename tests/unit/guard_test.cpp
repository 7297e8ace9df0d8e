// The record of the last install and the guard's look, against the
// in-process fake: what any client installs is what is guarded; records
// that are not what they seem are reported and never followed; the chain,
// the hook and the preparation's lines go back exactly as they were; a set
// the tool rewrites settles instead of being put back at every look.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <libzorvane.h>

#include "fake_filter.h"
#include "installed.h"
#include "stages.h"

namespace zvn_unit {
namespace {

const char *const block_list = R"([{"src_IP_cidr":"192.0.2.1","allow":false},{"src_IP_cidr":"198.51.100.0/24","allow":false},
    {"protocol":"tcp","dports_list":["22"],"allow":true},{"allow":false}])";

class GuardLook : public testing::Test {
protected:
    void SetUp() override
    {
        char name[] = "/tmp/zvn-guard-XXXXXX";
        directory_ = mkdtemp(name);
        fake_ = &zvn::use_fake_filter(directory_);
        zvn_set_layout(ZVN_LAYOUT_FLAT);
        zvn_set_log_limit(0);
        zvn_setup_chain_hook(ZVN_HOOK_KEEP);
    }
    void TearDown() override
    {
        zvn_label_installs(nullptr);
        zvn::use_packet_filter(nullptr);
        if (std::system(("rm -rf '" + directory_ + "'").c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << directory_;
    }
    // One look; its report.
    nlohmann::json look(int flags = ZVN_LOOK_REPAIR, int expected = 0)
    {
        std::vector<char> report(1 << 20);
        const int status = zvn_guard_look(flags, report.data(), report.size());
        EXPECT_EQ(status, expected) << zvn_last_error() << " " << report.data();
        return nlohmann::json::parse(report.data(), nullptr, false);
    }
    nlohmann::json record()
    {
        std::vector<char> out(1 << 16);
        EXPECT_EQ(zvn_installed_json(out.data(), out.size()), 0);
        return nlohmann::json::parse(out.data(), nullptr, false);
    }
    std::string chain(const std::string &name = "ZORVANE") const { return fake_->lines_of(zvn::ipv4, name); }
    std::string input() const { return fake_->lines_of(zvn::ipv4, "INPUT"); }
    std::string record_path() const { return directory_ + "/records/installed"; }

    std::string directory_;
    zvn::FakeFilter *fake_ = nullptr;
};

TEST_F(GuardLook, WhatAnyClientInstalledIsWhatGoesBack)
{
    EXPECT_EQ(look(ZVN_LOOK_REPAIR, 2)["guarding"], false);  // nothing installed yet: nothing to guard
    zvn_label_installs("apply");
    ASSERT_EQ(zvn_apply_rules_json(block_list), 0) << zvn_last_error();
    const auto kept = record();
    EXPECT_EQ(kept["state"], "read");
    EXPECT_EQ(kept["record"]["label"], "apply");
    EXPECT_EQ(kept["record"]["kind"], "rule set");
    EXPECT_EQ(kept["record"]["families"]["ipv4"]["compared"], "proved");
    const std::string installed = chain();
    EXPECT_EQ(look()["whole"], true);
    fake_->runs.clear();
    EXPECT_EQ(look()["whole"], true);  // unchanged: no install, no proof
    EXPECT_EQ(fake_->runs, std::vector<std::string>{"read ipv4"});

    // Flushed, emptied and refilled by another tool: put back exactly.
    for (const std::function<void()> &breakage : std::vector<std::function<void()>>{
             [&] { fake_->run(zvn::ipv4, "-F ZORVANE"); },
             [&] { fake_->run(zvn::ipv4, "-A ZORVANE -j ACCEPT"); },
             [&] { fake_->run(zvn::ipv4, "-D ZORVANE 1"); },
             [&] { fake_->run(zvn::ipv4, "restore *filter\n:ZORVANE - [0:0]\n-A ZORVANE -j ACCEPT\nCOMMIT\n"); }}) {
        breakage();
        const auto report = look();
        EXPECT_EQ(report["repaired"], true) << report.dump();
        EXPECT_EQ(report["whole"], true) << report.dump();
        EXPECT_EQ(chain(), installed);
    }
    // A later install by a client supersedes it: nothing is reverted.
    ASSERT_EQ(zvn_apply_rules_json(R"([{"allow":true}])"), 0);
    const auto report = look();
    EXPECT_EQ(report["repaired"], false) << report.dump();
    EXPECT_EQ(chain(), "-A ZORVANE ! -i lo -j ACCEPT\n");
}

TEST_F(GuardLook, TheLayoutAndTheLogLimitInstalledAreGuardedToo)
{
    zvn_set_log_limit(5);
    ASSERT_EQ(zvn_apply_rules_json(block_list), 0);
    const std::string limited = chain();
    // The same set without the limit, from a process of other options.
    zvn_set_log_limit(0);
    std::vector<char> text(1 << 16);
    ASSERT_GT(zvn_restore_text_json(block_list, text.data(), text.size()), 0);
    ASSERT_TRUE(fake_->run(zvn::ipv4, std::string("restore ") + text.data()));
    const auto report = look();
    EXPECT_NE(report["families"]["ipv4"]["found"][0].get<std::string>().find("logs every drop"), std::string::npos)
        << report.dump();
    EXPECT_EQ(chain(), limited);
    // Flat where the indexed layout was installed.
    std::string many = "[";
    for (int i = 1; i <= 40; ++i)
        many += R"({"src_IP_cidr":"10.)" + std::to_string(i) + R"(.0.1","allow":false},)";
    many += R"({"allow":true}])";
    zvn_set_layout(ZVN_LAYOUT_INDEXED);
    ASSERT_EQ(zvn_apply_rules_json(many.c_str()), 0);
    ASSERT_NE(chain().find("-i lo -j RETURN"), std::string::npos);
    const std::string indexed = chain();
    zvn_set_layout(ZVN_LAYOUT_FLAT);
    ASSERT_GT(zvn_restore_text_json(many.c_str(), text.data(), text.size()), 0);
    ASSERT_TRUE(fake_->run(zvn::ipv4, std::string("restore ") + text.data()));
    EXPECT_EQ(look()["repaired"], true);
    EXPECT_EQ(chain(), indexed);
}

TEST_F(GuardLook, RecordsThatAreNotWhatTheySeemAreNeverFollowed)
{
    // A sound record of an accept-all set, for a link to point at.
    const std::string planted = directory_ + "/accept-all";
    ASSERT_EQ(zvn_apply_rules_json(R"([{"allow":true}])"), 0);
    ASSERT_EQ(std::system(("cp -p '" + record_path() + "' '" + planted + "'").c_str()), 0);
    ASSERT_EQ(zvn_apply_rules_json(block_list), 0);
    const std::string installed = chain();
    EXPECT_EQ(look()["whole"], true);
    struct Planting {
        const char *what;
        bool in_its_place;  // the file is taken away first
        std::function<void(const std::string &path)> plant;
        const char *problem;
    };
    const std::vector<Planting> plantings = {
        {"a FIFO", true, [](const std::string &path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, "is a FIFO"},
        {"a link", true, [&](const std::string &path) { ASSERT_EQ(symlink(planted.c_str(), path.c_str()), 0); },
         "symbolic link"},
        {"garbled", false, [](const std::string &path) { std::ofstream(path, std::ios::app) << "x"; }, "digest"},
        {"cut short", false, [](const std::string &path) { ASSERT_EQ(truncate(path.c_str(), 40), 0); },
         "not a sound record"},
        {"written by others", false, [](const std::string &path) { ASSERT_EQ(chmod(path.c_str(), 0666), 0); },
         "alone"},
        {"a directory", true, [](const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); },
         "directory"},
    };
    for (const Planting &planting : plantings) {
        SCOPED_TRACE(planting.what);
        const std::string sound = directory_ + "/sound";
        ASSERT_EQ(std::system(("cp -p '" + record_path() + "' '" + sound + "'").c_str()), 0);
        if (planting.in_its_place) {
            ASSERT_EQ(unlink(record_path().c_str()), 0);
        }
        planting.plant(record_path());
        ASSERT_TRUE(fake_->run(zvn::ipv4, "-F ZORVANE"));
        const auto started = std::chrono::steady_clock::now();
        const auto report = look(0, 1);  // no repair: the record stays as planted
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));  // no FIFO blocks it
        EXPECT_NE(report["record_problem"].get<std::string>().find(planting.problem), std::string::npos)
            << report.dump();
        // the copy the process kept serves: the set installed goes back
        const auto repaired = look();
        EXPECT_EQ(repaired["whole"], true) << repaired.dump();
        EXPECT_EQ(chain(), installed);
        // and the record is written again, sound (a directory in its
        // place stays, reported)
        if (std::string(planting.what) != "a directory") {
            EXPECT_EQ(record()["state"], "read");
        }
        ASSERT_EQ(std::system(("rm -rf '" + record_path() + "' && cp -p '" + sound + "' '" + record_path() + "'").c_str()),
                  0);
    }
}

TEST_F(GuardLook, ANewProcessWithABrokenRecordPutsNothingBack)
{
    ASSERT_EQ(zvn_apply_rules_json(block_list), 0);
    std::ofstream(record_path(), std::ios::app) << "x";
    zvn::forget_kept_record();  // as a guard started after the record broke
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-F ZORVANE"));
    const auto report = look(ZVN_LOOK_REPAIR, 2);
    EXPECT_EQ(report["guarding"], false);
    EXPECT_NE(report["record_problem"].get<std::string>().find("digest"), std::string::npos);
    EXPECT_EQ(chain(), "");
}

TEST_F(GuardLook, RunLostTheRecordTheKeptCopyServes)
{
    ASSERT_EQ(zvn_apply_rules_json(block_list), 0);
    const std::string installed = chain();
    EXPECT_EQ(look()["whole"], true);
    ASSERT_EQ(std::system(("rm -rf '" + directory_ + "/records'").c_str()), 0);
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-F ZORVANE"));
    const auto report = look();
    EXPECT_EQ(report["whole"], true) << report.dump();
    EXPECT_EQ(chain(), installed);
    EXPECT_EQ(record()["state"], "read");
}

TEST_F(GuardLook, TheFrameGoesBackWholeAfterAFlushOfInput)
{
    ASSERT_EQ(zvn_apply_rules_json(block_list), 0);
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-P INPUT DROP"));
    EXPECT_EQ(look()["whole"], true);
    const std::string framed = input();
    // As another tool's "iptables -F": INPUT and the chain emptied.
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-F INPUT"));
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-F ZORVANE"));
    const auto report = look();
    const auto found = report["families"]["ipv4"]["found"];
    EXPECT_EQ(report["whole"], true) << report.dump();
    const auto has = [&](const std::string &words) {
        for (const auto &one : found)
            if (one.get<std::string>().find(words) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(has("does not reach")) << found.dump();
    EXPECT_TRUE(has("-A INPUT -i lo -j ACCEPT\" is gone")) << found.dump();
    EXPECT_TRUE(has("established connections cannot pass")) << found.dump();
    EXPECT_EQ(input(), framed);
}

TEST_F(GuardLook, AHookReturnsToItsPlaceAndASecondOneGoes)
{
    ASSERT_EQ(zvn_apply_rules_json(block_list), 0);
    // Another tool's jumps after the hook, added once setup was done.
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-N ufw-user-input"));
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-A ufw-user-input -p tcp -m multiport --dports 80 -j ACCEPT"));
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-A INPUT -j ufw-user-input"));
    EXPECT_EQ(look()["whole"], true);
    const std::string placed = input();
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-D INPUT -m state --state NEW -j ZORVANE"));
    EXPECT_EQ(look()["repaired"], true);
    EXPECT_EQ(input(), placed);  // ahead of the jumps, not behind them
    // A restore of an older save that hooks it again: one hook stays.
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-A INPUT -m state --state NEW -j ZORVANE"));
    const auto report = look();
    EXPECT_EQ(report["repaired"], true) << report.dump();
    EXPECT_EQ(input(), placed);
}

TEST_F(GuardLook, ASetTheToolRewritesIsKeptAsTheKernelTookIt)
{
    // "ssh", a port the check refuses and the tool takes as 22.
    const char *named = R"([{"protocol":"tcp","dports_list":["ssh"],"allow":true},{"allow":false}])";
    ASSERT_EQ(zvn_apply_rules_json(named), 0);
    EXPECT_EQ(record()["record"]["families"]["ipv4"]["compared"], "as listed");
    const auto first = look();
    EXPECT_EQ(first["whole"], true) << first.dump();
    EXPECT_EQ(first["repaired"], false);
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-F ZORVANE"));
    EXPECT_EQ(look()["whole"], true);
    EXPECT_NE(chain().find("--dports 22 "), std::string::npos) << chain();
    EXPECT_EQ(look()["repaired"], false);
}

TEST_F(GuardLook, AChainTextInstalledIsGuardedLineByLine)
{
    ASSERT_EQ(zvn_apply_rules_json(block_list), 0);
    std::vector<char> text(1 << 16);
    std::size_t length = 0;
    ASSERT_EQ(zvn_get_chain_text(text.data(), text.size(), &length), 0);
    ASSERT_EQ(zvn_apply_rules_json(R"([{"allow":true}])"), 0);
    zvn_label_installs("rollback");
    ASSERT_EQ(zvn_install_chain_text(text.data()), 0) << zvn_last_error();
    const auto kept = record();
    EXPECT_EQ(kept["record"]["kind"], "chain text");
    EXPECT_EQ(kept["record"]["label"], "rollback");
    const std::string installed = chain();
    EXPECT_EQ(look()["whole"], true);
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-I ZORVANE -j ACCEPT"));
    EXPECT_EQ(look()["repaired"], true);
    EXPECT_EQ(chain(), installed);
}

TEST_F(GuardLook, OnlyAWayToAnAcceptAheadOfTheHookIsAWarning)
{
    ASSERT_EQ(zvn_apply_rules_json(block_list), 0);
    // fail2ban's chain only rejects and returns; ufw's accepts.
    for (const char *line : {"-N f2b-sshd", "-A f2b-sshd -s 203.0.113.9/32 -j REJECT", "-A f2b-sshd -j RETURN",
                             "-I INPUT -p tcp -j f2b-sshd", "-N ufw-before-input",
                             "-A ufw-before-input -p udp -m multiport --dports 53 -j ACCEPT"})
        ASSERT_TRUE(fake_->run(zvn::ipv4, line)) << line;
    zvn_table *table = zvn_table_read();
    ASSERT_NE(table, nullptr);
    std::vector<char> out(1 << 16);
    ASSERT_EQ(zvn_table_status_json(table, out.data(), out.size()), 0);
    auto status = nlohmann::json::parse(out.data());
    zvn_table_free(table);
    EXPECT_EQ(status["ipv4"]["ahead"], nlohmann::json::array()) << status.dump();
    EXPECT_EQ(status["ipv4"]["established_pass"], true);
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-I INPUT -j ufw-before-input"));
    table = zvn_table_read();
    ASSERT_EQ(zvn_table_status_json(table, out.data(), out.size()), 0);
    status = nlohmann::json::parse(out.data());
    zvn_table_free(table);
    EXPECT_EQ(status["ipv4"]["ahead"], nlohmann::json::array({"-A INPUT -j ufw-before-input"})) << status.dump();
    // Docker's chains: its published ports bypass INPUT.
    ASSERT_TRUE(fake_->run(zvn::ipv4, "-N DOCKER-USER"));
    table = zvn_table_read();
    ASSERT_EQ(zvn_table_status_json(table, out.data(), out.size()), 0);
    status = nlohmann::json::parse(out.data());
    zvn_table_free(table);
    EXPECT_EQ(status["ipv4"]["container_chains"], nlohmann::json::array({"DOCKER-USER"}));
}

}  // namespace
}  // namespace zvn_unit
