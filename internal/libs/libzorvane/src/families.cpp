// Both address families, and the switch that turns IPv6 on for the rest of
// the process.

#include "families.h"

#include <atomic>

#include "libzorvane.h"

namespace zvn {

const Family ipv4{1, "IPv4", "ipv4", 32};
const Family ipv6{2, "IPv6", "ipv6", 128};

namespace {

std::atomic<bool> ipv6_on{false};

}  // namespace

bool ipv6_enabled()
{
    return ipv6_on.load();
}

std::vector<const Family *> active_families()
{
    if (ipv6_enabled())
        return {&ipv4, &ipv6};
    return {&ipv4};
}

const Family &family_of(unsigned bit)
{
    return bit == ipv6.bit ? ipv6 : ipv4;
}

}  // namespace zvn

extern "C" void zvn_enable_ipv6(void)
{
    zvn::ipv6_on.store(true);
}
