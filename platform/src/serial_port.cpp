#include "platform/serial_port.h"

#include "device_internal.h"
#include "platform/config_store.h"
#include "platform/last_error.h"
#include "text_file_io.h"

#include <charconv>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>

namespace platform::serial {
namespace {

using platform::detail::equalsIgnoreCase;
using platform::detail::leaveError;

// The port number of "COMn" (n 1..255), else nothing.
std::optional<unsigned> comNumber(std::string_view name) {
    if (name.size() < 4 || !equalsIgnoreCase(name.substr(0, 3), "COM")) {
        return std::nullopt;
    }
    const std::string_view digits = name.substr(3);
    if (digits.size() > 3 || digits.front() == '0') {
        return std::nullopt;
    }
    unsigned n = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec != std::errc() || end != digits.data() + digits.size() || n < 1 || n > 255) {
        return std::nullopt;
    }
    return n;
}

// The canonical spelling, so that "com3" and "COM3" are one port.
std::string canonicalName(unsigned number) {
    return "COM" + std::to_string(number);
}

// The path the environment gives the port: nothing when it does not name it.
std::optional<std::string> environmentPath(unsigned number) {
    const char* list = std::getenv(kSerialPortsVariable);
    if (list == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> found;
    std::string_view rest(list);
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view pair = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const std::size_t equals = pair.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        if (comNumber(pair.substr(0, equals)) == number) {
            found = std::string(pair.substr(equals + 1)); // the last pair wins
        }
    }
    return found;
}

std::optional<std::string> configuredPath(unsigned number) {
    ConfigKey key;
    if (key.open(ConfigRoot::Machine, kSerialPortsKey) != 0) {
        return std::nullopt;
    }
    std::string path;
    if (key.queryString(canonicalName(number), path) != 0) {
        return std::nullopt;
    }
    return path;
}

std::mutex& attachMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<unsigned, SerialPortFactory>& attachedPorts() {
    static std::map<unsigned, SerialPortFactory> ports;
    return ports;
}

} // namespace

uint32_t baudRateFlag(uint32_t baudRate) {
    switch (baudRate) {
    case 9600:
        return kBaud9600;
    case 14400:
        return kBaud14400;
    case 19200:
        return kBaud19200;
    case 38400:
        return kBaud38400;
    case 57600:
        return kBaud57600;
    case 115200:
        return kBaud115200;
    default:
        return kBaudUserDefined;
    }
}

Duration characterTime(const LineSettings& settings) {
    if (settings.baudRate == 0) {
        return Duration::zero();
    }
    // In half bits, for the stop bit and a half.
    uint64_t halfBits = 2 * (1 + uint64_t{settings.dataBits});
    if (settings.parity != Parity::None) {
        halfBits += 2;
    }
    halfBits += settings.stopBits == StopBits::One ? 2 : settings.stopBits == StopBits::Two ? 4 : 3;
    constexpr uint64_t kNanosPerSecond = 1000000000;
    return Duration((halfBits * kNanosPerSecond + settings.baudRate) / (2 * settings.baudRate));
}

std::string serialDevicePath(std::string_view name) {
    const std::optional<unsigned> number = comNumber(name);
    if (!number) {
        return {};
    }
    if (std::optional<std::string> path = environmentPath(*number)) {
        return *path;
    }
    if (std::optional<std::string> path = configuredPath(*number)) {
        return *path;
    }
    return "/dev/ttyS" + std::to_string(*number - 1);
}

int openSerialPort(std::string_view name, std::unique_ptr<SerialPort>& out) {
    out.reset();
    const std::optional<unsigned> number = comNumber(name);
    if (!number) {
        return leaveError(EINVAL);
    }
    auto attached = [&] {
        std::lock_guard guard(attachMutex());
        const auto it = attachedPorts().find(*number);
        return it != attachedPorts().end() ? it->second : SerialPortFactory{};
    };
    SerialPortFactory factory = attached();
    if (!factory) {
        // The drivers of the system serve their ports from their load on, as
        // they would from the boot.
        detail::ensureDriversLoaded();
        factory = attached();
    }
    if (factory) {
        // Outside the lock: a factory may take time or attach others.
        return leaveError(factory(out));
    }
    const std::string path = serialDevicePath(name);
    if (path.empty()) {
        return leaveError(ENOENT);
    }
    return openSerialDevice(path, out);
}

int attachSerialPort(std::string_view name, SerialPortFactory factory) {
    const std::optional<unsigned> number = comNumber(name);
    if (!number || !factory) {
        return leaveError(EINVAL);
    }
    std::lock_guard guard(attachMutex());
    if (!attachedPorts().emplace(*number, std::move(factory)).second) {
        return leaveError(EEXIST);
    }
    return 0;
}

int detachSerialPort(std::string_view name) {
    const std::optional<unsigned> number = comNumber(name);
    if (!number) {
        return leaveError(EINVAL);
    }
    std::lock_guard guard(attachMutex());
    return attachedPorts().erase(*number) == 1 ? 0 : leaveError(ENOENT);
}

} // namespace platform::serial
