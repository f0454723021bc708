#pragma once

#include <cstdint>

namespace kx {
namespace core {

// Millisecond interval timer on the 32-bit Clock. Interval 0 means disabled:
// always expired, nothing remaining. A clock that went back counts as expired.
class Timer {
public:
    Timer();
    explicit Timer(int32_t interval);

    void start(int32_t interval);
    int32_t interval() const { return m_interval; }
    void reset();                 // restart the current interval from now
    void rearm();                 // advance the start by whole periods (no drift)
    void shorten(int32_t ms);     // expire ms earlier
    bool isExpired() const;
    int32_t remaining() const;
    uint32_t startTime() const { return m_start; }

private:
    uint32_t m_start;
    int32_t m_interval;
};

}  // namespace core
}  // namespace kx
