// What the parts of the zorvane command share: what it says (findings, the
// tool's refusals mapped to rules, counts, status), the saved rule set, and
// confirmed changes.
#pragma once

#include <ctime>
#include <functional>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace zorvane {

// The host's rule set of record.
constexpr const char *saved_rules = "/etc/zorvane/rules.json";

// A failure with the exit status it ends the command with.
class Failure : public std::runtime_error {
public:
    Failure(int status, const std::string &message) : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// "rule 3 (src_IP_cidr): error address-list: ..." from one finding object.
std::string finding_line(const nlohmann::json &finding);

// A rule with its count, as the counts print it.
struct RuleRow {
    std::size_t rule;  // from 1
    bool allow;
    std::string description;
    bool told;  // false: its count could not be told ("error")
    unsigned long long packets, bytes;
};
std::string counts_table(const std::vector<RuleRow> &rows, bool bytes = false);
// [12,0,"error",5]
std::string counts_json(const std::vector<RuleRow> &rows);
// [{"packets":12,"bytes":1008},...,"error",...]
std::string counts_json_with_bytes(const std::vector<RuleRow> &rows);
std::string prometheus_text(const std::vector<RuleRow> &rows);
std::string status_text(const nlohmann::json &status);
// Where the hook stands in each family's INPUT, and what that means for
// other tools' rules, in sentences ("" for a family without a hook).
std::string hook_words(const nlohmann::json &input);
// The chain exists and INPUT reaches it, in every family the status names.
bool chain_ready(const nlohmann::json &status);

// ---------------------------------------------------------------------------
// The saved rule set (persist.cpp)
// ---------------------------------------------------------------------------

// Replaces path with text so that a crash at any moment leaves either the
// old file or the new one, whole: a temporary file in the same directory,
// written, synced, renamed over path, and the directory synced. The
// directory is made (0755) if missing; the file is 0644.
void save_atomically(const std::string &path, const std::string &text);
// The same in two steps: the new file written and synced beside path (its
// temporary name returned), then renamed over path and the directory
// synced. A file that cannot be written refuses before anything else
// happens.
std::string stage_file(const std::string &path, const std::string &text);
void commit_staged(const std::string &staged, const std::string &path);

// A set applied with --force and saved boots the way it was applied: the
// marker holds the saved text's length and hash, so that an edited file
// loses it.
constexpr const char *forced_marker = "/etc/zorvane/rules.forced";
std::string text_fingerprint(const std::string &text);
void mark_forced(const std::string &text, bool forced);
bool saved_as_forced(const std::string &text);

// The chain of each family as the kernel took it at the last successful
// apply --save: what a boot falls back to when the saved set cannot be
// restored.
constexpr const char *state_dir = "/var/lib/zorvane";
std::string last_good_path(bool ipv6);
// A chain text's IPv4 and IPv6 sections (without their header lines), and
// the text of the two again ("" for a family left out).
std::pair<std::string, std::string> chain_sections(const std::string &text);
std::string chain_text_of(const std::string &ipv4, const std::string &ipv6, bool both_families);
// The chain of each active family as the kernel holds it (through the
// library): a chain text.
std::string chain_text_now();
// Lists the chains (through the library) and keeps each family's section.
void keep_last_good();
// The kept section of a family, or "" where none was kept.
std::string last_good(bool ipv6);

// How a set is laid out in the kernel, how much its drops may log and how
// its country rules meet the kernel (--layout, --log-limit, --countries,
// --country-db): saved beside the saved set, so that a boot or a reload
// restores the set as it was applied.
struct ApplyOptions {
    std::string layout = "auto";     // auto, flat, indexed
    unsigned log_limit = 0;          // lines per second per rule; 0: every drop
    std::string countries = "auto";  // auto, match, sets
    std::vector<std::string> country_databases;  // none: the packaged database
};
// The layouts --layout names, the country sources --countries names, and
// the most lines a second --log-limit takes.
inline const std::vector<std::string> layout_names{"auto", "flat", "indexed"};
inline const std::vector<std::string> country_source_names{"auto", "match", "sets"};
constexpr unsigned most_log_limit = 10000;
constexpr const char *saved_options = "/etc/zorvane/options.json";
std::string options_text(const ApplyOptions &options);
// The options a file holds; the defaults where it is missing or unreadable.
ApplyOptions read_options(const std::string &path);
// Hands them to the library for the rest of the process.
void use_options(const ApplyOptions &options);

// Where setup put the hook (--hook first|last), kept across boots so that
// restore puts it there again; "" where setup was not asked.
constexpr const char *setup_record = "/var/lib/zorvane/setup.json";
void save_hook_place(const std::string &place);
std::string saved_hook_place();

// What the boot's restore put in force, for status: {"fell_back":bool,
// "why":"...","instead":"..."} (gone at a reboot, as the install's record).
constexpr const char *boot_record = "/run/zorvane/boot.json";
void record_boot(bool fell_back, const std::string &why, const std::string &instead);
nlohmann::json boot_outcome();

// The labels the command gives its installs, which status reads back from
// the library's record of the last install.
constexpr const char *label_apply = "apply", *label_restore = "restore", *label_reload = "reload",
                     *label_last_good = "last-good", *label_failsafe = "failsafe", *label_rollback = "rollback";

// The rule set being installed, under /run (gone at a reboot): after a kill
// between the families' installs, status tells which family holds which.
constexpr const char *applying_record = "/run/zorvane/applying.json";
void record_applying(const std::string &text);
// The set being installed is installed (or not after all).
void forget_applying();

// "zorvane guard --pause": the guard repairs nothing while this is there.
constexpr const char *guard_pause_file = "/run/zorvane/guard.paused";
bool guard_paused();

// ---------------------------------------------------------------------------
// Confirmed changes (confirm.cpp)
// ---------------------------------------------------------------------------

// Where a change waiting for confirmation is kept, with its watcher.
constexpr const char *run_dir = "/run/zorvane";

// Refuses (exit 1, saying which change awaits and until when) while a
// change awaits confirmation; one whose watcher is gone is rolled back
// first, and the command goes on.
void refuse_if_pending();

// A change to be confirmed, in three steps. start_watcher, before the lock
// is taken: claims the one place for a pending change (exit 1 when another
// awaits) and starts the detached watcher. arm_confirmation, under the
// lock and before the install: keeps the chain as it is (through the
// library), and from then on the watcher rolls it back at the deadline
// unless the change is confirmed. staged: the saved set written beside its
// place, put there only on confirmation ("" without --save).
// disarm_confirmation: the change did not go in after all.
void start_watcher();
void arm_confirmation(int seconds, const std::string &file, const std::string &staged, bool forced,
                      const ApplyOptions &options);
void disarm_confirmation();

enum class Answer { confirmed, timed_out, hung_up, terminated };

// Waits for "yes" on standard input, "zorvane confirm" from another shell,
// or the watcher's roll-back at the deadline; a hang-up or SIGTERM asks
// the watcher to roll back at once. The answer is the watcher's.
Answer wait_for_confirmation(int seconds);
// The last settled change: its words ("" if none), whether it was kept,
// whether saving it failed, and whether the previous rules could not be
// put back.
struct Outcome {
    std::string words;
    bool kept = false;
    bool save_failed = false;
    bool put_back_failed = false;
};
Outcome last_outcome();

// The guard's part: a change whose watcher is gone is settled (kept where
// it was confirmed in time, else rolled back); one past its deadline that
// its watcher has not settled is told. say receives what happened.
void settle_orphaned_change(const std::function<void(const std::string &)> &say);

// For status: the change that waits, if any, or how the last one ended.
struct Pending {
    bool waiting = false;
    long deadline = 0;
    std::string until, file;
    bool watcher_alive = false;
    long lock_wait_since = 0;  // the watcher waits for the lock since then (0: not)
    bool last_put_back_failed = false;
    std::string last_words;
};
Pending pending_change();

// "zorvane confirm": keeps the change that waits; false if none does.
bool confirm_pending_change();

// ---------------------------------------------------------------------------
// What the firewall is doing, and what a change will do (insight.cpp)
// ---------------------------------------------------------------------------

// The rule-set text the last install put in force (the library's record),
// or nothing where none is known.
std::optional<std::string> rules_in_force();
// "zorvane diff": the set in force (or the saved one) against FILE, rule by
// rule: 0 the same, 1 they differ (as diff).
int run_diff(const std::string &file, bool saved, bool quiet_same, std::ostream &out);
int diff_texts(const std::string &before_text, const std::string &before_name, const std::string &after_text,
               const std::string &after_name, bool quiet_same, std::ostream &out);
// "zorvane log": the drop log read back as events, or summed per rule.
std::time_t parse_since(const std::string &text);
int run_log(const std::string &path, std::size_t rule, std::time_t since, bool follow, bool json, bool summary);
// "zorvane top": the live table of counts, or one measure (--once).
int run_top(const std::string &text, bool once, bool json, double interval);

// ---------------------------------------------------------------------------
// The guard (guard.cpp)
// ---------------------------------------------------------------------------

// "zorvane guard": looks every interval seconds (on nf_tables only when
// the packet filter changed, and once a minute) and puts back exactly what
// the last install through the library put in force, with the hook and the
// preparation's lines, when another tool breaks them; settles a confirmed
// change whose watcher is gone; keeps zorvane.prom in textfile when given.
// pause and resume only set and clear the pause.
int run_guard(int interval, const std::string &textfile, bool pause, bool resume);

}  // namespace zorvane
