// Raw-data records on channels: the mapping, unmapping by a free, the
// intensity reset of an acquisition and the slot's dark pixel range.

#include "raw_data_fixture.h"

#include "core/locks.h"

#include <mutex>

namespace tarvik::testing {
namespace {

class RawDataMappingTest : public RawDataTest {};

TEST_F(RawDataMappingTest, MappingCopiesTheChannelsSensorDescription) {
    DeviceSlot& slot = addSlot(1, kTypeUsb);
    slot.sensorType[2] = 7;
    slot.pixelCount[2] = 1044;
    slot.rows[2] = 64;
    slot.fourthSensorWord[2] = 5;
    uint32_t handle = alloc();
    ASSERT_EQ(KORAL_ParaSetMapping(&handle, 3, 1), 0);
    EXPECT_EQ(slot.mappedRecords[2], findRawDataRecord(handle));
    EXPECT_EQ(mappedRawDataRecord(slot, 2), findRawDataRecord(handle));
    EXPECT_EQ(mappedRawDataRecord(slot, 0), nullptr);
    EXPECT_EQ(mappedRawDataRecord(slot, 8), nullptr);
    EXPECT_EQ(mappedRawDataRecord(slot, -1), nullptr);
    const RawDataRecord& rec = recordOf(handle);
    EXPECT_EQ(rec.sensorType, 7);
    EXPECT_EQ(rec.channelPixelCount, 1044);
    EXPECT_EQ(rec.rows, 64);
    EXPECT_EQ(rec.fourthSensorWord, 5);
    EXPECT_TRUE(ui->boxes().empty());
}

TEST_F(RawDataMappingTest, MappingRefusesBadChannelsMissingSlotsAndMissingRecords) {
    addSlot(1, kTypeUsb);
    uint32_t handle = alloc();
    EXPECT_EQ(KORAL_ParaSetMapping(&handle, 0, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_ParaSetMapping");
    EXPECT_EQ(KORAL_ParaSetMapping(&handle, 9, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_ParaSetMapping");
    EXPECT_EQ(KORAL_ParaSetMapping(&handle, 1, 2), -1);
    EXPECT_RECORD(5, 504, 0, 2, "KORAL_ParaSetMapping");
    EXPECT_EQ(KORAL_ParaSetMapping(&handle, 1, 16), -1);
    EXPECT_RECORD(5, 505, 818, 16, "KORAL_ParaSetMapping");

    uint32_t zero = 0;
    EXPECT_EQ(KORAL_ParaSetMapping(&zero, 1, 1), -1);
    EXPECT_RECORD(5, 505, 806, 1, "KORAL_ParaSetMapping");
    EXPECT_EQ(KORAL_ParaSetMapping(nullptr, 1, 1), -1);
    EXPECT_RECORD(5, 505, 806, 1, "KORAL_ParaSetMapping");
    uint32_t stale = handle;
    uint32_t copy = handle;
    ASSERT_EQ(KORAL_FreeRawData(&copy), 0);
    EXPECT_EQ(KORAL_ParaSetMapping(&stale, 1, 1), -1);
    EXPECT_RECORD(5, 505, 806, 1, "KORAL_ParaSetMapping");
    EXPECT_EQ(deviceSlot(1)->mappedRecords[0], nullptr);
    EXPECT_EQ(ui->boxes().size(), 7u);
}

TEST_F(RawDataMappingTest, AChannelTakesTheLastRecordMappedToIt) {
    DeviceSlot& slot = addSlot(1, kTypeUsb);
    uint32_t first = alloc();
    uint32_t second = alloc();
    ASSERT_EQ(KORAL_ParaSetMapping(&first, 1, 1), 0);
    ASSERT_EQ(KORAL_ParaSetMapping(&second, 1, 1), 0);
    EXPECT_EQ(slot.mappedRecords[0], findRawDataRecord(second));
    // The first record is no longer filled but stays allocated.
    EXPECT_NE(findRawDataRecord(first), nullptr);
    ASSERT_EQ(KORAL_FreeRawData(&first), 0);
    EXPECT_EQ(slot.mappedRecords[0], findRawDataRecord(second));
}

TEST_F(RawDataMappingTest, FreeUnmapsTheRecordFromEveryChannelOfEverySlot) {
    DeviceSlot& one = addSlot(1, kTypeUsb);
    DeviceSlot& two = addSlot(2, kTypeUsb);
    uint32_t shared = alloc();
    uint32_t other = alloc();
    ASSERT_EQ(KORAL_ParaSetMapping(&shared, 2, 1), 0);
    ASSERT_EQ(KORAL_ParaSetMapping(&shared, 1, 2), 0);
    ASSERT_EQ(KORAL_ParaSetMapping(&other, 3, 1), 0);
    // ID 0 passes the check and lands in the scratch slot.
    ASSERT_EQ(KORAL_ParaSetMapping(&shared, 8, 0), 0);
    EXPECT_EQ(deviceSlot(0)->mappedRecords[7], findRawDataRecord(shared));

    ASSERT_EQ(KORAL_FreeRawData(&shared), 0);
    EXPECT_EQ(one.mappedRecords[1], nullptr);
    EXPECT_EQ(two.mappedRecords[0], nullptr);
    EXPECT_EQ(deviceSlot(0)->mappedRecords[7], nullptr);
    EXPECT_EQ(one.mappedRecords[2], findRawDataRecord(other));
}

TEST_F(RawDataMappingTest, RecordsOutliveTheirSlotAndAReopenedSlotHasNoMappings) {
    addSlot(3, kTypeUsb);
    uint32_t handle = alloc();
    ASSERT_EQ(KORAL_ParaSetMapping(&handle, 1, 3), 0);
    {
        std::lock_guard guard(deviceLock());
        ASSERT_EQ(FreeDeviceSlot(3), 0);
    }
    EXPECT_NE(findRawDataRecord(handle), nullptr);
    DeviceSlot& reopened = addSlot(3, kTypeUsb);
    EXPECT_EQ(reopened.mappedRecords[0], nullptr);
    EXPECT_EQ(KORAL_FreeRawData(&handle), 0);
}

TEST_F(RawDataMappingTest, IntensityResetTouchesOnlyTheRecordsOfTheSlot) {
    addSlot(1, kTypeUsb);
    addSlot(2, kTypeUsb);
    uint32_t mapped = alloc();
    uint32_t elsewhere = alloc();
    ASSERT_EQ(KORAL_ParaSetMapping(&mapped, 4, 1), 0);
    ASSERT_EQ(KORAL_ParaSetMapping(&elsewhere, 1, 2), 0);
    for (uint32_t handle : {mapped, elsewhere}) {
        RawDataRecord& rec = recordOf(handle);
        rec.maximum = 500.0;
        rec.minimum = 20.0;
        rec.maximumPercent = 1.5;
        rec.minimumPercent = -0.1;
    }
    EXPECT_TRUE(ResetChannelIntensityLimits(1));
    double minimum = 0, maximum = 0, minimumPercent = 0, maximumPercent = 0;
    ASSERT_EQ(
        KORAL_GetStoredIntensity(&mapped, &minimum, &maximum, &minimumPercent, &maximumPercent), 0);
    EXPECT_EQ(minimum, 100000.0);
    EXPECT_EQ(maximum, -100000.0);
    EXPECT_EQ(minimumPercent, 100.0);
    EXPECT_EQ(maximumPercent, -100.0);
    EXPECT_EQ(recordOf(elsewhere).maximum, 500.0);
    EXPECT_EQ(recordOf(elsewhere).minimumPercent, -0.1);
    EXPECT_TRUE(ResetChannelIntensityLimits(9)); // no slot: nothing to do
}

TEST_F(RawDataMappingTest, DarkPixelRangeAcceptsOnePixelAndUpToPixelNine) {
    DeviceSlot& slot = addInitialisedSlot(1);
    EXPECT_EQ(KORAL_ParaSetDarkCurrCorrModeOverFirstPixel(1, 3, 3, 1), 0);
    EXPECT_EQ(slot.darkPixelRangeOn, 1);
    EXPECT_EQ(slot.firstDarkPixel, 3u);
    EXPECT_EQ(slot.lastDarkPixel, 3u);
    EXPECT_EQ(KORAL_ParaSetDarkCurrCorrModeOverFirstPixel(1, 0, 9, 1), 0);
    EXPECT_EQ(slot.lastDarkPixel, 9u);

    for (auto [first, last] : {std::pair{0, 10}, {5, 4}, {-1, 2}, {0, -1}}) {
        EXPECT_EQ(KORAL_ParaSetDarkCurrCorrModeOverFirstPixel(1, first, last, 1), -1)
            << first << ".." << last;
        EXPECT_RECORD(5, 505, 831, 1, "KORAL_ParaSetDarkCurrCorrModeOverFirstPixel");
    }
    EXPECT_EQ(slot.firstDarkPixel, 0u);
    EXPECT_EQ(slot.lastDarkPixel, 9u);
    EXPECT_EQ(ui->boxes().size(), 4u);

    // Off ignores the pixels.
    EXPECT_EQ(KORAL_ParaSetDarkCurrCorrModeOverFirstPixel(0, 7, 2, 1), 0);
    EXPECT_EQ(slot.darkPixelRangeOn, 0);
    EXPECT_EQ(slot.firstDarkPixel, 0u);
    EXPECT_EQ(slot.lastDarkPixel, 0u);
}

TEST_F(RawDataMappingTest, DarkPixelRangeNeedsAnInitialisedInterface) {
    DeviceSlot& slot = addSlot(2, kTypeUsb);
    EXPECT_EQ(KORAL_ParaSetDarkCurrCorrModeOverFirstPixel(1, 0, 3, 2), -1);
    EXPECT_RECORD(5, 507, 0, 2, "KORAL_ParaSetDarkCurrCorrModeOverFirstPixel");
    EXPECT_EQ(KORAL_ParaSetDarkCurrCorrModeOverFirstPixel(1, 0, 3, 4), -1);
    EXPECT_RECORD(5, 504, 0, 4, "KORAL_ParaSetDarkCurrCorrModeOverFirstPixel");
    EXPECT_EQ(slot.darkPixelRangeOn, 0);
}

} // namespace
} // namespace tarvik::testing
