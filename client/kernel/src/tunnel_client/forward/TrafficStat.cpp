#include "tunnel_client/forward/TrafficStat.h"

namespace tunnel {

TrafficStat::TrafficStat(int32_t windowMs) : m_window(windowMs) {}

void TrafficStat::tick() {
    if (!m_window.isExpired()) return;
    // Keep the window rhythm; after a long pause this is still one roll.
    m_window.rearm();
    m_received.roll();
    m_sent.roll();
}

int64_t TrafficStat::_rate(const Counter& counter) const {
    int32_t window = m_window.interval();
    if (window < 1) return 0;
    return counter.last() * 1000 / window;
}

}  // namespace tunnel
