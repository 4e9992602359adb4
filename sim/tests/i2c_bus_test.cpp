// The I2C bus model, the image builders, the set-up keys of the EEPROMs, and
// the board's I2C commands driven directly on request blocks.

#include "sim/board_model.h"
#include "sim/eeprom_images.h"
#include "sim/i2c_bus.h"
#include "sim/setup.h"

#include "sim_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using namespace simtest;
using sim::BoardModel;
using sim::EepromContents;
using sim::I2cBus;
using sim::I2cResult;

EepromContents counting() {
    EepromContents bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    return bytes;
}

bool sealed(const EepromContents& image) {
    EepromContents copy = image;
    sim::sealImage(copy);
    return copy == image;
}

// --- bus

TEST(I2cBusTest, EepromAddressPointer) {
    I2cBus bus;
    bus.attachEeprom(0xA0, counting());
    uint8_t out[3] = {};
    ASSERT_EQ(bus.read(0xA0, uint8_t{10}, out), I2cResult::Done);
    EXPECT_EQ(out[0], 10);
    ASSERT_EQ(bus.read(0xA1, std::nullopt, out), I2cResult::Done); // direction bit ignored
    EXPECT_EQ(out[0], 13);
    const uint8_t write[] = {254, 0xAA, 0xBB, 0xCC}; // first byte: the address
    ASSERT_EQ(bus.write(0xA0, std::nullopt, write), I2cResult::Done);
    const EepromContents after = *bus.eeprom(0xA0);
    EXPECT_EQ(after[254], 0xAA);
    EXPECT_EQ(after[255], 0xBB);
    EXPECT_EQ(after[0], 0xCC); // wraps at 256
}

TEST(I2cBusTest, TemperatureSensorRegisters) {
    I2cBus bus;
    bus.attach(0x9A, std::make_unique<sim::I2cTemperatureSensor>(-51));
    uint8_t out[4] = {};
    ASSERT_EQ(bus.read(0x9B, uint8_t{0}, out), I2cResult::Done);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), std::vector<uint8_t>({0xE7, 0x80, 0xE7, 0x80}));
    const uint8_t tOs[] = {3, 0x50, 0x00}; // pointer, then 80 degrees
    ASSERT_EQ(bus.write(0x9A, std::nullopt, tOs), I2cResult::Done);
    const uint8_t toTemperature[] = {0, 0x10, 0x00}; // read only
    ASSERT_EQ(bus.write(0x9A, std::nullopt, toTemperature), I2cResult::Done);
    auto* sensor = bus.device<sim::I2cTemperatureSensor>(0x9A);
    ASSERT_NE(sensor, nullptr);
    EXPECT_EQ(sensor->tOs(), 160);
    EXPECT_EQ(sensor->temperature(), -51);
    EXPECT_EQ(bus.device<sim::I2cEeprom>(0x9A), nullptr);
    EXPECT_FALSE(bus.eeprom(0x9A).has_value());
}

TEST(I2cBusTest, AbsentAndRemovedDevicesDoNotAcknowledge) {
    I2cBus bus;
    uint8_t out[1] = {};
    EXPECT_EQ(bus.read(0xA4, uint8_t{0}, out), I2cResult::NoAcknowledge);
    bus.attachEeprom(0xA4, counting());
    EXPECT_TRUE(bus.present(0xA4));
    EXPECT_TRUE(bus.remove(0xA4));
    EXPECT_FALSE(bus.remove(0xA4));
    EXPECT_EQ(bus.write(0xA4, uint8_t{0}, out), I2cResult::NoAcknowledge);
    EXPECT_FALSE(bus.setEeprom(0xA4, counting()));
}

TEST(I2cBusTest, InjectedFaults) {
    I2cBus bus;
    bus.attachEeprom(0xA2, counting());
    bus.failReads(0xA2, 1);
    uint8_t out[2] = {};
    EXPECT_EQ(bus.read(0xA2, uint8_t{0}, out), I2cResult::NoAcknowledge);
    EXPECT_EQ(bus.read(0xA2, uint8_t{0}, out), I2cResult::Done);
    bus.corruptWrites(0xA2, 1);
    const uint8_t data[] = {0x0F, 0x10};
    EXPECT_EQ(bus.write(0xA2, uint8_t{5}, data), I2cResult::Done);
    EXPECT_EQ((*bus.eeprom(0xA2))[5], 0xF0);
    EXPECT_EQ((*bus.eeprom(0xA2))[6], 0x10);
    bus.failReads(0xA2, 3);
    bus.clearFaults();
    EXPECT_EQ(bus.read(0xA2, uint8_t{0}, out), I2cResult::Done);
}

// --- builders

TEST(EepromImageBuilderTest, LengthsAndChecksumsOfEveryVersion) {
    EXPECT_EQ(sim::crc16({reinterpret_cast<const uint8_t*>("123456789"), 9}), 0x4B37);
    struct Case {
        EepromContents image;
        uint16_t length;
        bool crc;
    };
    auto frontEnd = [](uint16_t version) {
        sim::FrontEndImageSpec spec;
        spec.header.version = version;
        return sim::buildFrontEndImage(spec);
    };
    auto mux = [](uint16_t version) {
        sim::MuxImageSpec spec;
        spec.header.version = version;
        return sim::buildMuxImage(spec);
    };
    const Case cases[] = {{sim::buildInterfaceImage({}), 20, false},
                          {frontEnd(0), 36, false},
                          {frontEnd(1), 40, false},
                          {frontEnd(2), 42, true},
                          {mux(0), 204, false},
                          {mux(1), 236, false},
                          {mux(2), 236, true}};
    for (const Case& c : cases) {
        EXPECT_EQ(sim::imageWord(c.image, 0), c.length);
        const std::span<const uint8_t> checked(c.image.data() + 4, c.length);
        EXPECT_EQ(sim::imageWord(c.image, 2), c.crc ? sim::crc16(checked) : sim::wordSum(checked));
        // Bytes beyond the layout are erased.
        EXPECT_TRUE(std::all_of(c.image.begin() + 4 + c.length, c.image.end(), [](uint8_t b) {
            return b == 0xFF;
        })) << c.length;
    }
    const EepromContents boot = sim::buildBootImage({});
    EXPECT_EQ(sim::imageWord(boot, 16), 28);
    EXPECT_EQ(sim::imageWord(boot, 18), sim::crc16({boot.data() + 20, 28}));
}

TEST(EepromImageBuilderTest, MuxChannelsBeyondTheAssemblyAreErased) {
    sim::MuxImageSpec spec;
    spec.header.type = 6; // two channels
    const EepromContents image = sim::buildMuxImage(spec);
    EXPECT_EQ(sim::imageWord(image, 16), 7);
    EXPECT_EQ(sim::imageWord(image, 40), 7);
    EXPECT_EQ(sim::imageWord(image, 64), 0xFFFF);
    EXPECT_TRUE(std::all_of(image.begin() + 216, image.end(), [](uint8_t b) { return b == 0xFF; }));
}

// --- set-up keys

TEST(EepromSetupTest, DefaultBoardCarriesASupportedOneChannelConfiguration) {
    const sim::Setup setup = sim::parseSetup("[board a]\n[board b]\ninterface_type = 8\n");
    ASSERT_EQ(setup.boards.size(), 2u);
    const sim::BoardImages six = sim::boardImages(setup.boards[0]);
    ASSERT_TRUE(six.interfaceImage && six.frontEndImage && six.bootImage);
    EXPECT_FALSE(six.muxImage);
    EXPECT_EQ(sim::imageWord(*six.interfaceImage, 6), 6);
    EXPECT_EQ(sim::imageWord(*six.frontEndImage, 6), 7);     // front-end type
    EXPECT_EQ(sim::imageWord(*six.frontEndImage, 16), 7);    // sensor type
    EXPECT_EQ(sim::imageWord(*six.frontEndImage, 18), 1044); // pixels
    EXPECT_EQ(sim::imageWord(*six.frontEndImage, 22), 64);   // physical rows
    EXPECT_EQ(sim::imageWord(*six.frontEndImage, 8) >> 12, 2);

    const sim::BoardConfig& eight = setup.boards[1];
    EXPECT_EQ(eight.sensorType, 22);
    EXPECT_EQ(eight.pixels, 738);
    const sim::BoardImages images = sim::boardImages(eight);
    ASSERT_TRUE(images.muxImage && images.bootImage);
    EXPECT_EQ(sim::imageWord(*images.interfaceImage, 6), 8);
    EXPECT_EQ(sim::imageWord(*images.frontEndImage, 6), 8);
    EXPECT_EQ(sim::imageWord(*images.muxImage, 6), 8);         // assembly code 8
    EXPECT_EQ(sim::imageWord(*images.muxImage, 8) & 0xFFF, 0); // revision 0: one channel
    EXPECT_EQ(sim::imageWord(*images.muxImage, 16), 22);
    EXPECT_EQ(sim::imageWord(*images.muxImage, 40), 0xFFFF);
    for (const auto& image : {images.interfaceImage, images.frontEndImage, images.muxImage}) {
        EXPECT_TRUE(sealed(*image));
    }
}

TEST(EepromSetupTest, ReadsTheEepromKeys) {
    const sim::Setup setup = sim::parseSetup("[board a]\n"
                                             "interface_type = 4\n"
                                             "interface_image = none\n"
                                             "frontend_image = 0\n"
                                             "mux_image = 1\n"
                                             "boot_image = NONE\n"
                                             "frontend_type = 10\n"
                                             "clock_value = 4000\n"
                                             "mux_assembly = 5\n"
                                             "mux_revision = 0x12\n"
                                             "serial_mux = 9\n"
                                             "serial_mux_config = 0x31\n");
    ASSERT_EQ(setup.boards.size(), 1u) << setup.problems[0].message;
    const sim::BoardConfig& board = setup.boards[0];
    EXPECT_EQ(board.interfaceImage, sim::kNoImage);
    EXPECT_EQ(board.frontEndImage, 0);
    EXPECT_EQ(board.muxImage, 1);
    EXPECT_EQ(board.bootImage, sim::kNoImage);
    EXPECT_EQ(board.frontEndType, 10);
    EXPECT_EQ(board.clockValue, 4000);
    EXPECT_EQ(board.muxAssembly, 5);
    EXPECT_EQ(board.muxRevision, 0x12);
    EXPECT_EQ(board.serialMux, 9);
    EXPECT_EQ(board.serialMuxConfig, 0x31);
    const sim::BoardImages images = sim::boardImages(board);
    EXPECT_FALSE(images.interfaceImage);
    EXPECT_FALSE(images.bootImage);
    ASSERT_TRUE(images.muxImage);
    EXPECT_EQ(sim::imageWord(*images.muxImage, 0), 236);
    EXPECT_EQ(sim::imageWord(*images.muxImage, 16 + 24 * 7), 7); // all eight channels
}

TEST(EepromSetupTest, BadValuesSkipTheBoard) {
    for (const char* line :
         {"frontend_image = 3", "interface_image = 1", "mux_image = -1", "boot_image = 1",
          "clock_value = 500", "serial_mux = 8", "mux_assembly = 16", "mux_revision = 4096",
          "frontend_image = nonex"}) {
        const sim::Setup setup = sim::parseSetup(std::string("[board a]\n") + line + "\n");
        EXPECT_TRUE(setup.boards.empty()) << line;
        ASSERT_EQ(setup.problems.size(), 1u) << line;
        EXPECT_EQ(setup.problems[0].kind, sim::SetupProblem::Kind::BoardSkipped);
    }
}

// --- the board's I2C commands

sim::BoardConfig configOf(uint16_t hardwareWord = 0x1064) {
    sim::BoardConfig config;
    config.name = "i2c";
    config.hardwareWord = hardwareWord;
    return config;
}

class BoardI2cTest : public ::testing::Test {
protected:
    BoardModel board{configOf(), "SIM\\I2C"};
    std::unique_ptr<LongBlock> block = newBlock();

    uint16_t send(uint32_t code, uint8_t operation, uint8_t device, uint8_t index, uint8_t length,
                  uint32_t size = kLong) {
        block->block.I2COperation = operation;
        block->block.I2CDevice = device;
        block->block.I2CIndex = index;
        block->block.I2CLength = length;
        block->block.DataLength = (size - KORAL_REQUEST_BLOCK_DATA_OFFSET) / 2;
        EXPECT_EQ(board.handle(code, bytesOf(*block), size, size).status, platform::kStatusSuccess);
        return block->block.Status;
    }
    EepromContents frontEnd() {
        return *board.withI2cBus([](I2cBus& bus) { return bus.eeprom(0xA0); });
    }
};

TEST_F(BoardI2cTest, ShortTransfersTravelInTheInlineData) {
    std::memcpy(block->block.I2CData, "\x01\x02\x03\x04", 4);
    ASSERT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 17, 0xA0, 100, 4, kShort), 0);
    EXPECT_EQ(frontEnd()[103], 4);
    std::memset(block->block.I2CData, 0, 8);
    ASSERT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 33, 0xA0, 101, 2, kShort), 0);
    EXPECT_EQ(block->block.I2CData[0], 2);
    EXPECT_EQ(block->block.I2CData[1], 3);
}

TEST_F(BoardI2cTest, LongTransfersTravelInTheDataArea) {
    for (std::size_t i = 0; i < 12; ++i) {
        dataOf(*block)[i] = static_cast<uint8_t>(0x30 + i);
    }
    ASSERT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 17, 0xA0, 200, 12), 0);
    EXPECT_EQ(frontEnd()[211], 0x3B);
    // The data area of a short block cannot hold them.
    EXPECT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 33, 0xA0, 200, 12, kShort),
              sim::kStatusBufferTooSmall);
}

TEST_F(BoardI2cTest, LongFieldsAndTheLengthLimit) {
    block->block.I2CLengthLong = 300;
    EXPECT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 34, 0xA0, 0, 255), sim::kStatusNotSupported);
    EXPECT_EQ(block->block.StatusInfo, 256);
    // Operation 33 takes its 8-bit fields as they stand: 255 bytes.
    ASSERT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 33, 0xA0, 0, 255), 0);
    EXPECT_TRUE(std::equal(dataOf(*block), dataOf(*block) + 255, frontEnd().begin()));
    block->block.I2CIndexLong = 0x0105;
    block->block.I2CLengthLong = 3;
    ASSERT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 34, 0xA0, 255, 255), 0);
    EXPECT_EQ(block->block.I2CData[0], frontEnd()[5]);
}

TEST_F(BoardI2cTest, AbsentDevicesAndCompareFailures) {
    EXPECT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 33, 0x9C, 0, 1), sim::kStatusI2cNoAcknowledge);
    EXPECT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 128, 0xA4, 0, 255), sim::kStatusI2cNoAcknowledge);
    board.withI2cBus([](I2cBus& bus) { bus.corruptWrites(0xA0); });
    std::memcpy(dataOf(*block), counting().data(), 256);
    EXPECT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 129, 0xA0, 0, 255), sim::kStatusI2cCompare);
    EXPECT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 129, 0xA0, 0, 255), 0);
    EXPECT_EQ(frontEnd(), counting());
    // Unknown operations are answered without a transfer.
    EXPECT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 0x55, 0x9C, 0, 1), 0);
}

TEST_F(BoardI2cTest, PresenceCheck) {
    block->block.I2CData[0] = 7;
    ASSERT_EQ(send(IOCTL_BOARD_I2C_CHECK_DEVICE, 0, 0xA2, 0, 0, kShort), 0);
    EXPECT_EQ(block->block.I2CData[0], 1);
    board.withI2cBus([](I2cBus& bus) { return bus.remove(0xA2); });
    ASSERT_EQ(send(IOCTL_BOARD_I2C_CHECK_DEVICE, 0, 0xA2, 0, 0, kShort), 0);
    EXPECT_EQ(block->block.I2CData[0], 0);
}

TEST_F(BoardI2cTest, NothingRunsWhileScanningContinuously) {
    block->block.WorkMode = 0xFF20;
    board.handle(IOCTL_BOARD_INIT, bytesOf(*block), kShort, kShort);
    ASSERT_TRUE(board.continuousAcquisition());
    for (uint32_t code :
         {IOCTL_BOARD_I2C_OPERATION, IOCTL_BOARD_I2C_CHECK_DEVICE, IOCTL_BOARD_BOOT_EEPROM}) {
        EXPECT_EQ(send(code, 33, 0xA0, 0, 1), sim::kStatusWrongWorkMode);
    }
    board.handle(IOCTL_BOARD_DEINIT, bytesOf(*block), kShort, kShort);
    EXPECT_FALSE(board.continuousAcquisition());
    EXPECT_EQ(send(IOCTL_BOARD_I2C_OPERATION, 33, 0xA0, 0, 1), 0);
}

TEST_F(BoardI2cTest, BootEepromReadOfLength63ReadsSixtyFourBytes) {
    const EepromContents boot = board.bootEeprom();
    std::memset(dataOf(*block), 0, 256);
    ASSERT_EQ(send(IOCTL_BOARD_BOOT_EEPROM, 132, 0, 0, 63), 0);
    EXPECT_TRUE(std::equal(dataOf(*block), dataOf(*block) + 64, boot.begin()));
    EXPECT_EQ(dataOf(*block)[64], 0);
}

TEST_F(BoardI2cTest, BootEepromWriteNeedsAZeroFirstInlineByte) {
    std::memcpy(dataOf(*block), counting().data(), 256);
    block->block.I2CData[0] = 1;
    EXPECT_EQ(send(IOCTL_BOARD_BOOT_EEPROM, 130, 0, 0, 255), sim::kStatusInvalidData);
    EXPECT_NE(board.bootEeprom(), counting());
    block->block.I2CData[0] = 0;
    ASSERT_EQ(send(IOCTL_BOARD_BOOT_EEPROM, 131, 0, 0, 255), 0);
    EXPECT_EQ(board.bootEeprom(), counting());
}

TEST(BoardI2cGeneration2Test, BootEepromTakesTheLongFieldsWhenBothShortOnesAre255) {
    BoardModel board{configOf(0x2064), "SIM\\G2"};
    board.setBootEeprom(counting());
    auto block = newBlock();
    block->block.I2COperation = 132;
    block->block.I2CIndex = 255;
    block->block.I2CLength = 255;
    block->block.I2CIndexLong = 10;
    block->block.I2CLengthLong = 4;
    ASSERT_EQ(board.handle(IOCTL_BOARD_BOOT_EEPROM, bytesOf(*block), kLong, kLong).status,
              platform::kStatusSuccess);
    EXPECT_EQ(block->block.Status, 0);
    EXPECT_EQ(dataOf(*block)[0], 10);
    EXPECT_EQ(dataOf(*block)[4], 0); // four bytes only
    block->block.I2CLengthLong = 257;
    board.handle(IOCTL_BOARD_BOOT_EEPROM, bytesOf(*block), kLong, kLong);
    EXPECT_EQ(block->block.Status, sim::kStatusNotSupported);
    EXPECT_EQ(block->block.StatusInfo, 256);
}

} // namespace
