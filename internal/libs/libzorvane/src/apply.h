// Applying a rule set and its dry run, from a text (the specified
// functions, which read it with their records) or from a rule set read
// before (a parsed handle).
#pragma once

#include <cstddef>
#include <functional>

#include "rule_model.h"

namespace zvn {

// Reads the rule set when asked (after the chains have been looked at
// under the lock): nullptr for a refused text, its records told.
using RuleSetSource = std::function<const RuleSet *()>;

// With both families on: IPv4 installed first (and put back should IPv6's
// install fail), or the family of fewer rules first (whose listing is the
// cheap one to keep).
enum class FamilyOrder { ipv4_first, smaller_first };
// The new rules replace the old ones in one commit per family; 0, -1 for a
// refusal of the library's own, else the failing run's raw status.
int apply_rule_set(const RuleSetSource &source, FamilyOrder order = FamilyOrder::ipv4_first);
// Writes the restore files as the apply would and has the tool test them.
int test_rule_set(const RuleSetSource &source);
// A text read with the specified records.
RuleSetSource rules_of_text(const char *text, RuleSet &storage);

// Empties the drop log where it is a regular file; the status the shell's
// "echo -n > FILE" would give.
int clear_drop_log();

}  // namespace zvn
