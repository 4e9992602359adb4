#pragma once
// The library's constant knowledge of sensors: the SensorTypeTable with the
// pixel counts each type supports, the SensorLengthCode of those counts, the
// SensorConfigTable of valid interface / front end / multiplexer / sensor
// combinations with its per-interface-type index, and the lookups over them.
//
// The tables are constants; the index is built once at load
// (BuildSensorConfigIndex, from LibraryAttach) and only read afterwards. None
// of the lookups takes a lock.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarvik {

// Sensor type described by the sensor description file.
inline constexpr uint16_t kFileSensorType = 128;
// SensorLengthCode of a pixel count not in the code table.
inline constexpr uint16_t kAnyLengthCode = 0x8000;

// One row: bits 0-11 sensor type, bits 12-15 technology; the OR of the
// SensorLengthCodes the type supports (bit 15: any other pixel count too).
struct SensorTypeRow {
    uint16_t typeWord;
    uint16_t lengthMask;

    constexpr uint16_t type() const { return typeWord & 0x0FFF; }
    constexpr uint16_t technology() const { return typeWord >> 12; }
};

inline constexpr size_t kSensorTypeCount = 23;
extern const std::array<SensorTypeRow, kSensorTypeCount> SensorTypeTable;

// Pixels of a code (its low 16 bits): 0 for a code not in the table, -1 for
// the any-length code.
int32_t SensorLengthCodeToPixels(uint32_t code);
// The code of a pixel count: 0 for 0, kAnyLengthCode for a count not in the
// table.
uint16_t PixelsToSensorLengthCode(uint32_t pixels);

// Index 0..22 of the first row whose type bits equal the argument's low 16
// bits; -1 when none (so 0x1001 is not type 1).
int32_t FindSensorTypeIndex(uint32_t type);
const SensorTypeRow* FindSensorType(uint32_t type);
// 0 for an index above 22.
uint16_t GetSensorLengthMask(uint32_t index);
// False for an index above 22 or pixels outside 1..65535.
bool IsSensorLengthSupportedByType(uint32_t index, uint32_t pixels);
bool IsAnyLengthType(uint32_t index);
bool IsFileSensorType(uint32_t type);

// Older codes found in EEPROM images: 12 is 11, 129 is 22.
uint16_t RemapSensorTypeCode(uint16_t type);
// The same on a little-endian 16-bit image field, in place.
void RemapImageSensorType(uint8_t* field);

// The front end's integration-time clock (Hz-like value of its image word at
// 44): 1000 -> 1, 2000 -> 2, 4000 -> 3, 100 -> 4, 8000 -> 5, else 0.
uint32_t ClockValueToCode(uint32_t value);

// SensorConfigWord: bits 0-4 interface type, 5-9 clock code, 10-14 front-end
// type, 15-19 multiplexer type, 20-27 sensor type.
constexpr uint32_t makeSensorConfigWord(uint32_t interfaceType, uint32_t clockCode,
                                        uint32_t frontEnd, uint32_t mux, uint32_t sensor) {
    return (interfaceType & 31) | (clockCode & 31) << 5 | (frontEnd & 31) << 10 | (mux & 31) << 15 |
           (sensor & 255) << 20;
}

inline constexpr size_t kSensorConfigCount = 532;
extern const std::array<uint32_t, kSensorConfigCount> SensorConfigTable;

// SensorConfigIndex: per interface type 0..9 the first table position in bits
// 0-15 and the last in bits 16-31; 0xFFFFFFFF for a type without words.
inline constexpr size_t kSensorConfigIndexSize = 10;
inline constexpr uint32_t kNoConfigIndex = 0xFFFFFFFFu;
void BuildSensorConfigIndex();
uint32_t sensorConfigIndexEntry(uint32_t interfaceType); // kNoConfigIndex for 10 and above

// Position of the whole word in its interface type's part of the table, or -1.
int32_t FindSensorConfig(uint32_t word);
// Sensor type 128 is always supported; otherwise the word must be in the table.
bool IsSensorConfigSupported(uint32_t word);

} // namespace tarvik
