// Spectrum preparation: which channels a block fills and from which values,
// bursts, the data area, the tail and refusals of blocks that don't hold
// what their layout asks for.

#include "prepare_spectrum_fixture.h"

namespace tarvik::testing {
namespace {

class PrepareSpectrumLayoutTest : public PrepareSpectrumTest {};

TEST_F(PrepareSpectrumLayoutTest, SingleChannelFillsOnlyTheSelectedChannel) {
    block().MuxMode = 1;
    block().MuxChanNum = 3;
    slot->muxType = 4;
    RawDataRecord& first = mapped(1);
    RawDataRecord& third = mapped(3);
    scanRamp(8, 10.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(third.spectrum), ramp(8, 10.0));
    EXPECT_EQ(arrayOf(third.pixelNumbers), ramp(8, 1.0));
    EXPECT_EQ(first.spectrum.GetSize(), 0);
}

TEST_F(PrepareSpectrumLayoutTest, MissingRecordOfTheSelectedChannelFails) {
    block().MuxChanNum = 3;
    mapped(1);
    EXPECT_EQ(prepare(kPrepareSpectrum), -1);
    expectFailure(4, 501, 0);
}

TEST_F(PrepareSpectrumLayoutTest, EndChannelsOfMuxTypeFourTakeEvenAndOddValues) {
    block().MuxMode = 2;
    block().MuxChanNum = 3;
    slot->muxType = 4;
    RawDataRecord& one = mapped(1);
    RawDataRecord& two = mapped(2);
    RawDataRecord& three = mapped(3);
    scanRamp(16);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 0.0, 2.0));
    EXPECT_EQ(arrayOf(three.spectrum), ramp(8, 1.0, 2.0));
    EXPECT_EQ(two.spectrum.GetSize(), 0);
    EXPECT_EQ(two.pixelCount, 0);
}

TEST_F(PrepareSpectrumLayoutTest, InnerChannelWithoutRecordFailsAlthoughNotFilled) {
    block().MuxMode = 2;
    block().MuxChanNum = 3;
    slot->muxType = 2;
    mapped(1);
    mapped(3);
    EXPECT_EQ(prepare(kPrepareSpectrum), -1);
    expectFailure(4, 501, 0);
}

TEST_F(PrepareSpectrumLayoutTest, MuxTypeTwoWithOneChannelReadsPlainly) {
    block().MuxMode = 2;
    block().MuxChanNum = 1;
    slot->muxType = 2;
    RawDataRecord& one = mapped(1);
    scanRamp(8, 5.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 5.0));
}

TEST_F(PrepareSpectrumLayoutTest, InterleavedChannelsTakeEveryNthValue) {
    for (uint32_t type : {3u, 5u, 0u, 10u}) {
        SCOPED_TRACE(type);
        block().MuxMode = 2;
        block().MuxChanNum = 4;
        slot->muxType = type;
        std::array<RawDataRecord*, 4> records{};
        for (int32_t c = 0; c < 4; ++c) {
            records[static_cast<size_t>(c)] = &mapped(c + 1);
        }
        scanRamp(32);
        ASSERT_EQ(prepare(kPrepareSpectrum), 0);
        for (int32_t c = 0; c < 4; ++c) {
            EXPECT_EQ(arrayOf(records[static_cast<size_t>(c)]->spectrum), ramp(8, c, 4.0)) << c;
        }
        ReleaseAllRawData();
    }
}

TEST_F(PrepareSpectrumLayoutTest, SwitchedMuxFillsItsCurrentChannelInEitherMode) {
    for (uint32_t type : {6u, 7u, 9u}) {
        for (uint16_t muxMode : {uint16_t{1}, uint16_t{2}}) {
            SCOPED_TRACE(::testing::Message() << type << " " << muxMode);
            block().MuxMode = muxMode;
            block().MuxChanNum = 4;
            slot->muxType = type;
            slot->muxChannel = 2;
            RawDataRecord& one = mapped(1);
            RawDataRecord& two = mapped(2);
            scanRamp(8, 3.0);
            ASSERT_EQ(prepare(kPrepareSpectrum), 0);
            EXPECT_EQ(arrayOf(two.spectrum), ramp(8, 3.0));
            EXPECT_EQ(one.spectrum.GetSize(), 0);
            ReleaseAllRawData();
        }
    }
}

TEST_F(PrepareSpectrumLayoutTest, SwitchedMuxOnChannelZeroFillsChannelOne) {
    slot->muxType = 7;
    slot->muxChannel = 0;
    RawDataRecord& one = mapped(1);
    scanRamp(8);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 0.0));
}

TEST_F(PrepareSpectrumLayoutTest, MuxTypeEightFillsAllButTheLastChannelWithTheSameValues) {
    block().MuxMode = 2;
    block().MuxChanNum = 3;
    slot->muxType = 8;
    RawDataRecord& one = mapped(1);
    RawDataRecord& two = mapped(2);
    RawDataRecord& three = mapped(3);
    scanRamp(8, 1.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 1.0));
    EXPECT_EQ(arrayOf(two.spectrum), ramp(8, 1.0));
    EXPECT_EQ(three.spectrum.GetSize(), 0);
}

TEST_F(PrepareSpectrumLayoutTest, MuxTypeEightOutsideMultiChannelIsRefusedSilently) {
    slot->muxType = 8;
    RawDataRecord& one = mapped(1);
    scanRamp(8);
    resetErrorState();
    EXPECT_EQ(prepare(kPrepareSpectrum), -1);
    EXPECT_EQ(record().level, 0);
    EXPECT_EQ(record().code, 0);
    EXPECT_EQ(one.spectrum.GetSize(), 0);
}

TEST_F(PrepareSpectrumLayoutTest, BurstStoresEveryBlockUnscaled) {
    block().AcquisitionMode = 2;
    block().NumScans = 5;
    dataArea(5 * 8);
    for (size_t i = 0; i < 40; ++i) {
        data16(i, static_cast<int16_t>(i) - 20);
    }
    block().ScanData[0] = 99; // not the burst's source
    RawDataRecord& one = mapped(1);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(40, -20.0));
    std::vector<double> pixels;
    for (int k = 0; k < 5; ++k) {
        const std::vector<double> block = ramp(8, 1.0);
        pixels.insert(pixels.end(), block.begin(), block.end());
    }
    EXPECT_EQ(arrayOf(one.pixelNumbers), pixels);
    EXPECT_EQ(one.burstNumber, 5);
    EXPECT_EQ(one.averageNumber, 1);
    EXPECT_EQ(one.pixelCount, 8);
}

TEST_F(PrepareSpectrumLayoutTest,
       BurstBlocksMultiplyTheSpectraAndInterleavedBlocksFollowEachOther) {
    block().AcquisitionMode = 2;
    block().NumScans = 2;
    block().BurstBlocks = 2;
    block().MuxMode = 2;
    block().MuxChanNum = 2;
    slot->muxType = 3;
    dataArea(4 * 2 * 8);
    for (size_t i = 0; i < 64; ++i) {
        data16(i, static_cast<int16_t>(i));
    }
    RawDataRecord& one = mapped(1);
    RawDataRecord& two = mapped(2);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    // Spectrum k of channel c: index (k - 1) x 2 x 8 + c + 2i.
    EXPECT_EQ(arrayOf(one.spectrum), ramp(32, 0.0, 2.0));
    EXPECT_EQ(arrayOf(two.spectrum), ramp(32, 1.0, 2.0));
    EXPECT_EQ(one.burstNumber, 4);
}

TEST_F(PrepareSpectrumLayoutTest, DataAreaFlagReadsScaledValuesFromTheDataArea) {
    block().RequestFlags = 0x4;
    dataArea(2 * 8);
    for (size_t i = 0; i < 8; ++i) {
        data32(i, static_cast<int32_t>(i) * 250);
    }
    RawDataRecord& one = mapped(1);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 0.0, 2.5));
}

TEST_F(PrepareSpectrumLayoutTest, TailStampsCountIntegrationTimeAndAverages) {
    block().NumScans = 7;
    slot->acquisitionIntegrationTime = 12500;
    slot->sensorType[0] = 7;
    slot->pixelCount[0] = 8;
    RawDataRecord& one = mapped(1);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(one.pixelCount, 8);
    EXPECT_EQ(one.burstNumber, 1);
    EXPECT_DOUBLE_EQ(one.integrationTime, 12.5);
    EXPECT_EQ(one.averageNumber, 7);
    EXPECT_EQ(one.sensorType, 7);
    EXPECT_EQ(one.channelPixelCount, 8);
}

TEST_F(PrepareSpectrumLayoutTest, SerialElectronicsTakeTheirOwnAverageNumber) {
    slot->boardType = kTypeSerial;
    slot->qre.averageNumber = 12;
    block().NumScans = 3;
    RawDataRecord& one = mapped(1);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(one.averageNumber, 12);
}

TEST_F(PrepareSpectrumLayoutTest, OtherModesAreInvalid) {
    RawDataRecord& one = mapped(1);
    EXPECT_EQ(prepare(2), -1);
    expectFailure(5, 505, 0);
    EXPECT_EQ(one.spectrum.GetSize(), 0);
}

TEST_F(PrepareSpectrumLayoutTest, PixelCountBeyondTheScanDataIsRefusedUntouched) {
    RawDataRecord& one = mapped(1);
    setPixels(KORAL_SCAN_DATA_PIXELS + 1);
    EXPECT_EQ(prepare(kPrepareSpectrum), -1);
    expectFailure(5, 505, kInfoInvalidIndex);
    EXPECT_EQ(one.spectrum.GetSize(), 0);
    EXPECT_EQ(prepare(kPrepareDarkCurrent), -1);
    EXPECT_EQ(one.darkCurrent.GetSize(), 0);
}

TEST_F(PrepareSpectrumLayoutTest, InterleavedLayoutBeyondTheScanDataIsRefused) {
    block().MuxMode = 2;
    block().MuxChanNum = 2;
    slot->muxType = 3;
    setPixels(KORAL_SCAN_DATA_PIXELS / 2 + 1);
    mapped(1);
    mapped(2);
    EXPECT_EQ(prepare(kPrepareSpectrum), -1);
    expectFailure(5, 505, kInfoInvalidIndex);
    setPixels(KORAL_SCAN_DATA_PIXELS / 2);
    EXPECT_EQ(prepare(kPrepareSpectrum), 0);
}

TEST_F(PrepareSpectrumLayoutTest, BurstLongerThanItsDataAreaIsRefused) {
    block().AcquisitionMode = 2;
    block().NumScans = 3;
    dataArea(3 * 8 - 3); // with the block's own two words, one short
    RawDataRecord& one = mapped(1);
    EXPECT_EQ(prepare(kPrepareSpectrum), -1);
    expectFailure(5, 505, kInfoInvalidIndex);
    EXPECT_EQ(one.spectrum.GetSize(), 0);
    dataArea(3 * 8);
    EXPECT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(one.spectrum.GetSize(), 24);
}

TEST_F(PrepareSpectrumLayoutTest, DataAreaFlagWithoutDataAreaIsRefused) {
    block().RequestFlags = 0x4;
    mapped(1);
    EXPECT_EQ(prepare(kPrepareSpectrum), -1);
    expectFailure(5, 505, kInfoInvalidIndex);
}

TEST_F(PrepareSpectrumLayoutTest, LargePixelCountsFromTheDataArea) {
    const uint32_t n = 30000;
    setPixels(n);
    block().RequestFlags = 0x4;
    dataArea(2 * n);
    for (size_t i = 0; i < n; ++i) {
        data32(i, static_cast<int32_t>(i) * 100);
    }
    RawDataRecord& one = mapped(1);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    ASSERT_EQ(one.spectrum.GetSize(), static_cast<int32_t>(n));
    EXPECT_EQ(*one.spectrum.GetElementPtr(n - 1), n - 1.0);
    EXPECT_EQ(*one.pixelNumbers.GetElementPtr(n - 1), static_cast<double>(n));
}

} // namespace
} // namespace tarvik::testing
