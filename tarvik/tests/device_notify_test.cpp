// Hot-plug of simulated USB boards: the subscriber list, the two exports, and
// removal and arrival handled by the notification thread.

#include "lifecycle_fixture.h"

#include "core/device_notify.h"
#include "core/locks.h"

#include "platform/clock.h"
#include "platform/driver.h"
#include "platform/messages.h"

#include <atomic>
#include <filesystem>
#include <iterator>
#include <thread>

namespace tarvik::testing {
namespace {

constexpr const char* kRegister = "KORAL_RegisterDeviceNotification";
constexpr const char* kUnregister = "KORAL_UnregisterDeviceNotification";

TEST(DeviceNotifySubscriberList, RegistrationsAndRemovals) {
    struct Case {
        const char* what;
        int registrations; // mode 1 each, before the step
        uint8_t mode;
        int64_t added; // of the step's registration
        size_t sizeAfter;
    };
    const Case cases[] = {
        {"first", 0, 1, kSubscriptionMark | 1, 1},
        {"seventeenth fits", 16, 0, kSubscriptionMark | 17, 17},
        {"eighteenth refused, no id used", 17, 1, -1, 17},
        {"bad mode uses up its id", 3, 2, -2, 3},
    };
    for (const Case& c : cases) {
        DeviceNotifySubscriberList list;
        for (int i = 0; i < c.registrations; ++i) {
            ASSERT_GT(list.add(1, 7, 0), 0) << c.what;
        }
        EXPECT_EQ(list.add(c.mode, 7, 0), c.added) << c.what;
        EXPECT_EQ(list.size(), c.sizeAfter) << c.what;
        if (c.added < 0) {
            const int64_t next = list.add(1, 7, 0);
            // The refused mode consumed an id, the full list did not.
            const int64_t expectedId = c.registrations + (c.added == -2 ? 2 : 1);
            EXPECT_EQ(next, c.added == -1 ? -1 : (kSubscriptionMark | expectedId)) << c.what;
        }
    }
}

TEST(DeviceNotifySubscriberList, HandlesAreCheckedByMarkAndId) {
    DeviceNotifySubscriberList list;
    const auto handle = static_cast<uint32_t>(list.add(1, 7, 0));
    EXPECT_FALSE(list.remove(0x0C350000u | (handle & 0xFFFF)));
    EXPECT_TRUE(list.remove(handle));
    EXPECT_FALSE(list.remove(handle));
}

TEST(DeviceNotifySubscriberList, IdsWrapAndTheOlderTwinGoesFirst) {
    const uint32_t queue = platform::registerThreadQueue();
    DeviceNotifySubscriberList list;
    const auto first = static_cast<uint32_t>(list.add(1, queue, 1));
    EXPECT_EQ(first, kSubscriptionMark | 1);
    for (int i = 2; i <= 65535; ++i) {
        const int64_t h = list.add(1, queue, 0);
        ASSERT_GT(h, 0);
        ASSERT_TRUE(list.remove(static_cast<uint32_t>(h)));
    }
    EXPECT_EQ(list.add(1, queue, 0), kSubscriptionMark | 0);
    EXPECT_EQ(list.add(1, queue, 2), kSubscriptionMark | 1);
    // Two entries carry id 1: the older one (interface 1) goes first.
    ASSERT_TRUE(list.remove(first));
    list.post(kNotifyRemoval, 1, false);
    list.post(kNotifyRemoval, 2, false);
    std::vector<platform::LParam> got;
    platform::Message m;
    while (platform::peekMessage(m)) {
        got.push_back(m.lParam);
    }
    EXPECT_EQ(got, (std::vector<platform::LParam>{1, 2, 2}));
    platform::unregisterThreadQueue();
}

TEST(DeviceNotifySubscriberList, PostsFollowTheFilter) {
    DeviceNotifySubscriberList list;
    EXPECT_FALSE(list.post(kNotifyRemoval, 3, true)); // empty
    const uint32_t queue = platform::registerThreadQueue();
    list.add(1, queue, 0);
    list.add(1, queue, 3);
    list.add(1, queue, 4);
    EXPECT_TRUE(list.post(kNotifyRemoval, 3, true));
    EXPECT_TRUE(list.post(kNotifyArrival, 4, false));
    std::vector<std::pair<platform::WParam, platform::LParam>> got;
    platform::Message m;
    while (platform::peekMessage(m)) {
        EXPECT_EQ(m.message, WM_DEVICE_NOTIFY);
        got.emplace_back(m.wParam, m.lParam);
    }
    const std::vector<std::pair<platform::WParam, platform::LParam>> expected{
        {2, 0x103}, {2, 0x103}, {1, 0x004}, {1, 0x004}};
    EXPECT_EQ(got, expected);
    platform::unregisterThreadQueue();
}

std::string usbBoard(const std::string& name, int boardId) {
    return "[board " + name +
           "]\ninterface_type = 6\nusb_board = 0\nboard_id = " + std::to_string(boardId) + "\n";
}

// The life cycle's recorders, with the real notification thread.
class DeviceNotifyTest : public LifecycleTest {
protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        LifecycleSeams& s = lifecycleSeams();
        s.isDeviceNotifyRunning = &IsDeviceNotifyRunning;
        s.startDeviceNotifyThread = &StartDeviceNotifyThread;
        s.registerHandleNotification = &RegisterHandleNotification;
        s.stopNotificationThread = &StopNotificationThread;
        queue = platform::registerThreadQueue();
    }
    void TearDown() override {
        platform::unregisterThreadQueue();
        LifecycleTest::TearDown();
    }

    // The next notification; the limit only keeps a broken run from hanging.
    std::pair<platform::WParam, platform::LParam> next() {
        platform::Message m;
        for (;;) {
            if (platform::getMessage(m, 0, 60000) != platform::GetMessageResult::Message) {
                ADD_FAILURE() << "no notification";
                return {0, 0};
            }
            if (m.message == WM_DEVICE_NOTIFY) {
                return {m.wParam, m.lParam};
            }
        }
    }
    bool nothingQueued() {
        platform::waitForPnpIdle();
        platform::Message m;
        return !platform::peekMessage(m, 0, false);
    }
    uint32_t subscribe(int32_t id) {
        uint32_t handle = 0;
        EXPECT_EQ(KORAL_RegisterDeviceNotification(id, queue, &handle, 1), 0) << describe(record());
        return handle;
    }

    uint32_t queue = 0;
};

TEST_F(DeviceNotifyTest, RemovedBoardIsKeptAndComesBack) {
    loadBoards(usbBoard("one", 1) + usbBoard("two", 2));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 2), 0);
    EXPECT_TRUE(IsDeviceNotifyRunning());
    subscribe(1);
    subscribe(0);

    ASSERT_EQ(sim::BoardRegistry::instance().unplug("one"), 0);
    const std::pair<platform::WParam, platform::LParam> removal{2, 0x101};
    EXPECT_EQ(next(), removal); // the subscription for ID 1
    EXPECT_EQ(next(), removal); // and the one for all
    EXPECT_EQ(KORAL_SetInterfaceActive(1), -1);
    EXPECT_RECORD(5, 511, 808, 1, "KORAL_SetInterfaceActive");
    EXPECT_EQ(KORAL_SetInterfaceActive(2), 0);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), -1);
    EXPECT_RECORD(5, 503, 0, 1, "KORAL_OpenOperationElectronicsDevice");

    ASSERT_EQ(sim::BoardRegistry::instance().plugIn("one"), 0);
    const std::pair<platform::WParam, platform::LParam> arrival{1, 0x101};
    EXPECT_EQ(next(), arrival);
    EXPECT_EQ(next(), arrival);
    EXPECT_EQ(KORAL_SetInterfaceActive(1), 0);
    // Never initialised: no INIT, nothing marked.
    EXPECT_EQ(board("one")->requestCount(IOCTL_BOARD_INIT), 0u);
    EXPECT_EQ(deviceSlot(1)->arrivalFailed, 0);
    // Watched again.
    ASSERT_EQ(sim::BoardRegistry::instance().unplug("one"), 0);
    EXPECT_EQ(next(), removal);
    EXPECT_EQ(next(), removal);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_EQ(KORAL_CloseOperationElectronics(2), 0);
    EXPECT_FALSE(IsDeviceNotifyRunning());
}

TEST_F(DeviceNotifyTest, ArrivalReinitialisesAndMarksAFailure) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    loadBoards(usbBoard("one", 1));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    deviceSlot(1)->initialised = 1;
    subscribe(1);
    for (const bool fails : {false, true}) {
        ASSERT_EQ(sim::BoardRegistry::instance().unplug("one"), 0);
        next();
        board("one")->clearRequests();
        if (fails) {
            board("one")->injectStatus(IOCTL_BOARD_INIT, 160, 0, 3);
        }
        const platform::TimePoint before = platform::now();
        ASSERT_EQ(sim::BoardRegistry::instance().plugIn("one"), 0);
        const std::pair<platform::WParam, platform::LParam> arrival{1, fails ? 0x001 : 0x101};
        EXPECT_EQ(next(), arrival);
        EXPECT_EQ(board("one")->requestCount(IOCTL_BOARD_INIT), fails ? 3u : 1u);
        // 500 ms before the first try, then 1000 and 1500.
        EXPECT_EQ(platform::now() - before, std::chrono::milliseconds(fails ? 3000 : 500));
        EXPECT_EQ(deviceSlot(1)->arrivalFailed, fails ? 1 : 0);
    }
    EXPECT_EQ(KORAL_GetSpectra(1), -1);
    EXPECT_RECORD(5, 507, 838, 1, "KORAL_GetSpectra");
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
}

TEST_F(DeviceNotifyTest, ForeignArrivalPostsNothingAndLetsTheBoardGo) {
    loadBoards(usbBoard("one", 1));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    subscribe(0);
    ASSERT_EQ(sim::BoardRegistry::instance().unplug("one"), 0);
    next();
    sim::BoardConfig other;
    other.name = "other";
    other.usbBoard = false;
    other.boardId = 5;
    ASSERT_EQ(sim::BoardRegistry::instance().addBoard(other), 0);
    // Changes are handled in order: once the own board's arrival is told,
    // the other one's was handled.
    ASSERT_EQ(sim::BoardRegistry::instance().plugIn("one"), 0);
    EXPECT_EQ(next(), (std::pair<platform::WParam, platform::LParam>{1, 0x101}));
    EXPECT_TRUE(nothingQueued());
    // The probe let the other board go: only the library's own is held.
    EXPECT_EQ(static_cast<int>(memberIsBusy(6, 0)) + static_cast<int>(memberIsBusy(6, 1)), 1);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
}

TEST_F(DeviceNotifyTest, RegistrationRefusals) {
    uint32_t handle = 0;
    EXPECT_EQ(KORAL_RegisterDeviceNotification(0, queue, nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, kRegister);
    EXPECT_EQ(KORAL_RegisterDeviceNotification(0, queue, &handle, 1), -1);
    EXPECT_RECORD(5, 506, 804, 0, kRegister);

    loadBoards(usbBoard("one", 1));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    EXPECT_EQ(KORAL_RegisterDeviceNotification(3, queue, &handle, 1), -1);
    EXPECT_RECORD(5, 504, 0, 3, kRegister);
    for (const int32_t id : {16, -1, -5, INT32_MIN}) {
        EXPECT_EQ(KORAL_RegisterDeviceNotification(id, queue, &handle, 1), -1) << id;
        EXPECT_RECORD(5, 505, 818, id, kRegister);
    }
    const uint32_t first = subscribe(1);
    EXPECT_EQ(KORAL_RegisterDeviceNotification(1, queue, &handle, 2), -1);
    EXPECT_RECORD(5, 505, 841, 0, kRegister);
    EXPECT_EQ(subscribe(1), first + 2);
    for (int i = 2; i < 17; ++i) {
        subscribe(0);
    }
    EXPECT_EQ(KORAL_RegisterDeviceNotification(0, queue, &handle, 1), -1);
    EXPECT_RECORD(5, 508, 840, 0, kRegister);

    EXPECT_EQ(KORAL_UnregisterDeviceNotification(first), 0);
    EXPECT_EQ(KORAL_UnregisterDeviceNotification(first), -1);
    EXPECT_RECORD(5, 508, 842, 0, kUnregister);
    EXPECT_EQ(KORAL_UnregisterDeviceNotification(0x12340003u), -1);
    EXPECT_RECORD(5, 508, 842, 0, kUnregister);

    // The last close stops the thread and drops the list.
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_EQ(KORAL_UnregisterDeviceNotification(first + 2), -1);
    EXPECT_RECORD(5, 506, 839, 0, kUnregister);
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    EXPECT_EQ(KORAL_UnregisterDeviceNotification(first + 2), -1);
    EXPECT_RECORD(5, 508, 842, 0, kUnregister);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
}

// Removal while another thread acquires, and the close while the thread
// waits for the DeviceLock.
class DeviceNotifyAcquisitionTest : public DeviceNotifyTest {
protected:
    void SetUp() override {
        DeviceNotifyTest::SetUp();
        resetLifecycleSeams();
    }
    // The re-initialisation's pauses pass at once.
    platform::VirtualClock clock;
    platform::ScopedClock scoped{clock};
};

TEST_F(DeviceNotifyAcquisitionTest, RemovalDuringAcquisition) {
    loadBoards(usbBoard("one", 1));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(1, 6, 1), 0) << describe(record());
    ASSERT_EQ(KORAL_InitializeOperationElectronics(1, 1), 0) << describe(record());
    uint32_t data = 0;
    ASSERT_EQ(KORAL_AllocRawData(&data), 0);
    ASSERT_EQ(KORAL_ParaSetMapping(&data, 1, 1), 0);
    ASSERT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
    subscribe(1);
    std::atomic<bool> done{false};
    std::thread client([&] {
        while (!done) {
            KORAL_GetSpectra(1); // fails while the board is away
        }
    });
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(sim::BoardRegistry::instance().unplug("one"), 0);
        EXPECT_EQ(next().first, kNotifyRemoval);
        ASSERT_EQ(sim::BoardRegistry::instance().plugIn("one"), 0);
        EXPECT_EQ(next(), (std::pair<platform::WParam, platform::LParam>{1, 0x101}));
    }
    done = true;
    client.join();
    // The board came back initialised and delivers spectra again.
    EXPECT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
    EXPECT_EQ(KORAL_FreeRawData(&data), 0);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_FALSE(IsDeviceNotifyRunning());
}

TEST_F(DeviceNotifyAcquisitionTest, CloseWhileTheThreadWaitsForTheDeviceLock) {
    loadBoards(usbBoard("one", 1));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(1, 6, 1), 0);
    {
        std::lock_guard guard(deviceLock());
        ASSERT_EQ(sim::BoardRegistry::instance().unplug("one"), 0);
        platform::waitForPnpIdle();
        // The removal handler now waits for the lock this thread holds.
        EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    }
    EXPECT_FALSE(IsDeviceNotifyRunning());
    EXPECT_EQ(deviceSlot(1), nullptr);
}

TEST_F(DeviceNotifyAcquisitionTest, RemovalDuringClose) {
    loadBoards(usbBoard("one", 1));
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(1, 6, 1), 0) << describe(record());
        ASSERT_EQ(KORAL_InitializeOperationElectronics(1, 1), 0) << describe(record());
        subscribe(1);
        std::thread pull([] { EXPECT_EQ(sim::BoardRegistry::instance().unplug("one"), 0); });
        EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0) << describe(record());
        pull.join();
        EXPECT_FALSE(IsDeviceNotifyRunning());
        EXPECT_EQ(deviceSlot(1), nullptr);
        // A removal told before the close dropped the subscription.
        platform::Message m;
        while (platform::peekMessage(m)) {
            EXPECT_EQ(m.wParam, kNotifyRemoval);
        }
        ASSERT_EQ(sim::BoardRegistry::instance().plugIn("one"), 0);
        platform::waitForPnpIdle();
    }
}

size_t threadCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator{}));
}

TEST_F(DeviceNotifyTest, UnloadEndsTheRunningThread) {
    loadBoards(usbBoard("one", 1));
    // A first round lets the device layer start the threads it keeps.
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    ASSERT_EQ(KORAL_CloseOperationElectronics(1), 0);
    const size_t before = threadCount();
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    subscribe(1);
    EXPECT_EQ(threadCount(), before + 1);
    ASSERT_EQ(sim::BoardRegistry::instance().unplug("one"), 0);
    EXPECT_EQ(LibraryDetach(), 1);
    EXPECT_EQ(threadCount(), before);
    attach(); // for the fixture's own unload
}

} // namespace
} // namespace tarvik::testing
