// I2C operations, the presence check, temperatures and the boot EEPROM.

#include "i2c_commands.h"

#include "acquisition_state.h"
#include "board_status.h"
#include "firmware.h"
#include "vendor_requests.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace kavrin {

using namespace platform;

namespace {

constexpr uint8_t kLongField = 255; // an 8-bit field of 255 selects its 16-bit form

enum class I2cData : uint8_t {
    Field, // the length fields' bytes: inline when short, else the data area
    None,  // nothing moves
    Image, // a whole EEPROM image in the data area
};

struct I2cRule {
    uint8_t operation;
    bool in;
    bool longTimeout;
    I2cData data;
    bool wideFields;      // may take I2cIndex16 and I2cLength16
    uint8_t readBackWith; // 0: no verification
};

constexpr uint8_t kReadBackShort = 33;
constexpr uint8_t kReadBackImage = 128;

constexpr I2cRule kI2cRules[] = {
    {16, false, false, I2cData::Field, false, 0},
    {17, false, false, I2cData::Field, false, 0},
    {18, false, false, I2cData::Field, true, 0},
    {20, false, true, I2cData::Field, false, 0},
    {21, false, true, I2cData::Field, false, 0},
    {22, false, true, I2cData::Field, true, 0},
    {32, true, false, I2cData::Field, false, 0},
    {33, true, false, I2cData::Field, false, 0},
    {34, true, false, I2cData::Field, true, 0},
    {36, true, true, I2cData::Field, false, 0},
    {37, true, true, I2cData::Field, false, 0},
    {38, true, true, I2cData::Field, true, 0},
    {64, false, false, I2cData::Field, false, kReadBackShort},
    {65, false, true, I2cData::None, false, 0},
    {128, true, false, I2cData::Image, false, 0},
    {129, false, false, I2cData::Image, false, kReadBackImage},
};

const I2cRule* findRule(uint8_t operation) {
    const auto* rule = std::find_if(std::begin(kI2cRules), std::end(kI2cRules),
                                    [&](const I2cRule& r) { return r.operation == operation; });
    return rule != std::end(kI2cRules) ? rule : nullptr;
}

// The firmware of the block's work mode, loaded unless it runs; Status 1 when
// it is missing or its download failed.
bool modeFirmwareLoaded(DEVICE_EXTENSION& device, RequestBlock& block) {
    const int type = GetFirmwareTypeForMode(block.get<rb::SensorWorkMode>(), 0);
    if (LoadFirmware(device, type, false) != kLoadDone) {
        block.set<rb::Status>(kBoardStatusFirmwareMissing);
        return false;
    }
    return true;
}

// The board's firmware serves no I2C while it streams.
bool refusedWhileStreaming(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (device.acquisition.running.load()) {
        block.set<rb::Status>(kBoardStatusWrongWorkMode);
        return true;
    }
    return false;
}

bool tooLong(uint32_t length, RequestBlock& block) {
    if (length > kMaxI2cTransfer) {
        block.set<rb::StatusInfo>(static_cast<uint16_t>(kMaxI2cTransfer));
        block.set<rb::Status>(kBoardStatusFirmwareUnsupported);
        return true;
    }
    return false;
}

// The data area bytes the request carries, when they hold length bytes; a
// shorter area is refused rather than read or written past its end.
std::optional<std::span<uint8_t>> dataAreaFor(uint32_t length, RequestBlock& block) {
    const std::span<uint8_t> area = block.dataArea();
    if (area.size() < length) {
        block.set<rb::Status>(kBoardStatusBufferTooSmall);
        return std::nullopt;
    }
    return area.first(length);
}

uint16_t word(std::span<const uint8_t> bytes, std::size_t i) {
    return static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
}

void putWord(std::span<uint8_t> bytes, std::size_t i, uint16_t value) {
    bytes[2 * i] = static_cast<uint8_t>(value & 0xFF);
    bytes[2 * i + 1] = static_cast<uint8_t>(value >> 8);
}

// The presence check and the temperatures: a removed board fails the request
// itself; a streaming one answers 151. Nothing when the command may run.
std::optional<DriverStatus> refusedQuery(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (device.state.load() == DeviceState::SurpriseRemoved) {
        return kStatusUnsuccessful;
    }
    if (refusedWhileStreaming(device, block)) {
        return kStatusSuccess;
    }
    return std::nullopt;
}

} // namespace

DriverStatus HandleI2cOperation(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (!modeFirmwareLoaded(device, block) || refusedWhileStreaming(device, block)) {
        return kStatusSuccess;
    }
    const uint8_t operation = block.get<rb::I2cOperation>();
    const I2cRule* rule = findRule(operation);
    if (rule == nullptr) {
        return kStatusSuccess; // answered without a transfer
    }
    const uint8_t shortIndex = block.get<rb::I2cIndex>();
    const uint8_t shortLength = block.get<rb::I2cLength>();
    uint16_t index =
        rule->wideFields && shortIndex == kLongField ? block.get<rb::I2cIndex16>() : shortIndex;
    uint32_t length =
        rule->wideFields && shortLength == kLongField ? block.get<rb::I2cLength16>() : shortLength;
    if (rule->data == I2cData::Image) {
        length = kMaxI2cTransfer;
    } else if (rule->data == I2cData::None) {
        length = 0;
        index = 0;
    }
    if (tooLong(length, block)) {
        return kStatusSuccess;
    }
    std::span<uint8_t> data;
    if (rule->data == I2cData::Image || length > kI2cInlineBytes) {
        const auto area = dataAreaFor(length, block);
        if (!area) {
            return kStatusSuccess;
        }
        data = *area;
    } else {
        data = block.area<rb::I2cInlineData>().first(length);
    }
    const uint8_t address = block.get<rb::I2cDevice>();
    if (I2cOperation(device, operation, address, index, data, rule->in, rule->longTimeout) != 0) {
        ReportTransferFailure(device, block);
        return kStatusSuccess;
    }
    if (rule->readBackWith != 0) {
        std::vector<uint8_t> back(data.size());
        if (I2cOperation(device, rule->readBackWith, address, index, back, true, false) != 0) {
            ReportTransferFailure(device, block);
            return kStatusSuccess;
        }
        if (!std::equal(back.begin(), back.end(), data.begin())) {
            block.set<rb::Status>(kBoardStatusI2cCompare);
        }
    }
    return kStatusSuccess;
}

DriverStatus HandleI2cCheck(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (const auto refused = refusedQuery(device, block)) {
        return *refused;
    }
    std::array<uint8_t, 12> answer{};
    if (I2cCheck(device, block.get<rb::I2cDevice>(), answer) != 0) {
        ReportTransferFailure(device, block);
        return kStatusSuccess;
    }
    const uint16_t code = word(answer, 0);
    if (code == 0 || code == kBoardStatusI2cNoAcknowledge) {
        block.area<rb::I2cInlineData>()[0] = code == 0 ? 1 : 0;
    } else {
        block.set<rb::Status>(code);
    }
    return kStatusSuccess;
}

DriverStatus HandleGetTemperatures(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (const auto refused = refusedQuery(device, block)) {
        return *refused;
    }
    const uint8_t sensor = block.get<rb::I2cDevice>();
    if (sensor != 0) {
        uint16_t temperature = 0;
        if (GetOneTemperature(device, sensor, temperature) != 0) {
            ReportTransferFailure(device, block);
            return kStatusSuccess;
        }
        block.set<rb::Temperature>(temperature);
        return kStatusSuccess;
    }
    std::array<uint8_t, 34> answer{};
    if (GetAllTemperatures(device, answer) != 0) {
        ReportTransferFailure(device, block);
        return kStatusSuccess;
    }
    // The answer has room for eight: a larger count would read past it.
    const uint16_t count = std::min(word(answer, 0), kMaxTemperatureSensors);
    const uint32_t words = 2u * count + 1;
    if (block.get<rb::DataLength>() < words) {
        block.set<rb::Status>(kBoardStatusBufferTooSmall);
        return kStatusSuccess;
    }
    const auto area = dataAreaFor(2 * words, block);
    if (!area) {
        return kStatusSuccess;
    }
    putWord(*area, 0, count);
    for (uint16_t i = 0; i < count; ++i) {
        putWord(*area, 1 + i, word(answer, 1 + i));
        putWord(*area, 1 + count + i, word(answer, 1 + kMaxTemperatureSensors + i));
    }
    return kStatusSuccess;
}

DriverStatus HandleBootEeprom(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (!modeFirmwareLoaded(device, block) || refusedWhileStreaming(device, block)) {
        return kStatusSuccess;
    }
    const uint8_t generation = device.readIdentity().generation;
    const uint8_t address = generation == 1   ? kBootEepromAddressGeneration1
                            : generation == 2 ? kBootEepromAddressGeneration2
                                              : 0;
    const uint8_t shortIndex = block.get<rb::I2cIndex>();
    const uint8_t shortLength = block.get<rb::I2cLength>();
    uint32_t length = shortLength + 1u;
    uint16_t offset = shortIndex;
    if (generation == 2 && shortIndex == kLongField && shortLength == kLongField) {
        length = block.get<rb::I2cLength16>();
        offset = block.get<rb::I2cIndex16>();
    }
    if (tooLong(length, block)) {
        return kStatusSuccess;
    }
    const uint8_t operation = block.get<rb::I2cOperation>();
    const bool write = operation == kBootOperationWrite || operation == kBootOperationWriteId;
    if (!write && operation != kBootOperationRead) {
        return kStatusSuccess; // nothing to do
    }
    // The library must clear the guard byte before the board's own memory is
    // overwritten.
    if (write && block.area<rb::I2cInlineData>()[0] != 0) {
        block.set<rb::Status>(kBoardStatusInvalidData);
        return kStatusSuccess;
    }
    const auto area = dataAreaFor(length, block);
    if (!area) {
        return kStatusSuccess;
    }
    if (I2cOperation(device, write ? operation : kBootOperationRead, address, offset, *area, !write,
                     false) != 0) {
        ReportTransferFailure(device, block);
    }
    return kStatusSuccess;
}

} // namespace kavrin
