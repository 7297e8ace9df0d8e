// The check of a rule set: every finding that makes a rule mean something
// other than it says (values the translation ignores, values that add
// options to their line, malformed addresses, ports and names), and rules
// that can never match because an earlier rule decides every packet they
// match. It reads the model; the words are the message table's below. It
// runs no command and touches no file, but for country rules written as
// address sets the country database it reads.

#include "check.h"

#include <cstring>
#include <string>
#include <vector>

#include "countries.h"
#include "families.h"
#include "libzorvane.h"

namespace zvn {

namespace {

std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

std::string quoted(Key key)
{
    return quoted(key_name(key));
}

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

// The findings of one rule, in the order a reader meets them.
class RuleFindings {
public:
    RuleFindings(const RuleSet &set, const Rule &rule, const Observation *notes, const Observation *notes_end,
                 std::vector<Finding> &findings)
        : set_(set), rule_(rule), notes_(notes), notes_end_(notes_end), findings_(findings)
    {
    }

    // The findings, then whether the rule's meaning can be compared.
    bool collect()
    {
        for (const Observation *n = notes_; n != notes_end_; ++n)
            if (n->note == Note::duplicate_key)
                findings_.push_back({rule_.number, key_name(n->key), true, "duplicate-key",
                                     quoted(n->key) + " stands more than once in the rule: the last one is used and "
                                                      "the others are ignored"});
        const Written &w = rule_.written;
        for (const auto &[key, given] : {std::pair{Key::interface, w.interface}, std::pair{Key::src_IP_cidr, w.cidr},
                                         std::pair{Key::src_IP_range, w.range}, std::pair{Key::protocol, w.protocol}})
            ignored(key, given);
        empty_values();
        for (const Observation *n = notes_; n != notes_end_; ++n)
            if (n->note != Note::duplicate_key && n->note != Note::ignored_value)
                worded(*n);
        unused_sources();
        return usable_;
    }

private:
    void add(Key key, bool error, const char *code, std::string message)
    {
        findings_.push_back({rule_.number, key_name(key), error, code, std::move(message)});
        if (error)
            usable_ = false;
    }

    // What the rule matches when a key is not set, as the translation reads
    // it: the words of the findings that say so.
    static const char *widened(Key key)
    {
        switch (key) {
        case Key::interface: return "any interface but lo";
        case Key::protocol: return "any protocol";
        case Key::dports_list: return "every port";
        default: return "any source";
        }
    }

    // A source key that is not set widens the rule only when no other
    // source is used.
    bool widens(Key key) const
    {
        if (key != Key::src_IP_cidr && key != Key::src_IP_range && key != Key::src_country)
            return true;
        return rule_.source == SourceKind::none;
    }

    void ignored(Key key, Given given)
    {
        if (given == Given::null) {
            add(key, true, "null-value",
                quoted(key) + " is null, which is not a string: the rule ignores it and matches " +
                    (widens(key) ? widened(key) : "as if it were absent"));
            return;
        }
        if (given != Given::other)
            return;
        std::string what = "a value";
        for (const Observation *n = notes_; n != notes_end_; ++n)
            if (n->note == Note::ignored_value && n->key == key)
                what = set_.described[n->element];
        add(key, true, "ignored-value",
            quoted(key) + " holds " + what + ", which is not a string: the rule ignores it and matches more than written");
    }

    // "" and [] mean "not set": allowed, since the format defines them so,
    // but a rule then matches more than a reader may think.
    void empty_values()
    {
        const Written &w = rule_.written;
        const std::pair<Key, bool> keys[] = {
            {Key::interface, w.interface == Given::text && w.interface_text.empty()},
            {Key::src_IP_cidr, w.cidr == Given::text && w.cidr_text.empty()},
            {Key::src_IP_range, w.range == Given::text && w.range_text.empty()},
            {Key::src_country, w.countries_present && w.countries.empty()},
            {Key::protocol, w.protocol == Given::text && w.protocol_text.empty()},
            {Key::dports_list, w.ports_present && w.ports.empty()}};
        for (const auto &[key, empty] : keys) {
            if (!empty || !widens(key))
                continue;
            const bool list = key == Key::src_country || key == Key::dports_list;
            findings_.push_back({rule_.number, key_name(key), false, "empty-value",
                                 quoted(key) + " is " + (list ? "[]" : "\"\"") +
                                     ", which means not set: the rule matches " + widened(key)});
        }
    }

    // The value a note is about: the key's text, or its list's element.
    std::string value_of(const Observation &n) const
    {
        const Written &w = rule_.written;
        switch (n.key) {
        case Key::interface: return w.interface_text;
        case Key::src_IP_cidr: return w.cidr_text;
        case Key::src_IP_range: return w.range_text;
        case Key::src_country: return n.element < w.countries.size() ? w.countries[n.element] : "";
        case Key::dports_list: return n.element < w.ports.size() ? w.ports[n.element] : "";
        default: return "";
        }
    }

    // The message table: one entry per note.
    void worded(const Observation &n)
    {
        const std::string value = value_of(n);
        const Written &w = rule_.written;
        const bool six_on = ipv6_enabled();
        const bool six = rule_.source_family == ipv6.bit;
        switch (n.note) {
        case Note::option_text:
            add(n.key, true, "option-text",
                quoted(n.key) + " value " + quoted(value) +
                    " holds a blank or a quote, or starts with ! or -: it would add options to the rule's line");
            return;
        case Note::bad_interface:
            add(n.key, true, "bad-interface",
                "\"interface\" " + quoted(value) +
                    " is no interface name: at most 15 bytes, no blank, '/' or ':', and '+' only at the end");
            return;
        case Note::interface_wildcard:
            add(n.key, false, "interface-wildcard",
                "\"interface\" " + quoted(value) +
                    " holds '*' or '?': the tool takes them as part of a literal name, which matches no interface "
                    "of the usual names; its wildcard is a '+' at the end, as in \"eth+\"");
            return;
        case Note::address_list:
            add(n.key, true, "address-list",
                "\"src_IP_cidr\" " + quoted(value) + " is a list of " + std::to_string(n.element) +
                    " addresses: the tool installs a line for each, and the chain no longer lines up with the "
                    "rule numbers; write one rule per address");
            return;
        case Note::bad_address: {
            const std::string part = split_commas(w.cidr_text)[n.element];
            add(n.key, true, "bad-address",
                "\"src_IP_cidr\" " + quoted(part) +
                    (six ? " is not an IPv6 address or network (n at most 128)"
                         : six_on ? " is not an IPv4 or IPv6 address or network (a.b.c.d/n, n at most 32)"
                                  : " is not an IPv4 address or network (a.b.c.d or a.b.c.d/n, n at most 32)"));
            return;
        }
        case Note::host_bits: {
            const std::string part = split_commas(w.cidr_text)[n.element];
            add(n.key, false, "host-bits",
                "\"src_IP_cidr\" " + quoted(part) + " has bits set beyond its prefix: it means " +
                    set_.described[n.detail]);
            return;
        }
        case Note::ipv4_mapped: {
            const std::string part = n.key == Key::src_IP_cidr ? split_commas(w.cidr_text)[n.element] : value;
            add(n.key, true, "ipv4-mapped",
                quoted(n.key) + " " + quoted(part) +
                    " is an IPv4-mapped IPv6 address: it goes to the IPv6 chain, where no packet carries it, so the "
                    "rule matches nothing; write the IPv4 address or network");
            return;
        }
        case Note::bad_range:
            add(n.key, true, "bad-range",
                "\"src_IP_range\" " + quoted(value) + " is not two " + (six_on ? "IPv4 or two IPv6" : "IPv4") +
                    " addresses joined by '-', the first not above the last");
            return;
        case Note::bad_country:
            add(n.key, true, "bad-country",
                "\"src_country\" element " + quoted(value) + " is not a country code of two letters");
            return;
        case Note::noncanonical_port:
            add(n.key, true, "noncanonical-port",
                "\"dports_list\" element " + quoted(value) +
                    " has a number with a leading zero, which the tool reads as octal (\"010\" is port 8): write "
                    "the port without it");
            return;
        case Note::bad_port:
            add(n.key, true, "bad-port",
                "\"dports_list\" element " + quoted(value) +
                    " is not a port 0-65535 or a range a:b of two ports with a <= b");
            return;
        case Note::too_many_ports:
            add(n.key, true, "bad-port",
                "\"dports_list\" names " + std::to_string(n.element) +
                    " ports (a range counts two): the multiport match takes at most 15");
            return;
        case Note::ports_need_protocol:
            add(n.key, true, "ports-need-protocol",
                "\"dports_list\" needs \"protocol\" tcp or udp: the multiport match refuses ports of any other");
            return;
        case Note::duplicate_key:
        case Note::ignored_value:
            return;
        }
    }

    void unused_sources()
    {
        const Written &w = rule_.written;
        const std::pair<Key, bool> sources[] = {{Key::src_IP_cidr, Written::set(w.cidr, w.cidr_text)},
                                                {Key::src_IP_range, Written::set(w.range, w.range_text)},
                                                {Key::src_country, !w.countries.empty()}};
        const char *used = nullptr;
        for (const auto &[key, set] : sources) {
            if (set && used == nullptr) {
                used = key_name(key);
            } else if (set) {
                findings_.push_back({rule_.number, key_name(key), false, "unused-source",
                                     quoted(key) + " is not used: the rule takes its source from " + quoted(used) +
                                         " only"});
            }
        }
    }

    const RuleSet &set_;
    const Rule &rule_;
    const Observation *notes_, *notes_end_;
    std::vector<Finding> &findings_;
    bool usable_ = true;
};

// What the shadowing compares of a rule.
Match match_of(const Rule &rule, bool usable)
{
    Match match;
    match.usable = usable && rule.interface_known && rule.source_known && rule.ports_known && !rule.option_text;
    match.allow = rule.allow;
    match.families = rule.families();
    match.interface = rule.interface;
    match.interface_name = rule.interface_name;
    switch (rule.source) {
    case SourceKind::address:
    case SourceKind::range:
        match.source = Match::Source::addresses;
        match.addresses = merged(rule.addresses);
        match.address_width = family_of(rule.source_family).width;
        break;
    case SourceKind::countries:
        match.source = Match::Source::countries;
        match.countries = rule.countries;
        break;
    case SourceKind::none:
        break;
    }
    match.protocol = rule.protocol;
    match.has_ports = rule.ports_set();
    match.ports = merged(rule.ports);
    return match;
}

}  // namespace

std::vector<Finding> check_rule_set(const RuleSet &set, int &errors)
{
    std::vector<Finding> findings;
    if (set.rules.empty())
        findings.push_back({0, "", false, "empty", "the rule set has no rules: applying it empties the chain"});
    std::vector<std::vector<Finding>> per_rule(set.rules.size());
    std::vector<Match> matches;
    matches.reserve(set.rules.size());
    const Observation *next = set.notes.data(), *end = set.notes.data() + set.notes.size();
    for (std::size_t r = 0; r < set.rules.size(); ++r) {
        const Observation *first = next;
        while (next != end && next->rule == r)
            ++next;
        const bool usable = RuleFindings(set, set.rules[r], first, next, per_rule[r]).collect();
        matches.push_back(match_of(set.rules[r], usable));
    }
    find_shadowed(matches, per_rule);
    // Country rules written as address sets: what the database holds.
    for (CountryFinding &found : country_findings(set))
        per_rule[found.rule].push_back(
            {set.rules[found.rule].number, "src_country", found.error, found.code, std::move(found.message)});
    errors = 0;
    for (auto &rule_findings : per_rule)
        for (auto &finding : rule_findings) {
            errors += finding.error ? 1 : 0;
            findings.push_back(std::move(finding));
        }
    return findings;
}

std::vector<Finding> invalid_findings(const Fault &fault)
{
    return {Finding{fault.rule, fault.key, true, "invalid", fault.message}};
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
        if (!f.key.empty())
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

}  // namespace zvn
