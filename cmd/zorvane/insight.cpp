// What the firewall is doing and what a change will do: the rule set in
// force, a diff of two sets rule by rule, the drop log read back as
// events, and the live table of counts.

#include <libzorvane.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <thread>
#include <unordered_map>

#include "command.h"
#include "library.h"

namespace zorvane {

namespace {

// A rule's content as one canonical text: its keys sorted, so that the same
// rule written another way is the same rule.
std::vector<std::string> rule_contents(const std::string &text)
{
    std::vector<std::string> contents;
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (!json.is_array())
        return contents;
    for (const auto &rule : json) {
        nlohmann::json without_comment = rule;
        if (without_comment.is_object())
            without_comment.erase("comment");
        contents.push_back(without_comment.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    return contents;
}

std::string comment_of(const nlohmann::json &rules, std::size_t index)
{
    if (!rules.is_array() || index >= rules.size() || !rules[index].is_object())
        return "";
    const auto found = rules[index].find("comment");
    return found != rules[index].end() && found->is_string() ? found->get<std::string>() : "";
}

// "3-10" for a run of numbers.
std::string runs_of(const std::vector<std::size_t> &numbers)
{
    std::string text;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        text += (text.empty() ? "" : ",") + std::to_string(numbers[i]) +
                (j > i ? "-" + std::to_string(numbers[j]) : "");
        i = j + 1;
    }
    return text;
}

struct ParsedSet {
    std::string text;
    std::optional<Rules> rules;
    std::vector<std::string> contents;
    nlohmann::json json;
};

ParsedSet parsed_set(const std::string &text, const std::string &what)
{
    ParsedSet set;
    set.text = text;
    set.rules = Rules::parse(text);
    if (!set.rules)
        throw Failure(2, what + " is not a valid rule set (" + zvn_last_error() + ")");
    set.contents = rule_contents(text);
    set.json = nlohmann::json::parse(text, nullptr, false);
    return set;
}

}  // namespace

std::optional<std::string> rules_in_force()
{
    const auto text = filled([](char *out, std::size_t size) { return zvn_installed_rules(out, size); });
    if (!text)
        return std::nullopt;  // 1 (none known) leaves the buffer unwritten: "" is no set
    if (text->empty())
        return std::nullopt;
    return text;
}

// --- diff ----------------------------------------------------------------------------------

int run_diff(const std::string &file, bool saved, bool quiet_same, std::ostream &out)
{
    std::string before_text, before_name;
    if (saved) {
        before_name = saved_rules;
        std::ifstream in(saved_rules, std::ios::binary);
        if (!in)
            throw Failure(2, std::string("there is no saved rule set (") + saved_rules + ")");
        before_text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        const auto in_force = rules_in_force();
        if (!in_force)
            throw Failure(2, "no rule set is known to be in force (none was installed since the boot); "
                             "zorvane diff --saved FILE compares with the saved one");
        before_text = *in_force;
        before_name = "the set in force";
    }
    std::ifstream in(file == "-" ? "/dev/stdin" : file, std::ios::binary);
    if (!in)
        throw Failure(2, "cannot read " + file + ": " + std::strerror(errno));
    const std::string after_text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return diff_texts(before_text, before_name, after_text, file, quiet_same, out);
}

int diff_texts(const std::string &before_text, const std::string &before_name, const std::string &after_text,
               const std::string &after_name, bool quiet_same, std::ostream &out)
{
    const ParsedSet before = parsed_set(before_text, before_name), after = parsed_set(after_text, after_name);

    // Rules of the same content are the same rule, whatever their number.
    std::unordered_map<std::string, std::vector<std::size_t>> old_at;
    for (std::size_t i = before.contents.size(); i-- > 0;)
        old_at[before.contents[i]].push_back(i);
    std::vector<long> old_of(after.contents.size(), -1), new_of(before.contents.size(), -1);
    for (std::size_t j = 0; j < after.contents.size(); ++j) {
        auto found = old_at.find(after.contents[j]);
        if (found == old_at.end() || found->second.empty())
            continue;
        const std::size_t i = found->second.back();
        found->second.pop_back();
        old_of[j] = static_cast<long>(i);
        new_of[i] = static_cast<long>(j);
    }
    // An old rule gone and a new one at the same number: one rule changed.
    std::vector<long> changed_from(after.contents.size(), -1);
    for (std::size_t j = 0; j < after.contents.size() && j < before.contents.size(); ++j)
        if (old_of[j] < 0 && new_of[j] < 0) {
            changed_from[j] = static_cast<long>(j);
            new_of[j] = static_cast<long>(j);
        }
    // Kept rules out of their old order moved: those off the longest run
    // that keeps it.
    std::vector<std::size_t> kept;
    for (std::size_t j = 0; j < after.contents.size(); ++j)
        if (old_of[j] >= 0)
            kept.push_back(j);
    std::vector<std::size_t> tails, previous(kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const long value = old_of[kept[k]];
        const auto place = std::lower_bound(tails.begin(), tails.end(), value,
                                            [&](std::size_t t, long v) { return old_of[kept[t]] < v; });
        const std::size_t at = static_cast<std::size_t>(place - tails.begin());
        previous[k] = at > 0 ? tails[at - 1] : kept.size();
        if (place == tails.end())
            tails.push_back(k);
        else
            *place = k;
    }
    std::vector<bool> in_order(after.contents.size(), false);
    for (std::size_t k = tails.empty() ? kept.size() : tails.back(); k < kept.size(); k = previous[k])
        in_order[kept[k]] = true;

    const auto words = [](const ParsedSet &set, std::size_t index) {
        const std::string comment = comment_of(set.json, index);
        return std::string(set.rules->allows(index + 1) ? "allow " : "drop ") + set.rules->description(index + 1) +
               (comment.empty() ? "" : " (" + comment + ")");
    };
    std::size_t differences = 0;
    std::vector<std::size_t> renumbered_from, renumbered_to;
    for (std::size_t i = 0; i < before.contents.size(); ++i)
        if (new_of[i] < 0) {
            out << "- rule " << i + 1 << ": " << words(before, i) << " (removed)\n";
            ++differences;
        }
    for (std::size_t j = 0; j < after.contents.size(); ++j) {
        if (changed_from[j] >= 0) {
            out << "~ rule " << j + 1 << ": " << words(before, j) << "\n    becomes: " << words(after, j) << "\n";
            ++differences;
        } else if (old_of[j] < 0) {
            out << "+ rule " << j + 1 << ": " << words(after, j) << " (added)\n";
            ++differences;
        } else if (!in_order[j]) {
            out << "> rule " << j + 1 << ": " << words(after, j) << " (moved from rule " << old_of[j] + 1 << ")\n";
            ++differences;
        } else if (static_cast<std::size_t>(old_of[j]) != j) {
            renumbered_from.push_back(static_cast<std::size_t>(old_of[j]) + 1);
            renumbered_to.push_back(j + 1);
        }
    }
    if (!renumbered_from.empty()) {
        out << "  renumbered: rules " << runs_of(renumbered_from) << " become " << runs_of(renumbered_to)
            << " (their RULE=n in the drop log and their counts' numbers change with them)\n";
        ++differences;
    }
    if (differences == 0) {
        if (!quiet_same)
            out << "the same rules as " << before_name << "\n";
        return 0;
    }
    return 1;
}

// --- the drop log --------------------------------------------------------------------------

namespace {

struct LogEvent {
    std::time_t time = 0;
    std::string stamp;   // as the log has it
    std::string tag;     // "RULE=3", "FAILSAFE"
    std::size_t rule = 0;
    std::string action, in, src, dst, proto, spt, dpt;
};

std::string field(const std::string &line, const char *key)
{
    const std::string needle = std::string(" ") + key + "=";
    const std::size_t at = line.find(needle);
    if (at == std::string::npos)
        return "";
    const std::size_t start = at + needle.size();
    const std::size_t end = line.find(' ', start);
    return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// "Dec 11 14:00:51": syslog's stamp has no year; the one that puts it not
// in the future.
std::time_t stamp_time(const std::string &stamp, std::time_t now)
{
    std::tm when{};
    if (strptime(stamp.c_str(), "%b %d %H:%M:%S", &when) == nullptr)
        return 0;
    std::tm today{};
    localtime_r(&now, &today);
    when.tm_year = today.tm_year;
    when.tm_isdst = -1;
    std::time_t t = std::mktime(&when);
    if (t > now + 86400) {
        when.tm_year -= 1;
        t = std::mktime(&when);
    }
    return t;
}

// Reads a line of the drop log; summing needs the rule, the time and the
// source only. A stamp is turned into a time once for all its lines.
bool parse_event(const std::string &line, std::time_t now, LogEvent &event, bool summing = false)
{
    if (line.size() < 16)
        return false;
    const std::size_t prefix = line.find(" RULE=");
    const std::size_t failsafe = prefix == std::string::npos ? line.find(" FAILSAFE ") : std::string::npos;
    if (prefix == std::string::npos && failsafe == std::string::npos)
        return false;
    static std::string last_stamp;
    static std::time_t last_time = 0;
    event.stamp.assign(line, 0, 15);
    if (event.stamp != last_stamp) {
        last_stamp = event.stamp;
        last_time = stamp_time(event.stamp, now);
    }
    event.time = last_time;
    if (prefix != std::string::npos) {
        event.rule = std::strtoul(line.c_str() + prefix + 6, nullptr, 10);
        event.tag = "RULE=" + std::to_string(event.rule);
    } else {
        event.tag = "FAILSAFE";
    }
    event.src = field(line, "SRC");
    if (summing)
        return true;
    event.action = field(line, "ACT");
    event.in = field(line, "IN");
    event.dst = field(line, "DST");
    event.proto = field(line, "PROTO");
    event.spt = field(line, "SPT");
    event.dpt = field(line, "DPT");
    return true;
}

struct Attribution {
    std::optional<Rules> rules;
    nlohmann::json json;
    std::time_t since = 0;  // the install's time: lines before it are another set's
    bool failsafe = false;
};

Attribution attribution()
{
    Attribution a;
    if (const auto text = rules_in_force()) {
        a.rules = Rules::parse(*text);
        a.json = nlohmann::json::parse(*text, nullptr, false);
    }
    const auto installed = filled([](char *out, std::size_t size) { return zvn_installed_json(out, size); });
    if (installed) {
        const auto record = nlohmann::json::parse(*installed, nullptr, false);
        if (record.is_object() && record.contains("record")) {
            a.since = record["record"].value("time", 0LL);
            a.failsafe = record["record"].value("label", std::string()) == label_failsafe;
        }
    }
    return a;
}

std::string rule_words(const Attribution &a, const LogEvent &event)
{
    if (event.tag == "FAILSAFE")
        return "the fail-safe set";
    if (a.since != 0 && event.time != 0 && event.time < a.since)
        return "a rule set before the last apply";
    if (!a.rules || event.rule == 0 || event.rule > a.rules->size())
        return "no rule of the set in force";
    const std::string comment = comment_of(a.json, event.rule - 1);
    return a.rules->description(event.rule) + (comment.empty() ? "" : " (" + comment + ")");
}

nlohmann::json event_json(const Attribution &a, const LogEvent &e)
{
    nlohmann::json one = {{"time", e.time}, {"stamp", e.stamp}, {"description", rule_words(a, e)},
                          {"action", e.action}, {"interface", e.in}, {"source", e.src},
                          {"destination", e.dst}, {"protocol", e.proto}};
    if (e.tag == "FAILSAFE")
        one["failsafe"] = true;
    else
        one["rule"] = e.rule;
    if (!e.spt.empty())
        one["source_port"] = std::strtoul(e.spt.c_str(), nullptr, 10);
    if (!e.dpt.empty())
        one["destination_port"] = std::strtoul(e.dpt.c_str(), nullptr, 10);
    return one;
}

std::string event_line(const Attribution &a, const LogEvent &e)
{
    std::string text = e.stamp + "  " + e.tag + " " + e.action + " " + e.proto + " " + e.src +
                       (e.spt.empty() ? "" : ":" + e.spt) + " -> " + e.dst + (e.dpt.empty() ? "" : ":" + e.dpt) +
                       (e.in.empty() ? "" : " on " + e.in) + "  [" + rule_words(a, e) + "]";
    return text + "\n";
}

}  // namespace

std::time_t parse_since(const std::string &text)
{
    if (text.empty())
        return 0;
    const std::time_t now = std::time(nullptr);
    char unit = text.back();
    if (std::isdigit(static_cast<unsigned char>(unit)) == 0 && text.size() > 1 &&
        std::all_of(text.begin(), text.end() - 1, [](char c) { return c >= '0' && c <= '9'; })) {
        const long amount = std::stol(text.substr(0, text.size() - 1));
        const long seconds = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600 : unit == 'd' ? 86400 : 0;
        if (seconds != 0)
            return now - amount * seconds;
    }
    std::tm when{};
    for (const char *format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d"}) {
        when = std::tm{};
        const char *end = strptime(text.c_str(), format, &when);
        if (end != nullptr && *end == '\0') {
            when.tm_isdst = -1;
            return std::mktime(&when);
        }
    }
    throw Failure(2, "--since takes 30s, 10m, 2h, 1d or \"YYYY-MM-DD HH:MM[:SS]\", not \"" + text + "\"");
}

int run_log(const std::string &path, std::size_t rule, std::time_t since, bool follow, bool json, bool summary)
{
    std::ifstream in(path);
    if (!in)
        throw Failure(3, "cannot read the drop log " + path + ": " + std::strerror(errno) +
                             (errno == EACCES ? " (it is root's: run as root)" : "") +
                             (errno == ENOENT ? " (is ulogd running with deploy/ulogd-zorvane.conf?)" : ""));
    const Attribution a = attribution();
    struct Summary {
        unsigned long long drops = 0;
        std::time_t first = 0, last = 0;
        std::string first_stamp, last_stamp;
        std::unordered_map<std::string, unsigned long long> sources;
    };
    std::map<std::string, Summary> per_rule;  // by tag
    std::map<std::string, LogEvent> example;
    const std::time_t now = std::time(nullptr);
    std::string line;
    LogEvent event;
    const auto take = [&](const std::string &text) {
        if (!parse_event(text, now, event, summary))
            return;
        if (rule != 0 && event.rule != rule)
            return;
        if (since != 0 && event.time != 0 && event.time < since)
            return;
        if (summary) {
            Summary &s = per_rule[event.tag];
            if (s.drops++ == 0) {
                s.first = event.time;
                s.first_stamp = event.stamp;
                parse_event(text, now, example[event.tag]);  // one line whole, for its words
            }
            s.last = event.time;
            s.last_stamp = event.stamp;
            ++s.sources[event.src];
            return;
        }
        if (json)
            std::cout << event_json(a, event).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        else
            std::cout << event_line(a, event);
    };
    while (std::getline(in, line))
        take(line);
    if (summary) {
        std::vector<std::pair<std::string, const Summary *>> order;
        for (const auto &[tag, s] : per_rule)
            order.emplace_back(tag, &s);
        std::sort(order.begin(), order.end(), [](const auto &x, const auto &y) { return x.second->drops > y.second->drops; });
        nlohmann::json all = nlohmann::json::array();
        for (const auto &[tag, s] : order) {
            std::vector<std::pair<std::string, unsigned long long>> top(s->sources.begin(), s->sources.end());
            const std::size_t shown = std::min<std::size_t>(5, top.size());
            std::partial_sort(top.begin(), top.begin() + static_cast<long>(shown), top.end(),
                              [](const auto &x, const auto &y) { return x.second > y.second; });
            top.resize(shown);
            const LogEvent &e = example[tag];
            if (json) {
                nlohmann::json one = event_json(a, e);
                nlohmann::json sources = nlohmann::json::array();
                for (const auto &[source, n] : top)
                    sources.push_back({{"source", source}, {"drops", n}});
                all.push_back({{"rule", one.value("rule", 0)}, {"description", one["description"]},
                               {"drops", s->drops}, {"first", s->first}, {"last", s->last},
                               {"sources", s->sources.size()}, {"top_sources", sources}});
                if (tag == "FAILSAFE")
                    all.back()["failsafe"] = true;
            } else {
                std::cout << tag << "  " << s->drops << " drops, " << s->first_stamp << " to " << s->last_stamp << ", "
                          << s->sources.size() << " sources  [" << rule_words(a, e) << "]\n";
                for (const auto &[source, n] : top)
                    std::cout << "    " << source << "  " << n << "\n";
            }
        }
        if (json)
            std::cout << all.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        return 0;
    }
    if (!follow)
        return 0;
    // Follows the file as tail -F does: new lines as they come, and from the
    // start again where it was emptied (an apply) or replaced (a rotation).
    std::cout.flush();
    std::streamoff offset = in.tellg() < 0 ? 0 : static_cast<std::streamoff>(in.tellg());
    in.clear();
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        std::ifstream again(path);
        if (!again)
            continue;
        again.seekg(0, std::ios::end);
        const std::streamoff size = again.tellg();
        if (size < offset)
            offset = 0;
        again.seekg(offset);
        while (std::getline(again, line)) {
            if (again.eof())
                break;  // a line not yet whole
            take(line);
            offset = again.tellg();
        }
        std::cout.flush();
    }
}

// --- top -----------------------------------------------------------------------------------

namespace {

struct Reading {
    std::vector<zvn_rule_count> counts;
    std::chrono::steady_clock::time_point at;
};

Reading read_counts(const Rules &rules)
{
    Reading reading;
    const Table table;
    reading.counts.resize(rules.size());
    if (zvn_table_counts(table.get(), rules.get(), reading.counts.data(), reading.counts.size()) != 0)
        fail_with_library("the counts could not be read");
    reading.at = std::chrono::steady_clock::now();
    return reading;
}

struct TopRow {
    std::size_t rule;
    bool allow;
    std::string description;
    unsigned long long packets, bytes;
    double packets_per_second, bytes_per_second;
};

std::vector<TopRow> top_rows(const Rules &rules, const nlohmann::json &json, const Reading &before,
                             const Reading &after)
{
    const double seconds = std::max(1e-3, std::chrono::duration<double>(after.at - before.at).count());
    std::vector<TopRow> rows;
    for (std::size_t r = 0; r < after.counts.size(); ++r) {
        const auto &now = after.counts[r], &then = before.counts[r];
        const std::string comment = comment_of(json, r);
        rows.push_back({r + 1, rules.allows(r + 1), rules.description(r + 1) + (comment.empty() ? "" : " (" + comment + ")"),
                        now.packets, now.bytes,
                        now.packets >= then.packets ? static_cast<double>(now.packets - then.packets) / seconds : 0,
                        now.bytes >= then.bytes ? static_cast<double>(now.bytes - then.bytes) / seconds : 0});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const TopRow &x, const TopRow &y) {
        return x.packets_per_second != y.packets_per_second ? x.packets_per_second > y.packets_per_second
                                                            : x.packets > y.packets;
    });
    return rows;
}

std::string human(double value)
{
    char text[32];
    if (value >= 1e9)
        std::snprintf(text, sizeof text, "%.1fG", value / 1e9);
    else if (value >= 1e6)
        std::snprintf(text, sizeof text, "%.1fM", value / 1e6);
    else if (value >= 1e4)
        std::snprintf(text, sizeof text, "%.1fk", value / 1e3);
    else
        std::snprintf(text, sizeof text, "%.0f", value);
    return text;
}

// The terminal in raw mode while top runs, put back on any exit.
class RawTerminal {
public:
    RawTerminal()
    {
        if (tcgetattr(0, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            active_ = tcsetattr(0, TCSANOW, &raw) == 0;
        }
        std::cout << "\x1b[?25l";
    }
    ~RawTerminal()
    {
        if (active_)
            tcsetattr(0, TCSANOW, &saved_);
        std::cout << "\x1b[?25h" << std::flush;
    }
    RawTerminal(const RawTerminal &) = delete;
    RawTerminal &operator=(const RawTerminal &) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace

int run_top(const std::string &text, bool once, bool json, double interval)
{
    const Rules rules(text);
    const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    const auto wait = std::chrono::duration<double>(interval);
    Reading before = read_counts(rules);
    if (once) {
        std::this_thread::sleep_for(wait);
        const Reading after = read_counts(rules);
        const auto rows = top_rows(rules, parsed, before, after);
        if (json) {
            nlohmann::json all = nlohmann::json::array();
            for (const TopRow &row : rows)
                all.push_back({{"rule", row.rule}, {"verdict", row.allow ? "allow" : "drop"},
                               {"description", row.description}, {"packets", row.packets}, {"bytes", row.bytes},
                               {"packets_per_second", std::round(row.packets_per_second * 10) / 10},
                               {"bytes_per_second", std::round(row.bytes_per_second * 10) / 10}});
            std::cout << all.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
        } else {
            for (const TopRow &row : rows)
                std::cout << row.rule << " " << (row.allow ? "allow" : "drop") << " " << human(row.packets_per_second)
                          << "/s " << row.packets << " [" << row.description << "]\n";
        }
        return 0;
    }
    const RawTerminal raw;
    for (;;) {
        pollfd key{0, POLLIN, 0};
        const int ms = static_cast<int>(interval * 1000);
        if (poll(&key, 1, ms) > 0 && (key.revents & POLLIN) != 0) {
            char c = 0;
            if (read(0, &c, 1) == 1 && (c == 'q' || c == 'Q'))
                return 0;
        }
        const Reading after = read_counts(rules);
        const auto rows = top_rows(rules, parsed, before, after);
        winsize size{};
        const int height = ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_row > 4 ? size.ws_row : 24;
        const int width = ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 40 ? size.ws_col : 80;
        std::string screen = "\x1b[H\x1b[2J";
        char line[512];
        std::snprintf(line, sizeof line, "zorvane top: %zu rules, every %.1f s; q quits\n", rules.size(), interval);
        screen += line;
        std::snprintf(line, sizeof line, "%7s %-5s %9s %9s %12s %12s  %s\n", "rule", "", "pkts/s", "bytes/s",
                      "packets", "bytes", "matches");
        screen += line;
        const std::size_t room = static_cast<std::size_t>(std::max(1, width - 72));
        for (std::size_t i = 0; i < rows.size() && static_cast<int>(i) < height - 3; ++i) {
            const TopRow &row = rows[i];
            std::string words = row.description;
            if (words.size() > room)
                words = words.substr(0, room > 3 ? room - 3 : room) + "...";
            std::snprintf(line, sizeof line, "%7zu %-5s %9s %9s %12llu %12llu  %s\n", row.rule,
                          row.allow ? "allow" : "DROP", human(row.packets_per_second).c_str(),
                          human(row.bytes_per_second).c_str(), row.packets, row.bytes, words.c_str());
            screen += line;
        }
        std::cout << screen << std::flush;
        before = after;
    }
}

}  // namespace zorvane
