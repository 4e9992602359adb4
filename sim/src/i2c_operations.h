#pragma once
// What an I2COperation code does on a board's I2C bus, shared by the
// request-block model and the FX2 board's firmware.

#include <cstdint>

namespace sim::detail {

enum class I2cKind {
    WriteAtPointer, // the first byte sets the EEPROM's pointer
    WriteAtIndex,
    ReadAtPointer,
    ReadAtIndex,
    Program,   // a write the driver verifies
    Touch,     // an empty write to index 0
    ReadImage, // all 256 bytes
    WriteImage,
    None
};

inline I2cKind i2cKindOf(uint8_t operation) {
    switch (operation) {
    case 16:
    case 20:
        return I2cKind::WriteAtPointer;
    case 17:
    case 18:
    case 21:
    case 22:
        return I2cKind::WriteAtIndex;
    case 32:
    case 36:
        return I2cKind::ReadAtPointer;
    case 33:
    case 34:
    case 37:
    case 38:
        return I2cKind::ReadAtIndex;
    case 64:
        return I2cKind::Program;
    case 65:
        return I2cKind::Touch;
    case 128:
        return I2cKind::ReadImage;
    case 129:
        return I2cKind::WriteImage;
    default:
        return I2cKind::None;
    }
}

inline bool i2cKindReads(I2cKind kind) {
    return kind == I2cKind::ReadAtPointer || kind == I2cKind::ReadAtIndex ||
           kind == I2cKind::ReadImage;
}

// The microcontroller's own bus (the boot EEPROM).
inline constexpr uint8_t kBootWrite = 130;
inline constexpr uint8_t kBootWriteId = 131;
inline constexpr uint8_t kBootRead = 132;

} // namespace sim::detail
