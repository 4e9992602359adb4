#include "platform/event.h"

#include "platform/last_error.h"
#include "wait_internal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace platform {
namespace detail {

std::mutex& dispatchMutex() {
    static std::mutex mutex;
    return mutex;
}

namespace {
thread_local StopState* t_stopState = nullptr;

void satisfy(WaitableState::Waiter& waiter) {
    waiter.block->satisfied = true;
    waiter.block->satisfiedBy = waiter.index;
    waiter.block->cv.notify_one();
}

// Takes the first signalled object, consuming an auto-reset one.
bool takeSignalled(std::span<const std::shared_ptr<WaitableState>> states, size_t& index) {
    for (size_t i = 0; i < states.size(); ++i) {
        if (states[i]->signalled) {
            if (!states[i]->manualReset) {
                states[i]->signalled = false;
            }
            index = i;
            return true;
        }
    }
    return false;
}
} // namespace

StopState* currentStopState() {
    return t_stopState;
}
void setCurrentStopState(StopState* state) {
    t_stopState = state;
}

bool currentStopRequested() {
    return t_stopState != nullptr && t_stopState->requested.load(std::memory_order_acquire);
}

void requestStop(StopState& state) {
    std::lock_guard lock(dispatchMutex());
    state.requested.store(true, std::memory_order_release);
    if (state.blocked != nullptr) {
        state.blocked->cv.notify_one();
    }
}

WaitAnyResult waitStates(std::span<const std::shared_ptr<WaitableState>> states, TimePoint deadline,
                         Clock& clock, bool* blocked) {
    if (blocked != nullptr) {
        *blocked = false;
    }
    std::unique_lock lock(dispatchMutex());
    size_t index = 0;
    if (takeSignalled(states, index)) {
        return {WaitResult::Signalled, index};
    }
    StopState* stop = t_stopState;
    if (stop != nullptr && stop->requested.load(std::memory_order_relaxed)) {
        return {WaitResult::Stopped, 0};
    }
    // An endless wait never asks the clock: a thread may begin one just as
    // the (test) clock it found current goes away.
    if (deadline != TimePoint::max() && clock.now() >= deadline) {
        return {WaitResult::TimedOut, 0};
    }

    if (blocked != nullptr) {
        *blocked = true;
    }
    WaitBlock block;
    for (size_t i = 0; i < states.size(); ++i) {
        states[i]->waiters.push_back({&block, i});
    }
    if (stop != nullptr) {
        stop->blocked = &block;
    }
    WaitAnyResult result{WaitResult::TimedOut, 0};
    for (;;) {
        // A signal handed to this wait comes first: it has been consumed.
        if (block.satisfied) {
            result = {WaitResult::Signalled, block.satisfiedBy};
            break;
        }
        if (stop != nullptr && stop->requested.load(std::memory_order_relaxed)) {
            result = {WaitResult::Stopped, 0};
            break;
        }
        if (deadline == TimePoint::max()) {
            block.cv.wait(lock);
        } else if (clock.now() >= deadline) {
            break;
        } else {
            clock.waitUntil(block.cv, lock, deadline);
        }
    }
    for (const auto& state : states) {
        std::erase_if(state->waiters, [&](const auto& w) { return w.block == &block; });
    }
    if (stop != nullptr) {
        stop->blocked = nullptr;
    }
    return result;
}

} // namespace detail

Waitable::Waitable(bool manualReset, bool initiallySignalled)
    : state_(std::make_shared<detail::WaitableState>(manualReset, initiallySignalled)) {}

Waitable::~Waitable() = default;

void Waitable::signal() {
    const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::lock_guard lock(detail::dispatchMutex());
    detail::WaitableState& s = *state_;
    s.signalledAt.store(now, std::memory_order_relaxed);
    for (auto& waiter : s.waiters) {
        if (waiter.block->satisfied) {
            continue;
        }
        detail::satisfy(waiter);
        if (!s.manualReset) {
            // Handed over: the event stays non-signalled.
            s.signalled = false;
            return;
        }
    }
    s.signalled = true;
}

void Waitable::unsignal() {
    std::lock_guard lock(detail::dispatchMutex());
    state_->signalled = false;
}

bool Waitable::isSignalled() const {
    std::lock_guard lock(detail::dispatchMutex());
    return state_->signalled;
}

WaitResult Waitable::wait(uint32_t timeoutMs) {
    Waitable* self = this;
    return waitForAny(std::span<Waitable* const>(&self, 1), timeoutMs).result;
}

Event::Event(ResetMode mode, bool initiallySet)
    : Waitable(mode == ResetMode::Manual, initiallySet) {}

namespace {

// An answer that comes within microseconds, as a worker's to its caller does,
// would otherwise cost a sleep and a wake-up on each side: a wait looks a
// little while before it sleeps. Bounded in real time whatever clock the wait
// runs on; it changes only when the wait sleeps, never its outcome.
constexpr auto kSpinLimit = std::chrono::microseconds(50);
// An answer within this time counts as quick; after a slower one the spin
// would be wasted, as on a worker idling between spectra or a caller waiting
// out a long integration.
constexpr auto kQuickAnswer = std::chrono::milliseconds(1);

// The signal came soon after the wait began, however late the waiter woke.
bool answeredSoonAfter(const detail::WaitableState& state,
                       std::chrono::steady_clock::time_point started) {
    const std::chrono::steady_clock::time_point answered{
        std::chrono::steady_clock::duration(state.signalledAt.load(std::memory_order_relaxed))};
    return answered - started <= kQuickAnswer;
}

thread_local uint64_t t_spinningWaits = 0;

// True when a signal came within the spin.
bool spinForSignal(std::span<const std::shared_ptr<detail::WaitableState>> states) {
    ++t_spinningWaits;
    const auto until = std::chrono::steady_clock::now() + kSpinLimit;
    for (unsigned round = 1;; ++round) {
        for (const auto& state : states) {
            if (state->signalled.load(std::memory_order_acquire)) {
                return true;
            }
        }
        if (detail::currentStopRequested()) {
            return false;
        }
        if (round % 16 == 0) {
            if (std::chrono::steady_clock::now() >= until) {
                return false;
            }
            std::this_thread::yield();
        }
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

} // namespace

uint64_t spinningWaitsOnThisThread() {
    return t_spinningWaits;
}

WaitAnyResult waitForAny(std::span<Waitable* const> objects, uint32_t timeoutMs) {
    if (objects.empty() || std::ranges::find(objects, nullptr) != objects.end()) {
        setLastError(EINVAL);
        return {WaitResult::Failed, 0};
    }
    // Copies keep the states alive should an object be destroyed meanwhile.
    std::vector<std::shared_ptr<detail::WaitableState>> states;
    states.reserve(objects.size());
    for (Waitable* object : objects) {
        states.push_back(object->state_);
    }
    Clock& current = clock();
    if (timeoutMs == 0) {
        return detail::waitStates(states, deadlineAfterMs(current, timeoutMs), current);
    }
    const auto started = std::chrono::steady_clock::now();
    bool spunIn = false;
    if (std::ranges::any_of(states, [](const auto& s) {
            return s->answersQuickly.load(std::memory_order_relaxed);
        })) {
        spunIn = spinForSignal(states);
    }
    bool blocked = false;
    WaitAnyResult result =
        detail::waitStates(states, deadlineAfterMs(current, timeoutMs), current, &blocked);
    if (result.result == WaitResult::Stopped) {
        setLastError(EINTR);
    }
    const bool quick = result.result == WaitResult::Signalled &&
                       (spunIn || !blocked || answeredSoonAfter(*states[result.index], started));
    for (size_t i = 0; i < states.size(); ++i) {
        states[i]->answersQuickly.store(quick && i == result.index, std::memory_order_relaxed);
    }
    return result;
}

WaitAnyResult waitForAny(std::initializer_list<Waitable*> objects, uint32_t timeoutMs) {
    return waitForAny(std::span<Waitable* const>(objects.begin(), objects.size()), timeoutMs);
}

} // namespace platform
