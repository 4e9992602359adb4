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

// The settings block's fields the record mirrors.
inline constexpr std::size_t kQreSettingsOutputs = 4;
inline constexpr std::size_t kQreSettingsMuxMode = 6;
inline constexpr std::size_t kQreSettingsMuxChannel = 7;
inline constexpr std::size_t kQreSettingsIntegrationTime = 16; // 32 bits, µs
inline constexpr std::size_t kQreSettingsTrigger = 20;
inline constexpr std::size_t kQreSettingsOperatingMode = 21;
inline constexpr std::size_t kQreSettingsRepeat = 22;
inline constexpr std::size_t kQreSettingsAverage = 23;
inline constexpr std::size_t kQreSettingsFlash = 24;
inline constexpr std::size_t kQreSettingsDisplayLevel = 25;
inline constexpr std::size_t kQreSettingsOpened = 28;
inline constexpr std::size_t kQreSettingsTimeFactor = 29;

// The library's wish for the next parameter set: fields 3..10 mirror the
// settings block; BuildQreParameterBlocks copies them into it.
struct QreSlotRecord {
    uint32_t interfaceId = 0;     // RS485 address of the electronics
    uint32_t integrationTime = 0; // µs
    uint32_t flashMode = 0;       // lamp trigger: 0 off, 1 on
    uint32_t triggerKind = 0;     // 0 none, 1 pulse, 2 slope
    uint32_t operatingMode = 0;   // 1, 4, 18 or 34
    uint32_t repeatFactor = 0;    // only read back from the electronics
    uint32_t muxModeIndex = 0;    // multiplexer mode - 1
    uint32_t muxChannelIndex = 0; // multiplexer channel - 1
    uint32_t averageNumber = 0;   // 2 or more: averaged spectra
    // Null until AllocQreSlotBuffers, and after FreeQreSlotBuffers.
    std::unique_ptr<QreSlotBlocks> blocks;
    uint32_t pixelCount = 0; // pixel count the electronics reported at open
    // The electronics' continuous scan was started and nothing has stopped
    // it since (command 7 and the global reset stop it).
    bool continuousRunning = false;

    // The version and status block's words; 0 without blocks.
    uint16_t firmwareVersion() const;
    int16_t statusWord() const;       // the link's status: -204, -72, -71 mark a failure
    int16_t deviceStatusWord() const; // the electronics' error code
    // No-ops without blocks.
    void setFirmwareVersion(uint16_t version);
    void setStatusWords(int16_t status, int16_t deviceStatus);
};

} // namespace tarvik
