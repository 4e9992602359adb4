// Type-6 boards of the set-up file as FX2 boards on the simulated USB bus:
// the keys that select them, and a spectrum's whole road through the device
// layer, the USB board driver and the bus to the sensor model.

#include "sim/board_driver.h"
#include "sim/board_registry.h"
#include "sim/sensor_model.h"
#include "sim/setup.h"

#include "sim_test_support.h"

#include "platform/device.h"
#include "platform/event_log.h"
#include "platform/last_error.h"
#include "platform/usb.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace simtest;
using namespace platform;
using sim::BoardRegistry;

TEST(Fx2SetupKeys, SelectTheUsbBoardAndItsStreamRate) {
    const sim::Setup setup = sim::parseSetup("[board a]\nusb_board = 1\nframe_rate = 250.5\n"
                                             "[board b]\n"
                                             "[board c]\nusb_board = 2\n"
                                             "[board d]\nframe_rate = 0\n"
                                             "[board e]\nusb_board = 0\n");
    ASSERT_EQ(setup.boards.size(), 3u);
    EXPECT_TRUE(setup.boards[0].usbBoard);
    EXPECT_EQ(setup.boards[0].frameRate, 250.5);
    EXPECT_TRUE(setup.boards[1].usbBoard) << "a USB board by default";
    EXPECT_EQ(setup.boards[1].frameRate, 100.0);
    EXPECT_FALSE(setup.boards[2].usbBoard) << "the request-block model when asked for";
    EXPECT_EQ(setup.problems.size(), 2u) << "c and d are skipped";
    EXPECT_FALSE(setup.boards[0].wallTime) << "scans at once by default";
}

// Keys that take 0 or 1 only: another value skips its board.
TEST(Fx2SetupKeys, SwitchesAreZeroOrOne) {
    struct Case {
        const char* key;
        bool sim::BoardConfig::*field;
    };
    for (const Case& c : {Case{"wall_time", &sim::BoardConfig::wallTime},
                          Case{"instant_bus", &sim::BoardConfig::instantBus}}) {
        const std::string key = c.key;
        const sim::Setup setup = sim::parseSetup("[board a]\n" + key + " = 1\n[board b]\n" +
                                                 key + " = 0\n[board c]\n" + key + " = 2\n");
        ASSERT_EQ(setup.boards.size(), 2u) << key;
        EXPECT_TRUE(setup.boards[0].*c.field) << key;
        EXPECT_FALSE(setup.boards[1].*c.field) << key;
        ASSERT_EQ(setup.problems.size(), 1u) << key;
        EXPECT_NE(setup.problems[0].message.find(key), std::string::npos);
    }
    EXPECT_FALSE(sim::parseSetup("[board a]\n").boards[0].instantBus)
        << "the bus has the high-speed rate unless instant";
}

class Fx2RoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("VELDON_USB_REAL", "0", 1);
        ::setenv("VELDON_MACHINE_CONFIG", config.path().c_str(), 1);
    }
    void TearDown() override {
        EXPECT_TRUE(shutdownDevices());
        EXPECT_TRUE(usb::shutdownUsb());
        ::unsetenv("VELDON_DRIVER_PATH");
        ::unsetenv(sim::kSimulationVariable);
        ::unsetenv("VELDON_MACHINE_CONFIG");
        ::unsetenv("VELDON_USB_REAL");
    }

    // Only the simulation's driver is named: the USB board driver beside it
    // comes with the FX2 boards.
    std::vector<std::string> start(const std::string& setup) {
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv(sim::kSimulationVariable, dir.write("sim.ini", setup).c_str(), 1);
        return enumerateDeviceInterfaces(sim::kInterfaceClassType6);
    }

    bool send(DeviceHandle handle, uint32_t code, LongBlock& b) {
        uint32_t returned = 0;
        return deviceIoControl(handle, code, &b, kShort, &b, kShort, &returned) &&
               returned == kShort;
    }

    // The sensor's values for these pixels after 1 ms, as the driver scales them.
    static std::vector<int32_t> expectedScan(const sim::BoardConfig& config, uint32_t pixels) {
        const sim::SensorModel sensor(config);
        std::vector<int32_t> values;
        for (uint32_t j = 0; j < pixels; ++j) {
            values.push_back(static_cast<int32_t>(sensor.rawWord(j, pixels, 1000.0)) * 100);
        }
        return values;
    }

    static void initFor(LongBlock& b, uint16_t mode, uint16_t pixels) {
        b = LongBlock{};
        b.block.WorkMode = mode;
        b.block.NumberPixel = pixels;
        b.block.NumberPixel2 = pixels;
        b.block.NumScans = 1;
        b.block.PreCnts = 1;
        b.block.AcqIntCnts = 8000; // 1 ms of the 8 MHz clock
        b.block.RingCapacity = 2;
    }

    std::shared_ptr<RecordingEventLog> events = std::make_shared<RecordingEventLog>();
    ScopedEventLogBackend eventScope{events};
    TempDir dir;
    TempDir config;
    std::unique_ptr<LongBlock> block = newBlock();
};

constexpr const char* kSetup = "[board usb]\n"
                               "interface_type = 6\n"
                               "board_id = 3\n"
                               "pixels = 64\n"
                               "dark = 700\n"
                               "signal = 3000\n"
                               "[board model]\n"
                               "interface_type = 6\n"
                               "board_id = 4\n"
                               "usb_board = 0\n";

TEST_F(Fx2RoadTest, ASpectrumComesFromTheSensorThroughTheUsbBoardDriver) {
    const std::vector<std::string> members = start(kSetup);
    ASSERT_EQ(members.size(), 2u) << "the FX2 board and the request-block one";
    ASSERT_TRUE(BoardRegistry::instance().findUsbBoard("usb"));
    EXPECT_FALSE(BoardRegistry::instance().find("usb"));
    EXPECT_TRUE(BoardRegistry::instance().find("model"));

    DeviceHandle usbBoard = kInvalidDeviceHandle;
    for (const std::string& path : members) {
        const DeviceHandle handle = openDevice(path);
        ASSERT_NE(handle, kInvalidDeviceHandle);
        *block = LongBlock{};
        ASSERT_TRUE(send(handle, IOCTL_BOARD_GET_USB_VERSION, *block));
        if (block->block.BoardId == 3) {
            usbBoard = handle;
        } else {
            closeDevice(handle);
        }
    }
    ASSERT_NE(usbBoard, kInvalidDeviceHandle);

    const sim::Setup setup = sim::parseSetup(kSetup);
    const std::vector<int32_t> expected = expectedScan(setup.boards[0], 64);
    for (uint16_t mode : {uint16_t{3}, uint16_t{7}}) {
        initFor(*block, mode, 64);
        ASSERT_TRUE(send(usbBoard, IOCTL_BOARD_INIT, *block));
        ASSERT_EQ(block->block.Status, 0) << mode;
        *block = LongBlock{};
        ASSERT_TRUE(send(usbBoard, IOCTL_BOARD_GET_SCANS, *block));
        ASSERT_EQ(block->block.Status, 0) << mode;
        for (uint32_t j = 0; j < 64; ++j) {
            ASSERT_EQ(static_cast<int32_t>(block->block.ScanData[j]), expected[j])
                << "mode " << mode << " pixel " << j;
        }
    }
    *block = LongBlock{};
    EXPECT_TRUE(send(usbBoard, IOCTL_BOARD_DEINIT, *block));
    EXPECT_FALSE(BoardRegistry::instance().findUsbBoard("usb")->streaming());
    EXPECT_TRUE(closeDevice(usbBoard));
}

// Bursts of 30,000 scans on several boards at once, at a frame rate the bus
// carries: each one whole, none failed by a late scan on a loaded machine.
TEST_F(Fx2RoadTest, LongBurstsOnSeveralBoardsAtOnceArriveWhole) {
    constexpr uint16_t kPixels = 256;
    constexpr uint16_t kScans = 30000;
    constexpr int kBoards = 3;
    std::string setup;
    for (int b = 1; b <= kBoards; ++b) {
        setup += "[board b" + std::to_string(b) + "]\nboard_id = " + std::to_string(b) +
                 "\npixels = 256\nframe_rate = 100000\n";
    }
    const std::vector<std::string> members = start(setup);
    ASSERT_EQ(members.size(), static_cast<std::size_t>(kBoards));
    const sim::BoardConfig sensor = sim::parseSetup(setup).boards[0];
    const uint32_t bytes = KORAL_REQUEST_BLOCK_DATA_OFFSET + 2u * kPixels * kScans;
    std::vector<std::vector<uint8_t>> blocks(kBoards, std::vector<uint8_t>(bytes));
    std::vector<std::thread> threads;
    for (int b = 0; b < kBoards; ++b) {
        threads.emplace_back([&, b] {
            DeviceRequestBlock& r = *reinterpret_cast<DeviceRequestBlock*>(blocks[b].data());
            const DeviceHandle handle = openDevice(members[b]);
            if (handle == kInvalidDeviceHandle) {
                return;
            }
            r.WorkMode = 3;
            r.AcquisitionMode = 2;
            r.NumberPixel = kPixels;
            r.NumberPixel2 = kPixels;
            r.NumScans = kScans;
            r.PreCnts = 1;
            r.AcqIntCnts = 8000; // 1 ms
            r.DataLength = uint32_t{kPixels} * kScans;
            uint32_t returned = 0;
            for (const uint32_t code : {IOCTL_BOARD_INIT, IOCTL_BOARD_GET_SCANS}) {
                if (!deviceIoControl(handle, code, blocks[b].data(), bytes, blocks[b].data(), bytes,
                                     &returned) ||
                    r.Status != 0) {
                    break;
                }
            }
            closeDevice(handle);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const sim::SensorModel model(sensor);
    for (int b = 0; b < kBoards; ++b) {
        const DeviceRequestBlock& r = *reinterpret_cast<const DeviceRequestBlock*>(blocks[b].data());
        ASSERT_EQ(r.Status, 0) << "board " << b + 1 << ", info " << r.StatusInfo;
        const uint8_t* data = blocks[b].data() + KORAL_REQUEST_BLOCK_DATA_OFFSET;
        for (const uint32_t scan : {0u, kScans - 1u}) {
            for (const uint32_t j : {0u, kPixels - 1u}) {
                uint16_t word = 0;
                std::memcpy(&word, data + 2 * (scan * kPixels + j), 2);
                EXPECT_EQ(word, static_cast<uint16_t>(model.rawWord(j, kPixels, 500.0)))
                    << "board " << b + 1 << " scan " << scan << " pixel " << j;
            }
        }
    }
}

TEST_F(Fx2RoadTest, TheBoardsGetTheBusRateTheirSetUpAsksFor) {
    ASSERT_EQ(start("[board a]\nboard_id = 1\n[board b]\nboard_id = 2\ninstant_bus = 1\n").size(),
              2u);
    EXPECT_EQ(BoardRegistry::instance().findUsbBoard("a")->config().busBytesPerSecond,
              sim::kUsbHighSpeedBulkBytesPerSecond);
    EXPECT_EQ(BoardRegistry::instance().findUsbBoard("b")->config().busBytesPerSecond, 0.0);
}

TEST_F(Fx2RoadTest, WithoutUsbBoardsTheUsbDriverIsNotBroughtIn) {
    ASSERT_EQ(start("[board model]\ninterface_type = 6\nusb_board = 0\n").size(), 1u);
    EXPECT_EQ(BoardRegistry::instance().usbBoardCount(), 0u);
}

// The hot-plug keys: a board goes the set time after its first open and comes
// back after the second, an FX2 board as a new board. One that is still
// waiting when the driver goes is stopped by its detach (TearDown).
TEST_F(Fx2RoadTest, BoardsLeaveAfterTheirFirstOpenAndComeBack) {
    const std::vector<std::string> members = start("[board usb]\n"
                                                   "board_id = 3\n"
                                                   "unplug_after_ms = 1\n"
                                                   "replug_after_ms = 1\n"
                                                   "[board model]\n"
                                                   "board_id = 4\n"
                                                   "usb_board = 0\n"
                                                   "unplug_after_ms = 1\n"
                                                   "[board waits]\n"
                                                   "board_id = 5\n"
                                                   "usb_board = 0\n"
                                                   "unplug_after_ms = 3600000\n");
    ASSERT_EQ(members.size(), 3u);
    BoardRegistry& registry = BoardRegistry::instance();
    const std::shared_ptr<sim::Fx2Board> first = registry.findUsbBoard("usb");
    std::mutex mutex;
    std::condition_variable changed;
    int removals = 0;
    int arrivals = 0;
    const DeviceNotificationHandle watch =
        registerInterfaceNotification(sim::kInterfaceClassType6, [&](const DeviceChange& change) {
            std::lock_guard lock(mutex);
            removals += change.event == DeviceChangeEvent::RemoveComplete ? 1 : 0;
            arrivals += change.event == DeviceChangeEvent::Arrival ? 1 : 0;
            changed.notify_all();
        });
    ASSERT_NE(watch, 0u);
    // The limit only keeps a broken run from hanging.
    const auto waitFor = [&](int removed, int arrived) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60),
                                [&] { return removals >= removed && arrivals >= arrived; });
    };
    for (const std::string& path : members) {
        const DeviceHandle handle = openDevice(path);
        ASSERT_NE(handle, kInvalidDeviceHandle);
        closeDevice(handle);
    }
    ASSERT_TRUE(waitFor(2, 1));
    ASSERT_TRUE(waitForPnpIdle());
    EXPECT_FALSE(registry.find("model")->present()) << "no replug_after_ms";
    EXPECT_TRUE(registry.find("waits")->present());
    const std::shared_ptr<sim::Fx2Board> second = registry.findUsbBoard("usb");
    EXPECT_NE(second, first) << "a board just powered up";
    EXPECT_EQ(enumerateDeviceInterfaces(sim::kInterfaceClassType6).size(), 2u);

    // The registry pulls FX2 boards out and plugs them in like the others.
    EXPECT_EQ(registry.unplug("usb"), 0);
    EXPECT_EQ(registry.unplug("usb"), EALREADY);
    ASSERT_TRUE(waitFor(3, 1));
    EXPECT_EQ(registry.plugIn("usb"), 0);
    EXPECT_EQ(registry.plugIn("usb"), EALREADY);
    ASSERT_TRUE(waitFor(3, 2));
    EXPECT_TRUE(unregisterDeviceNotification(watch));
    EXPECT_EQ(removals, 3);
    EXPECT_EQ(arrivals, 2);
}

} // namespace
