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
// Translation into restore lines (translation.cpp)
// ---------------------------------------------------------------------------

// A port list as it goes into the restore file and as the listing prints
// it: the elements joined by commas, every number without leading zeros.
std::string canonical_ports(const std::vector<std::string> &ports);
// The whole restore text of a rule set for one family's chain;
// rule_index_start 0 numbers every drop 0, 1 numbers drops by rule.
void restore_text(const RuleSet &set, unsigned int rule_index_start, std::string &text, const Family &family);

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
// file with IPv6 on); a failure removes what was written.
bool write_restore_files(const RuleSet &set, unsigned int rule_index_start,
                         std::vector<std::string> &restore_filenames);
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

// A family's chain as "iptables -S ZORVANE" lists it, listed from the start
// (no shell) and kept in an anonymous file: its rule lines, and putting
// exactly those back in one commit.
class ChainKeeper {
public:
    explicit ChainKeeper(const Family &family);
    ~ChainKeeper();
    ChainKeeper(const ChainKeeper &) = delete;
    ChainKeeper &operator=(const ChainKeeper &) = delete;
    // Waits for the listing; its raw status.
    int finish();
    // The listed "-A ZORVANE ..." lines, each with its line feed ("" when
    // the listing failed).
    std::string rule_lines();
    // The status of the restore; -1 without a listing (the chain then keeps
    // what it holds: emptying it would open what it closed).
    int put_back();

private:
    const Family &family_;
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
// "a.b.c.d-e.f.g.h"; the two addresses in the order written.
std::optional<std::pair<std::uint32_t, std::uint32_t>> parse_ipv4_range(const std::string &text);
std::string format_ipv4(std::uint32_t address);

// ---------------------------------------------------------------------------
// The chain listing ("iptables -vnx -L ZORVANE --line-numbers")
// ---------------------------------------------------------------------------

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

// Splits the listing into its numbered lines (index 0 unused) as its text
// comes in: feed() after each piece parses the lines complete so far,
// finish() the last one. Headers and lines without a rule number (warnings
// of the tool) are passed over.
class ChainListingParser {
public:
    void feed(const std::string &listing);
    void finish(const std::string &listing);
    const std::vector<ListedRuleLine> &lines() const { return lines_; }

private:
    void parse_line(const std::string &listing, std::size_t start, std::size_t end);
    std::vector<ListedRuleLine> lines_;
    std::size_t parsed_ = 0;
    std::size_t last_ = 0;  // the highest rule number seen
};

// What a family's chain must show once it holds a rule set: each line as
// the listing prints it, and the lines whose counters make each rule's
// count. Worked out from the rule set alone, so that it can be done while
// the listing runs.
struct ExpectedRule {
    std::size_t rule;      // from 1, over the whole rule set
    std::string in;        // "!lo" or the name
    const char *protocol;  // the protocol's number as the listing prints it
    std::string range;     // "source IP range a-b", or ""
    std::string ports;     // "multiport dports 22,80", or ""
    bool countries;        // the source is a country list (its column is the tool's own)
};
struct ExpectedRuleLine {
    std::uint32_t of;    // index into ExpectedChain::rules
    const char *target;  // ACCEPT, NFLOG, DROP
    std::string source;  // "" where the tool's form cannot be foretold
};
struct ExpectedChain {
    std::vector<ExpectedRule> rules;
    std::vector<ExpectedRuleLine> lines;
    std::vector<std::vector<int>> counted;  // per rule of the set: the chain positions counted
};
ExpectedChain expected_chain(const RuleSet &set, const Family &family);

// Compares the listing with the expected lines. Empty when they agree;
// otherwise the record naming the first rule that differs and how.
std::string listing_mismatch(const ExpectedChain &expected, const std::vector<ListedRuleLine> &lines,
                             const std::string &listing, const Family &family);

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
