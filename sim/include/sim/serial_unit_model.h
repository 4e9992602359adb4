#pragma once
// The device model of a simulated serial electronics unit: what its twelve
// blocks mean and what its commands do, behind the frame level of
// SerialElectronics.
//
// Blocks (little-endian):
//   10 version and status: 2 firmware version, 4 link status, 6 device error,
//      16 digital inputs, 17 state, 18 data ready, 19 spectrum record index,
//      20 wide record index, 21 warning
//    9 settings: 4 digital outputs, 6 multiplexer mode - 1, 7 its channel,
//      16 integration time (µs, 32 bits), 20 trigger, 21 operating mode,
//      22 repeat factor, 23 average, 24 flash, 25 display level, 29 factor
//    6 parameters: 4 sensor code, 5 multiplexer code, 6 options, 16/40 sensor
//      value, 18/42 pixel count
//   11 I2C transfer: done on the unit's I2C bus when written with request 1
//   12 configuration: status 1 and the short images of the interface (type
//      3), front end and (no) multiplexer, built as the boards' EEPROMs are
//   1..4, 7, 8 spectra: 18-byte header and 16-bit pixels, or 20 bytes and
//      32-bit pixels
// Commands: 4 takes the written settings and parameters (and, for a single
// scan mode, makes the unit ready: state 2); 5 starts: the continuous modes
// (4, 34) settle for one cycle (the integration time, times the average
// number when it is 2 or more: state 1, then 2 and data ready), a single
// scan (18, or 1 without trigger) is ready after its integration time with
// its spectrum in record 1 or 2 (index 0 and 1 by turns), a triggered one
// (1 with trigger 1 or 2) is armed and scans on its next trigger; 6 clears
// the data-ready flag; 7 clears the status words and stops; 8 takes the last
// continuous spectrum into record 3 (byte 19 = 2) or, averaged, the mean of
// the last average-number scans x 100 into wide record 7 (byte 20 = 2);
// 13 resets: the unit answers nothing for resetTime; 14 polls.
//
// Time is the platform clock's. Used under the electronics' lock.

#include "sim/i2c_bus.h"
#include "sim/serial_electronics.h"
#include "sim/serial_mux.h"
#include "sim/setup.h"

#include "platform/clock.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace sim {

class SerialUnitModel : public SerialUnitBehaviour {
public:
    explicit SerialUnitModel(SerialUnitConfig config);

    // Fills the unit's blocks with the model's start state.
    void install(SerialUnit& unit);

    uint8_t command(SerialUnit& unit, uint8_t code) override;
    void blockWritten(SerialUnit& unit, uint8_t type) override;
    void beforeBlockRead(SerialUnit& unit, uint8_t type) override;

    const SerialUnitConfig& config() const { return config_; }
    I2cBus& i2cBus() { return bus_; }
    void setDigitalInputs(uint8_t levels) { config_.digitalInputs = levels; }
    // The light from now on: dark counts and counts per ms at the line.
    void setLevels(uint16_t dark, double signal) {
        config_.dark = dark;
        config_.signal = signal;
    }
    // The settings and parameters the last command 4 took.
    const std::vector<uint8_t>& takenSettings() const { return takenSettings_; }
    const std::vector<uint8_t>& takenParameters() const { return takenParameters_; }
    // The device error code the unit reports from now on (status word 6).
    void setDeviceError(int16_t code) { deviceError_ = code; }
    // How long a global reset keeps the unit silent.
    void setResetTime(platform::Duration time) { resetTime_ = time; }
    int resets() const { return resets_; }
    // A trigger on the unit's input: an armed unit scans at once; otherwise
    // it waits for the next arming. `delay` after the arming, when given.
    void trigger(platform::Duration delay = platform::Duration::zero());
    // Scans the unit has started (single, triggered, continuous readouts).
    int scans() const { return scans_; }

private:
    enum class Run { Idle, Continuous, Single, Armed };

    void refreshStatus(SerialUnit& unit);
    void fillSpectrum(SerialUnit& unit, uint8_t type) const;
    uint32_t integrationUs() const;
    uint8_t taken(std::size_t at) const;
    platform::Duration cycle() const;

    SerialUnitConfig config_;
    I2cBus bus_;
    std::vector<uint8_t> takenSettings_;
    std::vector<uint8_t> takenParameters_;
    int16_t deviceError_ = 0;
    Run run_ = Run::Idle;
    platform::TimePoint started_{};
    platform::Duration resetTime_ = std::chrono::milliseconds(10500);
    int resets_ = 0;
    int scans_ = 0;
    uint8_t nextRecord_ = 0;
    std::vector<platform::Duration> triggers_; // pending, by their delay after arming
};

} // namespace sim

namespace sim {

// The serial units of the set-up, served inside the process: the units of one
// com_port share a simulated line attached as that COM port. Thread-safe.
class SerialUnitRegistry {
public:
    static SerialUnitRegistry& instance();

    // Serves the units (after the ones served already); a port that another
    // attachment holds is left alone. 0, or the first attachment's error.
    int attach(const std::vector<SerialUnitConfig>& units);
    // Serves the multiplexers, each on its port's line; 0 or the first
    // attachment's error.
    int attachMuxes(const std::vector<SerialMuxConfig>& muxes);
    // Detaches every port and forgets the units and multiplexers.
    void detach();
    // A multiplexer of the set-up by its COM port; null none.
    std::shared_ptr<SerialMux> mux(uint8_t comPort) const;
    // A unit of the set-up by name (ASCII case ignored); null none.
    std::shared_ptr<SerialUnitModel> find(std::string_view name) const;
    // The electronics on a port (its units' frames); null none.
    std::shared_ptr<SerialElectronics> electronics(uint8_t comPort) const;

private:
    SerialUnitRegistry() = default;
    struct Port {
        uint8_t number = 0;
        std::shared_ptr<SerialElectronics> electronics;
        std::shared_ptr<platform::serial::FakeSerialLine> line;
        std::shared_ptr<SerialMux> mux;
        double lineErrors = 0.0;
    };
    mutable std::mutex mutex_;
    std::vector<Port> ports_;
    std::vector<std::shared_ptr<SerialUnitModel>> units_;
};

} // namespace sim
