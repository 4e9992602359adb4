// Spectra of the simulated board's sensor model through the acquisition
// engine: what the sensor produces reaches the mapped record, and its
// warnings reach the caller.

#include "raw_data_fixture.h"

#include "acquisition/acquisition_worker.h"
#include "core/acquisition_table.h"
#include "core/locks.h"
#include "sim/board_driver.h"
#include "sim/board_registry.h"

#include "platform/clock.h"
#include "platform/device.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

namespace tarvik::testing {
namespace {

constexpr uint32_t kPixels = 64;

class AcquisitionSimTest : public RawDataTest {
protected:
    void SetUp() override {
        RawDataTest::SetUp();
        const std::string setup = (dir.path() / "sim.ini").string();
        std::ofstream(setup)
            << "[board s]\nusb_board = 0\ninterface_type = 6\nboard_id = 1\npixels = " << kPixels
            << "\nfrontend_type = 3\ndark = 300\nsignal = 2000\n";
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        const auto members = platform::enumerateDeviceInterfaces(sim::kInterfaceClassType6);
        ASSERT_EQ(members.size(), 1u);
        DeviceSlot& slot = addSlot(1, kTypeUsb, platform::openDevice(members[0]));
        ASSERT_NE(slot.deviceHandle, platform::kInvalidDeviceHandle);
        slot.initialised = 1;
        slot.frontEndType = 3;
        DeviceRequestBlock& b = *slot.block();
        b.NumberPixel = kPixels;
        b.NumberPixelLong = kPixels;
        b.NumberPixel2 = kPixels;
        b.NumberPixel2Long = kPixels;
        b.AcqIntCnts = 1000; // µs with the flag below
        b.RequestFlags |= 0x20;
        {
            std::lock_guard guard(deviceLock());
            ASSERT_TRUE(StartAcquisitionThread(1, kTypeUsb, 0));
        }
        handle = alloc();
        ASSERT_EQ(KORAL_ParaSetMapping(&handle, 1, 1), 0);
        ASSERT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&handle, 0), 0);
        board = sim::BoardRegistry::instance().find("s");
        ASSERT_TRUE(board);
    }
    void TearDown() override {
        RawDataTest::TearDown();
        EXPECT_TRUE(platform::shutdownDevices());
        ::unsetenv("VELDON_DRIVER_PATH");
        ::unsetenv("VELDON_SIMULATION");
    }

    platform::testing::TempDir dir{"tarvik_acq_sim"};
    std::shared_ptr<sim::BoardModel> board;
    uint32_t handle = 0;
};

TEST_F(AcquisitionSimTest, RecordHoldsWhatTheSensorProduced) {
    ASSERT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
    std::vector<double> spectrum(kPixels + 1, -1.0);
    ASSERT_EQ(KORAL_GetStoredRawData(&handle, spectrum.data()), 0);
    double brightest = 0.0;
    for (uint32_t i = 0; i < kPixels; ++i) {
        const double expected = board->withSensor(
            [i](sim::SensorModel& sensor) { return sensor.counts(i, kPixels, 1000.0); });
        EXPECT_NEAR(spectrum[i], expected, 0.01) << i;
        EXPECT_GE(spectrum[i], 300.0) << i;
        brightest = std::max(brightest, spectrum[i]);
    }
    // 1 ms of light at the brightest pixel.
    EXPECT_NEAR(brightest, 2300.0, 50.0);
    EXPECT_EQ(spectrum[kPixels], -1.0);
}

TEST_F(AcquisitionSimTest, WarningOfTheSensorReachesTheCaller) {
    board->withSensor([](sim::SensorModel& sensor) { sensor.injectWarning(194); });
    EXPECT_EQ(KORAL_GetSpectra(1), -2);
    EXPECT_RECORD(51, 194, 0, 1, "KORAL_GetSpectra");
    EXPECT_EQ(KORAL_GetSpectra(1), 0);
}

// A scan that the board never answers must not keep the unload waiting for
// its worker: the stop cancels the pending request.
TEST_F(AcquisitionSimTest, UnloadCancelsAScanThatNeverCompletes) {
    board->injectHang(IOCTL_BOARD_GET_SCANS);
    AcquisitionThreadRow& row = libraryState()->acquisitionThreads.rows[1];
    row.startEvent->set(); // a scan without a waiting caller
    ASSERT_TRUE(board->waitForHeld(1));
    StopAllAcquisitionThreads();
    EXPECT_FALSE(row.thread);
    EXPECT_EQ(row.state, kWorkerNone);
    EXPECT_EQ(board->heldCount(), 0u);
}

// A close from another thread must not wait for ever behind an acquisition
// whose scan the board never answers: after the workers' stop time-out (on
// the virtual clock, which the close's own waits move on) it cancels that
// scan, the acquisition fails, and the close goes through.
TEST_F(AcquisitionSimTest, CloseFromAnotherThreadCancelsAScanThatNeverCompletes) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    board->injectHang(IOCTL_BOARD_GET_SCANS);
    std::atomic<int32_t> acquired{1};
    std::thread caller([&] { acquired = KORAL_GetSpectra(1); });
    const bool held = board->waitForHeld(1);
    EXPECT_TRUE(held);
    if (held) {
        EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0) << describe(record());
    } else {
        board->releaseHeld();
    }
    caller.join();
    EXPECT_EQ(acquired, -1);
    // The cancelled scan names the interface it was made for.
    EXPECT_RECORD(3, 303, 0, 1, "KORAL_GetSpectra");
    EXPECT_EQ(board->heldCount(), 0u);
    EXPECT_GE(clock.now() - platform::TimePoint{}, std::chrono::milliseconds(kWorkerStopTimeoutMs));
}

} // namespace
} // namespace tarvik::testing
