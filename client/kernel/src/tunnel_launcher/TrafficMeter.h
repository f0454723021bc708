#pragma once

#include <cstdint>

#include "tunnel_client/forward/Counter.h"

namespace tunnel {

// A running byte total read off a windowed Counter, which drops its running
// value whenever its window rolls. Sampled after every tick, so at most one
// roll lies between two samples; a roll shows as a changed last window or a
// running value that went down.
class TrafficMeter {
public:
    void sample(const Counter& counter);
    int64_t total() const { return m_total; }

private:
    int64_t m_total = 0;
    int64_t m_current = 0;  // the counter as last sampled
    int64_t m_last = 0;
};

}  // namespace tunnel
