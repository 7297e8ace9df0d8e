// The two address families and the switch that turns IPv6 on for the rest
// of the process. Which rule goes to which family's chain is the model's
// to say (Rule::in_family); each family's tools are the packet filter's.
#pragma once

#include <vector>

namespace zvn {

struct Family {
    unsigned bit;      // 1: IPv4, 2: IPv6
    const char *name;  // "IPv4", "IPv6"
    const char *key;   // its key in JSON results: "ipv4", "ipv6"
    unsigned width;    // the bits of its addresses: 32, 128
};
extern const Family ipv4;
extern const Family ipv6;

// Whether zvn_enable_ipv6() has been called: from then on every operation
// covers both families.
bool ipv6_enabled();
// The families the operations cover: IPv4 alone, or IPv4 then IPv6.
std::vector<const Family *> active_families();
// The family of a bit (1 or 2).
const Family &family_of(unsigned bit);

}  // namespace zvn
