#pragma once
// The driver's routines as the platform device layer calls them.

#include "platform/driver.h"

namespace kavrin {

// Sets the routines, reads the service key's parameters, registers the
// message table and the USB ids of the boards.
platform::DriverStatus DriverEntry(platform::DriverObject& driver);
void DriverUnload(platform::DriverObject& driver);

// Plug and play and power (pnp.cpp).
platform::DriverStatus AddDevice(platform::DriverObject& driver,
                                 platform::PhysicalDevice& physical);
platform::DriverStatus StartDevice(platform::DeviceObject& device);
platform::DriverStatus StopDevice(platform::DeviceObject& device);
platform::DriverStatus SurpriseRemoval(platform::DeviceObject& device);
platform::DriverStatus RemoveDevice(platform::DeviceObject& device);
platform::DriverStatus DispatchPower(platform::DeviceObject& device,
                                     const platform::PowerRequest& request);

// Open, close and board commands (dispatch.cpp).
platform::DriverStatus DispatchCreate(platform::DeviceObject& device,
                                      const platform::IoRequestPtr& request);
platform::DriverStatus DispatchCleanup(platform::DeviceObject& device,
                                       const platform::IoRequestPtr& request);
platform::DriverStatus DispatchClose(platform::DeviceObject& device,
                                     const platform::IoRequestPtr& request);
platform::DriverStatus DispatchDeviceControl(platform::DeviceObject& device,
                                             const platform::IoRequestPtr& request);

// One hold of a device's remove lock for the scope that took it.
class RemoveLockHold {
public:
    explicit RemoveLockHold(platform::RemoveLock& lock)
        : lock_(lock), acquired_(lock.acquire() == platform::kStatusSuccess) {}
    ~RemoveLockHold() {
        if (acquired_) {
            lock_.release();
        }
    }
    RemoveLockHold(const RemoveLockHold&) = delete;
    RemoveLockHold& operator=(const RemoveLockHold&) = delete;

    bool acquired() const { return acquired_; }

private:
    platform::RemoveLock& lock_;
    bool acquired_;
};

} // namespace kavrin
