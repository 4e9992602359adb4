// The library state and its slots: set-up at load with the registry
// parameters, slot defaults, release, and the exports without device work.

#include "board_test_driver.h"
#include "tarvik_test.h"

#include "serial/qre_link.h"

#include "acquisition/raw_data.h"

#include "core/locks.h"
#include "core/registry_parameters.h"
#include "tarvik.h"

#include <mutex>

namespace tarvik::testing {
namespace {

class LibraryParametersTest : public TarvikTest {
protected:
    LibraryParametersTest() { attachInSetUp = false; }
};

TEST_F(LibraryParametersTest, WithoutTheKeyTheDefaultsStandAndLevel6IsRecorded) {
    attach();
    EXPECT_RECORD(6, 305, 0, 0, "");
    const LibraryState& s = state();
    EXPECT_EQ(s.mux7wenDelayTime, 200);
    EXPECT_EQ(s.muxKrdDelayTime, 25);
    EXPECT_EQ(s.minimumIntegrationTime, 6500000);
    EXPECT_EQ(s.serialComPort, 1u);
    EXPECT_EQ(s.serialBaudRate, 115200u);
    EXPECT_EQ(s.serialElectronicsId, 1u);
    EXPECT_EQ(s.osVersionCode, kOs2000);
    EXPECT_EQ(s.openInterfaces, 0);
    EXPECT_EQ(s.interfaceTypeInUse, 0u);
    EXPECT_EQ(s.actualInterfaceId, 0);
    ASSERT_NE(deviceSlot(0), nullptr); // the scratch slot
    for (int32_t id = 1; id <= kMaxInterfaceId; ++id) {
        EXPECT_EQ(deviceSlot(id), nullptr);
    }
    EXPECT_NE(qreLink(), nullptr);
    EXPECT_EQ(qreLink()->protocol.replyTimeout, 300);
    EXPECT_EQ(qreLink()->port.portNumber, 2u);
}

TEST_F(LibraryParametersTest, ValuesAreTakenByTheirRules) {
    platform::ConfigKey key = parametersKey();
    key.setDword("MUX-7WEN Delay time", 150);
    key.setDword("Min. Integration time", 0);
    key.setDword("MUX-7WEN Ctrl Mode", 7);
    key.setDword("MUX-KRD Delay time", 0);
    key.setDword("Sensor-Demo-Mode", 0x1FF);
    key.setDword("MUX-KRD Com Mode", 0x12345);
    attach();
    EXPECT_EQ(record().level, 0);
    EXPECT_EQ(state().mux7wenDelayTime, 150);
    EXPECT_EQ(state().minimumIntegrationTime, 6500000);
    EXPECT_EQ(state().mux7wenCtrlMode, 3u);
    EXPECT_EQ(state().muxKrdDelayTime, 1);
    EXPECT_EQ(state().sensorDemoMode, 0xFF);
    EXPECT_EQ(state().muxKrdComMode, 0x2345);
}

TEST_F(LibraryParametersTest, NegativeDelayBecomesOneAndPositiveMinimumIsTaken) {
    platform::ConfigKey key = parametersKey();
    key.setDword("MUX-KRD Delay time", static_cast<uint32_t>(-5));
    key.setDword("Min. Integration time", 4000);
    key.setString("MUX-7WEN Delay time", "300"); // wrong type: default stays
    attach();
    EXPECT_EQ(state().muxKrdDelayTime, 1);
    EXPECT_EQ(state().minimumIntegrationTime, 4000);
    EXPECT_EQ(state().mux7wenDelayTime, 200);
}

TEST_F(LibraryParametersTest, BareSensorFileNameIsForIdOneOnly) {
    parametersKey().setString("Ext Sensor Desc file name", "/etc/sensor.ini");
    attach();
    EXPECT_EQ(state().sensorDescriptionFiles[1], "/etc/sensor.ini");
    for (size_t id = 2; id < kSlotCount; ++id) {
        EXPECT_EQ(state().sensorDescriptionFiles[id], "") << id;
    }
}

TEST_F(LibraryParametersTest, SuffixedSensorFileNamesWin) {
    platform::ConfigKey key = parametersKey();
    key.setString("Ext Sensor Desc file name", "/bare.ini");
    key.setString("Ext Sensor Desc file name OE1", "/one.ini");
    key.setString("Ext Sensor Desc file name OE15", "/fifteen.ini");
    key.setString("Ext Sensor Desc file name OE3", std::string(300, 'x')); // too long
    attach();
    EXPECT_EQ(state().sensorDescriptionFiles[1], "/one.ini");
    EXPECT_EQ(state().sensorDescriptionFiles[15], "/fifteen.ini");
    EXPECT_EQ(state().sensorDescriptionFiles[3], "");
}

TEST_F(LibraryParametersTest, DarkPixelRangeReachesTheSlotsOfItsId) {
    parametersKey().setDword("Darkcurrent pixel", 0x210); // 16 pixels on ID 2
    attach();
    std::lock_guard guard(deviceLock());
    ASSERT_EQ(CreateDeviceSlot(2), 0);
    ASSERT_EQ(CreateDeviceSlot(3), 0);
    EXPECT_EQ(deviceSlot(2)->darkPixelRangeOn, 1);
    EXPECT_EQ(deviceSlot(2)->firstDarkPixel, 0u);
    EXPECT_EQ(deviceSlot(2)->lastDarkPixel, 15u);
    EXPECT_EQ(deviceSlot(3)->darkPixelRangeOn, 0);
    EXPECT_EQ(deviceSlot(0)->darkPixelRangeOn, 0);
}

TEST_F(LibraryParametersTest, DarkPixelRangeWithIdZeroIsForEverySlot) {
    parametersKey().setDword("Darkcurrent pixel", 0x008);
    attach();
    std::lock_guard guard(deviceLock());
    ASSERT_EQ(CreateDeviceSlot(7), 0);
    EXPECT_EQ(deviceSlot(7)->darkPixelRangeOn, 1);
    EXPECT_EQ(deviceSlot(7)->lastDarkPixel, 7u);
}

TEST_F(LibraryParametersTest, DarkPixelRangeWithoutPixelsIsIgnored) {
    parametersKey().setDword("Darkcurrent pixel", 0x100);
    attach();
    std::lock_guard guard(deviceLock());
    ASSERT_EQ(CreateDeviceSlot(1), 0);
    EXPECT_EQ(deviceSlot(1)->darkPixelRangeOn, 0);
    EXPECT_EQ(deviceSlot(1)->lastDarkPixel, 0u);
}

class QreParametersTest : public TarvikTest {};

TEST_F(QreParametersTest, FirstOpenCreatesTheUserKeyWithDefaults) {
    addSlot(4, kTypeSerial);
    state().openInterfaces = 0;
    ASSERT_EQ(ReadQreParameters(4), 0);
    platform::ConfigKey key;
    ASSERT_EQ(key.open(platform::ConfigRoot::User, kQreParametersKey), 0);
    std::vector<platform::ConfigValue> values;
    ASSERT_EQ(key.enumValues(values), 0);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0], (platform::ConfigValue{"ID", uint32_t{1}}));
    EXPECT_EQ(values[1], (platform::ConfigValue{"Port", uint32_t{1}}));
    EXPECT_EQ(values[2], (platform::ConfigValue{"Trans", uint32_t{0}}));
    EXPECT_EQ(values[3], (platform::ConfigValue{"Baudrate", uint32_t{115200}}));
    EXPECT_EQ(state().serialElectronicsId, 4u); // the caller's ID wins
    EXPECT_EQ(deviceSlot(4)->qre.interfaceId, 4u);
}

TEST_F(QreParametersTest, StoredSettingsAreTaken) {
    platform::ConfigKey key = roots.writeKey(platform::ConfigRoot::User, kQreParametersKey);
    key.setDword("ID", 9);
    key.setDword("Port", 5);
    key.setDword("Trans", 2);
    key.setDword("Baudrate", 57600);
    ASSERT_EQ(ReadQreParameters(1), 0);
    EXPECT_EQ(state().serialComPort, 5u);
    EXPECT_EQ(state().serialTransmission, 2u);
    EXPECT_EQ(state().serialBaudRate, 57600u);
    EXPECT_EQ(state().serialElectronicsId, 1u);
}

TEST_F(QreParametersTest, MissingValueKeepsTheSettings) {
    platform::ConfigKey key = roots.writeKey(platform::ConfigRoot::User, kQreParametersKey);
    key.setDword("ID", 1);
    key.setDword("Port", 5);
    EXPECT_EQ(ReadQreParameters(3), -1);
    EXPECT_RECORD(6, 305, 0, 3, "");
    EXPECT_EQ(state().serialComPort, 1u);
}

TEST_F(QreParametersTest, OnlyReadWhileNothingIsOpen) {
    addSlot(1, kTypeSerial);
    EXPECT_EQ(ReadQreParameters(1), 0);
    platform::ConfigKey key;
    EXPECT_EQ(key.open(platform::ConfigRoot::User, kQreParametersKey), platform::kConfigNotFound);
}

TEST_F(QreParametersTest, WriteFailureIsLevel4WithTheStoresError) {
    // A file where the key's directory would be.
    platform::testing::writeFileBytes(roots.user.path() / "Software", "not a key");
    EXPECT_EQ(WriteQreParameters(1, 115200, 0, 1), 0);
    const LastErrorRecord r = record();
    EXPECT_EQ(r.level, 4);
    EXPECT_EQ(r.code, 305);
    EXPECT_GT(r.info, 1000);
}

class DeviceSlotTest : public TarvikTest {};

TEST_F(DeviceSlotTest, NewSlotHasItsDefaults) {
    state().interfaceTypeInUse = kTypeUsb;
    DeviceSlot& slot = addSlot(3, kTypeUsb);
    SetSlotDefaults(3, 0);
    EXPECT_EQ(slot.deviceHandle, platform::kInvalidDeviceHandle);
    EXPECT_EQ(slot.boardType, kTypeUsb);
    EXPECT_EQ(slot.muxChannels, 1u);
    EXPECT_EQ(slot.muxSetting, 1u);
    EXPECT_EQ(slot.clockRate, 187500u);
    EXPECT_EQ(slot.averageNumber, 1u);
    EXPECT_EQ(slot.temperatures[1], -100);
    EXPECT_EQ(slot.configurationWord, 0x80000000u);
    EXPECT_EQ(slot.pixelCount[7], 256u);
    EXPECT_EQ(slot.i2cAddresses[5], 0x4A);
    EXPECT_EQ(slot.configuration[0], 0xFF);
    EXPECT_EQ(slot.configuration[kConfigurationRecordSize - 1], 0xFF);
    EXPECT_EQ(slot.type8Scale[4], 1.0);
    EXPECT_EQ(slot.qre.interfaceId, 3u);
    EXPECT_EQ(slot.qre.integrationTime, 30000u);
    EXPECT_EQ(slot.qre.operatingMode, 2u);
    const DeviceRequestBlock* b = slot.block();
    EXPECT_EQ(b->WorkMode, 3);
    EXPECT_EQ(b->PreCnts, 800);
    EXPECT_EQ(b->NumScans, 1);
    EXPECT_EQ(b->Reserved24, 10);
    EXPECT_EQ(b->TOTimeExtTrig, 60000u);
    EXPECT_EQ(b->ETDelay, 1);
    EXPECT_EQ(b->NumberPixel, 256);
    EXPECT_EQ(b->NumberPixelLong, 256u);
    EXPECT_EQ(b->NumberPixel2, 256);
    EXPECT_EQ(b->NumberPixel2Long, 256u);
    EXPECT_EQ(b->MuxSpec, 1);
    EXPECT_EQ(b->MuxChanNum, 1);
    EXPECT_EQ(b->SaturationPeriod, 256);
    EXPECT_EQ(b->DataLength, 1u);
}

TEST_F(DeviceSlotTest, PreScanCountFollowsTheTypeInUse) {
    DeviceSlot& slot = addSlot(1, kTypeIsa);
    SetSlotDefaults(1, 1);
    EXPECT_EQ(slot.block()->PreCnts, 400);
    state().interfaceTypeInUse = kTypeUsb2;
    SetSlotDefaults(1, 1);
    EXPECT_EQ(slot.block()->PreCnts, 800);
}

TEST_F(DeviceSlotTest, AcquisitionDefaultsKeepTheSlotAndTheOptionFlags) {
    DeviceSlot& slot = addSlot(1, kTypeUsb, 55);
    slot.initialised = 1;
    slot.muxPresent = 1;
    slot.acquisitionIntegrationTime = 1000;
    slot.averageNumber = 8;
    slot.block()->WorkMode = 7;
    slot.block()->RequestFlags = KORAL_RF_BOARD_OPTION | KORAL_RF_CONFIG_BYTES;
    slot.optionByte = 1;
    SetSlotDefaults(1, 1);
    EXPECT_EQ(slot.deviceHandle, 55u);
    EXPECT_EQ(slot.initialised, 1u);
    EXPECT_EQ(slot.muxPresent, 1u);
    EXPECT_EQ(slot.acquisitionIntegrationTime, 0u);
    EXPECT_EQ(slot.averageNumber, 1u);
    EXPECT_EQ(slot.block()->WorkMode, 3);
    EXPECT_EQ(slot.block()->RequestFlags, KORAL_RF_BOARD_OPTION | KORAL_RF_CONFIG_BYTES);
    slot.optionByte = 0;
    SetSlotDefaults(1, 1);
    EXPECT_EQ(slot.block()->RequestFlags, 0u);
    slot.deviceHandle = platform::kInvalidDeviceHandle;
}

TEST_F(DeviceSlotTest, StateDefaultsResetTheStateButKeepTheSlots) {
    addSlot(2, kTypeUsb);
    state().muxKrdDelayTime = 99;
    state().inputLatchTable[2] = 4;
    SetSlotDefaults(kStateDefaults, 0);
    EXPECT_EQ(state().muxKrdDelayTime, 25);
    EXPECT_EQ(state().inputLatchTable[2], 0u);
    EXPECT_EQ(state().openInterfaces, 0);
    EXPECT_NE(deviceSlot(2), nullptr);
}

TEST_F(DeviceSlotTest, SlotIdsOutsideTheRangeAreRefused) {
    std::lock_guard guard(deviceLock());
    EXPECT_EQ(CreateDeviceSlot(16), -1);
    EXPECT_EQ(CreateDeviceSlot(-1), -1);
    EXPECT_EQ(FreeDeviceSlot(16), -1);
    EXPECT_EQ(SetSlotDefaults(16, 0), 0);
    EXPECT_EQ(FreeDeviceSlot(9), 0); // no slot: nothing to do
}

TEST_F(DeviceSlotTest, ClosingMakesTheLowestRemainingIdActual) {
    EXPECT_EQ(KORAL_GetActualInterfaceID(), 1); // nothing open
    addSlot(2, kTypePci, platform::kPlaceholderDeviceHandle);
    addSlot(3, kTypePci, platform::kPlaceholderDeviceHandle);
    EXPECT_EQ(KORAL_GetActualInterfaceID(), 3);
    {
        std::lock_guard guard(deviceLock());
        ASSERT_EQ(FreeDeviceSlot(3), 0);
        --state().openInterfaces;
    }
    EXPECT_EQ(KORAL_GetActualInterfaceID(), 2);
}

TEST_F(DeviceSlotTest, FreeClosesARealHandleAndOnlyResetsThePlaceholder) {
    BoardTestDriver board;
    ASSERT_TRUE(board.ready());
    const platform::DeviceHandle handle = board.open(0);
    addSlot(1, kTypeUsb, handle);
    addSlot(2, kTypeUsb, platform::kPlaceholderDeviceHandle);
    std::lock_guard guard(deviceLock());
    ASSERT_EQ(FreeDeviceSlot(1), 0);
    EXPECT_FALSE(platform::closeDevice(handle)); // closed already
    ASSERT_EQ(FreeDeviceSlot(2), 0);
    EXPECT_EQ(deviceSlot(2), nullptr);
}

TEST_F(DeviceSlotTest, FailedCloseIsRecordedAndTheSlotStillGoes) {
    addSlot(5, kTypeUsb, 4242);
    std::lock_guard guard(deviceLock());
    EXPECT_EQ(FreeDeviceSlot(5), -1);
    EXPECT_RECORD(3, 302, 1000 + EBADF, 0, "");
    EXPECT_EQ(deviceSlot(5), nullptr);
}

TEST_F(DeviceSlotTest, SerialSlotHandleIsNeverClosed) {
    DeviceSlot& slot = addSlot(1, kTypeSerial, 4242);
    ASSERT_EQ(AllocQreSlotBuffers(1), 1);
    SelectQreSlotBuffers(1);
    std::lock_guard guard(deviceLock());
    EXPECT_EQ(FreeDeviceSlot(1), 0);
    // The link no longer points into the freed blocks.
    EXPECT_EQ(qreLink()->current.version, nullptr);
    (void)slot;
}

class LibraryExportsTest : public TarvikTest {};

TEST_F(LibraryExportsTest, InitAndUnInitDoNothing) {
    addSlot(1, kTypeUsb);
    EXPECT_EQ(KORAL_InitLibrary(1, 2, 3), 0);
    EXPECT_EQ(KORAL_UnInitLibrary(7), 0);
    EXPECT_NE(deviceSlot(1), nullptr);
    EXPECT_EQ(state().openInterfaces, 1);
}

TEST_F(LibraryExportsTest, UnloadFreesRecordsTheClientNeverFreed) {
    uint32_t first = 0;
    uint32_t second = 0;
    ASSERT_EQ(KORAL_AllocRawData(&first), 0);
    ASSERT_EQ(KORAL_AllocRawData(&second), 0);
    ASSERT_EQ(rawDataRecordCount(), 2u);
    ASSERT_EQ(LibraryDetach(), 1);
    EXPECT_EQ(rawDataRecordCount(), 0u);
    attach(); // as a second load would
    EXPECT_EQ(findRawDataRecord(first), nullptr);
}

TEST_F(LibraryExportsTest, UnloadWithOpenSlotsFreesEverything) {
    BoardTestDriver board;
    ASSERT_TRUE(board.ready());
    const platform::DeviceHandle handle = board.open(0);
    addSlot(1, kTypeUsb, handle);
    addSlot(4, kTypeUsb, platform::kPlaceholderDeviceHandle);
    ASSERT_EQ(LibraryDetach(), 1);
    EXPECT_EQ(libraryState(), nullptr);
    EXPECT_EQ(qreLink(), nullptr);
    EXPECT_FALSE(platform::closeDevice(handle));
    EXPECT_EQ(KORAL_InitLibrary(0, 0, 0), -1);
    attach(); // and once more, as a second load would
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_EQ(KORAL_InitLibrary(0, 0, 0), 0);
}

TEST_F(LibraryExportsTest, UnloadStopsTheAcquisitionWorkers) {
    AcquisitionThreadRow& row = state().acquisitionThreads.rows[3];
    row.startEvent = std::make_unique<platform::Event>(platform::ResetMode::Auto);
    row.thread = std::make_unique<platform::Thread>();
    platform::Event& start = *row.startEvent;
    ASSERT_TRUE(row.thread->start(
        [&row, &start](platform::Thread& self) -> uint32_t {
            row.state = kWorkerIdle;
            self.signalRunning();
            while (row.stopRequest == 0) {
                if (start.wait(platform::kInfinite) != platform::WaitResult::Signalled) {
                    break;
                }
            }
            row.exited = 1;
            return 0;
        },
        platform::kInfinite));
    StopAllAcquisitionThreads();
    EXPECT_EQ(row.thread, nullptr);
    EXPECT_EQ(row.startEvent, nullptr);
    EXPECT_EQ(row.state, kWorkerNone);
}

} // namespace
} // namespace tarvik::testing
