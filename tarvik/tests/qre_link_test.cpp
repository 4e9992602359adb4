// The operations of the serial electronics: their pure helpers, the error
// evaluation, and the clean failures of those not built over the link yet
// (the acquisition, the multiplexer port).

#include "tarvik_test.h"

#include "platform/clock.h"
#include "serial/qre_link.h"

#include <cerrno>
#include <chrono>

namespace tarvik::testing {
namespace {

uint32_t clamp(uint32_t time, bool* direct = nullptr) {
    uint32_t maximum = 0;
    uint32_t minimum = 0;
    const bool result = ClampIntegrationTime(&time, &maximum, &minimum);
    EXPECT_EQ(maximum, 6500000u);
    EXPECT_EQ(minimum, 10u);
    if (direct != nullptr) {
        *direct = result;
    }
    return time;
}

TEST(ClampIntegrationTimeTest, ShortTimesGoToTheNearerStep) {
    bool direct = false;
    EXPECT_EQ(clamp(0, &direct), 10u);
    EXPECT_TRUE(direct);
    EXPECT_EQ(clamp(10, &direct), 10u);
    EXPECT_TRUE(direct);
    EXPECT_EQ(clamp(14), 10u);
    EXPECT_EQ(clamp(15), 20u); // a tie takes the larger step
    EXPECT_EQ(clamp(34), 20u);
    EXPECT_EQ(clamp(35), 50u);
    EXPECT_EQ(clamp(50), 50u);
    EXPECT_EQ(clamp(299), 100u);
    EXPECT_EQ(clamp(300), 500u);
    EXPECT_EQ(clamp(3000), 4000u);
    EXPECT_EQ(clamp(11999), 4000u);
    EXPECT_EQ(clamp(12000, &direct), 20000u);
    EXPECT_TRUE(direct);
    EXPECT_EQ(clamp(19999), 20000u);
}

TEST(ClampIntegrationTimeTest, LongTimesStayOrAreLimited) {
    bool direct = true;
    EXPECT_EQ(clamp(20000, &direct), 20000u);
    EXPECT_TRUE(direct);
    EXPECT_EQ(clamp(20001, &direct), 20001u);
    EXPECT_FALSE(direct);
    EXPECT_EQ(clamp(6500000, &direct), 6500000u);
    EXPECT_FALSE(direct);
    EXPECT_EQ(clamp(6500001, &direct), 6500000u);
    EXPECT_FALSE(direct);
    EXPECT_EQ(clamp(0xFFFFFFFFu), 6500000u);
}

TEST(ClampIntegrationTimeTest, NullPointersAreSkipped) {
    uint32_t maximum = 0;
    EXPECT_FALSE(ClampIntegrationTime(nullptr, &maximum, nullptr));
    EXPECT_EQ(maximum, 6500000u);
    uint32_t time = 16;
    EXPECT_TRUE(ClampIntegrationTime(&time, nullptr, nullptr));
    EXPECT_EQ(time, 20u);
}

class QreLinkTest : public TarvikTest {
protected:
    // A serial slot with its blocks.
    DeviceSlot& serialSlot(int32_t id = 1) {
        DeviceSlot& slot = addSlot(id, kTypeSerial);
        EXPECT_EQ(AllocQreSlotBuffers(id), 1);
        return slot;
    }
};

TEST_F(QreLinkTest, SerialMultiplexerChannelCounts) {
    DeviceSlot& slot = serialSlot();
    struct Row {
        uint8_t type;
        uint8_t assembly;
        int32_t channels;
    };
    const Row rows[] = {{7, 0, 0}, {7, 1, 3}, {7, 2, 4}, {7, 3, 6},   {7, 4, 8}, {7, 5, 0},
                        {9, 0, 8}, {9, 1, 2}, {9, 2, 4}, {9, 3, 8},   {9, 4, 8}, {9, 5, 8},
                        {9, 6, 2}, {9, 7, 0}, {6, 1, 0}, {255, 15, 0}};
    for (const Row& row : rows) {
        slot.configuration[18] = row.type;
        slot.configuration[19] = static_cast<uint8_t>(row.assembly << 4 | 0x3); // port 3
        EXPECT_EQ(GetSerialMuxChannelCount(1), row.channels)
            << int(row.type) << " " << int(row.assembly);
    }
    EXPECT_EQ(GetSerialMuxChannelCount(2), 0);
}

TEST_F(QreLinkTest, ConfigurationVariantOfAssembly8) {
    DeviceSlot& slot = serialSlot();
    uint8_t* mux = slot.configuration.data() + 512;
    mux[6] = 8;
    mux[7] = 0;
    const std::pair<uint16_t, int32_t> rows[] = {
        {0x0000, 2}, {0x0001, 3}, {0x0002, 5}, {0x0003, 0}, {0x2001, 3}};
    for (auto [word, variant] : rows) {
        mux[8] = static_cast<uint8_t>(word);
        mux[9] = static_cast<uint8_t>(word >> 8);
        EXPECT_EQ(GetConfigVariantCode(1), variant) << word;
    }
    mux[6] = 4;
    EXPECT_EQ(GetConfigVariantCode(1), 0);
    EXPECT_EQ(GetConfigVariantCode(9), 0);
}

TEST_F(QreLinkTest, FirmwareRefusalIsReportedFirst) {
    DeviceSlot& slot = serialSlot(2);
    slot.qre.setStatusWords(-72, 17);
    PushQreError(-71);
    PushQreError(-21);
    EXPECT_EQ(ReportQreErrors(1), 1);
    EXPECT_RECORD(1, -21, 0, 2, "");
}

TEST_F(QreLinkTest, ReportsTheFirstErrorOfTheClass) {
    DeviceSlot& slot = serialSlot(2);
    EXPECT_EQ(ReportQreErrors(1), 0);
    slot.qre.setStatusWords(0, 17);
    EXPECT_EQ(ReportQreErrors(1), 1);
    EXPECT_RECORD(1, 17, 0, 2, "");
    EXPECT_EQ(CheckQreErrors(4), 1);
    EXPECT_EQ(CheckQreErrors(2), 0); // commands do not look at the device's code
    EXPECT_EQ(ReportQreErrors(2), 0);
    slot.qre.setStatusWords(-204, 17);
    EXPECT_EQ(ReportQreErrors(1), 1);
    EXPECT_RECORD(1, -204, 0, 2, "");
    slot.qre.setStatusWords(-5, 0); // not one the report looks for
    EXPECT_EQ(ReportQreErrors(1), 0);
    // The list's first failed exchange, not its newest.
    PushQreError(-310);
    PushQreError(-71);
    PushQreError(-204);
    EXPECT_EQ(ReportQreErrors(1), 1);
    EXPECT_RECORD(1, -71, 0, 2, "");
    // Port errors count for commands, not for starts and waits.
    ClearQreErrorList();
    PushQreError(-310);
    EXPECT_EQ(CheckQreErrors(2), 1);
    EXPECT_EQ(CheckQreErrors(1), 0);
    ClearQreErrorList();
    EXPECT_EQ(ReportQreErrors(1), 0);
}

TEST_F(QreLinkTest, ClassSevenLooksAtTheI2cStatusAndEightAtTheWarning) {
    DeviceSlot& slot = serialSlot(3);
    PushQreError(-71);
    EXPECT_EQ(ReportQreErrors(7), 0);
    qreLink()->i2cTransfer[7] = 0xCC; // -52 "ERR I2C NOACK"
    EXPECT_EQ(ReportQreErrors(7), 1);
    EXPECT_RECORD(1, -52, 0, 3, "");
    EXPECT_EQ(ReportQreErrors(8), 0);
    slot.qre.blocks->version[21] = 198;
    EXPECT_EQ(ReportQreErrors(8), 1);
    EXPECT_RECORD(50, 198, 0, 3, "");
}

TEST_F(QreLinkTest, UnknownWorkModeIsInvalid) {
    DeviceSlot& slot = serialSlot(2);
    slot.block()->WorkMode = 9;
    EXPECT_EQ(SendQreWorkModeParameters(), -1);
    EXPECT_RECORD(4, 505, 805, 2, "");
}

TEST_F(QreLinkTest, SlotBuffersGoWithTheSlot) {
    DeviceSlot& slot = serialSlot(2);
    slot.qre.setFirmwareVersion(320);
    FreeQreSlotBuffers(2);
    EXPECT_EQ(slot.qre.firmwareVersion(), 0);
}

} // namespace
} // namespace tarvik::testing
