// The multiplexer exports. Both write the slot and its request block first
// and address the hardware afterwards, so that a warning (a limited or
// defaulted value) leaves the new settings in force.

#include "hardware/multiplexer.h"

#include "acquisition/acquire_spectra.h"
#include "acquisition/integration_time.h"
#include "acquisition/measurement_parameters.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "platform/clock.h"
#include "serial/qre_link.h"
#include "tarvik.h"
#include "tarvik_request_block.h"

#include <algorithm>
#include <mutex>

namespace tarvik {
namespace {

constexpr const char* kSetModeName = "KORAL_ParaSetMUXMode";
constexpr const char* kSetChannelName = "KORAL_ParaSetMUXActiveChannel";

constexpr int32_t kInfoInvalidMode = 807; // "INVALID MUX MODE"
constexpr int32_t kInfoAcqAdapted = 816;  // "INTTIME FOR ACQ ADAPTED"
constexpr int32_t kInfoDelAdapted = 817;  // "INTTIME FOR DEL ADAPTED"
constexpr int32_t kSerialMuxTimeout = -2; // SelectMuxChannelSerial: no answer in time
constexpr int32_t kOpticalMuxLine = 2;
constexpr uint16_t kWorkModeCleaning = 1; // the deleting time is sent only here

bool isSerialMux(uint32_t muxType) {
    return muxType == kMuxTypeKrd || muxType == kMuxTypeKrl;
}

bool isKnownMux(uint32_t muxType) {
    return muxType >= 1 && muxType <= kMuxTypeKrl;
}

// The board's parameters by interface type: the request block, or the work
// mode parameters of the serial electronics.
int32_t sendParameters(const DeviceSlot& slot) {
    return slot.boardType == kTypeSerial ? SendQreWorkModeParameters()
                                         : SendDeviceCommand(KORAL_CMD_INIT);
}

// A failed send names the export; the result is 0 or -1.
int32_t sendNamed(const char* name, const DeviceSlot& slot) {
    return sendParameters(slot) != 0 ? failExport(name) : 0;
}

// A warning that the call goes on after: recorded under the export's name
// and shown at once.
void warn(const char* name, int32_t id, int32_t level, int32_t info) {
    failExport(name, id, level, code::kInvalidParameter, info);
}

// Digital output 2 through the digital-line exports, with the box off so a
// failure is shown once, under the caller's name. Without the digital lines
// the output cannot be driven at all.
int32_t setOpticalOutput(int32_t value, int32_t id) {
    const auto hook = acquisitionHooks().setDigOutput;
    if (hook == nullptr) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kNotAvailable, 0);
        return -1;
    }
    ErrorBoxOff boxOff;
    return hook(kOpticalMuxLine, value, id);
}

// Switches a serial multiplexer; on a failure writes 4/512 with the info of
// the result and names the export. 0 or -1.
int32_t selectSerialChannel(const char* name, int32_t channel, int32_t id) {
    int32_t result = 0;
    {
        ErrorBoxOff boxOff;
        result = SelectMuxChannelSerial(channel, id);
    }
    if (result == 0) {
        return 0;
    }
    const int32_t info = result > 0 ? platformErrorInfo(static_cast<uint32_t>(result))
                         : result == kSerialMuxTimeout ? code::kMuxKrTimeout
                                                       : 0;
    return failExport(name, id, KORAL_LEVEL_NOT_DONE, code::kMuxKrdCommunication, info);
}

// The integration times in µs applied anew, so that the board's counts
// follow the multiplexer (its channel count enters the minimum). The
// deleting time matters only in the work mode that cleans the sensor: it
// is sent and reported only there, and a limit of it is dropped otherwise.
// A failure outranks a warning, the deleting time's warning the
// acquisition time's.
int32_t reapplyIntegrationTimes(const char* name, const DeviceSlot& slot, int32_t id) {
    const bool cleaning = slot.block()->WorkMode == kWorkModeCleaning;
    double deletingMs = slot.deletingIntegrationTime / 1000.0;
    if (!cleaning) {
        SaveLastError();
    }
    int32_t deleting =
        ApplyIntegrationTime(&deletingMs, kIntegrationKindDeleting, cleaning ? 1 : 0);
    if (deleting == kIntegrationLimited && !cleaning) {
        RestoreLastError();
        deleting = 0;
    }
    const bool deletingFailed = deleting != 0 && deleting != kIntegrationLimited;
    if (deletingFailed) {
        failExport(name);
    }

    SaveLastError();
    double acquisitionMs = slot.acquisitionIntegrationTime / 1000.0;
    const int32_t acquisition =
        ApplyIntegrationTime(&acquisitionMs, kIntegrationKindAcquisition, 1);
    if (acquisition != 0 && acquisition != kIntegrationLimited) {
        return failExport(name);
    }
    if (deletingFailed) {
        RestoreLastError();
        return -1;
    }
    if (deleting == kIntegrationLimited) {
        warn(name, id, KORAL_LEVEL_LIMITED_VALUE, kInfoDelAdapted);
        return -1;
    }
    if (acquisition == kIntegrationLimited) {
        warn(name, id, KORAL_LEVEL_LIMITED_VALUE, kInfoAcqAdapted);
        return -1;
    }
    return 0;
}

// The frame of both exports: state check at level 3, then body(slot, id)
// under the DeviceLock.
// The request block back to one channel that the board does not switch.
void resetBoardChannel(DeviceSlot& slot) {
    DeviceRequestBlock* block = slot.block();
    block->MuxChanNum = 1;
    block->MuxSpec = 1;
    slot.qre.muxChannelIndex = 0;
}

int32_t setModeNone(DeviceSlot& slot) {
    slot.muxPresent = 0;
    slot.muxChannels = 1;
    slot.muxSetting = 0;
    slot.qre.muxModeIndex = 0;
    slot.block()->MuxMode = kMuxModeNone;
    resetBoardChannel(slot);
    return sendNamed(kSetModeName, slot);
}

// The optical multiplexer to its first channel for several channels, or to
// the channel that the count names for one. The position follows the
// request even when the output fails.
int32_t setOpticalMode(DeviceSlot& slot, uint32_t mode, int32_t count, int32_t id) {
    int32_t result = 0;
    if (mode == kMuxModeMulti) {
        result = setOpticalOutput(0, id);
        slot.muxChannel = 1;
    } else {
        result = setOpticalOutput(count != 1 ? 1 : 0, id);
        slot.muxChannel = static_cast<uint8_t>(count);
    }
    return result != 0 ? failExport(kSetModeName) : 0;
}

int32_t setModeInRange(DeviceSlot& slot, uint32_t mode, int32_t count, int32_t id) {
    DeviceRequestBlock* block = slot.block();
    block->MuxMode = static_cast<uint16_t>(mode);
    slot.muxChannels = static_cast<uint32_t>(count);
    slot.qre.muxModeIndex = mode - 1;
    if (isKnownMux(slot.muxType)) {
        slot.muxPresent = 1;
    }
    switch (slot.muxType) {
    case 2:
    case 4:
        // With several channels MuxSpec stays as the channel setter chose it.
        if (mode != kMuxModeMulti || count == 1) {
            block->MuxSpec = 1;
        }
        break;
    case kMuxTypeOptical:
        block->MuxSpec = 1;
        if (setOpticalMode(slot, mode, count, id) != 0) {
            return -1;
        }
        break;
    case kMuxTypeKrd:
    case kMuxTypeKrl:
        block->MuxSpec = 1;
        if (selectSerialChannel(kSetModeName, 1, id) != 0) {
            return -1;
        }
        break;
    default:
        break;
    }
    if (block->MuxMode == kMuxModeMulti && block->MuxChanNum > 1) {
        return reapplyIntegrationTimes(kSetModeName, slot, id);
    }
    return sendNamed(kSetModeName, slot);
}

// A count the multiplexer cannot take: one channel, sent, and the warning
// kept over the send whatever the send records.
int32_t setModeOutOfRange(DeviceSlot& slot, uint32_t mode, int32_t id) {
    slot.block()->MuxMode = static_cast<uint16_t>(mode);
    slot.qre.muxModeIndex = mode - 1;
    slot.muxChannels = 1;
    slot.muxSetting = isExternallySwitchedMux(slot.muxType) ? 1 : 0;
    resetBoardChannel(slot);
    if (isKnownMux(slot.muxType)) {
        slot.muxPresent = 1;
    }
    warn(kSetModeName, id, KORAL_LEVEL_DEFAULT_VALUE, 0);
    SaveLastError();
    sendParameters(slot);
    RestoreLastError();
    return -1;
}

// The optical or serial multiplexer to the channel; the board itself stays
// on one channel. The switch delay follows a successful switch.
int32_t selectExternalChannel(DeviceSlot& slot, uint16_t mode, int32_t channel, int32_t id) {
    const int32_t upper = std::max<int32_t>(static_cast<int32_t>(slot.muxChannels), 1);
    const int32_t corrected = std::clamp(channel, 1, upper);
    const bool limited = corrected != channel;
    if (limited) {
        warn(kSetChannelName, id, KORAL_LEVEL_LIMITED_VALUE, 0);
    }
    resetBoardChannel(slot);
    slot.muxSetting = static_cast<uint32_t>(corrected);

    const LibraryState* state = libraryState();
    const int32_t opticalDelay = state != nullptr ? std::max(state->mux7wenDelayTime, 0) : 0;
    int32_t switched = 0;
    if (isSerialMux(slot.muxType)) {
        switched = selectSerialChannel(kSetChannelName, mode == kMuxModeSingle ? corrected : 1, id);
    } else {
        const bool second = mode == kMuxModeSingle && corrected >= 2;
        switched = setOpticalOutput(second ? 1 : 0, id);
        if (switched == 0) {
            slot.muxChannel = second ? 2 : 1;
        } else {
            failExport(kSetChannelName);
        }
    }
    if (switched != 0) {
        return -1;
    }
    const bool optical = slot.muxType == kMuxTypeOptical;
    if (slot.boardType == kTypeSerial) {
        WaitMuxSwitchDelay(id, optical ? opticalDelay : 0, 1);
    } else if (optical) {
        platform::sleepMs(static_cast<uint32_t>(opticalDelay));
    }
    return limited ? -1 : 0;
}

// A channel that the board switches to: the block names it, and the
// integration times follow the new channel.
int32_t selectBoardChannel(DeviceSlot& slot, uint16_t mode, int32_t channel, int32_t id) {
    DeviceRequestBlock* block = slot.block();
    if (channel < 1 || static_cast<uint32_t>(channel) > slot.muxChannels) {
        warn(kSetChannelName, id, KORAL_LEVEL_DEFAULT_VALUE, 0);
        slot.qre.muxChannelIndex = 0;
        block->MuxChanNum = 1;
        sendNamed(kSetChannelName, slot);
        return -1;
    }
    slot.qre.muxChannelIndex = static_cast<uint32_t>(channel - 1);
    block->MuxChanNum = static_cast<uint16_t>(channel);
    slot.muxSetting = static_cast<uint32_t>(channel);
    if (mode == kMuxModeMulti) {
        const bool pairOnly = slot.muxType == 2 || slot.muxType == 4;
        block->MuxSpec = static_cast<uint8_t>(pairOnly ? (channel == 1 ? 1 : 2) : channel);
    } else {
        block->MuxSpec = 1;
    }
    return reapplyIntegrationTimes(kSetChannelName, slot, id);
}

} // namespace

bool isExternallySwitchedMux(uint32_t muxType) {
    return muxType == kMuxTypeOptical || isSerialMux(muxType);
}

int32_t HighestMuxChannelCount(uint32_t interfaceType, uint32_t muxType, int32_t interfaceId) {
    switch (interfaceType) {
    case kTypeIsa:
    case kType111:
        return 4;
    case kTypeSerial:
        switch (muxType) {
        case 1:
        case 3:
        case 5:
        case kMuxTypeOptical:
            return 2;
        case 2:
        case 4:
            return 4;
        case kMuxTypeKrd:
        case kMuxTypeKrl:
            return GetSerialMuxChannelCount(interfaceId);
        default:
            return 1;
        }
    case kTypePci:
    case kTypeBoard5:
    case kTypeUsb:
    case kTypeUsb2:
        switch (muxType) {
        case 1:
        case 2:
        case 3:
        case 4:
            return 4;
        case 5:
            return 8;
        case kMuxTypeOptical:
            return 2;
        case kMuxTypeKrd:
        case kMuxTypeKrl:
            return GetSerialMuxChannelCount(interfaceId);
        default:
            return 1;
        }
    default:
        return 1;
    }
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_ParaSetMUXMode(uint32_t mode, int32_t channelCount, uint32_t interfaceId) {
    return runSlotExport(
        kSetModeName, kCheckInitialised, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            if (mode == kMuxModeNone) {
                return setModeNone(slot);
            }
            if (mode == kMuxModeSingle && slot.boardType == kTypeUsb2) {
                return failExport(kSetModeName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                                  kInfoInvalidMode);
            }
            if (mode != kMuxModeSingle && mode != kMuxModeMulti) {
                return failExport(kSetModeName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  kInfoInvalidMode);
            }
            if (slot.muxPresent == 0 && slot.muxType > kMuxTypeNone) {
                return failExport(kSetModeName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kNoMux);
            }
            const int32_t highest = HighestMuxChannelCount(slot.boardType, slot.muxType, id);
            if (channelCount >= 1 && channelCount <= highest) {
                return setModeInRange(slot, mode, channelCount, id);
            }
            return setModeOutOfRange(slot, mode, id);
        });
}

extern "C" int32_t KORAL_ParaSetMUXActiveChannel(int32_t channel, uint32_t interfaceId) {
    return runSlotExport(kSetChannelName, kCheckInitialised, interfaceId,
                         [&](DeviceSlot& slot, int32_t id) -> int32_t {
                             const uint16_t mode = slot.block()->MuxMode;
                             if (mode == kMuxModeNone) {
                                 if (channel != 1) {
                                     return failExport(kSetChannelName, id, KORAL_LEVEL_IGNORED,
                                                       code::kInvalidParameter, 0);
                                 }
                                 resetBoardChannel(slot);
                                 return sendNamed(kSetChannelName, slot);
                             }
                             if (mode != kMuxModeSingle && mode != kMuxModeMulti) {
                                 return failExport(kSetChannelName, id, KORAL_LEVEL_IGNORED,
                                                   code::kInvalidParameter, kInfoInvalidMode);
                             }
                             if (isExternallySwitchedMux(slot.muxType)) {
                                 return selectExternalChannel(slot, mode, channel, id);
                             }
                             return selectBoardChannel(slot, mode, channel, id);
                         });
}
