#include "WanLink.h"

#include <algorithm>

namespace wan {

WanLink::WanLink(const WanProfile& profile, uint32_t seed) : m_profile(profile), m_random(seed) {}

int64_t WanLink::room() const {
    return std::max<int64_t>(0, m_profile.queueBytes() - m_queued);
}

void WanLink::push(int64_t nowUs, uint64_t flow, Kind kind, std::string bytes) {
    // An idle link starts sending now, a busy one when its queue ahead is out.
    double start = std::max(m_busyUntilUs, static_cast<double>(nowUs));
    m_busyUntilUs = start + m_profile.sendUs(static_cast<int64_t>(bytes.size()));
    int64_t depart = static_cast<int64_t>(m_busyUntilUs);
    m_queued += static_cast<int64_t>(bytes.size());
    m_queue.push_back(Chunk{flow, kind, std::move(bytes), depart, 0});
}

void WanLink::advance(int64_t nowUs) {
    while (!m_queue.empty() && m_queue.front().departUs <= nowUs) {
        Chunk chunk = std::move(m_queue.front());
        m_queue.pop_front();
        m_queued -= static_cast<int64_t>(chunk.bytes.size());
        m_bytesSent += chunk.bytes.size();
        int64_t jitter = 0;
        if (m_profile.jitterUs > 0) {
            jitter = std::uniform_int_distribution<int64_t>(0, m_profile.jitterUs)(m_random);
        }
        // Jitter may hold a chunk back but never lets it pass an earlier one.
        chunk.arriveUs = std::max(m_lastArriveUs, chunk.departUs + m_profile.delayUs + jitter);
        m_lastArriveUs = chunk.arriveUs;
        m_flight.push_back(std::move(chunk));
    }
}

bool WanLink::pop(int64_t nowUs, Chunk* out) {
    advance(nowUs);
    if (m_flight.empty() || m_flight.front().arriveUs > nowUs) return false;
    *out = std::move(m_flight.front());
    m_flight.pop_front();
    return true;
}

int64_t WanLink::nextEventUs() const {
    int64_t next = -1;
    if (!m_queue.empty()) next = m_queue.front().departUs;
    if (!m_flight.empty() && (next < 0 || m_flight.front().arriveUs < next)) {
        next = m_flight.front().arriveUs;
    }
    return next;
}

}  // namespace wan
