// Per-rule packet counts with the fakes: positions read, parsing of the
// listings, result codes, the caller's buffer, and the utility's test commands.
#include <gtest/gtest.h>

#include <cstring>

#include "support.h"

namespace zvn_test {
namespace {

class FakeCounts : public testing::Test {
protected:
    void SetUp() override
    {
        Fakes::reset();
        remove_restore_files_in_tmp();
    }
    // Position p answers with count 10 * p.
    static void answer_every_position(int last)
    {
        for (int p = 1; p <= last; ++p)
            Fakes::answer_output("list-" + std::to_string(p),
                                 "   " + std::to_string(10 * p) + "     840 ACCEPT     all  --  *      *       0.0.0.0/0            0.0.0.0/0\n");
    }
};

std::string rules_of(const std::vector<bool> &allows)
{
    std::string text = "[";
    for (size_t i = 0; i < allows.size(); ++i)
        text += std::string(i ? "," : "") + "{\"allow\":" + (allows[i] ? "true" : "false") + "}";
    return text + "]";
}

std::string listing(int position)
{
    return "iptables -vn -L ZORVANE " + std::to_string(position) + " --exact";
}

struct Positions {
    const char *name;
    std::string rules;
    std::vector<int> positions;
};

class FakeCountPositions : public FakeCounts, public testing::WithParamInterface<Positions> {};

TEST_P(FakeCountPositions, ReadsTheLastLineOfEachRule)
{
    answer_every_position(40);
    char buffer[2048];
    ASSERT_EQ(zvn_get_rule_count_json(GetParam().rules.c_str(), buffer, sizeof buffer), 0);
    std::vector<std::string> calls{"iptables-restore --test FILE"};
    std::string expected = "[";
    for (const int p : GetParam().positions) {
        calls.push_back(listing(p));
        expected += (expected.size() > 1 ? "," : "") + std::to_string(10 * p);
    }
    EXPECT_EQ(Fakes::calls(), calls);
    EXPECT_EQ(std::string(buffer), expected + "]");
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

INSTANTIATE_TEST_SUITE_P(
    RuleSets, FakeCountPositions,
    testing::Values(Positions{"Empty", "[]", {}},
                    Positions{"OneDropping", rules_of({false}), {2}},
                    Positions{"Mixed", rules_of({true, false, false, true}), {1, 3, 5, 6}},
                    Positions{"Sample", read_file(ZVN_SOURCE_DIR "/tests/data/sample_rules.json"),
                              {1, 2, 3, 5, 7, 9, 11, 12, 14, 16, 18, 19}}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

TEST_F(FakeCounts, TestFileNumbersEveryDropZero)
{
    char buffer[64];
    zvn_get_rule_count_json(rules_of({true, false, false}).c_str(), buffer, sizeof buffer);
    EXPECT_EQ(Fakes::restore_copy(1), "*filter\n:ZORVANE - [0:0]\n-A ZORVANE ! -i lo -j ACCEPT\n"
                                      "-A ZORVANE ! -i lo -j NFLOG --nflog-prefix  \"RULE=0 ACT=DROP\"\n"
                                      "-A ZORVANE ! -i lo -j DROP\n"
                                      "-A ZORVANE ! -i lo -j NFLOG --nflog-prefix  \"RULE=0 ACT=DROP\"\n"
                                      "-A ZORVANE ! -i lo -j DROP\nCOMMIT\n");
    EXPECT_EQ(Fakes::restore_mode(1), "600");
}

// --- the caller's buffer -------------------------------------------------------

TEST_F(FakeCounts, BufferMustHoldTextAndNul)
{
    answer_every_position(1);  // "[10]": four characters and the NUL
    struct Case {
        size_t size_n;
        int result;
    };
    for (const Case c : {Case{5, 0}, Case{4, -1}, Case{1, -1}, Case{0, -1}}) {
        char buffer[16];
        std::memset(buffer, 'x', sizeof buffer);
        LogCapture log;
        EXPECT_EQ(zvn_get_rule_count_json(rules_of({true}).c_str(), buffer, c.size_n), c.result) << c.size_n;
        if (c.result == 0) {
            EXPECT_STREQ(buffer, "[10]");
        } else {
            EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'x'));
            EXPECT_EQ(log.lines().back(), "size_n is too small");
        }
        EXPECT_EQ(buffer[5], 'x');  // never past the text
    }
    char small[3];
    EXPECT_EQ(zvn_get_rule_count_json("[]", small, 3), 0);
    EXPECT_STREQ(small, "[]");
    EXPECT_EQ(zvn_get_rule_count_json("[]", small, 2), -1);
}

// --- listings that fail ----------------------------------------------------------

struct Answer {
    int status;
    std::string out;
};

struct Failure {
    const char *name;
    std::vector<Answer> answers;  // positions 1, 2, ... of allowing rules
    int result;
    std::string array;
    std::vector<std::string> extra_records;  // after each listing's two records, by position
};

class FakeCountFailures : public FakeCounts, public testing::WithParamInterface<Failure> {};

TEST_P(FakeCountFailures, FirstFailureDecides)
{
    const auto &c = GetParam();
    for (size_t i = 0; i < c.answers.size(); ++i) {
        const std::string key = "list-" + std::to_string(i + 1);
        Fakes::answer(key, c.answers[i].status);
        Fakes::answer_output(key, c.answers[i].out);
    }
    char buffer[256];
    LogCapture log;
    EXPECT_EQ(zvn_get_rule_count_json(rules_of(std::vector<bool>(c.answers.size(), true)).c_str(), buffer,
                                      sizeof buffer),
              c.result);
    EXPECT_EQ(std::string(buffer), c.array);
    std::vector<std::string> records{"using restore_filename: FILE",
                                     "$ /sbin/iptables-restore --test FILE 1>&2",
                                     "$ /sbin/iptables-restore --test FILE 1>&2 --> ret=0"};
    for (size_t i = 0; i < c.answers.size(); ++i) {
        const std::string cmd = "/sbin/" + listing(static_cast<int>(i + 1));
        records.push_back("popen --> " + cmd);
        records.push_back("popen --> " + cmd + " --> ret=" + std::to_string(c.answers[i].status * 256));
        if (!c.extra_records[i].empty())
            records.push_back(c.extra_records[i]);
    }
    EXPECT_EQ(split_lines(normalise_paths(log.text())), records);
}

const std::string line7 = "       7      420 ACCEPT     all  --  *      *       0.0.0.0/0            0.0.0.0/0";
const char *const empty = "iptables list stdout is empty";
const char *const unparsed = "Parsing iptable_stdout error";

INSTANTIATE_TEST_SUITE_P(
    Listings, FakeCountFailures,
    testing::Values(
        Failure{"AllRead", {{0, line7}, {0, line7}}, 0, "[7,7]", {"", ""}},
        Failure{"ExitOne", {{1, line7}, {0, line7}}, 256, "[\"error\",7]", {"", ""}},
        Failure{"MissingProgram", {{0, line7}, {127, ""}}, 127 * 256, "[7,\"error\"]", {"", ""}},
        Failure{"Empty", {{0, ""}, {0, line7}}, -1, "[\"error\",7]", {empty, ""}},
        Failure{"LineFeedOnly", {{0, "\n"}}, -1, "[\"error\"]", {empty}},
        Failure{"NoNumber", {{0, "no counter here\n"}}, -1, "[\"error\"]", {unparsed}},
        Failure{"StatusThenEmpty", {{1, ""}, {0, ""}}, 256, "[\"error\",\"error\"]", {"", empty}},
        Failure{"EmptyThenStatus", {{0, ""}, {2, ""}}, -1, "[\"error\",\"error\"]", {empty, ""}}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

// --- the first number of a listing ---------------------------------------------

struct Token {
    const char *name;
    std::string out;
    std::string element;
};

class FakeCountTokens : public FakeCounts, public testing::WithParamInterface<Token> {};

TEST_P(FakeCountTokens, TakesTheFirstConvertibleToken)
{
    Fakes::answer_output("list-1", GetParam().out);
    char buffer[64];
    zvn_get_rule_count_json(rules_of({true}).c_str(), buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer), "[" + GetParam().element + "]");
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, FakeCountTokens,
    testing::Values(Token{"Listing", line7 + "\n", "7"},
                    Token{"TooLargeSkipped", "   18446744073709551616 5 ACCEPT", "5"},
                    Token{"LargestTaken", "18446744073709551615 3", "18446744073709551615"},
                    Token{"ParenthesisSkipped", "(12) 9", "9"},
                    Token{"TrailingLettersIgnored", "12abc 3", "12"},
                    Token{"LineFeedInsideToken", "counter\n 42", "42"},
                    Token{"LineFeedJoinsWords", "x\n9", "\"error\""},
                    Token{"LongLineReadWhole", std::string(600, 'a') + " 77\n", "77"},
                    Token{"NumberAcrossReads", std::string(509, ' ') + "123456 x\n", "123456"}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

// --- refusals ----------------------------------------------------------------

TEST_F(FakeCounts, RejectedTestRunReadsNothing)
{
    Fakes::answer("restore-test", 2);
    char buffer[8] = "intact";
    EXPECT_EQ(zvn_get_rule_count_json(rules_of({true}).c_str(), buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "intact");
    EXPECT_EQ(Fakes::calls(), std::vector<std::string>{"iptables-restore --test FILE"});
    EXPECT_EQ(restore_files_in_tmp().size(), 1u);
}

TEST_F(FakeCounts, RefusedTextsRunNothing)
{
    char buffer[8] = "intact";
    for (const char *text : {"", "[] x", "{}", "[{\"allow\":true,\"dports_list\":[\"1\\n\"]}]"})
        EXPECT_EQ(zvn_get_rule_count_json(text, buffer, sizeof buffer), -1) << text;
    EXPECT_EQ(zvn_get_rule_count_json(nullptr, buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_get_rule_count_json("[]", nullptr, 8), -1);
    EXPECT_STREQ(buffer, "intact");
    EXPECT_TRUE(Fakes::calls().empty());
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

// --- the utility's test commands ---------------------------------------------------

TEST_F(FakeCounts, TestApplyRulesPrintsSampleAndResult)
{
    const std::string sample = read_file(ZVN_SOURCE_DIR "/tests/data/sample_rules.json");
    ASSERT_EQ(sample.size(), 1050u);
    UtilRun run = run_util({"zvn_util", "test_apply_rules"});
    EXPECT_EQ(run.out, "Test:\n" + sample + "\nret=0\n");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(Fakes::restore_copy(1), read_file(ZVN_SOURCE_DIR "/tests/data/sample_restore.txt"));

    Fakes::answer("restore-test", 2);
    run = run_util({"zvn_util", "test_apply_rules"});
    EXPECT_EQ(run.out, "Test:\n" + sample + "\nret=512\n");
    EXPECT_EQ(run.exit_status, 2);
}

TEST_F(FakeCounts, TestGetRuleCountPrintsOutputOnlyOnSuccess)
{
    answer_every_position(19);
    UtilRun run = run_util({"zvn_util", "test_get_rule_count"});
    EXPECT_EQ(run.out, "ret=0\noutput=[10,20,30,50,70,90,110,120,140,160,180,190]\n");
    EXPECT_EQ(run.exit_status, 0);

    Fakes::answer("list-5", 3);
    run = run_util({"zvn_util", "test_get_rule_count"});
    EXPECT_EQ(run.out, "ret=768\n");
    EXPECT_EQ(run.exit_status, 3);

    Fakes::answer("restore-test", 1);
    run = run_util({"zvn_util", "test_get_rule_count"});
    EXPECT_EQ(run.out, "ret=-1\n");
    EXPECT_EQ(run.exit_status, 255);
}

}  // namespace
}  // namespace zvn_test
