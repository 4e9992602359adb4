#pragma once
// The measurement-parameter exports of a slot beside the integration time:
// average number, flash mode, external-trigger time-out, shutter polarity,
// acquisition without interrupt and input source, with their limits.

#include <cstdint>

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

} // namespace tarvik
