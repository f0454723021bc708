#include "tunnel_client/protocol/WindowTuner.h"

#include <algorithm>

#include "core/src/time/Clock.h"

namespace tunnel {

WindowTuner::WindowTuner(GrantBudget* budget, const RoundTripEstimate* roundTrip, int64_t maximum)
    : m_budget(budget), m_roundTrip(roundTrip), m_maximum(maximum) {}

WindowTuner::~WindowTuner() {
    if (m_budget) m_budget->release(m_reserved);
}

int64_t WindowTuner::step() const {
    return std::max<int64_t>(wire::GRANT_STEP, m_target / 8);
}

int64_t WindowTuner::onDelivered(int64_t bytes, int64_t backlog) {
    if (bytes <= 0) return 0;
    m_outstanding = std::max<int64_t>(0, m_outstanding - bytes);

    if (m_roundTrip && m_roundTrip->isKnown() && m_target < m_maximum) {
        const uint32_t now = kx::core::Clock::nowMs();
        // Whole milliseconds: even on loopback a round trip counts as one.
        const int32_t limit = 2 * std::max<int32_t>(1, m_roundTrip->ms());
        int32_t elapsed = static_cast<int32_t>(now - m_epochStart);
        if (m_measuring && (elapsed < 0 || elapsed > limit) && m_epochBytes < m_target)
            m_measuring = false;  // too slow for a whole window: measure afresh
        if (!m_measuring) {
            m_measuring = true;
            m_epochStart = now;
            m_epochBytes = 0;
            elapsed = 0;
        }
        m_epochBytes += bytes;
        if (m_epochBytes >= m_target) {
            if (elapsed <= limit && backlog * 2 <= m_target) _grow();
            m_measuring = false;
        }
    }

    const int64_t room = m_target - m_outstanding;
    if (room < step()) return 0;
    m_outstanding += room;
    return room;
}

void WindowTuner::_grow() {
    int64_t wanted = std::min(m_target * 2, m_maximum) - m_target;
    if (wanted <= 0) return;
    int64_t got = m_budget ? m_budget->reserve(wanted) : wanted;
    m_target += got;
    m_reserved += got;
}

}  // namespace tunnel
