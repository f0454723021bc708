#include "tunnel_client/client/LatencyDetector.h"

#include <algorithm>
#include <limits>

#include "core/src/time/Clock.h"
#include "tunnel_client/client/DicRpc.h"
#include "tunnel_client/protocol/ProtocolWire.h"
#include "tunnel_client/protocol/WireValue.h"

namespace tunnel {

using kx::core::Array;
using kx::core::Binary;
using kx::core::Clock;
using kx::core::Dictionary;
using kx::core::String;

LatencyDetector::LatencyDetector(kx::net::SocketEventSelector* selector,
                                 const kx::net::SocketAddress& address, const LoginInfo& login,
                                 int64_t targetId, const String& natId, int queryCount)
    : SessionClient(selector, address, login),
      m_querying(true),
      m_errorCode(0),
      m_targetId(targetId),
      m_natId(natId),
      m_remaining(queryCount) {
    onLogin = [this]() { _query(); };
    onLoginFailed = [this](const Error& error) { _finish(error.code, error.message); };
    // Nobody else can be told about a connect that failed in the base
    // constructor; recording it here is all that is needed.
    if (_hasEarlyConnectFailure()) _deliverEarlyConnectFailure();
}

void LatencyDetector::_query() {
    Dictionary<Binary> params;
    params.set(wire::KEY_TARGET_ID, WireValue::fromInt64(m_targetId));
    params.set(wire::KEY_NAT_ID, WireValue::fromText(m_natId));
    uint32_t started = Clock::nowMs();
    if (!rpc()->tryCall(
            wire::METHOD_LATENCY_QUERY, params,
            [this, started](const Dictionary<Binary>& result) {
                _onAnswer(WireValue::int64(result, wire::KEY_LATENCY), started);
            },
            [this](const Error& error) { _finish(error.code, error.message); }))
        _finish(-1, L"Rpc busy");
}

void LatencyDetector::_onAnswer(int64_t latency, uint32_t started) {
    if (!m_querying) return;
    if (latency < 0) {
        m_samples.clear();
        _finish(-1, L"No nats are ready!");
        return;
    }
    int32_t elapsed = static_cast<int32_t>(Clock::nowMs() - started);
    // The node's number is network input: clamp before adding so the sample
    // (and the summary's sum) stays within range whatever it sends.
    const int64_t most = std::numeric_limits<int>::max();
    int64_t sample = std::min(latency, most) + std::max<int32_t>(0, elapsed);
    m_samples.append(static_cast<int>(std::min(sample, most)));
    int before = m_remaining--;
    if (before > 1) {
        _query();
        return;
    }
    m_querying = false;
    abort();
}

void LatencyDetector::_finish(int code, const String& message) {
    m_querying = false;
    m_errorCode = code;
    m_errorMessage = message;
    abort();
}

int LatencyDetector::summarize(const Array<int>& samples) {
    if (samples.isEmpty()) return -1;
    int64_t sum = 0;
    int max = samples[0];
    for (int sample : samples) {
        sum += sample;
        max = std::max(max, sample);
    }
    double avg = static_cast<double>(sum) / samples.size();
    double result = avg + std::min((max - avg) * 0.5, 7.5) + 0.5;
    return static_cast<int>(result);
}

}  // namespace tunnel
