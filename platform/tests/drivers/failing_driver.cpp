// A driver library whose entry fails after it created a device: the device
// must not stay behind.

#include "platform/driver.h"

VELDON_DRIVER_ENTRY(driver) {
    platform::DeviceObject* device = nullptr;
    platform::DeviceOptions options;
    options.name = "VELDON-FAILING";
    platform::createDevice(*driver, nullptr, options, nullptr, device);
    return platform::kStatusInsufficientResources;
}
