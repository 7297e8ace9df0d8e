// Starting programs: every program the library starts is started here.
// The two specified runners run command texts through the shell
// (do_system_call for a status, exec for captured output); every other
// program is started by Program, from an argument vector, without a shell.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace zvn {

// A command line from its pieces, joined without separators.
template <typename... Pieces>
std::string command(const Pieces &...pieces)
{
    std::string line;
    ((line += pieces), ...);
    return line;
}

int do_system_call(std::string cmd);
// What the last command run with its words kept said on standard error
// (see KeptWords), on this thread.
const std::string &last_words();
int exec(const std::string cmd, std::string &stdout_str);
// Writes all of text to fd (going on after interruptions); false on an error.
bool write_all(int fd, const std::string &text);

// A program started now and waited for later, from an argument vector and
// without a shell (argv[0] is the program's path). What it writes to the
// kept stream (1: standard output, 2: standard error) goes to an anonymous
// file, or to a pipe read as it comes. With Words::kept its standard error
// goes to an anonymous file of its own (words()), else to /dev/null where
// the kept stream is a file's standard output, else to the caller's. A
// program that cannot be started gives the status the shell would, 127 *
// 256 for one not found, with a record. SIGCHLD stays blocked in the thread
// while the program lives.
class Program {
public:
    enum class Mode { kept_in_file, piped };
    enum class Words { usual, kept, merged };
    Program(const std::vector<std::string> &argv, int kept_stream, Mode mode = Mode::kept_in_file,
            Words words = Words::usual);
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;
    // Its raw status; -1 when it could not be waited for.
    int wait();
    // What it wrote to the kept file so far.
    std::string kept() const;
    // Words::kept: what it wrote to its standard error.
    std::string words() const;
    // Piped: reads the output to its end into output, calling piece_read
    // after each piece; then waits. The raw status.
    int read_all(std::string &output, const std::function<void(const std::string &)> &piece_read = {});
    // Piped: appends what has arrived so far, without waiting; false once
    // the program has closed its output (or never started).
    bool read_available(std::string &output);
    // Ends the program (SIGTERM) and waits for it.
    void stop();

private:
    static constexpr int pipe_size = 1 << 20;
    Mode mode_;
    pid_t pid_ = -1;
    int kept_ = -1;
    int words_ = -1;
    int status_ = -1;
    bool waited_ = false;
};

// Runs a program from its argument vector and captures its standard output
// (its standard error to /dev/null when quiet, else left to the caller's);
// logged as the capturing runner logs ("popen --> ..."). Its raw status.
int capture(const std::vector<std::string> &argv, std::string &output, bool quiet = false);

// Runs the commands at once, each through the shell and with its standard
// output sent to standard error as do_system_call() does, and waits for all:
// their raw statuses in the order given (-1 for one that did not start).
// What each says is passed on to standard error in that order, up to and
// including the first that fails (unless pass_on is false); words, if
// given, receives what each said.
std::vector<int> run_side_by_side(const std::vector<std::string> &commands,
                                  std::vector<std::string> *words = nullptr, bool pass_on = true);

}  // namespace zvn
