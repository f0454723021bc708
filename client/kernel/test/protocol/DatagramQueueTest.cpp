#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/src/time/Clock.h"
#include "tunnel_client/protocol/DatagramQueue.h"

using kx::core::Binary;
using kx::core::Clock;
using tunnel::DatagramQueue;

namespace {

// One step on the frozen clock: at `atMs`, push a datagram of `push` bytes
// (0: none), then pop with `credit` (-1: no pop); what came out and what
// the queue holds afterwards.
struct Step {
    uint32_t atMs;
    int push;
    int64_t credit;
    std::string popped;  // "" none, else the popped datagram's length as text
    int64_t bytesAfter;
    int64_t droppedAfter;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

TEST(DatagramQueueTest, BoundedByBytesAndByAgeInOrder) {
    // A queue of 100 bytes and 500 ms.
    const std::vector<Case> cases = {
        {"waits for credit and leaves in order",
         {{0, 40, 10, "", 40, 0}, {1, 30, -1, "", 70, 0}, {2, 0, 40, "40", 30, 0},
          {3, 0, 100, "30", 0, 0}, {4, 0, 100, "", 0, 0}}},
        {"a datagram that does not fit the bytes is dropped, the rest kept",
         {{0, 60, -1, "", 60, 0}, {1, 50, -1, "", 60, 1}, {2, 40, -1, "", 100, 1},
          {3, 0, 60, "60", 40, 1}}},
        {"the front does not jump the queue for a smaller one behind it",
         {{0, 50, -1, "", 50, 0}, {1, 10, 20, "", 60, 0}, {2, 0, 50, "50", 10, 0}}},
        {"stale datagrams are dropped when their turn comes",
         {{0, 20, -1, "", 20, 0}, {300, 30, -1, "", 50, 0}, {501, 0, 100, "30", 0, 1}}},
        {"everything stale: nothing comes out",
         {{0, 20, -1, "", 20, 0}, {10, 20, -1, "", 40, 0}, {2000, 0, 100, "", 0, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DatagramQueue queue(100, 500);
        for (const Step& s : c.steps) {
            SCOPED_TRACE(s.atMs);
            Clock::freeze(1000 + s.atMs);
            if (s.push > 0) {
                Binary d(std::string(size_t(s.push), 'x').data(), s.push);
                queue.push(d);
            }
            std::string popped;
            Binary out;
            if (s.credit >= 0 && queue.pop(s.credit, &out)) popped = std::to_string(out.length());
            EXPECT_EQ(s.popped, popped);
            EXPECT_EQ(s.bytesAfter, queue.bytes());
            EXPECT_EQ(s.droppedAfter, queue.dropped());
            EXPECT_EQ(s.bytesAfter == 0, queue.isEmpty());
        }
    }
    Clock::resetForTests();
}

}  // namespace
