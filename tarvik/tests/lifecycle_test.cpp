// Initialise, de-initialise, close and the active flag of opened interfaces,
// against the simulated board driver; what each asks of the later parts.

#include "lifecycle_fixture.h"

#include "core/locks.h"
#include "hardware/eeprom_image.h"

#include <mutex>

namespace tarvik::testing {
namespace {

constexpr const char* kInit = "KORAL_InitializeOperationElectronics";
constexpr const char* kDeInit = "KORAL_DeInitializeOperationElectronics";
constexpr const char* kClose = "KORAL_CloseOperationElectronics";
constexpr const char* kCloseKeep = "KORAL_CloseOperationElectronicsWithoutDeInit";
constexpr const char* kActive = "KORAL_SetInterfaceActive";
constexpr const char* kInActive = "KORAL_SetInterfaceInActive";

class LifecycleBoardTest : public LifecycleTest {
protected:
    // One board of the type with board id 1 and the extra keys; opened as ID 1.
    DeviceSlot& open(uint32_t type = kTypeUsb, const std::string& keys = "", int32_t flags = 0) {
        loadBoards("[board b]\nusb_board = 0\ninterface_type = " + std::to_string(type) + "\n" +
                   keys);
        EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(flags, type, 1), 0);
        b = board("b");
        b->clearRequests();
        calls.boxFlags.clear();
        return *deviceSlot(1);
    }

    std::shared_ptr<sim::BoardModel> b;
};

// --- initialise

TEST_F(LifecycleBoardTest, InitialiseStartsTheWorkerAndSendsTheConfiguration) {
    DeviceSlot& slot = open();
    state().shutterDelay = 40;
    state().sensorDemoMode = 0x1;
    state().muxKrdComMode = 0x1;
    slot.active = 0;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(slot.initialised, 1u);
    EXPECT_EQ(slot.active, 1u);
    EXPECT_EQ(slot.muxKrdComBit, 1);
    ASSERT_EQ(calls.workerStarts.size(), 1u);
    EXPECT_EQ(calls.workerStarts[0], std::make_tuple(1, kTypeUsb, uint8_t{1}));
    EXPECT_EQ(calls.hardwareConfigurations, std::vector<int32_t>{1});
    // The slot's times follow the hardware configuration, acquisition first.
    ASSERT_EQ(calls.integrationTimes.size(), 2u);
    EXPECT_EQ(std::get<1>(calls.integrationTimes[0]), 0);
    EXPECT_EQ(std::get<1>(calls.integrationTimes[1]), 1);
    // Shutter control mode 0: the shutter opens.
    ASSERT_EQ(calls.shutters.size(), 1u);
    EXPECT_EQ(calls.shutters[0], std::make_tuple(1, 40u, 1));
    // Without option bit nothing went to the board here, and no multiplexer.
    EXPECT_EQ(b->requestCount(IOCTL_BOARD_INIT), 0u);
    EXPECT_TRUE(calls.muxModes.empty());
    EXPECT_TRUE(calls.cooledBoards.empty());
    EXPECT_EQ(calls.boxFlags, std::vector<uint32_t>{0});

    // Shutter control mode 1: the shutter closes.
    state().shutterControlMode = 1;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(std::get<2>(calls.shutters.back()), 0);
}

TEST_F(LifecycleBoardTest, SecondInitialiseKeepsTheWorker) {
    open();
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    // As the worker leaves its row once it runs.
    state().acquisitionThreads.rows[1].state = kWorkerIdle;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(calls.workerStarts.size(), 1u);
    state().acquisitionThreads.rows[1].state = kWorkerNone;
}

TEST_F(LifecycleBoardTest, OptionBitSendsInitAndTheMinimumTimes) {
    DeviceSlot& slot = open(kTypeUsb, "", kOpenOption);
    calls.minimumIntegrationTime = 0.01;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(b->requestCount(IOCTL_BOARD_INIT), 1u);
    EXPECT_NE(b->initState().parameters.requestFlags & KORAL_RF_BOARD_OPTION, 0u);
    EXPECT_EQ(slot.initialised, 1u);
    EXPECT_TRUE(calls.hardwareConfigurations.empty());
    EXPECT_TRUE(calls.shutters.empty());
    ASSERT_EQ(calls.integrationTimes.size(), 3u);
    EXPECT_EQ(calls.integrationTimes[0], std::make_tuple(0.0, 0, 0));
    EXPECT_EQ(calls.integrationTimes[1], std::make_tuple(0.02, 0, 0));
    EXPECT_EQ(calls.integrationTimes[2], std::make_tuple(0.02, 1, 1));
}

TEST_F(LifecycleBoardTest, FailedInitCommandLeavesTheSlotUninitialised) {
    DeviceSlot& slot = open(kTypeUsb, "", kOpenOption);
    b->injectStatus(IOCTL_BOARD_INIT, 145, 9);
    EXPECT_EQ(KORAL_InitializeOperationElectronics(0, 1), -1);
    EXPECT_RECORD(4, 145, 9, 1, kInit);
    EXPECT_EQ(slot.initialised, 0u);
    EXPECT_TRUE(calls.workerStarts.empty());
    EXPECT_EQ(boxCount(), 1u);
}

TEST_F(LifecycleBoardTest, WorkerThatCannotStartFailsTheInitialise) {
    DeviceSlot& slot = open();
    calls.workerStartResult = false;
    EXPECT_EQ(KORAL_InitializeOperationElectronics(kInitialiseNoBox, 1), -1);
    EXPECT_RECORD(4, 309, 835, 1, kInit);
    EXPECT_EQ(slot.initialised, 0u);
    EXPECT_EQ(boxCount(), 0u);
    EXPECT_EQ(KORAL_InitializeOperationElectronics(0, 1), -1);
    EXPECT_EQ(boxCount(), 1u);
}

TEST_F(LifecycleBoardTest, FailedHardwareConfigurationIsNamedByTheInitialise) {
    DeviceSlot& slot = open();
    calls.hardwareConfigurationResult = -1;
    recordError(1, KORAL_LEVEL_IGNORED, 505, 803);
    EXPECT_EQ(KORAL_InitializeOperationElectronics(0, 1), -1);
    EXPECT_RECORD(5, 505, 803, 1, kInit);
    EXPECT_EQ(slot.initialised, 0u);
    EXPECT_TRUE(calls.shutters.empty());
}

TEST_F(LifecycleBoardTest, FailedShutterIsTheInitialisesResult) {
    open();
    calls.shutterResult = -1;
    recordError(1, KORAL_LEVEL_NOT_DONE, 403, 0);
    EXPECT_EQ(KORAL_InitializeOperationElectronics(0, 1), -1);
    EXPECT_RECORD(4, 403, 0, 1, kInit);
}

TEST_F(LifecycleBoardTest, MultiplexerModeFollowsTheConfiguration) {
    DeviceSlot& slot = open();
    slot.muxPresent = 1;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    ASSERT_EQ(calls.muxModes.size(), 1u);
    EXPECT_EQ(calls.muxModes[0], std::make_tuple(1u, 1, 1u));
    EXPECT_EQ(calls.boxFlags.back(), 0u);
}

TEST_F(LifecycleBoardTest, GenerationTwoBoardsGetTheirBufferSize) {
    DeviceSlot& slot = open(kTypeUsb, "hardware_word = 0x2064\n");
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_NE(slot.block()->RequestFlags & KORAL_RF_GEN2_INIT, 0u);
    // The FIFO size of the interface board image.
    EXPECT_EQ(slot.block()->Gen2BufferSize, 8192);
}

TEST_F(LifecycleBoardTest, CooledDetectorBoardIsPrepared) {
    DeviceSlot& slot = open();
    slot.frontEndType = 11;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(calls.cooledBoards, std::vector<int32_t>{1});
    calls.cooledBoardResult = -1;
    EXPECT_EQ(KORAL_InitializeOperationElectronics(0, 1), -1);
    EXPECT_RECORD(4, 514, 857, 1, kInit);
}

TEST_F(LifecycleBoardTest, Type8KeepsItsConfigurationBytesAndNeedsItsScaling) {
    DeviceSlot& slot = open(kTypeUsb2);
    ASSERT_NE(slot.block()->RequestFlags & KORAL_RF_CONFIG_BYTES, 0u);
    slot.muxPresent = 1;
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_NE(slot.block()->RequestFlags & KORAL_RF_CONFIG_BYTES, 0u);
    EXPECT_EQ(calls.type8Scalings, std::vector<int32_t>{1});
    EXPECT_TRUE(calls.muxModes.empty());

    calls.type8ScalingResult = false;
    EXPECT_EQ(KORAL_InitializeOperationElectronics(0, 1), -1);
    EXPECT_RECORD(4, 508, 0, 1, kInit);
    EXPECT_EQ(slot.initialised, 0u);
}

TEST_F(LifecycleBoardTest, IsaBoardTakesItsSensorTypeResult) {
    DeviceSlot& slot = open(kTypeIsa);
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    ASSERT_EQ(calls.feeSensorTypes.size(), 1u);
    EXPECT_EQ(calls.feeSensorTypes[0], std::make_tuple(3u, 0u, 256u, 1u));
    EXPECT_EQ(calls.boxFlags, std::vector<uint32_t>{0});
    EXPECT_EQ(slot.initialised, 1u);
    EXPECT_EQ(calls.workerStarts[0], std::make_tuple(1, kTypeIsa, uint8_t{0}));
    EXPECT_EQ(calls.integrationTimes.size(), 2u);

    calls.feeSensorTypeResult = -1;
    recordError(1, KORAL_LEVEL_IGNORED, 505, 801);
    EXPECT_EQ(KORAL_InitializeOperationElectronics(0, 1), -1);
    EXPECT_RECORD(5, 505, 801, 1, kInit);
    EXPECT_EQ(slot.initialised, 0u);
    EXPECT_EQ(boxCount(), 0u);
}

TEST_F(LifecycleBoardTest, InitialiseNeedsAnOpenInterface) {
    EXPECT_EQ(KORAL_InitializeOperationElectronics(kInitialiseNoBox, 2), -1);
    EXPECT_RECORD(5, 504, 0, 2, kInit);
    // The check's failure shows the box whatever the flag says.
    EXPECT_EQ(boxCount(), 1u);
    open();
    // ID 0 addresses no one slot.
    EXPECT_EQ(KORAL_InitializeOperationElectronics(0, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, kInit);
    EXPECT_EQ(deviceSlot(0)->initialised, 0u);
    EXPECT_TRUE(calls.workerStarts.empty());
}

TEST_F(LifecycleBoardTest, UnknownBoardTypeIsNotInitialised) {
    DeviceSlot& slot = addSlot(2, 7);
    EXPECT_EQ(KORAL_InitializeOperationElectronics(0, 2), -1);
    EXPECT_RECORD(5, 505, 804, 2, kInit);
    EXPECT_EQ(slot.initialised, 0u);
}

// --- de-initialise

TEST_F(LifecycleBoardTest, DeInitialiseOfAnUninitialisedSlotShowsNoBox) {
    DeviceSlot& slot = open();
    EXPECT_EQ(KORAL_DeInitializeOperationElectronics(1), -1);
    EXPECT_RECORD(5, 507, 0, 0, kDeInit);
    EXPECT_EQ(boxCount(), 0u);
    EXPECT_EQ(b->requestCount(IOCTL_BOARD_DEINIT), 0u);

    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(KORAL_DeInitializeOperationElectronics(1), 0);
    EXPECT_EQ(slot.initialised, 0u);
    EXPECT_EQ(b->initState().deinitCount, 1u);
    // The worker stays until the close.
    EXPECT_TRUE(calls.workerStops.empty());
}

TEST_F(LifecycleBoardTest, DeInitialiseRefusals) {
    EXPECT_EQ(KORAL_DeInitializeOperationElectronics(16), -1);
    EXPECT_RECORD(5, 505, 818, 16, kDeInit);
    addSlot(1, kTypeSerial);
    EXPECT_EQ(KORAL_DeInitializeOperationElectronics(1), -1);
    EXPECT_RECORD(5, 804, 0, 1, kDeInit);
    EXPECT_EQ(KORAL_DeInitializeOperationElectronics(0), -1);
    EXPECT_RECORD(5, 504, 808, 0, kDeInit);
}

// --- close

TEST_F(LifecycleBoardTest, CloseReleasesEverything) {
    open();
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    const platform::DeviceHandle handle = deviceSlot(1)->deviceHandle;
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_TRUE(memberIsFree(6, 0));
    EXPECT_EQ(state().openInterfaces, 0);
    EXPECT_EQ(state().interfaceTypeInUse, 0u);
    EXPECT_EQ(KORAL_GetActualInterfaceID(), 1);
    EXPECT_EQ(calls.workerStops, std::vector<int32_t>{1});
    EXPECT_EQ(calls.deletes, std::vector<uint32_t>{1});
    EXPECT_EQ(calls.notifyStops, 1);
    ASSERT_EQ(calls.handleWatches.size(), 2u);
    EXPECT_EQ(calls.handleWatches[1], std::make_pair(false, handle));
    // No de-initialisation goes to the board.
    EXPECT_EQ(b->requestCount(IOCTL_BOARD_DEINIT), 0u);
}

TEST_F(LifecycleBoardTest, CloseOfIdZeroLeavesTheLibraryAlone) {
    open();
    EXPECT_EQ(KORAL_CloseOperationElectronics(0), -1);
    EXPECT_RECORD(5, 504, 808, 0, kClose);
    ASSERT_NE(libraryState(), nullptr);
    ASSERT_NE(deviceSlot(0), nullptr);
    EXPECT_NE(deviceSlot(1), nullptr);
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_TRUE(calls.workerStops.empty());
}

TEST_F(LifecycleBoardTest, CloseRefusals) {
    EXPECT_EQ(KORAL_CloseOperationElectronics(3), -1);
    EXPECT_RECORD(5, 504, 0, 3, kClose);
    addSlot(2, 7);
    EXPECT_EQ(KORAL_CloseOperationElectronics(2), -1);
    EXPECT_RECORD(5, 804, 0, 2, kClose);
    EXPECT_NE(deviceSlot(2), nullptr);
}

TEST_F(LifecycleBoardTest, ClosingOneOfTwoKeepsTheTypeAndTheThread) {
    loadBoards("[board a]\nboard_id = 1\n[board b]\nboard_id = 2\n");
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 2), 0);
    EXPECT_EQ(KORAL_CloseOperationElectronics(2), 0);
    EXPECT_EQ(calls.notifyStops, 0);
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_EQ(state().interfaceTypeInUse, kTypeUsb);
    EXPECT_EQ(KORAL_GetActualInterfaceID(), 1);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_EQ(calls.notifyStops, 1);
}

TEST_F(LifecycleBoardTest, OpenAndCloseManyTimesLeavesNoHandle) {
    loadBoards("[board b]\n[board e]\ninterface_type = 8\n");
    for (int round = 0; round < 25; ++round) {
        ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0) << round;
        ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0) << round;
        ASSERT_EQ(KORAL_CloseOperationElectronics(1), 0) << round;
    }
    for (int round = 0; round < 25; ++round) {
        ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 8, 1), 0) << round;
        ASSERT_EQ(KORAL_CloseOperationElectronics(1), 0) << round;
    }
    EXPECT_TRUE(memberIsFree(6, 0));
    EXPECT_TRUE(memberIsFree(8, 0));
    EXPECT_EQ(calls.notifyStarts.size(), 50u);
    EXPECT_EQ(calls.notifyStops, 50);
    EXPECT_EQ(calls.workerStarts.size(), 25u);
    EXPECT_EQ(calls.workerStops.size(), 50u);
    EXPECT_EQ(state().openInterfaces, 0);
}

// --- close without de-initialisation

TEST_F(LifecycleBoardTest, CloseWithoutDeInitKeepsTheInterfaceForTheNextOpen) {
    DeviceSlot& slot = open();
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0);
    EXPECT_EQ(KORAL_CloseOperationElectronicsWithoutDeInit(1), 0);
    EXPECT_EQ(deviceSlot(1), &slot);
    EXPECT_EQ(slot.deviceHandle, platform::kInvalidDeviceHandle);
    EXPECT_TRUE(memberIsFree(6, 0));
    EXPECT_EQ(KORAL_GetActualInterfaceID(), 1);
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_EQ(b->requestCount(IOCTL_BOARD_DEINIT), 0u);
    // Closed by the client, not removed: the slot reads as closed, not gone.
    EXPECT_EQ(slot.hotPlug, 0u);
    EXPECT_FALSE(calls.handleWatches.back().first);
    EXPECT_EQ(KORAL_SetInterfaceActive(1), -1);
    EXPECT_RECORD(5, 504, 0, 1, kActive);

    // The next open opens the device into the same slot, counted once.
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    EXPECT_EQ(deviceSlot(1), &slot);
    EXPECT_TRUE(memberIsBusy(6, 0));
    EXPECT_EQ(slot.hotPlug, 1u);
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_EQ(state().openInterfaces, 0);
    EXPECT_EQ(state().interfaceTypeInUse, 0u);
    EXPECT_EQ(calls.notifyStops, 1);
}

TEST_F(LifecycleBoardTest, CloseWithoutDeInitOfAPlaceholderClosesNothing) {
    loadBoards("[board b]\n");
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenKeepSlot, 6, 4), -1);
    ASSERT_EQ(deviceSlot(4)->deviceHandle, platform::kPlaceholderDeviceHandle);
    EXPECT_EQ(KORAL_CloseOperationElectronicsWithoutDeInit(4), 0);
    EXPECT_EQ(deviceSlot(4)->deviceHandle, platform::kInvalidDeviceHandle);
    // No handle went to the notification thread.
    EXPECT_TRUE(calls.handleWatches.empty());
    EXPECT_EQ(state().openInterfaces, 1);
}

TEST_F(LifecycleBoardTest, CloseWithoutDeInitRefusals) {
    open();
    EXPECT_EQ(KORAL_CloseOperationElectronicsWithoutDeInit(2), -1);
    EXPECT_RECORD(5, 504, 0, 2, kCloseKeep);
    EXPECT_EQ(KORAL_CloseOperationElectronicsWithoutDeInit(0), -1);
    EXPECT_RECORD(5, 504, 808, 0, kCloseKeep);
    EXPECT_TRUE(memberIsBusy(6, 0));
    EXPECT_EQ(KORAL_CloseOperationElectronicsWithoutDeInit(1), 0);
    EXPECT_EQ(KORAL_CloseOperationElectronicsWithoutDeInit(1), -1);
    EXPECT_RECORD(5, 504, 0, 1, kCloseKeep);
}

// --- active flag

TEST_F(LifecycleBoardTest, ActiveFlag) {
    DeviceSlot& slot = open(kTypePci);
    EXPECT_EQ(KORAL_SetInterfaceInActive(1), 0);
    EXPECT_EQ(slot.active, 0u);
    EXPECT_EQ(KORAL_SetInterfaceActive(1), 0);
    EXPECT_EQ(slot.active, 1u);
    EXPECT_EQ(KORAL_SetInterfaceInActive(3), -1);
    EXPECT_RECORD(5, 504, 0, 3, kInActive);
    EXPECT_EQ(KORAL_SetInterfaceInActive(0), -1);
    EXPECT_RECORD(5, 504, 808, 0, kInActive);
    EXPECT_EQ(deviceSlot(0)->active, 0u);
    addSlot(2, 7).active = 1;
    EXPECT_EQ(KORAL_SetInterfaceInActive(2), -1);
    EXPECT_RECORD(5, 506, 804, 2, kInActive);
}

} // namespace
} // namespace tarvik::testing
