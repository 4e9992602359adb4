#pragma once
// The LED light channels on the board's I2C bus: six channels with a 10-bit
// intensity each ("ExLights"), written through the device's I2C write.
// Nothing is read back from the lights.

#include <QObject>

#include <array>
#include <cstdint>

class QCheckBox;
class QSlider;

namespace pa {
class TIntEdit;
} // namespace pa

namespace spectrum {

class TDevice;

inline constexpr int kLightMax = 1023;

struct LightChannel {
    const char* caption;
    std::uint8_t address;
    std::uint8_t command;
    const char* percentEdit;
};

inline constexpr std::array<LightChannel, 6> kLightChannels{{{"390 nm", 0x9C, 0x10, "IntEdit3"},
                                                             {"450 nm", 0x9C, 0x12, "IntEdit4"},
                                                             {"470 nm", 0x9C, 0x14, "IntEdit5"},
                                                             {"505 nm", 0x9C, 0x16, "IntEdit6"},
                                                             {"530 nm", 0x9E, 0x10, "IntEdit8"},
                                                             {"590 nm", 0x9E, 0x12, "IntEdit7"}}};

// The bytes of a channel write: the command, then the 10-bit value's high
// eight bits and its two low bits at the top of the third byte. Values
// outside 0..1023 are clamped.
std::array<std::uint8_t, 3> lightChannelBytes(std::uint8_t command, int value);

// One LED channel: its check box (on/off), its track bar (0..1023) and its
// percent edit; the device is not owned and may be null.
class TLightControl : public QObject {
    Q_OBJECT

public:
    TLightControl(QCheckBox* box, QSlider* track, pa::TIntEdit* percent, std::uint8_t address,
                  std::uint8_t command, TDevice* device);

    // Shows the percentage and writes the channel (track bar change, box click).
    void write();
    // The percent edit left or Enter pressed in it: the track bar follows,
    // which writes the channel when its position changes.
    void percentEntered();

    QCheckBox* box() const { return box_; }
    QSlider* track() const { return track_; }
    pa::TIntEdit* percent() const { return percent_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QCheckBox* box_;
    QSlider* track_;
    pa::TIntEdit* percent_;
    std::uint8_t address_;
    std::uint8_t command_;
    TDevice* device_;
};

} // namespace spectrum
