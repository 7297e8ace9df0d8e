// The unit tests: the pure stages (the model and its validation, the
// translation, the check, the listing parser, the error channel), which
// run no program and touch no file. They need no root, no sandbox and no
// packet-filter tools. As a guard all the same, the process first moves to
// a network namespace of its own where it can (a user namespace first
// when not root), so that even a stage that ran a tool by mistake could not
// reach the host's packet filter.
#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <libzorvane.h>

int main(int argc, char **argv)
{
    if (unshare(CLONE_NEWNET) != 0)
        (void)unshare(CLONE_NEWUSER | CLONE_NEWNET);
    bool filtered = false;
    for (int i = 1; i < argc; ++i)
        filtered = filtered || std::strncmp(argv[i], "--gtest_filter", 14) == 0;
    testing::InitGoogleTest(&argc, argv);
    // IPv6, once on, stays on for the process: its tests (named ...Ipv6...)
    // run in a process of their own, started with ZVN_TEST_IPV6=1.
    const bool ipv6 = std::getenv("ZVN_TEST_IPV6") != nullptr;
    if (ipv6)
        zvn_enable_ipv6();
    if (!filtered)
        testing::GTEST_FLAG(filter) = ipv6 ? "*Ipv6*" : "-*Ipv6*";
    return RUN_ALL_TESTS();
}
