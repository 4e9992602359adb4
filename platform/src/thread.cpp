#include "platform/thread.h"

#include "platform/last_error.h"
#include "wait_internal.h"

#include <atomic>
#include <cerrno>
#include <new>
#include <system_error>
#include <thread>

namespace platform {

namespace {
std::atomic<uint32_t> g_nextThreadId{1};
thread_local uint32_t t_threadId = 0;

uint32_t newThreadId() {
    for (;;) {
        uint32_t id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
        if (id != 0) {
            return id;
        }
    }
}
} // namespace

struct Thread::State {
    std::mutex control; // guards thread
    std::thread thread;
    Event running{ResetMode::Manual};
    Event finished{ResetMode::Manual, true};
    detail::StopState stop;
    std::atomic<uint32_t> id{0};
    std::atomic<bool> ended{false};
    std::atomic<uint32_t> exitCode{0};
};

Thread::Thread() : state_(std::make_unique<State>()) {}

Thread::~Thread() {
    requestStop();
    join();
}

bool Thread::start(Function fn, uint32_t runningTimeoutMs) {
    if (!fn) {
        setLastError(EINVAL);
        return false;
    }
    {
        std::lock_guard lock(state_->control);
        if (state_->thread.joinable()) {
            setLastError(EBUSY);
            return false;
        }
        state_->running.reset();
        state_->finished.reset();
        {
            std::lock_guard dispatch(detail::dispatchMutex());
            state_->stop.requested.store(false, std::memory_order_relaxed);
        }
        state_->ended.store(false);
        state_->id.store(newThreadId());
        try {
            state_->thread = std::thread(&Thread::run, state_.get(), this, std::move(fn));
        } catch (const std::system_error& e) {
            state_->finished.set();
            setLastError(static_cast<uint32_t>(e.code().value()));
            return false;
        } catch (const std::bad_alloc&) {
            state_->finished.set();
            setLastError(ENOMEM);
            return false;
        }
    }
    const WaitAnyResult r = waitForAny({&state_->running, &state_->finished}, runningTimeoutMs);
    if (r.result == WaitResult::Signalled && r.index == 0) {
        return true;
    }
    requestStop();
    join();
    // Ended without signalling, timed out, or we were stopped ourselves.
    setLastError(r.result == WaitResult::Signalled  ? ESRCH
                 : r.result == WaitResult::TimedOut ? ETIMEDOUT
                                                    : EINTR);
    return false;
}

void Thread::run(State* state, Thread* self, Function fn) {
    detail::setCurrentStopState(&state->stop);
    t_threadId = state->id.load();
    uint32_t code = kThreadExceptionExitCode;
    try {
        // Destroyed before the end is signalled, with everything it captured.
        Function f = std::move(fn);
        code = f(*self);
    } catch (...) {
        code = kThreadExceptionExitCode;
    }
    detail::setCurrentStopState(nullptr);
    state->exitCode.store(code);
    state->ended.store(true);
    // Last touch of the object: a joiner may destroy it once this is seen.
    state->finished.set();
}

void Thread::signalRunning() {
    state_->running.set();
}

void Thread::requestStop() {
    detail::requestStop(state_->stop);
}

bool Thread::stopRequested() const {
    return state_->stop.requested.load(std::memory_order_acquire);
}

bool Thread::stop(uint32_t timeoutMs) {
    if (detail::currentStopState() == &state_->stop) {
        setLastError(EDEADLK);
        return false;
    }
    requestStop();
    const WaitResult r = state_->finished.wait(timeoutMs);
    if (r != WaitResult::Signalled) {
        if (r == WaitResult::TimedOut) {
            setLastError(ETIMEDOUT);
        }
        return false;
    }
    join();
    return true;
}

void Thread::join() {
    std::lock_guard lock(state_->control);
    if (state_->thread.joinable() && state_->thread.get_id() != std::this_thread::get_id()) {
        state_->thread.join();
    }
}

bool Thread::isRunning() const {
    return state_->running.isSignalled() && !state_->finished.isSignalled();
}

Waitable& Thread::finished() {
    return state_->finished;
}

std::optional<uint32_t> Thread::exitCode() const {
    if (!state_->ended.load()) {
        return std::nullopt;
    }
    return state_->exitCode.load();
}

uint32_t Thread::id() const {
    return state_->id.load();
}

uint32_t currentThreadId() {
    if (t_threadId == 0) {
        t_threadId = newThreadId();
    }
    return t_threadId;
}

bool currentThreadStopRequested() {
    return detail::currentStopRequested();
}

} // namespace platform
