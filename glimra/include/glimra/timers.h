#pragma once
// Window timers: each class starts its timers under the fixed ids it names,
// and a timer that elapses calls the owner's handler with its id. A backend
// runs them: Qt timers in programs, a manual backend in tests, which fire
// timers when the test says so (no real time passes in tests).
//
// Timers live in the GUI thread; a Timers object takes the backend current
// at its construction and stops its timers when it goes.

#include "glimra/export.h"
#include "glimra/types.h"

#include "platform/current_instance.h"

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace glimra {

class Timers;

class GLIMRA_EXPORT TimerBackend {
public:
    virtual ~TimerBackend() = default;
    // (Re)starts timer id of timers with the period in milliseconds.
    virtual void start(Timers* timers, UINT id, UINT periodMs) = 0;
    virtual void stop(Timers* timers, UINT id) = 0;
};

class GLIMRA_EXPORT Timers {
public:
    using Handler = std::function<void(UINT id)>;

    explicit Timers(Handler onTimer);
    ~Timers();
    Timers(const Timers&) = delete;
    Timers& operator=(const Timers&) = delete;

    // Starts timer id, or restarts it with the new period; returns id, 0 for id 0.
    UINT SetTimer(UINT id, UINT periodMs);
    // FALSE when the timer was not running.
    BOOL KillTimer(UINT id);
    void killAll();
    bool isRunning(UINT id) const { return running_.count(id) != 0; }
    // The period of a running timer, 0 otherwise.
    UINT period(UINT id) const;

    // The backend's call when timer id elapses; ignored when it no longer runs.
    void elapsed(UINT id);

private:
    Handler handler_;
    std::shared_ptr<TimerBackend> backend_;
    std::map<UINT, UINT> running_;
};

// Qt timers, one per running id.
class GLIMRA_EXPORT QtTimerBackend final : public TimerBackend {
public:
    QtTimerBackend();
    ~QtTimerBackend() override;
    void start(Timers* timers, UINT id, UINT periodMs) override;
    void stop(Timers* timers, UINT id) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// For tests: nothing elapses by itself.
class GLIMRA_EXPORT ManualTimerBackend final : public TimerBackend {
public:
    struct Entry {
        Timers* timers;
        UINT id;
        UINT periodMs;
    };

    void start(Timers* timers, UINT id, UINT periodMs) override;
    void stop(Timers* timers, UINT id) override;

    // Fires timer id of every owner that runs it; the number fired.
    int fire(UINT id);
    bool isRunning(UINT id) const;
    // The period of the first running timer with the id, 0 when none.
    UINT period(UINT id) const;
    std::vector<Entry> running() const { return running_; }

private:
    std::vector<Entry> running_;
};

// Installing null puts the Qt backend back; returns the backend installed before.
GLIMRA_EXPORT std::shared_ptr<TimerBackend> setTimerBackend(std::shared_ptr<TimerBackend> backend);
GLIMRA_EXPORT std::shared_ptr<TimerBackend> timerBackend();
using ScopedTimerBackend = platform::ScopedInstall<TimerBackend, &setTimerBackend>;

} // namespace glimra
