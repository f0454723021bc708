#include <gtest/gtest.h>

#include <string>

#include "SdkTestEnvironment.h"
#include "core/src/misc/DateTime.h"
#include "core/src/misc/FileUtil.h"
#include "log/DebugLogRecorder.h"

using kx::core::Binary;
using kx::core::DateTime;
using kx::core::FileUtil;
using kx::core::String;
using tunnel::DebugLogRecorder;

class DebugLogRecorderTest : public SdkTestEnvironment {
protected:
    void SetUp() override {
        SdkTestEnvironment::SetUp();
        dir = debugDir();
    }
    std::string read(const std::string& relative) {
        Binary data;
        if (!FileUtil::readAll(String::fromUtf8(dir + "/" + relative), data)) return "<missing>";
        return data.toStdString();
    }
    std::string dir;
};

TEST_F(DebugLogRecorderTest, FileModeWritesEachLevelToItsFiles) {
    DebugLogRecorder recorder(String::fromUtf8(dir), true);
    ASSERT_TRUE(recorder.isFileMode());
    const DateTime at = DateTime::fromLocal(2024, 3, 1, 9, 5, 7);
    recorder.fileRecorder().clock = [at] { return at; };
    recorder.fileRecorder().consoleEnabled = false;

    recorder.info(L"[SDK] opened");
    recorder.warn(L"[Client] slow");
    recorder.error(L"[SDK] Can not create dir: /x");

    EXPECT_EQ(read("log/2024-03-01.log"),
              "09:05:07\tTIP\t[SDK] opened\r\n"
              "09:05:07\tWARN\t[Client] slow\r\n"
              "09:05:07\tERROR\t[SDK] Can not create dir: /x\r\n");
    EXPECT_EQ(read("warn/2024-03-01.log"), "09:05:07\tWARN\t[Client] slow\r\n");
    EXPECT_EQ(read("error/2024-03-01.log"), "09:05:07\tERROR\t[SDK] Can not create dir: /x\r\n");
}

TEST_F(DebugLogRecorderTest, SilentModeCreatesNothing) {
    DebugLogRecorder recorder(String::fromUtf8(dir), false);
    recorder.info(L"a");
    recorder.warn(L"b");
    recorder.error(L"c");
    EXPECT_FALSE(FileUtil::exists(String::fromUtf8(dir)));
}

// A log directory that cannot be written (a full disk behaves alike) loses
// the lines but never fails the caller.
TEST_F(DebugLogRecorderTest, UnwritableDirectoryIsSkipped) {
    ASSERT_TRUE(FileUtil::writeAll(String::fromUtf8(dir), Binary("not a directory")));
    DebugLogRecorder recorder(String::fromUtf8(dir), true);
    recorder.fileRecorder().consoleEnabled = false;
    recorder.error(L"lost");
    EXPECT_EQ(read("log"), "<missing>");
}
