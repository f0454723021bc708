#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "tunnel_launcher/ApiSettings.h"
#include "tunnel_launcher/ILauncherContext.h"
#include "tunnel_launcher/LaunchSettings.h"
#include "tunnel_launcher/LauncherStatus.h"
#include "tunnel_launcher/StatusBoard.h"
#include "tunnel_launcher/TargetStatusSnapshot.h"

namespace tunnel {

class AccountService;
class TunnelClient;

// Turns the control API's view of the customer into running tunnels: the
// account service registers this installation and fetches the targets, and
// every object element of the target list becomes one tunnel client with its
// nodes and forwards. The client set is fixed for the launcher's life.
// Worker thread only.
class TunnelLauncher : public ILauncherContext {
public:
    // The constructor spends at least this long on client creation, so that a
    // start never looks ready before the clients had a moment to settle.
    static constexpr int32_t CLIENT_INIT_MIN_MS = 1000;

    // Performs the whole start; see isRunning() and errorText() for the outcome.
    TunnelLauncher(kx::util::ILogRecorder* logger, kx::net::SocketEventSelector* selector,
                   const kx::core::String& tokenFilePath, const ApiSettings& apiSettings,
                   const LaunchSettings& launchSettings);
    ~TunnelLauncher() override;
    TunnelLauncher(const TunnelLauncher&) = delete;
    TunnelLauncher& operator=(const TunnelLauncher&) = delete;

    bool isRunning() const { return !m_clients.empty(); }
    void tick();
    LauncherStatus status() const;
    const kx::core::String& errorText() const { return m_errorText; }
    // Per-client snapshots, rates since the previous call.
    kx::core::Array<TargetStatusSnapshot> takeStatus() { return m_statusBoard.take(); }

    int32_t clientCount() const { return static_cast<int32_t>(m_clients.size()); }
    TunnelClient* client(int32_t index) const { return m_clients.at(index).get(); }
    AccountService* accountService() const { return m_accountService.get(); }

    // The 15-character start of the token file's password; the file's stem
    // (the storage stem) follows it.
    static const wchar_t* const PROPERTIES_PASSWORD_PREFIX;
    static kx::core::String propertiesPassword(const kx::core::String& tokenFilePath);

    // ILauncherContext
    kx::util::ILogRecorder* logger() override { return m_logger; }
    kx::net::SocketEventSelector* selector() override { return m_selector; }
    ApiAccess* apiAccess() override { return m_apiAccess.get(); }
    EncryptedProperties* properties() override { return m_properties.get(); }
    const ApiSettings& apiSettings() const override { return m_apiSettings; }
    const LaunchSettings& launchSettings() const override { return m_launchSettings; }

private:
    bool _initClients();

    kx::util::ILogRecorder* m_logger;
    kx::net::SocketEventSelector* m_selector;
    std::unique_ptr<EncryptedProperties> m_properties;
    ApiSettings m_apiSettings;
    LaunchSettings m_launchSettings;
    std::unique_ptr<ApiAccess> m_apiAccess;
    kx::core::String m_errorText;
    std::unique_ptr<AccountService> m_accountService;
    std::vector<std::unique_ptr<TunnelClient>> m_clients;
    StatusBoard m_statusBoard;
};

}  // namespace tunnel
