// Spectrum preparation: dark current and its correction, the dark pixel
// range, unsigned front ends, mirrored sensors, board type 8, the hooks of
// scaling and linearization, intensity extremes and revision pixels.

#include "prepare_spectrum_fixture.h"

namespace tarvik::testing {
namespace {

class PrepareSpectrumCorrectionTest : public PrepareSpectrumTest {
protected:
    // Pixel count 1024 on channel 1, described by file, with revision pixels.
    void revisionSensor(std::array<uint32_t, 5> pixels) {
        setPixels(1024);
        slot->sensorType[0] = 128;
        slot->pixelCount[0] = 1024;
        slot->revisionPixels = pixels;
        slot->revisionPixelFlag = 1;
    }
};

TEST_F(PrepareSpectrumCorrectionTest, DarkCurrentKeepsThePreviousAsSaved) {
    RawDataRecord& one = mapped(1);
    scanRamp(8, 100.0);
    ASSERT_EQ(prepare(kPrepareDarkCurrent), 0);
    EXPECT_EQ(arrayOf(one.darkCurrent), ramp(8, 100.0));
    EXPECT_EQ(arrayOf(one.savedDarkCurrent), std::vector<double>(8, 0.0));
    EXPECT_EQ(arrayOf(one.pixelNumbers), ramp(8, 1.0));
    EXPECT_EQ(one.spectrum.GetSize(), 0);
    EXPECT_EQ(one.darkState, 0);
    scanRamp(8, 200.0);
    ASSERT_EQ(prepare(kPrepareDarkCurrent), 0);
    EXPECT_EQ(arrayOf(one.darkCurrent), ramp(8, 200.0));
    EXPECT_EQ(arrayOf(one.savedDarkCurrent), ramp(8, 100.0));
}

TEST_F(PrepareSpectrumCorrectionTest, SpectrumIsCorrectedInModeOneOnly) {
    RawDataRecord& one = mapped(1);
    scanRamp(8, 10.0);
    ASSERT_EQ(prepare(kPrepareDarkCurrent), 0);
    scanRamp(8, 50.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), std::vector<double>(8, 40.0));
    EXPECT_EQ(one.darkState, 1);

    ASSERT_EQ(prepare(kPrepareDarkCurrent), 0);
    one.DarkCurrentCorrectionMode = 0;
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 50.0));
    EXPECT_EQ(one.darkState, 0);
}

TEST_F(PrepareSpectrumCorrectionTest, WithoutEnoughDarkCurrentTheSpectrumStaysRaw) {
    RawDataRecord& one = mapped(1);
    setArray(one.darkCurrent, {1.0, 1.0, 1.0}); // from a shorter sensor
    scanRamp(8, 10.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 10.0));
    one.darkCurrent.RemoveAll();
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 10.0));
    EXPECT_EQ(one.darkState, 0);
}

TEST_F(PrepareSpectrumCorrectionTest, DarkPixelRangeSubtractsItsMean) {
    setPixels(20);
    slot->darkPixelRangeOn = 1;
    slot->firstDarkPixel = 0;
    slot->lastDarkPixel = 9;
    RawDataRecord& one = mapped(1);
    scanRamp(20, 1.0); // mean of the first ten: 5.5
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(20, -4.5));
    EXPECT_EQ(arrayOf(one.darkCurrent), std::vector<double>(20, 5.5));
    EXPECT_EQ(one.darkState, 1);

    one.DarkCurrentCorrectionMode = 0;
    scanRamp(20, 2.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(20, 2.0));
    EXPECT_EQ(arrayOf(one.darkCurrent), std::vector<double>(20, 6.5));
}

TEST_F(PrepareSpectrumCorrectionTest, DarkPixelRangeBeyondTheSpectrumIsLimitedToIt) {
    slot->darkPixelRangeOn = 1;
    slot->firstDarkPixel = 6;
    slot->lastDarkPixel = 500; // set for a longer sensor
    RawDataRecord& one = mapped(1);
    scanRamp(8, 0.0); // pixels 6 and 7: mean 6.5
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, -6.5));
    slot->firstDarkPixel = 300;
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 0.0));
}

TEST_F(PrepareSpectrumCorrectionTest, UnsignedFrontEndsAreShiftedAndMeasuredAgainstFullScale) {
    slot->frontEndType = 7;
    RawDataRecord& one = mapped(1);
    scanRamp(8, -100.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 32668.0));
    EXPECT_DOUBLE_EQ(one.maximum, 32675.0);
    EXPECT_DOUBLE_EQ(one.maximumPercent, 100.0 * 32675.0 / 65535.0);
    EXPECT_DOUBLE_EQ(one.minimum, 32668.0);
    EXPECT_DOUBLE_EQ(one.minimumPercent, -100.0 * 32668.0 / 65535.0);
    ASSERT_EQ(prepare(kPrepareDarkCurrent), 0);
    EXPECT_EQ(arrayOf(one.darkCurrent), ramp(8, 32668.0));
}

TEST_F(PrepareSpectrumCorrectionTest, ExtremesAccumulateWithStrictComparisons) {
    RawDataRecord& one = mapped(1);
    scanRamp(8, -3.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_DOUBLE_EQ(one.maximum, 4.0);
    EXPECT_DOUBLE_EQ(one.maximumPercent, 100.0 * 4.0 / 32767.0);
    EXPECT_DOUBLE_EQ(one.minimum, -3.0);
    EXPECT_DOUBLE_EQ(one.minimumPercent, 300.0 / 32767.0);
    scanRamp(8, 0.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_DOUBLE_EQ(one.maximum, 7.0);
    EXPECT_DOUBLE_EQ(one.minimum, -3.0);
    // A dark current tracks nothing.
    scanRamp(8, 1000.0);
    ASSERT_EQ(prepare(kPrepareDarkCurrent), 0);
    EXPECT_DOUBLE_EQ(one.maximum, 7.0);
}

TEST_F(PrepareSpectrumCorrectionTest, ExtremesCoverEveryPixelWhateverTheCount) {
    // The highest and the lowest value at every place, for counts that fill
    // groups of pixels exactly and counts that leave some over.
    for (uint32_t n : {2u, 5u, 7u, 9u}) {
        for (uint32_t high = 0; high < n; ++high) {
            SCOPED_TRACE(::testing::Message() << n << " pixels, highest at " << high);
            RawDataRecord& one = mapped(1);
            setPixels(n);
            for (uint32_t i = 0; i < n; ++i) {
                scan(i, 10.0);
            }
            scan(high, 50.0);
            scan((high + 1) % n, -5.0);
            ASSERT_EQ(prepare(kPrepareSpectrum), 0);
            EXPECT_DOUBLE_EQ(one.maximum, 50.0);
            EXPECT_DOUBLE_EQ(one.minimum, -5.0);
            ReleaseAllRawData();
        }
    }
}

TEST_F(PrepareSpectrumCorrectionTest, MirroredSensorsReverseTheirValues) {
    for (uint32_t type : {1u, 14u, 15u}) {
        SCOPED_TRACE(type);
        slot->sensorType[0] = type;
        RawDataRecord& one = mapped(1);
        scanRamp(8);
        ASSERT_EQ(prepare(kPrepareSpectrum), 0);
        EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 7.0, -1.0));
        EXPECT_EQ(arrayOf(one.pixelNumbers), ramp(8, 1.0));
        ASSERT_EQ(prepare(kPrepareDarkCurrent), 0);
        EXPECT_EQ(arrayOf(one.darkCurrent), ramp(8, 7.0, -1.0));
        ReleaseAllRawData();
    }
}

TEST_F(PrepareSpectrumCorrectionTest, OrientationFlagMirrorsOddCounts) {
    slot->sensorReversed = 1;
    setPixels(5);
    RawDataRecord& one = mapped(1);
    scanRamp(5);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(5, 4.0, -1.0));
}

struct HookLog {
    static inline std::vector<std::string> calls;
    static inline bool linearizationFails = false;
    static bool scaling(int32_t id, int32_t channel, bool dark) {
        calls.push_back("scale " + std::to_string(id) + " " + std::to_string(channel) + " " +
                        (dark ? "dark" : "spectrum"));
        return true;
    }
    static bool linearization(RawDataRecord&, int32_t kind, int32_t n, int32_t k) {
        calls.push_back("lin " + std::to_string(kind) + " " + std::to_string(n) + " " +
                        std::to_string(k));
        if (linearizationFails) {
            recordError(0, 2, 510, 77);
            return false;
        }
        return true;
    }
};

class PrepareSpectrumHookTest : public PrepareSpectrumCorrectionTest {
protected:
    void SetUp() override {
        PrepareSpectrumCorrectionTest::SetUp();
        HookLog::calls.clear();
        HookLog::linearizationFails = false;
        setPrepareSpectrumHooks({&HookLog::scaling, &HookLog::linearization});
    }
};

TEST_F(PrepareSpectrumHookTest, BoardTypeEightReadsChannelBlocksAndScales) {
    slot->boardType = kTypeUsb2;
    block().MuxMode = 2;
    block().MuxChanNum = 3;
    slot->muxType = 3;
    RawDataRecord& one = mapped(1);
    RawDataRecord& three = mapped(3);
    mapped(2);
    scanRamp(32);
    ASSERT_EQ(prepare(kPrepareDarkCurrent), 0);
    EXPECT_EQ(arrayOf(one.darkCurrent), ramp(8, 0.0));
    EXPECT_EQ(arrayOf(three.darkCurrent), ramp(8, 0.0));
    one.DarkCurrentCorrectionMode = 0;
    three.DarkCurrentCorrectionMode = 0;
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 8.0));
    EXPECT_EQ(arrayOf(three.spectrum), ramp(8, 24.0));
    // The scaling tracks the extremes of type 8 itself.
    EXPECT_DOUBLE_EQ(one.maximum, kResetMaximum);
    EXPECT_EQ(HookLog::calls,
              (std::vector<std::string>{"scale 1 0 dark", "scale 1 1 dark", "scale 1 2 dark",
                                        "scale 1 0 spectrum", "scale 1 1 spectrum",
                                        "scale 1 2 spectrum"}));
}

TEST_F(PrepareSpectrumHookTest, BoardTypeEightWithUnsignedFrontEndReadsPlainlyUnscaled) {
    slot->boardType = kTypeUsb2;
    slot->frontEndType = 2;
    RawDataRecord& one = mapped(1);
    scanRamp(16);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(arrayOf(one.spectrum), ramp(8, 32768.0));
    EXPECT_DOUBLE_EQ(one.maximum, 32775.0);
    EXPECT_TRUE(HookLog::calls.empty());
}

TEST_F(PrepareSpectrumHookTest, LinearizationRunsForLoadedRecordsOnly) {
    block().AcquisitionMode = 2;
    block().NumScans = 2;
    dataArea(16);
    RawDataRecord& one = mapped(1);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_TRUE(HookLog::calls.empty());
    one.linearizationFlags = 1;
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    ASSERT_EQ(prepare(kPrepareDarkCurrent), 0);
    EXPECT_EQ(HookLog::calls, (std::vector<std::string>{"lin 1 8 1", "lin 1 8 2", "lin 0 8 1"}));
}

TEST_F(PrepareSpectrumHookTest, LinearizationFailureKeepsItsCodeAtLevelFour) {
    RawDataRecord& one = mapped(1);
    one.linearizationFlags = 1;
    HookLog::linearizationFails = true;
    EXPECT_EQ(prepare(kPrepareSpectrum), -1);
    expectFailure(4, 510, 77);
    EXPECT_EQ(prepare(kPrepareDarkCurrent), -1);
    expectFailure(4, 510, 77);
}

TEST_F(PrepareSpectrumCorrectionTest, RevisionPixelAtTheStartTakesItsNeighbour) {
    revisionSensor({0, 65535, 65535, 65535, 65535});
    RawDataRecord& one = mapped(1);
    scanRamp(1024, 1.0);
    scan(0, 30000.0); // excluded from the extremes
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(*one.spectrum.GetElementPtr(0), 2.0);
    EXPECT_EQ(*one.spectrum.GetElementPtr(1), 2.0);
    EXPECT_DOUBLE_EQ(one.maximum, 1024.0);
    EXPECT_DOUBLE_EQ(one.minimum, 2.0);
}

TEST_F(PrepareSpectrumCorrectionTest, RevisionPixelInsideTakesTheMeanOfItsNeighbours) {
    revisionSensor({500, 65535, 65535, 65535, 65535});
    RawDataRecord& one = mapped(1);
    scanRamp(1024, 0.0);
    scan(499, 10.0);
    scan(501, 20.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(*one.spectrum.GetElementPtr(500), 15.0);
}

TEST_F(PrepareSpectrumCorrectionTest, NeighbouringRevisionPixelsAreSkipped) {
    revisionSensor({500, 501, 1023, 1022, 65535});
    RawDataRecord& one = mapped(1);
    scanRamp(1024, 0.0);
    ASSERT_EQ(prepare(kPrepareSpectrum), 0);
    EXPECT_EQ(*one.spectrum.GetElementPtr(500), (499.0 + 502.0) / 2.0);
    EXPECT_EQ(*one.spectrum.GetElementPtr(1023), 1021.0);
    // 1022's right neighbour is the last pixel: it takes its left one.
    EXPECT_EQ(*one.spectrum.GetElementPtr(1022), 1021.0);
}

TEST_F(PrepareSpectrumCorrectionTest, RevisionPixelsNeedTheFlagAndAFileSensor) {
    revisionSensor({3, 65535, 65535, 65535, 65535});
    EXPECT_TRUE(HasRevisionPixels(kId));
    EXPECT_TRUE(IsRevisionPixel(kId, 3));
    EXPECT_FALSE(IsRevisionPixel(kId, 4));
    EXPECT_FALSE(IsRevisionPixel(kId, -1));
    slot->pixelCount[0] = 3;
    EXPECT_FALSE(IsRevisionPixel(kId, 3));
    slot->pixelCount[0] = 1024;
    slot->sensorType[0] = 7;
    EXPECT_FALSE(IsRevisionPixel(kId, 3));
    slot->revisionPixelFlag = 0;
    EXPECT_FALSE(HasRevisionPixels(kId));
    EXPECT_FALSE(HasRevisionPixels(5)); // no slot
}

TEST_F(PrepareSpectrumCorrectionTest, RepairStaysInsideTheSpectrum) {
    revisionSensor({0, 65535, 65535, 65535, 65535});
    RawDataRecord& one = mapped(1);
    setArray(one.spectrum, ramp(16, 0.0));
    std::lock_guard lock(deviceLock());
    EXPECT_FALSE(RepairRevisionPixel(kId, 8, 0, 0));
    EXPECT_FALSE(RepairRevisionPixel(kId, -1, 0, 0));
    EXPECT_FALSE(RepairRevisionPixel(kId, 1, 0, 0)); // no record on channel 2
    EXPECT_FALSE(RepairRevisionPixel(kId, 0, 0, 1024));
    // The channel claims 1024 pixels, the record holds 16: nothing beyond it.
    EXPECT_FALSE(RepairRevisionPixel(kId, 0, 8, 500));
    EXPECT_FALSE(RepairRevisionPixel(kId, 0, 0, 1023));
    EXPECT_FALSE(RepairRevisionPixel(kId, 0, 16, 0));
    EXPECT_EQ(arrayOf(one.spectrum), ramp(16, 0.0));
    EXPECT_TRUE(RepairRevisionPixel(kId, 0, 8, 0));
    EXPECT_EQ(*one.spectrum.GetElementPtr(8), 9.0);
    EXPECT_TRUE(RepairRevisionPixel(kId, 0, 0, 5));
    EXPECT_EQ(*one.spectrum.GetElementPtr(5), 5.0);
}

TEST_F(PrepareSpectrumCorrectionTest, RepairOfAOnePixelChannelReadsNothingOutside) {
    revisionSensor({0, 65535, 65535, 65535, 65535});
    slot->pixelCount[0] = 1;
    RawDataRecord& one = mapped(1);
    setArray(one.spectrum, {7.0});
    std::lock_guard lock(deviceLock());
    EXPECT_FALSE(RepairRevisionPixel(kId, 0, 0, 0));
    EXPECT_EQ(arrayOf(one.spectrum), std::vector<double>{7.0});
}

} // namespace
} // namespace tarvik::testing
