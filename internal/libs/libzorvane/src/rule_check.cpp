// The check of a rule set: every finding that makes a rule mean something
// other than it says (values the translation ignores, values that add
// options to their line, malformed addresses, ports and names), and rules
// that can never match because an earlier rule decides every packet they
// match. It runs no command and touches no file.

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "libzorvane.h"
#include "rule_check.h"
#include "zorvane_internal.h"

namespace zvn {

namespace {

// ---------------------------------------------------------------------------
// Findings
// ---------------------------------------------------------------------------


// A JSON string literal. The texts come from a parsed rule set, so they are
// valid UTF-8; only quotes, backslashes and control characters need care.
void append_json_string(std::string &out, const std::string &text)
{
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            static const char hex[] = "0123456789abcdef";
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
}

std::string findings_text(const std::vector<Finding> &findings)
{
    std::string text = "[";
    text.reserve(findings.size() * 160 + 2);
    for (const Finding &f : findings) {
        if (text.size() > 1)
            text += ',';
        text += "{\"rule\":";
        text += std::to_string(f.rule);
        text += ",\"key\":";
        if (f.key != nullptr)
            append_json_string(text, f.key);
        else
            text += "null";
        text += ",\"severity\":\"";
        text += f.error ? "error" : "warning";
        text += "\",\"code\":\"";
        text += f.code;
        text += "\",\"message\":";
        append_json_string(text, f.message);
        if (f.other_rule != 0)
            text += ",\"other_rule\":" + std::to_string(f.other_rule);
        text += '}';
    }
    return text + "]";
}

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

// ---------------------------------------------------------------------------
// Reading and judging the values of one rule
// ---------------------------------------------------------------------------

// A value as the findings quote it. Serialising recurses once per level of
// nesting, so a value nested past any a rule could mean is described, not
// dumped: an input nested a hundred thousand deep must not end the check.
constexpr std::size_t max_described_nesting = 32;

std::string described(const nlohmann::json &value)
{
    std::vector<std::pair<const nlohmann::json *, std::size_t>> pending{{&value, 1}};
    while (!pending.empty()) {
        const auto [next, depth] = pending.back();
        pending.pop_back();
        if (!next->is_structured())
            continue;
        if (depth > max_described_nesting)
            return std::string(value.is_array() ? "an array" : "an object") + " nested deeper than " +
                   std::to_string(max_described_nesting) + " levels";
        for (const auto &child : *next)
            pending.emplace_back(&child, depth + 1);
    }
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// ::ffff:a.b.c.d: an IPv4 address written as IPv6. IPv4 packets reach the
// IPv4 chain only, and no IPv6 packet carries such a source.
bool is_ipv4_mapped(const Ipv6Address &address)
{
    for (std::size_t i = 0; i < 10; ++i)
        if (address[i] != 0)
            return false;
    return address[10] == 0xff && address[11] == 0xff;
}

std::string ipv4_mapped_message(const char *key, const std::string &value)
{
    return quoted(key) + " " + quoted(value) +
           " is an IPv4-mapped IPv6 address: it goes to the IPv6 chain, where no packet carries it, so the rule "
           "matches nothing; write the IPv4 address or network";
}

// Blanks or quotes split the value into options of their own; a leading '!'
// or '-' makes it an option (or a negation) itself.
bool is_option_text(const std::string &value)
{
    if (!value.empty() && (value[0] == '!' || value[0] == '-'))
        return true;
    return value.find_first_of(" \t\n\r\v\f\"'") != std::string::npos;
}

bool is_interface_byte(unsigned char c)
{
    return c > 0x20 && c < 0x7f && c != '/' && c != ':';
}

class RuleReader {
public:
    RuleReader(const Rule &rule, std::vector<Finding> &findings)
        : rule_(rule), number_(rule.number), findings_(findings)
    {
    }

    Match read()
    {
        match_.allow = rule_.allow;
        match_.families = rule_.families();
        for (const auto &[key, value] : {std::pair{"interface", &rule_.interface},
                                         std::pair{"src_IP_cidr", &rule_.cidr},
                                         std::pair{"src_IP_range", &rule_.range},
                                         std::pair{"protocol", &rule_.protocol}})
            check_ignored(key, *value);
        check_empty_values();
        read_interface();
        read_source();
        read_protocol();
        read_ports();
        check_unused_sources();
        return match_;
    }

private:
    void add(const char *key, bool error, const char *code, std::string message)
    {
        findings_.push_back({number_, key, error, code, std::move(message)});
        if (error)
            match_.usable = false;
    }

    // How the translation reads the model: a string key counts when it holds
    // a non-empty string, a list key when it holds a non-empty array.
    static const std::string *text(const TextValue &value) { return value.set() ? &value.text : nullptr; }
    static const std::vector<std::string> *items(const ListValue &value)
    {
        return value.set() ? &value.items : nullptr;
    }

    // What the rule matches when a key is not set, as the translation reads
    // it: the words of the findings that say so.
    std::string widened(const char *key) const
    {
        const std::string name = key;
        if (name == "interface")
            return "any interface but lo";
        if (name == "protocol")
            return "any protocol";
        if (name == "dports_list")
            return "every port";
        return "any source";
    }

    // A source key that is not set widens the rule only when no other
    // source is used.
    bool widens(const char *key) const
    {
        const std::string name = key;
        if (name != "src_IP_cidr" && name != "src_IP_range" && name != "src_country")
            return true;
        return rule_.source() == SourceKind::none;
    }

    void check_ignored(const char *key, const TextValue &value)
    {
        if (value.kind == TextValue::Kind::null) {
            add(key, true, "null-value",
                quoted(key) + " is null, which is not a string: the rule ignores it and matches " +
                    (widens(key) ? widened(key) : "as if it were absent"));
            return;
        }
        if (value.kind != TextValue::Kind::other)
            return;
        add(key, true, "ignored-value",
            quoted(key) + " holds " + described(*value.json) +
                ", which is not a string: the rule ignores it and matches more than written");
    }

    // "" and [] mean "not set": allowed, since the format defines them so,
    // but a rule then matches more than a reader may think.
    void check_empty_values()
    {
        const std::pair<const char *, int> keys[] = {{"interface", 0}, {"src_IP_cidr", 1}, {"src_IP_range", 2},
                                                     {"src_country", 3}, {"protocol", 4}, {"dports_list", 5}};
        const TextValue *texts[] = {&rule_.interface, &rule_.cidr, &rule_.range, nullptr, &rule_.protocol, nullptr};
        const ListValue *lists[] = {nullptr, nullptr, nullptr, &rule_.countries, nullptr, &rule_.ports};
        for (const auto &[key, index] : keys) {
            const TextValue *text_value = texts[index];
            const ListValue *list = lists[index];
            const bool empty = text_value != nullptr ? text_value->empty_string() : list->present && list->items.empty();
            if (!empty || !widens(key))
                continue;
            findings_.push_back({number_, key, false, "empty-value",
                                 quoted(key) + " is " + (text_value != nullptr ? "\"\"" : "[]") +
                                     ", which means not set: the rule matches " + widened(key)});
        }
    }

    // False (with its finding) when the value would add options to its line.
    bool plain_value(const char *key, const std::string &value)
    {
        if (!is_option_text(value))
            return true;
        add(key, true, "option-text",
            quoted(key) + " value " + quoted(value) +
                " holds a blank or a quote, or starts with ! or -: it would add options to the rule's line");
        return false;
    }

    void read_interface()
    {
        const std::string *name = text(rule_.interface);
        if (name == nullptr) {
            if (rule_.interface.kind == TextValue::Kind::other)
                match_.usable = false;  // ignored value: already a finding
            return;
        }
        if (!plain_value("interface", *name))
            return;
        const bool wildcard = name->back() == '+';
        const std::string stem = wildcard ? name->substr(0, name->size() - 1) : *name;
        const bool bytes_ok = std::all_of(stem.begin(), stem.end(), [](char c) {
            return is_interface_byte(static_cast<unsigned char>(c)) && c != '+';
        });
        if (name->size() > 15 || !bytes_ok || *name == "." || *name == "..") {
            add("interface", true, "bad-interface",
                "\"interface\" " + quoted(*name) +
                    " is no interface name: at most 15 bytes, no blank, '/' or ':', and '+' only at the end");
            return;
        }
        if (stem.find_first_of("*?") != std::string::npos)
            findings_.push_back({number_, "interface", false, "interface-wildcard",
                                 "\"interface\" " + quoted(*name) +
                                     " holds '*' or '?': the tool takes them as part of a literal name, which "
                                     "matches no interface of the usual names; its wildcard is a '+' at the end, "
                                     "as in \"eth+\""});
        match_.interface = wildcard ? Interface::wildcard : Interface::name;
        match_.interface_name = stem;
    }

    void read_source()
    {
        if (const std::string *cidr = text(rule_.cidr))
            read_addresses(*cidr);
        else if (const std::string *range = text(rule_.range))
            read_range(*range);
        else if (const auto *countries = items(rule_.countries))
            read_countries(*countries);
    }

    // A network of the rule's family as an interval; false (with its
    // finding) when it is none.
    bool read_network(const std::string &text, bool six, std::vector<Interval> &intervals)
    {
        if (six) {
            const auto network = parse_ipv6_network(text);
            if (!network) {
                add("src_IP_cidr", true, "bad-address",
                    "\"src_IP_cidr\" " + quoted(text) + " is not an IPv6 address or network (n at most 128)");
                return false;
            }
            if (network->address != network->first())
                add("src_IP_cidr", false, "host-bits",
                    "\"src_IP_cidr\" " + quoted(text) + " has bits set beyond its prefix: it means " +
                        format_ipv6(network->first()) + "/" + std::to_string(network->prefix));
            if (network->prefix >= 96 && is_ipv4_mapped(network->first())) {
                add("src_IP_cidr", true, "ipv4-mapped", ipv4_mapped_message("src_IP_cidr", text));
                return false;
            }
            intervals.emplace_back(point(network->first()), point(network->last()));
            return true;
        }
        const auto network = parse_ipv4_network(text);
        if (!network) {
            add("src_IP_cidr", true, "bad-address",
                "\"src_IP_cidr\" " + quoted(text) +
                    (ipv6_enabled() ? " is not an IPv4 or IPv6 address or network (a.b.c.d/n, n at most 32)"
                                    : " is not an IPv4 address or network (a.b.c.d or a.b.c.d/n, n at most 32)"));
            return false;
        }
        if (network->address != network->first())
            add("src_IP_cidr", false, "host-bits",
                "\"src_IP_cidr\" " + quoted(text) + " has bits set beyond its prefix: it means " +
                    format_ipv4(network->first()) + "/" + std::to_string(network->prefix));
        intervals.emplace_back(point(network->first()), point(network->last()));
        return true;
    }

    void read_addresses(const std::string &value)
    {
        if (!plain_value("src_IP_cidr", value))
            return;
        const std::vector<std::string> parts = split_commas(value);
        if (parts.size() > 1)
            add("src_IP_cidr", true, "address-list",
                "\"src_IP_cidr\" " + quoted(value) + " is a list of " + std::to_string(parts.size()) +
                    " addresses: the tool installs a line for each, and the chain no longer lines up with the "
                    "rule numbers; write one rule per address");
        // The family follows the colon, as it does for the chain the rule
        // goes to; with IPv6 off every address must be IPv4.
        const bool six = ipv6_enabled() && value.find(':') != std::string::npos;
        std::vector<Interval> intervals;
        for (const std::string &part : parts)
            if (!read_network(part, six, intervals))
                return;
        match_.source = Source::addresses;
        match_.addresses = merged(std::move(intervals));
    }

    void read_range(const std::string &value)
    {
        if (!plain_value("src_IP_range", value))
            return;
        std::optional<Interval> interval;
        if (ipv6_enabled() && value.find(':') != std::string::npos) {
            if (const auto range = parse_ipv6_range(value)) {
                if (is_ipv4_mapped(range->first) || is_ipv4_mapped(range->second)) {
                    add("src_IP_range", true, "ipv4-mapped", ipv4_mapped_message("src_IP_range", value));
                    return;
                }
                interval = Interval{point(range->first), point(range->second)};
            }
        } else if (const auto range = parse_ipv4_range(value)) {
            interval = Interval{point(range->first), point(range->second)};
        }
        if (!interval || interval->second < interval->first) {
            add("src_IP_range", true, "bad-range",
                "\"src_IP_range\" " + quoted(value) + " is not two " + (ipv6_enabled() ? "IPv4 or two IPv6" : "IPv4") +
                    " addresses joined by '-', the first not above the last");
            return;
        }
        match_.source = Source::addresses;
        match_.addresses = {*interval};
    }

    void read_countries(const std::vector<std::string> &list)
    {
        std::vector<std::string> countries;
        for (const auto &code : list) {
            if (!plain_value("src_country", code))
                return;
            const bool letters = code.size() == 2 && std::isalpha(static_cast<unsigned char>(code[0])) &&
                                 std::isalpha(static_cast<unsigned char>(code[1]));
            if (!letters) {
                add("src_country", true, "bad-country",
                    "\"src_country\" element " + quoted(code) + " is not a country code of two letters");
                return;
            }
            std::string upper = code;
            for (char &c : upper)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            countries.push_back(upper);
        }
        std::sort(countries.begin(), countries.end());
        countries.erase(std::unique(countries.begin(), countries.end()), countries.end());
        match_.source = Source::countries;
        match_.countries = std::move(countries);
    }

    void read_protocol()
    {
        const std::string *protocol = text(rule_.protocol);
        if (protocol == nullptr)
            return;
        match_.protocol = *protocol == "tcp" ? 1 : *protocol == "udp" ? 2 : 3;
    }

    void read_ports()
    {
        const auto *list = items(rule_.ports);
        if (list == nullptr)
            return;
        std::vector<Interval> ports;
        std::size_t counted = 0;
        for (const auto &text : *list) {
            if (!plain_value("dports_list", text))
                return;
            if (has_leading_zero(text)) {
                add("dports_list", true, "noncanonical-port",
                    "\"dports_list\" element " + quoted(text) +
                        " has a number with a leading zero, which the tool reads as octal (\"010\" is port 8): "
                        "write the port without it");
                return;
            }
            const auto range = parse_port_range(text);
            if (!range) {
                add("dports_list", true, "bad-port",
                    "\"dports_list\" element " + quoted(text) +
                        " is not a port 0-65535 or a range a:b of two ports with a <= b");
                return;
            }
            counted += range->first == range->second ? 1u : 2u;
            ports.push_back(*range);
        }
        if (counted > 15) {
            add("dports_list", true, "bad-port",
                "\"dports_list\" names " + std::to_string(counted) +
                    " ports (a range counts two): the multiport match takes at most 15");
            return;
        }
        if (match_.protocol != 1 && match_.protocol != 2) {
            add("dports_list", true, "ports-need-protocol",
                "\"dports_list\" needs \"protocol\" tcp or udp: the multiport match refuses ports of any other");
            return;
        }
        match_.has_ports = true;
        match_.ports = merged(std::move(ports));
    }

    // A number of a port or a:b range written with a leading zero ("022",
    // "010:020"); "0" alone is a port.
    static bool has_leading_zero(const std::string &text)
    {
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find(':', start);
            if (end == std::string::npos)
                end = text.size();
            if (end - start > 1 && text[start] == '0')
                return true;
            start = end + 1;
        }
        return false;
    }

    // A port: one to five decimal digits, 0..65535.
    static std::optional<unsigned> parse_port(const char *first, const char *last)
    {
        if (first == last || last - first > 5)
            return std::nullopt;
        unsigned value = 0;
        for (const char *c = first; c != last; ++c) {
            if (*c < '0' || *c > '9')
                return std::nullopt;
            value = value * 10 + static_cast<unsigned>(*c - '0');
        }
        if (value > 65535)
            return std::nullopt;
        return value;
    }

    // "p" or "a:b" with a <= b.
    static std::optional<Interval> parse_port_range(const std::string &text)
    {
        const char *begin = text.data(), *end = text.data() + text.size();
        const char *colon = static_cast<const char *>(std::memchr(begin, ':', text.size()));
        const auto first = parse_port(begin, colon != nullptr ? colon : end);
        if (colon == nullptr)
            return first ? std::optional<Interval>(Interval{point(*first), point(*first)}) : std::nullopt;
        const auto last = parse_port(colon + 1, end);
        if (!first || !last || *first > *last)
            return std::nullopt;
        return Interval{point(*first), point(*last)};
    }

    void check_unused_sources()
    {
        const char *used = nullptr;
        std::vector<const char *> unused;
        const std::pair<const char *, bool> sources[] = {{"src_IP_cidr", rule_.cidr.set()},
                                                         {"src_IP_range", rule_.range.set()},
                                                         {"src_country", rule_.countries.set()}};
        for (const auto &[key, set] : sources) {
            if (set && used == nullptr)
                used = key;
            else if (set)
                unused.push_back(key);
        }
        for (const char *key : unused)
            findings_.push_back({number_, key, false, "unused-source",
                                 quoted(key) + " is not used: the rule takes its source from " + quoted(used) +
                                     " only"});
    }

    const Rule &rule_;
    std::size_t number_;
    std::vector<Finding> &findings_;
    Match match_;
};

// The findings text into the caller's buffer: the result, or -1 when it
// does not fit.
int copy_findings(const std::string &text, char *findings_json, size_t size_n, int result)
{
    if (text.size() + 1 > size_n) {
        set_error(ZVN_ERROR_BUFFER, "the buffer is too small for the findings (" + std::to_string(text.size() + 1) +
                                        " bytes needed)");
        return -1;
    }
    std::memcpy(findings_json, text.c_str(), text.size() + 1);
    return result;
}

}  // namespace

}  // namespace zvn

extern "C" int zvn_check_rules_json(const char *rules, char *findings_json, size_t size_n)
{
    using namespace zvn;
    clear_error();
    if (rules == nullptr || findings_json == nullptr)
        return null_argument();
    // A plainly valid text (no repeated key among its traits) is read
    // straight into the model; any other takes the full parse, the
    // validation and the search for repeated keys.
    std::vector<std::pair<std::size_t, std::string>> duplicates;
    std::vector<Finding> findings;
    RuleSet set;
    nlohmann::json rules_json;
    const std::size_t length = std::strlen(rules);
    if (!read_plain_rule_set(rules, length, set)) {
        rules_json = nlohmann::json::parse(rules, rules + length, nullptr, false);
        if (rules_json.is_discarded()) {
            set_error(ZVN_ERROR_NOT_JSON, "the rule set is not JSON");
            return -1;
        }
        if (const auto fault = read_rule_set(rules_json, set)) {
            findings.push_back({fault->rule, nullptr, true, "invalid", fault->message});
            if (!fault->key.empty())
                findings.back().key = fault->key.c_str();
            return copy_findings(findings_text(findings), findings_json, size_n, 1);
        }
        duplicates = duplicate_keys(rules, length);
    }

    if (set.rules.empty())
        findings.push_back({0, nullptr, false, "empty", "the rule set has no rules: applying it empties the chain"});
    std::vector<std::vector<Finding>> per_rule(set.rules.size());
    std::vector<Match> matches;
    matches.reserve(set.rules.size());
    for (const auto &[rule, key] : duplicates)
        per_rule[rule - 1].push_back(
            {rule, key.c_str(), true, "duplicate-key",
             quoted(key) + " stands more than once in the rule: the last one is used and the others are ignored"});
    for (const Rule &rule : set.rules)
        matches.push_back(RuleReader(rule, per_rule[rule.number - 1]).read());
    find_shadowed(matches, per_rule);

    int errors = 0;
    for (auto &rule_findings : per_rule)
        for (auto &finding : rule_findings) {
            errors += finding.error ? 1 : 0;
            findings.push_back(std::move(finding));
        }
    return copy_findings(findings_text(findings), findings_json, size_n, errors);
}
