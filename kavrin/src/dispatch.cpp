// Open, close and the board commands on the request block.

#include "device_extension.h"
#include "driver.h"
#include "request_block.h"

#include "acquisition.h"
#include "board_status.h"
#include "i2c_commands.h"
#include "logic_device.h"
#include "vendor_requests.h"

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

void handleSetDigitalOutput(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (SetDigitalOutput(device, block.get<rb::DigitalOutputWord>()) != 0) {
        ReportTransferFailure(device, block);
    }
}

void handleGetDigitalInput(DEVICE_EXTENSION& device, RequestBlock& block) {
    uint32_t answer = 0;
    if (GetDigitalInput(device, block.get<rb::DigitalInputWord>(), answer) != 0) {
        ReportTransferFailure(device, block);
        return;
    }
    // The board's low half goes up; the lower half is 0.
    block.set<rb::DigitalInputWord>(answer << 16);
}

void handleSetInputLatchMode(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (SetInputLatchMode(device, block.get<rb::DigitalInputWord>()) != 0) {
        ReportTransferFailure(device, block);
    }
}

void handleGetFirmwareId(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (ReadFirmwareId(device) != 0) {
        if (device.state.load() == DeviceState::Started) {
            ReportDeviceError(device, block);
        }
        return;
    }
    const FIRMWARE_ID_BLOCK id = device.readIdentity().firmwareId;
    block.set<rb::FirmwareType>(id.firmwareType);
    block.set<rb::FirmwareVersion>(id.firmwareVersion);
    block.set<rb::HardwareWord>(static_cast<uint16_t>((block.get<rb::HardwareWord>() & 0xF000) |
                                                      (id.hardwareWord & 0x0FFF)));
}

// The board's answer to the first acquisition command after the device
// object was created: a missing sensor or front end ends the command.
bool firstRequestRefused(DEVICE_EXTENSION& device, uint32_t function, RequestBlock& block) {
    if (!device.firstRequestCheck || function < KORAL_CMD_DEINIT ||
        function > KORAL_CMD_GET_SCANS) {
        return false;
    }
    uint16_t code = 0;
    if (device.state.load() != DeviceState::SurpriseRemoved && ReadDeviceError(device, code) == 0 &&
        (code == kBoardStatusSensorMissing || code == kBoardStatusFrontEndMissing ||
         code == kBoardStatusFirstRequest148)) {
        block.set<rb::Status>(code);
        return true; // stays armed
    }
    device.firstRequestCheck = false;
    return false;
}

// A handler answers the request's own status; most commands always succeed
// at that level and carry their outcome in the block.
using CommandHandler = DriverStatus (*)(DEVICE_EXTENSION&, RequestBlock&);
template <void (*Handler)(DEVICE_EXTENSION&, RequestBlock&)>
DriverStatus served(DEVICE_EXTENSION& device, RequestBlock& block) {
    Handler(device, block);
    return kStatusSuccess;
}

struct BoardCommand {
    uint32_t function;
    CommandHandler handler;
};

// The board commands served; any other function answers
// kStatusInvalidDeviceRequest.
constexpr BoardCommand kBoardCommands[] = {
    {KORAL_CMD_DEINIT, served<HandleDeinit>},
    {KORAL_CMD_INIT, served<HandleInit>},
    {KORAL_CMD_SET_DIGITAL_OUTPUT, served<handleSetDigitalOutput>},
    {KORAL_CMD_GET_DIGITAL_INPUT, served<handleGetDigitalInput>},
    {KORAL_CMD_I2C_OPERATION, HandleI2cOperation},
    {KORAL_CMD_SET_INPUT_LATCH_MODE, served<handleSetInputLatchMode>},
    {KORAL_CMD_GET_TEMPERATURES, HandleGetTemperatures},
    {KORAL_CMD_I2C_CHECK_DEVICE, HandleI2cCheck},
    {KORAL_CMD_BOOT_EEPROM, HandleBootEeprom},
    {KORAL_CMD_GET_FIRMWARE_ID, served<handleGetFirmwareId>},
    {KORAL_CMD_GET_USB_VERSION, served<handleGetUsbVersion>},
    {KORAL_CMD_PROGRAM_CPLD, HandleProgramCpld},
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

DriverStatus DispatchCleanup(DeviceObject& device, const IoRequestPtr& request) {
    // The client goes: its acquisition ends and a scan it waits for with it.
    StopContinuousAcquisition(extensionOf(device), true);
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
    // A pending scan request holds back every other command.
    if (extension.acquisition.pendingFlag.load()) {
        return request->complete(kStatusUnsuccessful);
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
    RequestBlock block(request->systemBuffer(), request->inputBufferLength());
    const BoardIdentity identity = extension.readIdentity();
    stamp(identity, block);
    request->setInformation(request->inputBufferLength());
    if (extension.state.load() != DeviceState::Started) {
        block.set<rb::Status>(kBoardStatusNotStarted);
        return request->complete(kStatusSuccess);
    }
    const uint32_t function = ctlFunction(code);
    if (function >= KORAL_CMD_DEINIT && function <= KORAL_CMD_GET_SCANS &&
        firstRequestRefused(extension, function, block)) {
        return request->complete(kStatusSuccess);
    }
    if (identity.restricted && (function < kRestrictedFirst || function > kRestrictedLast)) {
        return request->complete(kStatusInvalidDeviceRequest);
    }
    if (function == KORAL_CMD_GET_SCANS) {
        // The hold of a pending request: released by whoever completes it.
        if (extension.removeLock.acquire() != kStatusSuccess) {
            return request->complete(kStatusDeletePending);
        }
        if (HandleGetScans(extension, block, request)) {
            return kStatusPending;
        }
        extension.removeLock.release();
        return request->complete(kStatusSuccess);
    }
    const CommandHandler handler = findHandler(function);
    if (!handler) {
        return request->complete(kStatusInvalidDeviceRequest);
    }
    return request->complete(handler(extension, block));
}

} // namespace kavrin
