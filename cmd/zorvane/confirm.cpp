// Confirmed changes: the chain as it was is kept, the new rule set goes in,
// and unless someone confirms in time (typing "yes", or "zorvane confirm"
// from another shell), the old chain comes back in one commit. A session
// that dies (hang-up) or a SIGTERM brings it back at once.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "command.h"

namespace zorvane {

namespace {

const std::string pending_file = std::string(run_dir) + "/pending";
const std::string confirmed_file = std::string(run_dir) + "/confirmed";
const std::string previous_file = std::string(run_dir) + "/previous.rules";

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

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

}  // namespace

namespace {

std::string rules_of(const char *tool)
{
    FILE *pipe = popen((std::string(tool) + " -S ZORVANE").c_str(), "r");
    if (pipe == nullptr)
        throw Failure(3, "cannot list the chain ZORVANE");
    std::string listing;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        listing.append(buffer, n);
    if (pclose(pipe) != 0)
        throw Failure(3, std::string("cannot list the chain ZORVANE with ") + tool + " to keep it");
    std::istringstream in(listing);
    std::string line, rules;
    while (std::getline(in, line))
        if (line.rfind("-A ZORVANE ", 0) == 0)
            rules += line + "\n";
    return rules;
}

void restore_lines(const char *restore_tool, const std::string &chain_rules, const std::string &file)
{
    make_run_dir();
    write_private(file, "*filter\n:ZORVANE - [0:0]\n" + chain_rules + "COMMIT\n");
    const std::string command = std::string(restore_tool) + " -n " + file + " 1>&2";
    const int status = std::system(command.c_str());
    if (status != 0)
        throw Failure(3, "putting the previous rules back failed (status " + std::to_string(status) +
                             "); they are kept in " + file);
    unlink(file.c_str());
}

}  // namespace

ChainLines chain_rules_now(bool both_families)
{
    ChainLines lines;
    lines.ipv4 = rules_of("/sbin/iptables");
    lines.both = both_families;
    if (both_families)
        lines.ipv6 = rules_of("/sbin/ip6tables");
    return lines;
}

void put_chain_back(const ChainLines &lines)
{
    restore_lines("/sbin/iptables-restore", lines.ipv4, previous_file);
    if (lines.both)
        restore_lines("/sbin/ip6tables-restore", lines.ipv6, previous_file + "6");
}

Answer wait_for_confirmation(int seconds)
{
    make_run_dir();
    unlink(confirmed_file.c_str());
    write_private(pending_file, std::to_string(getpid()) + "\n");

    struct sigaction action {};
    action.sa_handler = note_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGHUP, SIGTERM, SIGINT})
        sigaction(signal_number, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // a dead terminal must not end us before the rollback

    std::cerr << "type yes within " << seconds << " s to keep the new rule set (or run \"zorvane confirm\" "
              << "elsewhere); otherwise the previous one comes back" << std::endl;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    const bool terminal = isatty(0) != 0;
    bool reading = true;
    std::string line;
    Answer answer = Answer::timed_out;
    for (;;) {
        if (stop_signal != 0) {
            answer = stop_signal == SIGHUP ? Answer::hung_up : Answer::terminated;
            break;
        }
        if (exists(confirmed_file)) {
            answer = Answer::confirmed;
            break;
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::milliseconds(0))
            break;
        const int wait_ms = static_cast<int>(
            std::min<long long>(100, std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1));
        if (!reading) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            continue;
        }
        pollfd input{0, POLLIN, 0};
        if (poll(&input, 1, wait_ms) <= 0 || (input.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        char chunk[256];
        const ssize_t got = read(0, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (terminal) {  // the terminal went away with its session
                answer = Answer::hung_up;
                break;
            }
            reading = false;  // nothing more will come; the other ways remain
            continue;
        }
        line.append(chunk, static_cast<std::size_t>(got));
        std::size_t end;
        bool yes = false;
        while ((end = line.find('\n')) != std::string::npos) {
            const std::string typed = line.substr(0, end);
            line.erase(0, end + 1);
            if (typed == "yes" || typed == "yes\r")
                yes = true;
            else
                std::cerr << "type yes to keep the new rule set" << std::endl;
        }
        if (yes) {
            answer = Answer::confirmed;
            break;
        }
    }
    unlink(pending_file.c_str());
    unlink(confirmed_file.c_str());
    return answer;
}

bool confirm_pending_change()
{
    std::ifstream in(pending_file);
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || kill(static_cast<pid_t>(pid), 0) != 0)
        return false;
    write_private(confirmed_file, "yes\n");
    // The waiting command takes the answer within a tenth of a second.
    for (int i = 0; i < 50 && exists(pending_file); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return !exists(pending_file);
}

}  // namespace zorvane
