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
 * The library keeps no state between calls and hands out no memory. Every
 * operation that acts on the chain (setup, reset, apply, both count reads,
 * the status) holds an advisory lock, flock(2) on /run/zorvane.lock, from
 * its first command to its last, so that operations of different threads
 * and processes run one after another. One that waits more than 30 seconds
 * for it gives up with -1 and a log record naming the lock; where the file
 * cannot be made (no /run) the operation goes on unlocked and says so in a
 * record.
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
 * and removes the file after success. Port numbers go into the file without
 * leading zeros, which the tool would read as octal. The drop log is
 * emptied without a shell and only where it is a regular file (looked at
 * without following links, opened without blocking); anything else at its
 * path is left alone with a record; the records read as the command's.
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
 * the chain does not exist). Once a layout is chosen (zvn_set_layout), it
 * then lists "/sbin/iptables -S ZORVANE-INDEX" and zeroes the sub-chains
 * of an indexed layout in one "iptables-restore -n FILE" of "-Z" lines; the
 * first failing status is the result.
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
 * for each counted line of the rule: its ACCEPT line, or its DROP line (the
 * logging line before it is not counted). A source list of k addresses
 * stands in the chain as k lines each, and the rule's count is their sum.
 * Writes a compact JSON array, one element per rule object: its packet
 * count, or "error" where it was not read.
 *
 * Returns 0 when every count was read; -1 for a null pointer, a refused rule
 * set, a failed test run or a buffer too small (buffer not written); after
 * the listings, the first failure decides: -1 for a listing that could not
 * start, printed nothing or printed no number, else the raw status of the
 * failing listing (buffer written). Each count is read at its own moment.
 * A listed line that no flat chain has (the return of loopback's packets,
 * a way into a sub-chain) shows an indexed layout, whose positions are no
 * rules: the read stops there, every element is "error", the result is -1
 * and the error channel says ZVN_ERROR_LAYOUT.
 */
ZVN_EXPORT int zvn_get_rule_count_json(const char *rules, char *pktcnt_list_json,
                                       const size_t size_n);

/*
 * zvn_get_rule_count_snapshot_json - the same counts from one listing.
 *
 * Arguments and result text as for zvn_get_rule_count_json. One listing of
 * the filter table with its counters per active family,
 *   /sbin/iptables-save -c -t filter
 * runs while the rule set is parsed and validated (no restore file, no test
 * run; a refused rule set still gives -1 and its records, and the listing is
 * only read), and is then compared with the lines the rule set makes once
 * installed, meaning by meaning: their number, each line's target (ACCEPT,
 * or NFLOG then DROP), the NFLOG prefix naming the rule's number, the
 * in-interface (or ! lo), the protocol, the source (a network with its host
 * bits cleared), the range, the ports, the log limit, and nothing more.
 * Where ZORVANE shows an indexed layout (see zvn_set_layout), every chain of
 * the layout the rule set makes is compared the same way, dispatch lines
 * included; a rule's count is the sum over its copies. A value the tool
 * reads its own way (a port's name, a host name) is not compared. Only a
 * chain that holds the rule set gives counts; all come from one moment, and
 * the cost does not grow with one process per rule: use it for polling.
 *
 * Returns 0 when the chain holds the rule set and every count was read; -1
 * for a null pointer, a refused rule set or a buffer too small (buffer not
 * written); the raw status of the listing when it fails; -1 when the chain
 * does not hold the rule set (a log record names the first rule that differs
 * and how). In the last two cases every element is "error".
 */
ZVN_EXPORT int zvn_get_rule_count_snapshot_json(const char *rules, char *pktcnt_list_json,
                                                const size_t size_n);

/*
 * zvn_check_rules_json - findings on a rule set, without running anything.
 *
 * rules:         NUL-terminated JSON text.
 * findings_json: caller's buffer for the findings, a compact JSON array.
 * size_n:        capacity of that buffer, terminating NUL included.
 *
 * One object per finding, in rule order:
 *   {"rule":N,"key":"src_IP_cidr"|null,"severity":"error"|"warning",
 *    "code":"...","message":"...","other_rule":M}
 * rule counts from 1 (0: the rule set as a whole); other_rule only where a
 * finding names a second rule. Codes (errors unless marked):
 *   invalid              the rule set fails validation (the message is the
 *                        validation message; nothing else is checked)
 *   ignored-value        interface, source or protocol holds a value that is
 *                        neither a string nor null: the rule matches more
 *   null-value           the same with null
 *   duplicate-key        a key stands twice in a rule (the parser keeps the
 *                        last)
 *   option-text          a value holds a blank or quote, or starts with ! or -
 *   bad-interface        over 15 bytes, or a byte a name cannot hold
 *   bad-address          src_IP_cidr is not an IPv4 address or network
 *   address-list         src_IP_cidr is a comma-separated list
 *   bad-range            src_IP_range is not a-b with a <= b
 *   bad-port             not a port or a:b range; over 15 ports in all
 *   noncanonical-port    a port number with a leading zero (the tool
 *                        reads it as octal)
 *   ports-need-protocol  ports without protocol tcp or udp
 *   bad-country          a country that is not two letters
 *   ipv4-mapped          an IPv4-mapped IPv6 source (::ffff:a.b.c.d), which
 *                        no packet of the IPv6 chain carries
 *   empty-value          (warning) "" or [], which mean not set: what the
 *                        rule then matches ("any source", "every port")
 *   interface-wildcard   (warning) '*' or '?' in a name: literal characters
 *                        to the tool, whose wildcard is a final '+' 
 *   host-bits            (warning) 10.0.0.1/24 means 10.0.0.0/24
 *   unused-source        (warning) a source key that the rule does not use
 *   shadowed             (warning) an earlier rule (other_rule) with the
 *                        other verdict matches every packet this one matches
 *   redundant            (warning) the same with the same verdict
 *   empty                (warning) no rules: applying empties the chain
 *
 * Values nested deeper than 32 levels are described, not dumped. A text
 * holds no NUL (it ends there); a client that reads files checks for one.
 *
 * Returns the number of error findings (0: the rule set may be applied);
 * -1 for a null pointer, text that is not JSON or a buffer too small
 * (buffer not written). Runs no command, touches no file, takes no lock.
 */
ZVN_EXPORT int zvn_check_rules_json(const char *rules, char *findings_json, size_t size_n);

/*
 * zvn_test_rules_json - a dry run: would zvn_apply_rules_json install it?
 *
 * Parses and validates the text, writes the restore file exactly as
 * zvn_apply_rules_json does (drop prefixes numbered by rule) and runs
 *   /sbin/iptables-restore --test FILE
 * Nothing is installed and the drop log is not touched. The file is removed
 * after a passing test and kept in /tmp after a failing one.
 *
 * Returns 0 when the test passes; -1 for a null pointer, text that is not
 * JSON, an invalid rule set or a file that could not be written; otherwise
 * the raw status of the test run.
 */
ZVN_EXPORT int zvn_test_rules_json(const char *rules);

/*
 * zvn_restore_text_json - the restore text that applying would install.
 *
 * rules:        NUL-terminated JSON text.
 * restore_text: caller's buffer, or NULL to learn the length.
 * size_n:       capacity of that buffer, terminating NUL included.
 *
 * The text is of the layout chosen (zvn_set_layout; flat until one is), its
 * logging lines within the log limit (zvn_set_log_limit), without what an
 * apply takes away of an earlier layout.
 *
 * Returns the length of the text (without its NUL), or -1 for a null rules
 * pointer, text that is not JSON or an invalid rule set. The buffer is
 * written only when the text and its NUL fit. Runs no command.
 */
ZVN_EXPORT int zvn_restore_text_json(const char *rules, char *restore_text, size_t size_n);

/*
 * zvn_get_chain_status_json - is the chain there, and does INPUT reach it?
 *
 * Runs "/sbin/iptables -S INPUT" and "/sbin/iptables -S ZORVANE" and writes
 *   {"chain":true|false,"hooks":H,"rule_lines":L}
 * H: rules of INPUT that jump (or go) to ZORVANE; L: the chain's rule lines.
 * A chain with no hook filters nothing.
 *
 * Returns 0; -1 for a null pointer or a buffer too small (not written); the
 * raw status of the INPUT listing when it fails (buffer not written).
 */
ZVN_EXPORT int zvn_get_chain_status_json(char *status_json, size_t size_n);

/*
 * zvn_enable_ipv6 - cover both address families from now on.
 *
 * From this call on, for the rest of the process (it is never turned off),
 * every operation acts on the chain ZORVANE of ip6tables' filter table too:
 *   - a rule whose src_IP_cidr or src_IP_range holds a colon goes to the
 *     IPv6 chain only, one with another address or range to the IPv4 chain
 *     only, one without (any source, countries) to both; "icmp" means
 *     ipv6-icmp on IPv6; the drop prefix RULE=n numbers rules over the
 *     whole set, so one drop log names rules of both families;
 *   - setup_default_chain also runs /sbin/ip6tables -N, -D and -A for the
 *     chain and its INPUT hook; reset_counter zeroes both chains (the
 *     first failing status is the result);
 *   - zvn_apply_rules_json writes and tests both restore files
 *     (/tmp/iptables_zorvane_<ns>.tmp, /tmp/ip6tables_zorvane_<ns>.tmp)
 *     before it installs either, IPv4 first; if the IPv6 install fails,
 *     the IPv4 chain is put back as it was before the call (listed with
 *     "/sbin/iptables -S ZORVANE" under the lock, while the rule set is
 *     read and tested; where that listing failed, the IPv4 chain keeps the
 *     new rules rather than being emptied) and the result is the failing
 *     status. The drop log is emptied once, after both;
 *   - the two test runs (of zvn_apply_rules_json, zvn_test_rules_json and
 *     the per-rule count read) go on side by side; their output reaches
 *     standard error in family order, up to the first refusal. A refusal's
 *     result is the first refusing family's status (IPv4 before IPv6); its
 *     file stays in /tmp and the other family's is removed;
 *   - both count reads add a rule's counters of both chains; the snapshot
 *     read lists and checks both chains;
 *   - zvn_check_rules_json accepts IPv6 addresses, networks and ranges;
 *   - zvn_get_chain_status_json adds "ipv6": {"chain","hooks","rule_lines"}.
 * Without it, nothing of the above changes what the library does.
 */
ZVN_EXPORT void zvn_enable_ipv6(void);

/*
 * zvn_lock_chain, zvn_unlock_chain - hold the operations' lock over several
 * calls.
 *
 * A client that must see the chain unchanged between calls (read the status,
 * then apply; apply, then read the counts) takes the lock first: operations
 * of the same thread take it again freely, other threads and processes
 * wait. zvn_lock_chain returns 0, or -1 after 30 s of waiting (not held).
 * Every successful zvn_lock_chain needs one zvn_unlock_chain in the same
 * thread.
 */
ZVN_EXPORT int zvn_lock_chain(void);
ZVN_EXPORT void zvn_unlock_chain(void);

/*
 * Chain texts. A chain text is one restore file per active family, each
 * "*filter", ":ZORVANE - [0:0]", "-A ZORVANE ..." lines and "COMMIT"; with
 * IPv6 on, each family's file is preceded by the line
 * "# /sbin/iptables-restore" or "# /sbin/ip6tables-restore" (as in
 * zvn_restore_text_json). A text without such a line is the IPv4 chain's.
 */

/*
 * zvn_get_chain_text - the chain as the kernel holds it now.
 *
 * text:   caller's buffer for the chain text; size_n its capacity,
 *         terminating NUL included.
 * length: if not NULL, receives the length of the text (also when the
 *         buffer is too small, so that a caller can size it and ask again).
 *
 * Runs, under the lock and without a shell, "/sbin/iptables -S
 * ZORVANE-INDEX", then "/sbin/iptables -S ZORVANE" (with IPv6 on, both
 * with ip6tables too) and keeps the chain's "-A ZORVANE" lines in the form
 * the tool prints them. Where an indexed layout stands, "/sbin/iptables -S"
 * lists the whole table instead, and the text also declares the layout's
 * sub-chains and ZORVANE-INDEX and holds their lines. Changes nothing.
 *
 * Returns 0 (buffer written); -1 for a buffer too small ("size_n is too
 * small") or a lock not had (buffer not written); the raw status of a
 * listing that fails (the chain does not exist).
 */
ZVN_EXPORT int zvn_get_chain_text(char *text, size_t size_n, size_t *length);

/*
 * zvn_install_chain_text - make the chain hold exactly a chain text.
 *
 * text: NUL-terminated chain text (see above), such as zvn_get_chain_text
 *       or zvn_failsafe_text_json gave; only the families it has sections
 *       for are changed.
 *
 * Refuses (-1, with a record naming the line) any text that holds more
 * than each section's chain and its layout's sub-chains: another table or
 * chain, a policy, a line that is not "-A" of the chain or of a sub-chain
 * (ZORVANE-<n>, ZORVANE-INDEX) the section declares before its lines, a
 * jump or goto to a sub-chain it does not declare, a control character,
 * two sections of a family, an IPv6 section while IPv6 is off. Then, under
 * the lock, lists "iptables -S ZORVANE-INDEX" per family, writes one
 * restore file per section (ZORVANE-INDEX written anew to name the
 * sub-chains it declares, and every sub-chain that stands but is not in the
 * section taken away in the same commit), tests each ("iptables-restore
 * --test FILE"), and only when all pass installs each in one commit
 * ("iptables-restore -n FILE"), IPv4 first; should a later family's install
 * fail, the families installed before it are put back as they were. The
 * drop log is not touched. Files are removed after success; a refused or
 * failed one stays in /tmp.
 *
 * Returns 0; -1 for a refused text, a file that could not be written or a
 * lock not had; else the raw status of the failing test run or install.
 */
ZVN_EXPORT int zvn_install_chain_text(const char *text);

/*
 * zvn_failsafe_text_json - the chain text of the fail-safe set.
 *
 * allows: NULL, or a rule set (JSON text) whose rules all allow: extra
 *         traffic the fail-safe set keeps open, such as the management
 *         port. A log limit (zvn_set_log_limit) applies to its logging
 *         line too.
 * text, size_n: caller's buffer (NULL to learn the length) and capacity.
 *
 * For each active family: loopback accepted, established and related
 * traffic accepted, the allows translated as zvn_apply_rules_json would,
 * then every other packet logged with the NFLOG prefix "FAILSAFE ACT=DROP"
 * and dropped. Runs no command.
 *
 * Returns the length of the text (without its NUL; the buffer is written
 * only when the text and its NUL fit), or -1 for allows that are not JSON,
 * are invalid (with the validation records) or hold a rule that drops.
 */
ZVN_EXPORT int zvn_failsafe_text_json(const char *allows, char *text, size_t size_n);

/*
 * zvn_verify_chain_json - does each family's chain hold a rule set?
 *
 * rules:       NUL-terminated rule-set text.
 * result_json: caller's buffer; size_n its capacity.
 *
 * Lists each active family's filter table once (under the lock, without a
 * shell: "/sbin/iptables-save -c -t filter") and compares it with the lines
 * the rule set makes in the layout found, as the snapshot count read does.
 * Writes, per active family ("ipv4", and "ipv6" with IPv6 on):
 *   {"chain":true|false,"holds":true|false,"layout":"flat"|"indexed",
 *    "chains":C,"lines":N,"expected_lines":M,"holding_lines":H,
 *    "deepest_walk":W,"log_limit":L,"differs":"..."}
 * "differs" names the first rule (or sub-chain) that does not match and
 * how; "chains" counts the layout's chains listed, "lines" their rule lines,
 * "expected_lines" the lines the rule set makes, "holding_lines" those of
 * them the chains hold as made; "deepest_walk", where the chain holds the
 * set, the most lines a packet can walk, and "log_limit" the lines a
 * second its drops may log (0: every one; absent for a set without
 * drops). Changes nothing.
 *
 * Returns 0 (buffer written); -1 for a null pointer, a refused rule set, a
 * lock not had or a buffer too small (not written).
 */
ZVN_EXPORT int zvn_verify_chain_json(const char *rules, char *result_json, size_t size_n);

/*
 * The error channel. Every exported function but enable_log and
 * zvn_enable_ipv6 clears it when called and, when it fails, leaves a code
 * and a message for the calling thread; the log records stay as they are.
 * A caller never needs to read log text to learn what failed.
 */
#define ZVN_OK 0
#define ZVN_ERROR_ARGUMENT 1      /* a pointer argument is null */
#define ZVN_ERROR_NOT_JSON 2      /* the text is not one JSON value */
#define ZVN_ERROR_INVALID 3       /* validation refused the rule set; the
                                     message names the rule and the key:
                                     "rule 2 (protocol): ..." */
#define ZVN_ERROR_FILE 4          /* a restore file could not be written */
#define ZVN_ERROR_TEST_REFUSED 5  /* the test run refused a restore file */
#define ZVN_ERROR_INSTALL 6       /* an install failed */
#define ZVN_ERROR_LOCK 7          /* the lock was not had within 30 s */
#define ZVN_ERROR_BUFFER 8        /* the caller's buffer is too small */
#define ZVN_ERROR_LISTING 9       /* a listing of the chain failed */
#define ZVN_ERROR_MISMATCH 10     /* the chain does not hold the rule set;
                                     the message names the first rule that
                                     differs and how */
#define ZVN_ERROR_COUNT 11        /* a count could not be read or summed */
#define ZVN_ERROR_CHAIN_TEXT 12   /* a chain text was refused */
#define ZVN_ERROR_COMMAND 13      /* another command failed (zeroing) */
#define ZVN_ERROR_LAYOUT 14       /* the chain holds the indexed layout,
                                     which a read by position cannot count */
#define ZVN_ERROR_TOOL 15         /* a tool could not be run at all (not
                                     found, not executable: status 127 or
                                     126 * 256, or -1); its run's status is
                                     zvn_last_error_status */

/*
 * zvn_last_error - the message of this thread's last failed call.
 *
 * "" after a call that succeeded. The text stays valid until the thread's
 * next call of the library.
 */
ZVN_EXPORT const char *zvn_last_error(void);

/*
 * zvn_last_error_code - the code of this thread's last failed call.
 *
 * One of the ZVN_ERROR_ codes above; ZVN_OK after a call that succeeded.
 */
ZVN_EXPORT int zvn_last_error_code(void);

/*
 * zvn_rule_of_restore_line - the rule a line of a restore file stands for.
 *
 * rules:     the rule set the file was written for, NUL-terminated JSON.
 * ipv6_file: non-zero for the IPv6 file (with IPv6 on), 0 for the IPv4 one.
 * line:      the line's number in the file, from 1 (the tool names it when
 *            the test run refuses: "Error occurred at line: N").
 *
 * The file is taken as zvn_restore_text_json writes it, in the layout
 * chosen: a line of a rule's copy in a leaf names that rule.
 *
 * Returns the rule's number (from 1), 0 for a line that belongs to no rule
 * (the head, a declaration, a dispatch line or "COMMIT"), -1 for a refused
 * rule set. Runs nothing.
 */
ZVN_EXPORT int zvn_rule_of_restore_line(const char *rules, int ipv6_file, long line);

/*
 * zvn_describe_rules_json - what each rule matches, in words.
 *
 * Writes a compact JSON array, one object per rule in order:
 *   {"rule":N,"verdict":"allow"|"drop","matches":"tcp ports 22 from
 *    10.0.0.0/8 on eth0"}
 * Returns 0; -1 for a null pointer, a refused rule set or a buffer too
 * small (not written). Runs nothing.
 */
ZVN_EXPORT int zvn_describe_rules_json(const char *rules, char *descriptions_json, size_t size_n);

/*
 * zvn_get_input_json - what stands in INPUT ahead of the hook.
 *
 * Lists, under the lock and without a shell, "/sbin/iptables -S INPUT"
 * (and ip6tables with IPv6 on) and writes, per active family:
 *   {"ipv4":{"policy":"ACCEPT","rules":N,"hook_position":P,
 *            "ahead":["-A INPUT -j ACCEPT", ...]}, ...}
 * P: the position (from 1) of the first rule of INPUT that jumps or goes to
 * ZORVANE, 0 when none does. "ahead": every rule before it, as the tool
 * prints it, that can accept a NEW packet or send it to another chain
 * before the rule set sees it (not a rule for loopback alone, nor one for
 * other connection states only, nor one that drops, rejects or logs).
 * Changes nothing.
 *
 * Returns 0; -1 for a null pointer, a lock not had or a buffer too small
 * (not written); the raw status of a listing that fails.
 */
ZVN_EXPORT int zvn_get_input_json(char *input_json, size_t size_n);

/*
 * zvn_setup_chain_hook - prepare the host and hook ZORVANE where asked.
 *
 * where: ZVN_HOOK_KEEP   leave a hook where it stands; append one if none
 *        ZVN_HOOK_LAST   move the hook to the end of INPUT (as
 *                        setup_default_chain does): other tools' rules
 *                        ahead of it decide first
 *        ZVN_HOOK_FIRST  insert the hook at the top of INPUT: the rule set
 *                        decides before any other tool's rule
 *
 * Runs, without a shell and under the lock, "/usr/sbin/firewall.sh
 * prepare", then per active family "iptables -N ZORVANE", "iptables -C
 * INPUT ..." (is there a hook?), and as asked "-D" (every old hook), "-A" or
 * "-I INPUT 1" of "INPUT -m state --state NEW -j ZORVANE". No other rule is
 * touched; every status is ignored (check with zvn_get_input_json).
 * "iptables -S INPUT" before and after tells the lines the preparation
 * made; they, the place chosen and the line that follows the hook are kept
 * as the host's frame in /run/zorvane/frame, which zvn_guard_look and
 * zvn_table_status_json check (a run that makes no line keeps those known
 * before).
 */
#define ZVN_HOOK_KEEP 0
#define ZVN_HOOK_LAST 1
#define ZVN_HOOK_FIRST 2
/* or-ed to any of them: leave the preparation script out (a repair that
   must touch no rule but the hook) */
#define ZVN_HOOK_NO_PREPARE 16
ZVN_EXPORT void zvn_setup_chain_hook(int where);

/*
 * zvn_watch_changes, zvn_changes_seen - be told when the packet filter
 * changes, instead of listing it again and again.
 *
 * zvn_watch_changes starts, once per process and without a shell,
 *   /usr/bin/stdbuf -oL /usr/sbin/xtables-monitor -e
 * where /sbin/iptables is the nf_tables back end (it prints a line for
 * every commit of any table) and returns 1; 0 where there are no such
 * events (the legacy back end, or no monitor): the caller polls then.
 * zvn_changes_seen returns 1 when a change was seen since the last call
 * (or the watch ended, which the next zvn_watch_changes starts again), 0
 * when none was, -1 when nothing is watched. Neither changes anything.
 */
ZVN_EXPORT int zvn_watch_changes(void);
ZVN_EXPORT int zvn_changes_seen(void);

/*
 * zvn_get_chain_glance_json - the hook and the chain's lines at a glance.
 *
 * One listing of the filter table per active family (under the lock,
 * without a shell: "/sbin/iptables-save -t filter"), the cheapest look at
 * both where the chain's rules are many:
 *   {"ipv4":{"chain":true,"hooks":1,"lines":N,"digest":"16 hex digits"}, ...}
 * "lines" counts the chain's lines and those of its sub-chains (an indexed
 * layout's); "digest" is a hash of them as the tool saves them, to be
 * compared with that of an earlier glance (a changed line changes it).
 * Changes nothing.
 *
 * Returns 0; -1 for a null pointer, a lock not had or a buffer too small
 * (not written); the raw status of a listing that fails.
 */
ZVN_EXPORT int zvn_get_chain_glance_json(char *glance_json, size_t size_n);

/*
 * zvn_set_layout - how the rule set's lines stand in the kernel.
 *
 * layout: ZVN_LAYOUT_FLAT     every rule's lines in ZORVANE, in order: a
 *                             NEW packet walks them all, so its cost grows
 *                             with the rule set
 *         ZVN_LAYOUT_INDEXED  ZORVANE sends each NEW packet, by its source
 *                             address, through a tree of sub-chains
 *                             ZORVANE-1, ZORVANE-2, ... ("-s 10.0.0.0/8 -g
 *                             ZORVANE-7") to a leaf that holds, in the rule
 *                             set's order, every rule whose source it can
 *                             have; rules without a source the tree can
 *                             place (any source, countries) stand in every
 *                             leaf. The first rule that matches decides, a
 *                             drop is logged "RULE=n ACT=DROP" of that rule,
 *                             and a rule's count is the sum over its copies,
 *                             as in the flat layout. Where no tree walks
 *                             shorter than the plain lines (a small set,
 *                             overlapping wide sources) the layout is flat.
 *         ZVN_LAYOUT_AUTO     indexed from 16 rules of a family, flat below
 *                             (where the indexed layout starts to pay)
 *
 * Until a client calls it, every function writes the flat layout and does
 * exactly what it always did. From the first call on, for the rest of the
 * process, zvn_apply_rules_json, zvn_test_rules_json,
 * zvn_restore_text_json and zvn_rule_of_restore_line use the layout
 * chosen, and an apply also lists "/sbin/iptables -S ZORVANE-INDEX" (the
 * chain that names an indexed layout's sub-chains) and takes away, in the
 * same commit, every sub-chain the new layout does not use; reset_counter
 * also zeroes the sub-chains (one "iptables-restore -n" of "-Z" lines).
 * An indexed layout adds, in each family's restore file: the declarations
 * of its sub-chains and of ZORVANE-INDEX, ZORVANE's lines (first "-i lo -j
 * RETURN" where no rule can match loopback, whose lines then leave out
 * "! -i lo"; then one "-j ZORVANE-k" per group of rules), the sub-chains'
 * lines, and ZORVANE-INDEX's one comment line. The whole file is tested
 * and committed at once: no packet meets half a layout.
 *
 * Every reader of the chain finds the layout installed and verifies it:
 * zvn_get_rule_count_snapshot_json and zvn_verify_chain_json compare every
 * chain of an indexed layout; zvn_get_rule_count_json refuses one
 * (ZVN_ERROR_LAYOUT), since its positions are no rules.
 *
 * Returns 0; -1 for an unknown layout (nothing changes).
 */
#define ZVN_LAYOUT_FLAT 0
#define ZVN_LAYOUT_INDEXED 1
#define ZVN_LAYOUT_AUTO 2
ZVN_EXPORT int zvn_set_layout(int layout);

/*
 * zvn_set_keep_counts - counts that survive an apply.
 *
 * keep: non-zero, from now on each apply (zvn_apply_rules_json,
 *       zvn_rules_apply) starts every rule of the new set with the packets
 *       and bytes of the same rule of the set in force (the same verdict and
 *       meaning, whatever its number; summed over its lines and copies), so
 *       that a re-apply or an edit elsewhere does not zero them; 0 (the
 *       default): every count starts at zero, as specified.
 *
 * The set in force is the record's (see zvn_installed_json); its tables
 * are listed ("iptables-save -c -t filter" per family, under the lock)
 * while the new layout compiles and the test run goes on, and proved
 * against it (a chain another tool changed carries nothing); the file the
 * test passed is then written again with the counts ("[packets:bytes]"
 * before each rule's counted line, which the kernel does not judge) and
 * installed with "iptables-restore -c -n FILE": still one commit per
 * family. Packets counted between the listing and the commit are not
 * carried. Returns 0. Runs nothing.
 */
ZVN_EXPORT int zvn_set_keep_counts(int keep);

/*
 * zvn_set_country_source - how a rule's "src_country" meets the kernel.
 *
 * source: ZVN_COUNTRIES_MATCH  the country match, "-m geoip
 *                              --source-country LIST" (the default: every
 *                              function does exactly what it always did),
 *                              which needs an out-of-tree kernel module
 *         ZVN_COUNTRIES_SETS   an address set per rule and family: the
 *                              union of its countries' ranges in the
 *                              country database, as networks, in a
 *                              "hash:net" set named "zv4-<rule>-<digest>"
 *                              (IPv6: "zv6-..."; the digest, 12 hex
 *                              digits, is of its entries), matched by
 *                              "-m set --match-set NAME src" where the
 *                              country match would stand; the rest of the
 *                              rule's lines, its RULE=n and its count are as
 *                              they were
 *         ZVN_COUNTRIES_AUTO   the match where the test run takes it (one
 *                              "iptables-restore --test" of a country line,
 *                              asked once), the sets elsewhere
 *
 * For the rest of the process. With sets, an apply makes the sets its lines
 * need stand before the test run (one "/usr/sbin/ipset -file FILE restore",
 * without a shell: each set filled under a name of its own and renamed into
 * place, or swapped with one of its name that stands and holds other
 * entries), commits the rules, and only then destroys the library's sets
 * that no line of the family matches any more ("ipset destroy NAME"); a
 * refused or failed apply destroys what it made, and the sets in force are
 * untouched. A dry run makes what it needs and destroys it again. Every
 * reader (the verification, both count reads, the status, the guard)
 * compares each set a line matches on with the digest its name carries
 * ("ipset save"), and refuses a set emptied or changed. The check finds a
 * country the database does not hold (an error) and countries without
 * networks in a family the rule goes to (a warning). Chain texts carry the
 * entries of the sets their lines match on ("#ipset create ...", "#ipset add
 * ..." before "*filter"), and zvn_install_chain_text makes them stand again,
 * so that a roll-back or a fall-back needs no database.
 *
 * Returns 0; -1 for an unknown source (nothing changes).
 */
#define ZVN_COUNTRIES_MATCH 0
#define ZVN_COUNTRIES_SETS 1
#define ZVN_COUNTRIES_AUTO 2
ZVN_EXPORT int zvn_set_country_source(int source);

/*
 * zvn_set_country_databases - where countries' ranges are read from.
 *
 * paths: n file names (n 0: the packaged database, /usr/share/tor/geoip and
 *        /usr/share/tor/geoip6, of Debian's tor-geoipdb). Each file holds
 *        lines "first,last,CC": the addresses dotted IPv4, IPv4 as integers
 *        or IPv6 text (a file may hold both families), CC a code of two
 *        letters; "#" starts a comment; other codes ("??") are passed over.
 *
 * Read when a set is first made, once per process and list. Returns 0; -1
 * for a null pointer. Runs nothing.
 *
 * zvn_countries_json - the source in use and the databases:
 *   {"chosen":"auto","source":"sets","countries":N,
 *    "databases":[{"path":"/usr/share/tor/geoip","read":true,
 *                  "entries":E,"modified":T,"problem":"..."}]}
 * (the database only where the source is not the match). 0; -1 for a null
 * pointer or a buffer too small.
 */
ZVN_EXPORT int zvn_set_country_databases(const char *const *paths, size_t n);
ZVN_EXPORT int zvn_countries_json(char *countries_json, size_t size_n);

/*
 * zvn_set_log_limit - a drop log that a flood cannot fill.
 *
 * lines_per_second: 0, every drop is logged (the default); 1 to 10000,
 *                   each rule logs its first lines_per_second drops at
 *                   once and then at most lines_per_second lines a second.
 *
 * For the rest of the process, the logging line of every dropping rule
 * written by zvn_apply_rules_json, zvn_test_rules_json,
 * zvn_restore_text_json and zvn_failsafe_text_json carries
 *   -m limit --limit N/sec --limit-burst N
 * or, for a rule with copies in an indexed layout, one limit shared by
 * all of them:
 *   -m hashlimit --hashlimit-upto N/sec --hashlimit-burst N
 *     --hashlimit-name z<rule>-<N> --hashlimit-htable-size 1
 *     --hashlimit-htable-max 1
 * Drops and counts stay exact: the dropping line is unchanged. The readers
 * of the chain find the limit installed and verify it.
 *
 * Returns 0; -1 for more than 10000 (nothing changes).
 */
ZVN_EXPORT int zvn_set_log_limit(unsigned int lines_per_second);

/*
 * zvn_describe_layout_json - the layout a rule set would take.
 *
 * Writes, per active family, what the process's layout makes of the set:
 *   {"ipv4":{"layout":"indexed","chains":C,"lines":L,"flat_lines":F,
 *            "deepest_walk":W,"flat_walk":FW,"groups":G,"most_copies":M}}
 * C counts ZORVANE and its sub-chains; L and F the rule lines of the layout
 * and of the flat one as the tool lists them; W the most lines a packet can
 * walk (FW in the flat layout); G the groups of rules; M the copies of the
 * most copied rule. Runs nothing.
 *
 * Returns 0; -1 for a null pointer, a refused rule set or a buffer too
 * small (not written).
 */
ZVN_EXPORT int zvn_describe_layout_json(const char *rules, char *layout_json, size_t size_n);

/*
 * The error channel's parts. After a failed call, as a program reads them
 * instead of the message: each is "" (or 0) where it does not apply, and
 * each stays valid until the thread's next call of the library.
 *
 * zvn_last_error_rule      the rule the failure stands in, from 1 (a
 *                          refused rule set's fault, the rule a refused
 *                          line of a restore file falls in)
 * zvn_last_error_key       the rule's key ("src_IP_cidr"), or an unknown key
 *                          as written
 * zvn_last_error_family    "ipv4" or "ipv6": the family whose run failed
 * zvn_last_error_status    the raw status of the command that failed
 * zvn_last_error_tool_words what the tool said of its refusal, its pointer
 *                          to its help and the line number left out (kept
 *                          by the calls on a parsed rule set)
 * zvn_last_error_size_needed the bytes a buffer needs, NUL included: after
 *                          ZVN_ERROR_BUFFER, and after a success of a
 *                          function that fills a caller's buffer (its text)
 */
ZVN_EXPORT int zvn_last_error_rule(void);
ZVN_EXPORT const char *zvn_last_error_key(void);
ZVN_EXPORT const char *zvn_last_error_family(void);
ZVN_EXPORT int zvn_last_error_status(void);
ZVN_EXPORT const char *zvn_last_error_tool_words(void);
ZVN_EXPORT size_t zvn_last_error_size_needed(void);

/*
 * A parsed rule set. A client that checks, tests, applies, counts and
 * describes one rule set reads its text once: zvn_rules_parse reads and
 * validates it into a handle, and every call below works on the handle. The
 * calls run the same commands as the functions on texts, with one
 * difference: the words the tools print (on standard error otherwise) are
 * kept for the error channel (zvn_last_error_tool_words) and reach standard
 * error only with the log enabled. A handle is used by one thread at a time.
 */
typedef struct zvn_rules zvn_rules;

/*
 * zvn_rules_parse, zvn_rules_parse_n - read a rule set once.
 *
 * text:   the rule-set text (zvn_rules_parse: NUL-terminated).
 * length: its bytes (zvn_rules_parse_n); a NUL among them is refused, since
 *         the rules after it would be lost to a reader of C strings.
 *
 * Parses and validates as zvn_apply_rules_json does, with the same records
 * ("json parse fail", or the validation's message and dump). Runs nothing.
 *
 * Returns the handle, or NULL with the error channel saying why:
 * ZVN_ERROR_NOT_JSON, ZVN_ERROR_INVALID (zvn_last_error_rule and _key name
 * the fault), ZVN_ERROR_ARGUMENT for a null text.
 */
ZVN_EXPORT zvn_rules *zvn_rules_parse(const char *text);
ZVN_EXPORT zvn_rules *zvn_rules_parse_n(const char *text, size_t length);

/* zvn_rules_free - releases a handle (NULL does nothing). */
ZVN_EXPORT void zvn_rules_free(zvn_rules *rules);

/* zvn_rules_size - the number of rules of a handle's set. */
ZVN_EXPORT size_t zvn_rules_size(const zvn_rules *rules);

/*
 * zvn_rules_rule - one rule of a parsed set.
 *
 * rule:        its number, from 1.
 * description: if not NULL, receives what the rule matches in words ("tcp
 *              ports 22 from 10.0.0.0/8 on eth0"), valid while the handle
 *              lives.
 *
 * Returns 1 for a rule that allows, 0 for one that drops, -1 for no such
 * rule. Runs nothing.
 */
ZVN_EXPORT int zvn_rules_rule(zvn_rules *rules, size_t rule, const char **description);

/*
 * zvn_rules_check_json - the findings on a parsed rule set, as
 * zvn_check_rules_json writes them (without the "invalid" finding: a set
 * validation refuses gives no handle). Returns the number of errors; -1
 * for a null pointer or a buffer too small. Runs nothing.
 */
ZVN_EXPORT int zvn_rules_check_json(zvn_rules *rules, char *findings_json, size_t size_n);

/*
 * zvn_rules_test, zvn_rules_apply - the dry run and the apply of a parsed
 * rule set: the commands, files, results and error entries of
 * zvn_test_rules_json and zvn_apply_rules_json. A refused line of a restore
 * file names its rule (zvn_last_error_rule), its family and the tool's words.
 * With IPv6 on, zvn_rules_apply installs the family of fewer rules first and
 * keeps that one ("iptables -S" of it while the rest is tested) to put it
 * back should the other's install fail: all or nothing, as the text's apply,
 * with the cheaper listing.
 */
ZVN_EXPORT int zvn_rules_test(zvn_rules *rules);
ZVN_EXPORT int zvn_rules_apply(zvn_rules *rules);

/*
 * zvn_rules_counts - every rule's packets and bytes from one listing.
 *
 * counts: an array of n elements, n at least zvn_rules_size: per rule its
 *         packets, its bytes, and told (1; 0 where its sum would pass
 *         2^64 - 1, its numbers then 0).
 *
 * Reads and proves the tables as zvn_get_rule_count_snapshot_json does
 * ("iptables-save -c -t filter" per active family, under the lock).
 * Returns 0 when the chains hold the set and every count was told; -1 for a
 * null pointer, an array too small, a lock not had, a chain that does not
 * hold the set (ZVN_ERROR_MISMATCH: the message names the first rule that
 * differs) or a count not told; the raw status of a listing that failed.
 * The array is written only where the chains hold the set.
 */
struct zvn_rule_count {
    unsigned long long packets;
    unsigned long long bytes;
    int told;
};
ZVN_EXPORT int zvn_rules_counts(zvn_rules *rules, struct zvn_rule_count *counts, size_t n);

/*
 * zvn_rules_verify_json, zvn_rules_describe_json, zvn_rules_restore_text -
 * zvn_verify_chain_json, zvn_describe_rules_json and zvn_restore_text_json
 * of a parsed rule set (the restore text: its length, the buffer written
 * where it fits; NULL asks the length alone).
 */
ZVN_EXPORT int zvn_rules_verify_json(zvn_rules *rules, char *result_json, size_t size_n);
ZVN_EXPORT int zvn_rules_describe_json(zvn_rules *rules, char *descriptions_json, size_t size_n);
ZVN_EXPORT int zvn_rules_restore_text(zvn_rules *rules, char *restore_text, size_t size_n);

/*
 * A reading of the packet filter, to ask several questions of one moment:
 * zvn_table_read starts, under the lock and without a shell,
 *   /sbin/iptables-save -c -t filter        (and ip6tables-save with IPv6 on)
 * and returns at once, so that the tools run while the caller goes on (reads
 * its rule set, say); the questions below are answered from that one
 * listing. The lock is held by the calling thread until every table has
 * been read (by the first question, or zvn_table_free): use the handle from
 * that thread. NULL where the lock was not had within 30 s.
 *
 * zvn_table_status_json  per active family, what zvn_get_chain_status_json
 *                        and zvn_get_input_json tell, from the reading:
 *   {"ipv4":{"chain":true,"hooks":1,"rule_lines":N,"policy":"ACCEPT",
 *            "input_rules":R,"hook_position":P,"ahead":[...],
 *            "prepared_missing":[...],"established_pass":true,
 *            "loopback_pass":true,"container_chains":[...],
 *            "hook_place":"first"|"last"|"kept",
 *            "country_sets":[{"name":"zv4-5-...","rule":5,"stands":true,
 *                             "intact":true,"entries":E}]}, ...}
 *                        "ahead": the lines before the first hook from
 *                        which an accept of a NEW packet is reachable, their
 *                        jumps followed into the chains they name (a chain
 *                        that only rejects and returns is no way around);
 *                        "prepared_missing": the lines setup's preparation
 *                        made that are gone; "established_pass",
 *                        "loopback_pass": a reply of an established
 *                        connection and a new connection on loopback surely
 *                        reach an accept; "container_chains": the chains of
 *                        a container engine (DOCKER-USER, ...), whose
 *                        published ports are reached through FORWARD, past
 *                        the rule set; "hook_place": where setup put the hook
 *                        (where it was recorded); "country_sets": the
 *                        library's address sets the chains' lines match on
 *                        (where any), "intact" where one holds what its
 *                        name's digest says (one "ipset save" more).
 *                        0; -1 for a buffer too small; the raw status of a
 *                        read that failed.
 * zvn_table_verify_json  zvn_verify_chain_json of a parsed set, from the
 *                        reading: 0, or -1.
 * zvn_table_counts       zvn_rules_counts from the reading.
 * The first question that proves a set compares each line as the listing
 * comes, so that little is left to do once the tool has listed the table.
 */
typedef struct zvn_table zvn_table;
ZVN_EXPORT zvn_table *zvn_table_read(void);
ZVN_EXPORT void zvn_table_free(zvn_table *table);
ZVN_EXPORT int zvn_table_status_json(zvn_table *table, char *status_json, size_t size_n);
ZVN_EXPORT int zvn_table_verify_json(zvn_table *table, zvn_rules *rules, char *result_json, size_t size_n);
ZVN_EXPORT int zvn_table_counts(zvn_table *table, zvn_rules *rules, struct zvn_rule_count *counts, size_t n);

/*
 * The record of the last install.
 *
 * Every successful install through the library by any client
 * (zvn_apply_rules_json, zvn_rules_apply, zvn_install_chain_text) writes,
 * under the lock, the record /run/zorvane/installed (the user's own, mode
 * 0600, replaced in one rename): each family's chains exactly as they went
 * in, and how to tell that the kernel still holds them. A rule set is
 * proved against the kernel's listing (its layout and log limit as
 * installed); where it holds a value the tool rewrites its own way (a port
 * name, an interface the check refuses) or the chains came as a chain text,
 * the chains are listed once more right after the install and compared
 * line by line with that. A record that cannot be written takes the one
 * before it away, so that no reader puts an older set back over the new.
 *
 * zvn_label_installs - a word for what the process installs next.
 *   label: at most 64 printable ASCII characters (NULL or "": none), kept in
 *   the record of every later install of the process, so that a reader can
 *   tell a boot's fall-back from an operator's apply. 0; -1 for a label
 *   that is not one (nothing changes). Runs nothing.
 *
 * zvn_installed_json - the record as it stands, under the lock:
 *   {"state":"read"|"broken"|"none","problem":"...",
 *    "record":{"label":"...","program":"zorvane","pid":P,"time":T,
 *              "kind":"rule set"|"chain text","rules":N,"generation":"...",
 *              "families":{"ipv4":{"compared":"proved"|"as listed",
 *                          "lines":L,"layout":"indexed","log_limit":0}}}}
 *   The file is opened without following links and without blocking; one
 *   that is not a regular file of the user's alone (a link, a FIFO), or is
 *   garbled or cut short, is "broken", with the problem, and "record" is
 *   then the copy this process read or wrote last, if any. 0; -1 for a null
 *   pointer, the lock not had or a buffer too small. Runs nothing.
 *
 * zvn_table_installed_json - whether a reading holds the record:
 *   the above, and "families":{"ipv4":{"chain":true,"holds":false,
 *   "lines":L,"expected_lines":E,"holding_lines":H,"differs":"..."}};
 *   {"unread":true} for a family the process does not cover; a family the
 *   install left alone (IPv6 off in its process) is compared with its rule
 *   set all the same, marked "left_alone":true. 0; -1 for a
 *   null pointer or a buffer too small; the raw status of a read that
 *   failed.
 */
/*
 * zvn_installed_same - whether the last install was of this rule set.
 *   rules, length: a rule-set text (any bytes). 1 where the record is
 *   sound and of exactly this text, applied with the layout, the log limit
 *   and the families the process now has (what a boot restoring it would
 *   install); 0 otherwise (a chain text's install among them); -1 for a
 *   null pointer or the lock not had. Runs nothing.
 */
ZVN_EXPORT int zvn_label_installs(const char *label);
ZVN_EXPORT int zvn_installed_same(const char *rules, size_t length);

/*
 * zvn_installed_rules - the rule-set text the last install put in force,
 * as it was given (a client that did not keep it, an operator's command run
 * without a file, a reader of the drop log naming rules).
 *
 * Under the lock, reads the record (/run/zorvane/installed; nothing else
 * runs). Returns 0 with the text written; 1 where none is known (no
 * install since the boot, a chain text's install, a broken record): rules
 * not written; -1 for a null pointer, the lock not had or a buffer too
 * small (zvn_last_error_size_needed tells the size).
 */
ZVN_EXPORT int zvn_installed_rules(char *rules, size_t size_n);
ZVN_EXPORT int zvn_installed_json(char *record_json, size_t size_n);
ZVN_EXPORT int zvn_table_installed_json(zvn_table *table, char *result_json, size_t size_n);

/*
 * zvn_guard_look - one look at what the last install put in force, and,
 * where asked, exactly that put back.
 *
 * flags: ZVN_LOOK_REPAIR  put right what is wrong
 *        ZVN_LOOK_AGAIN   prove every table, even one that is as the last
 *                         look of the process found it whole
 *
 * Under the lock: reads the record (a gone or broken one: the copy the
 * process kept serves, and ZVN_LOOK_REPAIR writes it again), lists each
 * family's filter table ("/sbin/iptables-save -c -t filter", without a
 * shell) and judges it: the chains hold the record; INPUT reaches the chain
 * once; the lines setup's preparation made are there; replies of
 * established connections and loopback traffic pass INPUT; the address
 * sets the lines match on hold what their names say. A table the same as
 * when the last look found it whole is whole without a proof; where the
 * record's lines match on sets, "ipset list -t" (the sets' headers) is part
 * of that sameness, and their entries ("ipset save") are proved at least
 * once a minute all the same.
 * With ZVN_LOOK_REPAIR: the chains that differ go back exactly as installed
 * (one "iptables-restore -n" per family, all families or none); the
 * preparation runs again ("/usr/sbin/firewall.sh prepare") where its lines
 * are gone or that traffic cannot pass; a missing hook is inserted before
 * the line that followed it when last whole (at the top where setup chose
 * ZVN_HOOK_FIRST, else at the end of INPUT), a second hook is deleted; then
 * every table is read and judged again. A proved family that still differs
 * right after its exact lines went back, at two looks running, is recorded
 * as the kernel took it: the kernel rewrites them its own way. Where the
 * record holds a family the process does not cover (IPv6 off), that is
 * noted and left alone.
 *
 * report_json receives
 *   {"guarding":true,"whole":true,"repaired":false,"record":{...},
 *    "record_problem":"...",
 *    "families":{"ipv4":{"whole":false,"found":["..."],
 *                        "whole_after":true,"still":["..."]}},
 *    "did":["the chain put back as installed", ...],"notes":["..."],
 *    "address_sets":false}
 * "address_sets": the record's lines match on sets, which change without
 * the changes zvn_watch_changes tells of: look each interval.
 * Returns 0: whole (after the repair, where one was made); 1: not whole;
 * 2: nothing to guard (no record); -1 for a null pointer, the lock not had,
 * a buffer too small (report not written) or a listing that failed.
 */
#define ZVN_LOOK_REPAIR 1
#define ZVN_LOOK_AGAIN 2
ZVN_EXPORT int zvn_guard_look(int flags, char *report_json, size_t size_n);

/*
 * zvn_host_json - what the host has of what the packet filter needs.
 *
 *   {"preparation_script":{"path":"/usr/sbin/firewall.sh","present":true},
 *    "ipv6":{"kernel":true,"tools_missing":["/sbin/ip6tables-restore"]}}
 * "present": the script is there and can run; "kernel": the kernel has
 * IPv6 (/proc/net/if_inet6); "tools_missing": the IPv6 tools that are not
 * there. Runs nothing; returns 0, or -1 for a null pointer or a buffer too
 * small.
 */
ZVN_EXPORT int zvn_host_json(char *host_json, size_t size_n);

/*
 * zvn_keep_tool_words - the tools' words out of the caller's terminal.
 *
 * keep: non-zero from now on, 0 as before.
 *
 * Every command still runs as documented, with the same records; what the
 * tools print on standard error (a refusal's words, "Chain already exists")
 * is kept instead, for the error channel (zvn_last_error_tool_words), and
 * reaches standard error only where the log is enabled. A command run for
 * its status alone then runs through "/bin/sh -c" as system() would run it.
 * For the rest of the process, in every thread.
 */
ZVN_EXPORT void zvn_keep_tool_words(int keep);

#ifdef __cplusplus
}
#endif

#endif /* LIBZORVANE_H */
