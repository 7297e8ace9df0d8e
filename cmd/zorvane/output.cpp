#include "command.h"

#include <cstdio>
#include <sstream>

namespace zorvane {

namespace {

const std::string *string_value(const nlohmann::json &rule, const char *key)
{
    const auto it = rule.find(key);
    if (it == rule.end() || !it->is_string() || it->get_ref<const std::string &>().empty())
        return nullptr;
    return &it->get_ref<const std::string &>();
}

std::string joined(const nlohmann::json &list)
{
    std::string text;
    for (const auto &element : list)
        if (element.is_string())
            text += (text.empty() ? "" : ",") + element.get<std::string>();
    return text;
}

bool non_empty_list(const nlohmann::json &rule, const char *key)
{
    const auto it = rule.find(key);
    return it != rule.end() && it->is_array() && !it->empty();
}

// The lines of the tool's output that say something: not the library's
// command records, not the tool's pointer to its help.
std::vector<std::string> telling_lines(const std::string &tool_stderr)
{
    std::vector<std::string> lines;
    std::istringstream in(tool_stderr);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.rfind("$ ", 0) == 0 || line.rfind("popen --> ", 0) == 0 ||
            line.rfind("using restore_filename", 0) == 0 || line.rfind("Try `", 0) == 0 ||
            line.rfind("Error occurred at line", 0) == 0)
            continue;
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::string finding_line(const nlohmann::json &finding)
{
    const auto rule = finding.value("rule", 0);
    std::string line = rule == 0 ? "rule set" : "rule " + std::to_string(rule);
    if (finding.contains("key") && finding["key"].is_string())
        line += " (" + finding["key"].get<std::string>() + ")";
    line += ": " + finding.value("severity", "") + " " + finding.value("code", "") + ": " +
            finding.value("message", "");
    return line;
}

std::string tool_words(const std::string &tool_stderr)
{
    std::string words;
    for (const auto &line : telling_lines(tool_stderr))
        words += (words.empty() ? "" : "; ") + line;
    return words.empty() ? "" : ": " + words;
}

namespace {

// Whether a rule stands in the IPv6 restore file (both families on): the
// source it uses, an address or a range, holds a colon; a rule without
// either stands in both files.
bool in_file(const nlohmann::json &rule, bool ipv6_file, bool both_families)
{
    if (!both_families)
        return !ipv6_file;
    const std::string *source = string_value(rule, "src_IP_cidr");
    if (source == nullptr)
        source = string_value(rule, "src_IP_range");
    if (source == nullptr)
        return true;
    return (source->find(':') != std::string::npos) == ipv6_file;
}

}  // namespace

std::optional<std::string> explain_refusal(const std::string &tool_stderr, const nlohmann::json &rules,
                                           bool both_families)
{
    const std::string marker = "Error occurred at line: ";
    const auto at = tool_stderr.find(marker);
    if (at == std::string::npos)
        return std::nullopt;
    const long line = std::strtol(tool_stderr.c_str() + at + marker.size(), nullptr, 10);
    // The tool that refused names itself at the start of its message.
    const auto tool_at = tool_stderr.rfind("restore v", at);
    const bool ipv6_file = tool_at != std::string::npos && tool_at >= 3 &&
                           tool_stderr.compare(tool_at - 3, 3, "ip6") == 0;
    // The restore file: "*filter", the chain, one line per allowing rule
    // and two per dropping rule of its family, then "COMMIT".
    long next = 3;
    std::size_t rule = 0;
    std::string where;
    for (const auto &single_rule : rules) {
        ++rule;
        if (!in_file(single_rule, ipv6_file, both_families))
            continue;
        const auto allow = single_rule.find("allow");
        const long lines = (allow != single_rule.end() && allow->is_boolean() && allow->get<bool>()) ? 1 : 2;
        if (line >= next && line < next + lines) {
            where = "rule " + std::to_string(rule) + " (" + describe(single_rule) + ")";
            break;
        }
        next += lines;
    }
    if (where.empty())
        where = "the rule set as a whole (restore-file line " + std::to_string(line) + ")";
    std::string words;
    for (const auto &text : telling_lines(tool_stderr))
        words += (words.empty() ? "" : "; ") + text;
    return "the test run refused " + where + ": " + (words.empty() ? "(the tool said no more)" : words) +
           "; nothing was changed";
}

std::string describe(const nlohmann::json &rule)
{
    std::string text;
    const std::string *protocol = string_value(rule, "protocol");
    text = protocol != nullptr ? *protocol : "all";
    if (non_empty_list(rule, "dports_list"))
        text += " ports " + joined(rule["dports_list"]);
    if (const auto *cidr = string_value(rule, "src_IP_cidr"))
        text += " from " + *cidr;
    else if (const auto *range = string_value(rule, "src_IP_range"))
        text += " from " + *range;
    else if (non_empty_list(rule, "src_country"))
        text += " from countries " + joined(rule["src_country"]);
    if (const auto *interface = string_value(rule, "interface"))
        text += " on " + *interface;
    else
        text += " on any interface but lo";
    return text;
}

namespace {

const char *verdict_of(const nlohmann::json &rule)
{
    const auto allow = rule.find("allow");
    return allow != rule.end() && allow->is_boolean() && allow->get<bool>() ? "allow" : "drop";
}

}  // namespace

std::string counts_table(const nlohmann::json &rules, const nlohmann::json &counts)
{
    std::string table;
    char line[128];
    std::snprintf(line, sizeof line, "%5s  %-7s %-48s %12s\n", "rule", "verdict", "matches", "packets");
    table += line;
    for (std::size_t i = 0; i < rules.size() && i < counts.size(); ++i) {
        std::string description = describe(rules[i]);
        if (description.size() > 48)
            description = description.substr(0, 45) + "...";
        std::snprintf(line, sizeof line, "%5zu  %-7s %-48s %12s\n", i + 1, verdict_of(rules[i]),
                      description.c_str(), counts[i].dump().c_str());
        table += line;
    }
    return table;
}

std::string prometheus_text(const nlohmann::json &rules, const nlohmann::json &counts)
{
    std::string text =
        "# HELP zorvane_rule_packets_total Packets each rule of the zorvane rule set decided (first packets of "
        "connections).\n"
        "# TYPE zorvane_rule_packets_total counter\n";
    for (std::size_t i = 0; i < rules.size() && i < counts.size(); ++i)
        text += "zorvane_rule_packets_total{rule=\"" + std::to_string(i + 1) + "\",verdict=\"" +
                verdict_of(rules[i]) + "\"} " + counts[i].dump() + "\n";
    return text;
}

namespace {

std::string family_status(const char *name, const nlohmann::json &status)
{
    const bool chain = status.value("chain", false);
    const int hooks = status.value("hooks", 0);
    std::string text = std::string("chain ZORVANE (") + name + "): ";
    text += chain ? "present, " + std::to_string(status.value("rule_lines", 0)) + " rule lines\n" : "missing\n";
    text += "reached from INPUT: ";
    if (hooks > 0)
        text += "yes (" + std::to_string(hooks) + (hooks == 1 ? " hook)\n" : " hooks)\n");
    else
        text += "no: nothing is filtered by it; run zorvane setup\n";
    if (status.contains("holds"))
        text += status["holds"].get<bool>()
                    ? "holds the rule set last applied, line for line\n"
                    : "does NOT hold the rule set last applied: " + status.value("differs", std::string("?")) + "\n";
    if (status.contains("holds_unfinished"))
        text += "holds the rule set of an apply that did not finish (" +
                status["holds_unfinished"].get<std::string>() + ")\n";
    return text;
}

}  // namespace

std::string status_text(const nlohmann::json &status)
{
    std::string text;
    if (status.contains("compared_with"))
        text += "compared with " + status["compared_with"].get<std::string>() + "\n";
    text += family_status("IPv4", status);
    if (status.contains("ipv6"))
        text += family_status("IPv6", status["ipv6"]);
    return text;
}

bool chain_ready(const nlohmann::json &status)
{
    const auto ready = [](const nlohmann::json &one) {
        return one.value("chain", false) && one.value("hooks", 0) > 0;
    };
    return ready(status) && (!status.contains("ipv6") || ready(status["ipv6"]));
}

}  // namespace zorvane
