// Per-rule packet counts: by position, one listing per counted line, or
// from one read of the table that is first proven to hold the rule set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "apply.h"

namespace zvn {

// zvn_get_rule_count_json and zvn_get_rule_count_snapshot_json after their
// argument checks.
int per_rule_counts(const char *rules, char *pktcnt_list_json, const size_t size_n);
int snapshot_counts(const char *rules, char *pktcnt_list_json, const size_t size_n);

// The counts of a rule set read once: per rule its packets and bytes, and
// whether each could be told (false where its sum overflowed). The result
// is 0, or the status of the read that failed, or -1 where the tables do
// not hold the set (the error channel says which rule differs and how).
struct RuleCounts {
    // refused: the lock was not had or the rule set was refused; unread:
    // the tables were not read or do not hold the set; read: counts.
    enum class Outcome { refused, unread, read } outcome = Outcome::refused;
    std::size_t rules = 0;
    std::vector<std::uint64_t> packets, bytes;
    std::vector<bool> told;
};
int read_counts(const RuleSetSource &source, RuleCounts &counts);

}  // namespace zvn
