// The actual configuration of boards with configuration EEPROMs on their I2C
// bus, and the serial multiplexer entry of the interface board EEPROM, against
// the simulated board driver loaded by the device layer.

#include "i2c_sim_fixture.h"
#include "tarvik_test.h"

#include "core/locks.h"
#include "hardware/actual_configuration.h"
#include "hardware/eeprom_image.h"
#include "sim/board_driver.h"
#include "sim/board_registry.h"
#include "sim/eeprom_images.h"
#include "tarvik.h"

#include "platform/device.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>

namespace tarvik::testing {
namespace {

constexpr uint32_t kFromImages = 0x00030070u;

sim::SensorChannel channel(uint16_t type, uint16_t pixels) {
    sim::SensorChannel c;
    c.sensorType = type;
    c.pixels = pixels;
    return c;
}

class ActualConfigBoardTest : public TarvikTest {
protected:
    void TearDown() override {
        board.reset();
        TarvikTest::TearDown();
        EXPECT_TRUE(platform::shutdownDevices());
        ::unsetenv("VELDON_DRIVER_PATH");
        ::unsetenv("VELDON_SIMULATION");
    }

    // Loads the simulated driver with one board "b" of the given set-up keys
    // and puts it into slot 1 as an open would.
    DeviceSlot& openBoard(const std::string& keys, uint32_t type = kTypeUsb) {
        const std::string setup = (dir.path() / "sim.ini").string();
        std::ofstream(setup) << "[board b]\nusb_board = 0\ninterface_type = " << type << "\n"
                             << keys;
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        const platform::Guid guid =
            type == kTypeUsb2 ? sim::kInterfaceClassType8 : sim::kInterfaceClassType6;
        const auto members = platform::enumerateDeviceInterfaces(guid);
        EXPECT_EQ(members.size(), 1u);
        const platform::DeviceHandle handle =
            members.empty() ? platform::kInvalidDeviceHandle : platform::openDevice(members[0]);
        EXPECT_NE(handle, platform::kInvalidDeviceHandle);
        DeviceSlot& slot = addSlot(1, type, handle);
        board = sim::BoardRegistry::instance().find("b");
        EXPECT_TRUE(board);
        return slot;
    }

    void setEeprom(uint8_t address, const sim::EepromContents& image) {
        board->withI2cBus([&](sim::I2cBus& bus) { EXPECT_TRUE(bus.setEeprom(address, image)); });
    }
    void attachEeprom(uint8_t address, const sim::EepromContents& image) {
        board->withI2cBus([&](sim::I2cBus& bus) { bus.attachEeprom(address, image); });
    }
    sim::EepromContents eeprom(uint8_t address) {
        return board->withI2cBus(
            [&](sim::I2cBus& bus) { return bus.eeprom(address).value_or(sim::EepromContents{}); });
    }
    // The image of the board with one byte changed, its checksum left as it was.
    void corrupt(uint8_t address, size_t offset) {
        sim::EepromContents image = eeprom(address);
        image[offset] ^= 0x01;
        setEeprom(address, image);
    }

    int32_t read(ActualConfigurationRecord& config) {
        std::memset(&config, 0xEE, sizeof config);
        return KORAL_GetActualConfigurationEx(0, &config, 1);
    }
    // The whole record also when the read fails (the exports copy nothing then).
    uint32_t readInner(ActualConfigurationRecord& config) {
        std::lock_guard guard(deviceLock());
        ErrorBoxOff boxOff;
        return static_cast<uint32_t>(KORAL_GetActualConfiguration2(0, &config, 1));
    }

    platform::testing::TempDir dir{"tarvik_config_board"};
    std::shared_ptr<sim::BoardModel> board;
};

TEST_F(ActualConfigBoardTest, SingleChannelBoard) {
    DeviceSlot& slot = openBoard("pixels = 2048\nsensor_type = 8\n");
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), 0x1 | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(config.interfaceType, 6u);
    EXPECT_EQ(config.frontEndType, 7u);
    EXPECT_EQ(config.muxType, 0u);
    EXPECT_EQ(config.channelCount, 1u);
    EXPECT_EQ(config.sensorType[0], 8u);
    EXPECT_EQ(config.pixelCount[0], 2048u);
    EXPECT_EQ(config.rows[0], 1u);
    // The images stay in the slot.
    EXPECT_EQ(imageU16(slot.configuration.data() + kFrontEndImageArea, image_field::kPixelCount),
              2048);
    EXPECT_EQ(ui->boxes().size(), 0u);
}

TEST_F(ActualConfigBoardTest, SerialMultiplexerOfTheInterfaceImage) {
    // MUX-KRD with assembly code 2 (four channels) on COM port 3.
    openBoard("serial_mux = 7\nserial_mux_config = 35\n");
    recordError(0, 0, 0, 0);
    ActualConfigurationRecord config;
    const int32_t flags = read(config);
    EXPECT_EQ(flags, 0x00030F7D);
    EXPECT_EQ(config.muxType, 7u);
    EXPECT_EQ(config.channelCount, 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(config.sensorType[i], 7u) << i;
        EXPECT_EQ(config.pixelCount[i], 1044u) << i;
    }
    EXPECT_EQ(lastErrorRecord().level, 0);
    EXPECT_EQ(ui->boxes().size(), 0u);
}

TEST_F(ActualConfigBoardTest, BadFrontEndChecksum) {
    DeviceSlot& slot = openBoard("");
    slot.frontEndType = 2;
    slot.block()->NumberPixel2Long = 512;
    slot.sensorType[0] = 13;
    corrupt(sim::kFrontEndEeprom, 18);
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), -1);
    EXPECT_RECORD(4, 303, 829, 1, "KORAL_GetActualConfigurationEx");
    EXPECT_EQ(readInner(config), 0x80000000u | 0x1);
    EXPECT_EQ(config.frontEndType, 2u);
    EXPECT_EQ(config.sensorType[0], 13u);
    EXPECT_EQ(config.pixelCount[0], 512u);
    const uint8_t* frontEnd = slot.configuration.data() + kFrontEndImageArea;
    EXPECT_EQ(imageU16(frontEnd, 0), kImageFailedMark);
    EXPECT_EQ(frontEnd[2], 0xFF);

    // Opened with flag 8: the missing front end is no error.
    slot.optionByte = 1;
    recordError(0, 0, 0, 0);
    EXPECT_EQ(read(config), 0x1);
    EXPECT_EQ(lastErrorRecord().level, 0);
    EXPECT_EQ(imageU16(frontEnd, 0), 0xFFFF);
}

TEST_F(ActualConfigBoardTest, InterfaceImageOfAnUnknownVersion) {
    openBoard("");
    sim::InterfaceImageSpec spec;
    spec.header.version = 1;
    setEeprom(sim::kInterfaceEeprom, sim::buildInterfaceImage(spec));
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), -1);
    EXPECT_RECORD(4, 513, 828, 1, "KORAL_GetActualConfigurationEx");
    EXPECT_EQ(readInner(config), 0x80000000u | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(config.interfaceType, 6u);
    // The rest of the read went on.
    EXPECT_EQ(config.frontEndType, 7u);
    EXPECT_EQ(config.pixelCount[0], 1044u);
}

TEST_F(ActualConfigBoardTest, UnreadableInterfaceEeprom) {
    DeviceSlot& slot = openBoard("interface_image = none\n");
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), -1);
    EXPECT_RECORD(4, 303, 828, 1, "KORAL_GetActualConfigurationEx");
    EXPECT_EQ(readInner(config), 0x80000000u | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(config.interfaceType, 6u);
    EXPECT_EQ(imageU16(slot.configuration.data(), 0), kImageFailedMark);
    EXPECT_EQ(slot.configuration[2], 0xFF);
    EXPECT_EQ(config.pixelCount[0], 1044u);
}

TEST_F(ActualConfigBoardTest, SeveralFailedReadsAreShownOnce) {
    openBoard("interface_image = none\nfrontend_image = none\n");
    ActualConfigurationRecord config;
    {
        // As the open reads, with the box on: the EEPROM reads show nothing
        // of their own.
        std::lock_guard guard(deviceLock());
        EXPECT_LT(KORAL_GetActualConfiguration2(0, &config, 1), 0);
    }
    // The first image failure's info stays.
    EXPECT_RECORD(4, 303, 828, 1, "KORAL_GetActualConfiguration2");
    EXPECT_EQ(ui->boxes().size(), 1u);
    EXPECT_EQ(errorBoxFlag(), 1u);
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());
}

TEST_F(ActualConfigBoardTest, MultiplexerEepromChannels) {
    openBoard("mux_image = 2\nmux_assembly = 5\n");
    sim::MuxImageSpec spec;
    spec.header.type = 5;
    for (size_t i = 0; i < 8; ++i) {
        spec.channels[i] = channel(i < 6 ? 7 : 65535, 1044);
    }
    spec.channels[2].pixels = 532;
    setEeprom(sim::kMuxEeprom, sim::buildMuxImage(spec));
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config),
              0x1 | 0x4 | 0x8 | kFromImages | 0x100 | 0x200 | 0x800 | 0x1000 | 0x2000);
    EXPECT_EQ(config.muxType, 5u);
    EXPECT_EQ(config.channelCount, 6u);
    EXPECT_EQ(config.pixelCount[2], 532u);
    EXPECT_EQ(config.pixelCount[5], 1044u);
    EXPECT_EQ(config.sensorType[6], 0u);
}

TEST_F(ActualConfigBoardTest, BadMultiplexerChecksum) {
    DeviceSlot& slot = openBoard("mux_image = 2\nmux_assembly = 1\n");
    corrupt(sim::kMuxEeprom, 20);
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), -1);
    EXPECT_RECORD(4, 303, 830, 1, "KORAL_GetActualConfigurationEx");
    EXPECT_EQ(readInner(config), 0x80000000u | 0x1 | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(config.muxType, 0u);
    EXPECT_EQ(config.channelCount, 1u);
    EXPECT_EQ(imageU16(slot.configuration.data() + kMuxImageArea, 0), kImageFailedMark);
    slot.optionByte = 1;
    EXPECT_EQ(read(config), 0x1 | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(config.muxType, 0u);
}

TEST_F(ActualConfigBoardTest, SecondUsbBoardKind) {
    openBoard("", kTypeUsb2);
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), 0x1 | 0x4 | 0x8 | kFromImages | 0x100);
    EXPECT_EQ(config.interfaceType, 8u);
    EXPECT_EQ(config.frontEndType, 8u);
    EXPECT_EQ(config.muxType, 8u);
    EXPECT_EQ(config.channelCount, 1u);
    EXPECT_EQ(config.sensorType[0], 22u);
    EXPECT_EQ(config.pixelCount[0], 738u);
}

TEST_F(ActualConfigBoardTest, DescriptionFileOfAnUnsupportedVersion) {
    const std::string file = (dir.path() / "sensor.ini").string();
    std::ofstream(file) << "[GENERAL]\nVERSION=3000\n";
    openBoard("sensor_type = 128\npixels = 900\n");
    state().sensorDescriptionFiles[1] = file;
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), -1);
    EXPECT_RECORD(4, 311, 844, 1, "KORAL_GetActualConfigurationEx");
    EXPECT_EQ(readInner(config), 0x80000000u | 0x1 | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(config.interfaceType, 6u);
    EXPECT_EQ(config.frontEndType, 7u);
    EXPECT_EQ(config.channelCount, 1u);
    EXPECT_EQ(config.sensorType[0], 128u);
    EXPECT_EQ(config.pixelCount[0], 900u);
}

TEST_F(ActualConfigBoardTest, ClockOfTheFrontEndImage) {
    DeviceSlot& slot = openBoard("frontend_type = 10\nclock_value = 4000\nsensor_type = 13\n"
                                 "pixels = 512\n");
    ActualConfigurationRecord config;
    ASSERT_GE(read(config), 0);
    slot.initialised = 1;
    const int32_t a = static_cast<int32_t>(6u | 1u << 16);
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(a, 10, 0, 13), 1);
    EXPECT_EQ(KORAL_HWConfig_IsConfigSupported(a, 10, 0, 14), 0); // 14 needs clock 2000
}

TEST_F(ActualConfigBoardTest, MuxParamsOfTheInterfaceImage) {
    openBoard("serial_mux = 9\nserial_mux_config = 83\n");
    uint32_t type = 0, port = 0, assembly = 0;
    EXPECT_EQ(KORAL_HWConfig_GetMUXParams(&type, &port, &assembly, 1), 0);
    EXPECT_EQ(type, 9u);
    EXPECT_EQ(port, 3u);
    EXPECT_EQ(assembly, 5u);
    EXPECT_EQ(KORAL_HWConfig_GetMUXParams(nullptr, nullptr, &assembly, 1), 0);
}

TEST_F(ActualConfigBoardTest, NoMuxInTheInterfaceImage) {
    openBoard("");
    uint32_t type = 0;
    EXPECT_EQ(KORAL_HWConfig_GetMUXParams(&type, nullptr, nullptr, 1), -1);
    EXPECT_RECORD(5, 301, 812, 1, "KORAL_HWConfig_GetMUXParams");
    corrupt(sim::kInterfaceEeprom, 16);
    EXPECT_EQ(KORAL_HWConfig_GetMUXParams(&type, nullptr, nullptr, 1), -1);
    EXPECT_RECORD(5, 303, 828, 1, "KORAL_HWConfig_GetMUXParams");
    EXPECT_EQ(ui->boxes().size(), 2u);
    EXPECT_EQ(errorBoxFlag(), 1u);
}

TEST_F(ActualConfigBoardTest, ChangeMuxParamsWritesASealedImage) {
    openBoard("");
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(7, 4, 3, 1), 0);
    sim::EepromContents image = eeprom(sim::kInterfaceEeprom);
    EXPECT_EQ(image[18], 7);
    EXPECT_EQ(image[19], 0x34);
    const sim::EepromContents before = image;
    sim::sealImage(image);
    EXPECT_EQ(image, before); // the checksum was right
    uint32_t type = 0, port = 0, assembly = 0;
    EXPECT_EQ(KORAL_HWConfig_GetMUXParams(&type, &port, &assembly, 1), 0);
    EXPECT_EQ(type, 7u);
    EXPECT_EQ(port, 4u);
    EXPECT_EQ(assembly, 3u);

    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(0, 0, 0, 1), 0);
    image = eeprom(sim::kInterfaceEeprom);
    EXPECT_EQ(image[18], 0xFF);
    EXPECT_EQ(image[19], 0xFF);
    EXPECT_EQ(KORAL_HWConfig_GetMUXParams(&type, &port, &assembly, 1), -1);
    EXPECT_EQ(ui->boxes().size(), 1u);
}

TEST_F(ActualConfigBoardTest, ChangeMuxParamsRefusesBadArguments) {
    openBoard("");
    const sim::EepromContents before = eeprom(sim::kInterfaceEeprom);
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(7, 16, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_HWConfig_ChangeMUXParams");
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(7, -1, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_HWConfig_ChangeMUXParams");
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(7, 0, 0, 1), -1);
    EXPECT_RECORD(5, 505, 849, 0, "KORAL_HWConfig_ChangeMUXParams");
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(7, 0, 5, 1), -1);
    EXPECT_RECORD(5, 505, 849, 0, "KORAL_HWConfig_ChangeMUXParams");
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(9, 0, 7, 1), -1);
    EXPECT_RECORD(5, 505, 849, 0, "KORAL_HWConfig_ChangeMUXParams");
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(8, 0, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_HWConfig_ChangeMUXParams");
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(9, 15, 0, 1), 0);
    EXPECT_EQ(eeprom(sim::kInterfaceEeprom)[19], 0x0F);
    EXPECT_NE(eeprom(sim::kInterfaceEeprom), before);
}

TEST_F(ActualConfigBoardTest, FailedReadOfTheMuxParams) {
    openBoard("interface_image = none\n");
    uint32_t type = 0;
    // The query leaves the read's record as it is and shows nothing.
    EXPECT_EQ(KORAL_HWConfig_GetMUXParams(&type, nullptr, nullptr, 1), -1);
    EXPECT_EQ(std::string(lastErrorRecord().functionName), "KORAL_I2C_Read_EEPROM_X");
    EXPECT_EQ(ui->boxes().size(), 0u);
    // The change shows it under its own name.
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(7, 1, 1, 1), -1);
    EXPECT_EQ(std::string(lastErrorRecord().functionName), "KORAL_HWConfig_ChangeMUXParams");
    EXPECT_EQ(ui->boxes().size(), 1u);
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());
}

// The serial electronics reach the interface board EEPROM through the serial
// link's I2C transfers.
class SerialMuxParamsTest : public I2cSimTest {};

TEST_F(SerialMuxParamsTest, MuxParamsOverTheSerialLink) {
    openSerialSlot();
    sim::InterfaceImageSpec spec;
    spec.header.type = 3;
    spec.serialMuxType = 9;
    spec.serialMuxConfig = 0x21;
    serial->bus.attachEeprom(sim::kInterfaceEeprom, sim::buildInterfaceImage(spec));
    uint32_t type = 0, port = 0, assembly = 0;
    EXPECT_EQ(KORAL_HWConfig_GetMUXParams(&type, &port, &assembly, 1), 0);
    EXPECT_EQ(type, 9u);
    EXPECT_EQ(port, 1u);
    EXPECT_EQ(assembly, 2u);

    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(7, 2, 4, 1), 0);
    sim::EepromContents image = serial->bus.eeprom(sim::kInterfaceEeprom).value();
    EXPECT_EQ(image[18], 7);
    EXPECT_EQ(image[19], 0x42);
    const sim::EepromContents written = image;
    sim::sealImage(image);
    EXPECT_EQ(image, written);
    EXPECT_EQ(boxCount(), 0u);
}

TEST_F(SerialMuxParamsTest, SerialTransferFailureIsShownByTheChangeOnly) {
    openSerialSlot();
    serial->bus.attachEeprom(sim::kInterfaceEeprom, sim::buildInterfaceImage({}));
    serial->transfersUntilFailure = 3;
    uint32_t type = 0;
    EXPECT_EQ(KORAL_HWConfig_GetMUXParams(&type, nullptr, nullptr, 1), -1);
    EXPECT_EQ(boxCount(), 0u);
    serial->transfersUntilFailure = 3;
    EXPECT_EQ(KORAL_HWConfig_ChangeMUXParams(9, 0, 0, 1), -1);
    EXPECT_TRUE(lastBoxNames("KORAL_HWConfig_ChangeMUXParams"));
    EXPECT_EQ(boxCount(), 1u);
}

} // namespace
} // namespace tarvik::testing
