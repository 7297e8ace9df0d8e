// zvn_apply_rules_json on any text: no crash, a refused text creates nothing
// and runs nothing, an accepted one gives a well-formed restore file.
#include <libzorvane.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zvn_fuzz::require_fake_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace zvn_fuzz;
    const std::string text(reinterpret_cast<const char *>(data), size);
    reset_state();
    const int ret = zvn_apply_rules_json(text.c_str());
    if (apply_refused(ret))
        return 0;
    check_restore_file(nlohmann::json::parse(text.c_str()));
    return 0;
}
