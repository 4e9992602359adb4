#include "serial/qre_device.h"

#include "core/last_error.h"
#include "core/library_state.h"
#include "serial/qre_link.h"
#include "serial/qre_module.h"

#include <new>

namespace tarvik {
namespace {

constexpr uint32_t kResetSettleMs = 10000;
constexpr int32_t kResetAnswerLimitMs = 5000;
constexpr uint16_t kProbeFirmwareVersion = 316; // lets the gates pass until the real one is read
constexpr uint16_t kFirmwareOperatingMode4 = 315;
constexpr uint32_t kOperatingModeContinuous = 4;
constexpr uint32_t kOperatingModeContinuousOld = 34;

constexpr int32_t kInfoComPort = 814;       // "NOT ABLE TO OPEN COM PORT"
constexpr int32_t kInfoCommunication = 815; // "NOT ABLE TO START COMMUNICATION"
constexpr int32_t kReadParametersStep = -6;  // the last initial read every slot needs

uint32_t readU32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint16_t readU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

void clearErrorListIfFailed() {
    const QreLinkModule* link = qreLink();
    if (link != nullptr && link->errors.hasError()) {
        ClearQreErrorList();
    }
}

// The first error of the list that no class of the report knows (a port
// error), so that no failure counts as success; 0 none.
int32_t unclassifiedError() {
    const QreLinkModule* link = qreLink();
    if (link == nullptr || !link->errors.hasError()) {
        return 0;
    }
    for (int16_t i = 1; i <= link->errors.count(); ++i) {
        if (const int16_t code = link->errors.entry(static_cast<size_t>(i)); code < 0) {
            return code;
        }
    }
    return 0;
}

// One step of a sequence: the exchange, then the class test.
template <class Exchange> bool failed(Exchange exchange, int32_t errorClass) {
    exchange();
    return CheckQreErrors(errorClass) != 0;
}

} // namespace

void SelectQreActualSlot() {
    const DeviceSlot* slot = actualSlot();
    if (slot == nullptr) {
        return;
    }
    SetQreDestination(static_cast<uint8_t>(slot->qre.interfaceId));
    ClearQreErrorList();
    SelectQreSlotBuffers(actualInterfaceId());
}

int32_t CopyQreSettingsToSlot() {
    DeviceSlot* slot = actualSlot();
    if (slot == nullptr || !slot->qre.blocks) {
        return 0;
    }
    const uint8_t* s = slot->qre.blocks->settings.data();
    QreSlotRecord& r = slot->qre;
    r.integrationTime = readU32(s + kQreSettingsIntegrationTime);
    r.flashMode = s[kQreSettingsFlash];
    r.triggerKind = s[kQreSettingsTrigger];
    r.operatingMode = s[kQreSettingsOperatingMode];
    r.repeatFactor = s[kQreSettingsRepeat];
    r.muxModeIndex = s[kQreSettingsMuxMode];
    r.muxChannelIndex = s[kQreSettingsMuxChannel];
    r.averageNumber = s[kQreSettingsAverage];
    return 0;
}

int32_t ResetQreState() {
    ResetQreRecords();
    ClearQreErrorList();
    return 1;
}

int32_t RecoverQreFailure() {
    if (ReportQreErrors(1) == 0) {
        // A port error is of no class the report looks at; it is a failure
        // all the same.
        const int32_t code = unclassifiedError();
        if (code == 0) {
            return 0;
        }
        recordError(actualInterfaceId(), KORAL_LEVEL_HARDWARE, code, 0);
    }
    SendQreCommand7();
    if (DeviceSlot* slot = actualSlot()) {
        slot->qre.setStatusWords(0, 0);
    }
    return -1;
}

int32_t OpenAndConfigureQrePort() {
    CloseQrePortHandle();
    if (OpenQrePort() != 1 || ConfigureQrePort() != 1) {
        return 0;
    }
    ResetQreProtocol();
    return 1;
}

int32_t ProbeQre() {
    if (DeviceSlot* slot = actualSlot()) {
        slot->qre.setFirmwareVersion(kProbeFirmwareVersion);
    }
    if (failed(SendQreCommand14, 2)) {
        return -1;
    }
    if (failed(SendQreCommand6, 2)) {
        return -2;
    }
    return 1;
}

int32_t ReadQreInitialBlocks() {
    using Step = int32_t (*)();
    static constexpr Step kSteps[] = {SendQreCommand14, SendQreCommand6, SendQreCommand7,
                                      ReadQreBlock10,   ReadQreBlock9,   ReadQreBlock6,
                                      ReadQreBlock11,   ReadQreBlock12};
    int32_t number = 0;
    for (const Step step : kSteps) {
        ++number;
        if (failed(step, 2)) {
            return -number;
        }
    }
    return 1;
}

int32_t OpenQreDevice(int32_t /*flags*/) {
    DeviceSlot* slot = actualSlot();
    QreLinkModule* link = qreLink();
    if (slot == nullptr || link == nullptr) {
        recordError(actualInterfaceId(), KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                    code::kInvalidUse);
        return -1;
    }
    slot->initialised = 0;
    if (AllocQreSlotBuffers(actualInterfaceId()) != 1) {
        recordError(actualInterfaceId(), KORAL_LEVEL_MEMORY, code::kAllocMemory, 0);
        return -1;
    }
    SelectQreSlotBuffers(actualInterfaceId());
    ResetQreState();
    ClearQreErrorList();
    CopyQreSettingsToSlot();
    const auto address = static_cast<uint8_t>(slot->qre.interfaceId);
    LibraryState& state = *libraryState();
    // A slot kept open by its ID after its port was closed opens it again.
    if (state.openInterfaces == 0 || !IsQrePortOpen()) {
        ResetQreProtocolState();
        link->port.portNumber = static_cast<uint16_t>(state.serialComPort);
        link->port.baudRate = state.serialBaudRate;
        link->port.transmission = static_cast<uint8_t>(state.serialTransmission);
        SetQreDestination(address);
        if (OpenAndConfigureQrePort() != 1) {
            clearErrorListIfFailed();
            recordErrorInfo(kInfoComPort);
            return -1;
        }
        slot->qre.blocks->settings[kQreSettingsOpened] = 0;
    }
    SetQreDestination(address);
    const uint16_t preset = slot->qre.firmwareVersion();
    if (ProbeQre() != 1) {
        slot->qre.setFirmwareVersion(preset);
        clearErrorListIfFailed();
        recordErrorInfo(kInfoCommunication);
        return -1;
    }
    const int32_t read = ReadQreInitialBlocks();
    // Only blocks 11 and 12 may be missing, and only because the firmware
    // cannot give them: a slot without its version, settings and parameters
    // (or with a firmware that refuses everything) is no open slot.
    const bool refusedByFirmware = link->errors.holds(qre::kErrFirmwareNotCorrect);
    if (read != 1 && (read >= kReadParametersStep || !refusedByFirmware)) {
        slot->qre.setFirmwareVersion(preset);
        clearErrorListIfFailed();
        recordErrorInfo(kInfoCommunication);
        return -1;
    }
    slot->qre.pixelCount = readU16(slot->qre.blocks->parameter.data() + 18);
    CopyQreSettingsToSlot();
    slot->deviceHandle = platform::kPlaceholderDeviceHandle;
    return 0;
}

int32_t InitializeQreDevice(int32_t /*flags*/) {
    DeviceSlot* slot = actualSlot();
    if (slot == nullptr || !slot->qre.blocks) {
        recordError(actualInterfaceId(), KORAL_LEVEL_IGNORED, code::kDeviceNotOpen,
                    code::kInvalidUse);
        return -1;
    }
    const int32_t id = actualInterfaceId();
    SelectQreSlotBuffers(id);
    CopyQreSettingsToSlot();
    // The initialise has just set the slot's time limit for the electronics.
    const double timeLimit = slot->timeLimit1;
    SetSlotDefaults(id, 1);
    slot->timeLimit1 = timeLimit;
    ClearQreErrorList();
    SetQreDestination(static_cast<uint8_t>(slot->qre.interfaceId));
    ClearQreDigitalOutput2();

    QreSlotRecord& r = slot->qre;
    r.integrationTime = slot->acquisitionIntegrationTime;
    r.operatingMode = r.firmwareVersion() < kFirmwareOperatingMode4 ? kOperatingModeContinuousOld
                                                                    : kOperatingModeContinuous;
    r.triggerKind = 0;
    const int32_t sent = SendQreParameterSet([](int32_t changed) {
        return actualSlot()->qre.averageNumber < 2 ? StartQreContinuous(changed, 1)
                                                   : StartQreContinuousAveraged(changed);
    });
    if (sent != 0) {
        return -1;
    }
    slot->active = 1;
    return 0;
}

int32_t CloseQrePort() {
    CloseQrePortHandle();
    return 1;
}

int32_t GlobalResetQre() {
    DeviceSlot* slot = actualSlot();
    if (slot == nullptr || !slot->qre.blocks) {
        return -1;
    }
    ClearQreErrorList();
    if (failed(SendQreCommand13, 2)) {
        return -1;
    }
    QreWaitMs(kResetSettleMs);
    // A reset does not change the firmware: its version is kept beside the
    // stand-in that lets the polls pass.
    const uint16_t version = slot->qre.firmwareVersion();
    slot->qre.setFirmwareVersion(kProbeFirmwareVersion);
    const int32_t start = GetQreClock();
    SendQreCommand14();
    int32_t result = 1;
    while (CheckQreErrors(2) != 0) {
        if (qreLink()->errors.holds(qre::kErrComPortNotAvailable)) {
            // No answer can come over a port that failed.
            result = -1;
            break;
        }
        if (GetQreElapsedMs(start) > kResetAnswerLimitMs) {
            PushQreError(qre::kErrTimeoutQreReady);
            result = -2;
            break;
        }
        ClearQreErrorList();
        SendQreCommand14();
    }
    slot->qre.setFirmwareVersion(version);
    return result;
}

int32_t WriteQreDigitalOutputs() {
    ClearQreErrorList();
    if (failed(SendQreCommand14, 2)) {
        return -1;
    }
    if (failed(WriteQreBlock9, 2)) {
        return -2;
    }
    if (failed(SendQreCommand4, 2)) {
        return -3;
    }
    return 1;
}

int32_t ReadQreStatus() {
    ClearQreErrorList();
    if (failed(SendQreCommand14, 2)) {
        return -1;
    }
    if (failed(ReadQreBlock10, 2)) {
        return -2;
    }
    return 1;
}

} // namespace tarvik
