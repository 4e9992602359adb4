#pragma once
// CIntervalTimer: tells whether a number of milliseconds has passed since the
// interval started, on the platform clock (platform::clock(), the current one
// at each call), so that waits built on it run on a virtual clock in tests.

#include "dorvel/api.h"

#include "platform/clock.h"

#include <cstdint>

namespace dorvel {

class DORVEL_API CIntervalTimer {
public:
    // The interval starts at construction, so a timer never started never
    // claims a long interval.
    CIntervalTimer();

    // The interval starts now.
    void Start();

    // True once ms milliseconds have passed since the start; always true for
    // ms of 0 or less.
    bool HasElapsed(int32_t ms) const;

private:
    platform::TimePoint start_;
};

} // namespace dorvel
