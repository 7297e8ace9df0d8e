// The error channel: this thread's last failure, its code, its message and
// the parts a program can use without reading the message.

#include "errors.h"

#include <cstring>
#include <utility>

#include "families.h"
#include "libzorvane.h"
#include "log.h"

namespace zvn {

namespace {

thread_local ErrorRecord last;

}  // namespace

void clear_error()
{
    last = ErrorRecord{};
}

ErrorRecord &set_error(int code, std::string message)
{
    last = ErrorRecord{};
    last.code = code;
    last.message = std::move(message);
    return last;
}

const ErrorRecord &last_error()
{
    return last;
}

int null_argument()
{
    set_error(ZVN_ERROR_ARGUMENT, "a pointer argument is null");
    return -1;
}

int listing_failed(const Family &family, const char *what, int status)
{
    ErrorRecord &error = set_error(ZVN_ERROR_LISTING, std::string("the ") + family.name + " " + what +
                                                          " could not be listed (status " + std::to_string(status) + ")");
    error.family = family.key;
    error.status = status;
    return status;
}

int copy_out(const std::string &text, char *out, std::size_t size_n)
{
    if (out == nullptr || text.size() + 1 > size_n) {
        log_record("size_n is too small");
        set_error(ZVN_ERROR_BUFFER, "the buffer is too small (" + std::to_string(text.size() + 1) + " bytes needed)")
            .needed = text.size() + 1;
        return -1;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    last.needed = text.size() + 1;
    return 0;
}

void copy_if_fits(const std::string &text, char *out, std::size_t size_n)
{
    if (out != nullptr && text.size() + 1 <= size_n)
        std::memcpy(out, text.c_str(), text.size() + 1);
    last.needed = text.size() + 1;
}

}  // namespace zvn
