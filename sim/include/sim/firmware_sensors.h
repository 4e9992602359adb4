#pragma once
// The temperature sensors a board's firmware manages (not those on its I2C
// bus): every simulated board has the same two.

#include <cstdint>
#include <vector>

namespace sim {

struct FirmwareTemperatureSensor {
    uint16_t id = 0;
    int16_t hundredths = 0; // degrees Celsius x 100

    bool operator==(const FirmwareTemperatureSensor&) const = default;
};

// Sensor 1 at 23.50 and sensor 2 at 31.25 degrees.
inline std::vector<FirmwareTemperatureSensor> defaultFirmwareTemperatures() {
    return {{1, 2350}, {2, 3125}};
}

} // namespace sim
