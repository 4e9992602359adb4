// The board's I2C bus, its presence check, the temperature sensors and the
// boot EEPROM, as the driver's handlers serve them on a started board.

#include "acquisition_harness.h"
#include "board_status.h"
#include "i2c_commands.h"
#include "vendor_requests.h"

#include "sim/eeprom_images.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <numeric>

namespace {

using namespace kavrin;
using kavrintest::BlockBuffer;
using kavrintest::requestsOf;

constexpr uint8_t kInterface = sim::kInterfaceEeprom; // fitted by default
constexpr uint8_t kMux = sim::kMuxEeprom;             // not fitted by default

class I2cCommandTest : public ::testing::Test {
protected:
    explicit I2cCommandTest(int generation = 1) : harness(kavrintest::runningBoard(generation)) {}

    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    kavrintest::StartedBoard harness;
    DEVICE_EXTENSION& device = harness.device;
    sim::Fx2Board& board = *harness.board;

    // A request in work mode 3, whose firmware the board runs.
    static BlockBuffer request(uint8_t address, uint8_t operation, uint8_t index, uint8_t length,
                               uint32_t dataWords = 0) {
        BlockBuffer b(dataWords);
        b.set<rb::SensorWorkMode>(3);
        b.set<rb::I2cDevice>(address);
        b.set<rb::I2cOperation>(operation);
        b.set<rb::I2cIndex>(index);
        b.set<rb::I2cLength>(length);
        return b;
    }
    template <class Handler> BlockBuffer& run(Handler handler, BlockBuffer& b) {
        RequestBlock view = b.view();
        lastResult = handler(device, view);
        return b;
    }
    uint8_t* inlineData(BlockBuffer& b) {
        return b.bytes.data() + offsetof(DeviceRequestBlock, I2CData);
    }
    uint8_t* dataArea(BlockBuffer& b) { return b.bytes.data() + KORAL_REQUEST_BLOCK_DATA_OFFSET; }
    sim::EepromContents eeprom(uint8_t address) {
        return board.withI2cBus([&](sim::I2cBus& bus) { return *bus.eeprom(address); });
    }
    std::size_t i2cRequests() { return requestsOf(board, VR_I2C_OP).size(); }
    void expectTooLongAndNothingSent(BlockBuffer& b) {
        EXPECT_EQ(b.get<rb::Status>(), kBoardStatusFirmwareUnsupported);
        EXPECT_EQ(b.get<rb::StatusInfo>(), 256);
        EXPECT_EQ(i2cRequests(), 0u);
    }

    platform::DriverStatus lastResult = platform::kStatusSuccess;
};

class I2cGeneration2Test : public I2cCommandTest {
protected:
    I2cGeneration2Test() : I2cCommandTest(2) {}
};

// --- I2C operations

TEST_F(I2cCommandTest, AReadOfThreeHundredBytesIs156WithTheLimitAndSendsNothing) {
    BlockBuffer b = request(kInterface, 34, 0, 255, 200);
    b.set<rb::I2cLength16>(300);
    run(HandleI2cOperation, b);
    expectTooLongAndNothingSent(b);
}

TEST_F(I2cCommandTest, AFourByteWriteTakesItsDataFromTheInlineBytes) {
    BlockBuffer b = request(kInterface, 17, 0x30, 4);
    const uint8_t bytes[] = {1, 2, 3, 4};
    std::copy(std::begin(bytes), std::end(bytes), inlineData(b));
    run(HandleI2cOperation, b);
    ASSERT_EQ(b.get<rb::Status>(), 0);
    const auto sent = requestsOf(board, VR_I2C_OP);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].value, 17 << 8 | kInterface);
    EXPECT_EQ(sent[0].index, 0x30);
    EXPECT_EQ(sent[0].data, std::vector<uint8_t>(std::begin(bytes), std::end(bytes)));
    EXPECT_TRUE(std::equal(std::begin(bytes), std::end(bytes), eeprom(kInterface).begin() + 0x30));
}

TEST_F(I2cCommandTest, ATwelveByteWriteTakesItsDataFromTheDataArea) {
    BlockBuffer b = request(kInterface, 16, 0, 12, 6);
    std::iota(dataArea(b), dataArea(b) + 12, uint8_t{0x40}); // first byte: the pointer
    std::fill(inlineData(b), inlineData(b) + 8, uint8_t{0xEE});
    run(HandleI2cOperation, b);
    ASSERT_EQ(b.get<rb::Status>(), 0);
    const sim::EepromContents image = eeprom(kInterface);
    for (int i = 1; i < 12; ++i) {
        EXPECT_EQ(image[0x40 + i - 1], 0x40 + i) << i;
    }
}

TEST_F(I2cCommandTest, ADataAreaTooSmallForTheTransferIs154AndNothingIsSent) {
    BlockBuffer b = request(kInterface, 33, 0, 12, 2); // 4 + 4 bytes of room
    run(HandleI2cOperation, b);
    EXPECT_EQ(b.get<rb::Status>(), kBoardStatusBufferTooSmall);
    EXPECT_EQ(i2cRequests(), 0u);
}

TEST_F(I2cCommandTest, OnlyTheWideOperationsTakeTheSixteenBitFields) {
    BlockBuffer wide = request(kInterface, 34, 255, 255, 8);
    wide.set<rb::I2cIndex16>(0x0110);
    wide.set<rb::I2cLength16>(10);
    run(HandleI2cOperation, wide);
    ASSERT_EQ(wide.get<rb::Status>(), 0);
    BlockBuffer narrow = request(kInterface, 33, 255, 255, 128);
    narrow.set<rb::I2cIndex16>(0x0110);
    narrow.set<rb::I2cLength16>(10);
    run(HandleI2cOperation, narrow);
    ASSERT_EQ(narrow.get<rb::Status>(), 0);
    const auto sent = requestsOf(board, VR_I2C_OP);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].index, 0x0110);
    EXPECT_EQ(sent[0].length, 10);
    EXPECT_EQ(sent[1].index, 255);
    EXPECT_EQ(sent[1].length, 255);
}

TEST_F(I2cCommandTest, AnImageReadFillsTheDataAreaWithAllTwoHundredFiftySixBytes) {
    BlockBuffer b = request(kInterface, 128, 0, 0, 128);
    run(HandleI2cOperation, b);
    ASSERT_EQ(b.get<rb::Status>(), 0);
    const sim::EepromContents image = eeprom(kInterface);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), dataArea(b)));
}

TEST_F(I2cCommandTest, AnImageWriteIsReadBackAndComparedWhole) {
    BlockBuffer b = request(kInterface, 129, 0, 0, 128);
    std::iota(dataArea(b), dataArea(b) + 256, uint8_t{0});
    run(HandleI2cOperation, b);
    EXPECT_EQ(b.get<rb::Status>(), 0);
    const auto sent = requestsOf(board, VR_I2C_OP);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].value, 128 << 8 | kInterface);
    EXPECT_TRUE(sent[1].in);
    EXPECT_EQ(sent[1].length, 256);
    EXPECT_EQ(eeprom(kInterface)[200], 200);
}

TEST_F(I2cCommandTest, AnImageWriteWhoseReadBackDiffersIs166) {
    board.withI2cBus([](sim::I2cBus& bus) { bus.corruptWrites(kInterface); });
    BlockBuffer b = request(kInterface, 129, 0, 0, 128);
    std::iota(dataArea(b), dataArea(b) + 256, uint8_t{0});
    run(HandleI2cOperation, b);
    EXPECT_EQ(b.get<rb::Status>(), kBoardStatusI2cCompare);
}

TEST_F(I2cCommandTest, AVerifiedShortWriteIsReadBackWithOperation33) {
    board.withI2cBus([](sim::I2cBus& bus) { bus.corruptWrites(kInterface); });
    BlockBuffer b = request(kInterface, 64, 0x20, 3);
    inlineData(b)[0] = 7;
    run(HandleI2cOperation, b);
    EXPECT_EQ(b.get<rb::Status>(), kBoardStatusI2cCompare);
    const auto sent = requestsOf(board, VR_I2C_OP);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].value, 33 << 8 | kInterface);
    EXPECT_EQ(sent[1].index, 0x20);
    EXPECT_EQ(sent[1].length, 3);

    BlockBuffer again = request(kInterface, 64, 0x20, 3);
    inlineData(again)[0] = 7;
    run(HandleI2cOperation, again);
    EXPECT_EQ(again.get<rb::Status>(), 0);
}

TEST_F(I2cCommandTest, AnAddressThatDoesNotAnswerGivesTheBoardsCode165) {
    BlockBuffer b = request(kMux, 33, 0, 4);
    run(HandleI2cOperation, b);
    EXPECT_EQ(b.get<rb::Status>(), kBoardStatusI2cNoAcknowledge);
    // The board's error was taken: the next command is not blamed for it.
    BlockBuffer next = request(kInterface, 33, 0, 4);
    run(HandleI2cOperation, next);
    EXPECT_EQ(next.get<rb::Status>(), 0);
}

TEST_F(I2cCommandTest, AFailedReadOfTheBoardGives141WhenTheBoardKnowsNoError) {
    board.stallRequest(VR_I2C_OP);
    BlockBuffer b = request(kInterface, 33, 0, 4);
    run(HandleI2cOperation, b);
    EXPECT_EQ(b.get<rb::Status>(), kBoardStatusCommunication);
}

// A board that never answers: the slow operations (EEPROM page writes and
// reads) wait 12 s, the others 2 s, and then fail as a communication error.
TEST_F(I2cCommandTest, ASilentBoardEndsSlowOperationsAfterTwelveSecondsAndOthersAfterTwo) {
    board.silenceRequest(VR_I2C_OP);
    struct Case {
        uint8_t operation;
        uint32_t timeoutMs;
    };
    for (const Case& c : {Case{36, kI2cLongTimeoutMs}, Case{32, kI2cTimeoutMs}}) {
        SCOPED_TRACE(static_cast<int>(c.operation));
        board.clearRequests();
        BlockBuffer b = request(kInterface, c.operation, 0, 4);
        auto done = std::async(std::launch::async, [&] { run(HandleI2cOperation, b); });
        ASSERT_TRUE(board.waitForRequest(
            [](const sim::Fx2Board::Request& r) { return r.request == VR_I2C_OP; }));
        ASSERT_TRUE(clock.waitForPendingWaits(1));
        clock.advance(std::chrono::milliseconds(c.timeoutMs - 1));
        EXPECT_EQ(done.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
        EXPECT_EQ(clock.pendingWaits(), 1u);
        clock.advance(std::chrono::milliseconds(1));
        done.get();
        EXPECT_EQ(b.get<rb::Status>(), kBoardStatusCommunication);
    }
}

TEST_F(I2cCommandTest, AnUnknownOperationIsAnsweredWithoutATransfer) {
    BlockBuffer b = request(kInterface, 99, 0, 4);
    run(HandleI2cOperation, b);
    EXPECT_EQ(b.get<rb::Status>(), 0);
    EXPECT_EQ(i2cRequests(), 0u);
}

TEST_F(I2cCommandTest, AWorkModeWithoutFirmwareIsStatus1) {
    BlockBuffer b = request(kInterface, 33, 0, 4);
    b.set<rb::SensorWorkMode>(0);
    run(HandleI2cOperation, b);
    EXPECT_EQ(b.get<rb::Status>(), kBoardStatusFirmwareMissing);
    EXPECT_EQ(i2cRequests(), 0u);
}

TEST_F(I2cCommandTest, EveryCommandIs151WhileContinuousAcquisitionRuns) {
    BlockBuffer init = kavrintest::initRequest(7, 0, 100, 1);
    RequestBlock view = init.view();
    HandleInit(device, view);
    ASSERT_EQ(init.get<rb::Status>(), 0);
    ASSERT_TRUE(device.acquisition.running.load());
    board.clearRequests();
    for (auto handler :
         {HandleI2cOperation, HandleI2cCheck, HandleGetTemperatures, HandleBootEeprom}) {
        BlockBuffer b = request(kInterface, 132, 0, 3, 16);
        b.set<rb::SensorWorkMode>(7);
        run(handler, b);
        EXPECT_EQ(b.get<rb::Status>(), kBoardStatusWrongWorkMode);
    }
    for (const auto& r : board.requests()) {
        EXPECT_TRUE(r.request != VR_I2C_OP && r.request != VR_I2C_CHECK &&
                    r.request != VR_GET_ALLTEMPS)
            << int(r.request);
    }
}

// --- presence

TEST_F(I2cCommandTest, ThePresenceCheckAnswersInTheFirstInlineByte) {
    BlockBuffer present = request(kInterface, 0, 0, 0);
    run(HandleI2cCheck, present);
    EXPECT_EQ(present.get<rb::Status>(), 0);
    EXPECT_EQ(inlineData(present)[0], 1);
    BlockBuffer absent = request(kMux, 0, 0, 0);
    inlineData(absent)[0] = 1;
    run(HandleI2cCheck, absent);
    EXPECT_EQ(absent.get<rb::Status>(), 0);
    EXPECT_EQ(inlineData(absent)[0], 0);
}

TEST_F(I2cCommandTest, APresenceCheckThatFailsReportsTheBoardsError) {
    board.stallRequest(VR_I2C_CHECK);
    board.setDeviceError(148, 9);
    BlockBuffer b = request(kInterface, 0, 0, 0);
    run(HandleI2cCheck, b);
    EXPECT_EQ(b.get<rb::Status>(), 148);
    EXPECT_EQ(b.get<rb::StatusInfo>(), 9);
}

TEST_F(I2cCommandTest, ARemovedBoardRefusesPresenceAndTemperaturesAtRequestLevel) {
    device.state = DeviceState::SurpriseRemoved;
    BlockBuffer check = request(kInterface, 0, 0, 0);
    run(HandleI2cCheck, check);
    EXPECT_EQ(lastResult, platform::kStatusUnsuccessful);
    BlockBuffer temperatures = request(0, 0, 0, 0, 17);
    run(HandleGetTemperatures, temperatures);
    EXPECT_EQ(lastResult, platform::kStatusUnsuccessful);
    EXPECT_EQ(temperatures.get<rb::Status>(), 0);
    device.state = DeviceState::Started;
}

// --- temperatures

TEST_F(I2cCommandTest, AllTemperaturesGiveTheCountTheIdsAndTheValues) {
    BlockBuffer b = request(0, 0, 0, 0, 5);
    run(HandleGetTemperatures, b);
    ASSERT_EQ(b.get<rb::Status>(), 0);
    EXPECT_EQ(b.data16(0), 2);
    EXPECT_EQ(b.data16(1), 1);
    EXPECT_EQ(b.data16(2), 2);
    EXPECT_EQ(b.data16(3), 2350);
    EXPECT_EQ(b.data16(4), 3125);
}

TEST(I2cTemperatureTest, EightWordsCannotHoldFiveSensorsAnd154) {
    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    sim::Fx2BoardConfig config = kavrintest::runningBoard();
    config.temperatures = {{1, 100}, {2, 200}, {3, 300}, {4, -400}, {5, 500}};
    kavrintest::StartedBoard harness(config);
    BlockBuffer b(8);
    b.set<rb::SensorWorkMode>(3);
    RequestBlock view = b.view();
    HandleGetTemperatures(harness.device, view);
    EXPECT_EQ(b.get<rb::Status>(), kBoardStatusBufferTooSmall);

    BlockBuffer enough(11);
    RequestBlock enoughView = enough.view();
    HandleGetTemperatures(harness.device, enoughView);
    ASSERT_EQ(enough.get<rb::Status>(), 0);
    EXPECT_EQ(enough.data16(0), 5);
    EXPECT_EQ(enough.data16(5), 5);
    EXPECT_EQ(static_cast<int16_t>(enough.data16(9)), -400);
}

TEST_F(I2cCommandTest, ADataLengthLargerThanTheAreaCarriedIs154) {
    BlockBuffer b = request(0, 0, 0, 0, 2);
    b.set<rb::DataLength>(17); // claims more than the request holds
    run(HandleGetTemperatures, b);
    EXPECT_EQ(b.get<rb::Status>(), kBoardStatusBufferTooSmall);
}

TEST_F(I2cCommandTest, OneTemperatureGoesIntoTheTemperatureField) {
    BlockBuffer b = request(2, 0, 0, 0);
    run(HandleGetTemperatures, b);
    EXPECT_EQ(b.get<rb::Status>(), 0);
    EXPECT_EQ(b.get<rb::Temperature>(), 3125);
    const auto sent = requestsOf(board, VR_GET_ONETEMP);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].index, 2);

    BlockBuffer unknown = request(9, 0, 0, 0);
    run(HandleGetTemperatures, unknown);
    EXPECT_EQ(unknown.get<rb::Status>(), kBoardStatusI2cNoAcknowledge);
}

// --- boot EEPROM

TEST_F(I2cCommandTest, ABootReadOfLength63ReadsSixtyFourBytesAtTheGenerationOneAddress) {
    BlockBuffer b = request(0x50, 132, 4, 63, 32);
    run(HandleBootEeprom, b);
    ASSERT_EQ(b.get<rb::Status>(), 0);
    const auto sent = requestsOf(board, VR_I2C_OP);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].value, 0x84 << 8 | 0xA0); // the driver's address, not the block's
    EXPECT_EQ(sent[0].index, 4);
    EXPECT_EQ(sent[0].length, 64);
    const sim::EepromContents boot = board.bootEeprom();
    EXPECT_TRUE(std::equal(boot.begin() + 4, boot.begin() + 68, dataArea(b)));
}

TEST_F(I2cCommandTest, ABootWriteIsRefusedUnlessTheGuardByteIsClear) {
    const sim::EepromContents before = board.bootEeprom();
    BlockBuffer refused = request(0, 130, 0, 3, 2);
    inlineData(refused)[0] = 1;
    run(HandleBootEeprom, refused);
    EXPECT_EQ(refused.get<rb::Status>(), kBoardStatusInvalidData);
    EXPECT_EQ(i2cRequests(), 0u);

    BlockBuffer allowed = request(0, 131, 16, 3, 2);
    std::fill(dataArea(allowed), dataArea(allowed) + 4, uint8_t{0x5A});
    run(HandleBootEeprom, allowed);
    EXPECT_EQ(allowed.get<rb::Status>(), 0);
    const sim::EepromContents after = board.bootEeprom();
    EXPECT_EQ(after[16], 0x5A);
    EXPECT_EQ(after[19], 0x5A);
    EXPECT_EQ(after[20], before[20]);
}

TEST_F(I2cCommandTest, OnGenerationOneTheSixteenBitFieldsAreNotUsed) {
    BlockBuffer b = request(0, 132, 255, 255, 128);
    b.set<rb::I2cLength16>(300);
    run(HandleBootEeprom, b);
    EXPECT_EQ(b.get<rb::Status>(), 0);
    const auto sent = requestsOf(board, VR_I2C_OP);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, 256);
    EXPECT_EQ(sent[0].index, 255);
}

TEST_F(I2cGeneration2Test, TheSixteenBitFieldsSelectLengthAndOffset) {
    BlockBuffer b = request(0, 132, 255, 255, 8);
    b.set<rb::I2cLength16>(10);
    b.set<rb::I2cIndex16>(20);
    run(HandleBootEeprom, b);
    ASSERT_EQ(b.get<rb::Status>(), 0);
    const auto sent = requestsOf(board, VR_I2C_OP);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].value, 0x84 << 8 | 0xA2);
    EXPECT_EQ(sent[0].index, 20);
    EXPECT_EQ(sent[0].length, 10);
    const sim::EepromContents boot = board.bootEeprom();
    EXPECT_TRUE(std::equal(boot.begin() + 20, boot.begin() + 30, dataArea(b)));
}

TEST_F(I2cGeneration2Test, ABootTransferAboveTheLimitIs156) {
    BlockBuffer b = request(0, 132, 255, 255, 200);
    b.set<rb::I2cLength16>(257);
    run(HandleBootEeprom, b);
    expectTooLongAndNothingSent(b);
}

TEST_F(I2cCommandTest, ABootReadBeyondTheDataAreaIs154) {
    BlockBuffer b = request(0, 132, 0, 63, 28);
    run(HandleBootEeprom, b);
    EXPECT_EQ(b.get<rb::Status>(), kBoardStatusBufferTooSmall);
    EXPECT_EQ(i2cRequests(), 0u);
}

} // namespace
