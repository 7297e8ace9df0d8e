// The check, the restore text of the indexed layout and the fail-safe text
// on any text: they run no command, so this target needs no sandbox and
// runs fast. No input may crash them (deeply nested values, repeated keys
// and NUL bytes among the seeds); the check's result counts its error
// findings, a covering rule comes before the rule it covers, and every
// finding names a rule of the set; the layout keeps within four times the
// flat lines and never walks longer than the flat chain.
#include <libzorvane.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace zvn_fuzz;
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<char> findings(1 << 16);
    const int errors = zvn_check_rules_json(text.c_str(), findings.data(), findings.size());
    require(errors >= -1, "the check gives -1 or a count");
    if (errors >= 0) {
        const auto parsed = nlohmann::json::parse(findings.data());
        const auto rules = nlohmann::json::parse(text.c_str(), nullptr, false);
        int counted = 0;
        for (const auto &f : parsed) {
            counted += f["severity"] == "error" ? 1 : 0;
            const auto rule = f["rule"].get<std::size_t>();
            require(rule == 0 || (rules.is_array() && rule <= rules.size()), "a finding names a rule of the set");
            if (f.contains("other_rule"))
                require(f["other_rule"].get<std::size_t>() < rule, "the covering rule comes first");
        }
        require(counted == errors, "the result counts the error findings");
    }
    static const bool indexed = zvn_set_layout(ZVN_LAYOUT_INDEXED) == 0;
    require(indexed, "the indexed layout is chosen");
    std::vector<char> layout(4096);
    if (zvn_describe_layout_json(text.c_str(), layout.data(), layout.size()) == 0) {
        const auto families = nlohmann::json::parse(layout.data());
        for (const auto &[family, one] : families.items()) {
            require(one["lines"].get<std::size_t>() <= 4 * one["flat_lines"].get<std::size_t>(),
                    "the layout keeps within its line budget");
            require(one["deepest_walk"].get<std::size_t>() <= one["flat_walk"].get<std::size_t>(),
                    "the layout never walks longer than the flat chain");
        }
    }
    std::vector<char> restore(1 << 16);
    const int length = zvn_restore_text_json(text.c_str(), restore.data(), restore.size());
    require(length >= -1, "the restore text gives -1 or a length");
    const int failsafe = zvn_failsafe_text_json(text.c_str(), nullptr, 0);
    require(failsafe == -1 || failsafe > 0, "the fail-safe text is refused or has its lines");
    return 0;
}
