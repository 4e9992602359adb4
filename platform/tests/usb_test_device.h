#pragma once
// A simulated USB device for the USB-layer tests: a memory that vendor
// requests write and read, a few requests that misbehave on purpose, a bulk
// OUT pipe that keeps what it gets, and a log of the callbacks.

#include "platform/event.h"
#include "platform/usb_sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace usbtest {

using namespace platform;
using namespace platform::usb;

inline constexpr uint16_t kVendor = 0x1234;
inline constexpr uint16_t kProduct = 0x0001;
inline constexpr uint16_t kProductAfterRenumeration = 0x0002;

inline constexpr uint8_t kPipeOut = 0x02;       // bulk OUT, 512
inline constexpr uint8_t kPipeInterrupt = 0x81; // interrupt IN, 64
inline constexpr uint8_t kPipeScan = 0x86;      // bulk IN, 512: the third pipe
inline constexpr uint16_t kPacket = 512;

// Vendor requests of the test device.
inline constexpr uint8_t kRequestMemory = 0xA0;     // OUT writes at wValue, IN reads from it
inline constexpr uint8_t kRequestStall = 0xE0;      // stalls
inline constexpr uint8_t kRequestSilent = 0xE1;     // never answers
inline constexpr uint8_t kRequestRenumerate = 0xE2; // answers, then comes back as product 2
inline constexpr uint8_t kRequestBlock = 0xE3;      // answers once the test releases it
inline constexpr uint8_t kRequestUnplug = 0xE4;     // answers, then leaves the bus
inline constexpr uint8_t kRequestVanish = 0xE5;     // leaves the bus without answering

inline SimDescriptors testDescriptors(uint16_t product = kProduct) {
    SimDescriptors d;
    d.device.idVendor = kVendor;
    d.device.idProduct = product;
    d.device.bcdDevice = 0x0013;
    d.device.iManufacturer = 1;
    d.device.iProduct = 2;
    d.device.iSerialNumber = 3;
    ConfigurationDescriptor configuration;
    configuration.bConfigurationValue = 1;
    InterfaceDescriptor interface;
    interface.endpoints = {
        {kPipeOut, static_cast<uint8_t>(EndpointType::Bulk), kPacket, 0},
        {kPipeInterrupt, static_cast<uint8_t>(EndpointType::Interrupt), 64, 1},
        {kPipeScan, static_cast<uint8_t>(EndpointType::Bulk), kPacket, 0},
    };
    configuration.interfaces.push_back(interface);
    d.configurations.push_back(configuration);
    d.strings = {{1, u"Maker"}, {2, u"Board"}, {3, u"SN0001"}};
    return d;
}

struct TestDevice : SimulatedDevice {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> log;
    std::vector<uint8_t> memory = std::vector<uint8_t>(0x10000);
    std::vector<uint8_t> received; // bulk OUT data
    Event release{ResetMode::Auto};
    std::atomic<bool> blocked{false};

    void record(const std::string& line) {
        std::lock_guard lock(mutex);
        log.push_back(line);
        changed.notify_all();
    }
    bool logged(const std::string& line) {
        std::lock_guard lock(mutex);
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    // Waits for a line that a callback writes on the device thread.
    bool waitLogged(const std::string& line) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] {
            return std::find(log.begin(), log.end(), line) != log.end();
        });
    }

    SimReply handleControl(SimPort& port, const ControlSetup& setup, std::span<const uint8_t> data,
                           uint16_t length) override {
        record("control " + std::to_string(setup.request));
        switch (setup.request) {
        case kRequestMemory:
            if ((setup.requestType & kDirectionIn) != 0) {
                const size_t n = std::min<size_t>(length, memory.size() - setup.value);
                return SimReply::ok({memory.begin() + setup.value,
                                     memory.begin() + setup.value + static_cast<ptrdiff_t>(n)});
            }
            if (data.size() > memory.size() - setup.value) {
                return SimReply::stall();
            }
            std::copy(data.begin(), data.end(), memory.begin() + setup.value);
            return SimReply::ok();
        case kRequestSilent:
            return SimReply::noAnswer();
        case kRequestRenumerate:
            port.reenumerate(testDescriptors(kProductAfterRenumeration));
            return SimReply::ok();
        case kRequestBlock:
            blocked = true;
            record("blocked");
            if (release.wait(kInfinite) != WaitResult::Signalled) {
                record("block ended by unplug");
            }
            blocked = false;
            return SimReply::ok({1, 2, 3});
        case kRequestUnplug:
            port.unplug();
            return SimReply::ok();
        case kRequestVanish:
            port.unplug();
            return SimReply::noAnswer();
        default:
            return SimReply::stall();
        }
    }
    SimReply handleOut(SimPort&, uint8_t endpoint, std::span<const uint8_t> data) override {
        record("out " + std::to_string(endpoint) + " " + std::to_string(data.size()));
        if (!data.empty() && data[0] == 0xFF) {
            return SimReply::stall();
        }
        std::lock_guard lock(mutex);
        received.insert(received.end(), data.begin(), data.end());
        return SimReply::ok();
    }
    void configurationSelected(SimPort&, uint8_t value) override {
        record("configured " + std::to_string(value));
    }
    void pipeReset(SimPort&, uint8_t endpoint) override {
        record("pipe reset " + std::to_string(endpoint));
    }
    void portReset(SimPort&) override { record("port reset"); }
};

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed = 0) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) {
        out[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return out;
}

inline size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

// A joined thread may linger in /proc for a moment after its join returned.
inline bool threadCountFallsTo(size_t expected) {
    for (int i = 0; i < 5000; ++i) {
        if (threadCount() <= expected) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Collects hot-plug events as "arrived <instance id>" / "left <instance id>".
struct HotplugRecorder {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::shared_ptr<UsbDevice>> devices;
    std::vector<bool> goneWhenTold;
    UsbHotplugHandle handle = 0;

    explicit HotplugRecorder(bool enumeratePresent = false) {
        handle = addUsbHotplugListener(
            [this](UsbHotplugEvent event, const std::shared_ptr<UsbDevice>& device) {
                std::lock_guard lock(mutex);
                lines.push_back((event == UsbHotplugEvent::Arrived ? "arrived " : "left ") +
                                device->instanceId());
                devices.push_back(device);
                goneWhenTold.push_back(device->isGone());
            },
            enumeratePresent);
    }
    ~HotplugRecorder() { removeUsbHotplugListener(handle); }
    std::vector<std::string> seen() {
        std::lock_guard lock(mutex);
        return lines;
    }
};

} // namespace usbtest
