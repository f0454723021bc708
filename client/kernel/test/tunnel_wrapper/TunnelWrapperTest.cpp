#include <gtest/gtest.h>

#include "core/src/misc/FileUtil.h"
#include "net/src/socket/SocketEventSelector.h"
#include "service/ServiceTestSupport.h"
#include "tunnel_wrapper/BuiltInConfig.h"
#include "tunnel_wrapper/FileLock.h"
#include "tunnel_wrapper/TunnelWrapper.h"
#include "tunnel_wrapper/WrapperTestSupport.h"

using kx::core::String;
using tunnel::FileLock;
using tunnel::TunnelWrapper;
using tunnel::testing::RecordingLogger;
using tunnel::testing::TempDir;

namespace {

const wchar_t* const ACCESS_KEY = L"wrapper-key";

// No launcher is made in these cases, so the control API is never called.
TEST(TunnelWrapperTest, WithoutTheLockFileThereIsNoLauncherAndTheReasonIsSaid) {
    TempDir dir;
    kx::net::SocketEventSelector selector(1000);
    RecordingLogger logger;

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

}  // namespace
