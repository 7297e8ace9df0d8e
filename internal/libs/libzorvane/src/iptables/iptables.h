// The packet filter of the iptables tools: their paths, their text (the
// restore files the library writes, the listings it reads, the chain texts
// it takes) and the runs of the programs. The fake, which holds the same
// tables in memory, speaks the same text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../packet_filter.h"

namespace zvn {

// Every path of the tools and the preparation script, in one table.
namespace tools {
constexpr const char *iptables = "/sbin/iptables";
constexpr const char *iptables_restore = "/sbin/iptables-restore";
constexpr const char *iptables_save = "/sbin/iptables-save";
constexpr const char *ip6tables = "/sbin/ip6tables";
constexpr const char *ip6tables_restore = "/sbin/ip6tables-restore";
constexpr const char *ip6tables_save = "/sbin/ip6tables-save";
constexpr const char *firewall_script = "/usr/sbin/firewall.sh";
constexpr const char *xtables_monitor = "/usr/sbin/xtables-monitor";
constexpr const char *stdbuf = "/usr/bin/stdbuf";
constexpr const char *ipset = "/usr/sbin/ipset";
constexpr const char *restore_file_prefix = "/tmp/iptables_zorvane_";
constexpr const char *restore6_file_prefix = "/tmp/ip6tables_zorvane_";
}  // namespace tools

// A family's tools.
struct FamilyTools {
    const char *tool, *restore_tool, *save_tool, *file_prefix;
    const char *icmp;  // the protocol "icmp" means in the family
};
const FamilyTools &tools_of(const Family &family);

// --- the text, shared with the fake ---------------------------------------

// The whole restore text of a layout (see PacketFilter::restore_text).
std::string iptables_restore_text(const RuleSet &set, const Layout &layout, Numbering numbering,
                                  const Family &family, unsigned log_limit, const StandingLayout &standing,
                                  std::vector<std::uint32_t> *line_rules,
                                  const std::vector<std::string> *country_sets = nullptr);
std::string iptables_failsafe_text(const RuleSet &allows, const Family &family, unsigned log_limit);
// The options that put a log limit on a logging line of its own
// (" -m limit --limit N/sec --limit-burst N"); "" without a limit.
std::string log_limit_options(unsigned per_second);
// The restore lines that take away every chain of standing that keeping
// has not (in the order of standing).
std::string taken_away(const std::vector<std::string> &standing, const std::vector<std::string> &keeping);
// An "-A CHAIN ..." line (of a save listing, of "-S", of a restore text
// written the tool's way) read into meanings.
ToolLine iptables_read_line(std::string_view text);
// The chain an "-A CHAIN ..." line appends to; "" for any other line.
std::string_view appended_chain(std::string_view line);
// A save listing ("*filter", ":CHAIN POLICY [p:b]", "[p:b] -A ...",
// "COMMIT") into a table (an empty one where it holds none). Where the
// listing was asked with counters, a line without readable ones is kept,
// marked so.
bool read_saved_table(std::string listing, FilterTable &table, bool with_counters = true);
// The same, as the listing comes: feed() after each piece reads the lines
// complete so far, finish() the rest.
class SavedTableParser {
public:
    explicit SavedTableParser(bool with_counters, LineSink *sink = nullptr);
    void feed(const std::string &listing);
    void finish(std::string listing, FilterTable &table);

private:
    void line(const std::string &listing, std::size_t start, std::size_t end);
    bool with_counters_;
    LineSink *sink_;
    bool in_filter_ = false;
    std::size_t parsed_ = 0;
    std::uint32_t last_chain_ = 0;
    FilterTable table_;
    std::vector<std::pair<std::size_t, std::size_t>> places_;  // of each line's text
};
bool iptables_parse_chain_text(const std::string &text, std::vector<ChainSection> &sections);
std::string iptables_section_chain_text(const ChainSection &section);
// The library's address sets in a chain text ("#ipset create ...", "#ipset
// add ..."), and read back; the "ipset restore" text that makes each set
// hold its entries (those standing swapped); the runs.
std::string iptables_sets_text(const std::vector<AddressSet> &sets);
// Counts on each rule's first counted line ("[p:b] -A ..."), and whether a
// text carries any.
std::string iptables_with_counts(const std::string &text, const std::vector<std::uint32_t> &line_rules,
                                 const std::vector<std::pair<std::uint64_t, std::uint64_t>> &per_rule);
bool iptables_carries_counts(const std::string &text);
bool iptables_parse_sets_text(const std::string &text, std::vector<AddressSet> &sets);
std::string iptables_load_sets_text(const std::vector<AddressSet> &sets, const std::vector<std::string> &standing);
int iptables_set_names(std::vector<std::string> &names);
int iptables_read_sets(const std::vector<std::string> &names, std::vector<AddressSet> &sets);
int iptables_load_sets(const std::vector<AddressSet> &sets);
int iptables_destroy_sets(const std::vector<std::string> &names);
int iptables_glance_sets(std::string &headers);
std::string iptables_section_text(const ChainSection &section, const StandingLayout &standing);
// What "-S INPUT" lists, read into its rules.
InputChain read_input_rules(const std::string &listing);
// What INPUT of a table does with packets (see PacketFilter::read_input_view).
InputView iptables_input_view(const FilterTable &table);
std::string_view iptables_line_chain(std::string_view line);
ChainSection iptables_installed_section(const Family &family, const std::string &restore_text);
// The glance of a save listing: ZORVANE declared, hooks, the layout's lines
// and their digest.
Glance glance_of(const std::string &saved);
// What "-S ZORVANE-INDEX" lists: the layout that stands.
StandingLayout standing_of(const std::string &listing);
// From "-S" of the chain (or the table): the sub-chains declared, and the
// layout's "-A" lines.
std::vector<std::string> listed_subchains(const std::string &listing);
std::string listed_rule_lines(const std::string &listing);
// The kept chains' restore text, and the text that puts them back taking
// away what a failed change made.
std::string kept_chain_text(const std::string &listing);
std::string put_back_text(const std::string &listing, const std::vector<std::string> &made);
// What a single line's listing says: whether it shows a line no flat
// layout has, and its packet count (the first blank-delimited token that
// strtoull converts without a range error).
void read_position_listing(PositionRead &read);

// --- the tools themselves --------------------------------------------------

class IptablesFilter : public PacketFilter {
public:
    Readiness readiness() override;
    std::string restore_text(const RuleSet &set, const Layout &layout, Numbering numbering, const Family &family,
                             unsigned log_limit, const StandingLayout &standing,
                             std::vector<std::uint32_t> *line_rules,
                             const std::vector<std::string> *country_sets) override;
    std::string failsafe_text(const RuleSet &allows, const Family &family, unsigned log_limit) override;
    std::string with_counts(const std::string &text, const std::vector<std::uint32_t> &line_rules,
                            const std::vector<std::pair<std::uint64_t, std::uint64_t>> &per_rule) override;
    ToolLine read_line(std::string_view text) override;
    bool parse_chain_text(const std::string &text, std::vector<ChainSection> &sections) override;
    std::string section_header(const Family &family) override;
    std::string section_text(const ChainSection &section, const StandingLayout &standing) override;
    std::string section_chain_text(const ChainSection &section) override;
    std::string sets_text(const std::vector<AddressSet> &sets) override;
    bool parse_sets_text(const std::string &text, std::vector<AddressSet> &sets) override;

    std::unique_ptr<RestoreFile> write(const Family &family, const std::string &text) override;
    std::vector<ToolVerdict> test(const std::vector<RestoreFile *> &files) override;
    ToolVerdict install(RestoreFile &file) override;

    std::unique_ptr<TableRead> read_table(const Family &family, Records records) override;
    int read_position(const Family &family, int position, PositionRead &read) override;
    std::unique_ptr<StandingRead> read_standing(const Family &family) override;
    std::unique_ptr<KeptChains> keep(const Family &family, const StandingLayout *standing) override;
    int read_input(const Family &family, InputChain &input) override;
    bool read_chain_lines(const Family &family, int &lines) override;
    int glance(const Family &family, Glance &glance) override;
    std::string_view line_chain(std::string_view line) override;
    ChainSection installed_section(const Family &family, const std::string &restore_text) override;
    InputView read_input_view(const FilterTable &table) override;

    void setup_default_chain() override;
    void setup_hook(int where) override;
    int zero(const Family &family) override;
    int zero_subchains(const Family &family) override;
    int prepare() override;
    int insert_hook(const Family &family, std::size_t position) override;
    int delete_input_line(const Family &family, std::size_t position) override;
    int set_names(std::vector<std::string> &names) override;
    int read_sets(const std::vector<std::string> &names, std::vector<AddressSet> &sets) override;
    int load_sets(const std::vector<AddressSet> &sets) override;
    int destroy_sets(const std::vector<std::string> &names) override;
    int glance_sets(std::string &headers) override;
    bool takes_country_match() override;

    int watch() override;
    int changes_seen() override;
};

}  // namespace zvn
