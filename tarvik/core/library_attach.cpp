#include "core/library_attach.h"

#include "acquisition/raw_data.h"

#include "core/acquisition_table.h"
#include "core/device_notify.h"
#include "core/export_frame.h"
#include "core/information_dialog.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/actual_configuration.h"
#include "hardware/sensor_tables.h"

#include "platform/last_error.h"
#include "serial/qre_link.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace tarvik {
namespace {

constexpr uint16_t kQreReplyTimeoutMs = 300;

constinit std::atomic<bool> g_attached{false};

int32_t failAttach() {
    recordFunctionName(kAttachFunctionName);
    return -1;
}

} // namespace

bool isLibraryAttached() {
    return g_attached.load(std::memory_order_acquire);
}

int32_t LibraryAttach() {
    std::lock_guard guard(deviceLock());
    // The record table is built here, inside the set-up at load, so that it is
    // destroyed only after the tear-down at unload has emptied it.
    (void)rawDataRecordCount();
    if (isLibraryAttached()) {
        return 1;
    }
    if (CreateDeviceSlot(0) != 0) {
        return failAttach();
    }
    if (AllocQreBuffers() != 1) {
        recordError(0, KORAL_LEVEL_MEMORY, code::kAllocMemory, 0);
        return failAttach();
    }
    ResetQrePortSettings();
    SetQreReplyTimeout(kQreReplyTimeoutMs);
    LibraryState* state = libraryState();
    resetAcquisitionThreadTable(state->acquisitionThreads);
    BuildSensorConfigIndex();
    const int32_t os = GetOsVersionCode();
    if (os == -1) {
        recordError(0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                    platformErrorInfo(platform::lastError()));
        return failAttach();
    }
    state->osVersionCode = os;
    // Modes 1 and 2 of the configuration read show the information dialog.
    setConfigurationDialogHook(&ShowInformationDialog);
    g_attached.store(true, std::memory_order_release);
    return 1;
}

int32_t LibraryDetach() {
    {
        const auto guard = LockDeviceForClose(0);
        g_attached.store(false, std::memory_order_release);
        if (LibraryState* state = libraryState()) {
            if (state->openInterfaces > 0 && state->interfaceTypeInUse == kTypeSerial) {
                CloseQrePort();
            }
        }
    }
    // Not under the DeviceLock: the notification thread's handlers take it.
    DestroyDeviceNotifyObjects();
    StopAllAcquisitionThreads();
    // Records a client never freed go with the library, not with the process.
    ReleaseAllRawData();

    std::lock_guard guard(deviceLock());
    if (FreeQreBuffers() != 1) {
        return -1;
    }
    if (libraryState() != nullptr && FreeDeviceSlot(0) != 0) {
        return -1;
    }
    return 1;
}

} // namespace tarvik
