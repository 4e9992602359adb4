#pragma once
// The I2C bus of a simulated board: 256-byte serial EEPROMs at their 8-bit
// addresses (the configuration EEPROMs at 0xA0, 0xA2, 0xA4, and the boot
// EEPROM on the microcontroller's own bus), any of them removable, and faults
// that tests inject per address.
//
// An EEPROM works as the parts do: it has an address pointer; an indexed
// transfer sets it first, a write without index takes its first byte as the
// new pointer, and every byte read or written advances it, wrapping at 256.
// An address without a device does not acknowledge.
//
// Not thread-safe: the board model uses it under its own lock.

#include "sim/eeprom_images.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>

namespace sim {

enum class I2cResult {
    Done,
    NoAcknowledge, // no device at the address, or an injected read failure
};

class I2cEeprom {
public:
    explicit I2cEeprom(const EepromContents& contents) : bytes_(contents) {}

    const EepromContents& contents() const { return bytes_; }
    void setContents(const EepromContents& contents) { bytes_ = contents; }
    uint8_t pointer() const { return pointer_; }
    void setPointer(uint8_t pointer) { pointer_ = pointer; }

    void write(std::span<const uint8_t> bytes);
    void read(std::span<uint8_t> out);

private:
    EepromContents bytes_;
    uint8_t pointer_ = 0;
};

class I2cBus {
public:
    // Addresses in the 8-bit form; the direction bit (bit 0) is ignored.
    void attachEeprom(uint8_t address, const EepromContents& contents);
    // False when nothing was there.
    bool remove(uint8_t address);
    bool present(uint8_t address) const;
    // The contents of the EEPROM at the address; nothing when none is there.
    std::optional<EepromContents> eeprom(uint8_t address) const;
    // False when no EEPROM is there.
    bool setEeprom(uint8_t address, const EepromContents& contents);

    // --- faults
    // The next `count` reads from the address are not acknowledged.
    void failReads(uint8_t address, unsigned count = 1);
    // The next `count` writes to the address store their first byte inverted,
    // so a read-back compare after them fails.
    void corruptWrites(uint8_t address, unsigned count = 1);
    void clearFaults();

    // --- transfers (index: nothing = at the device's address pointer; a
    // write without index takes its first byte as the pointer)
    I2cResult write(uint8_t address, std::optional<uint8_t> index, std::span<const uint8_t> data);
    I2cResult read(uint8_t address, std::optional<uint8_t> index, std::span<uint8_t> out);

private:
    struct Device {
        I2cEeprom eeprom;
        unsigned failingReads = 0;
        unsigned corruptingWrites = 0;
    };
    static uint8_t key(uint8_t address) { return static_cast<uint8_t>(address & 0xFE); }
    Device* find(uint8_t address);
    const Device* find(uint8_t address) const;

    std::map<uint8_t, Device> devices_;
};

// Attaches the configuration EEPROMs a board's images hold at their
// addresses (0xA2 interface, 0xA0 front end, 0xA4 multiplexer).
void attachConfigurationEeproms(I2cBus& bus, const BoardImages& images);
// The boot EEPROM's contents: its image, or erased (0xFF) without one.
EepromContents bootContents(const BoardImages& images);

} // namespace sim
