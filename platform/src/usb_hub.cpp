// The hub of the USB layer: the present devices of every bus, the hot-plug
// thread that tells listeners and the device layer about them, and the
// shutdown of the whole layer.

#include "platform/driver.h"
#include "platform/last_error.h"
#include "usb_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <thread>

namespace platform::usb {

using namespace detail;

namespace {

struct Listener {
    UsbHotplugCallback callback;
    uint64_t firstEvent = 0; // events numbered below it came before the listener
};

struct DriverRegistration {
    std::string name;
    std::vector<UsbDeviceId> ids;
};

struct Hub {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<UsbDevice>> present; // arrival order
    std::map<uint32_t, std::shared_ptr<Listener>> listeners;
    uint32_t nextListener = 1;
    uint32_t delivering = 0; // the listener whose callback runs
    uint64_t nextEvent = 0;
    std::vector<DriverRegistration> drivers;
    // Devices reported to the device layer, by instance id.
    std::map<std::string, std::shared_ptr<UsbDevice>> reported;

    std::deque<std::function<void()>> queue;
    bool busy = false;
    bool stopping = false; // the thread ends once the queue is empty
    bool joining = false;  // a shutdown joins it: no new thread meanwhile
    std::thread thread;
    std::thread::id threadId; // of the running thread, also while it is joined

    std::mutex shutdownMutex; // one shutdown at a time
};

void atExitShutdown() {
    shutdownUsb();
}

Hub& hub() {
    // Never destroyed: other modules' threads may still call in during exit,
    // and the at-exit shutdown has stopped everything that runs.
    static Hub* instance = [] {
        auto* created = new Hub;
        std::atexit(atExitShutdown);
        return created;
    }();
    return *instance;
}

void runHotplugThread() {
    Hub& h = hub();
    std::unique_lock lock(h.mutex);
    while (true) {
        h.changed.wait(lock, [&] { return !h.queue.empty() || h.stopping; });
        if (h.queue.empty()) {
            return;
        }
        std::function<void()> work = std::move(h.queue.front());
        h.queue.pop_front();
        h.busy = true;
        lock.unlock();
        work();
        work = nullptr; // what it holds goes outside the lock
        lock.lock();
        h.busy = false;
        h.changed.notify_all();
    }
}

void startThreadLocked(Hub& h) {
    if (!h.thread.joinable() && !h.joining && !h.queue.empty()) {
        h.stopping = false;
        h.thread = std::thread(runHotplugThread);
        h.threadId = h.thread.get_id();
    }
}

void postLocked(Hub& h, std::function<void()> work) {
    h.queue.push_back(std::move(work));
    startThreadLocked(h);
    h.changed.notify_all();
}

bool matches(const DriverRegistration& driver, const UsbDevice& device) {
    const DeviceDescriptor& d = device.deviceDescriptor();
    return std::any_of(driver.ids.begin(), driver.ids.end(), [&](const UsbDeviceId& id) {
        return id.vendorId == d.idVendor && id.productId == d.idProduct;
    });
}

// Reports a device to the first driver that matches (under the hub's lock;
// the device layer only queues the work for its plug-and-play thread).
void reportArrivalLocked(Hub& h, const std::shared_ptr<UsbDevice>& device) {
    if (device->isGone() || h.reported.count(device->instanceId()) != 0) {
        return;
    }
    for (const DriverRegistration& driver : h.drivers) {
        if (matches(driver, *device)) {
            if (reportDeviceArrived(driver.name, device->instanceId(), device)) {
                h.reported[device->instanceId()] = device;
            }
            return;
        }
    }
}

void reportDepartureLocked(Hub& h, const std::shared_ptr<UsbDevice>& device) {
    auto it = h.reported.find(device->instanceId());
    if (it != h.reported.end() && it->second == device) {
        h.reported.erase(it);
        reportDeviceGone(device->instanceId());
    }
}

// Calls a listener unless it was removed; false then.
bool deliver(uint32_t id, const Listener& listener, UsbHotplugEvent event,
             const std::shared_ptr<UsbDevice>& device) {
    Hub& h = hub();
    {
        std::lock_guard lock(h.mutex);
        if (h.listeners.count(id) == 0) {
            return false;
        }
        h.delivering = id;
    }
    try {
        listener.callback(event, device);
    } catch (...) {
        // A listener's failure is its own; the others are still told.
    }
    std::lock_guard lock(h.mutex);
    h.delivering = 0;
    h.changed.notify_all();
    return true;
}

void tell(UsbHotplugEvent event, const std::shared_ptr<UsbDevice>& device, uint64_t number) {
    Hub& h = hub();
    if (event == UsbHotplugEvent::Left) {
        UsbAccess::markGone(*device); // most often the bus did already
    }
    std::vector<std::pair<uint32_t, std::shared_ptr<Listener>>> listeners;
    {
        std::lock_guard lock(h.mutex);
        if (event == UsbHotplugEvent::Arrived) {
            reportArrivalLocked(h, device);
        } else {
            reportDepartureLocked(h, device);
        }
        for (const auto& [id, listener] : h.listeners) {
            if (number >= listener->firstEvent) {
                listeners.emplace_back(id, listener);
            }
        }
    }
    for (const auto& [id, listener] : listeners) {
        deliver(id, *listener, event, device);
    }
}

} // namespace

namespace detail {

void deviceArrived(const std::shared_ptr<UsbDevice>& device) {
    Hub& h = hub();
    std::lock_guard lock(h.mutex);
    h.present.push_back(device);
    const uint64_t number = h.nextEvent++;
    postLocked(h, [device, number] { tell(UsbHotplugEvent::Arrived, device, number); });
}

void deviceLeft(const std::shared_ptr<UsbDevice>& device) {
    Hub& h = hub();
    std::lock_guard lock(h.mutex);
    if (std::find(h.present.begin(), h.present.end(), device) == h.present.end()) {
        return;
    }
    std::erase(h.present, device);
    const uint64_t number = h.nextEvent++;
    postLocked(h, [device, number] { tell(UsbHotplugEvent::Left, device, number); });
}

void postHotplugWork(std::function<void()> work) {
    Hub& h = hub();
    std::lock_guard lock(h.mutex);
    postLocked(h, std::move(work));
}

bool onHotplugThread() {
    Hub& h = hub();
    std::lock_guard lock(h.mutex);
    return h.threadId == std::this_thread::get_id();
}

void waitHotplugIdle() {
    Hub& h = hub();
    std::unique_lock lock(h.mutex);
    h.changed.wait(lock, [&] { return h.queue.empty() && !h.busy; });
}

std::string makeInstanceId(uint16_t vendorId, uint16_t productId, const std::string& location) {
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB\\VID_%04X&PID_%04X\\", vendorId, productId);
    return ids + location;
}

} // namespace detail

std::vector<std::shared_ptr<UsbDevice>> enumerateUsbDevices() {
    Hub& h = hub();
    std::lock_guard lock(h.mutex);
    return h.present;
}

bool registerUsbDriver(std::string_view driverName, std::span<const UsbDeviceId> ids) {
    if (driverName.empty() || ids.empty()) {
        setLastError(EINVAL);
        return false;
    }
    Hub& h = hub();
    std::lock_guard lock(h.mutex);
    auto it = std::find_if(h.drivers.begin(), h.drivers.end(),
                           [&](const DriverRegistration& d) { return d.name == driverName; });
    if (it == h.drivers.end()) {
        h.drivers.push_back({std::string(driverName), {}});
        it = h.drivers.end() - 1;
    }
    it->ids.assign(ids.begin(), ids.end());
    // Arrivals still queued for the hot-plug thread find these reported.
    for (const auto& device : h.present) {
        reportArrivalLocked(h, device);
    }
    return true;
}

bool unregisterUsbDriver(std::string_view driverName) {
    Hub& h = hub();
    std::lock_guard lock(h.mutex);
    auto it = std::find_if(h.drivers.begin(), h.drivers.end(),
                           [&](const DriverRegistration& d) { return d.name == driverName; });
    if (it == h.drivers.end()) {
        setLastError(ENOENT);
        return false;
    }
    h.drivers.erase(it);
    return true;
}

UsbHotplugHandle addUsbHotplugListener(UsbHotplugCallback callback, bool enumeratePresent) {
    if (!callback) {
        setLastError(EINVAL);
        return 0;
    }
    Hub& h = hub();
    std::lock_guard lock(h.mutex);
    const uint32_t id = h.nextListener++;
    auto listener = std::make_shared<Listener>();
    listener->callback = std::move(callback);
    listener->firstEvent = h.nextEvent;
    h.listeners[id] = listener;
    if (enumeratePresent && !h.present.empty()) {
        // Queued now, so ahead of every later event.
        postLocked(h, [id, listener, devices = h.present] {
            for (const auto& device : devices) {
                if (!deliver(id, *listener, UsbHotplugEvent::Arrived, device)) {
                    return;
                }
            }
        });
    }
    return id;
}

bool removeUsbHotplugListener(UsbHotplugHandle handle) {
    Hub& h = hub();
    const bool own = onHotplugThread();
    std::unique_lock lock(h.mutex);
    if (h.listeners.erase(handle) == 0) {
        setLastError(ENOENT);
        return false;
    }
    if (!own) {
        h.changed.wait(lock, [&] { return h.delivering != handle; });
    }
    return true;
}

bool waitForUsbHotplugIdle() {
    if (onHotplugThread()) {
        setLastError(EDEADLK);
        return false;
    }
    waitHotplugIdle();
    return true;
}

bool shutdownUsb() {
    if (onHotplugThread() || onSimDeviceThread()) {
        setLastError(EDEADLK);
        return false;
    }
    Hub& h = hub();
    std::lock_guard serial(h.shutdownMutex);
    stopRealUsb();
    shutdownSimBus();
    // Departures are told before the thread goes.
    waitHotplugIdle();
    std::thread thread;
    {
        std::lock_guard lock(h.mutex);
        h.stopping = true;
        h.joining = true;
        h.changed.notify_all();
        thread = std::move(h.thread);
    }
    if (thread.joinable()) {
        thread.join();
    }
    // Released outside the lock.
    std::vector<std::shared_ptr<UsbDevice>> present;
    std::map<uint32_t, std::shared_ptr<Listener>> listeners;
    std::map<std::string, std::shared_ptr<UsbDevice>> reported;
    std::lock_guard lock(h.mutex);
    present.swap(h.present);
    listeners.swap(h.listeners);
    reported.swap(h.reported);
    h.drivers.clear();
    h.joining = false;
    h.threadId = {};
    startThreadLocked(h); // for work posted while it was joined
    return true;
}

} // namespace platform::usb
