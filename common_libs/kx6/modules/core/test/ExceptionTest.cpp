#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/src/debug/Assert.h"
#include "core/src/exception/BadAnyCastException.h"
#include "core/src/exception/Exception.h"
#include "core/src/exception/OutOfRangeException.h"
#include "core/src/thread/Thread.h"
#include "core/src/value/Any.h"

using namespace kx::core;

namespace {
std::string readAssertLog() {
    std::ifstream in(AssertReporter::assertLogPath(), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void removeAssertLog() {
    std::remove(AssertReporter::assertLogPath().c_str());
}

[[noreturn]] void runThrowingThread(void (*thrower)()) {
    Thread t;
    t.start(thrower);
    // The report ends the process; this wait is only reached if it does not.
    for (int i = 0; i < 500; ++i) usleep(10000);
    _exit(0);
}
}  // namespace

TEST(Exception, DescribeNamesTheActualClass) {
    EXPECT_EQ(Exception(L"boom").describe().toStdString(),
              "[KX Exception: N2kx4core9ExceptionE] boom");
    EXPECT_EQ(Exception(String()).describe().toStdString(),
              "[KX Exception: N2kx4core9ExceptionE] ");

    Array<Any> three{Any(int8_t(1)), Any(int8_t(2)), Any(int8_t(3))};
    try {
        three[5];
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.message().toStdString(), "OutOfRangeException. Index 5 out of range [0, 3)");
        EXPECT_EQ(e.describe().toStdString(),
                  "[KX Exception: N2kx4core19OutOfRangeExceptionE] "
                  "OutOfRangeException. Index 5 out of range [0, 3)");
    }
    EXPECT_EQ(OutOfRangeException().message().toStdString(), "OutOfRangeException");

    try {
        Any(int32_t(1)).as<String>();
        FAIL() << "no exception";
    } catch (const BadAnyCastException& e) {
        EXPECT_EQ(e.message().toStdString(),
                  "BadAnyCastException. Can not cast i to N2kx4core6StringE");
    }
}

// All assert.log checks live in one test: ctest runs tests in parallel and
// they share the file beside the executable.
TEST(FatalReportDeathTest, AssertionsAndUnhandledThreadExceptionsGoToAssertLog) {
    // Forked at each statement, so the checks between statements run only here.
    GTEST_FLAG_SET(death_test_style, "fast");
    removeAssertLog();

    const int line = __LINE__ + 1;
    EXPECT_EXIT(KX_ASSERT(1 + 1 == 3), ::testing::ExitedWithCode(255), "");
    std::string log = readAssertLog();
    EXPECT_EQ(log.rfind("Program assert lunched.\r\n- Time:   ", 0), 0u) << log;
    // "- Time:   YYYY-MM-DD HH:MM:SS\r\n"
    size_t timeEnd = log.find("\r\n", 35);
    EXPECT_EQ(timeEnd, 35u + 19u) << log;
    std::string rest = log.substr(timeEnd + 2);
    EXPECT_EQ(rest, std::string("- File:   ") + __FILE__ + "\r\n- Line:   " + std::to_string(line) +
                        "\r\n- Report: 1 + 1 == 3\r\n\r\n");

    const std::string exe = AssertReporter::executablePath();
    ASSERT_FALSE(exe.empty());
    const std::string threadReport =
        "- File:   " + exe + "\r\n- Line:   -1\r\n- Report: Unhandled thread exception: ";

    removeAssertLog();
    EXPECT_EXIT(runThrowingThread([] { throw 7; }), ::testing::ExitedWithCode(255), "");
    EXPECT_NE(readAssertLog().find(threadReport + "int(7)\r\n\r\n"), std::string::npos)
        << readAssertLog();

    removeAssertLog();
    EXPECT_EXIT(runThrowingThread([] { throw OutOfRangeException(5, 3); }),
                ::testing::ExitedWithCode(255), "");
    EXPECT_NE(
        readAssertLog().find(threadReport + "[KX Exception: N2kx4core19OutOfRangeExceptionE] "
                                            "OutOfRangeException. Index 5 out of range [0, 3)\r\n"),
        std::string::npos)
        << readAssertLog();

    removeAssertLog();
    EXPECT_EXIT(runThrowingThread([] { throw "plain text"; }), ::testing::ExitedWithCode(255), "");
    EXPECT_NE(readAssertLog().find(threadReport + "plain text\r\n"), std::string::npos);

    removeAssertLog();
    EXPECT_EXIT(runThrowingThread([] { throw 2.5; }), ::testing::ExitedWithCode(255), "");
    EXPECT_NE(readAssertLog().find(threadReport + "unknown\r\n"), std::string::npos);

    removeAssertLog();
}
