#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <utility>

#include "core/src/time/Clock.h"
#include "tunnel_client/protocol/WindowTuner.h"

using kx::core::Clock;
using tunnel::GrantBudget;
using tunnel::RoundTripEstimate;
using tunnel::WindowTuner;

namespace {

const int64_t FIRST = tunnel::wire::INITIAL_GRANT;
const int64_t MIB = 1024 * 1024;

// One stream over a link of a given rate and round trip, a millisecond a
// step on the frozen clock: the sender sends all it was granted as fast as
// the link goes, the reader takes up to readPerMs, grants travel back.
struct Link {
    int32_t rttMs;
    int64_t bytesPerMs;
    int64_t readPerMs;

    struct Result {
        int64_t target = 0;
        int64_t delivered = 0;   // over the whole run
        int64_t lastSecond = 0;  // delivered in the final 1000 ms
        int64_t maxBacklog = 0;
        int64_t maxInFlight = 0;   // sent and not yet delivered
        bool beyondGrant = false;  // the sender never needs more than it was granted
        bool overTarget = false;   // granted and undelivered beyond the window
    };

    Result run(WindowTuner& tuner, int32_t ms, uint32_t start) const {
        Result r;
        int64_t credit = FIRST;                                // granted, not yet sent
        int64_t backlog = 0;                                   // arrived, not yet read
        std::deque<std::pair<int32_t, int64_t>> data, grants;  // arrival time, bytes
        int64_t inFlight = 0;
        for (int32_t t = 0; t < ms; ++t) {
            Clock::freeze(start + static_cast<uint32_t>(t));
            int64_t send = std::min(credit, bytesPerMs);
            credit -= send;
            inFlight += send;
            if (send > 0) data.emplace_back(t + rttMs / 2, send);
            while (!data.empty() && data.front().first <= t) {
                backlog += data.front().second;
                data.pop_front();
            }
            while (!grants.empty() && grants.front().first <= t) {
                credit += grants.front().second;
                grants.pop_front();
            }
            int64_t read = std::min(backlog, readPerMs);
            backlog -= read;
            if (read > 0) {
                inFlight -= read;
                if (t >= ms - 1000) r.lastSecond += read;
                r.delivered += read;
                int64_t grant = tuner.onDelivered(read, backlog);
                if (grant > 0) grants.emplace_back(t + rttMs - rttMs / 2, grant);
            }
            r.maxBacklog = std::max(r.maxBacklog, backlog);
            r.maxInFlight = std::max(r.maxInFlight, inFlight);
            if (inFlight > tuner.outstanding()) r.beyondGrant = true;
            if (tuner.outstanding() > tuner.target()) r.overTarget = true;
        }
        r.target = tuner.target();
        return r;
    }
};

class WindowTunerTest : public ::testing::Test {
protected:
    void TearDown() override { Clock::resetForTests(); }
};

TEST_F(WindowTunerTest, GrowsOnlyWhileTheWindowIsWhatLimitsTheStream) {
    struct Case {
        const char* name;
        int32_t rttMs;  // what the estimate says; -1: no estimate yet
        Link link;
        int64_t maximum;
        int64_t budget;
        int64_t minTarget, maxTarget;
        double minShareOfLink;  // of the link rate in the final second
    } cases[] = {
        // 100 Mbit/s at 50 ms: 625 KB in flight are needed.
        {"fast reader",
         50,
         {50, 12500, 1 << 30},
         WindowTuner::MAX_WINDOW,
         GrantBudget::DEFAULT_BYTES,
         1 * MIB,
         4 * MIB,
         0.95},
        {"fast reader, 100 ms",
         100,
         {100, 6250, 1 << 30},
         WindowTuner::MAX_WINDOW,
         GrantBudget::DEFAULT_BYTES,
         1 * MIB,
         4 * MIB,
         0.95},
        {"loopback",
         1,
         {1, 500000, 1 << 30},
         WindowTuner::MAX_WINDOW,
         GrantBudget::DEFAULT_BYTES,
         FIRST,
         4 * MIB,
         0.9},
        // The application stopped reading: nothing delivered, nothing grows.
        {"reader stalled",
         50,
         {50, 12500, 0},
         WindowTuner::MAX_WINDOW,
         GrantBudget::DEFAULT_BYTES,
         FIRST,
         FIRST,
         0},
        // It reads 100 KB/s, far below what the first window carries at 50 ms.
        {"slow reader",
         50,
         {50, 12500, 100},
         WindowTuner::MAX_WINDOW,
         GrantBudget::DEFAULT_BYTES,
         FIRST,
         FIRST,
         0},
        // No acknowledgement timed yet: the window stays the fixed one.
        {"no round trip",
         -1,
         {50, 12500, 1 << 30},
         WindowTuner::MAX_WINDOW,
         GrantBudget::DEFAULT_BYTES,
         FIRST,
         FIRST,
         0},
        {"capped by maximum",
         50,
         {50, 12500, 1 << 30},
         512 * 1024,
         GrantBudget::DEFAULT_BYTES,
         512 * 1024,
         512 * 1024,
         0},
        {"capped by budget",
         50,
         {50, 12500, 1 << 30},
         WindowTuner::MAX_WINDOW,
         300000,
         FIRST + 300000,
         FIRST + 300000,
         0},
        // A long link needs more than the per-stream maximum: it stops there.
        {"long fat link",
         200,
         {200, 125000, 1 << 30},
         WindowTuner::MAX_WINDOW,
         GrantBudget::DEFAULT_BYTES,
         WindowTuner::MAX_WINDOW,
         WindowTuner::MAX_WINDOW,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RoundTripEstimate rtt;
        if (c.rttMs >= 0) rtt.addSample(1000, 1000 + static_cast<uint32_t>(c.rttMs));
        GrantBudget budget(c.budget);
        Link::Result r;
        {
            WindowTuner tuner(&budget, &rtt, c.maximum);
            r = c.link.run(tuner, 6000, 2000);
            EXPECT_EQ(budget.used(), r.target - FIRST);
        }
        EXPECT_EQ(budget.used(), 0) << "a closed stream gives its share back";
        EXPECT_GE(r.target, c.minTarget);
        EXPECT_LE(r.target, c.maxTarget);
        EXPECT_FALSE(r.beyondGrant);
        EXPECT_FALSE(r.overTarget);
        // What the receiver holds is never more than its window.
        EXPECT_LE(r.maxBacklog, r.target);
        EXPECT_LE(r.maxInFlight, r.target);
        if (c.minShareOfLink > 0) {
            int64_t linkBytes = std::min(c.link.bytesPerMs, c.link.readPerMs) * 1000;
            EXPECT_GE(static_cast<double>(r.lastSecond), c.minShareOfLink * linkBytes);
        }
        if (c.link.readPerMs == 0) {
            EXPECT_EQ(r.delivered, 0);
        }
    }
}

TEST_F(WindowTunerTest, GrantsComeInStepsOfAnEighthOfTheWindow) {
    Clock::freeze(5000);
    RoundTripEstimate rtt;
    // Before any growth the steps are the fixed ones: 16384 delivered bytes.
    WindowTuner fixed(nullptr, nullptr);
    EXPECT_EQ(fixed.onDelivered(10000, 0), 0);
    EXPECT_EQ(fixed.onDelivered(7000, 0), 17000);
    EXPECT_EQ(fixed.outstanding(), FIRST);

    rtt.addSample(4990, 5000);
    WindowTuner tuner(nullptr, &rtt);
    // A whole window delivered at once: the window doubles and the grant
    // carries the new room at once.
    EXPECT_EQ(tuner.onDelivered(FIRST, 0), 2 * FIRST);
    EXPECT_EQ(tuner.target(), 2 * FIRST);
    EXPECT_EQ(tuner.step(), 32768);
    // Within the measure the next grant waits for a full step.
    Clock::freeze(5030);
    EXPECT_EQ(tuner.onDelivered(32767, 0), 0);
    EXPECT_EQ(tuner.onDelivered(1, 0), 32768);

    // A reader lagging by more than half a window stops growth even at full speed.
    WindowTuner lagging(nullptr, &rtt);
    EXPECT_EQ(lagging.onDelivered(65536, 65536), 65536);
    EXPECT_EQ(lagging.onDelivered(65536, 70000), 65536);
    EXPECT_EQ(lagging.target(), FIRST);
}

TEST_F(WindowTunerTest, StreamsShareTheTunnelsBudget) {
    Clock::freeze(1000);
    RoundTripEstimate rtt;
    rtt.addSample(990, 1000);
    GrantBudget budget(3 * FIRST);
    auto deliverWindows = [](WindowTuner& tuner, int times) {
        for (int i = 0; i < times; ++i) tuner.onDelivered(tuner.target(), 0);
    };
    std::unique_ptr<WindowTuner> first(new WindowTuner(&budget, &rtt));
    WindowTuner second(&budget, &rtt);
    deliverWindows(*first, 2);  // 128 KiB -> 256 KiB -> 512 KiB: 384 KiB reserved
    EXPECT_EQ(first->target(), 4 * FIRST);
    EXPECT_EQ(budget.available(), 0);
    deliverWindows(second, 3);
    EXPECT_EQ(second.target(), FIRST) << "grew past the tunnel's budget";
    // Once the first stream is gone its share goes to the others.
    first.reset();
    deliverWindows(second, 3);
    EXPECT_EQ(second.target(), 4 * FIRST);
}

TEST_F(WindowTunerTest, RoundTripIsTheLeastRecentSampleAndIgnoresResends) {
    RoundTripEstimate rtt;
    EXPECT_FALSE(rtt.isKnown());
    EXPECT_EQ(rtt.ms(), -1);
    struct Step {
        uint32_t sent, acked;
        int32_t expect;
    } steps[] = {
        {1000, 1420, 420},  // held back by the peer's acknowledgement timer
        {1500, 1552, 52},   // acknowledged at once
        {1600, 1900, 52},
        {2000, 9000, 52},                // a resend after a failover is no round trip
        {12000, 12080, 52},              // a new window: the last one still counts
        {23000, 23070, 70},              // two windows on: only recent samples
        {0x7FFFFFF0u, 0x80000010u, 32},  // across the clock's sign bit
    };
    for (const Step& s : steps) {
        rtt.addSample(s.sent, s.acked);
        EXPECT_EQ(rtt.ms(), s.expect) << s.sent;
    }
}

}  // namespace
