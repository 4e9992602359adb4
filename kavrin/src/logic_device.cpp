// IOCTL_BOARD_PROGRAM_CPLD.

#include "logic_device.h"

#include "acquisition.h"
#include "board_status.h"
#include "firmware.h"
#include "vendor_requests.h"

#include "platform/clock.h"

#include <array>
#include <memory>
#include <new>

namespace kavrin {

int BoardJtagPort::request(uint16_t subCommand, uint16_t index, uint8_t* tdo) {
    if (tdo == nullptr) {
        return Jtag(device_, subCommand, index, {}, false);
    }
    std::array<uint8_t, 1> answer{};
    const int status = Jtag(device_, subCommand, index, answer, true);
    *tdo = answer[0];
    return status;
}

bool BoardJtagPort::removed() const {
    const DeviceState state = device_.state.load();
    return state == DeviceState::SurpriseRemoved || state == DeviceState::Removed;
}

platform::DriverStatus HandleProgramCpld(DEVICE_EXTENSION& device, RequestBlock& block) {
    if (block.get<rb::DataLength>() < kCpldMinDataWords ||
        block.inputBytes() < kCpldMinInputBytes) {
        block.set<rb::Status>(kBoardStatusCpldStreamTooSmall);
        return platform::kStatusSuccess;
    }
    ProgramCpld(device, block);
    return platform::kStatusSuccess;
}

void ProgramCpld(DEVICE_EXTENSION& device, RequestBlock& block) {
    const std::span<const uint8_t> stream = block.inputDataArea();
    const std::unique_ptr<XSVF_PLAYER_STATE> player(new (std::nothrow) XSVF_PLAYER_STATE);
    if (!player) {
        block.set<rb::Status>(kBoardStatusCpldStreamTooSmall);
        return;
    }
    // A stream that would fail on its own is refused before the logic
    // device, and the firmware, are touched.
    if (CheckXsvf(*player, stream) != XSVF_ERROR_NONE) {
        block.set<rb::Status>(kBoardStatusCpldAborted);
        return;
    }
    // The loader replaces the operating firmware: no reader may go on.
    StopContinuousAcquisition(device, false);
    const uint32_t loaded = LoadFirmware(device, kFirmwareTypeLoader, false) & 0xFFFF;
    device.acquisition.sentSinceStart = false;
    if (loaded != kLoadDone) {
        block.set<rb::Status>(static_cast<uint16_t>(loaded));
        return;
    }
    platform::sleepMs(kLoaderSettleMs);
    BoardJtagPort port(device);
    if (PlayXsvf(*player, port, stream) != XSVF_ERROR_NONE) {
        block.set<rb::Status>(kBoardStatusCpldAborted);
    }
}

} // namespace kavrin
