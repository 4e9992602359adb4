#pragma once
// CheckInterfaceState: is the addressed interface fit for an export?

#include <cstdint>

namespace tarvik {

// InterfaceCheckLevel; each level includes the lower ones.
inline constexpr int32_t kCheckIdInRange = 0;
inline constexpr int32_t kCheckSlotExists = 1;
inline constexpr int32_t kCheckDeviceOpen = 2;
inline constexpr int32_t kCheckInitialised = 3;
inline constexpr int32_t kCheckMuxPresent = 4;

// 0 fit, -1 not fit, -2 a hot-plug board was removed; failures fill ID,
// level, code and info (the export writes its name). ID 0 examines every
// slot 1..15; a passing check with an ID of 1 or more makes it the actual
// interface ID. Takes the DeviceLock, so call it before the RawDataLock.
int32_t CheckInterfaceState(int32_t level, int32_t interfaceId);

} // namespace tarvik
