#pragma once
// How the operations of the serial electronics use the link: the executors
// that run one exchange each through the state machine, the wrappers with
// the firmware-version gates in front, the data blocks with their storage per
// slot and their defaults, the selection of a slot's blocks, and the link's
// records on the library heap.
//
// The executors and wrappers answer the given-up flag: 1 when the repeat
// limit ended the exchange, else 0 (also when a gate refused: its -21 is in
// the error list).

#include "serial/qre_slot.h"

#include <array>
#include <cstdint>

namespace tarvik {

// Device commands (codes 4..8, 13, 14 of a command frame).
inline constexpr uint8_t kQreCommand4 = 4;
inline constexpr uint8_t kQreCommand5 = 5;
inline constexpr uint8_t kQreCommand6 = 6;
inline constexpr uint8_t kQreCommand7 = 7; // after every failed operation
inline constexpr uint8_t kQreCommand8 = 8;

// Firmware versions the gates ask for.
inline constexpr uint16_t kQreFirmwareGlobalReset = 303;
inline constexpr uint16_t kQreFirmwareTransferBlock = 310;
inline constexpr uint16_t kQreFirmwareConfigurationBlock = 313;
inline constexpr uint16_t kQreDefaultFirmwareVersion = 200;

// The blocks the frame layer reads and writes: those of the slot selected
// last, and the link's own.
struct QreCurrentBlocks {
    uint8_t* settings = nullptr;
    uint8_t* version = nullptr;
    uint8_t* parameter = nullptr;
    uint8_t* list = nullptr;
    std::array<uint8_t*, 4> spectrum{};
    std::array<uint8_t*, 4> wide{};
};

// --- executors (one exchange each; the given-up flag)
int32_t ExecuteQreCommand(uint8_t code);
int32_t ReadQreBlock(uint8_t type);
int32_t WriteQreBlock(uint8_t type);

// --- wrappers: the gates, then the executor; 0 without traffic on a refusal
int32_t SendQreCommandN(uint8_t code);
int32_t WriteQreBlockN(uint8_t type);
int32_t ReadQreBlockN(uint8_t type);

inline int32_t SendQreCommand4() {
    return SendQreCommandN(4);
}
inline int32_t SendQreCommand5() {
    return SendQreCommandN(5);
}
inline int32_t SendQreCommand6() {
    return SendQreCommandN(6);
}
inline int32_t SendQreCommand7() {
    return SendQreCommandN(7);
}
inline int32_t SendQreCommand8() {
    return SendQreCommandN(8);
}
inline int32_t SendQreCommand13() {
    return SendQreCommandN(qre::kGlobalReset);
}
inline int32_t SendQreCommand14() {
    return SendQreCommandN(qre::kStatusPoll);
}
inline int32_t WriteQreBlock6() {
    return WriteQreBlockN(qre::kParameterBlock);
}
inline int32_t WriteQreBlock9() {
    return WriteQreBlockN(qre::kSettingsBlock);
}
inline int32_t WriteQreBlock11() {
    return WriteQreBlockN(qre::kTransferBlock);
}
inline int32_t ReadQreBlock1() {
    return ReadQreBlockN(1);
}
inline int32_t ReadQreBlock2() {
    return ReadQreBlockN(2);
}
inline int32_t ReadQreBlock3() {
    return ReadQreBlockN(3);
}
inline int32_t ReadQreBlock4() {
    return ReadQreBlockN(4);
}
inline int32_t ReadQreBlock6() {
    return ReadQreBlockN(qre::kParameterBlock);
}
inline int32_t ReadQreBlock7() {
    return ReadQreBlockN(7);
}
inline int32_t ReadQreBlock8() {
    return ReadQreBlockN(8);
}
inline int32_t ReadQreBlock9() {
    return ReadQreBlockN(qre::kSettingsBlock);
}
inline int32_t ReadQreBlock10() {
    return ReadQreBlockN(qre::kVersionBlock);
}
inline int32_t ReadQreBlock11() {
    return ReadQreBlockN(qre::kTransferBlock);
}
inline int32_t ReadQreBlock12() {
    return ReadQreBlockN(qre::kConfigurationBlock);
}

// --- gates (true passes; a refusal pushes -21)
bool CheckQreCommandFirmware(uint8_t code);
bool CheckQreBlockFirmware(uint8_t type);
bool CheckQreFirmwareSettings();

// --- blocks
// Points the link at slot id's blocks (none when the slot has none).
void SelectQreSlotBuffers(int32_t interfaceId);
int32_t AllocQreSlotBuffers(int32_t interfaceId); // 1, or 0 when memory is short
int32_t FreeQreSlotBuffers(int32_t interfaceId);  // 1
// The defaults into the current blocks; 0.
int32_t ResetQreRecords();

// --- the link's records (library load and unload)
int32_t AllocQreBuffers(); // 1, or 0 (nothing allocated)
int32_t FreeQreBuffers();  // 1

} // namespace tarvik
