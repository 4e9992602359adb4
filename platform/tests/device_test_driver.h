#pragma once
// A linked-in driver for the device-layer tests. It logs every routine it
// runs, answers a few control codes, and holds "hold" requests until the test
// completes them, each with a hold on the device's remove lock.

#include "platform/driver.h"
#include "platform/event_log.h"
#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace devtest {

using namespace platform;

inline constexpr Guid kTestClass = Guid::parse("{5B0C2C6E-9A41-4F4E-8D3A-1C2B3D4E5F60}").value();
inline constexpr uint32_t kDeviceType = 0x9000;
// Answers with every input byte plus one.
inline constexpr uint32_t kIoctlIncrement = ctlCode(kDeviceType, 0x800, kMethodBuffered, 0);
// Stays pending until the test completes it.
inline constexpr uint32_t kIoctlHold = ctlCode(kDeviceType, 0x801, kMethodBuffered, 0);
// Fails with kStatusUnsuccessful after scribbling on its buffer.
inline constexpr uint32_t kIoctlFail = ctlCode(kDeviceType, 0x802, kMethodBuffered, 0);
// Answers with more bytes than asked for.
inline constexpr uint32_t kIoctlOverlong = ctlCode(kDeviceType, 0x803, kMethodBuffered, 0);

struct Extension {
    RemoveLock removeLock;
    std::string interfacePath;
};

struct TestDriver {
    std::string name = "testdrv";
    bool exclusive = true;
    bool useCancelRoutine = true;
    bool answerHeldAtCleanup = false;
    DriverStatus startStatus = kStatusSuccess;
    DriverStatus queryStopStatus = kStatusSuccess;
    DriverStatus powerQueryStatus = kStatusSuccess;

    // Also told every line, prefixed with the driver's name (for orders across drivers).
    std::function<void(const std::string&)> journal;
    std::function<void()> onUnload; // runs inside the driver's unload routine

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> log;
    std::deque<IoRequestPtr> held;

    void record(const std::string& line) {
        if (journal) {
            journal(name + ": " + line);
        }
        std::lock_guard lock(mutex);
        log.push_back(line);
        changed.notify_all(); // under the lock: a woken test may end and destroy us
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex);
        return log;
    }
    bool logged(const std::string& line) const {
        std::lock_guard lock(mutex);
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    size_t count(const std::string& line) const {
        std::lock_guard lock(mutex);
        return static_cast<size_t>(std::count(log.begin(), log.end(), line));
    }
    // Handshakes only: the limit turns a hang into a failure.
    template <class Pred> bool waitUntil(Pred pred) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), pred);
    }
    bool waitLogged(const std::string& line) {
        return waitUntil([&] { return std::find(log.begin(), log.end(), line) != log.end(); });
    }
    bool waitHeld(size_t n) {
        return waitUntil([&] { return held.size() >= n; });
    }

    // Completes the oldest held request with its buffer filled with fill.
    bool completeHeld(uint8_t fill, DriverStatus status = kStatusSuccess) {
        IoRequestPtr request;
        {
            std::lock_guard lock(mutex);
            if (held.empty()) {
                return false;
            }
            request = held.front();
            held.pop_front();
        }
        if (!request->clearCancelRoutine()) {
            return false; // its cancel routine answers it
        }
        std::fill(request->systemBuffer().begin(), request->systemBuffer().end(), fill);
        request->setInformation(request->outputBufferLength());
        request->complete(status);
        request->device().extension<Extension>().removeLock.release();
        return true;
    }

    DriverStatus deviceControl(DeviceObject& device, const IoRequestPtr& request) {
        Extension& extension = device.extension<Extension>();
        if (extension.removeLock.acquire() != kStatusSuccess) {
            return request->complete(kStatusDeletePending);
        }
        std::span<uint8_t> buffer = request->systemBuffer();
        switch (request->ioControlCode()) {
        case kIoctlIncrement:
            for (uint32_t i = 0; i < request->inputBufferLength(); ++i) {
                buffer[i] = static_cast<uint8_t>(buffer[i] + 1);
            }
            request->setInformation(request->inputBufferLength());
            extension.removeLock.release();
            return request->complete(kStatusSuccess);
        case kIoctlOverlong:
            request->setInformation(static_cast<uint32_t>(buffer.size()) + 100);
            extension.removeLock.release();
            return request->complete(kStatusSuccess);
        case kIoctlHold: {
            request->markPending();
            if (useCancelRoutine) {
                const bool set = request->setCancelRoutine(
                    [this](DeviceObject& owner, const IoRequestPtr& cancelled) {
                        {
                            std::lock_guard lock(mutex);
                            std::erase(held, cancelled);
                        }
                        record("cancel");
                        cancelled->complete(kStatusCancelled);
                        owner.extension<Extension>().removeLock.release();
                    });
                if (!set) {
                    extension.removeLock.release();
                    return request->complete(kStatusCancelled);
                }
            }
            std::lock_guard lock(mutex);
            held.push_back(request);
            changed.notify_all();
            return kStatusPending;
        }
        default:
            std::fill(buffer.begin(), buffer.end(), uint8_t{0xEE});
            extension.removeLock.release();
            return request->complete(kStatusUnsuccessful);
        }
    }

    DriverStatus entry(DriverObject& driver) {
        driver.dispatchCreate = [this](DeviceObject&, const IoRequestPtr& request) {
            record("create");
            return request->complete(kStatusSuccess);
        };
        driver.dispatchCleanup = [this](DeviceObject&, const IoRequestPtr& request) {
            record("cleanup");
            if (answerHeldAtCleanup) {
                while (completeHeld(0x55)) {
                }
            }
            return request->complete(kStatusSuccess);
        };
        driver.dispatchClose = [this](DeviceObject&, const IoRequestPtr& request) {
            record("close");
            return request->complete(kStatusSuccess);
        };
        driver.dispatchDeviceControl = [this](DeviceObject& device, const IoRequestPtr& request) {
            return deviceControl(device, request);
        };
        driver.addDevice = [this](DriverObject& owner, PhysicalDevice& physical) {
            record("add " + physical.instanceId());
            DeviceObject* device = nullptr;
            DeviceOptions options;
            options.deviceType = kDeviceType;
            options.exclusive = exclusive;
            DriverStatus status = createDevice<Extension>(owner, &physical, options, device);
            if (status != kStatusSuccess) {
                return status;
            }
            return registerDeviceInterface(*device, kTestClass, {},
                                           device->extension<Extension>().interfacePath);
        };
        driver.startDevice = [this](DeviceObject& device) {
            record("start");
            if (startStatus != kStatusSuccess) {
                return startStatus;
            }
            return setDeviceInterfaceState(device, device.extension<Extension>().interfacePath,
                                           true);
        };
        driver.queryStopDevice = [this](DeviceObject&) {
            record("query stop");
            return queryStopStatus;
        };
        driver.stopDevice = [this](DeviceObject&) {
            record("stop");
            return kStatusSuccess;
        };
        driver.queryRemoveDevice = [this](DeviceObject&) {
            record("query remove");
            return kStatusSuccess;
        };
        driver.surpriseRemoval = [this](DeviceObject&) {
            record("surprise removal");
            return kStatusSuccess;
        };
        driver.removeDevice = [this](DeviceObject& device) {
            record("remove begin");
            Extension& extension = device.extension<Extension>();
            extension.removeLock.acquire();
            extension.removeLock.releaseAndWait();
            setDeviceInterfaceState(device, extension.interfacePath, false);
            deleteDevice(device);
            record("remove end");
            return kStatusSuccess;
        };
        driver.dispatchPower = [this](DeviceObject&, const PowerRequest& request) {
            const bool query = request.action == PowerAction::Query;
            record(std::string(query ? "power query " : "power set ") +
                   std::to_string(static_cast<int>(request.state)));
            return query ? powerQueryStatus : kStatusSuccess;
        };
        driver.driverUnload = [this](DriverObject&) {
            record("unload");
            if (onUnload) {
                onUnload();
            }
        };
        return kStatusSuccess;
    }

    bool install() {
        return registerDriver(name, [this](DriverObject& driver) { return entry(driver); });
    }
};

// A "hold" request sent on a thread of its own. Joined at the end, after
// cancelling it when a failed check left it pending.
struct HeldCall {
    HeldCall(DeviceHandle target, uint8_t* buffer, uint32_t length)
        : handle(target), thread([this, buffer, length] {
              ok = deviceIoControl(handle, kIoctlHold, buffer, length, buffer, length, &returned);
              error = lastError();
              done = true;
          }) {}
    ~HeldCall() {
        while (!done) {
            cancelIo(handle);
            std::this_thread::yield();
        }
        join();
    }
    void join() {
        if (thread.joinable()) {
            thread.join();
        }
    }

    const DeviceHandle handle;
    bool ok = false;
    uint32_t error = 0;
    uint32_t returned = 0;
    std::atomic<bool> done{false};
    std::thread thread; // last: starts once the fields exist
};

// Every test starts from an empty layer and leaves one.
class DeviceLayerTest : public ::testing::Test {
protected:
    // Only the drivers a test registers: none from the tree's driver directory.
    void SetUp() override { ::setenv("VELDON_DRIVER_PATH", "", 1); }
    void TearDown() override { EXPECT_TRUE(shutdownDevices()); }

    std::shared_ptr<RecordingEventLog> events = std::make_shared<RecordingEventLog>();
    ScopedEventLogBackend eventScope{events};
    TestDriver driver;

    bool loggedEvent(uint32_t id) const {
        for (const auto& record : events->records()) {
            if (record.entry.source == kDeviceEventSource && record.entry.eventId == id) {
                return true;
            }
        }
        return false;
    }

    // Installs the driver with one started device; its path.
    std::string startOneDevice(const std::string& instanceId = "TEST\\0001") {
        if (!driver.install() || !reportDeviceArrived(driver.name, instanceId) ||
            !waitForPnpIdle()) {
            return {};
        }
        std::vector<std::string> paths = enumerateDeviceInterfaces(kTestClass);
        return paths.empty() ? std::string() : paths.back();
    }
};

} // namespace devtest
