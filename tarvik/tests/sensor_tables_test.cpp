// The sensor tables, the configuration index and the exports that answer from
// them.

#include "tarvik_test.h"

#include "hardware/eeprom_image.h"
#include "hardware/sensor_tables.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <vector>

namespace tarvik::testing {
namespace {

constexpr uint32_t range(uint32_t first, uint32_t last) {
    return first | last << 16;
}

// a and b of KORAL_HWConfig_IsConfigSupported.
constexpr int32_t interfaceArg(uint32_t type, uint32_t id = 0) {
    return static_cast<int32_t>(type | id << 16);
}
constexpr int32_t frontEndArg(uint32_t type, uint32_t clock = 0) {
    return static_cast<int32_t>(type | clock << 16);
}

bool inTable(uint32_t interfaceType, uint32_t clock, uint32_t frontEnd, uint32_t mux,
             uint32_t sensor) {
    const uint32_t word = makeSensorConfigWord(interfaceType, clock, frontEnd, mux, sensor);
    return std::find(SensorConfigTable.begin(), SensorConfigTable.end(), word) !=
           SensorConfigTable.end();
}

TEST(SensorTablesTest, LengthCodesMapBothWays) {
    const std::vector<std::pair<uint32_t, uint32_t>> codes = {
        {1, 128},   {2, 256},    {4, 512},    {8, 532},   {16, 1024},   {32, 1044},
        {64, 2048}, {128, 4256}, {256, 8352}, {512, 738}, {1024, 2080},
    };
    for (const auto& [code, pixels] : codes) {
        EXPECT_EQ(SensorLengthCodeToPixels(code), static_cast<int32_t>(pixels)) << code;
        EXPECT_EQ(PixelsToSensorLengthCode(pixels), code) << pixels;
    }
    EXPECT_EQ(SensorLengthCodeToPixels(32768), -1);
    EXPECT_EQ(SensorLengthCodeToPixels(3), 0);
    EXPECT_EQ(SensorLengthCodeToPixels(0x10002), 256); // only the low 16 bits count
    EXPECT_EQ(PixelsToSensorLengthCode(0), 0);
    EXPECT_EQ(PixelsToSensorLengthCode(300), kAnyLengthCode);
}

TEST(SensorTablesTest, TypeLookupComparesTheWholeLowHalf) {
    EXPECT_EQ(FindSensorTypeIndex(7), 2);
    EXPECT_EQ(FindSensorTypeIndex(128), 0);
    EXPECT_EQ(FindSensorTypeIndex(11), 22);
    EXPECT_EQ(FindSensorTypeIndex(0x1001), -1);
    EXPECT_EQ(FindSensorTypeIndex(0x10007), 2);
    EXPECT_EQ(FindSensorTypeIndex(12), -1);
    EXPECT_EQ(FindSensorType(12), nullptr);
    ASSERT_NE(FindSensorType(22), nullptr);
    EXPECT_EQ(FindSensorType(22)->technology(), 0);
    EXPECT_EQ(FindSensorType(22)->lengthMask, 0x0200);
    EXPECT_EQ(GetSensorLengthMask(23), 0);
    EXPECT_TRUE(IsFileSensorType(0x10080));
    EXPECT_FALSE(IsFileSensorType(129));
}

TEST(SensorTablesTest, EveryTypeIsInTheTableOnce) {
    std::set<uint16_t> types;
    for (const SensorTypeRow& row : SensorTypeTable) {
        EXPECT_TRUE(types.insert(row.type()).second) << row.type();
    }
    const std::set<uint16_t> expected = {128, 0,  7,  8,  5,  13, 21, 3, 16, 1, 2, 17,
                                         14,  15, 18, 19, 20, 22, 10, 4, 9,  6, 11};
    EXPECT_EQ(types, expected);
}

TEST(SensorTablesTest, LengthSupportFollowsTheMaskAndTheAnyLengthBit) {
    const uint32_t type7 = static_cast<uint32_t>(FindSensorTypeIndex(7));
    EXPECT_TRUE(IsSensorLengthSupportedByType(type7, 300));
    EXPECT_TRUE(IsSensorLengthSupportedByType(type7, 8352));
    EXPECT_FALSE(IsSensorLengthSupportedByType(type7, 512));
    EXPECT_FALSE(IsSensorLengthSupportedByType(type7, 0));
    EXPECT_FALSE(IsSensorLengthSupportedByType(type7, 65536));
    EXPECT_FALSE(IsSensorLengthSupportedByType(23, 512));
    EXPECT_TRUE(IsAnyLengthType(type7));
    EXPECT_FALSE(IsAnyLengthType(static_cast<uint32_t>(FindSensorTypeIndex(1))));
    // The file-described type supports no length of its own.
    EXPECT_FALSE(IsSensorLengthSupportedByType(0, 1024));
}

TEST(SensorTablesTest, OlderCodesAreRemapped) {
    EXPECT_EQ(RemapSensorTypeCode(12), 11);
    EXPECT_EQ(RemapSensorTypeCode(129), 22);
    EXPECT_EQ(RemapSensorTypeCode(13), 13);
    uint8_t field[2] = {129, 0};
    RemapImageSensorType(field);
    EXPECT_EQ(field[0], 22);
    EXPECT_EQ(field[1], 0);
    uint8_t high[2] = {12, 1}; // 268 stays
    RemapImageSensorType(high);
    EXPECT_EQ(high[0], 12);
    EXPECT_EQ(high[1], 1);
}

TEST(SensorTablesTest, ClockValuesHaveTheirCodes) {
    EXPECT_EQ(ClockValueToCode(1000), 1u);
    EXPECT_EQ(ClockValueToCode(2000), 2u);
    EXPECT_EQ(ClockValueToCode(4000), 3u);
    EXPECT_EQ(ClockValueToCode(100), 4u);
    EXPECT_EQ(ClockValueToCode(8000), 5u);
    EXPECT_EQ(ClockValueToCode(0), 0u);
    EXPECT_EQ(ClockValueToCode(3000), 0u);
}

TEST(SensorTablesTest, ConfigTableIsGroupedWithDistinctWords) {
    std::array<size_t, 10> perType{};
    uint32_t previousType = 0;
    std::set<uint32_t> words;
    for (uint32_t word : SensorConfigTable) {
        EXPECT_EQ(word >> 28, 0u);
        const uint32_t type = word & 31;
        ASSERT_LT(type, perType.size());
        EXPECT_GE(type, previousType) << "not grouped by interface type";
        previousType = type;
        ++perType[type];
        EXPECT_TRUE(words.insert(word).second) << std::hex << word;
    }
    EXPECT_EQ(perType[1], 39u);
    EXPECT_EQ(perType[3], 43u);
    EXPECT_EQ(perType[4], 181u);
    EXPECT_EQ(perType[5], 103u);
    EXPECT_EQ(perType[6], 165u);
    EXPECT_EQ(perType[8], 1u);
}

TEST(SensorTablesTest, ConfigTableHoldsTheGroupsAndNothingElse) {
    // Lines that differ between the interface types.
    EXPECT_TRUE(inTable(1, 0, 2, 4, 2));
    EXPECT_TRUE(inTable(1, 0, 1, 0, 4));
    EXPECT_FALSE(inTable(3, 0, 1, 0, 4));
    EXPECT_TRUE(inTable(3, 0, 2, 6, 1));
    EXPECT_FALSE(inTable(1, 0, 2, 6, 1));
    EXPECT_TRUE(inTable(4, 0, 0, 3, 16));
    EXPECT_FALSE(inTable(6, 0, 0, 3, 16)); // front end 0 is not on type 6
    EXPECT_TRUE(inTable(6, 0, 3, 7, 2));
    EXPECT_FALSE(inTable(5, 0, 3, 7, 2)); // M of type 5 is 0 and 6
    EXPECT_TRUE(inTable(5, 0, 3, 6, 2));
    EXPECT_TRUE(inTable(6, 4, 9, 9, 2));
    EXPECT_FALSE(inTable(6, 2, 9, 9, 2));
    EXPECT_TRUE(inTable(4, 3, 10, 0, 15));
    EXPECT_FALSE(inTable(4, 2, 10, 0, 15));
    EXPECT_TRUE(inTable(5, 2, 11, 6, 17));
    EXPECT_FALSE(inTable(5, 0, 11, 6, 17));
    EXPECT_TRUE(inTable(8, 0, 8, 8, 22));
    EXPECT_FALSE(inTable(8, 0, 8, 0, 22));
}

class SensorConfigIndexTest : public TarvikTest {};

TEST_F(SensorConfigIndexTest, IndexIsBuiltAtLoad) {
    EXPECT_EQ(sensorConfigIndexEntry(1), range(0, 38));
    EXPECT_EQ(sensorConfigIndexEntry(3), range(39, 81));
    EXPECT_EQ(sensorConfigIndexEntry(4), range(82, 262));
    EXPECT_EQ(sensorConfigIndexEntry(5), range(263, 365));
    EXPECT_EQ(sensorConfigIndexEntry(6), range(366, 530));
    EXPECT_EQ(sensorConfigIndexEntry(8), range(531, 531));
    for (uint32_t type : {0u, 2u, 7u, 9u, 10u, 31u}) {
        EXPECT_EQ(sensorConfigIndexEntry(type), kNoConfigIndex) << type;
    }
}

TEST_F(SensorConfigIndexTest, EveryWordIsFoundAtItsPosition) {
    for (size_t p = 0; p < SensorConfigTable.size(); ++p) {
        EXPECT_EQ(FindSensorConfig(SensorConfigTable[p]), static_cast<int32_t>(p));
    }
    EXPECT_EQ(FindSensorConfig(makeSensorConfigWord(2, 0, 0, 0, 0)), -1);
    EXPECT_EQ(FindSensorConfig(makeSensorConfigWord(12, 0, 0, 0, 0)), -1);
    // The whole word counts: the same word with bit 28 is not in the table.
    EXPECT_EQ(FindSensorConfig(SensorConfigTable[0] | 1u << 28), -1);
    EXPECT_TRUE(IsSensorConfigSupported(makeSensorConfigWord(7, 0, 4, 0, 128)));
}

class SensorExportsTest : public TarvikTest {
protected:
    // An initialised slot whose front-end image carries the clock value.
    DeviceSlot& initialisedSlot(int32_t id, uint16_t clockValue) {
        DeviceSlot& slot = addSlot(id, kTypeUsb);
        slot.initialised = 1;
        setImageU16(slot.configuration.data() + kFrontEndImageArea, image_field::kClockValue,
                    clockValue);
        return slot;
    }
};

TEST_F(SensorExportsTest, SupportedLengthsOfType7) {
    std::array<uint32_t, 16> lengths{};
    EXPECT_EQ(KORAL_HWConfig_GetSupportedSensorLengths(7, 16, lengths.data()), 5);
    EXPECT_EQ(std::vector<uint32_t>(lengths.begin(), lengths.begin() + 6),
              (std::vector<uint32_t>{532, 1044, 4256, 8352, 0xFFFFFFFFu, 0}));

    lengths.fill(7);
    EXPECT_EQ(KORAL_HWConfig_GetSupportedSensorLengths(7, 2, lengths.data()), 5);
    EXPECT_EQ(std::vector<uint32_t>(lengths.begin(), lengths.begin() + 3),
              (std::vector<uint32_t>{532, 1044, 7}));
}

TEST_F(SensorExportsTest, SupportedLengthsWithoutRoomOnlyCount) {
    EXPECT_EQ(KORAL_HWConfig_GetSupportedSensorLengths(11, 5, nullptr), 3);
    uint32_t untouched = 9;
    EXPECT_EQ(KORAL_HWConfig_GetSupportedSensorLengths(11, -1, &untouched), 3);
    EXPECT_EQ(untouched, 9u);
    EXPECT_EQ(KORAL_HWConfig_GetSupportedSensorLengths(128, 1, &untouched), 0);
    EXPECT_EQ(ui->boxes().size(), 0u);
}

TEST_F(SensorExportsTest, UnknownTypeFailsEveryTableExport) {
    uint32_t lengths[4];
    EXPECT_EQ(KORAL_HWConfig_GetSupportedSensorLengths(0x1001, 4, lengths), -1);
    EXPECT_RECORD(5, 505, 801, 0, "KORAL_HWConfig_GetSupportedSensorLengths");
    EXPECT_EQ(KORAL_HWConfig_IsSensorLengthSupported(99, 256), -1);
    EXPECT_RECORD(5, 505, 801, 0, "KORAL_HWConfig_IsSensorLengthSupported");
    EXPECT_EQ(KORAL_HWConfig_GetSensorTechnology(0, 12), -1);
    EXPECT_RECORD(5, 505, 801, 0, "KORAL_HWConfig_GetSensorTechnology");
    EXPECT_EQ(ui->boxes().size(), 3u);
}

TEST_F(SensorExportsTest, LengthSupport) {
    EXPECT_EQ(KORAL_HWConfig_IsSensorLengthSupported(7, 300), 1);
    EXPECT_EQ(KORAL_HWConfig_IsSensorLengthSupported(7, 512), 0);
    EXPECT_EQ(KORAL_HWConfig_IsSensorLengthSupported(1, 300), 0);
    EXPECT_EQ(KORAL_HWConfig_IsSensorLengthSupported(1, 256), 1);
    EXPECT_EQ(KORAL_HWConfig_IsSensorLengthSupported(22, 738), 1);
}

TEST_F(SensorExportsTest, TechnologyFromTheTable) {
    EXPECT_EQ(KORAL_HWConfig_GetSensorTechnology(0, 128), 0);
    EXPECT_EQ(KORAL_HWConfig_GetSensorTechnology(0, 7), 3);
    EXPECT_EQ(KORAL_HWConfig_GetSensorTechnology(0, 13), 2);
    EXPECT_EQ(KORAL_HWConfig_GetSensorTechnology(0, 0), 1);
}

TEST_F(SensorExportsTest, TechnologyOfAFileSensorIsTheSlots) {
    DeviceSlot& slot = initialisedSlot(2, 0);
    slot.sensorTechnology = 2;
    EXPECT_EQ(KORAL_HWConfig_GetSensorTechnology(2, 128), 2);
    EXPECT_EQ(KORAL_HWConfig_GetSensorTechnology(2, 7), 3);
    slot.initialised = 0;
    EXPECT_EQ(KORAL_HWConfig_GetSensorTechnology(2, 128), -1);
    EXPECT_RECORD(5, 507, 0, 2, "KORAL_HWConfig_GetSensorTechnology");
}

TEST_F(SensorExportsTest, ConfigSupport) {
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(6), frontEndArg(3), 5, 16), 1);
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(1), frontEndArg(3), 5, 16), 0);
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(4), frontEndArg(10, 4000), 0, 13), 1);
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(4), frontEndArg(10, 8000), 0, 13), 0);
    // A clock value on a front end without a clock is not looked at.
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(6), frontEndArg(3, 4000), 5, 16), 1);
}

TEST_F(SensorExportsTest, FileSensorIsAlwaysSupportedOnUnclockedFrontEnds) {
    for (uint32_t frontEnd : {0u, 3u, 4u, 8u, 12u, 31u}) {
        for (uint32_t type : {0u, 2u, 7u, 31u}) {
            EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(type), frontEndArg(frontEnd),
                                                       30, 128),
                      1)
                << type << " " << frontEnd;
        }
    }
}

TEST_F(SensorExportsTest, ClockOfTheInterfacesFrontEndImage) {
    initialisedSlot(3, 4000);
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(4, 3), frontEndArg(10), 0, 13), 1);
    setImageU16(deviceSlot(3)->configuration.data() + kFrontEndImageArea, image_field::kClockValue,
                8000);
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(4, 3), frontEndArg(10), 0, 13), 0);
    EXPECT_EQ(ui->boxes().size(), 0u);
}

TEST_F(SensorExportsTest, ClockOfAnInterfaceThatIsNotReady) {
    // Interface ID 0 stands for 65535, which is out of range.
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(4, 0), frontEndArg(9), 0, 0), -1);
    EXPECT_RECORD(5, 505, 818, 65535, "KORAL_HWConfig_IsConfigSupported");
    DeviceSlot& slot = initialisedSlot(1, 1000);
    slot.initialised = 0;
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(interfaceArg(4, 1), frontEndArg(11), 0, 8), -1);
    EXPECT_RECORD(5, 507, 0, 1, "KORAL_HWConfig_IsConfigSupported");
    EXPECT_EQ(ui->boxes().size(), 2u);
}

} // namespace
} // namespace tarvik::testing
