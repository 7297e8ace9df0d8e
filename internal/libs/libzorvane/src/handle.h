// The parsed rule set behind an exported handle.
#pragma once

#include "libzorvane.h"
#include "rule_model.h"

namespace zvn {

const RuleSet *rules_of_handle(const zvn_rules *rules);

}  // namespace zvn
