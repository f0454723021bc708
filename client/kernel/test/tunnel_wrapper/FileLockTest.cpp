#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "core/src/misc/FileUtil.h"
#include "tunnel_wrapper/FileLock.h"
#include "tunnel_wrapper/WrapperTestSupport.h"

using kx::core::FileUtil;
using kx::core::String;
using tunnel::FileLock;
using tunnel::testing::TempDir;

namespace {

// A child process that takes the lock, reports the outcome through a pipe and
// then waits for a byte (or the pipe's end) before it leaves, unlocking or
// dying as asked.
class LockingChild {
public:
    enum class Exit { UNLOCK, EXIT_HOLDING, KILLED };

    explicit LockingChild(const String& path) {
        int up[2];
        int down[2];
        EXPECT_EQ(pipe(up), 0);
        EXPECT_EQ(pipe(down), 0);
        m_pid = fork();
        if (m_pid == 0) {
            close(up[0]);
            close(down[1]);
            FileLock lock(path);
            const char locked = lock.lock() ? 'L' : 'N';
            if (write(up[1], &locked, 1) != 1) _exit(3);
            char order = 0;
            if (read(down[0], &order, 1) != 1) order = 'x';
            if (order == 'u') {
                lock.unlock();
                _exit(0);
            }
            _exit(0);  // leaves without unlocking: the kernel drops the flock
        }
        close(up[1]);
        close(down[0]);
        m_up = up[0];
        m_down = down[1];
        char locked = 0;
        EXPECT_EQ(read(m_up, &locked, 1), 1);
        m_locked = locked == 'L';
    }
    ~LockingChild() { finish(Exit::UNLOCK); }

    bool locked() const { return m_locked; }

    void finish(Exit how) {
        if (m_pid <= 0) return;
        if (how == Exit::KILLED) {
            kill(m_pid, SIGKILL);
        } else {
            const char order = how == Exit::UNLOCK ? 'u' : 'x';
            EXPECT_EQ(write(m_down, &order, 1), 1);
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        close(m_up);
        close(m_down);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
    int m_up = -1;
    int m_down = -1;
    bool m_locked = false;
};

TEST(FileLockTest, TwoHoldersInOneProcessAreRefusedAndUnlockDeletesTheFile) {
    TempDir dir;
    const String path = dir.file("storage/deep/a.lock");  // parents are made
    FileLock first(path);
    FileLock second(path);
    ASSERT_TRUE(first.lock()) << first.errorText().toStdString();
    EXPECT_FALSE(first.lock());  // already held by this object
    EXPECT_EQ(first.id().length(), 32);
    EXPECT_NE(first.id(), second.id());

    kx::core::Binary content;
    ASSERT_TRUE(FileUtil::readAll(path, content));
    EXPECT_EQ(String::fromUtf8(content), first.id());

    EXPECT_FALSE(second.lock());
    EXPECT_TRUE(second.heldElsewhere());
    EXPECT_FALSE(second.isLocked());

    first.unlock();
    EXPECT_FALSE(FileUtil::exists(path));
    ASSERT_TRUE(second.lock());
    EXPECT_FALSE(second.heldElsewhere());
}

TEST(FileLockTest, AcrossProcessesOnlyALiveHolderBlocks) {
    struct Case {
        const char* name;
        LockingChild::Exit how;
        bool fileLeft;  // the lock file outlives the holder
    } const cases[] = {
        {"holder unlocks", LockingChild::Exit::UNLOCK, false},
        {"holder exits without unlocking", LockingChild::Exit::EXIT_HOLDING, true},
        {"holder is killed", LockingChild::Exit::KILLED, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const String path = dir.file("x.lock");
        LockingChild child(path);
        ASSERT_TRUE(child.locked());

        FileLock lock(path);
        EXPECT_FALSE(lock.lock());
        EXPECT_TRUE(lock.heldElsewhere());
        EXPECT_FALSE(lock.errorText().isEmpty());

        child.finish(c.how);
        EXPECT_EQ(FileUtil::exists(path), c.fileLeft);
        // A stale file of a dead holder is taken over, its content replaced.
        ASSERT_TRUE(lock.lock()) << lock.errorText().toStdString();
        kx::core::Binary content;
        ASSERT_TRUE(FileUtil::readAll(path, content));
        EXPECT_EQ(String::fromUtf8(content), lock.id());
    }
}

TEST(FileLockTest, AChildCannotTakeALockTheParentHolds) {
    TempDir dir;
    const String path = dir.file("p.lock");
    FileLock lock(path);
    ASSERT_TRUE(lock.lock());
    LockingChild child(path);
    EXPECT_FALSE(child.locked());
}

// A late opener that got the old file just before the holder let go ends up
// holding a file nobody can find: the next lock must make a new one rather
// than wait for it, and the old holder must have deleted before letting go.
TEST(FileLockTest, AnOrphanedFileOfTheLastHolderBlocksNobody) {
    TempDir dir;
    const String path = dir.file("o.lock");
    FileLock first(path);
    ASSERT_TRUE(first.lock());
    const int late = ::open(path.toStdString().c_str(), O_RDWR);
    ASSERT_GE(late, 0);
    first.unlock();
    EXPECT_EQ(::flock(late, LOCK_EX | LOCK_NB), 0);  // the orphan
    FileLock next(path);
    EXPECT_TRUE(next.lock()) << next.errorText().toStdString();
    ::close(late);
}

TEST(FileLockTest, AFileThatCannotBeMadeIsAnErrorNotAnotherInstance) {
    TempDir dir;
    // A plain file where the directory should be.
    ASSERT_TRUE(FileUtil::writeAll(dir.file("storage"), kx::core::Binary("x")));
    FileLock blocked(dir.file("storage/a.lock"));
    EXPECT_FALSE(blocked.lock());
    EXPECT_FALSE(blocked.heldElsewhere());
    EXPECT_EQ(blocked.errorText(), String(L"Can not create dir: ") + dir.file("storage"));

    // A directory where the file should be.
    ASSERT_TRUE(FileUtil::makeDirectories(dir.file("d.lock")));
    FileLock onDirectory(dir.file("d.lock"));
    EXPECT_FALSE(onDirectory.lock());
    EXPECT_FALSE(onDirectory.heldElsewhere());
    EXPECT_EQ(onDirectory.errorText().toStdString().rfind("Can not open lock file ", 0), 0u);

    FileLock never(dir.file("n.lock"));
    never.unlock();  // nothing held: nothing happens
    EXPECT_FALSE(FileUtil::exists(dir.file("n.lock")));
}

}  // namespace
