// The rule set read into its model: the JSON text parsed once and validated
// in the order and with the messages the format defines, every value kept
// as written and read into its meaning (addresses and ranges as intervals,
// ports as intervals, the interface as a name or a wildcard, countries as
// codes), with what the check reports noted on the way. This file and the
// check's message table are the only places that know the keys' names.

#include "rule_reader.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "errors.h"
#include "families.h"
#include "libzorvane.h"
#include "log.h"

namespace zvn {

namespace {

constexpr const char *key_names[] = {"allow",       "dports_list",  "interface",  "protocol",
                                     "src_IP_cidr", "src_IP_range", "src_country"};

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

std::string quoted_key(Key key)
{
    return std::string("\"") + key_name(key) + "\"";
}

// ---------------------------------------------------------------------------
// What the values mean
// ---------------------------------------------------------------------------

std::string joined(const std::vector<std::string> &items)
{
    std::string text;
    for (const auto &item : items) {
        if (!text.empty())
            text += ',';
        text += item;
    }
    return text;
}

// A port element as the restore text writes it: each run of digits between
// the colons without its leading zeros; anything else as written, for the
// test run to judge.
void append_canonical_port(std::string &out, const std::string &port)
{
    std::size_t start = 0;
    for (;;) {
        std::size_t end = port.find(':', start);
        if (end == std::string::npos)
            end = port.size();
        std::size_t first = start;
        const bool digits = end > start && std::all_of(port.begin() + static_cast<std::ptrdiff_t>(start),
                                                       port.begin() + static_cast<std::ptrdiff_t>(end),
                                                       [](char c) { return c >= '0' && c <= '9'; });
        while (digits && first + 1 < end && port[first] == '0')
            ++first;
        out.append(port, first, end - first);
        if (end == port.size())
            return;
        out += ':';
        start = end + 1;
    }
}

// A port number of decimal digits, 0..65535 (leading zeros read away, as
// the restore text writes it).
std::optional<unsigned> port_number(std::string_view digits)
{
    if (digits.empty())
        return std::nullopt;
    unsigned value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = std::min(value * 10 + static_cast<unsigned>(c - '0'), 100000u);
    }
    if (value > 65535)
        return std::nullopt;
    return value;
}

// "p" or "a:b" with a <= b.
std::optional<Interval> port_interval(const std::string &text)
{
    const std::size_t colon = text.find(':');
    const auto first = port_number(std::string_view(text).substr(0, colon));
    if (colon == std::string::npos)
        return first ? std::optional<Interval>(Interval{*first, *first}) : std::nullopt;
    const auto last = port_number(std::string_view(text).substr(colon + 1));
    if (!first || !last || *first > *last)
        return std::nullopt;
    return Interval{*first, *last};
}

// A number of a port or a:b range written with a leading zero ("022",
// "010:020"); "0" alone is a port.
bool has_leading_zero(const std::string &text)
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

// A single port written as the restore text writes it counts one for the
// multiport match, a range two; syntax aside, the tool takes 15.
bool plain_port_syntax(const std::string &text)
{
    const std::size_t colon = text.find(':');
    const auto digits_only = [](std::string_view part) {
        return !part.empty() && part.size() <= 5 &&
               std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (colon == std::string::npos)
        return digits_only(text);
    return digits_only(std::string_view(text).substr(0, colon)) && digits_only(std::string_view(text).substr(colon + 1));
}

bool is_interface_byte(unsigned char c)
{
    return c > 0x20 && c < 0x7f && c != '/' && c != ':' && c != '+';
}

class Understanding {
public:
    Understanding(Rule &rule, std::uint32_t index, RuleSet &set) : rule_(rule), index_(index), set_(set) {}

    void read()
    {
        Written &written = rule_.written;
        written.port_list.clear();
        for (const auto &port : written.ports) {
            if (!written.port_list.empty())
                written.port_list += ',';
            append_canonical_port(written.port_list, port);
        }
        written.country_list = joined(written.countries);
        for (const auto &[given, text] : {std::pair{written.interface, &written.interface_text},
                                         std::pair{written.cidr, &written.cidr_text},
                                         std::pair{written.range, &written.range_text},
                                         std::pair{written.protocol, &written.protocol_text}})
            rule_.option_text = rule_.option_text || (Written::set(given, *text) && option_text(*text));
        for (const auto *list : {&written.countries, &written.ports})
            for (const auto &item : *list)
                rule_.option_text = rule_.option_text || option_text(item);
        read_interface();
        read_source();
        if (rule_.protocol_set()) {
            const std::string &name = written.protocol_text;
            rule_.protocol = name == "tcp" ? Protocol::tcp : name == "udp" ? Protocol::udp : Protocol::icmp;
        }
        read_ports();
    }

private:
    void note(Key key, Note what, std::uint32_t element = 0, std::uint32_t detail = 0)
    {
        set_.notes.push_back({index_, key, what, element, detail});
    }

    void read_interface()
    {
        if (!rule_.interface_set())
            return;
        const std::string &name = rule_.written.interface_text;
        const bool wildcard = name.back() == '+';
        rule_.interface = wildcard ? InterfaceMatch::wildcard : InterfaceMatch::name;
        rule_.interface_name = wildcard ? name.substr(0, name.size() - 1) : name;
        if (option_text(name)) {
            note(Key::interface, Note::option_text);
            rule_.interface_known = false;
            return;
        }
        const std::string &stem = rule_.interface_name;
        const bool bytes_ok =
            std::all_of(stem.begin(), stem.end(), [](char c) { return is_interface_byte(static_cast<unsigned char>(c)); });
        if (name.size() > 15 || !bytes_ok || name == "." || name == "..") {
            note(Key::interface, Note::bad_interface);
            rule_.interface_known = false;
            return;
        }
        if (stem.find_first_of("*?") != std::string::npos)
            note(Key::interface, Note::interface_wildcard);
    }

    void read_source()
    {
        const Written &written = rule_.written;
        if (Written::set(written.cidr, written.cidr_text)) {
            rule_.source = SourceKind::address;
            // The tool installs "-s a,b" as one line per address, in place
            // of the one line of the restore file.
            rule_.targets = static_cast<std::uint32_t>(
                std::count(written.cidr_text.begin(), written.cidr_text.end(), ',') + 1);
            read_addresses(written.cidr_text);
        } else if (Written::set(written.range, written.range_text)) {
            rule_.source = SourceKind::range;
            read_range(written.range_text);
        } else if (!written.countries.empty()) {
            rule_.source = SourceKind::countries;
            read_countries(written.countries);
        }
    }

    // The family follows the colon, as it does for the chain the rule goes
    // to; with IPv6 off every address must be IPv4.
    const Family &text_family(const std::string &text) const
    {
        return ipv6_enabled() ? family_of_text(text) : ipv4;
    }

    void read_addresses(const std::string &value)
    {
        if (option_text(value)) {
            note(Key::src_IP_cidr, Note::option_text);
            rule_.source_known = false;
            return;
        }
        const std::vector<std::string> parts = split_commas(value);
        if (parts.size() > 1)
            note(Key::src_IP_cidr, Note::address_list, static_cast<std::uint32_t>(parts.size()));
        const Family &family = text_family(value);
        rule_.source_family = family.bit;
        for (std::size_t e = 0; e < parts.size(); ++e) {
            const auto network = parse_network(parts[e], family);
            if (!network) {
                note(Key::src_IP_cidr, Note::bad_address, static_cast<std::uint32_t>(e));
                rule_.source_known = false;
                break;
            }
            if (network->host_bits_set()) {
                note(Key::src_IP_cidr, Note::host_bits, static_cast<std::uint32_t>(e),
                     static_cast<std::uint32_t>(set_.described.size()));
                set_.described.push_back(format_address(network->first(), family) + "/" +
                                         std::to_string(network->prefix));
            }
            if (family.width == 128 && network->prefix >= 96 && ipv4_mapped(network->first())) {
                note(Key::src_IP_cidr, Note::ipv4_mapped, static_cast<std::uint32_t>(e));
                rule_.source_known = false;
                break;
            }
            rule_.addresses.push_back(network->interval());
        }
        if (!rule_.source_known)
            rule_.addresses.clear();
    }

    void read_range(const std::string &value)
    {
        if (option_text(value)) {
            note(Key::src_IP_range, Note::option_text);
            rule_.source_known = false;
            return;
        }
        const Family &family = text_family(value);
        rule_.source_family = family.bit;
        const auto range = parse_range(value, family);
        if (range && family.width == 128 && (ipv4_mapped(range->first) || ipv4_mapped(range->last))) {
            note(Key::src_IP_range, Note::ipv4_mapped);
            rule_.source_known = false;
            return;
        }
        if (!range || range->last < range->first) {
            note(Key::src_IP_range, Note::bad_range);
            rule_.source_known = false;
            return;
        }
        rule_.addresses.push_back(*range);
    }

    void read_countries(const std::vector<std::string> &list)
    {
        std::vector<std::string> codes;
        for (std::size_t e = 0; e < list.size(); ++e) {
            const std::string &code = list[e];
            if (option_text(code)) {
                note(Key::src_country, Note::option_text, static_cast<std::uint32_t>(e));
                rule_.source_known = false;
                return;
            }
            const bool letters = code.size() == 2 && std::isalpha(static_cast<unsigned char>(code[0])) &&
                                 std::isalpha(static_cast<unsigned char>(code[1]));
            if (!letters) {
                note(Key::src_country, Note::bad_country, static_cast<std::uint32_t>(e));
                rule_.source_known = false;
                return;
            }
            std::string upper = code;
            for (char &c : upper)
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            codes.push_back(std::move(upper));
        }
        std::sort(codes.begin(), codes.end());
        codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
        rule_.countries = std::move(codes);
    }

    void read_ports()
    {
        const std::vector<std::string> &list = rule_.written.ports;
        if (list.empty())
            return;
        // The meaning: the port each element names once written canonically.
        std::string canonical;
        for (const auto &text : list) {
            canonical.clear();
            append_canonical_port(canonical, text);
            const auto interval = port_interval(canonical);
            if (!interval || option_text(text)) {
                rule_.ports_known = false;
                rule_.ports.clear();
                break;
            }
            rule_.ports.push_back(*interval);
        }
        // What the check says of them, in the order it looks.
        std::size_t counted = 0;
        for (std::size_t e = 0; e < list.size(); ++e) {
            const std::string &text = list[e];
            const auto element = static_cast<std::uint32_t>(e);
            if (option_text(text)) {
                note(Key::dports_list, Note::option_text, element);
                return;
            }
            if (has_leading_zero(text)) {
                note(Key::dports_list, Note::noncanonical_port, element);
                return;
            }
            if (!plain_port_syntax(text) || !port_interval(text)) {
                note(Key::dports_list, Note::bad_port, element);
                return;
            }
            counted += text.find(':') == std::string::npos ? 1u : 2u;
        }
        if (counted > 15) {
            note(Key::dports_list, Note::too_many_ports, static_cast<std::uint32_t>(counted));
            return;
        }
        if (rule_.protocol != Protocol::tcp && rule_.protocol != Protocol::udp)
            note(Key::dports_list, Note::ports_need_protocol);
    }

    Rule &rule_;
    std::uint32_t index_;
    RuleSet &set_;
};

// ---------------------------------------------------------------------------
// Validation of the JSON tree
// ---------------------------------------------------------------------------

// A value as the findings quote it. Serialising recurses once per level of
// nesting, so a value nested past any a rule could mean is described, not
// dumped: an input nested a hundred thousand deep must not end the reading.
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

// A list key: an array whose elements are non-empty strings without
// control characters. The message of the first fault, or "" (the items
// then filled in).
std::string read_list(Key key, const nlohmann::json &list, bool &present, std::vector<std::string> &items)
{
    if (!list.is_array())
        return quoted_key(key) + " is not an array";
    present = true;
    items.reserve(list.size());
    for (const auto &element : list) {
        if (!element.is_string())
            return quoted_key(key) + " element is not a string";
        const auto &text = element.get_ref<const std::string &>();
        if (text.empty())
            return quoted_key(key) + " element is an empty string";
        if (has_control_character(text))
            return quoted_key(key) + " element contains a control character";
        items.push_back(text);
    }
    return "";
}

// A key whose value the format does not examine: kept as the translation
// reads it (a string, or something it ignores, described for the check).
std::string read_text(Key key, const nlohmann::json &json, Given &given, std::string &text, std::uint32_t index,
                      RuleSet &set)
{
    if (json.is_string()) {
        given = Given::text;
        text = json.get_ref<const std::string &>();
        if (has_control_character(text))
            return quoted_key(key) + " contains a control character";
        return "";
    }
    given = json.is_null() ? Given::null : Given::other;
    if (given == Given::other) {
        set.notes.push_back({index, key, Note::ignored_value, static_cast<std::uint32_t>(set.described.size())});
        set.described.push_back(described(json));
    }
    return "";
}

// One key/value pair of a rule object into the rule: the message of its
// fault, or "".
std::string read_property(const std::string &name, const nlohmann::json &value, Rule &rule, std::uint32_t index,
                          RuleSet &set)
{
    const auto key = key_of(name);
    if (!key)
        return "unknown key: \"" + name + "\"";
    Written &written = rule.written;
    switch (*key) {
    case Key::allow: return "";
    case Key::interface: return read_text(*key, value, written.interface, written.interface_text, index, set);
    case Key::src_IP_cidr: return read_text(*key, value, written.cidr, written.cidr_text, index, set);
    case Key::src_IP_range: return read_text(*key, value, written.range, written.range_text, index, set);
    case Key::src_country: return read_list(*key, value, written.countries_present, written.countries);
    case Key::dports_list: return read_list(*key, value, written.ports_present, written.ports);
    case Key::protocol: {
        read_text(*key, value, written.protocol, written.protocol_text, index, set);
        if (!value.is_string())
            return "";
        const auto &protocol = value.get_ref<const std::string &>();
        if (protocol.empty() || protocol == "tcp" || protocol == "udp" || protocol == "icmp")
            return "";
        return "\"protocol\" only support tcp/udp/icmp";
    }
    }
    return "";
}

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

// The validation's records: the message, "Dump:" and the whole rule set;
// and the error channel's entry, naming the rule and the key.
void tell_fault(const Fault &fault, const nlohmann::json &rules)
{
    log_record(fault.message);
    log_record("Dump:");
    if (nesting_within_bound(rules))
        log_record(rules.dump(1));
    else
        log_record("(not dumped: nested deeper than ", max_dumped_nesting, " levels)");
    ErrorRecord &error =
        set_error(ZVN_ERROR_INVALID, fault.rule == 0 ? fault.message
                                                     : "rule " + std::to_string(fault.rule) +
                                                           (fault.key.empty() ? "" : " (" + fault.key + ")") + ": " +
                                                           fault.message);
    error.rule = fault.rule;
    error.key = fault.key;
}

// ---------------------------------------------------------------------------
// A plainly valid text, read without a JSON tree
// ---------------------------------------------------------------------------

// SAX events of a plainly valid rule set into the model; any event outside
// that shape stops the parse (false), and the caller takes the full way.
class PlainRuleReader {
public:
    explicit PlainRuleReader(RuleSet &set) : set_(set) {}

    bool null()
    {
        if (depth_ != 2 || text_value() == nullptr)
            return false;
        *text_value() = Given::null;
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
        Written &written = set_.rules.back().written;
        if (depth_ == 3) {  // an element of a list
            if (value.empty())
                return false;
            (key_ == Key::src_country ? written.countries : written.ports).push_back(std::move(value));
            return true;
        }
        if (depth_ != 2 || text_value() == nullptr)
            return false;
        if (key_ == Key::protocol && !value.empty() && value != "tcp" && value != "udp" && value != "icmp")
            return false;
        *text_value() = Given::text;
        *text_of() = std::move(value);
        return true;
    }

    bool start_object(std::size_t)
    {
        if (depth_ != 1)
            return false;
        depth_ = 2;
        seen_ = 0;
        Rule &rule = set_.rules.emplace_back();
        rule.number = static_cast<std::uint32_t>(set_.rules.size());
        return true;
    }
    bool key(std::string &name)
    {
        const auto known = key_of(name);
        if (!known)
            return false;
        const unsigned bit = 1u << static_cast<unsigned>(*known);
        if ((seen_ & bit) != 0)
            return false;  // a repeated key: the full parse decides which counts
        seen_ |= bit;
        key_ = *known;
        return true;
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
        if (depth_ != 2 || (key_ != Key::src_country && key_ != Key::dports_list))
            return false;
        Written &written = set_.rules.back().written;
        (key_ == Key::src_country ? written.countries_present : written.ports_present) = true;
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
    Given *text_value()
    {
        Written &written = set_.rules.back().written;
        switch (key_) {
        case Key::interface: return &written.interface;
        case Key::protocol: return &written.protocol;
        case Key::src_IP_cidr: return &written.cidr;
        case Key::src_IP_range: return &written.range;
        default: return nullptr;
        }
    }
    std::string *text_of()
    {
        Written &written = set_.rules.back().written;
        switch (key_) {
        case Key::interface: return &written.interface_text;
        case Key::protocol: return &written.protocol_text;
        case Key::src_IP_cidr: return &written.cidr_text;
        default: return &written.range_text;
        }
    }

    RuleSet &set_;
    int depth_ = 0;  // 1 in the rule set, 2 in a rule, 3 in a list
    Key key_ = Key::allow;
    unsigned seen_ = 0;
};

// Where a text stops being JSON: the parser's words without its
// exception's name, and the rule it stands in (or after).
class FaultFinder {
public:
    bool null() { return value(); }
    bool boolean(bool) { return value(); }
    template <typename Number>
    bool number_integer(Number) { return value(); }
    template <typename Number>
    bool number_unsigned(Number) { return value(); }
    template <typename Number, typename Text>
    bool number_float(Number, const Text &) { return value(); }
    template <typename Binary>
    bool binary(Binary &) { return value(); }
    bool string(std::string &) { return value(); }
    bool start_object(std::size_t) { return open(); }
    bool key(std::string &) { return true; }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(); }
    bool end_array() { return close(); }
    template <typename Exception>
    bool parse_error(std::size_t, const std::string &, const Exception &error)
    {
        const std::string what = error.what();
        const std::size_t bracket = what.find("] ");
        words = bracket == std::string::npos ? what : what.substr(bracket + 2);
        inside = depth > 1;
        return false;
    }

    std::string words;
    std::size_t elements = 0;  // elements of the rule set begun
    bool inside = false;       // within the last of them

private:
    bool value()
    {
        if (depth == 1)
            ++elements;
        return true;
    }
    bool open()
    {
        value();
        ++depth;
        return true;
    }
    bool close()
    {
        --depth;
        return true;
    }
    int depth = 0;
};

void understand_all(RuleSet &set)
{
    for (std::size_t r = 0; r < set.rules.size(); ++r)
        Understanding(set.rules[r], static_cast<std::uint32_t>(r), set).read();
}

}  // namespace

const char *key_name(Key key)
{
    return key_names[static_cast<std::size_t>(key)];
}

std::optional<Key> key_of(std::string_view name)
{
    // The keys in their usual order of frequency: most comparisons stop at
    // the first or second.
    for (const Key key : {Key::allow, Key::interface, Key::src_IP_cidr, Key::protocol, Key::dports_list,
                          Key::src_IP_range, Key::src_country})
        if (name == key_name(key))
            return key;
    return std::nullopt;
}

bool option_text(const std::string &value)
{
    if (!value.empty() && (value[0] == '!' || value[0] == '-'))
        return true;
    return value.find_first_of(" \t\n\r\v\f\"'") != std::string::npos;
}

// ---------------------------------------------------------------------------
// What a rule means
// ---------------------------------------------------------------------------

const std::string *Rule::source_text() const
{
    if (Written::set(written.cidr, written.cidr_text))
        return &written.cidr_text;
    if (Written::set(written.range, written.range_text))
        return &written.range_text;
    return nullptr;
}

// An address or range with a colon is IPv6; any other is IPv4; without
// either, a rule belongs to both. With IPv6 off every rule goes to IPv4.
bool Rule::in_family(const Family &family) const
{
    if (!ipv6_enabled())
        return family.bit == ipv4.bit;
    const std::string *text = source_text();
    if (text == nullptr)
        return true;
    return family_of_text(*text).bit == family.bit;
}

unsigned Rule::families() const
{
    return (in_family(ipv4) ? ipv4.bit : 0u) | (ipv6_enabled() && in_family(ipv6) ? ipv6.bit : 0u);
}

std::string Rule::description() const
{
    std::string text = protocol_set() ? written.protocol_text : "all";
    if (ports_set())
        text += " ports " + joined(written.ports);
    if (const std::string *address = source_text())
        text += " from " + *address;
    else if (!written.countries.empty())
        text += " from countries " + written.country_list;
    text += interface_set() ? " on " + written.interface_text : " on any interface but lo";
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
// Reading
// ---------------------------------------------------------------------------

bool parse_rules(const char *rules, std::size_t length, nlohmann::json &rules_json)
{
    rules_json = nlohmann::json::parse(rules, rules + length, nullptr, false);
    if (rules_json.is_discarded()) {
        log_record("json parse fail");
        return false;
    }
    return true;
}

std::optional<Fault> read_rule_set(const nlohmann::json &rules_json, RuleSet &set)
{
    set = RuleSet{};
    if (!rules_json.is_array())
        return Fault{0, "", "input rules is not an array!"};
    set.rules.reserve(rules_json.size());
    std::uint32_t number = 0;
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
            std::string message = read_property(it.key(), it.value(), rule, number - 1, set);
            if (!message.empty())
                return Fault{number, it.key(), std::move(message)};
        }
    }
    understand_all(set);
    // The ignored values were noted while the keys were read: each rule's
    // notes together, in rule order.
    std::stable_sort(set.notes.begin(), set.notes.end(),
                     [](const Observation &a, const Observation &b) { return a.rule < b.rule; });
    return std::nullopt;
}

bool read_plain_rule_set(const char *text, std::size_t length, RuleSet &set)
{
    set = RuleSet{};
    // Room for as many rules as the text names "allow" (every rule does,
    // once): the rules are then not moved at every doubling.
    std::size_t allows = 0;
    const std::string_view all(text, length);
    for (std::size_t at = all.find("\"allow\""); at != std::string_view::npos; at = all.find("\"allow\"", at + 7))
        ++allows;
    set.rules.reserve(allows);
    PlainRuleReader reader(set);
    if (!nlohmann::json::sax_parse(text, text + length, &reader) || !reader.done())
        return false;
    understand_all(set);
    return true;
}

void note_duplicate_keys(const char *text, std::size_t length, RuleSet &set)
{
    // A scan of the raw text, which has parsed: containers by their
    // brackets, strings skipped with their escapes. A string directly in a
    // rule object (an object that is an element of the top-level array)
    // followed by ':' is one of its keys. Much cheaper than a parse with a
    // callback, which builds the tree several times slower.
    std::vector<Observation> duplicates;
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
            if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
                keys.push_back(std::move(key));
                continue;
            }
            const auto known = key_of(key);
            if (!known || elements == 0 || elements > set.rules.size())
                continue;
            const Observation note{static_cast<std::uint32_t>(elements - 1), *known, Note::duplicate_key, 0};
            const bool seen = std::any_of(duplicates.begin(), duplicates.end(), [&](const Observation &o) {
                return o.rule == note.rule && o.key == note.key;
            });
            if (!seen)
                duplicates.push_back(note);
        } else if (open.size() == 1 && open[0] == '[' && c != ',' && c != ' ' && c != '\t' && c != '\n' &&
                   c != '\r') {
            // a scalar element: skip its token
            ++elements;
            keys.clear();
            while (i + 1 < length && text[i + 1] != ',' && text[i + 1] != ']')
                ++i;
        }
    }
    if (duplicates.empty())
        return;
    // Each rule's repeated keys come before its other notes.
    duplicates.insert(duplicates.end(), set.notes.begin(), set.notes.end());
    std::stable_sort(duplicates.begin(), duplicates.end(),
                     [](const Observation &a, const Observation &b) { return a.rule < b.rule; });
    set.notes = std::move(duplicates);
}

bool read_rules(const char *text, std::size_t length, RuleSet &set, Told told, std::optional<Fault> *fault)
{
    // A plainly valid text is read without a JSON tree; anything else takes
    // the full parse and validation, with their records.
    if (read_plain_rule_set(text, length, set)) {
        set.text.assign(text, length);
        return true;
    }
    nlohmann::json rules_json = nlohmann::json::parse(text, text + length, nullptr, false);
    if (rules_json.is_discarded()) {
        if (told == Told::told) {
            log_record("json parse fail");
            FaultFinder finder;
            nlohmann::json::sax_parse(text, text + length, &finder);
            std::string where;
            if (finder.elements > 0)
                where = std::string(finder.inside ? " (in rule " : " (after rule ") + std::to_string(finder.elements) + ")";
            set_error(ZVN_ERROR_NOT_JSON,
                      "the rule set is not JSON" + (finder.words.empty() ? "" : ": " + finder.words) + where)
                .rule = finder.inside ? finder.elements : 0;
        }
        return false;
    }
    auto found = read_rule_set(rules_json, set);
    if (found) {
        if (told == Told::told)
            tell_fault(*found, rules_json);
        if (fault != nullptr)
            *fault = std::move(found);
        return false;
    }
    note_duplicate_keys(text, length, set);
    set.text.assign(text, length);
    return true;
}

}  // namespace zvn
