#pragma once
// The fixture of the life-cycle tests: simulated boards loaded by the device
// layer from a set-up file, and the hooks into later parts of the library
// replaced by recorders, so that a test sees what the life cycle asked of
// them.

#include "support/tarvik_test.h"

#include "core/lifecycle.h"
#include "core/lifecycle_seams.h"
#include "sim/board_driver.h"
#include "sim/board_registry.h"
#include "tarvik.h"

#include "platform/device.h"
#include "platform/last_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace tarvik::testing {

// What the life cycle asked of the later parts, and what they answer.
struct SeamCalls {
    std::vector<uint32_t> notifyStarts; // interface types
    bool notifyRunning = false;
    bool notifyStartResult = true;
    std::vector<std::pair<bool, platform::DeviceHandle>> handleWatches;
    bool watchResult = true;
    int notifyStops = 0;
    std::vector<std::tuple<int32_t, uint32_t, uint8_t>> workerStarts; // ID, board type, demo
    bool workerStartResult = true;
    std::vector<int32_t> workerStops;
    std::vector<int32_t> type8Scalings;
    bool type8ScalingResult = true;
    std::vector<std::tuple<int32_t, uint32_t, int32_t>> shutters; // ID, delay, open
    int32_t shutterResult = 0;
    std::vector<std::tuple<double, int32_t, int32_t>> integrationTimes; // ms, kind, send
    double minimumIntegrationTime = 0.0; // what the setter raises 0 to
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>> feeSensorTypes;
    int32_t feeSensorTypeResult = 0;
    std::vector<int32_t> hardwareConfigurations;
    int32_t hardwareConfigurationResult = 0;
    std::vector<std::tuple<uint32_t, int32_t, uint32_t>> muxModes;
    std::vector<uint32_t> scans;
    std::vector<uint32_t> deletes;
    std::vector<int32_t> cooledBoards;
    int32_t cooledBoardResult = 0;
    // The error box as each hook saw it (1 on).
    std::vector<uint32_t> boxFlags;
};

class LifecycleTest : public TarvikTest {
protected:
    void SetUp() override {
        TarvikTest::SetUp();
        watchSeams();
    }

    void TearDown() override {
        resetLifecycleSeams();
        TarvikTest::TearDown();
        // Also after a test without boards: its first enumeration loaded no
        // driver, and the layer would not look again.
        EXPECT_TRUE(platform::shutdownDevices());
        ::unsetenv("VELDON_DRIVER_PATH");
        ::unsetenv("VELDON_SIMULATION");
    }

    // Writes the set-up file and lets the device layer load the simulated
    // board driver with its boards.
    void loadBoards(const std::string& setup) {
        const std::string path = (dir.path() / "sim.ini").string();
        std::ofstream(path) << setup;
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", path.c_str(), 1);
        platform::enumerateDeviceInterfaces(sim::kInterfaceClassType6);
    }

    std::shared_ptr<sim::BoardModel> board(const std::string& name) const {
        return sim::BoardRegistry::instance().find(name);
    }

    std::vector<std::string> members(uint32_t type) const {
        return platform::enumerateDeviceInterfaces(
            *sim::boardInterfaceClass(static_cast<int>(type)));
    }

    // The boards open exclusively: a member that the test can open (and
    // close again) is held by no handle of the library.
    bool memberIsFree(uint32_t type, size_t index) const {
        const std::vector<std::string> paths = members(type);
        if (index >= paths.size()) {
            return false;
        }
        const platform::DeviceHandle handle = platform::openDevice(paths[index]);
        if (handle == platform::kInvalidDeviceHandle) {
            return false;
        }
        EXPECT_TRUE(platform::closeDevice(handle));
        return true;
    }
    bool memberIsBusy(uint32_t type, size_t index) const {
        const std::vector<std::string> paths = members(type);
        if (index >= paths.size()) {
            return false;
        }
        const platform::DeviceHandle handle = platform::openDevice(paths[index]);
        if (handle != platform::kInvalidDeviceHandle) {
            platform::closeDevice(handle);
            return false;
        }
        return platform::lastError() == EBUSY;
    }

    size_t boxCount() const { return ui->boxes().size(); }

    void watchSeams() {
        LifecycleSeams& s = lifecycleSeams();
        SeamCalls& c = calls;
        auto box = [&c] { c.boxFlags.push_back(errorBoxFlag()); };
        s.isDeviceNotifyRunning = [&c] { return c.notifyRunning; };
        s.startDeviceNotifyThread = [&c](uint32_t type) {
            c.notifyStarts.push_back(type);
            c.notifyRunning = c.notifyStartResult;
            return c.notifyStartResult;
        };
        s.registerHandleNotification = [&c](bool watch, platform::DeviceHandle handle) {
            c.handleWatches.emplace_back(watch, handle);
            return !watch || c.watchResult;
        };
        s.stopNotificationThread = [&c] {
            ++c.notifyStops;
            c.notifyRunning = false;
        };
        s.startAcquisitionWorker = [&c](int32_t id, uint32_t type, uint8_t demo) {
            c.workerStarts.emplace_back(id, type, demo);
            return c.workerStartResult;
        };
        s.stopAcquisitionWorker = [&c](int32_t id) { c.workerStops.push_back(id); };
        s.initializeType8Scaling = [&c](int32_t id) {
            c.type8Scalings.push_back(id);
            return c.type8ScalingResult;
        };
        s.setAcquisitionShutter = [&c](int32_t id, uint32_t delay, int32_t open) {
            c.shutters.emplace_back(id, delay, open);
            return c.shutterResult;
        };
        s.applyIntegrationTime = [&c](double* ms, int32_t kind, int32_t send) {
            c.integrationTimes.emplace_back(*ms, kind, send);
            if (*ms < c.minimumIntegrationTime) {
                *ms = c.minimumIntegrationTime;
            }
            return 0;
        };
        s.setFeeSensorType = [&c, box](uint32_t fee, uint32_t v1, uint32_t v2, uint32_t id) {
            box();
            c.feeSensorTypes.emplace_back(fee, v1, v2, id);
            return c.feeSensorTypeResult;
        };
        s.applyHardwareConfiguration = [&c, box](int32_t id) {
            box();
            c.hardwareConfigurations.push_back(id);
            return c.hardwareConfigurationResult;
        };
        s.setMuxMode = [&c, box](uint32_t mode, int32_t channels, uint32_t id) {
            box();
            c.muxModes.emplace_back(mode, channels, id);
            return 0;
        };
        s.scanI2CComponents = [&c, box](uint32_t id, uint32_t) {
            box();
            c.scans.push_back(id);
            return 0;
        };
        s.deleteI2CComponents = [&c, box](uint32_t id, uint32_t) {
            box();
            c.deletes.push_back(id);
            return 0;
        };
        s.prepareCooledDetectorBoard = [&c](int32_t id) {
            c.cooledBoards.push_back(id);
            if (c.cooledBoardResult != 0) {
                recordError(id, KORAL_LEVEL_NOT_DONE, 514, 857);
            }
            return c.cooledBoardResult;
        };
    }

    SeamCalls calls;
    platform::testing::TempDir dir{"tarvik_lifecycle"};
};

} // namespace tarvik::testing
