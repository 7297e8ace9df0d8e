// Both address families: which rule goes to which family's chain, the
// switch that turns IPv6 on for the rest of the process, and the test runs
// of the two families' files side by side.

#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
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

// ---------------------------------------------------------------------------
// Test runs side by side
// ---------------------------------------------------------------------------

namespace {

// A command started through the shell as system() starts it, its standard
// output and error kept in an anonymous file: two tools at once must not mix
// their words on our standard error.
class SideRun {
public:
    // The command starts with the signal mask given (the caller's own).
    SideRun(const std::string &cmd, const sigset_t &child_mask) : cmd_(cmd + " 1>&2")
    {
        log_record("$ ", cmd_);
        words_ = memfd_create("zorvane-test-run", MFD_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (words_ >= 0)
            posix_spawn_file_actions_adddup2(&actions, words_, 2);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
        posix_spawnattr_setsigmask(&attributes, &child_mask);
        const char *argv[] = {"sh", "-c", cmd_.c_str(), nullptr};
        if (posix_spawn(&pid_, "/bin/sh", &actions, &attributes, const_cast<char **>(argv), environ) != 0)
            pid_ = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~SideRun()
    {
        wait();
        if (words_ >= 0)
            close(words_);
    }
    SideRun(const SideRun &) = delete;
    SideRun &operator=(const SideRun &) = delete;

    // Waits for the command: its raw status, or -1 when it did not start.
    int wait()
    {
        if (waited_)
            return status_;
        waited_ = true;
        if (pid_ > 0) {
            int status = 0;
            pid_t waited;
            while ((waited = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
            }
            status_ = waited == pid_ ? status : -1;
        }
        log_record("$ ", cmd_, " --> ret=", status_);
        return status_;
    }

    // Writes what the command said to our standard error.
    void pass_on_words()
    {
        if (words_ < 0)
            return;
        std::string words;
        char buffer[4096];
        ssize_t n;
        while ((n = pread(words_, buffer, sizeof buffer, static_cast<off_t>(words.size()))) > 0)
            words.append(buffer, static_cast<std::size_t>(n));
        write_all(2, words);
    }

private:
    std::string cmd_;
    pid_t pid_ = -1;
    int words_ = -1;
    int status_ = -1;
    bool waited_ = false;
};

}  // namespace

std::vector<int> run_side_by_side(const std::vector<std::string> &commands)
{
    // SIGCHLD stays blocked in this thread while the commands run, as
    // system() blocks it, so that a handler of the client's that reaps
    // children cannot take their statuses from us.
    sigset_t child_signal, caller_mask;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &child_signal, &caller_mask);
    std::vector<std::unique_ptr<SideRun>> runs;
    for (const auto &cmd : commands)
        runs.push_back(std::make_unique<SideRun>(cmd, caller_mask));
    std::vector<int> statuses;
    bool refused = false;
    for (auto &run : runs) {
        statuses.push_back(run->wait());
        // The words up to the first refusal, as running them in turn would
        // have shown them.
        if (!refused)
            run->pass_on_words();
        refused = refused || statuses.back() != 0;
    }
    runs.clear();
    pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
    return statuses;
}

}  // namespace zvn

extern "C" void zvn_enable_ipv6(void)
{
    zvn::ipv6_on.store(true);
}
