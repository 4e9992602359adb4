// The simulated board driver loaded by the device layer from
// VELDON_DRIVER_PATH, with its boards from the set-up file of VELDON_SIMULATION.

#include "sim/board_driver.h"
#include "sim/board_registry.h"

#include "sim_test_support.h"

#include "platform/device.h"
#include "platform/event_log.h"
#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using namespace simtest;
using namespace platform;
using sim::BoardRegistry;

const std::string kDriverName = "veldon_simdrv";

class SimDriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_TRUE(shutdownDevices());
        ::unsetenv("VELDON_DRIVER_PATH");
        ::unsetenv(sim::kSimulationVariable);
    }

    // Points the layer at the driver and the set-up text, and loads it.
    void start(const std::string& setup) {
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv(sim::kSimulationVariable, dir.write("sim.ini", setup).c_str(), 1);
        enumerateDeviceInterfaces(sim::kInterfaceClassType6); // loads the drivers
    }

    std::shared_ptr<sim::BoardModel> board(const std::string& name) {
        return BoardRegistry::instance().find(name);
    }

    // Opens the only member of type 6, or member index of a class.
    DeviceHandle open(const Guid& interfaceClass = sim::kInterfaceClassType6, size_t index = 0) {
        const std::vector<std::string> paths = enumerateDeviceInterfaces(interfaceClass);
        if (index >= paths.size()) {
            return kInvalidDeviceHandle;
        }
        return openDevice(paths[index]);
    }

    bool send(DeviceHandle handle, uint32_t code, LongBlock& block, uint32_t length = kShort) {
        uint32_t returned = 0;
        const bool ok = deviceIoControl(handle, code, &block, length, &block, length, &returned);
        if (ok) {
            EXPECT_EQ(returned, length);
        }
        return ok;
    }

    std::shared_ptr<RecordingEventLog> events = std::make_shared<RecordingEventLog>();
    ScopedEventLogBackend eventScope{events};
    TempDir dir;
    std::unique_ptr<LongBlock> block = newBlock();
};

// A request sent on a thread of its own (for held requests).
class AsyncRequest {
public:
    AsyncRequest(DeviceHandle handle, uint32_t code)
        : handle_(handle), thread_([this, code] {
              ok_ = deviceIoControl(handle_, code, &block_->block, kShort, &block_->block, kShort,
                                    nullptr);
              error_ = lastError();
              done_ = true;
          }) {}
    ~AsyncRequest() {
        while (!done_) {
            cancelIo(handle_); // a failed check left it pending
            std::this_thread::yield();
        }
        finish();
    }
    // Waits for the call; its result.
    bool finish() {
        if (thread_.joinable()) {
            thread_.join();
        }
        return ok_;
    }
    uint32_t error() const { return error_; }
    const LongBlock& block() const { return *block_; }

private:
    std::unique_ptr<LongBlock> block_ = newBlock();
    const DeviceHandle handle_;
    bool ok_ = false;
    uint32_t error_ = 0;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST_F(SimDriverTest, WithoutSetUpNoDeviceExists) {
    ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
    ::unsetenv(sim::kSimulationVariable);
    for (const Guid& interfaceClass :
         {sim::kInterfaceClassType1, sim::kInterfaceClassType4, sim::kInterfaceClassType5,
          sim::kInterfaceClassType6, sim::kInterfaceClassType8}) {
        EXPECT_TRUE(enumerateDeviceInterfaces(interfaceClass).empty());
    }
    EXPECT_EQ(BoardRegistry::instance().driverName(), kDriverName);
    EXPECT_TRUE(BoardRegistry::instance().boards().empty());
    EXPECT_TRUE(events->records().empty());
}

TEST_F(SimDriverTest, MissingSetUpFileIsReportedAndGivesNoDevice) {
    ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
    ::setenv(sim::kSimulationVariable, (dir.path() / "none.ini").c_str(), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(enumerateDeviceInterfaces(sim::kInterfaceClassType6).empty());
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("none.ini: cannot be read"),
              std::string::npos);
    const auto records = events->records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].entry.eventId, sim::kEventSetupUnreadable);
}

TEST_F(SimDriverTest, EachTypeEnumeratesInItsClassInFileOrder) {
    ::testing::internal::CaptureStderr();
    start("[board isa-a]\ninterface_type = 1\n"
          "[board usb-3]\nusb_board = 0\nboard_id = 3\n"
          "[board pci]\ninterface_type = 4\n"
          "[board broken]\ninterface_type = 2\n"
          "[board isa-b]\ninterface_type = 1\n"
          "[board third]\ninterface_type = 5\n"
          "[board usb-1]\nusb_board = 0\n"
          "[board usb8]\ninterface_type = 8\nboard_id = 2\n");
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(events->records().size(), 1u); // the board skipped
    EXPECT_EQ(events->records()[0].entry.eventId, sim::kEventSetupBoardSkipped);

    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType1).size(), 2u);
    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType4).size(), 1u);
    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType5).size(), 1u);
    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType6).size(), 2u);
    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType8).size(), 1u);
    EXPECT_EQ(BoardRegistry::instance().boards().size(), 7u);
    EXPECT_FALSE(board("broken"));

    // Types 1, 4, 5: member index = interface ID - 1 in file order.
    for (const auto& [index, name] : {std::pair<size_t, const char*>{0, "isa-a"}, {1, "isa-b"}}) {
        const DeviceHandle handle = open(sim::kInterfaceClassType1, index);
        ASSERT_NE(handle, kInvalidDeviceHandle);
        EXPECT_TRUE(send(handle, IOCTL_BOARD_DEINIT, *block));
        EXPECT_EQ(board(name)->requestCount(IOCTL_BOARD_DEINIT), 1u) << name;
        EXPECT_TRUE(closeDevice(handle));
    }

    // Types 6 and 8: the board id tells the boards apart.
    std::vector<int> ids;
    for (size_t index = 0; index < 2; ++index) {
        const DeviceHandle handle = open(sim::kInterfaceClassType6, index);
        ASSERT_TRUE(send(handle, IOCTL_BOARD_GET_USB_VERSION, *block, kLong));
        ids.push_back(block->block.BoardId);
        closeDevice(handle);
    }
    EXPECT_EQ(ids, (std::vector<int>{3, 1}));
    EXPECT_EQ(BoardRegistry::instance().findByBoardId(6, 1)->name(), "usb-1");
    EXPECT_EQ(BoardRegistry::instance().findByBoardId(8, 2)->name(), "usb8");
    EXPECT_FALSE(BoardRegistry::instance().findByBoardId(8, 1));
}

TEST_F(SimDriverTest, BoardsOpenExclusively) {
    start("[board demo]\n");
    const DeviceHandle first = open();
    ASSERT_NE(first, kInvalidDeviceHandle);
    EXPECT_EQ(open(), kInvalidDeviceHandle);
    EXPECT_EQ(lastError(), uint32_t{EBUSY});
    EXPECT_TRUE(closeDevice(first));
    const DeviceHandle again = open();
    EXPECT_NE(again, kInvalidDeviceHandle);
    closeDevice(again);
}

TEST_F(SimDriverTest, BusyBoardIsListedButRefusesEveryOpen) {
    start("[board held]\nusb_board = 0\nbusy = 1\n[board free]\nusb_board = 0\nboard_id = 2\n");
    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType6).size(), 2u);
    EXPECT_EQ(open(sim::kInterfaceClassType6, 0), kInvalidDeviceHandle);
    EXPECT_EQ(lastError(), uint32_t{EBUSY});
    EXPECT_EQ(board("held")->requests().size(), 0u);
    const DeviceHandle other = open(sim::kInterfaceClassType6, 1);
    EXPECT_NE(other, kInvalidDeviceHandle);
    closeDevice(other);
}

TEST_F(SimDriverTest, UsbVersionIdentifiesTheBoard) {
    start(
        "[board demo]\nusb_board = 0\nboard_id = 7\ndriver_version = 1014\nhardware_word = 0x2105\n"
        "firmware_version = 203\nfirmware_type = 2\n");
    const DeviceHandle handle = open();
    block->block.BoardId = 0;
    block->block.Status = 5; // cleared by the driver
    ASSERT_TRUE(send(handle, IOCTL_BOARD_GET_USB_VERSION, *block, kLong));
    EXPECT_EQ(block->block.Status, 0);
    EXPECT_EQ(block->block.BoardId, 7);
    EXPECT_EQ(block->block.DriverVersion, 1014);
    EXPECT_EQ(block->block.HardwareWord, 0x2105);
    EXPECT_EQ(block->block.FirmwareVersion, 203);
    EXPECT_EQ(block->block.FirmwareType, 2);
    EXPECT_EQ(firstDataWord(*block), sim::kUsbVersionHighSpeed);
    closeDevice(handle);
}

TEST_F(SimDriverTest, InitAndDeinitChangeTheBoardsState) {
    start("[board demo]\nusb_board = 0\n");
    const DeviceHandle handle = open();
    block->block.WorkMode = 3;
    block->block.NumberPixel = 1044;
    block->block.RequestFlags = KORAL_RF_CONFIG_BYTES | KORAL_RF_WARN_CLASS2;
    block->block.DataLength = 128;
    for (int i = 0; i < 256; ++i) {
        dataOf(*block)[i] = static_cast<uint8_t>(i);
    }
    ASSERT_TRUE(send(handle, IOCTL_BOARD_INIT, *block, kLong));
    EXPECT_EQ(block->block.Status, 0);
    EXPECT_EQ(block->block.DriverVersion, 3114);

    const auto demo = board("demo");
    sim::InitState state = demo->initState();
    EXPECT_TRUE(state.initialised);
    EXPECT_EQ(state.parameters.numberPixel, 1044);
    ASSERT_EQ(state.configuration.size(), 256u);
    EXPECT_EQ(state.configuration[200], 200);

    ASSERT_TRUE(send(handle, IOCTL_BOARD_DEINIT, *block));
    EXPECT_FALSE(demo->initState().initialised);
    closeDevice(handle);

    const auto log = demo->requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].ioControlCode, IOCTL_BOARD_INIT);
    EXPECT_EQ(log[0].requestFlags, KORAL_RF_CONFIG_BYTES | KORAL_RF_WARN_CLASS2);
    EXPECT_EQ(log[0].configuration.size(), 256u);
    EXPECT_EQ(log[1].ioControlCode, IOCTL_BOARD_DEINIT);
}

TEST_F(SimDriverTest, FailuresReachTheCallerAsTheirPlatformErrors) {
    start("[board demo]\nusb_board = 0\n");
    const DeviceHandle handle = open();
    EXPECT_FALSE(send(handle, IOCTL_BOARD_GET_FIRMWARE_ID, *block, kLong));
    EXPECT_EQ(lastError(), uint32_t{ENOTTY});
    EXPECT_FALSE(send(handle, IOCTL_BOARD_INIT, *block, kShort - 2));
    EXPECT_EQ(lastError(), uint32_t{EINVAL});
    EXPECT_FALSE(send(handle, ctlCode(0x22, 0x801, 0, 0), *block));
    EXPECT_EQ(lastError(), uint32_t{ENOTTY});

    board("demo")->injectRequestFailure(IOCTL_BOARD_INIT, EIO);
    EXPECT_FALSE(send(handle, IOCTL_BOARD_INIT, *block));
    EXPECT_EQ(lastError(), uint32_t{EIO});
    EXPECT_TRUE(send(handle, IOCTL_BOARD_INIT, *block));
    closeDevice(handle);
}

TEST_F(SimDriverTest, InjectedStatusComesBackInTheBlock) {
    start("[board demo]\nusb_board = 0\n");
    const DeviceHandle handle = open();
    board("DEMO")->injectStatus(IOCTL_BOARD_INIT, 143, 2);
    ASSERT_TRUE(send(handle, IOCTL_BOARD_INIT, *block));
    EXPECT_EQ(block->block.Status, 143);
    EXPECT_EQ(block->block.StatusInfo, 2);
    EXPECT_EQ(block->block.BoardId, 1);
    EXPECT_FALSE(board("demo")->initState().initialised);
    closeDevice(handle);
}

class HeldRequestTest : public SimDriverTest {
protected:
    // Starts the board "demo", sends the code on a thread of its own and
    // waits until the board holds the request.
    void holdOne(const std::string& setup, uint32_t code) {
        start(setup);
        demo = board("demo");
        ASSERT_TRUE(demo);
        demo->injectHang(code);
        handle = open();
        ASSERT_NE(handle, kInvalidDeviceHandle);
        request = std::make_unique<AsyncRequest>(handle, code);
        ASSERT_TRUE(demo->waitForHeld(1));
    }

    std::shared_ptr<sim::BoardModel> demo;
    DeviceHandle handle = kInvalidDeviceHandle;
    std::unique_ptr<AsyncRequest> request;
};

TEST_F(HeldRequestTest, CloseCancelsIt) {
    ASSERT_NO_FATAL_FAILURE(holdOne("[board demo]\nusb_board = 0\n", IOCTL_BOARD_INIT));
    EXPECT_TRUE(closeDevice(handle));
    EXPECT_FALSE(request->finish());
    EXPECT_EQ(request->error(), uint32_t{ECANCELED});
    EXPECT_EQ(demo->heldCount(), 0u);
    EXPECT_EQ(demo->releaseHeld(), 0u);
    EXPECT_FALSE(demo->initState().initialised);
    EXPECT_EQ(demo->requests().back().outcome, sim::RequestOutcome::Held);

    // The device is free again and serves the next request.
    const DeviceHandle again = open();
    ASSERT_NE(again, kInvalidDeviceHandle);
    EXPECT_TRUE(send(again, IOCTL_BOARD_INIT, *block));
    EXPECT_TRUE(demo->initState().initialised);
    closeDevice(again);
}

TEST_F(HeldRequestTest, ReleaseServesIt) {
    ASSERT_NO_FATAL_FAILURE(
        holdOne("[board demo]\nusb_board = 0\nboard_id = 4\n", IOCTL_BOARD_GET_USB_VERSION));
    EXPECT_EQ(demo->releaseHeld(), 1u);
    EXPECT_TRUE(request->finish());
    EXPECT_EQ(request->block().block.BoardId, 4);
    EXPECT_EQ(request->block().block.DriverVersion, 3114);
    EXPECT_EQ(demo->heldCount(), 0u);
}

TEST_F(HeldRequestTest, UnpluggingTheBoardEndsIt) {
    ASSERT_NO_FATAL_FAILURE(holdOne("[board demo]\nusb_board = 0\n", IOCTL_BOARD_DEINIT));
    EXPECT_EQ(BoardRegistry::instance().unplug("demo"), 0);
    EXPECT_FALSE(request->finish());
    EXPECT_EQ(request->error(), uint32_t{ENODEV});
    ASSERT_TRUE(waitForPnpIdle()); // the removal cancelled it there
    EXPECT_EQ(demo->heldCount(), 0u);
    EXPECT_EQ(demo->initState().deinitCount, 0u);
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(SimDriverTest, BoardsComeAndGoAtRunTime) {
    start("[board one]\nusb_board = 0\nboard_id = 1\n[board two]\nusb_board = 0\nboard_id = 2\n");
    BoardRegistry& registry = BoardRegistry::instance();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> arrivals;
    const DeviceNotificationHandle watch =
        registerInterfaceNotification(sim::kInterfaceClassType6, [&](const DeviceChange& change) {
            std::lock_guard lock(mutex);
            if (change.event == DeviceChangeEvent::Arrival) {
                arrivals.push_back(change.devicePath);
            }
            changed.notify_all();
        });
    ASSERT_NE(watch, 0u);

    const DeviceHandle handle = open(sim::kInterfaceClassType6, 0);
    ASSERT_EQ(registry.unplug("one"), 0);
    EXPECT_EQ(registry.unplug("one"), EALREADY);
    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_FALSE(registry.find("one")->present());
    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType6).size(), 1u);
    EXPECT_FALSE(send(handle, IOCTL_BOARD_DEINIT, *block));
    EXPECT_EQ(lastError(), uint32_t{ENODEV});
    EXPECT_TRUE(closeDevice(handle));

    // Back again, now behind board two.
    ASSERT_EQ(registry.plugIn("one"), 0);
    EXPECT_EQ(registry.plugIn("one"), EALREADY);
    ASSERT_TRUE(waitForPnpIdle());
    {
        // Told to those who watch the class (the library's hot-plug thread).
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(30), [&] { return !arrivals.empty(); }));
        EXPECT_EQ(arrivals.size(), 1u);
        EXPECT_EQ(arrivals[0], enumerateDeviceInterfaces(sim::kInterfaceClassType6).back());
    }
    const DeviceHandle back = open(sim::kInterfaceClassType6, 1);
    ASSERT_TRUE(send(back, IOCTL_BOARD_GET_USB_VERSION, *block, kLong));
    EXPECT_EQ(block->block.BoardId, 1);
    closeDevice(back);

    // A board declared at run time.
    sim::BoardConfig config;
    config.name = "late";
    config.interfaceType = 8;
    config.boardId = 5;
    std::shared_ptr<sim::BoardModel> late;
    ASSERT_EQ(registry.addBoard(config, &late), 0);
    ASSERT_TRUE(late);
    EXPECT_EQ(registry.addBoard(config), EEXIST);
    config.name = "bad";
    config.interfaceType = 3;
    EXPECT_EQ(registry.addBoard(config), EINVAL);
    EXPECT_EQ(registry.unplug("nobody"), ENOENT);
    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType8).size(), 1u);
    EXPECT_EQ(registry.boards().back(), late);

    EXPECT_TRUE(unregisterDeviceNotification(watch));
}

TEST_F(SimDriverTest, ShutdownDetachesTheRegistry) {
    start("[board demo]\nusb_board = 0\n");
    const auto demo = board("demo");
    ASSERT_TRUE(demo);
    ASSERT_TRUE(shutdownDevices());
    BoardRegistry& registry = BoardRegistry::instance();
    EXPECT_TRUE(registry.driverName().empty());
    EXPECT_TRUE(registry.boards().empty());
    EXPECT_FALSE(demo->present());
    EXPECT_EQ(registry.plugIn("demo"), ENODEV);
    EXPECT_EQ(registry.addBoard(sim::BoardConfig{.name = "x"}), ENODEV);

    // The layer starts afresh with another set-up.
    start("[board again]\nusb_board = 0\nboard_id = 2\n");
    EXPECT_TRUE(board("again"));
    EXPECT_FALSE(board("demo"));
    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType6).size(), 1u);
}

} // namespace
