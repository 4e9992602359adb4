// The life cycle of the serial electronics (interface type 3), with their
// open and initialise stood in for and the link's port on a fake line.

#include "lifecycle_fixture.h"

#include "hardware/eeprom_image.h"
#include "serial/qre_link.h"
#include "serial_sim_fixture.h"
#include "sim/eeprom_images.h"

#include <cstring>
#include <utility>

namespace tarvik::testing {
namespace {

constexpr const char* kOpen = "KORAL_OpenOperationElectronicsDevice";
constexpr const char* kInit = "KORAL_InitializeOperationElectronics";

// Offsets of the images in the link's configuration block.
constexpr size_t kBlockInterface = 4;
constexpr size_t kBlockFrontEnd = 28;

// The open and the initialise of the serial electronics are not built over
// the link yet: this stands in for them. Its open opens the link's port on a
// fake line and answers with firmware 316, a serial interface board and a
// front end with sensor type 1 and 256 pixels.
class FakeElectronics {
public:
    FakeElectronics() {
        qreOperationStandIns().openDevice = [this](int32_t flags) { return open(flags); };
        qreOperationStandIns().initializeDevice = [this](int32_t flags) {
            return initialize(flags);
        };
    }
    ~FakeElectronics() { qreOperationStandIns() = {}; }
    FakeElectronics(const FakeElectronics&) = delete;
    FakeElectronics& operator=(const FakeElectronics&) = delete;

    int32_t open(int32_t flags) {
        opens.push_back(flags);
        if (openInfo != 0) {
            recordErrorInfo(openInfo);
            return -1;
        }
        if (!IsQrePortOpen() && !serial.openPort()) {
            recordErrorInfo(814);
            return -1;
        }
        const int32_t id = actualInterfaceId();
        serial.prepareSlot(id);
        actualSlot()->qre.pixelCount = pixels;
        sim::InterfaceImageSpec interfaceSpec;
        interfaceSpec.header.type = 3;
        const sim::EepromContents interfaceImage = sim::buildInterfaceImage(interfaceSpec);
        sim::FrontEndImageSpec frontEndSpec;
        frontEndSpec.header.type = 3;
        frontEndSpec.sensor.sensorType = 1;
        frontEndSpec.sensor.pixels = 256;
        const sim::EepromContents frontEnd = sim::buildFrontEndImage(frontEndSpec);
        auto& configuration = qreLink()->configuration;
        configuration.fill(0);
        setImageU16(configuration.data(), 2, 1);
        std::memcpy(configuration.data() + kBlockInterface, interfaceImage.data(), 24);
        std::memcpy(configuration.data() + kBlockFrontEnd, frontEnd.data(), 40);
        return 0;
    }

    int32_t initialize(int32_t flags) {
        initialises.push_back(flags);
        if (initialiseFails) {
            recordError(actualInterfaceId(), KORAL_LEVEL_HARDWARE, -72, 0);
            return -1;
        }
        return 0;
    }

    SerialLinkSim serial;
    std::vector<int32_t> opens;
    std::vector<int32_t> initialises;
    int32_t openInfo = 0; // 814 or 815: the open fails
    bool initialiseFails = false;
    uint32_t pixels = 1024;
};

class LifecycleSerialTest : public LifecycleTest {
protected:
    FakeElectronics electronics;
};

TEST_F(LifecycleSerialTest, OpenCountsTheElectronicsWithThePlaceholder) {
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenOption, 3, 2), 0);
    EXPECT_EQ(electronics.opens, std::vector<int32_t>{kOpenOption});
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
    EXPECT_EQ(values[6], 256u);
}

TEST_F(LifecycleSerialTest, FailedOpenReportsItsOwnRecordAndLeavesNoSlot) {
    electronics.openInfo = 814;
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 3, 1), -1);
    EXPECT_RECORD(3, 301, 0, 1, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_EQ(state().openInterfaces, 0);
    EXPECT_EQ(state().interfaceTypeInUse, 0u);
    EXPECT_EQ(boxCount(), 1u);
}

TEST_F(LifecycleSerialTest, OpenWithoutTheDeviceLayerFails) {
    const auto open = std::exchange(qreOperationStandIns().openDevice, nullptr);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenKeepSlot, 3, 1), -1);
    EXPECT_RECORD(3, 301, 0, 1, kOpen);
    // Kept: the slot counts as open with the placeholder, which no close
    // treats as a device of its own.
    ASSERT_NE(deviceSlot(1), nullptr);
    EXPECT_EQ(deviceSlot(1)->deviceHandle, platform::kPlaceholderDeviceHandle);
    EXPECT_EQ(KORAL_CloseOperationElectronicsWithoutDeInit(1), 0);
    EXPECT_EQ(deviceSlot(1)->deviceHandle, platform::kInvalidDeviceHandle);
    qreOperationStandIns().openDevice = open;
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
        EXPECT_TRUE(electronics.serial.line->isOpen()) << id;
        EXPECT_EQ(KORAL_CloseOperationElectronics(id), 0);
    }
    EXPECT_FALSE(electronics.serial.line->isOpen());
    EXPECT_EQ(state().interfaceTypeInUse, 0u);
    EXPECT_EQ(calls.deletes.size(), 6u);
}

TEST_F(LifecycleSerialTest, InitialiseTakesThePixelCountOfTheElectronics) {
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 3, 1), 0);
    DeviceSlot& slot = *deviceSlot(1);
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(electronics.initialises, std::vector<int32_t>{0});
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
    electronics.initialiseFails = true;
    EXPECT_EQ(KORAL_InitializeOperationElectronics(kInitialiseNoBox, 1), -1);
    EXPECT_RECORD(1, -72, 0, 1, kInit);
    EXPECT_EQ(deviceSlot(1)->initialised, 0u);
    EXPECT_TRUE(calls.shutters.empty());
    EXPECT_EQ(boxCount(), 0u);
}

} // namespace
} // namespace tarvik::testing
