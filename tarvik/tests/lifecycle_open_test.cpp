// Opening interfaces of every board type against the simulated board driver:
// how each type is found, the limits, what a failed open leaves behind.

#include "lifecycle_fixture.h"

#include "core/device_command.h"
#include "core/locks.h"
#include "hardware/eeprom_image.h"
#include "sim/eeprom_images.h"

#include <array>
#include <cstring>
#include <mutex>
#include <thread>

namespace tarvik::testing {
namespace {

constexpr const char* kOpen = "KORAL_OpenOperationElectronicsDevice";

std::string usbBoard(const std::string& name, int boardId, const std::string& more = "") {
    return "[board " + name +
           "]\ninterface_type = 6\nusb_board = 0\nboard_id = " + std::to_string(boardId) + "\n" +
           more;
}

class LifecycleOpenTest : public LifecycleTest {};

TEST_F(LifecycleOpenTest, UsbSearchKeepsTheBoardThatCarriesTheId) {
    loadBoards(usbBoard("one", 1) + usbBoard("three", 3));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 3), 0);

    // Member 0 (id 1) was asked and let go, member 1 (id 3) is held.
    EXPECT_EQ(board("one")->requestCount(IOCTL_BOARD_GET_USB_VERSION), 1u);
    EXPECT_EQ(board("three")->requestCount(IOCTL_BOARD_GET_USB_VERSION), 1u);
    EXPECT_TRUE(memberIsFree(6, 0));
    EXPECT_TRUE(memberIsBusy(6, 1));

    const DeviceSlot* slot = deviceSlot(3);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->devicePath, members(6)[1]);
    EXPECT_EQ(slot->boardType, kTypeUsb);
    EXPECT_EQ(slot->hotPlug, 1u);
    EXPECT_EQ(slot->active, 1u);
    EXPECT_EQ(slot->initialised, 0u);
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_EQ(state().interfaceTypeInUse, kTypeUsb);
    EXPECT_EQ(KORAL_GetActualInterfaceID(), 3);
    EXPECT_EQ(calls.notifyStarts, std::vector<uint32_t>{6});
    ASSERT_EQ(calls.handleWatches.size(), 1u);
    EXPECT_TRUE(calls.handleWatches[0].first);
    EXPECT_EQ(calls.handleWatches[0].second, slot->deviceHandle);
    // The configuration was read and the components scanned, both with the box off.
    EXPECT_GT(board("three")->requestCount(IOCTL_BOARD_I2C_OPERATION), 0u);
    EXPECT_EQ(calls.scans, std::vector<uint32_t>{3});
    EXPECT_EQ(calls.boxFlags, std::vector<uint32_t>{0});
    EXPECT_EQ(errorBoxFlag(), 1u);
    // Driver 3114 supports warning class 2 and mode bit 2.
    EXPECT_EQ(slot->warningMask, 0x6);
    EXPECT_NE(slot->block()->RequestFlags & KORAL_RF_WARN_CLASS2, 0u);
    EXPECT_EQ(boxCount(), 0u);
}

TEST_F(LifecycleOpenTest, MissingBoardIdLeavesNoSlotAndKeepsTheOpensRecord) {
    loadBoards(usbBoard("one", 1) + usbBoard("three", 3));
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 5), -1);
    EXPECT_RECORD(3, 301, 0, 5, kOpen);
    EXPECT_EQ(deviceSlot(5), nullptr);
    EXPECT_EQ(state().openInterfaces, 0);
    EXPECT_EQ(state().interfaceTypeInUse, 0u);
    EXPECT_TRUE(memberIsFree(6, 0));
    EXPECT_TRUE(memberIsFree(6, 1));
    // Shown once; the clean-up stopped the notification thread it had started.
    EXPECT_EQ(boxCount(), 1u);
    EXPECT_EQ(calls.notifyStops, 1);
    EXPECT_EQ(calls.workerStops, std::vector<int32_t>{5});
}

TEST_F(LifecycleOpenTest, KeepFlagLeavesTheFailedSlotOpenWithThePlaceholder) {
    loadBoards(usbBoard("one", 1));
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenKeepSlot | kOpenNoBox, 6, 5), -1);
    EXPECT_RECORD(3, 301, 0, 5, kOpen);
    EXPECT_EQ(boxCount(), 0u);
    const DeviceSlot* slot = deviceSlot(5);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot->deviceHandle, platform::kPlaceholderDeviceHandle);
    EXPECT_EQ(slot->active, 0u);
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_EQ(KORAL_CloseOperationElectronics(5), 0);
    EXPECT_EQ(state().openInterfaces, 0);
    EXPECT_EQ(deviceSlot(5), nullptr);
}

TEST_F(LifecycleOpenTest, ObsoleteDriverIsRefused) {
    loadBoards(usbBoard("old", 1, "driver_version = 1014\n"));
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), -1);
    EXPECT_RECORD(3, 301, 837, 1, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_TRUE(memberIsFree(6, 0));

    auto identity = board("old")->identity();
    identity.driverVersion = kMinimumUsbDriverVersion;
    board("old")->setIdentity(identity);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
}

TEST_F(LifecycleOpenTest, ObsoleteDriverEndsTheSearch) {
    loadBoards(usbBoard("old", 1, "driver_version = 900\n") + usbBoard("two", 2));
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 2), -1);
    EXPECT_RECORD(3, 301, 837, 2, kOpen);
    EXPECT_EQ(board("two")->requests().size(), 0u);
}

TEST_F(LifecycleOpenTest, FailedIdentificationEndsTheSearchWithItsInfo) {
    loadBoards(usbBoard("one", 1) + usbBoard("two", 2));
    board("one")->injectRequestFailure(IOCTL_BOARD_GET_USB_VERSION, EIO);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 2), -1);
    EXPECT_RECORD(3, 301, 1000 + EIO, 2, kOpen);
    EXPECT_EQ(board("two")->requests().size(), 0u);
    EXPECT_TRUE(memberIsFree(6, 0));
}

TEST_F(LifecycleOpenTest, BusyBoardIsPassedOver) {
    loadBoards(usbBoard("held", 1, "busy = 1\n") + usbBoard("free", 1));
    // The board held elsewhere cannot be asked; the next one carries id 1 too.
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    EXPECT_EQ(deviceSlot(1)->devicePath, members(6)[1]);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);

    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 2), -1);
    EXPECT_RECORD(3, 301, 0, 2, kOpen);
}

TEST_F(LifecycleOpenTest, SecondOpenOfAnOpenIdIsRefused) {
    loadBoards(usbBoard("one", 1));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 0), 0); // ID 0 means 1
    const platform::DeviceHandle handle = deviceSlot(1)->deviceHandle;
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), -1);
    EXPECT_RECORD(5, 503, 0, 1, kOpen);
    ASSERT_NE(deviceSlot(1), nullptr);
    EXPECT_EQ(deviceSlot(1)->deviceHandle, handle);
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_EQ(board("one")->requestCount(IOCTL_BOARD_GET_USB_VERSION), 1u);
}

TEST_F(LifecycleOpenTest, RemovedBoardStillHoldsItsId) {
    loadBoards(usbBoard("one", 1));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    DeviceSlot& slot = *deviceSlot(1);
    // As the removal handler leaves it.
    {
        std::lock_guard guard(deviceLock());
        platform::closeDevice(slot.deviceHandle);
        slot.deviceHandle = platform::kInvalidDeviceHandle;
    }
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), -1);
    EXPECT_RECORD(5, 503, 0, 1, kOpen);
    // The close takes it all the same.
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
}

TEST_F(LifecycleOpenTest, ConcurrentOpensOfOneIdLeaveOneIntactSlot) {
    loadBoards(usbBoard("one", 1));
    KORAL_ErrorMessages(0);
    std::array<int32_t, 2> results{};
    std::thread other([&] { results[0] = KORAL_OpenOperationElectronicsDevice(0, 6, 1); });
    results[1] = KORAL_OpenOperationElectronicsDevice(0, 6, 1);
    other.join();
    EXPECT_EQ(std::min(results[0], results[1]), -1);
    EXPECT_EQ(std::max(results[0], results[1]), 0);
    EXPECT_RECORD(5, 503, 0, 1, kOpen);
    ASSERT_NE(deviceSlot(1), nullptr);
    EXPECT_TRUE(memberIsBusy(6, 0));
    EXPECT_EQ(state().openInterfaces, 1);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_TRUE(memberIsFree(6, 0));
}

TEST_F(LifecycleOpenTest, MixingInterfaceTypesIsRefused) {
    loadBoards(usbBoard("one", 1) + "[board pci]\ninterface_type = 4\n");
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 4, 2), -1);
    EXPECT_RECORD(5, 505, 804, 2, kOpen);
    EXPECT_EQ(deviceSlot(2), nullptr);
    EXPECT_TRUE(memberIsFree(4, 0));
    // Once the last USB interface is closed, the type is free.
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 4, 1), 0);
    EXPECT_EQ(state().interfaceTypeInUse, kTypePci);
}

TEST_F(LifecycleOpenTest, FifthUsbInterfaceIsRefused) {
    std::string setup;
    for (int id = 1; id <= 5; ++id) {
        setup += usbBoard("b" + std::to_string(id), id);
    }
    loadBoards(setup);
    for (uint32_t id = 1; id <= 4; ++id) {
        ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, id), 0) << id;
    }
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 5), -1);
    EXPECT_RECORD(5, 505, 824, 5, kOpen);
    EXPECT_EQ(deviceSlot(5), nullptr);
    EXPECT_TRUE(memberIsFree(6, 4));
    EXPECT_EQ(state().openInterfaces, 4);
    // The notification thread was started once and stays until the last close.
    EXPECT_EQ(calls.notifyStarts.size(), 1u);
    for (uint32_t id = 1; id <= 4; ++id) {
        EXPECT_EQ(calls.notifyStops, 0);
        EXPECT_EQ(KORAL_CloseOperationElectronics(id), 0);
    }
    EXPECT_EQ(calls.notifyStops, 1);
}

TEST_F(LifecycleOpenTest, IdsOutsideTheTypesRangeLeaveNoSlot) {
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 1, 4), -1);
    EXPECT_RECORD(5, 505, 818, 4, kOpen);
    EXPECT_EQ(deviceSlot(4), nullptr);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 5, 5), -1);
    EXPECT_RECORD(5, 505, 818, 5, kOpen);
    EXPECT_EQ(deviceSlot(5), nullptr);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 16), -1);
    EXPECT_RECORD(5, 505, 818, 16, kOpen);
    EXPECT_EQ(state().openInterfaces, 0);
}

TEST_F(LifecycleOpenTest, UnknownInterfaceTypesAreRefused) {
    for (uint32_t type : {0u, 2u, 7u, 9u, 101u, 111u}) {
        EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, type, 2), -1) << type;
        EXPECT_RECORD(5, 505, 804, 2, kOpen);
    }
    // A bad ID is reported as such.
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 7, 16), -1);
    EXPECT_RECORD(5, 505, 818, 16, kOpen);
    EXPECT_EQ(deviceSlot(2), nullptr);
}

TEST_F(LifecycleOpenTest, NoBoxFlagKeepsEveryRefusalQuiet) {
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenNoBox, 7, 1), -1);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenNoBox, 1, 4), -1);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenNoBox, 6, 1), -1);
    EXPECT_EQ(boxCount(), 0u);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), -1);
    EXPECT_EQ(boxCount(), 1u);
}

TEST_F(LifecycleOpenTest, BoardTypesFindTheirMemberByIdMinusOne) {
    loadBoards("[board a]\ninterface_type = 1\n[board b]\ninterface_type = 1\n");
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenOption, 1, 2), 0);
    const DeviceSlot& slot = *deviceSlot(2);
    EXPECT_EQ(slot.devicePath, members(1)[1]);
    EXPECT_EQ(slot.boardType, kTypeIsa);
    EXPECT_EQ(slot.active, 1u);
    EXPECT_EQ(slot.optionByte & 1, 1);
    EXPECT_EQ(slot.block()->RequestFlags & KORAL_RF_BOARD_OPTION, 0u);
    EXPECT_TRUE(memberIsBusy(1, 1));
    EXPECT_TRUE(memberIsFree(1, 0));
    // Type 1 reads no configuration and scans nothing.
    EXPECT_EQ(board("b")->requests().size(), 0u);
    EXPECT_TRUE(calls.scans.empty());
    EXPECT_TRUE(calls.notifyStarts.empty());
    EXPECT_EQ(slot.warningMask, 0);
}

TEST_F(LifecycleOpenTest, OptionFlagOnType5SetsTheOptionBits) {
    loadBoards("[board five]\ninterface_type = 5\n");
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenOption, 5, 1), 0);
    const DeviceSlot& slot = *deviceSlot(1);
    EXPECT_EQ(slot.optionByte & 1, 1);
    EXPECT_NE(slot.block()->RequestFlags & KORAL_RF_BOARD_OPTION, 0u);
    EXPECT_EQ(board("five")->requestCount(IOCTL_BOARD_OPEN), 0u);
    EXPECT_EQ(calls.scans, std::vector<uint32_t>{1});
}

TEST_F(LifecycleOpenTest, BusyBoardOfAnIdTypeGivesThePlatformError) {
    loadBoards("[board pci]\ninterface_type = 4\nbusy = 1\n");
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 4, 1), -1);
    EXPECT_RECORD(3, 301, 1000 + EBUSY, 1, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_EQ(state().openInterfaces, 0);
    // No member 2.
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 5, 2), -1);
    EXPECT_RECORD(3, 301, 1000 + ENOENT, 2, kOpen);
}

TEST_F(LifecycleOpenTest, OperatingSystemCodesChooseTheWayToTheDevice) {
    loadBoards("[board pci]\ninterface_type = 4\n");
    state().osVersionCode = 95;
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 4, 1), -1);
    EXPECT_RECORD(5, 505, 822, 1, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);

    // NT 4 opens the legacy device name, which the simulated boards do not carry.
    state().osVersionCode = 40;
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenKeepSlot, 4, 2), -1);
    EXPECT_RECORD(3, 301, 1000 + ENOENT, 2, kOpen);
    EXPECT_EQ(deviceSlot(2)->devicePath, "\\\\.\\KX-TRL07Q11");
    EXPECT_EQ(KORAL_CloseOperationElectronics(2), 0);

    state().osVersionCode = 98;
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 4, 1), 0);
}

TEST_F(LifecycleOpenTest, LegacyDeviceNames) {
    EXPECT_EQ(BuildLegacyDeviceName(1, 1), "\\\\.\\KX-BRN41Q2");
    EXPECT_EQ(BuildLegacyDeviceName(1, 3), "\\\\.\\KX-BRN41Q22");
    EXPECT_EQ(BuildLegacyDeviceName(4, 4), "\\\\.\\KX-TRL07Q13");
    EXPECT_EQ(BuildLegacyDeviceName(5, 2), "\\\\.\\KX-55301Q11");
    EXPECT_EQ(BuildLegacyDeviceName(6, 2), "");
}

TEST_F(LifecycleOpenTest, BoardOpenFlagSendsTheOpenCommand) {
    loadBoards(usbBoard("one", 1) + usbBoard("two", 2));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenBoardOpen, 6, 1), 0);
    EXPECT_EQ(board("one")->requestCount(IOCTL_BOARD_OPEN), 1u);

    // A failing open command undoes the open.
    board("two")->injectStatus(IOCTL_BOARD_OPEN, 145, 3);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenBoardOpen, 6, 2), -1);
    EXPECT_RECORD(1, 145, 3, 0, kOpen);
    EXPECT_EQ(deviceSlot(2), nullptr);
    EXPECT_TRUE(memberIsFree(6, 1));
    EXPECT_EQ(state().openInterfaces, 1);
}

TEST_F(LifecycleOpenTest, FailedConfigurationReadUndoesTheOpen) {
    loadBoards(usbBoard("one", 1, "interface_image = none\n"));
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), -1);
    EXPECT_RECORD(4, 303, 828, 1, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_TRUE(memberIsFree(6, 0));
    EXPECT_EQ(boxCount(), 1u);
}

TEST_F(LifecycleOpenTest, OpenReadsTheActualConfiguration) {
    loadBoards(usbBoard("one", 1, "pixels = 2048\nsensor_type = 14\nfrontend_type = 9\n"));
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    uint32_t values[7] = {};
    ASSERT_EQ(KORAL_GetActualConfiguration(3, values, 1), 0);
    EXPECT_EQ(values[0], 6u);
    EXPECT_EQ(values[2], 9u);
    EXPECT_EQ(values[3], 0u);
    EXPECT_EQ(values[4], 1u);
    EXPECT_EQ(values[5], 14u);
    EXPECT_EQ(values[6], 2048u);
}

TEST_F(LifecycleOpenTest, NotificationThreadThatCannotStartFailsTheOpen) {
    loadBoards(usbBoard("one", 1));
    calls.notifyStartResult = false;
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), -1);
    EXPECT_RECORD(5, 508, 835, 1, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_EQ(board("one")->requests().size(), 0u);

    // A running thread is not started again.
    calls.notifyStartResult = true;
    calls.notifyRunning = true;
    calls.notifyStarts.clear();
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), 0);
    EXPECT_TRUE(calls.notifyStarts.empty());
}

TEST_F(LifecycleOpenTest, UnwatchedHandleIsClosedAgain) {
    loadBoards(usbBoard("one", 1));
    calls.watchResult = false;
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 6, 1), -1);
    EXPECT_RECORD(3, 301, 0, 1, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_TRUE(memberIsFree(6, 0));
}

// --- type 8 and its boot EEPROM

class Type8OpenTest : public LifecycleOpenTest {
protected:
    void SetUp() override {
        LifecycleOpenTest::SetUp();
        loadBoards("[board eight]\ninterface_type = 8\n");
    }
    sim::EepromContents corruptBootImage() const {
        sim::EepromContents image = board("eight")->bootEeprom();
        image[40] ^= 0x5A;
        return image;
    }
};

TEST_F(Type8OpenTest, BootImageGoesToTheBoardWithTheNextInit) {
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, 8, 1), 0);
    const DeviceSlot& slot = *deviceSlot(1);
    const sim::EepromContents boot = board("eight")->bootEeprom();
    EXPECT_EQ(std::memcmp(slot.configuration.data() + kBootImageArea, boot.data(), boot.size()), 0);
    EXPECT_NE(slot.block()->RequestFlags & KORAL_RF_CONFIG_BYTES, 0u);
    EXPECT_EQ(slot.hotPlug, 1u);
    EXPECT_EQ(calls.notifyStarts, std::vector<uint32_t>{8});
    EXPECT_TRUE(calls.scans.empty());
    EXPECT_EQ(board("eight")->requestCount(IOCTL_BOARD_BOOT_EEPROM), 1u);
    // Type 8 is not held to the USB driver version.
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    auto identity = board("eight")->identity();
    identity.driverVersion = 100;
    board("eight")->setIdentity(identity);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 8, 1), 0);
}

TEST_F(Type8OpenTest, CorruptBootImageFailsTheOpen) {
    board("eight")->setBootEeprom(corruptBootImage());
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 8, 1), -1);
    EXPECT_RECORD(3, 303, 845, 1, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_TRUE(memberIsFree(8, 0));
    // The close of type 8 deletes no components.
    EXPECT_TRUE(calls.deletes.empty());
}

TEST_F(Type8OpenTest, BoardOpenFlagTakesACorruptBootImage) {
    const sim::EepromContents image = corruptBootImage();
    board("eight")->setBootEeprom(image);
    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(kOpenBoardOpen, 8, 1), 0);
    EXPECT_EQ(board("eight")->requestCount(IOCTL_BOARD_OPEN), 0u);
    std::lock_guard guard(deviceLock());
    DeviceSlot& slot = *deviceSlot(1);
    slot.initialised = 1;
    ASSERT_EQ(SendDeviceCommand(KORAL_CMD_INIT), 0);
    const std::vector<uint8_t> sent = board("eight")->initState().configuration;
    EXPECT_EQ(sent, std::vector<uint8_t>(image.begin(), image.end()));
}

TEST_F(Type8OpenTest, FailedBootReadUndoesTheOpen) {
    board("eight")->injectStatus(IOCTL_BOARD_BOOT_EEPROM, 165, 0);
    EXPECT_EQ(KORAL_OpenOperationElectronicsDevice(0, 8, 1), -1);
    EXPECT_RECORD(1, 165, 0, 0, kOpen);
    EXPECT_EQ(deviceSlot(1), nullptr);
    EXPECT_TRUE(memberIsFree(8, 0));
}

} // namespace
} // namespace tarvik::testing
