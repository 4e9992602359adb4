// The simulated board's I2C requests: its I2C bus, the boot EEPROM on the
// microcontroller's own bus, the presence check and the temperature sensors.

#include "i2c_operations.h"
#include "sim/fx2_board.h"

#include <algorithm>
#include <optional>

namespace sim {

namespace usb = platform::usb;

namespace {

constexpr std::size_t kCheckAnswerBytes = 12;
constexpr std::size_t kAllTemperaturesBytes = 2 + 4 * kFx2MaxTemperatureSensors;

void put16(std::vector<uint8_t>& bytes, std::size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

} // namespace

EepromContents Fx2Board::bootEeprom() const {
    std::lock_guard lock(mutex_);
    return controllerBus_.eeprom(fx2BootEepromAddress(config_.generation))
        .value_or(EepromContents{});
}

void Fx2Board::setBootEeprom(const EepromContents& contents) {
    std::lock_guard lock(mutex_);
    controllerBus_.setEeprom(fx2BootEepromAddress(config_.generation), contents);
}

usb::SimReply Fx2Board::i2cFailureLocked() {
    i2cError_ = kFx2I2cNoAcknowledge;
    return usb::SimReply::stall();
}

usb::SimReply Fx2Board::serveI2cLocked(const usb::ControlSetup& setup,
                                       std::span<const uint8_t> data, uint16_t length) {
    const bool in = (setup.requestType & usb::kDirectionIn) != 0;
    switch (setup.request) {
    case kFx2RequestI2cOperation: {
        const auto operation = static_cast<uint8_t>(setup.value >> 8);
        const auto address = static_cast<uint8_t>(setup.value & 0xFF);
        // The EEPROMs have 8-bit pointers: a 16-bit index wraps at their size.
        const auto index = static_cast<uint8_t>(setup.index & 0xFF);
        if (operation == detail::kBootWrite || operation == detail::kBootWriteId) {
            if (in) {
                return usb::SimReply::stall();
            }
            return controllerBus_.write(address, index, data) == I2cResult::Done
                       ? usb::SimReply::ok()
                       : i2cFailureLocked();
        }
        if (operation == detail::kBootRead) {
            std::vector<uint8_t> out(length);
            if (!in || controllerBus_.read(address, index, out) != I2cResult::Done) {
                return in ? i2cFailureLocked() : usb::SimReply::stall();
            }
            return usb::SimReply::ok(std::move(out));
        }
        const detail::I2cKind kind = detail::i2cKindOf(operation);
        if (kind == detail::I2cKind::None || in != detail::i2cKindReads(kind)) {
            return usb::SimReply::stall();
        }
        std::vector<uint8_t> out(in ? length : 0);
        I2cResult result = I2cResult::Done;
        switch (kind) {
        case detail::I2cKind::WriteAtPointer:
            result = bus_.write(address, std::nullopt, data);
            break;
        case detail::I2cKind::WriteAtIndex:
        case detail::I2cKind::Program:
        case detail::I2cKind::WriteImage:
            result = bus_.write(address, index, data);
            break;
        case detail::I2cKind::Touch:
            result = bus_.write(address, 0, {});
            break;
        case detail::I2cKind::ReadAtPointer:
            result = bus_.read(address, std::nullopt, out);
            break;
        case detail::I2cKind::ReadAtIndex:
        case detail::I2cKind::ReadImage:
            result = bus_.read(address, index, out);
            break;
        case detail::I2cKind::None:
            break;
        }
        if (result != I2cResult::Done) {
            return i2cFailureLocked();
        }
        return usb::SimReply::ok(std::move(out));
    }
    case kFx2RequestI2cCheck: {
        if (!in) {
            return usb::SimReply::stall();
        }
        std::vector<uint8_t> answer(kCheckAnswerBytes, 0);
        if (!bus_.present(static_cast<uint8_t>(setup.value & 0xFF))) {
            put16(answer, 0, kFx2I2cNoAcknowledge);
        }
        return usb::SimReply::ok(std::move(answer));
    }
    case kFx2RequestGetAllTemperatures: {
        if (!in) {
            return usb::SimReply::stall();
        }
        std::vector<uint8_t> answer(kAllTemperaturesBytes, 0);
        const std::size_t n = std::min(config_.temperatures.size(), kFx2MaxTemperatureSensors);
        put16(answer, 0, static_cast<uint16_t>(n));
        for (std::size_t i = 0; i < n; ++i) {
            put16(answer, 2 + 2 * i, config_.temperatures[i].id);
            put16(answer, 2 + 2 * (kFx2MaxTemperatureSensors + i),
                  static_cast<uint16_t>(config_.temperatures[i].hundredths));
        }
        return usb::SimReply::ok(std::move(answer));
    }
    case kFx2RequestGetOneTemperature: {
        const auto sensor =
            std::find_if(config_.temperatures.begin(), config_.temperatures.end(),
                         [&](const Fx2TemperatureSensor& t) { return t.id == setup.index; });
        if (!in || sensor == config_.temperatures.end()) {
            return in ? i2cFailureLocked() : usb::SimReply::stall();
        }
        std::vector<uint8_t> answer(2);
        put16(answer, 0, static_cast<uint16_t>(sensor->hundredths));
        return usb::SimReply::ok(std::move(answer));
    }
    default:
        return usb::SimReply::stall();
    }
}

} // namespace sim
