#include "fuzz_support.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zvn_fuzz {

namespace {

std::string fake_dir()
{
    const char *dir = std::getenv("ZVN_FAKE_DIR");
    return dir == nullptr ? "" : dir;
}

std::vector<std::string> lines_of(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

}  // namespace

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
        std::abort();
    }
}

void require_fake_sandbox()
{
    const char *mode = std::getenv("ZVN_SANDBOX");
    if (mode == nullptr || std::string(mode) != "fake" || fake_dir().empty()) {
        std::fprintf(stderr, "run the fuzz targets through tests/sandbox/sandbox.sh fake\n");
        std::exit(2);
    }
    std::ofstream(fake_dir() + "/plan/list-any.out")
        << "       5      300 ACCEPT     all  --  *      *       0.0.0.0/0            0.0.0.0/0\n";
    std::ofstream(fake_dir() + "/plan/save.out") << "*filter\n:ZORVANE - [0:0]\nCOMMIT\n";
}

void reset_state()
{
    const std::string dir = fake_dir();
    std::remove((dir + "/calls").c_str());
    for (int k = 1; k < 6; ++k) {
        std::remove((dir + "/restore." + std::to_string(k)).c_str());
        std::remove((dir + "/restore." + std::to_string(k) + ".mode").c_str());
    }
    for (const auto &name : restore_files_in_tmp())
        std::remove(name.c_str());
}

std::vector<std::string> fake_calls()
{
    return lines_of(fake_dir() + "/calls");
}

std::vector<std::string> restore_files_in_tmp()
{
    std::vector<std::string> names;
    if (DIR *dir = opendir("/tmp")) {
        while (const dirent *entry = readdir(dir))
            if (std::string(entry->d_name).rfind("iptables_zorvane_", 0) == 0 ||
                std::string(entry->d_name).rfind("ip6tables_zorvane_", 0) == 0)
                names.push_back(std::string("/tmp/") + entry->d_name);
        closedir(dir);
    }
    return names;
}

std::vector<std::string> restore_copy_lines(int k)
{
    return lines_of(fake_dir() + "/restore." + std::to_string(k));
}

int tested_copy(const std::string &tool)
{
    const auto first = lines_of(fake_dir() + "/restore.1.tool");
    return !first.empty() && first.front() == tool ? 1 : 2;
}

namespace {

// The family a rule goes to with IPv6 on: its address or range (the first
// one set) decides by its colon; without one, both.
unsigned families_of(const nlohmann::json &rule)
{
    for (const char *key : {"src_IP_cidr", "src_IP_range"}) {
        const auto it = rule.find(key);
        if (it != rule.end() && it->is_string() && !it->get<std::string>().empty())
            return it->get<std::string>().find(':') != std::string::npos ? 2u : 1u;
    }
    return 3u;
}

}  // namespace

void check_restore_file(const nlohmann::json &rules, int copy, unsigned family)
{
    size_t expected = 3;
    for (const auto &rule : rules)
        if (family == 0 || (families_of(rule) & family) != 0)
            expected += rule.at("allow").get<bool>() ? 1 : 2;
    const auto lines = restore_copy_lines(copy);
    require(lines.size() == expected, "restore file has 3 + allowing + 2 x dropping lines");
    require(lines.front() == "*filter" && lines[1] == ":ZORVANE - [0:0]" && lines.back() == "COMMIT",
            "restore file head and tail");
    for (size_t i = 2; i + 1 < lines.size(); ++i) {
        require(lines[i].rfind("-A ZORVANE ", 0) == 0, "every rule line appends to ZORVANE");
        for (const char c : lines[i]) {
            const auto byte = static_cast<unsigned char>(c);
            require(byte >= 0x20 && byte != 0x7f, "no control character in a rule line");
        }
    }
}

bool apply_refused(int ret, bool ipv4_listing_allowed)
{
    if (ret == -1) {
        auto calls = fake_calls();
        if (ipv4_listing_allowed)
            calls.erase(std::remove(calls.begin(), calls.end(), "iptables -S ZORVANE"), calls.end());
        require(calls.empty(), "a refused text runs no command");
        require(restore_files_in_tmp().empty(), "a refused text creates no file");
        return true;
    }
    require(ret == 0, "with tools that succeed an accepted rule set applies");
    require(restore_files_in_tmp().empty(), "the restore files are removed after success");
    return false;
}

}  // namespace zvn_fuzz
