#pragma once
// Hot-plug of USB boards (types 6 and 8): a thread of its own watches the
// boards' device-interface class and every opened board's handle. A removed
// board's handle is closed and its slot kept (exports then report it as not
// available); when a board of the class arrives, the slot whose ID the board
// carries as its board id takes the new handle and, when it was initialised,
// the board is initialised again. Subscribers learn of both by a posted
// WM_DEVICE_NOTIFY.

#include "platform/device.h"
#include "platform/thread.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarvik {

// Posted to subscribers: wParam 1 arrival, 2 removal; lParam the interface ID
// in bits 0-7 and bit 8 for success.
inline constexpr uint32_t WM_DEVICE_NOTIFY = 0xA001;
inline constexpr uint16_t kNotifyArrival = 1;
inline constexpr uint16_t kNotifyRemoval = 2;
inline constexpr uint32_t kSubscriptionMark = 0x0C340000;
// The notification thread's name, as the system lists the process's threads.
inline constexpr const char* kNotifyThreadName = "tarvik-notify";
// The list takes a registration while it holds this many or fewer.
inline constexpr size_t kSubscriberLimit = 16;

class DeviceNotifySubscriberList {
public:
    // The subscription handle, -1 when the list is full, -2 for a mode other
    // than 0 (window) or 1 (thread); a refused mode still uses up its id.
    int64_t add(uint8_t mode, uint32_t target, int32_t interfaceId);
    // Removes the oldest entry with the handle's id.
    bool remove(uint32_t handle);
    // Posts to every entry whose filter takes the ID; false for an empty list.
    // The posts run outside the guard: a window's notifier is client code.
    bool post(uint16_t event, int32_t interfaceId, bool success);
    // Empties the list; the numbering goes on.
    void clear();
    size_t size() const;

private:
    struct Subscriber {
        uint16_t flags = 1; // bit 0: in use
        uint8_t mode = 0;   // 0 window, 1 thread
        uint16_t id = 0;
        uint16_t filter = 0; // 0: every interface
        uint32_t target = 0;
    };
    mutable std::mutex guard_;
    uint16_t lastId_ = 0;
    std::vector<Subscriber> entries_;
};

// ThreadStatus of the notification thread.
enum NotifyThreadStatus : int32_t {
    kNotifyCreated = 0,
    kNotifyInitialising = 1,
    kNotifyHandling = 3,
    kNotifyRunning = 5,
    kNotifyLeaving = 6,
    kNotifyInitFailed = 10,
    kNotifyEnded = 11,
};

class DeviceNotifyThread {
public:
    DeviceNotifyThread() = default;
    ~DeviceNotifyThread(); // stops and joins
    DeviceNotifyThread(const DeviceNotifyThread&) = delete;
    DeviceNotifyThread& operator=(const DeviceNotifyThread&) = delete;

    // Starts the thread for the class of type 6 or 8 and waits until it
    // watches the class (at most 5000 ms); false when it could not.
    bool start(uint32_t interfaceType);
    bool hasThread() const;
    int32_t status() const;
    // Asks the loop to end and joins it. The handlers give up waiting for the
    // DeviceLock and their pauses end when asked to stop, so a caller that
    // holds the DeviceLock is not kept waiting.
    void stop();
    bool watchHandle(bool watch, platform::DeviceHandle handle);

private:
    uint32_t run(platform::Thread& self);
    void queueChange(const platform::DeviceChange& change);
    void handleQueuedChanges();
    void onArrival(const std::string& devicePath);
    void onRemoval(platform::DeviceHandle handle);
    bool reinitialise(int32_t interfaceId);
    bool lockDevice();
    void setStatus(int32_t status);
    void unwatchAll();

    platform::Thread thread_;
    std::atomic<bool> started_{false}; // changed under the DeviceLock of its callers
    platform::Guid interfaceClass_{};
    uint32_t interfaceType_ = 0;
    std::atomic<uint32_t> threadId_{0};
    platform::DeviceNotificationHandle interfaceRegistration_ = 0; // the thread's own

    mutable std::mutex guard_; // status and the handle map
    int32_t status_ = kNotifyCreated;
    bool initFailed_ = false;
    std::map<platform::DeviceHandle, platform::DeviceNotificationHandle> handles_;

    std::mutex pendingMutex_; // changes reported, not yet handled
    std::vector<platform::DeviceChange> pending_;
};

// --- what the life cycle and the library's unload ask
bool StartDeviceNotifyThread(uint32_t interfaceType);
bool IsDeviceNotifyRunning();
bool RegisterHandleNotification(bool watch, platform::DeviceHandle handle);
// Stops the thread (the object stays) and empties the subscriber list.
void StopNotificationThread();
// Stops the thread and drops both objects (unload).
void DestroyDeviceNotifyObjects();
// The subscriber list, null before the first start (tests).
std::shared_ptr<DeviceNotifySubscriberList> deviceNotifySubscribers();

} // namespace tarvik
