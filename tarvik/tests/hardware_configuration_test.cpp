// Hardware configuration set and get against a linked-in board driver: what a
// set writes into the slot and its request block, the refusals, and that a
// refused set leaves everything as it was.

#include "board_driver_test.h"

#include "core/lifecycle_seams.h"
#include "hardware/eeprom_image.h"
#include "hardware/hardware_configuration.h"

#include <gmock/gmock.h>

#include <cstring>
#include <vector>

namespace tarvik::testing {
namespace {

using ::testing::Contains;
using ::testing::IsEmpty;

constexpr const char* kSet = "KORAL_HWConfig_ParaSetHWConfigurationEx2";
constexpr const char* kGet = "KORAL_HWConfig_ParaGetHWConfigurationEx2";

HWConfigurationEx2Record makeRecord(int16_t frontEnd, int16_t mux, int16_t sensor, int16_t pixels,
                                    int16_t rows = 1) {
    HWConfigurationEx2Record record{};
    record.size = sizeof record;
    record.frontEndType = frontEnd;
    record.muxType = mux;
    record.channelCount = 1;
    record.channel[0] = {sensor, pixels, rows, static_cast<int16_t>(rows < 2 ? 1 : 64)};
    return record;
}

class HardwareConfigurationTest : public BoardDriverTest {
protected:
    DeviceSlot& openBoard(uint32_t type = kTypeUsb) {
        state().interfaceTypeInUse = type;
        DeviceSlot& slot = addSlot(1, type, board.open(0));
        SetSlotDefaults(1, 1);
        slot.initialised = 1;
        state().actualInterfaceId = 1;
        resetErrorState();
        return slot;
    }

    int32_t set(HWConfigurationEx2Record record, uint32_t id = 1) {
        return KORAL_HWConfig_ParaSetHWConfigurationEx2(0, &record, id);
    }

    // The request block's parameter fields and the slot's configuration, to
    // compare before and after a refused set.
    struct Picture {
        std::vector<uint8_t> head;
        std::vector<uint8_t> tail;
        uint32_t frontEnd, mux, clock, divider, rate, present, sensor, pixels;
        bool operator==(const Picture&) const = default;
    };
    static Picture picture(const DeviceSlot& slot) {
        const uint8_t* bytes = slot.requestBlock.bytes();
        const size_t tailStart = offsetof(DeviceRequestBlock, NumberPixel2);
        return {std::vector<uint8_t>(bytes, bytes + offsetof(DeviceRequestBlock, ScanData)),
                std::vector<uint8_t>(bytes + tailStart, bytes + KORAL_REQUEST_BLOCK_DATA_OFFSET),
                slot.frontEndType,
                slot.muxType,
                slot.clockFrequency,
                slot.clockDivider,
                slot.clockRate,
                slot.muxPresent,
                slot.sensorType[0],
                slot.pixelCount[0]};
    }
};

TEST_F(HardwareConfigurationTest, ASetFillsSlotAndBlockAndSendsThemWithTheIntegrationTimes) {
    DeviceSlot& slot = openBoard();
    ASSERT_EQ(set(makeRecord(3, 0, 0, 1024)), 0);
    EXPECT_EQ(slot.frontEndType, 3u);
    EXPECT_EQ(slot.clockFrequency, 24000000u);
    EXPECT_EQ(slot.clockRate, 24000000u / 128);
    EXPECT_EQ(slot.pixelCount[7], 1024u);
    EXPECT_EQ(slot.hardwareConfigured, 1);
    const DeviceRequestBlock& block = *slot.block();
    EXPECT_EQ(block.PreCnts, 800);
    EXPECT_EQ(block.NumberPixel, 1024);
    EXPECT_EQ(block.NumberPixel2, 1024);
    EXPECT_EQ(block.NumberPixel2Long, 1024u);
    EXPECT_EQ(block.SaturationPeriod, 1024);
    EXPECT_EQ(block.FEEType, 3);
    EXPECT_EQ(block.SensorType, 0);
    // No time before: the minimum doubled, as acquisition and deleting time.
    EXPECT_EQ(block.AcqIntCnts, 2);
    EXPECT_EQ(block.DelIntCnts, 2);
    EXPECT_EQ(slot.timeLimit1, 0.1);
    EXPECT_THAT(board.codes(), Contains(IOCTL_BOARD_INIT));

    // A time set since is kept through the next set.
    slot.acquisitionIntegrationTime = 50000;
    ASSERT_EQ(set(makeRecord(-1, -1, -1, -1)), 0);
    EXPECT_EQ(slot.block()->AcqIntCnts, 500);
}

TEST_F(HardwareConfigurationTest, RecordsOfTheWrongShapeAreRefusedBeforeAnySlotAccess) {
    HWConfigurationEx2Record shaped = makeRecord(3, 0, 0, 1024);
    for (const uint32_t size : {143u, 145u}) {
        shaped.size = size;
        EXPECT_EQ(KORAL_HWConfig_ParaSetHWConfigurationEx2(0, &shaped, 9), -1);
        EXPECT_RECORD(5, 505, 847, 9, kSet);
        EXPECT_EQ(KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &shaped, 9), -1);
        EXPECT_RECORD(5, 505, 847, 9, kGet);
    }
    EXPECT_EQ(KORAL_HWConfig_ParaSetHWConfigurationEx2(0, nullptr, 9), -1);
    EXPECT_RECORD(5, 505, 0, 9, kSet);
    shaped.size = sizeof shaped;
    EXPECT_EQ(KORAL_HWConfig_ParaSetHWConfigurationEx2(1, &shaped, 9), -1);
    EXPECT_RECORD(5, 505, 0, 0, kSet);
    shaped.reserved = 1;
    EXPECT_EQ(KORAL_HWConfig_ParaSetHWConfigurationEx2(0, &shaped, 9), -1);
    EXPECT_RECORD(5, 505, 0, 0, kSet);
    shaped.reserved = 0;
    EXPECT_EQ(KORAL_HWConfig_ParaSetHWConfigurationEx2(0, &shaped, 9), -1);
    EXPECT_RECORD(5, 504, 0, 9, kSet);
}

TEST_F(HardwareConfigurationTest, RefusedSetsLeaveSlotAndBlockAsTheyWere) {
    DeviceSlot& slot = openBoard();
    ASSERT_EQ(set(makeRecord(3, 0, 0, 1024)), 0);
    board.clear();
    // A front end with a clock of its own finds none in this image.
    setImageU16(slot.configuration.data() + kFrontEndImageArea, image_field::kClockValue, 0);
    const Picture before = picture(slot);
    struct Case {
        HWConfigurationEx2Record config;
        int32_t code;
        int32_t info;
    };
    const std::vector<Case> cases = {
        {makeRecord(4, 0, 0, 1024), 505, 2},    // no front end 4
        {makeRecord(5, 0, 0, 1024), 505, 2},    // nor 5
        {makeRecord(12, 0, 0, 1024), 505, 2},   // nor above 11
        {makeRecord(0, 11, 0, 1024), 505, 3},   // no multiplexer 11
        {makeRecord(0, 0, 99, 1024), 505, 801}, // unknown sensor
        {makeRecord(0, 0, -3, 1024), 505, 801},
        {makeRecord(2, 0, 0, 300), 505, 802}, // not a length of the sensor
        {makeRecord(2, 0, 0, -5), 505, 802},
        {makeRecord(3, 0, 0, 1024, 2), 505, 833}, // rows on a line sensor
        {makeRecord(0, 0, 0, 1024), 505, 825},    // front end 0 is for other boards
        {makeRecord(9, 0, 0, 1024), 505, 20},     // front end 9 without its clock
        {makeRecord(3, 0, -2, 1024), 505, 801},   // no image to take the sensor from
    };
    for (const Case& c : cases) {
        EXPECT_EQ(set(c.config), -1);
        EXPECT_RECORD(5, c.code, c.info, 1, kSet);
        EXPECT_TRUE(picture(slot) == before)
            << "after refusing " << c.config.frontEndType << "/" << c.config.muxType << "/"
            << c.config.channel[0].sensorType << "/" << c.config.channel[0].pixelCount;
    }
    EXPECT_THAT(board.codes(), IsEmpty());
}

TEST_F(HardwareConfigurationTest, KeepingSensorAndPixelsTakesTheBlocksLongPixelCount) {
    DeviceSlot& slot = openBoard();
    slot.sensorType.fill(2);
    slot.block()->NumberPixel2Long = 512;
    ASSERT_EQ(set(makeRecord(3, 0, -1, -1)), 0);
    EXPECT_EQ(slot.sensorType[5], 2u);
    EXPECT_EQ(slot.pixelCount[0], 512u);
    EXPECT_EQ(slot.block()->NumberPixel, 512);
}

TEST_F(HardwareConfigurationTest, SensorTechnologiesFillThePixelFieldsTheirWay) {
    DeviceSlot& slot = openBoard();
    // Technology 2: types 5, 18 and 19 below 512 pixels read twice the pixels.
    ASSERT_EQ(set(makeRecord(1, 0, 5, 256)), 0);
    EXPECT_EQ(slot.block()->NumberPixel, 512);
    EXPECT_EQ(slot.block()->NumberPixel2, 256);
    EXPECT_EQ(slot.block()->PreCnts, 200);
    EXPECT_EQ(slot.clockRate, 20000000u / 64);

    // Technology 3 with rows needs driver 800 on this board type.
    slot.block()->DriverVersion = 799;
    EXPECT_EQ(set(makeRecord(7, 0, 7, 1044, 64)), -1);
    EXPECT_RECORD(5, 310, 833, 1, kSet);
    slot.block()->DriverVersion = 800;
    ASSERT_EQ(set(makeRecord(7, 0, 7, 1044, 64)), 0);
    const DeviceRequestBlock& block = *slot.block();
    EXPECT_EQ(block.NumberPixel, 0xFFFF);
    EXPECT_EQ(block.NumberPixelLong, 64u * 1044);
    EXPECT_EQ(block.NumberPixel2Long, 64u * 1044);
    EXPECT_NE(block.RequestFlags & 0x4u, 0u);
    EXPECT_EQ(block.SaturationStart, 10);
    ASSERT_EQ(set(makeRecord(7, 0, 7, 1044)), 0);
    EXPECT_EQ(slot.block()->NumberPixel, 1044);
    EXPECT_EQ(slot.block()->RequestFlags & 0x4u, 0u);

    // Rows on a board type that has none.
    slot.boardType = kTypeBoard5;
    EXPECT_EQ(set(makeRecord(7, 0, 7, 1044, 2)), -1);
    EXPECT_RECORD(5, 310, 833, 1, kSet);
}

TEST_F(HardwareConfigurationTest, ClockedFrontEndsTakeTheirClockFromTheImage) {
    DeviceSlot& slot = openBoard();
    setImageU16(slot.configuration.data() + kFrontEndImageArea, image_field::kClockValue, 2000);
    ASSERT_EQ(set(makeRecord(10, 0, 14, 512)), 0);
    EXPECT_EQ(slot.clockFrequency, 32000000u);
    EXPECT_EQ(slot.clockDivider, 16u);
    EXPECT_EQ(slot.clockRate, 2000000u);
    EXPECT_EQ(slot.block()->PreCnts, 200);
    // Front end 10 at another clock is another configuration.
    setImageU16(slot.configuration.data() + kFrontEndImageArea, image_field::kClockValue, 8000);
    EXPECT_EQ(set(makeRecord(10, 0, 14, 512)), -1);
    EXPECT_RECORD(5, 505, 825, 1, kSet);
}

TEST_F(HardwareConfigurationTest, ALongTimeFormsPrescalerStaysInForce) {
    DeviceSlot& slot = openBoard();
    int32_t ms = 100;
    ASSERT_EQ(KORAL_ParaSetIntegrationTime2(&ms, 1), 0);
    ASSERT_EQ(set(makeRecord(3, 0, 0, 1024)), 0);
    EXPECT_EQ(slot.block()->PreCnts, 8000);
    EXPECT_EQ(slot.block()->AcqIntCnts, 100);
}

TEST_F(HardwareConfigurationTest, ABoardSwitchedMultiplexerIsBroughtIntoOperation) {
    DeviceSlot& slot = openBoard();
    ASSERT_EQ(set(makeRecord(3, 4, 0, 1024)), 0);
    EXPECT_EQ(slot.muxType, 4u);
    EXPECT_EQ(slot.muxPresent, 1u);
    EXPECT_EQ(slot.block()->MuxMode, 1);
    EXPECT_EQ(slot.block()->MuxChanNum, 1);
    ASSERT_EQ(set(makeRecord(3, 0, 0, 1024)), 0);
    EXPECT_EQ(slot.muxPresent, 0u);
    EXPECT_EQ(slot.block()->MuxMode, 0);
    // The mode call needs an initialised interface; its failure fails the set.
    slot.initialised = 0;
    EXPECT_EQ(set(makeRecord(3, 4, 0, 1024)), -1);
    EXPECT_EQ(slot.muxType, 0u);
    EXPECT_EQ(record().code, 507);
}

TEST_F(HardwareConfigurationTest, AFailedSendKeepsTheNewConfigurationForTheNextSend) {
    DeviceSlot& slot = openBoard();
    board.script({BoardAnswer(platform::kStatusSuccess, 150, 0)});
    EXPECT_EQ(set(makeRecord(2, 0, 1, 256)), -1);
    EXPECT_EQ(slot.frontEndType, 2u);
    EXPECT_EQ(slot.block()->NumberPixel, 256);
}

TEST_F(HardwareConfigurationTest, OlderFormsForwardUnderTheirOwnNames) {
    DeviceSlot& slot = openBoard(kTypePci);
    // Front end 4 stands for front end 0 with a multiplexer of type 1.
    ASSERT_EQ(KORAL_ParaSetFEE_SensorType(4, 0, 256, 1), 0);
    EXPECT_EQ(slot.frontEndType, 0u);
    EXPECT_EQ(slot.muxType, 1u);
    EXPECT_EQ(slot.block()->NumberPixel, 256);
    ASSERT_EQ(KORAL_ParaSetHWConfigurationEx(3, 0, 16, 128, 1, 1), 0);
    EXPECT_EQ(slot.sensorType[0], 16u);
    EXPECT_EQ(KORAL_ParaSetHWConfiguration(3, 0, 16, 300, 1), -1);
    EXPECT_RECORD(5, 505, 802, 1, "KORAL_ParaSetHWConfiguration");
    EXPECT_EQ(ui->boxes().size(), 1u);
    EXPECT_EQ(KORAL_ParaSetFEE_SensorType(3, 99, 256, 1), -1);
    EXPECT_RECORD(5, 505, 801, 1, "KORAL_ParaSetFEE_SensorType");

    slot.boardType = kTypeUsb2;
    EXPECT_EQ(KORAL_ParaSetHWConfigurationEx(3, 0, 22, 738, 1, 1), -1);
    EXPECT_RECORD(5, 506, 804, 1, "KORAL_ParaSetHWConfigurationEx");
}

TEST_F(HardwareConfigurationTest, AFileDescribedSensorThatCannotBeLoadedIsRefused) {
    DeviceSlot& slot = openBoard();
    state().sensorDescriptionFiles[1] = "/nonexistent/sensor.ini";
    EXPECT_EQ(set(makeRecord(3, 0, 128, 1024)), -1);
    EXPECT_EQ(record().level, 4);
    EXPECT_EQ(record().code, 311);
    EXPECT_EQ(slot.sensorFileLoaded, 0);
    EXPECT_EQ(slot.sensorType[0], 0u);
}

// What a read of real images gives is checked through the simulated board by
// the C clients; here a read that finds no valid image.
TEST_F(HardwareConfigurationTest, AGetWhoseReadFailedFailsWithTheReadsRecord) {
    openBoard();
    HWConfigurationEx2Record got = makeRecord(0, 0, 0, 0);
    EXPECT_EQ(KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &got, 1), -1);
    EXPECT_NE(record().code, 0);
    EXPECT_EQ(std::string(record().functionName), kGet);
    EXPECT_EQ(KORAL_HWConfig_ParaGetHWConfigurationEx2(0, &got, 2), -1);
    EXPECT_RECORD(5, 504, 0, 2, kGet);
}

TEST_F(HardwareConfigurationTest, TheInitialiseRecordComesFromTheSlot) {
    DeviceSlot& slot = openBoard();
    slot.frontEndType = 7;
    slot.sensorType.fill(8);
    slot.pixelCount.fill(1044);
    slot.configurationWord = 0;
    HWConfigurationEx2Record built = BuildSlotHardwareConfiguration(1, slot);
    EXPECT_EQ(built.size, 144u);
    EXPECT_EQ(built.frontEndType, 7);
    EXPECT_EQ(built.channelCount, 1);
    EXPECT_EQ(built.channel[0].sensorType, 8);
    EXPECT_EQ(built.channel[0].pixelCount, 1044);
    slot.configurationWord = 0x20; // channels from the EEPROM images
    built = BuildSlotHardwareConfiguration(1, slot);
    EXPECT_EQ(built.channel[0].sensorType, -2);
}

} // namespace
} // namespace tarvik::testing
