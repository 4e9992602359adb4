// The actual configuration from the serial electronics' configuration block
// and from the configured values, the sensor description file, the mode-3
// cache, the dialog hook and the two exports. Boards with EEPROMs on an I2C
// bus: actual_config_board_test.cpp.

#include "tarvik_test.h"

#include "core/locks.h"
#include "hardware/actual_configuration.h"
#include "hardware/eeprom_image.h"
#include "serial/qre_link.h"
#include "sim/eeprom_images.h"
#include "tarvik.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

namespace tarvik::testing {
namespace {

// Bits 4, 5, 6, 16 and 17: channels from images.
constexpr uint32_t kFromImages = 0x00030070u;

// Offsets of the short images in the serial configuration block.
constexpr size_t kBlockInterface = 4;
constexpr size_t kBlockFrontEnd = 28;
constexpr size_t kBlockMux = 68;

sim::SensorChannel channel(uint16_t type, uint16_t pixels, uint16_t rows = 1, uint16_t fourth = 1) {
    sim::SensorChannel c;
    c.sensorType = type;
    c.pixels = pixels;
    c.rows = rows;
    c.fourthSensorWord = fourth;
    return c;
}

sim::EepromContents serialInterfaceImage() {
    sim::InterfaceImageSpec spec;
    spec.header.type = 3;
    return sim::buildInterfaceImage(spec);
}

sim::EepromContents frontEndImage(uint16_t type, const sim::SensorChannel& sensor) {
    sim::FrontEndImageSpec spec;
    spec.header.type = type;
    spec.sensor = sensor;
    return sim::buildFrontEndImage(spec);
}

class ActualConfigTest : public TarvikTest {
protected:
    void TearDown() override {
        setConfigurationDialogHook(nullptr);
        TarvikTest::TearDown();
    }

    std::array<uint8_t, kQreConfigurationBlockSize>& block() { return qreLink()->configuration; }

    // The block as the link leaves it after reading the electronics: status,
    // then the first bytes of each image (an image not given is absent).
    void putBlock(uint16_t status, const sim::EepromContents* interfaceImage,
                  const sim::EepromContents* frontEnd, const sim::EepromContents* mux) {
        block().fill(0);
        setImageU16(block().data(), 2, status);
        if (interfaceImage != nullptr) {
            std::memcpy(block().data() + kBlockInterface, interfaceImage->data(), 24);
        }
        if (frontEnd != nullptr) {
            std::memcpy(block().data() + kBlockFrontEnd, frontEnd->data(), 40);
        }
        if (mux != nullptr) {
            std::memcpy(block().data() + kBlockMux, mux->data(), 208);
        }
    }

    // The usual serial electronics: interface and front end, no multiplexer.
    DeviceSlot& serialSlot(const sim::SensorChannel& sensor = channel(1, 256)) {
        DeviceSlot& slot = addSlot(1, kTypeSerial);
        const sim::EepromContents interfaceImage = serialInterfaceImage();
        const sim::EepromContents frontEnd = frontEndImage(3, sensor);
        putBlock(1, &interfaceImage, &frontEnd, nullptr);
        return slot;
    }

    int32_t read(ActualConfigurationRecord& config, uint32_t mode = 0, uint32_t id = 1) {
        std::memset(&config, 0xEE, sizeof config);
        std::lock_guard guard(deviceLock());
        return KORAL_GetActualConfiguration2(mode, &config, id);
    }

    std::string writeDescription(const std::string& text) {
        const std::string path = (dir.path() / "sensor.ini").string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    platform::testing::TempDir dir{"tarvik_config"};
};

constexpr const char* kDescription = "[GENERAL]\nVERSION=2000\nSENSOR_TECH=1\n"
                                     "[SENSOR_PARAMETER]\nSENSOR_SIZE=2000\n"
                                     "REVISION_PIXEL_1=10\n"
                                     "[INTEGRATIONTIME_PARAMETER]\nN=11\n"
                                     "PAR_A0=1\nPAR_A1=2\nPAR_A2=3\nPAR_A3=4\nPAR_A4=5\n"
                                     "PAR_A5=6\nPAR_A6=7\nPAR_A7=8\nPAR_A8=9\nPAR_A9=2\n"
                                     "PAR_A10=64\n";

TEST_F(ActualConfigTest, SerialElectronicsTakeTheBlocksImages) {
    DeviceSlot& slot = serialSlot(channel(1, 256));
    ActualConfigurationRecord config;
    const int32_t flags = read(config);
    EXPECT_EQ(flags, 0x1 | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(slot.configurationWord, static_cast<uint32_t>(flags));
    EXPECT_EQ(config.interfaceType, 3u);
    EXPECT_EQ(config.reserved, 0u);
    EXPECT_EQ(config.frontEndType, 3u);
    EXPECT_EQ(config.muxType, 0u);
    EXPECT_EQ(config.channelCount, 1u);
    EXPECT_EQ(config.sensorType[0], 1u);
    EXPECT_EQ(config.pixelCount[0], 256u);
    EXPECT_EQ(config.rows[0], 1u);
    EXPECT_EQ(config.fourthSensorWord[0], 1u);
    for (size_t i = 1; i < 8; ++i) {
        EXPECT_EQ(config.sensorType[i] | config.pixelCount[i] | config.rows[i] |
                      config.fourthSensorWord[i],
                  0u)
            << i;
    }
    // The images now stand in the slot; the front end's c4 was not in the block.
    const uint8_t* frontEnd = slot.configuration.data() + kFrontEndImageArea;
    EXPECT_EQ(imageU16(frontEnd, image_field::kPixelCount), 256);
    EXPECT_EQ(imageF32(frontEnd, image_field::kCoefficients + 16), 0.0f);
    EXPECT_EQ(imageU16(slot.configuration.data(), image_field::kType), 3);
    // Without a multiplexer image area 2 keeps a length of 0.
    EXPECT_EQ(imageU16(slot.configuration.data() + kMuxImageArea, 0), 0);
}

TEST_F(ActualConfigTest, AnEarlierValidReadKeepsTheSlotsImages) {
    serialSlot(channel(1, 256));
    ActualConfigurationRecord config;
    ASSERT_GE(read(config), 0);
    // The block changes and is not marked as freshly read: the slot's images count.
    const sim::EepromContents interfaceImage = serialInterfaceImage();
    const sim::EepromContents other = frontEndImage(3, channel(2, 512));
    putBlock(0, &interfaceImage, &other, nullptr);
    EXPECT_EQ(read(config), 0x1 | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(config.sensorType[0], 1u);
    EXPECT_EQ(config.pixelCount[0], 256u);
}

TEST_F(ActualConfigTest, BlockNotReadYetGivesTheConfiguredValues) {
    DeviceSlot& slot = addSlot(1, kTypeSerial);
    putBlock(0, nullptr, nullptr, nullptr);
    slot.frontEndType = 6;
    slot.sensorType[0] = 10;
    slot.rows[0] = 1;
    slot.fourthSensorWord[0] = 1;
    slot.block()->NumberPixel2Long = 512;
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), 0);
    EXPECT_EQ(config.interfaceType, 3u);
    EXPECT_EQ(config.frontEndType, 6u);
    EXPECT_EQ(config.channelCount, 1u);
    EXPECT_EQ(config.sensorType[0], 10u);
    EXPECT_EQ(config.pixelCount[0], 512u);
    EXPECT_EQ(imageU16(slot.configuration.data(), 0), 0);
    EXPECT_EQ(ui->boxes().size(), 0u);
}

TEST_F(ActualConfigTest, AbsentSerialInterfaceImageIsAnError) {
    DeviceSlot& slot = addSlot(1, kTypeSerial);
    const sim::EepromContents frontEnd = frontEndImage(3, channel(1, 256));
    putBlock(254, nullptr, &frontEnd, nullptr);
    setImageU16(block().data(), kBlockInterface, 0xFFFF);
    ActualConfigurationRecord config;
    const int32_t flags = read(config);
    EXPECT_EQ(static_cast<uint32_t>(flags), 0x80000000u | 0x4 | kFromImages | 0x100);
    EXPECT_RECORD(4, 303, 828, 1, "KORAL_GetActualConfiguration2");
    EXPECT_EQ(config.interfaceType, 3u);
    EXPECT_EQ(imageU16(slot.configuration.data(), 0), kImageFailedMark);
    // The next read does not take the block for an earlier valid read.
    putBlock(0, nullptr, nullptr, nullptr);
    EXPECT_EQ(read(config), 0);
}

TEST_F(ActualConfigTest, FirstImageFailureKeepsItsInfo) {
    addSlot(1, kTypeSerial);
    putBlock(1, nullptr, nullptr, nullptr);
    setImageU16(block().data(), kBlockInterface, 255);
    setImageU16(block().data(), kBlockFrontEnd, 255);
    setImageU16(block().data(), kBlockMux, 65535);
    ActualConfigurationRecord config;
    EXPECT_LT(read(config), 0);
    EXPECT_RECORD(4, 303, 828, 1, "KORAL_GetActualConfiguration2");
    EXPECT_EQ(config.muxType, 0u);
}

TEST_F(ActualConfigTest, AbsentSerialFrontEndIsAcceptedWithTheOption) {
    DeviceSlot& slot = addSlot(1, kTypeSerial);
    slot.optionByte = 1;
    slot.frontEndType = 2;
    const sim::EepromContents interfaceImage = serialInterfaceImage();
    putBlock(1, &interfaceImage, nullptr, nullptr);
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), 0x1);
    EXPECT_EQ(config.frontEndType, 2u);
    EXPECT_EQ(ui->boxes().size(), 0u);
}

TEST_F(ActualConfigTest, SerialMultiplexerChannelsCountTheFittedOnes) {
    addSlot(1, kTypeSerial);
    sim::MuxImageSpec spec;
    spec.header.type = 5; // eight entries
    for (size_t i = 0; i < 8; ++i) {
        spec.channels[i] = channel(i < 6 ? 1 : 65535, i == 3 ? 512 : 256);
    }
    const sim::EepromContents mux = sim::buildMuxImage(spec);
    const sim::EepromContents interfaceImage = serialInterfaceImage();
    const sim::EepromContents frontEnd = frontEndImage(3, channel(1, 256));
    putBlock(1, &interfaceImage, &frontEnd, &mux);
    ActualConfigurationRecord config;
    const int32_t flags = read(config);
    // Channel 3 differs from channel 0; 6 and 7 are not fitted.
    EXPECT_EQ(flags, 0x1 | 0x4 | 0x8 | kFromImages | 0x100 | 0x200 | 0x400 | 0x1000 | 0x2000);
    EXPECT_EQ(config.muxType, 5u);
    EXPECT_EQ(config.channelCount, 6u);
    EXPECT_EQ(config.pixelCount[3], 512u);
    EXPECT_EQ(config.sensorType[6], 0u);
}

TEST_F(ActualConfigTest, OlderSensorCodesOfTheImagesAreRemapped) {
    addSlot(1, kTypeSerial);
    sim::MuxImageSpec spec;
    spec.header.type = 6; // two entries
    spec.channels[0] = channel(12, 256);
    spec.channels[1] = channel(129, 738);
    const sim::EepromContents mux = sim::buildMuxImage(spec);
    const sim::EepromContents interfaceImage = serialInterfaceImage();
    const sim::EepromContents frontEnd = frontEndImage(3, channel(129, 738));
    putBlock(1, &interfaceImage, &frontEnd, &mux);
    ActualConfigurationRecord config;
    ASSERT_GE(read(config), 0);
    EXPECT_EQ(config.channelCount, 2u);
    EXPECT_EQ(config.sensorType[0], 11u);
    EXPECT_EQ(config.sensorType[1], 22u);
    EXPECT_EQ(imageU16(deviceSlot(1)->configuration.data() + kFrontEndImageArea,
                       image_field::kSensorType),
              22);
}

TEST_F(ActualConfigTest, IsaBoardUsesTheConfiguredValues) {
    DeviceSlot& slot = addSlot(1, kTypeIsa);
    slot.frontEndType = 1;
    slot.muxType = 6; // two entries of its own
    slot.muxChannels = 4;
    for (size_t i = 0; i < 8; ++i) {
        slot.sensorType[i] = static_cast<uint32_t>(i + 1);
        slot.rows[i] = 1;
        slot.fourthSensorWord[i] = 1;
    }
    slot.block()->NumberPixel2Long = 128;
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), 0);
    EXPECT_EQ(config.interfaceType, 1u);
    EXPECT_EQ(config.frontEndType, 1u);
    EXPECT_EQ(config.muxType, 6u);
    EXPECT_EQ(config.channelCount, 4u);
    // Every entry below the count holds configured values.
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(config.sensorType[i], i + 1) << i;
        EXPECT_EQ(config.pixelCount[i], 128u) << i;
    }
    EXPECT_EQ(config.sensorType[4], 0u);
}

TEST_F(ActualConfigTest, ConfiguredChannelCountIsLimitedToTheRecord) {
    DeviceSlot& slot = addSlot(1, kTypeIsa);
    slot.muxType = 1;
    slot.muxChannels = 200;
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), 0);
    EXPECT_EQ(config.channelCount, 8u);
}

TEST_F(ActualConfigTest, UnusableConfiguredTypesFallBack) {
    DeviceSlot& slot = addSlot(1, kTypeIsa);
    slot.frontEndType = 4;
    ActualConfigurationRecord config;
    EXPECT_LT(read(config), 0);
    EXPECT_EQ(config.frontEndType, 3u);
    EXPECT_RECORD(4, 303, 826, 1, "KORAL_GetActualConfiguration2");

    slot.frontEndType = 3;
    slot.muxType = 10;
    EXPECT_LT(read(config), 0);
    EXPECT_EQ(config.muxType, 0u);
    EXPECT_EQ(config.channelCount, 1u);
    EXPECT_EQ(config.sensorType[0], 0u);
    EXPECT_EQ(config.pixelCount[0], 256u);
    EXPECT_EQ(config.rows[0], 1u);
    EXPECT_EQ(config.fourthSensorWord[0], 1u);
    EXPECT_RECORD(4, 303, 826, 1, "KORAL_GetActualConfiguration2");
}

TEST_F(ActualConfigTest, InterfaceTypeInUseThatIsNoBoardBecomesType6) {
    addSlot(1, kTypeIsa);
    state().interfaceTypeInUse = kType111;
    // Type 6 then reads the board's EEPROMs, which a slot without a device
    // cannot: those failures come after.
    deviceSlot(1)->deviceHandle = platform::kInvalidDeviceHandle;
    ActualConfigurationRecord config;
    EXPECT_LT(read(config), 0);
    EXPECT_EQ(config.interfaceType, 6u);
    EXPECT_EQ(lastErrorRecord().code, 303);
}

TEST_F(ActualConfigTest, FileSensorTakesTheDescriptionFile) {
    DeviceSlot& slot = addSlot(1, kTypeIsa);
    slot.muxType = 4; // four entries of its own
    slot.muxChannels = 3;
    slot.sensorType.fill(128);
    slot.revisionPixels.fill(3); // left over from an earlier file
    state().sensorDescriptionFiles[1] = writeDescription(kDescription);
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), 0);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(config.sensorType[i], 128u);
        EXPECT_EQ(config.pixelCount[i], 2000u);
        EXPECT_EQ(config.rows[i], 2u);
        EXPECT_EQ(config.fourthSensorWord[i], 64u);
    }
    EXPECT_EQ(slot.sensorFileLoaded, 1);
    EXPECT_EQ(slot.revisionPixelFlag, 1);
    EXPECT_EQ(slot.revisionPixels, (std::array<uint32_t, 5>{10, 65535, 65535, 65535, 65535}));
    EXPECT_EQ(slot.sensorTechnology, 1);
    EXPECT_DOUBLE_EQ(slot.sensorCoefficients[8], 9.0);
    slot.initialised = 1;
    EXPECT_EQ(KORAL_HWConfig_GetSensorTechnology(1, 128), 1);
}

TEST_F(ActualConfigTest, FileWithoutRevisionPixelsMarksNone) {
    DeviceSlot& slot = addSlot(1, kTypeIsa);
    slot.sensorType[0] = 128;
    std::string text = kDescription;
    text.erase(text.find("REVISION_PIXEL_1=10\n"), 20);
    state().sensorDescriptionFiles[1] = writeDescription(text);
    ActualConfigurationRecord config;
    EXPECT_EQ(read(config), 0);
    EXPECT_EQ(slot.sensorFileLoaded, 1);
    EXPECT_EQ(slot.revisionPixelFlag, 0);
}

TEST_F(ActualConfigTest, UnsupportedFileVersionKeepsTheRestOfTheRecord) {
    DeviceSlot& slot = serialSlot(channel(128, 1024));
    std::string text = kDescription;
    text.replace(text.find("2000"), 4, "3000");
    state().sensorDescriptionFiles[1] = writeDescription(text);
    slot.sensorFileLoaded = 1;
    slot.revisionPixelFlag = 1;
    ActualConfigurationRecord config;
    const int32_t flags = read(config);
    EXPECT_EQ(static_cast<uint32_t>(flags), 0x80000000u | 0x1 | 0x4 | kFromImages | 0x100);
    EXPECT_RECORD(4, 311, 844, 1, "KORAL_GetActualConfiguration2");
    EXPECT_EQ(config.interfaceType, 3u);
    EXPECT_EQ(config.frontEndType, 3u);
    EXPECT_EQ(config.sensorType[0], 128u);
    EXPECT_EQ(config.pixelCount[0], 1024u);
    EXPECT_EQ(slot.sensorFileLoaded, 0);
    EXPECT_EQ(slot.revisionPixelFlag, 0);
}

TEST_F(ActualConfigTest, Mode3ReturnsTheRecordOfTheOpen) {
    DeviceSlot& slot = serialSlot(channel(1, 256));
    {
        // As the open does: the slot's record is the output.
        std::lock_guard guard(deviceLock());
        ASSERT_GE(KORAL_GetActualConfiguration2(0, &slot.actualConfiguration, 1), 0);
    }
    slot.configurationWord = kConfigNothingRead;
    const sim::EepromContents interfaceImage = serialInterfaceImage();
    const sim::EepromContents other = frontEndImage(3, channel(2, 512));
    putBlock(1, &interfaceImage, &other, nullptr);

    uint32_t values[7];
    EXPECT_EQ(KORAL_GetActualConfiguration(3, values, 1), 0);
    EXPECT_EQ(values[5], 1u);
    EXPECT_EQ(values[6], 256u);
    EXPECT_EQ(KORAL_GetActualConfiguration(0, values, 1), 0x1 | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(values[5], 2u);
    EXPECT_EQ(values[6], 512u);
}

TEST_F(ActualConfigTest, PlainExportWritesSevenValues) {
    serialSlot(channel(1, 256));
    std::array<uint32_t, 8> values;
    values.fill(0xAB);
    EXPECT_EQ(KORAL_GetActualConfiguration(0, values.data(), 1), 0x1 | 0x4 | kFromImages | 0x100);
    EXPECT_EQ(values, (std::array<uint32_t, 8>{3, 0, 3, 0, 1, 1, 256, 0xAB}));
}

TEST_F(ActualConfigTest, ExExportCopies116Bytes) {
    serialSlot(channel(1, 256));
    std::array<uint8_t, sizeof(ActualConfigurationRecord)> buffer;
    buffer.fill(0xAB);
    ASSERT_GE(KORAL_GetActualConfigurationEx(0, buffer.data(), 1), 0);
    ActualConfigurationRecord config;
    std::memcpy(&config, buffer.data(), sizeof config);
    EXPECT_EQ(config.interfaceType, 3u);
    EXPECT_EQ(config.pixelCount[0], 256u);
    EXPECT_EQ(config.rows[0], 1u);
    EXPECT_EQ(config.rows[7], 0u);
    EXPECT_EQ(config.fourthSensorWord[0], 0xABABABABu);
}

TEST_F(ActualConfigTest, FailedReadIsShownOnceUnderTheExportsName) {
    DeviceSlot& slot = addSlot(1, kTypeIsa);
    slot.sensorType[0] = 128; // no description file named
    uint32_t values[7] = {};
    EXPECT_EQ(KORAL_GetActualConfiguration(0, values, 1), -1);
    EXPECT_RECORD(4, 311, 851, 1, "KORAL_GetActualConfiguration");
    EXPECT_EQ(values[0], 0u); // nothing copied
    EXPECT_EQ(ui->boxes().size(), 1u);
    EXPECT_EQ(errorBoxFlag(), 1u);
    EXPECT_TRUE(isErrorDisplayFlagStackEmpty());

    std::array<uint8_t, 116> buffer{};
    EXPECT_EQ(KORAL_GetActualConfigurationEx(0, buffer.data(), 1), -1);
    EXPECT_RECORD(4, 311, 851, 1, "KORAL_GetActualConfigurationEx");
    EXPECT_EQ(ui->boxes().size(), 2u);
}

TEST_F(ActualConfigTest, StateFailures) {
    uint32_t values[7];
    EXPECT_EQ(KORAL_GetActualConfiguration(0, values, 2), -1);
    EXPECT_RECORD(5, 504, 0, 2, "KORAL_GetActualConfiguration");
    EXPECT_EQ(KORAL_GetActualConfiguration(0, values, 16), -1);
    EXPECT_RECORD(5, 505, 818, 16, "KORAL_GetActualConfiguration");
    addSlot(1, kTypeIsa);
    // ID 0 names no slot of its own.
    EXPECT_EQ(KORAL_GetActualConfiguration(0, values, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_GetActualConfiguration");
    EXPECT_EQ(KORAL_GetActualConfiguration(0, nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_GetActualConfiguration");
    EXPECT_EQ(KORAL_GetActualConfigurationEx(0, nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_GetActualConfigurationEx");
    EXPECT_EQ(ui->boxes().size(), 5u);
}

// Reads on several threads share the slot's images and flags under the
// DeviceLock; the table exports read the slot alongside.
TEST_F(ActualConfigTest, ConcurrentReads) {
    DeviceSlot& slot = serialSlot(channel(1, 256));
    slot.initialised = 1;
    setImageU16(slot.configuration.data() + kFrontEndImageArea, image_field::kClockValue, 4000);
    const int32_t expected = 0x1 | 0x4 | kFromImages | 0x100;
    std::atomic<int> mismatches{0};
    auto reader = [&] {
        for (int i = 0; i < 100; ++i) {
            uint32_t values[7];
            if (KORAL_GetActualConfiguration(0, values, 1) != expected || values[6] != 256) {
                ++mismatches;
            }
        }
    };
    auto tables = [&] {
        for (int i = 0; i < 100; ++i) {
            if (KORAL_HWConfig_GetSensorTechnology(1, 128) < 0 ||
                KORAL_HWConfig_IsConfigSupported(static_cast<int32_t>(3u | 1u << 16), 10, 0, 13) <
                    0) {
                ++mismatches;
            }
        }
    };
    std::thread a(reader), b(reader), c(tables);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(mismatches.load(), 0);
}

int g_dialogCalls = 0;
int32_t recordingDialog(uint32_t, uint8_t) {
    ++g_dialogCalls;
    // Whatever the dialog records is not kept.
    recordError(9, 9, 9, 9);
    return 0;
}

TEST_F(ActualConfigTest, DialogModesRunTheHook) {
    serialSlot(channel(1, 256));
    g_dialogCalls = 0;
    ActualConfigurationRecord config;
    setConfigurationDialogHook(nullptr);
    EXPECT_GE(read(config, 1), 0); // no hook: as mode 0
    EXPECT_EQ(g_dialogCalls, 0);
    EXPECT_EQ(setConfigurationDialogHook(recordingDialog), nullptr);
    recordError(0, 0, 0, 0);
    EXPECT_GE(read(config, 0), 0);
    EXPECT_EQ(g_dialogCalls, 0);
    EXPECT_GE(read(config, 1), 0);
    EXPECT_GE(read(config, 2), 0);
    EXPECT_EQ(g_dialogCalls, 2);
    EXPECT_NE(lastErrorRecord().level, 9);
    EXPECT_EQ(read(config, 3), 0);
    EXPECT_EQ(g_dialogCalls, 2);
    EXPECT_EQ(setConfigurationDialogHook(nullptr), recordingDialog);
}

} // namespace
} // namespace tarvik::testing
