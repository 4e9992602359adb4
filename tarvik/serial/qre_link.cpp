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

bool inClasses(int32_t errorClass, std::initializer_list<int32_t> classes) {
    return std::find(classes.begin(), classes.end(), errorClass) != classes.end();
}

// What the electronics' link status word reports of a failed exchange.
bool isExchangeFailure(int32_t code) {
    return code == qre::kErrComRepeatLimit || code == qre::kErrTimeoutQreReady ||
           code == qre::kErrTimeoutDataReady;
}

// The first entry of the list that marks a failed exchange (a port that
// failed under it among them); 0 none.
int32_t firstExchangeFailure(const QreErrorList& list) {
    for (int16_t i = 1; i <= list.count(); ++i) {
        const int16_t code = list.entry(static_cast<size_t>(i));
        if (isExchangeFailure(code) || code == qre::kErrComPortNotAvailable) {
            return code;
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

int32_t WaitMuxSwitchDelay(int32_t interfaceId, int32_t delayMs, int32_t waitFlag) {
    int32_t delay = delayMs;
    const DeviceSlot* slot = deviceSlot(interfaceId);
    const LibraryState* state = libraryState();
    const uint16_t workMode = slot != nullptr ? slot->block()->WorkMode : 0;
    // The slot's own blocks: the link's current ones may be another slot's.
    const QreSlotBlocks* blocks = slot != nullptr ? slot->qre.blocks.get() : nullptr;
    const uint16_t firmware = slot != nullptr ? slot->qre.firmwareVersion() : 0;
    if (workMode == 6 || (workMode == 3 && firmware < kFirmwareMuxWait)) {
        // Long enough for the continuous scan to run through with the new
        // channel.
        const double t = blocks != nullptr ? EstimateQreMeasurementTimeOf(*blocks, 1) : 0;
        const auto k = static_cast<int32_t>(kMuxDelayCycles *
                                            static_cast<int64_t>(2.0 * (t / 4.0 - 2000.0) + 200.0));
        delay = std::max(delay, k);
    } else if (workMode != 3 && state != nullptr) {
        delay = state->mux7wenDelayTime;
    }
    if (waitFlag != 0 && delay >= 1) {
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

} // namespace tarvik
