#include "core/lifecycle_seams.h"

namespace tarvik {

LifecycleSeams& lifecycleSeams() {
    static LifecycleSeams seams;
    return seams;
}

void resetLifecycleSeams() {
    lifecycleSeams() = LifecycleSeams{};
}

} // namespace tarvik
