// Plug and play: devices arriving and going, eject, stop and restart, power,
// and the shutdown of the whole layer.

#include "device_internal.h"

#include <algorithm>
#include <future>

namespace platform {

using namespace detail;

namespace {

// Everything of a device that removal tells and cancels, done under the lock:
// handle registrations, the class registrations of its enabled interfaces.
std::vector<IoRequestPtr> takeDownLocked(DeviceLayer& l, DeviceNode& device) {
    l.notifier.postDevice(&device, DeviceChangeEvent::RemoveComplete);
    for (InterfaceRecord& record : l.interfaces) {
        if (record.device.get() == &device && record.enabled) {
            record.enabled = false;
            l.notifier.postClass(record.interfaceClass, DeviceChangeEvent::RemoveComplete,
                                 record.path);
        }
    }
    std::vector<IoRequestPtr> pending;
    for (const auto& file : device.files) {
        pending.insert(pending.end(), file->pending.begin(), file->pending.end());
    }
    return pending;
}

// The device is gone (surprise removal, or a restart that failed): requests
// end with ENODEV, and the driver's remove follows once no handle is open.
void goneDevice(const std::shared_ptr<DeviceNode>& device, bool surprise) {
    DeviceLayer& l = layer();
    bool running = false;
    {
        std::lock_guard lock(l.mutex);
        if (device->state == PnpState::SurpriseRemoved || device->state == PnpState::Removed) {
            return;
        }
        running = device->state == PnpState::Started || device->state == PnpState::Stopped;
        device->removed = true;
        if (device->physicalNode) {
            forgetPhysicalLocked(device->physicalNode);
        }
    }
    const PnpRoutine& routine = device->driver().surpriseRemoval;
    if (surprise && running && routine) {
        guarded("surprise removal", [&] { return routine(*device); });
    }
    std::vector<IoRequestPtr> pending;
    bool removeNow = false;
    {
        std::lock_guard lock(l.mutex);
        device->state = PnpState::SurpriseRemoved;
        pending = takeDownLocked(l, *device);
        if (device->openFiles == 0) {
            device->removeQueued = true;
            removeNow = true;
        } else {
            device->removeWhenClosed = true;
        }
    }
    for (const IoRequestPtr& request : pending) {
        IoAccess::cancel(request, kStatusNoSuchDevice);
    }
    if (removeNow) {
        removeDeviceNode(device);
    }
}

void handleArrival(const std::shared_ptr<DriverNode>& driver, const std::string& instanceId,
                   std::shared_ptr<void> busContext, uint64_t token) {
    DeviceLayer& l = layer();
    std::shared_ptr<PhysicalNode> physical;
    {
        std::lock_guard lock(l.mutex);
        if (driver->unloaded || l.shuttingDown) {
            return;
        }
        physical = std::make_shared<PhysicalNode>(instanceId, std::move(busContext), driver);
        physical->token = token;
        l.physicals.push_back(physical);
    }
    const AddDeviceRoutine& addDevice = driver->addDevice;
    const DriverStatus added =
        addDevice ? guarded("add device", [&] { return addDevice(*driver, *physical); })
                  : kStatusInvalidDeviceRequest;
    std::shared_ptr<DeviceNode> device;
    {
        std::lock_guard lock(l.mutex);
        device = physical->fdo;
    }
    if (added != kStatusSuccess || !device) {
        if (added != kStatusSuccess) {
            reportDeviceEvent(kEventDeviceRefused,
                              {driver->name(), instanceId, std::to_string(added)});
        }
        if (device) {
            deleteDeviceNode(device);
        }
        std::lock_guard lock(l.mutex);
        forgetPhysicalLocked(physical);
        physical->fdo.reset();
        return;
    }
    const PnpRoutine& start = driver->startDevice;
    const DriverStatus started =
        start ? guarded("start", [&] { return start(*device); }) : kStatusSuccess;
    if (started != kStatusSuccess) {
        reportDeviceEvent(kEventDeviceStartFailed,
                          {driver->name(), device->instanceId, std::to_string(started)});
        removeDeviceNode(device);
        return;
    }
    std::lock_guard lock(l.mutex);
    if (device->state == PnpState::Added) {
        device->state = PnpState::Started;
    }
}

std::shared_ptr<DeviceNode> findPresent(std::string_view instanceId) {
    DeviceLayer& l = layer();
    std::lock_guard lock(l.mutex);
    for (const auto& physical : l.physicals) {
        if (physical->instanceId() == instanceId && physical->fdo && !physical->fdo->removed) {
            return physical->fdo;
        }
    }
    return nullptr;
}

DriverStatus handleEject(const std::string& instanceId) {
    DeviceLayer& l = layer();
    const std::shared_ptr<DeviceNode> device = findPresent(instanceId);
    if (!device) {
        return ENOENT;
    }
    // Holders of handles hear first, so that they can close them.
    if (l.notifier.hasDeviceRegistrations(device.get())) {
        l.notifier.postDevice(device.get(), DeviceChangeEvent::QueryRemove);
        l.notifier.waitDelivered();
    }
    bool busy = false;
    {
        std::lock_guard lock(l.mutex);
        busy = device->openFiles > 0;
        if (!busy) {
            device->removed = true;
        }
    }
    const PnpRoutine& query = device->driver().queryRemoveDevice;
    const DriverStatus status =
        busy ? kStatusDeviceBusy
             : (query ? guarded("query remove", [&] { return query(*device); }) : kStatusSuccess);
    if (status != kStatusSuccess) {
        std::lock_guard lock(l.mutex);
        device->removed = false;
        l.notifier.postDevice(device.get(), DeviceChangeEvent::QueryRemoveFailed);
        return status;
    }
    l.notifier.postDevice(device.get(), DeviceChangeEvent::RemovePending);
    {
        std::lock_guard lock(l.mutex);
        forgetPhysicalLocked(device->physicalNode);
    }
    removeDeviceNode(device);
    l.notifier.postDevice(device.get(), DeviceChangeEvent::RemoveComplete);
    return kStatusSuccess;
}

DriverStatus handleRebalance(const std::string& instanceId) {
    DeviceLayer& l = layer();
    const std::shared_ptr<DeviceNode> device = findPresent(instanceId);
    if (!device) {
        return ENOENT;
    }
    {
        std::lock_guard lock(l.mutex);
        if (device->state != PnpState::Started) {
            return kStatusInvalidDeviceState;
        }
    }
    const DriverObject& driver = device->driver();
    if (driver.queryStopDevice) {
        const DriverStatus status =
            guarded("query stop", [&] { return driver.queryStopDevice(*device); });
        if (status != kStatusSuccess) {
            return status;
        }
    }
    if (driver.stopDevice) {
        guarded("stop", [&] { return driver.stopDevice(*device); });
    }
    {
        std::lock_guard lock(l.mutex);
        device->state = PnpState::Stopped;
    }
    const DriverStatus status = driver.startDevice
                                    ? guarded("start", [&] { return driver.startDevice(*device); })
                                    : kStatusSuccess;
    if (status != kStatusSuccess) {
        reportDeviceEvent(kEventDeviceStartFailed,
                          {driver.name(), device->instanceId, std::to_string(status)});
        goneDevice(device, false);
        return status;
    }
    std::lock_guard lock(l.mutex);
    device->state = PnpState::Started;
    return kStatusSuccess;
}

DriverStatus handlePower(SystemPowerState state) {
    DeviceLayer& l = layer();
    std::vector<std::shared_ptr<DeviceNode>> devices;
    {
        std::lock_guard lock(l.mutex);
        for (const auto& driver : l.drivers) {
            for (const auto& device : driver->devices) {
                if (device->state == PnpState::Started && !device->removed) {
                    devices.push_back(device);
                }
            }
        }
    }
    auto send = [&](PowerAction action) {
        for (const auto& device : devices) {
            const PowerRoutine& routine = device->driver().dispatchPower;
            if (!routine) {
                continue;
            }
            const DriverStatus status = guarded("power", [&] {
                return routine(*device, PowerRequest{action, state});
            });
            if (status != kStatusSuccess && action == PowerAction::Query) {
                return status;
            }
        }
        return kStatusSuccess;
    };
    if (state != SystemPowerState::Working) {
        if (const DriverStatus refused = send(PowerAction::Query); refused != kStatusSuccess) {
            return refused;
        }
    }
    return send(PowerAction::Set);
}

// Runs work on the plug-and-play thread and waits for its status.
bool runOnPnpThread(std::function<DriverStatus()> work) {
    if (onLayerThread()) {
        return fail(EDEADLK);
    }
    DeviceLayer& l = layer();
    auto promise = std::make_shared<std::promise<DriverStatus>>();
    std::future<DriverStatus> result = promise->get_future();
    {
        std::lock_guard lock(l.mutex);
        if (l.shuttingDown) {
            return fail(ENODEV);
        }
        l.pnp.post([promise, work = std::move(work)] { promise->set_value(work()); });
    }
    DriverStatus status = kStatusCancelled;
    try {
        status = result.get();
    } catch (const std::future_error&) {
        // dropped by a shutdown
    }
    return status == kStatusSuccess ? true : fail(status);
}

} // namespace

namespace detail {

void queueArrivalLocked(const std::shared_ptr<DriverNode>& driver, const std::string& instanceId,
                        std::shared_ptr<void> busContext) {
    DeviceLayer& l = layer();
    const uint64_t token = l.announced[instanceId];
    l.pnp.post([driver, instanceId, context = std::move(busContext), token]() mutable {
        handleArrival(driver, instanceId, std::move(context), token);
    });
}

void forgetPhysicalLocked(const std::shared_ptr<PhysicalNode>& physical) {
    DeviceLayer& l = layer();
    std::erase(l.physicals, physical);
    auto it = l.announced.find(physical->instanceId());
    if (it != l.announced.end() && it->second == physical->token) {
        l.announced.erase(it);
    }
}

void removeDeviceNode(const std::shared_ptr<DeviceNode>& device) {
    DeviceLayer& l = layer();
    {
        std::lock_guard lock(l.mutex);
        if (device->state == PnpState::Removed) {
            return;
        }
        device->state = PnpState::Removed;
        device->removed = true;
    }
    const PnpRoutine& routine = device->driver().removeDevice;
    if (routine) {
        guarded("remove", [&] { return routine(*device); });
    }
    deleteDeviceNode(device);
    std::shared_ptr<void> context;
    {
        std::lock_guard lock(l.mutex);
        if (device->physicalNode) {
            forgetPhysicalLocked(device->physicalNode);
            context = device->physicalNode->takeContext();
            device->physicalNode->fdo.reset(); // the two refer to each other
        }
    }
}

void queueRemoveAfterClose(const std::shared_ptr<DeviceNode>& device) {
    layer().pnp.post([device] { removeDeviceNode(device); });
}

} // namespace detail

bool reportDeviceArrived(std::string_view driverName, std::string_view instanceId,
                         std::shared_ptr<void> busContext) {
    if (instanceId.empty()) {
        return fail(EINVAL);
    }
    DeviceLayer& l = layer();
    std::lock_guard lock(l.mutex);
    if (l.shuttingDown) {
        return fail(ENODEV);
    }
    std::shared_ptr<DriverNode> driver;
    for (const auto& candidate : l.drivers) {
        if (candidate->name() == driverName && !candidate->unloaded) {
            driver = candidate;
        }
    }
    if (!driver) {
        return fail(ENOENT);
    }
    const std::string id(instanceId);
    if (l.announced.count(id) != 0) {
        return fail(EEXIST);
    }
    l.announced[id] = l.nextToken++;
    if (driver->initialising) {
        driver->deferredArrivals.emplace_back(id, std::move(busContext));
    } else {
        queueArrivalLocked(driver, id, std::move(busContext));
    }
    return true;
}

bool reportDeviceGone(std::string_view instanceId) {
    DeviceLayer& l = layer();
    std::lock_guard lock(l.mutex);
    auto it = l.announced.find(std::string(instanceId));
    if (it == l.announced.end()) {
        return fail(ENOENT);
    }
    const uint64_t token = it->second;
    l.announced.erase(it);
    for (const auto& driver : l.drivers) {
        auto deferred =
            std::find_if(driver->deferredArrivals.begin(), driver->deferredArrivals.end(),
                         [&](const auto& item) { return item.first == instanceId; });
        if (deferred != driver->deferredArrivals.end()) {
            driver->deferredArrivals.erase(deferred);
            return true;
        }
    }
    // Queued behind its arrival, so it finds the device that arrival made.
    l.pnp.post([token] {
        DeviceLayer& layerRef = layer();
        std::shared_ptr<DeviceNode> device;
        {
            std::lock_guard lock(layerRef.mutex);
            for (const auto& physical : layerRef.physicals) {
                if (physical->token == token) {
                    device = physical->fdo;
                }
            }
        }
        if (device) {
            goneDevice(device, true);
        }
    });
    return true;
}

bool ejectDevice(std::string_view instanceId) {
    return runOnPnpThread([id = std::string(instanceId)] { return handleEject(id); });
}

bool rebalanceDevice(std::string_view instanceId) {
    return runOnPnpThread([id = std::string(instanceId)] { return handleRebalance(id); });
}

bool setSystemPowerState(SystemPowerState state) {
    return runOnPnpThread([state] { return handlePower(state); });
}

bool waitForPnpIdle() {
    if (onLayerThread()) {
        return fail(EDEADLK);
    }
    layer().pnp.waitIdle();
    return true;
}

bool shutdownDevices() {
    if (onLayerThread()) {
        return fail(EDEADLK);
    }
    DeviceLayer& l = layer();
    std::lock_guard load(l.loadMutex);
    {
        std::lock_guard lock(l.mutex);
        l.shuttingDown = true;
    }
    // No notification after this, and no plug-and-play work but ours.
    l.notifier.stop();
    l.pnp.stop();

    std::vector<std::shared_ptr<FileNode>> files;
    {
        std::lock_guard lock(l.mutex);
        for (auto& file : l.handles.clear()) {
            if (file) {
                files.push_back(std::move(file));
            }
        }
    }
    for (const auto& file : files) {
        closeFile(file, kStatusCancelled);
    }
    {
        // Calls still inside a driver finish their file's close.
        std::unique_lock lock(l.mutex);
        l.filesClosed.wait(lock, [&] { return l.liveFiles == 0; });
    }
    unloadAllDrivers();

    std::vector<std::shared_ptr<PhysicalNode>> physicals;
    std::lock_guard lock(l.mutex);
    physicals.swap(l.physicals);
    l.interfaces.clear();
    l.announced.clear();
    l.pathLoaded = false;
    l.initialSettled = false;
    l.shuttingDown = false;
    l.pnp.reopen();
    return true;
}

} // namespace platform
