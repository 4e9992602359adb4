// The slot questions beside the acquisition: pixel range, the optical
// multiplexer's slot, channel counts, the cooled board's error info and the
// type-8 channel scaling.

#include "raw_data_fixture.h"

#include "acquisition/acquisition_helpers.h"
#include "core/locks.h"

#include <mutex>

namespace tarvik::testing {
namespace {

class AcquisitionHelpersTest : public RawDataTest {};

TEST_F(AcquisitionHelpersTest, UnsignedRangeFollowsTheFrontEndType) {
    DeviceSlot& slot = addSlot(1, kTypeUsb);
    for (uint32_t type : {2u, 7u, 9u, 11u}) {
        slot.frontEndType = type;
        EXPECT_TRUE(HasUnsignedPixelRange(1)) << type;
    }
    for (uint32_t type : {0u, 3u, 8u, 10u}) {
        slot.frontEndType = type;
        EXPECT_FALSE(HasUnsignedPixelRange(1)) << type;
    }
    EXPECT_FALSE(HasUnsignedPixelRange(2));
}

TEST_F(AcquisitionHelpersTest, OpticalMuxSlotMustBeInitialisedAndActive) {
    EXPECT_EQ(FindSlotWithOpticalMux(), 0);
    DeviceSlot& first = addSlot(2, kTypeUsb);
    first.muxType = 6;
    DeviceSlot& second = addSlot(5, kTypeUsb);
    second.muxType = 6;
    second.initialised = 1;
    EXPECT_EQ(FindSlotWithOpticalMux(), 5);
    first.initialised = 1;
    EXPECT_EQ(FindSlotWithOpticalMux(), 2);
    first.active = 0;
    EXPECT_EQ(FindSlotWithOpticalMux(), 5);
}

TEST_F(AcquisitionHelpersTest, ChannelCountsOfTheMultiplexerTypes) {
    EXPECT_EQ(GetFrontEndChannelCount(1, 0, 1), 4);
    EXPECT_EQ(GetFrontEndChannelCount(4, 0, 1), 4);
    EXPECT_EQ(GetFrontEndChannelCount(5, 0, 1), 8);
    EXPECT_EQ(GetFrontEndChannelCount(6, 0, 1), 2);
    EXPECT_EQ(GetFrontEndChannelCount(8, 0, 1), 1);
    EXPECT_EQ(GetFrontEndChannelCount(8, 1, 1), 2);
    EXPECT_EQ(GetFrontEndChannelCount(8, 2, 1), 4);
    EXPECT_EQ(GetFrontEndChannelCount(8, 3, 1), 0);
    EXPECT_EQ(GetFrontEndChannelCount(0, 0, 1), 1);
    EXPECT_EQ(GetFrontEndChannelCount(12, 0, 1), 1);
}

TEST_F(AcquisitionHelpersTest, ZtkInfoKeepsLevelAndInterface) {
    const std::pair<int32_t, int32_t> cases[] = {{1, 858}, {2, 859}, {3, 859}, {4, 857},
                                                 {5, 850}, {6, 860}, {7, 0}};
    for (const auto& [status, info] : cases) {
        recordError(3, KORAL_LEVEL_NOT_DONE, 501, 1);
        EXPECT_TRUE(SetZtkErrorInfo(status));
        EXPECT_RECORD(4, 514, info, 3, "");
    }
}

TEST_F(AcquisitionHelpersTest, ChannelScalingOfSpectrumAndDarkCurrent) {
    DeviceSlot& slot = addSlot(1, kTypeUsb2);
    slot.type8Scale = {0.5, 2.0, 3.0, 4.0, 5.0};
    uint32_t handle = alloc();
    ASSERT_EQ(KORAL_ParaSetMapping(&handle, 2, 1), 0);
    std::lock_guard guard(deviceLock());
    RawDataRecord& record = recordOf(handle);
    setArray(record.spectrum, {100.0, -50.0, 10.0});
    setArray(record.darkCurrent, {8.0, 6.0, 4.0, 2.0});
    EXPECT_TRUE(ApplyChannelScaling(1, 1, false));
    EXPECT_EQ(arrayOf(record.spectrum), (std::vector<double>{300.0, -150.0, 30.0}));
    EXPECT_EQ(record.maximum, 300.0);
    EXPECT_DOUBLE_EQ(record.maximumPercent, 100.0 * 300.0 / 65535.0);
    EXPECT_EQ(record.minimum, -150.0);
    EXPECT_DOUBLE_EQ(record.minimumPercent, 100.0 * 150.0 / 65535.0);
    // Dark current by factor 0, as many values as the spectrum has.
    EXPECT_TRUE(ApplyChannelScaling(1, 1, true));
    EXPECT_EQ(arrayOf(record.darkCurrent), (std::vector<double>{4.0, 3.0, 2.0, 2.0}));
    EXPECT_FALSE(ApplyChannelScaling(1, 4, false));
    // A channel without a record has nothing to scale.
    EXPECT_TRUE(ApplyChannelScaling(1, 0, false));
}

TEST_F(AcquisitionHelpersTest, ChannelSensorsAreUniformUnlessAMultiplexedChannelDiffers) {
    DeviceSlot& slot = addSlot(1, kTypeUsb);
    auto putU16 = [&slot](size_t offset, uint16_t value) {
        slot.configuration[offset] = static_cast<uint8_t>(value);
        slot.configuration[offset + 1] = static_cast<uint8_t>(value >> 8);
    };
    auto channelSensor = [&](int channel, uint16_t type) { putU16(528 + 24 * channel, type); };
    EXPECT_FALSE(AreChannelSensorsUniform(2)); // no slot

    slot.configurationWord = 0; // no multiplexed channels
    channelSensor(1, 9);
    EXPECT_TRUE(AreChannelSensorsUniform(1));

    slot.configurationWord = 0x8;
    slot.configuration[18] = 0;
    putU16(518, 6); // two channels
    for (int c = 0; c < 4; ++c) {
        channelSensor(c, 7);
    }
    EXPECT_TRUE(AreChannelSensorsUniform(1));
    channelSensor(1, 9);
    EXPECT_FALSE(AreChannelSensorsUniform(1));
    slot.configuration[18] = 7; // a serial multiplexer: always uniform
    EXPECT_TRUE(AreChannelSensorsUniform(1));
    slot.configuration[18] = 0;

    channelSensor(1, 16); // types below 3 and 16 count as 0
    channelSensor(0, 2);
    EXPECT_TRUE(AreChannelSensorsUniform(1));

    putU16(518, 5); // eight channels: channel 7 differs
    for (int c = 0; c < 8; ++c) {
        channelSensor(c, 7);
    }
    channelSensor(7, 8);
    EXPECT_FALSE(AreChannelSensorsUniform(1));
    putU16(518, 4); // four channels: channel 7 not looked at
    EXPECT_TRUE(AreChannelSensorsUniform(1));
    putU16(518, 7); // unknown build type
    EXPECT_FALSE(AreChannelSensorsUniform(1));
}

} // namespace
} // namespace tarvik::testing
