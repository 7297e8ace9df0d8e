// Starting programs: every program the library starts is started here.
// The two specified runners run the specified command texts through the
// shell (do_system_call for a status, exec for captured output); every
// other program is started by Program, from an argument vector, without a
// shell.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "programs.h"

#include "log.h"
#include "packet_filter.h"

namespace zvn {

// ---------------------------------------------------------------------------
// Command runners
// ---------------------------------------------------------------------------

// Runs a command for its status only. Its standard output goes to standard
// error so that the caller's standard output never carries anything of ours.
namespace {

thread_local std::string words_of_last;

}  // namespace

const std::string &last_words()
{
    return words_of_last;
}

int do_system_call(std::string cmd)
{
    const std::string tmp_str = cmd + " 1>&2";
    log_record("$ ", tmp_str);
    int ret_code;
    if (KeptWords::on()) {
        // The same shell and text; what it says is kept, and passed on
        // only where the log is on.
        Program run({"/bin/sh", "-c", tmp_str}, 2);
        ret_code = run.wait();
        words_of_last = run.kept();
        if (log_enabled())
            write_all(2, words_of_last);
    } else {
        ret_code = std::system(tmp_str.c_str());
    }
    log_record("$ ", tmp_str, " --> ret=", ret_code);
    return ret_code;
}

// Runs a command and captures its standard output (one trailing line feed
// removed). Returns the raw pclose() status, or -1 when popen() fails.
int exec(const std::string cmd, std::string &stdout_str)
{
    log_record("popen --> ", cmd);
    FILE *pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        log_record("popen() failed!");
        return -1;
    }
    char buffer[512];
    std::string result;
    while (!feof(pipe)) {
        if (fgets(buffer, sizeof buffer, pipe) != nullptr)
            result += buffer;
        else if (ferror(pipe))
            break;  // a read error ends the output; pclose() decides the status
    }
    const int rc = pclose(pipe);
    if (!result.empty() && result.back() == '\n')
        result.pop_back();
    stdout_str = result;
    log_record("popen --> ", cmd, " --> ret=", rc);
    return rc;
}

bool write_all(int fd, const std::string &text)
{
    const char *next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(fd, next, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}



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

Program::Program(const std::vector<std::string> &argv, int kept_stream, Mode mode, Words words) : mode_(mode)
{
    block_child_signal();
    int write_end = -1;
    if (mode == Mode::kept_in_file) {
        kept_ = memfd_create("zorvane-command", MFD_CLOEXEC);
        write_end = kept_;
    } else {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            kept_ = ends[0];
            write_end = ends[1];
            // Room for the listing of thousands of rules, so that the tool
            // does not stop at a full pipe while the caller is busy. The
            // default size serves where the kernel refuses.
            fcntl(write_end, F_SETPIPE_SZ, pipe_size);
        }
    }
    if (kept_ < 0) {
        log_record("cannot start ", argv[0], ": no file for its output: ", std::strerror(errno));
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write_end, kept_stream);
    if (words == Words::kept && kept_stream == 1)
        words_ = memfd_create("zorvane-words", MFD_CLOEXEC);
    if (words_ >= 0)
        posix_spawn_file_actions_adddup2(&actions, words_, 2);
    else if (words == Words::merged && kept_stream == 1)
        posix_spawn_file_actions_adddup2(&actions, write_end, 2);
    else if (kept_stream == 1 && mode == Mode::kept_in_file)
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
        // As the shell reports a program it cannot find or run.
        status_ = (error == ENOENT ? 127 : 126) << 8;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (mode == Mode::piped)
        close(write_end);  // the program holds the only writing end now
}

Program::~Program()
{
    wait();
    if (kept_ >= 0)
        close(kept_);
    if (words_ >= 0)
        close(words_);
    unblock_child_signal();
}

int Program::wait()
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

namespace {

std::string whole_file(int fd)
{
    std::string text;
    if (fd < 0)
        return text;
    char buffer[65536];
    ssize_t n;
    while ((n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

}  // namespace

std::string Program::kept() const
{
    return mode_ == Mode::kept_in_file ? whole_file(kept_) : std::string();
}

std::string Program::words() const
{
    return whole_file(words_);
}

int Program::read_all(std::string &output, const std::function<void(const std::string &)> &piece_read)
{
    if (mode_ == Mode::piped && kept_ >= 0) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(kept_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            output.append(buffer, static_cast<std::size_t>(n));
            if (piece_read)
                piece_read(output);
        }
    }
    return wait();
}

int capture(const std::vector<std::string> &argv, std::string &output, bool quiet)
{
    std::string cmd;
    for (const auto &arg : argv)
        cmd += (cmd.empty() ? "" : " ") + arg;
    log_record("popen --> ", cmd);
    int status;
    if (quiet) {
        Program program(argv, 1);
        status = program.wait();
        output = program.kept();
    } else {
        const bool keep = KeptWords::on();
        Program program(argv, 1, Program::Mode::piped, keep ? Program::Words::kept : Program::Words::usual);
        output.clear();
        status = program.read_all(output);
        if (keep) {
            words_of_last = program.words();
            if (log_enabled())
                write_all(2, words_of_last);
        }
    }
    log_record("popen --> ", cmd, " --> ret=", status);
    return status;
}

bool Program::read_available(std::string &output)
{
    if (mode_ != Mode::piped || kept_ < 0)
        return false;
    for (;;) {
        pollfd ready{kept_, POLLIN, 0};
        if (poll(&ready, 1, 0) <= 0 || (ready.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            return true;
        char buffer[4096];
        const ssize_t n = read(kept_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        output.append(buffer, static_cast<std::size_t>(n));
    }
}

void Program::stop()
{
    if (pid_ > 0 && !waited_)
        kill(pid_, SIGTERM);
    wait();
}

std::vector<int> run_side_by_side(const std::vector<std::string> &commands, std::vector<std::string> *words,
                                  bool pass_on)
{
    // Through the shell, as system() runs them; what each says is kept
    // apart so that two tools at once do not mix their words.
    std::vector<std::unique_ptr<Program>> runs;
    for (const auto &cmd : commands) {
        log_record("$ ", cmd, " 1>&2");
        runs.push_back(std::make_unique<Program>(
            std::vector<std::string>{"/bin/sh", "-c", cmd + " 1>&2"}, 2));
    }
    std::vector<int> statuses;
    bool refused = false;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        statuses.push_back(runs[r]->wait());
        log_record("$ ", commands[r], " 1>&2 --> ret=", statuses.back());
        if (words != nullptr)
            words->push_back(runs[r]->kept());
        // The words up to the first refusal, as running them in turn would
        // have shown them.
        if (!refused && pass_on)
            write_all(2, runs[r]->kept());
        refused = refused || statuses.back() != 0;
    }
    return statuses;
}

}  // namespace zvn
