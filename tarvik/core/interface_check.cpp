#include "core/interface_check.h"

#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"

#include <mutex>

namespace tarvik {

int32_t CheckInterfaceState(int32_t level, int32_t interfaceId) {
    if (interfaceId < 0 || interfaceId > kMaxInterfaceId) {
        recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                    code::kInvalidInterfaceId);
        return -1;
    }
    // The slots are read under the DeviceLock: a close on another thread
    // frees them.
    std::lock_guard guard(deviceLock());
    LibraryState* state = libraryState();
    if (state == nullptr) {
        recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
        return -1;
    }
    if (level >= kCheckSlotExists && interfaceId >= 1 && deviceSlot(interfaceId) == nullptr) {
        recordError(interfaceId, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
        return -1;
    }
    const int32_t first = interfaceId >= 1 ? interfaceId : 1;
    const int32_t last = interfaceId >= 1 ? interfaceId : kMaxInterfaceId;
    const uint32_t typeInUse = state->interfaceTypeInUse;
    const bool hotPlugType = typeInUse == kTypeUsb || typeInUse == kTypeUsb2;

    if (level >= kCheckDeviceOpen) {
        for (int32_t id = first; id <= last; ++id) {
            const DeviceSlot* slot = deviceSlot(id);
            if (slot == nullptr || slot->deviceHandle != platform::kInvalidDeviceHandle) {
                continue;
            }
            if (hotPlugType && slot->hotPlug != 0) {
                recordError(id, KORAL_LEVEL_IGNORED, code::kDeviceNotAvailable, code::kInvalidUse);
                return -2;
            }
            recordError(id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
            return -1;
        }
    }
    if (level >= kCheckInitialised) {
        for (int32_t id = first; id <= last; ++id) {
            const DeviceSlot* slot = deviceSlot(id);
            if (slot == nullptr) {
                continue;
            }
            if (slot->arrivalFailed == 1) {
                recordError(id, KORAL_LEVEL_IGNORED, code::kNotInitialized, code::kArrivalFailed);
                return -1;
            }
            if (slot->initialised == 0) {
                recordError(id, KORAL_LEVEL_IGNORED, code::kNotInitialized, 0);
                return -1;
            }
        }
    }
    if (level >= kCheckMuxPresent) {
        for (int32_t id = first; id <= last; ++id) {
            const DeviceSlot* slot = deviceSlot(id);
            if (slot != nullptr && slot->muxPresent == 0) {
                recordError(id, KORAL_LEVEL_IGNORED, code::kNotAvailable, code::kNoMux);
                return -1;
            }
        }
    }
    if (interfaceId >= 1) {
        state->actualInterfaceId = interfaceId;
    }
    return 0;
}

} // namespace tarvik
