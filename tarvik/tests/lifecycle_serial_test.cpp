// The life cycle of the serial electronics (interface type 3) over the link,
// against simulated electronics on the fake line of COM1 (the stored port).

#include "lifecycle_fixture.h"

#include "serial/qre_link.h"
#include "serial_sim_fixture.h"

#include <cstdlib>

namespace tarvik::testing {
namespace {

constexpr const char* kOpen = "KORAL_OpenOperationElectronicsDevice";
constexpr const char* kInit = "KORAL_InitializeOperationElectronics";

// Units at addresses 1..6 with a serial interface board and a front end 3
// with sensor type 1 and 1024 pixels.
class LifecycleSerialTest : public LifecycleTest {
protected:
    void SetUp() override {
        LifecycleTest::SetUp();
        for (uint8_t address = 1; address <= 6; ++address) {
            sim::SerialUnitConfig config;
            config.address = address;
            config.frontEndType = 3;
            config.sensorType = 1;
            config.pixels = 1024;
            units.push_back(&serial.addModelUnit(config));
        }
    }

    SerialLinkSim serial{1};
    std::vector<sim::SerialUnitModel*> units;
};

TEST_F(LifecycleSerialTest, OpenCountsTheElectronicsWithThePlaceholder) {
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenOption, 3, 2), 0);
    const DeviceSlot& slot = *deviceSlot(2);
    EXPECT_EQ(slot.deviceHandle, platform::kPlaceholderDeviceHandle);
    EXPECT_EQ(slot.boardType, kTypeSerial);
    EXPECT_EQ(slot.active, 1u);
    EXPECT_EQ(slot.optionByte & 1, 1);
    EXPECT_EQ(state().interfaceTypeInUse, kTypeSerial);
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_EQ(calls.scans, std::vector<uint32_t>{2});
    EXPECT_TRUE(calls.notifyStarts.empty());
    uint32_t values[7] = {};
    ASSERT_EQ(KORAL_GetActualConfiguration(3, values, 2), 0);
    EXPECT_EQ(values[0], 3u);
    EXPECT_EQ(values[2], 3u);
    EXPECT_EQ(values[5], 1u);
    EXPECT_EQ(values[6], 1024u);
}

TEST_F(LifecycleSerialTest, FailedOpenReportsItsOwnRecordAndLeavesNoSlot) {
    serial.line->openError = EBUSY;
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 3, 1), -1);
    EXPECT_RECORD(3, 301, 0, 1, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_EQ(state().openInterfaces, 0);
    EXPECT_EQ(state().interfaceTypeInUse, 0u);
    EXPECT_EQ(boxCount(), 1u);
}

TEST_F(LifecycleSerialTest, OpenOfSilentElectronicsFails) {
    serial.electronics.unit(1)->setPresent(false);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenKeepSlot, 3, 1), -1);
    EXPECT_RECORD(3, 301, 0, 1, kOpen);
    // Kept: the slot counts as open with the placeholder, which no close
    // treats as a device of its own.
    ASSERT_NE(deviceSlot(1), nullptr);
    EXPECT_EQ(deviceSlot(1)->deviceHandle, platform::kPlaceholderDeviceHandle);
    EXPECT_EQ(KORAL_CloseOperationElectronicsWithoutDeInit(1), 0);
    EXPECT_EQ(deviceSlot(1)->deviceHandle, platform::kInvalidDeviceHandle);
    serial.electronics.unit(1)->setPresent(true);
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 3, 1), 0);
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_EQ(state().openInterfaces, 0);
}

TEST_F(LifecycleSerialTest, SeventhSerialInterfaceIsRefused) {
    for (uint32_t id = 1; id <= 6; ++id) {
        ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 3, id), 0) << id;
    }
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 3, 7), -1);
    EXPECT_RECORD(5, 505, 824, 7, kOpen);
    EXPECT_EQ(deviceSlot(7), nullptr);
    // The port stays open until the last interface closes.
    for (uint32_t id = 1; id <= 6; ++id) {
        EXPECT_TRUE(serial.line->isOpen()) << id;
        EXPECT_EQ(KORAL_CloseOperationElectronics(id), 0);
    }
    EXPECT_FALSE(serial.line->isOpen());
    EXPECT_EQ(state().interfaceTypeInUse, 0u);
    EXPECT_EQ(calls.deletes.size(), 6u);
}

TEST_F(LifecycleSerialTest, InitialiseTakesThePixelCountOfTheElectronics) {
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 3, 1), 0);
    DeviceSlot& slot = *deviceSlot(1);
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(slot.initialised, 1u);
    EXPECT_EQ(slot.timeLimit1, 3.5);
    EXPECT_EQ(slot.timeLimit2, 6500.0);
    EXPECT_EQ(slot.block()->NumberPixel, 1024);
    EXPECT_EQ(slot.block()->NumberPixel2, 1024);
    EXPECT_EQ(slot.block()->NumberPixel2Long, 1024u);
    // A serial interface board image: the hardware configuration is sent.
    EXPECT_EQ(calls.hardwareConfigurations, std::vector<int32_t>{1});
    EXPECT_EQ(calls.shutters.size(), 1u);
    // The serial electronics have no worker of the library.
    EXPECT_TRUE(calls.workerStarts.empty());

    slot.sensorType[0] = 5;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(slot.block()->NumberPixel, 2048);
    EXPECT_EQ(slot.block()->NumberPixel2, 1024);

    slot.sensorType[0] = 14;
    slot.block()->NumberPixel2 = 300;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(slot.block()->NumberPixel, 300);
    EXPECT_EQ(slot.block()->NumberPixel2, 1024);
}

TEST_F(LifecycleSerialTest, ConfiguredSlotKeepsItsLimitsAndGetsTheMinimumTimes) {
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 3, 1), 0);
    DeviceSlot& slot = *deviceSlot(1);
    slot.configurationWord2 = 1;
    slot.timeLimit1 = 7.0;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(slot.timeLimit1, 7.0);
    EXPECT_TRUE(calls.hardwareConfigurations.empty());
    EXPECT_EQ(calls.integrationTimes.size(), 3u);
}

TEST_F(LifecycleSerialTest, FailingElectronicsFailTheInitialise) {
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 3, 1), 0);
    serial.electronics.unit(1)->setPresent(false);
    EXPECT_EQ(KORAL_InitializeOperationElectronics(kInitialiseNoBox, 1), -1);
    EXPECT_RECORD(1, -204, 0, 1, kInit);
    EXPECT_EQ(deviceSlot(1)->initialised, 0u);
    EXPECT_TRUE(calls.shutters.empty());
    EXPECT_EQ(boxCount(), 0u);
}

} // namespace
} // namespace tarvik::testing
