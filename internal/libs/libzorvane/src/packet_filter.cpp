// The process's packet filter, and what every implementation shares.

#include "packet_filter.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "iptables/iptables.h"
#include "names.h"

namespace zvn {

const FilterTable::Chain *FilterTable::chain(std::string_view name) const
{
    for (const Chain &chain : chains)
        if (chain.name == name)
            return &chain;
    return nullptr;
}

int PacketFilter::install_text(const Family &family, const std::string &text)
{
    const auto file = write(family, text);
    if (!file)
        return -1;
    const int ret = install(*file).status;
    if (ret == 0)
        file->remove();
    return ret;
}

namespace {

thread_local int kept_words_depth = 0;
std::atomic<bool> words_kept_always{false};

// The filter of the process: set once, early, by a test; read by every
// operation. A plain pointer, so that exit handlers of a client may still
// call the library.
std::mutex filter_change;
PacketFilter *current_filter = nullptr;

}  // namespace

KeptWords::KeptWords()
{
    ++kept_words_depth;
}

KeptWords::~KeptWords()
{
    --kept_words_depth;
}

bool KeptWords::on()
{
    return kept_words_depth > 0 || words_kept_always.load();
}

void keep_words_always(bool keep)
{
    words_kept_always.store(keep);
}

PacketFilter &packet_filter()
{
    static IptablesFilter tools;
    PacketFilter *filter = current_filter;
    return filter != nullptr ? *filter : tools;
}

void use_packet_filter(std::unique_ptr<PacketFilter> filter)
{
    const std::lock_guard<std::mutex> lock(filter_change);
    // The filter put aside is kept: a call of another thread may still use it.
    static std::vector<std::unique_ptr<PacketFilter>> retired;
    current_filter = filter.get();
    if (filter)
        retired.push_back(std::move(filter));
}

}  // namespace zvn

namespace zvn {

namespace {

// Set once, before the first operation, by a test.
Places chosen_places{"/run/zorvane.lock", "/var/log/ulogd_syslogemu.log", "/run/zorvane"};

}  // namespace

const Places &places()
{
    return chosen_places;
}

void use_private_places(const std::string &directory)
{
    // Kept for the rest of the process, as the fixed paths are (a deque:
    // the places handed out earlier stay where they are).
    static std::deque<std::string> kept;
    kept.push_back(directory + "/zorvane.lock");
    kept.push_back(directory + "/ulogd_syslogemu.log");
    kept.push_back(directory + "/records");
    chosen_places = {kept[kept.size() - 3].c_str(), kept[kept.size() - 2].c_str(), kept.back().c_str()};
}

}  // namespace zvn
