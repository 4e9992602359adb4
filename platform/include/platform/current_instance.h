#pragma once
// A process-wide, replaceable implementation of a facility (the user-interface
// provider, the event-log backend), and a scoped installer for tests.

#include <memory>
#include <mutex>
#include <utility>

namespace platform {

template <typename T, typename Default> class CurrentInstance {
public:
    // Installing null puts the default back. Returns what was installed before.
    std::shared_ptr<T> set(std::shared_ptr<T> instance) {
        std::lock_guard lock(mutex_);
        std::shared_ptr<T> previous = std::exchange(instance_, std::move(instance));
        return previous ? previous : std::make_shared<Default>();
    }

    // A reference that stays valid after a later set(); callers use it
    // without any lock held.
    std::shared_ptr<T> get() {
        std::lock_guard lock(mutex_);
        if (!instance_) {
            instance_ = std::make_shared<Default>();
        }
        return instance_;
    }

private:
    std::mutex mutex_;
    std::shared_ptr<T> instance_;
};

// Installs an instance through Set for a scope and puts the previous one back.
template <typename T, std::shared_ptr<T> (*Set)(std::shared_ptr<T>)> class ScopedInstall {
public:
    explicit ScopedInstall(std::shared_ptr<T> instance) : previous_(Set(std::move(instance))) {}
    ~ScopedInstall() { Set(std::move(previous_)); }
    ScopedInstall(const ScopedInstall&) = delete;
    ScopedInstall& operator=(const ScopedInstall&) = delete;

private:
    std::shared_ptr<T> previous_;
};

} // namespace platform
