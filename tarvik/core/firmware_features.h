#pragma once
// Which features the driver or firmware behind an interface supports, judged
// by its version: the driver's DriverVersion word, for the serial electronics
// the firmware version of the link.

#include <cstdint>

namespace tarvik {

struct DeviceSlot;

// Feature bits.
inline constexpr uint32_t kFeatureWarningClass1 = 0x1; // saturation and ADC warnings
inline constexpr uint32_t kFeatureWarningClass2 = 0x2; // FIFO and buffer warnings
inline constexpr uint32_t kFeatureBit2 = 0x4;

// True only when every requested bit is supported; false for an ID outside
// 1..15 or without a slot.
bool IsFirmwareFeatureAvailable(int32_t interfaceId, uint32_t features);

// The version that the feature gates compare, as the info of code 156: the
// DriverVersion (types 1, 4, 5, 6, 8), the serial firmware version (type 3)
// or 0.
int32_t firmwareVersionInfo(const DeviceSlot& slot, uint32_t interfaceType);

} // namespace tarvik
