// The host's rule set of record, written so that a crash never leaves a
// mixture of the old and the new.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "command.h"

namespace zorvane {

namespace {

[[noreturn]] void fail_saving(const std::string &what, const std::string &path)
{
    throw Failure(3, "the rule set is applied, but saving it failed: cannot " + what + " " + path + ": " +
                         std::strerror(errno));
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
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        fail_saving("rename to", path);
    }
    // The rename itself lasts only once the directory is on disk.
    const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0 || fsync(dir_fd) != 0)
        fail_saving("sync the directory", directory);
    close(dir_fd);
}

}  // namespace zorvane
