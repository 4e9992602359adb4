#pragma once
// Shared state of the device layer. One mutex (DeviceLayer::mutex) guards the
// driver list, devices, interfaces, physical devices and files; the notifier
// and the plug-and-play worker have their own locks, always taken after it.
// Driver routines and client callbacks are never called under any of them.

#include "platform/driver.h"
#include "platform/handle_table.h"
#include "platform/last_error.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform::detail {

void reportDeviceEvent(uint32_t eventId, std::vector<std::string> strings);

// Leaves code as the thread's last error; false, for "return fail(...)".
inline bool fail(int code) {
    setLastError(static_cast<uint32_t>(code));
    return false;
}
bool equalsNoCase(std::string_view a, std::string_view b);

struct DeviceNode;
struct FileNode;

// Runs driver code; an exception that escapes it is a failure of the routine.
template <class F> DriverStatus guarded(const char* what, F&& routine) {
    try {
        return routine();
    } catch (...) {
        reportDeviceEvent(kEventDriverRoutineThrew, {what});
        return kStatusUnsuccessful;
    }
}

struct DriverNode final : DriverObject, std::enable_shared_from_this<DriverNode> {
    explicit DriverNode(std::string name) : DriverObject(std::move(name)) {}

    void* library = nullptr; // dlopen handle, null for a linked-in driver
    std::string libraryPath; // canonical path of the library
    bool initialising = true;
    bool unloaded = false;
    // Arrivals reported while the entry ran; queued once it succeeded.
    std::vector<std::pair<std::string, std::shared_ptr<void>>> deferredArrivals;
    std::vector<std::shared_ptr<DeviceNode>> devices;   // live device objects
    std::vector<std::weak_ptr<DeviceNode>> everCreated; // to drop their extensions at unload
    uint32_t legacyCounter = 0;
};

struct PhysicalNode final : PhysicalDevice, std::enable_shared_from_this<PhysicalNode> {
    PhysicalNode(std::string instanceId, std::shared_ptr<void> context,
                 std::shared_ptr<DriverNode> owner)
        : PhysicalDevice(std::move(instanceId), std::move(context)), driver(std::move(owner)) {}
    std::shared_ptr<void> takeContext() { return std::move(busContext_); }

    std::shared_ptr<DriverNode> driver;
    std::shared_ptr<DeviceNode> fdo;
    uint64_t token = 0; // of the announcement that made it
};

enum class PnpState { Added, Started, Stopped, SurpriseRemoved, Removed };

struct DeviceNode final : DeviceObject, std::enable_shared_from_this<DeviceNode> {
    DeviceNode(std::shared_ptr<DriverNode> owner, std::shared_ptr<PhysicalNode> pdo,
               DeviceOptions options, std::shared_ptr<void> extension)
        : DeviceObject(*owner, pdo.get(), std::move(options), std::move(extension)),
          driverNode(std::move(owner)), physicalNode(std::move(pdo)) {}
    std::shared_ptr<void> takeExtension() { return std::move(extension_); }

    const std::shared_ptr<DriverNode> driverNode;
    std::shared_ptr<PhysicalNode> physicalNode; // null for a device of the driver alone
    std::string instanceId;                     // of the physical device, or ROOT\<DRIVER>\NNNN
    PnpState state = PnpState::Added;
    bool removed = false; // no new opens or requests
    bool deleted = false;
    bool removeWhenClosed = false; // surprise-removed with handles open
    bool removeQueued = false;
    int openFiles = 0; // from the open's start to its close routine
    std::vector<std::shared_ptr<FileNode>> files;
};

struct FileNode final : FileObject {
    explicit FileNode(std::shared_ptr<DeviceNode> dev) : device(std::move(dev)) {}

    const std::shared_ptr<DeviceNode> device;
    DeviceHandle handle = kInvalidDeviceHandle;
    bool closing = false;   // closeDevice began: no new requests
    bool cleanedUp = false; // the cleanup routine ran
    bool closeClaimed = false;
    int activeCalls = 0; // device-control calls inside the layer
    std::vector<IoRequestPtr> pending;
};

struct InterfaceRecord {
    std::shared_ptr<DeviceNode> device;
    Guid interfaceClass;
    std::string path;
    bool enabled = false;
};

// Access to the private state of IoRequest.
struct IoAccess {
    // Cancels a request that is not completed: its caller is released with
    // reason, and its cancel routine runs on this thread.
    static bool cancel(const IoRequestPtr& request, DriverStatus reason);
    // Waits until the request is completed or its caller released; the status
    // for the caller (kStatusSuccess when completed with success).
    static DriverStatus wait(const IoRequestPtr& request);
    // Ends the caller's wait without an answer when the request is not
    // completed; false when it was.
    static bool abandonIfOpen(const IoRequestPtr& request, DriverStatus reason);
    static bool isMarkedPending(const IoRequestPtr& request);
    // The buffer's bytes, for the caller's next request once no one else
    // holds the request.
    static SystemBuffer takeBuffer(IoRequest& request);
};

// One thread that delivers device-change notifications.
class Notifier {
public:
    uint32_t add(bool forClass, const Guid& interfaceClass, std::weak_ptr<DeviceNode> device,
                 DeviceHandle handle, DeviceChangeCallback callback);
    bool remove(uint32_t id);
    // Queue a change for every registration of the class / of the device.
    void postClass(const Guid& interfaceClass, DeviceChangeEvent event, const std::string& path);
    void postDevice(const DeviceNode* device, DeviceChangeEvent event);
    bool hasDeviceRegistrations(const DeviceNode* device);
    // Waits until everything queued before was delivered.
    void waitDelivered();
    void stop();
    bool onThread() const;

private:
    struct Registration {
        uint32_t id = 0;
        bool forClass = false;
        Guid interfaceClass;
        std::weak_ptr<DeviceNode> device;
        DeviceHandle handle = kInvalidDeviceHandle;
        DeviceChangeCallback callback;
    };
    struct Item {
        uint32_t registration = 0; // 0: a barrier
        DeviceChange change;
        std::shared_ptr<bool> barrierDone;
    };
    void run();
    void startLocked();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<uint32_t, std::shared_ptr<Registration>> registrations_;
    std::deque<Item> queue_;
    uint32_t nextId_ = 1;
    uint32_t delivering_ = 0;
    bool stopping_ = false;
    std::thread thread_;
    std::thread::id threadId_;
};

// One thread that runs plug-and-play work in order.
class PnpWorker {
public:
    void post(std::function<void()> work);
    void waitIdle();
    // Finishes the running item, drops the rest, and drops whatever is posted
    // until reopen(): work queued during a shutdown could otherwise run after
    // its driver's code is unloaded.
    void stop();
    void reopen();
    bool onThread() const;

private:
    void run();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
    std::thread::id threadId_;
};

struct DeviceLayer {
    std::mutex mutex;
    std::condition_variable filesClosed;
    std::vector<std::shared_ptr<DriverNode>> drivers; // load order
    std::vector<std::shared_ptr<PhysicalNode>> physicals;
    std::vector<InterfaceRecord> interfaces; // registration order
    HandleTable<std::shared_ptr<FileNode>> handles;
    int liveFiles = 0;
    bool shuttingDown = false;
    // Instance ids reported and not reported gone, with the token of the report.
    std::map<std::string, uint64_t> announced;
    uint64_t nextToken = 1;

    std::recursive_mutex loadMutex; // serialises driver entries, loading and shutdown
    bool pathLoaded = false;        // VELDON_DRIVER_PATH was read
    bool initialSettled = false;    // the devices found at that load are started

    Notifier notifier;
    PnpWorker pnp;
};

DeviceLayer& layer();
// Loads VELDON_DRIVER_PATH once and waits for the devices found at load.
void ensureDriversLoaded();
bool onLayerThread();
// Unloads every driver (shutdown).
void unloadAllDrivers();
// Deletes a device object: interfaces, name, pending requests.
void deleteDeviceNode(const std::shared_ptr<DeviceNode>& device);
// Plug-and-play work on a device whose last handle was closed after removal.
void queueRemoveAfterClose(const std::shared_ptr<DeviceNode>& device);
// Removes a device (removeDevice routine, then deletion). On the pnp thread or
// at shutdown.
void removeDeviceNode(const std::shared_ptr<DeviceNode>& device);
// Cleanup, cancellation and (when nothing runs) close of a file taken out of
// the handle table.
void closeFile(const std::shared_ptr<FileNode>& file, DriverStatus reason);
// Runs a create/cleanup/close request through the driver's routine.
DriverStatus runSimpleRequest(MajorFunction major, const std::shared_ptr<FileNode>& file);
// Queues the arrival of a device (under the layer mutex).
void queueArrivalLocked(const std::shared_ptr<DriverNode>& driver, const std::string& instanceId,
                        std::shared_ptr<void> busContext);
// Takes a physical device out of the present list (under the layer mutex).
void forgetPhysicalLocked(const std::shared_ptr<PhysicalNode>& physical);

} // namespace platform::detail
