#include "core/locks.h"

namespace tarvik {

// Function-local statics: they exist from the first use on, whatever the order
// in which the library's files are initialised at load, and outlive the
// unload code that still takes them.
std::recursive_mutex& deviceLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::recursive_mutex& rawDataLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::recursive_mutex& errorLock() {
    static std::recursive_mutex lock;
    return lock;
}

} // namespace tarvik
