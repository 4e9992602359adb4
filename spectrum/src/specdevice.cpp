#include "specdevice.h"

#include "tarvikbinding.h"

#include "pa/palog.h"
#include "platform/clock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

namespace spectrum {

namespace {

constexpr std::uint32_t kInterfaceId = 1;
constexpr std::int32_t kSpecWorkMode = 3;
constexpr std::int32_t kInitialScanWorkMode = 4;
constexpr std::int32_t kBufferedWorkMode = 7;
constexpr std::int32_t kSpecBufferDepth = 256;
constexpr std::int32_t kWarningResult = -2;
// The largest pixel count a sensor description gives (16 bits).
constexpr std::size_t kMaxRecordPixels = 65536;

LastErrorRecord lastError(bool* readOk = nullptr) {
    LastErrorRecord record{};
    const bool ok = KORAL_GetErrorCode(&record) == 0;
    if (readOk != nullptr) {
        *readOk = ok;
    }
    return record;
}

void logLastError() {
    const LastErrorRecord record = lastError();
    pa::logPrint("level:%d\n", record.level);
    pa::logPrint("code:%d\n", record.code);
}

} // namespace

TSpecDevice::TSpecDevice() : TDevice(kSpecWorkMode) {
    configureMessages();
}

TSpecDevice::~TSpecDevice() = default;

void TSpecDevice::configureMessages() {
    if (KORAL_ErrorMessages(0) != 0) {
        pa::logPrint("errorMessages failed\n");
        return;
    }
    if (KORAL_WarningMessagesEx(0, 0, kInterfaceId) != 0) {
        pa::logPrint("warningMessagesEx failed\n");
    }
}

void TSpecDevice::setCaptionHandler(std::function<void(const std::string&)> handler) {
    captionHandler_ = std::move(handler);
}

void TSpecDevice::setIntegrationTime(double ms) {
    if (ms == integrationTime_) {
        return;
    }
    TDevice::setIntegrationTime(ms);
    if (freeRawData()) {
        allocRawData();
    }
}

int TSpecDevice::getDigitalInput(int index) {
    using Input = std::int32_t (*)(std::uint32_t*, std::uint32_t);
    static const Input inputs[] = {&KORAL_IOGetDigInput1, &KORAL_IOGetDigInput2,
                                   &KORAL_IOGetDigInput3};
    std::uint32_t value = 0;
    std::int32_t result = -1;
    if (index >= 1 && index <= 3) {
        result = callExport(inputs[index - 1], &value, kInterfaceId);
    } else {
        pa::logPrint("TSpecDevice::getDigitalInput index out of range\n");
    }
    if (result != 0) {
        pa::logPrint("KORAL_IOGetDigInput%d execution failed\n", index);
        return 0;
    }
    return static_cast<int>(value);
}

void TSpecDevice::setDigitalOutput(int index, int value) {
    using Output = std::int32_t (*)(std::int32_t, std::uint32_t);
    static const Output outputs[] = {&KORAL_IOSetDigOutput1, &KORAL_IOSetDigOutput2,
                                     &KORAL_IOSetDigOutput3};
    std::int32_t result = -1;
    if (index >= 1 && index <= 3) {
        result = callExport(outputs[index - 1], value, kInterfaceId);
    } else {
        pa::logPrint("TSpecDevice::setDigitalOutput index out of range");
    }
    if (result != 0) {
        pa::logPrint("KORAL_IOSetDigOutput%d execution failed\n", index);
    }
}

void TSpecDevice::setInputSource(int source) {
    if (!opened_) {
        return;
    }
    if (KORAL_ParaSetInputSource(source, kInterfaceId) != 0) {
        pa::logPrint("KORAL_ParaSetInputSource execution failed\n");
    }
}

void TSpecDevice::writeI2C(std::uint8_t address, const std::uint8_t* bytes, int count) {
    if (KORAL_I2C_Write_1(address, bytes, count, kInterfaceId) == 0) {
        return;
    }
    pa::logPrint("writeI2C executin failed\n");
    bool readOk = false;
    const LastErrorRecord record = lastError(&readOk);
    if (readOk) {
        pa::logPrint("error_level %d\n", record.level);
        pa::logPrint("error_code  %d\n", record.code);
    } else {
        pa::logPrint("GetErrorCode executin failed\n");
    }
    if (captionHandler_) {
        char caption[64];
        std::snprintf(caption, sizeof caption, "Error % d %d", record.level, record.code);
        captionHandler_(caption);
    }
}

bool TSpecDevice::open() {
    const std::int32_t init = KORAL_InitLibrary(0, KORAL_INTERFACE_USB, 0);
    if (init != 0) {
        pa::logPrint("KORAL_InitLibrary fail:%d\n", init);
        logLastError();
    }
    const std::int32_t opened =
        KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, kInterfaceId);
    if (opened != 0) {
        pa::logPrint("KORAL_OpenOperationElectronicsDevice V1 fail:%d\n", opened);
        logLastError();
        return false;
    }
    if (KORAL_InitializeOperationElectronics(0, kInterfaceId) != 0) {
        pa::logPrint("KORAL_InitializeOperationElectronics fail\n");
        KORAL_CloseOperationElectronics(kInterfaceId);
        return false;
    }
    opened_ = true;
    readSensorParams();
    computeWavelengths();
    initialScan();
    return true;
}

void TSpecDevice::readSensorParams() {
    SensorParamsEx2Record record{};
    record.size = sizeof record;
    const std::int32_t result = KORAL_HWConfig_GetSensorParamsEx2(0, &record, 1, kInterfaceId);
    if (result != 0) {
        pa::logPrint("KORAL_HWConfig_GetSensorsParamEx2 fail:%d\n", result);
        logLastError();
    }
    // Taken as the record stands, defaults included. The counts are
    // unsigned: a sensor of more than 32767 pixels stays positive.
    sensorType_ = record.sensorType;
    pixelCount_ = record.pixelCount;
    coefficients_ = {record.c0, record.c1, record.c2, record.c3};
}

void TSpecDevice::initialScan() {
    const int mode = workMode_;
    setSensorWorkMode(kInitialScanWorkMode);
    std::vector<double> discarded(static_cast<std::size_t>(pixelCount_));
    getRawData(discarded);
    setSensorWorkMode(mode);
}

bool TSpecDevice::allocRawData() {
    if (rawDataHandle_ != 0) {
        pa::logPrint("allocRawData ChanelId <> 0\n");
        return false;
    }
    if (KORAL_AllocRawData(&rawDataHandle_) != 0) {
        pa::logPrint("allocRawData execution failed\n");
        return false;
    }
    if (KORAL_ParaSetMapping(&rawDataHandle_, 1, kInterfaceId) != 0) {
        pa::logPrint("paraSetMapping execution failed\n");
        return false;
    }
    return true;
}

bool TSpecDevice::freeRawData() {
    if (rawDataHandle_ == 0) {
        pa::logPrint("freeRawData  ChanelId ==0\n");
        return false;
    }
    const std::int32_t result = KORAL_FreeRawData(&rawDataHandle_);
    rawDataHandle_ = 0;
    if (result != 0) {
        pa::logPrint("freeRawData execution failed\n");
        return false;
    }
    return true;
}

namespace {

// A setter that limited the value has written the value in effect back and
// sent it: the device goes on with that value.
bool sentOrLimited(std::int32_t result) {
    if (result == 0) {
        return true;
    }
    bool readOk = false;
    const LastErrorRecord record = lastError(&readOk);
    return readOk && record.level == KORAL_LEVEL_LIMITED_VALUE;
}

} // namespace

bool TSpecDevice::setParameters() {
    const double wanted = integrationTime_;
    if (!sentOrLimited(KORAL_ParaSetIntegrationTime(&integrationTime_, kInterfaceId))) {
        pa::logPrint("Can not set integration time\n");
        return false;
    }
    // Limited only when the board runs another time, not a rounding error
    // away from the one asked for.
    if (std::round(integrationTime_ * 1000.0) != std::round(wanted * 1000.0)) {
        pa::logPrint("integration time limited to %f\n", integrationTime_);
    }
    const int wantedAverage = averageNumber_;
    if (!sentOrLimited(KORAL_ParaSetAverageNumber(&averageNumber_, kInterfaceId))) {
        pa::logPrint("Can not set average number\n");
        return false;
    }
    if (averageNumber_ != wantedAverage) {
        pa::logPrint("average number limited to %d\n", averageNumber_);
    }
    if (KORAL_ParaSetSensorWorkMode(1, workMode_, kInterfaceId) != 0) {
        pa::logPrint("paraSetSensorWorkMode execution failed\n");
        return false;
    }
    if (workMode_ == kBufferedWorkMode &&
        callExport(&KORAL_ParaSetSpecBuffer, kSpecBufferDepth, kInterfaceId) != 0) {
        pa::raiseError("paraSetSpecBuffer execution failed");
    }
    parametersApplied_ = true;
    return true;
}

bool TSpecDevice::prepare() {
    return freeRawData() && allocRawData() && setParameters();
}

bool TSpecDevice::getDarkCurrent() {
    if (prepare() && KORAL_GetDarkCurrent(kInterfaceId) == 0) {
        return true;
    }
    pa::logPrint("getDarkCurrent execution failed\n");
    return false;
}

bool TSpecDevice::getRawData(std::vector<double>& data) {
    pa::logPrint("enter getRawData\n");
    const std::uint32_t started = platform::tickCount();
    try {
        const auto pixels = static_cast<std::size_t>(std::max(pixelCount_, 0));
        if (data.size() < pixels) {
            pa::logPrint("getRawData array shorter than the sensor\n");
            return false;
        }
        if (rawDataHandle_ == 0 && !allocRawData()) {
            return false;
        }
        if (!parametersApplied_ && !setParameters()) {
            return false;
        }
        const bool synchronised = static_cast<bool>(synchronisation_);
        if (synchronised) {
            pa::logPrint("enter Synchro section\n");
            if (synchronisation_(*this) != 1) {
                pa::logPrint("synchro false\n");
                return false;
            }
            pa::logPrint("synchro ok\n");
        }
        // -2 is a warning recorded with a delivered spectrum (in work mode 7
        // mostly the board's buffer that overflowed): the spectrum is taken.
        if (workMode_ == kBufferedWorkMode) {
            // The two buffer counters are of no use here.
            std::uint32_t held = 0;
            std::uint32_t lost = 0;
            const std::int32_t got =
                callExport(&KORAL_GetBufferedSpectra, &held, &lost, kInterfaceId);
            if (got != 0 && got != kWarningResult) {
                pa::logPrint("getBufferedSpectra executin failed\n");
                return false;
            }
        } else if (const std::int32_t got = KORAL_GetSpectra(kInterfaceId);
                   got != 0 && got != kWarningResult) {
            pa::logPrint("getSpectra executin failed\n");
            if (synchronised) {
                logLastError();
            }
            return false;
        }
        // The library copies its record's own count, which need not be the
        // count it reported: it goes into a buffer that holds any record, and
        // a record holding no spectrum leaves the caller's values as they are.
        transfer_.resize(std::max(kMaxRecordPixels, pixels));
        std::copy_n(data.begin(), pixels, transfer_.begin());
        if (KORAL_GetStoredRawData(&rawDataHandle_, transfer_.data()) != 0) {
            pa::logPrint("getStoredData execution failed\n");
            return false;
        }
        std::copy_n(transfer_.begin(), pixels, data.begin());
        pa::logPrint("time : %d\n", static_cast<int>(platform::tickCount() - started));
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace spectrum
