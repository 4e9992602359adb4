// The sensor parameters of a slot's front-end and multiplexer images as the
// get exports hand them out, and the refusals of bad records and arguments.

#include "i2c_sim_fixture.h"
#include "tarvik_test.h"

#include "core/locks.h"

#include "hardware/actual_configuration.h"
#include "hardware/configuration_records.h"
#include "hardware/eeprom_image.h"
#include "hardware/sensor_tables.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

namespace tarvik::testing {
namespace {

constexpr const char* kGetEx2 = "KORAL_HWConfig_GetSensorParamsEx2";
constexpr const char* kGet2 = "KORAL_HWConfig_GetSensorParams2";

struct Entry {
    uint16_t type;
    uint16_t pixels;
    uint16_t rows;
    uint16_t fourth;
    float c[5];
};

class ConfigurationRecordsTest : public TarvikTest {
protected:
    DeviceSlot& openSlot(uint32_t type = kTypeUsb) {
        DeviceSlot& slot = addSlot(1, type);
        slot.initialised = 1;
        slot.configurationWord = kConfigInterfaceImage | kConfigFrontEndImage;
        return slot;
    }

    static void writeEntry(uint8_t* image, size_t entry, const size_t (&coefficients)[5],
                           const Entry& e) {
        setImageU16(image, entry, e.type);
        setImageU16(image, entry + 2, e.pixels);
        setImageU16(image, entry + 4, e.rows);
        setImageU16(image, entry + 6, e.fourth);
        for (size_t i = 0; i < 5; ++i) {
            setImageF32(image, coefficients[i], e.c[i]);
        }
    }
    static void setFrontEnd(DeviceSlot& slot, const Entry& e) {
        uint8_t* image = slot.configuration.data() + 256;
        setImageU16(image, 4, kImageKindFrontEnd);
        writeEntry(image, 16, {24, 28, 32, 36, 40}, e);
    }
    static void setMuxChannel(DeviceSlot& slot, size_t n, const Entry& e) {
        uint8_t* image = slot.configuration.data() + 512;
        setImageU16(image, 4, kImageKindMux);
        const size_t base = (n - 1) * 24;
        writeEntry(image, 16 + base,
                   {24 + base, 28 + base, 32 + base, 36 + base, 208 + (n - 1) * 4}, e);
    }

    static SensorParamsEx2Record emptyRecord() {
        SensorParamsEx2Record params{};
        params.size = sizeof(params);
        return params;
    }
};

TEST_F(ConfigurationRecordsTest, FrontEndImageIsReadWithoutAMultiplexer) {
    DeviceSlot& slot = openSlot();
    setFrontEnd(slot, {27, 2048, 1, 1, {190.5f, 0.25f, -1e-5f, 2e-9f, 0.5f}});
    SensorParamsEx2Record params = emptyRecord();
    // Without a multiplexer the channel is not looked at.
    ASSERT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, 99, 1), 0);
    EXPECT_EQ(params.sensorType, 27);
    EXPECT_EQ(params.pixelCount, 2048);
    EXPECT_EQ(params.rows, 1);
    EXPECT_EQ(params.fourthSensorWord, 1);
    EXPECT_EQ(params.c0, 190.5);
    EXPECT_EQ(params.c1, 0.25);
    EXPECT_EQ(params.c2, static_cast<double>(-1e-5f));
    EXPECT_EQ(params.c3, static_cast<double>(2e-9f));
    EXPECT_EQ(params.c4, 0.5);
    EXPECT_EQ(params.size, 56u);
}

TEST_F(ConfigurationRecordsTest, RecordChecksComeBeforeAnySlotAccess) {
    openSlot();
    SensorParamsEx2Record params = emptyRecord();
    for (uint32_t size : {55u, 57u, 0u}) {
        params.size = size;
        EXPECT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, 1, 1), -1);
        EXPECT_RECORD(5, 505, 847, 0, kGetEx2);
    }
    params.size = 56;
    EXPECT_EQ(KORAL_HWConfig_GetSensorParamsEx2(1, &params, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, kGetEx2);
    params.reserved = 3;
    EXPECT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, kGetEx2);
    EXPECT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, nullptr, 1, 1), -1);
    EXPECT_RECORD(5, 505, 0, 0, kGetEx2);
}

TEST_F(ConfigurationRecordsTest, WrongImageGivesDefaultsAndAWarning) {
    DeviceSlot& slot = openSlot();
    setMuxChannel(slot, 1, {5, 512, 1, 1, {1, 2, 3, 4, 5}});
    slot.muxType = 3;
    slot.muxChannels = 2;
    SensorParamsEx2Record params = emptyRecord();
    // A multiplexer image of another kind holds no parameters.
    setImageU16(slot.configuration.data() + 512, 4, kImageKindFrontEnd);
    EXPECT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, 2, 1), -1);
    EXPECT_RECORD(6, 826, 0, 1, kGetEx2);
    EXPECT_EQ(params.sensorType, 0);
    EXPECT_EQ(params.pixelCount, 256);
    EXPECT_EQ(params.rows, 1);
    EXPECT_EQ(params.fourthSensorWord, 1);
    EXPECT_EQ(params.c0, 300.0);
    EXPECT_EQ(params.c1, 3.0);
    EXPECT_EQ(params.c2 + params.c3 + params.c4, 0.0);
}

TEST_F(ConfigurationRecordsTest, MultiplexerChannelsComeFromTheirEntries) {
    DeviceSlot& slot = openSlot();
    slot.muxType = 3;
    slot.muxChannels = 8;
    setFrontEnd(slot, {1, 1024, 1, 1, {9, 9, 9, 9, 9}});
    setMuxChannel(slot, 1, {5, 512, 1, 1, {10, 1, 0, 0, 0.25f}});
    setMuxChannel(slot, 8, {6, 256, 1, 64, {80, 8, 0, 0, 0.75f}});
    SensorParamsEx2Record params = emptyRecord();
    ASSERT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, 8, 1), 0);
    EXPECT_EQ(params.sensorType, 6);
    EXPECT_EQ(params.fourthSensorWord, 64);
    EXPECT_EQ(params.c0, 80.0);
    EXPECT_EQ(params.c4, 0.75);
    ASSERT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, 1, 1), 0);
    EXPECT_EQ(params.c4, 0.25);
    for (int32_t channel : {0, 9, -1}) {
        slot.muxChannels = 8;
        EXPECT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, channel, 1), -1);
        EXPECT_RECORD(5, 505, channel, 1, kGetEx2);
    }
    // The serial multiplexer KRD has no entries: its sensor is the front end's.
    slot.muxType = 7;
    ASSERT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, 2, 1), 0);
    EXPECT_EQ(params.pixelCount, 1024);
    // Type 9 reads the front end only in the plain-argument form.
    slot.muxType = 9;
    ASSERT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, 1, 1), 0);
    EXPECT_EQ(params.pixelCount, 512);
    uint32_t type = 0, pixels = 0, rows = 0;
    double c[5] = {};
    ASSERT_EQ(KORAL_HWConfig_GetSensorParams2(&type, &pixels, &rows, &c[0], &c[1], &c[2], &c[3],
                                              &c[4], 1, 1),
              0);
    EXPECT_EQ(pixels, 1024u);
}

TEST_F(ConfigurationRecordsTest, FrontEndFlagIsNeeded) {
    DeviceSlot& slot = openSlot();
    slot.configurationWord = kConfigInterfaceImage;
    SensorParamsEx2Record params = emptyRecord();
    EXPECT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, 1, 1), -1);
    EXPECT_RECORD(5, 803, 819, 1, kGetEx2);
}

TEST_F(ConfigurationRecordsTest, PlainFormChecksInterfaceTypeAndFlags) {
    DeviceSlot& slot = openSlot(kTypeSerial);
    setFrontEnd(slot, {1, 1024, 0xFFFF, 1, {1, 2, 0, 0, 0}});
    uint32_t type = 0, pixels = 0, rows = 0;
    double c[5] = {};
    auto get = [&] {
        return KORAL_HWConfig_GetSensorParams2(&type, &pixels, &rows, &c[0], &c[1], &c[2], &c[3],
                                               &c[4], 1, 1);
    };
    ASSERT_EQ(get(), 0);
    EXPECT_EQ(rows, 1u);
    EXPECT_EQ(pixels, 1024u);
    slot.configurationWord = kConfigFrontEndImage;
    EXPECT_EQ(get(), -1);
    EXPECT_RECORD(5, 804, 819, 1, kGet2);
    slot.boardType = kTypeIsa;
    slot.configurationWord = kConfigInterfaceImage | kConfigFrontEndImage;
    EXPECT_EQ(get(), -1);
    EXPECT_RECORD(5, 804, 819, 1, kGet2);
    slot.boardType = kTypeUsb2;
    slot.configurationWord = kConfigInterfaceImage;
    EXPECT_EQ(get(), -1);
    EXPECT_RECORD(5, 803, 819, 1, kGet2);
    EXPECT_EQ(KORAL_HWConfig_GetSensorParams2(&type, &pixels, nullptr, &c[0], &c[1], &c[2], &c[3],
                                              &c[4], 1, 1),
              -1);
    EXPECT_RECORD(5, 505, 0, 0, kGet2);
}

TEST_F(ConfigurationRecordsTest, OlderFormsRefuseAStoredC4AndWriteOnlyOnSuccess) {
    DeviceSlot& slot = openSlot();
    setFrontEnd(slot, {4, 2048, 2, 1, {100, 2, 0, 0, 1e-3f}});
    uint32_t type = 77, pixels = 77, rows = 77;
    double c[4] = {7, 7, 7, 7};
    EXPECT_EQ(KORAL_HWConfig_GetSensorParams(&type, &pixels, &c[0], &c[1], &c[2], &c[3], 1, 1), -1);
    EXPECT_RECORD(5, 505, 843, 1, "KORAL_HWConfig_GetSensorParams");
    EXPECT_EQ(type, 77u);
    EXPECT_EQ(c[0], 7.0);
    setFrontEnd(slot, {4, 2048, 2, 1, {100, 2, 0, 0, 1e-8f}});
    ASSERT_EQ(
        KORAL_HWConfig_GetSensorParamsEx(&type, &pixels, &rows, &c[0], &c[1], &c[2], &c[3], 1, 1),
        0);
    EXPECT_EQ(type, 4u);
    EXPECT_EQ(rows, 2u);
    EXPECT_EQ(c[0], 100.0);
    // The full form's failure keeps its record under the older name.
    slot.configurationWord = 0;
    EXPECT_EQ(
        KORAL_HWConfig_GetSensorParamsEx(&type, &pixels, &rows, &c[0], &c[1], &c[2], &c[3], 1, 1),
        -1);
    EXPECT_RECORD(5, 803, 819, 1, "KORAL_HWConfig_GetSensorParamsEx");
    EXPECT_EQ(KORAL_HWConfig_GetSensorParams(nullptr, &pixels, &c[0], &c[1], &c[2], &c[3], 1, 1),
              -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_HWConfig_GetSensorParams");
}

TEST_F(ConfigurationRecordsTest, TemporaryChangeIsNeverAvailable) {
    openSlot();
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParamsTemp(0, 0, 0, 0), -1);
    EXPECT_RECORD(5, 506, 819, 0, "KORAL_HWConfig_ChangeSensorParamsTemp");
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParamsTemp(1, 2, 3, 4), -1);
}

// Against the simulated board's EEPROMs: what a change writes, and that the
// next read sees it.
class SensorParamsSimTest : public I2cSimTest {
protected:
    DeviceSlot& openConfigured(const std::string& keys) {
        DeviceSlot& slot = openSimBoard(keys);
        std::lock_guard guard(deviceLock());
        ActualConfigurationRecord config{};
        config.interfaceType = kTypeUsb;
        ReadHardwareConfiguration(1, config);
        return slot;
    }
    static SensorParamsEx2Record read(int32_t channel = 1) {
        SensorParamsEx2Record params{};
        params.size = sizeof(params);
        EXPECT_EQ(KORAL_HWConfig_GetSensorParamsEx2(0, &params, channel, 1), 0);
        return params;
    }
};

TEST_F(SensorParamsSimTest, CoefficientsOfTheFrontEndEeprom) {
    openConfigured("coefficients = 250.5 0.75 0.001 -2e-7 1e-9\n");
    const SensorParamsEx2Record params = read();
    EXPECT_EQ(params.sensorType, 7);
    EXPECT_EQ(params.pixelCount, 1044);
    EXPECT_EQ(params.c0, 250.5);
    EXPECT_EQ(params.c1, 0.75);
    EXPECT_EQ(params.c2, static_cast<double>(0.001f));
    EXPECT_EQ(params.c3, static_cast<double>(-2e-7f));
    EXPECT_EQ(params.c4, static_cast<double>(1e-9f));
}

TEST_F(SensorParamsSimTest, ChangeWritesEepromAndSlotImage) {
    DeviceSlot& slot = openConfigured("");
    ASSERT_EQ(KORAL_HWConfig_ChangeSensorParams2(7, 1044, 1, 410.0, 0.5, 0.25, 0.0, 0.125, 1, 1),
              0);
    const auto written = eeprom(sim::kFrontEndEeprom);
    ASSERT_TRUE(written);
    std::array<uint8_t, 256> image{};
    std::copy(written->begin(), written->end(), image.begin());
    EXPECT_EQ(imageF32(image.data(), 24), 410.0f);
    EXPECT_EQ(imageF32(image.data(), 40), 0.125f);
    EXPECT_TRUE(IsValidEepromImage(image.data(), kImageKindFrontEnd));
    EXPECT_EQ(imageF32(slot.configuration.data() + 256, 24), 410.0f);
    const SensorParamsEx2Record params = read();
    EXPECT_EQ(params.c0, 410.0);
    EXPECT_EQ(params.c2, 0.25);
    EXPECT_EQ(params.c4, 0.125);
}

TEST_F(SensorParamsSimTest, OlderChangeFormClearsC4) {
    openConfigured("coefficients = 1 2 3 4 5\n");
    ASSERT_EQ(KORAL_HWConfig_ChangeSensorParams(7, 1044, 320.0, 1.5, 0.0, 0.0, 1, 1), 0);
    const SensorParamsEx2Record params = read();
    EXPECT_EQ(params.c0, 320.0);
    EXPECT_EQ(params.c4, 0.0);
}

TEST_F(SensorParamsSimTest, UnstorableCoefficientsAreRefusedAndNothingIsWritten) {
    openConfigured("");
    const auto before = eeprom(sim::kFrontEndEeprom);
    const double bad[] = {std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(), 1e300};
    for (double value : bad) {
        EXPECT_EQ(KORAL_HWConfig_ChangeSensorParams2(7, 1044, 1, 300.0, value, 0, 0, 0, 1, 1), -1);
        EXPECT_RECORD(5, 505, 0, 1, "KORAL_HWConfig_ChangeSensorParams2");
    }
    EXPECT_EQ(eeprom(sim::kFrontEndEeprom), before);
}

TEST_F(SensorParamsSimTest, ChangeChecksTypeLengthAndRows) {
    openConfigured("");
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParams2(9999, 1044, 1, 300, 1, 0, 0, 0, 1, 1), -1);
    EXPECT_RECORD(5, 505, 801, 1, "KORAL_HWConfig_ChangeSensorParams2");
    // A type of fixed lengths and one length it has.
    uint32_t fixed = 0;
    uint32_t length = 0;
    for (uint32_t i = 0; i < kSensorTypeCount && length == 0; ++i) {
        if (IsAnyLengthType(i)) {
            continue;
        }
        for (uint32_t bit = 0; bit < 15 && length == 0; ++bit) {
            const int32_t pixels = SensorLengthCodeToPixels(1u << bit);
            if (pixels > 0 && IsSensorLengthSupportedByType(i, static_cast<uint32_t>(pixels))) {
                fixed = SensorTypeTable[i].type();
                length = static_cast<uint32_t>(pixels);
            }
        }
    }
    ASSERT_NE(length, 0u);
    const auto pixels = static_cast<int32_t>(length);
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParams2(fixed, pixels + 1, 1, 300, 1, 0, 0, 0, 1, 1), -1);
    EXPECT_RECORD(5, 505, 802, 1, "KORAL_HWConfig_ChangeSensorParams2");
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParams2(fixed, pixels, 2, 300, 1, 0, 0, 0, 1, 1), -1);
    EXPECT_RECORD(5, 819, 833, 1, "KORAL_HWConfig_ChangeSensorParams2");
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParams2X(0, 9999, 1044, 300, 1, 0, 0, 0, 1, 1), -1);
    EXPECT_RECORD(5, 505, 801, 0, "KORAL_HWConfig_ChangeSensorParams");
    SensorParamsEx2Record params{};
    params.size = 57;
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParamsEx2(0, &params, 1, 1), -1);
    EXPECT_RECORD(5, 505, 847, 0, "KORAL_HWConfig_ChangeSensorParamsEx2");
}

// Images of layout 0 and 1 have no field for the fourth sensor word: only the
// value the sensor's technology implies can be stored in them.
TEST_F(SensorParamsSimTest, OlderImageLayoutsTakeOnlyTheImpliedFourthWord) {
    openConfigured("frontend_image = 1\n");
    const auto before = eeprom(sim::kFrontEndEeprom);
    SensorParamsEx2Record params{};
    params.size = sizeof params;
    params.sensorType = 7;
    params.pixelCount = 1044;
    params.rows = 1;
    params.fourthSensorWord = 1; // an area sensor implies 64
    params.c0 = 300.0;
    params.c1 = 1.0;
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParamsEx2(0, &params, 1, 1), -1);
    EXPECT_RECORD(5, 843, 505, 1, "KORAL_HWConfig_ChangeSensorParamsEx2");
    EXPECT_EQ(eeprom(sim::kFrontEndEeprom), before);
    params.fourthSensorWord = 64;
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParamsEx2(0, &params, 1, 1), 0);
    EXPECT_NE(eeprom(sim::kFrontEndEeprom), before);
}

TEST_F(SensorParamsSimTest, FailedEepromWriteKeepsTheSlotImageChanged) {
    DeviceSlot& slot = openConfigured("");
    board->withI2cBus([](sim::I2cBus& bus) { bus.corruptWrites(sim::kFrontEndEeprom); });
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParams2(7, 1044, 1, 333.0, 1, 0, 0, 0, 1, 1), -1);
    EXPECT_RECORD(4, 307, 829, 1, "KORAL_HWConfig_ChangeSensorParams2");
    EXPECT_EQ(imageF32(slot.configuration.data() + 256, 24), 333.0f);
}

TEST_F(SensorParamsSimTest, TwoChannelOpticalMultiplexerKeepsBothEntriesEqual) {
    DeviceSlot& slot = openConfigured("mux_image = 2\nmux_assembly = 5\n");
    slot.muxType = 6;
    slot.muxPresent = 1;
    slot.muxChannels = 2;
    ASSERT_EQ(KORAL_HWConfig_ChangeSensorParams2(7, 1044, 1, 500.0, 1, 0, 0, 0, 2, 1), 0);
    EXPECT_EQ(read(1).c0, 500.0);
    EXPECT_EQ(read(2).c0, 500.0);
    ASSERT_EQ(KORAL_HWConfig_ChangeSensorParams2(7, 1044, 1, 600.0, 1, 0, 0, 0, 1, 1), 0);
    EXPECT_EQ(read(2).c0, 600.0);
    const auto written = eeprom(sim::kMuxEeprom);
    ASSERT_TRUE(written);
    std::array<uint8_t, 256> image{};
    std::copy(written->begin(), written->end(), image.begin());
    EXPECT_EQ(imageF32(image.data(), 24 + 24), 600.0f);
    EXPECT_TRUE(IsValidEepromImage(image.data(), kImageKindMux));
}

TEST_F(ConfigurationRecordsTest, SerialChangeRefusesC4) {
    DeviceSlot& slot = openSlot(kTypeSerial);
    (void)slot;
    SensorParamsEx2Record params = emptyRecord();
    params.sensorType = 7;
    params.pixelCount = 1044;
    params.rows = 1;
    params.fourthSensorWord = 1;
    params.c4 = 0.5;
    EXPECT_EQ(KORAL_HWConfig_ChangeSensorParamsEx2(0, &params, 1, 1), -1);
    EXPECT_RECORD(5, 505, 808, 1, "KORAL_HWConfig_ChangeSensorParamsEx2");
}

} // namespace
} // namespace tarvik::testing
