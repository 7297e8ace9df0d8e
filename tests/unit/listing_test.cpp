// The chain listing: its parser (numbered lines, headers and warnings
// passed over, a number twice, pieces as they arrive) and the proof that a
// listing holds a rule set, line for line, naming the first rule that
// differs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zorvane_internal.h"

namespace zvn_unit {
namespace {

const std::string header =
    "Chain ZORVANE (1 references)\n"
    "num      pkts      bytes target     prot opt in     out     source               destination\n";

zvn::ChainListingParser parse(const std::string &listing)
{
    zvn::ChainListingParser parser;
    // fed in pieces that cut lines anywhere, as a pipe delivers them
    for (std::size_t end = 7; end < listing.size(); end += 7)
        parser.feed(listing.substr(0, end));
    parser.finish(listing);
    return parser;
}

TEST(Listing, ParsesNumberedLinesOnly)
{
    const std::string listing = header +
                                "1        5      300 ACCEPT     6    --  eth3   *       10.0.0.0/24          0.0.0.0/0\n"
                                "iptables: a warning of the tool\n"
                                "2        0        0 NFLOG      0    --  !lo    *       0.0.0.0/0            0.0.0.0/0            nflog-prefix \"RULE=2 ACT=DROP\"\n"
                                "3 18446744073709551615 0 DROP 0 -- !lo * 0.0.0.0/0 0.0.0.0/0";
    const auto parser = parse(listing);
    const auto &lines = parser.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[1].readable);
    EXPECT_EQ(lines[1].packets, 5u);
    EXPECT_EQ(lines[1].target.in(listing), "ACCEPT");
    EXPECT_EQ(lines[1].in.in(listing), "eth3");
    EXPECT_EQ(lines[1].source.in(listing), "10.0.0.0/24");
    EXPECT_EQ(lines[2].extra.in(listing), "nflog-prefix \"RULE=2 ACT=DROP\"");
    EXPECT_EQ(lines[3].packets, 18446744073709551615ULL);
}

TEST(Listing, UnreadableAndRepeatedLinesAreNotCounts)
{
    const std::string listing = header + "1 five 0 ACCEPT 0 -- !lo * 0.0.0.0/0 0.0.0.0/0\n"
                                         "2 1 0 ACCEPT 0 -- !lo * 0.0.0.0/0 0.0.0.0/0\n"
                                         "2 1 0 ACCEPT 0 -- !lo * 0.0.0.0/0 0.0.0.0/0\n"
                                         "3 99999999999999999999 0 ACCEPT 0 -- !lo * 0.0.0.0/0 0.0.0.0/0\n";
    const auto parser = parse(listing);
    const auto &lines = parser.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_FALSE(lines[1].readable);
    EXPECT_TRUE(lines[2].repeated);
    EXPECT_FALSE(lines[2].readable);
    EXPECT_FALSE(lines[3].readable);
}

struct Proof {
    const char *name;
    const char *rules;
    std::string listing;  // after the header
    const char *mismatch;  // "" when the chain holds the set; else a part of the record
};

class ListingProof : public testing::TestWithParam<Proof> {};

TEST_P(ListingProof, NamesTheFirstRuleThatDiffers)
{
    const auto &c = GetParam();
    zvn::ParsedRuleSet parsed;
    ASSERT_TRUE(zvn::parse_and_validate(c.rules, parsed));
    const std::string listing = header + c.listing;
    const zvn::Layout flat = zvn::compile_layout(parsed.set, zvn::ipv4, zvn::LayoutChoice::flat);
    const std::string mismatch =
        zvn::listing_mismatch(zvn::expected_chain(parsed.set, zvn::ipv4, flat, 0), parse(listing), listing, zvn::ipv4);
    if (*c.mismatch == '\0')
        EXPECT_EQ(mismatch, "");
    else
        EXPECT_NE(mismatch.find(c.mismatch), std::string::npos) << mismatch;
}

const char *const two_rules = R"([{"interface":"eth3","src_IP_cidr":"10.0.0.1/24","protocol":"tcp","allow":true},{"allow":false}])";
const std::string accept_line = "1 0 0 ACCEPT 6 -- eth3 * 10.0.0.0/24 0.0.0.0/0\n";
const std::string nflog_line = "2 0 0 NFLOG 0 -- !lo * 0.0.0.0/0 0.0.0.0/0 nflog-prefix \"RULE=2 ACT=DROP\"\n";
const std::string drop_line = "3 0 0 DROP 0 -- !lo * 0.0.0.0/0 0.0.0.0/0\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, ListingProof,
    testing::Values(
        Proof{"Holds", two_rules, accept_line + nflog_line + drop_line, ""},
        Proof{"Empty", two_rules, "", "rule 1 does not match the chain: the chain holds 0 rule lines, its line 1 is missing"},
        Proof{"OtherSource", two_rules, "1 0 0 ACCEPT 6 -- eth3 * 10.0.1.0/24 0.0.0.0/0\n" + nflog_line + drop_line,
              "line 1 has source \"10.0.1.0/24\""},
        Proof{"OtherInterface", two_rules, "1 0 0 ACCEPT 6 -- eth2 * 10.0.0.0/24 0.0.0.0/0\n" + nflog_line + drop_line,
              "in-interface \"eth2\""},
        Proof{"OtherProtocol", two_rules, "1 0 0 ACCEPT 17 -- eth3 * 10.0.0.0/24 0.0.0.0/0\n" + nflog_line + drop_line,
              "protocol \"17\""},
        Proof{"OtherPrefix", two_rules,
              accept_line + "2 0 0 NFLOG 0 -- !lo * 0.0.0.0/0 0.0.0.0/0 nflog-prefix \"RULE=9 ACT=DROP\"\n" + drop_line,
              "rule 2 does not match the chain: line 2 has log prefix"},
        Proof{"Ports", R"([{"protocol":"tcp","dports_list":["022","80:90"],"allow":true}])",
              "1 0 0 ACCEPT 6 -- !lo * 0.0.0.0/0 0.0.0.0/0 multiport dports 22,80:90\n", ""},
        Proof{"OtherPorts", R"([{"protocol":"tcp","dports_list":["22"],"allow":true}])",
              "1 0 0 ACCEPT 6 -- !lo * 0.0.0.0/0 0.0.0.0/0 multiport dports 23\n", "line 1 has ports"},
        Proof{"PortsTheRuleHasNot", R"([{"protocol":"tcp","allow":true}])",
              "1 0 0 ACCEPT 6 -- !lo * 0.0.0.0/0 0.0.0.0/0 multiport dports 22\n", "line 1 has matches"},
        Proof{"AnotherMatch", two_rules, accept_line + nflog_line + "3 0 0 DROP 0 -- !lo * 0.0.0.0/0 0.0.0.0/0 limit: avg 1/sec\n",
              "rule 2 does not match the chain: line 3 has matches \"limit: avg 1/sec\""},
        Proof{"ExtraLine", two_rules, accept_line + nflog_line + drop_line + "4 0 0 ACCEPT 0 -- !lo * 0.0.0.0/0 0.0.0.0/0\n",
              "line 4 belongs to no rule"}),
    [](const auto &case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace zvn_unit
