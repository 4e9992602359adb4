#include "sim/serial_unit_model.h"

#include "block_access.h"
#include "sim/eeprom_images.h"
#include "sim/sensor_model.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <type_traits>

namespace sim {
namespace {

using tarvik::qre::kConfigurationBlock;
using tarvik::qre::kParameterBlock;
using tarvik::qre::kSettingsBlock;
using tarvik::qre::kTransferBlock;
using tarvik::qre::kVersionBlock;

constexpr uint8_t kAcknowledge = 2;

// Status block.
constexpr std::size_t kFirmware = 2;
constexpr std::size_t kLinkStatus = 4;
constexpr std::size_t kDeviceError = 6;
constexpr std::size_t kInputs = 16;
constexpr std::size_t kState = 17;
constexpr std::size_t kDataReady = 18;
constexpr std::size_t kRecordIndex = 19;
constexpr std::size_t kWideIndex = 20;
constexpr uint8_t kStateIdle = 0;
constexpr uint8_t kStateSettling = 1;
constexpr uint8_t kStateReady = 2;
constexpr uint8_t kNoRecord = 255;

// Settings block.
constexpr std::size_t kIntegration = 16;
constexpr std::size_t kTrigger = 20;
constexpr std::size_t kOperatingMode = 21;
constexpr std::size_t kAverage = 23;

// Spectrum records.
constexpr std::size_t kRecordPixels = 16;
constexpr std::size_t kRecordData = 18;
constexpr std::size_t kWideData = 20;

// Configuration block: status, the interface image's first 24 bytes, the
// front end's first 40, the multiplexer's length word.
constexpr std::size_t kConfigStatus = 2;
constexpr std::size_t kConfigInterface = 4;
constexpr std::size_t kConfigFrontEnd = 28;
constexpr std::size_t kConfigMux = 68;
constexpr uint16_t kSerialInterfaceType = 3;

void put16(std::span<uint8_t> block, std::size_t at, uint16_t value) {
    detail::writeField(block, at, value);
}

void put32(std::span<uint8_t> block, std::size_t at, uint32_t value) {
    detail::writeField(block, at, value);
}

void putFloat(std::span<uint8_t> block, std::size_t at, float value) {
    detail::writeField(block, at, value);
}

uint32_t get32(std::span<const uint8_t> block, std::size_t at) {
    return detail::readField<uint32_t>(block, at);
}

SensorChannel sensorOf(const SerialUnitConfig& config) {
    SensorChannel sensor;
    sensor.sensorType = config.sensorType;
    sensor.pixels = config.pixels;
    for (std::size_t i = 0; i < sensor.coefficients.size(); ++i) {
        sensor.coefficients[i] = static_cast<float>(config.coefficients[i]);
    }
    return sensor;
}

BoardImages imagesOf(const SerialUnitConfig& config) {
    BoardImages images;
    InterfaceImageSpec interface;
    interface.header.type = kSerialInterfaceType;
    interface.header.logicVersion = config.firmwareVersion;
    images.interfaceImage = buildInterfaceImage(interface);
    // Version 0: the 40 bytes the configuration block carries hold it whole.
    FrontEndImageSpec frontEnd;
    frontEnd.header.type = config.frontEndType;
    frontEnd.header.version = 0;
    frontEnd.sensor = sensorOf(config);
    images.frontEndImage = buildFrontEndImage(frontEnd);
    return images;
}

BoardConfig boardOf(const SerialUnitConfig& config) {
    BoardConfig board;
    board.pixels = config.pixels;
    board.sensorType = config.sensorType;
    board.frontEndType = config.frontEndType;
    board.coefficients = config.coefficients;
    board.dark = config.dark;
    board.signal = config.signal;
    return board;
}

bool isContinuous(uint8_t mode) {
    return mode == 4 || mode == 34;
}

bool isSingle(uint8_t mode) {
    return mode == 18 || mode == 1;
}

constexpr uint8_t kOperatingModeTriggered = 1;

} // namespace

SerialUnitModel::SerialUnitModel(SerialUnitConfig config) : config_(std::move(config)) {
    attachConfigurationEeproms(bus_, imagesOf(config_));
}

void SerialUnitModel::install(SerialUnit& unit) {
    const std::span<uint8_t> v = unit.block(kVersionBlock);
    std::fill(v.begin(), v.end(), 0);
    put16(v, kFirmware, config_.firmwareVersion);
    v[kRecordIndex] = kNoRecord;
    v[kWideIndex] = kNoRecord;

    const std::span<uint8_t> s = unit.block(kSettingsBlock);
    std::fill(s.begin(), s.end(), 0);
    put32(s, kIntegration, 10000);
    static constexpr uint8_t kModes[] = {0, 1, 1, 0, 0, 1, 1, 21};
    std::copy(std::begin(kModes), std::end(kModes), s.begin() + 20);

    const std::span<uint8_t> p = unit.block(kParameterBlock);
    std::fill(p.begin(), p.end(), 0);
    p[4] = static_cast<uint8_t>(config_.frontEndType);
    for (const std::size_t channel : {std::size_t{16}, std::size_t{40}}) {
        put16(p, channel, config_.sensorType);
        put16(p, channel + 2, config_.pixels);
        for (std::size_t i = 0; i < config_.coefficients.size(); ++i) {
            putFloat(p, channel + 4 + 4 * i, static_cast<float>(config_.coefficients[i]));
        }
    }

    const std::span<uint8_t> c = unit.block(kConfigurationBlock);
    std::fill(c.begin(), c.end(), 0);
    const BoardImages images = imagesOf(config_);
    put16(c, kConfigStatus, 1);
    std::copy_n(images.interfaceImage->begin(), kConfigFrontEnd - kConfigInterface,
                c.begin() + kConfigInterface);
    std::copy_n(images.frontEndImage->begin(), kConfigMux - kConfigFrontEnd,
                c.begin() + kConfigFrontEnd);
    put16(c, kConfigMux, 0); // no multiplexer

    takenSettings_.assign(s.begin(), s.end());
    takenParameters_.assign(p.begin(), p.end());
}

uint32_t SerialUnitModel::integrationUs() const {
    return takenSettings_.empty() ? 0 : get32(takenSettings_, kIntegration);
}

uint8_t SerialUnitModel::taken(std::size_t at) const {
    return at < takenSettings_.size() ? takenSettings_[at] : 0;
}

platform::Duration SerialUnitModel::cycle() const {
    const uint32_t average = taken(kAverage) >= 2 ? taken(kAverage) : 1;
    return std::chrono::microseconds(std::max<uint32_t>(integrationUs(), 10)) * average;
}

void SerialUnitModel::trigger(platform::Duration delay) {
    triggers_.push_back(delay);
}

uint8_t SerialUnitModel::command(SerialUnit& unit, uint8_t code) {
    const platform::TimePoint now = platform::now();
    const std::span<uint8_t> v = unit.block(kVersionBlock);
    switch (code) {
    case 4: {
        const std::span<uint8_t> s = unit.block(kSettingsBlock);
        const std::span<uint8_t> p = unit.block(kParameterBlock);
        takenSettings_.assign(s.begin(), s.end());
        takenParameters_.assign(p.begin(), p.end());
        if (isSingle(s[kOperatingMode])) {
            v[kState] = kStateReady;
        }
        break;
    }
    case 5: {
        const uint8_t mode = taken(kOperatingMode);
        started_ = now;
        v[kDataReady] = 0;
        v[kRecordIndex] = kNoRecord;
        v[kWideIndex] = kNoRecord;
        run_ = isContinuous(mode) ? Run::Continuous : isSingle(mode) ? Run::Single : Run::Idle;
        if (run_ == Run::Single && mode == kOperatingModeTriggered && taken(kTrigger) != 0) {
            run_ = Run::Armed;
        }
        if (run_ != Run::Idle && run_ != Run::Armed) {
            ++scans_;
        }
        break;
    }
    case 6:
        v[kDataReady] = 0;
        break;
    case 7:
        std::fill(v.begin() + kLinkStatus, v.begin() + kDeviceError + 2, 0);
        deviceError_ = 0;
        run_ = Run::Idle;
        v[kState] = kStateIdle;
        break;
    case 8:
        if (run_ == Run::Continuous && now - started_ >= cycle()) {
            if (taken(kAverage) >= 2) {
                fillSpectrum(unit, 7);
                v[kWideIndex] = 2;
            } else {
                fillSpectrum(unit, 3);
                v[kRecordIndex] = 2;
            }
            ++scans_;
        } else {
            // Stopped or still settling: nothing is taken.
            v[kRecordIndex] = kNoRecord;
            v[kWideIndex] = kNoRecord;
        }
        break;
    case 13:
        unit.setSilentUntil(now + resetTime_);
        ++resets_;
        run_ = Run::Idle;
        std::fill(v.begin() + kLinkStatus, v.end(), 0);
        put16(v, kFirmware, config_.firmwareVersion);
        break;
    default:
        break;
    }
    return kAcknowledge;
}

void SerialUnitModel::blockWritten(SerialUnit& unit, uint8_t type) {
    if (type != kTransferBlock) {
        return;
    }
    const std::span<uint8_t> block = unit.block(type);
    if (block[6] != 1) {
        return;
    }
    const uint8_t operation = block[2];
    const uint8_t count = std::min<uint8_t>(block[5], 8);
    const bool read = operation == 0x20 || operation == 0x21;
    const bool indexed = operation == 0x11 || operation == 0x21 || operation == 0x40;
    const std::optional<uint8_t> at = indexed ? std::optional<uint8_t>(block[4]) : std::nullopt;
    const I2cResult result = read ? bus_.read(block[3], at, block.subspan(16, count))
                                  : bus_.write(block[3], at, block.subspan(8, count));
    block[6] = 255;
    constexpr int8_t kI2cNoAck = -52;
    block[7] = result == I2cResult::Done ? 0 : static_cast<uint8_t>(kI2cNoAck);
}

void SerialUnitModel::beforeBlockRead(SerialUnit& unit, uint8_t type) {
    if (type == kVersionBlock) {
        refreshStatus(unit);
    }
}

void SerialUnitModel::refreshStatus(SerialUnit& unit) {
    const std::span<uint8_t> v = unit.block(kVersionBlock);
    v[kInputs] = config_.digitalInputs;
    put16(v, kDeviceError, static_cast<uint16_t>(deviceError_));
    const platform::TimePoint now = platform::now();
    if (run_ == Run::Armed && !triggers_.empty() && now - started_ >= triggers_.front()) {
        started_ = std::max(now, started_ + triggers_.front());
        triggers_.erase(triggers_.begin());
        run_ = Run::Single;
        ++scans_;
    }
    switch (run_) {
    case Run::Continuous:
        if (now - started_ < cycle()) {
            v[kState] = kStateSettling;
        } else {
            v[kState] = kStateReady;
            v[kDataReady] = 1;
        }
        break;
    case Run::Single:
        if (now - started_ >= cycle()) {
            const uint8_t index = nextRecord_;
            nextRecord_ ^= 1;
            fillSpectrum(unit, static_cast<uint8_t>(index + 1));
            v[kDataReady] = 1;
            v[kRecordIndex] = index;
            v[kState] = kStateReady;
            run_ = Run::Idle;
        }
        break;
    case Run::Armed:
    case Run::Idle:
        break;
    }
}

void SerialUnitModel::fillSpectrum(SerialUnit& unit, uint8_t type) const {
    const std::span<uint8_t> record = unit.block(type);
    const bool wide = type == 7 || type == 8;
    const std::size_t data = wide ? kWideData : kRecordData;
    const std::size_t width = wide ? 4 : 2;
    std::fill(record.begin(), record.end(), 0);
    const SensorModel sensor(boardOf(config_));
    const uint32_t pixels = std::min<uint32_t>(config_.pixels, (record.size() - data) / width);
    put16(record, kRecordPixels, static_cast<uint16_t>(pixels));
    const double time = integrationUs();
    for (uint32_t i = 0; i < pixels; ++i) {
        const double counts = std::min(sensor.counts(i, pixels, time), 32767.0);
        if (wide) {
            // The mean of the scans in hundredths, as the library hands on
            // single spectra.
            put32(record, data + 4 * i, static_cast<uint32_t>(counts) * 100);
        } else {
            put16(record, data + 2 * i, static_cast<uint16_t>(counts));
        }
    }
}

} // namespace sim

namespace sim {

SerialUnitRegistry& SerialUnitRegistry::instance() {
    static SerialUnitRegistry registry;
    return registry;
}

int SerialUnitRegistry::attach(const std::vector<SerialUnitConfig>& units) {
    std::lock_guard guard(mutex_);
    int result = 0;
    for (const SerialUnitConfig& config : units) {
        auto port = std::find_if(ports_.begin(), ports_.end(),
                                 [&](const Port& p) { return p.number == config.comPort; });
        if (port != ports_.end() && !port->electronics) {
            result = result != 0 ? result : EBUSY;
            continue;
        }
        if (port == ports_.end()) {
            Port fresh{config.comPort, std::make_shared<SerialElectronics>(),
                       std::make_shared<platform::serial::FakeSerialLine>(), nullptr, 0.0};
            fresh.line->setDevice(fresh.electronics.get());
            const int attached = platform::serial::attachFakeSerialLine(
                "COM" + std::to_string(config.comPort), fresh.line);
            if (attached != 0) {
                fresh.line->setDevice(nullptr);
                result = result != 0 ? result : attached;
                continue;
            }
            ports_.push_back(std::move(fresh));
            port = std::prev(ports_.end());
        }
        auto model = std::make_shared<SerialUnitModel>(config);
        if (config.lineErrors > port->lineErrors) {
            port->lineErrors = config.lineErrors;
            port->electronics->setByteErrorRate(config.lineErrors, config.comPort);
        }
        port->electronics->withLock([&] {
            SerialUnit& unit = port->electronics->addUnit(config.address);
            model->install(unit);
            unit.setBehaviour(model);
        });
        units_.push_back(std::move(model));
    }
    return result;
}

int SerialUnitRegistry::attachMuxes(const std::vector<SerialMuxConfig>& muxes) {
    std::lock_guard guard(mutex_);
    int result = 0;
    for (const SerialMuxConfig& config : muxes) {
        Port fresh{config.comPort, nullptr, std::make_shared<platform::serial::FakeSerialLine>(),
                   std::make_shared<SerialMux>(config), 0.0};
        fresh.line->setDevice(fresh.mux.get());
        const int attached = platform::serial::attachFakeSerialLine(
            "COM" + std::to_string(config.comPort), fresh.line);
        if (attached != 0) {
            fresh.line->setDevice(nullptr);
            result = result != 0 ? result : attached;
            continue;
        }
        ports_.push_back(std::move(fresh));
    }
    return result;
}

namespace {
// What the port numbered comPort serves of one kind (a multiplexer or the
// electronics), or null.
template <class Ports, class Member>
auto servedOn(const Ports& ports, uint8_t comPort, Member member) {
    for (const auto& port : ports) {
        if (port.number == comPort && port.*member) {
            return port.*member;
        }
    }
    return std::remove_cvref_t<decltype(ports.front().*member)>(nullptr);
}
} // namespace

std::shared_ptr<SerialMux> SerialUnitRegistry::mux(uint8_t comPort) const {
    std::lock_guard guard(mutex_);
    return servedOn(ports_, comPort, &Port::mux);
}

void SerialUnitRegistry::detach() {
    std::lock_guard guard(mutex_);
    for (Port& port : ports_) {
        platform::serial::detachSerialPort("COM" + std::to_string(port.number));
        port.line->setDevice(nullptr);
    }
    ports_.clear();
    units_.clear();
}

std::shared_ptr<SerialUnitModel> SerialUnitRegistry::find(std::string_view name) const {
    std::lock_guard guard(mutex_);
    for (const auto& unit : units_) {
        const std::string& own = unit->config().name;
        if (own.size() == name.size() &&
            std::equal(own.begin(), own.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            return unit;
        }
    }
    return nullptr;
}

std::shared_ptr<SerialElectronics> SerialUnitRegistry::electronics(uint8_t comPort) const {
    std::lock_guard guard(mutex_);
    return servedOn(ports_, comPort, &Port::electronics);
}

} // namespace sim
