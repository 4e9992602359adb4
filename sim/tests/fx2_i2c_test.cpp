// The FX2 board's firmware on its I2C buses: the configuration EEPROMs of the
// set-up, the boot EEPROM on the microcontroller's own bus, the presence
// check, the temperature sensors and the error each failure leaves.

#include "sim/eeprom_images.h"
#include "sim/fx2_board.h"

#include "platform/usb.h"
#include "platform/usb_sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

namespace {

namespace usb = platform::usb;

class Fx2I2cTest : public ::testing::Test {
protected:
    void make(sim::Fx2BoardConfig config) {
        board = std::make_shared<sim::Fx2Board>(std::move(config));
        port = sim::Fx2Board::plug(board);
        ASSERT_TRUE(port);
    }
    static sim::Fx2BoardConfig running(int generation) {
        sim::Fx2BoardConfig config;
        config.generation = generation;
        config.running = sim::fx2ShippedImage(generation == 2 ? 5 : 2);
        return config;
    }
    usb::SimReply in(uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
        return board->handleControl(*port, usb::ControlSetup::vendorIn(request, value, index), {},
                                    length);
    }
    usb::SimReply out(uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t> data) {
        return board->handleControl(*port, usb::ControlSetup::vendorOut(request, value, index),
                                    data, static_cast<uint16_t>(data.size()));
    }
    uint16_t boardError() {
        const usb::SimReply reply = in(sim::kFx2RequestGetError, 0, 0, 12);
        EXPECT_EQ(reply.status, 0);
        return reply.data.size() >= 2 ? static_cast<uint16_t>(reply.data[0] | reply.data[1] << 8)
                                      : 0xFFFF;
    }
    bool present(uint8_t address) {
        const usb::SimReply reply = in(sim::kFx2RequestI2cCheck, address, 0, 12);
        EXPECT_EQ(reply.status, 0);
        return reply.data.size() == 12 && reply.data[0] == 0 && reply.data[1] == 0;
    }
    static uint16_t op(uint8_t operation, uint8_t address) {
        return static_cast<uint16_t>(operation << 8 | address);
    }

    std::shared_ptr<sim::Fx2Board> board;
    std::shared_ptr<usb::SimPort> port;
};

TEST_F(Fx2I2cTest, TheBusCarriesTheEepromsTheSetUpFits) {
    sim::Fx2BoardConfig config = running(1);
    config.sensor.frontEndImage = sim::kNoImage;
    config.sensor.muxImage = 1;
    make(config);
    EXPECT_TRUE(present(sim::kInterfaceEeprom));
    EXPECT_FALSE(present(sim::kFrontEndEeprom));
    EXPECT_TRUE(present(sim::kMuxEeprom));
    const usb::SimReply image =
        in(sim::kFx2RequestI2cOperation, op(128, sim::kInterfaceEeprom), 0, 256);
    ASSERT_EQ(image.status, 0);
    const sim::EepromContents expected = *sim::boardImages(config.sensor).interfaceImage;
    EXPECT_EQ(image.data, std::vector<uint8_t>(expected.begin(), expected.end()));
}

TEST_F(Fx2I2cTest, TheBootEepromIsOnTheControllersBusAtTheGenerationsAddress) {
    make(running(2));
    const usb::SimReply boot = in(sim::kFx2RequestI2cOperation, op(132, 0xA2), 0, 16);
    ASSERT_EQ(boot.status, 0);
    const sim::EepromContents expected = board->bootEeprom();
    EXPECT_EQ(boot.data, std::vector<uint8_t>(expected.begin(), expected.begin() + 16));
    // 0xA2 on the board's bus is the interface EEPROM, not the boot EEPROM.
    const usb::SimReply config = in(sim::kFx2RequestI2cOperation, op(33, 0xA2), 0, 16);
    ASSERT_EQ(config.status, 0);
    EXPECT_NE(config.data, boot.data);
    EXPECT_EQ(in(sim::kFx2RequestI2cOperation, op(132, 0xA0), 0, 16).status, EPIPE);
    EXPECT_EQ(boardError(), sim::kFx2I2cNoAcknowledge);
}

TEST_F(Fx2I2cTest, ABootWriteChangesOnlyTheBootEeprom) {
    make(running(1));
    const auto interfaceBefore =
        board->withI2cBus([](sim::I2cBus& bus) { return *bus.eeprom(0xA2); });
    ASSERT_EQ(out(sim::kFx2RequestI2cOperation, op(130, 0xA0), 40, {1, 2, 3}).status, 0);
    EXPECT_EQ(board->bootEeprom()[41], 2);
    EXPECT_EQ(board->withI2cBus([](sim::I2cBus& bus) { return *bus.eeprom(0xA2); }),
              interfaceBefore);
}

TEST_F(Fx2I2cTest, TheErrorOfAMissingDeviceIsReadOnce) {
    make(running(1));
    EXPECT_EQ(in(sim::kFx2RequestI2cOperation, op(33, sim::kMuxEeprom), 0, 4).status, EPIPE);
    EXPECT_EQ(boardError(), sim::kFx2I2cNoAcknowledge);
    EXPECT_EQ(boardError(), 0);
}

TEST_F(Fx2I2cTest, AnErrorSetByATestWinsOverTheI2cError) {
    make(running(1));
    board->setDeviceError(148, 0);
    EXPECT_EQ(in(sim::kFx2RequestI2cOperation, op(33, sim::kMuxEeprom), 0, 4).status, EPIPE);
    EXPECT_EQ(boardError(), 148);
}

TEST_F(Fx2I2cTest, InjectedBusFaultsReachTheFirmware) {
    make(running(1));
    board->withI2cBus([](sim::I2cBus& bus) {
        bus.failReads(sim::kFrontEndEeprom);
        bus.corruptWrites(sim::kInterfaceEeprom);
    });
    EXPECT_EQ(in(sim::kFx2RequestI2cOperation, op(33, sim::kFrontEndEeprom), 0, 4).status, EPIPE);
    EXPECT_EQ(in(sim::kFx2RequestI2cOperation, op(33, sim::kFrontEndEeprom), 0, 4).status, 0);
    ASSERT_EQ(out(sim::kFx2RequestI2cOperation, op(17, sim::kInterfaceEeprom), 8, {0x11}).status,
              0);
    const usb::SimReply back =
        in(sim::kFx2RequestI2cOperation, op(33, sim::kInterfaceEeprom), 8, 1);
    ASSERT_EQ(back.data.size(), 1u);
    EXPECT_EQ(back.data[0], static_cast<uint8_t>(~0x11));
}

TEST_F(Fx2I2cTest, AnOperationInTheWrongDirectionStallsWithoutAnError) {
    make(running(1));
    EXPECT_EQ(out(sim::kFx2RequestI2cOperation, op(33, sim::kInterfaceEeprom), 0, {1}).status,
              EPIPE);
    EXPECT_EQ(in(sim::kFx2RequestI2cOperation, op(17, sim::kInterfaceEeprom), 0, 1).status, EPIPE);
    EXPECT_EQ(boardError(), 0);
}

TEST_F(Fx2I2cTest, TemperaturesComeAsCountIdsAndHundredths) {
    sim::Fx2BoardConfig config = running(1);
    config.temperatures = {{3, -125}, {7, 4000}};
    make(config);
    const usb::SimReply all = in(sim::kFx2RequestGetAllTemperatures, 0, 0, 34);
    ASSERT_EQ(all.status, 0);
    ASSERT_EQ(all.data.size(), 34u);
    EXPECT_EQ(all.data[0], 2);
    EXPECT_EQ(all.data[2], 3);
    EXPECT_EQ(all.data[4], 7);
    EXPECT_EQ(static_cast<int16_t>(all.data[18] | all.data[19] << 8), -125);
    EXPECT_EQ(static_cast<int16_t>(all.data[20] | all.data[21] << 8), 4000);
    const usb::SimReply one = in(sim::kFx2RequestGetOneTemperature, 0, 7, 2);
    ASSERT_EQ(one.status, 0);
    EXPECT_EQ(one.data, (std::vector<uint8_t>{0xA0, 0x0F}));
    EXPECT_EQ(in(sim::kFx2RequestGetOneTemperature, 0, 1, 2).status, EPIPE);
}

TEST_F(Fx2I2cTest, WithoutOperatingFirmwareNothingOfTheBusAnswers) {
    make(sim::Fx2BoardConfig{});
    EXPECT_EQ(in(sim::kFx2RequestI2cCheck, sim::kInterfaceEeprom, 0, 12).status, EPIPE);
    EXPECT_EQ(in(sim::kFx2RequestI2cOperation, op(33, sim::kInterfaceEeprom), 0, 1).status, EPIPE);
}

} // namespace
