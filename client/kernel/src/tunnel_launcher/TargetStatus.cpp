#include "tunnel_launcher/TargetStatus.h"

#include <cstdio>

#include "core/src/debug/Assert.h"
#include "tunnel_client/TunnelClient.h"
#include "tunnel_client/forward/TcpForwardManager.h"
#include "tunnel_client/forward/TrafficStat.h"
#include "tunnel_client/forward/UdpForwardManager.h"
#include "tunnel_client/node/AddressMask.h"
#include "tunnel_client/service/NodeSelectService.h"

using kx::core::String;

namespace tunnel {

namespace {

const wchar_t* stateText(TunnelClient* client) {
    if (client->isConnected()) return L"open";
    if (client->isOpen()) return L"opening";
    return client->upstreamBindService()->isBound() ? L"closed" : L"idle";
}

}  // namespace

TargetStatus::TargetStatus(TunnelClient* client) : m_client(client) {
    KX_ASSERT(m_client);
}

void TargetStatus::sample() {
    const TrafficStat& stat = m_client->forwardTunnel()->traffic().shortStat();
    m_received.sample(stat.received());
    m_sent.sample(stat.sent());
    const bool connected = m_client->isConnected();
    if (connected && !m_wasConnected) {
        if (m_everConnected) ++m_failovers;
        m_everConnected = true;
    }
    m_wasConnected = connected;
}

TargetStatusSnapshot TargetStatus::take(int64_t elapsedMs) {
    if (elapsedMs < 1) elapsedMs = 1;
    TargetStatusSnapshot out;
    out.targetId = m_client->targetId();
    UpstreamBindService* bind = m_client->upstreamBindService();
    out.switchText = bind->isBound() ? AddressMask::mask(bind->switchAddress()) : String(L"none");
    if (bind->isBound())
        out.latencyMs = m_client->nodeSelectService()->selectedLatency(bind->switchAddress());
    out.state = stateText(m_client);
    ForwardTunnel* tunnel = m_client->forwardTunnel();
    out.tcpConnections = tunnel->tcpForwardManager()->connectionCount();
    out.udpPeers = tunnel->udpForwardManager()->connectionCount();
    out.receivedBytes = m_received.total();
    out.sentBytes = m_sent.total();
    out.receivedPackets = tunnel->traffic().receivedPackets();
    out.sentPackets = tunnel->traffic().sentPackets();
    out.receivedRate = (out.receivedBytes - m_reportedReceived) * 1000 / elapsedMs;
    out.sentRate = (out.sentBytes - m_reportedSent) * 1000 / elapsedMs;
    m_reportedReceived = out.receivedBytes;
    m_reportedSent = out.sentBytes;
    out.failovers = m_failovers;
    for (int32_t kind = 0; kind < FAILURE_KIND_COUNT; ++kind)
        out.failures[kind] = m_client->failureCount(static_cast<FailureKind>(kind));
    out.lastError = m_client->lastError();
    return out;
}

String TargetStatus::rateText(int64_t bytesPerSecond) {
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

String TargetStatus::line(const TargetStatusSnapshot& s) {
    String line = L"[Host] Target #" + String::fromInt64(s.targetId) + L" switch " + s.switchText;
    line += L", " + s.state;
    line += L", connections " + String::fromInt32(s.tcpConnections + s.udpPeers);
    line += L", received " + rateText(s.receivedRate);
    line += L", sent " + rateText(s.sentRate);
    if (!s.lastError.isEmpty()) line += L", last error: " + s.lastError;
    return line;
}

}  // namespace tunnel
