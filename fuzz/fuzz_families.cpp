// Rule sets of both families, with IPv6 on for the whole process: applying
// gives one restore file per family holding exactly that family's rules
// (both tested before either is installed), and the check never crashes,
// never names a later rule as the one that covers, and counts its errors.
#include <libzorvane.h>

#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zvn_fuzz::require_fake_sandbox();
    zvn_enable_ipv6();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace zvn_fuzz;
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<char> findings(1 << 16);
    const int errors = zvn_check_rules_json(text.c_str(), findings.data(), findings.size());
    if (errors >= 0) {
        int counted = 0;
        for (const auto &f : nlohmann::json::parse(findings.data())) {
            counted += f["severity"] == "error" ? 1 : 0;
            if (f.contains("other_rule"))
                require(f["other_rule"].get<int>() < f["rule"].get<int>(), "the covering rule comes first");
        }
        require(counted == errors, "the result counts the error findings");
    }

    reset_state();
    const int ret = zvn_apply_rules_json(text.c_str());
    if (apply_refused(ret, true))
        return 0;
    const auto rules = nlohmann::json::parse(text.c_str());
    check_restore_file(rules, tested_copy("iptables-restore"), 1);  // the test runs, before any install
    check_restore_file(rules, tested_copy("ip6tables-restore"), 2);
    check_restore_file(rules, 3, 1);
    check_restore_file(rules, 4, 2);
    return 0;
}
