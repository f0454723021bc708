#pragma once

#include <cstdint>

#include "core/src/value/String.h"
#include "tunnel_launcher/TargetStatusSnapshot.h"
#include "tunnel_launcher/TrafficMeter.h"

namespace tunnel {

class TunnelClient;

// Follows one tunnel client from the worker loop: byte totals, failovers and
// the snapshot the status line and status text are made of. The client is not
// owned and must outlive this object.
class TargetStatus {
public:
    explicit TargetStatus(TunnelClient* client);

    // After every tick of the client, so at most one counter window roll lies
    // between two samples and no up/down change of the tunnel is missed.
    void sample();
    // Rates are the bytes since the previous take over elapsedMs (at least 1).
    TargetStatusSnapshot take(int64_t elapsedMs);

    // "[Host] Target #7 switch 127.*.*.1:7101, open, connections 1, received
    // 1.5 KB/s, sent 0 B/s[, last error: ...]"
    static kx::core::String line(const TargetStatusSnapshot& snapshot);
    static kx::core::String rateText(int64_t bytesPerSecond);

private:
    TunnelClient* m_client;
    TrafficMeter m_received;
    TrafficMeter m_sent;
    int64_t m_reportedReceived = 0;
    int64_t m_reportedSent = 0;
    bool m_wasConnected = false;
    bool m_everConnected = false;
    int32_t m_failovers = 0;
};

}  // namespace tunnel
