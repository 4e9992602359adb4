// Exports that read and write whole configuration EEPROM images and the boot
// EEPROM of the USB boards.
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/eeprom_image.h"
#include "hardware/i2c_access.h"
#include "tarvik.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace tarvik {
namespace {

constexpr const char* kReadEepromName = "KORAL_I2C_Read_EEPROM_X";
constexpr const char* kWriteEepromName = "KORAL_I2C_Write_EEPROM_X";
constexpr const char* kReadBootName = "KORAL_I2C_Read_Boot_EEPROM";
constexpr const char* kWriteBootName = "KORAL_I2C_Write_Boot_EEPROM";

constexpr uint32_t kImageWords = kEepromImageSize / 2;
constexpr int32_t kPiece = 8; // bytes per serial I2C transfer
constexpr uint8_t kWholeLength = 255;

// Bits of the boot exports' first argument.
constexpr uint32_t kBootAddressMask = 0xFFFF;
constexpr uint32_t kBootWholeImage = 1u << 16;
constexpr uint32_t kBootStoreCrc = 1u << 17;
constexpr uint8_t kDefaultBootAddress = 0xA0; // type 8 with address part 0
constexpr int32_t kBootHeaderBytes = 16;      // the microcontroller's own bytes
constexpr int32_t kBootReadCap = 240;
constexpr int32_t kLongFieldLimit = 0xFFFF;
constexpr unsigned kMinimumBootGeneration = 2;

int32_t failParameter(const char* name, int32_t id, int32_t info = 0) {
    return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, info);
}

int32_t failInterfaceType(const char* name, int32_t id) {
    return failExport(name, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                      kInfoInvalidInterfaceType);
}

// The slot of the ID under the DeviceLock, or null with 5/504/808 recorded
// and shown. ID 0 would pair the scratch slot with the actual interface.
DeviceSlot* slotForDeviceWork(const char* name, int32_t id) {
    const LibraryState* state = libraryState();
    DeviceSlot* slot = deviceSlot(id);
    if (id == 0 || slot == nullptr || state == nullptr || state->actualInterfaceId == 0) {
        failExport(name, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
        return nullptr;
    }
    return slot;
}

bool isBoardType(uint32_t type) {
    return type == kTypePci || type == kTypeBoard5 || type == kTypeUsb || type == kTypeUsb2;
}

// A data area of whole words that holds `bytes` bytes.
uint32_t wordsFor(int32_t bytes) {
    return static_cast<uint32_t>((bytes + 1) / 2);
}

void setImageRequest(DeviceSlot& slot, int32_t address, uint8_t operation) {
    DeviceRequestBlock* block = slot.block();
    block->I2CDevice = static_cast<uint8_t>(address);
    block->I2COperation = operation;
    block->I2CIndex = 0;
    block->I2CLength = kWholeLength;
    block->I2CIndexLong = 0;
    block->I2CLengthLong = static_cast<uint16_t>(kEepromImageSize);
}

// The serial electronics move 8 bytes per transfer; a failure ends with the
// failing piece's record under the export's name.
template <class Piece> int32_t imageInPieces(const char* name, Piece&& piece) {
    int32_t result = 0;
    {
        ErrorBoxOff boxOff;
        for (int32_t offset = 0; offset < static_cast<int32_t>(kEepromImageSize);
             offset += kPiece) {
            if (piece(offset) != 0) {
                result = -1;
                break;
            }
        }
    }
    return result != 0 ? failExport(name) : 0;
}

int32_t readImage(int32_t address, uint8_t* buffer, int32_t id) {
    if (checkInterfaceForExport(kReadEepromName, kCheckDeviceOpen, id) != 0) {
        return -1;
    }
    if (address < 0 || address > 255 || buffer == nullptr) {
        return failParameter(kReadEepromName, id);
    }
    std::lock_guard guard(deviceLock());
    DeviceSlot* slot = slotForDeviceWork(kReadEepromName, id);
    if (slot == nullptr) {
        return -1;
    }
    if (slot->boardType == kTypeSerial) {
        return imageInPieces(kReadEepromName, [&](int32_t offset) {
            const int32_t result = KORAL_I2C_Read_N_X(address, buffer + offset, offset, kPiece,
                                                      static_cast<uint32_t>(id));
            if (result != 0) {
                std::memset(buffer + offset, 0xFF, kPiece);
            }
            return result;
        });
    }
    if (!isBoardType(slot->boardType)) {
        return failInterfaceType(kReadEepromName, id);
    }
    setImageRequest(*slot, address, kI2cReadImage);
    if (ResizeRequestBlock(id, kImageWords) != 0) {
        return failExport(kReadEepromName);
    }
    if (SendDeviceCommand(KORAL_CMD_I2C_OPERATION) != 0 &&
        SendDeviceCommand(KORAL_CMD_I2C_OPERATION) != 0) {
        std::memset(buffer, 0xFF, kEepromImageSize);
        return failExport(kReadEepromName);
    }
    std::memcpy(buffer, slot->data(), kEepromImageSize);
    return 0;
}

int32_t writeImage(int32_t address, const uint8_t* buffer, int32_t id) {
    if (checkInterfaceForExport(kWriteEepromName, kCheckDeviceOpen, id) != 0) {
        return -1;
    }
    if (address < 0 || address > 255 || buffer == nullptr) {
        return failParameter(kWriteEepromName, id);
    }
    std::lock_guard guard(deviceLock());
    DeviceSlot* slot = slotForDeviceWork(kWriteEepromName, id);
    if (slot == nullptr) {
        return -1;
    }
    if (slot->boardType == kTypeSerial) {
        return imageInPieces(kWriteEepromName, [&](int32_t offset) {
            return KORAL_I2C_Programming_X(address, buffer + offset, offset, kPiece,
                                           static_cast<uint32_t>(id));
        });
    }
    if (!isBoardType(slot->boardType)) {
        return failInterfaceType(kWriteEepromName, id);
    }
    setImageRequest(*slot, address, kI2cWriteImage);
    if (ResizeRequestBlock(id, kImageWords) != 0) {
        return failExport(kWriteEepromName);
    }
    std::memcpy(slot->data(), buffer, kEepromImageSize);
    if (SendDeviceCommand(KORAL_CMD_I2C_OPERATION) != 0) {
        return failExport(kWriteEepromName);
    }
    return 0;
}

// --- boot EEPROM

struct BootCall {
    const char* name;
    bool write;
    uint32_t address;
    uint32_t options;
    uint8_t* readBuffer;
    const uint8_t* writeBuffer;
    int32_t offset;
    int32_t* length;
    int32_t id;
};

// The board refuses a boot write whose first I2CData byte is not 0; what an
// earlier transfer left there must not decide it.
void clearInlineData(DeviceRequestBlock& block) {
    std::memset(block.I2CData, 0, sizeof block.I2CData);
}

int32_t sendTwice(uint32_t command) {
    return SendDeviceCommand(command) == 0 || SendDeviceCommand(command) == 0 ? 0 : -1;
}

// Type 6: the board's 16-bit offset and length fields.
int32_t bootOnUsbBoard(const BootCall& call, DeviceSlot& slot) {
    const unsigned generation = boardGeneration(*slot.block());
    if (generation < kMinimumBootGeneration) {
        return failInterfaceType(call.name, call.id);
    }
    const int32_t length = *call.length;
    if (call.offset > kLongFieldLimit || length > kLongFieldLimit) {
        return failParameter(call.name, call.id); // beyond the board's 16-bit fields
    }
    DeviceRequestBlock* block = slot.block();
    block->I2CDevice = static_cast<uint8_t>(call.address);
    block->I2COperation = call.write ? kI2cBootWrite : kI2cBootRead;
    block->I2CIndex = kWholeLength;
    block->I2CLength = kWholeLength;
    block->I2CIndexLong = static_cast<uint16_t>(call.offset);
    block->I2CLengthLong = static_cast<uint16_t>(length);
    clearInlineData(*block);
    if (ResizeRequestBlock(call.id, wordsFor(length)) != 0) {
        return failExport(call.name);
    }
    if (call.write) {
        std::memcpy(slot.data(), call.writeBuffer, static_cast<size_t>(length));
    }
    if (sendTwice(KORAL_CMD_BOOT_EEPROM) != 0) {
        return failExport(call.name);
    }
    if (!call.write) {
        std::memcpy(call.readBuffer, slot.data(), static_cast<size_t>(length));
    }
    return 0;
}

// Type 8: the boot image is kept in the slot's boot area, which holds 256
// bytes, so offsets and lengths beyond it are refused before anything moves.
int32_t bootOnUsb2Board(const BootCall& call, DeviceSlot& slot) {
    const int32_t length = *call.length;
    const auto image = static_cast<int32_t>(kEepromImageSize);
    if (call.offset > 255 || length > image || (call.write && length < image)) {
        return failParameter(call.name, call.id);
    }
    uint8_t* bootArea = slot.configuration.data() + kBootImageArea;
    DeviceRequestBlock* block = slot.block();
    block->I2CDevice = call.address == 0 ? kDefaultBootAddress : static_cast<uint8_t>(call.address);
    block->I2COperation = call.write ? kI2cBootWrite : kI2cBootRead;
    block->I2CIndex = static_cast<uint8_t>(call.offset);
    // A generation-2 board takes the 16-bit fields when both 8-bit ones read 255.
    block->I2CIndexLong = static_cast<uint16_t>(call.offset);
    clearInlineData(*block);

    if (!call.write) {
        block->I2CLength = static_cast<uint8_t>(length - 1);
        block->I2CLengthLong = static_cast<uint16_t>(length);
        if (ResizeRequestBlock(call.id, wordsFor(length)) != 0) {
            return failExport(call.name);
        }
        if (sendTwice(KORAL_CMD_BOOT_EEPROM) != 0) {
            return failExport(call.name);
        }
        std::memcpy(bootArea, slot.data(), static_cast<size_t>(length));
        if ((call.options & kBootWholeImage) != 0) {
            std::memcpy(call.readBuffer, bootArea, static_cast<size_t>(length));
        } else {
            *call.length = std::min(length, kBootReadCap);
            const int32_t copied = *call.length - kBootHeaderBytes;
            if (copied > 0) {
                std::memcpy(call.readBuffer, bootArea + kBootHeaderBytes,
                            static_cast<size_t>(copied));
            }
        }
        return 0;
    }

    uint8_t composed[kEepromImageSize];
    if ((call.options & kBootWholeImage) != 0) {
        std::memcpy(composed, call.writeBuffer, kEepromImageSize);
    } else {
        std::memcpy(composed, bootArea, kBootHeaderBytes);
        std::memcpy(composed + kBootHeaderBytes, call.writeBuffer + kBootHeaderBytes,
                    kEepromImageSize - kBootHeaderBytes);
    }
    if ((call.options & kBootStoreCrc) != 0) {
        CEepromImage view;
        // An image whose length word is out of range gets no CRC: refused
        // rather than written with a wrong one.
        if (!view.Attach(composed, kImageKindBoot) || !view.ComputeChecksum(true)) {
            return failParameter(call.name, call.id);
        }
    }
    block->I2CLength = kWholeLength;
    block->I2CLengthLong = static_cast<uint16_t>(kEepromImageSize);
    if (ResizeRequestBlock(call.id, kImageWords) != 0) {
        return failExport(call.name);
    }
    std::memcpy(slot.data(), composed, kEepromImageSize);
    if (sendTwice(KORAL_CMD_BOOT_EEPROM) != 0) {
        return failExport(call.name);
    }
    std::memcpy(bootArea, composed, kEepromImageSize);
    return 0;
}

int32_t runBoot(const BootCall& call) {
    return runExport(call.name, [&] {
        if (checkInterfaceForExport(call.name, kCheckDeviceOpen, call.id) != 0) {
            return -1;
        }
        const bool noBuffer = call.write ? call.writeBuffer == nullptr : call.readBuffer == nullptr;
        if (call.address > 255 || noBuffer || call.length == nullptr || *call.length < 1 ||
            call.offset < 0) {
            return failParameter(call.name, call.id);
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = slotForDeviceWork(call.name, call.id);
        if (slot == nullptr) {
            return -1;
        }
        switch (slot->boardType) {
        case kTypeUsb:
            return bootOnUsbBoard(call, *slot);
        case kTypeUsb2:
            return bootOnUsb2Board(call, *slot);
        default:
            return failInterfaceType(call.name, call.id);
        }
    });
}

BootCall bootCall(const char* name, bool write, int32_t addressAndOptions, int32_t offset,
                  int32_t* length, uint32_t interfaceId) {
    const auto bits = static_cast<uint32_t>(addressAndOptions);
    BootCall call{};
    call.name = name;
    call.write = write;
    call.address = bits & kBootAddressMask;
    call.options = bits & ~kBootAddressMask;
    call.offset = offset;
    call.length = length;
    call.id = static_cast<int32_t>(interfaceId);
    return call;
}

} // namespace
} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_I2C_Read_EEPROM_X(int32_t deviceAddress, uint8_t* buffer,
                                           uint32_t interfaceId) {
    return runExport(kReadEepromName, [&] {
        return readImage(deviceAddress, buffer, static_cast<int32_t>(interfaceId));
    });
}

extern "C" int32_t KORAL_I2C_Write_EEPROM_X(int32_t deviceAddress, const uint8_t* buffer,
                                            uint32_t interfaceId) {
    return runExport(kWriteEepromName, [&] {
        return writeImage(deviceAddress, buffer, static_cast<int32_t>(interfaceId));
    });
}

extern "C" int32_t KORAL_I2C_Read_Boot_EEPROM(int32_t addressAndOptions, uint8_t* buffer,
                                              int32_t offset, int32_t* length,
                                              uint32_t interfaceId) {
    BootCall call = bootCall(kReadBootName, false, addressAndOptions, offset, length, interfaceId);
    call.readBuffer = buffer;
    return runBoot(call);
}

extern "C" int32_t KORAL_I2C_Write_Boot_EEPROM(int32_t addressAndOptions, const uint8_t* buffer,
                                               int32_t offset, int32_t* length,
                                               uint32_t interfaceId) {
    BootCall call = bootCall(kWriteBootName, true, addressAndOptions, offset, length, interfaceId);
    call.writeBuffer = buffer;
    return runBoot(call);
}
