// The decoders of the boards' temperature answers on arbitrary bytes: the
// driver's list in the data area (a count that the area or the record cannot
// hold must never lead past either) and the board sensor's two bytes, which
// the simulated sensor must encode the same way.
#include "hardware/temperatures.h"

#include "sim/i2c_bus.h"

#include "fuzz_check.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 2) {
        const double t = tarvik::BoardSensorTemperature(data[0], data[1]);
        check(t >= -128.5 && t <= 127.5);      // board temperature out of range
        check(std::fmod(t * 2.0, 1.0) == 0.0); // board temperature not in half degrees
        check(sim::I2cTemperatureSensor::decode(data[0], data[1]) ==
              static_cast<int>(t * 2.0)); // the simulated sensor decodes otherwise
    }
    // A copy of exactly the given size, so that a read past it is seen.
    const std::vector<uint8_t> area(data, data + size);
    const tarvik::TemperatureList list =
        tarvik::ParseTemperatureList(std::span<const uint8_t>(area.data(), area.size()));
    check(list.count <= tarvik::kMaxTemperatureSensors);    // more sensors than the record holds
    check(size < 2 || 2u * (1u + 2u * list.count) <= size); // count beyond the area
    for (size_t i = 0; i < list.count; ++i) {
        uint16_t id = 0;
        int16_t value = 0;
        std::memcpy(&id, area.data() + 2 * (1 + i), 2);
        std::memcpy(&value, area.data() + 2 * (1 + list.count + i), 2);
        check(list.ids[i] == id);                                     // id not taken from the reply
        check(list.degrees[i] == static_cast<float>(value) / 100.0f); // value not in hundredths
    }
    for (size_t i = list.count; i < tarvik::kMaxTemperatureSensors; ++i) {
        check(list.ids[i] == 0 && list.degrees[i] == 0.0f); // entry beyond the count written
    }
    return 0;
}
