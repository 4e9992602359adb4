// CLightSourceModule: one light-source module on the I2C bus, and the
// questions about a slot's component table.

#include "hardware/light_source_module.h"

#include "core/last_error.h"
#include "core/library_state.h"
#include "core/locks.h"
#include "hardware/i2c_access.h"
#include "tarvik.h"

#include "dorvel/hardware_texts.h"
#include "platform/clock.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace tarvik {
namespace {

// Command bytes.
constexpr uint8_t kPlain = 0xFF;
constexpr uint8_t kConnectSensor = 0x7F;
constexpr uint8_t kSetFlashCounter = 0xDF;
constexpr uint8_t kSavePowerStateBit = 0x02;

// Control outputs: bits 0-4 always 1, bit 5 shutter (1 open).
constexpr uint8_t kFixedOutputs = 0x1F;
constexpr uint8_t kShutterOutput = 0x20;

// Status byte.
constexpr uint16_t kLamp2Off = 0x01;
constexpr uint16_t kLamp1Off = 0x02;
constexpr uint16_t kAbortBit = 0x08;
constexpr uint16_t kShutterOpen = 0x10;
constexpr uint16_t kShutterOutputBack = 0x20;

// Sensor registers.
constexpr uint8_t kTemperatureRegister = 0;
constexpr uint8_t kThystRegister = 2;
constexpr uint8_t kTosRegister = 3;

constexpr uint32_t kLampWaitLimitMs = 120000;
constexpr uint32_t kShutterWaitLimitMs = 5000;
constexpr uint32_t kLampOnPollMs = 800;
constexpr uint32_t kLampOffPollMs = 500;
constexpr uint32_t kShutterPollMs = 200;
constexpr uint32_t kLamp2SettleMs = 2000;
constexpr uint32_t kSensorSettleMs = 30;
constexpr uint32_t kPowerStateSaveMs = 30;
constexpr uint16_t kRemoteStatus = 256;

// Lamps each subtype switches by default, and the masks it accepts.
struct LampSubtype {
    uint8_t onDefault;
    uint8_t offDefault;
    uint8_t acceptedMasks; // bit m: mask m accepted
};
constexpr std::array<LampSubtype, 4> kSubtypes{{
    {3, 3, 0b1110}, // lamps 1 and 2
    {2, 2, 0b0100}, // lamp 2
    {1, 1, 0b0010}, // lamp 1
    {3, 0, 0b0000}, // none known
}};

void waitMs(uint32_t ms) {
    platform::sleepMs(ms);
}

// A power operation is done once the masked lamps report the wanted state:
// on, all of them; off, any of them.
bool lampsDone(uint16_t status, uint8_t mask, bool on) {
    const bool lamp1 = on ? (status & kLamp1Off) == 0 : (status & kLamp1Off) != 0;
    const bool lamp2 = on ? (status & kLamp2Off) == 0 : (status & kLamp2Off) != 0;
    switch (mask) {
    case 1:
        return lamp1;
    case 2:
        return lamp2;
    case 3:
        return on ? lamp1 && lamp2 : lamp1 || lamp2;
    default:
        return false;
    }
}

} // namespace

uint16_t FlashRateFromCode(uint8_t code) {
    constexpr std::array<uint16_t, 7> kSlowRates{250, 300, 400, 500, 600, 800, 1000};
    return code <= 248 ? static_cast<uint16_t>(code + 1) : kSlowRates[code - 249u];
}

bool CLightSourceModule::writeModule(uint8_t byte0, uint8_t byte1) {
    const std::array<uint8_t, 2> bytes{byte0, byte1};
    ErrorBoxOff boxOff;
    for (attempts_ = 1; attempts_ <= retries_; ++attempts_) {
        if (peripheralI2c().write1(static_cast<int32_t>(address_), bytes.data(), 2, interfaceId_) ==
            0) {
            return true;
        }
    }
    return false;
}

bool CLightSourceModule::readModule(uint8_t* bytes) {
    ErrorBoxOff boxOff;
    for (attempts_ = 1; attempts_ <= retries_; ++attempts_) {
        if (peripheralI2c().read1(static_cast<int32_t>(address_), bytes, 2, interfaceId_) == 0) {
            return true;
        }
    }
    return false;
}

uint8_t CLightSourceModule::ReadIdentification() {
    if (!hasAddress()) {
        return kLsNoAddress;
    }
    ErrorBoxOff boxOff;
    if (releaseBeforeRead_ != 0 && !writeModule(kPlain, kPlain)) {
        return kLsWriteFailed;
    }
    std::array<uint8_t, 2> bytes{};
    if (!readModule(bytes.data())) {
        return kLsReadFailed;
    }
    const uint8_t b0 = bytes[0];
    uint8_t b1 = bytes[1];
    type_ = b0 & 3;
    subtype_ = static_cast<uint8_t>((b0 & 0x18) >> 3);
    if (type_ == kFlashModule) {
        remote_ = (b0 & 0x40) != 0 ? 1 : 0;
        flashRateCode_ = static_cast<uint8_t>(255 - b1);
        return remote_ != 0 ? SetFlashCounter(flashCounter_) : kLsDone;
    }
    if (type_ == kUnknownModule) {
        return kLsNotSupported;
    }
    info_ = static_cast<uint8_t>((b0 & 0x60) >> 5);
    // Outputs that disagree with the lamps' states take the states over.
    if (((b1 & 0x40) != 0 && (b1 & 0x02) == 0) || ((b1 & 0x80) != 0 && (b1 & 0x01) == 0)) {
        b1 = static_cast<uint8_t>((b1 & 0x1F) | (b1 & 0x01) << 7 | (b1 & 0x02) << 5 |
                                  (b1 & 0x10) << 1);
    }
    control1_ = static_cast<uint8_t>(control1_ | b1 | kFixedOutputs);
    if (powerStateApplied_ == 0) {
        // The lamps that are on stay on, the others are switched off.
        const auto on = static_cast<uint8_t>(~((b1 & 0x02) >> 1 | (b1 & 0x01) << 1) & 3);
        if (on == 0) {
            PowerOff(3, 0);
        } else {
            PowerOn(on, 0);
        }
        powerStateApplied_ = 1;
    }
    const uint8_t tOs = WriteTos(tOs_);
    const uint8_t tHyst = WriteThyst(tHyst_);
    return tOs != kLsDone || tHyst != kLsDone ? kLsWriteFailed : kLsDone;
}

uint8_t CLightSourceModule::ReadStatus() {
    if (!hasAddress()) {
        return kLsNoAddress;
    }
    if (!IsLampModule()) {
        return kLsWrongType;
    }
    std::array<uint8_t, 2> bytes{};
    if (!writeModule(kPlain, control1_ | kFixedOutputs) || !readModule(bytes.data())) {
        return kLsReadFailed;
    }
    status_ = bytes[1];
    return kLsDone;
}

uint8_t CLightSourceModule::WriteControl() {
    if (!hasAddress()) {
        return kLsNoAddress;
    }
    if (!IsLampModule()) {
        return kLsWrongType;
    }
    control1_ |= kFixedOutputs;
    return writeModule(control0_, control1_) ? kLsDone : kLsWriteFailed;
}

uint8_t CLightSourceModule::GetStatus(uint16_t* status, uint8_t reread) {
    if (IsLampModule()) {
        if (reread != 0 && ReadStatus() != kLsDone) {
            return kLsReadFailed;
        }
    } else {
        status_ = remote_ != 0 ? kRemoteStatus : 0;
    }
    if (status != nullptr) {
        *status = status_;
    }
    return kLsDone;
}

uint8_t CLightSourceModule::GetShutterPosition(uint8_t* open) {
    if (!IsLampModule()) {
        return kLsWrongType;
    }
    if (ReadStatus() != kLsDone) {
        return kLsReadFailed;
    }
    if (open != nullptr) {
        *open = (status_ & kShutterOpen) != 0 ? 1 : 0;
    }
    return kLsDone;
}

uint8_t CLightSourceModule::PowerOn(uint8_t mask, uint32_t timeoutMs) {
    return switchLamps(mask, timeoutMs, true);
}

uint8_t CLightSourceModule::PowerOff(uint8_t mask, uint32_t timeoutMs) {
    return switchLamps(mask, timeoutMs, false);
}

uint8_t CLightSourceModule::switchLamps(uint8_t mask, uint32_t timeoutMs, bool on) {
    if (!hasAddress()) {
        return kLsNoAddress;
    }
    if (!IsLampModule()) {
        return kLsWrongType;
    }
    const LampSubtype& subtype = kSubtypes[subtype_ & 3];
    mask &= 3;
    if (mask == 0) {
        mask = on ? subtype.onDefault : subtype.offDefault;
    } else if ((subtype.acceptedMasks & (1u << mask)) == 0) {
        return kLsNotSupported;
    }
    const uint32_t limit = std::min(timeoutMs, kLampWaitLimitMs);
    // The wanted levels of the output bits 6 (lamp 1) and 7 (lamp 2), 0 = on.
    const auto wanted = static_cast<uint8_t>(on ? ~mask & 3 : mask);
    if (ReadStatus() != kLsDone) {
        return kLsReadFailed;
    }
    if ((status_ >> 6) != wanted) {
        control1_ |= kFixedOutputs;
        control1_ = on ? static_cast<uint8_t>(control1_ & (wanted << 6 | 0x3F))
                       : static_cast<uint8_t>(control1_ | mask << 6);
        if (!writeModule(control0_, control1_)) {
            return kLsWriteFailed;
        }
        if (on && (mask & 2) != 0 && powerStateApplied_ != 0) {
            waitMs(kLamp2SettleMs);
        }
        if (ReadStatus() != kLsDone) {
            return kLsReadFailed;
        }
    }
    if (timeoutMs == 0) {
        return kLsDone;
    }
    const uint32_t pollMs = on ? kLampOnPollMs : kLampOffPollMs;
    bool first = true;
    timer_.Start();
    while (true) {
        if (!first) {
            waitMs(pollMs);
            if (ReadStatus() != kLsDone) {
                return kLsReadFailed;
            }
        }
        if ((status_ & kAbortBit) != 0) {
            return kLsAborted;
        }
        if (lampsDone(status_, mask, on)) {
            return kLsDone;
        }
        if (!first && timer_.HasElapsed(static_cast<int32_t>(limit))) {
            return kLsTimeout;
        }
        first = false;
    }
}

uint8_t CLightSourceModule::OpenShutter(uint32_t timeoutMs) {
    return moveShutter(timeoutMs, true);
}

uint8_t CLightSourceModule::CloseShutter(uint32_t timeoutMs) {
    return moveShutter(timeoutMs, false);
}

uint8_t CLightSourceModule::moveShutter(uint32_t timeoutMs, bool open) {
    if (!hasAddress()) {
        return kLsNoAddress;
    }
    if (!IsLampModule()) {
        return kLsWrongType;
    }
    const uint32_t limit = std::min(timeoutMs, kShutterWaitLimitMs);
    if (ReadStatus() != kLsDone) {
        return kLsReadFailed;
    }
    const bool outputOpen = (status_ & kShutterOutputBack) != 0;
    if (outputOpen != open) {
        control1_ = open ? static_cast<uint8_t>(control1_ | kFixedOutputs | kShutterOutput)
                         : static_cast<uint8_t>((control1_ | kFixedOutputs) & ~kShutterOutput);
        if (!writeModule(control0_, control1_)) {
            return kLsWriteFailed;
        }
    }
    if (timeoutMs == 0) {
        return kLsDone;
    }
    uint8_t position = 0;
    if (GetShutterPosition(&position) != kLsDone) {
        return kLsReadFailed;
    }
    if ((position != 0) == open) {
        return kLsDone;
    }
    timer_.Start();
    while (true) {
        waitMs(kShutterPollMs);
        if (GetShutterPosition(&position) != kLsDone) {
            return kLsReadFailed;
        }
        if ((position != 0) == open) {
            return kLsDone;
        }
        if (timer_.HasElapsed(static_cast<int32_t>(limit))) {
            return kLsTimeout;
        }
    }
}

uint8_t CLightSourceModule::sensorAccess(uint8_t reg, uint8_t* value, bool write) {
    if (!IsLampModule()) {
        return kLsWrongType;
    }
    bool transferred = false;
    {
        ErrorBoxOff boxOff;
        if (!writeModule(kConnectSensor, control1_ | kFixedOutputs)) {
            return kLsWriteFailed;
        }
        waitMs(kSensorSettleMs);
        std::array<uint8_t, 2> bytes{write ? *value : uint8_t{0}, 0};
        for (attempts_ = 1; attempts_ <= retries_ && !transferred; ++attempts_) {
            transferred = (write ? peripheralI2c().writeN(kModuleSensorAddress, bytes.data(), reg,
                                                          2, interfaceId_)
                                 : peripheralI2c().readN(kModuleSensorAddress, bytes.data(), reg, 2,
                                                         interfaceId_)) == 0;
        }
        if (transferred && !write) {
            *value = bytes[0];
        }
    }
    // The control bytes again: the sensor leaves the shared address.
    if (WriteControl() != kLsDone) {
        return kLsWriteFailed;
    }
    waitMs(kSensorSettleMs);
    if (!transferred) {
        return write ? kLsWriteFailed : kLsReadFailed;
    }
    return kLsDone;
}

uint8_t CLightSourceModule::ReadActualTemperature(uint8_t* value) {
    return sensorAccess(kTemperatureRegister, value, false);
}

uint8_t CLightSourceModule::ReadTos(uint8_t* value) {
    return sensorAccess(kTosRegister, value, false);
}

uint8_t CLightSourceModule::ReadThyst(uint8_t* value) {
    return sensorAccess(kThystRegister, value, false);
}

uint8_t CLightSourceModule::WriteTos(uint8_t value) {
    return sensorAccess(kTosRegister, &value, true);
}

uint8_t CLightSourceModule::WriteThyst(uint8_t value) {
    return sensorAccess(kThystRegister, &value, true);
}

uint8_t CLightSourceModule::SavePowerStatus() {
    if (type_ != kLampModuleWithMemory) {
        return kLsWrongType;
    }
    control0_ &= static_cast<uint8_t>(~kSavePowerStateBit);
    control1_ |= kFixedOutputs;
    const bool saved = writeModule(control0_, control1_);
    // The bit comes back on every path: left clear, every later control
    // write would save the power state again.
    control0_ |= kSavePowerStateBit;
    if (!saved) {
        return kLsWriteFailed;
    }
    waitMs(kPowerStateSaveMs);
    return writeModule(control0_, control1_) ? kLsDone : kLsWriteFailed;
}

uint8_t CLightSourceModule::ReadFlashRate(uint16_t* ms) {
    if (type_ != kFlashModule) {
        return kLsWrongType;
    }
    if (ms == nullptr) {
        return kLsNotSupported;
    }
    if (const uint8_t result = ReadIdentification(); result != kLsDone) {
        return result;
    }
    *ms = FlashRateFromCode(flashRateCode_);
    return kLsDone;
}

uint8_t CLightSourceModule::SetFlashCounter(uint8_t count) {
    if (type_ != kFlashModule) {
        return kLsWrongType;
    }
    if (remote_ == 0) {
        return kLsNotRemote;
    }
    const bool written = writeModule(kSetFlashCounter, static_cast<uint8_t>(256 - count));
    releaseBeforeRead_ = 1;
    if (!written) {
        return kLsWriteFailed;
    }
    flashCounter_ = count;
    return kLsDone;
}

std::string CLightSourceModule::GetModuleNameText() const {
    return dorvel::GetLightSourceNameText(type_);
}

std::string CLightSourceModule::GetModuleTypeText() const {
    return dorvel::GetLightSourceTypeText(type_, subtype_);
}

std::string CLightSourceModule::GetAssemblyText() const {
    return dorvel::GetLightSourceAssemblyText(type_, subtype_, info_);
}

int32_t ReportLightSourceResult(uint8_t result, uint32_t interfaceId) {
    struct Mapping {
        int32_t level;
        int32_t code;
        int32_t info;
    };
    Mapping mapping{KORAL_LEVEL_NOT_DONE, 0, 0};
    switch (result) {
    case kLsDone:
        return 0;
    case kLsNoAddress:
        mapping = {KORAL_LEVEL_NOT_DONE, code::kNotAvailable, 0};
        break;
    case kLsReadFailed:
        mapping = {KORAL_LEVEL_NOT_DONE, 308, 0}; // "I2C ERROR READ DATA"
        break;
    case kLsWriteFailed:
        mapping = {KORAL_LEVEL_NOT_DONE, 307, 0}; // "I2C ERROR WRITE DATA"
        break;
    case kLsTimeout:
        mapping = {KORAL_LEVEL_NOT_DONE, 401, 0}; // "TIMEOUT COMMAND"
        break;
    case kLsNotSupported:
        mapping = {KORAL_LEVEL_IGNORED, code::kInvalidParameter, code::kFunctionNotSupported};
        break;
    case kLsAborted:
        mapping = {KORAL_LEVEL_NOT_DONE, code::kAborted, 0};
        break;
    default:
        break;
    }
    recordError(static_cast<int32_t>(interfaceId), mapping.level, mapping.code, mapping.info);
    return -1;
}

CLightSourceModule* componentAt(const DeviceSlot& slot, int32_t position) {
    if (position < 1 || position >= static_cast<int32_t>(kComponentPositions)) {
        return nullptr;
    }
    return slot.components[static_cast<size_t>(position)].get();
}

namespace {

bool presentModule(const DeviceSlot& slot, int32_t position, bool flash) {
    const CLightSourceModule* module = componentAt(slot, position);
    if (module == nullptr || slot.componentFlags[static_cast<size_t>(position)] == 0) {
        return false;
    }
    return flash ? module->GetModuleType() == kFlashModule : module->IsLampModule();
}

} // namespace

bool SlotHasLightSourceModule(int32_t interfaceId, int32_t kind) {
    if (kind != 0 && kind != 1 && kind != 2) {
        return false;
    }
    const bool flash = kind == 1;
    std::lock_guard guard(deviceLock());
    const int32_t first = interfaceId == 0 ? 1 : interfaceId;
    const int32_t last = interfaceId == 0 ? kMaxInterfaceId : interfaceId;
    for (int32_t id = first; id <= last; ++id) {
        const DeviceSlot* slot = deviceSlot(id);
        if (slot == nullptr || (flash ? slot->flashModuleCount : slot->lampModuleCount) == 0) {
            continue;
        }
        for (int32_t i = 1; i <= slot->componentCount; ++i) {
            if (presentModule(*slot, i, flash)) {
                return true;
            }
        }
    }
    return false;
}

namespace {

CLightSourceModule* remoteFlashModule(int32_t interfaceId) {
    const DeviceSlot* slot = interfaceId > 0 ? deviceSlot(interfaceId) : nullptr;
    if (slot == nullptr || slot->flashModuleCount == 0 || !presentModule(*slot, 1, true)) {
        return nullptr;
    }
    CLightSourceModule* module = componentAt(*slot, 1);
    return module->IsRemoteParameterized() != 0 ? module : nullptr;
}

} // namespace

bool RemoteFlashRate(int32_t interfaceId, uint16_t* rateMs) {
    std::lock_guard guard(deviceLock());
    CLightSourceModule* module = remoteFlashModule(interfaceId);
    return module != nullptr && module->ReadFlashRate(rateMs) == kLsDone;
}

uint8_t RemoteFlashCounter(int32_t interfaceId) {
    std::lock_guard guard(deviceLock());
    const CLightSourceModule* module = remoteFlashModule(interfaceId);
    return module != nullptr ? module->GetFlashCounter() : 0;
}

int32_t RestoreRemoteFlashCounter(int32_t interfaceId, uint8_t count) {
    std::lock_guard guard(deviceLock());
    CLightSourceModule* module = remoteFlashModule(interfaceId);
    return module != nullptr && module->SetFlashCounter(count) == kLsDone ? 0 : -1;
}

int32_t SetRemoteFlashCounter(int32_t interfaceId, int32_t position, int32_t count) {
    return KORAL_LS_SetFlashCounter(static_cast<uint32_t>(interfaceId), position, count);
}

bool LampComponentPresent(int32_t interfaceId, int32_t component) {
    std::lock_guard guard(deviceLock());
    const DeviceSlot* slot = interfaceId > 0 ? deviceSlot(interfaceId) : nullptr;
    return slot != nullptr && presentModule(*slot, component, false);
}

} // namespace tarvik
