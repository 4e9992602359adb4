// The component scan and deletion and the KORAL_LS_ exports: the light-source
// modules of a slot's component table, driven under the DeviceLock.

#include "hardware/light_source_module.h"

#include "core/export_frame.h"
#include "core/interface_check.h"
#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/i2c_access.h"
#include "tarvik.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>

namespace tarvik {
namespace {

constexpr int32_t kInfoInvalidIndex = 831; // "INVALID INDEX"
constexpr int32_t kInfoLocalAccess = 832;  // "LOCAL ACCESS ONLY"
constexpr uint32_t kConfigReadError = 0x80000000u;
constexpr uint32_t kTimeoutMask = 0x7FFFFFFFu;
constexpr int32_t kExportShutterTimeoutMs = 5000;

// The slot an export addresses, under the DeviceLock the caller holds; null
// with 5/504/808 for ID 0 (which would reach the scratch slot), a missing slot
// or no actual interface.
DeviceSlot* openSlot(int32_t id) {
    DeviceSlot* slot = id > 0 ? deviceSlot(id) : nullptr;
    if (slot == nullptr || libraryState()->actualInterfaceId == 0) {
        recordError(id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, code::kInvalidUse);
        return nullptr;
    }
    return slot;
}

bool scanServesSlot(const DeviceSlot& slot) {
    if (slot.boardType == kTypeSerial) {
        return slot.configurationWord != 0 && (slot.configurationWord & kConfigReadError) == 0;
    }
    return slot.boardType == kTypePci || slot.boardType == kTypeBoard5 ||
           slot.boardType == kTypeUsb;
}

// Kind code of KORAL_LS_Initialize: lamp modules by subtype, 4 flash.
uint32_t kindCode(const CLightSourceModule& module) {
    if (module.GetModuleType() == kFlashModule) {
        return 4;
    }
    if (!module.IsLampModule()) {
        return 0;
    }
    constexpr std::array<uint32_t, 4> kLampKinds{3, 2, 1, 0};
    return kLampKinds[module.GetModuleSubtype() & 3];
}

// Positions outside the table are position 0, which never holds a module.
size_t positionIndex(int32_t position) {
    return position < 0 || position >= static_cast<int32_t>(kComponentPositions)
               ? 0
               : static_cast<size_t>(position);
}

// The state check, then body(slot) under the DeviceLock; -1 with the record
// (the name and the box to follow) for a slot that is not open.
template <class Body> int32_t withOpenSlot(const char* name, int32_t id, Body&& body) {
    if (checkInterfaceForExport(name, kCheckDeviceOpen, id) != 0) {
        return -1;
    }
    std::lock_guard guard(deviceLock());
    DeviceSlot* slot = openSlot(id);
    if (slot == nullptr) {
        return failExport(name);
    }
    return body(*slot);
}

// The common road of the KORAL_LS_ exports: state check, position, slot,
// presence; then body(module, id) under the DeviceLock. A body returns 0,
// or -1 with the record written (the name and the box follow here).
template <class Body>
int32_t runModuleExport(const char* name, uint32_t interfaceId, int32_t position, Body&& body) {
    const auto id = static_cast<int32_t>(interfaceId);
    return runExport(name, [&]() -> int32_t {
        return withOpenSlot(name, id, [&](DeviceSlot& slot) -> int32_t {
            const size_t at = positionIndex(position);
            // A deleted component keeps its presence byte but is no longer there.
            CLightSourceModule* module = slot.components[at].get();
            if (slot.componentFlags[at] == 0 || module == nullptr) {
                return failExport(name, id, KORAL_LEVEL_IGNORED, code::kNotInitialized, 0);
            }
            return body(*module, id) != 0 ? failExport(name) : 0;
        });
    });
}

int32_t refuse(int32_t id, int32_t level, int32_t codeValue, int32_t info) {
    recordError(id, level, codeValue, info);
    return -1;
}

// Not the kind of module the export drives.
int32_t wrongModuleKind() {
    return refuse(0, KORAL_LEVEL_IGNORED, code::kNotAvailable, 0);
}

int32_t report(uint8_t result, int32_t id) {
    return ReportLightSourceResult(result, static_cast<uint32_t>(id));
}

// The exports of lamp modules: other modules get 5/506/0.
template <class Body>
int32_t runLampExport(const char* name, uint32_t interfaceId, int32_t position, Body&& body) {
    return runModuleExport(name, interfaceId, position,
                           [&](CLightSourceModule& module, int32_t id) -> int32_t {
                               return module.IsLampModule() ? body(module, id) : wrongModuleKind();
                           });
}

// A lamp module's byte read by `read` into a non-null output, converted.
template <class Out, class Read, class Convert>
int32_t readLampValue(int32_t id, Out* out, Read&& read, Convert&& convert) {
    if (out == nullptr) {
        return refuse(0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
    }
    uint8_t value = 0;
    if (report(read(&value), id) != 0) {
        return -1;
    }
    *out = convert(value);
    return 0;
}

// T os (0..80, else 80) and T hyst = T os - difference (0..80, negative 5),
// at least 1, in the order that never puts T hyst above T os on the sensor.
int32_t setTemperatureAlarm(CLightSourceModule& module, int32_t id, int32_t tOs,
                            int32_t difference) {
    constexpr int32_t kHighest = 80;
    const int32_t alarm = tOs < 0 || tOs > kHighest ? kHighest : tOs;
    if (difference < 0) {
        difference = 5;
    }
    const int32_t hysteresis = std::max(1, alarm - std::min(difference, kHighest));
    uint8_t present = 0;
    if (report(module.ReadTos(&present), id) != 0) {
        return -1;
    }
    const auto tOsByte = static_cast<uint8_t>(alarm);
    const auto tHystByte = static_cast<uint8_t>(hysteresis);
    if (hysteresis <= static_cast<int8_t>(present)) {
        if (report(module.WriteThyst(tHystByte), id) != 0) {
            return -1;
        }
        return report(module.WriteTos(tOsByte), id);
    }
    if (report(module.WriteTos(tOsByte), id) != 0) {
        return -1;
    }
    return report(module.WriteThyst(tHystByte), id);
}

// A failed call of the flash exports and the power-state save.
int32_t aborted(uint8_t result) {
    return result == kLsDone ? 0 : refuse(0, KORAL_LEVEL_IGNORED, code::kAborted, 0);
}

// The scan of a slot that is open: the number of addresses that answered, or
// -1 with the record.
int32_t scan(const char* name, DeviceSlot& slot, int32_t id) {
    const auto interfaceId = static_cast<uint32_t>(id);
    if (!scanServesSlot(slot)) {
        return failExport(name, id, KORAL_LEVEL_IGNORED, code::kInvalidInterfaceType, 0);
    }
    ErrorBoxOff boxOff;
    int32_t answered = 0;
    const size_t addresses = std::min<size_t>(slot.i2cAddressCount, slot.i2cAddresses.size());
    for (size_t n = 0; n < addresses; ++n) {
        const uint8_t address = slot.i2cAddresses[n];
        std::array<uint8_t, 2> bytes{};
        if (slot.boardType != kTypeSerial && !ProbeI2CDevice(address, interfaceId)) {
            continue;
        }
        if (peripheralI2c().read1(address, bytes.data(), 2, interfaceId) != 0) {
            continue;
        }
        ++answered;
        if ((bytes[0] & 3) == kUnknownModule) {
            continue;
        }
        // Repeated scans append; a module beyond the sixth position has no room.
        const size_t position = slot.componentCount + 1u;
        if (position >= kComponentPositions) {
            continue;
        }
        auto module = std::make_shared<CLightSourceModule>();
        module->SetInterfaceId(interfaceId);
        module->SetI2CAddress(address);
        slot.components[position] = module;
        module->ReadIdentification();
        ++slot.componentCount;
        if (module->GetModuleType() == kFlashModule) {
            ++slot.flashModuleCount;
        } else if (module->IsLampModule()) {
            ++slot.lampModuleCount;
        }
    }
    return answered;
}

} // namespace

int32_t LampShutter(int32_t interfaceId, int32_t component, bool open) {
    const auto id = static_cast<uint32_t>(interfaceId);
    return open ? KORAL_LS_OpenShutter(id, component, kExportShutterTimeoutMs)
                : KORAL_LS_CloseShutter(id, component, kExportShutterTimeoutMs);
}

} // namespace tarvik

using namespace tarvik;

extern "C" int32_t KORAL_ScanI2CComponents(uint32_t interfaceId, uint32_t /*reserved*/) {
    constexpr const char* kName = "KORAL_ScanI2CComponents";
    const auto id = static_cast<int32_t>(interfaceId);
    return runExport(kName, [&]() -> int32_t {
        return withOpenSlot(kName, id, [&](DeviceSlot& slot) { return scan(kName, slot, id); });
    });
}

extern "C" int32_t KORAL_DeleteI2CComponents(uint32_t interfaceId, uint32_t /*reserved*/) {
    constexpr const char* kName = "KORAL_DeleteI2CComponents";
    const auto id = static_cast<int32_t>(interfaceId);
    return runExport(kName, [&]() -> int32_t {
        return withOpenSlot(kName, id, [](DeviceSlot& slot) {
            for (size_t position = 1; position < kComponentPositions; ++position) {
                if (slot.components[position] != nullptr) {
                    slot.components[position].reset();
                    --slot.componentCount;
                }
            }
            return 0;
        });
    });
}

extern "C" int32_t KORAL_LS_Initialize(uint32_t interfaceId, int32_t position,
                                       uint32_t /*reserved*/, uint32_t* kind) {
    constexpr const char* kName = "KORAL_LS_OpenDevice";
    const auto id = static_cast<int32_t>(interfaceId);
    return runExport(kName, [&]() -> int32_t {
        if (kind == nullptr) {
            return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
        }
        *kind = 0;
        return withOpenSlot(kName, id, [&](DeviceSlot& slot) {
            const size_t at = positionIndex(position);
            const CLightSourceModule* module = slot.components[at].get();
            if (module == nullptr) {
                return failExport(kName, id, KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                                  kInfoInvalidIndex);
            }
            slot.componentFlags[at] = 1;
            *kind = kindCode(*module);
            return 0;
        });
    });
}

extern "C" int32_t KORAL_LS_OpenShutter(uint32_t interfaceId, int32_t position,
                                        uint32_t timeoutMs) {
    return runLampExport("KORAL_LS_OpenShutter", interfaceId, position,
                         [&](CLightSourceModule& module, int32_t id) {
                             return report(module.OpenShutter(timeoutMs & kTimeoutMask), id);
                         });
}

extern "C" int32_t KORAL_LS_CloseShutter(uint32_t interfaceId, int32_t position,
                                         uint32_t timeoutMs) {
    return runLampExport("KORAL_LS_CloseShutter", interfaceId, position,
                         [&](CLightSourceModule& module, int32_t id) {
                             return report(module.CloseShutter(timeoutMs & kTimeoutMask), id);
                         });
}

extern "C" int32_t KORAL_LS_PowerON(uint32_t interfaceId, int32_t position, uint8_t lampMask,
                                    uint32_t timeoutMs) {
    return runLampExport("KORAL_LS_PowerON", interfaceId, position,
                         [&](CLightSourceModule& module, int32_t id) {
                             return report(module.PowerOn(lampMask, timeoutMs & kTimeoutMask), id);
                         });
}

extern "C" int32_t KORAL_LS_PowerOFF(uint32_t interfaceId, int32_t position, uint8_t lampMask,
                                     uint32_t timeoutMs) {
    return runLampExport("KORAL_LS_PowerOFF", interfaceId, position,
                         [&](CLightSourceModule& module, int32_t id) {
                             return report(module.PowerOff(lampMask, timeoutMs & kTimeoutMask), id);
                         });
}

extern "C" int32_t KORAL_LS_GetShutterPosition(uint32_t interfaceId, int32_t position,
                                               uint32_t* open) {
    return runLampExport("KORAL_LS_GetShutterPosition", interfaceId, position,
                         [&](CLightSourceModule& module, int32_t id) {
                             return readLampValue(
                                 id, open, [&](uint8_t* v) { return module.GetShutterPosition(v); },
                                 [](uint8_t v) { return uint32_t{v}; });
                         });
}

extern "C" int32_t KORAL_LS_GetStatus(uint32_t interfaceId, int32_t position, uint32_t* status) {
    return runModuleExport(
        "KORAL_LS_GetStatus", interfaceId, position, [&](CLightSourceModule& module, int32_t id) {
            if (status == nullptr) {
                return refuse(0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            }
            uint16_t word = 0;
            if (report(module.GetStatus(&word, 1), id) != 0) {
                return -1;
            }
            *status = word;
            return 0;
        });
}

extern "C" int32_t KORAL_LS_GetActualTemperature(uint32_t interfaceId, int32_t position,
                                                 int32_t* degreesC) {
    return runLampExport("KORAL_LS_GetActualTemperature", interfaceId, position,
                         [&](CLightSourceModule& module, int32_t id) {
                             return readLampValue(
                                 id, degreesC,
                                 [&](uint8_t* v) { return module.ReadActualTemperature(v); },
                                 [](uint8_t v) { return int32_t{static_cast<int8_t>(v)}; });
                         });
}

extern "C" int32_t KORAL_LS_SetTemperatureAlarm(uint32_t interfaceId, int32_t position, int32_t tOs,
                                                int32_t hysteresisDifference) {
    return runLampExport("KORAL_LS_SetTemperatureAlarm", interfaceId, position,
                         [&](CLightSourceModule& module, int32_t id) {
                             return setTemperatureAlarm(module, id, tOs, hysteresisDifference);
                         });
}

extern "C" int32_t KORAL_LS_SavePowerStatus(uint32_t interfaceId, int32_t position) {
    return runLampExport("KORAL_LS_SavePowerStatus", interfaceId, position,
                         [&](CLightSourceModule& module, int32_t /*id*/) {
                             return aborted(module.SavePowerStatus());
                         });
}

extern "C" int32_t KORAL_LS_GetModuleInfo(uint32_t interfaceId, int32_t position, uint8_t* type,
                                          uint8_t* subtype, uint8_t* info) {
    return runModuleExport("KORAL_LS_GetModuleInfo", interfaceId, position,
                           [&](CLightSourceModule& module, int32_t id) {
                               if (type == nullptr && subtype == nullptr && info == nullptr) {
                                   return refuse(id, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                                 code::kInvalidUse);
                               }
                               if (type != nullptr) {
                                   *type = module.GetModuleType();
                               }
                               if (subtype != nullptr) {
                                   *subtype = module.GetModuleSubtype();
                               }
                               if (info != nullptr) {
                                   *info = module.GetModuleInfo();
                               }
                               return 0;
                           });
}

extern "C" int32_t KORAL_LS_ReadFlashRate(uint32_t interfaceId, int32_t position,
                                          uint32_t* flashRateMs) {
    return runModuleExport("KORAL_LS_ReadFlashRate", interfaceId, position,
                           [&](CLightSourceModule& module, int32_t /*id*/) {
                               if (flashRateMs == nullptr) {
                                   return refuse(0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                                 0);
                               }
                               if (module.GetModuleType() != kFlashModule) {
                                   return wrongModuleKind();
                               }
                               uint16_t ms = 0;
                               if (aborted(module.ReadFlashRate(&ms)) != 0) {
                                   return -1;
                               }
                               *flashRateMs = ms;
                               return 0;
                           });
}

extern "C" int32_t KORAL_LS_SetFlashCounter(uint32_t interfaceId, int32_t position, int32_t count) {
    return runModuleExport(
        "KORAL_LS_SetFlashCounter", interfaceId, position,
        [&](CLightSourceModule& module, int32_t /*id*/) {
            if (count < 1 || count > 254) {
                return refuse(0, KORAL_LEVEL_IGNORED, code::kInvalidParameter, 0);
            }
            if (module.GetModuleType() != kFlashModule) {
                return wrongModuleKind();
            }
            if (module.IsRemoteParameterized() == 0) {
                return refuse(0, KORAL_LEVEL_IGNORED, code::kNotAvailable, kInfoLocalAccess);
            }
            return aborted(module.SetFlashCounter(static_cast<uint8_t>(count)));
        });
}

extern "C" int32_t KORAL_LS_GetRemoteStatus(uint32_t interfaceId, int32_t position,
                                            uint32_t* remote) {
    return runModuleExport("KORAL_LS_GetRemoteStatus", interfaceId, position,
                           [&](CLightSourceModule& module, int32_t /*id*/) {
                               if (remote == nullptr) {
                                   return refuse(0, KORAL_LEVEL_IGNORED, code::kInvalidParameter,
                                                 0);
                               }
                               if (module.GetModuleType() != kFlashModule) {
                                   return wrongModuleKind();
                               }
                               *remote = module.IsRemoteParameterized();
                               return 0;
                           });
}
