// The rule set and its model: the JSON text parsed and validated once, in
// the order and with the messages the format defines, into typed rules that
// every later stage reads (the translation, the check, the family split,
// the counts and their verification, the descriptions). This file and the
// check's texts are the only places that know the keys' names.

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "zorvane_internal.h"

namespace zvn {

namespace {

// A control character in a value would end the rule's line in the restore
// file (a line feed starts a line of the client's choosing, a NUL cuts the
// line short), so no value copied into the file may hold one.
bool has_control_character(const std::string &value)
{
    return std::any_of(value.begin(), value.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// A list key: an array whose elements are non-empty strings without
// control characters. The message of the first fault, or "" (the items
// then filled in).
std::string read_list(const std::string &key, const nlohmann::json &list, ListValue &value)
{
    if (!list.is_array())
        return "\"" + key + "\" is not an array";
    value.present = true;
    value.items.reserve(list.size());
    for (const auto &element : list) {
        if (!element.is_string())
            return "\"" + key + "\" element is not a string";
        const auto &text = element.get_ref<const std::string &>();
        if (text.empty())
            return "\"" + key + "\" element is an empty string";
        if (has_control_character(text))
            return "\"" + key + "\" element contains a control character";
        value.items.push_back(text);
    }
    return "";
}

// A key whose value the format does not examine: kept as the translation
// reads it (a string, or something it ignores).
std::string read_text(const std::string &key, const nlohmann::json &json, TextValue &value)
{
    if (json.is_string()) {
        value.kind = TextValue::Kind::text;
        value.text = json.get_ref<const std::string &>();
        if (has_control_character(value.text))
            return "\"" + key + "\" contains a control character";
        return "";
    }
    value.kind = json.is_null() ? TextValue::Kind::null : TextValue::Kind::other;
    value.json = &json;
    return "";
}

// One key/value pair of a rule object into the rule: the message of its
// fault, or "".
std::string read_property(const std::string &key, const nlohmann::json &value, Rule &rule)
{
    // The keys in their usual order of frequency: most comparisons stop at
    // the first or second.
    if (key == "allow")
        return "";
    if (key == "interface")
        return read_text(key, value, rule.interface);
    if (key == "src_IP_cidr")
        return read_text(key, value, rule.cidr);
    if (key == "src_IP_range")
        return read_text(key, value, rule.range);
    if (key == "src_country")
        return read_list(key, value, rule.countries);
    if (key == "dports_list")
        return read_list(key, value, rule.ports);
    if (key == "protocol") {
        read_text(key, value, rule.protocol);
        if (!value.is_string())
            return "";
        const auto &protocol = value.get_ref<const std::string &>();
        if (protocol.empty() || protocol == "tcp" || protocol == "udp" || protocol == "icmp")
            return "";
        return "\"protocol\" only support tcp/udp/icmp";
    }
    return "unknown key: \"" + key + "\"";
}

}  // namespace

// ---------------------------------------------------------------------------
// What a rule means
// ---------------------------------------------------------------------------

SourceKind Rule::source() const
{
    if (cidr.set())
        return SourceKind::address;
    if (range.set())
        return SourceKind::range;
    if (countries.set())
        return SourceKind::countries;
    return SourceKind::none;
}

const std::string *Rule::address_source() const
{
    if (cidr.set())
        return &cidr.text;
    if (range.set())
        return &range.text;
    return nullptr;
}

// An address or range with a colon is IPv6; any other is IPv4; without
// either, a rule belongs to both. With IPv6 off every rule goes to IPv4.
bool Rule::in_family(const Family &family) const
{
    if (!ipv6_enabled())
        return family.bit == ipv4.bit;
    const std::string *source = address_source();
    if (source == nullptr)
        return true;
    return (source->find(':') != std::string::npos ? ipv6.bit : ipv4.bit) == family.bit;
}

unsigned Rule::families() const
{
    return (in_family(ipv4) ? ipv4.bit : 0u) | (ipv6_enabled() && in_family(ipv6) ? ipv6.bit : 0u);
}

// The tool installs "-s a,b" as one line per address, in place of the one
// line of the restore file.
std::size_t Rule::lines_per_target() const
{
    if (!cidr.set())
        return 1;
    return static_cast<std::size_t>(std::count(cidr.text.begin(), cidr.text.end(), ',')) + 1;
}

std::size_t Rule::lines_in_restore_file() const
{
    return allow ? 1 : 2;
}

std::string Rule::description() const
{
    std::string text = protocol.set() ? protocol.text : "all";
    const auto joined = [](const std::vector<std::string> &items) {
        std::string list;
        for (const auto &item : items)
            list += (list.empty() ? "" : ",") + item;
        return list;
    };
    if (ports.set())
        text += " ports " + joined(ports.items);
    if (const std::string *source = address_source())
        text += " from " + *source;
    else if (countries.set())
        text += " from countries " + joined(countries.items);
    text += interface.set() ? " on " + interface.text : " on any interface but lo";
    return text;
}

std::vector<std::string> split_commas(const std::string &text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            return parts;
        start = comma + 1;
    }
}

// ---------------------------------------------------------------------------
// Parsing and validation
// ---------------------------------------------------------------------------

bool parse_rules(const char *rules, nlohmann::json &rules_json)
{
    rules_json = nlohmann::json::parse(rules, rules + std::strlen(rules), nullptr, false);
    if (rules_json.is_discarded()) {
        log_record("json parse fail");
        return false;
    }
    return true;
}

std::vector<std::pair<std::size_t, std::string>> duplicate_keys(const char *text, std::size_t length)
{
    // A scan of the raw text, which has parsed: containers by their
    // brackets, strings skipped with their escapes. A string directly in a
    // rule object (an object that is an element of the top-level array)
    // followed by ':' is one of its keys. Much cheaper than a parse with a
    // callback, which builds the tree several times slower.
    std::vector<std::pair<std::size_t, std::string>> duplicates;
    std::vector<char> open;         // the containers we are in
    std::size_t elements = 0;       // values of the top-level array so far
    std::vector<std::string> keys;  // of the rule object being read
    const auto in_rule = [&] { return open.size() == 2 && open[0] == '[' && open[1] == '{'; };
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c == '[' || c == '{') {
            if (open.size() == 1 && open[0] == '[') {
                ++elements;
                keys.clear();
            }
            open.push_back(c);
        } else if (c == ']' || c == '}') {
            if (!open.empty())
                open.pop_back();
        } else if (c == '"') {
            if (open.size() == 1 && open[0] == '[') {  // a string element
                ++elements;
                keys.clear();
            }
            const std::size_t start = i;
            bool escaped = false;
            for (++i; i < length && text[i] != '"'; ++i)
                if (text[i] == '\\') {
                    escaped = true;
                    ++i;
                }
            if (!in_rule())
                continue;
            std::size_t next = i + 1;
            while (next < length && (text[next] == ' ' || text[next] == '\t' || text[next] == '\n' || text[next] == '\r'))
                ++next;
            if (next >= length || text[next] != ':')
                continue;
            std::string key(text + start + 1, i - start - 1);
            if (escaped)
                key = nlohmann::json::parse(text + start, text + i + 1, nullptr, false).get<std::string>();
            if (std::find(keys.begin(), keys.end(), key) == keys.end())
                keys.push_back(std::move(key));
            else if (std::find(duplicates.begin(), duplicates.end(), std::make_pair(elements, key)) == duplicates.end())
                duplicates.emplace_back(elements, std::move(key));
        } else if (open.size() == 1 && open[0] == '[' && c != ',' && c != ' ' && c != '\t' && c != '\n' &&
                   c != '\r') {
            // a scalar element: skip its token
            ++elements;
            keys.clear();
            while (i + 1 < length && text[i + 1] != ',' && text[i + 1] != ']')
                ++i;
        }
    }
    return duplicates;
}

std::optional<Fault> read_rule_set(const nlohmann::json &rules_json, RuleSet &set)
{
    set.rules.clear();
    if (!rules_json.is_array())
        return Fault{0, "", "input rules is not an array!"};
    set.rules.reserve(rules_json.size());
    std::size_t number = 0;
    for (const auto &single_rule : rules_json) {
        ++number;
        if (!single_rule.is_object())
            return Fault{number, "", "element is not an object"};
        const auto allow = single_rule.find("allow");
        if (allow == single_rule.end())
            return Fault{number, "allow", "\"allow\" missing"};
        if (!allow->is_boolean())
            return Fault{number, "allow", "\"allow\" is not a boolean"};
        Rule &rule = set.rules.emplace_back();
        rule.number = number;
        rule.allow = allow->get<bool>();
        // Every key in ascending byte order, as the format checks them.
        for (auto it = single_rule.begin(); it != single_rule.end(); ++it) {
            std::string message = read_property(it.key(), it.value(), rule);
            if (!message.empty())
                return Fault{number, it.key(), std::move(message)};
        }
    }
    return std::nullopt;
}

namespace {

// The dump of a refused rule set recurses once per level of nesting; a rule
// set nested deeper than any real one (they need three levels) would
// overflow the stack there, so such a dump is replaced by a note.
constexpr std::size_t max_dumped_nesting = 512;

bool nesting_within_bound(const nlohmann::json &root)
{
    std::vector<std::pair<const nlohmann::json *, std::size_t>> pending{{&root, 1}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured())
            continue;
        if (depth > max_dumped_nesting)
            return false;
        for (const auto &child : *value)
            pending.emplace_back(&child, depth + 1);
    }
    return true;
}

// The first fault of the rule set in the documented order of checks, one
// message with a dump of the whole rule set; true when there is none.
bool is_rules_format_valid(const nlohmann::json &rules, RuleSet &set)
{
    const auto fault = read_rule_set(rules, set);
    if (!fault)
        return true;
    log_record(fault->message);
    log_record("Dump:");
    if (nesting_within_bound(rules))
        log_record(rules.dump(1));
    else
        log_record("(not dumped: nested deeper than ", max_dumped_nesting, " levels)");
    set_error(ZVN_ERROR_INVALID, fault->rule == 0
                                     ? fault->message
                                     : "rule " + std::to_string(fault->rule) +
                                           (fault->key.empty() ? "" : " (" + fault->key + ")") + ": " + fault->message);
    return false;
}

}  // namespace

bool parse_and_validate(const char *rules, ParsedRuleSet &parsed)
{
    if (!parse_rules(rules, parsed.json)) {
        set_error(ZVN_ERROR_NOT_JSON, "the rule set is not JSON");
        return false;
    }
    return is_rules_format_valid(parsed.json, parsed.set);
}

// ---------------------------------------------------------------------------
// A plainly valid text, read without a JSON tree
// ---------------------------------------------------------------------------

namespace {

// SAX events of a plainly valid rule set into the model; any event outside
// that shape stops the parse (false), and the caller takes the full way.
class PlainRuleReader {
public:
    explicit PlainRuleReader(RuleSet &set) : set_(set) {}

    bool null()
    {
        if (depth_ != 2 || text_value() == nullptr)
            return false;
        text_value()->kind = TextValue::Kind::null;
        return true;
    }
    bool boolean(bool value)
    {
        if (depth_ != 2 || key_ != Key::allow)
            return false;
        set_.rules.back().allow = value;
        return true;
    }
    template <typename Number>
    bool number_integer(Number) { return false; }
    template <typename Number>
    bool number_unsigned(Number) { return false; }
    template <typename Number, typename Text>
    bool number_float(Number, const Text &) { return false; }
    template <typename Binary>
    bool binary(Binary &) { return false; }

    bool string(std::string &value)
    {
        if (has_control_character(value) || depth_ < 2)
            return false;
        Rule &rule = set_.rules.back();
        if (depth_ == 3) {  // an element of a list
            if (value.empty())
                return false;
            (key_ == Key::countries ? rule.countries : rule.ports).items.push_back(std::move(value));
            return true;
        }
        if (depth_ != 2 || text_value() == nullptr)
            return false;
        if (key_ == Key::protocol && !value.empty() && value != "tcp" && value != "udp" && value != "icmp")
            return false;
        text_value()->kind = TextValue::Kind::text;
        text_value()->text = std::move(value);
        return true;
    }

    bool start_object(std::size_t)
    {
        if (depth_ != 1)
            return false;
        depth_ = 2;
        seen_ = 0;
        Rule &rule = set_.rules.emplace_back();
        rule.number = set_.rules.size();
        return true;
    }
    bool key(std::string &name)
    {
        static const std::pair<const char *, Key> known[] = {
            {"allow", Key::allow}, {"interface", Key::interface}, {"protocol", Key::protocol},
            {"src_IP_cidr", Key::cidr}, {"src_IP_range", Key::range}, {"src_country", Key::countries},
            {"dports_list", Key::ports}};
        for (const auto &[text, key] : known)
            if (name == text) {
                const unsigned bit = 1u << static_cast<unsigned>(key);
                if ((seen_ & bit) != 0)
                    return false;  // a repeated key: the full parse decides which counts
                seen_ |= bit;
                key_ = key;
                return true;
            }
        return false;
    }
    bool end_object()
    {
        depth_ = 1;
        return (seen_ & (1u << static_cast<unsigned>(Key::allow))) != 0;
    }
    bool start_array(std::size_t)
    {
        if (depth_ == 0) {
            depth_ = 1;
            return true;
        }
        if (depth_ != 2 || (key_ != Key::countries && key_ != Key::ports))
            return false;
        (key_ == Key::countries ? set_.rules.back().countries : set_.rules.back().ports).present = true;
        depth_ = 3;
        return true;
    }
    bool end_array()
    {
        --depth_;
        return true;
    }
    template <typename Exception>
    bool parse_error(std::size_t, const std::string &, const Exception &) { return false; }

    bool done() const { return depth_ == 0; }

private:
    enum class Key : unsigned { none, allow, interface, protocol, cidr, range, countries, ports };

    TextValue *text_value()
    {
        Rule &rule = set_.rules.back();
        switch (key_) {
        case Key::interface: return &rule.interface;
        case Key::protocol: return &rule.protocol;
        case Key::cidr: return &rule.cidr;
        case Key::range: return &rule.range;
        default: return nullptr;
        }
    }

    RuleSet &set_;
    int depth_ = 0;  // 1 in the rule set, 2 in a rule, 3 in a list
    Key key_ = Key::none;
    unsigned seen_ = 0;
};

}  // namespace

bool read_plain_rule_set(const char *text, std::size_t length, RuleSet &set)
{
    set.rules.clear();
    PlainRuleReader reader(set);
    return nlohmann::json::sax_parse(text, text + length, &reader) && reader.done();
}

}  // namespace zvn
