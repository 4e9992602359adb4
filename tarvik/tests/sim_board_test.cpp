// The sender and the warning switches against the simulated board driver, as
// loaded by the device layer from the simulation set-up file.

#include "tarvik_test.h"

#include "core/device_command.h"
#include "sim/board_driver.h"
#include "sim/board_registry.h"
#include "tarvik.h"

#include "platform/device.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace tarvik::testing {
namespace {

class SimBoardTest : public TarvikTest {
protected:
    void TearDown() override {
        TarvikTest::TearDown();
        EXPECT_TRUE(platform::shutdownDevices());
        ::unsetenv("VELDON_DRIVER_PATH");
        ::unsetenv("VELDON_SIMULATION");
    }

    // Loads the simulated driver with one USB board of the given driver version
    // and puts it into slot 1 as an open would.
    DeviceSlot& openSimBoard(int driverVersion) {
        const std::string setup = (dir.path() / "sim.ini").string();
        std::ofstream(setup)
            << "[board b]\nusb_board = 0\ninterface_type = 6\nboard_id = 1\ndriver_version = "
            << driverVersion << "\n";
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        const auto members = platform::enumerateDeviceInterfaces(sim::kInterfaceClassType6);
        EXPECT_EQ(members.size(), 1u);
        const platform::DeviceHandle handle =
            members.empty() ? platform::kInvalidDeviceHandle : platform::openDevice(members[0]);
        EXPECT_NE(handle, platform::kInvalidDeviceHandle);
        DeviceSlot& slot = addSlot(1, kTypeUsb, handle);
        slot.initialised = 1;
        board = sim::BoardRegistry::instance().find("b");
        return slot;
    }

    platform::testing::TempDir dir{"tarvik_sim"};
    std::shared_ptr<sim::BoardModel> board;
};

TEST_F(SimBoardTest, UsbVersionRequestStampsTheBoardIdentity) {
    DeviceSlot& slot = openSimBoard(3114);
    ASSERT_TRUE(board);
    EXPECT_EQ(SendDeviceCommand(KORAL_CMD_GET_USB_VERSION), 0);
    EXPECT_EQ(slot.block()->DriverVersion, 3114);
    EXPECT_EQ(slot.block()->BoardId, 1);
    EXPECT_EQ(board->requestCount(IOCTL_BOARD_GET_USB_VERSION), 1u);
}

TEST_F(SimBoardTest, BoardStatusBecomesAHardwareError) {
    openSimBoard(3114);
    ASSERT_TRUE(board);
    board->injectStatus(IOCTL_BOARD_INIT, 145, 7);
    EXPECT_EQ(SendDeviceCommand(KORAL_CMD_INIT), -1);
    EXPECT_RECORD(1, 145, 7, 0, "");
    EXPECT_EQ(SendDeviceCommand(KORAL_CMD_INIT), 0);
}

TEST_F(SimBoardTest, WarningClassesFollowTheDriverVersion) {
    DeviceSlot& slot = openSimBoard(800);
    ASSERT_TRUE(board);
    ASSERT_EQ(SendDeviceCommand(KORAL_CMD_GET_USB_VERSION), 0);
    EXPECT_EQ(KORAL_WarningMessagesEx(3, 1, 1), -1);
    EXPECT_RECORD(1, 156, 800, 1, "KORAL_WarningMessagesEx");
    EXPECT_EQ(board->requestCount(IOCTL_BOARD_INIT), 0u);

    auto identity = board->identity();
    identity.driverVersion = 1100;
    board->setIdentity(identity);
    ASSERT_EQ(SendDeviceCommand(KORAL_CMD_GET_USB_VERSION), 0);
    EXPECT_EQ(KORAL_WarningMessagesEx(3, 1, 1), 0);
    EXPECT_EQ(board->requestCount(IOCTL_BOARD_INIT), 1u);
    EXPECT_EQ(slot.block()->RequestFlags & (KORAL_RF_WARN_CLASS1 | KORAL_RF_WARN_CLASS2),
              KORAL_RF_WARN_CLASS1 | KORAL_RF_WARN_CLASS2);
}

} // namespace
} // namespace tarvik::testing
