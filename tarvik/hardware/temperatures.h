#pragma once
// Temperature sensors: the board's own sensor on the I2C bus of interface
// types 5 and 8, and the sensors the board's firmware manages, read with
// IOCTL_BOARD_GET_TEMPERATURES all at once or one by one. The decoders of
// the boards' answers are here apart, for the fuzz target.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tarvik {

inline constexpr uint8_t kBoardTemperatureSensor = 0x91; // read address
inline constexpr uint16_t kTemperatureDriverVersion = 2507;
inline constexpr size_t kMaxTemperatureSensors = 8;
// The data area of a list request: count, eight ids, eight values.
inline constexpr uint32_t kTemperatureListWords = 1 + 2 * kMaxTemperatureSensors;

struct TemperatureList {
    uint16_t count = 0;
    std::array<uint16_t, kMaxTemperatureSensors> ids{};
    std::array<float, kMaxTemperatureSensors> degrees{};
};

// The driver's list in the data area: u16 count, count ids, count values in
// hundredths of a degree. The count is capped at eight and at what the
// area holds, so a board's count can never lead past either.
TemperatureList ParseTemperatureList(std::span<const uint8_t> area);

// The board sensor's two bytes: whole degrees, and bit 7 of the second a
// half degree (away from zero).
double BoardSensorTemperature(uint8_t whole, uint8_t fraction);

// One sensor's answer in the Temperature field, in hundredths.
inline float SensorTemperature(uint16_t field) {
    return static_cast<float>(static_cast<int16_t>(field)) / 100.0f;
}

} // namespace tarvik
