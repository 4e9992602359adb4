// The notification thread and the plug-and-play thread of the device layer.

#include "device_internal.h"

namespace platform::detail {

// --- Notifier

void Notifier::startLocked() {
    if (!thread_.joinable()) {
        stopping_ = false;
        thread_ = std::thread([this] { run(); });
        threadId_ = thread_.get_id();
    }
}

uint32_t Notifier::add(bool forClass, const Guid& interfaceClass, std::weak_ptr<DeviceNode> device,
                       DeviceHandle handle, DeviceChangeCallback callback) {
    auto registration = std::make_shared<Registration>();
    registration->forClass = forClass;
    registration->interfaceClass = interfaceClass;
    registration->device = std::move(device);
    registration->handle = handle;
    registration->callback = std::move(callback);
    std::lock_guard lock(mutex_);
    do {
        registration->id = nextId_++;
    } while (registration->id == 0 || registrations_.count(registration->id) != 0);
    registrations_[registration->id] = registration;
    startLocked();
    return registration->id;
}

bool Notifier::remove(uint32_t id) {
    std::shared_ptr<Registration> removed;
    std::unique_lock lock(mutex_);
    auto it = registrations_.find(id);
    if (it == registrations_.end()) {
        return false;
    }
    removed = std::move(it->second);
    registrations_.erase(it);
    if (std::this_thread::get_id() != threadId_) {
        changed_.wait(lock, [&] { return delivering_ != id; });
    }
    lock.unlock();
    return true; // the callback is destroyed here, outside the lock
}

void Notifier::postClass(const Guid& interfaceClass, DeviceChangeEvent event,
                         const std::string& path) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, registration] : registrations_) {
        if (registration->forClass && registration->interfaceClass == interfaceClass) {
            Item item;
            item.registration = id;
            item.change.event = event;
            item.change.interfaceClass = interfaceClass;
            item.change.devicePath = path;
            queue_.push_back(std::move(item));
        }
    }
    changed_.notify_all();
}

void Notifier::postDevice(const DeviceNode* device, DeviceChangeEvent event) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, registration] : registrations_) {
        if (!registration->forClass && registration->device.lock().get() == device) {
            Item item;
            item.registration = id;
            item.change.event = event;
            item.change.handle = registration->handle;
            queue_.push_back(std::move(item));
        }
    }
    changed_.notify_all();
}

bool Notifier::hasDeviceRegistrations(const DeviceNode* device) {
    std::lock_guard lock(mutex_);
    for (const auto& [id, registration] : registrations_) {
        if (!registration->forClass && registration->device.lock().get() == device) {
            return true;
        }
    }
    return false;
}

void Notifier::waitDelivered() {
    std::unique_lock lock(mutex_);
    if (!thread_.joinable() || std::this_thread::get_id() == threadId_) {
        return;
    }
    auto done = std::make_shared<bool>(false);
    Item barrier;
    barrier.barrierDone = done;
    queue_.push_back(std::move(barrier));
    changed_.notify_all();
    changed_.wait(lock, [&] { return *done || stopping_; });
}

void Notifier::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            break;
        }
        Item item = std::move(queue_.front());
        queue_.pop_front();
        if (item.barrierDone) {
            *item.barrierDone = true;
            changed_.notify_all();
            continue;
        }
        auto it = registrations_.find(item.registration);
        if (it == registrations_.end()) {
            continue; // unregistered after the change was queued
        }
        std::shared_ptr<Registration> registration = it->second;
        delivering_ = registration->id;
        lock.unlock();
        registration->callback(item.change);
        registration.reset();
        lock.lock();
        delivering_ = 0;
        changed_.notify_all();
    }
}

void Notifier::stop() {
    std::thread thread;
    std::map<uint32_t, std::shared_ptr<Registration>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        thread = std::move(thread_);
        dropped.swap(registrations_);
        for (Item& item : queue_) {
            if (item.barrierDone) {
                *item.barrierDone = true;
            }
        }
        queue_.clear();
    }
    changed_.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
    std::lock_guard lock(mutex_);
    threadId_ = {};
    stopping_ = false;
}

bool Notifier::onThread() const {
    std::lock_guard lock(mutex_);
    return std::this_thread::get_id() == threadId_;
}

// --- PnpWorker

void PnpWorker::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return;
    }
    queue_.push_back(std::move(work));
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
        threadId_ = thread_.get_id();
    }
    changed_.notify_all();
}

void PnpWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            break;
        }
        std::function<void()> work = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        work();
        work = nullptr;
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

void PnpWorker::waitIdle() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stopping_ || (queue_.empty() && !busy_); });
}

void PnpWorker::stop() {
    std::thread thread;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        thread = std::move(thread_);
        dropped.swap(queue_);
    }
    changed_.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
    dropped.clear(); // a waiter on a dropped item learns it from its promise
    std::lock_guard lock(mutex_);
    threadId_ = {};
    busy_ = false;
    changed_.notify_all();
}

void PnpWorker::reopen() {
    std::lock_guard lock(mutex_);
    stopping_ = false;
}

bool PnpWorker::onThread() const {
    std::lock_guard lock(mutex_);
    return std::this_thread::get_id() == threadId_;
}

} // namespace platform::detail
