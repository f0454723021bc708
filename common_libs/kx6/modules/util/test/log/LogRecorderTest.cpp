#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/src/misc/DateTime.h"
#include "core/src/misc/FileUtil.h"
#include "util/src/log/ConsolePrinter.h"
#include "util/src/log/FileLogRecorder.h"
#include "util/src/log/ThreadSafeLogRecorder.h"

using kx::core::Binary;
using kx::core::DateTime;
using kx::core::FileUtil;
using kx::core::String;
using kx::util::ConsolePrinter;
using kx::util::FileLogRecorder;
using kx::util::ILogRecorder;
using kx::util::ThreadSafeLogRecorder;

namespace {
class LogDir : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kx_log_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_root = tmpl;
    }
    void TearDown() override { system(("rm -rf '" + m_root + "'").c_str()); }

    String dir(const char* rest = "") const { return String::fromUtf8(m_root + rest); }
    std::string read(const char* rest) const {
        Binary data;
        if (!FileUtil::readAll(dir(rest), data)) return "<missing>";
        return data.toStdString();
    }

    std::string m_root;
};

class CountingRecorder : public ILogRecorder {
public:
    void info(const String& t) override { lines.push_back("I " + t.toStdString()); }
    void warn(const String& t) override { lines.push_back("W " + t.toStdString()); }
    void error(const String& t) override { lines.push_back("E " + t.toStdString()); }
    std::vector<std::string> lines;
};
}  // namespace

TEST_F(LogDir, LinesAtAFixedTimeGoToTheDailyFilesOfTheirLevel) {
    FileLogRecorder rec(dir("/debug"));
    const DateTime at = DateTime::fromLocal(2024, 3, 1, 9, 5, 7);
    rec.clock = [at] { return at; };

    testing::internal::CaptureStdout();
    rec.info(String(L"started \u00e9"));
    rec.warn(String(L"slow"));
    rec.error(String(L"broken"));
    const std::string console = testing::internal::GetCapturedStdout();

    EXPECT_EQ(read("/debug/log/2024-03-01.log"),
              "09:05:07\tTIP\tstarted \xc3\xa9\r\n"
              "09:05:07\tWARN\tslow\r\n"
              "09:05:07\tERROR\tbroken\r\n");
    EXPECT_EQ(read("/debug/warn/2024-03-01.log"), "09:05:07\tWARN\tslow\r\n");
    EXPECT_EQ(read("/debug/error/2024-03-01.log"), "09:05:07\tERROR\tbroken\r\n");
    EXPECT_EQ(console,
              "09:05:07 started \xc3\xa9\n"
              "09:05:07 <WARN> slow\n"
              "09:05:07 <ERR> broken\n");
}

TEST_F(LogDir, ANewDateStartsANewFileAndOldOnesAreKept) {
    FileLogRecorder rec(dir());
    rec.consoleEnabled = false;
    DateTime at = DateTime::fromLocal(2024, 2, 29, 23, 59, 59);
    rec.clock = [&at] { return at; };
    rec.info(String(L"before"));
    at = DateTime(at.seconds() + 1);
    rec.info(String(L"after"));
    EXPECT_EQ(read("/log/2024-02-29.log"), "23:59:59\tTIP\tbefore\r\n");
    EXPECT_EQ(read("/log/2024-03-01.log"), "00:00:00\tTIP\tafter\r\n");
    EXPECT_FALSE(FileUtil::exists(dir("/warn")));  // created only when a warning is written
}

TEST_F(LogDir, UnwritableDirectoryIsSkippedSilently) {
    ASSERT_TRUE(FileUtil::writeAll(dir("/blocker"), Binary("file, not a directory")));
    FileLogRecorder rec(dir("/blocker"));
    rec.consoleEnabled = false;
    rec.error(String(L"nowhere to go"));  // must neither throw nor crash
    EXPECT_EQ(read("/blocker"), "file, not a directory");
}

TEST(ThreadSafeLogRecorder, ForwardsEveryLevelAndToleratesNull) {
    ThreadSafeLogRecorder none(nullptr);
    none.info(String(L"a"));
    none.warn(String(L"b"));
    none.error(String(L"c"));

    CountingRecorder inner;
    ThreadSafeLogRecorder safe(&inner);
    safe.info(String(L"a"));
    safe.warn(String(L"b"));
    safe.error(String(L"c"));
    EXPECT_EQ(inner.lines, (std::vector<std::string>{"I a", "W b", "E c"}));
}

TEST(ConsolePrinter, BrokenStandardOutputRaisesNoSigpipe) {
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    ASSERT_GE(saved, 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // nobody will ever read: writes get EPIPE (and SIGPIPE)
    dup2(fds[1], STDOUT_FILENO);
    close(fds[1]);

    ConsolePrinter::print(String(L"into the void"));  // the process survives

    fflush(stdout);
    clearerr(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}
