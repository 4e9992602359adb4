#include "platform/event.h"

#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace platform {
namespace {

// Waits started on threads of their own under a virtual clock; results are
// read once every waiting thread is joined.
class VirtualWaits : public ::testing::Test {
protected:
    // Every wait here is timed: moving time far ends any left by a failure.
    ~VirtualWaits() override {
        clk.advance(std::chrono::hours(24));
        join();
    }

    // Starts a timed wait and returns once it blocks on the clock.
    void start(std::function<WaitAnyResult()> wait) {
        results_.emplace_back();
        auto* slot = &results_.back();
        threads_.emplace_back([slot, wait = std::move(wait)] { *slot = wait(); });
        ASSERT_TRUE(clk.waitForPendingWaits(threads_.size() - joined_));
    }
    void startWait(Event& e, uint32_t timeoutMs) {
        start([&e, timeoutMs] { return WaitAnyResult{e.wait(timeoutMs), 0}; });
    }
    const std::deque<WaitAnyResult>& join() {
        for (; joined_ < threads_.size(); ++joined_) {
            threads_[joined_].join();
        }
        return results_;
    }
    // n timed waits on e, one set, then the rest time out: how many did the
    // set release?
    int releasedByOneSet(Event& e, int n) {
        for (int i = 0; i < n; ++i) {
            startWait(e, 1000);
        }
        e.set();
        clk.advance(1000ms);
        EXPECT_EQ(count(WaitResult::TimedOut), n - count(WaitResult::Signalled));
        return count(WaitResult::Signalled);
    }
    int count(WaitResult r) {
        int n = 0;
        for (const auto& x : join()) {
            n += x.result == r ? 1 : 0;
        }
        return n;
    }

    VirtualClock clk;
    ScopedClock installed{clk};

private:
    std::deque<WaitAnyResult> results_;
    std::deque<std::thread> threads_;
    size_t joined_ = 0;
};

TEST(Event, ManualResetStaysSignalledUntilReset) {
    Event e(ResetMode::Manual);
    EXPECT_EQ(e.wait(0), WaitResult::TimedOut);
    e.set();
    EXPECT_EQ(e.wait(0), WaitResult::Signalled);
    EXPECT_EQ(e.wait(0), WaitResult::Signalled);
    EXPECT_TRUE(e.isSignalled());
    e.reset();
    EXPECT_EQ(e.wait(0), WaitResult::TimedOut);
}

TEST(Event, AutoResetIsConsumedByOneWaitAndDoesNotCount) {
    Event e(ResetMode::Auto);
    e.set();
    e.set();
    EXPECT_TRUE(e.isSignalled());
    EXPECT_EQ(e.wait(0), WaitResult::Signalled);
    EXPECT_FALSE(e.isSignalled());
    EXPECT_EQ(e.wait(0), WaitResult::TimedOut);
}

TEST(Event, InitialStateAndReset) {
    Event autoSet(ResetMode::Auto, true);
    Event manualSet(ResetMode::Manual, true);
    autoSet.reset();
    EXPECT_EQ(autoSet.wait(0), WaitResult::TimedOut);
    EXPECT_EQ(manualSet.wait(0), WaitResult::Signalled);
}

TEST_F(VirtualWaits, TimedWaitEndsWhenVirtualTimeReachesTheDeadline) {
    Event e(ResetMode::Auto);
    startWait(e, 1000);
    // This thread's sleep moves virtual time; short of the deadline the other
    // thread's wait goes on.
    EXPECT_TRUE(sleepMs(999));
    EXPECT_EQ(clk.pendingWaits(), 1u);
    EXPECT_TRUE(sleepMs(1));
    EXPECT_EQ(join()[0].result, WaitResult::TimedOut);
    // A set after the time-out is kept for the next waiter.
    e.set();
    EXPECT_EQ(e.wait(0), WaitResult::Signalled);
}

TEST_F(VirtualWaits, SetBeforeTheDeadlineReleasesATimedWaiter) {
    Event e(ResetMode::Auto);
    startWait(e, 1000);
    clk.advance(500ms);
    e.set();
    EXPECT_EQ(join()[0].result, WaitResult::Signalled);
    EXPECT_FALSE(e.isSignalled());
}

TEST_F(VirtualWaits, AWaitLooksBeforeItSleepsOnlyAfterAQuickAnswer) {
    Event e(ResetMode::Auto);
    // Waits of this thread that looked for the signal before sleeping.
    auto looks = [&e](uint32_t timeoutMs, WaitResult expected) {
        const uint64_t before = spinningWaitsOnThisThread();
        EXPECT_EQ(e.wait(timeoutMs), expected);
        return spinningWaitsOnThisThread() - before;
    };
    e.set();
    EXPECT_EQ(looks(1000, WaitResult::Signalled), 1u); // a new event may answer quickly
    // A wait that runs out of time...
    std::atomic<uint64_t> looked{0};
    start([&] {
        const uint64_t before = spinningWaitsOnThisThread();
        const WaitResult r = e.wait(1000);
        looked = spinningWaitsOnThisThread() - before;
        return WaitAnyResult{r, 0};
    });
    clk.advance(1000ms);
    EXPECT_EQ(join()[0].result, WaitResult::TimedOut);
    EXPECT_EQ(looked.load(), 1u);
    // ...makes the next one go straight to the wait; its signal was there at
    // once, which counts as quick again.
    e.set();
    EXPECT_EQ(looks(1000, WaitResult::Signalled), 0u);
    e.set();
    EXPECT_EQ(looks(1000, WaitResult::Signalled), 1u);
    EXPECT_EQ(looks(0, WaitResult::TimedOut), 0u); // a poll never looks
}

TEST_F(VirtualWaits, OneSetReleasesExactlyOneAutoResetWaiter) {
    Event e(ResetMode::Auto);
    EXPECT_EQ(releasedByOneSet(e, 3), 1);
    EXPECT_FALSE(e.isSignalled());
}

TEST_F(VirtualWaits, OneSetReleasesEveryManualResetWaiter) {
    Event e(ResetMode::Manual);
    EXPECT_EQ(releasedByOneSet(e, 3), 3);
    EXPECT_TRUE(e.isSignalled());
}

TEST(WaitForAny, TakesLowestSignalledAndConsumesOnlyThat) {
    Event a(ResetMode::Auto);
    Event m(ResetMode::Manual);
    Event b(ResetMode::Auto);
    b.set();
    m.set();
    WaitAnyResult r = waitForAny({&a, &m, &b}, 0);
    EXPECT_EQ(r.result, WaitResult::Signalled);
    EXPECT_EQ(r.index, 1u);
    EXPECT_TRUE(m.isSignalled());
    EXPECT_TRUE(b.isSignalled());
    m.reset();
    r = waitForAny({&a, &m, &b}, 0);
    EXPECT_EQ(r.result, WaitResult::Signalled);
    EXPECT_EQ(r.index, 2u);
    EXPECT_FALSE(b.isSignalled());
    EXPECT_EQ(waitForAny({&a, &m, &b}, 0).result, WaitResult::TimedOut);
}

TEST_F(VirtualWaits, WaitForAnyBlocksUntilOneIsSetAndConsumesAnAutoEvent) {
    Event m(ResetMode::Manual);
    Event a(ResetMode::Auto);
    start([&] { return waitForAny({&m, &a}, 5000); });
    a.set();
    const WaitAnyResult r = join()[0];
    EXPECT_EQ(r.result, WaitResult::Signalled);
    EXPECT_EQ(r.index, 1u);
    EXPECT_FALSE(a.isSignalled());
    EXPECT_FALSE(m.isSignalled());
}

TEST_F(VirtualWaits, WaitForAnyTimesOut) {
    Event a(ResetMode::Auto);
    Event m(ResetMode::Manual);
    start([&] { return waitForAny({&a, &m}, 500); });
    clk.advance(499ms);
    EXPECT_EQ(clk.pendingWaits(), 1u);
    clk.advance(1ms);
    EXPECT_EQ(join()[0].result, WaitResult::TimedOut);
    // The waiter is gone: a set stays signalled.
    a.set();
    EXPECT_TRUE(a.isSignalled());
}

TEST_F(VirtualWaits, WaitForAnyShareOfAnAutoEventGoesToOnlyOneWaiter) {
    Event a(ResetMode::Auto);
    Event other(ResetMode::Auto);
    start([&] { return waitForAny({&other, &a}, 1000); });
    startWait(a, 1000);
    a.set();
    clk.advance(1000ms);
    EXPECT_EQ(count(WaitResult::Signalled), 1);
    EXPECT_EQ(count(WaitResult::TimedOut), 1);
    EXPECT_FALSE(a.isSignalled());
    EXPECT_FALSE(other.isSignalled());
}

TEST(WaitForAny, RefusesEmptyListAndNullObject) {
    Event e(ResetMode::Manual, true);
    setLastError(0);
    EXPECT_EQ(waitForAny({}, 0).result, WaitResult::Failed);
    EXPECT_EQ(lastError(), static_cast<uint32_t>(EINVAL));
    EXPECT_EQ(waitForAny({&e, nullptr}, kInfinite).result, WaitResult::Failed);
}

TEST_F(VirtualWaits, EventDestroyedWhileWaitedOnLetsTheWaitTimeOut) {
    auto e = std::make_unique<Event>(ResetMode::Auto);
    startWait(*e, 1000);
    e.reset();
    clk.advance(1000ms);
    EXPECT_EQ(join()[0].result, WaitResult::TimedOut);
}

} // namespace
} // namespace platform
