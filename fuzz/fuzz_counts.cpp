// The two count operations on any text and any buffer size (the first input
// byte): no crash, refusals run nothing, the buffer is never written past
// size_n, and a result of 0 leaves one count per rule object.
#include <libzorvane.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    zvn_fuzz::require_fake_sandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace zvn_fuzz;
    if (size < 1)
        return 0;
    const bool snapshot = (data[0] & 0x80) != 0;
    const size_t size_n = data[0] & 0x7f;
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::vector<char> buffer(size_n + 64, '\xa5');
    reset_state();
    const int ret = snapshot ? zvn_get_rule_count_snapshot_json(text.c_str(), buffer.data(), size_n)
                             : zvn_get_rule_count_json(text.c_str(), buffer.data(), size_n);
    for (size_t i = size_n; i < buffer.size(); ++i)
        require(buffer[i] == '\xa5', "nothing written past size_n");
    const auto calls = fake_calls();
    if (snapshot) {
        // The listing runs while the text is read, so a refused text may
        // have started it; it is the only command, and no file is written.
        require(calls.size() <= 1, "one listing at most, no test run");
        require(calls.empty() || calls[0] == "iptables-save -c -t filter", "only the listing");
        require(restore_files_in_tmp().empty(), "the snapshot writes no file");
    } else if (calls.empty()) {
        require(ret == -1, "a refused text gives -1");
        require(restore_files_in_tmp().empty(), "a refused text creates no file");
        return 0;
    }
    if (ret != 0)
        return 0;
    const auto rules = nlohmann::json::parse(text.c_str());
    if (!snapshot) {
        check_restore_file(rules);
        require(restore_files_in_tmp().empty(), "the test file is removed after a passing test");
        require(calls.size() - 1 >= rules.size(), "at least one listing per rule");
    }
    const auto counts = nlohmann::json::parse(buffer.data(), nullptr, false);
    require(counts.is_array() && counts.size() == rules.size(), "one element per rule object");
    require(std::strlen(buffer.data()) < size_n, "text and NUL fit into size_n");
    return 0;
}
