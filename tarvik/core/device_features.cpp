// Feature queries and further device settings. Every export that reads a
// slot looks it up under the DeviceLock: a close on another thread frees it.

#include "core/device_features.h"

#include "acquisition/acquisition_helpers.h"
#include "acquisition/digital_lines.h"
#include "acquisition/measurement_parameters.h"
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/library_state.h"
#include "core/lifecycle_seams.h"
#include "core/locks.h"
#include "serial/qre_link.h"
#include "tarvik.h"

#include <initializer_list>
#include <mutex>

namespace tarvik {
namespace {

constexpr int32_t kInfoInvalidHandles = 842; // "INVALID HANDLES"
constexpr uint8_t kFlashPolarityBit = 0x01;
constexpr uint16_t kInitFlagsNoInput3 = 1;
constexpr uint32_t kMux7wenOutput2Free = 0x1;

bool oneOf(uint32_t type, std::initializer_list<uint32_t> types) {
    for (uint32_t t : types) {
        if (t == type) {
            return true;
        }
    }
    return false;
}

// A setting that goes to the board with the parameters: state check at
// level 3, slot under the DeviceLock, board types, then change(block) and
// IOCTL_BOARD_INIT. The change returns false for a value out of range.
template <class Change>
int32_t runBoardSetting(const char* name, uint32_t interfaceId,
                        std::initializer_list<uint32_t> types, Change&& change) {
    return runSlotExport(
        name, kCheckInitialised, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            if (!oneOf(slot.boardType, types)) {
                return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kInvalidInterfaceType);
            }
            if (!change(*slot.block())) {
                return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            }
            return SendDeviceCommand(KORAL_CMD_INIT) != 0 ? failExport(name) : 0;
        });
}

// Output 3 of a USB board: generation 2, or firmware 203 on.
bool usbLine3(const DeviceRequestBlock& block) {
    return boardGeneration(block) >= 2 || block.FirmwareVersion >= kDigitalLine3Firmware;
}

// 1 available, 0 not, -1 an unknown board type.
int32_t outputAvailable(const DeviceSlot& slot, int32_t id, int32_t n) {
    const LibraryState& state = *libraryState();
    if (slot.muxType == 6 && n == 2 &&
        ((state.mux7wenCtrlMode & kMux7wenOutput2Free) == 0 || FindSlotWithOpticalMux() == id)) {
        return 0; // the optical multiplexer owns it
    }
    const DeviceRequestBlock& block = *slot.block();
    switch (slot.boardType) {
    case kTypeIsa:
        return n >= 1 && n <= 3 ? 1 : 0;
    case kTypeSerial:
        return n == 2 ? 1 : 0;
    case kTypePci:
        return (n >= 1 && n <= 2) || (n == 3 && block.DriverVersion >= kDigitalLine3BlockVersion)
                   ? 1
                   : 0;
    case kTypeBoard5:
    case kTypeUsb2:
        return n >= 1 && n <= 2 ? 1 : 0;
    case kTypeUsb:
        return (n >= 1 && n <= 2) || (n == 3 && usbLine3(block)) ? 1 : 0;
    default:
        return -1;
    }
}

int32_t inputAvailable(const DeviceSlot& slot, int32_t n) {
    const DeviceRequestBlock& block = *slot.block();
    const bool noInput3 = block.InputSource == kInitFlagsNoInput3;
    switch (slot.boardType) {
    case kTypeIsa:
    case kTypeSerial:
        return n == 1 ? 1 : 0;
    case kTypePci:
        return (n >= 1 && n <= 2) || (n == 3 && !noInput3) ? 1 : 0;
    case kTypeBoard5:
        return n >= 1 && n <= 3 ? 1 : 0;
    case kTypeUsb:
        return (n >= 1 && n <= 2) || (n == 3 && usbLine3(block) && !noInput3) ? 1 : 0;
    case kTypeUsb2:
        return n >= 1 && n <= 2 ? 1 : 0;
    default:
        return -1;
    }
}

template <class Query> int32_t runAvailability(const char* name, uint32_t interfaceId, Query&& q) {
    return runSlotExport(
        name, kCheckInitialised, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            const int32_t answer = q(slot, id);
            if (answer < 0) {
                return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kInvalidInterfaceType);
            }
            return answer;
        });
}

int32_t notSupported(const char* name) {
    return runExport(name, [&] {
        return failExport(name, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                          code::kFunctionNotSupported);
    });
}

} // namespace

void DelayMilliseconds(uint32_t milliseconds) {
    QreWaitMs(milliseconds);
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_ParaSetFlashPolarity(int32_t polarity, uint32_t interfaceId) {
    return runBoardSetting("KORAL_ParaSetFlashPolarity", interfaceId,
                           {kTypePci, kTypeBoard5, kTypeUsb, kTypeUsb2},
                           [&](DeviceRequestBlock& block) {
                               if (polarity < -1 || polarity > 1) {
                                   return false;
                               }
                               block.FlashOpt = polarity != 0 ? block.FlashOpt | kFlashPolarityBit
                                                              : block.FlashOpt & ~kFlashPolarityBit;
                               return true;
                           });
}

extern "C" int32_t KORAL_ParaSetTriggerDelay(int32_t delay, uint32_t interfaceId) {
    return runBoardSetting("KORAL_ParaSetTriggerDelay", interfaceId,
                           {kTypePci, kTypeBoard5, kTypeUsb}, [&](DeviceRequestBlock& block) {
                               if (delay < 1 || delay > 65535) {
                                   return false;
                               }
                               block.ETDelay = static_cast<uint16_t>(delay);
                               return true;
                           });
}

extern "C" int32_t KORAL_ParaGetMUXSettings(uint32_t* mode, uint32_t* setting, uint32_t* channels,
                                            uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaGetMUXSettings";
    return runSlotExport(
        kName, kCheckInitialised, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            if (mode == nullptr || setting == nullptr || channels == nullptr) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            }
            *mode = slot.block()->MuxMode;
            *setting = slot.muxSetting;
            const bool switched = slot.muxType == 6 || slot.muxType == 7 || slot.muxType == 9;
            *channels = switched ? slot.muxChannels : slot.block()->MuxChanNum;
            return 0;
        });
}

extern "C" int32_t KORAL_GetSerialNumber(int32_t which, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_GetSerialNumber";
    return runSlotExport(
        kName, kCheckDeviceOpen, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            static constexpr size_t kOffsets[] = {kSerialNumberInterface, kSerialNumberFrontEnd,
                                                  kSerialNumberMux};
            if (which < 1 || which > 3) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            }
            const size_t offset = kOffsets[which - 1];
            return static_cast<int32_t>(slot.configuration[offset] | slot.configuration[offset + 1]
                                                                         << 8);
        });
}

extern "C" int32_t KORAL_IsDigOutputAvailable(int32_t output, uint32_t interfaceId) {
    return runAvailability(
        "KORAL_IsDigOutputAvailable", interfaceId,
        [&](const DeviceSlot& slot, int32_t id) { return outputAvailable(slot, id, output); });
}

extern "C" int32_t KORAL_IsDigInputAvailable(int32_t input, uint32_t interfaceId) {
    return runAvailability(
        "KORAL_IsDigInputAvailable", interfaceId,
        [&](const DeviceSlot& slot, int32_t) { return inputAvailable(slot, input); });
}

extern "C" int32_t KORAL_ParaSetShutterControlMode(int32_t mode, int32_t shutterDelayMs) {
    constexpr const char* kName = "KORAL_ParaSetShutterControlMode";
    return runExport(kName, [&]() -> int32_t {
        {
            std::lock_guard guard(deviceLock());
            const DeviceSlot* actual = actualSlot();
            if (actual != nullptr && actual->boardType == kTypeUsb2) {
                return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                                  code::kInvalidInterfaceType);
            }
        }
        if (shutterDelayMs < 0 || (mode != 0 && mode != 1)) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        LibraryState& state = *libraryState();
        {
            std::lock_guard guard(rawDataLock());
            state.shutterDelay = static_cast<uint32_t>(shutterDelayMs);
        }
        // A running acquisition finishes with the old mode.
        std::lock_guard guard(deviceLock());
        const auto wanted = static_cast<uint32_t>(mode);
        if (state.shutterControlMode == wanted) {
            return 0;
        }
        state.shutterControlMode = wanted;
        if (state.interfaceTypeInUse == 0) {
            return 0;
        }
        if (lifecycleSeams().setAcquisitionShutter(0, state.shutterDelay, mode == 0 ? 1 : 0) != 0) {
            return failExport(kName);
        }
        return 0;
    });
}

extern "C" int32_t KORAL_ParaGetPLDVersion(uint32_t* version, uint32_t /*ignored*/,
                                           uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaGetPLDVersion";
    return runSlotExport(
        kName, kCheckDeviceOpen, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            if (version == nullptr) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  kInfoInvalidHandles);
            }
            if (!oneOf(libraryState()->interfaceTypeInUse,
                       {kTypeIsa, kTypePci, kTypeBoard5, kTypeUsb, kTypeUsb2})) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kInvalidInterfaceType);
            }
            std::lock_guard rawGuard(rawDataLock());
            *version = slot.block()->FirmwareVersion;
            return 0;
        });
}

extern "C" int32_t KORAL_ParaSet_CallBack_Acq_Status(uint32_t, uint32_t, uint32_t) {
    return notSupported("KORAL_ParaSet_CallBack_Acq_Status");
}

extern "C" int32_t KORAL_SetShutterPosition(uint32_t, uint32_t, uint32_t, uint32_t) {
    return notSupported("KORAL_SetShutterPosition");
}

extern "C" int32_t KORAL_GetSpectraEx(uint32_t, uint32_t) {
    return notSupported("KORAL_GetSpectraEx");
}

extern "C" int32_t KORAL_IOGetDigInputs(uint32_t, uint32_t, uint32_t) {
    return notSupported("KORAL_IOGetDigInputs");
}

extern "C" int32_t KORAL_IOSetDigOutputs(uint32_t, uint32_t, uint32_t) {
    return notSupported("KORAL_IOSetDigOutputs");
}
