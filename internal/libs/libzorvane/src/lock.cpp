// One operation on the chain at a time, across threads and processes: an
// advisory lock (flock) on a file under /run, held for a whole operation.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "errors.h"
#include "libzorvane.h"
#include "lock.h"
#include "log.h"
#include "names.h"

namespace zvn {

namespace {

constexpr auto lock_wait_limit = std::chrono::seconds(30);

// Each thread opens the file itself: flock() locks of two open file
// descriptions exclude each other even within one process, so threads
// serialise like processes do. The depth lets a thread that holds the lock
// (the operator command around its steps) call operations that take it too.
thread_local int held_depth = 0;
thread_local int held_fd = -1;

// Waits up to the limit when asked to; otherwise gives up at once, without a
// record, when another operation holds the lock.
bool acquire(bool wait = true)
{
    if (held_depth > 0) {
        ++held_depth;
        return true;
    }
    const char *lock_path = places().lock;
    const int fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        // The lock protects; it never stands in the way of a firewall update.
        log_record("cannot open the lock file ", lock_path, ": ", std::strerror(errno),
                   "; going on without the lock");
        held_depth = 1;
        held_fd = -1;
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + lock_wait_limit;
    auto pause = std::chrono::milliseconds(1);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            log_record("cannot lock ", lock_path, ": ", std::strerror(errno), "; going on without the lock");
            close(fd);
            held_depth = 1;
            held_fd = -1;
            return true;
        }
        if (!wait) {
            close(fd);
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            log_record("gave up waiting for the lock ", lock_path, " after 30 s: another operation holds it");
            set_error(ZVN_ERROR_LOCK, std::string("another operation held the lock ") + lock_path + " for over 30 s");
            close(fd);
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(4));
    }
    held_depth = 1;
    held_fd = fd;
    return true;
}

void release()
{
    if (held_depth == 0 || --held_depth > 0)
        return;
    if (held_fd >= 0)
        close(held_fd);  // closing the last descriptor releases the lock
    held_fd = -1;
}

}  // namespace

ChainLock::ChainLock() : locked_(acquire()) {}

ChainLock::ChainLock(NoWait) : locked_(acquire(false)) {}

ChainLock::~ChainLock()
{
    if (locked_)
        release();
}

}  // namespace zvn

extern "C" {

int zvn_lock_chain(void)
{
    return zvn::acquire() ? 0 : -1;
}

void zvn_unlock_chain(void)
{
    zvn::release();
}

}  // extern "C"
