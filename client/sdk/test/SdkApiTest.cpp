#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "SdkTestEnvironment.h"
#include "core/src/crypto/Digest.h"
#include "core/src/misc/FileUtil.h"
#include "korvane.h"
#include "core/src/json/JsonParser.h"
#include "service/ApiGuard.h"
#include "service/SdkState.h"
#include "util/src/log/ConsolePrinter.h"

using kx::core::FileUtil;
using kx::core::String;
using tunnel::SdkState;

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

int g_faultKind = 0;  // 1: out of memory, 2: a standard exception, 3: anything else

void throwingFault(const char*) {
    if (g_faultKind == 1) throw std::bad_alloc();
    if (g_faultKind == 2) throw std::runtime_error("injected");
    if (g_faultKind == 3) throw 42;
}

}  // namespace

class SdkApiTest : public SdkTestEnvironment {};

TEST_F(SdkApiTest, ConfigThatIsNotAJsonObjectIsRefusedAndLeavesNothingBehind) {
    const char* const inputs[] = {nullptr, "", "   ", "[]", "[{\"access_key\": \"k\"}]", "42",
                                  "\"text\"", "null", "{", "{\"access_key\": }", "\xff\xfe{}"};
    for (const char* input : inputs) {
        SCOPED_TRACE(input ? input : "(null)");
        EXPECT_EQ(korvane_start(input), KORVANE_INVALID_CONFIG);
        EXPECT_STREQ(korvane_error(), "[SDK] Invalid config JSON");
        EXPECT_FALSE(SdkState::instance().isStarted());
        EXPECT_FALSE(SdkState::instance().lifecycleInstalled());
        EXPECT_STREQ(korvane_status(), "{\"running\":false,\"started\":false,\"targets\":[]}");
    }
    EXPECT_FALSE(exists(appDir()));
    EXPECT_FALSE(exists(debugDir()));
}

TEST_F(SdkApiTest, ErrorIsEmptyBeforeAnyCallAndAfterStop) {
    SdkState fresh;
    EXPECT_EQ(fresh.error(), "");

    EXPECT_EQ(korvane_start("[]"), KORVANE_INVALID_CONFIG);
    EXPECT_STRNE(korvane_error(), "");
    EXPECT_EQ(korvane_stop(), 0);  // nothing was started
    EXPECT_STREQ(korvane_error(), "");
    EXPECT_EQ(korvane_stop(), 0);
}

TEST_F(SdkApiTest, DirectoriesFollowThePlatformEnvironment) {
    struct Case {
        const char* documents;
        const char* home;
        const char* tmpdir;
        const char* appDir;
        const char* debugDir;
    };
    const Case cases[] = {
        {"/data/docs", "/home/a", "/var/tmp", "/data/docs/Korvane", "/var/tmp/.debug"},
        {"/data/docs//", "/home/a", "/var/tmp/", "/data/docs/Korvane", "/var/tmp/.debug"},
        {nullptr, "/home/a", nullptr, "/home/a/Documents/Korvane", "/tmp/.debug"},
        {"", "/home/a/", "", "/home/a/Documents/Korvane", "/tmp/.debug"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.appDir);
        setEnv("KORVANE_DOCUMENTS_DIR", c.documents);
        setEnv("HOME", c.home);
        setEnv("TMPDIR", c.tmpdir);
        EXPECT_EQ(SdkState::applicationDirectory().toStdString(), c.appDir);
        EXPECT_EQ(SdkState::debugDirectory().toStdString(), c.debugDir);
    }
}

TEST_F(SdkApiTest, LifecycleNotificationsDoNothingWhenNotStarted) {
    EXPECT_EQ(korvane_post_lifecycle(KORVANE_DID_ENTER_BACKGROUND), 0);
    EXPECT_EQ(korvane_post_lifecycle(KORVANE_WILL_ENTER_FOREGROUND), 0);
    EXPECT_EQ(korvane_post_lifecycle(0), -1);
    EXPECT_FALSE(SdkState::instance().isRunning());
    EXPECT_FALSE(exists(appDir()));
}

TEST_F(SdkApiTest, ApplicationDirectoryThatCannotBeMadeFailsWithItsName) {
    // A regular file where the Documents directory should be.
    ASSERT_TRUE(FileUtil::writeAll(String::fromUtf8(documents), kx::core::Binary("x")));
    EXPECT_EQ(korvane_start("{\"access_key\": \"k\"}"), KORVANE_OPEN_FAILED);
    EXPECT_EQ(std::string(korvane_error()), "Can not create dir: " + appDir());
    EXPECT_FALSE(SdkState::instance().isStarted());
}

TEST_F(SdkApiTest, StorageLockHeldElsewhereFailsWithAClearText) {
    // The lock file of access key 12345 (given as a number), held as another
    // process would hold it.
    const std::string stem =
        kx::core::Digest::md5Hex(kx::core::Binary("tunnel-12345")).toStdString();
    const std::string storage = appDir() + "/storage";
    ASSERT_TRUE(FileUtil::makeDirectories(String::fromUtf8(storage)));
    const int fd = ::open((storage + "/" + stem + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);

    EXPECT_EQ(korvane_start("{\"access_key\": 12345}"), KORVANE_OPEN_FAILED);
    EXPECT_STREQ(korvane_error(),
                 "[Wrapper] Another instance of the same config has been opened, and this "
                 "instance has been ignored.");
    EXPECT_FALSE(SdkState::instance().isRunning());
    EXPECT_EQ(korvane_stop(), 0);
    ::close(fd);
}

// A failure inside the SDK must come back as a code and a text, never as an
// exception through the C boundary (which would end the host).
TEST_F(SdkApiTest, ExceptionsInsideTheSdkBecomeFailureCodesWithTheirText) {
    struct Case {
        int kind;
        const char* text;
    };
    for (const Case& c : {Case{1, "out of memory"}, Case{2, "injected"}, Case{3, "unknown exception"}}) {
        SCOPED_TRACE(c.text);
        g_faultKind = c.kind;
        tunnel::ApiGuard::setFaultForTests(throwingFault);
        EXPECT_EQ(korvane_start("{}"), KORVANE_INTERNAL_ERROR);
        EXPECT_EQ(korvane_stop(), KORVANE_INTERNAL_ERROR);
        EXPECT_EQ(korvane_post_lifecycle(KORVANE_DID_ENTER_BACKGROUND), KORVANE_INTERNAL_ERROR);
        korvane_set_listener(nullptr, nullptr);
        kx::core::Dictionary<kx::core::Any> parsed;
        EXPECT_TRUE(kx::core::JsonParser::parseDictionary(String::fromUtf8(korvane_status()), parsed));
        EXPECT_STRNE(korvane_error(), "");
        tunnel::ApiGuard::setFaultForTests(nullptr);
        EXPECT_NE(std::string(korvane_error()).find(c.text), std::string::npos) << korvane_error();
        EXPECT_FALSE(SdkState::instance().isStarted());
    }
}

TEST_F(SdkApiTest, VersionAndResultTextsComeFromTheHeaderTable) {
    EXPECT_STREQ(korvane_version(), KORVANE_VERSION_TEXT);
    EXPECT_STREQ(korvane_result_text(KORVANE_OK), "started");
    EXPECT_STREQ(korvane_result_text(KORVANE_ALREADY_STARTED), "running already; stop first");
    EXPECT_STREQ(korvane_result_text(-7), "unknown result");
    EXPECT_EQ(korvane_start("not json"), KORVANE_INVALID_CONFIG);
    EXPECT_STREQ(korvane_error(), "[SDK] Invalid config JSON");
}

// A host piping data through its standard output must not get our lines mixed in.
TEST_F(SdkApiTest, ConsoleLinesGoToStandardErrorNotTheHostsOutput) {
    SdkState::instance();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    kx::util::ConsolePrinter::print(L"[Selector] Compare test line");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("[Selector] Compare test line\n"), std::string::npos) << err;
}
