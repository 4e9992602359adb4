#pragma once
// COM ports: a serial line opened by its name "COMn", with the line settings,
// read and write deadlines, purge, drain and the RTS line that RS485 direction
// switching needs.
//
// Names. "COMn" (n 1..255, case ignored) names a device path, looked up in
// this order:
//   1. an in-process port attached under the name (attachSerialPort): the fake
//      port of tests, or a simulated device served inside the process (the
//      device layer's drivers are loaded first, so theirs are there);
//   2. the environment variable VELDON_SERIAL_PORTS, a comma-separated list of
//      NAME=PATH pairs ("COM1=/dev/ttyUSB0,COM3=/dev/pts/5");
//   3. the string value named like the port under the machine configuration
//      key kSerialPortsKey ("COM1"="/dev/ttyUSB0");
//   4. /dev/ttyS<n-1>.
// A pair or value with an empty path hides the port (ENOENT).
//
// Devices are opened exclusively (a second open of the same device, from
// this process or another, fails with EBUSY), without becoming the
// controlling terminal, in raw 8-bit mode without flow control.
//
// Time. Every deadline runs on the platform clock (clock.h): a read that
// waits for bytes polls the device and sleeps on the clock, so a read
// time-out on a virtual clock passes in no real time.
//
// Results are errno values: 0 success, EBADF port closed, EINVAL a setting
// the port cannot take, ENOTTY a function the device lacks (modem lines on a
// pseudo-terminal, the kernel's RS485 mode), ENOENT no such port, EBUSY
// port in use; anything else is the system's error. A read or write that
// runs out of time is not an error: it returns 0 with fewer bytes. Failures
// also leave the code in lastError().
//
// A port object is used by one thread at a time; distinct ports are
// independent.

#include "platform/clock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace platform::serial {

inline constexpr const char* kSerialPortsVariable = "VELDON_SERIAL_PORTS";
inline constexpr const char* kSerialPortsKey = "Hardware\\DeviceMap\\SerialPorts";

enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class StopBits : uint8_t { One = 0, OneAndHalf = 1, Two = 2 };

struct LineSettings {
    uint32_t baudRate = 9600;
    uint8_t dataBits = 8; // 5..8
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One; // one and a half only with 5 data bits
    bool binary = true;                // raw bytes; the only mode there is
    bool parityCheck = false;          // received bytes with a parity error are dropped

    bool operator==(const LineSettings&) const = default;
};

// Rates a port offers (PortProperties::settableBaudRates).
inline constexpr uint32_t kBaud9600 = 1u << 0;
inline constexpr uint32_t kBaud14400 = 1u << 1;
inline constexpr uint32_t kBaud19200 = 1u << 2;
inline constexpr uint32_t kBaud38400 = 1u << 3;
inline constexpr uint32_t kBaud57600 = 1u << 4;
inline constexpr uint32_t kBaud115200 = 1u << 5;
inline constexpr uint32_t kBaudUserDefined = 1u << 28; // any other rate

// The flag of a rate that has one, else kBaudUserDefined.
uint32_t baudRateFlag(uint32_t baudRate);

struct PortProperties {
    uint32_t settableBaudRates = 0;
    uint32_t transmitQueue = 0; // bytes the driver buffers for sending; 0 unknown
    uint32_t receiveQueue = 0;  // the same for receiving
};

struct PortStatus {
    uint32_t receiveQueued = 0;  // bytes received and not read yet
    uint32_t transmitQueued = 0; // bytes written and not on the line yet
};

// kInfinite: no time-out; 0: only what is there at once.
struct Timeouts {
    uint32_t readTotalMs = kInfinite;
    uint32_t writeTotalMs = kInfinite;

    bool operator==(const Timeouts&) const = default;
};

// Line time of one character in these settings (start bit, data, parity,
// stop bits); zero for a rate of 0.
Duration characterTime(const LineSettings& settings);

class SerialPort {
public:
    SerialPort() = default;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;
    virtual ~SerialPort() = default;

    virtual int getSettings(LineSettings& out) = 0;
    virtual int setSettings(const LineSettings& settings) = 0;
    virtual int getProperties(PortProperties& out) = 0;
    virtual int getTimeouts(Timeouts& out) = 0;
    virtual int setTimeouts(const Timeouts& timeouts) = 0;

    // Writes data, waiting for room until the write time-out; `written`
    // gets what went out.
    virtual int write(std::span<const uint8_t> data, std::size_t& written) = 0;
    // Fills the buffer, waiting for bytes until the read time-out or the
    // deadline, whichever comes first; `got` gets what came.
    virtual int read(std::span<uint8_t> buffer, std::size_t& got,
                     TimePoint deadline = TimePoint::max()) = 0;
    // Waits until every byte written is on the line.
    virtual int drain() = 0;
    // Discards unsent output and/or received input.
    virtual int purge(bool transmit, bool receive) = 0;
    // Raises (true) or drops the RTS line.
    virtual int setRts(bool raised) = 0;
    // Lets the driver raise RTS while it sends and drop it after the last
    // stop bit (RS485 direction); ENOTTY where the driver cannot.
    virtual int setRs485(bool enable) = 0;
    // The queues, and clears a pending line error.
    virtual int clearErrors(PortStatus* status) = 0;
    // Releases the device; every later call gives EBADF.
    virtual int close() = 0;
};

// "COMn" to its device path by the environment and the configuration (not
// the in-process ports); empty when the name is not a COM name or the port is
// hidden.
std::string serialDevicePath(std::string_view name);

// Opens the port of a name (see the top).
int openSerialPort(std::string_view name, std::unique_ptr<SerialPort>& out);

// Opens a device path directly (the termios backend).
int openSerialDevice(const std::string& path, std::unique_ptr<SerialPort>& out);

// In-process ports: an open of the name calls the factory instead of opening
// a device. EEXIST when the name is taken, EINVAL for a name that is not a COM
// name; detach: ENOENT when nothing is attached.
using SerialPortFactory = std::function<int(std::unique_ptr<SerialPort>& out)>;
int attachSerialPort(std::string_view name, SerialPortFactory factory);
int detachSerialPort(std::string_view name);

} // namespace platform::serial
