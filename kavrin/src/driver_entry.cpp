// The driver's entry: its routines, its parameters, its message table and the
// USB ids of the boards.

#include "device_extension.h"
#include "driver.h"
#include "event_log.h"
#include "firmware.h"

#include "platform/usb.h"

#include <cerrno>
#include <dlfcn.h>
#include <vector>

namespace kavrin {

using namespace platform;

namespace {

// Beside the drivers of the tree: <build>/drivers/libkavrin.so reads
// <build>/firmware.
std::filesystem::path defaultFirmwareDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DriverEntry), &info) == 0 || !info.dli_fname) {
        return {};
    }
    return std::filesystem::absolute(info.dli_fname).parent_path().parent_path() / "firmware";
}

std::vector<usb::UsbDeviceId> boardUsbIds() {
    std::vector<usb::UsbDeviceId> ids = {{kBlankChipVendorId, kBlankChipProductId}};
    for (const BoardUsbId& board : kBoardUsbIds) {
        ids.push_back({board.vendorId, board.productIdGeneration1});
        ids.push_back({board.vendorId, static_cast<uint16_t>(board.productIdGeneration1 + 1)});
    }
    return ids;
}

} // namespace

DriverStatus DriverEntry(DriverObject& driver) {
    auto context = std::make_shared<DriverContext>();
    context->name = driver.name();
    context->registryPath = driver.registryPath();
    const RegistryParameters parameters = ReadRegistryParameters(context->registryPath);
    context->suppressIdCheck = parameters.suppressIdCheck;
    context->firmwareDirectory = parameters.firmwareDirectory.value_or(defaultFirmwareDirectory());
    driver.context = context;

    driver.dispatchCreate = DispatchCreate;
    driver.dispatchCleanup = DispatchCleanup;
    driver.dispatchClose = DispatchClose;
    driver.dispatchDeviceControl = DispatchDeviceControl;
    driver.addDevice = AddDevice;
    driver.startDevice = StartDevice;
    driver.stopDevice = StopDevice;
    driver.surpriseRemoval = SurpriseRemoval;
    driver.removeDevice = RemoveDevice;
    driver.dispatchPower = DispatchPower;
    driver.driverUnload = DriverUnload;

    registerMessages(context->name);
    // Switched off on purpose (ENODEV) is no news for the administrator.
    if (!usb::startRealUsb() && usb::realUsbError() != ENODEV) {
        WriteEventLogEntry(context->name, KAVRIN_MSG_USB_UNAVAILABLE, {usb::realUsbErrorText()});
    }
    const std::vector<usb::UsbDeviceId> ids = boardUsbIds();
    if (!usb::registerUsbDriver(context->name, ids)) {
        unregisterMessages(context->name);
        return kStatusUnsuccessful;
    }
    return kStatusSuccess;
}

void DriverUnload(DriverObject& driver) {
    usb::unregisterUsbDriver(driver.name());
    unregisterMessages(driver.name());
}

} // namespace kavrin
