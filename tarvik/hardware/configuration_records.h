#pragma once
// The sensor parameters that the front-end and multiplexer EEPROM images of a
// slot hold, read into the exported SensorParamsEx2Record.

#include "tarvik.h"

#include <cstdint>

namespace tarvik {

struct DeviceSlot;

inline constexpr uint32_t kSensorParamsEx2Size = sizeof(SensorParamsEx2Record);
inline constexpr uint32_t kHWConfigurationEx2Size = sizeof(HWConfigurationEx2Record);

// What a reader gets when no image holds usable parameters.
SensorParamsEx2Record DefaultSensorParams();

// The entry of the front-end image, or of the multiplexer image's channel
// (1..8), of the slot's ConfigurationImageBlock. False when the image's kind
// word is not its own (no image read; the record is then left).
bool ReadFrontEndSensorParams(const DeviceSlot& slot, SensorParamsEx2Record& record);
bool ReadMuxSensorParams(const DeviceSlot& slot, int32_t channel, SensorParamsEx2Record& record);

} // namespace tarvik
