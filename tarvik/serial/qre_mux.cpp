// The serial multiplexers MUX-KRD (type 7) and MUX-KRL (type 9): a text line
// per command on a COM port of their own, one port per slot.

#include "serial/qre_link.h"

#include "core/library_state.h"

#include "platform/clock.h"
#include "platform/serial_port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <string_view>

namespace tarvik {
namespace {

constexpr uint8_t kMuxKrd = 7;
constexpr uint8_t kMuxKrl = 9;
constexpr size_t kMuxTypeByte = 18;   // of the interface image
constexpr size_t kMuxConfigByte = 19; // low nibble COM port, high nibble assembly
constexpr size_t kMuxImageOffset = 512;
constexpr uint8_t kNoAssembly = 15;

constexpr int kOpenTries = 3;
constexpr uint32_t kOpenRetryMs = 100;
constexpr uint32_t kTypeAnswerWaitMs = 50;
constexpr int64_t kAnswerLimitMs = 1000;
constexpr size_t kReadSize = 255;

// The open ports, by interface ID; DeviceSlot::serialMuxPort holds the ID as
// its handle while one is open.
std::array<std::unique_ptr<platform::serial::SerialPort>, kSlotCount>& ports() {
    static std::array<std::unique_ptr<platform::serial::SerialPort>, kSlotCount> open;
    return open;
}

platform::serial::SerialPort* portOf(int32_t id) {
    return id >= 1 && id <= kMaxInterfaceId ? ports()[static_cast<size_t>(id)].get() : nullptr;
}

uint32_t delayMs() {
    const LibraryState* state = libraryState();
    return state != nullptr ? static_cast<uint32_t>(std::max(state->muxKrdDelayTime, 1)) : 25;
}

int64_t elapsedMs(platform::TimePoint since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(platform::now() - since).count();
}

int write(platform::serial::SerialPort& port, std::string_view text) {
    size_t written = 0;
    const int error =
        port.write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), written);
    return error != 0 ? error : written == text.size() ? 0 : ETIMEDOUT;
}

// The line of a read that holds `end`: what comes before it without its last
// character (the multiplexers end lines with two characters). Empty when the
// read holds no `end`.
std::optional<std::string> answerLine(std::span<const uint8_t> bytes, uint8_t end) {
    const auto at = std::find(bytes.begin(), bytes.end(), end);
    if (at == bytes.end()) {
        return std::nullopt;
    }
    const auto length = static_cast<size_t>(at - bytes.begin());
    // A line end at the very start has no character before it.
    return std::string(bytes.begin(),
                       bytes.begin() + static_cast<long>(length > 0 ? length - 1 : 0));
}

// Reads until a line ending in `end` comes or the limit passes: the line, or
// nullopt. A failed read gives its error.
std::optional<std::string> readLine(platform::serial::SerialPort& port, uint8_t end, int& error) {
    const platform::TimePoint start = platform::now();
    std::array<uint8_t, kReadSize> buffer{};
    while (elapsedMs(start) < kAnswerLimitMs) {
        size_t got = 0;
        error = port.read(buffer, got);
        if (error != 0) {
            return std::nullopt;
        }
        if (auto line = answerLine(std::span(buffer.data(), got), end)) {
            return line;
        }
        if (got == 0) {
            // Nothing came within the read time-out; a port without one
            // still lets time pass.
            platform::sleepMs(1);
        }
    }
    return std::nullopt;
}

uint8_t assemblyOf(std::string_view answer) {
    static constexpr std::pair<std::string_view, uint8_t> kAssemblies[] = {
        {"eol 1x2", 1},  {"eol 1x4", 2},  {"eol 1x8", 3},
        {"eol 1x12", 4}, {"eol 1x16", 5}, {"eol 2x2", 6}};
    for (const auto& [text, code] : kAssemblies) {
        if (answer == text) {
            return code;
        }
    }
    return kNoAssembly;
}

int configure(platform::serial::SerialPort& port, uint8_t type) {
    platform::serial::LineSettings settings;
    if (const int error = port.getSettings(settings); error != 0) {
        return error;
    }
    settings.baudRate = type == kMuxKrl ? 57600 : 115200;
    settings.dataBits = 8;
    settings.parity = platform::serial::Parity::None;
    settings.stopBits = platform::serial::StopBits::One;
    if (const int error = port.setSettings(settings); error != 0) {
        return error;
    }
    platform::serial::Timeouts timeouts;
    timeouts.readTotalMs = delayMs();
    return port.setTimeouts(timeouts);
}

// Asks a MUX-KRL what it is; its assembly goes into the high nibble of the
// configuration byte (15 when it does not say).
int askAssembly(platform::serial::SerialPort& port, DeviceSlot& slot) {
    if (const int error = write(port, "type?\r\n"); error != 0) {
        return error;
    }
    platform::sleepMs(kTypeAnswerWaitMs);
    uint8_t& config = slot.configuration[kMuxConfigByte];
    config = static_cast<uint8_t>((config & 0x0F) | kNoAssembly << 4);
    int error = 0;
    const std::optional<std::string> line = readLine(port, '\n', error);
    if (error != 0) {
        return error;
    }
    if (line) {
        config = static_cast<uint8_t>((config & 0x0F) | assemblyOf(*line) << 4);
    }
    return 0;
}

} // namespace

int32_t OpenMuxPort(int32_t interfaceId) {
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return EINVAL;
    }
    if (slot->serialMuxPortNumber == 0) {
        // No port: switching only records the channel. The handle stays
        // closed (0 would be a descriptor of its own).
        slot->serialMuxPort = kNoSerialPort;
        return 0;
    }
    const std::string name = "COM" + std::to_string(slot->serialMuxPortNumber);
    std::unique_ptr<platform::serial::SerialPort> port;
    int error = 0;
    for (int tries = 0; !port && tries < kOpenTries; ++tries) {
        error = platform::serial::openSerialPort(name, port);
        if (error != 0) {
            port.reset();
            platform::sleepMs(kOpenRetryMs);
        }
    }
    if (!port) {
        return error;
    }
    platform::serial::SerialPort& held = *port;
    ports()[static_cast<size_t>(interfaceId)] = std::move(port);
    slot->serialMuxPort = static_cast<uint32_t>(interfaceId);
    const uint8_t type = slot->configuration[kMuxTypeByte];
    if (const int failed = configure(held, type); failed != 0) {
        return failed;
    }
    if (const int failed = write(held, "\r"); failed != 0) {
        return failed;
    }
    return type == kMuxKrl ? askAssembly(held, *slot) : 0;
}

int32_t CloseMuxPort(int32_t interfaceId) {
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return 0;
    }
    int error = 0;
    if (platform::serial::SerialPort* port = portOf(interfaceId)) {
        error = port->close();
        ports()[static_cast<size_t>(interfaceId)].reset();
    }
    slot->serialMuxPort = kNoSerialPort;
    slot->serialMuxPortNumber = 0;
    return error;
}

int32_t SelectMuxChannelSerial(int32_t channel, int32_t interfaceId) {
    DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr || channel == slot->muxChannel || channel < 1 ||
        channel > GetSerialMuxChannelCount(interfaceId)) {
        return 0;
    }
    const uint8_t type = slot->configuration[kMuxTypeByte];
    if (slot->serialMuxPortNumber == 0) {
        slot->muxChannel = static_cast<uint8_t>(channel);
        return 0;
    }
    platform::serial::SerialPort* port = portOf(interfaceId);
    if (port == nullptr) {
        return EBADF;
    }
    const std::string command = type == kMuxKrd ? "ch," + std::to_string(channel & 0x0F) + "\r"
                                                : "ch" + std::to_string(channel & 0xFF) + "\r\n";
    // What came before the command is no answer to it.
    platform::serial::Timeouts timeouts;
    timeouts.readTotalMs = 1;
    std::array<uint8_t, kReadSize> stale{};
    size_t got = 0;
    if (int error = port->setTimeouts(timeouts);
        error != 0 || (error = port->read(stale, got)) != 0) {
        return error;
    }
    timeouts.readTotalMs = delayMs();
    if (const int error = port->setTimeouts(timeouts); error != 0) {
        return error;
    }
    if (const int error = write(*port, command); error != 0) {
        write(*port, std::string_view(command).substr(4, 1));
        return error;
    }
    if (slot->muxKrdComBit != 0 || type == kMuxKrl) {
        platform::sleepMs(delayMs());
        slot->muxChannel = static_cast<uint8_t>(channel);
        return 0;
    }
    int error = 0;
    const std::optional<std::string> line = readLine(*port, '\r', error);
    if (error != 0) {
        return error;
    }
    if (line && *line == std::string_view(command).substr(0, command.size() - 1)) {
        slot->muxChannel = static_cast<uint8_t>(channel);
        return 0;
    }
    return line && *line == "error" ? -1 : -2;
}

int32_t GetSerialMuxChannelCount(int32_t interfaceId) {
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return 0;
    }
    const uint8_t type = slot->configuration[kMuxTypeByte];
    const uint8_t assembly = slot->configuration[kMuxConfigByte] >> 4;
    if (type == kMuxKrd) {
        constexpr int32_t kChannels[] = {0, 3, 4, 6, 8};
        return assembly >= 1 && assembly <= 4 ? kChannels[assembly] : 0;
    }
    if (type == kMuxKrl) {
        constexpr int32_t kChannels[] = {8, 2, 4, 8, 8, 8, 2};
        return assembly <= 6 ? kChannels[assembly] : 0;
    }
    return 0;
}

int32_t GetConfigVariantCode(int32_t interfaceId) {
    const DeviceSlot* slot = deviceSlot(interfaceId);
    if (slot == nullptr) {
        return 0;
    }
    const uint8_t* image = slot->configuration.data() + kMuxImageOffset;
    if ((image[6] | image[7] << 8) != 8) {
        return 0;
    }
    switch ((image[8] | image[9] << 8) & 0x0FFF) {
    case 0:
        return 2;
    case 1:
        return 3;
    case 2:
        return 5;
    default:
        return 0;
    }
}

} // namespace tarvik
