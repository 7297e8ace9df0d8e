// Every test runs a library operation or a packet-filter tool, so the binary
// refuses to run outside the sandbox: the fixed paths would be the host's.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "support.h"

int main(int argc, char **argv)
{
    const std::string mode = zvn_test::sandbox_mode();
    if (mode.empty()) {
        std::cerr << "not inside the test sandbox (run it through tests/sandbox/sandbox.sh); skipped\n";
        return 77;
    }
    // Suites named Fake... need the fakes, Real... the real tools. A filter
    // of the caller's own is looked for before gtest takes its flags away.
    bool filtered = false;
    for (int i = 1; i < argc; ++i)
        filtered = filtered || std::strncmp(argv[i], "--gtest_filter", 14) == 0;
    testing::InitGoogleTest(&argc, argv);
    if (!filtered)
        testing::GTEST_FLAG(filter) = mode == "fake" ? "*Fake*" : "*Real*";
    return RUN_ALL_TESTS();
}
