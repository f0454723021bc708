#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/src/misc/FileUtil.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_launcher/ApiTestSupport.h"
#include "tunnel_wrapper/ConfigCodec.h"
#include "tunnel_wrapper/ThreadedTunnelWrapper.h"
#include "util/src/log/ThreadSafeLogRecorder.h"
#include "tunnel_wrapper/BuiltInConfig.h"
#include "tunnel_wrapper/FileLock.h"
#include "tunnel_wrapper/TunnelWrapper.h"
#include "tunnel_wrapper/WrapperTestSupport.h"

using kx::core::String;
using tunnel::FileLock;
using tunnel::TunnelWrapper;
using tunnel::ThreadedTunnelWrapper;
using tunnel::testing::ApiPeer;
using tunnel::testing::SharedRecordingLogger;
using tunnel::testing::TempDir;

namespace {

const wchar_t* const ACCESS_KEY = L"wrapper-key";

// No launcher is made in these cases, so the control API is never called.
TEST(TunnelWrapperTest, WithoutTheLockFileThereIsNoLauncherAndTheReasonIsSaid) {
    TempDir dir;
    kx::net::SocketEventSelector selector(1000);
    SharedRecordingLogger logger;

    FileLock other(TunnelWrapper::lockFilePath(dir.text(), ACCESS_KEY));
    ASSERT_TRUE(other.lock());
    {
        TunnelWrapper wrapper(&logger, &selector, String::fromUtf8(tunnel::BuiltInConfig::text()),
                              dir.text(), ACCESS_KEY, String(), L"v", false);
        EXPECT_FALSE(wrapper.isRunning());
        EXPECT_EQ(wrapper.launcher(), nullptr);
        EXPECT_EQ(wrapper.errorText(), String(TunnelWrapper::IGNORED_TEXT));
        EXPECT_EQ(wrapper.status().clientCount, 0);
        EXPECT_TRUE(wrapper.takeStatus().isEmpty());
        wrapper.tick();  // harmless
    }
    EXPECT_TRUE(logger.has(
        "I [Wrapper] Another instance of the same config has been opened, and this instance has "
        "been ignored."));
    // The refused instance leaves the holder's file alone.
    EXPECT_TRUE(kx::core::FileUtil::exists(TunnelWrapper::lockFilePath(dir.text(), ACCESS_KEY)));
    EXPECT_TRUE(other.isLocked());

    // Storage that cannot be made is an error of its own, not another instance.
    ASSERT_TRUE(kx::core::FileUtil::makeDirectories(dir.file("blocked")));
    ASSERT_TRUE(kx::core::FileUtil::writeAll(dir.file("blocked/storage"), kx::core::Binary("x")));
    TunnelWrapper broken(&logger, &selector, String::fromUtf8(tunnel::BuiltInConfig::text()),
                         dir.file("blocked"), ACCESS_KEY, String(), L"v", false);
    EXPECT_FALSE(broken.isRunning());
    EXPECT_EQ(broken.errorText(), L"[Wrapper] Can not create dir: " + dir.file("blocked/storage"));
}

// The real worker against the control-API stand-in, in the cases that end
// before any switch is needed.
class TunnelWrapperApiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_peer.reset(new ApiPeer());
        if (!s_peer->start(false)) s_peer.reset();
    }
    static void TearDownTestSuite() { s_peer.reset(); }
    void SetUp() override { ASSERT_TRUE(s_peer) << "python3 api peer did not start"; }

    // A built-in configuration that points at the stand-in in the given mode.
    static String configFor(const std::string& url) {
        String text;
        EXPECT_TRUE(tunnel::ConfigCodec::encode(
            String::fromUtf8("{\"u\": \"" + url + "\", \"h\": [[\"127.0.0.1\"]], " +
                             "\"e\": \"tea(" + tunnel::testing::API_PASS + ")\"}"),
            &text));
        return text;
    }
    static std::string peerUrl(const char* mode) {
        return "http://api.test:" + std::to_string(s_peer->port()) + "/" + mode;
    }

    static std::unique_ptr<ApiPeer> s_peer;
    SharedRecordingLogger recorder;
    kx::util::ThreadSafeLogRecorder logger{&recorder};
    TempDir dir;
};

std::unique_ptr<ApiPeer> TunnelWrapperApiTest::s_peer;

TEST_F(TunnelWrapperApiTest, TheConfigurationReachesTheLauncherAndTheLockLastsAsLongAsIt) {
    const String lockFile = TunnelWrapper::lockFilePath(dir.text(), ACCESS_KEY);
    {
        kx::net::SocketEventSelector selector(1000);
        TunnelWrapper wrapper(&logger, &selector, configFor(peerUrl("ok")), dir.text(), ACCESS_KEY,
                              String(), L"v", true);
        ASSERT_TRUE(wrapper.isRunning()) << wrapper.errorText().toStdString();
        EXPECT_EQ(wrapper.status().clientCount, 2);
        EXPECT_EQ(wrapper.takeStatus().size(), 2);
        EXPECT_TRUE(kx::core::FileUtil::exists(lockFile));
        EXPECT_TRUE(kx::core::FileUtil::exists(TunnelWrapper::tokenFilePath(dir.text(), ACCESS_KEY)));
        EXPECT_TRUE(recorder.has("I [Launcher] Client-1 has been inited for Target #8 (FastTick:true)"));
    }
    EXPECT_FALSE(kx::core::FileUtil::exists(lockFile));
    EXPECT_TRUE(recorder.has("I [Launcher] All Clients Removed."));
}

TEST_F(TunnelWrapperApiTest, FailedStartsEndWithAClearErrorText) {
    struct Case {
        const char* name;
        std::string url;
        const char* errorPrefix;
    } const cases[] = {
        {"empty target list", peerUrl("notargets"), "Target list is empty"},
        {"API not reachable", "http://api.test:1/ok", "Failed to "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir own;
        ThreadedTunnelWrapper wrapper(&logger, configFor(c.url), own.text(), ACCESS_KEY, String(),
                                      L"v", false);
        EXPECT_FALSE(wrapper.isOpened());
        EXPECT_EQ(wrapper.errorText().toStdString().rfind(c.errorPrefix, 0), 0u)
            << wrapper.errorText().toStdString();
        EXPECT_NE(wrapper.statusJson().toStdString().find("\"state\":\"failed\""),
                  std::string::npos);
    }

    // A second instance of the same key, here in the same process.
    FileLock holder(TunnelWrapper::lockFilePath(dir.text(), ACCESS_KEY));
    ASSERT_TRUE(holder.lock());
    ThreadedTunnelWrapper second(&logger, configFor(peerUrl("ok")), dir.text(), ACCESS_KEY,
                                 String(), L"v", false);
    EXPECT_FALSE(second.isOpened());
    EXPECT_EQ(second.errorText(), String(TunnelWrapper::IGNORED_TEXT));
}

}  // namespace
