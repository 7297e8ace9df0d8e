// The record of what the last successful install put in force: the rule
// set's restore text per family, as the library wrote it, kept under /run
// for the guard and the status.
#pragma once

#include <string>
#include <vector>

#include "layout.h"
#include "rule_model.h"

namespace zvn {

// Keeps the record of an install of a rule set (its layouts and the texts
// committed, per active family).
void record_install(const RuleSet &set, const std::vector<Layout> &layouts, const std::vector<std::string> &texts);

}  // namespace zvn
