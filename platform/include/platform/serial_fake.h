#pragma once
// A fake serial line for tests: the port end behaves as a SerialPort opened
// by name (attach it with attachFakeSerialLine), the device end is a
// FakeSerialDevice in the same process, and the line records every open,
// setting, write, drain, purge and RTS change with the clock's time.
//
// Time on the line follows the settings: a written byte takes one character
// time on the line, drain() sleeps (on the platform clock) until the last one
// is out, and bytes that the device sends arrive at the port when they have
// crossed the line: after the frame the device answers has fully arrived,
// the device's own delay and their own character times. A read that waits
// sleeps on the clock until the next bytes arrive or its deadline passes, so
// on a virtual clock every exchange runs in no real time and a test can read
// the exact moment of each event.
//
// The device is called synchronously, in the writing thread, once per write,
// without any lock of the line held; it may call send(). Everything else is
// thread-safe.

#include "platform/serial_port.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

namespace platform::serial {

class FakeSerialLine;

class FakeSerialDevice {
public:
    virtual ~FakeSerialDevice() = default;
    // The bytes of one write have reached the device.
    virtual void received(FakeSerialLine& line, std::span<const uint8_t> bytes) = 0;
};

struct FakeSerialEvent {
    enum class Kind { Open, Close, Settings, Write, Drain, Purge, Rts, Rs485 };
    Kind kind = Kind::Open;
    TimePoint time{};
    std::vector<uint8_t> bytes; // Write: what went out
    bool on = false;            // Rts: raised; Rs485: enabled; Purge: the receive side
    bool transmit = false;      // Purge: the transmit side
};

class FakeSerialLine {
public:
    FakeSerialLine() = default;
    FakeSerialLine(const FakeSerialLine&) = delete;
    FakeSerialLine& operator=(const FakeSerialLine&) = delete;

    // --- the device end
    // Not owned; it must outlive the line's use. Null: nothing listens.
    void setDevice(FakeSerialDevice* device);
    // Bytes towards the port: they start after the frame being answered (or
    // now) plus delay, and arrive together when the last one has crossed.
    void send(std::span<const uint8_t> bytes, Duration delay = Duration::zero());
    // A line that never falls quiet: every read finds bytes at the line's
    // pace.
    void setBabbling(bool babbling);

    // --- knobs of the port end (set before the open, or between calls)
    PortProperties properties{kBaud9600 | kBaud14400 | kBaud19200 | kBaud38400 | kBaud57600 |
                                  kBaud115200 | kBaudUserDefined,
                              0, 0};
    bool kernelRs485 = false;          // setRs485 works (else ENOTTY)
    int openError = 0;                 // the open fails with it
    int settingsError = 0;             // getSettings and setSettings fail with it
    int rtsError = 0;                  // setRts fails with it
    int writeError = 0;                // write fails with it
    std::size_t writeLimit = SIZE_MAX; // bytes a write takes before it times out

    // --- what happened
    std::vector<FakeSerialEvent> events() const;
    void clearEvents();
    // Every byte written so far, in order.
    std::vector<uint8_t> written() const;
    bool isOpen() const;
    bool rts() const;
    LineSettings settings() const;
    Timeouts timeouts() const;
    // Bytes sent by the device that the port has not read (arrived or not).
    std::size_t pendingBytes() const;

    // A port on this line; EBUSY while one is open.
    int open(std::unique_ptr<SerialPort>& out);

private:
    friend class FakeSerialPort;
    friend int attachFakeSerialLine(std::string_view name, std::shared_ptr<FakeSerialLine> line);
    int openShared(std::unique_ptr<SerialPort>& out, std::shared_ptr<FakeSerialLine> keepAlive);
    struct Chunk {
        TimePoint arrival;
        std::vector<uint8_t> bytes;
    };

    void record(FakeSerialEvent event);
    Duration characterTimeLocked() const;

    mutable std::mutex mutex_;
    FakeSerialDevice* device_ = nullptr;
    bool open_ = false;
    bool rts_ = false;
    bool babbling_ = false;
    LineSettings settings_{};
    Timeouts timeouts_{};
    TimePoint transmitUntil_{};  // the last written byte is on the line then
    TimePoint receiveUntil_{};   // the last byte sent by the device arrives then
    TimePoint answering_{};      // end of the frame the device is answering
    bool inDevice_ = false;      // a received() call is under way
    std::deque<Chunk> incoming_; // by arrival
    std::vector<FakeSerialEvent> events_;
    std::vector<uint8_t> written_;
};

// Attaches the line as the in-process port of a name (attachSerialPort).
int attachFakeSerialLine(std::string_view name, std::shared_ptr<FakeSerialLine> line);

} // namespace platform::serial
