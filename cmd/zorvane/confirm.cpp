// Confirmed changes. The chain as it was is kept and a watcher is started,
// detached from the applying process, before the new rule set goes in; the
// watcher alone decides: a confirmation in time ("yes" typed to the
// applier, or "zorvane confirm" from another shell) keeps the new set (and
// saves it, when asked), anything else puts the old chain back at the
// deadline. So a killed applier, a dead session or a lost terminal can
// never leave an unconfirmed set in force. One change awaits confirmation
// at a time.
//
// The watcher holds what it must put back in memory from the moment the
// change is armed, so that a /run wiped under it changes nothing; it waits
// for the lock as long as another operation holds it, saying so, and
// settles the moment it has it. A watcher that is gone (killed) leaves the
// change to the next command, the guard or the applier, which settle it the
// same way.
//
// The state lives under /run/zorvane/pending/: "change" (deadline, file,
// staged save), "previous.rules" (the chain text to put back), "watcher"
// (its pid), "answer" ("yes T" or "no T", T the time it was given) and
// "waiting" (since when the watcher waits for the lock). The outcome of the
// last change is left in /run/zorvane/outcome.

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
#include <functional>
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
const std::string waiting_file = pending_dir + "/waiting";
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

// Written whole under a fresh name and renamed into place: a reader sees
// the old file or the new one.
void write_private(const std::string &path, const std::string &text)
{
    const std::string temporary = path + ".new." + std::to_string(getpid());
    unlink(temporary.c_str());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Failure(3, "cannot create " + path + ": " + std::strerror(errno));
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        throw Failure(3, "cannot write " + path + ": " + std::strerror(errno));
    }
}

// A file of the state, read without following links or blocking; "" where
// it is not a regular file.
std::string read_text(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return "";
    struct stat seen {};
    std::string text;
    if (fstat(fd, &seen) == 0 && S_ISREG(seen.st_mode)) {
        char buffer[65536];
        ssize_t got;
        while ((got = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return text;
}

bool exists(const std::string &path)
{
    struct stat seen {};
    return lstat(path.c_str(), &seen) == 0;
}

void remove_pending()
{
    for (const std::string &file : {change_file, previous_file, watcher_file, answer_file, waiting_file})
        unlink(file.c_str());
    rmdir(pending_dir.c_str());
}

using Change = std::map<std::string, std::string>;

// The change file: one "key=value" a line.
Change read_change()
{
    Change change;
    std::istringstream in(read_text(change_file));
    std::string line;
    while (std::getline(in, line))
        if (const auto eq = line.find('='); eq != std::string::npos)
            change[line.substr(0, eq)] = line.substr(eq + 1);
    return change;
}

std::string value(const Change &change, const std::string &key)
{
    const auto found = change.find(key);
    return found == change.end() ? "" : found->second;
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

long watcher_pid()
{
    return std::atol(read_text(watcher_file).c_str());
}

bool alive(long pid)
{
    return pid > 0 && kill(static_cast<pid_t>(pid), 0) == 0;
}

// Whether the answer given keeps the change: "yes", given by the deadline.
bool confirmed_in_time(const Change &change)
{
    std::istringstream answer(read_text(answer_file));
    std::string word;
    long given = 0;
    answer >> word >> given;
    return word == "yes" && given <= std::atol(value(change, "deadline").c_str());
}

// Holds the library's lock while it lives, waiting as long as it takes;
// told each time a wait of 30 s runs out.
class LockedForGood {
public:
    explicit LockedForGood(const std::function<void(long since)> &still_waiting = {})
    {
        const long since = now_seconds();
        while (zvn_lock_chain() != 0)
            if (still_waiting)
                still_waiting(since);
    }
    ~LockedForGood() { zvn_unlock_chain(); }
    LockedForGood(const LockedForGood &) = delete;
    LockedForGood &operator=(const LockedForGood &) = delete;
};

void record_outcome(const Outcome &settled)
{
    try {
        make_run_dir();
        write_private(outcome_file, nlohmann::json{{"words", settled.words},
                                                   {"kept", settled.kept},
                                                   {"save_failed", settled.save_failed},
                                                   {"put_back_failed", settled.put_back_failed},
                                                   {"time", now_seconds()}}
                                            .dump() +
                                        "\n");
    } catch (const Failure &) {
    }
}

// Settles the change, under the lock: kept (the staged save put in place,
// the chain kept as the last good set) or rolled back (the previous chain
// put back in one commit, the staged save dropped). previous is the chain
// text read when the change was armed.
Outcome settle(const Change &change, const std::string &previous, bool keep, const std::string &why)
{
    const std::string staged = value(change, "staged");
    Outcome settled;
    settled.kept = keep;
    std::string &outcome = settled.words;
    if (keep) {
        outcome = "confirmed: the new rule set stays";
        if (!staged.empty() && exists(staged)) {
            try {
                const std::string text = read_text(staged);
                commit_staged(staged, saved_rules);
                mark_forced(text, value(change, "forced") == "1");
                if (!value(change, "options").empty())
                    save_atomically(saved_options, value(change, "options") + "\n");
                keep_last_good();
                outcome += "; saved as " + std::string(saved_rules);
            } catch (const Failure &failure) {
                outcome += std::string("; ") + failure.what();
                settled.save_failed = true;
            }
        }
    } else if (previous.empty()) {
        // Nothing to put back is never "put back nothing": an empty chain
        // would let everything in.
        outcome = "the previous rules were not kept, so the new rule set stays in force (" + why + ")";
        settled.put_back_failed = true;
    } else {
        int status = -1;
        zvn_label_installs("rollback");
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        for (int attempt = 0; status != 0; ++attempt) {
            if (attempt > 0) {
                if (std::chrono::steady_clock::now() > until)
                    break;
                std::this_thread::sleep_for(std::chrono::seconds(std::min(attempt, 10)));
            }
            status = zvn_install_chain_text(previous.c_str());
        }
        if (status == 0) {
            outcome = "rolled back (" + why + "): the previous rules of the chain ZORVANE are back in force";
        } else {
            try {
                make_run_dir();
                write_private(kept_previous, previous);
            } catch (const Failure &) {
            }
            outcome = "putting the previous rules back failed (status " + std::to_string(status) +
                      "): the new rule set stays in force; the previous rules are kept in " + kept_previous;
            settled.put_back_failed = true;
        }
        if (!staged.empty()) {
            unlink(staged.c_str());
            outcome += "; the saved rule set was not changed";
        }
    }
    remove_pending();
    record_outcome(settled);
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
    outcome.put_back_failed = record.value("put_back_failed", false);
    return outcome;
}

// Asks the watcher to settle now: "yes" keeps (when given by the
// deadline), "no" rolls back. False when no change awaits (any more).
bool answer(const std::string &word)
{
    if (!exists(change_file))
        return false;
    try {
        write_private(answer_file, word + " " + std::to_string(now_seconds()) + "\n");
    } catch (const Failure &) {
        return false;
    }
    return true;
}

// A change whose watcher is gone, settled here: kept where it was confirmed
// in time, else rolled back. Under the lock, which the caller holds.
Outcome settle_orphan(const std::string &why)
{
    const Change change = read_change();
    return settle(change, read_text(previous_file), confirmed_in_time(change), why);
}

// Waits until the watcher is gone, then returns the outcome; a watcher that
// died without settling leaves it to us.
Outcome await_outcome(long watcher)
{
    while (alive(watcher))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (exists(change_file)) {
        const LockedForGood lock;
        if (exists(change_file))
            return settle_orphan("its watcher was gone");
    }
    return outcome_in_file();
}

}  // namespace

void refuse_if_pending()
{
    if (!exists(change_file))
        return;
    const Change change = read_change();
    const long deadline = std::atol(value(change, "deadline").c_str());
    if (alive(watcher_pid()))
        throw Failure(1, "a change awaits confirmation until " + clock_time(deadline) + " (" +
                             (value(change, "file").empty() ? "?" : value(change, "file")) +
                             "): zorvane confirm keeps it, otherwise it is rolled back then; nothing was changed");
    // Its watcher is gone: an unconfirmed change is not left in force.
    const LockedForGood lock;
    if (exists(change_file) && !alive(watcher_pid()))
        std::cerr << "zorvane: a change awaited confirmation, but its watcher is gone: "
                  << settle_orphan("its watcher was gone").words << std::endl;
}

void settle_orphaned_change(const std::function<void(const std::string &)> &say)
{
    if (!exists(change_file))
        return;
    const Change change = read_change();
    const long deadline = std::atol(value(change, "deadline").c_str());
    if (alive(watcher_pid())) {
        if (now_seconds() > deadline + 5)
            say("the change awaiting confirmation (" + value(change, "file") + ") passed its deadline at " +
                clock_time(deadline) + " and its watcher has not settled it yet" +
                (exists(waiting_file) ? ": it waits for the lock since " +
                                            clock_time(std::atol(read_text(waiting_file).c_str()))
                                      : std::string()));
        return;
    }
    if (zvn_lock_chain() != 0)
        return;  // the next look tries again
    if (exists(change_file) && !alive(watcher_pid()))
        say("a change awaited confirmation, but its watcher is gone: " + settle_orphan("its watcher was gone").words);
    zvn_unlock_chain();
}

Pending pending_change()
{
    Pending pending;
    if (!exists(change_file)) {
        const Outcome outcome = outcome_in_file();
        pending.last_put_back_failed = outcome.put_back_failed;
        pending.last_words = outcome.words;
        return pending;
    }
    const Change change = read_change();
    pending.waiting = true;
    pending.deadline = std::atol(value(change, "deadline").c_str());
    pending.file = value(change, "file");
    pending.watcher_alive = alive(watcher_pid());
    if (exists(waiting_file))
        pending.lock_wait_since = std::atol(read_text(waiting_file).c_str());
    pending.until = clock_time(pending.deadline);
    return pending;
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
    // From now on the change and the chain to put back are in memory.
    const Change change = read_change();
    const std::string previous = read_text(previous_file);
    const long deadline = std::atol(value(change, "deadline").c_str());
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const bool asked = exists(answer_file);
        if (!asked && now_seconds() < deadline && stop_signal == 0)
            continue;
        bool told = false;
        const LockedForGood lock([&](long since) {
            if (!told)
                std::cerr << "zorvane: another operation holds the lock: the change is settled as soon as it is "
                             "free"
                          << std::endl;
            told = true;
            try {
                write_private(waiting_file, std::to_string(since) + "\n");
            } catch (const Failure &) {
            }
        });
        const bool keep = confirmed_in_time(change);
        const std::string why = keep ? "" : stop_signal != 0 ? "the watcher was stopped"
                                          : asked           ? "asked by the applier"
                                                            : "no confirmation in time";
        std::cerr << "zorvane: " << settle(change, previous, keep, why).words << std::endl;
        _exit(0);
    }
}

long started_watcher = 0;

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
    for (int i = 0; i < 100 && watcher_pid() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    started_watcher = watcher_pid();
    if (started_watcher == 0) {
        remove_pending();
        throw Failure(3, "the watcher of the confirmation did not start; nothing was changed");
    }
}

void arm_confirmation(int seconds, const std::string &file, const std::string &staged, bool forced,
                      const ApplyOptions &options)
{
    const std::string previous = chain_text_now();
    if (previous.empty())
        throw Failure(3, "the chain ZORVANE could not be kept for its roll-back; nothing was changed");
    write_private(previous_file, previous);
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
    await_outcome(started_watcher);
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
    bool reading = true, asked_to_stop = false;
    std::string line;
    for (;;) {
        if (stop_signal != 0 && !asked_to_stop) {
            answer("no");
            asked_to_stop = true;
        }
        if (!alive(started_watcher)) {
            const Outcome outcome = await_outcome(started_watcher);
            if (outcome.kept)
                return Answer::confirmed;
            return stop_signal == SIGHUP ? Answer::hung_up : stop_signal != 0 ? Answer::terminated : Answer::timed_out;
        }
        if (!reading || asked_to_stop) {
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
    const long watcher = watcher_pid();
    if (!exists(change_file) || !alive(watcher))
        return false;
    if (now_seconds() > std::atol(read_change()["deadline"].c_str()))
        return false;
    if (!answer("yes"))
        return false;
    return await_outcome(watcher).kept;
}

}  // namespace zorvane
