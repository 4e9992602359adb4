// CZTKBoard, the initialise's step for it and the two exports. The exports
// hold the DeviceLock for all of their work, register transfers included, so
// that no other device operation comes between the board's transfers.

#include "hardware/cooled_board.h"

#include "acquisition/acquisition_helpers.h"
#include "acquisition/measurement_parameters.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/i2c_access.h"
#include "tarvik.h"

#include <array>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <utility>

namespace tarvik {
namespace {

constexpr uint8_t kReadSelect = 0x0F;
constexpr uint8_t kCoolingRegister = 0x40;
constexpr uint8_t kBinningRegister = 0x10;
constexpr int32_t kCodeZtkConfig = 514; // "ZTK CONFIG ERR"

struct TableEntry {
    uint16_t value;
    uint8_t nibble;
};

std::optional<uint8_t> lookUp(std::span<const TableEntry> table, uint16_t value) {
    for (const TableEntry& entry : table) {
        if (entry.value == value) {
            return entry.nibble;
        }
    }
    return std::nullopt;
}

constexpr std::array<TableEntry, 8> kParA10Codes{
    {{64, 0}, {128, 1}, {256, 2}, {520, 3}, {2, 4}, {4, 5}, {16, 6}, {32, 7}}};
constexpr std::array<TableEntry, 4> kPixelCodes{{{532, 0}, {1044, 1}, {2, 2}, {16, 3}}};
constexpr std::array<TableEntry, 8> kRegister3Codes{
    {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {6, 4}, {8, 5}, {12, 6}, {16, 7}}};
constexpr std::array<TableEntry, 7> kBinningCodes{
    {{1, 0}, {2, 1}, {4, 2}, {8, 3}, {16, 4}, {20, 5}, {24, 6}}};
constexpr uint8_t kOtherBinning = 7;

} // namespace

bool CZTKBoard::writeByte(uint8_t byte) {
    if (peripheralI2c().write1(kZtkAddress, &byte, 1, interfaceId_) != 0) {
        lastResult_ = kZtkWriteFailed;
        return false;
    }
    return true;
}

bool CZTKBoard::readRegister(uint8_t reg, uint8_t& value) {
    if (!writeByte(static_cast<uint8_t>(reg << 4 | kReadSelect))) {
        return false;
    }
    uint8_t byte = 0;
    if (peripheralI2c().read1(kZtkAddress, &byte, 1, interfaceId_) != 0) {
        lastResult_ = kZtkReadFailed;
        return false;
    }
    value = byte & 0x0F;
    return true;
}

uint8_t CZTKBoard::GetFirmwareVersion() {
    if (!IsInitialised()) {
        lastResult_ = kZtkNotReady;
        return 0;
    }
    return firmwareVersion_;
}

bool CZTKBoard::SetParameters(uint16_t sensorType, uint16_t parA9, uint16_t pixels,
                              uint16_t parA10) {
    if (!IsInitialised()) {
        lastResult_ = kZtkNotReady;
        return false;
    }
    sensorType_ = sensorType;
    parA9_ = parA9;
    pixels_ = pixels;
    parA10_ = parA10;
    configured_ = 1;
    return true;
}

uint16_t CZTKBoard::GetAppliedBinning() {
    if (!IsConfigured()) {
        lastResult_ = kZtkNotReady;
        return 0;
    }
    return appliedBinning_;
}

uint16_t CZTKBoard::GetBinningDivisor() {
    if (!IsConfigured()) {
        lastResult_ = kZtkNotReady;
        return 0;
    }
    return parA9_;
}

bool CZTKBoard::IsUnbinned() {
    if (!IsConfigured()) {
        lastResult_ = kZtkNotReady;
        return false;
    }
    return appliedBinning_ == parA10_;
}

bool CZTKBoard::ReadStatus() {
    uint8_t value = 0;
    {
        // A missing board fails here first, and shows no box for it.
        ErrorBoxOff boxOff;
        if (!readRegister(9, value)) {
            return false;
        }
    }
    coolingOn_ = (value & 2) != 0 ? 1 : 0;
    if (!readRegister(10, value)) {
        return false;
    }
    jumperError_ = value & 1;
    coolingAvailable_ = (value & 4) != 0 ? 1 : 0;
    ready_ = (value & 8) != 0 ? 1 : 0;
    coolingError_ = (value & 2) != 0 && coolingOn_ != 0 && coolingAvailable_ != 0 ? 1 : 0;
    if (!readRegister(11, value)) {
        return false;
    }
    statusB2_ = (value & 4) != 0 ? 1 : 0;
    statusB1_ = (value & 2) != 0 ? 1 : 0;
    uint8_t high = 0;
    uint8_t low = 0;
    if (!readRegister(13, high) || !readRegister(12, low)) {
        return false;
    }
    statusCode_ = static_cast<uint8_t>(high << 4 | low);
    return true;
}

uint32_t CZTKBoard::EvaluateStatus() {
    uint32_t set = 0;
    if (coolingError_ != 0) {
        set |= 1;
        lastResult_ = kZtkCoolingError;
    }
    set |= statusB2_ != 0 ? 2u : 0u;
    set |= statusB1_ != 0 ? 4u : 0u;
    set |= statusCode_ != 0 ? 8u : 0u;
    set |= ready_ == 0 ? 16u : 0u;
    if (set >= 2) {
        lastResult_ = kZtkStatusError;
    }
    return set;
}

bool CZTKBoard::statusPasses() {
    return ReadStatus() && EvaluateStatus() == 0;
}

bool CZTKBoard::Open() {
    initialised_ = 0;
    configured_ = 0;
    firmwareVersion_ = 0;
    if (!statusPasses()) {
        return false;
    }
    uint8_t high = 0;
    uint8_t low = 0;
    if (!readRegister(14, high) || !readRegister(15, low)) {
        return false;
    }
    firmwareVersion_ = static_cast<uint8_t>(high << 4 | low);
    if (jumperError_ != 0) {
        lastResult_ = kZtkJumperSet;
        return false;
    }
    if (!statusPasses()) {
        return false;
    }
    initialised_ = 1;
    return true;
}

bool CZTKBoard::SetCoolingEnable(bool on) {
    if (!IsInitialised()) {
        lastResult_ = kZtkNotReady;
        return false;
    }
    if (!CoolingAvailable()) {
        lastResult_ = kZtkCoolingError;
        return false;
    }
    uint8_t value = 0;
    if (!readRegister(9, value) ||
        !writeByte(static_cast<uint8_t>(kCoolingRegister | (value & 0x05) | (on ? 0x02 : 0)))) {
        return false;
    }
    if (!statusPasses()) {
        return false;
    }
    coolingOn_ = on ? 1 : 0;
    return true;
}

bool CZTKBoard::WriteRegister0() {
    const std::optional<uint8_t> nibble = lookUp(kParA10Codes, parA10_);
    return nibble && writeByte(*nibble);
}

bool CZTKBoard::WriteRegister1() {
    return true;
}

bool CZTKBoard::WriteRegister2() {
    const std::optional<uint8_t> nibble = lookUp(kPixelCodes, pixels_);
    return nibble && writeByte(static_cast<uint8_t>(0x20 | *nibble));
}

bool CZTKBoard::WriteRegister3() {
    const std::optional<uint8_t> nibble = lookUp(kRegister3Codes, 1);
    return nibble && writeByte(static_cast<uint8_t>(0x30 | *nibble));
}

bool CZTKBoard::WriteBinningRegister(uint16_t value) {
    const uint8_t nibble = lookUp(kBinningCodes, value).value_or(kOtherBinning);
    return writeByte(static_cast<uint8_t>(kBinningRegister | nibble));
}

bool CZTKBoard::applyWith(uint16_t binningValue, uint16_t applied) {
    // Every register is written even after a failed one.
    bool written = WriteRegister1();
    written = WriteRegister2() && written;
    written = WriteRegister0() && written;
    written = WriteRegister3() && written;
    written = WriteBinningRegister(binningValue) && written;
    // Set in either case: the configuration getter reports it as the rows.
    appliedBinning_ = applied;
    return written && statusPasses();
}

bool CZTKBoard::ApplyConfiguration() {
    if (!IsConfigured() || parA9_ == 0) {
        lastResult_ = kZtkNotReady;
        return false;
    }
    return applyWith(static_cast<uint16_t>(parA10_ / parA9_), parA9_);
}

bool CZTKBoard::ApplyBinningMode() {
    if (!IsConfigured()) {
        lastResult_ = kZtkNotReady;
        return false;
    }
    return applyWith(parA10_, 1);
}

bool CZTKBoard::ApplyBinningMode2() {
    if (!IsConfigured()) {
        lastResult_ = kZtkNotReady;
        return false;
    }
    return applyWith(1, parA10_);
}

namespace {

// Level 4, code 514 and the info of the board's result, for the interface.
int32_t recordBoardFailure(int32_t id, const CZTKBoard& board) {
    recordError(id, KORAL_LEVEL_NOT_DONE, kCodeZtkConfig, 0);
    SetZtkErrorInfo(static_cast<int32_t>(board.GetLastResult()));
    return -1;
}

// The slot's board object, created when there is none; null with 5/201/0.
CZTKBoard* boardOf(DeviceSlot& slot, int32_t id) {
    if (!slot.ztkBoard) {
        try {
            slot.ztkBoard = std::make_shared<CZTKBoard>(static_cast<uint32_t>(id));
        } catch (const std::bad_alloc&) {
            recordError(id, KORAL_LEVEL_IGNORED, code::kAllocMemory, 0);
            return nullptr;
        }
    }
    return slot.ztkBoard.get();
}

bool handChannelOne(CZTKBoard& board, const DeviceSlot& slot) {
    return board.SetParameters(
        static_cast<uint16_t>(slot.sensorType[0]), static_cast<uint16_t>(slot.rows[0]),
        static_cast<uint16_t>(slot.pixelCount[0]), static_cast<uint16_t>(slot.fourthSensorWord[0]));
}

// The common prologue of the exports; the board, opened and configured, or
// null with the record written (the name and the box to come).
CZTKBoard* preparedBoard(DeviceSlot& slot, int32_t id) {
    if (slot.boardType != kTypePci && slot.boardType != kTypeBoard5 && slot.boardType != kTypeUsb) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
        return nullptr;
    }
    if (slot.frontEndType != 7 && slot.frontEndType != 11) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kNotAvailable, 0);
        return nullptr;
    }
    CZTKBoard* board = boardOf(slot, id);
    if (board == nullptr) {
        return nullptr;
    }
    if (!board->IsInitialised() && !board->Open()) {
        recordBoardFailure(id, *board);
        return nullptr;
    }
    if (!board->IsConfigured() && !handChannelOne(*board, slot)) {
        recordBoardFailure(id, *board);
        return nullptr;
    }
    return board;
}

} // namespace

int32_t PrepareCooledDetectorBoard(int32_t interfaceId) {
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return 0;
    }
    CZTKBoard* board = boardOf(*slot, interfaceId);
    if (board == nullptr) {
        return -1;
    }
    if (!board->IsInitialised()) {
        recordError(interfaceId, 0, 0, 0);
        if (!board->Open()) {
            const int32_t busCode = lastErrorRecord().code;
            const bool absent = busCode == 164 || busCode == 165;
            if (board->GetLastResult() != kZtkJumperSet && !absent) {
                return recordBoardFailure(interfaceId, *board);
            }
        }
    }
    if (board->IsInitialised() &&
        (!handChannelOne(*board, *slot) || !board->ApplyConfiguration())) {
        return recordBoardFailure(interfaceId, *board);
    }
    return 0;
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_ParaSetZTKBinningMode(int32_t mode, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetZTKBinningMode";
    return runSlotExport(kName, kCheckInitialised, interfaceId, [&](DeviceSlot& slot, int32_t id) {
        CZTKBoard* board = preparedBoard(slot, id);
        if (board == nullptr) {
            return failExport(kName);
        }
        if (mode < 0 || mode > 2) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        const bool deinitialised = SendDeviceCommand(KORAL_CMD_DEINIT) == 0;
        if (deinitialised) {
            slot.initialised = 0;
        }
        // The writer runs whatever the command gave; a failure of either is
        // the cooled board's record of this interface.
        const bool applied = mode == 2 ? board->ApplyBinningMode2() : board->ApplyBinningMode();
        if (!deinitialised || !applied) {
            recordBoardFailure(id, *board);
            return failExport(kName);
        }
        slot.rows[0] = board->GetAppliedBinning();
        return 0;
    });
}

extern "C" int32_t KORAL_ParaSetZTKCoolingEnable(int32_t on, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetZTKCoolingEnable";
    return runSlotExport(kName, kCheckInitialised, interfaceId, [&](DeviceSlot& slot, int32_t id) {
        CZTKBoard* board = preparedBoard(slot, id);
        if (board == nullptr) {
            return failExport(kName);
        }
        if (!board->SetCoolingEnable(on >= 1)) {
            recordBoardFailure(id, *board);
            return failExport(kName);
        }
        return 0;
    });
}
