// The driver module as the platform loads it: simulated boards plugged in at
// run time start with their firmware and appear in the board class; id
// checks, one open at a time, surprise removal, power, restarts, and no
// thread or device left behind.

#include "event_log.h"

#include "driver_module_fixture.h"
#include "kavrin_test_support.h"

#include "platform/clock.h"
#include "platform/config_store.h"
#include "platform/device.h"
#include "platform/driver.h"
#include "platform/event_log.h"
#include "platform/last_error.h"
#include "platform/usb.h"
#include "tarvik_request_block.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>

namespace {

using namespace platform;
using kavrintest::eventIds;

constexpr Guid kBoardClass = Guid::parse(KORAL_INTERFACE_CLASS_TYPE6).value();
constexpr const char* kDriverName = "kavrin";

std::size_t threadCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

class DriverTest : public kavrintest::DriverModuleTest {
protected:
    std::vector<std::shared_ptr<usb::SimPort>> ports;

    // Loads the driver (the first enumeration does).
    void loadDriver() { EXPECT_TRUE(members().empty()); }

    static std::vector<std::string> members() { return enumerateDeviceInterfaces(kBoardClass); }

    std::shared_ptr<sim::Fx2Board> plug(sim::Fx2BoardConfig config) {
        auto board = std::make_shared<sim::Fx2Board>(std::move(config));
        ports.push_back(sim::Fx2Board::plug(board));
        EXPECT_TRUE(ports.back());
        return board;
    }
    std::shared_ptr<sim::Fx2Board> plugBoard(uint8_t id, int generation = 1) {
        sim::Fx2BoardConfig config;
        config.generation = generation;
        config.eepromRelease = id;
        config.switchId = id;
        return plug(config);
    }

    std::vector<uint32_t> messages() const { return eventIds(*events, kDriverName); }
    std::vector<uint32_t> layerMessages() const { return eventIds(*events, kDeviceEventSource); }
};

struct Reply {
    bool ok = false;
    int error = 0;
    uint32_t bytes = 0;
    std::unique_ptr<DeviceRequestBlock> block = std::make_unique<DeviceRequestBlock>();
};

Reply send(DeviceHandle handle, uint32_t code, uint32_t length = KORAL_REQUEST_BLOCK_SIZE) {
    Reply reply;
    std::memset(reply.block.get(), 0, sizeof *reply.block);
    reply.block->Status = 0xEEEE;
    reply.ok = deviceIoControl(handle, code, reply.block.get(), length, reply.block.get(),
                               KORAL_REQUEST_BLOCK_SIZE, &reply.bytes);
    reply.error = reply.ok ? 0 : lastError();
    return reply;
}

TEST_F(DriverTest, ABoardPluggedInAtRunTimeAppearsAndGoesWithoutLeavingAnything) {
    loadDriver();
    for (int cycle = 0; cycle < 2; ++cycle) {
        const std::size_t threadsBefore = threadCount();
        const auto board = plugBoard(3);
        settle();
        ASSERT_EQ(members().size(), 1u);
        EXPECT_EQ(board->runningImage(), 2);
        EXPECT_EQ(board->reenumerations(), 1u);

        const DeviceHandle handle = openDevice(members()[0]);
        ASSERT_NE(handle, kInvalidDeviceHandle);
        const Reply reply = send(handle, IOCTL_BOARD_GET_USB_VERSION);
        ASSERT_TRUE(reply.ok) << reply.error;
        EXPECT_EQ(reply.bytes, KORAL_REQUEST_BLOCK_SIZE);
        EXPECT_EQ(reply.block->Status, 0);
        EXPECT_EQ(reply.block->DriverVersion, 3114);
        EXPECT_EQ(reply.block->BoardId, 3);
        EXPECT_EQ(reply.block->HardwareWord, 0x1064);
        EXPECT_EQ(reply.block->FirmwareVersion, 204);
        EXPECT_EQ(reply.block->FirmwareType, 100);
        EXPECT_EQ(reply.block->Data[0], 20); // high speed
        EXPECT_TRUE(closeDevice(handle));

        const std::weak_ptr<usb::UsbDevice> device = ports.back()->hostDevice();
        ports.back()->unplug();
        ports.clear();
        settle();
        EXPECT_TRUE(members().empty());
        EXPECT_TRUE(device.expired()) << "the driver still holds the board's device";
        if (cycle == 1) {
            EXPECT_EQ(threadCount(), threadsBefore);
        }
    }
    EXPECT_TRUE(messages().empty());
}

// A client that hears of the arrival opens the board at once (the library's
// hot-plug thread does): the device is started by then.
TEST_F(DriverTest, TheArrivalIsToldOnceTheBoardCanBeOpened) {
    loadDriver();
    std::mutex mutex;
    std::condition_variable told;
    std::vector<int> results; // 0 or the open's error, per arrival
    const DeviceNotificationHandle watch =
        registerInterfaceNotification(kBoardClass, [&](const DeviceChange& change) {
            if (change.event != DeviceChangeEvent::Arrival) {
                return;
            }
            const DeviceHandle handle = openDevice(change.devicePath);
            const int result = handle != kInvalidDeviceHandle ? 0 : static_cast<int>(lastError());
            if (handle != kInvalidDeviceHandle) {
                closeDevice(handle);
            }
            std::lock_guard lock(mutex);
            results.push_back(result);
            told.notify_all();
        });
    ASSERT_NE(watch, 0u);
    // Running its operating image already: one arrival per plug.
    sim::Fx2BoardConfig config;
    config.eepromRelease = 3;
    config.switchId = 3;
    config.running = sim::fx2ShippedImage(2);
    for (size_t cycle = 0; cycle < 3; ++cycle) {
        plug(config);
        {
            // The limit only keeps a broken run from hanging.
            std::unique_lock lock(mutex);
            ASSERT_TRUE(told.wait_for(lock, std::chrono::seconds(60),
                                      [&] { return results.size() > cycle; }));
        }
        ports.back()->unplug();
        ports.clear();
        settle();
    }
    EXPECT_TRUE(unregisterDeviceNotification(watch));
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0}));
}

TEST_F(DriverTest, ABlankChipGetsTheLoaderAndServesOnlyTheRestrictedCommands) {
    loadDriver();
    sim::Fx2BoardConfig config;
    config.bootEeprom = false;
    const auto board = plug(config);
    settle();
    ASSERT_EQ(members().size(), 1u);
    EXPECT_EQ(board->runningImage(), 1);
    EXPECT_EQ(kavrintest::count(kavrintest::loadPhases(*board), "A3"), 0u);
    const DeviceHandle handle = openDevice(members()[0]);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    const Reply version = send(handle, IOCTL_BOARD_GET_USB_VERSION);
    ASSERT_TRUE(version.ok);
    EXPECT_EQ(version.block->HardwareWord >> 12, 0); // generation unknown
    EXPECT_EQ(version.block->BoardId, 0);
    for (uint32_t code : {IOCTL_BOARD_INIT, IOCTL_BOARD_PROGRAM_CPLD}) {
        const Reply refused = send(handle, code);
        EXPECT_FALSE(refused.ok);
        EXPECT_EQ(refused.error, kStatusInvalidDeviceRequest);
    }
    closeDevice(handle);
}

TEST_F(DriverTest, GenerationTwoBoardStartsWithItsImage) {
    loadDriver();
    const auto board = plugBoard(5, 2);
    settle();
    ASSERT_EQ(members().size(), 1u);
    EXPECT_EQ(board->runningImage(), 5);
    const DeviceHandle handle = openDevice(members()[0]);
    const Reply reply = send(handle, IOCTL_BOARD_GET_USB_VERSION);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.block->HardwareWord, 0x2064);
    EXPECT_EQ(reply.block->FirmwareType, 200);
    EXPECT_EQ(reply.block->FirmwareVersion, 310);
    closeDevice(handle);
}

TEST_F(DriverTest, AFullSpeedBoardAnswersUsbVersionEleven) {
    loadDriver();
    sim::Fx2BoardConfig config;
    config.eepromRelease = 2;
    config.switchId = 2;
    config.speed = usb::UsbSpeed::Full;
    plug(config);
    settle();
    ASSERT_EQ(members().size(), 1u);
    const DeviceHandle handle = openDevice(members()[0]);
    const Reply reply = send(handle, IOCTL_BOARD_GET_USB_VERSION);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.block->Data[0], 11);
    closeDevice(handle);
}

TEST_F(DriverTest, ImagesComeFromTheBuildsFirmwareDirectoryByDefault) {
    setParameter([](ConfigKey& key) { return key.deleteValue(kavrin::kFirmwareDirectoryValue); });
    loadDriver();
    const auto board = plugBoard(4);
    settle();
    EXPECT_EQ(members().size(), 1u);
    EXPECT_EQ(board->runningImage(), 2);
}

TEST_F(DriverTest, ADuplicateIdIsRefusedUnlessTheCheckIsSuppressed) {
    loadDriver();
    plugBoard(7);
    settle();
    plugBoard(7);
    settle();
    EXPECT_EQ(members().size(), 1u);
    EXPECT_EQ(messages(), (std::vector<uint32_t>{kavrin::KAVRIN_MSG_DUPLICATE_ID}));
    const auto records = events->records();
    const auto refused = std::find_if(records.begin(), records.end(), [](const auto& r) {
        return r.entry.eventId == kavrin::KAVRIN_MSG_DUPLICATE_ID;
    });
    ASSERT_NE(refused, records.end());
    EXPECT_EQ(refused->text.rfind("KX-VEL02: Refuse device KX-VEL02 (Ondrel Kestro). There is "
                                  "registered a device with the same ID.",
                                  0),
              0u);

    // Id 0 is nobody's: never a duplicate.
    plugBoard(0);
    settle();
    plugBoard(0);
    settle();
    EXPECT_EQ(members().size(), 3u);
}

TEST_F(DriverTest, WithTheCheckSuppressedDuplicateAndInvalidIdsStart) {
    setParameter([](ConfigKey& key) { return key.setDword(kavrin::kSuppressIdCheckValue, 1); });
    loadDriver();
    plugBoard(7);
    plugBoard(7);
    sim::Fx2BoardConfig invalid;
    invalid.eepromRelease = 0x00FF;
    invalid.switchId = 9;
    plug(invalid);
    settle();
    EXPECT_EQ(members().size(), 3u);
    EXPECT_TRUE(messages().empty());
}

TEST_F(DriverTest, AnInvalidEepromIdIsRefused) {
    loadDriver();
    sim::Fx2BoardConfig config;
    config.eepromRelease = 0x00FF;
    const auto board = plug(config);
    settle();
    EXPECT_TRUE(members().empty());
    EXPECT_EQ(messages(), (std::vector<uint32_t>{kavrin::KAVRIN_MSG_EEPROM_ID_INVALID}));
    EXPECT_EQ(board->runningImage(), 0); // refused before any download
}

TEST_F(DriverTest, OneOpenAtATime) {
    loadDriver();
    plugBoard(2);
    settle();
    ASSERT_EQ(members().size(), 1u);
    const DeviceHandle first = openDevice(members()[0]);
    ASSERT_NE(first, kInvalidDeviceHandle);
    EXPECT_EQ(openDevice(members()[0]), kInvalidDeviceHandle);
    EXPECT_EQ(lastError(), EBUSY);
    EXPECT_TRUE(send(first, IOCTL_BOARD_GET_USB_VERSION).ok);
    EXPECT_TRUE(closeDevice(first));
    const DeviceHandle second = openDevice(members()[0]);
    EXPECT_NE(second, kInvalidDeviceHandle);
    EXPECT_TRUE(closeDevice(second));
}

TEST_F(DriverTest, SurpriseRemovalWhileOpenFreesTheSlotOnceTheHandleCloses) {
    loadDriver();
    plugBoard(6);
    settle();
    ASSERT_EQ(members().size(), 1u);
    const DeviceHandle handle = openDevice(members()[0]);
    ASSERT_NE(handle, kInvalidDeviceHandle);

    ports.back()->unplug();
    settle();
    EXPECT_TRUE(members().empty());
    const Reply late = send(handle, IOCTL_BOARD_GET_USB_VERSION);
    EXPECT_FALSE(late.ok);
    EXPECT_EQ(late.error, ENODEV);

    // A board with the same id while the old handle is still open: the
    // departed board no longer holds the id.
    plugBoard(6);
    settle();
    EXPECT_EQ(members().size(), 1u);
    EXPECT_TRUE(closeDevice(handle));
    settle();
    EXPECT_EQ(members().size(), 1u);
    EXPECT_TRUE(messages().empty());
}

TEST_F(DriverTest, RequestsTheDriverDoesNotServe) {
    loadDriver();
    plugBoard(2);
    settle();
    const DeviceHandle handle = openDevice(members()[0]);
    ASSERT_NE(handle, kInvalidDeviceHandle);

    const Reply open = send(handle, IOCTL_BOARD_OPEN);
    EXPECT_EQ(open.error, kStatusInvalidDeviceRequest);
    const Reply otherType = send(handle, ctlCode(0x9001, 0x8FC, kMethodBuffered, kFileAnyAccess));
    EXPECT_EQ(otherType.error, kStatusInvalidDeviceRequest);
    const Reply shortBlock = send(handle, IOCTL_BOARD_GET_USB_VERSION, 100);
    EXPECT_EQ(shortBlock.error, kStatusInvalidParameter);
    // Refusals leave no hold of the remove lock behind: the removal below
    // would wait for it for ever.
    EXPECT_TRUE(closeDevice(handle));
    ports.back()->unplug();
    settle();
    EXPECT_TRUE(members().empty());
}

TEST_F(DriverTest, SleepIsRefusedWhileABoardIsOpen) {
    loadDriver();
    const auto board = plugBoard(2);
    settle();
    const DeviceHandle handle = openDevice(members()[0]);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    EXPECT_FALSE(setSystemPowerState(SystemPowerState::Sleeping));
    EXPECT_EQ(lastError(), kStatusDeletePending);
    EXPECT_TRUE(closeDevice(handle));
    EXPECT_TRUE(setSystemPowerState(SystemPowerState::Sleeping));
    EXPECT_EQ(board->portResets(), 0u);
    EXPECT_TRUE(setSystemPowerState(SystemPowerState::Working));
    EXPECT_TRUE(board->waitForPortResets(1));
    EXPECT_EQ(board->portResets(), 1u);
}

TEST_F(DriverTest, ARestartedBoardIsNoDuplicateOfItself) {
    loadDriver();
    plugBoard(8);
    settle();
    ASSERT_EQ(members().size(), 1u);
    ASSERT_TRUE(rebalanceDevice(ports.back()->hostDevice()->instanceId())) << lastError();
    EXPECT_EQ(members().size(), 1u);
    EXPECT_TRUE(messages().empty());
    const DeviceHandle handle = openDevice(members()[0]);
    EXPECT_NE(handle, kInvalidDeviceHandle);
    EXPECT_TRUE(closeDevice(handle));
}

TEST_F(DriverTest, ASixteenthBoardIsRefusedInsteadOfSharingASlot) {
    loadDriver();
    sim::Fx2BoardConfig config;
    config.running = sim::fx2ShippedImage(2);
    for (uint8_t id = 1; id <= 15; ++id) {
        config.switchId = id;
        plug(config);
    }
    settle();
    ASSERT_EQ(members().size(), 15u);
    config.switchId = 0;
    plug(config);
    settle();
    EXPECT_EQ(members().size(), 15u);
    EXPECT_EQ(layerMessages(), (std::vector<uint32_t>{kEventDeviceRefused}));

    // A board that leaves gives its slot to the next one.
    ports.front()->unplug();
    settle();
    plug(config);
    settle();
    EXPECT_EQ(members().size(), 15u);
    EXPECT_EQ(layerMessages().size(), 1u);
}

TEST_F(DriverTest, AFailedDownloadKeepsTheBoardOutAndIsLogged) {
    loadDriver();
    sim::Fx2BoardConfig config;
    config.eepromRelease = 3;
    auto board = std::make_shared<sim::Fx2Board>(config);
    board->failLoadAt(0x2040);
    ports.push_back(sim::Fx2Board::plug(board));
    settle();
    EXPECT_TRUE(members().empty());
    EXPECT_EQ(messages(), (std::vector<uint32_t>{kavrin::KAVRIN_MSG_FIRMWARE_DOWNLOAD_ERROR}));
    EXPECT_EQ(layerMessages(), (std::vector<uint32_t>{kEventDeviceStartFailed}));
    EXPECT_EQ(board->runningImage(), 1); // the loader went in; its image did not
}

TEST_F(DriverTest, MissingImagesKeepTheBoardOut) {
    std::filesystem::remove_all(firmware.path());
    loadDriver();
    const auto board = plugBoard(3);
    settle();
    EXPECT_TRUE(members().empty());
    EXPECT_TRUE(board->requests().size() <= 1u); // the firmware id, nothing loaded
}

TEST_F(DriverTest, AFirmwareIdTheBoardNeverAnswersTimesOutAndTheStartGoesOn) {
    loadDriver();
    sim::Fx2BoardConfig config;
    config.generation = 2;
    config.eepromRelease = 4;
    config.switchId = 4;
    auto board = std::make_shared<sim::Fx2Board>(config);
    board->silenceRequest(sim::kFx2RequestGetFirmwareId);
    ports.push_back(sim::Fx2Board::plug(board));
    ASSERT_TRUE(board->waitForRequest([](const sim::Fx2Board::Request& request) {
        return request.request == sim::kFx2RequestGetFirmwareId;
    }));
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(std::chrono::milliseconds(999));
    EXPECT_EQ(clock.pendingWaits(), 1u); // still waiting for the answer
    EXPECT_EQ(board->requests().size(), 1u);
    board->clearFaults();
    clock.advance(std::chrono::milliseconds(1));
    settle();
    // Without an answer the start took the board as running nothing and
    // loaded it; its firmware then answered the second start.
    EXPECT_EQ(board->runningImage(), 5);
    EXPECT_EQ(members().size(), 1u);
}

} // namespace
