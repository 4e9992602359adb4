// IOCTL_BOARD_INIT: the parameter block, the mode translation, when the board
// gets the block again, and the requests that are refused.

#include "acquisition_harness.h"
#include "board_status.h"
#include "vendor_requests.h"

#include <gtest/gtest.h>

namespace {

using namespace kavrin;
using kavrintest::BlockBuffer;
using kavrintest::initRequest;
using kavrintest::requestsOf;
using B = INIT_PARAMETER_BLOCK;

INIT_PARAMETER_BLOCK blockOf(const sim::Fx2Board::Request& request) {
    INIT_PARAMETER_BLOCK block;
    EXPECT_EQ(request.data.size(), kInitBlockSize);
    std::copy_n(request.data.begin(), std::min(request.data.size(), kInitBlockSize),
                block.bytes.begin());
    return block;
}

TEST(ModeTranslation, FollowsTheTableAndItsConditions) {
    struct Case {
        uint16_t mode, acquisitionMode;
        int generation;
        uint16_t opMode;
        bool refused, notInTable;
    };
    const Case cases[] = {
        {1, 0, 1, 1, false, false},      {13, 0, 1, 13, false, false},
        {8, 0, 1, 12, false, false},     {9, 0, 1, 13, false, false},
        {10, 0, 1, 3, true, false},      {10, 0, 2, 10, false, false},
        {49, 0, 2, 49, false, false},    {49, 2, 2, 3, true, false},
        {49, 0, 1, 3, true, false},      {6, 2, 1, 3, true, false},
        {7, 1, 1, 7, false, false},      {0xFF20, 0, 1, 6, false, false},
        {0xFF21, 2, 1, 3, true, false},  {0xFF22, 0, 1, 8, false, false},
        {0xFF23, 2, 1, 9, false, false}, {0xFF03, 0, 1, 0xFF03, false, false},
        {14, 0, 2, 3, false, true},      {0, 0, 1, 3, false, true},
    };
    for (const Case& c : cases) {
        const ModeTranslation t = TranslateMode(c.mode, c.acquisitionMode, c.generation);
        EXPECT_EQ(t.opMode, c.opMode) << c.mode;
        EXPECT_EQ(t.refused, c.refused) << c.mode;
        EXPECT_EQ(t.notInTable, c.notInTable) << c.mode;
    }
}

TEST(InitParameterBlock, CarriesTheRequestInTheFirmwaresLayout) {
    BlockBuffer request = initRequest(3, 0, 1044, 1);
    namespace f = rb;
    request.set<f::AcqIntCnts>(1000);
    request.set<f::DelIntCnts>(10);
    request.set<f::PreCnts>(8);
    request.set<f::FlashHW>(2);
    request.set<f::FlashOpt>(3);
    request.set<f::MuxMode>(4);
    request.set<f::MuxChanNum>(5);
    request.set<f::MuxSpec>(1);
    request.set<f::InputSourceFlags>(0x1F);
    request.set<f::TOTimeExtTrig>(777);
    request.set<f::FEEType>(7);
    request.set<f::SensorType>(9);
    request.set<f::ETDelay>(0x1234);
    request.set<f::RequestFlags>(KORAL_RF_DRV_GEN1_INIT);
    INIT_PARAMETER_BLOCK block;
    block.set8(B::InpSrcFlags, 0xA0);
    block.set32(B::TOTimeExtTrig, 55);
    RequestBlock view = request.view();
    const BuildResult r = BuildInitParameterBlock(view, block, 1044);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.intervalCountsChanged);
    EXPECT_EQ(block.get16(B::Version), 3114);
    EXPECT_EQ(block.get16(B::OpMode), 3);
    EXPECT_EQ(block.get16(B::PreCnts), 8);
    EXPECT_EQ(block.get16(B::AcqIntCnts), 64536);
    EXPECT_EQ(block.get16(B::DelIntCnts), 65526);
    EXPECT_EQ(block.get16(B::NumScans), 1);
    EXPECT_EQ(block.get8(B::FlashHW), 2);
    EXPECT_EQ(block.get8(B::FlashOpt), 3);
    EXPECT_EQ(block.get16(B::MuxMode), 4);
    EXPECT_EQ(block.get16(B::MuxChanNum), 5);
    EXPECT_EQ(block.get8(B::InpSrcFlags), 0xAF) << "the upper bits stay as last sent";
    EXPECT_EQ(block.get8(B::Flags), 4);
    EXPECT_EQ(block.get16(B::Numberpixel), 1044);
    EXPECT_EQ(block.get32(B::TOTimeExtTrig), 55u) << "set only once the block stands";
    EXPECT_EQ(block.get8(B::FEEType), 7);
    EXPECT_EQ(block.get8(B::SensorType), 9);
    EXPECT_EQ(block.get16(B::ETDelay), 0x1234);
}

TEST(InitParameterBlock, IntervalCountsOfZeroKeepTheOnesLastSent) {
    BlockBuffer request = initRequest(3, 0, 100, 1);
    INIT_PARAMETER_BLOCK block;
    block.set16(B::AcqIntCnts, 111);
    block.set16(B::DelIntCnts, 222);
    RequestBlock view = request.view();
    const BuildResult r = BuildInitParameterBlock(view, block, 100);
    EXPECT_FALSE(r.intervalCountsChanged);
    EXPECT_EQ(block.get16(B::AcqIntCnts), 111);
    EXPECT_EQ(block.get16(B::DelIntCnts), 222);
}

TEST(InitParameterBlock, GenerationTwoFlagsFollowTheFifoLevel) {
    for (const auto& [level, flags] :
         std::vector<std::pair<uint16_t, uint8_t>>{{0, 0x2}, {1, 0x3}, {0x4000, 0x3}}) {
        BlockBuffer request = initRequest(3, 0, 1044, 1, 2);
        request.set<rb::RequestFlags>(KORAL_RF_GEN2_INIT | KORAL_RF_DRV_GEN2_INIT);
        request.set<rb::ExtFifoFullLevel>(level);
        INIT_PARAMETER_BLOCK block;
        RequestBlock view = request.view();
        ASSERT_TRUE(BuildInitParameterBlock(view, block, 1044).ok);
        EXPECT_EQ(block.get8(B::Flags), flags) << level;
    }
    // A level raised to 0x4000 is still too small for 0x3000 pixels.
    BlockBuffer request = initRequest(3, 0, 0x3000, 1, 2);
    request.set<rb::RequestFlags>(KORAL_RF_GEN2_INIT);
    request.set<rb::ExtFifoFullLevel>(1);
    INIT_PARAMETER_BLOCK block;
    RequestBlock view = request.view();
    ASSERT_TRUE(BuildInitParameterBlock(view, block, 0x3000).ok);
    EXPECT_EQ(block.get8(B::Flags), 0);
}

TEST(InitParameterBlock, APixelCountBeyondSixteenBitsIsSentAs0xFFFF) {
    BlockBuffer request = initRequest(3, 0, 0xFFFF, 1);
    request.set<rb::PixelCount32>(70000);
    INIT_PARAMETER_BLOCK block;
    RequestBlock view = request.view();
    ASSERT_TRUE(BuildInitParameterBlock(view, block, 70000).ok);
    EXPECT_EQ(block.get16(B::Numberpixel), 0xFFFF);
}

TEST(ScanReadTimeout, FollowsTheFormulaAndNeverWrapsOrMeansForever) {
    // 1000 x 8 / 8000 = 1; (65536 / 1000) / 2 + 1 = 33; + 10 + 100; x 2.
    EXPECT_EQ(ScanReadTimeoutMs(1, 1000, 8, 1000, 3, 0), (1 * 33 + 10 + 100) * 2u);
    EXPECT_EQ(ScanReadTimeoutMs(2, 1000, 8, 1000, 3, 0), (1 * 33 + 10 + 100) * 4u);
    EXPECT_EQ(ScanReadTimeoutMs(1, 1000, 8, 1000, 4, 500), (1 * 33 + 10 + 100) * 2u + 520);
    EXPECT_EQ(ScanReadTimeoutMs(2, 0xFFFF, 0xFFFF, 1, 0xFF22, 0xFFFFFFFF), platform::kInfinite - 1);
    EXPECT_GT(ScanReadTimeoutMs(1, 10, 10, 0, 3, 0), 0u) << "no division by a zero pixel count";
}

class InitCommand : public ::testing::Test {
protected:
    platform::VirtualClock clock;
    platform::ScopedClock useClock{clock};
    kavrintest::StartedBoard harness;
    DEVICE_EXTENSION& device = harness.device;

    BlockBuffer init(BlockBuffer request) {
        RequestBlock view = request.view();
        HandleInit(device, view);
        return request;
    }
    std::size_t initsSent() const { return requestsOf(*harness.board, VR_INIT).size(); }
};

TEST_F(InitCommand, TheSameParametersAreSentOnceUnlessForced) {
    BlockBuffer request = initRequest(3, 0, 1044, 1);
    request.set<rb::AcqIntCnts>(1000);
    EXPECT_EQ(init(request).get<rb::Status>(), 0);
    EXPECT_EQ(init(request).get<rb::Status>(), 0);
    ASSERT_EQ(initsSent(), 1u);
    const auto first = requestsOf(*harness.board, VR_INIT)[0];
    EXPECT_EQ(first.value, 1) << "new interval counts";
    EXPECT_EQ(first.index, 1044 / 100 + 100);
    EXPECT_EQ(blockOf(first).get16(B::AcqIntCnts), 64536);
    // TOTime: (1000 x 1 / 8000 + 1044 / 100) x 2 + 200.
    EXPECT_EQ(blockOf(first).get32(B::TOTime), (0 + 10) * 2 + 200u);

    request.set<rb::RequestFlags>(KORAL_RF_FORCE_INIT);
    EXPECT_EQ(init(request).get<rb::Status>(), 0);
    ASSERT_EQ(initsSent(), 2u);
    EXPECT_EQ(requestsOf(*harness.board, VR_INIT)[1].value, 0) << "the counts did not change";

    // After DEINIT the block goes again even unchanged.
    request.set<rb::RequestFlags>(0);
    BlockBuffer deinit;
    RequestBlock view = deinit.view();
    HandleDeinit(device, view);
    EXPECT_EQ(deinit.get<rb::Status>(), 0);
    init(request);
    EXPECT_EQ(initsSent(), 3u);
}

TEST_F(InitCommand, ARefusedModeSendsNothingAndKeepsTheLastBlock) {
    EXPECT_EQ(init(initRequest(10, 0, 1044, 1)).get<rb::Status>(), kBoardStatusModeNotAvailable);
    EXPECT_EQ(init(initRequest(6, 2, 1044, 1)).get<rb::Status>(), kBoardStatusModeNotAvailable);
    EXPECT_EQ(initsSent(), 0u);
    EXPECT_EQ(device.acquisition.lastSent, INIT_PARAMETER_BLOCK{});
}

TEST_F(InitCommand, ScanNumbersOutsideTheAcquisitionModeAreInvalid) {
    EXPECT_EQ(init(initRequest(3, 1, 1044, 101)).get<rb::Status>(), kBoardStatusInvalidData);
    EXPECT_EQ(init(initRequest(3, 0, 1044, 2)).get<rb::Status>(), kBoardStatusInvalidData);
    EXPECT_EQ(init(initRequest(3, 1, 1044, 100)).get<rb::Status>(), 0);
    EXPECT_EQ(initsSent(), 1u);
}

TEST_F(InitCommand, PixelCountsThatCannotBeAFrameAreRefused) {
    EXPECT_EQ(init(initRequest(3, 0, 0, 1)).get<rb::Status>(), kBoardStatusInvalidData);
    BlockBuffer huge = initRequest(3, 2, 0xFFFF, 0xFFFF);
    huge.set<rb::PixelCount32>(0xFFFFFFFF);
    EXPECT_EQ(init(huge).get<rb::Status>(), kBoardStatusInvalidData);
    BlockBuffer keptTooMany = initRequest(3, 0, 100, 1);
    keptTooMany.set<rb::KeptPixelCount>(101);
    EXPECT_EQ(init(keptTooMany).get<rb::Status>(), kBoardStatusInvalidData);
    EXPECT_EQ(initsSent(), 0u);
}

TEST_F(InitCommand, TheDifferentialModeDoublesScansAndFrame) {
    EXPECT_EQ(init(initRequest(0xFF03, 2, 100, 5)).get<rb::Status>(), 0);
    ASSERT_EQ(initsSent(), 1u);
    const INIT_PARAMETER_BLOCK sent = blockOf(requestsOf(*harness.board, VR_INIT)[0]);
    EXPECT_EQ(sent.get16(B::NumScans), 10);
    EXPECT_EQ(sent.get8(B::FlashHW), 1);
    EXPECT_EQ(device.acquisition.settings.frameSize, (100u + 2) * 2 * 10);
}

TEST_F(InitCommand, AModeTheFirmwareDoesNotKnowIsReportedNotSent) {
    EXPECT_EQ(init(initRequest(14, 0, 100, 1)).get<rb::Status>(), kBoardStatusModeNotAvailable);
    EXPECT_EQ(initsSent(), 0u);
}

TEST_F(InitCommand, ABoardErrorAfterTheBlockIsTheStatus) {
    harness.board->setDeviceError(143, 7);
    EXPECT_EQ(init(initRequest(3, 0, 100, 1)).get<rb::Status>(), 143);
    harness.board->setDeviceError(0, 0);
    EXPECT_EQ(init(initRequest(3, 0, 100, 1)).get<rb::Status>(), 0);
    EXPECT_EQ(initsSent(), 2u) << "a failed init does not count as sent";
}

TEST_F(InitCommand, AStalledInitReportsTheBoardsError) {
    harness.board->stallRequest(VR_INIT);
    harness.board->setDeviceError(160, 3);
    const BlockBuffer answer = init(initRequest(3, 0, 100, 1));
    EXPECT_EQ(const_cast<BlockBuffer&>(answer).get<rb::Status>(), 160);
    EXPECT_EQ(const_cast<BlockBuffer&>(answer).get<rb::StatusInfo>(), 3);
}

TEST_F(InitCommand, WithoutAScanPipeTheInitFailsVisibly) {
    device.pipes.resize(2);
    EXPECT_EQ(init(initRequest(3, 0, 100, 1)).get<rb::Status>(), kBoardStatusCommunication);
    EXPECT_EQ(initsSent(), 0u);
}

TEST_F(InitCommand, RingCapacityIsAtLeastOneAndOneInModeSix) {
    BlockBuffer request = initRequest(7, 0, 100, 1);
    request.set<rb::RingCapacity>(0);
    EXPECT_EQ(init(request).get<rb::Status>(), 0);
    EXPECT_EQ(device.acquisition.settings.ringCapacity, 1u);
    EXPECT_TRUE(device.acquisition.running.load());

    request.set<rb::RingCapacity>(0xFFFF); // -1
    init(request);
    EXPECT_EQ(device.acquisition.settings.ringCapacity, 1u);

    request.set<rb::SensorWorkMode>(6);
    request.set<rb::RingCapacity>(5);
    init(request);
    EXPECT_EQ(device.acquisition.settings.ringCapacity, 1u);
    const std::size_t sent = initsSent();
    // In mode 6 a capacity other than 1 always differs from the one recorded:
    // the threads stop and the block goes again.
    init(request);
    EXPECT_EQ(initsSent(), sent + 1);
    EXPECT_TRUE(device.acquisition.running.load());
}

TEST_F(InitCommand, TheFirstInitialisationReadsTheFirmwareIdAgain) {
    device.firstInitialisation = true;
    device.updateIdentity([](BoardIdentity& identity) { identity.stampedFirmwareVersion = 1; });
    const BlockBuffer answer = init(initRequest(3, 0, 100, 1));
    EXPECT_EQ(const_cast<BlockBuffer&>(answer).get<rb::FirmwareVersion>(), 204);
    EXPECT_EQ(const_cast<BlockBuffer&>(answer).get<rb::FirmwareType>(), 100);
    EXPECT_EQ(device.readIdentity().stampedFirmwareVersion, 204);
    EXPECT_FALSE(device.firstInitialisation);
    harness.board->clearRequests();
    init(initRequest(3, 0, 101, 1));
    EXPECT_TRUE(requestsOf(*harness.board, VR_GETFWID).empty());
}

} // namespace
