// The fixed names of what the library makes and keeps, in one table: the
// chain and its layout's chains, the lock, the drop log, the record of the
// last install. The packet-filter tool's own paths stand with the tool
// (iptables/iptables.h). Plain constants, not strings with destructors: a
// client may still call the library from its own exit handlers.
#pragma once

#include <string>

namespace zvn {

constexpr const char *chain_name = "ZORVANE";
// The chain that names an indexed layout's sub-chains: one rule, a comment
// "zorvane indexed layout: ZORVANE-1 to ZORVANE-N". Nothing jumps to it.
constexpr const char *index_chain = "ZORVANE-INDEX";

// Where the library takes its lock, empties the drop log and keeps the
// record of the last install: the host's fixed paths, or a directory of
// the process's own where the packet filter is the in-process fake (so
// that a test never touches the host's).
struct Places {
    const char *lock;      // /run/zorvane.lock
    const char *drop_log;  // /var/log/ulogd_syslogemu.log
    const char *records;   // /run/zorvane (root's, mode 0700)
};
const Places &places();
// From now on, for the rest of the process: DIRECTORY/zorvane.lock,
// DIRECTORY/ulogd_syslogemu.log, DIRECTORY/records.
void use_private_places(const std::string &directory);

}  // namespace zvn
