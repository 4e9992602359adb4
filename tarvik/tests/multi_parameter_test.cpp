// The multi-parameter record against the simulated request-block board: what
// reaches the board in its one transfer, what comes back in the record, and
// the refusals.

#include "sim_road_fixture.h"

#include <cstring>

namespace tarvik::testing {
namespace {

constexpr const char* kName = "KORAL_KORAL_ParaSetMultParameter";

// Every field as "leave it".
MultiParameterRecord unchanged() {
    MultiParameterRecord r;
    std::memset(&r, 0, sizeof r);
    r.size = sizeof r;
    r.acquisitionTimeMs = -1.0;
    r.deletingTimeMs = -1.0;
    r.count = -1;
    r.burstSelector = 2;
    r.workMode = 0xFFFFFFFF;
    r.options = 0xFFFFFFFF;
    r.triggerTimeoutMs = -1;
    r.flash = 2;
    return r;
}

class MultiParameterTest : public SimRoadTest {
protected:
    void SetUp() override {
        SimRoadTest::SetUp();
        open("usb_board = 0\n");
        board->clearRequests();
    }
    size_t inits() const { return board->requestCount(IOCTL_BOARD_INIT); }
};

TEST_F(MultiParameterTest, FlashOffAloneIsSentInOneTransfer) {
    ASSERT_EQ(KORAL_ParaSetHardwareFlashMode(1, 1), 0);
    board->clearRequests();
    MultiParameterRecord r = unchanged();
    r.size = 52;
    EXPECT_EQ(KORAL_ParaSetMultParameter(&r, 1), -1);
    EXPECT_RECORD(5, 505, 831, 1, kName);
    EXPECT_EQ(inits(), 0u);
    r.size = sizeof r;
    r.flash = 0;
    EXPECT_EQ(KORAL_ParaSetMultParameter(&r, 1), 0) << describe(record());
    EXPECT_EQ(inits(), 1u);
    EXPECT_EQ(board->initState().parameters.flashHW, 0);
    EXPECT_EQ(board->initState().parameters.workMode, 3);
}

TEST_F(MultiParameterTest, EveryFieldReachesTheBoardAndLimitsComeBack) {
    MultiParameterRecord r = unchanged();
    r.acquisitionTimeMs = 12.34;
    r.count = 0; // averaging of 0 scans
    r.burstSelector = 0;
    r.workMode = 7;
    r.triggerTimeoutMs = 50;
    r.flash = 1;
    r.flashOption = 1;
    EXPECT_EQ(KORAL_ParaSetMultParameter(&r, 1), -1);
    // Only the first adaptation is reported.
    EXPECT_RECORD(7, 505, 836, 1, kName);
    EXPECT_EQ(inits(), 1u) << "sent although limited";
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.triggerTimeoutMs, 100);
    EXPECT_DOUBLE_EQ(r.acquisitionTimeMs, 12.3) << "the board's 100 µs steps";
    const sim::InitParameters sent = board->initState().parameters;
    EXPECT_EQ(sent.workMode, 7);
    EXPECT_EQ(sent.ringCapacity, 12);
    EXPECT_EQ(sent.toTimeExtTrig, 100u);
    EXPECT_EQ(sent.acquisitionMode, 0);
    EXPECT_EQ(sent.numScans, 1);
    EXPECT_EQ(sent.flashHW, 1);
    EXPECT_EQ(sent.flashOpt & 2, 2);
    EXPECT_EQ(sent.acqIntCnts, 123);
}

TEST_F(MultiParameterTest, BurstBlocksBeyondTheLimitAreLimitedWithTheCount) {
    MultiParameterRecord r = unchanged();
    r.count = 100;
    r.burstSelector = 1;
    r.burstBlocks = 70000; // wrapped to 16 bits it would read 4464
    EXPECT_EQ(KORAL_ParaSetMultParameter(&r, 1), -1);
    EXPECT_RECORD(7, 505, 836, 1, kName);
    EXPECT_EQ(r.burstBlocks, 30000);
    EXPECT_EQ(r.count, 1);
    const sim::InitParameters sent = board->initState().parameters;
    EXPECT_EQ(sent.acquisitionMode, 2);
    EXPECT_EQ(sent.burstBlocks, 30000);
    EXPECT_EQ(sent.numScans, 1);
    r = unchanged();
    r.count = 4;
    r.burstSelector = 1;
    r.burstBlocks = 0;
    EXPECT_EQ(KORAL_ParaSetMultParameter(&r, 1), 0);
    EXPECT_EQ(board->initState().parameters.burstBlocks, 1);
    EXPECT_EQ(deviceSlot(1)->burstNumber, 4u);
}

TEST_F(MultiParameterTest, RefusedWorkModesAndFlags) {
    MultiParameterRecord r = unchanged();
    r.workMode = 99;
    EXPECT_EQ(KORAL_ParaSetMultParameter(&r, 1), -1);
    EXPECT_RECORD(5, 505, 805, 1, kName);
    r.workMode = 3;
    r.options = 2; // needs a generation-2 board
    EXPECT_EQ(KORAL_ParaSetMultParameter(&r, 1), -1);
    EXPECT_RECORD(5, 310, 841, 1, kName);
    EXPECT_EQ(inits(), 0u);
}

TEST_F(MultiParameterTest, FailedIntegrationTimeFailsTheCall) {
    deviceSlot(1)->sensorType[0] = 0xFFFF; // no sensor the time could be worked out for
    MultiParameterRecord r = unchanged();
    r.acquisitionTimeMs = 5.0;
    EXPECT_EQ(KORAL_ParaSetMultParameter(&r, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, kName);
    EXPECT_EQ(inits(), 0u);
}

class MultiParameterPciTest : public SimRoadTest {};

TEST_F(MultiParameterPciTest, WorkModeOfTheUsbBoardOnlyIsRefusedWithIdZero) {
    open("", 4);
    MultiParameterRecord r = unchanged();
    r.workMode = 0xFF22;
    EXPECT_EQ(KORAL_ParaSetMultParameter(&r, 1), -1);
    EXPECT_RECORD(5, 310, 805, 0, kName);
}

} // namespace
} // namespace tarvik::testing
