#include "dorvel/sensor_catalogue.h"

#include "dorvel/hardware_texts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace dorvel {
namespace {

TEST(SensorCatalogue, EveryEntryIsAKnownTypeListedOnceWithItsGroupTogether) {
    const int16_t count = GetSensorTypeCount();
    ASSERT_GT(count, 0);
    std::set<int16_t> codes;
    std::set<char> closedGroups;
    char group = '\0';
    for (int16_t i = 0; i < count; ++i) {
        const int16_t code = GetSensorTypeCode(i);
        EXPECT_TRUE(codes.insert(code).second) << code;
        EXPECT_STREQ(GetSensorTypeName(i), CHardwareTexts().GetSensorText(code));
        EXPECT_NE(std::strncmp(GetSensorTypeName(i), "Unknown", 7), 0) << code;
        const char g = GetSensorTypeGroup(i);
        EXPECT_NE(g, '\0');
        if (g != group) {
            EXPECT_TRUE(closedGroups.insert(group).second || group == '\0') << i;
            EXPECT_EQ(closedGroups.count(g), 0u) << "group " << g << " split at " << i;
            group = g;
        }
    }
    // The older codes 12 and 129 only stand in old images.
    EXPECT_EQ(codes.count(12), 0u);
    EXPECT_EQ(codes.count(129), 0u);
    EXPECT_EQ(codes.count(7), 1u);
    EXPECT_EQ(codes.count(128), 1u);
}

TEST(SensorCatalogue, IndexesOutsideTheCatalogue) {
    for (const int16_t index : {int16_t{-1}, GetSensorTypeCount(), int16_t{32767}}) {
        EXPECT_EQ(GetSensorTypeCode(index), -1) << index;
        EXPECT_STREQ(GetSensorTypeName(index), "") << index;
        EXPECT_EQ(GetSensorTypeGroup(index), '\0') << index;
    }
}

} // namespace
} // namespace dorvel
