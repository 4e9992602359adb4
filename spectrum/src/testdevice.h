#pragma once
// The program's own simulated spectrometer (command-line word "test"): opens
// at once, produces a moving synthetic curve at the pace of a real
// acquisition and simulates the digital inputs.

#include "device.h"

#include <array>

namespace spectrum {

class TTestDevice : public TDevice {
public:
    TTestDevice();

    // Counts the reads of each input; input k toggles every 10 k reads, and
    // a read takes 100 ms.
    int getDigitalInput(int index) override;
    void setDigitalOutput(int index, int value) override;
    void setInputSource(int source) override;
    bool open() override;
    // Takes as long as an acquisition; false when stopped meanwhile.
    bool getDarkCurrent() override;
    bool prepare() override;
    // Takes the parameters as a board does: limited to what it can do.
    bool setParameters() override;
    // Raises "TTestDevice::getRawData data.size<SensorLength" for a short
    // array; false when the synchronisation says no or stop() ends the wait.
    bool getRawData(std::vector<double>& data) override;
    void writeI2C(std::uint8_t address, const std::uint8_t* bytes, int count) override;

    // The phase of the curve, shared by every simulated device of the process.
    static float phase();
    static void setPhase(float phase);

    // The limits the library gives the shipped simulated USB board.
    static constexpr double kMinIntegrationMs = 0.1;
    static constexpr double kMaxIntegrationMs = 6500.0;
    static constexpr int kMaxAverage = 100;

private:
    std::array<int, 3> inputReads_{0, 0, 0};
};

} // namespace spectrum
