#include "core/device_command.h"

#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"

#include "platform/device.h"
#include "platform/last_error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>

namespace tarvik {
namespace {

constexpr uint32_t kConfigurationWords = 128; // the 256 boot-image bytes that go with INIT

struct Route {
    uint32_t code;
    bool longRequest; // 33,600 + ExtraBytes instead of 33,600 bytes
};

bool needsInitialisedSlot(uint32_t command) {
    switch (command) {
    case KORAL_CMD_INIT:
    case KORAL_CMD_I2C_OPERATION:
    case KORAL_CMD_OPEN:
    case KORAL_CMD_GET_TEMPERATURES:
    case KORAL_CMD_I2C_CHECK_DEVICE:
    case KORAL_CMD_BOOT_EEPROM:
    case KORAL_CMD_GET_USB_VERSION:
        return false;
    default:
        return true;
    }
}

// Every number without a row of its own goes to the driver as INIT.
Route routeOf(uint32_t command) {
    switch (command) {
    case KORAL_CMD_DEINIT:
        return {IOCTL_BOARD_DEINIT, false};
    case KORAL_CMD_SET_DIGITAL_OUTPUT:
        return {IOCTL_BOARD_SET_DIGITAL_OUTPUT, false};
    case KORAL_CMD_GET_DIGITAL_INPUT:
        return {IOCTL_BOARD_GET_DIGITAL_INPUT, false};
    case KORAL_CMD_I2C_OPERATION:
        return {IOCTL_BOARD_I2C_OPERATION, true};
    case KORAL_CMD_I2C_CHECK_DEVICE:
        return {IOCTL_BOARD_I2C_CHECK_DEVICE, true};
    case KORAL_CMD_SET_INPUT_LATCH_MODE:
        return {IOCTL_BOARD_SET_INPUT_LATCH_MODE, true};
    case KORAL_CMD_OPEN:
        return {IOCTL_BOARD_OPEN, false};
    case KORAL_CMD_GET_TEMPERATURES:
        return {IOCTL_BOARD_GET_TEMPERATURES, true};
    case KORAL_CMD_BOOT_EEPROM:
        return {IOCTL_BOARD_BOOT_EEPROM, true};
    case KORAL_CMD_GET_USB_VERSION:
        return {IOCTL_BOARD_GET_USB_VERSION, true};
    default:
        return {IOCTL_BOARD_INIT, false};
    }
}

// One device-control request with the slot's block as input and output.
bool sendRequest(DeviceSlot& slot, uint32_t code, bool longRequest) {
    DeviceRequestBlock* block = slot.block();
    block->Status = 0;
    block->StatusInfo = 0;
    const size_t wanted = KORAL_REQUEST_BLOCK_SIZE + (longRequest ? slot.extraBytes : 0);
    const auto length = static_cast<uint32_t>(std::min(wanted, slot.requestBlock.size()));
    if (!platform::deviceIoControl(slot.deviceHandle, code, block, length, block, length,
                                   nullptr)) {
        recordError(0, KORAL_LEVEL_DEVICE, code::kDeviceIo,
                    platformErrorInfo(platform::lastError()));
        return false;
    }
    if (block->Status != 0) {
        recordError(0, KORAL_LEVEL_HARDWARE, block->Status, block->StatusInfo);
        return false;
    }
    return true;
}

// A request sent to restore the board after a failure: its own failure must
// not replace the one the caller reports.
bool sendKeepingRecord(DeviceSlot& slot, uint32_t code, bool longRequest) {
    SaveLastError();
    const bool sent = sendRequest(slot, code, longRequest);
    RestoreLastError();
    return sent;
}

// A USB board in a continuous mode runs I2C only in the single mode: switch to
// work mode 3, run the command, switch back and restore the latch mode, which
// the re-initialisation drops. The board is switched back also when the I2C
// command failed, so that it never stays in work mode 3.
int32_t sendI2cInContinuousMode(LibraryState& state, DeviceSlot& slot, const Route& route) {
    DeviceRequestBlock* block = slot.block();
    const uint16_t workMode = block->WorkMode;
    block->WorkMode = 3;
    const bool switched = sendRequest(slot, IOCTL_BOARD_INIT, false);
    const bool i2cDone = switched && sendRequest(slot, route.code, route.longRequest);
    const uint16_t status = block->Status;
    const uint16_t statusInfo = block->StatusInfo;
    block->WorkMode = workMode;

    bool ok = i2cDone;
    bool restored = false;
    if (switched) {
        if (i2cDone) {
            ok = restored = sendRequest(slot, IOCTL_BOARD_INIT, false);
        } else {
            restored = sendKeepingRecord(slot, IOCTL_BOARD_INIT, false);
        }
    }
    const uint32_t latchMode = state.inputLatchTable[static_cast<size_t>(slot.interfaceId)];
    if (latchMode != 0) {
        block->DigitalInputWord = latchMode;
        if (restored) {
            if (ok) {
                ok = sendRequest(slot, IOCTL_BOARD_SET_INPUT_LATCH_MODE, false);
            } else {
                sendKeepingRecord(slot, IOCTL_BOARD_SET_INPUT_LATCH_MODE, false);
            }
        }
    }
    // The block shows the answer that the record reports: the I2C command's,
    // unless a request after it failed.
    if (switched && (ok || !i2cDone)) {
        block->Status = status;
        block->StatusInfo = statusInfo;
    }
    return ok ? 0 : -1;
}

} // namespace

bool isContinuousWorkMode(uint16_t workMode) {
    return workMode == 6 || workMode == 7 || workMode == 0xFF20 || workMode == 0xFF21;
}

int32_t ResizeRequestBlock(int32_t interfaceId, uint32_t words) {
    std::lock_guard guard(deviceLock());
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
        return -1;
    }
    constexpr uint64_t kMaxExtra = std::numeric_limits<uint32_t>::max() - KORAL_REQUEST_BLOCK_SIZE;
    const uint64_t extra = uint64_t{words} * 2;
    if (extra != slot->extraBytes) {
        if (extra > kMaxExtra || !slot->requestBlock.resize(KORAL_REQUEST_BLOCK_SIZE + extra)) {
            recordError(interfaceId, KORAL_LEVEL_MEMORY, code::kReallocMemory,
                        platformErrorInfo(ENOMEM));
            return -1;
        }
        slot->extraBytes = static_cast<uint32_t>(extra);
        slot->block()->DataLength = words != 0 ? words : 1;
    }
    std::memset(slot->data(), 0, extra);
    std::memset(slot->requestBlock.bytes() + offsetof(DeviceRequestBlock, ScanData), 0,
                sizeof(DeviceRequestBlock::ScanData));
    return 0;
}

int32_t SendDeviceCommand(uint32_t command) {
    std::lock_guard guard(deviceLock());
    return SendSlotCommand(actualSlot(), command);
}

int32_t SendSlotCommand(DeviceSlot* slot, uint32_t command) {
    std::lock_guard guard(deviceLock());
    LibraryState* state = libraryState();
    if (state == nullptr || slot == nullptr) {
        // Nothing to send to: the actual ID has no slot.
        recordError(actualInterfaceId(), KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
        return -1;
    }
    if (slot->initialised != 1 && needsInitialisedSlot(command)) {
        recordError(0, KORAL_LEVEL_IGNORED, code::kNotInitialized, 0);
        return -1;
    }
    if (command > KORAL_CMD_MAX) {
        recordError(0, KORAL_LEVEL_IGNORED, code::kNotAvailable, 0);
        return -1;
    }
    const Route route = routeOf(command);
    if ((route.code == IOCTL_BOARD_I2C_OPERATION || route.code == IOCTL_BOARD_I2C_CHECK_DEVICE) &&
        slot->boardType == kTypeUsb && isContinuousWorkMode(slot->block()->WorkMode)) {
        return sendI2cInContinuousMode(*state, *slot, route);
    }
    if (route.code != IOCTL_BOARD_INIT) {
        return sendRequest(*slot, route.code, route.longRequest) ? 0 : -1;
    }
    const bool withConfiguration = (slot->block()->RequestFlags & KORAL_RF_CONFIG_BYTES) != 0;
    if (withConfiguration) {
        if (ResizeRequestBlock(slot->interfaceId, kConfigurationWords) != 0) {
            return -1;
        }
        std::memcpy(slot->data(), slot->configuration.data() + kBootImageOffset,
                    kConfigurationImageSize);
    }
    if (!sendRequest(*slot, IOCTL_BOARD_INIT, withConfiguration)) {
        return -1; // the bit stays for the next try
    }
    // The configuration went once; the bit lives until a successful INIT.
    slot->block()->RequestFlags &= ~KORAL_RF_CONFIG_BYTES;
    return 0;
}

} // namespace tarvik
