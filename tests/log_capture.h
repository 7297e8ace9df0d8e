// The library's log records, captured: shared by the unit tests and the
// sandboxed ones.
#pragma once

#include <libzorvane.h>

#include <sstream>
#include <string>
#include <vector>

namespace zvn_test {

inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Captures the library's log records while it lives.
class LogCapture {
public:
    LogCapture() : previous_(&Log_impl.get()) { Log_impl = std::ref(static_cast<std::ostream &>(stream_)); }
    ~LogCapture() { Log_impl = std::ref(*previous_); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    std::vector<std::string> lines() const { return split_lines(stream_.str()); }
    std::string text() const { return stream_.str(); }

private:
    std::ostringstream stream_;
    std::ostream *previous_;
};

}  // namespace zvn_test
