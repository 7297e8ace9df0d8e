// The library as the command uses it: a rule set parsed once, results whose
// buffers the library sizes, and failures told by their codes. The command
// reads the library's records, never its log or the tools' words.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include <libzorvane.h>
#include <nlohmann/json.hpp>

namespace zorvane {

// The exit status of a library failure, by its code: 1 where a rule set
// was refused (nothing changed), 3 where the system failed.
int exit_status_for(int code);

// A Failure made of the error channel: "WHAT: its message", with the
// status its code gives.
[[noreturn]] void fail_with_library(const std::string &what);

// What a call that fills a caller's buffer wrote, the buffer grown to the
// size the library says it needs; nothing where the call failed otherwise.
std::optional<std::string> filled(const std::function<int(char *, std::size_t)> &call);
// The same, read as JSON; a failure ends the command (WHAT: the message).
nlohmann::json json_of(const std::function<int(char *, std::size_t)> &call, const std::string &what);

// A rule set read once.
class Rules {
public:
    // Refuses (exit 1) a text that is not JSON or that validation refuses.
    explicit Rules(const std::string &text);
    // The handle, or nothing where the text is refused (the error channel
    // says why).
    static std::optional<Rules> parse(const std::string &text);
    ~Rules();
    Rules(Rules &&other) noexcept;
    Rules &operator=(Rules &&other) noexcept;
    Rules(const Rules &) = delete;

    zvn_rules *get() const { return handle_; }
    std::size_t size() const;
    bool allows(std::size_t rule) const;
    std::string description(std::size_t rule) const;

private:
    explicit Rules(zvn_rules *handle) : handle_(handle) {}
    zvn_rules *handle_;
};

// One reading of the packet filter, started at once (the tools run while
// the command reads its rule set); several questions are asked of it.
class Table {
public:
    Table();  // exit 3 where the lock was not had
    ~Table();
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;
    zvn_table *get() const { return handle_; }
    // What the reading shows of the chain and its hook, as the status
    // prints it: IPv4's fields, and IPv6's under "ipv6".
    nlohmann::json status() const;

private:
    zvn_table *handle_;
};

// The words of a refused test run, from the error channel: "the test run
// refused rule 2 (all from 999.1.1.1 on any interface but lo): <the tool's
// words>; nothing was changed".
std::string refusal_words(const Rules &rules);

}  // namespace zorvane
