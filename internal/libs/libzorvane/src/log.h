// The library's log stream: every diagnostic is one record, written to the
// stream Log_impl refers to at that moment.
#pragma once

#include <functional>
#include <ostream>

extern std::reference_wrapper<std::ostream> Log_impl;

namespace zvn {

// One record: the pieces inserted one after another, then endl. Log_impl is
// read anew for every record so that a rebinding takes effect at once.
template <typename... Pieces>
void log_record(const Pieces &...pieces)
{
    std::ostream &out = Log_impl.get();
    (out << ... << pieces);
    out << std::endl;
}

// Whether records reach a stream at all (enable_log(), or a client's own):
// the words of a tool are then passed on as they would have been.
bool log_enabled();

}  // namespace zvn
