// The I2C bus of a simulated board.

#include "sim/i2c_bus.h"

namespace sim {

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

I2cBus::Device* I2cBus::find(uint8_t address) {
    const auto it = devices_.find(key(address));
    return it != devices_.end() ? &it->second : nullptr;
}

const I2cBus::Device* I2cBus::find(uint8_t address) const {
    const auto it = devices_.find(key(address));
    return it != devices_.end() ? &it->second : nullptr;
}

void I2cBus::attachEeprom(uint8_t address, const EepromContents& contents) {
    devices_.insert_or_assign(key(address), Device{I2cEeprom(contents)});
}

bool I2cBus::remove(uint8_t address) {
    return devices_.erase(key(address)) != 0;
}

bool I2cBus::present(uint8_t address) const {
    return find(address) != nullptr;
}

std::optional<EepromContents> I2cBus::eeprom(uint8_t address) const {
    const Device* device = find(address);
    if (device == nullptr) {
        return std::nullopt;
    }
    return device->eeprom.contents();
}

bool I2cBus::setEeprom(uint8_t address, const EepromContents& contents) {
    Device* device = find(address);
    if (device == nullptr) {
        return false;
    }
    device->eeprom.setContents(contents);
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
    if (index) {
        device->eeprom.setPointer(*index);
    } else if (!data.empty()) {
        device->eeprom.setPointer(data.front());
        data = data.subspan(1);
    }
    if (device->corruptingWrites > 0 && !data.empty()) {
        --device->corruptingWrites;
        const uint8_t first = static_cast<uint8_t>(~data.front());
        device->eeprom.write(std::span<const uint8_t>(&first, 1));
        data = data.subspan(1);
    }
    device->eeprom.write(data);
    return I2cResult::Done;
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
    if (index) {
        device->eeprom.setPointer(*index);
    }
    device->eeprom.read(out);
    return I2cResult::Done;
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
