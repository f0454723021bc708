#include "tunnel_launcher/StatusBoard.h"

#include "core/src/time/Clock.h"
#include "core/src/value/Dictionary.h"

using kx::core::Any;
using kx::core::AnyArray;
using kx::core::AnyDictionary;

namespace tunnel {

StatusBoard::StatusBoard() : m_lastTake(kx::core::Clock::nowMs()) {}

void StatusBoard::add(TunnelClient* client) {
    if (m_targets.empty()) m_lastTake = kx::core::Clock::nowMs();
    m_targets.emplace_back(client);
}

void StatusBoard::sample() {
    for (TargetStatus& target : m_targets) target.sample();
}

kx::core::Array<TargetStatusSnapshot> StatusBoard::take() {
    const uint32_t now = kx::core::Clock::nowMs();
    // The 32-bit clock wraps; the difference of two readings does not.
    const int64_t elapsed = static_cast<int32_t>(now - m_lastTake);
    m_lastTake = now;
    kx::core::Array<TargetStatusSnapshot> out;
    out.reserve(static_cast<int32_t>(m_targets.size()));
    for (TargetStatus& target : m_targets) out.append(target.take(elapsed));
    return out;
}

const wchar_t* StatusBoard::failureName(FailureKind kind) {
    switch (kind) {
        case FailureKind::SELECT: return L"select";
        case FailureKind::CONNECT: return L"connect";
        case FailureKind::REFUSED: return L"refused";
        case FailureKind::TIMEOUT: return L"timeout";
        case FailureKind::SILENT: return L"silent";
    }
    return L"other";
}

AnyArray StatusBoard::toAny(const kx::core::Array<TargetStatusSnapshot>& snapshots) {
    AnyArray out;
    for (const TargetStatusSnapshot& s : snapshots) {
        AnyDictionary item;
        item.set(L"target_id", Any(s.targetId));
        item.set(L"switch", Any(s.switchText));
        item.set(L"state", Any(s.state));
        item.set(L"tcp_connections", Any(s.tcpConnections));
        item.set(L"udp_peers", Any(s.udpPeers));
        item.set(L"received_bytes", Any(s.receivedBytes));
        item.set(L"sent_bytes", Any(s.sentBytes));
        item.set(L"received_rate", Any(s.receivedRate));
        item.set(L"sent_rate", Any(s.sentRate));
        item.set(L"received_packets", Any(s.receivedPackets));
        item.set(L"sent_packets", Any(s.sentPackets));
        item.set(L"failovers", Any(s.failovers));
        item.set(L"latency_ms", Any(s.latencyMs));
        AnyDictionary failures;
        for (int32_t kind = 0; kind < FAILURE_KIND_COUNT; ++kind)
            failures.set(failureName(static_cast<FailureKind>(kind)), Any(s.failures[kind]));
        item.set(L"failures", Any(std::move(failures)));
        item.set(L"last_error", Any(s.lastError));
        out.append(Any(std::move(item)));
    }
    return out;
}

}  // namespace tunnel
