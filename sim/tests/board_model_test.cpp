// A simulated board at the request-block level, driven directly on buffers.

#include "sim/board_model.h"

#include "sim_test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace simtest;
using platform::kStatusInvalidDeviceRequest;
using platform::kStatusInvalidParameter;
using platform::kStatusSuccess;
using sim::BoardModel;
using sim::RequestOutcome;

sim::BoardConfig configOf(uint8_t boardId = 3) {
    sim::BoardConfig config;
    config.name = "model";
    config.boardId = boardId;
    config.driverVersion = 2011;
    config.hardwareWord = 0x2042;
    config.firmwareVersion = 205;
    config.firmwareType = 2;
    return config;
}

class BoardModelTest : public ::testing::Test {
protected:
    BoardModel board{configOf(), "SIM\\1"};
    std::unique_ptr<LongBlock> block = newBlock();

    BoardModel::Answer send(uint32_t code, uint32_t length = kShort) {
        return board.handle(code, bytesOf(*block), length, length);
    }
};

TEST_F(BoardModelTest, EveryReplyIsStampedWithTheIdentity) {
    for (uint32_t code : {IOCTL_BOARD_INIT, IOCTL_BOARD_DEINIT, IOCTL_BOARD_GET_USB_VERSION,
                          IOCTL_BOARD_GET_FIRMWARE_ID}) {
        block->block.Status = 77;
        block->block.StatusInfo = 78;
        block->block.WarningCode = 196;
        block->block.BoardId = 0;
        const BoardModel::Answer answer = send(code);
        EXPECT_EQ(answer.information, kShort);
        EXPECT_EQ(block->block.Status, 0) << std::hex << code;
        EXPECT_EQ(block->block.StatusInfo, 0);
        EXPECT_EQ(block->block.WarningCode, 0);
        EXPECT_EQ(block->block.DriverVersion, 2011);
        EXPECT_EQ(block->block.FirmwareVersion, 205);
        EXPECT_EQ(block->block.FirmwareType, 2);
        EXPECT_EQ(block->block.HardwareWord, 0x2042);
        EXPECT_EQ(block->block.BoardId, 3);
    }
}

TEST_F(BoardModelTest, UsbVersionAnswersAHighSpeedBoard) {
    EXPECT_EQ(send(IOCTL_BOARD_GET_USB_VERSION).status, kStatusSuccess);
    EXPECT_EQ(firstDataWord(*block), sim::kUsbVersionHighSpeed);
}

TEST_F(BoardModelTest, InitKeepsItsParametersAndDeinitEndsIt) {
    block->block.WorkMode = 7;
    block->block.AcqIntCnts = 1000;
    block->block.NumberPixel = 0xFFFF;
    block->block.NumberPixelLong = 70000;
    block->block.NumScans = 5;
    block->block.RequestFlags = KORAL_RF_WARN_CLASS2 | KORAL_RF_GEN2_INIT;
    block->block.RingCapacity = 12;
    block->block.Gen2BufferSize = 0x4000;
    EXPECT_EQ(send(IOCTL_BOARD_INIT).status, kStatusSuccess);

    sim::InitState state = board.initState();
    EXPECT_TRUE(state.initialised);
    EXPECT_EQ(state.initCount, 1u);
    EXPECT_EQ(state.parameters.workMode, 7);
    EXPECT_EQ(state.parameters.acqIntCnts, 1000);
    EXPECT_EQ(state.parameters.pixelCount(), 70000u);
    EXPECT_EQ(state.parameters.numScans, 5);
    EXPECT_EQ(state.parameters.requestFlags, KORAL_RF_WARN_CLASS2 | KORAL_RF_GEN2_INIT);
    EXPECT_EQ(state.parameters.ringCapacity, 12);
    EXPECT_EQ(state.parameters.gen2BufferSize, 0x4000);
    EXPECT_TRUE(state.configuration.empty());

    EXPECT_EQ(send(IOCTL_BOARD_DEINIT).status, kStatusSuccess);
    state = board.initState();
    EXPECT_FALSE(state.initialised);
    EXPECT_EQ(state.deinitCount, 1u);
    EXPECT_EQ(state.parameters.workMode, 7); // the last parameters stay
}

TEST_F(BoardModelTest, InitWithConfigurationFlagKeepsThe256Bytes) {
    block->block.RequestFlags = KORAL_RF_CONFIG_BYTES;
    block->block.DataLength = 128;
    for (int i = 0; i < 256; ++i) {
        dataOf(*block)[i] = static_cast<uint8_t>(255 - i);
    }
    EXPECT_EQ(send(IOCTL_BOARD_INIT, kLong).status, kStatusSuccess);
    EXPECT_EQ(block->block.Status, 0);
    const sim::InitState state = board.initState();
    ASSERT_EQ(state.configuration.size(), 256u);
    EXPECT_EQ(state.configuration.front(), 255);
    EXPECT_EQ(state.configuration.back(), 0);
    const auto log = board.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].configuration, state.configuration);
    EXPECT_EQ(log[0].dataLength, 128u);
    EXPECT_EQ(log[0].inputLength, kLong);
}

// A short block cannot hold the configuration: the INIT is refused whole.
TEST_F(BoardModelTest, ConfigurationFlagWithoutDataAreaIsRefused) {
    block->block.WorkMode = 3;
    block->block.RequestFlags = KORAL_RF_CONFIG_BYTES;
    block->block.DataLength = 1;
    EXPECT_EQ(send(IOCTL_BOARD_INIT, kShort).status, kStatusSuccess);
    EXPECT_EQ(block->block.Status, sim::kStatusBufferTooSmall);
    block->block.DataLength = 2; // long enough a buffer, but DataLength says less
    EXPECT_EQ(send(IOCTL_BOARD_INIT, kLong).status, kStatusSuccess);
    EXPECT_EQ(block->block.Status, sim::kStatusBufferTooSmall);
    const sim::InitState state = board.initState();
    EXPECT_FALSE(state.initialised);
    EXPECT_EQ(state.initCount, 0u);
    EXPECT_TRUE(state.configuration.empty());
    EXPECT_EQ(board.requests()[0].configuration.size(), 4u); // what came
}

TEST_F(BoardModelTest, BoardOpenIsAnsweredAndChangesNothing) {
    EXPECT_EQ(send(IOCTL_BOARD_OPEN).status, kStatusSuccess);
    EXPECT_EQ(block->block.Status, 0);
    EXPECT_EQ(board.requests().back().outcome, RequestOutcome::Served);
    EXPECT_EQ(board.requestCount(IOCTL_BOARD_OPEN), 1u);
    EXPECT_FALSE(board.initState().initialised);
}

TEST_F(BoardModelTest, UnservedBoardCommandsAreInvalidDeviceRequests) {
    for (uint32_t code : {IOCTL_BOARD_GET_FIRMWARE_ID, IOCTL_BOARD_PROGRAM_CPLD}) {
        const BoardModel::Answer answer = send(code);
        EXPECT_EQ(answer.status, kStatusInvalidDeviceRequest);
        EXPECT_EQ(answer.information, kShort);
        EXPECT_EQ(board.requests().back().outcome, RequestOutcome::Unsupported);
    }
    EXPECT_FALSE(board.initState().initialised);
}

TEST_F(BoardModelTest, ForeignCodesAndShortBuffersAreRefusedUntouched) {
    block->block.Status = 9;
    BoardModel::Answer answer = send(platform::ctlCode(0x22, 0x801, 0, 0));
    EXPECT_EQ(answer.status, kStatusInvalidDeviceRequest);
    EXPECT_EQ(answer.information, 0u);
    EXPECT_EQ(block->block.Status, 9);

    answer = send(IOCTL_BOARD_INIT, kShort - 1);
    EXPECT_EQ(answer.status, kStatusInvalidParameter);
    EXPECT_EQ(block->block.Status, 9);
    answer = board.handle(IOCTL_BOARD_INIT, bytesOf(*block), kShort, 100); // short output
    EXPECT_EQ(answer.status, kStatusInvalidParameter);

    const auto log = board.requests();
    ASSERT_EQ(log.size(), 3u);
    for (const auto& record : log) {
        EXPECT_EQ(record.outcome, RequestOutcome::Refused);
    }
    EXPECT_EQ(log[1].inputLength, kShort - 1);
    EXPECT_FALSE(board.initState().initialised);
}

TEST_F(BoardModelTest, LogKeepsTheKeyFieldsOfEachRequest) {
    block->block.WorkMode = 0xFF20;
    block->block.I2CDevice = 0xA0;
    block->block.I2COperation = 0x84;
    block->block.I2CIndex = 255;
    block->block.I2CLength = 255;
    block->block.I2CIndexLong = 16;
    block->block.I2CLengthLong = 300;
    block->block.NumberPixel = 1044;
    block->block.RequestFlags = KORAL_RF_SCANS_TO_DATA;
    send(IOCTL_BOARD_BOOT_EEPROM);
    send(IOCTL_BOARD_INIT);
    const auto log = board.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].ioControlCode, IOCTL_BOARD_BOOT_EEPROM);
    EXPECT_EQ(log[0].workMode, 0xFF20);
    EXPECT_EQ(log[0].i2cDevice, 0xA0);
    EXPECT_EQ(log[0].i2cOperation, 0x84);
    EXPECT_EQ(log[0].i2cIndex, 255);
    EXPECT_EQ(log[0].i2cLength, 255);
    EXPECT_EQ(log[0].i2cIndexLong, 16);
    EXPECT_EQ(log[0].i2cLengthLong, 300);
    EXPECT_EQ(log[0].numberPixel, 1044);
    EXPECT_EQ(log[0].requestFlags, KORAL_RF_SCANS_TO_DATA);
    EXPECT_TRUE(log[0].configuration.empty());
    EXPECT_EQ(log[1].outcome, RequestOutcome::Served);
    EXPECT_EQ(board.requestCount(IOCTL_BOARD_INIT), 1u);
    board.clearRequests();
    EXPECT_TRUE(board.requests().empty());
}

TEST_F(BoardModelTest, LogIsBounded) {
    for (size_t i = 0; i < sim::kMaxRequestLog + 5; ++i) {
        block->block.NumScans = static_cast<uint16_t>(i);
        send(IOCTL_BOARD_DEINIT);
    }
    const auto log = board.requests();
    ASSERT_EQ(log.size(), sim::kMaxRequestLog);
    EXPECT_EQ(board.droppedRequests(), 5u);
    EXPECT_EQ(log.front().numScans, 5); // the oldest went first
}

TEST_F(BoardModelTest, InjectedStatusAnswersWithoutRunningTheCommand) {
    board.injectStatus(IOCTL_BOARD_INIT, 150, 7, 2);
    block->block.WorkMode = 10;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(send(IOCTL_BOARD_INIT).status, kStatusSuccess);
        EXPECT_EQ(block->block.Status, 150);
        EXPECT_EQ(block->block.StatusInfo, 7);
        EXPECT_EQ(block->block.DriverVersion, 2011); // stamped all the same
    }
    EXPECT_FALSE(board.initState().initialised);
    // Other codes are not affected, and the third INIT runs.
    EXPECT_EQ(send(IOCTL_BOARD_DEINIT).status, kStatusSuccess);
    EXPECT_EQ(block->block.Status, 0);
    EXPECT_EQ(send(IOCTL_BOARD_INIT).status, kStatusSuccess);
    EXPECT_EQ(block->block.Status, 0);
    EXPECT_TRUE(board.initState().initialised);

    const auto log = board.requests();
    EXPECT_EQ(log[0].outcome, RequestOutcome::InjectedStatus);
    EXPECT_EQ(log[0].status, 150);
    EXPECT_EQ(log[0].statusInfo, 7);
    EXPECT_EQ(log[3].outcome, RequestOutcome::Served);
}

TEST_F(BoardModelTest, InjectionsOfOneCodeAreUsedInOrder) {
    board.injectRequestFailure(IOCTL_BOARD_GET_USB_VERSION, EIO);
    board.injectStatus(IOCTL_BOARD_GET_USB_VERSION, 141, 0);
    board.injectHang(IOCTL_BOARD_DEINIT, 0); // a count of 0 injects nothing
    EXPECT_EQ(send(IOCTL_BOARD_GET_USB_VERSION).status, EIO);
    EXPECT_EQ(board.requests().back().outcome, RequestOutcome::InjectedFailure);
    EXPECT_EQ(send(IOCTL_BOARD_GET_USB_VERSION).status, kStatusSuccess);
    EXPECT_EQ(block->block.Status, 141);
    EXPECT_EQ(send(IOCTL_BOARD_DEINIT).status, kStatusSuccess);

    board.injectStatus(IOCTL_BOARD_INIT, 150, 0, 3);
    board.clearInjections();
    send(IOCTL_BOARD_INIT);
    EXPECT_EQ(block->block.Status, 0);
}

TEST_F(BoardModelTest, HangIsReportedForTheFrontEndToHold) {
    board.injectHang(IOCTL_BOARD_DEINIT);
    const BoardModel::Answer answer = send(IOCTL_BOARD_DEINIT);
    EXPECT_TRUE(answer.hold);
    EXPECT_EQ(board.requests().back().outcome, RequestOutcome::Held);
    EXPECT_EQ(board.initState().deinitCount, 0u); // runs only when released
    const BoardModel::Answer released =
        board.serveReleased(IOCTL_BOARD_DEINIT, bytesOf(*block), kShort);
    EXPECT_EQ(released.status, kStatusSuccess);
    EXPECT_EQ(board.initState().deinitCount, 1u);
    EXPECT_EQ(board.requests().size(), 1u); // logged once
}

TEST_F(BoardModelTest, NewIdentityTakesEffectWithTheNextRequest) {
    sim::BoardIdentity identity = board.identity();
    EXPECT_EQ(identity.boardId, 3);
    identity.driverVersion = 1014;
    identity.boardId = 9;
    board.setIdentity(identity);
    send(IOCTL_BOARD_GET_USB_VERSION);
    EXPECT_EQ(block->block.DriverVersion, 1014);
    EXPECT_EQ(block->block.BoardId, 9);
    EXPECT_EQ(board.config().boardId, 3); // as declared
}

} // namespace
