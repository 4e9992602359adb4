// Exports of error handling: the box switches, the record and its texts, and
// the warning classes of the boards.
#include "core/device_command.h"
#include "core/export_frame.h"
#include "core/firmware_features.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "serial/qre_link.h"
#include "tarvik.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace tarvik {
namespace {

constexpr int32_t kQueryMode = -2;
constexpr int32_t kFirstInvalidWarningMode = 8;

struct WalkResult {
    int32_t result;
    bool failed; // name and box still to come
};

// Sends one slot's parameters again (the serial link for type 3), with its ID
// made actual for the send: with ID 0 the walk goes over every slot.
int32_t resendParameters(LibraryState& state, DeviceSlot& slot) {
    const int32_t previous = state.actualInterfaceId.exchange(slot.interfaceId);
    const int32_t result = slot.boardType == kTypeSerial ? SendQreWorkModeParameters()
                                                         : SendDeviceCommand(KORAL_CMD_INIT);
    state.actualInterfaceId = previous;
    return result;
}

void setWarningClasses(DeviceSlot& slot, int32_t mode) {
    DeviceRequestBlock* block = slot.block();
    if ((mode & 1) != 0) {
        slot.warningFlag = 1;
        block->RequestFlags |= KORAL_RF_WARN_CLASS1;
    } else {
        slot.warningFlag = 0;
        block->RequestFlags &= ~KORAL_RF_WARN_CLASS1;
    }
    if ((mode & 2) != 0) {
        block->RequestFlags |= KORAL_RF_WARN_CLASS2;
    } else {
        block->RequestFlags &= ~KORAL_RF_WARN_CLASS2;
    }
    slot.warningMask = static_cast<uint16_t>(mode);
}

// Runs under the DeviceLock and the ErrorLock.
WalkResult switchWarningClasses(LibraryState& state, int32_t mode, int32_t showFlag, int32_t id) {
    const int32_t first = id != 0 ? id : 1;
    const int32_t last = id != 0 ? id : kMaxInterfaceId;
    const uint32_t showBox = showFlag != 0 ? 1 : 0;

    if (mode == kQueryMode) {
        if (id == 0) {
            return {0, false};
        }
        if (const DeviceSlot* slot = deviceSlot(id)) {
            return {slot->warningMask, false};
        }
        recordError(id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
        return {-1, true};
    }
    if (mode >= kFirstInvalidWarningMode) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        return {-1, true};
    }
    if (id != 0 && deviceSlot(id) == nullptr) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
        if (mode == 0) {
            setWarningBoxFlag(showBox);
        }
        return {-1, true};
    }

    int32_t result = 0;
    bool anySlot = false;
    for (int32_t walked = first; walked <= last; ++walked) {
        DeviceSlot* slot = deviceSlot(walked);
        if (slot == nullptr) {
            continue;
        }
        anySlot = true;
        if (mode == 0) {
            slot->warningFlag = 0;
            slot->warningMask = 0;
            slot->block()->RequestFlags &= ~(KORAL_RF_WARN_CLASS1 | KORAL_RF_WARN_CLASS2);
            if (resendParameters(state, *slot) != 0) {
                result = -1;
                break;
            }
            continue;
        }
        if (!IsFirmwareFeatureAvailable(walked, static_cast<uint32_t>(mode) & 0xFFFF)) {
            recordError(walked, KORAL_LEVEL_HARDWARE, code::kFirmwareNoSupport,
                        firmwareVersionInfo(*slot, state.interfaceTypeInUse));
            result = -1;
            continue;
        }
        setWarningClasses(*slot, mode);
        if (resendParameters(state, *slot) != 0) {
            result = -1;
            break;
        }
    }
    if (mode == 0) {
        setWarningBoxFlag(showBox);
        return {result, result != 0};
    }
    if (!anySlot) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
        return {-1, true};
    }
    if (result == 0) {
        setWarningBoxFlag(showBox);
    }
    return {result, result != 0};
}

void copyRecordOut(const LastErrorRecord& record, void* destination) {
    // The caller's record may lie at any address.
    auto* out = static_cast<uint8_t*>(destination);
    std::memcpy(out + offsetof(LastErrorRecord, level), &record.level, sizeof record.level);
    std::memcpy(out + offsetof(LastErrorRecord, code), &record.code, sizeof record.code);
    const size_t nameLength =
        strnlen(record.functionName, KORAL_FUNCTION_NAME_SIZE - 1); // at most 49 characters
    std::memcpy(out + offsetof(LastErrorRecord, functionName), record.functionName, nameLength);
    out[offsetof(LastErrorRecord, functionName) + nameLength] = '\0';
    std::memcpy(out + offsetof(LastErrorRecord, info), &record.info, sizeof record.info);
    std::memcpy(out + offsetof(LastErrorRecord, interfaceId), &record.interfaceId,
                sizeof record.interfaceId);
}

} // namespace
} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_ErrorMessages(int32_t mode) {
    std::lock_guard guard(errorLock());
    switch (mode) {
    case kQueryMode:
        return errorBoxFlag() == 1 ? 1 : 0;
    case 1:
    case -1:
        setErrorBoxFlag(1);
        return 0;
    case 0:
        setErrorBoxFlag(0);
        return 0;
    default:
        setErrorBoxFlag(1);
        return -1;
    }
}

extern "C" int32_t KORAL_GetErrorCode(void* lastError) {
    static constexpr const char* kName = "KORAL_GetErrorCode";
    if (lastError == nullptr) {
        recordError(0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        return failExport(kName);
    }
    copyRecordOut(lastErrorRecord(), lastError);
    return 0;
}

extern "C" int32_t KORAL_GetErrorString(int32_t code, int32_t info, char* buffer,
                                        int32_t bufferSize) {
    if (buffer == nullptr || bufferSize < 1) {
        return -1;
    }
    try {
        const std::string text = errorString(code, info);
        const size_t n = std::min(text.size(), static_cast<size_t>(bufferSize) - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
        return 0;
    } catch (...) {
        buffer[0] = '\0';
        return -1;
    }
}

extern "C" int32_t KORAL_WarningMessagesEx(int32_t mode, int32_t showFlag, uint32_t interfaceId) {
    static constexpr const char* kName = "KORAL_WarningMessagesEx";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (id != 0 && checkInterfaceForExport(kName, kCheckIdInRange, id) != 0) {
            return -1;
        }
        std::lock_guard device(deviceLock());
        LibraryState& state = *libraryState();
        if (state.actualInterfaceId == 0) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                              code::kInvalidUse);
        }
        WalkResult walk{};
        {
            std::lock_guard errors(errorLock());
            walk = switchWarningClasses(state, mode, showFlag, id);
        }
        // The box is shown without the ErrorLock, so that other threads can
        // record meanwhile.
        if (walk.failed) {
            failExport(kName);
        }
        return walk.result;
    });
}

extern "C" int32_t KORAL_WarningMessages(int32_t mode, uint32_t interfaceId) {
    static constexpr const char* kName = "KORAL_WarningMessages";
    return runExport(kName, [&]() -> int32_t {
        const int32_t mapped = mode == kQueryMode ? kQueryMode : (mode != 0 ? 1 : 0);
        int32_t result = 0;
        {
            ErrorBoxOff boxOff;
            result = KORAL_WarningMessagesEx(mapped, 0, interfaceId);
        }
        if (mapped == kQueryMode) {
            // The mask that was set, not a failure; only a failed query is reported.
            return result < 0 ? failExport(kName) : result;
        }
        if (result != 0) {
            failExport(kName);
            return result;
        }
        const auto id = static_cast<int32_t>(interfaceId);
        std::lock_guard device(deviceLock());
        LibraryState& state = *libraryState();
        if ((id > 0 && deviceSlot(id) == nullptr) || state.actualInterfaceId == 0) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                              code::kInvalidUse);
        }
        // Class 2 stays flagged in every mode; it goes to the board with the
        // next parameter transfer.
        const int32_t first = id != 0 ? id : 1;
        const int32_t last = id != 0 ? id : kMaxInterfaceId;
        for (int32_t walked = first; walked <= last; ++walked) {
            if (DeviceSlot* slot = deviceSlot(walked)) {
                slot->block()->RequestFlags |= KORAL_RF_WARN_CLASS2;
                slot->warningMask |= 2;
            }
        }
        return 0;
    });
}
