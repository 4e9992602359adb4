// The intensity search on the simulated sensor (dark 500, 2000 counts per ms
// at its brightest pixel, full scale 65535): the time it finds, the results
// of light too strong or too weak, the flash mode through its hooks, and that
// the interface is left as it was found.

#include "sim_road_fixture.h"

#include "acquisition/intensity_search.h"
#include "core/last_error.h"
#include "sim/light_sources.h"

#include <algorithm>
#include <vector>

namespace tarvik::testing {
namespace {

constexpr const char* kName = "KORAL_DetermineMaxIntensity";
constexpr double kFullScale = 65535.0;
constexpr double kSignalPerMs = 2000.0;

class IntensitySearchTest : public SimRoadTest {
protected:
    void TearDown() override {
        resetFlashModuleHooks();
        SimRoadTest::TearDown();
    }
    // A board whose sensor gets this light, at 10 ms before the search (its
    // minimum is 7.1 ms).
    void openWith(const std::string& keys = "") {
        open("usb_board = 0\n" + keys);
        setTime(10.0);
        board->clearRequests();
        boxesBefore = ui->boxes().size();
    }
    size_t scans() const { return board->requestCount(IOCTL_BOARD_GET_SCANS); }
    // The interface runs as before the search: 10 ms, warnings off, boxes on.
    void expectLeftAsFound() {
        EXPECT_EQ(deviceSlot(1)->acquisitionIntegrationTime, 10000u);
        EXPECT_EQ(board->initState().parameters.acqIntCnts, 100);
        EXPECT_EQ(deviceSlot(1)->warningFlag, 0);
        EXPECT_EQ(warningBoxFlag(), 1u);
        EXPECT_EQ(errorBoxFlag(), 1u);
    }
    size_t boxesBefore = 0;
};

TEST_F(IntensitySearchTest, FoundTimeFillsTheSensorWithoutOverflow) {
    openWith();
    int32_t found = 0;
    int32_t flashes = -1;
    ASSERT_EQ(KORAL_DetermineMaxIntensity(0, 0, &found, &flashes, 1), 0) << describe(record());
    EXPECT_EQ(found, 32);
    EXPECT_EQ(flashes, 0);
    EXPECT_LE(scans(), 2u * 13u);
    expectLeftAsFound();
    // The brightest pixel at the found time lies within one millisecond's
    // light below full scale.
    setTime(found);
    ASSERT_EQ(KORAL_GetSpectra(1), 0);
    const std::vector<double> spectrum = stored();
    const double brightest = *std::max_element(spectrum.begin(), spectrum.end());
    EXPECT_LT(brightest, kFullScale);
    EXPECT_GE(brightest, kFullScale - kSignalPerMs);
}

TEST_F(IntensitySearchTest, OverflowAtEveryTimeFallsToTheMinimum) {
    openWith("signal = 1000000000\n");
    int32_t found = -7;
    // From 64 ms down one bit at a time: 64, 32, 16, 8; 4 ms is below the
    // minimum.
    EXPECT_EQ(KORAL_DetermineMaxIntensity(100, 0, &found, nullptr, 1), -5);
    EXPECT_EQ(scans(), 4u);
    EXPECT_EQ(found, -7);
    EXPECT_EQ(std::string(record().functionName), kName);
    EXPECT_EQ(ui->boxes().size(), boxesBefore) << "no box for -5";
    expectLeftAsFound();
}

TEST_F(IntensitySearchTest, LightTooWeakToOverflowGivesMinusThreeWithoutABox) {
    openWith("signal = 1\n");
    int32_t found = -7;
    EXPECT_EQ(KORAL_DetermineMaxIntensity(0, 0, &found, nullptr, 1), -3);
    EXPECT_EQ(found, -7);
    EXPECT_EQ(std::string(record().functionName), kName);
    EXPECT_EQ(ui->boxes().size(), boxesBefore);
    expectLeftAsFound();
}

TEST_F(IntensitySearchTest, FirstCandidateAtTheMinimumEndsAtOnce) {
    openWith();
    deviceSlot(1)->timeLimit1 = 8.6; // the limits as a slower sensor has them
    int32_t found = 0;
    EXPECT_EQ(KORAL_DetermineMaxIntensity(9, 0, &found, nullptr, 1), -5);
    EXPECT_EQ(scans(), 0u) << "8 ms is at or below the minimum";
    expectLeftAsFound();
}

TEST_F(IntensitySearchTest, RefusalsChangeNothing) {
    openWith();
    EXPECT_EQ(KORAL_DetermineMaxIntensity(0, 0, nullptr, nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 0, 1, kName);
    int32_t found = 0;
    EXPECT_EQ(KORAL_DetermineMaxIntensity(0, 0, &found, nullptr, 0), -1);
    EXPECT_RECORD(5, 504, 808, 0, kName);
    EXPECT_EQ(board->requestCount(IOCTL_BOARD_INIT), 0u);
}

TEST_F(IntensitySearchTest, DriverTooOldForTheSearch) {
    open("driver_version = 1010\n", 4);
    int32_t found = 0;
    EXPECT_EQ(KORAL_DetermineMaxIntensity(0, 0, &found, nullptr, 1), -2);
    EXPECT_RECORD(1, 156, 1010, 1, kName);
}

// A remotely parameterised flash module flashing every 2 ms: the search runs
// over flash counts, each tried at its time (count + 1) x 2 ms. The light
// overflows from 31 ms on, so the last count tried (15, 32 ms) overflows and
// the count kept (14) is reported with its own time.
std::vector<int32_t> g_counts;
std::vector<int32_t> g_restored;

TEST_F(IntensitySearchTest, FlashModeSearchesTheFlashCount) {
    openWith("signal = 2100\n");
    g_counts.clear();
    g_restored.clear();
    FlashModuleHooks& hooks = flashModuleHooks();
    hooks.remoteFlashRate = [](int32_t, uint16_t* ms) {
        *ms = 2;
        return true;
    };
    hooks.getFlashCounter = [](int32_t) -> uint8_t { return 5; };
    hooks.setFlashCounter = [](int32_t, uint8_t count) {
        g_restored.push_back(count);
        return 0;
    };
    hooks.lsSetFlashCounter = [](int32_t, int32_t position, int32_t count) {
        g_counts.push_back(position == 1 ? count : -1);
        return 0;
    };
    int32_t found = 0;
    int32_t flashes = 0;
    ASSERT_EQ(KORAL_DetermineMaxIntensity(0, 0, &found, &flashes, 1), 0) << describe(record());
    EXPECT_EQ(flashes, 14);
    EXPECT_EQ(found, 30) << "the time of 14 flashes";
    EXPECT_EQ(g_counts, (std::vector<int32_t>{1, 128, 64, 32, 16, 8, 12, 14, 15}));
    EXPECT_EQ(g_restored, std::vector<int32_t>{5});
    EXPECT_EQ(board->initState().parameters.flashHW, 0) << "the hardware flash is off again";
    expectLeftAsFound();
}

// The light-source modules of the board: flash mode only with a present,
// remotely parameterised flash module in the first position. The simulated
// flash module flashes every 10 ms; the light overflows from 32.5 ms on, so
// two flashes (30 ms) are the most.
TEST_F(IntensitySearchTest, FlashModeWithTheBoardsFlashModules) {
    struct Case {
        const char* modules;
        int32_t present; // positions marked present, from 1
        bool flashMode;
    };
    for (const Case& c : {Case{"0x40:flash", 1, true}, Case{"0x40:flash_manual", 1, false},
                          Case{"0x40:flash", 0, false}, Case{"0x40:lamp0 0x42:flash", 2, false}}) {
        SCOPED_TRACE(::testing::Message() << c.modules << ", present " << c.present);
        openWith(std::string("light_sources = ") + c.modules + "\n");
        for (int32_t position = 1; position <= c.present; ++position) {
            uint32_t kind = 0;
            ASSERT_EQ(KORAL_LS_Initialize(1, position, 0, &kind), 0);
        }
        int32_t found = 0;
        int32_t flashes = -1;
        ASSERT_EQ(KORAL_DetermineMaxIntensity(0, 0, &found, &flashes, 1), 0) << describe(record());
        EXPECT_EQ(flashes, c.flashMode ? 2 : 0);
        EXPECT_EQ(found, c.flashMode ? 30 : 32);
        expectLeftAsFound();
        if (c.flashMode) {
            const sim::FlashModule* module = board->withI2cBus(
                [](sim::I2cBus& bus) { return bus.device<sim::FlashModule>(0x40); });
            ASSERT_NE(module, nullptr);
            EXPECT_GT(module->counterWrites(), 2u);
            EXPECT_EQ(module->flashCounter(), 1u) << "the counter is put back";
        }
        // The next case's set-up file is read anew.
        KORAL_CloseOperationElectronics(1);
        ASSERT_TRUE(platform::shutdownDevices());
    }
}

} // namespace
} // namespace tarvik::testing
