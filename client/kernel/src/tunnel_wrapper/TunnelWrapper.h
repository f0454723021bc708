#pragma once

#include <memory>

#include "core/src/value/String.h"
#include "tunnel_wrapper/FileLock.h"
#include "tunnel_wrapper/ITunnelWorker.h"

namespace kx {
namespace net {
class SocketEventSelector;
}
namespace util {
class ILogRecorder;
}
}  // namespace kx

namespace tunnel {

class TunnelLauncher;

// The worker's SDK instance: holds the per-access-key lock file, reads the
// built-in configuration and owns the launcher. Without the lock there is no
// launcher and the instance does nothing. Worker thread only.
class TunnelWrapper : public ITunnelWorker {
public:
    static const wchar_t* const IGNORED_TEXT;

    TunnelWrapper(kx::util::ILogRecorder* logRecorder, kx::net::SocketEventSelector* selector,
                  const kx::core::String& builtInConfig, const kx::core::String& applicationDir,
                  const kx::core::String& accessKey, const kx::core::String& natText,
                  const kx::core::String& versionText, bool fastTick);
    // The launcher goes first, then the lock file.
    ~TunnelWrapper() override;
    TunnelWrapper(const TunnelWrapper&) = delete;
    TunnelWrapper& operator=(const TunnelWrapper&) = delete;

    bool isRunning() const override;
    void tick() override;
    kx::core::String errorText() const override;
    LauncherStatus status() const override;
    kx::core::Array<TargetStatusSnapshot> takeStatus() override;

    TunnelLauncher* launcher() const { return m_launcher.get(); }

    // 32 lower-case hex digits: MD5 of "tunnel-" + accessKey.
    static kx::core::String storageStem(const kx::core::String& accessKey);
    static kx::core::String lockFilePath(const kx::core::String& applicationDir,
                                         const kx::core::String& accessKey);
    static kx::core::String tokenFilePath(const kx::core::String& applicationDir,
                                          const kx::core::String& accessKey);

private:
    kx::core::String m_applicationDir;
    FileLock m_fileLock;
    std::unique_ptr<TunnelLauncher> m_launcher;
    kx::core::String m_errorText;  // why there is no launcher, when that is not the launcher's fault
};

}  // namespace tunnel
