#pragma once
// Events with manual or automatic reset, timed waits on one of them, and a
// wait for any of several waitable objects (events, and the finished state of
// a thread, thread.h).
//
// - A manual-reset event stays signalled until reset(): every wait on it
//   succeeds meanwhile, and one set() releases every thread waiting on it.
// - An auto-reset event is consumed by the one wait that gets it: one set()
//   releases exactly one waiting thread (the one waiting longest), or, when
//   none waits, leaves the event signalled until one wait takes it. Setting a
//   signalled event again changes nothing (no count).
// - waitForAny takes the lowest-indexed object that is signalled when it is
//   called; otherwise it blocks until one object is set and returns that one.
//   An auto-reset event is consumed only for the waiter that it releases; the
//   other objects of the wait are left as they are.
//
// Time-outs are milliseconds on the current clock (clock.h), or kInfinite. A
// time-out of 0 only polls. On a virtual clock a timed wait ends when virtual
// time reaches its deadline, never because real time passes.
//
// Cancellation: a wait that would block on a thread started by
// platform::Thread ends with WaitResult::Stopped as soon as stop is requested
// for that thread (at once when the request is already pending). An object
// already signalled is still taken when stop is pending; a signal consumed for
// the waiter is never lost. Waits on other threads (main thread, foreign
// threads) are not cancellable.
//
// Every wait result other than Signalled also sets the calling thread's last
// error (last_error.h): Stopped EINTR, Failed EINVAL.
//
// Objects are thread-safe. Destroying an object while a wait on it runs is
// allowed: the wait can then only time out or be stopped.

#include "platform/clock.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

namespace platform {

namespace detail {
struct WaitableState;
}

enum class WaitResult {
    Signalled, // the object (waitForAny: the one at WaitAnyResult::index) was taken
    TimedOut,
    Stopped, // the calling thread's stop was requested
    Failed   // bad arguments
};

struct WaitAnyResult {
    WaitResult result;
    size_t index; // valid when result is Signalled
};

// Something a thread can wait for.
class Waitable {
public:
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;

    WaitResult wait(uint32_t timeoutMs);
    // Looks without waiting and without consuming an auto-reset signal.
    bool isSignalled() const;

protected:
    Waitable(bool manualReset, bool initiallySignalled);
    ~Waitable();

    void signal();
    void unsignal();

private:
    friend WaitAnyResult waitForAny(std::span<Waitable* const>, uint32_t);
    std::shared_ptr<detail::WaitableState> state_;
};

enum class ResetMode { Manual, Auto };

class Event : public Waitable {
public:
    explicit Event(ResetMode mode, bool initiallySet = false);

    void set() { signal(); }
    void reset() { unsignal(); }
};

// Returns the index of the object taken. An empty list, or a null object,
// fails (EINVAL).
WaitAnyResult waitForAny(std::span<Waitable* const> objects, uint32_t timeoutMs);
WaitAnyResult waitForAny(std::initializer_list<Waitable*> objects, uint32_t timeoutMs);

// A timed or endless wait looks for a signal for up to 50 µs before it
// sleeps, but only while one of its objects answered its last wait within a
// millisecond (or without sleeping): a worker idling between spectra does not
// burn that time on every wait. The number of waits of the calling thread that
// looked, for tests and benchmarks.
uint64_t spinningWaitsOnThisThread();

} // namespace platform
