// The utility's dispatcher: debug flag, command matching, usage text, exit
// statuses, and the chain commands it runs (with the fakes).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "support.h"

int zvn_util_main(int argc, char *argv[]);  // the utility's main, built into the tests

namespace zvn_test {
namespace {

std::string usage(const std::string &name)
{
    return name + " Commands:\n" + name + " [-d|--debug] apply_rules <rules>\n" + name +
           " [-d|--debug] setup_default_chain \n" + name + " [-d|--debug] reset_counter \n" + name +
           " [-d|--debug] test_apply_rules \n" + name + " [-d|--debug] test_get_rule_count \n";
}

const std::vector<std::string> reset_records = {
    "$ /sbin/iptables -Z ZORVANE 1>&2",
    "$ /sbin/iptables -Z ZORVANE 1>&2 --> ret=0",
};

struct DispatchCase {
    const char *name;
    std::vector<std::string> argv;
    bool prints_usage;
    std::vector<std::string> calls;
    bool logs;
};

class FakeDispatch : public testing::TestWithParam<DispatchCase> {
protected:
    void SetUp() override { Fakes::reset(); }
};

TEST_P(FakeDispatch, RunsTheLeftmostCompleteCommand)
{
    const auto &c = GetParam();
    const UtilRun run = run_util(c.argv);
    EXPECT_EQ(run.out, c.prints_usage ? usage(c.argv[0]) : "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(Fakes::calls(), c.calls);
    if (c.logs)
        EXPECT_EQ(split_lines(run.err), reset_records);
    else
        EXPECT_EQ(run.err, "");
}

const std::vector<std::string> reset_call = {"iptables -Z ZORVANE"};

INSTANTIATE_TEST_SUITE_P(
    Argv, FakeDispatch,
    testing::Values(
        DispatchCase{"ProgramNameOnly", {"zvn_util"}, true, {}, false},
        DispatchCase{"IncompleteCommand", {"zvn_util", "apply_rules"}, true, {}, false},
        DispatchCase{"WronglyCased", {"zvn_util", "Reset_counter", "SETUP_DEFAULT_CHAIN"}, true, {}, false},
        DispatchCase{"UnknownWordsOnly", {"zvn_util", "-x", "reset"}, true, {}, false},
        DispatchCase{"FlagAloneIsNoCommand", {"zvn_util", "--debug"}, true, {}, false},
        DispatchCase{"Silent", {"zvn_util", "reset_counter"}, false, reset_call, false},
        DispatchCase{"DebugBefore", {"zvn_util", "-d", "reset_counter"}, false, reset_call, true},
        DispatchCase{"DebugAfter", {"zvn_util", "reset_counter", "--debug"}, false, reset_call, true},
        DispatchCase{"UpperDIsNotDebug", {"zvn_util", "-D", "reset_counter"}, false, reset_call, false},
        DispatchCase{"LeftmostWins", {"zvn_util", "x", "reset_counter", "setup_default_chain"}, false,
                     reset_call, false},
        DispatchCase{"NameAtPositionZero", {"reset_counter"}, false, reset_call, false},
        DispatchCase{"FlagThenIncomplete", {"zvn_util", "-d", "apply_rules"}, true, {}, false}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

TEST(FakeDispatchMain, EmptyArgumentVectorPrintsNothing)
{
    // The kernel hands a program at least an empty argv[0], so the empty
    // vector is tried on the utility's main itself, in a child process.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        char *argv[] = {nullptr};
        _exit(zvn_util_main(0, argv));
    }
    close(out[1]);
    char buffer[64];
    EXPECT_EQ(read(out[0], buffer, sizeof buffer), 0);
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A failure never exits 0: the raw result's low eight bits when set, else the
// failing command's own exit code.
struct ExitCase {
    int tool_status;
    int exit_status;
};

class FakeExitStatus : public testing::TestWithParam<ExitCase> {
protected:
    void SetUp() override { Fakes::reset(); }
};

TEST_P(FakeExitStatus, ResetCounterFollowsTheTool)
{
    Fakes::answer("iptables-Z", GetParam().tool_status);
    const UtilRun run = run_util({"zvn_util", "-d", "reset_counter"});
    EXPECT_EQ(run.exit_status, GetParam().exit_status);
    // The records keep the raw status.
    EXPECT_EQ(split_lines(run.err).back(),
              "$ /sbin/iptables -Z ZORVANE 1>&2 --> ret=" + std::to_string(GetParam().tool_status * 256));
}

INSTANTIATE_TEST_SUITE_P(Statuses, FakeExitStatus,
                         testing::Values(ExitCase{0, 0}, ExitCase{1, 1}, ExitCase{2, 2}, ExitCase{255, 255}));

TEST(FakeExitStatusOwn, RefusalExits255)
{
    Fakes::reset();
    // "-d" right after apply_rules is its rule set; it also switches the log on.
    const UtilRun run = run_util({"zvn_util", "apply_rules", "-d"});
    EXPECT_EQ(run.exit_status, 255);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "json parse fail\n");
    EXPECT_TRUE(Fakes::calls().empty());
}

TEST(FakeChain, SetupRunsFourCommandsAndIgnoresEveryStatus)
{
    Fakes::reset();
    for (const char *key : {"firewall.sh-prepare", "iptables-N", "iptables-D", "iptables-A"})
        Fakes::answer(key, 1);
    const UtilRun run = run_util({"zvn_util", "setup_default_chain", "-d"});
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{
                                  "firewall.sh prepare",
                                  "iptables -N ZORVANE",
                                  "iptables -D INPUT -m state --state NEW -j ZORVANE",
                                  "iptables -A INPUT -m state --state NEW -j ZORVANE",
                              }));
    std::vector<std::string> records;
    for (const char *cmd : {"/usr/sbin/firewall.sh prepare", "/sbin/iptables -N ZORVANE",
                            "/sbin/iptables -D INPUT -m state --state NEW -j ZORVANE",
                            "/sbin/iptables -A INPUT -m state --state NEW -j ZORVANE"}) {
        records.push_back(std::string("$ ") + cmd + " 1>&2");
        records.push_back(std::string("$ ") + cmd + " 1>&2 --> ret=256");
    }
    EXPECT_EQ(split_lines(run.err), records);
}

TEST(FakeChain, CommandOutputGoesToStandardErrorOnly)
{
    Fakes::reset();
    Fakes::answer("iptables-Z", 0, "zeroing chain `ZORVANE'\n");
    const UtilRun run = run_util({"zvn_util", "reset_counter"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "zeroing chain `ZORVANE'\n");
}

TEST(FakeChain, LibraryIsSilentUntilLogIsEnabled)
{
    Fakes::reset();
    // In this process nothing has called enable_log: the default stream
    // swallows every record while results still come back.
    ASSERT_EQ(&Log_impl.get(), &defaultLog);
    Fakes::answer("iptables-Z", 4);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(reset_counter(), 4 * 256);
    setup_default_chain();
    EXPECT_EQ(zvn_apply_rules_json("not json"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(Fakes::calls().size(), 5u);
}

}  // namespace
}  // namespace zvn_test
