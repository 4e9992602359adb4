// A simulated board at the level of the request block.

#include "sim/board_model.h"
#include "sim/light_sources.h"

#include "block_access.h"
#include "sim/board_driver.h"

#include <algorithm>

namespace sim {

namespace {

constexpr uint32_t kDataOffset = KORAL_REQUEST_BLOCK_DATA_OFFSET;

bool isBoardRequest(uint32_t ioControlCode) {
    return platform::ctlDeviceType(ioControlCode) == KORAL_DEVICE_TYPE_BOARD;
}

// The bytes of Data that came with the request, at most n.
std::span<const uint8_t> dataBytes(std::span<const uint8_t> block, uint32_t inputLength,
                                   std::size_t n) {
    const std::size_t present = inputLength > kDataOffset ? inputLength - kDataOffset : 0;
    return block.subspan(kDataOffset, std::min(present, n));
}

RequestRecord recordOf(uint32_t ioControlCode, std::span<const uint8_t> buffer,
                       uint32_t inputLength, uint32_t outputLength, bool wholeBlock) {
    RequestRecord record;
    record.ioControlCode = ioControlCode;
    record.inputLength = inputLength;
    record.outputLength = outputLength;
    if (!wholeBlock) {
        return record;
    }
    record.workMode = SIM_GET(buffer, WorkMode);
    record.acquisitionMode = SIM_GET(buffer, AcquisitionMode);
    record.numberPixel = SIM_GET(buffer, NumberPixel);
    record.numberPixelLong = SIM_GET(buffer, NumberPixelLong);
    record.numScans = SIM_GET(buffer, NumScans);
    record.requestFlags = SIM_GET(buffer, RequestFlags);
    record.i2cDevice = SIM_GET(buffer, I2CDevice);
    record.i2cOperation = SIM_GET(buffer, I2COperation);
    record.i2cIndex = SIM_GET(buffer, I2CIndex);
    record.i2cLength = SIM_GET(buffer, I2CLength);
    record.i2cIndexLong = SIM_GET(buffer, I2CIndexLong);
    record.i2cLengthLong = SIM_GET(buffer, I2CLengthLong);
    record.dataLength = SIM_GET(buffer, DataLength);
    record.digitalOutputWord = SIM_GET(buffer, DigitalOutputWord);
    record.digitalInputWord = SIM_GET(buffer, DigitalInputWord);
    if ((record.requestFlags & KORAL_RF_CONFIG_BYTES) != 0) {
        const std::span<const uint8_t> bytes = dataBytes(buffer, inputLength, kConfigurationBytes);
        record.configuration.assign(bytes.begin(), bytes.end());
    }
    return record;
}

InitParameters initParametersOf(std::span<const uint8_t> block) {
    InitParameters p;
    p.workMode = SIM_GET(block, WorkMode);
    p.acquisitionMode = SIM_GET(block, AcquisitionMode);
    p.preCnts = SIM_GET(block, PreCnts);
    p.acqIntCnts = SIM_GET(block, AcqIntCnts);
    p.delIntCnts = SIM_GET(block, DelIntCnts);
    p.numberPixel = SIM_GET(block, NumberPixel);
    p.numberPixelLong = SIM_GET(block, NumberPixelLong);
    p.numScans = SIM_GET(block, NumScans);
    p.flashHW = SIM_GET(block, FlashHW);
    p.flashOpt = SIM_GET(block, FlashOpt);
    p.muxMode = SIM_GET(block, MuxMode);
    p.muxChanNum = SIM_GET(block, MuxChanNum);
    p.noInterruptMode = SIM_GET(block, NoInterruptMode);
    p.toTimeExtTrig = SIM_GET(block, TOTimeExtTrig);
    p.digitalOutputWord = SIM_GET(block, DigitalOutputWord);
    p.requestFlags = SIM_GET(block, RequestFlags);
    p.etDelay = SIM_GET(block, ETDelay);
    p.numberPixel2 = SIM_GET(block, NumberPixel2);
    p.numberPixel2Long = SIM_GET(block, NumberPixel2Long);
    p.inputSource = SIM_GET(block, InputSource);
    p.muxSpec = SIM_GET(block, MuxSpec);
    p.ringCapacity = SIM_GET(block, RingCapacity);
    p.saturationPeriod = SIM_GET(block, SaturationPeriod);
    p.saturationStart = SIM_GET(block, SaturationStart);
    p.saturationEndMargin = SIM_GET(block, SaturationEndMargin);
    p.feeType = SIM_GET(block, FEEType);
    p.sensorType = SIM_GET(block, SensorType);
    p.burstBlocks = SIM_GET(block, BurstBlocks);
    p.gen2BufferSize = SIM_GET(block, Gen2BufferSize);
    return p;
}

BoardIdentity identityOf(const BoardConfig& config) {
    BoardIdentity identity;
    identity.boardId = config.boardId;
    identity.driverVersion = config.driverVersion;
    identity.hardwareWord = config.hardwareWord;
    identity.firmwareVersion = config.firmwareVersion;
    identity.firmwareType = config.firmwareType;
    return identity;
}

} // namespace

BoardModel::BoardModel(BoardConfig config, std::string instanceId)
    : config_(std::move(config)), instanceId_(std::move(instanceId)),
      identity_(identityOf(config_)), sensor_(config_), boot_(bootContents(boardImages(config_))) {
    attachConfigurationEeproms(bus_, boardImages(config_));
    if (config_.interfaceType == 5 || config_.interfaceType == 8) {
        bus_.attach(kBoardTemperatureSensor,
                    std::make_unique<I2cTemperatureSensor>(kBoardTemperatureHalfDegrees));
    }
    attachBoardModules(bus_, config_);
    lines_.inputs = config_.digitalInputs;
    for (const uint8_t address : config_.i2cRecorders) {
        bus_.attach(address, std::make_unique<I2cRecorder>());
    }
}

DigitalLineState BoardModel::digitalLines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool BoardModel::continuousAcquisition() const {
    std::lock_guard lock(mutex_);
    return continuousLocked();
}

EepromContents BoardModel::bootEeprom() const {
    std::lock_guard lock(mutex_);
    return boot_.contents();
}

void BoardModel::setBootEeprom(const EepromContents& contents) {
    std::lock_guard lock(mutex_);
    boot_.setContents(contents);
}

BoardIdentity BoardModel::identity() const {
    std::lock_guard lock(mutex_);
    return identity_;
}

void BoardModel::setIdentity(const BoardIdentity& identity) {
    std::lock_guard lock(mutex_);
    identity_ = identity;
}

bool BoardModel::present() const {
    std::lock_guard lock(mutex_);
    return present_;
}

void BoardModel::setPresent(bool present) {
    std::lock_guard lock(mutex_);
    present_ = present;
}

InitState BoardModel::initState() const {
    std::lock_guard lock(mutex_);
    return init_;
}

// --- request log

std::vector<RequestRecord> BoardModel::requests() const {
    std::lock_guard lock(mutex_);
    return {log_.begin(), log_.end()};
}

std::size_t BoardModel::requestCount(uint32_t ioControlCode) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(log_.begin(), log_.end(), [&](const RequestRecord& record) {
            return record.ioControlCode == ioControlCode;
        }));
}

std::size_t BoardModel::droppedRequests() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void BoardModel::clearRequests() {
    std::lock_guard lock(mutex_);
    log_.clear();
    dropped_ = 0;
}

void BoardModel::appendLocked(RequestRecord record) {
    if (log_.size() >= kMaxRequestLog) {
        log_.pop_front();
        ++dropped_;
    }
    log_.push_back(std::move(record));
}

// --- injection

void BoardModel::inject(uint32_t ioControlCode, const Injection& injection, unsigned count) {
    if (count == 0) {
        return;
    }
    std::lock_guard lock(mutex_);
    injections_.push_back({ioControlCode, injection, count});
}

void BoardModel::injectStatus(uint32_t ioControlCode, uint16_t status, uint16_t statusInfo,
                              unsigned count) {
    Injection injection;
    injection.kind = Injection::Kind::Status;
    injection.status = status;
    injection.statusInfo = statusInfo;
    inject(ioControlCode, injection, count);
}

void BoardModel::injectRequestFailure(uint32_t ioControlCode, platform::DriverStatus status,
                                      unsigned count) {
    Injection injection;
    injection.kind = Injection::Kind::RequestFailure;
    injection.requestStatus = status;
    inject(ioControlCode, injection, count);
}

void BoardModel::injectHang(uint32_t ioControlCode, unsigned count) {
    Injection injection;
    injection.kind = Injection::Kind::Hang;
    inject(ioControlCode, injection, count);
}

void BoardModel::clearInjections() {
    std::lock_guard lock(mutex_);
    injections_.clear();
}

std::optional<Injection> BoardModel::takeInjectionLocked(uint32_t ioControlCode) {
    for (auto it = injections_.begin(); it != injections_.end(); ++it) {
        if (it->ioControlCode == ioControlCode) {
            const Injection injection = it->injection;
            if (--it->remaining == 0) {
                injections_.erase(it);
            }
            return injection;
        }
    }
    return std::nullopt;
}

// --- serving

BoardModel::Answer BoardModel::handle(uint32_t ioControlCode, std::span<uint8_t> buffer,
                                      uint32_t inputLength, uint32_t outputLength) {
    const bool wholeBlock = inputLength >= KORAL_REQUEST_BLOCK_SIZE &&
                            outputLength >= KORAL_REQUEST_BLOCK_SIZE &&
                            buffer.size() >= inputLength;
    if (wholeBlock && ioControlCode == IOCTL_BOARD_GET_SCANS) {
        // The scan takes its time outside the lock, so that the board's other
        // requests and the tests' controls go on meanwhile.
        platform::Duration duration{0};
        {
            std::lock_guard lock(mutex_);
            duration = sensor_.streaming() ? sensor_.ringWait(platform::now())
                                           : sensor_.requestDuration(buffer);
        }
        if (duration > platform::Duration::zero() && !platform::clock().sleepFor(duration)) {
            return Answer{false, platform::kStatusCancelled, 0};
        }
    }
    std::lock_guard lock(mutex_);
    RequestRecord record = recordOf(ioControlCode, buffer, inputLength, outputLength, wholeBlock);
    Answer answer;
    if (!isBoardRequest(ioControlCode)) {
        // Not ours to stamp: the drivers answer these with no bytes.
        answer.status = platform::kStatusInvalidDeviceRequest;
        record.outcome = RequestOutcome::Refused;
    } else if (!wholeBlock) {
        answer.status = platform::kStatusInvalidParameter;
        record.outcome = RequestOutcome::Refused;
    } else {
        const std::optional<Injection> injection = takeInjectionLocked(ioControlCode);
        answer.information = inputLength;
        if (injection && injection->kind == Injection::Kind::Hang) {
            answer.hold = true;
            answer.status = platform::kStatusPending;
            record.outcome = RequestOutcome::Held;
        } else if (injection && injection->kind == Injection::Kind::RequestFailure) {
            answer.status = injection->requestStatus;
            record.outcome = RequestOutcome::InjectedFailure;
        } else {
            answer.status =
                serveLocked(ioControlCode, buffer, inputLength, injection ? &*injection : nullptr);
            record.outcome = injection ? RequestOutcome::InjectedStatus
                             : answer.status == platform::kStatusSuccess
                                 ? RequestOutcome::Served
                                 : RequestOutcome::Unsupported;
            record.status = SIM_GET(buffer, Status);
            record.statusInfo = SIM_GET(buffer, StatusInfo);
        }
    }
    record.requestStatus = answer.status;
    appendLocked(std::move(record));
    return answer;
}

BoardModel::Answer BoardModel::serveReleased(uint32_t ioControlCode, std::span<uint8_t> buffer,
                                             uint32_t inputLength) {
    std::lock_guard lock(mutex_);
    Answer answer;
    answer.information = inputLength;
    answer.status = serveLocked(ioControlCode, buffer, inputLength, nullptr);
    return answer;
}

platform::DriverStatus BoardModel::serveLocked(uint32_t ioControlCode, std::span<uint8_t> block,
                                               uint32_t inputLength, const Injection* injected) {
    SIM_PUT(block, Status, 0);
    SIM_PUT(block, StatusInfo, 0);
    SIM_PUT(block, WarningCode, 0);
    SIM_PUT(block, DriverVersion, identity_.driverVersion);
    SIM_PUT(block, FirmwareVersion, identity_.firmwareVersion);
    SIM_PUT(block, FirmwareType, identity_.firmwareType);
    SIM_PUT(block, HardwareWord, identity_.hardwareWord);
    SIM_PUT(block, BoardId, identity_.boardId);
    if (injected != nullptr) {
        SIM_PUT(block, Status, injected->status);
        SIM_PUT(block, StatusInfo, injected->statusInfo);
        return platform::kStatusSuccess;
    }
    if (std::ranges::find(config_.refusedCommands, platform::ctlFunction(ioControlCode)) !=
        config_.refusedCommands.end()) {
        // The set-up's refusal: the board answers and does nothing.
        SIM_PUT(block, Status, kStatusNotSupported);
        return platform::kStatusSuccess;
    }
    switch (ioControlCode) {
    case IOCTL_BOARD_INIT:
        serveInitLocked(block, inputLength);
        return platform::kStatusSuccess;
    case IOCTL_BOARD_DEINIT:
        init_.initialised = false;
        sensor_.stopStream();
        ++init_.deinitCount;
        return platform::kStatusSuccess;
    case IOCTL_BOARD_OPEN:
        // The board only answers; the log tells tests that it came.
        return platform::kStatusSuccess;
    case IOCTL_BOARD_GET_USB_VERSION:
        // The short block's own 4 bytes of Data hold the word.
        detail::writeField<uint16_t>(block, kDataOffset, kUsbVersionHighSpeed);
        return platform::kStatusSuccess;
    case IOCTL_BOARD_I2C_OPERATION:
        serveI2cOperationLocked(block, inputLength);
        return platform::kStatusSuccess;
    case IOCTL_BOARD_I2C_CHECK_DEVICE:
        serveI2cCheckLocked(block);
        return platform::kStatusSuccess;
    case IOCTL_BOARD_BOOT_EEPROM:
        serveBootEepromLocked(block, inputLength);
        return platform::kStatusSuccess;
    case IOCTL_BOARD_GET_SCANS:
        if (sensor_.streaming()) {
            sensor_.serveRing(block, inputLength, platform::now());
        } else {
            sensor_.serveGetScans(block, inputLength);
        }
        return platform::kStatusSuccess;
    case IOCTL_BOARD_SET_DIGITAL_OUTPUT:
    case IOCTL_BOARD_GET_DIGITAL_INPUT:
    case IOCTL_BOARD_SET_INPUT_LATCH_MODE:
        return serveDigitalLinesLocked(ioControlCode, block);
    case IOCTL_BOARD_GET_TEMPERATURES:
        serveTemperaturesLocked(block, inputLength);
        return platform::kStatusSuccess;
    default:
        return platform::kStatusInvalidDeviceRequest;
    }
}

void BoardModel::serveInitLocked(std::span<uint8_t> block, uint32_t inputLength) {
    const InitParameters parameters = initParametersOf(block);
    if ((parameters.requestFlags & KORAL_RF_CONFIG_BYTES) != 0) {
        const std::span<const uint8_t> bytes = dataBytes(block, inputLength, kConfigurationBytes);
        if (bytes.size() < kConfigurationBytes ||
            SIM_GET(block, DataLength) < kConfigurationBytes / 2) {
            // Half a configuration would leave the board in a state no
            // image describes: refuse the whole INIT.
            SIM_PUT(block, Status, kStatusBufferTooSmall);
            return;
        }
        init_.configuration.assign(bytes.begin(), bytes.end());
    }
    init_.parameters = parameters;
    init_.initialised = true;
    ++init_.initCount;
    sensor_.initialise(block, platform::now());
}

platform::DriverStatus BoardModel::serveDigitalLinesLocked(uint32_t ioControlCode,
                                                           std::span<uint8_t> block) {
    const int type = config_.interfaceType;
    switch (ioControlCode) {
    case IOCTL_BOARD_SET_DIGITAL_OUTPUT:
        lines_.applyOutputWord(SIM_GET(block, DigitalOutputWord));
        return platform::kStatusSuccess;
    case IOCTL_BOARD_GET_DIGITAL_INPUT: {
        const uint32_t present = type == 1 ? 0x1u : type == 8 ? 0x3u : 0x7u;
        SIM_PUT(block, DigitalInputWord, (lines_.inputs & present) << 16);
        return platform::kStatusSuccess;
    }
    default: // the latch mode
        if (type != 4 && type != 6 && type != 8) {
            return platform::kStatusInvalidDeviceRequest;
        }
        lines_.applyLatchWord(SIM_GET(block, DigitalInputWord));
        return platform::kStatusSuccess;
    }
}

void BoardModel::serveTemperaturesLocked(std::span<uint8_t> block, uint32_t inputLength) {
    const uint8_t sensor = SIM_GET(block, I2CDevice);
    if (sensor != 0) {
        const auto found =
            std::find_if(temperatures_.begin(), temperatures_.end(),
                         [&](const FirmwareTemperatureSensor& t) { return t.id == sensor; });
        if (found == temperatures_.end()) {
            SIM_PUT(block, Status, kStatusI2cNoAcknowledge);
            return;
        }
        SIM_PUT(block, Temperature, static_cast<uint16_t>(found->hundredths));
        return;
    }
    const std::size_t count = std::min<std::size_t>(temperatures_.size(), 8);
    const std::size_t bytes = 2 * (2 * count + 1);
    if (SIM_GET(block, DataLength) < 2 * count + 1 ||
        dataBytes(block, inputLength, bytes).size() < bytes) {
        SIM_PUT(block, Status, kStatusBufferTooSmall);
        return;
    }
    detail::writeField<uint16_t>(block, kDataOffset, static_cast<uint16_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        detail::writeField<uint16_t>(block, kDataOffset + 2 * (1 + i), temperatures_[i].id);
        detail::writeField<uint16_t>(block, kDataOffset + 2 * (1 + count + i),
                                     static_cast<uint16_t>(temperatures_[i].hundredths));
    }
}

// --- held requests

std::size_t BoardModel::heldCount() const {
    std::lock_guard lock(mutex_);
    return held_.size();
}

bool BoardModel::waitForHeld(std::size_t n, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return heldChanged_.wait_for(lock, limit, [&] { return held_.size() >= n; });
}

bool BoardModel::holdRequest(const platform::IoRequestPtr& request) {
    // The cancel routine is set under the board's lock, so that a release
    // cannot take the request before it is listed, and a cancel that runs at
    // once waits in forgetHeld until it is.
    std::lock_guard lock(mutex_);
    const bool set = request->setCancelRoutine(
        [](platform::DeviceObject& device, const platform::IoRequestPtr& cancelled) {
            BoardDevice& extension = device.extension<BoardDevice>();
            extension.board->forgetHeld(cancelled);
            cancelled->complete(platform::kStatusCancelled);
            extension.removeLock.release();
        });
    if (!set) {
        return false;
    }
    held_.push_back(request);
    heldChanged_.notify_all();
    return true;
}

void BoardModel::forgetHeld(const platform::IoRequestPtr& request) {
    std::lock_guard lock(mutex_);
    std::erase(held_, request);
    heldChanged_.notify_all();
}

std::size_t BoardModel::releaseHeld() {
    std::deque<platform::IoRequestPtr> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(held_);
        heldChanged_.notify_all();
    }
    std::size_t released = 0;
    for (const platform::IoRequestPtr& request : taken) {
        if (!request->clearCancelRoutine()) {
            continue; // its cancel routine completes it
        }
        const Answer answer = serveReleased(request->ioControlCode(), request->systemBuffer(),
                                            request->inputBufferLength());
        request->setInformation(answer.information);
        request->complete(answer.status);
        request->device().extension<BoardDevice>().removeLock.release();
        ++released;
    }
    return released;
}

} // namespace sim
