#pragma once
// A simulated serial multiplexer on a COM port of its own: a text line per
// command.
//   MUX-KRD ("krd"): "ch,N" CR switches to channel N and echoes "ch,N" LF CR,
//     or answers "error" LF CR for a channel it does not have; 115200 baud.
//   MUX-KRL ("krl"): "chN" CR LF switches without an answer; "type?" CR LF
//     answers "eol 1x<channels>" CR LF; 57600 baud.
// A lone CR is ignored. Lines sent at another rate are not understood.
// Served behind a fake serial line (it is the line's device). Thread-safe.

#include "sim/setup.h"

#include "platform/clock.h"
#include "platform/serial_fake.h"

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class SerialMux final : public platform::serial::FakeSerialDevice {
public:
    explicit SerialMux(SerialMuxConfig config);

    struct Switch {
        int channel = 0;
        platform::TimePoint time{};
    };

    const SerialMuxConfig& config() const { return config_; }
    int channel() const;
    std::vector<Switch> switches() const;
    // Every line received, without its line end.
    std::vector<std::string> lines() const;
    // Answers nothing from now on (a multiplexer switched off).
    void setSilent(bool silent);
    // The next echo is this text instead (one further character and CR
    // follow it).
    void setNextEcho(std::string text);

    void received(platform::serial::FakeSerialLine& line, std::span<const uint8_t> bytes) override;

private:
    void take(platform::serial::FakeSerialLine& line, const std::string& text);
    uint32_t baudRate() const;

    SerialMuxConfig config_;
    mutable std::mutex mutex_;
    std::string pending_;
    int channel_ = 1;
    bool silent_ = false;
    std::optional<std::string> nextEcho_;
    std::vector<Switch> switches_;
    std::vector<std::string> lines_;
};

} // namespace sim
