// Counts from one listing of the whole chain, with the fakes: what is run,
// how listings of both back ends parse, and the result codes.
#include <gtest/gtest.h>

#include <cstring>

#include "support.h"

namespace zvn_test {
namespace {

const char *const chain_header = "Chain ZORVANE (1 references)\n";
const char *const column_header =
    "num      pkts      bytes target     prot opt in     out     source               destination         \n";

std::string numbered(int num, const std::string &pkts)
{
    return std::to_string(num) + "     " + pkts + "     8400 ACCEPT     all  --  *      *       0.0.0.0/0            0.0.0.0/0           \n";
}

struct Snapshot {
    const char *name;
    const char *rules;
    std::string listing;
    int result;
    std::string array;
    std::vector<std::string> records;  // after the listing's two records
};

class FakeSnapshot : public testing::TestWithParam<Snapshot> {
protected:
    void SetUp() override
    {
        Fakes::reset();
        remove_restore_files_in_tmp();
    }
};

TEST_P(FakeSnapshot, MapsNumberedLinesToRules)
{
    const auto &c = GetParam();
    Fakes::answer_output("list-all", c.listing);
    char buffer[256];
    LogCapture log;
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(c.rules, buffer, sizeof buffer), c.result);
    EXPECT_EQ(std::string(buffer), c.array);
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables-restore --test FILE",
                                                        "iptables -vnx -L ZORVANE --line-numbers"}));
    auto lines = split_lines(normalise_paths(log.text()));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[3], "popen --> /sbin/iptables -vnx -L ZORVANE --line-numbers");
    EXPECT_EQ(lines[4], "popen --> /sbin/iptables -vnx -L ZORVANE --line-numbers --> ret=0");
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 5, lines.end()), c.records);
    EXPECT_TRUE(restore_files_in_tmp().empty());
}

const char *const allow_drop_allow = "[{\"allow\":true},{\"allow\":false},{\"allow\":true}]";
const char *const three_allow = "[{\"allow\":true},{\"allow\":true},{\"allow\":true}]";
const std::string full = std::string(chain_header) + column_header + numbered(1, "5") + numbered(2, "0") +
                         numbered(3, "3") + numbered(4, "9");

INSTANTIATE_TEST_SUITE_P(
    Listings, FakeSnapshot,
    testing::Values(
        Snapshot{"HeadersSkipped", allow_drop_allow, full, 0, "[5,3,9]", {}},
        Snapshot{"NoTrailingNewline", allow_drop_allow, full.substr(0, full.size() - 1), 0, "[5,3,9]", {}},
        Snapshot{"ToolWarningIgnored", allow_drop_allow,
                 "# Warning: iptables-legacy tables present, use iptables-legacy to see them\n" + full, 0,
                 "[5,3,9]", {}},
        Snapshot{"LargestCount", "[{\"allow\":true}]", numbered(1, "18446744073709551615"), 0,
                 "[18446744073709551615]", {}},
        Snapshot{"MissingPosition", three_allow, std::string(chain_header) + numbered(1, "1") + numbered(2, "2"), -1,
                 "[1,2,\"error\"]", {"rule line 3 is missing from the listing"}},
        Snapshot{"EmptyListing", "[{\"allow\":false}]", "", -1, "[\"error\"]",
                 {"rule line 2 is missing from the listing"}},
        Snapshot{"CountTooLarge", three_allow,
                 numbered(1, "1") + numbered(2, "18446744073709551616") + numbered(3, "3"), -1,
                 "[1,\"error\",3]", {"rule line 2 cannot be parsed"}},
        Snapshot{"CountNotDigits", three_allow, numbered(1, "1") + numbered(2, "-5") + numbered(3, "3x"), -1,
                 "[1,\"error\",\"error\"]", {"rule line 2 cannot be parsed", "rule line 3 cannot be parsed"}},
        Snapshot{"TruncatedLine", three_allow, numbered(1, "1") + "2\n" + numbered(3, "3"), -1,
                 "[1,\"error\",3]", {"rule line 2 cannot be parsed"}},
        Snapshot{"RepeatedNumber", three_allow, numbered(1, "1") + numbered(2, "2") + numbered(2, "7") + numbered(3, "3"),
                 -1, "[1,\"error\",3]", {"rule line 2 cannot be parsed"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FakeSnapshotResults, FailedListingMakesEveryElementAnError)
{
    Fakes::reset();
    Fakes::answer("list-all", 1, std::string(chain_header) + numbered(1, "4"));
    char buffer[64];
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[{\"allow\":true},{\"allow\":false}]", buffer, sizeof buffer), 256);
    EXPECT_STREQ(buffer, "[\"error\",\"error\"]");
}

TEST(FakeSnapshotResults, EmptyRuleSetListsNothing)
{
    Fakes::reset();
    char buffer[3];
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[]", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "[]");
    EXPECT_EQ(Fakes::calls(), std::vector<std::string>{"iptables-restore --test FILE"});
}

TEST(FakeSnapshotResults, RefusalsLeaveTheBuffer)
{
    Fakes::reset();
    Fakes::answer_output("list-all", numbered(1, "12345"));
    char buffer[8] = "intact";
    LogCapture log;
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[{\"allow\":true}]", buffer, 7), -1);  // "[12345]" needs 8
    EXPECT_EQ(log.lines().back(), "size_n is too small");
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("{}", buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_get_rule_count_snapshot_json(nullptr, buffer, sizeof buffer), -1);
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[]", nullptr, 8), -1);
    EXPECT_STREQ(buffer, "intact");
    Fakes::answer("restore-test", 2);
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[{\"allow\":true}]", buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "intact");
    EXPECT_EQ(zvn_get_rule_count_snapshot_json("[{\"allow\":true}]", buffer, 8), -1);
}

}  // namespace
}  // namespace zvn_test
