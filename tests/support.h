// Helpers shared by the tests. Every test binary runs inside the sandbox
// (sandbox/sandbox.sh), so the fixed paths of the tools, /tmp and /var/log
// are the sandbox's own.
#pragma once

#include <libzorvane.h>

#include "log_capture.h"

#include <sys/types.h>

#include <sstream>
#include <string>
#include <vector>

namespace zvn_test {

// The sandbox's mode: "fake", "nft" or "legacy"; "" outside a sandbox.
std::string sandbox_mode();

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);

// Restore files the library left in /tmp.
std::vector<std::string> restore_files_in_tmp();
void remove_restore_files_in_tmp();

// Runs a shell command, returns its standard output; status in *status.
std::string shell(const std::string &cmd, int *status = nullptr);

// A process of its own holds the operations' lock for the given time (it
// holds it once this returns); waitpid() it, or kill it first.
pid_t hold_lock_elsewhere(int seconds);

const char *const drop_log = "/var/log/ulogd_syslogemu.log";
const char *const old_drop_log = "old drop\n";

// Fresh fakes, no restore file in /tmp, and a drop log holding old_drop_log.
void fresh_fake_state();

// The scriptable fakes of the sandbox's fake mode.
class Fakes {
public:
    // Forgets every call, copy and answer.
    static void reset();
    // Answer for one kind of call (see sandbox/fake-tool for the keys).
    static void answer(const std::string &key, int status, const std::string &out = "");
    static void answer_output(const std::string &key, const std::string &out);
    static void answer_signal(const std::string &key, const std::string &signal);
    // The call of key waits (up to 5 s) for a call of other to be under way.
    static void answer_meeting(const std::string &key, const std::string &other);
    // Takes a program away from its fixed path (a "missing program"), and
    // puts the fake back.
    static void remove_program(const std::string &name);
    static void restore_programs();
    // Calls made so far, with restore-file paths written as FILE.
    static std::vector<std::string> calls();
    // The K-th restore file handed to iptables-restore, and its mode.
    static std::string restore_copy(int k);
    static std::string restore_mode(int k);
    // The name of the tool that was handed copy k ("iptables-restore", ...).
    static std::string restore_tool(int k);
};

// What a run of zvn_util (or its main, in a child process) left behind.
struct UtilRun {
    std::string out;
    std::string err;
    int exit_status = -1;
};

// Runs the built utility with the given argument vector (argv[0] included).
UtilRun run_util(const std::vector<std::string> &argv);

// Replaces every "/tmp/iptables_zorvane_<digits>.tmp" with FILE.
std::string normalise_paths(const std::string &text);

}  // namespace zvn_test
