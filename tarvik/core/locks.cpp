#include "core/locks.h"

namespace tarvik {

bool DeviceLock::ownedHere() const {
    // Only this thread ever stores its own ID.
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void DeviceLock::taken() {
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
}

void DeviceLock::lock() {
    if (ownedHere()) {
        ++depth_;
        return;
    }
    {
        std::unique_lock queue(queueMutex_);
        queueFree_.wait(queue, [this] { return closesWaiting_ == 0; });
    }
    mutex_.lock();
    taken();
}

bool DeviceLock::tryTake(bool behindCloses) {
    if (ownedHere()) {
        ++depth_;
        return true;
    }
    if (behindCloses) {
        std::lock_guard queue(queueMutex_);
        if (closesWaiting_ != 0) {
            return false;
        }
    }
    if (!mutex_.try_lock()) {
        return false;
    }
    taken();
    return true;
}

bool DeviceLock::try_lock() {
    return tryTake(true);
}

bool DeviceLock::tryLockAhead() {
    return tryTake(false);
}

void DeviceLock::unlock() {
    if (--depth_ == 0) {
        owner_.store(std::thread::id{}, std::memory_order_relaxed);
        mutex_.unlock();
    }
}

DeviceLock::CloseWaiting::CloseWaiting(DeviceLock& lock) : lock_(lock) {
    std::lock_guard queue(lock_.queueMutex_);
    ++lock_.closesWaiting_;
}

DeviceLock::CloseWaiting::~CloseWaiting() {
    {
        std::lock_guard queue(lock_.queueMutex_);
        --lock_.closesWaiting_;
    }
    lock_.queueFree_.notify_all();
}

// Function-local statics: they exist from the first use on, whatever the order
// in which the library's files are initialised at load, and outlive the
// unload code that still takes them.
DeviceLock& deviceLock() {
    static DeviceLock lock;
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
