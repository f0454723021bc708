#pragma once

#include <cstdint>

#include "core/src/time/Timer.h"
#include "tunnel_client/forward/Counter.h"

namespace tunnel {

// Received and sent bytes over one window length; rates are those of the last
// completed window.
class TrafficStat {
public:
    explicit TrafficStat(int32_t windowMs);
    virtual ~TrafficStat() = default;

    void addReceived(int64_t n) { m_received.add(n); }
    void addSent(int64_t n) { m_sent.add(n); }
    int64_t receivedRate() const { return _rate(m_received); }  // bytes per second
    int64_t sentRate() const { return _rate(m_sent); }
    int32_t windowMs() const { return m_window.interval(); }
    const Counter& received() const { return m_received; }
    const Counter& sent() const { return m_sent; }

    void tick();

private:
    int64_t _rate(const Counter& counter) const;

    kx::core::Timer m_window;
    Counter m_received;
    Counter m_sent;
};

}  // namespace tunnel
