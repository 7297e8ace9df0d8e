#include "support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace zvn_test {

namespace {

const std::string restore_prefix = "/tmp/iptables_zorvane_";
const std::string restore6_prefix = "/tmp/ip6tables_zorvane_";

// Length of a restore-file path (either family's) at text[pos], or 0 if
// none starts there.
size_t restore_path_at(const std::string &text, size_t pos)
{
    const std::string &prefix = text.compare(pos, restore6_prefix.size(), restore6_prefix) == 0 ? restore6_prefix
                                                                                                 : restore_prefix;
    if (text.compare(pos, prefix.size(), prefix) != 0)
        return 0;
    size_t end = pos + prefix.size();
    const size_t digits_start = end;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9')
        ++end;
    if (end == digits_start || text.compare(end, 4, ".tmp") != 0)
        return 0;
    return end + 4 - pos;
}

std::string fake_dir()
{
    const char *dir = std::getenv("ZVN_FAKE_DIR");
    if (dir == nullptr)
        throw std::runtime_error("ZVN_FAKE_DIR is not set: not in the fake sandbox");
    return dir;
}

}  // namespace

std::string sandbox_mode()
{
    const char *mode = std::getenv("ZVN_SANDBOX");
    return mode == nullptr ? "" : mode;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> restore_files_in_tmp()
{
    std::vector<std::string> names;
    if (DIR *dir = opendir("/tmp")) {
        while (const dirent *entry = readdir(dir)) {
            const std::string path = std::string("/tmp/") + entry->d_name;
            if (restore_path_at(path, 0) == path.size())
                names.push_back(path);
        }
        closedir(dir);
    }
    return names;
}

void remove_restore_files_in_tmp()
{
    for (const auto &name : restore_files_in_tmp())
        std::remove(name.c_str());
}

void fresh_fake_state()
{
    Fakes::reset();
    remove_restore_files_in_tmp();
    write_file(drop_log, old_drop_log);
}

pid_t hold_lock_elsewhere(int seconds)
{
    const pid_t child = fork();
    if (child == 0) {
        execl("/usr/bin/flock", "flock", "/run/zorvane.lock", "sleep", std::to_string(seconds).c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    usleep(300000);
    return child;
}

std::string shell(const std::string &cmd, int *status)
{
    std::string out;
    FILE *pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("popen failed: " + cmd);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int rc = pclose(pipe);
    if (status != nullptr)
        *status = rc;
    return out;
}

void Fakes::reset()
{
    shell("rm -rf '" + fake_dir() + "'/* && mkdir -p '" + fake_dir() + "/plan'");
}

void Fakes::answer(const std::string &key, int status, const std::string &out)
{
    write_file(fake_dir() + "/plan/" + key + ".status", std::to_string(status));
    if (!out.empty())
        answer_output(key, out);
}

void Fakes::answer_output(const std::string &key, const std::string &out)
{
    write_file(fake_dir() + "/plan/" + key + ".out", out);
}

void Fakes::answer_signal(const std::string &key, const std::string &signal)
{
    write_file(fake_dir() + "/plan/" + key + ".signal", signal);
}

void Fakes::answer_meeting(const std::string &key, const std::string &other)
{
    write_file(fake_dir() + "/plan/" + key + ".meet", other);
}

void Fakes::remove_program(const std::string &name)
{
    shell("rm -f /usr/sbin/" + name);
}

void Fakes::restore_programs()
{
    shell("for n in iptables iptables-restore iptables-save ip6tables ip6tables-restore ip6tables-save firewall.sh; do "
          "[ -e /usr/sbin/$n ] || "
          "install -m 0755 '" ZVN_SOURCE_DIR "/tests/sandbox/fake-tool' /usr/sbin/$n; done");
}

std::vector<std::string> Fakes::calls()
{
    return split_lines(normalise_paths(read_file(fake_dir() + "/calls")));
}

std::string Fakes::restore_copy(int k)
{
    return read_file(fake_dir() + "/restore." + std::to_string(k));
}

std::string Fakes::restore_mode(int k)
{
    const auto lines = split_lines(read_file(fake_dir() + "/restore." + std::to_string(k) + ".mode"));
    return lines.empty() ? "" : lines.front();
}

std::string Fakes::restore_tool(int k)
{
    const auto lines = split_lines(read_file(fake_dir() + "/restore." + std::to_string(k) + ".tool"));
    return lines.empty() ? "" : lines.front();
}

std::string normalise_paths(const std::string &text)
{
    std::string result;
    for (size_t pos = 0; pos < text.size();) {
        if (const size_t length = restore_path_at(text, pos)) {
            result += text.compare(pos, restore6_prefix.size(), restore6_prefix) == 0 ? "FILE6" : "FILE";
            pos += length;
        } else {
            result += text[pos++];
        }
    }
    return result;
}

UtilRun run_util(const std::vector<std::string> &argv)
{
    const std::string out_path = "/tmp/zvn_util.out";
    const std::string err_path = "/tmp/zvn_util.err";
    std::vector<char *> args;
    for (const auto &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        execv(ZVN_UTIL_PATH, args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    UtilRun run;
    run.out = read_file(out_path);
    run.err = read_file(err_path);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace zvn_test
