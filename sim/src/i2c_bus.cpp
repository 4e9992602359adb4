// The I2C bus of a simulated board.

#include "sim/i2c_bus.h"

#include <algorithm>
#include <vector>

namespace sim {

bool I2cDevice::transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes) {
    if (index) {
        setPointer(*index);
    } else if (!bytes.empty()) {
        setPointer(bytes.front());
        bytes = bytes.subspan(1);
    }
    write(bytes);
    return true;
}

bool I2cDevice::receive(std::optional<uint8_t> index, std::span<uint8_t> out) {
    if (index) {
        setPointer(*index);
    }
    read(out);
    return true;
}

void I2cEeprom::write(std::span<const uint8_t> bytes) {
    for (uint8_t byte : bytes) {
        bytes_[pointer_] = byte;
        ++pointer_; // wraps at 256
    }
}

void I2cEeprom::read(std::span<uint8_t> out) {
    for (uint8_t& byte : out) {
        byte = bytes_[pointer_];
        ++pointer_;
    }
}

void I2cTemperatureSensor::write(std::span<const uint8_t> bytes) {
    if (pointer_ == 1) {
        if (!bytes.empty()) {
            registers_[1] = bytes.front();
        }
    } else if (pointer_ != 0 && bytes.size() >= 2) {
        registers_[pointer_] = decode(bytes[0], bytes[1]);
    }
}

void I2cTemperatureSensor::read(std::span<uint8_t> out) {
    const std::array<uint8_t, 2> pair =
        pointer_ == 1 ? std::array<uint8_t, 2>{configuration(), configuration()}
                      : encode(registers_[pointer_]);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = pair[i % 2];
    }
}

std::array<uint8_t, 2> I2cTemperatureSensor::encode(int halfDegrees) {
    const int whole = halfDegrees / 2; // toward zero
    const bool half = halfDegrees % 2 != 0;
    return {static_cast<uint8_t>(whole & 0xFF), static_cast<uint8_t>(half ? 0x80 : 0x00)};
}

int I2cTemperatureSensor::decode(uint8_t whole, uint8_t fraction) {
    const int degrees = whole < 128 ? whole : whole - 256;
    const int half = (fraction & 0x80) != 0 ? 1 : 0;
    return degrees < 0 ? 2 * degrees - half : 2 * degrees + half;
}

I2cBus::Device* I2cBus::find(uint8_t address) {
    const auto it = devices_.find(key(address));
    return it != devices_.end() ? &it->second : nullptr;
}

const I2cBus::Device* I2cBus::find(uint8_t address) const {
    const auto it = devices_.find(key(address));
    return it != devices_.end() ? &it->second : nullptr;
}

void I2cRecorder::write(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> record{pointer_};
    record.insert(record.end(), bytes.begin(), bytes.end());
    writes_.push_back(std::move(record));
}

void I2cRecorder::read(std::span<uint8_t> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
}

void I2cBus::attachEeprom(uint8_t address, const EepromContents& contents) {
    attach(address, std::make_unique<I2cEeprom>(contents));
}

void I2cBus::attach(uint8_t address, std::unique_ptr<I2cDevice> device) {
    devices_.insert_or_assign(key(address), Device{std::move(device)});
}

bool I2cBus::remove(uint8_t address) {
    return devices_.erase(key(address)) != 0;
}

bool I2cBus::present(uint8_t address) const {
    return find(address) != nullptr;
}

std::optional<EepromContents> I2cBus::eeprom(uint8_t address) const {
    const Device* device = find(address);
    const auto* eeprom =
        device != nullptr ? dynamic_cast<const I2cEeprom*>(device->device.get()) : nullptr;
    if (eeprom == nullptr) {
        return std::nullopt;
    }
    return eeprom->contents();
}

bool I2cBus::setEeprom(uint8_t address, const EepromContents& contents) {
    auto* eeprom = device<I2cEeprom>(address);
    if (eeprom == nullptr) {
        return false;
    }
    eeprom->setContents(contents);
    return true;
}

void I2cBus::failReads(uint8_t address, unsigned count) {
    if (Device* device = find(address)) {
        device->failingReads += count;
    }
}

void I2cBus::corruptWrites(uint8_t address, unsigned count) {
    if (Device* device = find(address)) {
        device->corruptingWrites += count;
    }
}

void I2cBus::clearFaults() {
    for (auto& [address, device] : devices_) {
        device.failingReads = 0;
        device.corruptingWrites = 0;
    }
}

I2cResult I2cBus::write(uint8_t address, std::optional<uint8_t> index,
                        std::span<const uint8_t> data) {
    Device* device = find(address);
    if (device == nullptr) {
        return I2cResult::NoAcknowledge;
    }
    // A corrupted write stores its first data byte (after a pointer byte) inverted.
    const std::size_t first = index ? 0 : 1;
    std::vector<uint8_t> corrupted;
    if (device->corruptingWrites > 0 && data.size() > first) {
        --device->corruptingWrites;
        corrupted.assign(data.begin(), data.end());
        corrupted[first] = static_cast<uint8_t>(~corrupted[first]);
        data = corrupted;
    }
    return device->device->transmit(index, data) ? I2cResult::Done : I2cResult::NoAcknowledge;
}

I2cResult I2cBus::read(uint8_t address, std::optional<uint8_t> index, std::span<uint8_t> out) {
    Device* device = find(address);
    if (device == nullptr) {
        return I2cResult::NoAcknowledge;
    }
    if (device->failingReads > 0) {
        --device->failingReads;
        return I2cResult::NoAcknowledge;
    }
    return device->device->receive(index, out) ? I2cResult::Done : I2cResult::NoAcknowledge;
}

void attachConfigurationEeproms(I2cBus& bus, const BoardImages& images) {
    if (images.interfaceImage) {
        bus.attachEeprom(kInterfaceEeprom, *images.interfaceImage);
    }
    if (images.frontEndImage) {
        bus.attachEeprom(kFrontEndEeprom, *images.frontEndImage);
    }
    if (images.muxImage) {
        bus.attachEeprom(kMuxEeprom, *images.muxImage);
    }
}

EepromContents bootContents(const BoardImages& images) {
    if (images.bootImage) {
        return *images.bootImage;
    }
    EepromContents blank;
    blank.fill(0xFF);
    return blank;
}

} // namespace sim
