#include "tunnel_wrapper/TunnelWrapper.h"

#include "core/src/crypto/Digest.h"
#include "net/src/url/URL.h"
#include "tunnel_launcher/ApiSettings.h"
#include "tunnel_launcher/LaunchSettings.h"
#include "tunnel_launcher/TunnelLauncher.h"
#include "tunnel_wrapper/Config.h"
#include "util/src/log/ILogRecorder.h"

using kx::core::String;

namespace tunnel {

const wchar_t* const TunnelWrapper::IGNORED_TEXT =
    L"[Wrapper] Another instance of the same config has been opened, and this instance has been "
    L"ignored.";

String TunnelWrapper::storageStem(const String& accessKey) {
    return kx::core::Digest::md5Hex(L"tunnel-" + accessKey);
}

String TunnelWrapper::lockFilePath(const String& applicationDir, const String& accessKey) {
    return applicationDir + L"/storage/" + storageStem(accessKey) + L".lock";
}

String TunnelWrapper::tokenFilePath(const String& applicationDir, const String& accessKey) {
    return applicationDir + L"/storage/" + storageStem(accessKey) + L".cfg";
}

TunnelWrapper::TunnelWrapper(kx::util::ILogRecorder* logRecorder,
                             kx::net::SocketEventSelector* selector, const String& builtInConfig,
                             const String& applicationDir, const String& accessKey,
                             const String& natText, const String& versionText, bool fastTick)
    : m_applicationDir(applicationDir), m_fileLock(lockFilePath(applicationDir, accessKey)) {
    if (!m_fileLock.lock()) {
        if (m_fileLock.heldElsewhere()) {
            logRecorder->info(IGNORED_TEXT);
            m_errorText = IGNORED_TEXT;
        } else {
            m_errorText = L"[Wrapper] " + m_fileLock.errorText();
            logRecorder->error(m_errorText);
        }
        return;
    }

    const Config config(builtInConfig);
    ApiSettings apiSettings;
    apiSettings.url = kx::net::URL(config.apiUrl());
    apiSettings.hostGroups = config.hostGroups();
    apiSettings.encryptorSpec = config.encryptorSpec();
    apiSettings.pins = config.pins();

    LaunchSettings launchSettings;
    launchSettings.launchKey = accessKey;
    launchSettings.natText = natText;
    launchSettings.launchVersion = versionText;
    launchSettings.fastTick = fastTick;

    m_launcher.reset(new TunnelLauncher(logRecorder, selector,
                                        tokenFilePath(applicationDir, accessKey), apiSettings,
                                        launchSettings));
}

TunnelWrapper::~TunnelWrapper() {
    m_launcher.reset();
    m_fileLock.unlock();
}

bool TunnelWrapper::isRunning() const {
    return m_launcher && m_launcher->isRunning();
}

void TunnelWrapper::tick() {
    if (m_launcher) m_launcher->tick();
}

String TunnelWrapper::errorText() const {
    return m_launcher ? m_launcher->errorText() : m_errorText;
}

LauncherStatus TunnelWrapper::status() const {
    return m_launcher ? m_launcher->status() : LauncherStatus();
}

kx::core::Array<TargetStatusSnapshot> TunnelWrapper::takeStatus() {
    return m_launcher ? m_launcher->takeStatus() : kx::core::Array<TargetStatusSnapshot>();
}

}  // namespace tunnel
