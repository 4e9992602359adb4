#include "core/device_notify.h"

#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/library_state.h"
#include "core/lifecycle.h"
#include "core/locks.h"
#include "tarvik.h"

#include "platform/clock.h"
#include "platform/messages.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace tarvik {
namespace {

constexpr uint32_t kWmDeviceChange = 0x0219;
constexpr uint32_t kStartTimeoutMs = 5000;
constexpr int kReinitialiseTries = 3;
constexpr uint32_t kReinitialisePauseMs = 500; // times the try
constexpr int32_t kInfoNotifyNotAvailable = 839;
constexpr int32_t kInfoTooManySubscriptions = 840;
constexpr int32_t kInfoInvalidFlags = 841;
constexpr int32_t kInfoInvalidHandles = 842;

// Guards the state's two pointers: the exports read them under the
// RawDataLock, the open and the close change them under the DeviceLock.
std::mutex& objectsMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<DeviceNotifyThread> notifyThread() {
    std::lock_guard lock(objectsMutex());
    LibraryState* state = libraryState();
    return state != nullptr ? state->notificationThread : nullptr;
}

bool isWatchedSlot(const DeviceSlot* slot) {
    return slot != nullptr && slot->hotPlug == 1;
}

} // namespace

// --- subscribers

int64_t DeviceNotifySubscriberList::add(uint8_t mode, uint32_t target, int32_t interfaceId) {
    std::lock_guard lock(guard_);
    if (entries_.size() > kSubscriberLimit) {
        return -1;
    }
    Subscriber entry;
    entry.mode = mode;
    entry.id = ++lastId_;
    entry.filter = static_cast<uint16_t>(interfaceId);
    if (mode > 1) {
        return -2;
    }
    entry.target = target;
    entries_.push_back(entry);
    return kSubscriptionMark | entry.id;
}

bool DeviceNotifySubscriberList::remove(uint32_t handle) {
    if ((handle & 0xFFFF0000u) != kSubscriptionMark) {
        return false;
    }
    std::lock_guard lock(guard_);
    const auto it = std::find_if(entries_.begin(), entries_.end(), [handle](const Subscriber& s) {
        return s.id == (handle & 0xFFFFu);
    });
    if (it == entries_.end()) {
        return false;
    }
    entries_.erase(it);
    return true;
}

bool DeviceNotifySubscriberList::post(uint16_t event, int32_t interfaceId, bool success) {
    std::vector<Subscriber> targets;
    {
        std::lock_guard lock(guard_);
        if (entries_.empty()) {
            return false;
        }
        for (const Subscriber& s : entries_) {
            if ((s.flags & 1) != 0 &&
                (s.filter == 0 || s.filter == static_cast<uint16_t>(interfaceId))) {
                targets.push_back(s);
            }
        }
    }
    const auto lParam = static_cast<platform::LParam>((static_cast<uint32_t>(interfaceId) & 0xFFu) |
                                                      (success ? 0x100u : 0u));
    for (const Subscriber& s : targets) {
        if (s.mode == 0) {
            platform::postMessage(s.target, WM_DEVICE_NOTIFY, event, lParam);
        } else if (s.mode == 1) {
            platform::postThreadMessage(s.target, WM_DEVICE_NOTIFY, event, lParam);
        }
    }
    return true;
}

void DeviceNotifySubscriberList::clear() {
    std::lock_guard lock(guard_);
    entries_.clear();
}

size_t DeviceNotifySubscriberList::size() const {
    std::lock_guard lock(guard_);
    return entries_.size();
}

// --- the thread

DeviceNotifyThread::~DeviceNotifyThread() {
    stop();
}

bool DeviceNotifyThread::hasThread() const {
    return started_;
}

int32_t DeviceNotifyThread::status() const {
    std::lock_guard lock(guard_);
    return status_;
}

void DeviceNotifyThread::setStatus(int32_t status) {
    std::lock_guard lock(guard_);
    status_ = status;
}

bool DeviceNotifyThread::start(uint32_t interfaceType) {
    if (started_.load()) {
        return true;
    }
    if (interfaceType != kTypeUsb && interfaceType != kTypeUsb2) {
        return false;
    }
    const std::optional<platform::Guid> guid = deviceInterfaceClass(interfaceType);
    if (!guid) {
        return false;
    }
    interfaceClass_ = *guid;
    interfaceType_ = interfaceType;
    {
        std::lock_guard lock(guard_);
        status_ = kNotifyCreated;
        initFailed_ = false;
    }
    if (!thread_.start([this](platform::Thread& self) { return run(self); }, kStartTimeoutMs)) {
        return false;
    }
    started_ = true;
    return true;
}

void DeviceNotifyThread::stop() {
    if (!started_) {
        return;
    }
    thread_.requestStop();
    platform::postThreadMessage(threadId_, platform::WM_QUIT, 0, 0);
    // The handlers end their waits at the request; whatever the clock says,
    // the thread is joined before its object may go.
    thread_.join();
    started_ = false;
}

uint32_t DeviceNotifyThread::run(platform::Thread& self) {
    setStatus(kNotifyInitialising);
    threadId_ = platform::registerThreadQueue();
    interfaceRegistration_ = platform::registerInterfaceNotification(
        interfaceClass_, [this](const platform::DeviceChange& change) { queueChange(change); });
    if (interfaceRegistration_ == 0) {
        {
            std::lock_guard lock(guard_);
            initFailed_ = true;
            status_ = kNotifyInitFailed;
        }
        platform::unregisterThreadQueue();
        return 1;
    }
    // Named only now: a thread the device layer starts for the registration
    // would take the name along.
    pthread_setname_np(pthread_self(), kNotifyThreadName);
    setStatus(kNotifyRunning);
    self.signalRunning();
    platform::Message message;
    while (!self.stopRequested() &&
           platform::getMessage(message) == platform::GetMessageResult::Message) {
        if (message.message == kWmDeviceChange) {
            handleQueuedChanges();
        }
    }
    setStatus(kNotifyLeaving);
    platform::unregisterDeviceNotification(interfaceRegistration_);
    interfaceRegistration_ = 0;
    unwatchAll();
    platform::unregisterThreadQueue();
    setStatus(kNotifyEnded);
    return 0;
}

// On the device layer's notification thread: never blocks on a library lock.
void DeviceNotifyThread::queueChange(const platform::DeviceChange& change) {
    {
        std::lock_guard lock(pendingMutex_);
        pending_.push_back(change);
    }
    platform::postThreadMessage(threadId_, kWmDeviceChange, 0, 0);
}

void DeviceNotifyThread::handleQueuedChanges() {
    std::vector<platform::DeviceChange> changes;
    {
        std::lock_guard lock(pendingMutex_);
        changes.swap(pending_);
    }
    for (const platform::DeviceChange& change : changes) {
        if (thread_.stopRequested()) {
            return;
        }
        setStatus(kNotifyHandling);
        if (change.event == platform::DeviceChangeEvent::Arrival && !change.devicePath.empty()) {
            onArrival(change.devicePath);
        } else if (change.event == platform::DeviceChangeEvent::RemoveComplete &&
                   change.handle != platform::kInvalidDeviceHandle) {
            onRemoval(change.handle);
        }
        setStatus(kNotifyRunning);
    }
}

// The close holds the DeviceLock while it stops this thread: wait for the
// lock only as long as nobody asks the thread to stop.
bool DeviceNotifyThread::lockDevice() {
    while (!deviceLock().try_lock()) {
        if (thread_.stopRequested()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool DeviceNotifyThread::watchHandle(bool watch, platform::DeviceHandle handle) {
    if (handle == platform::kInvalidDeviceHandle) {
        return false;
    }
    std::lock_guard lock(guard_);
    if (watch) {
        const platform::DeviceNotificationHandle registration =
            platform::registerHandleNotification(
                handle, [this](const platform::DeviceChange& change) { queueChange(change); });
        if (registration == 0) {
            return false;
        }
        if (const auto it = handles_.find(handle); it != handles_.end()) {
            platform::unregisterDeviceNotification(it->second);
        }
        handles_[handle] = registration;
        return true;
    }
    const auto it = handles_.find(handle);
    if (it == handles_.end() || !platform::unregisterDeviceNotification(it->second)) {
        return false;
    }
    handles_.erase(it);
    return true;
}

void DeviceNotifyThread::unwatchAll() {
    std::lock_guard lock(guard_);
    for (const auto& [handle, registration] : handles_) {
        platform::unregisterDeviceNotification(registration);
    }
    handles_.clear();
}

void DeviceNotifyThread::onRemoval(platform::DeviceHandle handle) {
    if (!lockDevice()) {
        return;
    }
    std::lock_guard guard(deviceLock(), std::adopt_lock);
    for (int32_t id = 1; id < static_cast<int32_t>(kSlotCount); ++id) {
        DeviceSlot* slot = deviceSlot(id);
        if (!isWatchedSlot(slot) || slot->deviceHandle != handle) {
            continue;
        }
        watchHandle(false, handle);
        const bool closed = platform::closeDevice(handle);
        slot->deviceHandle = platform::kInvalidDeviceHandle;
        if (const auto subscribers = deviceNotifySubscribers()) {
            subscribers->post(kNotifyRemoval, id, closed);
        }
        return;
    }
}

void DeviceNotifyThread::onArrival(const std::string& devicePath) {
    if (!lockDevice()) {
        return;
    }
    std::lock_guard guard(deviceLock(), std::adopt_lock);
    DeviceSlot* scratch = deviceSlot(0);
    if (scratch == nullptr) {
        return;
    }
    scratch->deviceHandle = platform::kInvalidDeviceHandle;
    int32_t found = 0;
    for (int32_t id = 1; id < static_cast<int32_t>(kSlotCount) && found == 0; ++id) {
        const DeviceSlot* slot = deviceSlot(id);
        if (!isWatchedSlot(slot) || slot->deviceHandle != platform::kInvalidDeviceHandle) {
            continue;
        }
        if (scratch->deviceHandle == platform::kInvalidDeviceHandle) {
            scratch->deviceHandle = platform::openDevice(devicePath);
            if (scratch->deviceHandle == platform::kInvalidDeviceHandle) {
                continue;
            }
        }
        const int32_t sent = SendSlotCommand(scratch, KORAL_CMD_GET_USB_VERSION);
        if (sent == 0 && scratch->block()->BoardId == id) {
            found = id;
        }
    }
    if (found != 0) {
        DeviceSlot* slot = deviceSlot(found);
        slot->deviceHandle = scratch->deviceHandle;
        scratch->deviceHandle = platform::kInvalidDeviceHandle;
        watchHandle(true, slot->deviceHandle);
        if (interfaceType_ == kTypeUsb2 && libraryState()->interfaceTypeInUse == kTypeUsb2) {
            slot->block()->RequestFlags |= 0x10;
        }
        bool success = true;
        if (slot->initialised == 1) {
            success = reinitialise(found);
            slot->arrivalFailed = success ? 0 : 1;
        }
        if (const auto subscribers = deviceNotifySubscribers()) {
            subscribers->post(kNotifyArrival, found, success);
        }
    }
    if (scratch->deviceHandle != platform::kInvalidDeviceHandle) {
        platform::closeDevice(scratch->deviceHandle);
        scratch->deviceHandle = platform::kInvalidDeviceHandle;
    }
}

// A board that just came back may need a moment before it takes its
// parameters: three tries, 500, 1000 and 1500 ms apart.
bool DeviceNotifyThread::reinitialise(int32_t interfaceId) {
    for (int attempt = 1; attempt <= kReinitialiseTries; ++attempt) {
        if (!platform::sleepMs(kReinitialisePauseMs * static_cast<uint32_t>(attempt))) {
            return false; // asked to stop
        }
        if (SendSlotCommand(deviceSlot(interfaceId), KORAL_CMD_INIT) == 0) {
            return true;
        }
    }
    return false;
}

// --- the operations of the life cycle

std::shared_ptr<DeviceNotifySubscriberList> deviceNotifySubscribers() {
    std::lock_guard lock(objectsMutex());
    LibraryState* state = libraryState();
    return state != nullptr ? state->subscribers : nullptr;
}

bool StartDeviceNotifyThread(uint32_t interfaceType) {
    std::shared_ptr<DeviceNotifyThread> thread;
    {
        std::lock_guard lock(objectsMutex());
        LibraryState* state = libraryState();
        if (state == nullptr) {
            return false;
        }
        if (!state->subscribers) {
            state->subscribers = std::make_shared<DeviceNotifySubscriberList>();
        }
        if (!state->notificationThread) {
            state->notificationThread = std::make_shared<DeviceNotifyThread>();
        }
        thread = state->notificationThread;
    }
    if (thread->start(interfaceType)) {
        return true;
    }
    // A failed start leaves no thread object behind.
    std::lock_guard lock(objectsMutex());
    if (LibraryState* state = libraryState(); state != nullptr) {
        state->notificationThread.reset();
    }
    return false;
}

bool IsDeviceNotifyRunning() {
    const std::shared_ptr<DeviceNotifyThread> thread = notifyThread();
    return thread && thread->hasThread() && thread->status() < kNotifyInitFailed;
}

bool RegisterHandleNotification(bool watch, platform::DeviceHandle handle) {
    const std::shared_ptr<DeviceNotifyThread> thread = notifyThread();
    return thread && thread->watchHandle(watch, handle);
}

void StopNotificationThread() {
    if (const std::shared_ptr<DeviceNotifyThread> thread = notifyThread()) {
        thread->stop();
    }
    if (const auto subscribers = deviceNotifySubscribers()) {
        subscribers->clear();
    }
}

void DestroyDeviceNotifyObjects() {
    std::shared_ptr<DeviceNotifyThread> thread;
    std::shared_ptr<DeviceNotifySubscriberList> subscribers;
    {
        std::lock_guard lock(objectsMutex());
        if (LibraryState* state = libraryState()) {
            thread = std::move(state->notificationThread);
            subscribers = std::move(state->subscribers);
        }
    }
    thread.reset(); // stops and joins
}

} // namespace tarvik

// --- exports

using namespace tarvik;

extern "C" int32_t KORAL_RegisterDeviceNotification(int32_t interfaceId, uint32_t target,
                                                    uint32_t* handleOut, uint8_t mode) {
    constexpr const char* kName = "KORAL_RegisterDeviceNotification";
    return runExport(kName, [&]() -> int32_t {
        if (handleOut == nullptr) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        // The tests need no lock of their own; the interface check takes the
        // DeviceLock, which must not be taken under the RawDataLock.
        const uint32_t typeInUse = libraryState()->interfaceTypeInUse;
        if (typeInUse != kTypeUsb && typeInUse != kTypeUsb2) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              code::kInvalidInterfaceType);
        }
        if (!IsDeviceNotifyRunning()) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              kInfoNotifyNotAvailable);
        }
        // 0 subscribes to every interface; any other ID is checked, so that
        // a negative one is refused as one above 15 is.
        if (interfaceId != 0 &&
            checkInterfaceForExport(kName, kCheckDeviceOpen, interfaceId) != 0) {
            return -1;
        }
        int64_t result = -1;
        {
            std::lock_guard guard(rawDataLock());
            if (const auto subscribers = deviceNotifySubscribers()) {
                result = subscribers->add(mode, target, interfaceId);
            }
        }
        if (result == -1) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kAborted,
                              kInfoTooManySubscriptions);
        }
        if (result == -2) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              kInfoInvalidFlags);
        }
        *handleOut = static_cast<uint32_t>(result);
        return 0;
    });
}

extern "C" int32_t KORAL_UnregisterDeviceNotification(uint32_t subscriptionHandle) {
    constexpr const char* kName = "KORAL_UnregisterDeviceNotification";
    return runExport(kName, [&]() -> int32_t {
        if (!IsDeviceNotifyRunning()) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              kInfoNotifyNotAvailable);
        }
        bool removed = false;
        {
            std::lock_guard guard(rawDataLock());
            const auto subscribers = deviceNotifySubscribers();
            removed = subscribers && subscribers->remove(subscriptionHandle);
        }
        if (!removed) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kAborted, kInfoInvalidHandles);
        }
        return 0;
    });
}
