#include <gtest/gtest.h>

#include "core/src/time/Clock.h"
#include "core/src/time/Timer.h"

using namespace kx::core;

namespace {
class TimerTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::freeze(1000000); }
    void TearDown() override { Clock::resetForTests(); }
};
}  // namespace

TEST_F(TimerTest, ExpiresAfterTheIntervalAndReportsRemaining) {
    Timer t(1000);
    EXPECT_FALSE(t.isExpired());
    EXPECT_EQ(t.remaining(), 1000);
    Clock::advance(999);
    EXPECT_FALSE(t.isExpired());
    EXPECT_EQ(t.remaining(), 1);
    Clock::advance(1);
    EXPECT_TRUE(t.isExpired());
    EXPECT_EQ(t.remaining(), 0);
    t.reset();
    EXPECT_FALSE(t.isExpired());
    EXPECT_EQ(t.remaining(), 1000);
}

TEST_F(TimerTest, ZeroIntervalIsDisabledAndAlwaysExpired) {
    Timer t;
    EXPECT_TRUE(t.isExpired());
    EXPECT_EQ(t.remaining(), 0);
    t.start(-5);
    EXPECT_EQ(t.interval(), 0);
    EXPECT_TRUE(t.isExpired());
    const uint32_t start = t.startTime();
    Clock::advance(10);
    t.reset();  // a disabled timer does not restart
    t.rearm();
    t.shorten(5);
    EXPECT_EQ(t.startTime(), start);
}

TEST_F(TimerTest, ClockGoingBackCountsAsExpired) {
    Timer t(60000);
    EXPECT_FALSE(t.isExpired());
    Clock::advance(-1);
    EXPECT_TRUE(t.isExpired());
    EXPECT_EQ(t.remaining(), 0);
}

TEST_F(TimerTest, RearmMovesByWholePeriodsWithoutDrift) {
    Timer t(1000);
    const uint32_t start = t.startTime();
    Clock::advance(2500);
    EXPECT_TRUE(t.isExpired());
    t.rearm();
    EXPECT_EQ(t.startTime(), start + 2000);
    EXPECT_FALSE(t.isExpired());
    EXPECT_EQ(t.remaining(), 500);
    Clock::advance(499);
    t.rearm();  // not yet a whole period past the new start
    EXPECT_EQ(t.startTime(), start + 2000);
}

TEST_F(TimerTest, ShortenBringsExpiryForward) {
    Timer t(30000);
    t.shorten(29000);
    EXPECT_EQ(t.remaining(), 1000);
    t.shorten(0);
    EXPECT_EQ(t.remaining(), 1000);
    Clock::advance(1000);
    EXPECT_TRUE(t.isExpired());
}

TEST_F(TimerTest, SurvivesTheThirtyTwoBitWrap) {
    Clock::freeze(0xFFFFFF00u);
    Timer t(1000);
    Clock::advance(0x200);  // wraps past zero
    EXPECT_FALSE(t.isExpired());
    EXPECT_EQ(t.remaining(), 1000 - 0x200);
    Clock::advance(1000);
    EXPECT_TRUE(t.isExpired());
}

// The loop sleeps until the soonest armed timer it polled; expired, disabled
// and quietly polled timers must not shorten that sleep.
TEST_F(TimerTest, SoonestNotesOnlyArmedTimersPolledWithIsExpired) {
    Timer::takeSoonest();
    Timer slow(5000), fast(300), quiet(150), off(0), done(100);
    Clock::advance(100);
    EXPECT_EQ(Timer::takeSoonest(), -1);
    EXPECT_FALSE(slow.isExpired());
    EXPECT_FALSE(fast.isExpired());
    EXPECT_FALSE(quiet.isDue());  // armed and sooner, but not noted
    EXPECT_TRUE(off.isExpired());
    EXPECT_TRUE(done.isExpired());
    EXPECT_EQ(Timer::takeSoonest(), 200);
    EXPECT_EQ(Timer::takeSoonest(), -1);  // forgotten once taken
}

// A 1 s tick and a 500 ms rhythm started at different moments must still
// come due in the same millisecond once both are aligned to the clock.
TEST_F(TimerTest, AlignedTimersOfOneGridComeDueTogether) {
    Clock::freeze(100000 + 337);
    Timer tick(1000), ack(500);
    Clock::freeze(100000 + 612);
    ack.start(500);
    tick.alignStart(1000);
    ack.alignStart(500);
    EXPECT_EQ(tick.startTime(), 100000u);
    EXPECT_EQ(ack.startTime(), 100500u);
    Clock::freeze(100999);
    EXPECT_FALSE(tick.isDue());
    EXPECT_FALSE(ack.isDue());
    Clock::freeze(101000);
    EXPECT_TRUE(tick.isDue());
    EXPECT_TRUE(ack.isDue());
    Clock::unfreeze();
}
