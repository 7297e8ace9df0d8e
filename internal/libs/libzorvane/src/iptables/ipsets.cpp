// The address sets of the library's own, in ipset's text: what "ipset
// save" lists ("create NAME hash:net family inet ...", "add NAME ENTRY"),
// what "ipset restore" takes to make or refill them, the same lines in a
// chain text ("#ipset create ...", "#ipset add ..."), and the runs.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "../families.h"
#include "../log.h"
#include "../programs.h"
#include "iptables.h"

namespace zvn {

namespace {

constexpr const char *chain_text_mark = "#ipset ";

bool is_own_set(std::string_view name)
{
    return name.substr(0, 4) == "zv4-" || name.substr(0, 4) == "zv6-";
}

// An entry as the library writes it: a network's canonical text.
std::string canonical_entry(std::string_view entry, const Family &family)
{
    const auto network = parse_network(entry, family);
    if (!network)
        return std::string(entry);
    return network_text(network->first(), network->prefix, family);
}

std::vector<std::string_view> words_of_line(std::string_view line)
{
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && line[at] == ' ')
            ++at;
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at)
            words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// Reads "create"/"add" lines (of a save listing, or of a chain text with
// the mark taken off) into sets: only those of the library's own.
bool read_set_lines(std::string_view text, std::vector<AddressSet> &sets, bool marked)
{
    std::map<std::string, std::size_t, std::less<>> index;
    for (std::size_t i = 0; i < sets.size(); ++i)
        index[sets[i].name] = i;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (marked) {
            if (line.substr(0, std::strlen(chain_text_mark)) != chain_text_mark)
                continue;
            line.remove_prefix(std::strlen(chain_text_mark));
        }
        const auto words = words_of_line(line);
        if (words.size() < 2 || !is_own_set(words[1]))
            continue;
        if (words[0] == "create") {
            const bool six = std::find(words.begin(), words.end(), "inet6") != words.end();
            if (index.count(words[1]) == 0) {
                index[std::string(words[1])] = sets.size();
                sets.push_back({std::string(words[1]), six ? &ipv6 : &ipv4, {}});
            }
        } else if (words[0] == "add" && words.size() >= 3) {
            const auto found = index.find(words[1]);
            if (found == index.end())
                return false;  // an entry of a set never made
            AddressSet &set = sets[found->second];
            set.entries.push_back(canonical_entry(words[2], *set.family));
        }
    }
    for (AddressSet &set : sets)
        std::sort(set.entries.begin(), set.entries.end());
    return true;
}

std::string set_header(const AddressSet &set, const std::string &name)
{
    const std::size_t room = std::max<std::size_t>(65536, set.entries.size() + set.entries.size() / 8);
    return "create " + name + " hash:net family " + (set.family->bit == ipv6.bit ? "inet6" : "inet") +
           " hashsize 1024 maxelem " + std::to_string(room) + "\n";
}

// Runs "ipset -file FILE restore" of a text of our own: the raw status.
int run_restore(const std::string &text)
{
    std::string name;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        name = std::string("/tmp/ipset_zorvane_") + std::to_string(getpid()) + "_" + std::to_string(attempt) + ".txt";
        fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        log_record("cannot create a file for ipset: ", std::strerror(errno));
        return -1;
    }
    const bool written = write_all(fd, text);
    close(fd);
    if (!written) {
        unlink(name.c_str());
        return -1;
    }
    std::string words;
    const int status = capture({tools::ipset, "-file", name, "restore"}, words, true);
    if (status != 0)
        log_record("ipset restore failed (status ", status, "): ", words);
    unlink(name.c_str());
    return status;
}

}  // namespace

std::string iptables_sets_text(const std::vector<AddressSet> &sets)
{
    std::string text;
    for (const AddressSet &set : sets) {
        text += chain_text_mark + set_header(set, set.name);
        for (const std::string &entry : set.entries)
            text += std::string(chain_text_mark) + "add " + set.name + " " + entry + "\n";
    }
    return text;
}

bool iptables_parse_sets_text(const std::string &text, std::vector<AddressSet> &sets)
{
    return read_set_lines(text, sets, true);
}

std::string iptables_load_sets_text(const std::vector<AddressSet> &sets, const std::vector<std::string> &standing)
{
    // Each set filled under a name of its own, then renamed into place, or
    // swapped with the one that stands and that one destroyed: the set in
    // use is never half filled.
    const auto stands = [&](const std::string &name) {
        return std::find(standing.begin(), standing.end(), name) != standing.end();
    };
    std::string text;
    std::size_t k = 0;
    for (const AddressSet &set : sets) {
        const std::string temporary = "zvt-" + std::to_string(getpid()) + "-" + std::to_string(k++);
        if (stands(temporary))
            text += "destroy " + temporary + "\n";  // a leftover of an earlier crash of this pid
        text += set_header(set, temporary);
        for (const std::string &entry : set.entries)
            text += "add " + temporary + " " + entry + "\n";
        if (stands(set.name))
            text += "swap " + temporary + " " + set.name + "\ndestroy " + temporary + "\n";
        else
            text += "rename " + temporary + " " + set.name + "\n";
    }
    return text;
}

// The names of every set that stands ("ipset list -n").
int standing_names(std::vector<std::string> &standing)
{
    std::string listing;
    if (const int status = capture({tools::ipset, "list", "-n"}, listing, true); status != 0)
        return status;
    std::string_view rest = listing;
    while (!rest.empty()) {
        const std::size_t end = std::min(rest.find('\n'), rest.size());
        if (end > 0)
            standing.emplace_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    return 0;
}

int iptables_set_names(std::vector<std::string> &names)
{
    std::vector<std::string> standing;
    const int status = standing_names(standing);
    for (std::string &name : standing)
        if (is_own_set(name))
            names.push_back(std::move(name));
    return status;
}

int iptables_read_sets(const std::vector<std::string> &names, std::vector<AddressSet> &sets)
{
    std::vector<std::string> standing;
    if (const int status = standing_names(standing); status != 0)
        return status;
    for (const std::string &name : names) {
        if (!is_own_set(name) || std::find(standing.begin(), standing.end(), name) == standing.end())
            continue;
        std::string listing;
        if (const int status = capture({tools::ipset, "save", name}, listing, true); status != 0)
            return status;
        if (!read_set_lines(listing, sets, false))
            return -1;
    }
    return 0;
}

int iptables_glance_sets(std::string &headers)
{
    // "-t": the headers alone (size in memory, references, number of
    // entries, and the initval a swap changes), in milliseconds however
    // many entries the sets hold.
    headers.clear();
    return capture({tools::ipset, "list", "-t"}, headers, true);
}

int iptables_load_sets(const std::vector<AddressSet> &sets)
{
    if (sets.empty())
        return 0;
    std::vector<std::string> standing;
    if (const int status = standing_names(standing); status != 0)
        return status;
    return run_restore(iptables_load_sets_text(sets, standing));
}

int iptables_destroy_sets(const std::vector<std::string> &names)
{
    int first_failure = 0;
    for (const std::string &name : names) {
        std::string words;
        const int status = capture({tools::ipset, "destroy", name}, words, true);
        if (status != 0 && first_failure == 0)
            first_failure = status;
    }
    return first_failure;
}

}  // namespace zvn
