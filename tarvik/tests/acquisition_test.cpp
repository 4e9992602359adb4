// The acquisition engine against the linked-in board driver: spectra into the
// mapped records, driver status and warnings, the slots an ID selects, dark
// current, the data-area size, the multiplexer passes, the shutter step and
// the demo worker.

#include "acquisition_fixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace tarvik::testing {
namespace {

using ::testing::ElementsAre;

TEST_F(AcquisitionTest, SpectrumOfTheBoardFillsTheMappedRecord) {
    openBoard(1, 0);
    board.script({scanAnswer(40)});
    EXPECT_EQ(KORAL_GetSpectra(1), 0);
    EXPECT_THAT(board.codes(), ElementsAre(IOCTL_BOARD_GET_SCANS));
    EXPECT_EQ(spectrumOf(1), valuesOf(40));
    std::lock_guard guard(rawDataLock());
    EXPECT_NE(recordOf(records[1]).time.year, 0);
    EXPECT_EQ(row(1).state, kWorkerDone);
}

TEST_F(AcquisitionTest, DriverWarningsMapToLevelsAndResults) {
    struct Case {
        uint16_t warning;
        uint16_t mask;
        int32_t result;
        int32_t level; // 0: nothing recorded
    };
    const Case cases[] = {
        {194, 0, -2, 51}, {195, 0, 0, 0},  {195, 4, -2, 51}, {196, 0, 0, 0},
        {196, 2, -2, 51}, {197, 0, -2, 1}, {198, 0, 0, 0},   {198, 1, -2, 50},
        {199, 1, -2, 50}, {199, 6, 0, 0},  {150, 0, -2, 1},
    };
    DeviceSlot& slot = openBoard(1, 0);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "warning " << c.warning << " mask " << c.mask);
        resetErrorState();
        slot.warningMask = c.mask;
        board.script({scanAnswer(1, c.warning)});
        EXPECT_EQ(KORAL_GetSpectra(1), c.result);
        if (c.level == 0) {
            EXPECT_RECORD(0, 0, 0, 0, "");
        } else {
            EXPECT_RECORD(c.level, c.warning, 0, 1, "KORAL_GetSpectra");
        }
        // The spectrum is prepared all the same.
        EXPECT_EQ(spectrumOf(1), valuesOf(1));
    }
}

TEST_F(AcquisitionTest, BoardStatusAndFailedRequestFailTheCall) {
    openBoard(1, 0);
    board.script({statusAnswer(150, 7)});
    EXPECT_EQ(KORAL_GetSpectra(1), -1);
    EXPECT_RECORD(1, 150, 7, 1, "KORAL_GetSpectra");
    board.script({failedAnswer(EIO)});
    EXPECT_EQ(KORAL_GetSpectra(1), -1);
    EXPECT_RECORD(3, 303, 0, 1, "KORAL_GetSpectra");
    // The worker carries on.
    board.script({scanAnswer(5)});
    EXPECT_EQ(KORAL_GetSpectra(1), 0);
    EXPECT_EQ(spectrumOf(1), valuesOf(5));
}

TEST_F(AcquisitionTest, IdZeroAcquiresEveryActiveSlotAndSkipsInactiveOnes) {
    openBoard(1, 0);
    openBoard(2, 1).active = 0;
    openBoard(3, 2);
    board.script({scanAnswer(10), scanAnswer(10)});
    EXPECT_EQ(KORAL_GetSpectra(0), 0);
    std::vector<size_t> devices;
    for (const BoardRequest& request : board.requests()) {
        devices.push_back(request.device);
    }
    EXPECT_THAT(devices, ::testing::UnorderedElementsAre(0u, 2u));
    EXPECT_EQ(spectrumOf(1), valuesOf(10));
    EXPECT_EQ(spectrumOf(3), valuesOf(10));
    EXPECT_EQ(row(2).state, kWorkerIdle);
}

TEST_F(AcquisitionTest, ActiveUninitialisedSlotFailsTheWholeCall) {
    openBoard(1, 0);
    openBoard(2, 1).initialised = 0;
    EXPECT_EQ(KORAL_GetSpectra(0), -1);
    EXPECT_RECORD(5, 507, 0, 2, "KORAL_GetSpectra");
    EXPECT_TRUE(board.requests().empty());
}

TEST_F(AcquisitionTest, SlotFailingBeforeTheWaitLeavesNoWorkerScanning) {
    openBoard(1, 0);
    DeviceSlot& serialMux = openBoard(2, 1);
    serialMux.muxType = 7;
    serialMux.muxPresent = 1;
    serialMux.muxChannels = 2;
    serialMux.muxChannel = 2;
    serialMux.block()->MuxMode = 2;
    // A MUX-KRD of four channels on COM5, whose port is not open: the
    // switch to the first channel fails.
    serialMux.configuration[18] = 7;
    serialMux.configuration[19] = 0x25;
    serialMux.serialMuxPortNumber = 5;
    board.script({scanAnswer(1)});
    EXPECT_EQ(KORAL_GetSpectra(0), -1);
    EXPECT_EQ(record().code, 512);
    EXPECT_EQ(record().interfaceId, 0);
    // Slot 1 had been started; its scan is over before the call returned.
    EXPECT_EQ(board.requests().size(), 1u);
    EXPECT_EQ(row(1).state, kWorkerDone);
    EXPECT_FALSE(row(1).doneEvent->isSignalled());
}

TEST_F(AcquisitionTest, StateCheckRefusesIdsOutsideTheRange) {
    openBoard(1, 0);
    EXPECT_EQ(KORAL_GetSpectra(static_cast<uint32_t>(-1)), -1);
    EXPECT_RECORD(5, 505, 818, -1, "KORAL_GetSpectra");
    EXPECT_EQ(KORAL_GetSpectra(2), -1);
    EXPECT_TRUE(board.requests().empty());
}

TEST_F(AcquisitionTest, DarkCurrentSkipsOrRefusesSlotsWithDarkPixels) {
    openBoard(1, 0).darkPixelRangeOn = 1;
    DeviceSlot& plain = openBoard(2, 1);
    plain.averageNumber = 4;
    plain.block()->AcquisitionMode = 2;
    EXPECT_EQ(KORAL_GetDarkCurrent(1), -1);
    EXPECT_RECORD(5, 506, 808, 1, "KORAL_GetDarkCurrent");
    EXPECT_EQ(KORAL_GetDarkCurrent(0), 0);
    ASSERT_EQ(board.requests().size(), 1u);
    EXPECT_EQ(board.requests()[0].device, 1u);
    // Averaging for the scan, the burst mode back afterwards.
    EXPECT_EQ(plain.block()->AcquisitionMode, 2);
    EXPECT_EQ(plain.block()->NumScans, 4);
}

TEST_F(AcquisitionTest, DarkCurrentOfTypeEightAndBadModesAreRefused) {
    openBoard(1, 0).boardType = kTypeUsb2;
    EXPECT_EQ(KORAL_GetDarkCurrent(1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_GetDarkCurrent");
    EXPECT_EQ(AcquireSpectra(2, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_GetDarkCurrent");
    EXPECT_TRUE(board.requests().empty());
}

TEST_F(AcquisitionTest, DataAreaSizeFollowsModeFlagsAndMultiplexer) {
    DeviceSlot& slot = openBoard(1, 0);
    DeviceRequestBlock& b = *slot.block();
    b.NumberPixel2Long = 1024;
    b.BurstBlocks = 1;
    slot.burstNumber = 100;
    b.AcquisitionMode = 2;
    EXPECT_EQ(PrepareDataArea(kAcquireSpectra, slot, nullptr), 102400u);
    EXPECT_EQ(b.NumScans, 100);

    b.AcquisitionMode = 1;
    slot.averageNumber = 3;
    EXPECT_EQ(PrepareDataArea(kAcquireSpectra, slot, nullptr), 0u);
    EXPECT_EQ(b.NumScans, 3);
    b.RequestFlags |= 0x4;
    EXPECT_EQ(PrepareDataArea(kAcquireSpectra, slot, nullptr), 2048u);

    slot.muxPresent = 1;
    b.MuxMode = 2;
    b.MuxChanNum = 3;
    slot.muxType = 4;
    EXPECT_EQ(PrepareDataArea(kAcquireSpectra, slot, nullptr), 4096u);
    slot.muxType = 6;
    EXPECT_EQ(PrepareDataArea(kAcquireSpectra, slot, nullptr), 2048u);
    slot.muxType = 5;
    EXPECT_EQ(PrepareDataArea(kAcquireSpectra, slot, nullptr), 3u * 2048u);

    // Dark current saves the mode and sets single or averaging scans.
    b.AcquisitionMode = 2;
    slot.averageNumber = 1;
    uint16_t saved = 0;
    PrepareDataArea(kAcquireDarkCurrent, slot, &saved);
    EXPECT_EQ(saved, 2);
    EXPECT_EQ(b.AcquisitionMode, 0);

    // A burst beyond what a block can hold is refused, not wrapped.
    b.AcquisitionMode = 2;
    b.BurstBlocks = 65535;
    slot.burstNumber = 65535;
    slot.muxType = 5;
    EXPECT_EQ(PrepareDataArea(kAcquireSpectra, slot, nullptr), 0xFFFFFFFFu);
}

TEST_F(AcquisitionTest, OpticalMuxTakesTwoPassesAndSwitchesBack) {
    DeviceSlot& slot = openBoard(1, 0);
    state().mux7wenDelayTime = 0;
    slot.muxType = 6;
    slot.muxPresent = 1;
    slot.muxChannels = 2;
    slot.muxChannel = 1;
    slot.block()->MuxMode = 2;
    uint32_t second = alloc();
    ASSERT_EQ(KORAL_ParaSetMapping(&second, 2, 1), 0);
    board.script({scanAnswer(1), scanAnswer(2)});
    EXPECT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
    EXPECT_EQ(board.requests().size(), 2u);
    EXPECT_THAT(g_digOutputs, ElementsAre(std::make_tuple(2, 1, 1), std::make_tuple(2, 0, 1)));
    EXPECT_EQ(slot.muxChannel, 1);
}

TEST_F(AcquisitionTest, FailingShutterReturnsAnErrorAndFreesTheLock) {
    openBoard(1, 0);
    state().shutterControlMode = 1;
    g_digOutputResult = -1;
    EXPECT_EQ(KORAL_GetSpectra(1), -1);
    EXPECT_RECORD(4, 403, 0, 1, "KORAL_GetSpectra");
    EXPECT_TRUE(board.requests().empty());
    bool free = false;
    std::thread other([&free] {
        free = deviceLock().try_lock();
        if (free) {
            deviceLock().unlock();
        }
    });
    other.join();
    EXPECT_TRUE(free);
}

TEST_F(AcquisitionTest, ShutterOpensAroundSpectraAndClosesAroundDarkCurrent) {
    DeviceSlot& slot = openBoard(1, 0);
    slot.shutterPolarity = 1;
    state().shutterControlMode = 1;
    board.script({scanAnswer(1), scanAnswer(1)});
    EXPECT_EQ(KORAL_GetSpectra(1), 0);
    EXPECT_THAT(g_digOutputs, ElementsAre(std::make_tuple(2, 1, 1), std::make_tuple(2, 0, 1)));
    g_digOutputs.clear();
    state().shutterControlMode = 0;
    EXPECT_EQ(KORAL_GetDarkCurrentWithShutter(0, 1), 0);
    EXPECT_THAT(g_digOutputs, ElementsAre(std::make_tuple(2, 0, 1), std::make_tuple(2, 1, 1)));
}

TEST_F(AcquisitionTest, ErrorOfTheAcquisitionSurvivesTheClosingShutter) {
    openBoard(1, 0);
    state().shutterControlMode = 1;
    board.script({statusAnswer(151, 3)});
    EXPECT_EQ(KORAL_GetSpectra(1), -1);
    EXPECT_RECORD(1, 151, 3, 1, "KORAL_GetSpectra");
}

TEST_F(AcquisitionTest, DemoWorkerSendsNothingAndMakesTheDemoRamp) {
    DeviceSlot& slot = openBoard(1, 0, 1);
    slot.block()->AcqIntCnts = 7;
    EXPECT_EQ(KORAL_GetSpectra(1), 0);
    EXPECT_TRUE(board.requests().empty());
    const std::vector<double> values = spectrumOf(1);
    for (uint32_t i = 0; i < kPixels; ++i) {
        const double base = 7.0 + 20.0 * i; // the board's sums are 100 x the value
        EXPECT_GE(values[i], base) << i;
        EXPECT_LE(values[i], base + 32.76) << i;
    }
}

TEST(DemoScan, NoiseStaysInTheFifteenBitRangeOfEveryPlatform) {
    EXPECT_EQ(demoPixelValue(10, 2, 32767), (10u + 40u) * 100u + 3276u);
    EXPECT_EQ(demoPixelValue(65535, 8351, 0), (65535u + 20u * 8351u) * 100u);
    auto block = std::make_unique<DeviceRequestBlock>();
    block->AcqIntCnts = 3;
    uint32_t noiseMax = 0;
    for (uint64_t seed : {1ull, 42ull, 0xFFFFFFFFFFull}) {
        fillDemoScan(*block, seed);
        for (uint32_t i = 0; i < KORAL_SCAN_DATA_PIXELS; ++i) {
            uint32_t value = 0;
            std::memcpy(&value, reinterpret_cast<const uint8_t*>(block.get()) + 56 + 4 * i, 4);
            const uint32_t base = (3u + 20u * i) * 100u;
            ASSERT_GE(value, base) << i;
            ASSERT_LE(value - base, 3276u) << i;
            noiseMax = std::max(noiseMax, value - base);
        }
    }
    // Noise, not a constant.
    EXPECT_GT(noiseMax, 3000u);
}

TEST(SmallHelpers, RoundIntegrationTimeAndFlashCount) {
    double value = 2500;
    RoundIntegrationTime(value, 1000, 0);
    EXPECT_EQ(value, 3000);
    value = 2500;
    RoundIntegrationTime(value, 1000, 1);
    EXPECT_EQ(value, 3000);
    value = 2500;
    RoundIntegrationTime(value, 1000, 2);
    EXPECT_EQ(value, 2000);
    EXPECT_EQ(FlashCountToTime(2.0, 4), 10.0);
    EXPECT_EQ(FlashCountToTime(2.0, 256), 0.0);
}

TEST_F(AcquisitionTest, StopClearsTheRowAndTheNextInitialiseMayStartAgain) {
    openBoard(1, 0);
    {
        std::lock_guard guard(deviceLock());
        StopAcquisitionThread(1);
    }
    EXPECT_FALSE(row(1).thread);
    EXPECT_EQ(row(1).state, kWorkerNone);
    EXPECT_FALSE(row(1).startEvent);
    // Without a worker the acquisition refuses instead of waiting for ever.
    EXPECT_EQ(KORAL_GetSpectra(1), -1);
    EXPECT_RECORD(4, 309, 0, 1, "KORAL_GetSpectra");
    std::lock_guard guard(deviceLock());
    EXPECT_TRUE(StartAcquisitionThread(1, kTypeUsb, 0));
    EXPECT_EQ(row(1).state, kWorkerIdle);
}

TEST_F(AcquisitionTest, TypeEightScalingFromTheBootImage) {
    DeviceSlot& slot = openBoard(1, 0);
    slot.boardType = kTypeUsb2;
    EXPECT_FALSE(InitializeType8Scaling(1)); // not watched for removal
    slot.hotPlug = 1;
    slot.configuration[810] = 1;
    slot.configuration[811] = 2;
    slot.configuration[812] = 0;
    slot.configuration[813] = 9;
    EXPECT_TRUE(InitializeType8Scaling(1));
    EXPECT_DOUBLE_EQ(slot.type8Scale[0], 65535.0 / 243.0);
    EXPECT_DOUBLE_EQ(slot.type8Scale[1], 65535.0 / 486.0);
    EXPECT_DOUBLE_EQ(slot.type8Scale[3], 1.0);
}

} // namespace
} // namespace tarvik::testing
