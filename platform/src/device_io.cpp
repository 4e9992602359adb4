// The program's side of the device layer: enumeration, open, close,
// device-control requests, cancellation and notification registration.

#include "device_internal.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

namespace platform {

using namespace detail;

namespace {

constexpr std::string_view kDeviceNamePrefix = "\\\\.\\";

std::shared_ptr<FileNode> lookupFile(DeviceHandle handle) {
    if (handle == kPlaceholderDeviceHandle || handle == kInvalidDeviceHandle) {
        return nullptr;
    }
    std::optional<std::shared_ptr<FileNode>> file = layer().handles.get(handle);
    return file ? *file : nullptr;
}

std::shared_ptr<DeviceNode> findDeviceLocked(DeviceLayer& l, std::string_view pathOrName) {
    if (pathOrName.starts_with(kDeviceNamePrefix)) {
        const std::string_view name = pathOrName.substr(kDeviceNamePrefix.size());
        for (const auto& driver : l.drivers) {
            for (const auto& device : driver->devices) {
                if (!device->options().name.empty() && equalsNoCase(device->options().name, name)) {
                    return device;
                }
            }
        }
        return nullptr;
    }
    for (const InterfaceRecord& record : l.interfaces) {
        if (record.enabled && equalsNoCase(record.path, pathOrName)) {
            return record.device;
        }
    }
    return nullptr;
}

// The file no longer counts for its device; a removed device may go now.
void releaseFile(const std::shared_ptr<FileNode>& file) {
    DeviceLayer& l = layer();
    const std::shared_ptr<DeviceNode>& device = file->device;
    bool removeNow = false;
    {
        std::lock_guard lock(l.mutex);
        --device->openFiles;
        --l.liveFiles;
        std::erase(device->files, file);
        if (device->removeWhenClosed && device->openFiles == 0 && !device->removeQueued &&
            !l.shuttingDown) {
            device->removeQueued = true;
            removeNow = true;
        }
    }
    l.filesClosed.notify_all();
    if (removeNow) {
        queueRemoveAfterClose(device);
    }
}

// The last step of a file: the driver's close routine, then the device may go.
void finishClose(const std::shared_ptr<FileNode>& file) {
    runSimpleRequest(MajorFunction::Close, file);
    file->context.reset();
    releaseFile(file);
}

// One call fewer on the file; the last one after cleanup closes it.
void leaveFile(const std::shared_ptr<FileNode>& file, const IoRequestPtr& request) {
    bool finish = false;
    {
        std::lock_guard lock(layer().mutex);
        std::erase(file->pending, request);
        --file->activeCalls;
        if (file->cleanedUp && file->activeCalls == 0 && !file->closeClaimed) {
            file->closeClaimed = true;
            finish = true;
        }
    }
    if (finish) {
        finishClose(file);
    }
}

// Each thread keeps the buffer of its last finished request for its next.
constexpr uint32_t kLargestKeptBuffer = 4u << 20;
thread_local SystemBuffer t_keptBuffer;

SystemBuffer systemBufferFor(const void* in, uint32_t inLength, uint32_t outLength) {
    SystemBuffer buffer = std::exchange(t_keptBuffer, SystemBuffer{});
    const uint32_t size = std::max(inLength, outLength);
    if (buffer.capacity < size) {
        buffer.bytes = std::make_unique_for_overwrite<uint8_t[]>(size);
        buffer.capacity = size;
    }
    buffer.size = size;
    if (inLength != 0) {
        std::memcpy(buffer.bytes.get(), in, inLength);
    }
    // Output beyond the input starts cleared, whatever the last request left.
    std::memset(buffer.bytes.get() + inLength, 0, size - inLength);
    return buffer;
}

void keepSystemBuffer(IoRequestPtr& request) {
    // Only once no driver holds the request any more may its bytes serve again.
    if (request.use_count() == 1 && request->systemBuffer().size() <= kLargestKeptBuffer) {
        t_keptBuffer = IoAccess::takeBuffer(*request);
    }
}

const DispatchRoutine& routineFor(const DriverObject& driver, MajorFunction major) {
    switch (major) {
    case MajorFunction::Create:
        return driver.dispatchCreate;
    case MajorFunction::Cleanup:
        return driver.dispatchCleanup;
    case MajorFunction::Close:
        return driver.dispatchClose;
    case MajorFunction::DeviceControl:
        break;
    }
    return driver.dispatchDeviceControl;
}

} // namespace

namespace detail {

DriverStatus runSimpleRequest(MajorFunction major, const std::shared_ptr<FileNode>& file) {
    DeviceNode& device = *file->device;
    const DispatchRoutine& routine = routineFor(device.driver(), major);
    if (!routine) {
        return kStatusSuccess;
    }
    auto request = std::make_shared<IoRequest>(major, device, file, 0, SystemBuffer{}, 0, 0);
    const DriverStatus status = guarded("dispatch", [&] { return routine(device, request); });
    if (status == kStatusPending && !request->isCompleted() && major != MajorFunction::Create) {
        return kStatusSuccess; // cleanup and close are not waited for
    }
    if (status != kStatusPending) {
        request->complete(status);
    }
    return IoAccess::wait(request);
}

void closeFile(const std::shared_ptr<FileNode>& file, DriverStatus reason) {
    DeviceLayer& l = layer();
    {
        std::lock_guard lock(l.mutex);
        if (file->closing) {
            return;
        }
        file->closing = true;
    }
    runSimpleRequest(MajorFunction::Cleanup, file);
    std::vector<IoRequestPtr> pending;
    {
        std::lock_guard lock(l.mutex);
        pending = file->pending;
    }
    for (const IoRequestPtr& request : pending) {
        IoAccess::cancel(request, reason);
    }
    bool finish = false;
    {
        std::lock_guard lock(l.mutex);
        file->cleanedUp = true;
        if (file->activeCalls == 0 && !file->closeClaimed) {
            file->closeClaimed = true;
            finish = true;
        }
    }
    if (finish) {
        finishClose(file);
    }
}

} // namespace detail

std::vector<std::string> enumerateDeviceInterfaces(const Guid& interfaceClass) {
    ensureDriversLoaded();
    DeviceLayer& l = layer();
    std::vector<std::string> paths;
    std::lock_guard lock(l.mutex);
    for (const InterfaceRecord& record : l.interfaces) {
        if (record.enabled && record.interfaceClass == interfaceClass && !record.device->removed) {
            paths.push_back(record.path);
        }
    }
    return paths;
}

namespace {

std::mutex& openObserverMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<const DeviceOpenObserver>& openObserver() {
    static std::shared_ptr<const DeviceOpenObserver> observer;
    return observer;
}

void tellOpenObserver(const std::string& instanceId) {
    std::shared_ptr<const DeviceOpenObserver> observer;
    {
        std::lock_guard lock(openObserverMutex());
        observer = openObserver();
    }
    if (observer) {
        (*observer)(instanceId);
    }
}

} // namespace

void setDeviceOpenObserver(DeviceOpenObserver observer) {
    std::lock_guard lock(openObserverMutex());
    openObserver() =
        observer ? std::make_shared<const DeviceOpenObserver>(std::move(observer)) : nullptr;
}

DeviceHandle openDevice(std::string_view pathOrName) {
    ensureDriversLoaded();
    DeviceLayer& l = layer();
    std::shared_ptr<FileNode> file;
    {
        std::lock_guard lock(l.mutex);
        if (l.shuttingDown) {
            fail(ENODEV);
            return kInvalidDeviceHandle;
        }
        std::shared_ptr<DeviceNode> device = findDeviceLocked(l, pathOrName);
        if (!device) {
            fail(ENOENT);
            return kInvalidDeviceHandle;
        }
        if (device->removed) {
            fail(ENODEV);
            return kInvalidDeviceHandle;
        }
        if (device->options().exclusive && device->openFiles > 0) {
            fail(EBUSY);
            return kInvalidDeviceHandle;
        }
        ++device->openFiles;
        ++l.liveFiles;
        file = std::make_shared<FileNode>(device);
        device->files.push_back(file);
    }

    const DriverStatus status = runSimpleRequest(MajorFunction::Create, file);
    if (status != kStatusSuccess) {
        // A refused open never hears cleanup or close.
        releaseFile(file);
        fail(status);
        return kInvalidDeviceHandle;
    }

    int error = 0;
    DeviceHandle handle = kInvalidDeviceHandle;
    {
        std::lock_guard lock(l.mutex);
        if (l.shuttingDown) {
            error = ENODEV;
        } else {
            handle = l.handles.insert(file);
            // The placeholder value stays taken by an empty entry for good.
            while (handle == kPlaceholderDeviceHandle || handle == kInvalidDeviceHandle) {
                l.handles.replace(handle, nullptr);
                handle = l.handles.insert(file);
            }
            if (handle == 0) {
                error = EMFILE;
                handle = kInvalidDeviceHandle;
            } else {
                file->handle = handle;
            }
        }
    }
    if (error != 0) {
        closeFile(file, kStatusCancelled);
        fail(error);
        return kInvalidDeviceHandle;
    }
    tellOpenObserver(file->device->instanceId);
    return handle;
}

bool closeDevice(DeviceHandle handle) {
    if (handle == kPlaceholderDeviceHandle || handle == kInvalidDeviceHandle) {
        return fail(EBADF);
    }
    DeviceLayer& l = layer();
    std::shared_ptr<FileNode> file;
    {
        std::lock_guard lock(l.mutex);
        std::optional<std::shared_ptr<FileNode>> entry = l.handles.get(handle);
        if (!entry || !*entry) {
            return fail(EBADF);
        }
        file = *entry;
        l.handles.remove(handle);
    }
    closeFile(file, kStatusCancelled);
    return true;
}

bool deviceIoControl(DeviceHandle handle, uint32_t ioControlCode, const void* in, uint32_t inLength,
                     void* out, uint32_t outLength, uint32_t* bytesReturned) {
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    if ((in == nullptr && inLength != 0) || (out == nullptr && outLength != 0)) {
        return fail(EINVAL);
    }
    std::shared_ptr<FileNode> file = lookupFile(handle);
    if (!file) {
        return fail(EBADF);
    }
    DeviceNode& device = *file->device;
    auto request =
        std::make_shared<IoRequest>(MajorFunction::DeviceControl, device, file, ioControlCode,
                                    systemBufferFor(in, inLength, outLength), inLength, outLength);
    {
        std::lock_guard lock(layer().mutex);
        if (file->closing) {
            return fail(EBADF);
        }
        if (device.removed) {
            return fail(ENODEV);
        }
        ++file->activeCalls;
        file->pending.push_back(request);
    }

    if (!request->isCancelled()) {
        const DispatchRoutine& routine = device.driver().dispatchDeviceControl;
        const DriverStatus status =
            routine ? guarded("device control", [&] { return routine(device, request); })
                    : kStatusInvalidDeviceRequest;
        if (status != kStatusPending) {
            request->complete(status);
        }
    }
    const DriverStatus result = IoAccess::wait(request);
    uint32_t copied = 0;
    if (result == kStatusSuccess) {
        // Only this thread touches the caller's buffer, and only after completion.
        copied = std::min({request->information(), outLength,
                           static_cast<uint32_t>(request->systemBuffer().size())});
        if (copied != 0) {
            std::memcpy(out, request->systemBuffer().data(), copied);
        }
    }
    leaveFile(file, request);
    keepSystemBuffer(request);
    if (result != kStatusSuccess) {
        return fail(result);
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = copied;
    }
    return true;
}

bool cancelIo(DeviceHandle handle) {
    std::shared_ptr<FileNode> file = lookupFile(handle);
    if (!file) {
        return fail(EBADF);
    }
    std::vector<IoRequestPtr> pending;
    {
        std::lock_guard lock(layer().mutex);
        pending = file->pending;
    }
    bool any = false;
    for (const IoRequestPtr& request : pending) {
        any = IoAccess::cancel(request, kStatusCancelled) || any;
    }
    return any ? true : fail(ENOENT);
}

namespace {
DeviceNotificationHandle addRegistration(bool forClass, const Guid& interfaceClass,
                                         std::weak_ptr<DeviceNode> device, DeviceHandle handle,
                                         DeviceChangeCallback callback) {
    DeviceLayer& l = layer();
    std::lock_guard lock(l.mutex);
    if (l.shuttingDown) {
        fail(ENODEV);
        return 0;
    }
    return l.notifier.add(forClass, interfaceClass, std::move(device), handle, std::move(callback));
}
} // namespace

DeviceNotificationHandle registerInterfaceNotification(const Guid& interfaceClass,
                                                       DeviceChangeCallback callback) {
    if (!callback) {
        fail(EINVAL);
        return 0;
    }
    return addRegistration(true, interfaceClass, {}, kInvalidDeviceHandle, std::move(callback));
}

DeviceNotificationHandle registerHandleNotification(DeviceHandle handle,
                                                    DeviceChangeCallback callback) {
    std::shared_ptr<FileNode> file = callback ? lookupFile(handle) : nullptr;
    if (!file) {
        fail(callback ? EBADF : EINVAL);
        return 0;
    }
    return addRegistration(false, Guid{}, file->device, handle, std::move(callback));
}

bool unregisterDeviceNotification(DeviceNotificationHandle registration) {
    if (registration == 0 || !layer().notifier.remove(registration)) {
        return fail(EINVAL);
    }
    return true;
}

} // namespace platform
