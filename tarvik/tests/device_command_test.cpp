// The board command sender and the request block's data area, against a
// linked-in board driver.

#include "board_test_driver.h"
#include "tarvik_test.h"

#include "core/device_command.h"
#include "core/locks.h"

#include <gmock/gmock.h>

#include <cerrno>
#include <mutex>

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;

constexpr uint32_t kShort = KORAL_REQUEST_BLOCK_SIZE;

class DeviceCommandTest : public TarvikTest {
protected:
    void SetUp() override {
        TarvikTest::SetUp();
        ASSERT_TRUE(board.ready());
    }

    // An open USB board in slot 1, actual, initialised unless told otherwise.
    DeviceSlot& openBoard(uint32_t type = kTypeUsb, bool initialised = true) {
        const platform::DeviceHandle handle = board.open(0);
        EXPECT_NE(handle, platform::kInvalidDeviceHandle);
        DeviceSlot& slot = addSlot(1, type, handle);
        slot.initialised = initialised ? 1 : 0;
        return slot;
    }

    int32_t send(uint32_t command) {
        std::lock_guard guard(deviceLock());
        return SendDeviceCommand(command);
    }

    BoardTestDriver board;
};

TEST_F(DeviceCommandTest, DeinitNeedsAnInitialisedSlotButInitDoesNot) {
    openBoard(kTypeUsb, false);
    EXPECT_EQ(send(KORAL_CMD_DEINIT), -1);
    EXPECT_RECORD(5, 507, 0, 0, "");
    EXPECT_TRUE(board.requests().empty());
    EXPECT_EQ(send(KORAL_CMD_INIT), 0);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
}

TEST_F(DeviceCommandTest, CommandsBeyond0x8FCAreNotAvailable) {
    openBoard();
    EXPECT_EQ(send(KORAL_CMD_PROGRAM_CPLD), -1);
    EXPECT_RECORD(5, 506, 0, 0, "");
    EXPECT_TRUE(board.requests().empty());
}

TEST_F(DeviceCommandTest, UninitialisedSlotIsReportedBeforeTheRange) {
    openBoard(kTypeUsb, false);
    EXPECT_EQ(send(0x900), -1);
    EXPECT_RECORD(5, 507, 0, 0, "");
}

TEST_F(DeviceCommandTest, EveryCommandTravelsWithItsCodeAndLength) {
    DeviceSlot& slot = openBoard();
    ASSERT_EQ(ResizeRequestBlock(1, 10), 0);
    const uint32_t kLong = kShort + 20;
    struct Row {
        uint32_t command;
        uint32_t code;
        uint32_t length;
    };
    const Row rows[] = {
        {KORAL_CMD_DEINIT, IOCTL_BOARD_DEINIT, kShort},
        {KORAL_CMD_INIT, IOCTL_BOARD_INIT, kShort},
        {KORAL_CMD_GET_SCANS, IOCTL_BOARD_INIT, kShort}, // not through the sender
        {KORAL_CMD_SET_DIGITAL_OUTPUT, IOCTL_BOARD_SET_DIGITAL_OUTPUT, kShort},
        {KORAL_CMD_GET_DIGITAL_INPUT, IOCTL_BOARD_GET_DIGITAL_INPUT, kShort},
        {KORAL_CMD_I2C_OPERATION, IOCTL_BOARD_I2C_OPERATION, kLong},
        {KORAL_CMD_SET_INPUT_LATCH_MODE, IOCTL_BOARD_SET_INPUT_LATCH_MODE, kLong},
        {KORAL_CMD_OPEN, IOCTL_BOARD_OPEN, kShort},
        {KORAL_CMD_GET_TEMPERATURES, IOCTL_BOARD_GET_TEMPERATURES, kLong},
        {KORAL_CMD_I2C_CHECK_DEVICE, IOCTL_BOARD_I2C_CHECK_DEVICE, kLong},
        {KORAL_CMD_BOOT_EEPROM, IOCTL_BOARD_BOOT_EEPROM, kLong},
        {KORAL_CMD_GET_FIRMWARE_ID, IOCTL_BOARD_INIT, kShort},
        {KORAL_CMD_GET_USB_VERSION, IOCTL_BOARD_GET_USB_VERSION, kLong},
        {0x000, IOCTL_BOARD_INIT, kShort},
    };
    for (const Row& row : rows) {
        board.clear();
        ASSERT_EQ(send(row.command), 0) << std::hex << row.command;
        const auto requests = board.requests();
        ASSERT_EQ(requests.size(), 1u) << std::hex << row.command;
        EXPECT_EQ(requests[0].code, row.code) << std::hex << row.command;
        EXPECT_EQ(requests[0].inLength, row.length) << std::hex << row.command;
        EXPECT_EQ(requests[0].outLength, row.length) << std::hex << row.command;
    }
    EXPECT_EQ(slot.block()->DriverVersion, 3114); // the answer came back into the block
}

TEST_F(DeviceCommandTest, DriverStatusBecomesAHardwareError) {
    openBoard();
    board.script({{platform::kStatusSuccess, 165, 7}});
    EXPECT_EQ(send(KORAL_CMD_I2C_OPERATION), -1);
    EXPECT_RECORD(1, 165, 7, 0, "");
}

TEST_F(DeviceCommandTest, FailedRequestGivesThePlatformErrorPlus1000) {
    DeviceSlot& slot = openBoard();
    board.script({{31, 0, 0}});
    EXPECT_EQ(send(KORAL_CMD_INIT), -1);
    EXPECT_RECORD(3, 303, 1031, 0, "");
    slot.deviceHandle = 4242; // a handle the platform never gave
    EXPECT_EQ(send(KORAL_CMD_INIT), -1);
    EXPECT_RECORD(3, 303, 1000 + EBADF, 0, "");
    slot.deviceHandle = platform::kInvalidDeviceHandle;
}

TEST_F(DeviceCommandTest, ActualIdWithoutSlotIsRefused) {
    openBoard();
    state().actualInterfaceId = 4;
    EXPECT_EQ(send(KORAL_CMD_INIT), -1);
    EXPECT_RECORD(5, 504, 0, 4, "");
    EXPECT_TRUE(board.requests().empty());
}

TEST_F(DeviceCommandTest, ConfigurationBytesTravelOnceWithInit) {
    DeviceSlot& slot = openBoard();
    for (size_t i = 0; i < kConfigurationImageSize; ++i) {
        slot.configuration[kBootImageOffset + i] = static_cast<uint8_t>(i ^ 0xA5);
    }
    slot.block()->RequestFlags = KORAL_RF_CONFIG_BYTES | KORAL_RF_WARN_CLASS1;
    ASSERT_EQ(send(KORAL_CMD_INIT), 0);
    const auto requests = board.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, IOCTL_BOARD_INIT);
    EXPECT_EQ(requests[0].inLength, kShort + 256);
    EXPECT_EQ(requests[0].requestFlags, KORAL_RF_CONFIG_BYTES | KORAL_RF_WARN_CLASS1);
    ASSERT_GE(requests[0].data.size(), 256u);
    for (size_t i = 0; i < kConfigurationImageSize; ++i) {
        ASSERT_EQ(requests[0].data[i], static_cast<uint8_t>(i ^ 0xA5)) << i;
    }
    EXPECT_EQ(slot.block()->DataLength, 128u);
    EXPECT_EQ(slot.extraBytes, 256u);
    EXPECT_EQ(slot.block()->RequestFlags, KORAL_RF_WARN_CLASS1);

    board.clear();
    ASSERT_EQ(send(KORAL_CMD_INIT), 0);
    ASSERT_EQ(board.requests().size(), 1u);
    EXPECT_EQ(board.requests()[0].inLength, kShort);
}

TEST_F(DeviceCommandTest, ConfigurationBitStaysAfterAFailedInit) {
    DeviceSlot& slot = openBoard();
    slot.block()->RequestFlags = KORAL_RF_CONFIG_BYTES;
    board.script({{platform::kStatusSuccess, 140, 0}, {EIO, 0, 0}});
    EXPECT_EQ(send(KORAL_CMD_INIT), -1);
    EXPECT_EQ(slot.block()->RequestFlags, KORAL_RF_CONFIG_BYTES);
    EXPECT_EQ(send(KORAL_CMD_INIT), -1);
    EXPECT_RECORD(3, 303, 1000 + EIO, 0, "");
    EXPECT_EQ(slot.block()->RequestFlags, KORAL_RF_CONFIG_BYTES);
    EXPECT_EQ(send(KORAL_CMD_INIT), 0);
    EXPECT_EQ(slot.block()->RequestFlags, 0u);
}

class ContinuousI2cTest : public DeviceCommandTest {
protected:
    DeviceSlot& boardInMode7(uint32_t latchMode) {
        DeviceSlot& slot = openBoard();
        slot.block()->WorkMode = 7;
        state().inputLatchTable[1] = latchMode;
        return slot;
    }
};

TEST_F(ContinuousI2cTest, SwitchesToMode3AndBackAndRestoresTheLatchMode) {
    DeviceSlot& slot = boardInMode7(5);
    board.script({{}, {platform::kStatusSuccess, 0, 33}, {}, {}});
    ASSERT_EQ(send(KORAL_CMD_I2C_OPERATION), 0);
    const auto requests = board.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].code, IOCTL_BOARD_INIT);
    EXPECT_EQ(requests[0].workMode, 3);
    EXPECT_EQ(requests[0].inLength, kShort);
    EXPECT_EQ(requests[1].code, IOCTL_BOARD_I2C_OPERATION);
    EXPECT_EQ(requests[1].workMode, 3);
    EXPECT_EQ(requests[2].code, IOCTL_BOARD_INIT);
    EXPECT_EQ(requests[2].workMode, 7);
    EXPECT_EQ(requests[3].code, IOCTL_BOARD_SET_INPUT_LATCH_MODE);
    EXPECT_EQ(requests[3].inLength, kShort);
    EXPECT_EQ(requests[3].digitalInputWord, 5u);
    EXPECT_EQ(slot.block()->WorkMode, 7);
    // The caller sees the I2C command's answer.
    EXPECT_EQ(slot.block()->Status, 0);
    EXPECT_EQ(slot.block()->StatusInfo, 33);
}

TEST_F(ContinuousI2cTest, NoLatchModeMeansThreeRequests) {
    boardInMode7(0);
    ASSERT_EQ(send(KORAL_CMD_I2C_CHECK_DEVICE), 0);
    EXPECT_THAT(board.codes(),
                ElementsAre(IOCTL_BOARD_INIT, IOCTL_BOARD_I2C_CHECK_DEVICE, IOCTL_BOARD_INIT));
}

TEST_F(ContinuousI2cTest, FailedI2cCommandStillPutsTheBoardBack) {
    DeviceSlot& slot = boardInMode7(5);
    board.script({{}, {platform::kStatusSuccess, 165, 9}, {}, {}});
    EXPECT_EQ(send(KORAL_CMD_I2C_OPERATION), -1);
    const auto requests = board.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[2].code, IOCTL_BOARD_INIT);
    EXPECT_EQ(requests[2].workMode, 7);
    EXPECT_EQ(requests[3].code, IOCTL_BOARD_SET_INPUT_LATCH_MODE);
    EXPECT_RECORD(1, 165, 9, 0, "");
    EXPECT_EQ(slot.block()->Status, 165);
    EXPECT_EQ(slot.block()->StatusInfo, 9);
    EXPECT_EQ(slot.block()->WorkMode, 7);
}

TEST_F(ContinuousI2cTest, FailedSwitchSendsNothingMore) {
    DeviceSlot& slot = boardInMode7(5);
    board.script({{EIO, 0, 0}});
    EXPECT_EQ(send(KORAL_CMD_I2C_OPERATION), -1);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_INIT));
    EXPECT_RECORD(3, 303, 1000 + EIO, 0, "");
    EXPECT_EQ(slot.block()->WorkMode, 7);
}

TEST_F(ContinuousI2cTest, FailedSwitchBackIsReported) {
    DeviceSlot& slot = boardInMode7(5);
    board.script({{}, {}, {platform::kStatusSuccess, 140, 1}});
    EXPECT_EQ(send(KORAL_CMD_I2C_OPERATION), -1);
    EXPECT_THAT(board.codes(),
                ElementsAre(IOCTL_BOARD_INIT, IOCTL_BOARD_I2C_OPERATION, IOCTL_BOARD_INIT));
    EXPECT_RECORD(1, 140, 1, 0, "");
    EXPECT_EQ(slot.block()->WorkMode, 7);
}

TEST_F(ContinuousI2cTest, OtherModesAndBoardsSendTheCommandAlone) {
    DeviceSlot& slot = boardInMode7(5);
    slot.block()->WorkMode = 3;
    ASSERT_EQ(send(KORAL_CMD_I2C_OPERATION), 0);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_I2C_OPERATION));

    board.clear();
    slot.block()->WorkMode = 0xFF21;
    slot.boardType = kTypePci;
    ASSERT_EQ(send(KORAL_CMD_I2C_OPERATION), 0);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_I2C_OPERATION));
}

TEST_F(ContinuousI2cTest, EveryContinuousModeSwitches) {
    DeviceSlot& slot = boardInMode7(0);
    for (uint16_t mode : {6, 7, 0xFF20, 0xFF21}) {
        board.clear();
        slot.block()->WorkMode = mode;
        ASSERT_EQ(send(KORAL_CMD_I2C_OPERATION), 0);
        EXPECT_EQ(board.requests().size(), 3u) << mode;
        EXPECT_EQ(slot.block()->WorkMode, mode);
    }
}

class ResizeRequestBlockTest : public TarvikTest {};

TEST_F(ResizeRequestBlockTest, GrowsClearsAndKeepsTheFields) {
    DeviceSlot& slot = addSlot(2, kTypeUsb);
    slot.block()->WorkMode = 7;
    slot.block()->ScanData[100] = 99;
    ASSERT_EQ(ResizeRequestBlock(2, 64), 0);
    EXPECT_EQ(slot.extraBytes, 128u);
    EXPECT_EQ(slot.block()->DataLength, 64u);
    EXPECT_EQ(slot.requestBlock.size(), KORAL_REQUEST_BLOCK_SIZE + 128);
    EXPECT_EQ(slot.block()->WorkMode, 7);
    EXPECT_EQ(slot.block()->ScanData[100], 0u);

    slot.data()[127] = 0x55;
    ASSERT_EQ(ResizeRequestBlock(2, 64), 0); // same size: only cleared
    EXPECT_EQ(slot.data()[127], 0);

    ASSERT_EQ(ResizeRequestBlock(2, 0), 0);
    EXPECT_EQ(slot.extraBytes, 0u);
    EXPECT_EQ(slot.block()->DataLength, 1u);
}

TEST_F(ResizeRequestBlockTest, ImpossibleSizeKeepsTheOldBlock) {
    DeviceSlot& slot = addSlot(2, kTypeUsb);
    ASSERT_EQ(ResizeRequestBlock(2, 8), 0);
    EXPECT_EQ(ResizeRequestBlock(2, 0xFFFFFFFFu), -1);
    EXPECT_RECORD(2, 205, 1000 + ENOMEM, 2, "");
    EXPECT_EQ(slot.extraBytes, 16u);
    EXPECT_EQ(slot.block()->DataLength, 8u);
}

} // namespace
} // namespace tarvik::testing
