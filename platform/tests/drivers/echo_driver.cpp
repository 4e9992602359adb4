// A driver library for the loading tests: a named device of its own and one
// plug-and-play device it reports from its entry; both answer every request
// with the input bytes plus one.

#include "platform/driver.h"

#include <cstdio>

namespace {

using namespace platform;

constexpr Guid kEchoClass = Guid::parse("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}").value();

struct Extension {
    std::string interfacePath;
};

DriverStatus increment(DeviceObject&, const IoRequestPtr& request) {
    std::span<uint8_t> buffer = request->systemBuffer();
    for (uint32_t i = 0; i < request->inputBufferLength(); ++i) {
        buffer[i] = static_cast<uint8_t>(buffer[i] + 1);
    }
    request->setInformation(request->inputBufferLength());
    return request->complete(kStatusSuccess);
}

} // namespace

VELDON_DRIVER_ENTRY(driver) {
    driver->dispatchDeviceControl = increment;
    // Tells a test that watches a process's end that the unload ran.
    driver->driverUnload = [](DriverObject&) { std::fputs("echo driver unloaded\n", stderr); };
    driver->addDevice = [](DriverObject& owner, PhysicalDevice& physical) {
        DeviceObject* device = nullptr;
        DriverStatus status = createDevice<Extension>(owner, &physical, {}, device);
        if (status == kStatusSuccess) {
            status = registerDeviceInterface(*device, kEchoClass, {},
                                             device->extension<Extension>().interfacePath);
        }
        return status;
    };
    driver->startDevice = [](DeviceObject& device) {
        return setDeviceInterfaceState(device, device.extension<Extension>().interfacePath, true);
    };
    DeviceObject* named = nullptr;
    DeviceOptions options;
    options.name = "VELDON-ECHO";
    if (const DriverStatus status = createDevice(*driver, nullptr, options, nullptr, named);
        status != kStatusSuccess) {
        return status;
    }
    return reportDeviceArrived(driver->name(), "ECHO\\0001") ? kStatusSuccess : kStatusUnsuccessful;
}
