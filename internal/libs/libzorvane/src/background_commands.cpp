// Commands started now and waited for later, their output kept in an
// anonymous file: the listing kept for a put-back while the rule set is read,
// and the two families' test runs side by side.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "zorvane_internal.h"

namespace zvn {

namespace {

// SIGCHLD stays blocked in a thread while it has commands in the
// background, as system() blocks it while it waits, so that a handler of
// the client's that reaps children cannot take their statuses from us.
// The commands start with the mask the thread had before.
thread_local int child_signal_depth = 0;
thread_local sigset_t mask_before_children;

void block_child_signal()
{
    if (child_signal_depth++ > 0)
        return;
    sigset_t child_signal;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &child_signal, &mask_before_children);
}

void unblock_child_signal()
{
    if (--child_signal_depth == 0)
        pthread_sigmask(SIG_SETMASK, &mask_before_children, nullptr);
}

}  // namespace

BackgroundCommand::BackgroundCommand(const std::vector<std::string> &argv, int kept_stream)
{
    block_child_signal();
    kept_ = memfd_create("zorvane-command", MFD_CLOEXEC);
    if (kept_ < 0) {
        log_record("cannot start ", argv[0], ": no file for its output: ", std::strerror(errno));
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, kept_, kept_stream);
    if (kept_stream == 1)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setsigmask(&attributes, &mask_before_children);
    std::vector<char *> args;
    for (const auto &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    if (const int error = posix_spawn(&pid_, args[0], &actions, &attributes, args.data(), environ); error != 0) {
        log_record("cannot start ", argv[0], ": ", std::strerror(error));
        pid_ = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
}

BackgroundCommand::~BackgroundCommand()
{
    wait();
    if (kept_ >= 0)
        close(kept_);
    unblock_child_signal();
}

int BackgroundCommand::wait()
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
    return status_;
}

std::string BackgroundCommand::kept() const
{
    std::string text;
    if (kept_ < 0)
        return text;
    char buffer[65536];
    ssize_t n;
    while ((n = pread(kept_, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

std::vector<int> run_side_by_side(const std::vector<std::string> &commands)
{
    // Through the shell, as system() runs them; what each says is kept
    // apart so that two tools at once do not mix their words.
    std::vector<std::unique_ptr<BackgroundCommand>> runs;
    for (const auto &cmd : commands) {
        log_record("$ ", cmd, " 1>&2");
        runs.push_back(std::make_unique<BackgroundCommand>(
            std::vector<std::string>{"/bin/sh", "-c", cmd + " 1>&2"}, 2));
    }
    std::vector<int> statuses;
    bool refused = false;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        statuses.push_back(runs[r]->wait());
        log_record("$ ", commands[r], " 1>&2 --> ret=", statuses.back());
        // The words up to the first refusal, as running them in turn would
        // have shown them.
        if (!refused)
            write_all(2, runs[r]->kept());
        refused = refused || statuses.back() != 0;
    }
    return statuses;
}

}  // namespace zvn
