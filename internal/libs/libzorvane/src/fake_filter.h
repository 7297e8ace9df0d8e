// The in-process fake of the packet filter: each family's filter table in
// memory, as the iptables tools would hold it after each commit (a commit
// is all or nothing, declared chains are emptied, a line is kept in the
// form the tool lists it), with counters a test sets and faults a test
// injects. It speaks the tools' text, so every flow above the packet
// filter runs against it as against the tools, without root.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "packet_filter.h"

namespace zvn {

class FakeFilter : public PacketFilter {
public:
    struct Line {
        std::string text;  // "-A CHAIN ..." as the tool lists it
        std::uint64_t packets = 0, bytes = 0;
    };
    struct Chain {
        std::string name;
        std::string policy;  // "ACCEPT" for a built-in chain, "-" for a user's
        std::vector<Line> lines;
    };
    struct Table {
        std::vector<Chain> chains;
        Chain *chain(const std::string &name);
        const Chain *chain(const std::string &name) const;
    };
    // A failure a test plans for the next run of a kind in a family.
    struct Fault {
        int status = 0;
        std::string words;
        long line = 0;
    };

    FakeFilter();

    // --- what a test sees and does ---------------------------------------
    Table &table(const Family &family);
    // The table as the save tool prints it (with counters when asked).
    std::string save(const Family &family, bool counters = true) const;
    // The "-A" lines of a chain ("" where there is none), as "-S" lists them.
    std::string lines_of(const Family &family, const std::string &chain) const;
    // The chains of a family's table, in order.
    std::vector<std::string> chain_names(const Family &family) const;
    // A change another tool makes, written as its command's arguments:
    // "-F CHAIN", "-X CHAIN", "-N CHAIN", "-P INPUT DROP", "-A/-I CHAIN
    // ...", "-D CHAIN ...", "-D CHAIN N", a restore text of its own with
    // "restore TEXT" (which flushes what it declares, or the whole table
    // with "restore-all TEXT"). false where the tool would refuse.
    bool run(const Family &family, const std::string &arguments);
    // The address sets that stand, by name (a test empties one, say).
    std::map<std::string, AddressSet> &sets() { return sets_; }
    // The next load of sets fails so.
    void fail_next_set_load(int status) { next_set_load_ = status; }
    // Counters of a chain's line (from 1).
    void set_counters(const Family &family, const std::string &chain, std::size_t line, std::uint64_t packets,
                      std::uint64_t bytes = 0);
    // The next test run, install, table read, listing of a family fails so.
    void fail_next_test(const Family &family, Fault fault);
    void fail_next_install(const Family &family, Fault fault);
    void fail_reads(const Family &family, int status);
    // Whether the tool knows the country match (this kernel does not).
    bool country_match = false;
    // Whether the tool tells of every commit (the nf_tables back end).
    bool events = true;
    // Whether the host has a preparation script (it makes what the example
    // script makes: loopback and established traffic accepted).
    bool preparation = true;
    // What was run, one word each ("test ipv4", "install ipv6", ...).
    std::vector<std::string> runs;
    // Restore files written and not yet removed.
    std::size_t files_left() const;

    // --- the packet filter ------------------------------------------------
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

    // The "-S" listing of a chain, or of the whole table ("").
    std::string listed(const Family &family, const std::string &chain, int &status) const;

private:
    // Applies a restore text to a table; the verdict of the tool.
    ToolVerdict restore(Table &table, const Family &family, const std::string &text, bool flush_all) const;
    void changed();

    std::map<unsigned, Table> tables_;
    std::map<unsigned, Fault> next_test_, next_install_;
    std::map<unsigned, int> reads_failing_;
    std::map<std::string, std::string> files_;  // name: text
    std::map<std::string, AddressSet> sets_;
    int next_set_load_ = 0;
    unsigned long changes_ = 0, seen_changes_ = 0;
    unsigned long next_file_ = 0;
    bool watching_ = false;
};

// Puts a fresh fake in place of the tools, with the lock, the drop log and
// the records in a directory of its own; returns it.
FakeFilter &use_fake_filter(const std::string &directory);

}  // namespace zvn
