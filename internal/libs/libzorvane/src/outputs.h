// What the exported functions write of a rule set, whether it came as a
// text or as a parsed handle: the restore text of every active family, the
// descriptions, the verification of the chains.
#pragma once

#include <cstddef>
#include <string>

#include "apply.h"
#include "rule_model.h"

namespace zvn {

// Each active family's restore text in the process's layout ("# TOOL"
// before each section where both families are in play).
std::string restore_text_of(const RuleSet &set);
// [{"rule":N,"verdict":"allow"|"drop","matches":"..."}, ...]
std::string descriptions_of(const RuleSet &set);
// zvn_verify_chain_json after its argument checks.
int verify_json(const RuleSetSource &source, char *result_json, std::size_t size_n);

}  // namespace zvn
