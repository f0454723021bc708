#include "core/src/time/Timer.h"

#include "core/src/time/Clock.h"

namespace kx {
namespace core {

namespace {
thread_local int32_t t_soonest = -1;
}  // namespace

int32_t Timer::takeSoonest() {
    const int32_t soonest = t_soonest;
    t_soonest = -1;
    return soonest;
}

Timer::Timer() : m_start(Clock::nowMs()), m_interval(0) {}

Timer::Timer(int32_t interval) : m_start(Clock::nowMs()), m_interval(interval > 0 ? interval : 0) {}

void Timer::start(int32_t interval) {
    m_interval = interval > 0 ? interval : 0;
    m_start = Clock::nowMs();
}

void Timer::reset() {
    if (m_interval >= 1) m_start = Clock::nowMs();
}

void Timer::rearm() {
    if (m_interval < 1) return;
    uint32_t elapsed = Clock::nowMs() - m_start;
    m_start += (elapsed / static_cast<uint32_t>(m_interval)) * static_cast<uint32_t>(m_interval);
}

void Timer::shorten(int32_t ms) {
    if (m_interval >= 1 && ms >= 1) m_start -= static_cast<uint32_t>(ms);
}

void Timer::alignStart(int32_t grid) {
    if (grid >= 1) m_start -= m_start % static_cast<uint32_t>(grid);
}

bool Timer::isExpired() const {
    if (m_interval < 1) return true;
    int32_t elapsed = static_cast<int32_t>(Clock::nowMs() - m_start);
    if (elapsed >= m_interval || elapsed < 0) return true;
    const int32_t left = m_interval - elapsed;
    if (t_soonest < 0 || left < t_soonest) t_soonest = left;
    return false;
}

bool Timer::isDue() const {
    if (m_interval < 1) return true;
    int32_t elapsed = static_cast<int32_t>(Clock::nowMs() - m_start);
    return elapsed >= m_interval || elapsed < 0;
}

int32_t Timer::remaining() const {
    if (m_interval < 1) return 0;
    int32_t elapsed = static_cast<int32_t>(Clock::nowMs() - m_start);
    if (elapsed < 0 || elapsed >= m_interval) return 0;
    return m_interval - elapsed;
}

}  // namespace core
}  // namespace kx
