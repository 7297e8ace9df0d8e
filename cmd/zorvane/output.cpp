#include <libzorvane.h>

#include "command.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>

namespace zorvane {

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

std::string counts_table(const std::vector<RuleRow> &rows, bool bytes)
{
    // The columns are as wide as their widest value: a five-digit rule
    // number or a long description shifts nothing; the description comes
    // last and whole.
    std::size_t number_width = 4, count_width = 7, bytes_width = 5;
    for (const RuleRow &row : rows) {
        number_width = std::max(number_width, std::to_string(row.rule).size());
        count_width = std::max(count_width, row.told ? std::to_string(row.packets).size() : 7);
        bytes_width = std::max(bytes_width, row.told ? std::to_string(row.bytes).size() : 7);
    }
    const auto padded = [](const std::string &text, std::size_t width, bool right) {
        const std::string pad(text.size() < width ? width - text.size() : 0, ' ');
        return right ? pad + text : text + pad;
    };
    std::string table = padded("rule", number_width, true) + "  verdict  " + padded("packets", count_width, true) +
                        (bytes ? "  " + padded("bytes", bytes_width, true) : "") + "  matches\n";
    for (const RuleRow &row : rows)
        table += padded(std::to_string(row.rule), number_width, true) + "  " + padded(row.allow ? "allow" : "drop", 7, false) +
                 "  " + padded(row.told ? std::to_string(row.packets) : "\"error\"", count_width, true) +
                 (bytes ? "  " + padded(row.told ? std::to_string(row.bytes) : "\"error\"", bytes_width, true) : "") +
                 "  " + row.description + "\n";
    return table;
}

std::string counts_json_with_bytes(const std::vector<RuleRow> &rows)
{
    std::string text = "[";
    for (const RuleRow &row : rows) {
        if (text.size() > 1)
            text += ',';
        text += row.told ? "{\"packets\":" + std::to_string(row.packets) + ",\"bytes\":" + std::to_string(row.bytes) + "}"
                         : "\"error\"";
    }
    return text + "]\n";
}

std::string counts_json(const std::vector<RuleRow> &rows)
{
    std::string text = "[";
    for (const RuleRow &row : rows) {
        if (text.size() > 1)
            text += ',';
        text += row.told ? std::to_string(row.packets) : "\"error\"";
    }
    return text + "]\n";
}

std::string prometheus_text(const std::vector<RuleRow> &rows)
{
    std::string text =
        "# HELP zorvane_rule_packets_total Packets each rule of the zorvane rule set decided (first packets of "
        "connections).\n"
        "# TYPE zorvane_rule_packets_total counter\n";
    // A count that could not be told is left out: a sample that is no
    // number would make node_exporter drop the whole file.
    for (const RuleRow &row : rows)
        if (row.told)
            text += "zorvane_rule_packets_total{rule=\"" + std::to_string(row.rule) + "\",verdict=\"" +
                    (row.allow ? "allow" : "drop") + "\"} " + std::to_string(row.packets) + "\n";
    text += "# HELP zorvane_rule_bytes_total Bytes of the packets each rule of the zorvane rule set decided.\n"
            "# TYPE zorvane_rule_bytes_total counter\n";
    for (const RuleRow &row : rows)
        if (row.told)
            text += "zorvane_rule_bytes_total{rule=\"" + std::to_string(row.rule) + "\",verdict=\"" +
                    (row.allow ? "allow" : "drop") + "\"} " + std::to_string(row.bytes) + "\n";
    text += "# HELP zorvane_rules_loaded Rules of the set the counts are of.\n"
            "# TYPE zorvane_rules_loaded gauge\n"
            "zorvane_rules_loaded " +
            std::to_string(rows.size()) + "\n";
    return text;
}

namespace {

std::string family_status(const char *name, const nlohmann::json &status)
{
    const bool chain = status.value("chain", false);
    const int hooks = status.value("hooks", 0);
    std::string text = std::string("chain ZORVANE (") + name + "): ";
    const bool indexed = status.contains("layout") && status["layout"].value("kind", std::string()) == "indexed";
    text += chain ? "present, " + std::to_string(status.value("rule_lines", 0)) + " rule lines" +
                        (indexed ? " (the way into its sub-chains)\n" : "\n")
                  : "missing\n";
    text += "reached from INPUT: ";
    if (hooks > 0)
        text += "yes (" + std::to_string(hooks) + (hooks == 1 ? " hook)\n" : " hooks)\n");
    else
        text += "no: nothing is filtered by it; run zorvane setup\n";
    if (status.contains("hook_position") && status["hook_position"].get<int>() > 0) {
        const int position = status["hook_position"], rules = status.value("input_rules", 0);
        text += "hook: rule " + std::to_string(position) + " of " + std::to_string(rules) + " in INPUT" +
                (position == 1 ? " (first: the rule set decides before any other tool's rule)\n"
                               : " (rules of other tools ahead of it decide first; zorvane setup --hook first puts "
                                 "the rule set before them)\n");
    }
    if (status.contains("layout")) {
        const auto &layout = status["layout"];
        const int chains = layout.value("chains", 1), lines = layout.value("lines", 0);
        text += "layout: " + layout.value("kind", std::string("flat")) +
                (chains > 1 ? ", " + std::to_string(chains) + " chains (ZORVANE and its sub-chains)" : "") + ", " +
                std::to_string(lines) + " rule lines";
        if (layout.contains("deepest_walk"))
            text += "; a new connection's first packet walks at most " +
                    std::to_string(layout["deepest_walk"].get<int>()) + " of them";
        if (layout.contains("log_limit"))
            text += layout["log_limit"].get<unsigned>() == 0
                        ? "; every drop is logged"
                        : "; each rule logs at most " + std::to_string(layout["log_limit"].get<unsigned>()) +
                              " drops a second";
        text += "\n";
    }
    for (const auto &set : status.value("country_sets", nlohmann::json::array()))
        text += "country set of rule " + std::to_string(set.value("rule", 0)) + ": " +
                set.value("name", std::string()) + ", " +
                (!set.value("stands", false) ? std::string("MISSING")
                                             : std::to_string(set.value("entries", 0)) + " networks" +
                                                   (set.value("intact", false) ? "" : " (NOT what it was made with)")) +
                "\n";
    if (status.contains("holds"))
        text += status["holds"].get<bool>()
                    ? "holds what was last installed, line for line\n"
                    : "does NOT hold what was last installed: " + status.value("differs", std::string("?")) + "\n";
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
    if (status.contains("countries")) {
        const auto &countries = status["countries"];
        text += "countries: " + countries.value("source", std::string("match")) + " (chosen: " +
                countries.value("chosen", std::string("auto")) + ")\n";
        for (const auto &database : countries.value("databases", nlohmann::json::array())) {
            text += "country database " + database.value("path", std::string()) + ": ";
            if (!database.value("read", false)) {
                text += "not read (" + database.value("problem", std::string("?")) + ")\n";
                continue;
            }
            char date[32] = "?";
            const std::time_t modified = database.value("modified", 0LL);
            std::tm when{};
            if (gmtime_r(&modified, &when) != nullptr)
                std::strftime(date, sizeof date, "%Y-%m-%d", &when);
            text += std::to_string(database.value("entries", 0)) + " ranges, of " + date + "\n";
        }
    }
    for (const auto &problem : status.value("problems", nlohmann::json::array()))
        text += "problem: " + problem.get<std::string>() + "\n";
    for (const auto &warning : status.value("warnings", nlohmann::json::array()))
        text += "warning: " + warning.get<std::string>() + "\n";
    for (const auto &note : status.value("notes", nlohmann::json::array()))
        text += "note: " + note.get<std::string>() + "\n";
    return text;
}

std::string hook_words(const nlohmann::json &input)
{
    std::string text;
    for (const auto &[family, one] : input.items()) {
        const int position = one.value("hook_position", 0), rules = one.value("rules", 0);
        if (position == 0)
            continue;
        text += std::string(family == "ipv4" ? "IPv4" : "IPv6") + ": the hook is rule " + std::to_string(position) +
                " of " + std::to_string(rules) + " in INPUT: " +
                (position == 1 ? "the rule set decides before any other tool's rule\n"
                               : "rules of other tools ahead of it decide first (--hook first puts the rule set "
                                 "before them)\n");
        for (const auto &rule : one.value("ahead", nlohmann::json::array()))
            text += "  warning: ahead of the hook, this rule can accept new connections before zorvane sees them: " +
                    rule.get<std::string>() + "\n";
    }
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
