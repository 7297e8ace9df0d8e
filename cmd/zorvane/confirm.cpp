// Confirmed changes. The chain as it was is kept and a watcher is started,
// detached from the applying process, before the new rule set goes in; the
// watcher alone decides: a confirmation ("yes" typed to the applier, or
// "zorvane confirm" from another shell) keeps the new set (and saves it,
// when asked), anything else puts the old chain back at the deadline. So a
// killed applier, a dead session or a lost terminal can never leave an
// unconfirmed set in force. One change awaits confirmation at a time.
//
// The state lives under /run/zorvane/pending/: "change" (deadline, file,
// staged save), "previous.rules" (the chain text to put back), "watcher"
// (its pid) and "answer" ("yes" or "no"). The outcome of the last change is
// left in /run/zorvane/outcome.

#include <libzorvane.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "command.h"

namespace zorvane {

namespace {

const std::string pending_dir = std::string(run_dir) + "/pending";
const std::string change_file = pending_dir + "/change";
const std::string previous_file = pending_dir + "/previous.rules";
const std::string watcher_file = pending_dir + "/watcher";
const std::string answer_file = pending_dir + "/answer";
const std::string applied_before = pending_dir + "/applied.before";
const std::string applied_options_before = pending_dir + "/applied-options.before";
const std::string outcome_file = std::string(run_dir) + "/outcome";
const std::string kept_previous = std::string(run_dir) + "/previous.rules";

volatile sig_atomic_t stop_signal = 0;

extern "C" void note_signal(int signal_number)
{
    stop_signal = signal_number;
}

void make_run_dir()
{
    if (mkdir(run_dir, 0700) != 0 && errno != EEXIST)
        throw Failure(3, std::string("cannot make ") + run_dir + ": " + std::strerror(errno));
}

void write_private(const std::string &path, const std::string &text)
{
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Failure(3, "cannot create " + path + ": " + std::strerror(errno));
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !written)
        throw Failure(3, "cannot write " + path + ": " + std::strerror(errno));
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

void remove_pending()
{
    for (const std::string &file :
         {change_file, previous_file, watcher_file, answer_file, applied_before, applied_options_before})
        unlink(file.c_str());
    rmdir(pending_dir.c_str());
}

// The change file: one "key=value" a line.
std::map<std::string, std::string> read_change()
{
    std::map<std::string, std::string> change;
    std::istringstream in(read_text(change_file));
    std::string line;
    while (std::getline(in, line))
        if (const auto eq = line.find('='); eq != std::string::npos)
            change[line.substr(0, eq)] = line.substr(eq + 1);
    return change;
}

long now_seconds()
{
    return static_cast<long>(std::time(nullptr));
}

std::string clock_time(long seconds)
{
    const std::time_t t = seconds;
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&t));
    return text;
}

bool watcher_alive()
{
    const long pid = std::atol(read_text(watcher_file).c_str());
    return pid > 0 && kill(static_cast<pid_t>(pid), 0) == 0;
}

// Holds the library's lock while it lives.
class Locked {
public:
    Locked()
    {
        if (zvn_lock_chain() != 0)
            throw Failure(3, "another zorvane operation held the lock /run/zorvane.lock for over 30 s");
    }
    ~Locked() { zvn_unlock_chain(); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;
};

// Settles the pending change, under the lock: kept (the staged save put in
// place, the chain kept as the last good set) or rolled back (the previous
// chain put back in one commit, the staged save dropped). Returns the
// outcome's words.
Outcome settle(bool keep, const std::string &why)
{
    const auto change = read_change();
    const std::string staged = change.count("staged") ? change.at("staged") : "";
    Outcome settled;
    settled.kept = keep;
    std::string &outcome = settled.words;
    if (keep) {
        outcome = "confirmed: the new rule set stays";
        if (!staged.empty() && exists(staged)) {
            try {
                const std::string text = read_text(staged);
                commit_staged(staged, saved_rules);
                mark_forced(text, change.count("forced") && change.at("forced") == "1");
                if (change.count("options"))
                    save_atomically(saved_options, change.at("options") + "\n");
                keep_last_good();
                outcome += "; saved as " + std::string(saved_rules);
            } catch (const Failure &failure) {
                outcome += std::string("; ") + failure.what();
                settled.save_failed = true;
            }
        }
    } else {
        int status = -1;
        for (int attempt = 0; attempt < 10 && status != 0; ++attempt) {
            if (attempt > 0)
                std::this_thread::sleep_for(std::chrono::seconds(1));
            status = zvn_install_chain_text(read_text(previous_file).c_str());
        }
        if (!staged.empty())
            unlink(staged.c_str());
        // What the command last applied is again what it was before.
        if (rename(applied_before.c_str(), applied_record) != 0)
            unlink(applied_record);
        if (rename(applied_options_before.c_str(), applied_options) != 0)
            unlink(applied_options);
        if (status == 0) {
            outcome = "rolled back (" + why + "): the previous rules of the chain ZORVANE are back in force";
        } else {
            rename(previous_file.c_str(), kept_previous.c_str());
            outcome = "putting the previous rules back failed (status " + std::to_string(status) +
                      "); they are kept in " + kept_previous;
        }
        if (!staged.empty())
            outcome += "; the saved rule set was not changed";
    }
    remove_pending();
    try {
        write_private(outcome_file, nlohmann::json{{"words", settled.words},
                                                   {"kept", settled.kept},
                                                   {"save_failed", settled.save_failed}}
                                            .dump() +
                                        "\n");
    } catch (const Failure &) {
    }
    return settled;
}

Outcome outcome_in_file()
{
    Outcome outcome;
    const auto record = nlohmann::json::parse(read_text(outcome_file), nullptr, false);
    if (!record.is_object())
        return outcome;
    outcome.words = record.value("words", std::string());
    outcome.kept = record.value("kept", false);
    outcome.save_failed = record.value("save_failed", false);
    return outcome;
}

// Asks the watcher to settle now: "yes" keeps, "no" rolls back. False when
// no change awaits (any more).
bool answer(const std::string &word)
{
    const Locked lock;
    if (!exists(change_file))
        return false;
    write_private(answer_file, word + "\n");
    return true;
}

// Waits until the pending change is settled; its outcome (none after the
// limit).
Outcome await_outcome(std::chrono::seconds limit)
{
    const auto until = std::chrono::steady_clock::now() + limit;
    while (exists(pending_dir) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (exists(pending_dir))
        return {};
    return outcome_in_file();
}

}  // namespace

void refuse_if_pending()
{
    if (!exists(change_file))
        return;
    const auto change = read_change();
    const long deadline = std::atol(change.count("deadline") ? change.at("deadline").c_str() : "0");
    if (watcher_alive())
        throw Failure(1, "a change awaits confirmation until " + clock_time(deadline) + " (" +
                             (change.count("file") ? change.at("file") : "?") +
                             "): zorvane confirm keeps it, otherwise it is rolled back then; nothing was changed");
    // Its watcher is gone: an unconfirmed change is not left in force.
    const Locked lock;
    std::cerr << "zorvane: a change awaited confirmation, but its watcher is gone: "
              << settle(false, "its watcher was gone").words << std::endl;
}

namespace {

// The watcher's loop, in the detached process: it waits until the applier
// arms the change (or ends without it), then settles it when asked or at
// the deadline.
[[noreturn]] void watch(pid_t applier)
{
    signal(SIGHUP, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGINT, SIG_IGN);
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    try {
        write_private(watcher_file, std::to_string(getpid()) + "\n");
    } catch (const Failure &) {
        _exit(3);
    }
    // Armed once the change file is there; an applier that ends first
    // changed nothing.
    while (!exists(change_file)) {
        if (!exists(pending_dir) || kill(applier, 0) != 0) {
            if (!exists(change_file)) {
                remove_pending();
                _exit(0);
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const long deadline = std::atol(read_change()["deadline"].c_str());
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const bool asked = exists(answer_file);
        if (!asked && now_seconds() < deadline && stop_signal == 0)
            continue;
        try {
            const Locked lock;
            const bool keep = read_text(answer_file) == "yes\n";
            const std::string why = keep ? "" : stop_signal != 0 ? "the watcher was stopped"
                                              : asked           ? "asked by the applier"
                                                                : "no confirmation in time";
            std::cerr << "zorvane: " << settle(keep, why).words << std::endl;
        } catch (const Failure &failure) {
            std::cerr << "zorvane: " << failure.what() << std::endl;
        }
        _exit(0);
    }
}

}  // namespace

void start_watcher()
{
    make_run_dir();
    if (mkdir(pending_dir.c_str(), 0700) != 0)
        throw Failure(1, "a change awaits confirmation already; nothing was changed");
    const pid_t applier = getpid();
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    // Detached twice over: its own session, and no parent to wait for it,
    // so that nothing that ends the applier ends the watcher. It is started
    // before the lock is taken, so that it holds no copy of it.
    const pid_t child = fork();
    if (child < 0) {
        remove_pending();
        throw Failure(3, std::string("cannot start the watcher: ") + std::strerror(errno) + "; nothing was changed");
    }
    if (child == 0) {
        setsid();
        if (fork() == 0)
            watch(applier);
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    for (int i = 0; i < 100 && !exists(watcher_file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!exists(watcher_file)) {
        remove_pending();
        throw Failure(3, "the watcher of the confirmation did not start; nothing was changed");
    }
}

void arm_confirmation(int seconds, const std::string &file, const std::string &staged, bool forced,
                      const ApplyOptions &options)
{
    write_private(previous_file, chain_text_now());
    if (exists(applied_record))
        write_private(applied_before, read_text(applied_record));
    if (exists(applied_options))
        write_private(applied_options_before, read_text(applied_options));
    unlink(outcome_file.c_str());
    // The change file last: from now on the watcher settles the change.
    std::string options_line = options_text(options);
    options_line.pop_back();
    write_private(change_file, "deadline=" + std::to_string(now_seconds() + seconds) + "\nfile=" + file +
                                   "\nstaged=" + staged + "\nforced=" + (forced ? "1" : "0") +
                                   "\noptions=" + options_line + "\n");
}

void disarm_confirmation()
{
    if (!exists(change_file)) {
        // Not armed: the watcher sees the state go and ends.
        remove_pending();
        return;
    }
    // The change did not go in after all: the watcher puts back what is
    // there anyway and stands down.
    answer("no");
    await_outcome(std::chrono::seconds(15));
}

Answer wait_for_confirmation(int seconds)
{
    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGHUP, SIGTERM, SIGINT})
        sigaction(signal_number, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a dead terminal must not end us before the answer

    std::cerr << "type yes within " << seconds << " s to keep the new rule set (or run \"zorvane confirm\" "
              << "elsewhere); otherwise the previous one comes back" << std::endl;
    const bool terminal = isatty(0) != 0;
    bool reading = true;
    std::string line;
    for (;;) {
        if (stop_signal != 0) {
            answer("no");
            const Outcome outcome = await_outcome(std::chrono::seconds(15));
            return outcome.kept ? Answer::confirmed : stop_signal == SIGHUP ? Answer::hung_up : Answer::terminated;
        }
        if (!exists(pending_dir))
            return await_outcome(std::chrono::seconds(0)).kept ? Answer::confirmed : Answer::timed_out;
        if (!reading) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        pollfd input{0, POLLIN, 0};
        if (poll(&input, 1, 50) <= 0 || (input.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        char chunk[256];
        const ssize_t got = read(0, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (terminal) {  // the terminal went away with its session
                stop_signal = SIGHUP;
                continue;
            }
            reading = false;  // nothing more will come; the other ways remain
            continue;
        }
        line.append(chunk, static_cast<std::size_t>(got));
        std::size_t end;
        while ((end = line.find('\n')) != std::string::npos) {
            const std::string typed = line.substr(0, end);
            line.erase(0, end + 1);
            if (typed == "yes" || typed == "yes\r")
                answer("yes");
            else
                std::cerr << "type yes to keep the new rule set" << std::endl;
        }
    }
}

Outcome last_outcome()
{
    return outcome_in_file();
}

bool confirm_pending_change()
{
    {
        const Locked lock;
        if (!exists(change_file) || !watcher_alive())
            return false;
        const long deadline = std::atol(read_change()["deadline"].c_str());
        if (now_seconds() > deadline)
            return false;
        write_private(answer_file, "yes\n");
    }
    return await_outcome(std::chrono::seconds(15)).kept;
}

}  // namespace zorvane
