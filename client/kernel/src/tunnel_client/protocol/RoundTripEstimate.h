#pragma once

#include <cstdint>

namespace tunnel {

// The round trip of a tunnel as its own acknowledgements show it: the time
// from writing a packet to the acknowledgement that frees it. The peer may
// hold an acknowledgement back for its periodic timer, so single samples run
// long; the least sample of the last WINDOW_MS or so is the estimate, and a
// route that changed is followed within two windows.
class RoundTripEstimate {
public:
    static constexpr int32_t WINDOW_MS = 10000;
    // Longer samples are resends after a failover, not a round trip.
    static constexpr int32_t MAX_SAMPLE_MS = 3000;

    // A packet written at sentAtMs was acknowledged at nowMs (Clock times).
    void addSample(uint32_t sentAtMs, uint32_t nowMs) {
        int32_t sample = static_cast<int32_t>(nowMs - sentAtMs);
        if (sample < 0 || sample > MAX_SAMPLE_MS) return;
        int32_t age = static_cast<int32_t>(nowMs - m_windowStart);
        if (m_current < 0 || age < 0 || age >= WINDOW_MS) {
            m_previous = age >= 0 && age < 2 * WINDOW_MS ? m_current : -1;
            m_current = -1;
            m_windowStart = nowMs;
        }
        if (m_current < 0 || sample < m_current) m_current = sample;
    }
    bool isKnown() const { return m_current >= 0; }
    // Milliseconds; -1 before the first sample.
    int32_t ms() const {
        if (m_previous >= 0 && m_previous < m_current) return m_previous;
        return m_current;
    }
    void reset() {
        m_current = -1;
        m_previous = -1;
    }

private:
    int32_t m_current = -1;   // least sample of the running window
    int32_t m_previous = -1;  // least sample of the window before
    uint32_t m_windowStart = 0;
};

}  // namespace tunnel
