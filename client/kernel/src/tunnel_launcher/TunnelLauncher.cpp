#include "tunnel_launcher/TunnelLauncher.h"

#include <chrono>
#include <thread>

#include "core/src/debug/Assert.h"
#include "core/src/time/Timer.h"
#include "tunnel_client/TunnelClient.h"
#include "tunnel_launcher/EncryptedProperties.h"
#include "tunnel_launcher/TargetClientBuilder.h"
#include "tunnel_launcher/TargetRecordReader.h"
#include "tunnel_launcher/api/ApiAccess.h"
#include "tunnel_launcher/service/AccountService.h"
#include "util/src/log/ILogRecorder.h"

using kx::core::String;

namespace tunnel {

const wchar_t* const TunnelLauncher::PROPERTIES_PASSWORD_PREFIX = L"korvane-tokens:";

namespace {

// Sleeps until the timer expires, in short slices so that a test clock moved
// forward ends the wait early; never longer than the remaining time was.
void sleepOut(const kx::core::Timer& timer) {
    const auto limit =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timer.remaining());
    while (!timer.isExpired() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

String TunnelLauncher::propertiesPassword(const String& tokenFilePath) {
    String name = tokenFilePath;
    const int32_t slash = name.lastIndexOf(L'/');
    if (slash >= 0) name = name.substring(slash + 1);
    const int32_t dot = name.lastIndexOf(L'.');
    if (dot >= 0) name = name.substring(0, dot);
    return String(PROPERTIES_PASSWORD_PREFIX) + name;
}

TunnelLauncher::TunnelLauncher(kx::util::ILogRecorder* logger,
                               kx::net::SocketEventSelector* selector, const String& tokenFilePath,
                               const ApiSettings& apiSettings, const LaunchSettings& launchSettings)
    : m_logger(logger),
      m_selector(selector),
      m_properties(new EncryptedProperties(tokenFilePath, propertiesPassword(tokenFilePath))),
      m_apiSettings(apiSettings),
      m_launchSettings(launchSettings) {
    KX_ASSERT(m_logger);
    KX_ASSERT(m_selector);
    m_apiAccess.reset(new ApiAccess(m_apiSettings.url, m_apiSettings.hostGroups,
                                    m_apiSettings.encryptorSpec, m_logger,
                                    ApiAccess::CLIENT_IDLE_TIME, m_apiSettings.pins));
    m_accountService.reset(new AccountService(this));
    // A token file that could not be read is set aside by the store; say so,
    // since the account then starts over with a new client.
    if (m_properties->loadFailed()) {
        m_logger->warn(L"[Launcher] Token file unreadable, starting a new client: " +
                       m_properties->errorText());
    }

    if (m_accountService->token().isEmpty() && !m_accountService->start()) {
        m_errorText = m_accountService->errorText();
        return;
    }
    kx::core::Timer timer(CLIENT_INIT_MIN_MS);
    if (_initClients()) sleepOut(timer);
}

TunnelLauncher::~TunnelLauncher() {
    m_statusBoard = StatusBoard();
    for (std::unique_ptr<TunnelClient>& client : m_clients) client.reset();
    m_clients.clear();
    m_logger->info(L"[Launcher] All Clients Removed.");
    // A refresh still talking to the API would hold the stop for up to its
    // call time limit: make it give up, then wait for its thread.
    m_apiAccess->abort();
    m_accountService.reset();
}

bool TunnelLauncher::_initClients() {
    if (m_accountService->token().isEmpty()) return false;
    const kx::core::Array<kx::core::Any> targets = m_accountService->targets();
    LoginInfo loginInfo;
    loginInfo.accessKey = m_launchSettings.launchKey;
    loginInfo.clientToken = m_accountService->token();
    loginInfo.clientVersion = m_launchSettings.launchVersion;
    TargetClientBuilder builder(m_logger, m_selector, loginInfo, m_launchSettings.natText,
                                m_launchSettings.fastTick);
    for (const TargetRecord& record : TargetRecordReader::readTargets(targets)) {
        m_clients.push_back(builder.build(record, clientCount()));
        m_statusBoard.add(m_clients.back().get());
    }
    return true;
}

void TunnelLauncher::tick() {
    for (std::unique_ptr<TunnelClient>& client : m_clients) client->tick();
    m_statusBoard.sample();
    m_accountService->tick();
}

LauncherStatus TunnelLauncher::status() const {
    LauncherStatus status;
    status.clientCount = clientCount();
    for (const std::unique_ptr<TunnelClient>& client : m_clients) {
        if (client->isOpen() && client->isConnected()) ++status.readyCount;
    }
    return status;
}

}  // namespace tunnel
