#pragma once
// A spectrometer whose opening and acquisitions a test scripts, for the main
// window's tests.

#include "device.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>
#include <vector>

namespace spectrum::test {

// A spectrometer whose open and acquisitions the test scripts.
class FakeDevice : public TDevice {
public:
    FakeDevice(int pixels, int opensAtCall) : TDevice(3), pixels_(pixels), opensAt_(opensAtCall) {}

    // Input k reads what `input` says (0 without it); every read is counted.
    int getDigitalInput(int index) override {
        ++inputReads;
        return input ? input(index) : 0;
    }
    void setDigitalOutput(int index, int value) override { outputs.emplace_back(index, value); }
    // Sent only while open, as the library device does.
    void setInputSource(int source) override {
        if (opened_) {
            sources.push_back(source);
        }
    }
    bool open() override {
        if (++openCalls < opensAt_) {
            return false;
        }
        pixelCount_ = pixels_;
        coefficients_ = {400.0, 0.5, 0.0, 0.0};
        computeWavelengths();
        opened_ = true;
        return true;
    }
    bool getDarkCurrent() override { return true; }
    bool prepare() override {
        ++prepares;
        return setParameters();
    }
    // A time above maxTime is limited to it, as the library does.
    bool setParameters() override {
        if (maxTime > 0 && integrationTime_ > maxTime) {
            integrationTime_ = maxTime;
        }
        parametersApplied_ = true;
        return true;
    }
    void setIntegrationTime(double ms) override {
        ++timeSets;
        TDevice::setIntegrationTime(ms);
    }
    // Acquisition k (from 1) fills pixel i with 1000 k + i unless the script
    // says it fails.
    bool getRawData(std::vector<double>& data) override {
        if (synchronisation_ && synchronisation_(*this) != 1) {
            return false;
        }
        ++acquisitions;
        if (during) {
            during();
        }
        if (!results.empty()) {
            const bool ok = results.front();
            results.pop_front();
            if (!ok) {
                return false;
            }
        }
        for (int i = 0; i < pixelCount_; ++i) {
            data.at(static_cast<std::size_t>(i)) = 1000.0 * acquisitions + i;
        }
        return true;
    }
    void writeI2C(std::uint8_t address, const std::uint8_t* bytes, int count) override {
        writes.push_back({address});
        writes.back().insert(writes.back().end(), bytes, bytes + count);
    }

    int openCalls = 0;
    int prepares = 0;
    double maxTime = 0;
    int timeSets = 0;
    std::atomic<int> acquisitions{0};
    std::deque<bool> results;
    std::function<void()> during;
    std::function<int(int)> input;
    std::atomic<int> inputReads{0};
    std::vector<std::pair<int, int>> outputs;
    std::vector<int> sources;
    // Each write: the address, then the bytes.
    std::vector<std::vector<std::uint8_t>> writes;

private:
    int pixels_;
    int opensAt_;
};

} // namespace spectrum::test
