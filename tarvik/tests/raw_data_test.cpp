// Raw-data records: allocation and release through handles, the stored-value
// exports, the dark-current exports and the failure paths.

#include "raw_data_fixture.h"

#include "platform/handle_table.h"

#include <array>

namespace tarvik::testing {
namespace {

constexpr double kUnset = -7.5; // sentinel in output buffers

TEST_F(RawDataTest, NewRecordHoldsItsInitialValues) {
    uint32_t handle = alloc();
    const RawDataRecord& rec = recordOf(handle);
    EXPECT_EQ(rec.self, handle);
    EXPECT_EQ(rec.DarkCurrentCorrectionMode, 1);
    EXPECT_EQ(rec.sensorType, -1);
    EXPECT_EQ(rec.channelPixelCount, -1);
    EXPECT_EQ(rec.rows, -1);
    EXPECT_EQ(rec.fourthSensorWord, -1);
    EXPECT_NE(rec.linearization, nullptr);
    EXPECT_EQ(rec.linearizationFlags, 0u);
    EXPECT_EQ(rec.spectrum.GetSize(), 0);
    EXPECT_EQ(rec.darkCurrent.GetSize(), 0);

    std::array<double, 4> spectrum{kUnset, kUnset, kUnset, kUnset};
    EXPECT_EQ(KORAL_GetStoredRawData(&handle, spectrum.data()), 0);
    EXPECT_EQ(spectrum, (std::array<double, 4>{kUnset, kUnset, kUnset, kUnset}));

    std::array<uint16_t, 6> time{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(KORAL_GetStoredTime(&handle, time.data()), -1);
    EXPECT_RECORD(5, 506, 808, 0, "KORAL_GetStoredTime");
    EXPECT_EQ(time, (std::array<uint16_t, 6>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(ui->boxes().size(), 1u);

    double minimum = 0, maximum = 0, minimumPercent = 0, maximumPercent = 0;
    EXPECT_EQ(
        KORAL_GetStoredIntensity(&handle, &minimum, &maximum, &minimumPercent, &maximumPercent), 0);
    EXPECT_EQ(minimum, 100000.0);
    EXPECT_EQ(maximum, -100000.0);
    EXPECT_EQ(minimumPercent, 100.0);
    EXPECT_EQ(maximumPercent, -100.0);

    int32_t darkState = 9, average = 9;
    double integration = 9.0;
    EXPECT_EQ(KORAL_GetStoredDarkModeSettings(&handle, &darkState), 0);
    EXPECT_EQ(darkState, 0);
    EXPECT_EQ(KORAL_GetStoredAverageNumber(&handle, &average), 0);
    EXPECT_EQ(average, 0);
    EXPECT_EQ(KORAL_GetStoredIntegrationtime(&handle, &integration), 0);
    EXPECT_EQ(integration, 0.0);
}

TEST_F(RawDataTest, AllocationRefusesAVariableThatIsNotZero) {
    uint32_t handle = alloc();
    const uint32_t first = handle;
    EXPECT_EQ(KORAL_AllocRawData(&handle), -1);
    EXPECT_RECORD(5, 505, 806, 0, "KORAL_AllocRawData");
    EXPECT_EQ(handle, first);
    EXPECT_EQ(rawDataRecordCount(), 1u);

    uint32_t garbage = 0x12345678;
    EXPECT_EQ(KORAL_AllocRawData(&garbage), -1);
    EXPECT_EQ(garbage, 0x12345678u);
    EXPECT_EQ(KORAL_AllocRawData(nullptr), -1);
    EXPECT_RECORD(5, 505, 806, 0, "KORAL_AllocRawData");
    EXPECT_EQ(rawDataRecordCount(), 1u);
}

TEST_F(RawDataTest, FreeingTwiceFindsZeroTheSecondTime) {
    uint32_t handle = alloc();
    EXPECT_EQ(KORAL_FreeRawData(&handle), 0);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(rawDataRecordCount(), 0u);
    EXPECT_EQ(KORAL_FreeRawData(&handle), -1);
    EXPECT_RECORD(5, 505, 806, 0, "KORAL_FreeRawData");
    EXPECT_EQ(KORAL_FreeRawData(nullptr), -1);
    EXPECT_RECORD(5, 505, 806, 0, "KORAL_FreeRawData");
}

TEST_F(RawDataTest, StaleHandleOfAFreedRecordIsRefusedAfterItsSlotIsReused) {
    uint32_t handle = alloc();
    uint32_t stale = handle;
    const uint32_t staleValue = stale;
    ASSERT_EQ(KORAL_FreeRawData(&handle), 0);
    uint32_t reused = alloc();
    // The table slot was reused; only the generation tells them apart.
    EXPECT_EQ(reused & 0xFFFF, stale & 0xFFFF);
    EXPECT_NE(reused, stale);

    RawDataRecord& live = recordOf(reused);
    live.DarkCurrentCorrectionMode = 0;
    EXPECT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&stale, 1), -1);
    EXPECT_RECORD(5, 505, 806, 0, "KORAL_ParaSetDarkCurrentCorrectionMode");
    EXPECT_EQ(live.DarkCurrentCorrectionMode, 0);
    EXPECT_EQ(KORAL_FreeRawData(&stale), -1);
    EXPECT_RECORD(5, 505, 806, 0, "KORAL_FreeRawData");
    EXPECT_EQ(stale, staleValue); // the variable keeps its value
    EXPECT_EQ(rawDataRecordCount(), 1u);
    EXPECT_EQ(findRawDataRecord(stale), nullptr);
    EXPECT_EQ(findRawDataRecord(reused), &live);
}

TEST_F(RawDataTest, EveryRecordExportRefusesAMissingRecord) {
    uint32_t zero = 0;
    uint32_t unknown = 0x00070003; // never handed out
    double values[2] = {kUnset, kUnset};
    for (uint32_t* handle : {&zero, &unknown, static_cast<uint32_t*>(nullptr)}) {
        EXPECT_EQ(KORAL_GetStoredRawData(handle, values), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredRawData");
        EXPECT_EQ(KORAL_GetStoredPixelnumber(handle, values), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredPixelnumber");
        EXPECT_EQ(KORAL_GetStoredDarkcurrentData(handle, values), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredDarkcurrentData");
        EXPECT_EQ(KORAL_GetStoredIntensity(handle, values, nullptr, nullptr, nullptr), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredIntensity");
        EXPECT_EQ(KORAL_DeleteDarkcurrentData(handle), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_DeleteDarkcurrentData");
        EXPECT_EQ(KORAL_SaveDarkcurrentData(handle), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_SaveDarkcurrentData");
        EXPECT_EQ(KORAL_RestoreDarkcurrentData(handle), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_RestoreDarkcurrentData");
        EXPECT_EQ(KORAL_DarkCurrentCorrWithFirstPixel(handle, 1), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_DarkCurrentCorrWithFirstPixel");
        EXPECT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(handle, 1), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_ParaSetDarkCurrentCorrectionMode");
    }
    // Arrays without a rec are left alone.
    EXPECT_EQ(values[0], kUnset);
    EXPECT_EQ(values[1], kUnset);
    EXPECT_EQ(ui->boxes().size(), 27u);
}

TEST_F(RawDataTest, SingleValuesWithoutARecordGetTheirDefaults) {
    uint32_t unknown = 0x00020001;
    for (uint32_t* handle : {static_cast<uint32_t*>(nullptr), &unknown}) {
        int32_t darkState = 5, average = 5;
        double integration = 5.0;
        std::array<uint16_t, 6> time{7, 7, 7, 7, 7, 7};
        EXPECT_EQ(KORAL_GetStoredDarkModeSettings(handle, &darkState), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredDarkModeSettings");
        EXPECT_EQ(KORAL_GetStoredAverageNumber(handle, &average), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredAverageNumber");
        EXPECT_EQ(KORAL_GetStoredIntegrationtime(handle, &integration), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredIntegrationtime");
        EXPECT_EQ(KORAL_GetStoredTime(handle, time.data()), -1);
        EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredTime");
        EXPECT_EQ(darkState, 0);
        EXPECT_EQ(average, 0);
        EXPECT_EQ(integration, 0.0);
        EXPECT_EQ(time, (std::array<uint16_t, 6>{}));
    }
    // Null outputs as well: refused, nothing written.
    uint32_t zero = 0;
    EXPECT_EQ(KORAL_GetStoredDarkModeSettings(&zero, nullptr), -1);
    EXPECT_EQ(KORAL_GetStoredTime(&zero, nullptr), -1);
    EXPECT_RECORD(5, 505, 806, 0, "KORAL_GetStoredTime");
}

TEST_F(RawDataTest, NullOutputsAreRefusedExceptForTheIntensities) {
    uint32_t handle = alloc();
    RawDataRecord& rec = recordOf(handle);
    rec.pixelCount = 2;
    setArray(rec.spectrum, {1.0, 2.0});
    setArray(rec.pixelNumbers, {1.0, 2.0});
    setArray(rec.darkCurrent, {0.5, 0.5});
    rec.time.year = 2024;
    const char* names[] = {"KORAL_GetStoredRawData",
                           "KORAL_GetStoredPixelnumber",
                           "KORAL_GetStoredDarkcurrentData",
                           "KORAL_GetStoredDarkModeSettings",
                           "KORAL_GetStoredAverageNumber",
                           "KORAL_GetStoredIntegrationtime",
                           "KORAL_GetStoredTime"};
    const int32_t results[] = {
        KORAL_GetStoredRawData(&handle, nullptr),
        KORAL_GetStoredPixelnumber(&handle, nullptr),
        KORAL_GetStoredDarkcurrentData(&handle, nullptr),
        KORAL_GetStoredDarkModeSettings(&handle, nullptr),
        KORAL_GetStoredAverageNumber(&handle, nullptr),
        KORAL_GetStoredIntegrationtime(&handle, nullptr),
        KORAL_GetStoredTime(&handle, nullptr),
    };
    for (size_t i = 0; i < std::size(results); ++i) {
        EXPECT_EQ(results[i], -1) << names[i];
    }
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_GetStoredTime");
    EXPECT_EQ(ui->boxes().size(), std::size(results));

    double maximum = 0;
    EXPECT_EQ(KORAL_GetStoredIntensity(&handle, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(KORAL_GetStoredIntensity(&handle, nullptr, &maximum, nullptr, nullptr), 0);
    EXPECT_EQ(maximum, -100000.0);
}

TEST_F(RawDataTest, FailedAllocationsLeaveNothingBehind) {
    for (RawDataAllocFault fault :
         {RawDataAllocFault::kRecord, RawDataAllocFault::kLinearization}) {
        injectRawDataAllocFault(fault);
        uint32_t handle = 0;
        EXPECT_EQ(KORAL_AllocRawData(&handle), -1);
        EXPECT_RECORD(2, 201, 0, 0, "KORAL_AllocRawData");
        EXPECT_EQ(handle, 0u);
        EXPECT_EQ(rawDataRecordCount(), 0u);
    }
    // The fault was used up: the next allocation succeeds.
    uint32_t handle = alloc();
    EXPECT_NE(recordOf(handle).linearization, nullptr);
}

TEST_F(RawDataTest, AllocationFailsOnceEveryHandleIsInUse) {
    const uint32_t capacity = platform::HandleTable<int>::kMaxCapacity;
    std::vector<uint32_t> handles(capacity, 0);
    for (uint32_t& handle : handles) {
        ASSERT_EQ(KORAL_AllocRawData(&handle), 0);
    }
    uint32_t extra = 0;
    EXPECT_EQ(KORAL_AllocRawData(&extra), -1);
    EXPECT_RECORD(2, 201, 0, 0, "KORAL_AllocRawData");
    EXPECT_EQ(extra, 0u);
    EXPECT_EQ(rawDataRecordCount(), capacity);

    uint32_t freed = handles[100];
    ASSERT_EQ(KORAL_FreeRawData(&handles[100]), 0);
    EXPECT_EQ(KORAL_AllocRawData(&extra), 0);
    EXPECT_NE(extra, freed);
    EXPECT_EQ(findRawDataRecord(freed), nullptr);
}

TEST_F(RawDataTest, CorrectionModeTakesOneMinusOneAndZero) {
    uint32_t handle = alloc();
    RawDataRecord& rec = recordOf(handle);
    EXPECT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0), 0);
    EXPECT_EQ(rec.DarkCurrentCorrectionMode, 0);
    EXPECT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, -1), 0);
    EXPECT_EQ(rec.DarkCurrentCorrectionMode, 1);
    EXPECT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0), 0);
    EXPECT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 1), 0);
    EXPECT_EQ(rec.DarkCurrentCorrectionMode, 1);

    // Refused without a box; the rec keeps its mode.
    EXPECT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0), 0);
    EXPECT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 2), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_ParaSetDarkCurrentCorrectionMode");
    EXPECT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, -2), -1);
    EXPECT_EQ(rec.DarkCurrentCorrectionMode, 0);
    EXPECT_TRUE(ui->boxes().empty());
}

TEST_F(RawDataTest, ArraysCopyTheFirstNValues) {
    uint32_t handle = alloc();
    RawDataRecord& rec = recordOf(handle);
    // A burst of two spectra of three pixels.
    rec.pixelCount = 3;
    setArray(rec.spectrum, {10, 11, 12, 20, 21, 22});
    setArray(rec.pixelNumbers, {1, 2, 3, 1, 2, 3});
    setArray(rec.darkCurrent, {0.25, 0.5, 0.75});

    std::array<double, 4> out{kUnset, kUnset, kUnset, kUnset};
    EXPECT_EQ(KORAL_GetStoredRawData(&handle, out.data()), 0);
    EXPECT_EQ(out, (std::array<double, 4>{10, 11, 12, kUnset}));
    EXPECT_EQ(KORAL_GetStoredPixelnumber(&handle, out.data()), 0);
    EXPECT_EQ(out, (std::array<double, 4>{1, 2, 3, kUnset}));
    EXPECT_EQ(KORAL_GetStoredDarkcurrentData(&handle, out.data()), 0);
    EXPECT_EQ(out, (std::array<double, 4>{0.25, 0.5, 0.75, kUnset}));

    // N beyond what an array holds: nothing copied, still done.
    rec.pixelCount = 4;
    out.fill(kUnset);
    EXPECT_EQ(KORAL_GetStoredDarkcurrentData(&handle, out.data()), 0);
    EXPECT_EQ(out, (std::array<double, 4>{kUnset, kUnset, kUnset, kUnset}));
    rec.pixelCount = -1;
    EXPECT_EQ(KORAL_GetStoredRawData(&handle, out.data()), 0);
    EXPECT_EQ(out[0], kUnset);
}

TEST_F(RawDataTest, SingleValuesAndTheTimeStamp) {
    uint32_t handle = alloc();
    RawDataRecord& rec = recordOf(handle);
    rec.darkState = 1;
    rec.averageNumber = 16;
    rec.integrationTime = 12.5;
    stampRecordTime(rec, RecordTime{59, 30, 23, 31, 12, 2023});

    int32_t darkState = 0, average = 0;
    double integration = 0;
    std::array<uint16_t, 6> time{};
    EXPECT_EQ(KORAL_GetStoredDarkModeSettings(&handle, &darkState), 0);
    EXPECT_EQ(darkState, 1);
    EXPECT_EQ(KORAL_GetStoredAverageNumber(&handle, &average), 0);
    EXPECT_EQ(average, 16);
    EXPECT_EQ(KORAL_GetStoredIntegrationtime(&handle, &integration), 0);
    EXPECT_EQ(integration, 12.5);
    EXPECT_EQ(KORAL_GetStoredTime(&handle, time.data()), 0);
    EXPECT_EQ(time, (std::array<uint16_t, 6>{59, 30, 23, 31, 12, 2023}));
}

TEST_F(RawDataTest, DarkCurrentIsSavedRestoredAndDeleted) {
    uint32_t handle = alloc();
    RawDataRecord& rec = recordOf(handle);
    rec.pixelCount = 3;
    setArray(rec.darkCurrent, {1, 2, 3});
    setArray(rec.savedDarkCurrent, {7, 8, 9});

    EXPECT_EQ(KORAL_SaveDarkcurrentData(&handle), 0);
    EXPECT_EQ(arrayOf(rec.savedDarkCurrent), (std::vector<double>{1, 2, 3}));
    setArray(rec.darkCurrent, {4, 5, 6});
    EXPECT_EQ(KORAL_RestoreDarkcurrentData(&handle), 0);
    EXPECT_EQ(arrayOf(rec.darkCurrent), (std::vector<double>{1, 2, 3}));

    // Delete empties only the dark current; a restore then copies nothing.
    EXPECT_EQ(KORAL_DeleteDarkcurrentData(&handle), 0);
    EXPECT_EQ(rec.darkCurrent.GetSize(), 0);
    EXPECT_EQ(KORAL_RestoreDarkcurrentData(&handle), 0);
    EXPECT_EQ(rec.darkCurrent.GetSize(), 0);
    EXPECT_EQ(arrayOf(rec.savedDarkCurrent), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(KORAL_SaveDarkcurrentData(&handle), 0);
    EXPECT_EQ(arrayOf(rec.savedDarkCurrent), (std::vector<double>{1, 2, 3}));
}

TEST_F(RawDataTest, SaveCopiesNothingIntoASmallerSavedArray) {
    uint32_t handle = alloc();
    RawDataRecord& rec = recordOf(handle);
    rec.pixelCount = 3;
    setArray(rec.darkCurrent, {1, 2, 3});
    setArray(rec.savedDarkCurrent, {9});
    EXPECT_EQ(KORAL_SaveDarkcurrentData(&handle), 0);
    EXPECT_EQ(arrayOf(rec.savedDarkCurrent), (std::vector<double>{9}));
}

TEST_F(RawDataTest, FirstPixelCorrectionSubtractsTheirMean) {
    uint32_t handle = alloc();
    RawDataRecord& rec = recordOf(handle);
    setArray(rec.spectrum, {2, 4, 10, 20, 30, 40});
    setArray(rec.pixelNumbers, {1, 2, 3, 4}); // the last two values have none

    EXPECT_EQ(KORAL_DarkCurrentCorrWithFirstPixel(&handle, 6), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_DarkCurrentCorrWithFirstPixel");
    EXPECT_EQ(KORAL_DarkCurrentCorrWithFirstPixel(&handle, 0), -1);
    EXPECT_EQ(KORAL_DarkCurrentCorrWithFirstPixel(&handle, -3), -1);
    EXPECT_EQ(ui->boxes().size(), 3u);
    EXPECT_EQ(rec.darkState, 0);
    EXPECT_EQ(arrayOf(rec.spectrum), (std::vector<double>{2, 4, 10, 20, 30, 40}));

    EXPECT_EQ(KORAL_DarkCurrentCorrWithFirstPixel(&handle, 2), 0);
    EXPECT_EQ(arrayOf(rec.spectrum), (std::vector<double>{-1, 1, 7, 17, 30, 40}));
    EXPECT_EQ(rec.darkState, 1);

    EXPECT_EQ(KORAL_DarkCurrentCorrWithFirstPixel(&handle, 5), 0); // mean 10.8
    const std::vector<double> expected{-11.8, -9.8, -3.8, 6.2, 30, 40};
    const std::vector<double> corrected = arrayOf(rec.spectrum);
    ASSERT_EQ(corrected.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(corrected[i], expected[i], 1e-9) << i;
    }
}

TEST_F(RawDataTest, FirstPixelCorrectionOfAnEmptyRecordIsRefused) {
    uint32_t handle = alloc();
    EXPECT_EQ(KORAL_DarkCurrentCorrWithFirstPixel(&handle, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_DarkCurrentCorrWithFirstPixel");
    EXPECT_EQ(recordOf(handle).darkState, 0);
}

TEST_F(RawDataTest, IntensityTrackingIsStrictAndAsksAboutNewExtremesOnly) {
    uint32_t handle = alloc();
    RawDataRecord& rec = recordOf(handle);
    int asked = 0;
    const auto notExcluded = [&] {
        ++asked;
        return false;
    };
    trackIntensity(rec, 100.0, 32767.0, notExcluded);
    EXPECT_EQ(rec.maximum, 100.0);
    EXPECT_EQ(rec.minimum, 100.0);
    EXPECT_DOUBLE_EQ(rec.maximumPercent, 100.0 * 100.0 / 32767.0);
    EXPECT_DOUBLE_EQ(rec.minimumPercent, -100.0 * 100.0 / 32767.0);
    EXPECT_EQ(asked, 2);

    asked = 0;
    trackIntensity(rec, 100.0, 32767.0, notExcluded); // equal: no new extreme
    trackIntensity(rec, 50.0, 32767.0, notExcluded);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(rec.minimum, 50.0);
    EXPECT_EQ(rec.maximum, 100.0);

    // An excluded pixel (a revision pixel) leaves the extremes.
    trackIntensity(rec, 60000.0, 65535.0, [] { return true; });
    EXPECT_EQ(rec.maximum, 100.0);

    double minimum = 0, maximum = 0, minimumPercent = 0, maximumPercent = 0;
    ASSERT_EQ(
        KORAL_GetStoredIntensity(&handle, &minimum, &maximum, &minimumPercent, &maximumPercent), 0);
    EXPECT_EQ(minimum, 50.0);
    EXPECT_EQ(maximum, 100.0);
    EXPECT_DOUBLE_EQ(minimumPercent, -100.0 * 50.0 / 32767.0);
    EXPECT_DOUBLE_EQ(maximumPercent, 100.0 * 100.0 / 32767.0);
}

TEST_F(RawDataTest, TheRecordsOwnHandleFieldServesAsAHandleVariable) {
    uint32_t handle = alloc();
    RawDataRecord& rec = recordOf(handle);
    rec.averageNumber = 3;
    int32_t average = 0;
    EXPECT_EQ(KORAL_GetStoredAverageNumber(&rec.self, &average), 0);
    EXPECT_EQ(average, 3);
}

TEST_F(RawDataTest, LocalTimeIsACalendarDate) {
    const RecordTime now = localRecordTime();
    EXPECT_GE(now.year, 2000);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_GE(now.day, 1);
    EXPECT_LE(now.day, 31);
    EXPECT_LE(now.hour, 23);
    EXPECT_LE(now.minute, 59);
    EXPECT_LE(now.second, 60);
}

} // namespace
} // namespace tarvik::testing
