/*
 * libzorvane - packet-filter back end of a host firewall.
 *
 * A client hands the library a rule set as JSON text. The library validates
 * it, translates every rule into lines of its own chain ZORVANE in the filter
 * table, has "iptables-restore --test" judge the whole file and only then
 * installs it in one commit. Dropped packets are logged through NFLOG with
 * the prefix "RULE=n ACT=DROP", n the rule's position counted from 1.
 *
 * Everything runs on the caller's thread and blocks while the commands run.
 * The library keeps no state between calls and hands out no memory; callers
 * must serialise calls that act on the chain (threads and processes alike).
 *
 * Result codes: 0 is success; -1 is a refusal of the library's own; any other
 * value is the raw status of a command as system() or pclose() report it
 * (N * 256 for a command that exits with code N).
 *
 * Fixed paths: /sbin/iptables, /sbin/iptables-restore,
 * /usr/sbin/firewall.sh, restore files /tmp/iptables_zorvane_<ns>.tmp
 * (created exclusively, mode 0600, kept after a failure), and the drop log
 * /var/log/ulogd_syslogemu.log (emptied when a new rule set takes effect).
 */
#ifndef LIBZORVANE_H
#define LIBZORVANE_H

#include <stddef.h>

#if defined(__GNUC__)
#define ZVN_EXPORT __attribute__((visibility("default")))
#else
#define ZVN_EXPORT
#endif

#ifdef __cplusplus
#include <functional>
#include <ostream>

/*
 * The library's log stream. Every diagnostic is one line written to the
 * stream Log_impl refers to at that moment. It refers to defaultLog (a stream
 * without a buffer, which discards everything) until enable_log() binds it to
 * std::cerr. A C++ client may rebind it to a stream of its own, once and
 * early, before any other call: Log_impl = std::ref(my_stream);
 */
ZVN_EXPORT extern std::ostream defaultLog;
ZVN_EXPORT extern std::reference_wrapper<std::ostream> Log_impl;

extern "C" {
#endif

/*
 * enable_log - send the library's log records to standard error.
 *
 * Binds Log_impl to std::cerr; calling it again changes nothing. From then
 * on every command is logged as "$ <command> 1>&2" before it runs and
 * "$ <command> 1>&2 --> ret=<status>" after it (captured listings as
 * "popen --> <command>" and "popen --> <command> --> ret=<status>").
 */
ZVN_EXPORT void enable_log(void);

/*
 * zvn_apply_rules_json - make the chain ZORVANE hold exactly a rule set.
 *
 * rules: NUL-terminated JSON text, an array of rule objects.
 *
 * Parses and validates the text, writes the restore file, runs
 *   /sbin/iptables-restore --test FILE
 *   /sbin/iptables-restore -n FILE          (replaces the chain in one commit)
 *   echo -n > /var/log/ulogd_syslogemu.log  (only after a successful install)
 * and removes the file after success.
 *
 * Returns 0 when the new rules are in place; -1 for a null pointer, text that
 * is not JSON, an invalid rule set or a restore file that could not be
 * written (no command run); otherwise the raw status of the failing
 * iptables-restore run, in which case the chain and the drop log are as they
 * were and the restore file stays in /tmp.
 */
ZVN_EXPORT int zvn_apply_rules_json(const char *rules);

/*
 * reset_counter - zero the packet and byte counters of every rule of ZORVANE.
 *
 * Runs "/sbin/iptables -Z ZORVANE". Returns its raw status (non-zero when
 * the chain does not exist).
 */
ZVN_EXPORT int reset_counter(void);

/*
 * setup_default_chain - prepare the host and hook ZORVANE into INPUT.
 *
 * Runs, each to completion and ignoring every status:
 *   /usr/sbin/firewall.sh prepare
 *   /sbin/iptables -N ZORVANE
 *   /sbin/iptables -D INPUT -m state --state NEW -j ZORVANE
 *   /sbin/iptables -A INPUT -m state --state NEW -j ZORVANE
 * Afterwards one hook stands last in INPUT; the chain's rules are untouched.
 */
ZVN_EXPORT void setup_default_chain(void);

/*
 * zvn_get_rule_count_json - packet count of every rule of a rule set.
 *
 * rules:            the rule set last applied, NUL-terminated JSON text.
 * pktcnt_list_json: caller's buffer for the result text.
 * size_n:           capacity of that buffer in bytes, terminating NUL included.
 *
 * Checks the rule set as zvn_apply_rules_json does (its restore file tested,
 * then removed), then runs one listing per rule object,
 *   /sbin/iptables -vn -L ZORVANE <position> --exact
 * at the position of the rule's last line (an allowing rule takes one line,
 * a dropping rule two). Writes a compact JSON array, one element per rule
 * object: its packet count, or "error" where it was not read.
 *
 * Returns 0 when every count was read; -1 for a null pointer, a refused rule
 * set, a failed test run or a buffer too small (buffer not written); after
 * the listings, the first failure decides: -1 for a listing that could not
 * start, printed nothing or printed no number, else the raw status of the
 * failing listing (buffer written). Each count is read at its own moment.
 */
ZVN_EXPORT int zvn_get_rule_count_json(const char *rules, char *pktcnt_list_json,
                                       const size_t size_n);

/*
 * zvn_get_rule_count_snapshot_json - the same counts from one listing.
 *
 * Arguments, result text and the check of the rule set as for
 * zvn_get_rule_count_json. Instead of one listing per rule it runs one
 * listing of the whole chain,
 *   /sbin/iptables -vnx -L ZORVANE --line-numbers
 * and takes each rule object's count from the numbered line at the same
 * position. All counts therefore come from one moment, and the cost does not
 * grow with one process per rule: use it for polling. Use
 * zvn_get_rule_count_json where each count must come from its own listing.
 *
 * Returns 0 when every count was found; -1 for a null pointer, a refused rule
 * set, a failed test run or a buffer too small (buffer not written); the raw
 * status of the listing when it fails (every element "error"); -1 when a
 * position is missing from the listing or its line cannot be read (that
 * element "error", the others filled, a log record naming the position).
 */
ZVN_EXPORT int zvn_get_rule_count_snapshot_json(const char *rules, char *pktcnt_list_json,
                                                const size_t size_n);

#ifdef __cplusplus
}
#endif

#endif /* LIBZORVANE_H */
