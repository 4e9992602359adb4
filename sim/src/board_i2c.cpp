// The board's I2C commands: transfers on its I2C bus, the presence check and
// the boot EEPROM, answered as the USB board's driver answers them.

#include "block_access.h"
#include "i2c_operations.h"
#include "sim/board_model.h"

#include <algorithm>
#include <array>
#include <vector>

namespace sim {

namespace {

using Kind = detail::I2cKind;

constexpr uint32_t kDataOffset = KORAL_REQUEST_BLOCK_DATA_OFFSET;
constexpr std::size_t kInlineBytes = 8;
constexpr uint32_t kMaxTransfer = 256;
constexpr uint8_t kLongField = 255;

// Operations that may take the 16-bit index and length.
bool takesLongFields(uint8_t operation) {
    return operation == 18 || operation == 22 || operation == 34 || operation == 38;
}

// The data area bytes that came with the request.
std::span<uint8_t> dataArea(std::span<uint8_t> block, uint32_t inputLength) {
    const std::size_t end = std::min<std::size_t>(inputLength, block.size());
    return end > kDataOffset ? block.subspan(kDataOffset, end - kDataOffset) : std::span<uint8_t>();
}

std::span<uint8_t> inlineData(std::span<uint8_t> block) {
    return block.subspan(offsetof(DeviceRequestBlock, I2CData), kInlineBytes);
}

void answer(std::span<uint8_t> block, uint16_t status, uint16_t statusInfo = 0) {
    SIM_PUT(block, Status, status);
    SIM_PUT(block, StatusInfo, statusInfo);
}

uint16_t statusOf(I2cResult result) {
    return result == I2cResult::Done ? 0 : kStatusI2cNoAcknowledge;
}

// A verified write: the read-back must give what was written.
uint16_t writeAndCompare(I2cBus& bus, uint8_t address, uint8_t index,
                         std::span<const uint8_t> bytes) {
    if (bus.write(address, index, bytes) != I2cResult::Done) {
        return kStatusI2cNoAcknowledge;
    }
    std::vector<uint8_t> back(bytes.size());
    if (bus.read(address, index, back) != I2cResult::Done) {
        return kStatusI2cNoAcknowledge;
    }
    return std::equal(back.begin(), back.end(), bytes.begin()) ? 0 : kStatusI2cCompare;
}

} // namespace

bool BoardModel::continuousLocked() const {
    if (!init_.initialised) {
        return false;
    }
    const uint16_t mode = init_.parameters.workMode;
    return mode == 6 || mode == 7 || (mode >= 48 && mode <= 51) || mode == 0xFF20 || mode == 0xFF21;
}

void BoardModel::serveI2cOperationLocked(std::span<uint8_t> block, uint32_t inputLength) {
    if (continuousLocked()) {
        return answer(block, kStatusWrongWorkMode);
    }
    const uint8_t operation = SIM_GET(block, I2COperation);
    const Kind kind = detail::i2cKindOf(operation);
    if (kind == Kind::None) {
        return; // answered without a transfer
    }
    const uint8_t address = SIM_GET(block, I2CDevice);
    const bool wide = takesLongFields(operation);
    const uint8_t shortIndex = SIM_GET(block, I2CIndex);
    const uint8_t shortLength = SIM_GET(block, I2CLength);
    // The bus has 8-bit register indexes: a 16-bit index goes out as its low byte.
    const auto index = static_cast<uint8_t>(
        wide && shortIndex == kLongField ? SIM_GET(block, I2CIndexLong) : shortIndex);
    uint32_t length =
        wide && shortLength == kLongField ? SIM_GET(block, I2CLengthLong) : shortLength;
    if (kind == Kind::ReadImage || kind == Kind::WriteImage) {
        length = kEepromBytes;
    } else if (kind == Kind::Touch) {
        length = 0;
    }
    if (length > kMaxTransfer) {
        return answer(block, kStatusNotSupported, kMaxTransfer);
    }
    std::span<uint8_t> data;
    if (kind == Kind::ReadImage || kind == Kind::WriteImage || length > kInlineBytes) {
        data = dataArea(block, inputLength);
        if (data.size() < length) {
            return answer(block, kStatusBufferTooSmall);
        }
    } else {
        data = inlineData(block);
    }
    data = data.first(length);

    switch (kind) {
    case Kind::WriteAtPointer:
        return answer(block, statusOf(bus_.write(address, std::nullopt, data)));
    case Kind::WriteAtIndex:
        return answer(block, statusOf(bus_.write(address, index, data)));
    case Kind::ReadAtPointer:
        return answer(block, statusOf(bus_.read(address, std::nullopt, data)));
    case Kind::ReadAtIndex:
    case Kind::ReadImage:
        return answer(block, statusOf(bus_.read(address, index, data)));
    case Kind::Program:
    case Kind::WriteImage:
        return answer(block, writeAndCompare(bus_, address, index, data));
    case Kind::Touch:
        return answer(block, statusOf(bus_.write(address, 0, {})));
    case Kind::None:
        break;
    }
}

void BoardModel::serveI2cCheckLocked(std::span<uint8_t> block) {
    if (continuousLocked()) {
        return answer(block, kStatusWrongWorkMode);
    }
    const std::span<uint8_t> data = inlineData(block);
    data[0] = bus_.present(SIM_GET(block, I2CDevice)) ? 1 : 0;
}

void BoardModel::serveBootEepromLocked(std::span<uint8_t> block, uint32_t inputLength) {
    if (continuousLocked()) {
        return answer(block, kStatusWrongWorkMode);
    }
    const unsigned generation = (identity_.hardwareWord >> 12) & 0xF;
    const uint8_t shortIndex = SIM_GET(block, I2CIndex);
    const uint8_t shortLength = SIM_GET(block, I2CLength);
    uint32_t offset = shortIndex;
    uint32_t length = shortLength + 1u;
    if (generation == 2 && shortIndex == kLongField && shortLength == kLongField) {
        offset = SIM_GET(block, I2CIndexLong);
        length = SIM_GET(block, I2CLengthLong);
    }
    if (length > kMaxTransfer) {
        return answer(block, kStatusNotSupported, kMaxTransfer);
    }
    const uint8_t operation = SIM_GET(block, I2COperation);
    const bool write = operation == detail::kBootWrite || operation == detail::kBootWriteId;
    if (!write && operation != detail::kBootRead) {
        return; // answered without a transfer
    }
    if (write && inlineData(block)[0] != 0) {
        return answer(block, kStatusInvalidData);
    }
    const std::span<uint8_t> area = dataArea(block, inputLength);
    if (area.size() < length) {
        return answer(block, kStatusBufferTooSmall);
    }
    // The boot EEPROM's addresses wrap at its size.
    boot_.setPointer(static_cast<uint8_t>(offset));
    if (write) {
        boot_.write(area.first(length));
    } else {
        boot_.read(area.first(length));
    }
}

} // namespace sim
