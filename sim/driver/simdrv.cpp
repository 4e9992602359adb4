// The simulated board driver, loaded by the platform device layer like any
// board driver: at entry it reads the set-up file and reports its boards; each
// board gets an exclusive device object with the interface of its type's class.

#include "sim/board_driver.h"
#include "sim/board_registry.h"
#include "sim/serial_unit_model.h"
#include "sim/setup.h"

#include "platform/driver.h"
#include "platform/usb.h"

#include <dlfcn.h>

#include <filesystem>

namespace {

using namespace platform;

DriverStatus addBoardDevice(DriverObject& driver, PhysicalDevice& physical) {
    std::shared_ptr<sim::BoardModel> board =
        sim::BoardRegistry::instance().findByInstanceId(physical.instanceId());
    if (!board) {
        return kStatusNoSuchDevice; // forgotten since its arrival was reported
    }
    const std::optional<Guid> interfaceClass = sim::boardInterfaceClass(board->interfaceType());
    if (!interfaceClass) {
        return kStatusInvalidParameter;
    }
    DeviceOptions options;
    options.deviceType = KORAL_DEVICE_TYPE_BOARD;
    options.exclusive = true;
    auto extension = std::make_shared<sim::BoardDevice>();
    extension->board = std::move(board);
    DeviceObject* device = nullptr;
    DriverStatus status = createDevice(driver, &physical, options, extension, device);
    if (status != kStatusSuccess) {
        return status;
    }
    status = registerDeviceInterface(*device, *interfaceClass, {}, extension->interfacePath);
    if (status != kStatusSuccess) {
        deleteDevice(*device);
    }
    return status;
}

DriverStatus startBoardDevice(DeviceObject& device) {
    return setDeviceInterfaceState(device, device.extension<sim::BoardDevice>().interfacePath,
                                   true);
}

DriverStatus removeBoardDevice(DeviceObject& device) {
    sim::BoardDevice& extension = device.extension<sim::BoardDevice>();
    extension.removeLock.acquire();
    extension.removeLock.releaseAndWait(); // held requests were cancelled with the removal
    setDeviceInterfaceState(device, extension.interfacePath, false);
    deleteDevice(device);
    return kStatusSuccess;
}

// The USB board driver beside this one: the FX2 boards need it, as a real
// board brings its driver along when it is plugged in.
std::string usbBoardDriverPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&usbBoardDriverPath), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    return (std::filesystem::path(info.dli_fname).parent_path() / "libkavrin.so").string();
}

} // namespace

VELDON_DRIVER_ENTRY(driver) {
    const sim::Setup setup = sim::loadSetupFromEnvironment();
    sim::reportSetupProblems(setup);

    driver->dispatchCreate = sim::dispatchBoardCreate;
    driver->dispatchDeviceControl = sim::dispatchBoardRequest;
    driver->addDevice = addBoardDevice;
    driver->startDevice = startBoardDevice;
    driver->removeDevice = removeBoardDevice;
    driver->driverUnload = [](DriverObject& self) {
        sim::BoardRegistry::instance().detachDriver(self.name());
        sim::SerialUnitRegistry::instance().detach();
    };
    // Serial electronics are no devices of the layer: their COM ports are
    // served in the process from the driver's load on.
    sim::SerialUnitRegistry::instance().attach(setup.serialUnits);
    sim::SerialUnitRegistry::instance().attachMuxes(setup.serialMuxes);
    sim::BoardRegistry& registry = sim::BoardRegistry::instance();
    const DriverStatus status = registry.attachDriver(driver->name(), setup.boards);
    if (status == kStatusSuccess && registry.usbBoardCount() > 0) {
        // Loaded already when the drivers' directory was scanned; a missing
        // driver leaves the FX2 boards without one, as on a real system.
        const std::string path = usbBoardDriverPath();
        if (!path.empty()) {
            loadDriverLibrary(path);
        }
        // Their arrivals reach the device layer before the first
        // enumeration, which then waits for their start.
        usb::waitForUsbHotplugIdle();
    }
    return status;
}
