#include "device.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace spectrum {

TDevice::TDevice(int workMode) : workMode_(workMode) {}

TDevice::~TDevice() = default;

void TDevice::setIntegrationTime(double ms) {
    integrationTime_ = ms;
    parametersApplied_ = false;
}

void TDevice::setAverageNumber(int number) {
    averageNumber_ = number;
    parametersApplied_ = false;
}

void TDevice::setSensorWorkMode(int mode) {
    workMode_ = mode;
    parametersApplied_ = false;
}

void TDevice::computeWavelengths() {
    wavelengths_.assign(static_cast<std::size_t>(std::max(pixelCount_, 0)), 0.0);
    const auto& [c0, c1, c2, c3] = coefficients_;
    for (std::size_t i = 0; i < wavelengths_.size(); ++i) {
        const double x = static_cast<double>(i);
        wavelengths_[i] = c0 + c1 * x + c2 * x * x + c3 * x * x * x;
    }
}

void TDevice::stop() {
    stop_.store(true);
    stopEvent_.set();
}

void TDevice::clearStop() {
    stop_.store(false);
    stopEvent_.reset();
}

void TDevice::setSynchronisation(TSynchronisation synchronisation) {
    synchronisation_ = std::move(synchronisation);
}

bool TDevice::waitUnlessStopped(std::uint32_t ms) {
    if (stop_.load()) {
        return false;
    }
    return stopEvent_.wait(ms) == platform::WaitResult::TimedOut;
}

std::uint32_t TDevice::acquisitionMs() const {
    const double ms = std::trunc(static_cast<double>(averageNumber_) * integrationTime_);
    // A finite wait: the event's infinite value and beyond are refused.
    if (!(ms > 0.0) || ms >= static_cast<double>(platform::kInfinite)) {
        return 0;
    }
    return static_cast<std::uint32_t>(ms);
}

} // namespace spectrum
