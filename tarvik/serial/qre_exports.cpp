// The exports that configure the link to the serial electronics and act on
// one of them directly (exported by name, without an ordinal).

#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "core/registry_parameters.h"
#include "serial/qre_device.h"
#include "serial/qre_link.h"
#include "serial/qre_module.h"

#include "platform/config_store.h"

#include <algorithm>
#include <mutex>

namespace tarvik {
namespace {

constexpr int32_t kCodeComPortLocked =
    304; // "CAN NOT CHANGE COM PORT SETTINGS, DEVICE IS ALLREADY OPEN"
constexpr int32_t kInfoNotRs485 = 821; // "TRANSMISSIONSTD IS NOT RS485SW"
constexpr uint32_t kBaudRates[] = {9600, 14400, 19200, 38400, 57600, 115200, 256000};
constexpr uint32_t kMaxTransmission = 2;
constexpr int32_t kMaxReplyTimeoutMs = 32767;
constexpr uint32_t kMaxDisplayLevel = 3;
constexpr uint32_t kMaxTimeFactor = 80;

// The open serial slot an export acts on, made the actual one; null with
// 5/504/808 (also for ID 0, which names no slot).
DeviceSlot* serialSlot(int32_t id) {
    DeviceSlot* slot = id >= 1 ? deviceSlot(id) : nullptr;
    if (slot == nullptr || actualInterfaceId() == 0) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
        return nullptr;
    }
    libraryState()->actualInterfaceId = id;
    return slot;
}

// The link's port is in use under an open serial slot, whatever ID names it.
bool anySerialSlotOpen() {
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        if (const DeviceSlot* slot = deviceSlot(id);
            slot != nullptr && slot->boardType == kTypeSerial) {
            return true;
        }
    }
    return false;
}

// A value of the settings block goes to the electronics with the next set.
int32_t sendSetting(const char* name, DeviceSlot& slot, size_t offset, uint8_t value) {
    if (!slot.qre.blocks) {
        return failExport(name, slot.interfaceId, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                          code::kInvalidUse);
    }
    SetQreDestination(static_cast<uint8_t>(slot.qre.interfaceId));
    SelectQreSlotBuffers(slot.interfaceId);
    slot.qre.blocks->settings[offset] = value;
    MarkQreSettingsChanged();
    return SendQreWorkModeParameters() == 0 ? 0 : failExport(name);
}

// The frame of the exports that act on one open unit: the check at level 1,
// refuse() (-1 for a refusal before the lock, else 0), then body(slot, id)
// under the DeviceLock.
template <class Refuse, class Body>
int32_t runUnitExport(const char* name, uint32_t interfaceId, Refuse refuse, Body body) {
    return runExport(name, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(name, kCheckSlotExists, id) != 0) {
            return -1;
        }
        if (refuse() != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        DeviceSlot* slot = serialSlot(id);
        if (slot == nullptr) {
            return failExport(name);
        }
        return body(*slot, id);
    });
}

} // namespace

extern "C" int32_t KORAL_ParaSet_QRE(uint32_t port, uint32_t baudRate, uint32_t transmission,
                                     uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSet_QRE";
    return runExport(kName, [&]() -> int32_t {
        const auto id = static_cast<int32_t>(interfaceId);
        if (checkInterfaceForExport(kName, kCheckIdInRange, id) != 0) {
            return -1;
        }
        std::lock_guard guard(deviceLock());
        LibraryState& state = *libraryState();
        const int32_t actual = actualInterfaceId();
        if ((actual != 0 && deviceSlot(actual) != nullptr) || anySerialSlotOpen()) {
            return failExport(kName, actual, KORAL_LEVEL_IGNORED, kCodeComPortLocked, 0);
        }
        // The check has made the ID the actual one; no open slot holds it.
        state.serialElectronicsId = interfaceId;
        // What passed stays in memory when a later value is refused.
        if (std::find(std::begin(kBaudRates), std::end(kBaudRates), baudRate) ==
            std::end(kBaudRates)) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        state.serialBaudRate = baudRate;
        if (transmission > kMaxTransmission) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        state.serialTransmission = transmission;
        qreLink()->port.transmission = static_cast<uint8_t>(transmission);
        if (port == 0) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        state.serialComPort = port;
        if (WriteQreParameters(port, baudRate, transmission, state.serialElectronicsId) != 1) {
            return failExport(kName);
        }
        return 0;
    });
}

extern "C" int32_t KORAL_ParaGet_QRE(uint32_t* port, uint32_t* baudRate, uint32_t* transmission,
                                     uint32_t* interfaceId) {
    constexpr const char* kName = "KORAL_ParaGet_QRE";
    return runExport(kName, [&]() -> int32_t {
        std::lock_guard guard(deviceLock());
        if (port == nullptr || baudRate == nullptr || transmission == nullptr ||
            interfaceId == nullptr) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        platform::ConfigKey key;
        const int opened =
            key.open(platform::ConfigRoot::User, kQreParametersKey, platform::ConfigAccess::Read);
        if (opened == platform::kConfigNotFound) {
            constexpr uint32_t kPort = 1, kBaud = 115200, kTrans = 0, kId = 1;
            if (WriteQreParameters(kPort, kBaud, kTrans, kId) != 1) {
                return failExport(kName);
            }
            *port = kPort;
            *baudRate = kBaud;
            *transmission = kTrans;
            *interfaceId = kId;
            return 0;
        }
        if (opened != 0) {
            return failExport(kName, 0, KORAL_LEVEL_NOT_DONE, code::kOpenRegistry, 0);
        }
        uint32_t values[4] = {};
        static constexpr const char* kValues[] = {"ID", "Port", "Trans", "Baudrate"};
        for (int32_t i = 0; i < 4; ++i) {
            if (key.queryDword(kValues[i], values[i]) != 0) {
                return failExport(kName, 0, KORAL_LEVEL_NOT_DONE, code::kOpenRegistry, i + 1);
            }
        }
        *interfaceId = values[0];
        *port = values[1];
        *transmission = values[2];
        *baudRate = values[3];
        return 0;
    });
}

extern "C" int32_t KORAL_ParaSet_QRE_RS485StopPeriod(uint16_t stopPeriod) {
    constexpr const char* kName = "KORAL_ParaSet_QRE_RS485StopPeriod";
    return runExport(kName, [&]() -> int32_t {
        std::lock_guard guard(deviceLock());
        QrePortSettings& settings = qreLink()->port;
        if (settings.transmission != kQreTransRs485) {
            return failExport(kName, actualInterfaceId(), KORAL_LEVEL_IGNORED, code::kNotAvailable,
                              kInfoNotRs485);
        }
        settings.rs485StopPeriod = stopPeriod;
        return 0;
    });
}

extern "C" int32_t KORAL_ParaSet_QRE_TimeoutPC(int32_t timeoutMs) {
    constexpr const char* kName = "KORAL_ParaSet_QRE_TimeoutPC";
    return runExport(kName, [&]() -> int32_t {
        if (timeoutMs < 0 || timeoutMs > kMaxReplyTimeoutMs) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        std::lock_guard guard(deviceLock());
        SetQreReplyTimeout(timeoutMs);
        return 0;
    });
}

extern "C" int32_t KORAL_SetDisplaylevel_QRE(uint32_t level, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_SetDisplaylevel_QRE";
    return runUnitExport(
        kName, interfaceId, [] { return 0; },
        [&](DeviceSlot& slot, int32_t id) -> int32_t {
            if (level < 1 || level > kMaxDisplayLevel || slot.boardType != kTypeSerial) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            }
            return sendSetting(kName, slot, kQreSettingsDisplayLevel, static_cast<uint8_t>(level));
        });
}

extern "C" int32_t KORAL_ParaSet_QRE_InttimeFactor(uint32_t factor, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_ParaSet_QRE_InttimeFactor";
    auto refuse = [&]() -> int32_t {
        if (libraryState()->interfaceTypeInUse != kTypeSerial) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                              code::kInvalidInterfaceType);
        }
        if (factor < 1 || factor > kMaxTimeFactor) {
            return failExport(kName, 0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        return 0;
    };
    return runUnitExport(kName, interfaceId, refuse, [&](DeviceSlot& slot, int32_t) {
        return sendSetting(kName, slot, kQreSettingsTimeFactor, static_cast<uint8_t>(factor));
    });
}

extern "C" int32_t KORAL_GlobalReset_QRE(uint32_t /*unused*/, uint32_t interfaceId) {
    constexpr const char* kName = "KORAL_GlobalReset_QRE";
    return runUnitExport(
        kName, interfaceId, [] { return 0; },
        [&](DeviceSlot& slot, int32_t id) -> int32_t {
            if (slot.boardType != kTypeSerial || !slot.qre.blocks) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                  code::kInvalidInterfaceType);
            }
            SetQreDestination(static_cast<uint8_t>(slot.qre.interfaceId));
            ClearQreErrorList();
            SelectQreSlotBuffers(id);
            if (GlobalResetQre() != 1 && RecoverQreFailure() != 0) {
                return failExport(kName);
            }
            return 0;
        });
}

} // namespace tarvik
