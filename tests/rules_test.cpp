// Rule sets through zvn_apply_rules_json with the fakes: validation records,
// the restore file's lines, and what applying runs, keeps and removes.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "support.h"

namespace zvn_test {
namespace {

class FakeRules : public testing::Test {
protected:
    void SetUp() override { fresh_fake_state(); }
};

// --- validation ------------------------------------------------------------

struct Refusal {
    const char *text;
    std::vector<std::string> records;  // the message; "Dump:" and the dump follow
};

std::string nested(int depth)
{
    return "[{\"allow\":true,\"interface\":" + std::string(static_cast<size_t>(depth), '[') +
           std::string(static_cast<size_t>(depth), ']') + "}]";
}

class FakeValidation : public FakeRules, public testing::WithParamInterface<Refusal> {};

// The messages, their order and the dump are the model's, tested in the
// unit layer; here: a refused text creates no file and runs no command.
TEST_P(FakeValidation, RefusesBeforeAnythingRuns)
{
    const auto &c = GetParam();
    LogCapture log;
    EXPECT_EQ(zvn_apply_rules_json(c.text), -1);
    EXPECT_EQ(log.lines().at(0), c.records.at(0));
    EXPECT_EQ(zvn_last_error_code(), ZVN_ERROR_INVALID);
    EXPECT_TRUE(Fakes::calls().empty());
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

const char *const not_array = "input rules is not an array!";
const char *const not_object = "element is not an object";
const char *const allow_missing = "\"allow\" missing";
const char *const allow_not_bool = "\"allow\" is not a boolean";
const char *const bad_protocol = "\"protocol\" only support tcp/udp/icmp";

INSTANTIATE_TEST_SUITE_P(
    Texts, FakeValidation,
    testing::Values(
        Refusal{"{}", {not_array}}, Refusal{"\"rules\"", {not_array}}, Refusal{"null", {not_array}},
        Refusal{"[1]", {not_object}}, Refusal{"[[]]", {not_object}},
        Refusal{"[{}]", {allow_missing}}, Refusal{"[{\"allow\":1}]", {allow_not_bool}},
        Refusal{"[{\"allow\":\"true\"}]", {allow_not_bool}}, Refusal{"[{\"allow\":null}]", {allow_not_bool}},
        Refusal{"[{\"Allow\":true}]", {allow_missing}},
        // "allow" is looked at before any other key
        Refusal{"[{\"bogus\":1,\"protocol\":\"TCP\"}]", {allow_missing}},
        Refusal{"[{\"allow\":true,\"Allow\":true}]", {"unknown key: \"Allow\""}},
        Refusal{"[{\"allow\":true,\"a\\\"b\":true}]", {"unknown key: \"a\"b\""}},
        // the key that sorts first reports
        Refusal{"[{\"protocol\":\"TCP\",\"allow\":true,\"Allow\":1}]", {"unknown key: \"Allow\""}},
        Refusal{"[{\"protocol\":\"TCP\",\"dports_list\":22,\"allow\":true}]", {"\"dports_list\" is not an array"}},
        Refusal{"[{\"allow\":true},{\"allow\":true,\"protocol\":\"sctp\"}]", {bad_protocol}},
        Refusal{"[{\"allow\":true,\"protocol\":\"TCP\"}]", {bad_protocol}},
        Refusal{"[{\"allow\":true,\"protocol\":\"Udp\"}]", {bad_protocol}},
        Refusal{"[{\"allow\":true,\"src_country\":\"US\"}]", {"\"src_country\" is not an array"}},
        Refusal{"[{\"allow\":true,\"src_country\":[\"US\",1]}]", {"\"src_country\" element is not a string"}},
        Refusal{"[{\"allow\":true,\"src_country\":[\"\",1]}]", {"\"src_country\" element is an empty string"}},
        Refusal{"[{\"allow\":true,\"dports_list\":[\"22\",80]}]", {"\"dports_list\" element is not a string"}},
        Refusal{"[{\"allow\":true,\"dports_list\":[\"\",80]}]", {"\"dports_list\" element is an empty string"}},
        // control characters would break out of the rule's line
        Refusal{"[{\"allow\":true,\"interface\":\"eth0\\n-I INPUT 1 -j ACCEPT\"}]",
                {"\"interface\" contains a control character"}},
        Refusal{"[{\"allow\":false,\"src_IP_cidr\":\"10.0.0.1\\u0000\"}]",
                {"\"src_IP_cidr\" contains a control character"}},
        Refusal{"[{\"allow\":false,\"src_IP_range\":\"10.0.0.1-10.0.0.9\\u007f\"}]",
                {"\"src_IP_range\" contains a control character"}},
        Refusal{"[{\"allow\":false,\"src_country\":[\"U\\tS\"]}]",
                {"\"src_country\" element contains a control character"}},
        Refusal{"[{\"allow\":false,\"dports_list\":[\"22\\r\",5]}]",
                {"\"dports_list\" element contains a control character"}},
        Refusal{"[{\"allow\":false,\"dports_list\":[5,\"22\\n\"]}]", {"\"dports_list\" element is not a string"}},
        Refusal{"[{\"allow\":true,\"interface\":\"x\\n\",\"dports_list\":[\"1\\n\"]}]",
                {"\"dports_list\" element contains a control character"}}));

TEST_F(FakeRules, DumpIsIndentedByOneBlank)
{
    LogCapture log;
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\": 1}]"), -1);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{allow_not_bool, "Dump:", "[", " {", "  \"allow\": 1", " }", "]"}));
}

TEST_F(FakeRules, ParseFailuresRunNothing)
{
    for (const char *text : {"", "[", "[] x", "not json", "[{\"allow\":true,}]"}) {
        LogCapture log;
        EXPECT_EQ(zvn_apply_rules_json(text), -1) << text;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"json parse fail"}) << text;
    }
    EXPECT_EQ(zvn_apply_rules_json(nullptr), -1);
    EXPECT_TRUE(Fakes::calls().empty());
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

TEST_F(FakeRules, DeeplyNestedRuleSetIsRefusedWithoutDump)
{
    // Dumping it would recurse once per level and overflow the stack.
    LogCapture log;
    const std::string deep = "[" + std::string(200000, '[') + std::string(200000, ']') + "]";
    EXPECT_EQ(zvn_apply_rules_json(deep.c_str()), -1);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{not_object, "Dump:", "(not dumped: nested deeper than 512 levels)"}));
    EXPECT_TRUE(Fakes::calls().empty());
}

TEST_F(FakeRules, AcceptsWhatOnlyLooksOdd)
{
    for (const std::string &text : std::vector<std::string>{
             "[]", "[{\"allow\":true}]", "[{\"allow\":false}]",
             "[{\"allow\":true,\"protocol\":\"\"}]", "[{\"allow\":true,\"protocol\":6}]",
             "[{\"allow\":true,\"protocol\":null,\"interface\":5,\"src_IP_cidr\":{},\"src_IP_range\":null}]",
             "[{\"allow\":true,\"src_country\":[],\"dports_list\":[]}]",
             "[{\"allow\":true,\"protocol\":\"icmp\",\"dports_list\":[\"abc\"]}]",
             "[{\"allow\":false,\"src_IP_cidr\":\"1.2.3.4\",\"src_IP_range\":\"1.1.1.1-1.1.1.2\",\"src_country\":[\"US\"]}]",
             "[{\"allow\":true,\"interface\":\"a b,\\\"c\\\" \\u00e9\"}]", nested(500), nested(100000)}) {
        LogCapture log;
        EXPECT_EQ(zvn_apply_rules_json(text.c_str()), 0) << text;
        EXPECT_EQ(normalise_paths(log.lines().at(0)), "using restore_filename: FILE") << text;
    }
}

// --- translation -----------------------------------------------------------

// The check is a pure stage (its findings are tested in the unit layer):
// it runs no command and leaves no file, whatever the rule set.
TEST_F(FakeRules, CheckRunsNothing)
{
    std::vector<char> findings(1 << 16);
    for (const char *text : {"[]", "[{\"allow\":true}]", "[{\"src_IP_cidr\":\"999.1.1.1\",\"allow\":false}]", "[1]", "["})
        zvn_check_rules_json(text, findings.data(), findings.size());
    EXPECT_TRUE(Fakes::calls().empty());
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

std::string sample_rules()
{
    return read_file(ZVN_SOURCE_DIR "/tests/data/sample_rules.json");
}

TEST_F(FakeRules, SampleGivesTheTwentyTwoLines)
{
    ASSERT_EQ(zvn_apply_rules_json(sample_rules().c_str()), 0);
    EXPECT_EQ(Fakes::restore_copy(1), read_file(ZVN_SOURCE_DIR "/tests/data/sample_restore.txt"));
    EXPECT_EQ(Fakes::restore_copy(2), Fakes::restore_copy(1));
}

// --- applying --------------------------------------------------------------

std::vector<std::string> records_of(const std::vector<std::string> &commands)
{
    std::vector<std::string> records{"using restore_filename: FILE"};
    for (const auto &cmd : commands) {
        records.push_back("$ " + cmd + " 1>&2");
        records.push_back("$ " + cmd + " 1>&2 --> ret=0");
    }
    return records;
}

TEST_F(FakeRules, SuccessInstallsInOneCommitThenEmptiesTheLog)
{
    LogCapture log;
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\":false}]"), 0);
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables-restore --test FILE", "iptables-restore -n FILE"}));
    EXPECT_EQ(split_lines(normalise_paths(log.text())),
              records_of({"/sbin/iptables-restore --test FILE", "/sbin/iptables-restore -n FILE",
                          "echo -n > /var/log/ulogd_syslogemu.log"}));
    // one file for both runs, private while it existed, removed after
    const std::string path = log.lines().at(0).substr(std::string("using restore_filename: ").size());
    EXPECT_NE(log.text().find("--test " + path + " 1>&2"), std::string::npos);
    EXPECT_NE(log.text().find("-n " + path + " 1>&2"), std::string::npos);
    EXPECT_EQ(Fakes::restore_mode(1), "600");
    EXPECT_TRUE(restore_files_in_tmp().empty());
    EXPECT_EQ(read_file(drop_log), "");
}

struct FailedRun {
    const char *failing;  // fake key
    int tool_status;
    std::vector<std::string> calls;
};

class FakeApplyFailure : public FakeRules, public testing::WithParamInterface<FailedRun> {};

TEST_P(FakeApplyFailure, KeepsRulesLogAndFile)
{
    Fakes::answer(GetParam().failing, GetParam().tool_status);
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\":true}]"), GetParam().tool_status * 256);
    EXPECT_EQ(Fakes::calls(), GetParam().calls);
    EXPECT_EQ(read_file(drop_log), old_drop_log);
    const auto kept = restore_files_in_tmp();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(read_file(kept[0]), "*filter\n:ZORVANE - [0:0]\n-A ZORVANE ! -i lo -j ACCEPT\nCOMMIT\n");
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FakeApplyFailure,
    testing::Values(FailedRun{"restore-test", 2, {"iptables-restore --test FILE"}},
                    FailedRun{"restore-test", 1, {"iptables-restore --test FILE"}},
                    FailedRun{"restore-n", 1, {"iptables-restore --test FILE", "iptables-restore -n FILE"}},
                    FailedRun{"restore-n", 4, {"iptables-restore --test FILE", "iptables-restore -n FILE"}}));

// The drop log is emptied only where it is a regular file: whatever else
// stands at its path (a planted link, a FIFO that would block the call and
// its lock, a directory) is left alone with a record, and the apply goes on.
struct DropLogPath {
    const char *name;
    const char *make;  // shell commands that put something at the path
    const char *check;  // shell test that it is as it was afterwards
    const char *record;  // "" where the log is simply emptied
};

class FakeDropLog : public FakeRules, public testing::WithParamInterface<DropLogPath> {};

TEST_P(FakeDropLog, OnlyARegularFileIsEmptied)
{
    const auto &c = GetParam();
    shell(std::string("rm -rf /var/log/ulogd_syslogemu.log /tmp/target; ") + c.make);
    LogCapture log;
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\":false}]"), 0);
    int status = 0;
    shell(c.check, &status);
    EXPECT_EQ(status, 0) << c.check;
    const auto lines = log.lines();
    const std::string clearing = "$ echo -n > /var/log/ulogd_syslogemu.log 1>&2";
    EXPECT_NE(std::find(lines.begin(), lines.end(), clearing), lines.end());
    if (*c.record == '\0') {
        EXPECT_NE(std::find(lines.begin(), lines.end(), clearing + " --> ret=0"), lines.end()) << log.text();
    } else {
        EXPECT_NE(log.text().find(c.record), std::string::npos) << log.text();
        EXPECT_NE(std::find(lines.begin(), lines.end(), clearing + " --> ret=512"), lines.end()) << log.text();
    }
    shell("rm -rf /var/log/ulogd_syslogemu.log /tmp/target");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FakeDropLog,
    testing::Values(
        DropLogPath{"RegularFile", "echo old > /var/log/ulogd_syslogemu.log",
                    "test -f /var/log/ulogd_syslogemu.log && test ! -s /var/log/ulogd_syslogemu.log", ""},
        DropLogPath{"Missing", "true", "test -f /var/log/ulogd_syslogemu.log", ""},
        DropLogPath{"LinkToAFile", "echo keep > /tmp/target && ln -s /tmp/target /var/log/ulogd_syslogemu.log",
                    "test \"$(cat /tmp/target)\" = keep && test -L /var/log/ulogd_syslogemu.log",
                    "is not a regular file (a symbolic link): it was left alone"},
        DropLogPath{"DanglingLink", "ln -s /tmp/target /var/log/ulogd_syslogemu.log", "test ! -e /tmp/target",
                    "(a symbolic link)"},
        DropLogPath{"Fifo", "mkfifo /var/log/ulogd_syslogemu.log", "test -p /var/log/ulogd_syslogemu.log",
                    "(a FIFO): it was left alone"},
        DropLogPath{"Directory", "mkdir /var/log/ulogd_syslogemu.log", "test -d /var/log/ulogd_syslogemu.log",
                    "(a directory): it was left alone"}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

// A /tmp that refuses the file stops the call before any command runs.
struct BadTmp {
    const char *mount_options;
    int rule_count;
    const char *record_start;
    const char *error_text;
    size_t record_count;  // a file that was created is named first
};

class FakeBadTmp : public FakeRules, public testing::WithParamInterface<BadTmp> {
protected:
    void TearDown() override { umount("/tmp"); }
};

TEST_P(FakeBadTmp, RefusesAndLeavesNothing)
{
    const auto &c = GetParam();
    ASSERT_EQ(mount("tmpfs", "/tmp", "tmpfs", 0, c.mount_options), 0);
    std::string rules = "[";
    for (int i = 0; i < c.rule_count; ++i)
        rules += std::string(i ? "," : "") + "{\"allow\":false,\"interface\":\"eth" + std::to_string(i) + "\"}";
    rules += "]";
    LogCapture log;
    EXPECT_EQ(zvn_apply_rules_json(rules.c_str()), -1);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), c.record_count);
    EXPECT_EQ(lines.back().rfind(c.record_start, 0), 0u) << lines.back();
    EXPECT_NE(lines.back().find(c.error_text), std::string::npos) << lines.back();
    EXPECT_TRUE(Fakes::calls().empty());
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Mounts, FakeBadTmp,
    testing::Values(BadTmp{"ro", 1, "cannot create restore file /tmp/iptables_zorvane_", "Read-only file system", 1},
                    BadTmp{"size=4k", 2000, "cannot write restore file /tmp/iptables_zorvane_",
                           "No space left on device", 2}));

}  // namespace
}  // namespace zvn_test
