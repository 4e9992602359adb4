#include "dorvel/interval_timer.h"

#include <chrono>

namespace dorvel {

CIntervalTimer::CIntervalTimer() : start_(platform::now()) {}

void CIntervalTimer::Start() {
    start_ = platform::now();
}

bool CIntervalTimer::HasElapsed(int32_t ms) const {
    if (ms <= 0) {
        return true;
    }
    return platform::now() - start_ >= std::chrono::milliseconds(ms);
}

} // namespace dorvel
