#pragma once
// The measurement-parameter exports of a slot beside the integration time:
// average number, flash mode, external-trigger time-out, shutter polarity,
// acquisition without interrupt and input source, with their limits.

#include <cstdint>

namespace tarvik {

inline constexpr int32_t kAverageNumberMin = 1;
inline constexpr int32_t kAverageNumberLimit = 100;
inline constexpr uint32_t kBurstNumberLimit = 30000;
inline constexpr uint32_t kExtTriggerTimeoutMin = 100;
inline constexpr uint32_t kExtTriggerTimeoutMax = 28800000;

} // namespace tarvik
