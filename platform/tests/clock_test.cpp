#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace platform {
namespace {

TimePoint at(std::chrono::milliseconds ms) {
    return TimePoint(ms);
}

TEST(VirtualClock, TickCountWrapsAt32Bits) {
    VirtualClock clk(at(std::chrono::milliseconds(0xFFFFFFFFll - 4)));
    const uint32_t before = clk.tickCount();
    EXPECT_EQ(before, 0xFFFFFFFBu);
    clk.advance(10ms);
    EXPECT_EQ(clk.tickCount(), 5u);
    EXPECT_EQ(clk.tickCount() - before, 10u);
}

TEST(VirtualClock, SleepMovesTimeByItsDuration) {
    VirtualClock clk(at(1000ms));
    ScopedClock installed(clk);
    EXPECT_TRUE(sleepMs(120000));
    EXPECT_EQ(now(), at(121000ms));
    EXPECT_TRUE(sleepFor(1500us));
    EXPECT_EQ(clk.now(), at(121000ms) + 1500us);
    EXPECT_TRUE(sleepMs(0));
    EXPECT_EQ(clk.now(), at(121000ms) + 1500us);
}

TEST(VirtualClock, RejectsNegativeAdvanceAndSaturates) {
    VirtualClock clk(at(5ms));
    EXPECT_THROW(clk.advance(-1ms), std::invalid_argument);
    EXPECT_EQ(clk.now(), at(5ms));
    clk.advance(Duration::max());
    clk.advance(1h);
    EXPECT_EQ(clk.now(), TimePoint::max());
    EXPECT_EQ(deadlineAfterMs(clk, 1000), TimePoint::max());
}

TEST(VirtualClock, TimedWaiterWakesOnlyWhenItsDeadlinePasses) {
    VirtualClock clk;
    std::mutex m;
    std::condition_variable cv;
    std::atomic<bool> timedOut{false};
    std::thread waiter([&] {
        std::unique_lock lock(m);
        const TimePoint deadline = clk.now() + 100ms;
        while (clk.waitUntil(cv, lock, deadline) != std::cv_status::timeout) {
        }
        timedOut = true;
    });
    ASSERT_TRUE(clk.waitForPendingWaits(1));
    clk.advance(99ms);
    {
        // A notify without the deadline reached leaves it waiting.
        std::lock_guard lock(m);
        cv.notify_all();
    }
    ASSERT_TRUE(clk.waitForPendingWaits(1));
    EXPECT_FALSE(timedOut);
    clk.advance(1ms);
    waiter.join();
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(clk.pendingWaits(), 0u);
}

TEST(VirtualClock, SleepOnOneThreadWakesTimedWaitersOfOthers) {
    VirtualClock clk;
    ScopedClock installed(clk);
    // Each waiter has its own condition variable: with a shared one, a's
    // wake-up would also wake b for a moment and the pending count would race.
    struct Waiter {
        std::mutex m;
        std::condition_variable cv;
    } first, second;
    std::atomic<int> woken{0};
    auto waitFor = [&](Waiter& w, std::chrono::milliseconds d) {
        std::unique_lock lock(w.m);
        const TimePoint deadline = clk.now() + d;
        while (clk.waitUntil(w.cv, lock, deadline) != std::cv_status::timeout) {
        }
        ++woken;
    };
    std::thread a(waitFor, std::ref(first), 50ms);
    std::thread b(waitFor, std::ref(second), 500ms);
    ASSERT_TRUE(clk.waitForPendingWaits(2));
    EXPECT_TRUE(sleepMs(60));
    a.join();
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(clk.pendingWaits(), 1u);
    EXPECT_TRUE(sleepMs(440));
    b.join();
    EXPECT_EQ(woken, 2);
}

TEST(VirtualClock, WaitWithPassedDeadlineReturnsAtOnce) {
    VirtualClock clk(at(10ms));
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock lock(m);
    EXPECT_EQ(clk.waitUntil(cv, lock, at(10ms)), std::cv_status::timeout);
    EXPECT_TRUE(lock.owns_lock());
    EXPECT_EQ(clk.pendingWaits(), 0u);
}

TEST(ScopedClock, InstallsAndRestoresInNesting) {
    Clock& original = clock();
    EXPECT_EQ(&original, &monotonicClock());
    VirtualClock outer(at(1s));
    {
        ScopedClock a(outer);
        EXPECT_EQ(&clock(), &outer);
        EXPECT_EQ(now(), at(1s));
        VirtualClock inner(at(2s));
        {
            ScopedClock b(inner);
            EXPECT_EQ(&clock(), &inner);
            EXPECT_EQ(tickCount(), 2000u);
        }
        EXPECT_EQ(&clock(), &outer);
    }
    EXPECT_EQ(&clock(), &original);
}

TEST(MonotonicClock, TickCountIsMillisecondsOfNow) {
    Clock& clk = monotonicClock();
    auto ms = [](TimePoint t) {
        return static_cast<uint32_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
    };
    const uint32_t low = ms(clk.now());
    const uint32_t tick = clk.tickCount();
    const uint32_t high = ms(clk.now());
    EXPECT_LE(tick - low, high - low);
}

TEST(MonotonicClock, WaitWithPassedDeadlineTimesOut) {
    Clock& clk = monotonicClock();
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock lock(m);
    EXPECT_EQ(clk.waitUntil(cv, lock, clk.now() - 1ms), std::cv_status::timeout);
    EXPECT_TRUE(lock.owns_lock());
}

} // namespace
} // namespace platform
