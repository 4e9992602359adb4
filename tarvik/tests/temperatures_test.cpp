// Temperatures: the decoders of the boards' answers, and the exports on the
// simulated request-block boards.

#include "i2c_sim_fixture.h"

#include "hardware/temperatures.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace tarvik::testing {
namespace {

std::vector<uint8_t> words(std::initializer_list<uint16_t> values) {
    std::vector<uint8_t> bytes;
    for (uint16_t v : values) {
        bytes.push_back(static_cast<uint8_t>(v & 0xFF));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    return bytes;
}

TEST(TemperatureDecodeTest, BoardSensorBytes) {
    EXPECT_EQ(BoardSensorTemperature(0x19, 0x80), 25.5);
    EXPECT_EQ(BoardSensorTemperature(0xE7, 0x00), -25.0);
    EXPECT_EQ(BoardSensorTemperature(0xE7, 0x80), -25.5);
    EXPECT_EQ(BoardSensorTemperature(0x7F, 0x7F), 127.0);
}

TEST(TemperatureDecodeTest, ListCountIsCappedByRecordAndArea) {
    const auto three = words({3, 1, 2, 3, 2150, static_cast<uint16_t>(-500), 0});
    const TemperatureList list = ParseTemperatureList(three);
    ASSERT_EQ(list.count, 3);
    EXPECT_EQ(std::vector<uint16_t>(list.ids.begin(), list.ids.begin() + 3),
              std::vector<uint16_t>({1, 2, 3}));
    EXPECT_EQ(list.degrees[0], 21.5f);
    EXPECT_EQ(list.degrees[1], -5.0f);
    EXPECT_EQ(list.degrees[2], 0.0f);

    // A count of 200 in a full-size area: eight; in an area of 5 words: two.
    std::vector<uint8_t> full = words({200});
    full.resize(2 * kTemperatureListWords, 0x11);
    EXPECT_EQ(ParseTemperatureList(full).count, 8);
    EXPECT_EQ(ParseTemperatureList(words({200, 1, 2, 3, 4})).count, 2);
    EXPECT_EQ(ParseTemperatureList({}).count, 0);
}

class TemperaturesTest : public I2cSimTest {};

TEST_F(TemperaturesTest, FirmwareSensorsAllAndOne) {
    DeviceSlot& slot = openSimBoard("", 6);
    float one = 0.0f;
    EXPECT_EQ(KORAL_I2C_GetTemperature(0, 1, &one, 1), 0); // reads the list first
    EXPECT_EQ(one, 31.25f);
    EXPECT_EQ(slot.temperatureListKnown, 1);
    EXPECT_EQ(KORAL_I2C_GetTemperature(0, 2, &one, 1), -1);
    EXPECT_RECORD(5, 505, 831, 0, "KORAL_I2C_GetTemperature");
    const auto sent = requestsOf(IOCTL_BOARD_GET_TEMPERATURES);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].i2cDevice, 0);
    EXPECT_EQ(sent[0].dataLength, kTemperatureListWords);
    EXPECT_EQ(sent[1].i2cDevice, 2); // the second sensor's id

    TemperatureRecord temps{};
    temps.size = 48;
    EXPECT_EQ(KORAL_I2C_GetAllTemperatures(0, &temps, 1), -1);
    EXPECT_RECORD(5, 505, 847, 0, "KORAL_I2C_GetAllTemperatures");
    EXPECT_EQ(KORAL_I2C_GetAllTemperatures(0, nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, "KORAL_I2C_GetAllTemperatures");
    EXPECT_EQ(requestsOf(IOCTL_BOARD_GET_TEMPERATURES).size(), 2u);
    temps.size = sizeof temps;
    EXPECT_EQ(KORAL_I2C_GetAllTemperatures(0, &temps, 1), 0);
    EXPECT_EQ(temps.count, 2);
    EXPECT_EQ(temps.sensorId[0], 1);
    EXPECT_EQ(temps.temperature[0], 23.5f);
}

TEST_F(TemperaturesTest, AFailedFirstReadIsRepeated) {
    DeviceSlot& slot = openSimBoard("", 6);
    board->injectStatus(IOCTL_BOARD_GET_TEMPERATURES, 130, 0);
    float one = 0.0f;
    EXPECT_EQ(KORAL_I2C_GetTemperature(0, 0, &one, 1), -1);
    EXPECT_RECORD(1, 130, 0, 0, "KORAL_I2C_GetTemperature");
    EXPECT_EQ(slot.temperatureListKnown, 0);
    EXPECT_EQ(KORAL_I2C_GetTemperature(0, 0, &one, 1), 0);
    EXPECT_EQ(one, 23.5f);
}

TEST_F(TemperaturesTest, OldDriversAndOtherTypesAreRefused) {
    openSimBoard("driver_version = 2506\n", 6);
    TemperatureRecord temps{};
    temps.size = sizeof temps;
    float one = 0.0f;
    EXPECT_EQ(KORAL_I2C_GetAllTemperatures(0, &temps, 1), -1);
    EXPECT_RECORD(5, 310, 837, 1, "KORAL_I2C_GetAllTemperatures");
    EXPECT_EQ(KORAL_I2C_GetTemperature(0, 0, &one, 1), -1);
    EXPECT_RECORD(5, 310, 837, 1, "KORAL_I2C_GetTemperature");
    double board = 0.0;
    EXPECT_EQ(KORAL_GetBoardTemperature(1, &board), -1);
    EXPECT_RECORD(5, 505, 804, 1, "KORAL_GetBoardTemperature");
    EXPECT_EQ(KORAL_GetBoardTemperature(0, &board), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_GetBoardTemperature");
}

TEST_F(TemperaturesTest, BoardSensorOverI2c) {
    for (int type : {5, 8}) {
        SCOPED_TRACE(type);
        openSimBoard("", type);
        double degrees = 0.0;
        EXPECT_EQ(KORAL_GetBoardTemperature(1, &degrees), 0);
        EXPECT_EQ(degrees, 26.5);
        board->withI2cBus([](sim::I2cBus& bus) {
            bus.device<sim::I2cTemperatureSensor>(sim::kBoardTemperatureSensor)
                ->setTemperature(-51);
        });
        EXPECT_EQ(KORAL_GetBoardTemperature(1, &degrees), 0);
        EXPECT_EQ(degrees, -25.5);
        EXPECT_EQ(KORAL_GetBoardTemperature(1, nullptr), -1);
        EXPECT_RECORD(5, 505, 0, 1, "KORAL_GetBoardTemperature");
        board->withI2cBus([](sim::I2cBus& bus) { bus.remove(sim::kBoardTemperatureSensor); });
        EXPECT_EQ(KORAL_GetBoardTemperature(1, &degrees), -1);
        EXPECT_EQ(record().level, 1);
        EXPECT_STREQ(record().functionName, "KORAL_GetBoardTemperature");
        TearDown();
        SetUp();
    }
}

} // namespace
} // namespace tarvik::testing
