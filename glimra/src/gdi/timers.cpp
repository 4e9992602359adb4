// Window timers and their backends.

#include "glimra/timers.h"

#include <QTimer>

#include <algorithm>

namespace glimra {

Timers::Timers(Handler onTimer) : handler_(std::move(onTimer)), backend_(timerBackend()) {}

Timers::~Timers() {
    killAll();
}

UINT Timers::SetTimer(UINT id, UINT periodMs) {
    if (id == 0) {
        return 0;
    }
    running_[id] = periodMs;
    backend_->start(this, id, periodMs);
    return id;
}

BOOL Timers::KillTimer(UINT id) {
    if (running_.erase(id) == 0) {
        return FALSE;
    }
    backend_->stop(this, id);
    return TRUE;
}

void Timers::killAll() {
    while (!running_.empty()) {
        KillTimer(running_.begin()->first);
    }
}

UINT Timers::period(UINT id) const {
    const auto it = running_.find(id);
    return it == running_.end() ? 0 : it->second;
}

void Timers::elapsed(UINT id) {
    if (isRunning(id) && handler_) {
        handler_(id);
    }
}

struct QtTimerBackend::Impl {
    std::map<std::pair<Timers*, UINT>, std::unique_ptr<QTimer>> timers;
};

QtTimerBackend::QtTimerBackend() : impl_(std::make_unique<Impl>()) {}
QtTimerBackend::~QtTimerBackend() = default;

void QtTimerBackend::start(Timers* timers, UINT id, UINT periodMs) {
    std::unique_ptr<QTimer>& timer = impl_->timers[{timers, id}];
    if (!timer) {
        timer = std::make_unique<QTimer>();
        QObject::connect(timer.get(), &QTimer::timeout, [timers, id] { timers->elapsed(id); });
    }
    timer->start(static_cast<int>(std::min<UINT>(periodMs, 0x7FFFFFFF)));
}

void QtTimerBackend::stop(Timers* timers, UINT id) {
    const auto it = impl_->timers.find({timers, id});
    if (it != impl_->timers.end()) {
        // A timer may stop itself from its own time-out.
        it->second.release()->deleteLater();
        impl_->timers.erase(it);
    }
}

void ManualTimerBackend::start(Timers* timers, UINT id, UINT periodMs) {
    stop(timers, id);
    running_.push_back({timers, id, periodMs});
}

void ManualTimerBackend::stop(Timers* timers, UINT id) {
    std::erase_if(running_, [&](const Entry& e) { return e.timers == timers && e.id == id; });
}

int ManualTimerBackend::fire(UINT id) {
    std::vector<Timers*> owners;
    for (const Entry& e : running_) {
        if (e.id == id) {
            owners.push_back(e.timers);
        }
    }
    int fired = 0;
    for (Timers* owner : owners) {
        // An earlier handler may have stopped this one.
        const bool still = std::any_of(running_.begin(), running_.end(), [&](const Entry& e) {
            return e.timers == owner && e.id == id;
        });
        if (still) {
            owner->elapsed(id);
            ++fired;
        }
    }
    return fired;
}

bool ManualTimerBackend::isRunning(UINT id) const {
    return std::any_of(running_.begin(), running_.end(),
                       [id](const Entry& e) { return e.id == id; });
}

UINT ManualTimerBackend::period(UINT id) const {
    for (const Entry& e : running_) {
        if (e.id == id) {
            return e.periodMs;
        }
    }
    return 0;
}

namespace {
platform::CurrentInstance<TimerBackend, QtTimerBackend>& currentBackend() {
    static platform::CurrentInstance<TimerBackend, QtTimerBackend> backend;
    return backend;
}
} // namespace

std::shared_ptr<TimerBackend> setTimerBackend(std::shared_ptr<TimerBackend> backend) {
    return currentBackend().set(std::move(backend));
}

std::shared_ptr<TimerBackend> timerBackend() {
    return currentBackend().get();
}

} // namespace glimra
