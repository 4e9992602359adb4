#include "serial/qre_module.h"

#include "platform/last_error.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <span>
#include <string>

namespace tarvik {
namespace {

using platform::serial::LineSettings;
using platform::serial::Parity;
using platform::serial::PortProperties;
using platform::serial::PortStatus;
using platform::serial::SerialPort;
using platform::serial::StopBits;
using platform::serial::Timeouts;

constexpr uint16_t kHighestPortNumber = 8;
constexpr uint32_t kPortTimeoutMs = 300;
constexpr int32_t kMsPerHour = 3600000;

SerialPort* openPort() {
    QreLinkModule* link = qreLink();
    return link != nullptr ? link->portHandle.get() : nullptr;
}

// A configuration step that failed: reported, and with `close` the port goes.
int32_t failConfiguration(int rc, bool close) {
    ReportQrePortError(1, static_cast<uint32_t>(rc));
    if (close) {
        CloseQrePortHandle();
    }
    return 0;
}

// The exchange under way cannot go on: its executor ends it at once.
void markPortFailed() {
    if (QreLinkModule* link = qreLink()) {
        link->portFailed = true;
    }
}

// Manual direction switching: RS485 on a driver without its own mode.
bool switchesRts(const QreLinkModule& link) {
    return link.port.transmission == kQreTransRs485 && !link.kernelDirection;
}

} // namespace

bool QreErrorList::holds(int32_t code) const {
    for (int16_t i = 1; i <= count(); ++i) {
        if (words[static_cast<std::size_t>(i)] == code) {
            return true;
        }
    }
    return false;
}

int32_t OpenQrePort() {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    const uint16_t number =
        link->port.portNumber >= 1 && link->port.portNumber <= kHighestPortNumber
            ? link->port.portNumber
            : 1;
    std::unique_ptr<SerialPort> port;
    if (platform::serial::openSerialPort("COM" + std::to_string(number), port) != 0) {
        PushQreError(qre::kErrPortOpen);
        return 0;
    }
    LineSettings state;
    if (int rc = port->getSettings(state); rc != 0) {
        ReportQrePortError(1, static_cast<uint32_t>(rc));
        port->close();
        return 0;
    }
    port->purge(true, false);
    port->purge(false, true);
    link->portHandle = std::move(port);
    link->kernelDirection = false;
    return 1;
}

int32_t ConfigureQrePort() {
    QreLinkModule* link = qreLink();
    SerialPort* port = openPort();
    if (port == nullptr) {
        ReportQrePortError(1, EBADF);
        return 0;
    }
    LineSettings state;
    if (int rc = port->getSettings(state); rc != 0) {
        return failConfiguration(rc, true);
    }
    PortProperties properties;
    if (int rc = port->getProperties(properties); rc != 0) {
        return failConfiguration(rc, false);
    }
    QrePortSettings& settings = link->port;
    settings.maxTransmitQueue = properties.transmitQueue;
    settings.maxReceiveQueue = properties.receiveQueue;
    if ((properties.settableBaudRates & platform::serial::baudRateFlag(settings.baudRate)) == 0) {
        PushQreError(qre::kErrBaudRate);
        return 0;
    }
    LineSettings wanted;
    wanted.baudRate = settings.baudRate;
    wanted.dataBits = settings.byteSize;
    wanted.parity = static_cast<Parity>(settings.parity);
    wanted.stopBits = static_cast<StopBits>(settings.stopBits);
    wanted.binary = (settings.binaryFlag & 1) != 0;
    wanted.parityCheck = (settings.parityCheck & 1) != 0;
    if (int rc = port->setSettings(wanted); rc != 0) {
        return failConfiguration(rc, true);
    }
    if (int rc = port->drain(); rc != 0) {
        return failConfiguration(rc, false);
    }
    Timeouts timeouts;
    if (int rc = port->getTimeouts(timeouts); rc != 0) {
        return failConfiguration(rc, true);
    }
    if (int rc = port->setTimeouts({kPortTimeoutMs, kPortTimeoutMs}); rc != 0) {
        return failConfiguration(rc, true);
    }
    link->kernelDirection = false;
    if (settings.transmission == kQreTransRs485) {
        // The driver's own switching drops RTS right after the last stop bit;
        // without it the link switches, and the line starts out listening.
        link->kernelDirection = port->setRs485(true) == 0;
        if (!link->kernelDirection) {
            ClearQreRts();
        }
    }
    return 1;
}

int32_t CloseQrePortHandle() {
    QreLinkModule* link = qreLink();
    if (link == nullptr || !link->portHandle) {
        return 1;
    }
    const int rc = link->portHandle->close();
    link->portHandle.reset();
    link->kernelDirection = false;
    if (rc != 0) {
        PushQreError(qre::kErrPortClose);
        return 0;
    }
    return 1;
}

bool IsQrePortOpen() {
    return openPort() != nullptr;
}

int32_t WriteQrePort(std::size_t n) {
    QreLinkModule* link = qreLink();
    SerialPort* port = openPort();
    PortStatus status;
    const int cleared = port != nullptr ? port->clearErrors(&status) : EBADF;
    if (cleared != 0) {
        ReportQrePortError(1, static_cast<uint32_t>(cleared));
        markPortFailed();
        return 0;
    }
    const uint32_t queue = link->port.maxTransmitQueue;
    if (queue != 0 && queue < n + status.transmitQueued) {
        PushQreError(qre::kErrPlatform);
        return 0;
    }
    const bool rts = switchesRts(*link);
    if (rts) {
        SetQreRts();
    }
    std::size_t written = 0;
    const int rc = port->write(std::span<const uint8_t>(link->frames.transmit.data(), n), written);
    if (rc != 0 || written < n) {
        // A raised RTS would keep the line talking and deaf to the answer.
        if (rts) {
            ClearQreRts();
        }
        PushQreError(qre::kErrPortWrite);
        markPortFailed();
        return 0;
    }
    if (rts) {
        // Drop RTS only once the last stop bit is out.
        if (int drained = port->drain(); drained != 0) {
            ReportQrePortError(1, static_cast<uint32_t>(drained));
        }
        ClearQreRts();
    }
    return 1;
}

int32_t ReadQrePort(uint8_t* buffer, platform::TimePoint deadline) {
    QreLinkModule* link = qreLink();
    SerialPort* port = openPort();
    const std::size_t n = link != nullptr ? link->receive.bytesToRead : 0;
    int rc = port != nullptr ? port->clearErrors(nullptr) : EBADF;
    std::size_t got = 0;
    if (rc == 0) {
        rc = port->read(std::span<uint8_t>(buffer, n), got, deadline);
        if (rc == 0) {
            return static_cast<int32_t>(got);
        }
    }
    ReportQrePortError(1, static_cast<uint32_t>(rc));
    markPortFailed();
    return 0;
}

void PurgeQreReceive() {
    if (SerialPort* port = openPort()) {
        if (int rc = port->purge(false, true); rc != 0) {
            ReportQrePortError(1, static_cast<uint32_t>(rc));
        }
    }
}

void SetQreRts() {
    SerialPort* port = openPort();
    const int rc = port != nullptr ? port->setRts(true) : EBADF;
    if (rc != 0) {
        ReportQrePortError(1, static_cast<uint32_t>(rc));
    }
}

void ClearQreRts() {
    SerialPort* port = openPort();
    const int rc = port != nullptr ? port->setRts(false) : EBADF;
    if (rc != 0) {
        ReportQrePortError(1, static_cast<uint32_t>(rc));
    }
}

void ReportQrePortError(int32_t mode, uint32_t platformError) {
    uint32_t error = platformError;
    if (mode == 0) {
        error = platform::lastError();
        if (SerialPort* port = openPort()) {
            port->clearErrors(nullptr);
        }
    }
    if (error == 0) {
        return;
    }
    PushQreError(qre::kErrPlatform);
    if (error == EACCES || error == EPERM || error == EBADF) {
        PushQreError(qre::kErrPlatformAccess);
    }
}

int32_t GetQreClock() {
    // The monotonic clock: a wall clock set back would stretch every wait.
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(platform::now().time_since_epoch());
    return static_cast<int32_t>(ms.count() % kMsPerHour);
}

int32_t GetQreElapsedMs(int32_t start) {
    const int32_t now = GetQreClock();
    return now < start ? now - start + kMsPerHour : now - start;
}

int32_t QreSleep(uint32_t milliseconds) {
    platform::sleepMs(milliseconds);
    return 1;
}

void QreWaitMs(uint32_t milliseconds) {
    QreSleep(milliseconds);
}

void ClearQreErrorList() {
    if (QreLinkModule* link = qreLink()) {
        link->errors.words[0] = 0;
        link->errors.words[QreErrorList::kOverflow] = 0;
        link->errors.words[QreErrorList::kHasError] = 0;
    }
}

int32_t PushQreError(int32_t code) {
    QreLinkModule* link = qreLink();
    if (link == nullptr) {
        return 0;
    }
    auto& words = link->errors.words;
    words[QreErrorList::kHasError] = 1;
    if (static_cast<std::size_t>(words[0]) < QreErrorList::kCapacity) {
        ++words[0];
        words[static_cast<std::size_t>(words[0])] = static_cast<int16_t>(code);
        return 1;
    }
    // Full: the newest failure is the one that counts.
    words[QreErrorList::kCapacity] = static_cast<int16_t>(code);
    words[QreErrorList::kOverflow] = 1;
    return 0;
}

int32_t GetLastQreError() {
    const QreLinkModule* link = qreLink();
    if (link == nullptr || link->errors.count() == 0) {
        return 0;
    }
    return link->errors.entry(static_cast<std::size_t>(link->errors.count()));
}

int32_t ResetQrePortSettings() {
    if (QreLinkModule* link = qreLink()) {
        link->port = QrePortSettings{};
    }
    return 0;
}

} // namespace tarvik
