#include "testdevice.h"

#include "pa/palog.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace spectrum {

namespace {

constexpr int kTestWorkMode = 3;
constexpr std::uint32_t kInputReadMs = 100;
constexpr float kPhaseStep = 0.2f;

std::atomic<float>& sharedPhase() {
    static std::atomic<float> phase{0.0f};
    return phase;
}

} // namespace

TTestDevice::TTestDevice() : TDevice(kTestWorkMode) {}

float TTestDevice::phase() {
    return sharedPhase().load();
}

void TTestDevice::setPhase(float phase) {
    sharedPhase().store(phase);
}

int TTestDevice::getDigitalInput(int index) {
    if (index < 1 || index > 3) {
        return 0;
    }
    const int reads = ++inputReads_[static_cast<std::size_t>(index - 1)];
    waitUnlessStopped(kInputReadMs);
    return (reads / (10 * index)) % 2 == 1 ? 1 : 0;
}

void TTestDevice::setDigitalOutput(int, int) {}

void TTestDevice::setInputSource(int) {}

void TTestDevice::writeI2C(std::uint8_t, const std::uint8_t*, int) {}

bool TTestDevice::open() {
    coefficients_ = {177.0639954, 0.7947480083, 3.410619911e-06, 0.0};
    sensorType_ = 0;
    pixelCount_ = 1044;
    opened_ = true;
    computeWavelengths();
    return true;
}

bool TTestDevice::setParameters() {
    if (!(integrationTime_ >= kMinIntegrationMs)) {
        integrationTime_ = kMinIntegrationMs; // a NaN as well
    }
    integrationTime_ = std::min(integrationTime_, kMaxIntegrationMs);
    averageNumber_ = std::clamp(averageNumber_, 1, kMaxAverage);
    parametersApplied_ = true;
    return true;
}

bool TTestDevice::getDarkCurrent() {
    setParameters();
    return waitUnlessStopped(acquisitionMs());
}

bool TTestDevice::prepare() {
    return setParameters();
}

bool TTestDevice::getRawData(std::vector<double>& data) {
    if (data.size() < static_cast<std::size_t>(std::max(pixelCount_, 0))) {
        pa::raiseError("TTestDevice::getRawData data.size<SensorLength");
    }
    if (synchronisation_ && synchronisation_(*this) != 1) {
        return false;
    }
    setParameters();
    if (!waitUnlessStopped(acquisitionMs())) {
        return false;
    }
    const double n = pixelCount_;
    const double phase = sharedPhase().load();
    for (int i = 0; i < pixelCount_; ++i) {
        data[static_cast<std::size_t>(i)] =
            50.0 * std::sin(i * std::numbers::pi / n * 1.5 + phase) + (std::rand() % 10) + 50.0;
    }
    // One step per spectrum, kept in single precision.
    float expected = sharedPhase().load();
    while (!sharedPhase().compare_exchange_weak(expected, expected + kPhaseStep)) {
    }
    return true;
}

} // namespace spectrum
