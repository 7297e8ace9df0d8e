// Every test runs a library operation or a packet-filter tool, so the binary
// refuses to run outside the sandbox: the fixed paths would be the host's.
#include <gtest/gtest.h>

#include <cstdlib>
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
    // IPv6, once on, stays on for the process: its suites (named ...Ipv6...)
    // run in a process of their own, started with ZVN_TEST_IPV6=1. So does
    // a chosen layout: the suites named ...Layout... run with
    // ZVN_TEST_LAYOUT=1, the automatic layout chosen.
    const bool ipv6 = std::getenv("ZVN_TEST_IPV6") != nullptr;
    const bool layout = std::getenv("ZVN_TEST_LAYOUT") != nullptr;
    if (ipv6)
        zvn_enable_ipv6();
    if (layout)
        zvn_set_layout(ZVN_LAYOUT_AUTO);
    if (!filtered) {
        const std::string suites = (mode == "fake" ? "Fake" : "Real") + std::string(layout ? "Layout" : "");
        testing::GTEST_FLAG(filter) = "*" + suites + (ipv6 ? "Ipv6*" : "*-*Ipv6*") +
                                      (layout ? "" : ipv6 ? "-*Layout*" : ":*Layout*");
    }
    return RUN_ALL_TESTS();
}
