// What the library's source files share, stage by stage: the log stream
// and the fixed paths, starting programs, the address families, the rule
// set and its model, the translation, the restore file, the counts,
// addresses, the chain listing, the lock and the error channel.
// Nothing here is exported (hidden visibility, and the version script).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "libzorvane.h"

extern std::reference_wrapper<std::ostream> Log_impl;

namespace zvn {

// ---------------------------------------------------------------------------
// Log records and commands
// ---------------------------------------------------------------------------

// One record: the pieces inserted one after another, then endl. Log_impl is
// read anew for every record so that a rebinding takes effect at once.
template <typename... Pieces>
void log_record(const Pieces &...pieces)
{
    std::ostream &out = Log_impl.get();
    (out << ... << pieces);
    out << std::endl;
}

// Every fixed name and path the library uses, in one table. Plain
// constants, not strings with destructors: a client may still call the
// library from its own exit handlers.
constexpr const char *chain_name = "ZORVANE";
constexpr const char *iptables = "/sbin/iptables";
constexpr const char *iptables_restore = "/sbin/iptables-restore";
constexpr const char *ip6tables = "/sbin/ip6tables";
constexpr const char *ip6tables_restore = "/sbin/ip6tables-restore";
constexpr const char *iptables_save = "/sbin/iptables-save";
constexpr const char *ip6tables_save = "/sbin/ip6tables-save";
constexpr const char *firewall_script = "/usr/sbin/firewall.sh";
constexpr const char *drop_log = "/var/log/ulogd_syslogemu.log";
constexpr const char *lock_path = "/run/zorvane.lock";
constexpr const char *xtables_monitor = "/usr/sbin/xtables-monitor";
constexpr const char *stdbuf = "/usr/bin/stdbuf";
constexpr const char *restore_file_prefix = "/tmp/iptables_zorvane_";
constexpr const char *restore6_file_prefix = "/tmp/ip6tables_zorvane_";

// A command line from its pieces, joined without separators.
template <typename... Pieces>
std::string command(const Pieces &...pieces)
{
    std::string line;
    ((line += pieces), ...);
    return line;
}

int do_system_call(std::string cmd);
int exec(const std::string cmd, std::string &stdout_str);
// Writes all of text to fd (going on after interruptions); false on an error.
bool write_all(int fd, const std::string &text);

// ---------------------------------------------------------------------------
// Commands in the background
// ---------------------------------------------------------------------------

// A program started now and waited for later, from an argument vector and
// without a shell (argv[0] is the program's path): the one runner of every
// program start but the specified command texts. What it writes to the
// kept stream (1: standard output, 2: standard error) goes to an anonymous
// file (standard error then goes to /dev/null), or to a pipe read as it
// comes (standard error is left to the caller's, as popen() leaves it). A
// program that cannot be started gives the status the shell would, 127 *
// 256 for one not found, with a record. SIGCHLD stays blocked in the thread
// while the program lives.
class Program {
public:
    enum class Mode { kept_in_file, piped };
    Program(const std::vector<std::string> &argv, int kept_stream, Mode mode = Mode::kept_in_file);
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;
    // Its raw status; -1 when it could not be waited for.
    int wait();
    // What it wrote to the kept file so far.
    std::string kept() const;
    // Piped: reads the output to its end into output, calling piece_read
    // after each piece; then waits. The raw status.
    int read_all(std::string &output, const std::function<void(const std::string &)> &piece_read = {});
    // Piped: appends what has arrived so far, without waiting; false once
    // the program has closed its output (or never started).
    bool read_available(std::string &output);
    // Ends the program (SIGTERM) and waits for it.
    void stop();

private:
    static constexpr int pipe_size = 1 << 20;
    Mode mode_;
    pid_t pid_ = -1;
    int kept_ = -1;
    int status_ = -1;
    bool waited_ = false;
};

// Runs a program from its argument vector and captures its standard output
// (its standard error to /dev/null when quiet, else left to the caller's);
// logged as the capturing runner logs ("popen --> ..."). Its raw status.
int capture(const std::vector<std::string> &argv, std::string &output, bool quiet = false);

// Runs the commands at once, each through the shell and with its standard
// output sent to standard error as do_system_call() does, and waits for all:
// their raw statuses in the order given (-1 for one that did not start).
// What each says is passed on to standard error in that order, up to and
// including the first that fails.
std::vector<int> run_side_by_side(const std::vector<std::string> &commands);

// ---------------------------------------------------------------------------
// Address families
// ---------------------------------------------------------------------------

// The chain ZORVANE of one family's filter table and the tools that reach it.
struct Family {
    unsigned bit;                   // 1: IPv4, 2: IPv6
    const char *name;               // "IPv4", "IPv6"
    const char *key;                // its key in JSON results: "ipv4", "ipv6"
    const char *tool;               // /sbin/iptables, /sbin/ip6tables
    const char *restore_tool;       // /sbin/iptables-restore, /sbin/ip6tables-restore
    const char *save_tool;          // /sbin/iptables-save, /sbin/ip6tables-save
    const char *file_prefix;        // /tmp/iptables_zorvane_, /tmp/ip6tables_zorvane_
    const char *any_source;         // how the listing prints "any source"
    const char *icmp;               // the protocol "icmp" means in this family
    const char *icmp_number;        // and its number in the listing
};
extern const Family ipv4;
extern const Family ipv6;

// Whether zvn_enable_ipv6() has been called: from then on every operation
// covers both families.
bool ipv6_enabled();
// The families the operations cover: IPv4 alone, or IPv4 then IPv6.
std::vector<const Family *> active_families();

// ---------------------------------------------------------------------------
// The rule set and its model (rule_set.cpp)
// ---------------------------------------------------------------------------

// A key whose value the format does not examine ("interface", the two
// address keys, "protocol"): absent, a string ("" included), null, or some
// other value, which the translation ignores (kept for the check to quote).
struct TextValue {
    enum class Kind { absent, text, null, other } kind = Kind::absent;
    std::string text;
    const nlohmann::json *json = nullptr;  // Kind::other: the value, while its tree lives
    // Set, as the translation reads it: a non-empty string.
    bool set() const { return kind == Kind::text && !text.empty(); }
    bool empty_string() const { return kind == Kind::text && text.empty(); }
};

// A list key ("src_country", "dports_list"): its strings in order.
struct ListValue {
    bool present = false;
    std::vector<std::string> items;
    bool set() const { return !items.empty(); }
};

// The source the translation uses: the first of address, range, countries.
enum class SourceKind { none, address, range, countries };

// One validated rule, as every stage reads it.
struct Rule {
    std::size_t number = 0;  // its position in the rule set, from 1
    bool allow = false;
    TextValue interface, cidr, range, protocol;
    ListValue countries, ports;

    SourceKind source() const;
    // The address or range the rule uses (nullptr for countries or none).
    const std::string *address_source() const;
    // Whether the rule goes to a family's chain: with IPv6 off every rule
    // goes to IPv4; with it on, a rule whose address or range holds a colon
    // goes to IPv6 only, one with another to IPv4 only, one without (any
    // source, countries) to both.
    bool in_family(const Family &family) const;
    unsigned families() const;  // the bits of the families it goes to
    // How many lines the tool makes of each line of the rule: one per
    // element of a comma-separated address list, otherwise one.
    std::size_t lines_per_target() const;
    // Its lines in a restore file: one allowing, two dropping.
    std::size_t lines_in_restore_file() const;
    // "tcp ports 22,80 from 10.0.0.0/8 on eth0".
    std::string description() const;
};

struct RuleSet {
    std::vector<Rule> rules;
};

// A rule set with the JSON tree its rules point into.
struct ParsedRuleSet {
    nlohmann::json json;
    RuleSet set;
};

// The first fault of a rule set in the order the validation looks: the rule
// it stands in (from 1; 0 for the rule set as a whole), the key it stands in
// ("" where none) and the message.
struct Fault {
    std::size_t rule = 0;
    std::string key;
    std::string message;
};

// Parses a rule-set text without exceptions; false (with its record) when
// the text is not one JSON value.
bool parse_rules(const char *rules, nlohmann::json &rules_json);
// Each key that stands twice in a rule object of a text that parses (the
// parser keeps the last): the rule's number and the key, once each.
std::vector<std::pair<std::size_t, std::string>> duplicate_keys(const char *text, std::size_t length);
// Validates a parsed rule set in the documented order and fills the model;
// the first fault, or nothing.
std::optional<Fault> read_rule_set(const nlohmann::json &rules_json, RuleSet &set);
// Parses and validates a rule-set text, each with its records and the
// error channel's entry.
bool parse_and_validate(const char *rules, ParsedRuleSet &parsed);
// Reads a rule-set text that is plainly valid straight into the model,
// without building a JSON tree: an array of objects whose keys are known and
// appear once, "allow" a boolean, the string keys strings (or null) without
// control characters, "protocol" one of the names, the lists arrays of
// non-empty strings. False for anything else, every invalid text among it:
// such a text takes the full parse and validation, with its records.
bool read_plain_rule_set(const char *text, std::size_t length, RuleSet &set);

// The elements of a comma-separated text (a text without commas is one).
std::vector<std::string> split_commas(const std::string &text);

// ---------------------------------------------------------------------------
// The chain's layout (layout.cpp)
// ---------------------------------------------------------------------------

// A source address of either family, IPv4 in the low 32 bits.
__extension__ typedef unsigned __int128 AddressBits;

// How a rule set's lines stand in the kernel. Flat: every rule's lines in
// ZORVANE, in order, as the restore file has always been. Indexed: ZORVANE
// sends each packet, by its source address, through a tree of sub-chains
// ZORVANE-1, ZORVANE-2, ... to a leaf that holds, in order, every rule
// whose source the packet can have; what a packet meets first still decides.
enum class LayoutChoice { flat, indexed, automatic };

// The process's choice (zvn_set_layout). Until a client makes one, every
// operation writes the flat layout and does exactly what it always did;
// once it has, an apply also takes away the sub-chains an earlier layout
// left (they are known from the chain ZORVANE-INDEX).
bool layout_chosen();
LayoutChoice layout_choice();
void choose_layout(LayoutChoice choice);
// Lines logged per second per rule (zvn_set_log_limit); 0: every drop.
unsigned log_limit();
void set_log_limit(unsigned per_second);
constexpr unsigned max_log_limit = 10000;

// The automatic choice takes the indexed layout from this many rules of a
// family on, the flat one below: small sets read as they always did. From
// 16 rules on, the indexed layout takes NEW packets 1.4 times as fast on
// the nf_tables back end (1.9 at 32, 2.9 at 64); on the legacy back end,
// whose lines cost little, it costs nothing.
constexpr std::size_t auto_indexed_from = 16;

// The chain that names an indexed layout's sub-chains: one rule, a comment
// "zorvane indexed layout: ZORVANE-1 to ZORVANE-N". Nothing jumps to it.
constexpr const char *index_chain = "ZORVANE-INDEX";
// Sub-chains beyond this many are never made, nor read from a listing.
constexpr std::size_t max_subchains = 100000;

struct LayoutLine {
    enum class Kind : std::uint8_t { rule, dispatch, jump, lo_return };
    Kind kind = Kind::rule;
    std::uint8_t prefix_length = 0;  // dispatch: "-s first/length -g chain"
    std::uint32_t index = 0;         // rule: into RuleSet::rules; dispatch, jump: the chain
    AddressBits first = 0;           // dispatch
};

struct Layout {
    bool indexed = false;
    // The first line returns loopback's packets (no rule of the set can
    // match them), so no line needs "! -i lo".
    bool lo_returned = false;
    std::vector<std::vector<LayoutLine>> chains;  // [0] ZORVANE, [k] ZORVANE-k
    std::vector<std::uint32_t> copies;            // per rule of the set: its copies here
    // Figures, in rule lines as the tool lists them (a source list of k
    // addresses makes k): all of them, and the most a packet can walk.
    std::size_t lines = 0;
    std::size_t deepest_walk = 0;
    std::size_t groups = 0;  // rule groups, each a tree or a run of plain lines
};

// "ZORVANE" for chain 0, "ZORVANE-k" for chain k; and back: the chain a
// name names (0, k up to max_subchains), -1 for any other name, the index
// chain's among them.
std::string layout_chain_name(std::size_t chain);
long layout_chain_index(std::string_view name);
// Whether a chain is one of a layout's: ZORVANE, ZORVANE-k, ZORVANE-INDEX.
bool layout_chain(std::string_view name);
// The chain an "-A CHAIN ..." line appends to; "" for any other line.
std::string_view appended_chain(std::string_view line);
// Whether a listed line's target is one no flat layout has: the return of
// loopback's packets, or a way into a sub-chain.
bool indexed_target(std::string_view target);
// The layout of a family's chain for a rule set: flat, indexed (which is
// flat where no tree would shorten the walk), or automatic (by size).
// Deterministic: a reader that compiles it again gets the same chains.
Layout compile_layout(const RuleSet &set, const Family &family, LayoutChoice choice);
// The indexed layout (layout_tree.cpp); nothing where the set stays flat
// (too few rules, values the tool would read as options, no tree that
// walks shorter).
std::optional<Layout> indexed_layout(const RuleSet &set, const Family &family);
// The layout the process's choice makes (flat until one is made).
Layout chosen_layout(const RuleSet &set, const Family &family);
// The width of a family's addresses (32, 128), and a network's text as the
// tool lists it ("10.0.0.0/8", "10.0.0.1").
unsigned address_width(const Family &family);
std::string network_text(AddressBits first, unsigned length, const Family &family);

// ---------------------------------------------------------------------------
// Translation into restore lines (translation.cpp)
// ---------------------------------------------------------------------------

// A port list as it goes into the restore file and as the listing prints
// it: the elements joined by commas, every number without leading zeros.
std::string canonical_ports(const std::vector<std::string> &ports);
// The whole restore text of a rule set for one family's chain, flat;
// rule_index_start 0 numbers every drop 0, 1 numbers drops by rule.
void restore_text(const RuleSet &set, unsigned int rule_index_start, std::string &text, const Family &family);

// What an earlier indexed layout left in a family's filter table, as
// ZORVANE-INDEX tells it: taken away in the commit of the next layout.
struct StandingLayout {
    bool index_chain = false;   // ZORVANE-INDEX stands
    std::size_t subchains = 0;  // ZORVANE-1 to ZORVANE-subchains stand
};
// The restore text of a layout: every chain declared, its lines, the
// index chain of an indexed layout, the standing chains it does not use
// emptied and deleted, "COMMIT". Drops are logged within the process's log
// limit. line_rules, if given, receives each line's rule number (0 for a
// line of no rule), from the file's first line.
void layout_text(const RuleSet &set, const Layout &layout, unsigned int rule_index_start, const Family &family,
                 std::string &text, const StandingLayout &standing = {},
                 std::vector<std::uint32_t> *line_rules = nullptr);
// The options that put a log limit on a logging line of its own
// (" -m limit --limit N/sec --limit-burst N"); "" without a limit.
std::string log_limit_options(unsigned per_second);
// The chains beside ZORVANE of a layout that stands, and of a layout.
std::vector<std::string> standing_chains(const StandingLayout &standing);
std::vector<std::string> layout_subchains(const Layout &layout);
// The restore lines that take away every chain of standing that keeping
// has not (in the order of standing).
std::string taken_away(const std::vector<std::string> &standing, const std::vector<std::string> &keeping);
// The index chain's comment, and the number of sub-chains it names (0 for
// a text that is no such comment).
std::string index_comment(std::size_t subchains);
std::size_t subchains_named(const std::string &listing);

// ---------------------------------------------------------------------------
// The error channel (exports.cpp)
// ---------------------------------------------------------------------------

// This thread's last failure, for zvn_last_error(); cleared at the start of
// every exported call.
void clear_error();
void set_error(int code, std::string message);
// The error of a null pointer argument: -1.
int null_argument();
// The error of a listing that failed ("the IPv4 INPUT chain could not be
// listed"): its status.
int listing_failed(const Family &family, const char *what, int status);
// Copies text and its NUL into the caller's buffer when they fit: 0; else
// -1, with the record "size_n is too small" and the error.
int copy_out(const std::string &text, char *out, size_t size_n);

// ---------------------------------------------------------------------------
// The restore file: write, test, install, put back
// ---------------------------------------------------------------------------

// Writes a restore text to a new private file in /tmp (created exclusively,
// without following links); false, with nothing left, on a failure.
bool write_restore_file(const std::string &text, std::string &restore_filename, const Family &family);
// "iptables-restore -n FILE" (or ip6tables-restore): its raw status.
int install_restore_file(const std::string &restore_filename, const Family &family);
// "iptables-restore --test FILE": its raw status.
int test_restore_file(const std::string &restore_filename, const Family &family);
// The restore file of each active family (the IPv4 file, then the IPv6
// file with IPv6 on), each of its family's layout (flat where none is
// given) with the chains that stand taken away; a failure removes what was
// written.
bool write_restore_files(const RuleSet &set, unsigned int rule_index_start,
                         std::vector<std::string> &restore_filenames, const std::vector<Layout> &layouts = {},
                         const std::vector<StandingLayout> &standing = {});
// The layout of the process's choice for each active family.
std::vector<Layout> chosen_layouts(const RuleSet &set);
// Tests each active family's file, side by side with both families on: the
// first failing status in family order (its file kept, the other removed),
// or 0.
int test_restore_files(const std::vector<std::string> &restore_filenames);
// Empties the drop log where it is a regular file; the status the shell's
// "echo -n > FILE" would give.
int clear_drop_log();
// zvn_apply_rules_json and zvn_test_rules_json after their argument checks.
int apply_rule_set(const char *rules);
int test_rule_set(const char *rules);

// ---------------------------------------------------------------------------
// Per-rule packet counts (counts.cpp)
// ---------------------------------------------------------------------------

// zvn_get_rule_count_json and zvn_get_rule_count_snapshot_json after their
// argument checks.
int per_rule_counts(const char *rules, char *pktcnt_list_json, const size_t size_n);
int snapshot_counts(const char *rules, char *pktcnt_list_json, const size_t size_n);

// Zeroes the counters of the sub-chains that stand (ZORVANE's own are the
// caller's): the status of the one restore that does it, 0 for none.
int zero_subchains(const Family &family);

// What stands in a family's filter table, from "iptables -S ZORVANE-INDEX"
// started now (without a shell) and read when asked.
class StandingLook {
public:
    explicit StandingLook(const Family &family);
    const StandingLayout &standing();

private:
    Program listing_;
    StandingLayout standing_;
    bool read_ = false;
};

// A family's chain as "iptables -S ZORVANE" lists it (the whole table's
// "iptables -S" where an indexed layout stands, keeping its chains),
// listed from the start (no shell) and kept in an anonymous file: its rule
// lines, and putting exactly those back in one commit.
class ChainKeeper {
public:
    explicit ChainKeeper(const Family &family, const StandingLayout *standing = nullptr);
    ~ChainKeeper();
    ChainKeeper(const ChainKeeper &) = delete;
    ChainKeeper &operator=(const ChainKeeper &) = delete;
    // Waits for the listing; its raw status.
    int finish();
    // The listed "-A" lines of the layout's chains, each with its line feed
    // ("" when the listing failed).
    std::string rule_lines();
    // The layout's chains beside ZORVANE that the listing shows.
    std::vector<std::string> subchains();
    // The kept chains as a restore text of their own.
    std::string chain_text();
    // The status of the restore, which also takes away the chains the
    // failed change made (made) and the kept layout has not; -1 without a
    // listing (the chain then keeps what it holds: emptying it would open
    // what it closed).
    int put_back(const std::vector<std::string> &made);

private:
    const Family &family_;
    const bool whole_table_;
    const std::string cmd_;
    Program listing_;
    bool finished_ = false;
};

// ---------------------------------------------------------------------------
// IPv4 addresses
// ---------------------------------------------------------------------------

// A dotted quad of four decimal numbers 0..255, nothing else.
std::optional<std::uint32_t> parse_ipv4(const std::string &text);
// An address or a network "a.b.c.d/len", len 0..32.
struct Ipv4Network {
    std::uint32_t address = 0;
    unsigned prefix = 32;
    std::uint32_t first() const;  // the address with its host bits cleared
    std::uint32_t last() const;
};
std::optional<Ipv4Network> parse_ipv4_network(const std::string &text);

// IPv6 the same way: an address, or "address/len" with len 0..128. The
// address as 16 bytes, most significant first.
using Ipv6Address = std::array<std::uint8_t, 16>;
struct Ipv6Network {
    Ipv6Address address{};
    unsigned prefix = 128;
    Ipv6Address first() const;
    Ipv6Address last() const;
};
std::optional<Ipv6Address> parse_ipv6(const std::string &text);
std::optional<Ipv6Network> parse_ipv6_network(const std::string &text);
std::optional<std::pair<Ipv6Address, Ipv6Address>> parse_ipv6_range(const std::string &text);
std::string format_ipv6(const Ipv6Address &address);
// An IPv6 address as 128 bits, and back.
AddressBits bits_of(const Ipv6Address &address);
Ipv6Address address_of(AddressBits bits);
// "a.b.c.d-e.f.g.h"; the two addresses in the order written.
std::optional<std::pair<std::uint32_t, std::uint32_t>> parse_ipv4_range(const std::string &text);
std::string format_ipv4(std::uint32_t address);

// ---------------------------------------------------------------------------
// The chain listing ("iptables -vnx -L ZORVANE --line-numbers")
// ---------------------------------------------------------------------------

// The number the decimal digits at the start of a text make, at most cap
// (a bound well below the largest size); 0 where it starts with none.
std::size_t leading_number(std::string_view text, std::size_t cap);

// A field of a listed line: where it stands in the listing's text.
struct ListedField {
    std::uint32_t start = 0, length = 0;
    std::string_view in(const std::string &listing) const { return std::string_view(listing).substr(start, length); }
};

struct ListedRuleLine {
    bool readable = false;   // the columns up to the source were there
    bool repeated = false;   // the number appeared more than once
    unsigned long long packets = 0;
    ListedField target, protocol, in, source, extra;
};

// Splits the listing into its numbered lines (index 0 unused), chain by
// chain, as its text comes in: feed() after each piece parses the lines
// complete so far, finish() the last one. A listing of one chain, or of
// the whole table ("Chain NAME (...)" before each chain's lines), of which
// only the layout's chains are kept: ZORVANE (0) and ZORVANE-k (k). Column
// headers and lines without a rule number (warnings of the tool) are
// passed over.
class ChainListingParser {
public:
    void feed(const std::string &listing);
    void finish(const std::string &listing);
    // ZORVANE's lines.
    const std::vector<ListedRuleLine> &lines() const { return chain(0); }
    // The lines of a layout's chain; none for one that was not listed.
    const std::vector<ListedRuleLine> &chain(std::size_t index) const;
    bool listed(std::size_t index) const { return index < listed_.size() && listed_[index]; }
    // The layout's chains that were listed, and their rule lines.
    std::size_t chains_listed() const;
    std::size_t lines_listed() const;
    // One more than the highest chain index seen.
    std::size_t chain_slots() const { return chains_.size(); }

private:
    void parse_line(const std::string &listing, std::size_t start, std::size_t end);
    void enter_chain(std::string_view name);
    std::vector<std::vector<ListedRuleLine>> chains_{1};
    std::vector<std::size_t> last_{0};  // per chain, the highest rule number seen
    std::vector<bool> listed_{true};
    long current_ = 0;                  // the chain being read; -1: another tool's
    std::size_t parsed_ = 0;
};

// What a family's chains must show once they hold a rule set in a layout:
// each line as the listing prints it, and the lines whose counters make
// each rule's count.
struct ExpectedRule {
    std::size_t rule;      // from 1, over the whole rule set
    std::string in;        // "!lo", "*" (behind the loopback return) or the name
    const char *protocol;  // the protocol's number as the listing prints it
    std::string range;     // "source IP range a-b", or ""
    std::string ports;     // "multiport dports 22,80", or ""
    bool countries;        // the source is a country list (its column is the tool's own)
    std::string limit;     // the logging line's limit ("limit: avg 5/sec burst 5"), or ""
};
struct ExpectedRuleLine {
    static constexpr std::uint32_t no_rule = ~std::uint32_t{0};
    std::uint32_t of = no_rule;    // index into ExpectedChain::rules; no_rule for a line to a chain
    const char *target = nullptr;  // ACCEPT, NFLOG, DROP, RETURN; nullptr: the chain goes_to
    std::string source;            // "" where the tool's form cannot be foretold
    std::uint32_t goes_to = 0;
    bool go = false;        // "-g": listed "[goto]"
    bool loopback = false;  // "-i lo"
};
struct ExpectedChain {
    bool indexed = false;
    std::vector<ExpectedRule> rules;
    std::vector<std::vector<ExpectedRuleLine>> chains;  // [0] ZORVANE, [k] ZORVANE-k
    // Per rule of the set: the (chain, position) of each line counted.
    std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> counted;
    std::size_t lines() const;
};
// The lines of a layout with a log limit (0: none).
ExpectedChain expected_chain(const RuleSet &set, const Family &family, const Layout &layout, unsigned limit);

// Compares the listing with the expected lines. Empty when they agree;
// otherwise the record naming the first rule (or chain) that differs and
// how.
std::string listing_mismatch(const ExpectedChain &expected, const ChainListingParser &parser,
                             const std::string &listing, const Family &family);

// Whether a listing of ZORVANE shows an indexed layout: a line that
// returns loopback's packets or goes to a sub-chain, which no flat
// layout has.
bool shows_indexed_layout(const ChainListingParser &parser, const std::string &listing);

// A family's layout listed for a reader, without a shell: ZORVANE's
// listing started at once (the tool runs while the caller reads the rule
// set), and where it shows an indexed layout, the whole table's after it.
// Each listing is logged when it starts and when it has been read, as the
// capturing runner logs ("popen --> CMD", "popen --> CMD --> ret=N") or as
// commands are ("$ CMD", "$ CMD --> ret=N").
class LayoutListing {
public:
    enum class Records { captured, command };
    LayoutListing(const Family &family, Records records);
    ~LayoutListing();
    LayoutListing(const LayoutListing &) = delete;
    LayoutListing &operator=(const LayoutListing &) = delete;
    // Reads ZORVANE's listing, parsed as it comes, and the table's where it
    // is needed: the raw status of the listing that failed, or 0.
    int finish();
    // ZORVANE showed an indexed layout (the table was listed, or failed).
    bool indexed() const { return indexed_; }
    const ChainListingParser &parser() const { return parser_; }
    const std::string &listing() const { return output_; }

private:
    void start(bool whole_table);
    int read();
    const Family &family_;
    const char *prefix_;
    std::string cmd_, output_;
    std::unique_ptr<Program> program_;
    ChainListingParser parser_;
    bool indexed_ = false, read_ = true;
};

// A family's listing proven against a rule set: the layout it shows
// (flat, or indexed where ZORVANE says so) and the log limit its logging
// lines carry are compiled again from the set and compared line by line.
struct ListingProof {
    Layout layout;
    ExpectedChain expected;
    std::string mismatch;  // "" when the listing holds the set
};
ListingProof prove_listing(const RuleSet &set, const Family &family, const ChainListingParser &parser,
                           const std::string &listing);

// ---------------------------------------------------------------------------
// One operation at a time
// ---------------------------------------------------------------------------

// Holds the advisory lock on lock_path while it lives. A thread that holds
// it already may take it again. locked() is false when the wait ran out
// (30 s); a missing /run lets the operation go on unlocked, with a record.
class ChainLock {
public:
    ChainLock();
    // Takes the lock only if it is free now: locked() is false, without a
    // record, where another operation holds it.
    struct NoWait {};
    explicit ChainLock(NoWait);
    ~ChainLock();
    ChainLock(const ChainLock &) = delete;
    ChainLock &operator=(const ChainLock &) = delete;
    bool locked() const { return locked_; }

private:
    bool locked_ = false;
};

}  // namespace zvn
