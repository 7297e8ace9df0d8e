// Every command the library runs, failing in every way it can: exit statuses,
// a signal, a missing program, output that is empty, huge or not numbers.
// Each cell checks the result, the commands that ran, the buffer, and what is
// left behind (drop log, restore file).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "support.h"

namespace zvn_test {
namespace {

enum class Op { apply, counts, snapshot, reset, setup };

struct Fault {
    const char *name;
    Op op;
    std::function<void()> inject;
    int result;
    std::vector<std::string> calls;
    const char *array;     // counts: the buffer after the call ("" = untouched)
    const char *log_after; // the drop log after the call, or nullptr
    size_t files_kept;     // restore files left in /tmp
    const char *record;    // a record that must be among the log lines, or ""
};

const char *const rules = "[{\"allow\":true},{\"allow\":false}]";
const std::string test_call = "iptables-restore --test FILE";
const std::string install_call = "iptables-restore -n FILE";
const std::string list1 = "iptables -vn -L ZORVANE 1 --exact";
const std::string list3 = "iptables -vn -L ZORVANE 3 --exact";
const std::string list_all = "iptables-save -c -t filter";
const std::string count_line = "   5   300 ACCEPT  all  --  *  *  0.0.0.0/0  0.0.0.0/0\n";
const std::string chain_listing =
    "*filter\n:INPUT ACCEPT [0:0]\n:ZORVANE - [0:0]\n"
    "[5:300] -A ZORVANE ! -i lo -j ACCEPT\n"
    "[0:0] -A ZORVANE ! -i lo -j NFLOG --nflog-prefix \"RULE=2 ACT=DROP\"\n"
    "[5:300] -A ZORVANE ! -i lo -j DROP\n"
    "COMMIT\n";
const std::vector<std::string> setup_calls = {"firewall.sh prepare", "iptables -N ZORVANE",
                                              "iptables -D INPUT -m state --state NEW -j ZORVANE",
                                              "iptables -A INPUT -m state --state NEW -j ZORVANE"};

std::function<void()> status(const char *key, int code)
{
    return [=] { Fakes::answer(key, code); };
}
std::function<void()> killed(const char *key)
{
    return [=] { Fakes::answer_signal(key, "KILL"); };
}
std::function<void()> missing(const char *program)
{
    return [=] { Fakes::remove_program(program); };
}
std::function<void()> output(const char *key, std::string text)
{
    return [=] { Fakes::answer_output(key, text); };
}
std::function<void()> counted_listings()
{
    return [] { Fakes::answer_output("list-any", count_line); Fakes::answer_output("save", chain_listing); };
}
std::function<void()> both(std::function<void()> a, std::function<void()> b)
{
    return [=] { a(); b(); };
}

class FakeFaultMatrix : public testing::TestWithParam<Fault> {
protected:
    void SetUp() override { fresh_fake_state(); }
    void TearDown() override
    {
        Fakes::restore_programs();
        shell(std::string("rm -rf ") + drop_log);
    }
};

TEST_P(FakeFaultMatrix, GivesTheDocumentedResultAndState)
{
    const Fault &c = GetParam();
    c.inject();
    char buffer[64];
    std::memset(buffer, 0, sizeof buffer);
    int result = 0;
    LogCapture log;
    switch (c.op) {
    case Op::apply: result = zvn_apply_rules_json(rules); break;
    case Op::counts: result = zvn_get_rule_count_json(rules, buffer, sizeof buffer); break;
    case Op::snapshot: result = zvn_get_rule_count_snapshot_json(rules, buffer, sizeof buffer); break;
    case Op::reset: result = reset_counter(); break;
    case Op::setup: setup_default_chain(); break;
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(Fakes::calls(), c.calls);
    EXPECT_EQ(std::string(buffer), c.array);
    EXPECT_EQ(restore_files_in_tmp().size(), c.files_kept);
    if (c.log_after != nullptr) {
        EXPECT_EQ(read_file(drop_log), c.log_after);
    }
    if (*c.record != '\0') {
        const auto lines = log.lines();
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.record), lines.end()) << log.text();
    }
}

const char *const none = "";
const char *const kept = old_drop_log;
const char *const two_errors = "[\"error\",\"error\"]";

INSTANTIATE_TEST_SUITE_P(
    Cells, FakeFaultMatrix,
    testing::Values(
        // applying: a failing test run or install keeps everything as it was
        Fault{"ApplyTestExit1", Op::apply, status("restore-test", 1), 256, {test_call}, none, kept, 1, none},
        Fault{"ApplyTestExit2", Op::apply, status("restore-test", 2), 512, {test_call}, none, kept, 1, none},
        Fault{"ApplyTestKilled", Op::apply, killed("restore-test"), 137 * 256, {test_call}, none, kept, 1, none},
        Fault{"ApplyRestoreMissing", Op::apply, missing("iptables-restore"), 127 * 256, {}, none, kept, 1, none},
        Fault{"ApplyInstallExit1", Op::apply, status("restore-n", 1), 256, {test_call, install_call}, none, kept, 1, none},
        Fault{"ApplyInstallExit4", Op::apply, status("restore-n", 4), 1024, {test_call, install_call}, none, kept, 1, none},
        Fault{"ApplyInstallKilled", Op::apply, killed("restore-n"), 137 * 256, {test_call, install_call}, none, kept, 1, none},
        Fault{"ApplyLogUnwritable", Op::apply,
              [] { shell(std::string("rm -f ") + drop_log + " && mkdir " + drop_log); }, 0,
              {test_call, install_call}, none, nullptr, 0, "$ echo -n > /var/log/ulogd_syslogemu.log 1>&2 --> ret=512"},
        // per-rule counts
        Fault{"CountsTestExit1", Op::counts, status("restore-test", 1), -1, {test_call}, none, nullptr, 1, none},
        Fault{"CountsRestoreMissing", Op::counts, missing("iptables-restore"), -1, {}, none, nullptr, 1, none},
        Fault{"CountsListExit1", Op::counts, both(counted_listings(), status("list-3", 1)), 256,
              {test_call, list1, list3}, "[5,\"error\"]", nullptr, 0, none},
        Fault{"CountsListKilled", Op::counts, both(counted_listings(), killed("list-1")), 137 * 256,
              {test_call, list1, list3}, "[\"error\",5]", nullptr, 0, none},
        Fault{"CountsIptablesMissing", Op::counts, missing("iptables"), 127 * 256, {test_call}, two_errors, nullptr, 0,
              none},
        Fault{"CountsListEmpty", Op::counts, output("list-1", count_line), -1, {test_call, list1, list3},
              "[5,\"error\"]", nullptr, 0, "iptables list stdout is empty"},
        Fault{"CountsListHuge", Op::counts, output("list-any", std::string(200000, '(') + " 77\n"), 0,
              {test_call, list1, list3}, "[77,77]", nullptr, 0, none},
        Fault{"CountsListHugeNumber", Op::counts, output("list-any", std::string(400, '9') + "\n"), -1,
              {test_call, list1, list3}, two_errors, nullptr, 0, "Parsing iptable_stdout error"},
        Fault{"CountsListWords", Op::counts, output("list-any", "Chain ZORVANE (policy ACCEPT)\n"), -1,
              {test_call, list1, list3}, two_errors, nullptr, 0, "Parsing iptable_stdout error"},
        // snapshot counts: one listing, no test run
        Fault{"SnapshotRestoreMissing", Op::snapshot, both(counted_listings(), missing("iptables-restore")), 0,
              {list_all}, "[5,5]", nullptr, 0, none},
        Fault{"SnapshotListExit1", Op::snapshot, both(counted_listings(), status("save", 1)), 256, {list_all},
              two_errors, nullptr, 0, none},
        Fault{"SnapshotIptablesMissing", Op::snapshot, missing("iptables-save"), 127 * 256, {}, two_errors, nullptr, 0,
              none},
        Fault{"SnapshotListEmpty", Op::snapshot, [] {}, -1, {list_all}, two_errors, nullptr, 0,
              "the rule set does not match the chain: the chain does not exist"},
        Fault{"SnapshotListHuge", Op::snapshot,
              output("save", "# " + std::string(300000, '#') + "\n" + chain_listing), 0, {list_all}, "[5,5]", nullptr,
              0, none},
        Fault{"SnapshotListWords", Op::snapshot,
              output("save", "*filter\n:ZORVANE - [0:0]\nno rules here\n[five:0] -A ZORVANE ! -i lo -j ACCEPT\nCOMMIT\n"),
              -1, {list_all}, two_errors, nullptr, 0, "rule 1 does not match the chain: line 1 cannot be read"},
        // the chain operations
        Fault{"ResetExit1", Op::reset, status("iptables-Z", 1), 256, {"iptables -Z ZORVANE"}, none, nullptr, 0, none},
        Fault{"ResetMissing", Op::reset, missing("iptables"), 127 * 256, {}, none, nullptr, 0, none},
        Fault{"SetupEveryStepFails", Op::setup,
              [] {
                  for (const char *key : {"firewall.sh-prepare", "iptables-N", "iptables-D", "iptables-A"})
                      Fakes::answer(key, 3);
              },
              0, setup_calls, none, nullptr, 0, "$ /sbin/iptables -A INPUT -m state --state NEW -j ZORVANE 1>&2 --> ret=768"},
        Fault{"SetupScriptMissing", Op::setup, missing("firewall.sh"), 0,
              {setup_calls.begin() + 1, setup_calls.end()}, none, nullptr, 0,
              "$ /usr/sbin/firewall.sh prepare 1>&2 --> ret=32512"}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace zvn_test

namespace zvn_test {
namespace {

// The error channel after the failures that need the tools: a stable code
// for each kind, and a message saying what failed.
struct ChannelCase {
    const char *name;
    std::function<void()> inject;
    std::function<int()> call;
    int code;
    const char *message;
};

class FakeErrorChannel : public testing::TestWithParam<ChannelCase> {
protected:
    void SetUp() override { fresh_fake_state(); }
    void TearDown() override { Fakes::restore_programs(); }
};

TEST_P(FakeErrorChannel, NamesTheFailure)
{
    const auto &c = GetParam();
    c.inject();
    EXPECT_NE(c.call(), 0);
    EXPECT_EQ(zvn_last_error_code(), c.code);
    EXPECT_NE(std::string(zvn_last_error()).find(c.message), std::string::npos) << zvn_last_error();
}

char counts_buffer[256];

INSTANTIATE_TEST_SUITE_P(
    Kinds, FakeErrorChannel,
    testing::Values(
        ChannelCase{"TestRefused", status("restore-test", 2), [] { return zvn_apply_rules_json(rules); },
                    ZVN_ERROR_TEST_REFUSED, "the test run refused the restore file (status 512)"},
        ChannelCase{"InstallFailed", status("restore-n", 1), [] { return zvn_apply_rules_json(rules); },
                    ZVN_ERROR_INSTALL, "the install failed (status 256)"},
        ChannelCase{"DryRunRefused", status("restore-test", 1), [] { return zvn_test_rules_json(rules); },
                    ZVN_ERROR_TEST_REFUSED, "status 256"},
        ChannelCase{"CountsTestRefused", status("restore-test", 1),
                    [] { return zvn_get_rule_count_json(rules, counts_buffer, sizeof counts_buffer); },
                    ZVN_ERROR_TEST_REFUSED, "refused"},
        ChannelCase{"ListingFailed", status("list-1", 1),
                    [] { return zvn_get_rule_count_json("[{\"allow\":true}]", counts_buffer, sizeof counts_buffer); },
                    ZVN_ERROR_LISTING, "the listing of line 1 failed (status 256)"},
        ChannelCase{"ChainDoesNotHoldTheSet", output("save", chain_listing),
                    [] { return zvn_get_rule_count_snapshot_json("[{\"allow\":false}]", counts_buffer, sizeof counts_buffer); },
                    ZVN_ERROR_MISMATCH, "rule 1 does not match the chain: line 1 has target \"ACCEPT\""},
        ChannelCase{"SnapshotListingFailed", status("save", 1),
                    [] { return zvn_get_rule_count_snapshot_json(rules, counts_buffer, sizeof counts_buffer); },
                    ZVN_ERROR_LISTING, "status 256"},
        ChannelCase{"ZeroingFailed", status("iptables-Z", 1), [] { return reset_counter(); }, ZVN_ERROR_COMMAND,
                    "zeroing the IPv4 chain's counters failed (status 256)"},
        ChannelCase{"ChainNotListed", status("list-S-ZORVANE", 1),
                    [] { return zvn_get_chain_text(counts_buffer, sizeof counts_buffer, nullptr); }, ZVN_ERROR_LISTING,
                    "the IPv4 chain could not be listed (status 256)"}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace zvn_test
