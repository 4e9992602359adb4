#include "dorvel/interval_timer.h"

#include "platform/clock.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace dorvel {
namespace {

class IntervalTimer : public ::testing::Test {
protected:
    platform::VirtualClock clock{platform::TimePoint(1h)};
    platform::ScopedClock installed{clock};
};

TEST_F(IntervalTimer, ElapsesExactlyAfterTheInterval) {
    CIntervalTimer timer;
    timer.Start();
    EXPECT_FALSE(timer.HasElapsed(800));
    clock.advance(799ms);
    EXPECT_FALSE(timer.HasElapsed(800));
    clock.advance(1ms);
    EXPECT_TRUE(timer.HasElapsed(800));
    EXPECT_FALSE(timer.HasElapsed(801));
}

TEST_F(IntervalTimer, StartBeginsANewInterval) {
    CIntervalTimer timer;
    timer.Start();
    clock.advance(500ms);
    ASSERT_TRUE(timer.HasElapsed(500));
    timer.Start();
    EXPECT_FALSE(timer.HasElapsed(500));
    EXPECT_FALSE(timer.HasElapsed(1));
    clock.advance(500ms);
    EXPECT_TRUE(timer.HasElapsed(500));
}

TEST_F(IntervalTimer, ConstructionStartsTheInterval) {
    clock.advance(10s);
    const CIntervalTimer timer;
    EXPECT_FALSE(timer.HasElapsed(100));
    clock.advance(100ms);
    EXPECT_TRUE(timer.HasElapsed(100));
}

TEST_F(IntervalTimer, ZeroAndNegativeIntervalsHaveElapsedAtOnce) {
    CIntervalTimer timer;
    timer.Start();
    EXPECT_TRUE(timer.HasElapsed(0));
    EXPECT_TRUE(timer.HasElapsed(-5));
    EXPECT_TRUE(timer.HasElapsed(INT32_MIN));
}

TEST_F(IntervalTimer, LongIntervalsDoNotOverflow) {
    CIntervalTimer timer;
    timer.Start();
    clock.advance(std::chrono::milliseconds(INT32_MAX) - 1ms);
    EXPECT_FALSE(timer.HasElapsed(INT32_MAX));
    clock.advance(1ms);
    EXPECT_TRUE(timer.HasElapsed(INT32_MAX));
}

TEST_F(IntervalTimer, SleepingOnTheClockCountsAsPassingTime) {
    CIntervalTimer timer;
    timer.Start();
    int polls = 0;
    while (!timer.HasElapsed(120000)) {
        ASSERT_TRUE(platform::sleepMs(800));
        ++polls;
    }
    EXPECT_EQ(polls, 150);
}

} // namespace
} // namespace dorvel
