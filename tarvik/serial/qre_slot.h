#pragma once
// The serial record of a device slot: every slot has one; for the serial
// electronics QRE (board type 3) it holds the slot's data blocks, allocated
// when the slot is opened.

#include "tarvik_serial_frame.h"

#include <array>
#include <cstdint>
#include <memory>

namespace tarvik {

// The data blocks of one QRE slot, as the link exchanges them.
struct QreSlotBlocks {
    std::array<uint8_t, qre::kSettingsBlockSize> settings{};   // type 9
    std::array<uint8_t, qre::kVersionBlockSize> version{};     // type 10: version and status
    std::array<uint8_t, qre::kParameterBlockSize> parameter{}; // type 6
    std::array<uint8_t, qre::kListBlockSize> list{};           // type 5
    std::array<std::array<uint8_t, qre::kSpectrumBlockSize>, 4> spectrum{}; // types 1..4
    // Wide spectrum records; the third and fourth serve types 7 and 8.
    std::array<std::array<uint8_t, qre::kWideSpectrumBlockSize>, 4> wide{};
};

// Offsets in the version and status block.
inline constexpr std::size_t kQreFirmwareVersionOffset = 2;
inline constexpr std::size_t kQreLinkStatusOffset = 4;
inline constexpr std::size_t kQreDeviceErrorOffset = 6;

struct QreSlotRecord {
    uint32_t interfaceId = 0;                // RS485 address of the electronics
    std::array<uint32_t, 7> protocolWords{}; // the link's protocol settings
    uint32_t averageNumber = 0;              // average number of the serial electronics
    uint32_t hardwareFlash = 0;              // lamp trigger: 0 off, 1 on
    uint32_t muxModeIndex = 0;               // multiplexer mode - 1
    uint32_t muxChannelIndex = 0;            // multiplexer channel - 1
    uint32_t pixelCount = 0;                 // pixel count the electronics reported
    uint32_t cycleTimeMs = 0;                // cycle time of the electronics; 0 = not known
    // Null until AllocQreSlotBuffers, and after FreeQreSlotBuffers.
    std::unique_ptr<QreSlotBlocks> blocks;

    // The version and status block's words; 0 without blocks.
    uint16_t firmwareVersion() const;
    int16_t statusWord() const;       // the link's status: -204, -72, -71 mark a failure
    int16_t deviceStatusWord() const; // the electronics' error code
    // No-ops without blocks.
    void setFirmwareVersion(uint16_t version);
    void setStatusWords(int16_t status, int16_t deviceStatus);
};

} // namespace tarvik
