// Devices arriving and going: enumeration, notifications, surprise removal
// with open handles and pending requests, eject, restart, power, shutdown.

#include "device_test_driver.h"

#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

namespace devtest {
namespace {

const char* eventName(DeviceChangeEvent event) {
    switch (event) {
    case DeviceChangeEvent::Arrival:
        return "arrival";
    case DeviceChangeEvent::QueryRemove:
        return "query remove";
    case DeviceChangeEvent::QueryRemoveFailed:
        return "query remove failed";
    case DeviceChangeEvent::RemovePending:
        return "remove pending";
    case DeviceChangeEvent::RemoveComplete:
        return "remove complete";
    }
    return "?";
}

// Collects notifications as "<tag> <event> <path>"; unregisters at its end.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> lines;
    std::vector<DeviceNotificationHandle> registrations;

    ~Recorder() {
        for (DeviceNotificationHandle registration : registrations) {
            unregisterDeviceNotification(registration);
        }
    }
    DeviceNotificationHandle watchClass(const Guid& interfaceClass, const std::string& tag) {
        return keep(registerInterfaceNotification(interfaceClass, callback(tag)));
    }
    DeviceNotificationHandle watchHandle(DeviceHandle handle, const std::string& tag) {
        return keep(registerHandleNotification(handle, callback(tag)));
    }
    DeviceNotificationHandle keep(DeviceNotificationHandle registration) {
        if (registration != 0) {
            registrations.push_back(registration);
        }
        return registration;
    }
    DeviceChangeCallback callback(const std::string& tag) {
        return [this, tag](const DeviceChange& change) { add(tag, change); };
    }
    void add(const std::string& tag, const DeviceChange& change) {
        std::lock_guard lock(mutex);
        lines.push_back(tag + " " + eventName(change.event) +
                        (change.devicePath.empty() ? "" : " " + change.devicePath));
        changed.notify_all();
    }
    std::vector<std::string> waitFor(size_t n) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return lines.size() >= n; });
        return lines;
    }
};

class DevicePnpTest : public DeviceLayerTest {};

TEST_F(DevicePnpTest, EnumerationFollowsArrivalAndRemoval) {
    ASSERT_TRUE(driver.install());
    EXPECT_TRUE(enumerateDeviceInterfaces(kTestClass).empty());
    ASSERT_TRUE(reportDeviceArrived("testdrv", "TEST\\0001"));
    ASSERT_TRUE(waitForPnpIdle());
    const std::vector<std::string> paths = enumerateDeviceInterfaces(kTestClass);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], "\\\\?\\TEST#0001#" + kTestClass.toString());
    EXPECT_TRUE(enumerateDeviceInterfaces(Guid{}).empty());

    ASSERT_TRUE(reportDeviceGone("TEST\\0001"));
    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_TRUE(enumerateDeviceInterfaces(kTestClass).empty());
    EXPECT_EQ(driver.entries(),
              (std::vector<std::string>{"add TEST\\0001", "start", "surprise removal",
                                        "remove begin", "remove end"}));
}

TEST_F(DevicePnpTest, MembersAreListedInArrivalOrder) {
    ASSERT_TRUE(driver.install());
    for (const char* id : {"TEST\\B", "TEST\\A", "TEST\\C"}) {
        ASSERT_TRUE(reportDeviceArrived("testdrv", id));
    }
    ASSERT_TRUE(waitForPnpIdle());
    const std::vector<std::string> paths = enumerateDeviceInterfaces(kTestClass);
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_NE(paths[0].find("TEST#B#"), std::string::npos);
    EXPECT_NE(paths[1].find("TEST#A#"), std::string::npos);
    EXPECT_NE(paths[2].find("TEST#C#"), std::string::npos);
}

TEST_F(DevicePnpTest, NotificationsComeInTheOrderOfTheChanges) {
    ASSERT_TRUE(driver.install());
    Recorder recorder;
    const DeviceNotificationHandle registration = registerInterfaceNotification(
        kTestClass, [&](const DeviceChange& change) { recorder.add("class", change); });
    ASSERT_NE(registration, 0u);
    ASSERT_TRUE(reportDeviceArrived("testdrv", "TEST\\1"));
    ASSERT_TRUE(reportDeviceArrived("testdrv", "TEST\\2"));
    ASSERT_TRUE(waitForPnpIdle());
    const std::vector<std::string> paths = enumerateDeviceInterfaces(kTestClass);
    ASSERT_EQ(paths.size(), 2u);

    const DeviceHandle handle = openDevice(paths[0]);
    ASSERT_NE(recorder.watchHandle(handle, "handle"), 0u);
    ASSERT_TRUE(reportDeviceGone("TEST\\1"));
    EXPECT_EQ(
        recorder.waitFor(4),
        (std::vector<std::string>{"class arrival " + paths[0], "class arrival " + paths[1],
                                  "handle remove complete", "class remove complete " + paths[0]}));
    EXPECT_TRUE(unregisterDeviceNotification(registration));
    EXPECT_FALSE(unregisterDeviceNotification(registration));
    EXPECT_EQ(lastError(), uint32_t{EINVAL});
}

TEST_F(DevicePnpTest, SurpriseRemovalFailsThePendingRequestAndRemoveWaitsForCloseAndLock) {
    driver.useCancelRoutine = false; // the request stays with the driver, holding its lock
    const std::string path = startOneDevice();
    const DeviceHandle handle = openDevice(path);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    Recorder recorder;
    ASSERT_NE(recorder.watchHandle(handle, "handle"), 0u);

    std::array<uint8_t, 16> block{};
    block.fill(0x11);
    HeldCall call(handle, block.data(), 16);
    ASSERT_TRUE(driver.waitHeld(1));
    ASSERT_TRUE(reportDeviceGone("TEST\\0001"));
    call.join();
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, uint32_t{ENODEV});
    EXPECT_EQ(recorder.waitFor(1), std::vector<std::string>{"handle remove complete"});

    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_TRUE(driver.logged("surprise removal"));
    EXPECT_FALSE(driver.logged("remove begin")); // the handle is still open
    EXPECT_TRUE(enumerateDeviceInterfaces(kTestClass).empty());
    EXPECT_EQ(openDevice(path), kInvalidDeviceHandle);
    EXPECT_FALSE(
        deviceIoControl(handle, kIoctlIncrement, block.data(), 16, block.data(), 16, nullptr));
    EXPECT_EQ(lastError(), uint32_t{ENODEV});

    ASSERT_TRUE(closeDevice(handle));
    ASSERT_TRUE(driver.waitLogged("remove begin"));
    EXPECT_FALSE(driver.logged("remove end")); // the held request keeps the remove lock
    ASSERT_TRUE(driver.completeHeld(0x42));
    ASSERT_TRUE(driver.waitLogged("remove end"));
    EXPECT_EQ(block[0], 0x11);
}

TEST_F(DevicePnpTest, NoDeliveryAfterUnregisterReturns) {
    ASSERT_TRUE(driver.install());
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool release = false;
    std::atomic<bool> finished{false};
    std::atomic<bool> unregistered{false};
    std::atomic<int> lateCalls{0};
    const DeviceNotificationHandle slow =
        registerInterfaceNotification(kTestClass, [&](const DeviceChange&) {
            if (unregistered) {
                ++lateCalls;
            }
            std::unique_lock lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
            finished = true;
        });
    ASSERT_TRUE(reportDeviceArrived("testdrv", "TEST\\1"));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return entered; }));
    }
    ASSERT_TRUE(reportDeviceArrived("testdrv", "TEST\\2")); // queued behind the running call
    ASSERT_TRUE(waitForPnpIdle());

    bool finishedWhenUnregistered = false;
    std::thread unregistering([&] {
        EXPECT_TRUE(unregisterDeviceNotification(slow));
        unregistered = true;
        finishedWhenUnregistered = finished;
    });
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    unregistering.join();
    EXPECT_TRUE(finishedWhenUnregistered); // it waited for the running call

    // Everything queued before this change has been handed out once it arrives.
    Recorder later;
    ASSERT_NE(later.watchClass(kTestClass, "later"), 0u);
    ASSERT_TRUE(reportDeviceGone("TEST\\1"));
    ASSERT_EQ(later.waitFor(1).size(), 1u);
    EXPECT_EQ(lateCalls, 0);
}

TEST_F(DevicePnpTest, CallbackMayUnregisterItselfAndLayerThreadsNeverWaitForThemselves) {
    ASSERT_TRUE(driver.install());
    Recorder recorder;
    std::atomic<DeviceNotificationHandle> self{0};
    std::atomic<int> calls{0};
    self = registerInterfaceNotification(kTestClass, [&](const DeviceChange& change) {
        ++calls;
        const bool waited = waitForPnpIdle();
        const uint32_t waitError = lastError();
        const bool ejected = ejectDevice("TEST\\1");
        const uint32_t ejectError = lastError();
        recorder.add(
            std::string(waited ? "waited" : "not waited") +
                (waitError == EDEADLK && !ejected && ejectError == EDEADLK ? " EDEADLK" : ""),
            change);
        unregisterDeviceNotification(self);
    });
    ASSERT_NE(self.load(), 0u);
    ASSERT_TRUE(reportDeviceArrived("testdrv", "TEST\\1"));
    EXPECT_EQ(recorder.waitFor(1).at(0).rfind("not waited EDEADLK arrival", 0), 0u);
    ASSERT_TRUE(reportDeviceArrived("testdrv", "TEST\\2"));
    ASSERT_TRUE(waitForPnpIdle());
    Recorder later;
    ASSERT_NE(later.watchClass(kTestClass, "later"), 0u);
    ASSERT_TRUE(reportDeviceGone("TEST\\2"));
    later.waitFor(1);
    EXPECT_EQ(calls, 1);
}

TEST_F(DevicePnpTest, EjectAsksHandleHoldersFirst) {
    const std::string path = startOneDevice();
    std::atomic<DeviceHandle> handle = openDevice(path);
    Recorder recorder;
    ASSERT_NE(registerHandleNotification(handle,
                                         [&](const DeviceChange& change) {
                                             recorder.add("handle", change);
                                             if (change.event == DeviceChangeEvent::QueryRemove) {
                                                 closeDevice(handle);
                                             }
                                         }),
              0u);
    ASSERT_TRUE(ejectDevice("TEST\\0001"));
    EXPECT_EQ(recorder.waitFor(3),
              (std::vector<std::string>{"handle query remove", "handle remove pending",
                                        "handle remove complete"}));
    EXPECT_TRUE(driver.logged("query remove"));
    EXPECT_TRUE(driver.logged("remove end"));
    EXPECT_FALSE(driver.logged("surprise removal"));
    EXPECT_TRUE(enumerateDeviceInterfaces(kTestClass).empty());
    EXPECT_FALSE(ejectDevice("TEST\\0001"));
    EXPECT_EQ(lastError(), uint32_t{ENOENT});
}

TEST_F(DevicePnpTest, EjectIsRefusedWhileAHandleStaysOpen) {
    const DeviceHandle handle = openDevice(startOneDevice());
    Recorder recorder;
    ASSERT_NE(recorder.watchHandle(handle, "handle"), 0u);
    EXPECT_FALSE(ejectDevice("TEST\\0001"));
    EXPECT_EQ(lastError(), uint32_t{EBUSY});
    EXPECT_EQ(recorder.waitFor(2),
              (std::vector<std::string>{"handle query remove", "handle query remove failed"}));
    EXPECT_FALSE(driver.logged("query remove"));
    std::array<uint8_t, 4> block{};
    EXPECT_TRUE(
        deviceIoControl(handle, kIoctlIncrement, block.data(), 4, block.data(), 4, nullptr));
}

TEST_F(DevicePnpTest, RebalanceStopsAndStartsAgainUnlessRefused) {
    ASSERT_FALSE(startOneDevice().empty());
    ASSERT_TRUE(rebalanceDevice("TEST\\0001"));
    EXPECT_EQ(driver.count("start"), 2u);
    EXPECT_TRUE(driver.logged("stop"));
    EXPECT_EQ(enumerateDeviceInterfaces(kTestClass).size(), 1u);

    driver.queryStopStatus = kStatusDeviceBusy;
    EXPECT_FALSE(rebalanceDevice("TEST\\0001"));
    EXPECT_EQ(lastError(), uint32_t{EBUSY});
    EXPECT_EQ(driver.count("stop"), 1u);
}

TEST_F(DevicePnpTest, RefusedPowerQueryStopsTheTransition) {
    ASSERT_FALSE(startOneDevice().empty());
    driver.powerQueryStatus = kStatusDeletePending;
    EXPECT_FALSE(setSystemPowerState(SystemPowerState::Sleeping));
    EXPECT_EQ(lastError(), uint32_t{ENODEV});
    EXPECT_TRUE(driver.logged("power query 3"));
    EXPECT_FALSE(driver.logged("power set 3"));

    driver.powerQueryStatus = kStatusSuccess;
    EXPECT_TRUE(setSystemPowerState(SystemPowerState::Sleeping));
    EXPECT_TRUE(driver.logged("power set 3"));
    EXPECT_TRUE(setSystemPowerState(SystemPowerState::Working));
    EXPECT_TRUE(driver.logged("power set 1"));
    EXPECT_FALSE(driver.logged("power query 1"));
}

TEST_F(DevicePnpTest, DeviceThatFailsToStartIsRemovedAndLogged) {
    driver.startStatus = kStatusUnsuccessful;
    EXPECT_TRUE(startOneDevice().empty());
    EXPECT_TRUE(driver.logged("remove end"));
    EXPECT_TRUE(loggedEvent(kEventDeviceStartFailed));
    // The instance can come again.
    driver.startStatus = kStatusSuccess;
    ASSERT_TRUE(reportDeviceArrived("testdrv", "TEST\\0001"));
    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_EQ(enumerateDeviceInterfaces(kTestClass).size(), 1u);
}

TEST_F(DevicePnpTest, DeviceReturnsWhileItsOldHandleIsStillOpen) {
    const std::string path = startOneDevice();
    const DeviceHandle old = openDevice(path);
    ASSERT_TRUE(reportDeviceGone("TEST\\0001"));
    ASSERT_TRUE(reportDeviceArrived("testdrv", "TEST\\0001"));
    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_EQ(enumerateDeviceInterfaces(kTestClass), std::vector<std::string>{path});
    const DeviceHandle fresh = openDevice(path);
    ASSERT_NE(fresh, kInvalidDeviceHandle);
    std::array<uint8_t, 4> block{};
    EXPECT_FALSE(deviceIoControl(old, kIoctlIncrement, block.data(), 4, block.data(), 4, nullptr));
    EXPECT_EQ(lastError(), uint32_t{ENODEV});
    EXPECT_TRUE(deviceIoControl(fresh, kIoctlIncrement, block.data(), 4, block.data(), 4, nullptr));
    ASSERT_TRUE(closeDevice(old));
    ASSERT_TRUE(driver.waitLogged("remove end"));
    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_EQ(enumerateDeviceInterfaces(kTestClass), std::vector<std::string>{path});
}

TEST_F(DevicePnpTest, BusReportsAreChecked) {
    ASSERT_TRUE(driver.install());
    EXPECT_FALSE(reportDeviceArrived("nosuchdriver", "TEST\\1"));
    EXPECT_EQ(lastError(), uint32_t{ENOENT});
    EXPECT_FALSE(reportDeviceArrived("testdrv", ""));
    EXPECT_EQ(lastError(), uint32_t{EINVAL});
    EXPECT_TRUE(reportDeviceArrived("testdrv", "TEST\\1"));
    EXPECT_FALSE(reportDeviceArrived("testdrv", "TEST\\1"));
    EXPECT_EQ(lastError(), uint32_t{EEXIST});
    EXPECT_FALSE(reportDeviceGone("TEST\\2"));
    EXPECT_EQ(lastError(), uint32_t{ENOENT});
    // Gone right after arrived: handled in order, nothing stays.
    EXPECT_TRUE(reportDeviceGone("TEST\\1"));
    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_TRUE(enumerateDeviceInterfaces(kTestClass).empty());
    EXPECT_EQ(driver.count("remove end"), 1u);
}

TEST_F(DevicePnpTest, ArrivalReportedByTheEntryIsHandledAfterIt) {
    ASSERT_TRUE(registerDriver(driver.name, [&](DriverObject& object) {
        EXPECT_TRUE(reportDeviceArrived(object.name(), "TEST\\EARLY"));
        return driver.entry(object);
    }));
    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_EQ(enumerateDeviceInterfaces(kTestClass).size(), 1u);
}

size_t threadCount() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

// A joined thread may linger in /proc for a moment after its join returned.
bool threadCountFallsTo(size_t expected) {
    for (int i = 0; i < 5000; ++i) {
        if (threadCount() <= expected) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST_F(DevicePnpTest, ShutdownRemovesDevicesUnloadsDriversInReverseOrderAndJoinsThreads) {
    // A first thread makes sanitizer runtimes start their helper threads.
    std::thread([] {}).join();
    const size_t threadsBefore = threadCount();
    std::mutex mutex;
    std::vector<std::string> journal;
    auto write = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        journal.push_back(line);
    };
    TestDriver second;
    second.name = "second";
    driver.journal = write;
    second.journal = write;
    const std::string path = startOneDevice();
    ASSERT_TRUE(second.install());
    ASSERT_TRUE(reportDeviceArrived("second", "SECOND\\1"));
    ASSERT_TRUE(waitForPnpIdle());
    Recorder recorder;
    ASSERT_NE(recorder.watchClass(kTestClass, "class"), 0u);

    const DeviceHandle handle = openDevice(path);
    std::array<uint8_t, 4> block{};
    HeldCall call(handle, block.data(), 4);
    ASSERT_TRUE(driver.waitHeld(1));
    ASSERT_TRUE(shutdownDevices());
    call.join();
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, uint32_t{ECANCELED});
    EXPECT_TRUE(threadCountFallsTo(threadsBefore));

    auto at = [&](const std::string& line) {
        return std::find(journal.begin(), journal.end(), line) - journal.begin();
    };
    ASSERT_LT(at("testdrv: unload"), static_cast<ptrdiff_t>(journal.size()));
    EXPECT_LT(at("second: remove end"), at("second: unload"));
    EXPECT_LT(at("second: unload"), at("testdrv: remove end"));
    EXPECT_LT(at("testdrv: close"), at("testdrv: remove end"));
    EXPECT_LT(at("testdrv: remove end"), at("testdrv: unload"));

    // The layer starts afresh.
    EXPECT_TRUE(enumerateDeviceInterfaces(kTestClass).empty());
    EXPECT_EQ(openDevice(path), kInvalidDeviceHandle);
}

// A bus driver that reports another driver's device gone while it unloads (as
// the simulated USB bus does) must not restart the layer's worker: that work
// would run after the other driver's code is gone.
TEST_F(DevicePnpTest, DevicesReportedGoneDuringShutdownLeaveNoWorkBehind) {
    std::thread([] {}).join();
    const size_t threadsBefore = threadCount();
    std::vector<std::string> journal;
    std::mutex mutex;
    auto write = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        journal.push_back(line);
    };
    driver.journal = write;
    ASSERT_FALSE(startOneDevice().empty());
    TestDriver bus;
    bus.name = "bus";
    bus.journal = write;
    bool reported = false;
    bus.onUnload = [&] { reported = reportDeviceGone("TEST\\0001"); };
    ASSERT_TRUE(bus.install());
    ASSERT_TRUE(shutdownDevices());
    EXPECT_TRUE(reported);
    EXPECT_TRUE(threadCountFallsTo(threadsBefore));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(journal.back(), "testdrv: unload");
    }
    driver.journal = nullptr;
    // The worker takes work again once the layer is back.
    EXPECT_FALSE(startOneDevice().empty());
}

} // namespace
} // namespace devtest
