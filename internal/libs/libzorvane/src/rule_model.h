// The rule model: a rule set as what each rule means (its interface, its
// source as address intervals or country codes, its protocol, its port
// intervals, its verdict), read once from the text, beside the values as
// written, which the restore text copies and the messages quote. Every
// stage reads it: the translation, the layouts, the expected listing, the
// check and its shadowing, the descriptions. Only this model's reader and
// the check's message table name the keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "addresses.h"

namespace zvn {

struct Family;

// The keys of a rule object, in ascending byte order: the order in which
// validation visits them.
enum class Key : std::uint8_t { allow, dports_list, interface, protocol, src_IP_cidr, src_IP_range, src_country };
const char *key_name(Key key);
std::optional<Key> key_of(std::string_view name);

// How a value stands in the text: absent, a string ("" included), null, or
// a value of another kind, which the translation ignores.
enum class Given : std::uint8_t { absent, text, null, other };

enum class InterfaceMatch : std::uint8_t { any_but_lo, name, wildcard };
// The source the translation uses: the first of address, range, countries.
enum class SourceKind : std::uint8_t { none, address, range, countries };
enum class Protocol : std::uint8_t { any, tcp, udp, icmp };

// What the reader found in a value that the check reports (a finding
// each); the check's message table words them.
enum class Note : std::uint8_t {
    duplicate_key,       // the key stands more than once in the rule
    ignored_value,       // neither a string nor null (element: its description)
    option_text,         // a blank or quote, or a leading '!' or '-' (element)
    bad_interface,
    interface_wildcard,  // '*' or '?' in the name
    bad_address,         // (element)
    address_list,        // (element: the number of addresses)
    host_bits,           // (element; detail: what it means, in described)
    ipv4_mapped,
    bad_range,
    bad_country,         // (element)
    noncanonical_port,   // (element)
    bad_port,            // (element)
    too_many_ports,      // (element: the ports counted)
    ports_need_protocol,
};

struct Observation {
    std::uint32_t rule;  // index into RuleSet::rules
    Key key;
    Note note;
    std::uint32_t element = 0;
    std::uint32_t detail = 0;
};

// A rule's values as its text writes them.
struct Written {
    Given interface = Given::absent, cidr = Given::absent, range = Given::absent, protocol = Given::absent;
    std::string interface_text, cidr_text, range_text, protocol_text;
    bool countries_present = false, ports_present = false;
    std::vector<std::string> countries, ports;  // their elements
    // The port list as the restore text writes it: the elements joined by
    // commas, every number without its leading zeros (which the tool would
    // read as octal); the country list joined likewise.
    std::string port_list, country_list;

    // Set, as the translation reads a string key: a non-empty string.
    static bool set(Given given, const std::string &text) { return given == Given::text && !text.empty(); }
};

// One validated rule.
struct Rule {
    std::uint32_t number = 0;  // its position in the rule set, from 1
    bool allow = false;

    // What it matches.
    InterfaceMatch interface = InterfaceMatch::any_but_lo;
    std::string interface_name;  // a name, or a wildcard's stem without '+'
    SourceKind source = SourceKind::none;
    unsigned source_family = 0;       // address or range: the family bit its text names
    std::vector<Interval> addresses;  // address or range: one interval per element, as written
    std::vector<std::string> countries;  // upper case, sorted, each once
    Protocol protocol = Protocol::any;
    std::vector<Interval> ports;  // one interval per element, as written
    // Whether each value that is set was read into its meaning (an option
    // text, a malformed address or a port name is not).
    bool interface_known = true, source_known = true, ports_known = true;
    // A value would add options to the rule's line: no stage can tell what
    // the line matches.
    bool option_text = false;
    // The lines the tool makes of each of the rule's lines: one per element
    // of a comma-separated address list, otherwise one.
    std::uint32_t targets = 1;

    Written written;

    bool interface_set() const { return Written::set(written.interface, written.interface_text); }
    bool protocol_set() const { return Written::set(written.protocol, written.protocol_text); }
    bool ports_set() const { return !written.ports.empty(); }
    // The address or range text the rule uses (nullptr for countries or none).
    const std::string *source_text() const;
    // Whether the rule goes to a family's chain: with IPv6 off every rule
    // goes to IPv4; with it on, a rule whose address or range holds a colon
    // goes to IPv6 only, one with another to IPv4 only, one without (any
    // source, countries) to both.
    bool in_family(const Family &family) const;
    unsigned families() const;  // the bits of the families it goes to
    // How many lines the tool makes of each line of the rule.
    std::size_t lines_per_target() const { return targets; }
    // Its lines in a restore file: one allowing, two dropping.
    std::size_t lines_in_restore_file() const { return allow ? 1 : 2; }
    // "tcp ports 22,80 from 10.0.0.0/8 on eth0".
    std::string description() const;
};

struct RuleSet {
    std::vector<Rule> rules;
    // The text it was read from (what the record of an install keeps).
    std::string text;
    // The reader's observations, in rule order, and the descriptions of
    // values that are not strings which they quote.
    std::vector<Observation> notes;
    std::vector<std::string> described;
};

// The first fault of a rule set in the order the validation looks: the rule
// it stands in (from 1; 0 for the rule set as a whole), the key it stands in
// ("" where none) and the message.
struct Fault {
    std::size_t rule = 0;
    std::string key;
    std::string message;
};

// The elements of a comma-separated text (a text without commas is one).
std::vector<std::string> split_commas(const std::string &text);

}  // namespace zvn
