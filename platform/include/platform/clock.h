#pragma once
// The one clock through which every wait, poll, retry and time-out of the
// platform layer and its users goes, so that tests can run long time-outs on
// a virtual clock in no real time.
//
// Semantics shared by every clock:
// - now() is monotonic: it never goes backwards.
// - tickCount() is the millisecond count of now() since the clock's epoch,
//   wrapping modulo 2^32 (compare tick counts by unsigned subtraction).
// - sleepFor(d) returns true after d has passed on the clock, and false at once
//   when the calling platform thread has a stop request (pending before the
//   sleep or arriving during it; see thread.h). A sleep of 0 only yields.
//   Duration::max() sleeps until a stop request ends it.
// - waitUntil(cv, lock, deadline) is the timed-wait primitive: lock holds
//   cv's mutex; it blocks until cv is notified, the deadline passes on this
//   clock, or spuriously, and may release and re-take the lock meanwhile (as
//   std::condition_variable does). It returns timeout exactly when the deadline
//   has passed at return. TimePoint::max() is no deadline. It does not look at
//   stop requests: cancellable waits are the events of event.h.
//
// MonotonicClock: real time from the system's monotonic clock; its epoch is
// that of std::chrono::steady_clock (boot on Linux), like the tick count.
//
// VirtualClock, for tests: time moves only
// - when a thread calls advance(d), or
// - when a thread sleeps on it: sleepFor(d) moves time forward by d at once and
//   returns without blocking.
// Either wakes every timed waiter (waitUntil, and so every timed event wait)
// whose deadline is then reached. A timed waiter never wakes because real time
// passes. So a 120 s poll runs in microseconds, and a test decides exactly when
// a time-out happens. A virtual sleep of Duration::max() blocks (really) until
// a stop request. Don't advance or sleep on a virtual clock while holding a
// mutex that a timed waiter on that clock waits with: waking it takes that
// mutex.
//
// The current clock (clock()) is the monotonic clock unless a ScopedClock has
// installed another one. Install it before starting the threads that use it;
// it must outlive every wait on it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace platform {

using Duration = std::chrono::nanoseconds;
using TimePoint = std::chrono::steady_clock::time_point;

// Time-out value meaning "no time-out" for every millisecond time-out.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

class Clock {
public:
    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;
    virtual ~Clock() = default;

    virtual TimePoint now() const = 0;
    virtual bool sleepFor(Duration d) = 0;
    virtual std::cv_status waitUntil(std::condition_variable& cv,
                                     std::unique_lock<std::mutex>& lock, TimePoint deadline) = 0;

    uint32_t tickCount() const;
};

class MonotonicClock final : public Clock {
public:
    TimePoint now() const override;
    bool sleepFor(Duration d) override;
    std::cv_status waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                             TimePoint deadline) override;
};

class VirtualClock final : public Clock {
public:
    explicit VirtualClock(TimePoint start = TimePoint{});
    ~VirtualClock() override;

    TimePoint now() const override;
    bool sleepFor(Duration d) override;
    std::cv_status waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                             TimePoint deadline) override;

    // Moves time forward by d (saturating at TimePoint::max()); throws
    // std::invalid_argument for a negative d.
    void advance(Duration d);

    // Timed waits whose deadline is still ahead.
    size_t pendingWaits() const;
    // Lets a test wait until n timed waits are pending (so that another thread
    // is known to block). Returns false if that did not happen within
    // realLimit of real time, a guard against a hung test, not a measurement.
    bool waitForPendingWaits(size_t n,
                             std::chrono::milliseconds realLimit = std::chrono::seconds(30)) const;

private:
    struct Timer;
    size_t pendingLocked() const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    TimePoint now_;
    Timer* timers_ = nullptr; // intrusive list, guarded by mutex_
};

// The process's monotonic clock.
Clock& monotonicClock();
// The current clock.
Clock& clock();

// Installs a clock as the current one for its lifetime, then restores the
// clock it replaced. Nest them in reverse order of construction.
class ScopedClock {
public:
    explicit ScopedClock(Clock& clock);
    ~ScopedClock();
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;

private:
    Clock* previous_;
};

// The same on the current clock.
TimePoint now();
uint32_t tickCount();
bool sleepFor(Duration d);
// Sleep in milliseconds; kInfinite sleeps until a stop request.
bool sleepMs(uint32_t ms);

// t + d, saturating at TimePoint::max() (which means "never").
TimePoint addSaturating(TimePoint t, Duration d);
// The deadline of a millisecond time-out started now on the clock
// (TimePoint::max() for kInfinite).
TimePoint deadlineAfterMs(const Clock& clock, uint32_t timeoutMs);

} // namespace platform
