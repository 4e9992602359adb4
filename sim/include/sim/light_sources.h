#pragma once
// The light-source modules and the cooled detector board on a board's I2C
// bus, as the library's drivers of them see them.
//
// Light-source modules (0x40, 0x42, .. 0x4A) answer a two-byte read with
// their identification byte and their status byte, and take a two-byte write
// of a command byte and the control outputs.
//   Identification: bits 0-1 the type (0 lamp module, 1 flash module, 2 lamp
//   module that keeps its power state), bits 3-4 the subtype, lamp modules
//   bits 5-6 an assembly info, flash modules bit 6 set under remote control.
//   Lamp module status: bit 0 lamp 2 and bit 1 lamp 1 (0 = on), bit 3 abort,
//   bit 4 shutter open, bits 5, 6, 7 the shutter, lamp 1 and lamp 2 outputs
//   read back. Flash module status: 255 minus the flash-rate code.
//   Command byte: 0xFF plain; bit 7 clear (0x7F) connects the module's
//   temperature sensor to the shared address 0x9A until the next command;
//   bit 1 clear (type 2) keeps the lamp state as the power-on state; 0xDF
//   (flash modules) sets the flash counter to 256 minus the second byte.
//   Control outputs (lamp modules): bit 5 shutter (1 open), bit 6 lamp 1 and
//   bit 7 lamp 2 (0 on). A lamp follows its output after the lamp delay, the
//   shutter reaches its position after the shutter delay, both on the
//   platform clock; lamps the subtype does not carry stay off (subtype 1
//   carries lamp 2, subtype 2 lamp 1, subtypes 0 and 3 both).
//
// The cooled detector board (0x74) takes one-byte transfers: register
// number in the high nibble, data in the low one. Registers 0 to 4 are
// written so (4 switches the cooling by its bit 1); a number with data 0xF
// selects a register to read, and the next read answers it in the low nibble:
// 9 bit 1 cooling on; 10 bit 0 jumper error, bit 1 cooling error, bit 2
// cooling available, bit 3 ready; 11 bits 1 and 2 the status bits B1 and B2;
// 12 and 13 the low and high nibble of the status code; 14 and 15 the high
// and low nibble of the firmware version.
//
// Not thread-safe: they live on an I2cBus, under their board's lock.

#include "sim/i2c_bus.h"
#include "sim/setup.h"

#include "platform/clock.h"

#include <array>
#include <cstdint>
#include <memory>

namespace sim {

inline constexpr uint8_t kModuleSensorAddress = 0x9A;
inline constexpr uint8_t kCooledBoardAddress = 0x74;
// A lamp module's sensor, in half degrees (31.0 degrees).
inline constexpr int kModuleTemperatureHalfDegrees = 62;
// The flash-rate code of the simulated flash modules: 10 ms between flashes.
inline constexpr uint8_t kFlashRateCode = 9;

// Which lamp module's temperature sensor the shared address reaches: the
// one that connected it last, until its next command; null when none.
struct ModuleSensorLine {
    I2cTemperatureSensor* connected = nullptr;
};

// The address 0x9A: the connected sensor; nothing answers without one.
class ModuleSensorPort : public I2cDevice {
public:
    explicit ModuleSensorPort(std::shared_ptr<ModuleSensorLine> line) : line_(std::move(line)) {}
    bool transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes) override;
    bool receive(std::optional<uint8_t> index, std::span<uint8_t> out) override;

private:
    std::shared_ptr<ModuleSensorLine> line_;
};

class LampModule : public I2cDevice {
public:
    struct Options {
        uint8_t type = 0; // 0, or 2 (keeps its power state)
        uint8_t subtype = 0;
        uint8_t info = 0;
        uint32_t lampDelayMs = 0;
        uint32_t shutterDelayMs = 0;
    };
    // The line is shared by the modules of one bus and its sensor port.
    LampModule(const Options& options, std::shared_ptr<ModuleSensorLine> line);
    ~LampModule() override;
    LampModule(const LampModule&) = delete;
    LampModule& operator=(const LampModule&) = delete;

    bool transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes) override;
    bool receive(std::optional<uint8_t> index, std::span<uint8_t> out) override;

    uint8_t identification() const;
    uint8_t status() const;
    uint8_t outputs() const { return outputs_; }
    bool lampOn(int lamp) const; // 1 or 2
    bool shutterOpen() const;
    bool sensorConnected() const { return line_->connected == &sensor_; }
    I2cTemperatureSensor& sensor() { return sensor_; }
    // Writes the module took, and its power-state saves.
    unsigned writes() const { return writes_; }
    unsigned powerStateSaves() const { return saves_; }
    // Abort (status bit 3), as a module reports a failed power stage.
    void setAbort(bool abort) { abort_ = abort; }

private:
    // A part that follows its output after a delay.
    struct Follower {
        bool state = false;
        bool target = false;
        platform::TimePoint since{};
        bool now(uint32_t delayMs) const;
        void set(bool wanted, uint32_t delayMs);
    };
    bool carries(int lamp) const;

    Options options_;
    std::shared_ptr<ModuleSensorLine> line_;
    I2cTemperatureSensor sensor_{kModuleTemperatureHalfDegrees};
    uint8_t outputs_ = 0xDF; // lamps off, shutter closed
    std::array<Follower, 2> lamps_{};
    Follower shutter_{};
    bool abort_ = false;
    unsigned writes_ = 0;
    unsigned saves_ = 0;
};

class FlashModule : public I2cDevice {
public:
    FlashModule(bool remote, uint8_t rateCode = kFlashRateCode)
        : remote_(remote), rateCode_(rateCode) {}

    bool transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes) override;
    bool receive(std::optional<uint8_t> index, std::span<uint8_t> out) override;

    bool remote() const { return remote_; }
    uint8_t identification() const { return static_cast<uint8_t>(remote_ ? 0x41 : 0x01); }
    uint8_t status() const { return static_cast<uint8_t>(255 - rateCode_); }
    // The rate is set by hand on the module.
    void setRateCode(uint8_t code) { rateCode_ = code; }
    // Flashes per trigger last set remotely (1 until then); counter writes.
    unsigned flashCounter() const { return counter_; }
    unsigned counterWrites() const { return counterWrites_; }

private:
    bool remote_;
    uint8_t rateCode_;
    unsigned counter_ = 1;
    unsigned counterWrites_ = 0;
};

class CooledBoard : public I2cDevice {
public:
    explicit CooledBoard(bool coolingAvailable = true, uint8_t firmwareVersion = 0x12);

    bool transmit(std::optional<uint8_t> index, std::span<const uint8_t> bytes) override;
    bool receive(std::optional<uint8_t> index, std::span<uint8_t> out) override;

    // The 16 register nibbles; 1 is the binning register.
    uint8_t reg(int n) const { return registers_[static_cast<std::size_t>(n & 15)]; }
    void setReg(int n, uint8_t value) {
        registers_[static_cast<std::size_t>(n & 15)] = static_cast<uint8_t>(value & 15);
    }
    bool coolingOn() const { return (reg(9) & 2) != 0; }
    // Writes of each of registers 0..4.
    unsigned writesOf(int n) const { return writeCounts_[static_cast<std::size_t>(n % 5)]; }

private:
    std::array<uint8_t, 16> registers_{};
    std::array<unsigned, 5> writeCounts_{};
    uint8_t selected_ = 9;
};

// Attaches the light-source modules, their sensor port (with a lamp module)
// and the cooled detector board that the board's set-up asks for.
void attachBoardModules(I2cBus& bus, const BoardConfig& config);

} // namespace sim
