#include "tunnel_host/TunnelHost.h"

#include <cstdio>

#include "core/src/debug/Assert.h"
#include "core/src/time/Clock.h"
#include "net/src/socket/SocketEventSelector.h"
#include "tunnel_client/TunnelClient.h"
#include "tunnel_client/forward/TrafficStat.h"
#include "tunnel_client/node/AddressMask.h"
#include "tunnel_client/service/UpstreamBindService.h"
#include "util/src/log/ILogRecorder.h"

using kx::core::String;

namespace tunnel {

namespace {

const wchar_t* const LOOPBACK_TEXT = L"127.0.0.1";

String rateText(int64_t bytesPerSecond) {
    char text[32];
    if (bytesPerSecond < 1024) {
        snprintf(text, sizeof(text), "%lld B/s", static_cast<long long>(bytesPerSecond));
    } else if (bytesPerSecond < 1024 * 1024) {
        snprintf(text, sizeof(text), "%.1f KB/s", bytesPerSecond / 1024.0);
    } else {
        snprintf(text, sizeof(text), "%.1f MB/s", bytesPerSecond / (1024.0 * 1024.0));
    }
    return String::fromUtf8(text);
}

const wchar_t* stateText(TunnelClient* client) {
    if (client->isConnected()) return L"open";
    if (client->isOpen()) return L"opening";
    return client->upstreamBindService()->isBound() ? L"closed" : L"idle";
}

}  // namespace

TunnelHost::TunnelHost(kx::util::ILogRecorder* logger)
    : m_logger(logger), m_selector(new kx::net::SocketEventSelector(SELECTOR_TICK_MS)) {
    KX_ASSERT(m_logger);
}

TunnelHost::~TunnelHost() {
    // Every client has handlers on the selector: clients first, in target order.
    const bool hadClients = !m_targets.empty();
    for (Target& target : m_targets) target.client.reset();
    m_targets.clear();
    if (hadClients) m_logger->info(L"[Launcher] All Clients Removed.");
    m_selector.reset();
}

bool TunnelHost::start(const TargetConfig& config) {
    if (m_started) {
        m_errorText = L"Already started";
        return false;
    }
    m_started = true;
    m_targets.reserve(config.targets.size());
    for (const TargetRecord& record : config.targets) _addTarget(record, config);
    if (m_targets.empty()) {
        m_errorText = L"No usable targets";
        return false;
    }
    m_statusTimer.start(STATUS_INTERVAL_MS);
    m_statusStart = kx::core::Clock::nowMs();
    return true;
}

void TunnelHost::_addTarget(const TargetRecord& record, const TargetConfig& config) {
    const String idText = String::fromInt64(record.id);
    kx::core::Array<kx::net::IpAddress> standbys;
    for (const kx::net::IpAddress& ip : record.standbys) {
        // 0.0.0.0 would reach this machine, not the target.
        if (ip.isAny()) {
            m_logger->warn(L"[Host] Target #" + idText +
                           L": standby address that is not an IPv4 address skipped");
            continue;
        }
        standbys.append(ip);
    }

    kx::net::IpAddress clientIp = record.clientIp;
    String clientIpText = record.clientIpText;
    // A mistyped address must not open the forwards on every interface.
    if (clientIp.isAny() && clientIpText != L"0.0.0.0") {
        m_logger->warn(L"[Host] Target #" + idText + L": client_ip '" + clientIpText +
                       L"' is not an IPv4 address, listening on " + LOOPBACK_TEXT);
        clientIpText = LOOPBACK_TEXT;
        clientIp = kx::net::IpAddress(clientIpText);
    }

    Target target;
    target.client.reset(new TunnelClient(m_logger, m_selector.get(), config.loginInfo(), record.id,
                                         clientIp, standbys, String(), config.fastTick));
    _addNodes(target.client.get(), record);
    _addForwards(target.client.get(), record.forwards, clientIpText);
    m_logger->info(L"[Launcher] Client-" + String::fromInt32(clientCount()) +
                   L" has been inited for Target #" + idText + L" (FastTick:" +
                   String::fromBool(config.fastTick) + L")");
    m_targets.push_back(std::move(target));
}

void TunnelHost::_addNodes(TunnelClient* client, const TargetRecord& record) {
    for (const NodeRecord& node : record.nodes) {
        // Address 0 would reach this machine and an out-of-range port would be
        // cut to some other port: neither is the node the record names.
        if (node.address.ip.isAny() || node.port < 1 || node.port > 65535) {
            m_logger->error(L"[Launcher] Failed to add node " + node.ipText + L":" +
                            String::fromInt32(node.port));
            continue;
        }
        if (client->addNode(node.address, node.type)) {
            m_logger->info(L"[Launcher] Node " + node.address.toString() + L" added on type " +
                           node.type + L" below " + String::fromInt32(node.latency) + L"ms");
        } else {
            m_logger->error(L"[Launcher] Failed to add node " + node.address.toString());
        }
    }
}

void TunnelHost::_addForwards(TunnelClient* client, const kx::core::Array<ForwardRecord>& forwards,
                              const String& clientIpText) {
    for (const ForwardRecord& forward : forwards) {
        const bool tcp = forward.protocol == L"tcp";
        const bool udp = forward.protocol == L"udp";
        for (const ForwardPort& port : forward.ports()) {
            const String where = clientIpText + L":" + String::fromInt32(port.clientPort);
            if (!tcp && !udp) {
                m_logger->error(L"[Launcher] Protocol is not supported: '" + forward.protocol +
                                L"' on " + where);
                continue;
            }
            const bool added = tcp ? client->addTcpForward(port.clientPort, port.standbyPort)
                                   : client->addUdpForward(port.clientPort, port.standbyPort);
            if (added) {
                m_logger->info((tcp ? L"[Launcher] TCP forward added on "
                                    : L"[Launcher] UDP forward added on ") +
                               where);
            } else {
                m_logger->error(L"[Launcher] Failed to add forward on " + where);
            }
        }
    }
}

void TunnelHost::round() {
    m_selector->select(SELECT_TIMEOUT_MS);
    for (Target& target : m_targets) {
        target.client->tick();
        // Right after the tick that may roll the window, so one roll at most
        // lies between two samples.
        const TrafficStat& stat = target.client->forwardTunnel()->traffic().shortStat();
        target.received.sample(stat.received());
        target.sent.sample(stat.sent());
    }
    if (onRound) onRound();
    if (!m_targets.empty() && m_statusTimer.isExpired()) {
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
    const uint32_t now = kx::core::Clock::nowMs();
    int64_t elapsed = static_cast<int32_t>(now - m_statusStart);
    if (elapsed < 1) elapsed = 1;
    m_statusStart = now;
    kx::core::Array<String> lines;
    for (Target& target : m_targets) lines.append(_statusLine(target, elapsed));
    return lines;
}

String TunnelHost::_statusLine(Target& target, int64_t elapsedMs) {
    TunnelClient* client = target.client.get();
    const int64_t received = target.received.total() - target.reportedReceived;
    const int64_t sent = target.sent.total() - target.reportedSent;
    target.reportedReceived = target.received.total();
    target.reportedSent = target.sent.total();

    String line = L"[Host] Target #" + String::fromInt64(client->targetId()) + L" switch ";
    UpstreamBindService* bind = client->upstreamBindService();
    line += bind->isBound() ? AddressMask::mask(bind->switchAddress()) : String(L"none");
    line += L", ";
    line += stateText(client);
    line += L", connections " + String::fromInt32(client->connectionCount());
    line += L", received " + rateText(received * 1000 / elapsedMs);
    line += L", sent " + rateText(sent * 1000 / elapsedMs);
    if (!client->lastError().isEmpty()) line += L", last error: " + client->lastError();
    return line;
}

}  // namespace tunnel
