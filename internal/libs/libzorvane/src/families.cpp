// Both address families: which rule goes to which family's chain, and the
// switch that turns IPv6 on for the rest of the process.

#include <atomic>
#include <string>
#include <vector>

#include "libzorvane.h"
#include "zorvane_internal.h"

namespace zvn {

const Family ipv4{1, "IPv4", "/sbin/iptables", "/sbin/iptables-restore", "/tmp/iptables_zorvane_", "0.0.0.0/0",
                  "icmp", "1"};
const Family ipv6{2, "IPv6", "/sbin/ip6tables", "/sbin/ip6tables-restore", "/tmp/ip6tables_zorvane_", "::/0",
                  "ipv6-icmp", "58"};

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

// An address or range with a colon is IPv6; any other is IPv4; without
// either, a rule belongs to both.
bool source_in_family(const std::string *source, const Family &family)
{
    if (!ipv6_enabled())
        return family.bit == ipv4.bit;
    if (source == nullptr)
        return true;
    return (source->find(':') != std::string::npos ? ipv6.bit : ipv4.bit) == family.bit;
}

bool rule_in_family(const nlohmann::json &rule, const Family &family)
{
    switch (used_source(rule)) {
    case SourceKind::address:
        return source_in_family(set_string(rule, "src_IP_cidr"), family);
    case SourceKind::range:
        return source_in_family(set_string(rule, "src_IP_range"), family);
    default:
        return source_in_family(nullptr, family);
    }
}

}  // namespace zvn

extern "C" void zvn_enable_ipv6(void)
{
    zvn::ipv6_on.store(true);
}
