// The host's rule set of record, written so that a crash never leaves a
// mixture of the old and the new.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <libzorvane.h>

#include <vector>

#include <nlohmann/json.hpp>

#include "command.h"

namespace zorvane {

namespace {

[[noreturn]] void fail_saving(const std::string &what, const std::string &path)
{
    throw Failure(3, "saving failed: cannot " + what + " " + path + ": " + std::strerror(errno));
}

void write_all(int fd, const std::string &text, const std::string &path)
{
    const char *next = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(fd, next, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            fail_saving("write", path);
        next += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void save_atomically(const std::string &path, const std::string &text)
{
    commit_staged(stage_file(path, text), path);
}

std::string stage_file(const std::string &path, const std::string &text)
{
    const std::string directory = path.substr(0, path.rfind('/'));
    if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
        fail_saving("make the directory", directory);
    // The temporary name is unique to this process and created exclusively,
    // so that neither a planted link nor a second writer can redirect it.
    const std::string temporary = path + ".new." + std::to_string(getpid());
    unlink(temporary.c_str());  // a leftover of an earlier crash of this pid
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        fail_saving("create", temporary);
    try {
        if (fchmod(fd, 0644) != 0)
            fail_saving("set the mode of", temporary);
        write_all(fd, text, temporary);
        if (fsync(fd) != 0)
            fail_saving("sync", temporary);
    } catch (...) {
        close(fd);
        unlink(temporary.c_str());
        throw;
    }
    if (close(fd) != 0) {
        unlink(temporary.c_str());
        fail_saving("close", temporary);
    }
    return temporary;
}

void commit_staged(const std::string &staged, const std::string &path)
{
    const std::string directory = path.substr(0, path.rfind('/'));
    if (rename(staged.c_str(), path.c_str()) != 0) {
        unlink(staged.c_str());
        fail_saving("rename to", path);
    }
    // The rename itself lasts only once the directory is on disk.
    const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0 || fsync(dir_fd) != 0)
        fail_saving("sync the directory", directory);
    close(dir_fd);
}

std::string text_fingerprint(const std::string &text)
{
    // FNV-1a over the bytes: enough to tell that the saved file is the one
    // that was forced, not a proof against someone who can write /etc.
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return std::to_string(text.size()) + ":" + hex;
}

void mark_forced(const std::string &text, bool forced)
{
    if (forced)
        save_atomically(forced_marker, text_fingerprint(text) + "\n");
    else if (unlink(forced_marker) != 0 && errno != ENOENT)
        fail_saving("remove", forced_marker);
}

bool saved_as_forced(const std::string &text)
{
    FILE *in = std::fopen(forced_marker, "re");
    if (in == nullptr)
        return false;
    char line[128] = "";
    const bool read = std::fgets(line, sizeof line, in) != nullptr;
    std::fclose(in);
    return read && std::string(line) == text_fingerprint(text) + "\n";
}

}  // namespace zorvane

namespace zorvane {

namespace {

const char *const ipv4_header = "# /sbin/iptables-restore\n";
const char *const ipv6_header = "# /sbin/ip6tables-restore\n";

std::string read_whole(const std::string &path)
{
    std::string text;
    FILE *in = std::fopen(path.c_str(), "re");
    if (in == nullptr)
        return text;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        text.append(buffer, n);
    std::fclose(in);
    return text;
}

}  // namespace

std::string last_good_path(bool ipv6)
{
    return std::string(state_dir) + (ipv6 ? "/last-good.ipv6" : "/last-good.ipv4");
}

std::pair<std::string, std::string> chain_sections(const std::string &text)
{
    const std::size_t six = text.find(ipv6_header);
    const std::size_t four = text.rfind(ipv4_header, 0) == 0 ? std::strlen(ipv4_header) : 0;
    if (six == std::string::npos)
        return {text.substr(four), ""};
    return {text.substr(four, six - four), text.substr(six + std::strlen(ipv6_header))};
}

std::string chain_text_of(const std::string &ipv4, const std::string &ipv6, bool both_families)
{
    if (!both_families)
        return ipv4;
    return (ipv4.empty() ? "" : ipv4_header + ipv4) + (ipv6.empty() ? "" : ipv6_header + ipv6);
}

std::string chain_text_now()
{
    std::vector<char> buffer(std::size_t{1} << 20);
    size_t length = 0;
    int status;
    while ((status = zvn_get_chain_text(buffer.data(), buffer.size(), &length)) == -1 && length + 1 > buffer.size())
        buffer.resize(length + 1);
    if (status != 0)
        throw Failure(3, std::string("the chain ZORVANE could not be listed: ") + zvn_last_error());
    return std::string(buffer.data(), length);
}

void keep_last_good()
{
    const auto [ipv4, ipv6] = chain_sections(chain_text_now());
    save_atomically(last_good_path(false), ipv4);
    if (!ipv6.empty())
        save_atomically(last_good_path(true), ipv6);
}

std::string last_good(bool ipv6)
{
    return read_whole(last_good_path(ipv6));
}

std::string options_text(const ApplyOptions &options)
{
    return nlohmann::json{{"layout", options.layout},
                          {"log_limit", options.log_limit},
                          {"countries", options.countries},
                          {"country_db", options.country_databases}}
               .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
           "\n";
}

ApplyOptions read_options(const std::string &path)
{
    ApplyOptions options;
    const auto json = nlohmann::json::parse(read_whole(path), nullptr, false);
    if (!json.is_object())
        return options;
    const auto layout = json.find("layout");
    if (layout != json.end() && layout->is_string() &&
        std::find(layout_names.begin(), layout_names.end(), layout->get<std::string>()) != layout_names.end())
        options.layout = layout->get<std::string>();
    const auto limit = json.find("log_limit");
    if (limit != json.end() && limit->is_number_unsigned() && limit->get<unsigned long long>() <= most_log_limit)
        options.log_limit = limit->get<unsigned>();
    const auto countries = json.find("countries");
    if (countries != json.end() && countries->is_string() &&
        std::find(country_source_names.begin(), country_source_names.end(), countries->get<std::string>()) !=
            country_source_names.end())
        options.countries = countries->get<std::string>();
    // A database list is taken whole or not at all: a set built from part
    // of the files the apply named would hold other networks.
    const auto databases = json.find("country_db");
    if (databases != json.end() && databases->is_array() &&
        std::all_of(databases->begin(), databases->end(),
                    [](const nlohmann::json &file) { return file.is_string() && !file.get<std::string>().empty(); }))
        options.country_databases = databases->get<std::vector<std::string>>();
    return options;
}

void use_options(const ApplyOptions &options)
{
    zvn_set_layout(options.layout == "flat"      ? ZVN_LAYOUT_FLAT
                   : options.layout == "indexed" ? ZVN_LAYOUT_INDEXED
                                                 : ZVN_LAYOUT_AUTO);
    zvn_set_log_limit(options.log_limit);
    zvn_set_country_source(options.countries == "match"  ? ZVN_COUNTRIES_MATCH
                           : options.countries == "sets" ? ZVN_COUNTRIES_SETS
                                                         : ZVN_COUNTRIES_AUTO);
    std::vector<const char *> paths;
    for (const std::string &path : options.country_databases)
        paths.push_back(path.c_str());
    zvn_set_country_databases(paths.data(), paths.size());
}

void record_applying(const std::string &text)
{
    // Best effort: status then says nothing of an unfinished apply.
    if (mkdir(run_dir, 0700) != 0 && errno != EEXIST)
        return;
    try {
        save_atomically(applying_record, text);
    } catch (const Failure &) {
    }
}

void forget_applying()
{
    unlink(applying_record);
}

void save_hook_place(const std::string &place)
{
    save_atomically(setup_record, nlohmann::json{{"hook", place}}.dump() + "\n");
}

std::string saved_hook_place()
{
    const auto json = nlohmann::json::parse(read_whole(setup_record), nullptr, false);
    if (!json.is_object() || !json.contains("hook") || !json["hook"].is_string())
        return "";
    const std::string place = json["hook"];
    return place == "first" || place == "last" ? place : "";
}

void record_boot(bool fell_back, const std::string &why, const std::string &instead)
{
    if (mkdir(run_dir, 0700) != 0 && errno != EEXIST)
        return;
    try {
        save_atomically(boot_record, nlohmann::json{{"fell_back", fell_back}, {"why", why}, {"instead", instead}}
                                             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
                                         "\n");
    } catch (const Failure &) {
    }
}

nlohmann::json boot_outcome()
{
    const auto json = nlohmann::json::parse(read_whole(boot_record), nullptr, false);
    return json.is_object() ? json : nlohmann::json::object();
}

bool guard_paused()
{
    struct stat seen {};
    return lstat(guard_pause_file, &seen) == 0;
}

}  // namespace zorvane
