// The light-source modules and the cooled detector board of a board's I2C bus.

#include "sim/light_sources.h"

#include <algorithm>
#include <chrono>

namespace sim {

namespace {

constexpr uint8_t kShutterOutput = 0x20;
constexpr uint8_t kLamp1Output = 0x40;
constexpr uint8_t kLamp2Output = 0x80;
constexpr uint8_t kSelectSensor = 0x80; // command bit, clear: sensor connected
constexpr uint8_t kSavePowerState = 0x02;
constexpr uint8_t kFlashCounterCommand = 0xDF;

platform::Duration ms(uint32_t value) {
    return std::chrono::milliseconds(value);
}

} // namespace

bool ModuleSensorPort::transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes) {
    return line_->connected != nullptr && line_->connected->transmit(index, bytes);
}

bool ModuleSensorPort::receive(std::optional<uint8_t> index, std::span<uint8_t> out) {
    return line_->connected != nullptr && line_->connected->receive(index, out);
}

bool LampModule::Follower::now(uint32_t delayMs) const {
    if (target == state) {
        return state;
    }
    // Without a delay the part follows at once, whatever the clock did since.
    return delayMs == 0 || platform::now() - since >= ms(delayMs) ? target : state;
}

void LampModule::Follower::set(bool wanted, uint32_t delayMs) {
    state = now(delayMs);
    if (wanted != target) {
        target = wanted;
        since = platform::now();
    }
}

LampModule::LampModule(const Options& options, std::shared_ptr<ModuleSensorLine> line)
    : options_(options), line_(std::move(line)) {}

LampModule::~LampModule() {
    if (sensorConnected()) {
        line_->connected = nullptr;
    }
}

bool LampModule::carries(int lamp) const {
    switch (options_.subtype) {
    case 1:
        return lamp == 2;
    case 2:
        return lamp == 1;
    default:
        return true;
    }
}

bool LampModule::lampOn(int lamp) const {
    return lamp >= 1 && lamp <= 2 &&
           lamps_[static_cast<std::size_t>(lamp - 1)].now(options_.lampDelayMs);
}

bool LampModule::shutterOpen() const {
    return shutter_.now(options_.shutterDelayMs);
}

uint8_t LampModule::identification() const {
    return static_cast<uint8_t>((options_.type & 3) | (options_.subtype & 3) << 3 |
                                (options_.info & 3) << 5);
}

uint8_t LampModule::status() const {
    uint8_t status = outputs_ & (kShutterOutput | kLamp1Output | kLamp2Output);
    status |= lampOn(2) ? 0 : 0x01;
    status |= lampOn(1) ? 0 : 0x02;
    status |= abort_ ? 0x08 : 0;
    status |= shutterOpen() ? 0x10 : 0;
    return status;
}

bool LampModule::transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes) {
    if (index || bytes.size() != 2) {
        return false;
    }
    ++writes_;
    const uint8_t command = bytes[0];
    outputs_ = bytes[1];
    lamps_[0].set(carries(1) && (outputs_ & kLamp1Output) == 0, options_.lampDelayMs);
    lamps_[1].set(carries(2) && (outputs_ & kLamp2Output) == 0, options_.lampDelayMs);
    shutter_.set((outputs_ & kShutterOutput) != 0, options_.shutterDelayMs);
    if ((command & kSelectSensor) == 0) {
        line_->connected = &sensor_;
    } else if (sensorConnected()) {
        line_->connected = nullptr;
    }
    if (options_.type == 2 && (command & kSavePowerState) == 0) {
        ++saves_;
    }
    return true;
}

bool LampModule::receive(std::optional<uint8_t> index, std::span<uint8_t> out) {
    if (index) {
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = i == 0 ? identification() : status();
    }
    return true;
}

bool FlashModule::transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes) {
    if (index || bytes.size() != 2) {
        return false;
    }
    if (bytes[0] == kFlashCounterCommand && remote_) {
        ++counterWrites_;
        counter_ = 256u - bytes[1];
    }
    return true;
}

bool FlashModule::receive(std::optional<uint8_t> index, std::span<uint8_t> out) {
    if (index) {
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = i == 0 ? identification() : status();
    }
    return true;
}

CooledBoard::CooledBoard(bool coolingAvailable, uint8_t firmwareVersion) {
    setReg(10, static_cast<uint8_t>(0x08 | (coolingAvailable ? 0x04 : 0)));
    setReg(14, static_cast<uint8_t>(firmwareVersion >> 4));
    setReg(15, firmwareVersion);
}

bool CooledBoard::transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes) {
    if (index || bytes.size() != 1) {
        return false;
    }
    const int n = bytes[0] >> 4;
    const auto value = static_cast<uint8_t>(bytes[0] & 15);
    if (value == 15) {
        selected_ = static_cast<uint8_t>(n);
        return true;
    }
    if (n > 4) {
        return false;
    }
    ++writeCounts_[static_cast<std::size_t>(n)];
    setReg(n, value);
    if (n == 4) {
        const bool on = (value & 2) != 0 && (reg(10) & 4) != 0;
        setReg(9, static_cast<uint8_t>((reg(9) & ~2) | (on ? 2 : 0)));
    }
    return true;
}

bool CooledBoard::receive(std::optional<uint8_t> index, std::span<uint8_t> out) {
    if (index) {
        return false;
    }
    std::fill(out.begin(), out.end(), static_cast<uint8_t>(selected_ << 4 | reg(selected_)));
    return true;
}

void attachBoardModules(I2cBus& bus, const BoardConfig& config) {
    if (config.cooledBoard) {
        bus.attach(kCooledBoardAddress, std::make_unique<CooledBoard>());
    }
    auto line = std::make_shared<ModuleSensorLine>();
    bool lamps = false;
    for (const LightSourceSpec& spec : config.lightSources) {
        std::unique_ptr<I2cDevice> module;
        if (spec.kind == LightSourceSpec::Kind::Lamp) {
            LampModule::Options options;
            options.subtype = spec.subtype;
            options.lampDelayMs = config.lampDelayMs;
            options.shutterDelayMs = config.shutterDelayMs;
            module = std::make_unique<LampModule>(options, line);
            lamps = true;
        } else {
            module = std::make_unique<FlashModule>(spec.kind == LightSourceSpec::Kind::Flash);
        }
        bus.attach(spec.address, std::move(module));
    }
    if (lamps) {
        bus.attach(kModuleSensorAddress, std::make_unique<ModuleSensorPort>(std::move(line)));
    }
}

} // namespace sim
