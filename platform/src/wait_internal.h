#pragma once
// Shared by the clock, the events and the threads: one mutex guards the state
// of every waitable object and every stop request, so that a wait on several
// objects needs no lock order and a stop request can reach any blocked wait.

#include "platform/clock.h"
#include "platform/event.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace platform::detail {

std::mutex& dispatchMutex();

// One blocked wait of one thread.
struct WaitBlock {
    std::condition_variable cv;
    size_t satisfiedBy = 0;
    bool satisfied = false;
};

struct WaitableState {
    WaitableState(bool manual, bool initial) : manualReset(manual), signalled(initial) {}

    struct Waiter {
        WaitBlock* block;
        size_t index;
    };

    const bool manualReset;
    // Written under the dispatch mutex; read without it by a wait's first spin.
    std::atomic<bool> signalled;
    // The last wait that took this object had its answer within a
    // millisecond: the next one looks before it sleeps. When the last signal
    // came (steady clock, ns), so that a waiter woken late under load still
    // sees a quick answer as quick. Hints only, hence relaxed.
    std::atomic<bool> answersQuickly{true};
    std::atomic<int64_t> signalledAt{0};
    std::vector<Waiter> waiters; // in arrival order
};

// Stop request of one platform thread.
struct StopState {
    std::atomic<bool> requested{false}; // written under the dispatch mutex
    WaitBlock* blocked = nullptr;       // the wait the thread is blocked in
};

// The calling thread's stop state; null on threads not started by Thread.
StopState* currentStopState();
void setCurrentStopState(StopState* state);
bool currentStopRequested();

void requestStop(StopState& state);

// The wait behind every blocking call: objects may be empty (a sleep).
// *blocked (if given) tells whether it had to block.
WaitAnyResult waitStates(std::span<const std::shared_ptr<WaitableState>> states, TimePoint deadline,
                         Clock& clock, bool* blocked = nullptr);

} // namespace platform::detail
