#pragma once
// The I2C bus of a simulated board: devices at their 8-bit addresses, any of
// them removable, and faults that tests inject per address. The devices are
// 256-byte serial EEPROMs (the configuration EEPROMs at 0xA0, 0xA2, 0xA4, and
// the boot EEPROM on the microcontroller's own bus), temperature sensors
// (the board's own at 0x90, the light-source modules' at 0x9A), and the
// light-source modules and the cooled detector board (light_sources.h).
//
// A device takes each transfer whole (transmit, receive). Most have a
// register pointer, which the default transfers serve: an indexed transfer
// sets it first, and a write without index takes its first byte as the new
// pointer. An EEPROM's pointer advances with every byte read or written,
// wrapping at 256. An address without a device does not acknowledge, nor
// does a device that refuses a transfer.
//
// Not thread-safe: the board model uses it under its own lock.

#include "sim/eeprom_images.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace sim {

enum class I2cResult {
    Done,
    NoAcknowledge, // no device at the address, or an injected read failure
};

// A device on the bus, as the bus addresses it.
class I2cDevice {
public:
    virtual ~I2cDevice() = default;
    // One transfer: the register index of an indexed one, and the bytes.
    // False: not acknowledged.
    virtual bool transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes);
    virtual bool receive(std::optional<uint8_t> index, std::span<uint8_t> out);

    // The register-pointer devices' parts of a transfer (the default
    // transfers call them; devices that take transfers whole need not).
    virtual void setPointer(uint8_t /*pointer*/) {}
    // The bytes after the pointer byte of a write.
    virtual void write(std::span<const uint8_t> /*bytes*/) {}
    virtual void read(std::span<uint8_t> /*out*/) {}
};

class I2cEeprom : public I2cDevice {
public:
    explicit I2cEeprom(const EepromContents& contents) : bytes_(contents) {}

    const EepromContents& contents() const { return bytes_; }
    void setContents(const EepromContents& contents) { bytes_ = contents; }
    uint8_t pointer() const { return pointer_; }
    void setPointer(uint8_t pointer) override { pointer_ = pointer; }

    void write(std::span<const uint8_t> bytes) override;
    void read(std::span<uint8_t> out) override;

private:
    EepromContents bytes_;
    uint8_t pointer_ = 0;
};

// A temperature sensor of the kind the boards and the light-source modules
// carry. Registers: 0 the temperature (read only), 1 a configuration byte, 2
// the hysteresis temperature T hyst, 3 the alarm temperature T os. A
// temperature register reads two bytes: the whole degrees, signed, and bit 7
// of the second byte for a further half degree away from zero (-25.5 reads
// 0xE7 0x80). Reads past a register's bytes repeat them; writes to the
// temperature register are ignored.
class I2cTemperatureSensor : public I2cDevice {
public:
    // Temperatures in half degrees (51 = 25.5 degrees).
    explicit I2cTemperatureSensor(int halfDegrees, int tHystHalfDegrees = 150,
                                  int tOsHalfDegrees = 160)
        : registers_{halfDegrees, 0, tHystHalfDegrees, tOsHalfDegrees} {}

    int temperature() const { return registers_[0]; }
    void setTemperature(int halfDegrees) { registers_[0] = halfDegrees; }
    int tHyst() const { return registers_[2]; }
    int tOs() const { return registers_[3]; }
    uint8_t configuration() const { return static_cast<uint8_t>(registers_[1]); }
    uint8_t pointer() const { return pointer_; }

    void setPointer(uint8_t pointer) override { pointer_ = static_cast<uint8_t>(pointer & 3); }
    void write(std::span<const uint8_t> bytes) override;
    void read(std::span<uint8_t> out) override;

    // The two bytes of a temperature in half degrees, and back.
    static std::array<uint8_t, 2> encode(int halfDegrees);
    static int decode(uint8_t whole, uint8_t fraction);

private:
    std::array<int, 4> registers_;
    uint8_t pointer_ = 0;
};

// A device that keeps every write it gets, its pointer byte first, so the
// bytes read back exactly as the writer sent them; reads give zeros. Stands
// for the light-source modules, whose own behaviour lies outside the
// simulation.
class I2cRecorder : public I2cDevice {
public:
    void setPointer(uint8_t pointer) override { pointer_ = pointer; }
    void write(std::span<const uint8_t> bytes) override;
    void read(std::span<uint8_t> out) override;

    const std::vector<std::vector<uint8_t>>& writes() const { return writes_; }
    void clear() { writes_.clear(); }

private:
    uint8_t pointer_ = 0;
    std::vector<std::vector<uint8_t>> writes_;
};

class I2cBus {
public:
    // Addresses in the 8-bit form; the direction bit (bit 0) is ignored.
    void attachEeprom(uint8_t address, const EepromContents& contents);
    void attach(uint8_t address, std::unique_ptr<I2cDevice> device);
    // The device at the address when it is of type T; null otherwise.
    template <class T> T* device(uint8_t address) {
        Device* found = find(address);
        return found != nullptr ? dynamic_cast<T*>(found->device.get()) : nullptr;
    }
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
        std::unique_ptr<I2cDevice> device;
        unsigned failingReads = 0;
        unsigned corruptingWrites = 0;
    };
    static uint8_t key(uint8_t address) { return static_cast<uint8_t>(address & 0xFE); }
    Device* find(uint8_t address);
    const Device* find(uint8_t address) const;

    std::map<uint8_t, Device> devices_;
};

// The board's own temperature sensor (interface types 5 and 8, read at
// 0x91), at a fixed 26.5 degrees.
inline constexpr uint8_t kBoardTemperatureSensor = 0x90;
inline constexpr int kBoardTemperatureHalfDegrees = 53;

// Attaches the configuration EEPROMs a board's images hold at their
// addresses (0xA2 interface, 0xA0 front end, 0xA4 multiplexer).
void attachConfigurationEeproms(I2cBus& bus, const BoardImages& images);
// The boot EEPROM's contents: its image, or erased (0xFF) without one.
EepromContents bootContents(const BoardImages& images);

} // namespace sim
