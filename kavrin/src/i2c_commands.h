#pragma once
// The board's I2C bus, its temperature sensors and the microcontroller's boot
// EEPROM, reached through the board's firmware. None of them runs while
// continuous acquisition runs (Status 151).

#include "device_extension.h"
#include "request_block.h"

#include "platform/driver.h"

#include <cstdint>

namespace kavrin {

// Transfers longer than this are refused (StatusInfo carries the limit).
inline constexpr uint32_t kMaxI2cTransfer = 256;
// Shorter data travels in I2cInlineData.
inline constexpr std::size_t kI2cInlineBytes = 8;
// The boot EEPROM's address by board generation (0: generation unknown).
inline constexpr uint8_t kBootEepromAddressGeneration1 = 0xA0;
inline constexpr uint8_t kBootEepromAddressGeneration2 = 0xA2;
// Boot-EEPROM operations.
inline constexpr uint8_t kBootOperationWrite = 130;
inline constexpr uint8_t kBootOperationWriteId = 131;
inline constexpr uint8_t kBootOperationRead = 132;
// What VR_GET_ALLTEMPS can report.
inline constexpr uint16_t kMaxTemperatureSensors = 8;

// Each answers kStatusSuccess with its outcome in the block, or a request
// status of its own where the command is refused as a whole.
platform::DriverStatus HandleI2cOperation(DEVICE_EXTENSION& device, RequestBlock& block);
platform::DriverStatus HandleI2cCheck(DEVICE_EXTENSION& device, RequestBlock& block);
platform::DriverStatus HandleGetTemperatures(DEVICE_EXTENSION& device, RequestBlock& block);
platform::DriverStatus HandleBootEeprom(DEVICE_EXTENSION& device, RequestBlock& block);

} // namespace kavrin
