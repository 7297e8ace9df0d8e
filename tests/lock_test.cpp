// The lock that keeps operations on the chain apart, with the fakes: a held
// lock makes an operation wait (and give up after 30 s), a missing /run lets
// it go on, and a thread that holds the lock may call operations itself.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support.h"

namespace zvn_test {
namespace {

class FakeLock : public testing::Test {
protected:
    void SetUp() override { fresh_fake_state(); }
};

TEST_F(FakeLock, OperationWaitsForAnotherProcess)
{
    const pid_t holder = hold_lock_elsewhere(2);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(reset_counter(), 0);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(waited, 1.2);
    waitpid(holder, nullptr, 0);
}

TEST_F(FakeLock, GivesUpAfterThirtySeconds)
{
    const pid_t holder = hold_lock_elsewhere(40);
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\":true}]"), -1);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(waited, 30.0);
    EXPECT_LT(waited, 33.0);
    EXPECT_EQ(log.lines().back(), "gave up waiting for the lock /run/zorvane.lock after 30 s: another operation holds it");
    EXPECT_EQ(Fakes::calls(), std::vector<std::string>{});  // nothing ran
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

TEST_F(FakeLock, MissingRunDoesNotStopAnUpdate)
{
    ASSERT_EQ(mount("tmpfs", "/run", "tmpfs", MS_RDONLY, nullptr), 0);
    LogCapture log;
    EXPECT_EQ(zvn_apply_rules_json("[{\"allow\":true}]"), 0);
    umount("/run");
    EXPECT_EQ(log.lines().at(1), "cannot open the lock file /run/zorvane.lock: Read-only file system; going on without the lock");
    EXPECT_EQ(Fakes::calls(), (std::vector<std::string>{"iptables-restore --test FILE", "iptables-restore -n FILE"}));
}

TEST_F(FakeLock, HolderCallsOperationsAndOthersWait)
{
    ASSERT_EQ(zvn_lock_chain(), 0);
    EXPECT_EQ(reset_counter(), 0);  // the same thread takes it again
    EXPECT_EQ(zvn_apply_rules_json("[]"), 0);
    int status = 0;
    shell("flock -n /run/zorvane.lock true", &status);
    EXPECT_NE(status, 0);  // another process finds it held
    zvn_unlock_chain();
    shell("flock -n /run/zorvane.lock true", &status);
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace zvn_test
