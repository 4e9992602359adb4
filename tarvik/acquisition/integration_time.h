#pragma once
// Integration time and sensor work mode: a requested time becomes the board's
// interval counts, the slot keeps its limits, and the work mode is checked
// against interface type and versions.

#include <cstdint>

namespace tarvik {

struct DeviceSlot;

inline constexpr int32_t kIntegrationKindAcquisition = 0;
inline constexpr int32_t kIntegrationKindDeleting = 1;
inline constexpr int32_t kIntegrationLimited = -2;

// For the actual interface, with the DeviceLock held. Adapts *timeMs to what
// the board will run and writes it back. 0; -2 when a value was limited (a
// level-7 record written); -1 on failure (record written where the cause is
// the caller's); or the nonzero result of the send when send is set.
int32_t ApplyIntegrationTime(double* timeMs, int32_t kind, int32_t send);

// The same for the serial electronics (interface type 3).
int32_t LimitIntegrationTime(double* timeMs, int32_t kind, int32_t send);

// Whether interface types 4, 5 and 6 take the work mode, and the ring depth
// it asks for: 0, or -1 with the record written.
int32_t CheckBoardWorkMode(const DeviceSlot& slot, int32_t id, int32_t mode, uint16_t& depth);

} // namespace tarvik
