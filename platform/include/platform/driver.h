#pragma once
// Devices as a driver sees them: driver objects with dispatch, plug-and-play
// and power routines; device objects with an extension, a name and an
// exclusive flag; device interfaces; requests that complete at once or later
// from any thread, with cancel routines; remove locks; and the bus side that
// reports devices arriving and going.
//
// Loading. A driver is either linked in and registered with registerDriver,
// or a shared library that exports
//     VELDON_DRIVER_ENTRY(driver) { ...set the routines...; return kStatusSuccess; }
// Libraries are loaded with loadDriverLibrary, and on the first enumeration or
// open from VELDON_DRIVER_PATH: a colon-separated list of library files and
// directories (every "*.so" in a directory, in name order). The driver's name is
// the file name without "lib" and ".so". A missing or broken library, a library
// without the entry and a failing entry are written to the event log (source
// kDeviceEventSource) and skipped; nothing else is affected.
//
// Threads. Plug-and-play and power routines run one at a time on the layer's
// plug-and-play thread (arrival: addDevice then startDevice; gone:
// surpriseRemoval, then removeDevice once the last handle of the device is
// closed). Dispatch routines run on the thread of the program's call; a request
// marked pending is completed later from any thread. No lock of the layer is
// held while a routine runs.
//
// Status values are errno values (0 success), so that what a driver completes
// a request with is what the caller reads as its last error.
//
// Open and close. Create comes with every open (an exclusive device refuses a
// second open with EBUSY before its driver is asked); cleanup comes at
// closeDevice, while requests of the handle may still be pending: complete
// them there if the caller should see an answer, because what is still pending
// after cleanup is cancelled; close comes once no call on the handle is still
// inside the driver. Unset dispatch routines succeed, except device control
// (kStatusInvalidDeviceRequest).

#include "platform/device.h"

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

using DriverStatus = int;

inline constexpr DriverStatus kStatusSuccess = 0;
inline constexpr DriverStatus kStatusPending = -1; // a dispatch routine's "completed later"
inline constexpr DriverStatus kStatusUnsuccessful = EIO;
inline constexpr DriverStatus kStatusInvalidDeviceRequest = ENOTTY;
inline constexpr DriverStatus kStatusInvalidDeviceState = ENXIO;
inline constexpr DriverStatus kStatusInvalidParameter = EINVAL;
inline constexpr DriverStatus kStatusAccessDenied = EACCES;
inline constexpr DriverStatus kStatusDeviceBusy = EBUSY;
inline constexpr DriverStatus kStatusDeletePending = ENODEV;
inline constexpr DriverStatus kStatusNoSuchDevice = ENODEV;
inline constexpr DriverStatus kStatusCancelled = ECANCELED;
inline constexpr DriverStatus kStatusInsufficientResources = ENOMEM;
inline constexpr DriverStatus kStatusObjectNameCollision = EEXIST;

class DriverObject;
class DeviceObject;
class PhysicalDevice;
class FileObject;
class IoRequest;
using IoRequestPtr = std::shared_ptr<IoRequest>;

namespace detail {
struct IoAccess;
}

enum class MajorFunction { Create, Cleanup, Close, DeviceControl };

enum class PowerAction { Query, Set };
enum class SystemPowerState { Working = 1, Sleeping = 3, Hibernate = 4, Shutdown = 5 };
struct PowerRequest {
    PowerAction action = PowerAction::Set;
    SystemPowerState state = SystemPowerState::Working;
};

using DispatchRoutine = std::function<DriverStatus(DeviceObject&, const IoRequestPtr&)>;
using CancelRoutine = std::function<void(DeviceObject&, const IoRequestPtr&)>;
using AddDeviceRoutine = std::function<DriverStatus(DriverObject&, PhysicalDevice&)>;
using PnpRoutine = std::function<DriverStatus(DeviceObject&)>;
using PowerRoutine = std::function<DriverStatus(DeviceObject&, const PowerRequest&)>;
using UnloadRoutine = std::function<void(DriverObject&)>;
using DriverEntry = std::function<DriverStatus(DriverObject&)>;

// The symbol a driver library exports.
inline constexpr const char* kDriverEntrySymbol = "VeldonDriverEntry";
using DriverEntryFunction = DriverStatus (*)(DriverObject* driver);
#define VELDON_DRIVER_ENTRY(driver)                                                                \
    extern "C" __attribute__((visibility("default"))) platform::DriverStatus VeldonDriverEntry(    \
        platform::DriverObject* driver)

class DriverObject {
public:
    // Set by the driver entry, read-only afterwards.
    DispatchRoutine dispatchCreate;
    DispatchRoutine dispatchCleanup;
    DispatchRoutine dispatchClose;
    DispatchRoutine dispatchDeviceControl;
    AddDeviceRoutine addDevice;    // a device of this driver arrived: create its device object
    PnpRoutine startDevice;        // after addDevice, and again after a stop
    PnpRoutine queryStopDevice;    // refusal keeps the device running
    PnpRoutine stopDevice;         // resources go; a start follows
    PnpRoutine queryRemoveDevice;  // refusal keeps the device
    PnpRoutine surpriseRemoval;    // the hardware is gone; handles may still be open
    PnpRoutine removeDevice;       // last call for the device; the layer deletes it afterwards
    PowerRoutine dispatchPower;    // system power transitions of started devices
    UnloadRoutine driverUnload;    // after every device of the driver was removed
    std::shared_ptr<void> context; // driver-wide data; released before the library is unloaded

    const std::string& name() const { return name_; }
    // The driver's service key in the machine configuration store
    // ("System\CurrentControlSet\Services\<name>").
    const std::string& registryPath() const { return registryPath_; }

    DriverObject(const DriverObject&) = delete;
    DriverObject& operator=(const DriverObject&) = delete;

protected:
    explicit DriverObject(std::string name);
    ~DriverObject();

private:
    std::string name_;
    std::string registryPath_;
};

// A device as its bus reported it.
class PhysicalDevice {
public:
    const std::string& instanceId() const { return instanceId_; }
    // What the bus attached (for a USB device, its device on the USB layer).
    const std::shared_ptr<void>& busContext() const { return busContext_; }

    PhysicalDevice(const PhysicalDevice&) = delete;
    PhysicalDevice& operator=(const PhysicalDevice&) = delete;

protected:
    PhysicalDevice(std::string instanceId, std::shared_ptr<void> busContext);
    ~PhysicalDevice();
    std::shared_ptr<void> busContext_;

private:
    std::string instanceId_;
};

struct DeviceOptions {
    std::string name;        // empty: unnamed; else opened as "\\.\<name>"
    uint32_t deviceType = 0; // the device type of its control codes
    bool exclusive = false;  // one open handle at a time
};

class DeviceObject {
public:
    DriverObject& driver() const { return driver_; }
    // Null for a device created without one (a device of the driver alone).
    PhysicalDevice* physicalDevice() const { return physical_; }
    const DeviceOptions& options() const { return options_; }
    void* extension() const { return extension_.get(); }
    template <class T> T& extension() const { return *static_cast<T*>(extension_.get()); }

    DeviceObject(const DeviceObject&) = delete;
    DeviceObject& operator=(const DeviceObject&) = delete;

protected:
    DeviceObject(DriverObject& driver, PhysicalDevice* physical, DeviceOptions options,
                 std::shared_ptr<void> extension);
    ~DeviceObject();
    std::shared_ptr<void> extension_;

private:
    DriverObject& driver_;
    PhysicalDevice* physical_;
    DeviceOptions options_;
};

// One open of a device.
class FileObject {
public:
    // Per-open data of the driver; released after its close routine.
    std::shared_ptr<void> context;

    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

protected:
    FileObject() = default;
    ~FileObject() = default;
};

// The bytes behind a request's system buffer. The layer hands them from one
// request of a thread to its next, so that a request neither allocates nor
// clears what its caller fills anyway.
struct SystemBuffer {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t capacity = 0;
    uint32_t size = 0;
};

// One request. The driver keeps the pointer as long as it needs the request;
// the buffer is the driver's own, never the caller's memory.
class IoRequest : public std::enable_shared_from_this<IoRequest> {
public:
    MajorFunction majorFunction() const { return major_; }
    DeviceObject& device() const { return device_; }
    FileObject& fileObject() const { return *file_; }
    uint32_t ioControlCode() const { return code_; }
    uint32_t inputBufferLength() const { return inLength_; }
    uint32_t outputBufferLength() const { return outLength_; }
    // max(input, output) bytes: the input on entry, the output on completion.
    std::span<uint8_t> systemBuffer() { return {buffer_.bytes.get(), buffer_.size}; }

    // Bytes of the buffer that are the answer.
    void setInformation(uint32_t bytes);
    uint32_t information() const;

    // Before a dispatch routine returns kStatusPending.
    void markPending();
    // The first completion counts; later ones are ignored. Returns status, so
    // a dispatch routine can end with "return request->complete(status);".
    DriverStatus complete(DriverStatus status);
    bool isCompleted() const;
    bool isCancelled() const;

    // A routine the layer calls (on the cancelling thread, once) when the
    // request is cancelled; it should complete the request with
    // kStatusCancelled. False when the request was cancelled already: the
    // routine is not kept and the driver completes the request itself.
    bool setCancelRoutine(CancelRoutine routine);
    // Before completing a request that had a cancel routine: true when the
    // driver still owns the completion, false when the cancel routine runs or
    // ran (it completes the request).
    bool clearCancelRoutine();

    IoRequest(MajorFunction major, DeviceObject& device, std::shared_ptr<FileObject> file,
              uint32_t code, SystemBuffer buffer, uint32_t inLength, uint32_t outLength);
    IoRequest(const IoRequest&) = delete;
    IoRequest& operator=(const IoRequest&) = delete;

private:
    friend struct detail::IoAccess;

    const MajorFunction major_;
    DeviceObject& device_;
    const std::shared_ptr<FileObject> file_;
    const uint32_t code_;
    SystemBuffer buffer_;
    const uint32_t inLength_;
    const uint32_t outLength_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    uint32_t information_ = 0;
    bool markedPending_ = false;
    bool completed_ = false;
    bool cancelled_ = false;
    bool cancelRoutineTaken_ = false;
    bool abandoned_ = false; // the caller was released without an answer
    DriverStatus status_ = kStatusPending;
    DriverStatus abandonStatus_ = 0;
    CancelRoutine cancelRoutine_;
};

// Counts the requests inside a driver, so that removal can wait for them.
class RemoveLock {
public:
    // kStatusDeletePending once removal began.
    DriverStatus acquire();
    void release();
    // In the remove routine, holding one acquisition: refuses new ones, drops
    // that hold and the initial one, and waits until every other is released.
    void releaseAndWait();
    // Acquisitions outstanding, the initial one included.
    int count() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable drained_;
    int count_ = 1;
    bool removed_ = false;
};

// --- driver registration and loading (last error set on failure)

// Runs the entry of a linked-in driver at once. EEXIST for a name in use.
bool registerDriver(std::string_view name, DriverEntry entry);
// Loads a driver library; true also when the same file is loaded already.
// ENOENT missing file, ELIBBAD not loadable, ENOEXEC no entry, EEXIST name in
// use, or the entry's own status.
bool loadDriverLibrary(const std::string& path);

// Event-log entries of the layer (source kDeviceEventSource, insertion
// strings in the order of the placeholders).
inline constexpr const char* kDeviceEventSource = "VeldonDevices";
inline constexpr uint32_t kEventDriverLibraryMissing = 0xC0020001; // %1 path
inline constexpr uint32_t kEventDriverLibraryBroken = 0xC0020002;  // %1 path, %2 loader's reason
inline constexpr uint32_t kEventDriverEntryMissing = 0xC0020003;   // %1 path, %2 symbol
inline constexpr uint32_t kEventDriverEntryFailed = 0xC0020004;    // %1 driver, %2 status
inline constexpr uint32_t kEventDriverNameInUse = 0xC0020005;      // %1 driver
inline constexpr uint32_t kEventDeviceRefused = 0xC0020006;     // %1 driver, %2 instance, %3 status
inline constexpr uint32_t kEventDeviceStartFailed = 0xC0020007; // %1 driver, %2 instance, %3 status
inline constexpr uint32_t kEventDriverRoutineThrew = 0xC0020008; // %1 routine

// --- device objects and interfaces

// Creates a device object for the driver (in addDevice, with the physical
// device it was given; or anywhere, with none). The extension is the driver's
// per-device data. EEXIST for a name in use or a second device of one physical
// device; EINVAL for a name with '\'.
DriverStatus createDevice(DriverObject& driver, PhysicalDevice* physical,
                          const DeviceOptions& options, std::shared_ptr<void> extension,
                          DeviceObject*& device);
template <class T>
DriverStatus createDevice(DriverObject& driver, PhysicalDevice* physical,
                          const DeviceOptions& options, DeviceObject*& device) {
    return createDevice(driver, physical, options, std::make_shared<T>(), device);
}
// Its name and interfaces go at once (removal is told for enabled ones); the
// object stays valid while a handle or request still refers to it.
void deleteDevice(DeviceObject& device);

// Registers a (disabled) interface of a class for the device and gives its
// device path. Registering it again gives the same path.
DriverStatus registerDeviceInterface(DeviceObject& device, const Guid& interfaceClass,
                                     std::string_view referenceString, std::string& devicePath);
// Enabling lists the path in enumeration and tells arrival to the class's
// registrations; disabling takes it out and tells removal.
DriverStatus setDeviceInterfaceState(DeviceObject& device, std::string_view devicePath,
                                     bool enable);

// --- the bus side: devices arriving and going (processed on the plug-and-play thread)

// Queues the arrival of a device for the named driver. ENOENT unknown driver,
// EINVAL empty instance id. An instance id that is present is refused later
// (through the event hook).
bool reportDeviceArrived(std::string_view driverName, std::string_view instanceId,
                         std::shared_ptr<void> busContext = {});
// Queues the surprise removal of a device. ENOENT for an instance id that is
// not present or already going.
bool reportDeviceGone(std::string_view instanceId);

// These wait for the plug-and-play thread (EDEADLK on a thread of the layer).
// Ejects a device: query-remove to handle registrations, then the driver's
// query-remove and removal. EBUSY when a handle stays open.
bool ejectDevice(std::string_view instanceId);
// Query-stop, stop and start again (a rebalance of resources).
bool rebalanceDevice(std::string_view instanceId);
// Query (except for Working), then set, for every started device. The first
// refusal ends it with the driver's status.
bool setSystemPowerState(SystemPowerState state);
// Until every queued plug-and-play event was handled.
bool waitForPnpIdle();

// --- for simulations

// Runs after every successful open, with the instance id of the device opened
// (that of its physical device, or ROOT\<DRIVER>\NNNN), on the opening thread
// and under no lock of the layer: a simulated device can act on its first
// open, which its driver may never see. One observer at a time; empty: none.
using DeviceOpenObserver = std::function<void(std::string_view instanceId)>;
void setDeviceOpenObserver(DeviceOpenObserver observer);

} // namespace platform
