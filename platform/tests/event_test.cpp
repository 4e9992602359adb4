#include "platform/event.h"

#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace platform {
namespace {

// Runs one wait per thread and collects the results once all are joined.
class Waiters {
public:
    void add(std::function<WaitAnyResult()> wait) {
        results_.emplace_back();
        auto* slot = &results_.back();
        threads_.emplace_back([slot, wait = std::move(wait)] { *slot = wait(); });
    }
    std::vector<WaitAnyResult> join() {
        for (auto& t : threads_) {
            t.join();
        }
        return {results_.begin(), results_.end()};
    }
    int count(WaitResult r) {
        int n = 0;
        for (const auto& x : results_) {
            n += x.result == r ? 1 : 0;
        }
        return n;
    }

private:
    std::deque<WaitAnyResult> results_;
    std::vector<std::thread> threads_;
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

TEST(Event, TimedWaitEndsWhenVirtualTimeReachesTheDeadline) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Event e(ResetMode::Auto);
    Waiters w;
    w.add([&] { return WaitAnyResult{e.wait(1000), 0}; });
    ASSERT_TRUE(clk.waitForPendingWaits(1));
    // Another thread's sleep moves virtual time; short of the deadline the
    // wait goes on.
    EXPECT_TRUE(sleepMs(999));
    EXPECT_EQ(clk.pendingWaits(), 1u);
    EXPECT_TRUE(sleepMs(1));
    EXPECT_EQ(w.join()[0].result, WaitResult::TimedOut);
    // A set after the time-out is kept for the next waiter.
    e.set();
    EXPECT_EQ(e.wait(0), WaitResult::Signalled);
}

TEST(Event, SetBeforeTheDeadlineReleasesATimedWaiter) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Event e(ResetMode::Auto);
    Waiters w;
    w.add([&] { return WaitAnyResult{e.wait(1000), 0}; });
    ASSERT_TRUE(clk.waitForPendingWaits(1));
    clk.advance(500ms);
    e.set();
    EXPECT_EQ(w.join()[0].result, WaitResult::Signalled);
    EXPECT_FALSE(e.isSignalled());
}

TEST(Event, OneSetReleasesExactlyOneAutoResetWaiter) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Event e(ResetMode::Auto);
    Waiters w;
    for (int i = 0; i < 3; ++i) {
        w.add([&] { return WaitAnyResult{e.wait(1000), 0}; });
    }
    ASSERT_TRUE(clk.waitForPendingWaits(3));
    e.set();
    clk.advance(1000ms);
    w.join();
    EXPECT_EQ(w.count(WaitResult::Signalled), 1);
    EXPECT_EQ(w.count(WaitResult::TimedOut), 2);
    EXPECT_FALSE(e.isSignalled());
}

TEST(Event, OneSetReleasesEveryManualResetWaiter) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Event e(ResetMode::Manual);
    Waiters w;
    for (int i = 0; i < 3; ++i) {
        w.add([&] { return WaitAnyResult{e.wait(1000), 0}; });
    }
    ASSERT_TRUE(clk.waitForPendingWaits(3));
    e.set();
    clk.advance(1000ms);
    w.join();
    EXPECT_EQ(w.count(WaitResult::Signalled), 3);
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

TEST(WaitForAny, BlocksUntilOneIsSetAndConsumesAnAutoEvent) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Event m(ResetMode::Manual);
    Event a(ResetMode::Auto);
    Waiters w;
    w.add([&] { return waitForAny({&m, &a}, 5000); });
    ASSERT_TRUE(clk.waitForPendingWaits(1));
    a.set();
    const WaitAnyResult r = w.join()[0];
    EXPECT_EQ(r.result, WaitResult::Signalled);
    EXPECT_EQ(r.index, 1u);
    EXPECT_FALSE(a.isSignalled());
    EXPECT_FALSE(m.isSignalled());
}

TEST(WaitForAny, TimesOutOnTheVirtualClock) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Event a(ResetMode::Auto);
    Event m(ResetMode::Manual);
    Waiters w;
    w.add([&] { return waitForAny({&a, &m}, 500); });
    ASSERT_TRUE(clk.waitForPendingWaits(1));
    clk.advance(499ms);
    EXPECT_EQ(clk.pendingWaits(), 1u);
    clk.advance(1ms);
    EXPECT_EQ(w.join()[0].result, WaitResult::TimedOut);
    // The waiter is gone: a set stays signalled.
    a.set();
    EXPECT_TRUE(a.isSignalled());
}

TEST(WaitForAny, AutoEventGoesToOnlyOneOfTwoWaiters) {
    VirtualClock clk;
    ScopedClock installed(clk);
    Event a(ResetMode::Auto);
    Event other(ResetMode::Auto);
    Waiters w;
    w.add([&] { return waitForAny({&other, &a}, 1000); });
    w.add([&] { return WaitAnyResult{a.wait(1000), 0}; });
    ASSERT_TRUE(clk.waitForPendingWaits(2));
    a.set();
    clk.advance(1000ms);
    w.join();
    EXPECT_EQ(w.count(WaitResult::Signalled), 1);
    EXPECT_EQ(w.count(WaitResult::TimedOut), 1);
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

TEST(Event, DestroyedWhileWaitedOnLetsTheWaitTimeOut) {
    VirtualClock clk;
    ScopedClock installed(clk);
    auto e = std::make_unique<Event>(ResetMode::Auto);
    Waiters w;
    w.add([ev = e.get()] { return WaitAnyResult{ev->wait(1000), 0}; });
    ASSERT_TRUE(clk.waitForPendingWaits(1));
    e.reset();
    clk.advance(1000ms);
    EXPECT_EQ(w.join()[0].result, WaitResult::TimedOut);
}

} // namespace
} // namespace platform
