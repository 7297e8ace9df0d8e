// The check: findings on each rule of the model (what the reader noted,
// worded by one message table, and what the values mean together), and
// the rules an earlier rule shadows.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "addresses.h"
#include "rule_model.h"

namespace zvn {

struct Finding {
    std::size_t rule;
    std::string key;  // "": the rule (or rule set) as a whole
    bool error;
    const char *code;
    std::string message;
    std::size_t other_rule = 0;  // 0: none
};

// Every finding on a read rule set, in rule order (the rule set's own
// first); the number of errors among them.
std::vector<Finding> check_rule_set(const RuleSet &set, int &errors);
// The findings of a rule set that validation refused: the one "invalid".
std::vector<Finding> invalid_findings(const Fault &fault);
// As a compact JSON array of {"rule","key","severity","code","message"
// [,"other_rule"]}.
std::string findings_text(const std::vector<Finding> &findings);

// What a rule matches, as the shadowing compares it: the model's meanings
// with the sources and ports merged.
struct Match {
    bool usable = true;  // every value it matches on could be read
    bool allow = false;
    unsigned families = 1;  // bit 1: the IPv4 chain, bit 2: the IPv6 chain
    InterfaceMatch interface = InterfaceMatch::any_but_lo;
    std::string interface_name;
    enum class Source { any, addresses, countries } source = Source::any;
    std::vector<Interval> addresses;  // merged; of the one family the rule is in
    unsigned address_width = 32;
    std::vector<std::string> countries;
    Protocol protocol = Protocol::any;
    bool has_ports = false;
    std::vector<Interval> ports;  // merged
};

// Adds to each rule's findings the first earlier rule that matches every
// packet it matches (shadowed, or redundant with the same verdict).
void find_shadowed(const std::vector<Match> &matches, std::vector<std::vector<Finding>> &per_rule);

}  // namespace zvn
