// The parameter set of the serial electronics: the settings and parameter
// blocks built from the slot, the sequences that send them and start the
// electronics, and the senders of the work modes.

#include "serial/qre_device.h"

#include "core/last_error.h"
#include "core/library_state.h"
#include "serial/qre_link.h"
#include "serial/qre_module.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace tarvik {
namespace {

constexpr uint32_t kOperatingModeScan = 18;
constexpr uint32_t kOperatingModeTriggered = 1;
constexpr uint32_t kOperatingModeContinuous = 4;
constexpr uint32_t kOperatingModeContinuousOld = 34;
constexpr uint32_t kTriggerPulse = 1;
constexpr uint32_t kTriggerSlope = 2;
constexpr uint16_t kFirmwareWorkMode3New = 315; // above 314: the newer work-mode 3 record

// Status block bytes the sequences wait on.
constexpr size_t kStateByte = 17;
constexpr int32_t kReadyLimitMs = 2000;

// Parameter block fields.
constexpr size_t kSensorCode = 4;
constexpr size_t kMuxCode = 5;
constexpr size_t kOptionBits = 6;
constexpr uint8_t kReportWarnings = 0x02;
constexpr size_t kSensorValues[] = {16, 40};
constexpr size_t kPixelCounts[] = {18, 42};

constinit bool g_settingsMarked = false;

uint16_t readU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint32_t readU32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void writeU16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

// The steps of one sequence, numbered as they run.
class Sequence {
public:
    // The exchange as the next step, judged by the class: true when it passed.
    bool run(int32_t (*exchange)(), int32_t errorClass) {
        ++number_;
        return again(exchange, errorClass);
    }
    // The same step once more (a poll).
    static bool again(int32_t (*exchange)(), int32_t errorClass) {
        exchange();
        return CheckQreErrors(errorClass) == 0;
    }
    int32_t failure() const { return -number_; }

    // Reads the status block until done(state byte) holds; `code` goes into
    // the list once limitMs have passed. Every read is judged with class 1.
    template <class Done> bool pollState(Done done, int32_t limitMs, int32_t code) {
        ++number_;
        const int32_t start = GetQreClock();
        for (;;) {
            if (!again(ReadQreBlock10, 1)) {
                return false;
            }
            const QreLinkModule* link = qreLink();
            if (link->current.version != nullptr && done(link->current.version[kStateByte])) {
                return true;
            }
            if (GetQreElapsedMs(start) > limitMs) {
                PushQreError(code);
                if (CheckQreErrors(1) != 0) {
                    return false;
                }
            }
        }
    }

private:
    int32_t number_ = 0;
};

// Command 14, command 6 (judged with `class6`), the two blocks and command 4
// when `always` or something changed, and after a parameter change both
// blocks read back (when `readBack`).
bool sendBlocks(Sequence& q, int32_t changed, bool always, bool readBack, int32_t class6) {
    if (!q.run(SendQreCommand14, 2) || !q.run(SendQreCommand6, class6)) {
        return false;
    }
    if (!always && changed == 0) {
        return true;
    }
    if (!q.run(WriteQreBlock6, 2) || !q.run(WriteQreBlock9, 2) || !q.run(SendQreCommand4, 2)) {
        return false;
    }
    if (readBack && changed == 2) {
        return q.run(ReadQreBlock9, 2) && q.run(ReadQreBlock6, 2);
    }
    return true;
}

// Command 7 and the start (command 5).
bool start(Sequence& q) {
    return q.run(SendQreCommand7, 2) && q.run(SendQreCommand5, 1);
}

void setAverage(uint8_t value) {
    if (QreLinkModule* link = qreLink(); link != nullptr && link->current.settings != nullptr) {
        link->current.settings[kQreSettingsAverage] = value;
    }
}

bool selectedSlot(DeviceSlot*& slot) {
    slot = actualSlot();
    if (slot == nullptr || !slot->qre.blocks) {
        recordError(actualInterfaceId(), KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                    code::kInvalidUse);
        return false;
    }
    return true;
}

// Builds the parameter set, runs the sequence with its change result and
// recovers after a failure: 0 sent, -1 with the record written.
int32_t sendParameterSet(DeviceSlot& slot, int32_t (*sequence)(int32_t changed)) {
    QreSlotBlocks& blocks = *slot.qre.blocks;
    const auto settings = blocks.settings;
    const auto parameter = blocks.parameter;
    if (sequence(BuildQreParameterBlocks()) == 1) {
        return 0;
    }
    // The blocks go back to what the electronics had, so the next send sees
    // the change again.
    blocks.settings = settings;
    blocks.parameter = parameter;
    return RecoverQreFailure();
}

void markContinuousRunning() {
    if (DeviceSlot* slot = actualSlot()) {
        slot->qre.continuousRunning = true;
    }
}

int32_t continuousSequence(int32_t changed) {
    const DeviceSlot* slot = actualSlot();
    return slot->qre.averageNumber < 2 ? StartQreContinuous(changed, 0)
                                       : StartQreContinuousAveraged(changed);
}

int32_t sendWorkMode(bool deletingTime, uint32_t operatingMode, uint32_t trigger,
                     int32_t (*sequence)(int32_t)) {
    DeviceSlot* slot = nullptr;
    if (!selectedSlot(slot)) {
        return -1;
    }
    SelectQreActualSlot();
    QreSlotRecord& r = slot->qre;
    r.integrationTime =
        deletingTime ? slot->deletingIntegrationTime : slot->acquisitionIntegrationTime;
    r.operatingMode = operatingMode;
    r.triggerKind = trigger;
    return sendParameterSet(*slot, sequence);
}

uint8_t sensorValue(uint32_t sensorType) {
    switch (sensorType) {
    case 18:
    case 19:
        return 5;
    case 20:
        return 3;
    default:
        return static_cast<uint8_t>(sensorType);
    }
}

uint8_t muxCode(uint32_t muxType) {
    switch (muxType) {
    case 1:
        return 1;
    case 2:
    case 4:
        return 2;
    case 3:
        return 3;
    default:
        return 0;
    }
}

} // namespace

int32_t SendQreParameterSet(int32_t (*sequence)(int32_t changed)) {
    DeviceSlot* slot = nullptr;
    return selectedSlot(slot) ? sendParameterSet(*slot, sequence) : -1;
}

void MarkQreSettingsChanged() {
    g_settingsMarked = true;
}

int32_t BuildQreParameterBlocks() {
    DeviceSlot* slot = actualSlot();
    if (slot == nullptr || !slot->qre.blocks) {
        return 0;
    }
    uint8_t* s = slot->qre.blocks->settings.data();
    uint8_t* p = slot->qre.blocks->parameter.data();
    const QreSlotRecord& r = slot->qre;
    int32_t result = std::exchange(g_settingsMarked, false) ? 1 : 0;
    auto store = [&result](uint8_t* at, uint32_t value, int32_t change) {
        const auto byte = static_cast<uint8_t>(value);
        if (*at != byte) {
            *at = byte;
            result = std::max(result, change);
        }
    };
    store(s + kQreSettingsMuxMode, r.muxModeIndex, 1);
    if (readU32(s + kQreSettingsIntegrationTime) != r.integrationTime) {
        for (size_t i = 0; i < 4; ++i) {
            s[kQreSettingsIntegrationTime + i] = static_cast<uint8_t>(r.integrationTime >> (8 * i));
        }
        result = 1;
    }
    store(s + kQreSettingsMuxChannel, r.muxChannelIndex, 1);
    store(s + kQreSettingsFlash, r.flashMode, 1);
    store(s + kQreSettingsTrigger, r.triggerKind, 1);
    store(s + kQreSettingsOperatingMode, r.operatingMode, 1);
    store(s + kQreSettingsRepeat, r.repeatFactor, 1);
    store(s + kQreSettingsAverage, r.averageNumber, 1);

    // The front end's code says what the electronics makes of the sensor.
    const uint32_t code = slot->frontEndType;
    const uint32_t sensor = slot->sensorType[0] & 0xFFFF;
    uint8_t sensorCode = static_cast<uint8_t>(code);
    int32_t values = -1; // -1 unchanged
    switch (code) {
    case 0:
    case 2:
    case 3:
        values = 0;
        break;
    case 1:
        values = sensorValue(sensor);
        break;
    case 6:
        values = static_cast<int32_t>(sensor);
        break;
    default:
        sensorCode = static_cast<uint8_t>(code & 0xFF);
        break;
    }
    store(p + kSensorCode, sensorCode, 2);
    if (values >= 0) {
        for (const size_t at : kSensorValues) {
            writeU16(p + at, static_cast<uint16_t>(values));
        }
    }
    uint8_t mux = muxCode(slot->muxType);
    if (s[kQreSettingsMuxChannel] == 0 && s[kQreSettingsMuxMode] == 1) {
        mux = 0;
    }
    store(p + kMuxCode, mux, 2);
    const uint8_t options = slot->warningFlag == 1 ? p[kOptionBits] | kReportWarnings
                                                   : p[kOptionBits] & ~kReportWarnings;
    store(p + kOptionBits, options, 2);
    for (const size_t at : kPixelCounts) {
        writeU16(p + at, slot->block()->NumberPixel2);
    }
    return result;
}

int32_t EstimateQreMeasurementTime(int32_t averaged) {
    // The actual slot's own blocks: the link's current pointers may belong
    // to another slot, or to none.
    const DeviceSlot* slot = actualSlot();
    return slot != nullptr && slot->qre.blocks
               ? EstimateQreMeasurementTimeOf(*slot->qre.blocks, averaged)
               : 0;
}

int32_t EstimateQreMeasurementTimeOf(const QreSlotBlocks& blocks, int32_t averaged) {
    const uint8_t* s = blocks.settings.data();
    const uint8_t* p = blocks.parameter.data();
    const uint8_t mode = s[kQreSettingsOperatingMode];
    const bool factored = (mode == 1 || mode == 4 || mode == 34) && s[kQreSettingsTimeFactor] > 1;
    const int64_t factor = factored ? s[kQreSettingsTimeFactor] : 1;
    int64_t readout = static_cast<int64_t>(readU16(p + kPixelCounts[0])) * 1000;
    if (s[kQreSettingsMuxMode] == 1) {
        readout *= s[kQreSettingsMuxChannel] + 1;
    }
    const int64_t minimum = readout / 25 * 2;
    const int64_t multiplier = averaged == 1 && s[kQreSettingsAverage] != 0 ? s[kQreSettingsAverage]
                                                                            : s[kQreSettingsRepeat];
    const int64_t time = readU32(s + kQreSettingsIntegrationTime);
    int64_t t = 0;
    if (time < minimum) {
        t = static_cast<int64_t>(
            std::trunc((static_cast<double>(time * factor) / 1000.0 * 3.0 + 20.0) *
                           static_cast<double>(multiplier) +
                       2000.0));
    } else {
        t = time * factor / 1000 * multiplier + 2000;
    }
    const int64_t estimate = factor < 2 ? t * 4 : static_cast<int64_t>(t * 2.5);
    return static_cast<int32_t>(std::min<int64_t>(estimate, INT32_MAX));
}

int32_t SendQreCleaningParameters(int32_t changed) {
    Sequence q;
    if (!sendBlocks(q, changed, true, true, 2) || !start(q) || !q.run(ReadQreBlock10, 1)) {
        return q.failure();
    }
    return 1;
}

int32_t SendQreParametersAndWaitReady(int32_t changed) {
    Sequence q;
    if (!sendBlocks(q, changed, false, false, 1) ||
        !q.pollState([](uint8_t state) { return state != 0; }, kReadyLimitMs,
                     qre::kErrTimeoutQreReady)) {
        return q.failure();
    }
    return 1;
}

int32_t StartQreContinuous(int32_t changed, int32_t noWait) {
    setAverage(0);
    Sequence q;
    if (!sendBlocks(q, changed, true, true, 2) || !start(q)) {
        return q.failure();
    }
    if (noWait != 1 && !q.pollState([](uint8_t state) { return state != 1; },
                                    EstimateQreMeasurementTime(0), qre::kErrTimeoutQreReady)) {
        return q.failure();
    }
    markContinuousRunning();
    return 1;
}

int32_t StartQreContinuousAveraged(int32_t changed) {
    Sequence q;
    if (!sendBlocks(q, changed, true, true, 2) || !start(q) ||
        !q.pollState([](uint8_t state) { return state != 1; }, EstimateQreMeasurementTime(1),
                     qre::kErrTimeoutQreReady)) {
        return q.failure();
    }
    markContinuousRunning();
    return 1;
}

int32_t SendQreWorkModeParameters() {
    DeviceSlot* slot = actualSlot();
    if (slot == nullptr) {
        recordError(actualInterfaceId(), KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
        return -1;
    }
    SelectQreActualSlot();
    switch (slot->block()->WorkMode) {
    case 1:
        return SendQreParametersWorkMode1();
    case 2:
        return SendQreParametersWorkMode2();
    case 3:
        return slot->qre.firmwareVersion() >= kFirmwareWorkMode3New
                   ? SendQreParametersWorkMode3New()
                   : SendQreParametersWorkMode3();
    case 6:
        return SendQreParametersWorkMode3();
    case 4:
        return SendQreParametersWorkMode4();
    case 5:
        return SendQreParametersWorkMode5();
    default:
        recordError(actualInterfaceId(), KORAL_LEVEL_NOT_DONE, code::kInvalidParameter,
                    code::kInvalidWorkMode);
        return -1;
    }
}

int32_t SendQreParametersWorkMode1() {
    return sendWorkMode(true, kOperatingModeScan, 0, SendQreCleaningParameters);
}

int32_t SendQreParametersWorkMode2() {
    return sendWorkMode(false, kOperatingModeScan, 0, SendQreParametersAndWaitReady);
}

int32_t SendQreParametersWorkMode3() {
    return sendWorkMode(false, kOperatingModeContinuousOld, 0, continuousSequence);
}

int32_t SendQreParametersWorkMode3New() {
    return sendWorkMode(false, kOperatingModeContinuous, 0, continuousSequence);
}

int32_t SendQreParametersWorkMode4() {
    return sendWorkMode(false, kOperatingModeTriggered, kTriggerSlope,
                        SendQreParametersAndWaitReady);
}

int32_t SendQreParametersWorkMode5() {
    return sendWorkMode(false, kOperatingModeTriggered, kTriggerPulse,
                        SendQreParametersAndWaitReady);
}

} // namespace tarvik
