#pragma once
// Builders of the configuration EEPROM images a board carries (interface
// board 0xA2, front end 0xA0, multiplexer 0xA4) and of the boot EEPROM image
// of the USB boards, in every image version, with the checksum each version
// carries. The board model fills its EEPROMs with them; tests use them to
// make images and to re-seal an image after changing a field.
//
// The checksums are computed here on their own (bit by bit), not with the
// library's code, so that tests of the library check it against an
// independent model. Layouts, all little-endian:
//   header      0 length (checked bytes from 4), 2 checksum, 4 kind, 6 type,
//               8 assembly (bits 0-11) and image version (bits 12-15),
//               10 hardware version x10, 12 serial number, 14 logic version x100
//   interface   16 FIFO size, 18 serial multiplexer type, 19 its configuration,
//               20 f32 integration-time base in Hz; version 0, length 20, word sum
//   front end   16 sensor type, 18 pixels, 20 rows, 22 fourth sensor word,
//               24.. f32 c0..c3, 40 c4 (version 1 on), 44 clock value (version 2);
//               lengths 36, 40, 42; word sum for 0 and 1, CRC for 2
//   multiplexer channel i at 16 + 24 i (sensor type, pixels, rows, fourth
//               word, f32 c0..c3), c4 of channel i at 208 + 4 i (version 1 on);
//               lengths 204, 236, 236; word sum for 0 and 1, CRC for 2
//   boot        0..15 the microcontroller's, 16 length (from 20), 18 CRC,
//               20 version; version 0, length 28
// Bytes that a layout does not use are 0xFF.

#include "sim/setup.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace sim {

inline constexpr std::size_t kEepromBytes = 256;
using EepromContents = std::array<uint8_t, kEepromBytes>;

inline constexpr uint8_t kFrontEndEeprom = 0xA0;
inline constexpr uint8_t kInterfaceEeprom = 0xA2;
inline constexpr uint8_t kMuxEeprom = 0xA4;

// CRC-16 with the reflected polynomial 0xA001, start 0xFFFF, no final XOR.
uint16_t crc16(std::span<const uint8_t> bytes);
// 16-bit wrapping sum of the little-endian words (an odd last byte is left out).
uint16_t wordSum(std::span<const uint8_t> bytes);

// Header words every kind shares.
struct ImageHeader {
    uint16_t type = 0;     // interface type / front-end type / multiplexer assembly code
    uint16_t assembly = 0; // bits 0-11 (the multiplexer's assembly revision)
    uint16_t version = 0;  // image version, bits 12-15
    uint16_t hardwareVersion = 10;
    uint16_t serialNumber = 1;
    uint16_t logicVersion = 100;
};

struct SensorChannel {
    uint16_t sensorType = 7;
    uint16_t pixels = 1044;
    uint16_t rows = 1;
    uint16_t fourthSensorWord = 1;
    std::array<float, 5> coefficients{300.0f, 0.5f, 0.0f, 0.0f, 0.0f};
};

struct InterfaceImageSpec {
    ImageHeader header{6, 0, 0};
    uint16_t fifoSize = 8192;
    uint8_t serialMuxType = 255;   // 7, 9, or 255 none
    uint8_t serialMuxConfig = 255; // bits 0-3 COM port, 4-7 assembly code
    float integrationBase = 24.0e6f;
};

struct FrontEndImageSpec {
    ImageHeader header{7, 0, 2};
    SensorChannel sensor;
    uint16_t clockValue = 0; // version 2
};

struct MuxImageSpec {
    ImageHeader header{1, 0, 2};
    // Channels beyond the assembly's channel count are left 0xFF.
    std::array<SensorChannel, 8> channels{};
};

struct BootImageSpec {
    std::array<uint8_t, 16> controllerBytes{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    uint8_t version = 0;
    // The bytes 32..47 of the checked part (the board's configuration).
    std::array<uint8_t, 16> configuration{};
};

// Channels of a multiplexer assembly code and revision (0: not supported).
int muxChannelCount(uint16_t assemblyCode, uint16_t assemblyRevision);

EepromContents buildInterfaceImage(const InterfaceImageSpec& spec);
EepromContents buildFrontEndImage(const FrontEndImageSpec& spec);
EepromContents buildMuxImage(const MuxImageSpec& spec);
EepromContents buildBootImage(const BootImageSpec& spec);

// Stores the checksum an image's kind word, version and length call for
// (after a test changed a field); nothing for an unknown kind or a length of
// 253 or more.
void sealImage(EepromContents& image);
// The boot image's CRC (nothing for a length of 237 or more).
void sealBootImage(EepromContents& image);

// Little-endian fields, for tests that change an image.
uint16_t imageWord(const EepromContents& image, std::size_t offset);
void setImageWord(EepromContents& image, std::size_t offset, uint16_t value);

// The images of a board as its set-up describes it; empty for an EEPROM the
// set-up leaves out.
struct BoardImages {
    std::optional<EepromContents> interfaceImage;
    std::optional<EepromContents> frontEndImage;
    std::optional<EepromContents> muxImage;
    std::optional<EepromContents> bootImage;
};
BoardImages boardImages(const BoardConfig& config);

} // namespace sim
