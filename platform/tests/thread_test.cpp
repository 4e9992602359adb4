#include "platform/thread.h"

#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace platform {
namespace {

// A real-time guard for stops that must end promptly; not a measurement.
constexpr uint32_t kGuardMs = 60000;

// Signals running, then blocks until stopped; returns the wait's result.
uint32_t runUntilStopped(Thread& self) {
    Event never(ResetMode::Manual);
    self.signalRunning();
    return static_cast<uint32_t>(never.wait(kInfinite));
}

TEST(Thread, StartHandshakeIdAndExitCode) {
    Thread t;
    EXPECT_TRUE(t.finished().isSignalled());
    EXPECT_FALSE(t.exitCode().has_value());
    std::atomic<uint32_t> seenId{0};
    ASSERT_TRUE(t.start(
        [&](Thread& self) {
            seenId = currentThreadId();
            runUntilStopped(self);
            return 7u;
        },
        kInfinite));
    EXPECT_TRUE(t.isRunning());
    EXPECT_FALSE(t.finished().isSignalled());
    EXPECT_NE(t.id(), 0u);
    EXPECT_EQ(seenId, t.id());
    EXPECT_NE(t.id(), currentThreadId());
    EXPECT_TRUE(t.stop(kGuardMs));
    EXPECT_FALSE(t.isRunning());
    EXPECT_TRUE(t.finished().isSignalled());
    EXPECT_EQ(t.exitCode(), 7u);
}

TEST(Thread, ThreadThatNeverSignalsItsStartIsStoppedAndJoined) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Thread t;
    std::atomic<int> sleeps{0};
    // Never signals; each sleep moves virtual time until the start gives up.
    const bool started = t.start(
        [&](Thread&) {
            while (sleepMs(1000)) {
                ++sleeps;
            }
            return 3u;
        },
        5000);
    EXPECT_FALSE(started);
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ETIMEDOUT));
    // Joined already: it ended and the object can start again.
    EXPECT_TRUE(t.finished().isSignalled());
    EXPECT_EQ(t.exitCode(), 3u);
    EXPECT_GE(sleeps, 5);
    EXPECT_GE(clk.now(), TimePoint(5000ms));
    EXPECT_TRUE(t.start(runUntilStopped, 5000));
    EXPECT_TRUE(t.stop(kGuardMs));
}

TEST(Thread, ThreadThatEndsWithoutSignallingFailsTheStartAtOnce) {
    Thread t;
    EXPECT_FALSE(t.start([](Thread&) { return 1u; }, kInfinite));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(ESRCH));
    EXPECT_EQ(t.exitCode(), 1u);
}

TEST(Thread, StopInterruptsABlockedWait) {
    Thread t;
    ASSERT_TRUE(t.start(runUntilStopped, kInfinite));
    EXPECT_TRUE(t.stop(kGuardMs));
    EXPECT_EQ(t.exitCode(), static_cast<uint32_t>(WaitResult::Stopped));
}

TEST(Thread, StopInterruptsATimedWaitOnTheVirtualClock) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Thread t;
    Event never(ResetMode::Auto);
    ASSERT_TRUE(t.start(
        [&](Thread& self) {
            self.signalRunning();
            return static_cast<uint32_t>(waitForAny({&never}, 10000).result);
        },
        kInfinite));
    ASSERT_TRUE(clk.waitForPendingWaits(1));
    // Untimed: on the virtual clock a timed stop would wait for time to move.
    EXPECT_TRUE(t.stop(kInfinite));
    EXPECT_EQ(t.exitCode(), static_cast<uint32_t>(WaitResult::Stopped));
    EXPECT_EQ(clk.now(), TimePoint{});
}

TEST(Thread, StopInterruptsARealSleep) {
    Thread t;
    std::atomic<bool> longSleep{true};
    std::atomic<bool> infiniteSleep{true};
    ASSERT_TRUE(t.start(
        [&](Thread& self) {
            self.signalRunning();
            longSleep = sleepMs(3600 * 1000);
            infiniteSleep = sleepMs(kInfinite);
            return 0u;
        },
        kInfinite));
    EXPECT_TRUE(t.stop(kGuardMs));
    EXPECT_FALSE(longSleep);
    EXPECT_FALSE(infiniteSleep);
}

TEST(Thread, VirtualSleepOfAStoppedThreadDoesNotMoveTime) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Thread t;
    std::atomic<bool> slept{true};
    ASSERT_TRUE(t.start(
        [&](Thread& self) {
            runUntilStopped(self);
            slept = sleepMs(1000);
            return 0u;
        },
        kInfinite));
    EXPECT_TRUE(t.stop(kInfinite));
    EXPECT_FALSE(slept);
    EXPECT_EQ(clk.now(), TimePoint{});
}

TEST(Thread, StopThatTimesOutThenTheDestructorJoins) {
    VirtualClock clk;
    ScopedClock installed(clk);
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::atomic<bool> ended{false};
    {
        Thread t;
        ASSERT_TRUE(t.start(
            [&](Thread& self) {
                self.signalRunning();
                // Deaf to the stop: time runs out for the stopper, then it
                // hangs in a wait the platform cannot interrupt.
                EXPECT_TRUE(clk.waitForPendingWaits(1));
                clk.advance(5000ms);
                gate.wait();
                ended = true;
                return 5u;
            },
            kInfinite));
        EXPECT_FALSE(t.stop(5000));
        EXPECT_EQ(lastError(), static_cast<uint32_t>(ETIMEDOUT));
        EXPECT_TRUE(t.stopRequested());
        EXPECT_FALSE(t.finished().isSignalled());
        EXPECT_FALSE(t.exitCode().has_value());
        release.set_value();
    }
    EXPECT_TRUE(ended);
}

TEST(Thread, DestructorStopsAndJoins) {
    std::atomic<uint32_t> result{0};
    {
        Thread t;
        ASSERT_TRUE(t.start(
            [&](Thread& self) {
                result = runUntilStopped(self);
                return 0u;
            },
            kInfinite));
    }
    EXPECT_EQ(result, static_cast<uint32_t>(WaitResult::Stopped));
}

TEST(Thread, FinishedIsUsableInWaitForAny) {
    Thread t;
    Event go(ResetMode::Auto);
    Event other(ResetMode::Manual);
    ASSERT_TRUE(t.start(
        [&](Thread& self) {
            self.signalRunning();
            return go.wait(kInfinite) == WaitResult::Signalled ? 0u : 1u;
        },
        kInfinite));
    EXPECT_EQ(waitForAny({&other, &t.finished()}, 0).result, WaitResult::TimedOut);
    go.set();
    const WaitAnyResult r = waitForAny({&other, &t.finished()}, kGuardMs);
    EXPECT_EQ(r.result, WaitResult::Signalled);
    EXPECT_EQ(r.index, 1u);
    EXPECT_EQ(t.exitCode(), 0u);
    t.join();
}

TEST(Thread, RefusesASecondStartWhileRunningAndRestartsAfterJoin) {
    Thread t;
    ASSERT_TRUE(t.start(runUntilStopped, kInfinite));
    const uint32_t firstId = t.id();
    EXPECT_FALSE(t.start(runUntilStopped, kInfinite));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(EBUSY));
    EXPECT_TRUE(t.stop(kGuardMs));
    ASSERT_TRUE(t.start(runUntilStopped, kInfinite));
    EXPECT_NE(t.id(), firstId);
    EXPECT_FALSE(t.stopRequested());
    EXPECT_TRUE(t.stop(kGuardMs));
}

TEST(Thread, StopFromItsOwnThreadIsRefused) {
    Thread t;
    std::atomic<bool> stopped{true};
    std::atomic<uint32_t> error{0};
    ASSERT_TRUE(t.start(
        [&](Thread& self) {
            self.signalRunning();
            stopped = self.stop(0);
            error = lastError();
            return 0u;
        },
        kInfinite));
    t.join();
    EXPECT_FALSE(stopped);
    EXPECT_EQ(error, static_cast<uint32_t>(EDEADLK));
}

TEST(Thread, EscapingExceptionEndsTheThreadWithItsExitCode) {
    Thread t;
    EXPECT_FALSE(t.start([](Thread&) -> uint32_t { throw std::runtime_error("boom"); }, kInfinite));
    EXPECT_EQ(t.exitCode(), kThreadExceptionExitCode);
    EXPECT_FALSE(t.start(Thread::Function{}, kInfinite));
    EXPECT_EQ(lastError(), static_cast<uint32_t>(EINVAL));
}

TEST(Thread, StopRequestIsSeenOnlyOnItsThread) {
    EXPECT_FALSE(currentThreadStopRequested());
    Thread t;
    std::atomic<bool> seen{false};
    ASSERT_TRUE(t.start(
        [&](Thread& self) {
            runUntilStopped(self);
            seen = currentThreadStopRequested();
            return 0u;
        },
        kInfinite));
    EXPECT_TRUE(t.stop(kGuardMs));
    EXPECT_TRUE(seen);
    EXPECT_FALSE(currentThreadStopRequested());
}

TEST(ThreadId, StableNonZeroAndUniqueAlsoForForeignThreads) {
    const uint32_t mine = currentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(currentThreadId(), mine);
    std::set<uint32_t> ids{mine};
    for (int i = 0; i < 4; ++i) {
        uint32_t other = 0;
        std::thread([&] { other = currentThreadId(); }).join();
        EXPECT_NE(other, 0u);
        EXPECT_TRUE(ids.insert(other).second);
    }
}

} // namespace
} // namespace platform
