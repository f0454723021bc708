#include "tunnel_launcher/TrafficMeter.h"

namespace tunnel {

void TrafficMeter::sample(const Counter& counter) {
    const int64_t current = counter.current();
    const int64_t last = counter.last();
    if (current < m_current || last != m_last) {
        // What the closed window gained after our previous sample, then the new window.
        const int64_t closed = last - m_current;
        m_total += (closed > 0 ? closed : 0) + current;
    } else {
        m_total += current - m_current;
    }
    m_current = current;
    m_last = last;
}

}  // namespace tunnel
