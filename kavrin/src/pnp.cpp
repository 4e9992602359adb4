// Plug and play and power: the device object of a board, its start, stop and
// removal, and the system's power requests.

#include "acquisition.h"
#include "board_start.h"
#include "device_extension.h"
#include "driver.h"

#include "platform/clock.h"

namespace kavrin {

using namespace platform;

namespace {

void setState(DEVICE_EXTENSION& device, DeviceState state) {
    device.previousState = device.state.exchange(state);
}

} // namespace

DriverStatus AddDevice(DriverObject& driver, PhysicalDevice& physical) {
    DriverContext& context = contextOf(driver);
    auto extension = std::make_shared<DEVICE_EXTENSION>();
    extension->usb = usb::usbDeviceOf(physical);
    if (!extension->usb) {
        return kStatusNoSuchDevice;
    }
    extension->driver = &context;
    extension->physicalDevice = &physical;
    extension->slot = TakeBoardSlot(context);
    if (extension->slot < 0) {
        return kStatusInsufficientResources;
    }
    DeviceOptions options;
    options.deviceType = kBoardDeviceType;
    options.exclusive = true;
    DeviceObject* device = nullptr;
    DriverStatus status = createDevice(driver, &physical, options, extension, device);
    if (status != kStatusSuccess) {
        ReleaseBoardSlot(context, extension->slot);
        return status;
    }
    extension->deviceObject = device;
    status =
        registerDeviceInterface(*device, GUID_DEVINTERFACE_KAVRIN, {}, extension->interfacePath);
    if (status != kStatusSuccess) {
        ReleaseBoardSlot(context, extension->slot);
        deleteDevice(*device);
    }
    return status;
}

DriverStatus StartDevice(DeviceObject& device) {
    DEVICE_EXTENSION& extension = extensionOf(device);
    RemoveLockHold hold(extension.removeLock);
    if (!hold.acquired() || extension.state.load() == DeviceState::Removed) {
        return kStatusDeletePending;
    }
    extension.acquisition.sentSinceStart = false;
    if (const DriverStatus status = StartBoard(extension); status != kStatusSuccess) {
        return status;
    }
    sleepMs(startDelayMs(extension.slot));
    // Started before the interface is told: a client that opens the device
    // as soon as it hears of its arrival must find it ready.
    const DeviceState before = extension.state.load();
    const DeviceState beforePrevious = extension.previousState.load();
    setState(extension, DeviceState::Started);
    if (const DriverStatus status = setDeviceInterfaceState(device, extension.interfacePath, true);
        status != kStatusSuccess) {
        extension.state = before;
        extension.previousState = beforePrevious;
        return status;
    }
    return kStatusSuccess;
}

DriverStatus StopDevice(DeviceObject& device) {
    DEVICE_EXTENSION& extension = extensionOf(device);
    RemoveLockHold hold(extension.removeLock);
    if (!hold.acquired()) {
        return kStatusDeletePending;
    }
    StopContinuousAcquisition(extension, true);
    if (extension.usb) {
        extension.usb->selectConfiguration(0);
    }
    setState(extension, DeviceState::Stopped);
    return kStatusSuccess;
}

DriverStatus SurpriseRemoval(DeviceObject& device) {
    DEVICE_EXTENSION& extension = extensionOf(device);
    RemoveLockHold hold(extension.removeLock);
    if (!hold.acquired()) {
        return kStatusDeletePending;
    }
    ClearBoardSlot(*extension.driver, extension.slot);
    setState(extension, DeviceState::SurpriseRemoved);
    StopContinuousAcquisition(extension, true);
    return kStatusSuccess;
}

DriverStatus RemoveDevice(DeviceObject& device) {
    DEVICE_EXTENSION& extension = extensionOf(device);
    // A pending scan request holds the remove lock: it ends first.
    StopContinuousAcquisition(extension, true);
    // The request's own hold and the initial one go; every other request in
    // the driver finishes first.
    extension.removeLock.acquire();
    extension.removeLock.releaseAndWait();
    setState(extension, DeviceState::Removed);
    ReleaseBoardSlot(*extension.driver, extension.slot);
    setDeviceInterfaceState(device, extension.interfacePath, false);
    extension.pipes.clear();
    extension.usb.reset();
    deleteDevice(device);
    return kStatusSuccess;
}

DriverStatus DispatchPower(DeviceObject& device, const PowerRequest& request) {
    DEVICE_EXTENSION& extension = extensionOf(device);
    const DeviceState state = extension.state.load();
    if (state == DeviceState::Removed) {
        return kStatusDeletePending;
    }
    if (state == DeviceState::NeverStarted) {
        return kStatusSuccess;
    }
    RemoveLockHold hold(extension.removeLock);
    if (!hold.acquired()) {
        return kStatusDeletePending;
    }
    if (request.state == SystemPowerState::Working) {
        if (request.action == PowerAction::Set && extension.usb) {
            extension.usb->resetPort();
        }
        return kStatusSuccess;
    }
    // A client holding the board open keeps the system awake.
    if (state == DeviceState::Started && extension.open.load()) {
        return kStatusDeletePending;
    }
    return kStatusSuccess;
}

} // namespace kavrin
