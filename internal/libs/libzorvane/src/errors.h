// The error channel: this thread's last failure as a record a program can
// use (a code, the message, and where they apply the rule and key, the
// family, the tool's status and words, the size a buffer needs), cleared
// at the start of every exported call.
#pragma once

#include <cstddef>
#include <string>

namespace zvn {

struct Family;

struct ErrorRecord {
    int code = 0;  // ZVN_OK, or a ZVN_ERROR_ code
    std::string message;
    std::size_t rule = 0;    // the rule it stands in, from 1; 0: none
    std::string key;         // the rule's key, "" where none
    const char *family = "";  // "ipv4", "ipv6", "" where none
    int status = 0;           // the raw status of the command that failed
    std::string tool_words;   // what the tool said of it, "" where nothing
    std::size_t needed = 0;   // the bytes a buffer needs, NUL included
};

void clear_error();
// Sets the code and message; the rest is the caller's to fill in.
ErrorRecord &set_error(int code, std::string message);
const ErrorRecord &last_error();

// The error of a null pointer argument: -1.
int null_argument();
// The error of a listing that failed ("the IPv4 INPUT chain could not be
// listed"): its status.
int listing_failed(const Family &family, const char *what, int status);
// Copies text and its NUL into the caller's buffer when they fit: 0; else
// -1, with the record "size_n is too small" and the error (its size
// needed).
int copy_out(const std::string &text, char *out, std::size_t size_n);
// For functions that return a text's length: copies it where it fits and
// notes the size it needs either way.
void copy_if_fits(const std::string &text, char *out, std::size_t size_n);

}  // namespace zvn
