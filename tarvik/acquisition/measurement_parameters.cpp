// The measurement-parameter setters. Each writes its value into the slot and
// its request block and sends the block (or, on the serial electronics, the
// work-mode parameters). Limited values are written back to the caller before
// the board is addressed.

#include "acquisition/measurement_parameters.h"

#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/library_state.h"
#include "core/lifecycle_seams.h"
#include "core/locks.h"
#include "serial/qre_link.h"
#include "tarvik.h"
#include "tarvik_request_block.h"

#include <mutex>

namespace tarvik {
namespace {

constexpr int32_t kInfoInvalidHandles = 842; // "INVALID HANDLES"
constexpr uint16_t kFlashOptionDriverVersion = 1203;
constexpr uint8_t kFlashOptionBit = 0x02;
constexpr uint16_t kInputSource3Firmware = 203;
constexpr uint16_t kInputSource3Driver = 2005;
constexpr unsigned kUsbGeneration2 = 2;
// 0, 1 and all bits set: the values a switch takes.
bool isSwitchOn(int32_t mode) {
    return mode == 1 || mode == -1;
}

int32_t sendBlock() {
    return SendDeviceCommand(KORAL_CMD_INIT);
}

// The send of the slot's parameters by its interface type.
int32_t sendParameters(const DeviceSlot& slot) {
    return slot.boardType == kTypeSerial ? SendQreWorkModeParameters() : sendBlock();
}

// A failed send names the export, shows the box and gives the send's result.
int32_t sendNamed(const char* name, const DeviceSlot& slot) {
    const int32_t result = sendParameters(slot);
    if (result != 0) {
        failExport(name);
    }
    return result;
}

// A level-6 or level-7 record that the call goes on after, shown at once.
void recordShown(const char* name, int32_t id, int32_t level, int32_t info) {
    failExport(name, id, level, code::kInvalidParameter, info);
}

int32_t writeLimit(const char* name, uint32_t* limit, uint32_t value, uint32_t interfaceId) {
    return runExport(name, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(name, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (limit == nullptr) {
            return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              kInfoInvalidHandles);
        }
        *limit = value;
        return 0;
    });
}

} // namespace

// ID 0 names no one slot for a setter: it is refused rather than landing on
// the scratch slot.
DeviceSlot* checkedSlot(int32_t id) {
    DeviceSlot* slot = deviceSlot(id);
    const LibraryState* state = libraryState();
    if (id == 0 || slot == nullptr || state == nullptr || state->actualInterfaceId == 0) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
        return nullptr;
    }
    return slot;
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_ParaGetIntensityLimits(int32_t* minimum, int32_t* maximum,
                                                uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaGetIntensityLimits";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        // A null output is refused rather than written through.
        if (minimum == nullptr || maximum == nullptr) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              kInfoInvalidHandles);
        }
        const DeviceSlot* slot = deviceSlot(id);
        bool unsignedRange = false;
        if (slot != nullptr) {
            const uint32_t fee = slot->frontEndType;
            unsignedRange = slot->actualConfiguration.interfaceType == kTypeUsb2 || fee == 2 ||
                            fee == 7 || fee == 9 || fee == 11;
        }
        *minimum = unsignedRange ? 0 : -32768;
        *maximum = unsignedRange ? 65536 : 32767;
        return 0;
    });
}

extern "C" int32_t KORAL_ParaGetAverageNumberLimit(uint32_t* limit, uint32_t interfaceId) {
    return writeLimit("KORAL_ParaGetAverageNumberLimit", limit, kAverageNumberLimit, interfaceId);
}

extern "C" int32_t KORAL_ParaGetBurstNumberLimit(uint32_t* limit, uint32_t interfaceId) {
    return writeLimit("KORAL_ParaGetBurstNumberLimit", limit, kBurstNumberLimit, interfaceId);
}

extern "C" int32_t KORAL_ParaSetAverageNumber(int32_t* averageNumber, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetAverageNumber";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (averageNumber == nullptr) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        int32_t value = *averageNumber;
        bool adapted = false;
        if (value < kAverageNumberMin || value > kAverageNumberLimit) {
            value = value < kAverageNumberMin ? kAverageNumberMin : kAverageNumberLimit;
            *averageNumber = value;
            adapted = true;
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kName);
        }
        DeviceRequestBlock* block = slot->block();
        if (usesRequestBlock(slot->boardType)) {
            slot->averageNumber = static_cast<uint32_t>(value);
            block->AcquisitionMode = value == 1 ? 0 : 1;
            block->NumScans = static_cast<uint16_t>(value);
            if (adapted) {
                recordShown(kName, id, KORAL_LEVEL_LIMITED_VALUE, code::kAveragingAdapted);
                sendNamed(kName, *slot);
                return -1;
            }
            return sendNamed(kName, *slot);
        }
        if (slot->boardType == kTypeSerial) {
            const uint16_t mode = block->WorkMode;
            if (value != 1 && (mode == 1 || mode == 2 || mode == 4 || mode == 5)) {
                value = 1;
                *averageNumber = value;
                adapted = true;
            }
            slot->averageNumber = static_cast<uint32_t>(value);
            slot->qre.averageNumber = static_cast<uint32_t>(value);
            if (adapted) {
                recordShown(kName, id, KORAL_LEVEL_LIMITED_VALUE, 0);
                sendNamed(kName, *slot);
                return -1;
            }
            return sendNamed(kName, *slot);
        }
        return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
    });
}

extern "C" int32_t KORAL_ParaSetHardwareFlashMode2(int32_t mode, int32_t option,
                                                   uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetHardwareFlashMode2";
    return runSlotExport(
        kName, kCheckDeviceOpen, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            DeviceRequestBlock* block = slot.block();
            if (usesRequestBlock(slot.boardType)) {
                if (mode == 0 || !isSwitchOn(mode)) {
                    block->FlashHW = 0;
                    block->FlashOpt = static_cast<uint8_t>(block->FlashOpt & ~kFlashOptionBit);
                    if (mode == 0) {
                        return sendNamed(kName, slot);
                    }
                    recordShown(kName, id, KORAL_LEVEL_DEFAULT_VALUE, 0);
                    sendNamed(kName, slot);
                    return -1;
                }
                if (option != 0) {
                    const bool supported = slot.boardType == kTypeUsb ||
                                           (slot.boardType == kTypePci &&
                                            block->DriverVersion >= kFlashOptionDriverVersion);
                    if (!supported) {
                        return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                                          code::kFirmwareObsolete);
                    }
                    block->FlashOpt = static_cast<uint8_t>(block->FlashOpt | kFlashOptionBit);
                } else {
                    block->FlashOpt = static_cast<uint8_t>(block->FlashOpt & ~kFlashOptionBit);
                }
                block->FlashHW = 1;
                return sendNamed(kName, slot);
            }
            if (slot.boardType == kTypeSerial) {
                const bool on = isSwitchOn(mode);
                if (on && option != 0) {
                    recordShown(kName, id, KORAL_LEVEL_DEFAULT_VALUE, 0);
                }
                slot.qre.flashMode = on ? 1 : 0;
                block->FlashHW = on ? 1 : 0;
                if (mode != 0 && !on) {
                    recordShown(kName, id, KORAL_LEVEL_DEFAULT_VALUE, 0);
                    sendNamed(kName, slot);
                    return -1;
                }
                return sendNamed(kName, slot);
            }
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
        });
}

extern "C" int32_t KORAL_ParaSetHardwareFlashMode(int32_t mode, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetHardwareFlashMode";
    return runExport(kName, [&]() -> int32_t {
        int32_t result = 0;
        {
            ErrorBoxOff boxOff;
            result = KORAL_ParaSetHardwareFlashMode2(mode, 0, interfaceId);
        }
        return result != 0 ? failExport(kName) : 0;
    });
}

extern "C" int32_t KORAL_ParaGetHardwareFlashMode(uint32_t* flashMode, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaGetHardwareFlashMode";
    return runSlotExport(
        kName, kCheckDeviceOpen, interfaceId, [&](DeviceSlot& slot, int32_t id) -> int32_t {
            uint32_t value = 0;
            if (usesRequestBlock(slot.boardType)) {
                value = slot.block()->FlashHW;
            } else if (slot.boardType == kTypeSerial) {
                value = slot.qre.flashMode;
            } else {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
            }
            // The shutter polarity asks only for the check and passes no output.
            if (flashMode != nullptr) {
                *flashMode = value;
            }
            return 0;
        });
}

extern "C" int32_t KORAL_ParaSetExtTriggTimeout(uint32_t* timeoutMs, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetExtTriggTimeout";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        if (timeoutMs == nullptr) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        // Unsigned: a signed -1 from a caller is the largest value.
        uint32_t value = *timeoutMs;
        const bool clamped = value < kExtTriggerTimeoutMin || value > kExtTriggerTimeoutMax;
        if (clamped) {
            value = value < kExtTriggerTimeoutMin ? kExtTriggerTimeoutMin : kExtTriggerTimeoutMax;
            *timeoutMs = value;
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kName);
        }
        if (!usesRequestBlock(slot->boardType) && slot->boardType != kTypeSerial) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
        }
        slot->block()->TOTimeExtTrig = value;
        if (clamped) {
            std::lock_guard errorGuard(errorLock());
            recordError(id, KORAL_LEVEL_LIMITED_VALUE, code::kInvalidParameter, 0);
        }
        return sendNamed(kName, *slot);
    });
}

extern "C" int32_t KORAL_ParaSetShutterPolarity(int32_t polarity, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetShutterPolarity";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckSlotExists, id) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        const DeviceSlot* typed = deviceSlot(id);
        if (typed != nullptr && typed->boardType == kTypeUsb2) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              code::kInvalidInterfaceType);
        }
        int32_t flashCheck = 0;
        {
            ErrorBoxOff boxOff;
            flashCheck = KORAL_ParaGetHardwareFlashMode(nullptr, interfaceId);
        }
        if (flashCheck != 0) {
            return failExport(kName);
        }
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kName);
        }
        if (polarity == 0 || isSwitchOn(polarity)) {
            slot->shutterPolarity = polarity == 0 ? 0 : 1;
        } else {
            slot->shutterPolarity = 0;
            recordShown(kName, id, KORAL_LEVEL_DEFAULT_VALUE, 0);
            return -1;
        }
        const LibraryState& state = *libraryState();
        const int32_t result = lifecycleSeams().setAcquisitionShutter(
            id, state.shutterDelay, state.shutterControlMode != 0 ? 0 : 1);
        if (result != 0) {
            failExport(kName);
        }
        return result;
    });
}

extern "C" int32_t KORAL_ParaSetACQModeNOInterrupt(int32_t mode, uint32_t interfaceId) {
    // The name the record has always carried.
    constexpr const char* kName = "KORAL_ParaSetACQModeNOInterrrupt";
    return runSlotExport(kName, kCheckSlotExists, interfaceId,
                         [&](DeviceSlot& slot, int32_t id) -> int32_t {
                             DeviceRequestBlock* block = slot.block();
                             if (mode == 0 || isSwitchOn(mode)) {
                                 block->NoInterruptMode = mode == 0 ? 0 : 1;
                             } else {
                                 block->NoInterruptMode = 0;
                                 recordShown(kName, id, KORAL_LEVEL_DEFAULT_VALUE, 0);
                                 return -1;
                             }
                             return sendBlock() != 0 ? failExport(kName) : 0;
                         });
}

extern "C" int32_t KORAL_ParaSetInputSource(int32_t source, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSetInputSource";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckDeviceOpen, id) != 0) {
            return -1;
        }
        const uint32_t type = libraryState()->interfaceTypeInUse;
        if (type != kTypeIsa && type != kTypeSerial && type != kTypePci && type != kTypeBoard5 &&
            type != kTypeUsb) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              code::kInvalidInterfaceType);
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = checkedSlot(id);
        if (slot == nullptr) {
            return failExport(kName);
        }
        DeviceRequestBlock* block = slot->block();
        uint16_t written = 0;
        switch (source) {
        case 0:
        case 2:
            if (type != kTypePci && type != kTypeBoard5 && type != kTypeUsb) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kNotAvailable,
                                  code::kFunctionNotSupported);
            }
            written = 0;
            break;
        case 1:
            written = 1;
            break;
        case 3:
            if (type == kTypeUsb && boardGeneration(*block) < kUsbGeneration2 &&
                block->FirmwareVersion < kInputSource3Firmware &&
                block->DriverVersion < kInputSource3Driver) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kDriverNoSupport,
                                  code::kFirmwareObsolete);
            }
            written = 3;
            break;
        default:
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, source);
        }
        if (type == kTypeSerial) {
            return 0;
        }
        block->InputSource = written;
        return sendBlock() != 0 ? failExport(kName) : 0;
    });
}
