#include <gtest/gtest.h>

#include "core/src/time/Clock.h"
#include "tunnel_client/forward/TrafficStatGroup.h"

using kx::core::Clock;
using tunnel::TrafficStatGroup;

namespace {

class TrafficStatTest : public ::testing::Test {
protected:
    void SetUp() override { Clock::freeze(5000000); }
    void TearDown() override { Clock::resetForTests(); }
};

TEST_F(TrafficStatTest, RatesComeFromTheLastCompletedWindow) {
    TrafficStatGroup group;
    group.addReceived(1048576);
    group.addSent(10000);
    Clock::advance(9999);
    group.tick();
    EXPECT_EQ(group.shortStat().receivedRate(), 0);

    Clock::advance(1);
    group.tick();
    EXPECT_EQ(group.shortStat().receivedRate(), 104857);
    EXPECT_EQ(group.shortStat().sentRate(), 1000);
    EXPECT_EQ(group.longStat().receivedRate(), 0);  // its 60 s window is still running

    // A window with nothing counted rolls to 0.
    Clock::advance(10000);
    group.tick();
    EXPECT_EQ(group.shortStat().receivedRate(), 0);

    Clock::advance(40000);
    group.tick();
    EXPECT_EQ(group.longStat().receivedRate(), 1048576 * 1000 / 60000);
}

TEST_F(TrafficStatTest, SeveralMissedWindowsRollOnceAndKeepTheRhythm) {
    TrafficStatGroup group;
    group.addSent(50000);
    Clock::advance(35000);  // three and a half windows
    group.tick();
    EXPECT_EQ(group.shortStat().sentRate(), 5000);
    group.addSent(20000);
    Clock::advance(4999);  // the fourth window ends 5000 ms after the catch-up
    group.tick();
    EXPECT_EQ(group.shortStat().sentRate(), 5000);
    Clock::advance(1);
    group.tick();
    EXPECT_EQ(group.shortStat().sentRate(), 2000);
}

}  // namespace
