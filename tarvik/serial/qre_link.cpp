#include "serial/qre_link.h"

#include "serial/qre_device.h"

#include "core/last_error.h"
#include "core/library_state.h"

#include "platform/clock.h"

#include <algorithm>
#include <cerrno>
#include <iterator>

namespace tarvik {
namespace {

constexpr uint32_t kMaxIntegrationTimeUs = 6500000;
constexpr uint32_t kMinIntegrationTimeUs = 10;
// Times the board takes directly as microsecond counts.
constexpr uint32_t kIntegrationSteps[] = {10, 20, 50, 100, 500, 1000, 2000, 4000, 20000};

constexpr uint16_t kFirmwareMuxWait = 315; // below: the switch delay covers five cycles
constexpr int32_t kMuxDelayCycles = 5;

// The I2C transfer block (type 11).
constexpr size_t kI2cRequestByte = 6;
constexpr size_t kI2cStatusByte = 7;
constexpr uint8_t kI2cRequest = 1;
constexpr uint8_t kI2cDone = 255;
constexpr uint32_t kI2cPollMs = 60;
constexpr int32_t kI2cAnswerLimitMs = 2000;

// The status block's digital inputs and warning byte.
constexpr size_t kInputByte = 16;
constexpr size_t kWarningByte = 21;

// Multiplexer types of the interface board image.
constexpr uint8_t kMuxKrd = 7;
constexpr uint8_t kMuxKrl = 9;
constexpr size_t kInterfaceMuxTypeByte = 18;
constexpr size_t kInterfaceMuxConfigByte = 19;
constexpr size_t kMuxImageOffset = 512;

uint16_t readU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

// The acquisition is not built over the link yet: it ends as a failed
// transfer does, with the error list and the record.
int32_t failTransfer() {
    PushQreError(qre::kErrComPortNotAvailable);
    recordError(actualInterfaceId(), KORAL_LEVEL_HARDWARE, qre::kErrComPortNotAvailable, 0);
    return -1;
}

bool inClasses(int32_t errorClass, std::initializer_list<int32_t> classes) {
    return std::find(classes.begin(), classes.end(), errorClass) != classes.end();
}

bool isExchangeFailure(int32_t code) {
    return code == qre::kErrComRepeatLimit || code == qre::kErrTimeoutQreReady ||
           code == qre::kErrTimeoutDataReady;
}

// The first entry of the list that marks a failed exchange; 0 none.
int32_t firstExchangeFailure(const QreErrorList& list) {
    for (int16_t i = 1; i <= list.count(); ++i) {
        if (isExchangeFailure(list.entry(static_cast<size_t>(i)))) {
            return list.entry(static_cast<size_t>(i));
        }
    }
    return 0;
}

bool holdsPortError(const QreErrorList& list) {
    for (int16_t i = 1; i <= list.count(); ++i) {
        const int16_t code = list.entry(static_cast<size_t>(i));
        if (code >= qre::kErrPortWrite && code <= qre::kErrPortClose) {
            return true;
        }
    }
    return false;
}

// The actual slot's status block words (0 without a slot or blocks).
int16_t linkStatus() {
    const DeviceSlot* slot = actualSlot();
    return slot != nullptr ? slot->qre.statusWord() : 0;
}

int16_t deviceError() {
    const DeviceSlot* slot = actualSlot();
    return slot != nullptr ? slot->qre.deviceStatusWord() : 0;
}

// Points the link at the actual slot: its RS485 address and its blocks.
void selectActualSlot() {
    if (const DeviceSlot* slot = actualSlot()) {
        SetQreDestination(static_cast<uint8_t>(slot->qre.interfaceId));
        SelectQreSlotBuffers(actualInterfaceId());
    }
}

} // namespace

QreOperationStandIns& qreOperationStandIns() {
    static QreOperationStandIns standIns;
    return standIns;
}

bool ClampIntegrationTime(uint32_t* time, uint32_t* maximum, uint32_t* minimum) {
    if (maximum != nullptr) {
        *maximum = kMaxIntegrationTimeUs;
    }
    if (minimum != nullptr) {
        *minimum = kMinIntegrationTimeUs;
    }
    if (time == nullptr) {
        return false;
    }
    constexpr uint32_t kLastStep = std::end(kIntegrationSteps)[-1];
    if (*time <= kMinIntegrationTimeUs) {
        *time = kMinIntegrationTimeUs;
        return true;
    }
    if (*time == kLastStep) {
        return true;
    }
    if (*time > kMaxIntegrationTimeUs) {
        *time = kMaxIntegrationTimeUs;
        return false;
    }
    if (*time > kLastStep) {
        return false;
    }
    // Between two steps: the nearer one, the larger on a tie.
    const uint32_t* upper =
        std::lower_bound(std::begin(kIntegrationSteps), std::end(kIntegrationSteps), *time);
    const uint32_t high = *upper;
    const uint32_t low = upper[-1];
    *time = (*time - low < high - *time) ? low : high;
    return true;
}

int32_t AcquireQreSpectra(int32_t interfaceId) {
    bool any = false;
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        const DeviceSlot* slot = deviceSlot(id);
        if (slot == nullptr || (interfaceId != 0 && id != interfaceId) || slot->active == 0) {
            continue;
        }
        if (slot->initialised == 0) {
            recordError(id, KORAL_LEVEL_NOT_DONE, code::kNotInitialized, 0);
            return -1;
        }
        any = true;
    }
    return any ? failTransfer() : 0;
}

int32_t WaitMuxSwitchDelay(int32_t interfaceId, int32_t delayMs, int32_t waitFlag) {
    int32_t delay = delayMs;
    if (const DeviceSlot* slot = deviceSlot(interfaceId); slot && slot->boardType == kTypeSerial) {
        const uint16_t workMode = slot->block()->WorkMode;
        if (workMode == 6 || (workMode == 3 && slot->qre.firmwareVersion() < kFirmwareMuxWait)) {
            delay = std::max<int32_t>(delay, kMuxDelayCycles *
                                                 static_cast<int32_t>(slot->qre.cycleTimeMs));
        }
    }
    if (waitFlag == 1 && delay >= 1) {
        QreWaitMs(static_cast<uint32_t>(delay));
    }
    return delay;
}

namespace {

// Output 2 of the settings block to `outputs`, written to the electronics;
// the old value stays after a failure.
int32_t writeOutput2(uint8_t outputs) {
    DeviceSlot* slot = actualSlot();
    if (slot == nullptr || !slot->qre.blocks) {
        recordError(actualInterfaceId(), KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                    code::kInvalidUse);
        return -1;
    }
    uint8_t& byte = slot->qre.blocks->settings[kQreSettingsOutputs];
    const uint8_t kept = byte;
    byte = outputs;
    SelectQreActualSlot();
    if (WriteQreDigitalOutputs() == 1) {
        return 0;
    }
    byte = kept;
    return RecoverQreFailure();
}

uint8_t outputs() {
    const DeviceSlot* slot = actualSlot();
    return slot != nullptr && slot->qre.blocks ? slot->qre.blocks->settings[kQreSettingsOutputs]
                                               : 0;
}

} // namespace

int32_t SetQreDigitalOutput2() {
    return writeOutput2(static_cast<uint8_t>((outputs() & 3) | 2));
}

int32_t ClearQreDigitalOutput2() {
    return writeOutput2(static_cast<uint8_t>(outputs() & 1));
}

int32_t GetQreDigitalInput1() {
    DeviceSlot* slot = actualSlot();
    if (slot == nullptr || !slot->qre.blocks) {
        recordError(actualInterfaceId(), KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                    code::kInvalidUse);
        return -1;
    }
    SelectQreActualSlot();
    if (ReadQreStatus() != 1 && RecoverQreFailure() != 0) {
        return -1;
    }
    slot->block()->DigitalInputWord = static_cast<uint32_t>(slot->qre.blocks->version[kInputByte])
                                      << 16;
    return 0;
}

int16_t RunQreI2cTransfer() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return -1;
    }
    selectActualSlot();
    ClearQreErrorList();
    SendQreCommand14();
    if (CheckQreErrors(2) != 0) {
        return -1;
    }
    auto& block = link->i2cTransfer;
    block[kI2cRequestByte] = kI2cRequest;
    WriteQreBlock11();
    if (CheckQreErrors(1) != 0) {
        return -2;
    }
    QreWaitMs(kI2cPollMs);
    ReadQreBlock11();
    if (CheckQreErrors(1) != 0) {
        return -3;
    }
    const int32_t start = GetQreClock();
    while (block[kI2cRequestByte] != kI2cDone) {
        ReadQreBlock11();
        if (GetQreElapsedMs(start) > kI2cAnswerLimitMs) {
            PushQreError(qre::kErrTimeoutDataReady);
        }
        if (CheckQreErrors(1) != 0) {
            return -4;
        }
        QreWaitMs(kI2cPollMs);
    }
    return 1;
}

int32_t CheckQreErrors(int32_t errorClass) {
    const QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    const QreErrorList& list = link->errors;
    if (list.hasError() && list.holds(qre::kErrFirmwareNotCorrect)) {
        return 1;
    }
    if (inClasses(errorClass, {2, 6}) && list.hasError() && holdsPortError(list)) {
        return 1;
    }
    if (inClasses(errorClass, {1, 2, 3}) && list.hasError() && firstExchangeFailure(list) != 0) {
        return 1;
    }
    if (inClasses(errorClass, {1, 2, 5}) && isExchangeFailure(linkStatus())) {
        return 1;
    }
    if (inClasses(errorClass, {1, 4}) && deviceError() != 0) {
        return 1;
    }
    return 0;
}

int32_t ReportQreErrors(int32_t errorClass) {
    const QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    const int32_t id = actualInterfaceId();
    auto report = [id](int32_t level, int32_t code) {
        recordError(id, level, code, 0);
        return 1;
    };
    const QreErrorList& list = link->errors;
    if (list.hasError() && list.holds(qre::kErrFirmwareNotCorrect)) {
        return report(KORAL_LEVEL_HARDWARE, qre::kErrFirmwareNotCorrect);
    }
    if (inClasses(errorClass, {1, 2, 3}) && list.hasError()) {
        if (const int32_t code = firstExchangeFailure(list); code != 0) {
            return report(KORAL_LEVEL_HARDWARE, code);
        }
    }
    if (inClasses(errorClass, {1, 2, 5})) {
        for (const int32_t code :
             {qre::kErrComRepeatLimit, qre::kErrTimeoutQreReady, qre::kErrTimeoutDataReady}) {
            if (linkStatus() == code) {
                return report(KORAL_LEVEL_HARDWARE, code);
            }
        }
    }
    if (inClasses(errorClass, {1, 4}) && deviceError() != 0) {
        return report(KORAL_LEVEL_HARDWARE, deviceError());
    }
    if (errorClass == 7) {
        if (const auto status = static_cast<int8_t>(link->i2cTransfer[kI2cStatusByte]);
            status != 0) {
            return report(KORAL_LEVEL_HARDWARE, status);
        }
    }
    if (errorClass == 8) {
        const DeviceSlot* slot = actualSlot();
        const uint8_t warning =
            slot != nullptr && slot->qre.blocks ? slot->qre.blocks->version[kWarningByte] : 0;
        if (warning != 0) {
            const int32_t code =
                warning == 198 || warning == 199 ? warning : lastErrorRecord().code;
            return report(KORAL_LEVEL_WARNING_PIXELS, code);
        }
    }
    return 0;
}

int32_t OpenMuxPort(int32_t /*interfaceId*/) {
    return ENOENT;
}

int32_t CloseMuxPort(int32_t interfaceId) {
    if (DeviceSlot* slot = deviceSlot(interfaceId)) {
        slot->serialMuxPort = kNoSerialPort;
        slot->serialMuxPortNumber = 0;
        slot->serialMuxConfiguration = 0;
    }
    return 0;
}

int32_t SelectMuxChannelSerial(int32_t channel, int32_t interfaceId) {
    const auto& standIn = qreOperationStandIns().selectMuxChannel;
    if (!standIn) {
        return ENOENT;
    }
    const int32_t result = standIn(channel, interfaceId);
    if (result == 0) {
        if (DeviceSlot* slot = deviceSlot(interfaceId)) {
            slot->muxChannel = static_cast<uint8_t>(channel);
        }
    }
    return result;
}

int32_t GetSerialMuxChannelCount(int32_t interfaceId) {
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return 0;
    }
    const uint8_t type = slot->configuration[kInterfaceMuxTypeByte];
    const uint8_t assembly = slot->configuration[kInterfaceMuxConfigByte] >> 4;
    if (type == kMuxKrd) {
        constexpr int32_t kChannels[] = {0, 3, 4, 6, 8};
        return assembly >= 1 && assembly <= 4 ? kChannels[assembly] : 0;
    }
    if (type == kMuxKrl) {
        switch (assembly) {
        case 0:
        case 3:
        case 4:
        case 5:
            return 8;
        case 1:
        case 6:
            return 2;
        case 2:
            return 4;
        default:
            return 0;
        }
    }
    return 0;
}

int32_t GetConfigVariantCode(int32_t interfaceId) {
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return 0;
    }
    const uint8_t* image = slot->configuration.data() + kMuxImageOffset;
    if (readU16(image + 6) != 8) {
        return 0;
    }
    switch (readU16(image + 8) & 0x0FFF) {
    case 0:
        return 2;
    case 1:
        return 3;
    case 2:
        return 5;
    default:
        return 0;
    }
}

} // namespace tarvik
