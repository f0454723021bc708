#pragma once

#include <cstdint>

#include "tunnel_client/forward/TrafficStat.h"

namespace tunnel {

// The tunnel's traffic over a 10-second and a 60-second window, and the
// packets each way since it was made (one add per packet).
class TrafficStatGroup {
public:
    static constexpr int32_t SHORT_WINDOW_MS = 10000;
    static constexpr int32_t LONG_WINDOW_MS = 60000;

    TrafficStatGroup();
    virtual ~TrafficStatGroup() = default;

    void addReceived(int64_t n) {
        ++m_receivedPackets;
        m_short.addReceived(n);
        m_long.addReceived(n);
    }
    void addSent(int64_t n) {
        ++m_sentPackets;
        m_short.addSent(n);
        m_long.addSent(n);
    }
    void tick() {
        m_short.tick();
        m_long.tick();
    }
    const TrafficStat& shortStat() const { return m_short; }
    const TrafficStat& longStat() const { return m_long; }
    int64_t receivedPackets() const { return m_receivedPackets; }
    int64_t sentPackets() const { return m_sentPackets; }

private:
    TrafficStat m_short;
    TrafficStat m_long;
    int64_t m_receivedPackets = 0;
    int64_t m_sentPackets = 0;
};

}  // namespace tunnel
