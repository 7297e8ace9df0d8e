// What the library asks of the packet-filter tool, behind one interface:
// the tool's text for a layout, a dry run, one commit, a table read back
// with its counters, the chains kept and put back, the INPUT chain and the
// hook, a glance, a watch of changes. The iptables implementation
// (iptables/) runs the tools; the fake (fake_filter.h) holds the tables in
// memory as the tool would after each commit, so that every flow above
// this interface runs in the unit layer without root. The stages above it
// read meanings, never the tool's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "addresses.h"
#include "layout.h"
#include "rule_model.h"

namespace zvn {

struct Family;

// How a restore text numbers its drops: by rule (RULE=n), or every drop 0
// (the check of the per-rule count read).
enum class Numbering { by_rule, zero };

// How a read of the tool is logged: as the capturing runner logs
// ("popen --> CMD"), or as commands are ("$ CMD").
enum class Records { captured, command };

// A restore text where the tool takes it: a private file in /tmp (kept
// after a failed run, for a look), or the text itself in the fake.
class RestoreFile {
public:
    RestoreFile(const Family &family, std::string name) : family_(family), name_(std::move(name)) {}
    virtual ~RestoreFile() = default;
    const Family &family() const { return family_; }
    const std::string &name() const { return name_; }
    // Its lines start with counts (the tool restores them).
    bool counts = false;
    // Takes the file away (after success, or when another family failed).
    virtual void remove() = 0;

private:
    const Family &family_;
    std::string name_;
};

// What a run of the tool gave: its raw status and, where it refused a
// restore text, the line it names (from 1, 0 where none) and its words.
struct ToolVerdict {
    int status = 0;
    long line = 0;
    std::string words;
};

// A rule line of the tool read back into what it matches and does; the
// texts point into the listing it was read from.
struct ToolLine {
    bool readable = false;       // an "-A" line of known shape
    std::string_view in;         // "" any, else the name ("lo", "eth+")
    bool in_negated = false;     // "! -i lo"
    bool has_source = false;     // "-s": an address or network (host bits cleared)
    Interval source;
    std::string_view source_text;
    std::string_view protocol;   // "" any, else as listed ("tcp", "icmp", "ipv6-icmp")
    int protocol_number = 0;     // 0 any, else its number (6, 17, 1, 58); -1 unknown
    bool has_range = false;      // the iprange match
    Interval range;
    std::string_view range_text;
    std::string_view ports;      // the multiport match's ports ("22,1000:1020")
    std::vector<Interval> port_intervals;  // and what they are; empty where unreadable
    bool countries = false;      // the country match (its text is the tool's own)
    std::string_view set_name;   // the set match's set
    unsigned limit = 0;          // the logging line's rate per second, 0: none
    bool shared_limit = false;   // one limit for a rule's copies (hashlimit)
    std::string_view comment;
    enum class Target : std::uint8_t { none, accept, drop, nflog, ret, jump, go, other } target = Target::none;
    std::string_view target_chain;  // jump, go: the chain; other: the target's name
    std::string_view nflog_prefix;
    bool extra = false;          // an option no layout writes
};

// One family's filter table as one read of the tool showed it, with every
// line's counters.
struct FilterTable {
    struct Chain {
        std::string name;
        std::string policy;                // "ACCEPT", "DROP", "-" for a chain of the user's
        std::vector<std::uint32_t> lines;  // into FilterTable::lines, in order
    };
    struct Line {
        std::uint32_t chain;
        std::uint64_t packets = 0, bytes = 0;
        bool counted = true;    // its counters were there and could be read
        std::string_view text;  // "-A CHAIN ..." as the tool printed it
    };
    std::string listing;  // what the tool printed
    std::vector<Chain> chains;
    std::vector<Line> lines;
    // The chain of that name, or nullptr.
    const Chain *chain(std::string_view name) const;
};

// Is told each line of a table as the read comes in: its chain's name, its
// text (valid during the call only) and its counters.
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual void line(std::string_view chain, std::string_view text, const FilterTable::Line &line) = 0;
};

// A read of a table started now, so that the tool runs while the caller
// reads the rule set; finish() waits for it, telling sink each line as it
// comes (the first finish() only).
class TableRead {
public:
    virtual ~TableRead() = default;
    // The raw status of the read (0: the table is filled).
    virtual int finish(LineSink *sink = nullptr) = 0;
    virtual const FilterTable &table() const = 0;
};

// A family's layout chains as the tool lists them, kept so that exactly
// these lines can go back in one commit.
class KeptChains {
public:
    virtual ~KeptChains() = default;
    // Waits for the listing; its raw status.
    virtual int finish() = 0;
    // The listed "-A" lines of the layout's chains, each with its line
    // feed ("" when the listing failed).
    virtual std::string rule_lines() = 0;
    // The layout's chains beside ZORVANE that the listing shows.
    virtual std::vector<std::string> subchains() = 0;
    // The kept chains as a restore text of their own.
    virtual std::string chain_text() = 0;
    // The status of the restore, which also takes away the chains the
    // failed change made (made) and the kept layout has not; -1 without a
    // listing (the chain then keeps what it holds: emptying it would open
    // what it closed).
    virtual int put_back(const std::vector<std::string> &made) = 0;
};

// What a look at ZORVANE-INDEX found: the layout that stands.
class StandingRead {
public:
    virtual ~StandingRead() = default;
    virtual const StandingLayout &standing() = 0;
};

// An address set of the library's own (a rule's country set): its name and
// its entries, networks as the tool writes them ("10.0.0.0/8",
// "192.0.2.1"), sorted.
struct AddressSet {
    std::string name;
    const Family *family = nullptr;
    std::vector<std::string> entries;
};

// A section of a chain text: one family's chain and its sub-chains, and the
// address sets its lines match on.
struct ChainSection {
    const Family *family;
    std::vector<std::size_t> subchains;  // the numbers of the sub-chains it declares
    std::string lines;                   // its "-A" lines (ZORVANE-INDEX's left out)
    std::vector<AddressSet> sets;
};

// A rule of INPUT as the tool prints it, and what it does to a NEW packet.
struct InputRule {
    std::string text;       // "-A INPUT ..."
    bool hook = false;      // it jumps or goes to ZORVANE
    bool can_bypass = false;  // it can accept a NEW packet, or send it where it may be
};
struct InputChain {
    std::string policy = "ACCEPT";
    std::vector<InputRule> rules;
};

// What INPUT of a table does with packets, its jumps followed into the
// chains they name (never into ZORVANE, whose verdicts are the rule set's).
struct InputView {
    std::string policy;
    struct Line {
        std::string text;             // "-A INPUT ..."
        bool hook = false;            // it jumps or goes to ZORVANE
        bool can_accept_new = false;  // an accept of a NEW packet is reachable from it
    };
    std::vector<Line> lines;
    // A reply of an established connection, and a new connection on
    // loopback, surely reach an accept (a line for them, or the policy).
    bool established_pass = false, loopback_pass = false;
    // Chains of a container engine that publishes ports through FORWARD.
    std::vector<std::string> container_chains;
};

// One line of ZORVANE read by its position: what the listing printed, and
// what it says.
struct PositionRead {
    std::string output;         // one trailing line feed taken off
    bool shows_layout = false;  // a line no flat layout has (the return of
                                // loopback's packets, a way into a sub-chain)
    bool counted = false;       // a packet count was read from it
    unsigned long long packets = 0;
};

// The glance: the hook and the chain's lines in one listing.
struct Glance {
    bool chain = false;
    int hooks = 0;
    int lines = 0;
    std::uint64_t digest = 0;
};

// While one lives on a thread, the tools' words are kept for the verdicts
// and reach standard error only where the log is on (the calls on a parsed
// rule set); otherwise they reach it as system() passes them.
class KeptWords {
public:
    KeptWords();
    ~KeptWords();
    KeptWords(const KeptWords &) = delete;
    KeptWords &operator=(const KeptWords &) = delete;
    static bool on();
};
// The same for every call of the process (zvn_keep_tool_words).
void keep_words_always(bool keep);

// What the host has of what the packet filter needs.
struct Readiness {
    std::string preparation_script;  // its path
    bool preparation = false;        // it is there and can run
    bool ipv6_kernel = false;        // the kernel has IPv6
    std::vector<std::string> ipv6_missing;  // the IPv6 tools that are not there
};

class PacketFilter {
public:
    virtual ~PacketFilter() = default;

    // What the host has: the preparation script, IPv6 and its tools.
    virtual Readiness readiness() = 0;

    // --- the tool's text --------------------------------------------------
    // The restore text of a layout: every chain declared, its lines, the
    // index chain of an indexed layout, the standing chains it does not use
    // emptied and deleted, "COMMIT". Drops are logged within log_limit.
    // line_rules, if given, receives each line's rule number (0 for a line
    // of no rule), from the file's first line.
    // country_sets, if given, names each rule's country set (by index; ""
    // for none), which its lines match instead of the country match.
    virtual std::string restore_text(const RuleSet &set, const Layout &layout, Numbering numbering,
                                     const Family &family, unsigned log_limit,
                                     const StandingLayout &standing = {},
                                     std::vector<std::uint32_t> *line_rules = nullptr,
                                     const std::vector<std::string> *country_sets = nullptr) = 0;
    // A restore text whose rules start with counts: per rule (by index) its
    // packets and bytes, put on its first counted line (line_rules: each
    // line's rule number, as restore_text gave it). The file of such a text
    // is tested and installed with the counts.
    virtual std::string with_counts(const std::string &text, const std::vector<std::uint32_t> &line_rules,
                                    const std::vector<std::pair<std::uint64_t, std::uint64_t>> &per_rule) = 0;
    // The fail-safe set's text: loopback and established traffic accepted,
    // the allows, every other packet logged "FAILSAFE ACT=DROP" and dropped.
    virtual std::string failsafe_text(const RuleSet &allows, const Family &family, unsigned log_limit) = 0;
    // A line of a listing read into meanings.
    virtual ToolLine read_line(std::string_view text) = 0;
    // Splits a chain text into its families' sections; false, with a
    // record naming the line, for anything but the chains of the layout.
    virtual bool parse_chain_text(const std::string &text, std::vector<ChainSection> &sections) = 0;
    // The line that opens a family's section of a text where both families
    // are in play (a chain text, zvn_restore_text_json's text).
    virtual std::string section_header(const Family &family) = 0;
    // A section's restore text: the chain and its sub-chains declared, the
    // index chain naming them, their lines, and the chains that stand but
    // are not in the section taken away in the same commit.
    virtual std::string section_text(const ChainSection &section, const StandingLayout &standing) = 0;
    // A section as a chain text of its own (its sets' entries with it),
    // what parse_chain_text reads back.
    virtual std::string section_chain_text(const ChainSection &section) = 0;
    // Sets as the lines of a chain text that carry them, and back.
    virtual std::string sets_text(const std::vector<AddressSet> &sets) = 0;
    virtual bool parse_sets_text(const std::string &text, std::vector<AddressSet> &sets) = 0;

    // --- restore texts: written, tested, committed ------------------------
    // A private file for the tool (nullptr, with a record, when it cannot be
    // written).
    virtual std::unique_ptr<RestoreFile> write(const Family &family, const std::string &text) = 0;
    // The dry run of each file, side by side where there are several: the
    // verdicts in the order given.
    virtual std::vector<ToolVerdict> test(const std::vector<RestoreFile *> &files) = 0;
    // One commit: the chains the text declares are replaced as one.
    virtual ToolVerdict install(RestoreFile &file) = 0;
    // A restore text of the library's own, written, committed and removed:
    // the raw status.
    int install_text(const Family &family, const std::string &text);

    // --- reading -----------------------------------------------------------
    // The whole filter table with its counters, started now.
    virtual std::unique_ptr<TableRead> read_table(const Family &family, Records records) = 0;
    // The specified read of one line of ZORVANE by its position: its raw
    // status, and what the listing showed.
    virtual int read_position(const Family &family, int position, PositionRead &read) = 0;
    virtual std::unique_ptr<StandingRead> read_standing(const Family &family) = 0;
    virtual std::unique_ptr<KeptChains> keep(const Family &family, const StandingLayout *standing) = 0;
    // "-S INPUT": 0 with its rules, or the listing's raw status.
    virtual int read_input(const Family &family, InputChain &input) = 0;
    // "-S ZORVANE": whether the chain exists, and its rule lines.
    virtual bool read_chain_lines(const Family &family, int &lines) = 0;
    virtual int glance(const Family &family, Glance &glance) = 0;
    // The chain a line of a listing or a chain text appends to ("" for
    // another line).
    virtual std::string_view line_chain(std::string_view line) = 0;
    // The chains a restore text of the library's own installs, as a section
    // of a chain text (what a put back installs again).
    virtual ChainSection installed_section(const Family &family, const std::string &restore_text) = 0;
    virtual InputView read_input_view(const FilterTable &table) = 0;

    // --- the chain and its hook ---------------------------------------------
    // The specified preparation: the script, then per family -N, -D and -A
    // of the hook, every status ignored.
    virtual void setup_default_chain() = 0;
    // The hook where asked (see zvn_setup_chain_hook).
    virtual void setup_hook(int where) = 0;
    // The specified "-Z ZORVANE": its raw status.
    virtual int zero(const Family &family) = 0;
    // Zeroes the counters of the sub-chains that stand (ZORVANE's own are
    // zero()'s): the status of the one commit that does it, 0 for none.
    virtual int zero_subchains(const Family &family) = 0;
    // The host's preparation script run again (without a shell): its raw
    // status.
    virtual int prepare() = 0;
    // The hook put in INPUT at a position (from 1), or at its end (0): the
    // raw status.
    virtual int insert_hook(const Family &family, std::size_t position) = 0;
    // The line of INPUT at a position (from 1) deleted: the raw status.
    virtual int delete_input_line(const Family &family, std::size_t position) = 0;

    // --- address sets ------------------------------------------------------
    // The names of the library's sets that stand: the run's raw status.
    virtual int set_names(std::vector<std::string> &names) = 0;
    // Those of the named sets that stand, with their entries (only these are
    // listed: another set may hold hundreds of thousands): the raw status.
    virtual int read_sets(const std::vector<std::string> &names, std::vector<AddressSet> &sets) = 0;
    // Makes each set hold exactly its entries, in one run: a set that stands
    // is filled anew under another name and swapped in, so that no packet
    // meets it half filled. The raw status.
    virtual int load_sets(const std::vector<AddressSet> &sets) = 0;
    virtual int destroy_sets(const std::vector<std::string> &names) = 0;
    // Each set's header as one text (names, sizes, entry counts), cheap
    // whatever the entries: what changes when another tool adds, deletes,
    // flushes or swaps. The raw status.
    virtual int glance_sets(std::string &headers) = 0;
    // Whether the test run takes the country match (asked once).
    virtual bool takes_country_match() = 0;

    // --- changes ---------------------------------------------------------
    // 1 where the tool tells of every commit (a watch runs from now on), 0
    // where the caller must poll.
    virtual int watch() = 0;
    // 1: a change was seen, 2: the watch ended (the next watch() starts it
    // again), 0: none, -1: no watch.
    virtual int changes_seen() = 0;
};

// The process's packet filter: the iptables tools, unless a test put the
// fake in their place.
PacketFilter &packet_filter();
// Puts a packet filter in place for the rest of the process (the fake in
// the unit tests); nullptr brings the tools back.
void use_packet_filter(std::unique_ptr<PacketFilter> filter);

}  // namespace zvn
