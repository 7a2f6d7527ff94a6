// The bridge locks between programs of ours: a lock let go is free at once,
// even for a child forked a moment before that has not run its exec yet;
// a bridge found busy and taken afterwards no longer counts as met busy.
#include "common/lock_file.h"
#include "device/bridge_lock.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

using namespace brigant;

namespace
{

struct LockDir {
    std::string path;
    LockDir()
    {
        char templ[] = "/tmp/brigant-lock-test-XXXXXX";
        path = ::mkdtemp(templ);
    }
    ~LockDir() { std::filesystem::remove_all(path); }
};

TEST(BridgeLock, ALockLetGoIsFreeWhileAForkedChildStillSharesItsDescriptor)
{
    LockDir dir;
    const std::string file = dir.path + "/bridge.lock";
    const LockFileAttempt mine = TryLockFile(file, LockHolder{::getpid(), "brigant-fw", "update --all", 0});
    ASSERT_GE(mine.fd, 0) << mine.error;
    const pid_t child = ::fork();
    if (child == 0) { // a worker between its fork and its exec
        ::usleep(500 * 1000);
        std::_Exit(0);
    }
    ASSERT_GT(child, 0);
    UnlockFile(mine.fd);
    const LockFileAttempt next = TryLockFile(file, LockHolder{::getpid() + 1, "brigant-fw", "update", 0});
    EXPECT_GE(next.fd, 0) << "busy: " << HolderText(next.holder);
    UnlockFile(next.fd);
    int status = 0;
    ::waitpid(child, &status, 0);
}

TEST(BridgeLock, ABridgeFoundBusyThenTakenIsNoLongerMetBusy)
{
    LockDir dir;
    BridgeLocks locks;
    locks.configure(dir.path, LockHolder{::getpid(), "brigant-fw", "update", 0}, "test-");
    EXPECT_FALSE(locks.metBusy());
    const LockFileAttempt other = TryLockFile(locks.lockFile("port3"), LockHolder{1, "brigant-fw", "list", 0});
    ASSERT_GE(other.fd, 0) << other.error;
    EXPECT_TRUE(locks.heldElsewhere("port3").has_value());
    EXPECT_TRUE(locks.metBusy());
    UnlockFile(other.fd);
    EXPECT_EQ(locks.take("port3").taken, BridgeLocks::Taken::Held);
    EXPECT_FALSE(locks.metBusy());
}

} // namespace
