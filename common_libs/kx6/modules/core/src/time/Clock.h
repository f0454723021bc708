#pragma once

#include <cstdint>

namespace kx {
namespace core {

// The one millisecond clock behind every Timer: the wall clock
// (gettimeofday) truncated to 32 bits. Tests move it with advance() or pin it
// with freeze() instead of sleeping.
class Clock {
public:
    static uint32_t nowMs();

    // Test hooks; thread-safe.
    static void advance(int64_t ms);  // shifts the clock forward (negative: back)
    static void freeze(uint32_t ms);  // nowMs() returns ms until unfreeze()
    static void unfreeze();
    static void resetForTests();      // no offset, not frozen
};

}  // namespace core
}  // namespace kx
