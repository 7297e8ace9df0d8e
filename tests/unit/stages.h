// What the unit tests reach of the library's stages, and two shorthands.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "addresses.h"
#include "check.h"
#include "errors.h"
#include "families.h"
#include "iptables/iptables.h"
#include "layout.h"
#include "names.h"
#include "packet_filter.h"
#include "proof.h"
#include "rule_model.h"
#include "rule_reader.h"

namespace zvn_unit {

// A rule-set text read into the model, with the rule operations' records.
inline bool read(const std::string &text, zvn::RuleSet &set)
{
    return zvn::read_rules(text.c_str(), std::strlen(text.c_str()), set);
}

// A layout's restore text as the apply writes it, drops numbered by rule;
// flat where no layout is given.
inline std::string restore_text(const zvn::RuleSet &set, const zvn::Family &family, const zvn::Layout *layout = nullptr,
                                const zvn::StandingLayout &standing = {}, std::vector<std::uint32_t> *line_rules = nullptr)
{
    const zvn::Layout flat = zvn::compile_layout(set, family, zvn::LayoutChoice::flat);
    return zvn::iptables_restore_text(set, layout != nullptr ? *layout : flat, zvn::Numbering::by_rule, family,
                                      zvn::log_limit(), standing, line_rules);
}

}  // namespace zvn_unit
