// Both address families: each family's chain and tools, and the switch
// that turns IPv6 on for the rest of the process. Which rule goes to which
// family's chain is the model's to say (Rule::in_family).

#include <atomic>
#include <string>
#include <vector>

#include "libzorvane.h"
#include "zorvane_internal.h"

namespace zvn {

const Family ipv4{1, "IPv4", "ipv4", iptables, iptables_restore, iptables_save, restore_file_prefix,
                  "0.0.0.0/0", "icmp", "1"};
const Family ipv6{2, "IPv6", "ipv6", ip6tables, ip6tables_restore, ip6tables_save, restore6_file_prefix,
                  "::/0", "ipv6-icmp", "58"};

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

}  // namespace zvn

extern "C" void zvn_enable_ipv6(void)
{
    zvn::ipv6_on.store(true);
}
