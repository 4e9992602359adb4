#include "platform/clock.h"

#include "wait_internal.h"

#include <atomic>
#include <stdexcept>
#include <thread>

namespace platform {

namespace {
std::atomic<Clock*>& currentClock() {
    static std::atomic<Clock*> current{&monotonicClock()};
    return current;
}

// A sleep that only a stop request ends, or one that runs to its deadline on
// a clock that moves by itself.
bool sleepUntil(Clock& clock, TimePoint deadline) {
    return detail::waitStates({}, deadline, clock).result != WaitResult::Stopped;
}
} // namespace

TimePoint addSaturating(TimePoint t, Duration d) {
    if (d > Duration::zero() && t.time_since_epoch() > TimePoint::max().time_since_epoch() - d) {
        return TimePoint::max();
    }
    return t + d;
}

TimePoint deadlineAfterMs(const Clock& clock, uint32_t timeoutMs) {
    if (timeoutMs == kInfinite) {
        return TimePoint::max();
    }
    return addSaturating(clock.now(), std::chrono::milliseconds(timeoutMs));
}

uint32_t Clock::tickCount() const {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

// --- MonotonicClock

TimePoint MonotonicClock::now() const {
    return std::chrono::steady_clock::now();
}

bool MonotonicClock::sleepFor(Duration d) {
    if (d <= Duration::zero()) {
        std::this_thread::yield();
        return !detail::currentStopRequested();
    }
    return sleepUntil(*this, addSaturating(now(), d));
}

std::cv_status MonotonicClock::waitUntil(std::condition_variable& cv,
                                         std::unique_lock<std::mutex>& lock, TimePoint deadline) {
    if (deadline == TimePoint::max()) {
        cv.wait(lock);
        return std::cv_status::no_timeout;
    }
    return cv.wait_until(lock, deadline);
}

// --- VirtualClock

// One timed waiter. It lives on the waiter's stack; advance() pins it while
// it notifies without the clock's mutex, and the waiter leaves only unpinned.
struct VirtualClock::Timer {
    TimePoint deadline;
    std::condition_variable* cv;
    std::mutex* mutex;
    int pins = 0;
    Timer* next = nullptr;
};

VirtualClock::VirtualClock(TimePoint start) : now_(start) {}

VirtualClock::~VirtualClock() = default;

TimePoint VirtualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool VirtualClock::sleepFor(Duration d) {
    if (detail::currentStopRequested()) {
        return false;
    }
    if (d == Duration::max()) {
        return sleepUntil(*this, TimePoint::max());
    }
    if (d > Duration::zero()) {
        advance(d);
    } else {
        std::this_thread::yield();
    }
    return true;
}

std::cv_status VirtualClock::waitUntil(std::condition_variable& cv,
                                       std::unique_lock<std::mutex>& lock, TimePoint deadline) {
    if (deadline == TimePoint::max()) {
        cv.wait(lock);
        return std::cv_status::no_timeout;
    }
    Timer timer{deadline, &cv, lock.mutex()};
    {
        std::lock_guard guard(mutex_);
        if (now_ >= deadline) {
            return std::cv_status::timeout;
        }
        timer.next = timers_;
        timers_ = &timer;
        changed_.notify_all();
    }
    // The caller's mutex is held from the time check to here, and advance()
    // notifies under it, so no wake-up falls between the two.
    cv.wait(lock);
    // Leave without the caller's mutex: advance() may be about to take it.
    lock.unlock();
    bool timedOut;
    {
        std::unique_lock guard(mutex_);
        for (Timer** p = &timers_; *p != nullptr; p = &(*p)->next) {
            if (*p == &timer) {
                *p = timer.next;
                break;
            }
        }
        changed_.wait(guard, [&] { return timer.pins == 0; });
        timedOut = now_ >= deadline;
        changed_.notify_all();
    }
    lock.lock();
    return timedOut ? std::cv_status::timeout : std::cv_status::no_timeout;
}

void VirtualClock::advance(Duration d) {
    if (d < Duration::zero()) {
        throw std::invalid_argument("VirtualClock::advance: negative duration");
    }
    std::vector<Timer*> due;
    {
        std::lock_guard guard(mutex_);
        now_ = addSaturating(now_, d);
        for (Timer* t = timers_; t != nullptr; t = t->next) {
            if (t->deadline <= now_) {
                ++t->pins;
                due.push_back(t);
            }
        }
        changed_.notify_all();
    }
    if (due.empty()) {
        return;
    }
    for (Timer* t : due) {
        std::lock_guard waiterLock(*t->mutex);
        t->cv->notify_all();
    }
    std::lock_guard guard(mutex_);
    for (Timer* t : due) {
        --t->pins;
    }
    changed_.notify_all();
}

size_t VirtualClock::pendingLocked() const {
    size_t n = 0;
    for (const Timer* t = timers_; t != nullptr; t = t->next) {
        n += t->deadline > now_ ? 1 : 0;
    }
    return n;
}

size_t VirtualClock::pendingWaits() const {
    std::lock_guard guard(mutex_);
    return pendingLocked();
}

bool VirtualClock::waitForPendingWaits(size_t n, std::chrono::milliseconds realLimit) const {
    std::unique_lock guard(mutex_);
    return changed_.wait_for(guard, realLimit, [&] { return pendingLocked() >= n; });
}

// --- current clock

Clock& monotonicClock() {
    // Never destroyed: threads may still wait on it while statics go away.
    static MonotonicClock* clock = new MonotonicClock;
    return *clock;
}

Clock& clock() {
    return *currentClock().load(std::memory_order_acquire);
}

ScopedClock::ScopedClock(Clock& clock)
    : previous_(currentClock().exchange(&clock, std::memory_order_acq_rel)) {}

ScopedClock::~ScopedClock() {
    currentClock().store(previous_, std::memory_order_release);
}

TimePoint now() {
    return clock().now();
}
uint32_t tickCount() {
    return clock().tickCount();
}
bool sleepFor(Duration d) {
    return clock().sleepFor(d);
}

bool sleepMs(uint32_t ms) {
    return clock().sleepFor(ms == kInfinite ? Duration::max()
                                            : Duration(std::chrono::milliseconds(ms)));
}

} // namespace platform
