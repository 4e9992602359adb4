#pragma once
// The seams of controls that watch the desktop, set by the test.

#include "glimra/desktop.h"
#include "glimra/timers.h"

#include <memory>

namespace glimra::test {

// Timers that fire only when told and a desktop the test sets, in place of
// the real ones while the object lives.
struct FakeSeams {
    std::shared_ptr<ManualTimerBackend> timers = std::make_shared<ManualTimerBackend>();
    ScopedTimerBackend installTimers{timers};
    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
    ScopedDesktop installDesktop{desktop};
};

} // namespace glimra::test
