// What the parts of the zorvane command share: what it says (findings, the
// tool's refusals mapped to rules, counts, status), the saved rule set, and
// confirmed changes.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

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

// What the tool printed, as "": <its words>" to close a message ("" when it
// printed nothing worth showing).
std::string tool_words(const std::string &tool_stderr);

// For a test run that the tool refused ("Error occurred at line: N"): the
// rule that line falls in and the tool's own message. Nothing when the
// output names no line.
// both_families: the rule set went into an IPv4 and an IPv6 file.
std::optional<std::string> explain_refusal(const std::string &tool_stderr, const nlohmann::json &rules,
                                           bool both_families);

// A short description of what a rule matches: "tcp ports 22,80 from
// 10.0.0.0/8 on eth0".
std::string describe(const nlohmann::json &rule);

std::string counts_table(const nlohmann::json &rules, const nlohmann::json &counts);
std::string prometheus_text(const nlohmann::json &rules, const nlohmann::json &counts);
std::string status_text(const nlohmann::json &status);
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

// ---------------------------------------------------------------------------
// Confirmed changes (confirm.cpp)
// ---------------------------------------------------------------------------

// Where a change waiting for confirmation is announced, and its answer.
constexpr const char *run_dir = "/run/zorvane";

// The chain's rule lines of each family as "iptables -S ZORVANE" (and
// "ip6tables -S ZORVANE") prints them, and putting exactly those back, in
// one commit per family ("iptables-restore -n").
struct ChainLines {
    std::string ipv4, ipv6;
    bool both = false;
};
ChainLines chain_rules_now(bool both_families);
void put_chain_back(const ChainLines &lines);

enum class Answer { confirmed, timed_out, hung_up, terminated };

// Waits up to seconds for "yes" on standard input or "zorvane confirm" from
// another shell; a hang-up or SIGTERM ends the wait at once.
Answer wait_for_confirmation(int seconds);

// "zorvane confirm": answers the change that waits; false if none does.
bool confirm_pending_change();

}  // namespace zorvane
