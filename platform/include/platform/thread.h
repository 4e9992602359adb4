#pragma once
// Threads with a start hand-shake, a cooperative stop and a bounded,
// always-joined end.
//
// start(fn, timeoutMs) runs fn on a new thread and waits (on the current
// clock) until fn calls signalRunning(). It returns true once that happened.
// It returns false when the thread could not be created, when fn ended without
// signalling (detected at once, whatever the time-out), when the time-out
// passed first, or when the calling thread was stopped meanwhile; the new
// thread has then been asked to stop and joined, so nothing of it runs on.
//
// requestStop() is cooperative: fn sees it through stopRequested() (or
// currentThreadStopRequested() anywhere on that thread), and every platform
// wait and sleep running on that thread ends at once (WaitResult::Stopped,
// sleep returns false; see event.h, clock.h). Code blocked elsewhere (a plain
// std::mutex, a system call) is not interrupted.
//
// stop(timeoutMs) requests the stop and waits for the end: true when the
// thread ended and was joined (also when none runs), false when the time-out
// passed first (ETIMEDOUT), the caller is that thread (EDEADLK) or the caller
// was itself stopped (EINTR); the thread then still runs and is joined later.
// The destructor requests the stop and joins, without limit: a Thread never
// detaches. Don't destroy a Thread from its own thread.
//
// finished() is signalled while no thread of this object runs: before the
// first start and from the end of fn until the next start; usable in
// waitForAny. The object can be started again once the previous thread was
// joined.
//
// Ids: every thread has a 32-bit id, unique in the process and never 0;
// platform threads get theirs when started, other threads (the main thread)
// on their first currentThreadId(). The message layer uses them as thread
// handles.

#include "platform/clock.h"
#include "platform/event.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace platform {

// Exit code of a thread whose function let an exception escape.
inline constexpr uint32_t kThreadExceptionExitCode = 0xFFFFFFFFu;

class Thread {
public:
    // The thread function; its result is the thread's exit code.
    using Function = std::function<uint32_t(Thread& self)>;

    Thread();
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // False also when a previous thread of this object has not been joined
    // (EBUSY) or fn is empty (EINVAL).
    bool start(Function fn, uint32_t runningTimeoutMs);

    // Called by the thread function once it is up.
    void signalRunning();

    void requestStop();
    bool stopRequested() const;
    bool stop(uint32_t timeoutMs);
    // Waits for the end without limit, not cancellable.
    void join();

    // Signalled running and not yet finished.
    bool isRunning() const;
    Waitable& finished();
    // The exit code of the last thread once it ended; empty before.
    std::optional<uint32_t> exitCode() const;
    // Id of the last thread started (0 before the first start).
    uint32_t id() const;

private:
    struct State;
    static void run(State* state, Thread* self, Function fn);
    std::unique_ptr<State> state_;
};

uint32_t currentThreadId();
// False on threads not started by Thread.
bool currentThreadStopRequested();

} // namespace platform
