#pragma once

#include <cstdint>

#include "core/src/value/Array.h"
#include "core/src/value/String.h"
#include "tunnel_client/client/SessionClient.h"

namespace tunnel {

// Measures a switch for the node selector: logs in, then asks "latency_query"
// a number of times in a row and keeps the switch's answer plus the round
// trip of each query. Failures are recorded, not reported; the selector polls
// isQuerying() and latency().
class LatencyDetector : public SessionClient {
public:
    LatencyDetector(kx::net::SocketEventSelector* selector, const kx::net::SocketAddress& address,
                    const LoginInfo& login, int64_t targetId, const kx::core::String& natId,
                    int queryCount);

    // -1 without samples, else the summary of the samples.
    int latency() const { return summarize(m_samples); }
    bool isQuerying() const { return m_querying; }
    int errorCode() const { return m_errorCode; }
    const kx::core::String& errorMessage() const { return m_errorMessage; }
    const kx::core::Array<int>& samples() const { return m_samples; }

    // The average raised by half the distance to the slowest sample, at most
    // 7.5 ms, rounded half up; -1 for no samples. Sums in 64 bits.
    static int summarize(const kx::core::Array<int>& samples);

private:
    void _query();
    void _onAnswer(int64_t latency, uint32_t started);
    void _finish(int code, const kx::core::String& message);

    bool m_querying;
    kx::core::Array<int> m_samples;
    int m_errorCode;
    kx::core::String m_errorMessage;
    int64_t m_targetId;
    kx::core::String m_natId;
    int m_remaining;
};

}  // namespace tunnel
