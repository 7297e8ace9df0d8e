// What the zorvane command says: findings, the tool's refusals mapped to
// rules, the counts as a table or for node_exporter, and the chain's status.
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
std::optional<std::string> explain_refusal(const std::string &tool_stderr, const nlohmann::json &rules);

// A short description of what a rule matches: "tcp ports 22,80 from
// 10.0.0.0/8 on eth0".
std::string describe(const nlohmann::json &rule);

std::string counts_table(const nlohmann::json &rules, const nlohmann::json &counts);
std::string prometheus_text(const nlohmann::json &rules, const nlohmann::json &counts);
std::string status_text(const nlohmann::json &status);

}  // namespace zorvane
