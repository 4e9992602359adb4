// Spectra from the serial electronics: the scans of the six work modes on one
// slot or on all of them, the exchanges that prepare and start them, the
// readers of the continuous scan, and the copy of the spectrum into the
// slot's request block.

#include "serial/qre_acquire.h"

#include "serial/qre_device.h"

#include "core/last_error.h"
#include "core/library_state.h"
#include "serial/qre_link.h"
#include "serial/qre_module.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tarvik {
namespace {

constexpr uint32_t kOperatingModeScan = 18;
constexpr uint32_t kOperatingModeTriggered = 1;
constexpr uint16_t kFirmwareContinuousNew = 315; // from here: command 8 first, then a wait

// Status block.
constexpr size_t kStateByte = 17;
constexpr size_t kDataReadyByte = 18;
constexpr size_t kRecordIndexByte = 19;
constexpr size_t kWideIndexByte = 20;
constexpr uint8_t kRecordTaken = 2; // byte 19 or 20 after command 8

// Spectrum records.
constexpr size_t kRecordData = 18;
constexpr size_t kWideData = 20;
constexpr size_t kCopiedValues = 1050;

constexpr uint32_t kTriggeredPollMs = 50;

// The records read from the electronics in this acquisition, per slot: only
// those may be copied (bit n: spectrum record n + 1, bit 4 + n: wide record).
constinit std::array<uint16_t, kSlotCount> g_fresh{};

uint32_t readU32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint16_t readU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

QreSlotBlocks* actualBlocks() {
    DeviceSlot* slot = actualSlot();
    return slot != nullptr && slot->qre.blocks ? slot->qre.blocks.get() : nullptr;
}

uint8_t statusByte(size_t at) {
    const QreSlotBlocks* blocks = actualBlocks();
    return blocks != nullptr ? blocks->version[at] : 0;
}

// One exchange judged by its class: true when it passed.
uint8_t settingsByte(size_t at) {
    const QreSlotBlocks* blocks = actualBlocks();
    return blocks != nullptr ? blocks->settings[at] : 0;
}

uint8_t averageNumber() {
    return settingsByte(kQreSettingsAverage);
}

bool passes(int32_t (*exchange)(), int32_t errorClass) {
    exchange();
    return CheckQreErrors(errorClass) == 0;
}

// The steps of a sequence, numbered as they run.
class Steps {
public:
    bool run(int32_t (*exchange)(), int32_t errorClass) {
        ++number_;
        return passes(exchange, errorClass);
    }
    int32_t failure() const { return -number_; }

private:
    int32_t number_ = 0;
};

void setSettingsByte(size_t at, uint8_t value) {
    if (QreSlotBlocks* blocks = actualBlocks()) {
        blocks->settings[at] = value;
    }
}

// Reads a spectrum record (1..4) or wide record (7, 8) of the actual slot
// and marks it fresh.
bool readRecord(uint8_t type, int32_t errorClass) {
    ReadQreBlockN(type);
    if (CheckQreErrors(errorClass) != 0) {
        return false;
    }
    const int32_t id = actualInterfaceId();
    if (id >= 1 && id < static_cast<int32_t>(kSlotCount)) {
        const int bit = type <= 4 ? type - 1 : type - 7 + 6;
        g_fresh[static_cast<size_t>(id)] |= static_cast<uint16_t>(1u << bit);
    }
    return true;
}

// The record that byte 19 names: index 1, 2, 3 -> type 2, 3, 4, else 1.
uint8_t namedRecordType() {
    const uint8_t index = statusByte(kRecordIndexByte);
    return index >= 1 && index <= 3 ? static_cast<uint8_t>(index + 1) : 1;
}

// Exchange A: command 14, command 6, and when changed both blocks, command 4
// and after a parameter change both read back.
bool exchangeA(Steps& q, int32_t changed, int32_t errorClass6) {
    if (!q.run(SendQreCommand14, 2) || !q.run(SendQreCommand6, errorClass6)) {
        return false;
    }
    if (changed != 1 && changed != 2) {
        return true;
    }
    if (!q.run(WriteQreBlock9, 2) || !q.run(WriteQreBlock6, 2) || !q.run(SendQreCommand4, 2)) {
        return false;
    }
    return changed != 2 || (q.run(ReadQreBlock9, 2) && q.run(ReadQreBlock6, 2));
}

// Exchange A, command 7, command 5 and a status read; then polls every
// pollMs until the data are ready (-71 after limitMs), and reads the record
// byte 19 names.
int32_t runSingleScan(int32_t changed, uint32_t pollMs, int32_t limitMs) {
    Steps q;
    if (!exchangeA(q, changed, 2) || !q.run(SendQreCommand7, 2) || !q.run(SendQreCommand5, 1) ||
        !q.run(ReadQreBlock10, 2)) {
        return q.failure();
    }
    const int32_t start = GetQreClock();
    for (;;) {
        if (statusByte(kDataReadyByte) != 0) {
            if (!q.run(SendQreCommand6, 1) || !readRecord(namedRecordType(), 1)) {
                return q.failure() - 1;
            }
            return 1;
        }
        QreWaitMs(pollMs);
        ReadQreBlock10();
        if (GetQreElapsedMs(start) > limitMs) {
            PushQreError(qre::kErrTimeoutDataReady);
        }
        if (CheckQreErrors(1) != 0) {
            return q.failure() - 2;
        }
    }
}

uint32_t integrationMs() {
    const QreSlotBlocks* blocks = actualBlocks();
    return blocks != nullptr ? readU32(blocks->settings.data() + kQreSettingsIntegrationTime) / 1000
                             : 0;
}

} // namespace

// --- preparing and running single scans

int32_t PrepareQreScan(int32_t changed) {
    setSettingsByte(kQreSettingsAverage, 0);
    Steps q;
    return exchangeA(q, changed, 2) ? 1 : q.failure();
}

int32_t RunQreScan(int32_t changed) {
    setSettingsByte(kQreSettingsAverage, 0);
    return runSingleScan(changed, integrationMs() / 5, EstimateQreMeasurementTime(0));
}

namespace {

void setTriggered(uint8_t trigger) {
    setSettingsByte(kQreSettingsOperatingMode, kOperatingModeTriggered);
    setSettingsByte(kQreSettingsTrigger, trigger);
    setSettingsByte(kQreSettingsAverage, 0);
}

} // namespace

int32_t PrepareQreTriggeredScanPulse(int32_t changed) {
    setTriggered(1);
    Steps q;
    return exchangeA(q, changed, 2) ? 1 : q.failure();
}

int32_t PrepareQreTriggeredScanSlope(int32_t changed) {
    setTriggered(2);
    Steps q;
    return exchangeA(q, changed, 2) ? 1 : q.failure();
}

int32_t RunQreTriggeredScanPulse(int32_t changed, int32_t timeOutMs) {
    setTriggered(1);
    return runSingleScan(changed, kTriggeredPollMs, timeOutMs);
}

int32_t RunQreTriggeredScanSlope(int32_t changed, int32_t timeOutMs) {
    setTriggered(2);
    return runSingleScan(changed, kTriggeredPollMs, timeOutMs);
}

// --- continuous readers

namespace {

// Reads the status block until byte `at` equals 2; -71 after limitMs from
// `since`.
bool waitRecordTaken(size_t at, int32_t since, int32_t limitMs) {
    while (statusByte(at) != kRecordTaken) {
        ReadQreBlock10();
        if (GetQreElapsedMs(since) > limitMs) {
            PushQreError(qre::kErrTimeoutDataReady);
        }
        if (CheckQreErrors(1) != 0) {
            return false;
        }
    }
    return true;
}

// Command 8, the computed wait, then the record when the electronics have
// taken it.
int32_t readNew(bool averaged) {
    ClearQreErrorList();
    Steps q;
    if (!q.run(ReadQreBlock10, 1) || !q.run(SendQreCommand8, 2)) {
        return q.failure();
    }
    const QreSlotBlocks* blocks = actualBlocks();
    const double pixels = blocks != nullptr ? readU16(blocks->parameter.data() + 18) : 0;
    const double time = integrationMs();
    const double average = averageNumber();
    const double wait =
        averaged ? std::max(2.0 * time * (average + 1), 2.0 * 0.03 * pixels * average * 3)
                 : std::max(2.0 * time, 2.0 * 0.03 * pixels);
    QreWaitMs(static_cast<uint32_t>(wait));
    if (!q.run(ReadQreBlock10, 1)) {
        return q.failure();
    }
    const int32_t since = GetQreClock();
    const int32_t limit = EstimateQreMeasurementTime(averaged ? 1 : 0);
    if (!waitRecordTaken(averaged ? kWideIndexByte : kRecordIndexByte, since, limit)) {
        return q.failure() - 1;
    }
    return readRecord(averaged ? 7 : 3, 2) ? 1 : q.failure() - 2;
}

// Waits until the continuous scan has data, then command 8 and the record.
int32_t readOld(bool averaged) {
    ClearQreErrorList();
    Steps q;
    if (!q.run(ReadQreBlock10, 1)) {
        return q.failure();
    }
    const int32_t start = GetQreClock();
    const int32_t limit = EstimateQreMeasurementTime(averaged ? 1 : 0);
    const uint32_t idle = averaged ? integrationMs() * averageNumber() / 5 : integrationMs() / 5;
    for (;;) {
        if (statusByte(kDataReadyByte) == 1 && statusByte(kStateByte) != 1) {
            if (!q.run(SendQreCommand8, 2) || !q.run(ReadQreBlock10, 1)) {
                return q.failure();
            }
            const int32_t since = GetQreClock();
            if (!waitRecordTaken(averaged ? kWideIndexByte : kRecordIndexByte, since, limit)) {
                return q.failure() - 1;
            }
            return readRecord(averaged ? 7 : 3, 2) ? 1 : q.failure() - 2;
        }
        QreWaitMs(idle);
        ReadQreBlock10();
        if (GetQreElapsedMs(start) > limit) {
            PushQreError(qre::kErrTimeoutQreReady);
        }
        if (CheckQreErrors(1) != 0) {
            return q.failure() - 3;
        }
    }
}

} // namespace

int32_t ReadQreContinuousScanNew() {
    return readNew(false);
}
int32_t ReadQreContinuousScan() {
    return readOld(false);
}
int32_t ReadQreAveragedScanNew() {
    return readNew(true);
}
int32_t ReadQreAveragedScan() {
    return readOld(true);
}

// --- runs of all slots

namespace {

bool acquirable(int32_t id) {
    const DeviceSlot* slot = deviceSlot(id);
    return slot != nullptr && slot->boardType == kTypeSerial && slot->active != 0 &&
           slot->initialised != 0 && slot->qre.blocks;
}

void selectSlot(int32_t id) {
    if (LibraryState* state = libraryState()) {
        state->actualInterfaceId = id;
    }
    SetQreDestination(static_cast<uint8_t>(deviceSlot(id)->qre.interfaceId));
    ClearQreErrorList();
    SelectQreSlotBuffers(id);
}

bool settingsHold(uint8_t operatingMode, uint8_t trigger) {
    if (settingsByte(kQreSettingsOperatingMode) == operatingMode &&
        settingsByte(kQreSettingsTrigger) == trigger) {
        return true;
    }
    PushQreError(qre::kErrSettingsMismatch);
    return false;
}

int32_t timeOutOf(int32_t id) {
    return static_cast<int32_t>(deviceSlot(id)->block()->TOTimeExtTrig);
}

// Restores the actual ID on every return.
class KeepActual {
public:
    KeepActual() : id_(actualInterfaceId()) {}
    ~KeepActual() {
        if (LibraryState* state = libraryState()) {
            state->actualInterfaceId = id_;
        }
    }
    int32_t id() const { return id_; }

private:
    int32_t id_;
};

// Polls the pending slots until each has its data ready, then (after
// command 6 when clearReady) reads the record byte 19 names. A slot's limit
// counts from start. 1, or failures[0] (command 6), [1] (a poll), [2] (the
// check after each slot).
int32_t collect(std::array<bool, kSlotCount>& pending, int32_t count, int32_t start,
                const std::array<int32_t, kSlotCount>& limit, bool clearReady,
                std::array<int32_t, 3> failures) {
    while (count > 0) {
        for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
            if (!pending[static_cast<size_t>(id)]) {
                continue;
            }
            selectSlot(id);
            if (statusByte(kDataReadyByte) != 0) {
                if (clearReady && !passes(SendQreCommand6, 2)) {
                    return failures[0];
                }
                readRecord(namedRecordType(), 1);
                pending[static_cast<size_t>(id)] = false;
                --count;
            } else {
                QreWaitMs(0);
                ReadQreBlock10();
                if (GetQreElapsedMs(start) > limit[static_cast<size_t>(id)]) {
                    PushQreError(qre::kErrTimeoutDataReady);
                }
                if (CheckQreErrors(1) != 0) {
                    return failures[1];
                }
            }
            if (CheckQreErrors(1) != 0) {
                return failures[2];
            }
        }
    }
    return 1;
}

} // namespace

int32_t RunQreScanAll() {
    KeepActual keep;
    std::array<bool, kSlotCount> pending{};
    std::array<int32_t, kSlotCount> limit{};
    int32_t count = 0;
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        if (!acquirable(id)) {
            continue;
        }
        selectSlot(id);
        if (!settingsHold(kOperatingModeTriggered, 0)) {
            return -1;
        }
        if (!passes(SendQreCommand7, 2)) {
            return -2;
        }
        if (!passes(SendQreCommand5, 1)) {
            return -3;
        }
        pending[static_cast<size_t>(id)] = true;
        ++count;
    }
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        if (!pending[static_cast<size_t>(id)]) {
            continue;
        }
        selectSlot(id);
        if (!settingsHold(kOperatingModeTriggered, 0)) {
            return -4;
        }
        if (!passes(ReadQreBlock10, 2)) {
            return -5;
        }
        limit[static_cast<size_t>(id)] = EstimateQreMeasurementTime(averageNumber() >= 2 ? 1 : 0);
    }
    return collect(pending, count, GetQreClock(), limit, true, {-7, -6, -8});
}

namespace {

int32_t runTriggeredAll(int32_t interfaceId, uint8_t trigger, bool& armed) {
    KeepActual keep;
    const int32_t start = GetQreClock();
    std::array<bool, kSlotCount> pending{};
    int32_t count = 0;
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        if (!acquirable(id)) {
            continue;
        }
        selectSlot(id);
        if (!settingsHold(kOperatingModeTriggered, trigger)) {
            return -1;
        }
        const bool arm = interfaceId == -2 || interfaceId == 0 || (interfaceId == -1 && !armed);
        if (arm && !passes(SendQreCommand5, 1)) {
            return -3;
        }
        pending[static_cast<size_t>(id)] = true;
        ++count;
    }
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        if (!pending[static_cast<size_t>(id)]) {
            continue;
        }
        selectSlot(id);
        if (!settingsHold(kOperatingModeTriggered, trigger)) {
            return -1;
        }
        if (!passes(ReadQreBlock10, 2)) {
            return -4;
        }
    }
    armed = false;
    std::array<int32_t, kSlotCount> limit{};
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        limit[static_cast<size_t>(id)] = pending[static_cast<size_t>(id)] ? timeOutOf(id) : 0;
    }
    if (const int32_t collected = collect(pending, count, start, limit, false, {-5, -5, -7});
        collected != 1) {
        return collected;
    }
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        if (!acquirable(id)) {
            continue;
        }
        selectSlot(id);
        if (!settingsHold(kOperatingModeTriggered, trigger)) {
            return -8;
        }
        ClearQreErrorList();
        if (!passes(SendQreCommand14, 2)) {
            return -1;
        }
        if (!passes(SendQreCommand6, 2)) {
            return -2;
        }
        if (!passes(SendQreCommand7, 2)) {
            return -9;
        }
    }
    if (interfaceId != 0) {
        for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
            if (!acquirable(id)) {
                continue;
            }
            selectSlot(id);
            if (!passes(SendQreCommand5, 1)) {
                return -10;
            }
            if (!passes(SendQreCommand14, 2)) {
                return -1;
            }
        }
    }
    armed = true;
    return 1;
}

} // namespace

int32_t RunQreTriggeredScanAllPulse(int32_t interfaceId) {
    QreLinkModule* link = qreLink();
    return link != nullptr ? runTriggeredAll(interfaceId, 1, link->armedPulse) : -1;
}

int32_t RunQreTriggeredScanAllSlope(int32_t interfaceId) {
    QreLinkModule* link = qreLink();
    return link != nullptr ? runTriggeredAll(interfaceId, 2, link->armedSlope) : -1;
}

bool QreTriggerArmed(int32_t trigger) {
    const QreLinkModule* link = qreLink();
    return link != nullptr && (trigger == 1 ? link->armedPulse : link->armedSlope);
}

// --- the acquisition

namespace {

enum class Copy { Done, BadIndex, NotRead };

// Copies the spectrum the status block names into the request block: from a
// spectrum record (16-bit values x 100) or a wide record (32-bit values as
// they are). Only a record read in this acquisition is copied.
Copy copySpectrum(DeviceSlot& slot, bool wide, uint8_t highestIndex) {
    const QreSlotBlocks& blocks = *slot.qre.blocks;
    const uint8_t index = blocks.version[wide ? kWideIndexByte : kRecordIndexByte];
    if (index > highestIndex) {
        return Copy::BadIndex;
    }
    const int32_t id = actualInterfaceId();
    const int bit = wide ? 4 + index : index;
    if ((g_fresh[static_cast<size_t>(id)] & (1u << bit)) == 0) {
        return Copy::NotRead;
    }
    uint32_t* out = slot.block()->ScanData;
    if (wide) {
        const uint8_t* values = blocks.wide[index].data() + kWideData;
        for (size_t i = 0; i < kCopiedValues; ++i) {
            out[i] = readU32(values + 4 * i);
        }
    } else {
        const uint8_t* values = blocks.spectrum[index].data() + kRecordData;
        for (size_t i = 0; i < kCopiedValues; ++i) {
            const auto value = static_cast<int16_t>(readU16(values + 2 * i));
            out[i] = static_cast<uint32_t>(int32_t{value} * 100);
        }
    }
    return Copy::Done;
}

class Acquisition {
public:
    explicit Acquisition(int32_t interfaceId) : interfaceId_(interfaceId) {}

    int32_t run() {
        g_fresh.fill(0);
        const DeviceSlot* actual = actualSlot();
        const int32_t workMode = actual != nullptr ? actual->block()->WorkMode : 0;
        const bool triggered = workMode == 4 || workMode == 5;
        const bool all = triggered ? interfaceId_ < 1 : interfaceId_ == 0 || interfaceId_ == -1;
        if (!checkSlots(all)) {
            return -1;
        }
        if (ids_.empty()) {
            return failed_ ? -1 : 0;
        }
        int32_t result = 0;
        switch (workMode) {
        case 1:
            result = all ? scanAll(true) : scanOne(true);
            break;
        case 2:
            result = all ? scanAll(false) : scanOne(false);
            break;
        case 3:
        case 6:
            result = continuous(workMode, all);
            break;
        case 4:
        case 5:
            result =
                all ? triggeredAll(workMode == 5 ? 1 : 2) : triggeredOne(workMode == 5 ? 1 : 2);
            break;
        default:
            return -1;
        }
        if (result != 0 || failed_) {
            return -1;
        }
        return warned_ ? -2 : 0;
    }

private:
    // The slots to acquire; an uninitialised one is reported.
    bool checkSlots(bool all) {
        for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
            const DeviceSlot* slot = deviceSlot(id);
            if (slot == nullptr || slot->boardType != kTypeSerial || (!all && id != interfaceId_)) {
                continue;
            }
            if (slot->initialised == 0 || !slot->qre.blocks) {
                if (!all) {
                    recordError(id, KORAL_LEVEL_IGNORED, code::kNotInitialized, 0);
                    return false;
                }
                if (slot->active != 0) {
                    recordError(id, KORAL_LEVEL_NOT_DONE, code::kNotInitialized, 0);
                    failed_ = true;
                }
                continue;
            }
            if (slot->active != 0) {
                ids_.push_back(id);
            }
        }
        return true;
    }

    void warningCheck(bool always = false) {
        const DeviceSlot* slot = actualSlot();
        if ((always || slot->warningFlag == 1) && ReportQreErrors(8) == 1) {
            warned_ = true;
        }
    }

    // After a failed sequence: the recovery; -1.
    static int32_t recover() {
        RecoverQreFailure();
        return -1;
    }

    int32_t copy(bool wide, uint8_t highestIndex) {
        switch (copySpectrum(*actualSlot(), wide, highestIndex)) {
        case Copy::Done:
            return 0;
        case Copy::BadIndex:
            return -1;
        case Copy::NotRead:
            break;
        }
        // The record named was not read now: what it holds is an older scan.
        recordError(actualInterfaceId(), KORAL_LEVEL_HARDWARE, qre::kErrTimeoutDataReady, 0);
        return -1;
    }

    void setFields(uint32_t integrationTime, uint32_t operatingMode, uint32_t trigger) {
        QreSlotRecord& r = actualSlot()->qre;
        r.integrationTime = integrationTime;
        r.operatingMode = operatingMode;
        r.triggerKind = trigger;
    }

    // The cleaning scan's parameters (mode 1), then the scan's.
    int32_t sendScanParameters(bool cleaning, int32_t (*scan)(int32_t)) {
        DeviceSlot* slot = actualSlot();
        if (cleaning) {
            setFields(slot->deletingIntegrationTime, kOperatingModeScan, 0);
            if (SendQreParametersAndWaitReady(BuildQreParameterBlocks()) != 1) {
                return recover();
            }
            warningCheck();
            ClearQreErrorList();
        }
        setFields(slot->acquisitionIntegrationTime, kOperatingModeTriggered, 0);
        if (scan(BuildQreParameterBlocks()) != 1) {
            return recover();
        }
        warningCheck();
        ClearQreErrorList();
        return 0;
    }

    int32_t scanAll(bool cleaning) {
        for (const int32_t id : ids_) {
            selectSlot(id);
            if (sendScanParameters(cleaning, PrepareQreScan) != 0) {
                return -1;
            }
        }
        SelectQreSlotBuffers(keep_.id());
        if (RunQreScanAll() != 1) {
            return recover();
        }
        bool first = true;
        for (const int32_t id : ids_) {
            selectSlot(id);
            if (!first && ReportQreErrors(1) == 1) {
                // Its spectrum is not to be trusted: not copied, and the
                // acquisition fails.
                RecoverQreFailure();
                failed_ = true;
                continue;
            }
            first = false;
            warningCheck();
            if (copy(false, 1) != 0) {
                return -1;
            }
        }
        if (cleaning) {
            for (const int32_t id : ids_) {
                selectSlot(id);
                if (SendQreParametersWorkMode1() != 0) {
                    failed_ = true;
                }
            }
        }
        return 0;
    }

    int32_t scanOne(bool cleaning) {
        selectSlot(ids_.front());
        if (sendScanParameters(cleaning, RunQreScan) != 0) {
            return -1;
        }
        if (copy(false, 1) != 0) {
            return -1;
        }
        if (cleaning && SendQreParametersWorkMode1() != 0) {
            return -1;
        }
        return 0;
    }

    int32_t continuous(int32_t workMode, bool all) {
        for (const int32_t id : ids_) {
            selectSlot(id);
            const DeviceSlot* slot = actualSlot();
            const bool newer =
                workMode == 3 && slot->qre.firmwareVersion() >= kFirmwareContinuousNew;
            // A scan that something stopped (the recovery after any failed
            // operation, a reset) would never deliver: it starts again first.
            if (!slot->qre.continuousRunning &&
                (newer ? SendQreParametersWorkMode3New() : SendQreParametersWorkMode3()) != 0) {
                return -1;
            }
            selectSlot(id);
            const bool averaged = slot->qre.averageNumber >= 2;
            const int32_t read =
                averaged ? (newer ? ReadQreAveragedScanNew() : ReadQreAveragedScan())
                         : (newer ? ReadQreContinuousScanNew() : ReadQreContinuousScan());
            if (read != 1) {
                return recover();
            }
            warningCheck(!all);
            if (copy(averaged, 3) != 0) {
                return -1;
            }
        }
        return 0;
    }

    int32_t triggeredAll(uint8_t trigger) {
        for (const int32_t id : ids_) {
            selectSlot(id);
            setFields(actualSlot()->acquisitionIntegrationTime, kOperatingModeTriggered, trigger);
            if (interfaceId_ == 0 || interfaceId_ == -2) {
                const int32_t changed = BuildQreParameterBlocks();
                const int32_t prepared = trigger == 1 ? PrepareQreTriggeredScanPulse(changed)
                                                      : PrepareQreTriggeredScanSlope(changed);
                if (prepared != 1) {
                    return recover();
                }
                warningCheck();
            }
        }
        const int32_t ran = trigger == 1 ? RunQreTriggeredScanAllPulse(interfaceId_)
                                         : RunQreTriggeredScanAllSlope(interfaceId_);
        if (ran != 1) {
            return recover();
        }
        for (const int32_t id : ids_) {
            selectSlot(id);
            warningCheck();
            if (copy(false, 1) != 0) {
                return -1;
            }
        }
        return 0;
    }

    int32_t triggeredOne(uint8_t trigger) {
        selectSlot(ids_.front());
        setFields(actualSlot()->acquisitionIntegrationTime, kOperatingModeTriggered, trigger);
        const int32_t changed = BuildQreParameterBlocks();
        const int32_t timeOut = timeOutOf(ids_.front());
        const int32_t ran = trigger == 1 ? RunQreTriggeredScanPulse(changed, timeOut)
                                         : RunQreTriggeredScanSlope(changed, timeOut);
        if (ran != 1) {
            return recover();
        }
        warningCheck();
        return copy(false, 1);
    }

    KeepActual keep_;
    int32_t interfaceId_;
    std::vector<int32_t> ids_;
    bool warned_ = false;
    bool failed_ = false;
};

} // namespace

int32_t AcquireQreSpectra(int32_t interfaceId) {
    if (qreLink() == nullptr) {
        return -1;
    }
    return Acquisition(interfaceId).run();
}

} // namespace tarvik
