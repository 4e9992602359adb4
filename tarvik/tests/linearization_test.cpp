// Linearization of the records: the coefficients of the simulated default
// sensor (sensor type 7, 1044 pixels) from the repository's data, applied to
// every spectrum of an acquisition; named files; the refusals.

#include "sim_road_fixture.h"

#include "acquisition/linearization.h"
#include "core/locks.h"

#include "dorvel/linearization_file.h"

#include <fstream>
#include <mutex>
#include <tuple>

namespace tarvik::testing {
namespace {

// The correction of the shipped file: y = x + 1e-6 x^2.
double corrected(double x) {
    return x + 1e-6 * x * x;
}

class LinearizationTest : public SimRoadTest {
protected:
    void SetUp() override {
        SimRoadTest::SetUp();
        open("usb_board = 0\n");
        setTime(10.0);
    }
    std::string writeFile(const std::string& name, int pixels) {
        const std::string path = (dir.path() / name).string();
        std::ofstream(path) << "TLC 1\npixels " << pixels << "\ndegree 1\nscope all\ndata\n"
                            << "10 2\nend\n";
        return path;
    }
};

TEST_F(LinearizationTest, InterfaceSwitchCorrectsEverySpectrumOfABurst) {
    ASSERT_EQ(KORAL_Linearization(1, 1), 0) << describe(record());
    EXPECT_EQ(recordOf(handle).linearizationFlags, 1u);
    int32_t n = 3;
    ASSERT_EQ(KORAL_ParaSetBurstNumber(&n, 1), 0);
    ASSERT_EQ(KORAL_GetSpectra(1), 0) << describe(record());
    for (int32_t k = 1; k <= 3; ++k) {
        const std::vector<double> spectrum = stored(k);
        for (const uint32_t i : {0u, 522u}) {
            EXPECT_DOUBLE_EQ(spectrum[i], corrected(sensorCounts(i, 10.0))) << k << " " << i;
        }
    }
    // A second switch on touches nothing; off gives the raw counts again.
    recordOf(handle).linearizationFlags = 0;
    EXPECT_EQ(KORAL_Linearization(1, 1), 0);
    EXPECT_EQ(recordOf(handle).linearizationFlags, 0u);
    recordOf(handle).linearizationFlags = 1;
    ASSERT_EQ(KORAL_Linearization(0, 1), 0);
    ASSERT_EQ(KORAL_GetSpectra(1), 0);
    EXPECT_EQ(stored(2)[522], sensorCounts(522, 10.0));
}

TEST_F(LinearizationTest, DarkCurrentIsCorrectedToo) {
    ASSERT_EQ(KORAL_LinearizationChannel(&handle, 1), 0);
    ASSERT_EQ(KORAL_GetDarkCurrent(1), 0);
    std::vector<double> dark(1044);
    ASSERT_EQ(KORAL_GetStoredDarkcurrentData(&handle, dark.data()), 0);
    EXPECT_DOUBLE_EQ(dark[0], corrected(sensorCounts(0, 10.0)));
}

TEST_F(LinearizationTest, SwitchingOnWithoutARecordFails) {
    uint32_t none = handle;
    ASSERT_EQ(KORAL_FreeRawData(&none), 0);
    EXPECT_EQ(KORAL_Linearization(1, 1), -1);
    EXPECT_RECORD(5, 508, 856, 1, "KORAL_Linearization");
    EXPECT_EQ(KORAL_Linearization(1, 0), -1) << "ID 0 names no slot";
    EXPECT_RECORD(5, 504, 808, 0, "KORAL_Linearization");
    handle = 0;
}

TEST_F(LinearizationTest, NamedFilesAndTheirFailures) {
    // A named file on a record that holds the standard coefficients keeps them.
    ASSERT_EQ(KORAL_LinearizationChannel(&handle, 1), 0);
    EXPECT_EQ(KORAL_LinearizationChannelEx(&handle, 1, writeFile("a.tlc", 1044).c_str()), 0);
    EXPECT_EQ(recordOf(handle).linearizationFlags, 1u);
    ASSERT_EQ(KORAL_LinearizationChannel(&handle, 0), 0);
    ASSERT_EQ(KORAL_LinearizationChannelEx(&handle, 1, writeFile("a.tlc", 1044).c_str()), 0);
    EXPECT_EQ(recordOf(handle).linearizationFlags, 3u);
    ASSERT_EQ(KORAL_GetSpectra(1), 0);
    EXPECT_EQ(stored()[522], 10 + 2 * sensorCounts(522, 10.0));
    ASSERT_EQ(KORAL_LinearizationChannelEx(&handle, 0, "unused"), 0);
    EXPECT_EQ(recordOf(handle).linearizationFlags, 2u) << "the file bit stays";

    std::ofstream(dir.path() / "bad.tlc") << "TLC 2\n";
    // file, info of the failed load
    for (const auto& [file, info] : {std::tuple{writeFile("short.tlc", 1000), 855},
                                     std::tuple{(dir.path() / "missing.tlc").string(), 851},
                                     std::tuple{dir.path().string(), 852},
                                     std::tuple{(dir.path() / "bad.tlc").string(), 853}}) {
        EXPECT_EQ(KORAL_LinearizationChannelEx(&handle, 1, file.c_str()), -1) << file;
        EXPECT_RECORD(5, 509, info, 0, "KORAL_LinearizationChannelEx");
        EXPECT_EQ(recordOf(handle).linearizationFlags & 1u, 0u);
    }
    EXPECT_EQ(KORAL_LinearizationChannelEx(&handle, 0, nullptr), -1);
    EXPECT_RECORD(5, 505, 0, 0, "KORAL_LinearizationChannelEx");
    EXPECT_EQ(KORAL_LinearizationChannel(nullptr, 1), -1);
    EXPECT_RECORD(5, 505, 806, 0, "KORAL_LinearizationChannel");
}

TEST_F(LinearizationTest, NoStandardFileForTheSensor) {
    ::setenv("VELDON_LINEARIZATION_DIR", dir.path().c_str(), 1);
    EXPECT_EQ(KORAL_Linearization(1, 1), -1);
    EXPECT_RECORD(5, 509, 854, 1, "KORAL_Linearization");
    EXPECT_EQ(deviceSlot(1)->linearization, 0u) << "the switch keeps its state";
}

TEST_F(LinearizationTest, ApplyStaysInsideTheArray) {
    ASSERT_EQ(KORAL_LinearizationChannel(&handle, 1), 0);
    std::lock_guard guard(rawDataLock());
    RawDataRecord& r = recordOf(handle);
    setArray(r.spectrum, std::vector<double>(2 * 1044, 100.0));
    // k, result: only whole blocks inside the 2 x 1044 values are corrected.
    for (const auto& [k, result] : {std::pair{2, 0}, std::pair{3, -1}, std::pair{0, -1}}) {
        EXPECT_EQ(ApplyLinearization(&r, kLinearizeSpectrum, 1044, k), result) << k;
    }
    EXPECT_EQ(arrayOf(r.spectrum)[0], 100.0);
    EXPECT_DOUBLE_EQ(arrayOf(r.spectrum)[1044], corrected(100.0));
    EXPECT_EQ(ApplyLinearization(&r, kLinearizeSpectrum, 1000, 1), -1) << "not its pixel count";
    EXPECT_EQ(std::make_tuple(record().level, record().code, record().info),
              std::make_tuple(5, 510, 855));
    r.linearizationFlags = 0;
    EXPECT_EQ(ApplyLinearization(&r, kLinearizeSpectrum, 1044, 1), 0);
    EXPECT_EQ(arrayOf(r.spectrum)[0], 100.0) << "nothing loaded: unchanged";
}

} // namespace
} // namespace tarvik::testing
