// Open, close and the board commands on the request block.

#include "device_extension.h"
#include "driver.h"
#include "request_block.h"

#include "board_status.h"

namespace kavrin {

using namespace platform;

namespace {

// GET_USB_VERSION's answer in the first word of the data area.
constexpr uint16_t kUsbVersionHighSpeed = 20;
constexpr uint16_t kUsbVersionFullSpeed = 11;

// The functions a board in restricted mode still serves.
constexpr uint32_t kRestrictedFirst = KORAL_CMD_BOOT_EEPROM;
constexpr uint32_t kRestrictedLast = KORAL_CMD_GET_USB_VERSION;

void handleGetUsbVersion(DEVICE_EXTENSION& device, RequestBlock& block) {
    const uint16_t version =
        device.readIdentity().highSpeed ? kUsbVersionHighSpeed : kUsbVersionFullSpeed;
    std::memcpy(block.dataArea().data(), &version, sizeof version);
}

using CommandHandler = void (*)(DEVICE_EXTENSION&, RequestBlock&);
struct BoardCommand {
    uint32_t function;
    CommandHandler handler;
};

// The board commands served; any other function answers
// kStatusInvalidDeviceRequest.
constexpr BoardCommand kBoardCommands[] = {
    {KORAL_CMD_GET_USB_VERSION, handleGetUsbVersion},
};

CommandHandler findHandler(uint32_t function) {
    for (const BoardCommand& command : kBoardCommands) {
        if (command.function == function) {
            return command.handler;
        }
    }
    return nullptr;
}

// What every answer carries, whatever the command does.
void stamp(const BoardIdentity& identity, RequestBlock& block) {
    block.set<rb::Warning>(0);
    block.set<rb::Status>(0);
    block.set<rb::DriverVersion>(kDriverVersion);
    block.set<rb::HardwareWord>(static_cast<uint16_t>(identity.generation << 12 |
                                                      (identity.firmwareId.hardwareWord & 0x0FFF)));
    block.set<rb::BoardId>(identity.boardId);
    block.set<rb::FirmwareVersion>(identity.stampedFirmwareVersion);
    block.set<rb::FirmwareType>(identity.firmwareId.firmwareType);
}

} // namespace

DriverStatus DispatchCreate(DeviceObject& device, const IoRequestPtr& request) {
    DEVICE_EXTENSION& extension = extensionOf(device);
    if (extension.open.load()) {
        return request->complete(kStatusAccessDenied);
    }
    if (extension.state.load() != DeviceState::Started) {
        return request->complete(kStatusInvalidDeviceState);
    }
    bool expected = false;
    if (!extension.open.compare_exchange_strong(expected, true)) {
        return request->complete(kStatusAccessDenied); // one client at a time
    }
    return request->complete(kStatusSuccess);
}

DriverStatus DispatchClose(DeviceObject& device, const IoRequestPtr& request) {
    extensionOf(device).open = false;
    return request->complete(kStatusSuccess);
}

DriverStatus DispatchDeviceControl(DeviceObject& device, const IoRequestPtr& request) {
    DEVICE_EXTENSION& extension = extensionOf(device);
    RemoveLockHold hold(extension.removeLock);
    if (!hold.acquired()) {
        return request->complete(kStatusDeletePending);
    }
    const uint32_t code = request->ioControlCode();
    if (ctlDeviceType(code) != kBoardDeviceType) {
        return request->complete(kStatusInvalidDeviceRequest);
    }
    // A buffer that cannot hold a block is refused before any field is read.
    if (request->inputBufferLength() < KORAL_REQUEST_BLOCK_SIZE ||
        !RequestBlock::fits(request->systemBuffer())) {
        return request->complete(kStatusInvalidParameter);
    }
    RequestBlock block(request->systemBuffer());
    const BoardIdentity identity = extension.readIdentity();
    stamp(identity, block);
    request->setInformation(request->inputBufferLength());
    if (extension.state.load() != DeviceState::Started) {
        block.set<rb::Status>(kBoardStatusNotStarted);
        return request->complete(kStatusSuccess);
    }
    const uint32_t function = ctlFunction(code);
    if (identity.restricted && (function < kRestrictedFirst || function > kRestrictedLast)) {
        return request->complete(kStatusInvalidDeviceRequest);
    }
    const CommandHandler handler = findHandler(function);
    if (!handler) {
        return request->complete(kStatusInvalidDeviceRequest);
    }
    handler(extension, block);
    return request->complete(kStatusSuccess);
}

} // namespace kavrin
