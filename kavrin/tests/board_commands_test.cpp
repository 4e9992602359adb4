// Board commands through the platform device layer as the library sends
// them: every answer stamped, the first-request check, the digital lines, a
// pending scan request holding back the others, and its end by a close or a
// removal.

#include "board_status.h"
#include "driver_module_fixture.h"
#include "event_log.h"
#include "kavrin_test_support.h"
#include "logic_device.h"
#include "vendor_requests.h"
#include "xsvf_writer.h"

#include "platform/clock.h"
#include "platform/config_store.h"
#include "platform/device.h"
#include "platform/driver.h"
#include "platform/event_log.h"
#include "platform/last_error.h"
#include "platform/usb.h"
#include "tarvik_request_block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <memory>
#include <thread>

namespace {

using namespace platform;

constexpr Guid kBoardClass = Guid::parse(KORAL_INTERFACE_CLASS_TYPE6).value();

struct Reply {
    bool ok = false;
    int error = 0;
    uint32_t bytes = 0;
    std::unique_ptr<DeviceRequestBlock> block = std::make_unique<DeviceRequestBlock>();
};

class BoardCommandTest : public kavrintest::DriverModuleTest {
protected:
    std::shared_ptr<sim::Fx2Board> board;
    std::shared_ptr<usb::SimPort> port;
    DeviceHandle handle = kInvalidDeviceHandle;

    void SetUp() override {
        DriverModuleTest::SetUp();
        EXPECT_TRUE(enumerateDeviceInterfaces(kBoardClass).empty()); // loads the driver
        sim::Fx2BoardConfig boardConfig;
        boardConfig.eepromRelease = 4;
        boardConfig.switchId = 4;
        board = std::make_shared<sim::Fx2Board>(boardConfig);
        board->setScanPattern(
            [](uint64_t scan, uint32_t pixel) { return static_cast<uint16_t>(scan * 10 + pixel); });
        port = sim::Fx2Board::plug(board);
        settle();
        const auto members = enumerateDeviceInterfaces(kBoardClass);
        ASSERT_EQ(members.size(), 1u);
        handle = openDevice(members[0]);
        ASSERT_NE(handle, kInvalidDeviceHandle);
    }

    void TearDown() override {
        if (handle != kInvalidDeviceHandle) {
            closeDevice(handle);
        }
        DriverModuleTest::TearDown();
    }

    Reply send(uint32_t code, const DeviceRequestBlock& in) {
        Reply reply;
        *reply.block = in;
        reply.ok = deviceIoControl(handle, code, reply.block.get(), sizeof in, reply.block.get(),
                                   sizeof in, &reply.bytes);
        reply.error = reply.ok ? 0 : static_cast<int>(lastError());
        return reply;
    }
    Reply send(uint32_t code) { return send(code, DeviceRequestBlock{}); }

    static DeviceRequestBlock initBlock(uint16_t mode, uint16_t pixels) {
        DeviceRequestBlock b{};
        b.WorkMode = mode;
        b.NumberPixel = pixels;
        b.NumberPixel2 = pixels;
        b.NumScans = 1;
        b.PreCnts = 1;
        b.RingCapacity = 4;
        return b;
    }

    // Until a scan request pends: another command is then refused.
    bool waitUntilPending() {
        for (int i = 0; i < 30000; ++i) {
            if (send(IOCTL_BOARD_GET_USB_VERSION).error == kStatusUnsuccessful) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    void waitUntilStreaming() {
        for (int i = 0; i < 30000 && !board->streaming(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(board->streaming());
    }
};

TEST_F(BoardCommandTest, ASpectrumTravelsFromTheBoardIntoTheBlock) {
    const Reply init = send(IOCTL_BOARD_INIT, initBlock(3, 16));
    ASSERT_TRUE(init.ok) << init.error;
    EXPECT_EQ(init.bytes, sizeof(DeviceRequestBlock));
    EXPECT_EQ(init.block->Status, 0);
    const Reply scans = send(IOCTL_BOARD_GET_SCANS);
    ASSERT_TRUE(scans.ok);
    EXPECT_EQ(scans.block->Status, 0);
    EXPECT_EQ(scans.block->DriverVersion, 3114);
    EXPECT_EQ(scans.block->BoardId, 4);
    for (uint32_t j = 0; j < 16; ++j) {
        EXPECT_EQ(static_cast<int32_t>(scans.block->ScanData[j]), static_cast<int32_t>(j * 100));
    }
}

TEST_F(BoardCommandTest, AFailedCommandStillCarriesTheDriversStamp) {
    const Reply scans = send(IOCTL_BOARD_GET_SCANS); // before any INIT
    ASSERT_TRUE(scans.ok);
    EXPECT_EQ(scans.block->Status, kavrin::kBoardStatusInvalidData);
    EXPECT_EQ(scans.block->DriverVersion, 3114);
    EXPECT_EQ(scans.block->BoardId, 4);
    EXPECT_EQ(scans.block->HardwareWord >> 12, 1);
}

TEST_F(BoardCommandTest, TheFirstRequestCheckStaysArmedWhileTheSensorIsMissing) {
    board->setDeviceError(kavrin::kBoardStatusSensorMissing, 0);
    for (int i = 0; i < 2; ++i) {
        const Reply init = send(IOCTL_BOARD_INIT, initBlock(3, 16));
        ASSERT_TRUE(init.ok);
        EXPECT_EQ(init.block->Status, kavrin::kBoardStatusSensorMissing);
    }
    EXPECT_TRUE(kavrintest::count(kavrintest::loadPhases(*board), "other") == 0)
        << "no INIT block went to the board";
    board->setDeviceError(0, 0);
    EXPECT_EQ(send(IOCTL_BOARD_INIT, initBlock(3, 16)).block->Status, 0);
    // Disarmed: the board's code now comes from the INIT's own error read.
    board->setDeviceError(kavrin::kBoardStatusFrontEndMissing, 0);
    board->clearRequests();
    EXPECT_EQ(send(IOCTL_BOARD_GET_SCANS).block->Status, 0);
}

TEST_F(BoardCommandTest, DigitalLinesTravelAsTheBoardExpects) {
    DeviceRequestBlock out{};
    out.DigitalOutputWord = 0x00020005;
    ASSERT_TRUE(send(IOCTL_BOARD_SET_DIGITAL_OUTPUT, out).ok);
    board->setDigitalInput(0xABCD1234);
    DeviceRequestBlock in{};
    in.DigitalInputWord = 0x00070001;
    const Reply input = send(IOCTL_BOARD_GET_DIGITAL_INPUT, in);
    ASSERT_TRUE(input.ok);
    EXPECT_EQ(input.block->DigitalInputWord, 0x12340000u);
    bool sawOutput = false, sawInput = false;
    for (const auto& r : board->requests()) {
        sawOutput |= r.request == kavrin::VR_SET_DO && r.value == 5 && r.index == 2;
        sawInput |= r.request == kavrin::VR_GET_DI && r.value == 1 && r.index == 7;
    }
    EXPECT_TRUE(sawOutput);
    EXPECT_TRUE(sawInput);
}

TEST_F(BoardCommandTest, TheLogicDeviceIsProgrammedAndTheBoardAcquiresAgain) {
    ASSERT_EQ(send(IOCTL_BOARD_INIT, initBlock(3, 16)).block->Status, 0);
    std::vector<uint16_t> design(16);
    for (std::size_t i = 0; i < design.size(); ++i) {
        design[i] = static_cast<uint16_t>(0xC0DE + i * 0x0101);
    }
    // 5,000 words announced, 5,004 bytes of data area sent.
    const std::vector<uint8_t> stream = kavrintest::cpldProgrammingStream({design});
    std::vector<uint8_t> request(kavrin::kCpldMinInputBytes, 0);
    kavrin::RequestBlock view(request);
    view.set<kavrin::rb::DataLength>(kavrin::kCpldMinDataWords);
    std::copy(stream.begin(), stream.end(), request.begin() + KORAL_REQUEST_BLOCK_DATA_OFFSET);
    uint32_t bytes = 0;
    ASSERT_TRUE(deviceIoControl(handle, IOCTL_BOARD_PROGRAM_CPLD, request.data(),
                                static_cast<uint32_t>(request.size()), request.data(),
                                static_cast<uint32_t>(request.size()), &bytes));
    EXPECT_EQ(bytes, kavrin::kCpldMinInputBytes);
    EXPECT_EQ(view.get<kavrin::rb::Status>(), 0);
    EXPECT_EQ(board->withJtagChain([](auto& chain) { return chain.memory(); }), design);
    EXPECT_EQ(board->programmingEnd(), true);
    EXPECT_EQ(board->runningImage(), 1);
    // The same parameters as before: the operating firmware and the block go again.
    EXPECT_EQ(send(IOCTL_BOARD_INIT, initBlock(3, 16)).block->Status, 0);
    EXPECT_EQ(board->runningImage(), 2);
    const Reply scans = send(IOCTL_BOARD_GET_SCANS);
    EXPECT_EQ(scans.block->Status, 0);
    EXPECT_NE(scans.block->ScanData[15], 0u);
}

TEST_F(BoardCommandTest, TheI2cCommandsAnswerInTheBlockWithTheInputLength) {
    DeviceRequestBlock in{};
    in.WorkMode = 3;
    in.I2CDevice = 0xA2;
    in.I2COperation = 33;
    in.I2CLength = 8;
    const Reply read = send(IOCTL_BOARD_I2C_OPERATION, in);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(read.bytes, sizeof(DeviceRequestBlock));
    EXPECT_EQ(read.block->Status, 0);
    EXPECT_EQ(read.block->DriverVersion, 3114);
    const Reply check = send(IOCTL_BOARD_I2C_CHECK_DEVICE, in);
    ASSERT_TRUE(check.ok);
    EXPECT_EQ(check.block->I2CData[0], 1);
    in.I2CDevice = 2;
    const Reply temperature = send(IOCTL_BOARD_GET_TEMPERATURES, in);
    ASSERT_TRUE(temperature.ok);
    EXPECT_EQ(temperature.block->Temperature, 3125);
    in.I2COperation = 132;
    in.I2CLength = 3; // four bytes: the data area of the bare block
    const Reply boot = send(IOCTL_BOARD_BOOT_EEPROM, in);
    ASSERT_TRUE(boot.ok);
    EXPECT_EQ(boot.block->Status, 0);
    EXPECT_EQ(std::memcmp(boot.block->Data, board->bootEeprom().data(), 4), 0);
}

TEST_F(BoardCommandTest, APendingScanRequestHoldsBackEveryOtherCommand) {
    ASSERT_EQ(send(IOCTL_BOARD_INIT, initBlock(7, 8)).block->Status, 0);
    waitUntilStreaming();
    auto pending = std::async(std::launch::async, [&] { return send(IOCTL_BOARD_GET_SCANS); });
    ASSERT_TRUE(waitUntilPending());
    const Reply refused = send(IOCTL_BOARD_DEINIT);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.bytes, 0u);
    EXPECT_TRUE(board->streaming()) << "the DEINIT was not served";

    ASSERT_TRUE(board->pushFrames(1));
    const Reply scans = pending.get();
    ASSERT_TRUE(scans.ok);
    EXPECT_EQ(scans.bytes, sizeof(DeviceRequestBlock));
    EXPECT_EQ(scans.block->Status, 0);
    EXPECT_EQ(static_cast<int32_t>(scans.block->ScanData[3]), 300);
    EXPECT_EQ(scans.block->DriverVersion, 3114);
    EXPECT_TRUE(send(IOCTL_BOARD_DEINIT).ok);
    EXPECT_FALSE(board->streaming());
}

TEST_F(BoardCommandTest, ACancelledScanRequestFreesTheBoardForOtherCommands) {
    ASSERT_EQ(send(IOCTL_BOARD_INIT, initBlock(7, 8)).block->Status, 0);
    waitUntilStreaming();
    auto pending = std::async(std::launch::async, [&] { return send(IOCTL_BOARD_GET_SCANS); });
    ASSERT_TRUE(waitUntilPending());
    EXPECT_TRUE(cancelIo(handle));
    const Reply cancelled = pending.get();
    EXPECT_FALSE(cancelled.ok);
    EXPECT_EQ(cancelled.error, ECANCELED);
    EXPECT_TRUE(send(IOCTL_BOARD_GET_USB_VERSION).ok);
    // The next scan is the first one the board sends.
    ASSERT_TRUE(board->pushFrames(1));
    auto next = std::async(std::launch::async, [&] { return send(IOCTL_BOARD_GET_SCANS); });
    const Reply scans = next.get();
    ASSERT_TRUE(scans.ok);
    EXPECT_EQ(static_cast<int32_t>(scans.block->ScanData[1]), 100);
}

TEST_F(BoardCommandTest, AReaderThatCannotStartTheStreamLeavesNoRequestWaiting) {
    board->stallRequest(kavrin::VR_GS);
    ASSERT_EQ(send(IOCTL_BOARD_INIT, initBlock(7, 8)).block->Status, 0);
    // Answered at once when the reader has ended, else by the reader's end.
    auto scans = std::async(std::launch::async, [&] { return send(IOCTL_BOARD_GET_SCANS); });
    const Reply reply = scans.get();
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.block->Status, kavrin::kBoardStatusModeNotAvailable);
    EXPECT_TRUE(send(IOCTL_BOARD_GET_USB_VERSION).ok);
}

TEST_F(BoardCommandTest, TheFirmwareIdIsReadAfresh) {
    const Reply reply = send(IOCTL_BOARD_GET_FIRMWARE_ID);
    ASSERT_TRUE(reply.ok);
    EXPECT_EQ(reply.block->Status, 0);
    EXPECT_EQ(reply.block->FirmwareType, 100);
    EXPECT_EQ(reply.block->FirmwareVersion, 204);
    EXPECT_EQ(reply.block->HardwareWord, 0x1064);
    board->stallRequest(kavrin::VR_GETFWID);
    board->setDeviceError(170, 2);
    const Reply failed = send(IOCTL_BOARD_GET_FIRMWARE_ID);
    ASSERT_TRUE(failed.ok);
    EXPECT_EQ(failed.block->Status, 170);
}

TEST_F(BoardCommandTest, ClosingTheBoardEndsAPendingScanRequest) {
    ASSERT_EQ(send(IOCTL_BOARD_INIT, initBlock(7, 8)).block->Status, 0);
    waitUntilStreaming();
    auto pending = std::async(std::launch::async, [&] { return send(IOCTL_BOARD_GET_SCANS); });
    ASSERT_TRUE(waitUntilPending());
    EXPECT_TRUE(closeDevice(handle));
    handle = kInvalidDeviceHandle;
    const Reply ended = pending.get();
    // Ended by the driver's stop (Status 155) or cancelled with the handle.
    if (ended.ok) {
        EXPECT_EQ(ended.block->Status, kavrin::kBoardStatusStopped);
    } else {
        EXPECT_EQ(ended.error, ECANCELED);
    }
    EXPECT_FALSE(board->streaming()) << "the acquisition ended with the client";
    // The board can be opened and used again.
    handle = openDevice(enumerateDeviceInterfaces(kBoardClass).at(0));
    ASSERT_NE(handle, kInvalidDeviceHandle);
    EXPECT_TRUE(send(IOCTL_BOARD_GET_USB_VERSION).ok);
}

TEST_F(BoardCommandTest, ARemovalMidStreamEndsThePendingRequest) {
    ASSERT_EQ(send(IOCTL_BOARD_INIT, initBlock(7, 8)).block->Status, 0);
    waitUntilStreaming();
    auto pending = std::async(std::launch::async, [&] { return send(IOCTL_BOARD_GET_SCANS); });
    ASSERT_TRUE(waitUntilPending());
    board->injectFrameFault(sim::Fx2FrameFault::Disconnect);
    board->pushFrames(1);
    const Reply ended = pending.get();
    if (ended.ok) {
        EXPECT_EQ(ended.block->Status, kavrin::kBoardStatusStopped);
    } else {
        EXPECT_TRUE(ended.error == ENODEV || ended.error == ECANCELED) << ended.error;
    }
    settle();
    EXPECT_TRUE(closeDevice(handle));
    handle = kInvalidDeviceHandle;
    EXPECT_TRUE(enumerateDeviceInterfaces(kBoardClass).empty());
}

} // namespace
