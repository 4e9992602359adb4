#pragma once
// The spectrometer behind the acquisition library: the USB board (interface
// type 6) as interface 1. Every failed library call writes its line to the
// log and the operation reports false; nothing is shown to the user except
// the error of a failed I2C write, which goes to the main window's caption.

#include "device.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace spectrum {

class TSpecDevice : public TDevice {
public:
    // Switches the library's error box off (the warning switch is refused
    // while no interface is open, and logged so).
    TSpecDevice();
    // Leaves the raw-data record and the library connection as they are.
    ~TSpecDevice() override;

    // A changed time re-allocates the raw-data record.
    void setIntegrationTime(double ms) override;
    int getDigitalInput(int index) override;
    void setDigitalOutput(int index, int value) override;
    // Only while opened.
    void setInputSource(int source) override;
    bool open() override;
    // Lets the spectrum-buffer error of work mode 7 propagate.
    bool getDarkCurrent() override;
    bool prepare() override;
    // The library's corrected spectrum; false on any failure (an array
    // shorter than the pixel count included), never an exception.
    bool getRawData(std::vector<double>& data) override;
    void writeI2C(std::uint8_t address, const std::uint8_t* bytes, int count) override;

    bool allocRawData();
    bool freeRawData();
    // Integration time, average number and work mode (and the buffer depth
    // in work mode 7, whose failure raises).
    bool setParameters() override;
    void readSensorParams();
    void initialScan();
    void configureMessages();

    std::uint32_t rawDataHandle() const { return rawDataHandle_; }
    // Receives "Error % d %d" after a failed I2C write.
    void setCaptionHandler(std::function<void(const std::string&)> handler);

private:
    std::uint32_t rawDataHandle_ = 0;
    std::function<void(const std::string&)> captionHandler_;
    // What the library copies out of its record: as long as the longest
    // spectrum it can hold, whatever pixel count the device was told.
    std::vector<double> transfer_;
};

} // namespace spectrum
