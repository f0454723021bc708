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
    // Moves the start back onto the last whole multiple of grid on the clock.
    // Periodic timers on one grid expire together, so a loop that serves
    // them wakes once for all of them instead of once for each.
    void alignStart(int32_t grid);
    // Also notes, for this thread's loop, when an armed timer will expire.
    bool isExpired() const;
    // isExpired() without the note: for polling periods whose work only
    // matters after some other event, which wakes the loop by itself.
    bool isDue() const;
    int32_t remaining() const;

    // Milliseconds until the soonest expiry among the armed timers this
    // thread asked isExpired() since the previous call, -1 for none; then
    // forgets them. A loop sleeps that long at most, so that every timer it
    // polls is seen on time without waking at a fixed rate.
    static int32_t takeSoonest();
    uint32_t startTime() const { return m_start; }

private:
    uint32_t m_start;
    int32_t m_interval;
};

}  // namespace core
}  // namespace kx
