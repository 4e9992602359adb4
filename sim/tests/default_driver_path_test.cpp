// A client that sets only VELDON_SIMULATION finds the simulated boards: the
// device layer loads the drivers of the tree from their default directory.

#include "sim/board_driver.h"

#include "sim_test_support.h"

#include "platform/device.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(DefaultDriverPath, SimulatedBoardsNeedOnlyTheSetupFile) {
    simtest::TempDir dir;
    ::unsetenv("VELDON_DRIVER_PATH");
    ::setenv(sim::kSimulationVariable,
             dir.write("sim.ini", "[board one]\ninterface_type = 6\nboard_id = 2\n").c_str(), 1);
    const std::vector<std::string> members =
        platform::enumerateDeviceInterfaces(sim::kInterfaceClassType6);
    ASSERT_EQ(members.size(), 1u);
    const platform::DeviceHandle handle = platform::openDevice(members[0]);
    EXPECT_NE(handle, platform::kInvalidDeviceHandle);
    EXPECT_TRUE(platform::closeDevice(handle));
    EXPECT_TRUE(platform::shutdownDevices());
    ::unsetenv(sim::kSimulationVariable);
}

TEST(DefaultDriverPath, NoSetupFileMeansNoSimulatedBoard) {
    ::unsetenv("VELDON_DRIVER_PATH");
    ::unsetenv(sim::kSimulationVariable);
    EXPECT_TRUE(platform::enumerateDeviceInterfaces(sim::kInterfaceClassType6).empty());
    EXPECT_TRUE(platform::shutdownDevices());
}

} // namespace
