#include "tunnel_host/TunnelHost.h"

#include "core/src/debug/Assert.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/TunnelClient.h"
#include "tunnel_launcher/TargetClientBuilder.h"
#include "util/src/log/ILogRecorder.h"

using kx::core::String;

namespace tunnel {

TunnelHost::TunnelHost(kx::util::ILogRecorder* logger)
    : m_logger(logger), m_selector(new kx::net::SocketEventSelector(SELECTOR_TICK_MS)) {
    KX_ASSERT(m_logger);
}

TunnelHost::~TunnelHost() {
    // Every client has handlers on the selector: clients first, in target order.
    const bool hadClients = !m_clients.empty();
    m_status = StatusBoard();
    for (std::unique_ptr<TunnelClient>& client : m_clients) client.reset();
    m_clients.clear();
    if (hadClients) m_logger->info(L"[Launcher] All Clients Removed.");
    m_selector.reset();
}

bool TunnelHost::start(const TargetConfig& config) {
    if (m_started) {
        m_errorText = L"Already started";
        return false;
    }
    m_started = true;
    TargetClientBuilder builder(m_logger, m_selector.get(), config.loginInfo(), String(),
                                config.fastTick);
    m_clients.reserve(config.targets.size());
    for (const TargetRecord& record : config.targets) {
        m_clients.push_back(builder.build(record, clientCount()));
        m_status.add(m_clients.back().get());
    }
    if (m_clients.empty()) {
        m_errorText = L"No usable targets";
        return false;
    }
    m_statusTimer.start(STATUS_INTERVAL_MS);
    return true;
}

void TunnelHost::round() {
    m_selector->select(SELECT_TIMEOUT_MS);
    for (std::unique_ptr<TunnelClient>& client : m_clients) client->tick();
    m_status.sample();
    if (onRound) onRound();
    if (!m_clients.empty() && m_statusTimer.isExpired()) {
        m_statusTimer.rearm();
        const kx::core::Array<String> lines = takeStatus();
        for (const String& line : lines) {
            if (onStatus) onStatus(line);
        }
    }
}

void TunnelHost::run(const std::atomic<bool>& stop, int32_t durationMs) {
    kx::core::Timer limit;
    const bool limited = durationMs >= 0;
    if (limited) limit.start(durationMs);
    while (!stop.load()) {
        if (limited && limit.isExpired()) break;
        round();
    }
}

kx::core::Array<String> TunnelHost::takeStatus() {
    kx::core::Array<String> lines;
    for (const TargetStatusSnapshot& snapshot : m_status.take()) {
        lines.append(TargetStatus::line(snapshot));
    }
    return lines;
}

}  // namespace tunnel
