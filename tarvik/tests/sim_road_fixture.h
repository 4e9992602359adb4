#pragma once
// Tests through the exports against simulated boards of a set-up file: the
// board is opened and initialised as a client does it, one raw-data record is
// mapped to its channel 1, and the board's model is at hand for what it got.

#include "raw_data_fixture.h"

#include "sim/board_registry.h"
#include "sim/fx2_board.h"
#include "sim/sensor_model.h"

#include "platform/clock.h"
#include "platform/device.h"
#include "platform/usb.h"

#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::testing {

class SimRoadTest : public RawDataTest {
protected:
    void TearDown() override {
        for (uint32_t id = 1; id <= 2; ++id) {
            if (deviceSlot(static_cast<int32_t>(id)) != nullptr) {
                KORAL_CloseOperationElectronics(id);
            }
        }
        RawDataTest::TearDown();
        EXPECT_TRUE(platform::shutdownDevices());
        EXPECT_TRUE(platform::usb::shutdownUsb());
        for (const char* name : {"VELDON_DRIVER_PATH", "VELDON_SIMULATION", "VELDON_USB_REAL",
                                 "VELDON_LINEARIZATION_DIR"}) {
            ::unsetenv(name);
        }
    }

    // Board "b" of the keys (after its section line) as interface `id` of
    // `type`, opened and initialised; a record on its channel 1 with the dark
    // correction off.
    void open(const std::string& keys, uint32_t type = 6, uint32_t id = 1) {
        const std::string setup = (dir.path() / "sim.ini").string();
        std::ofstream(setup) << "[board b]\ninterface_type = " << type << "\n" << keys;
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        ::setenv("VELDON_USB_REAL", "0", 1);
        ::setenv("VELDON_LINEARIZATION_DIR", VELDON_LINEARIZATION_DATA, 1);
        ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, type, id), 0) << describe(record());
        ASSERT_EQ(KORAL_InitializeOperationElectronics(0, id), 0) << describe(record());
        handle = alloc();
        ASSERT_EQ(KORAL_ParaSetMapping(&handle, 1, id), 0);
        ASSERT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0), 0);
        board = sim::BoardRegistry::instance().find("b");
    }

    // A virtual clock that outlives the close in TearDown: the board's
    // workers wait on the clock that was current when their wait began.
    platform::VirtualClock& useVirtualClock() {
        virtualClock_.emplace();
        scopedClock_.emplace(*virtualClock_);
        return *virtualClock_;
    }

    void setTime(double ms, uint32_t id = 1) {
        ASSERT_EQ(KORAL_ParaSetIntegrationTime(&ms, id), 0) << describe(record());
    }

    std::vector<double> stored(int32_t k = 1) {
        RawDataRecord& r = recordOf(handle);
        std::vector<double> out(static_cast<size_t>(r.pixelCount), -1.0);
        EXPECT_EQ(KORAL_GetStoredRawDataBurst(&handle, k, out.data()), 0) << describe(record());
        return out;
    }

    // What the simulated sensor of board b (either kind) gives at pixel i
    // after t ms.
    double sensorCounts(uint32_t i, double ms) const {
        const auto pixels = static_cast<uint32_t>(recordOf(handle).pixelCount);
        if (!board) {
            const sim::SensorModel sensor(
                sim::BoardRegistry::instance().findUsbBoard("b")->config().sensor);
            return sensor.counts(i, pixels, ms * 1000.0);
        }
        return board->withSensor(
            [&](sim::SensorModel& sensor) { return sensor.counts(i, pixels, ms * 1000.0); });
    }

    platform::testing::TempDir dir{"tarvik_sim_road"};
    std::shared_ptr<sim::BoardModel> board;
    uint32_t handle = 0;

private:
    std::optional<platform::VirtualClock> virtualClock_;
    std::optional<platform::ScopedClock> scopedClock_;
};

} // namespace tarvik::testing
