// A close from the main thread while another thread keeps acquiring on the
// same simulated board, through the public header and libtarvik.so only.
// The board takes its integration time times the average in real time, so an
// acquisition is in flight at nearly every moment.

#include "tarvik.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// A guard against a hung test, not a measurement.
constexpr auto kHungLimit = 60s;

class CloseUnderLoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarvik_close_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        const std::string setup = dir_ + "/sim.ini";
        // 5 ms x 20 scans: about 0.1 s per spectrum. The brightest pixel
        // counts 500 + 2 per ms.
        std::ofstream(setup) << "[board b]\ninterface_type = 6\nboard_id = 1\npixels = 1024\n"
                                "sensor_type = 0\nfrontend_type = 3\nwall_time = 1\n"
                                "dark = 500\nsignal = 2\n";
        ::setenv("VELDON_MACHINE_CONFIG", (dir_ + "/machine").c_str(), 1);
        ::setenv("VELDON_USER_CONFIG", (dir_ + "/user").c_str(), 1);
        ::setenv("VELDON_USB_REAL", "0", 1);
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        KORAL_ErrorMessages(0);
        ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1), 0);
        ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0) << describe(lastError());
        double ms = 5.0;
        ASSERT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
        int32_t average = 20;
        ASSERT_EQ(KORAL_ParaSetAverageNumber(&average, 1), 0);
        ASSERT_EQ(KORAL_AllocRawData(&record_), 0);
        ASSERT_EQ(KORAL_ParaSetMapping(&record_, 1, 1), 0);
        ASSERT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&record_, 0), 0);
    }
    void TearDown() override {
        KORAL_CloseOperationElectronics(1);
        KORAL_FreeRawData(&record_);
        std::filesystem::remove_all(dir_);
    }

    static LastErrorRecord lastError() {
        LastErrorRecord record;
        std::memset(&record, 0, sizeof record);
        EXPECT_EQ(KORAL_GetErrorCode(&record), 0);
        return record;
    }

    static std::string describe(const LastErrorRecord& r) {
        return std::to_string(r.level) + "/" + std::to_string(r.code) + "/" +
               std::to_string(r.info) + " id " + std::to_string(r.interfaceId) + " " +
               r.functionName;
    }

    std::string dir_;
    uint32_t record_ = 0;
};

TEST_F(CloseUnderLoadTest, CloseGetsInWhileAnotherThreadKeepsAcquiring) {
    std::atomic<int> spectra{0};
    std::atomic<bool> failed{false};
    LastErrorRecord firstFailure{};
    // Acquires until the first failure: the close must let in only the
    // acquisition in flight, the ones after it fail as on a closed interface.
    std::thread acquirer([&] {
        const auto limit = std::chrono::steady_clock::now() + kHungLimit;
        while (std::chrono::steady_clock::now() < limit) {
            if (KORAL_GetSpectra(1) != 0) {
                firstFailure = lastError();
                failed = true;
                return;
            }
            ++spectra;
        }
    });
    const auto limit = std::chrono::steady_clock::now() + kHungLimit;
    while (spectra < 2 && !failed && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(1ms);
    }
    const int32_t closed = KORAL_CloseOperationElectronics(1);
    acquirer.join();
    EXPECT_EQ(closed, 0);
    EXPECT_GE(spectra, 2);

    ASSERT_EQ(KORAL_GetSpectra(1), -1);
    const LastErrorRecord onClosed = lastError();
    // Not a scan cancelled under the acquisition (3/303): the close waited.
    EXPECT_EQ(firstFailure.level, onClosed.level);
    EXPECT_EQ(firstFailure.code, onClosed.code);
    EXPECT_EQ(firstFailure.info, onClosed.info);
    EXPECT_EQ(firstFailure.interfaceId, onClosed.interfaceId);
    EXPECT_STREQ(firstFailure.functionName, onClosed.functionName);
}

// A close during an acquisition far longer than the close waits for: past
// its wait it cancels the scan in flight, and the acquisition fails as
// cancelled rather than holding the close until its last scan.
TEST_F(CloseUnderLoadTest, ACloseDuringALongAcquisitionCancelsItsScanPastItsWait) {
    double ms = 1000.0;
    ASSERT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    int32_t average = 40;
    ASSERT_EQ(KORAL_ParaSetAverageNumber(&average, 1), 0);
    std::atomic<int32_t> result{0};
    std::atomic<bool> calling{false};
    LastErrorRecord failure{};
    std::thread acquirer([&] {
        calling = true;
        result = KORAL_GetSpectra(1);
        failure = lastError();
    });
    // Well into the acquisition, also on a loaded machine.
    while (!calling) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(1s);
    const auto start = std::chrono::steady_clock::now();
    const int32_t closed = KORAL_CloseOperationElectronics(1);
    const auto took = std::chrono::steady_clock::now() - start;
    acquirer.join();
    EXPECT_EQ(closed, 0);
    // The close waits 5 s, then cancels; the acquisition alone takes 40 s.
    // The bound leaves a loaded machine room.
    EXPECT_LT(took, 20s);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(failure.level, KORAL_LEVEL_DEVICE) << describe(failure);
    EXPECT_EQ(failure.code, 303);
    EXPECT_EQ(failure.info, 0);
}

// The board sends the rest of a frame whose read a close cut, whether or not
// anyone reads it: the next open's spectrum is its own all the same.
TEST_F(CloseUnderLoadTest, AFrameCutByACloseStaysOutOfTheNextOpensSpectrum) {
    double ms = 5600.0; // longer than the close waits before it cancels
    ASSERT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    int32_t average = 1;
    ASSERT_EQ(KORAL_ParaSetAverageNumber(&average, 1), 0);
    std::atomic<bool> calling{false};
    std::atomic<int32_t> cut{0};
    std::thread acquirer([&] {
        calling = true;
        cut = KORAL_GetSpectra(1);
    });
    while (!calling) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(KORAL_CloseOperationElectronics(1), 0);
    acquirer.join();
    EXPECT_EQ(cut, -1);

    ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, 1), 0);
    ASSERT_EQ(KORAL_InitializeOperationElectronics(0, 1), 0) << describe(lastError());
    ASSERT_EQ(KORAL_ParaSetMapping(&record_, 1, 1), 0);
    ASSERT_EQ(KORAL_ParaSetDarkCurrentCorrectionMode(&record_, 0), 0);
    ms = 1000.0;
    ASSERT_EQ(KORAL_ParaSetIntegrationTime(&ms, 1), 0);
    ASSERT_EQ(KORAL_ParaSetAverageNumber(&average, 1), 0);
    ASSERT_EQ(KORAL_GetSpectra(1), 0) << describe(lastError());
    std::vector<double> spectrum(1024, 0.0);
    ASSERT_EQ(KORAL_GetStoredRawData(&record_, spectrum.data()), 0);
    EXPECT_EQ(*std::max_element(spectrum.begin(), spectrum.end()), 500.0 + 2.0 * 1000.0);
}

} // namespace
