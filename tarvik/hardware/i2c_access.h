#pragma once
// The library's one way onto an interface's I2C bus: transfers of 1 to 8
// bytes through IOCTL_BOARD_I2C_OPERATION on the plug-in and USB boards, or
// through the serial link's I2C transfer block on the serial electronics. The
// exports (KORAL_I2C_*) are declared in tarvik.h; these are the internal
// helpers other parts of the library use.

#include <cstdint>

namespace tarvik {

// Operation codes of I2COperation (and byte 2 of the serial transfer block).
inline constexpr uint8_t kI2cWrite = 0x10;
inline constexpr uint8_t kI2cRead = 0x20;
inline constexpr uint8_t kI2cWriteIndexed = 0x11;
inline constexpr uint8_t kI2cReadIndexed = 0x21;
inline constexpr uint8_t kI2cProgram = 0x40;    // write, read back and compare on the board
inline constexpr uint8_t kI2cReadImage = 0x80;  // whole 256-byte image into Data
inline constexpr uint8_t kI2cWriteImage = 0x81; // whole 256-byte image from Data
inline constexpr uint8_t kI2cBootWrite = 0x82;
inline constexpr uint8_t kI2cBootRead = 0x84;

inline constexpr int32_t kI2cMaxCount = 8;

// Board status of a programming compare that failed.
inline constexpr uint16_t kStatusI2cCompare = 166;        // "ERR I2C PROGRAMMING COMPARE"
inline constexpr int32_t kCodeI2cProtected = 306;         // "I2C PROTECTED AREA"
inline constexpr int32_t kInfoInvalidInterfaceType = 804; // "INVALID INTERFACE TYPE"

// 0 when the older I2C exports may reach the address, -1 when it is protected
// (the configuration EEPROMs and the library's own peripherals).
int32_t IsOpenI2CAddress(int32_t address);

// True when a device answers at the address. The caller holds the DeviceLock
// and has made the interface actual (a passing state check); only for boards
// of types 4, 5, 6 and 8. Shows nothing; a failed command leaves its record
// for the caller to keep or overwrite.
bool ProbeI2CDevice(uint8_t address, uint32_t interfaceId);

// How the library's drivers of I2C peripherals (light-source modules, the
// cooled detector board) reach the bus: the full-form exports. Tests and the
// fuzz target put stand-ins here before any export runs.
struct PeripheralI2c {
    int32_t (*write1)(int32_t address, const uint8_t* buffer, int32_t count, uint32_t id);
    int32_t (*read1)(int32_t address, uint8_t* buffer, int32_t count, uint32_t id);
    int32_t (*writeN)(int32_t address, const uint8_t* buffer, int32_t index, int32_t count,
                      uint32_t id);
    int32_t (*readN)(int32_t address, uint8_t* buffer, int32_t index, int32_t count, uint32_t id);
};
PeripheralI2c& peripheralI2c();
void resetPeripheralI2c();

} // namespace tarvik
