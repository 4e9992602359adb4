#pragma once
// The one interface through which the default page talks to a spectrometer:
// open it, set integration time, average number and work mode, take a
// spectrum or the dark current, digital lines, input source and I2C writes.
// The GUI thread and the main window's one worker call it, never both at once
// for an acquisition; only the stop flag is shared between them.

#include "platform/event.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

namespace spectrum {

class TDevice;

// Called before each acquisition with the device; 1 means go on. Whatever the
// caller needs (its context) the callable captures.
using TSynchronisation = std::function<int(TDevice&)>;

class TDevice {
public:
    TDevice(const TDevice&) = delete;
    TDevice& operator=(const TDevice&) = delete;

    // Stores the time and asks for the parameters to be sent again.
    virtual void setIntegrationTime(double ms);
    // index 1..3; the input's state, 0 or 1.
    virtual int getDigitalInput(int index) = 0;
    virtual void setDigitalOutput(int index, int value) = 0;
    virtual void setInputSource(int source) = 0;
    virtual ~TDevice();
    virtual bool open() = 0;
    virtual bool getDarkCurrent() = 0;
    virtual bool prepare() = 0;
    // Sends integration time, average number and work mode now (the raw-data
    // record and the dark current it holds stay); the fields then hold the
    // values in effect, which a device may have limited.
    virtual bool setParameters() = 0;
    // Fills the first pixelCount() values of data; data must hold at least
    // that many (devices refuse a shorter array).
    virtual bool getRawData(std::vector<double>& data) = 0;
    virtual void writeI2C(std::uint8_t address, const std::uint8_t* bytes, int count) = 0;

    void setAverageNumber(int number);
    void setSensorWorkMode(int mode);
    // The table c0 + c1 i + c2 i^2 + c3 i^3 for every pixel i.
    void computeWavelengths();
    // Asks a waiting synchronisation (and a device's own waits) to give up;
    // may be called from any thread.
    void stop();
    void clearStop();

    bool isOpened() const { return opened_; }
    int sensorType() const { return sensorType_; }
    int pixelCount() const { return pixelCount_; }
    const std::array<double, 4>& coefficients() const { return coefficients_; }
    const std::vector<double>& wavelengths() const { return wavelengths_; }
    double integrationTime() const { return integrationTime_; }
    int averageNumber() const { return averageNumber_; }
    int workMode() const { return workMode_; }
    bool parametersApplied() const { return parametersApplied_; }
    bool stopRequested() const { return stop_.load(); }

    void setSynchronisation(TSynchronisation synchronisation);
    const TSynchronisation& synchronisation() const { return synchronisation_; }

protected:
    explicit TDevice(int workMode);

    // Waits on the platform clock; false when stop() or the calling
    // thread's stop request ended the wait early.
    bool waitUnlessStopped(std::uint32_t ms);
    // average number x integration time in whole milliseconds, the time one
    // acquisition takes; 0 for nonsense values.
    std::uint32_t acquisitionMs() const;

    bool opened_ = false;
    int sensorType_ = 0;
    int pixelCount_ = 0;
    std::array<double, 4> coefficients_{0.0, 1.0, 0.0, 0.0};
    std::vector<double> wavelengths_;
    TSynchronisation synchronisation_;
    double integrationTime_ = 30.0;
    int averageNumber_ = 1;
    int workMode_;
    bool parametersApplied_ = false;

private:
    std::atomic<bool> stop_{false};
    platform::Event stopEvent_{platform::ResetMode::Manual};
};

} // namespace spectrum
