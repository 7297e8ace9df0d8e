// Reading a rule-set text into the model: parsed once (a plainly valid
// text straight into the model, anything else through the JSON tree),
// validated in the documented order with the documented messages, and each
// value read into its meaning.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "rule_model.h"

namespace zvn {

// Whether a refusal is told: the validation's records (the message, then
// "Dump:" and the rule set) and the error channel's entry, as the rule
// operations tell it; or nothing, as the check, which reports findings.
enum class Told { told, silent };

// Reads a rule-set text of length bytes into the model. False for a text
// that is not one JSON value ("json parse fail") or that validation
// refuses; the fault, when asked for, is set for a refused rule set.
bool read_rules(const char *text, std::size_t length, RuleSet &set, Told told = Told::told,
                std::optional<Fault> *fault = nullptr);

// The parts, for the tests and the fuzz targets.
// Parses a text without exceptions; false (with its record) when the text
// is not one JSON value.
bool parse_rules(const char *rules, std::size_t length, nlohmann::json &rules_json);
// Validates a parsed rule set in the documented order and fills the model;
// the first fault, or nothing.
std::optional<Fault> read_rule_set(const nlohmann::json &rules_json, RuleSet &set);
// Reads a rule-set text that is plainly valid straight into the model,
// without building a JSON tree: an array of objects whose keys are known and
// appear once, "allow" a boolean, the string keys strings (or null) without
// control characters, "protocol" one of the names, the lists arrays of
// non-empty strings. False for anything else, every invalid text among it.
bool read_plain_rule_set(const char *text, std::size_t length, RuleSet &set);
// Notes each key that stands twice in a rule object of a text that parses
// (the parser keeps the last): once per rule and key.
void note_duplicate_keys(const char *text, std::size_t length, RuleSet &set);

// A value the tool would read as more than one word or as an option: a
// blank or quote, or a leading '!' or '-'.
bool option_text(const std::string &value);

}  // namespace zvn
