#pragma once
// The measurement-parameter exports of a slot beside the integration time:
// average number, flash mode, external-trigger time-out, shutter polarity,
// acquisition without interrupt and input source, with their limits.

#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/locks.h"

#include <cstdint>
#include <mutex>

namespace tarvik {

struct DeviceSlot;

inline constexpr int32_t kAverageNumberMin = 1;
inline constexpr int32_t kAverageNumberLimit = 100;
inline constexpr uint32_t kBurstNumberLimit = 30000;
inline constexpr uint32_t kExtTriggerTimeoutMin = 100;
inline constexpr uint32_t kExtTriggerTimeoutMax = 28800000;

// The slot a setter addresses, under the DeviceLock the caller holds; null
// with 5/504/808 recorded (also for ID 0).
DeviceSlot* checkedSlot(int32_t id);

// The frame of the setters that address one slot: state check at level,
// then body(slot, id) under the DeviceLock.
template <class Body>
int32_t runSlotExport(const char* name, int32_t level, uint32_t interfaceId, Body&& body) {
    return runExport(name, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(name, level, id) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(name);
        }
        return body(*slot, id);
    });
}

} // namespace tarvik
