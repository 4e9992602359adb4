#include "serial/qre_link.h"

#include "core/last_error.h"
#include "core/library_state.h"

#include "platform/clock.h"

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <new>

namespace tarvik {
namespace {

constinit QreLinkModule* g_link = nullptr;
constinit QreLinkTransport* g_transport = nullptr;

constexpr uint32_t kMaxIntegrationTimeUs = 6500000;
constexpr uint32_t kMinIntegrationTimeUs = 10;
// Times the board takes directly as microsecond counts.
constexpr uint32_t kIntegrationSteps[] = {10, 20, 50, 100, 500, 1000, 2000, 4000, 20000};

constexpr uint16_t kFirmwareWorkMode3New = 315; // above 314: the newer work-mode 3 record
constexpr uint16_t kFirmwareMuxWait = 315;      // below: the switch delay covers five cycles
constexpr int32_t kMuxDelayCycles = 5;
constexpr size_t kI2cStatusByte = 7;

// Multiplexer types of the interface board image.
constexpr uint8_t kMuxKrd = 7;
constexpr uint8_t kMuxKrl = 9;
constexpr size_t kInterfaceMuxTypeByte = 18;
constexpr size_t kInterfaceMuxConfigByte = 19;
constexpr size_t kMuxImageOffset = 512;

uint16_t readU16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

void writeU16(uint8_t* bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}

bool hasQreError(int32_t code) {
    return g_link != nullptr &&
           std::find(g_link->errors.begin(), g_link->errors.end(), code) != g_link->errors.end();
}

// A transfer that cannot happen without the COM-port transport ends as a
// failed transfer does: the error list, the report, command 7.
int32_t failTransfer() {
    pushQreError(qre::kErrComPortNotAvailable);
    ReportQreErrors(1);
    SendQreCommand7();
    return -1;
}

} // namespace

uint16_t QreStatusBlock::firmwareVersion() const {
    return readU16(&bytes[2]);
}

void QreStatusBlock::setFirmwareVersion(uint16_t version) {
    writeU16(&bytes[2], version);
}

int16_t QreStatusBlock::statusWord() const {
    return static_cast<int16_t>(readU16(&bytes[4]));
}

int16_t QreStatusBlock::deviceStatusWord() const {
    return static_cast<int16_t>(readU16(&bytes[6]));
}

void QreStatusBlock::setStatusWords(int16_t status, int16_t deviceStatus) {
    writeU16(&bytes[4], static_cast<uint16_t>(status));
    writeU16(&bytes[6], static_cast<uint16_t>(deviceStatus));
}

QreLinkTransport* setQreLinkTransport(QreLinkTransport* transport) {
    QreLinkTransport* previous = g_transport;
    g_transport = transport;
    return previous;
}

QreLinkModule* qreLink() {
    return g_link;
}

void clearQreErrors() {
    if (g_link != nullptr) {
        g_link->errors.clear();
    }
}

void pushQreError(int32_t code) {
    if (g_link != nullptr) {
        g_link->errors.push_back(code);
    }
}

int32_t AllocQreBuffers() {
    if (g_link == nullptr) {
        g_link = new (std::nothrow) QreLinkModule;
    }
    return g_link != nullptr ? 1 : 0;
}

int32_t ResetQrePortSettings() {
    if (g_link != nullptr) {
        g_link->port = QrePortSettings{};
    }
    return 0;
}

void SetQreReplyTimeout(uint16_t milliseconds) {
    if (g_link != nullptr) {
        g_link->replyTimeoutMs = milliseconds;
    }
}

int32_t FreeQreBuffers() {
    delete g_link;
    g_link = nullptr;
    return 1;
}

void FreeQreSlotBuffers(int32_t interfaceId) {
    if (DeviceSlot* slot = deviceSlot(interfaceId)) {
        slot->qre.status = QreStatusBlock{};
    }
}

int32_t QreLinkTransport::openDevice(QreLinkModule& /*link*/, int32_t /*flags*/) {
    recordErrorInfo(code::kQreDriverNotFound);
    return -1;
}

int32_t QreLinkTransport::initializeDevice(QreLinkModule& /*link*/, int32_t /*flags*/) {
    return failTransfer();
}

int32_t QreLinkTransport::sendWorkModeParameters(QreLinkModule& /*link*/, int32_t /*form*/) {
    return failTransfer();
}

namespace {
int32_t sendWorkModeForm(int32_t form) {
    if (g_transport != nullptr && g_link != nullptr) {
        return g_transport->sendWorkModeParameters(*g_link, form);
    }
    return failTransfer();
}
} // namespace

int32_t OpenQreDevice(int32_t flags) {
    if (DeviceSlot* slot = actualSlot()) {
        slot->initialised = 0;
    }
    clearQreErrors();
    if (g_transport != nullptr && g_link != nullptr) {
        return g_transport->openDevice(*g_link, flags);
    }
    recordErrorInfo(code::kQreDriverNotFound);
    return -1;
}

int32_t InitializeQreDevice(int32_t flags) {
    if (g_transport != nullptr && g_link != nullptr) {
        return g_transport->initializeDevice(*g_link, flags);
    }
    return failTransfer();
}

int32_t CloseQrePort() {
    if (g_link != nullptr) {
        g_link->portOpen = false;
    }
    return 1;
}

int32_t SendQreWorkModeParameters() {
    DeviceSlot* slot = actualSlot();
    if (slot == nullptr) {
        recordError(actualInterfaceId(), KORAL_LEVEL_IGNORED, code::kDeviceNotOpen, 0);
        return -1;
    }
    switch (slot->block()->WorkMode) {
    case 1:
        return SendQreParametersWorkMode1();
    case 2:
        return SendQreParametersWorkMode2();
    case 3:
        return slot->qre.status.firmwareVersion() >= kFirmwareWorkMode3New
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

// The parameter records go to the electronics over the transport.
int32_t SendQreParametersWorkMode1() {
    return sendWorkModeForm(1);
}
int32_t SendQreParametersWorkMode2() {
    return sendWorkModeForm(2);
}
int32_t SendQreParametersWorkMode3() {
    return sendWorkModeForm(3);
}
int32_t SendQreParametersWorkMode3New() {
    return sendWorkModeForm(kQreWorkMode3New);
}
int32_t SendQreParametersWorkMode4() {
    return sendWorkModeForm(4);
}
int32_t SendQreParametersWorkMode5() {
    return sendWorkModeForm(5);
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
        if (workMode == 6 ||
            (workMode == 3 && slot->qre.status.firmwareVersion() < kFirmwareMuxWait)) {
            delay = std::max<int32_t>(delay, kMuxDelayCycles *
                                                 static_cast<int32_t>(slot->qre.cycleTimeMs));
        }
    }
    if (waitFlag == 1 && delay >= 1) {
        QreWaitMs(static_cast<uint32_t>(delay));
    }
    return delay;
}

// The platform clock sleeps to the millisecond, so short waits need no spin.
void QreWaitMs(uint32_t milliseconds) {
    platform::sleepMs(milliseconds);
}

// The digital I/O block keeps its old value when its write fails.
int32_t SetQreDigitalOutput2() {
    return failTransfer();
}

int32_t ClearQreDigitalOutput2() {
    return failTransfer();
}

int32_t GetQreDigitalInput1() {
    return failTransfer();
}

int16_t RunQreI2cTransfer() {
    clearQreErrors();
    if (g_transport != nullptr && g_link != nullptr) {
        return g_transport->runI2cTransfer(*g_link);
    }
    // The status poll (command 14) cannot be sent.
    pushQreError(qre::kErrComPortNotAvailable);
    return -1;
}

int32_t ReportQreErrors(int32_t errorClass) {
    if (g_link == nullptr) {
        return 0;
    }
    const int32_t id = actualInterfaceId();
    auto report = [id](int32_t code) {
        recordError(id, KORAL_LEVEL_HARDWARE, code, 0);
        return 1;
    };
    if (hasQreError(qre::kErrFirmwareNotCorrect)) {
        return report(qre::kErrFirmwareNotCorrect);
    }
    if (errorClass == 1) {
        for (int32_t code : {qre::kErrComPortNotAvailable, qre::kErrComRepeatLimit,
                             qre::kErrTimeoutQreReady, qre::kErrTimeoutDataReady}) {
            if (hasQreError(code)) {
                return report(code);
            }
        }
        if (const DeviceSlot* slot = actualSlot()) {
            const int16_t status = slot->qre.status.statusWord();
            if (status == qre::kErrComRepeatLimit || status == qre::kErrTimeoutQreReady ||
                status == qre::kErrTimeoutDataReady) {
                return report(status);
            }
            if (const int16_t device = slot->qre.status.deviceStatusWord(); device != 0) {
                return report(device);
            }
        }
    } else if (errorClass == 7) {
        const auto status = static_cast<int8_t>(g_link->i2cTransfer[kI2cStatusByte]);
        if (status != 0) {
            return report(status);
        }
    }
    return 0;
}

void SendQreCommand7() {
    // Its result is never looked at.
    if (g_transport != nullptr && g_link != nullptr) {
        g_transport->sendCommand7(*g_link);
    }
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

int32_t QreLinkTransport::selectMuxChannel(QreLinkModule& /*link*/, int32_t /*channel*/,
                                           int32_t /*interfaceId*/) {
    return ENOENT;
}

int32_t SelectMuxChannelSerial(int32_t channel, int32_t interfaceId) {
    if (g_transport == nullptr || g_link == nullptr) {
        return ENOENT;
    }
    const int32_t result = g_transport->selectMuxChannel(*g_link, channel, interfaceId);
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
