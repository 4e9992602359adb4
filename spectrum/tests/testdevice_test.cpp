// The program's simulated spectrometer: its curve, its pace on the virtual
// clock, its digital inputs, and waits that a stop ends.

#include "testdevice.h"

#include "pa/sysutils.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <future>
#include <numbers>
#include <vector>

namespace spectrum {
namespace {

using namespace std::chrono_literals;

class TestDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(device.open());
        TTestDevice::setPhase(0.0f);
    }

    // Runs fn on a worker and lets virtual time pass in steps whenever the
    // worker waits, `steps` times; returns fn's result.
    template <class F> auto withClockSteps(F fn, int steps, platform::Duration step) {
        auto result = std::async(std::launch::async, fn);
        for (int i = 0; i < steps; ++i) {
            EXPECT_TRUE(clock.waitForPendingWaits(1)) << "step " << i;
            clock.advance(step);
        }
        return result.get();
    }

    platform::Duration elapsed() const { return clock.now() - start; }

    // `reads` reads of one input, each given its 100 ms.
    std::vector<int> readInput(int index, int reads) {
        return withClockSteps(
            [&] {
                std::vector<int> values;
                for (int i = 0; i < reads; ++i) {
                    values.push_back(device.getDigitalInput(index));
                }
                return values;
            },
            reads, 100ms);
    }

    platform::VirtualClock clock;
    platform::ScopedClock scoped{clock};
    const platform::TimePoint start = clock.now();
    TTestDevice device;
};

TEST_F(TestDeviceTest, OpensWithItsSensor) {
    EXPECT_TRUE(device.isOpened());
    EXPECT_EQ(device.sensorType(), 0);
    ASSERT_EQ(device.pixelCount(), 1044);
    ASSERT_EQ(device.wavelengths().size(), 1044u);
    EXPECT_DOUBLE_EQ(device.wavelengths()[0], 177.0639954);
    const double i = 1043.0;
    EXPECT_DOUBLE_EQ(device.wavelengths()[1043],
                     177.0639954 + 0.7947480083 * i + 3.410619911e-06 * i * i);
    EXPECT_EQ(device.workMode(), 3);
}

TEST_F(TestDeviceTest, SpectrumIsTheCurvePlusSmallIntegerNoise) {
    device.setPhase(0.4f);
    std::vector<double> data(1045, -1.0);
    EXPECT_TRUE(withClockSteps([&] { return device.getRawData(data); }, 1, 30ms));
    const double n = 1044.0;
    for (std::size_t i = 0; i < 1044; ++i) {
        const double curve = 50.0 * std::sin(i * std::numbers::pi / n * 1.5 + 0.4f) + 50.0;
        const double noise = data[i] - curve;
        EXPECT_NEAR(noise, std::round(noise), 1e-9) << i;
        EXPECT_GE(std::round(noise), 0.0) << i;
        EXPECT_LE(std::round(noise), 9.0) << i;
        EXPECT_GE(data[i], 0.0);
        EXPECT_LE(data[i], 109.0);
    }
    // The value past the sensor is the caller's.
    EXPECT_EQ(data[1044], -1.0);
    EXPECT_EQ(TTestDevice::phase(), 0.4f + 0.2f);
    EXPECT_TRUE(device.parametersApplied());
}

TEST_F(TestDeviceTest, SpectrumTakesAverageTimesIntegrationTime) {
    std::vector<double> data(1044);
    EXPECT_TRUE(withClockSteps([&] { return device.getRawData(data); }, 1, 30ms));
    EXPECT_EQ(elapsed(), 30ms);

    device.setAverageNumber(4);
    device.setIntegrationTime(30.7); // 122.8 ms, cut to 122
    EXPECT_FALSE(device.parametersApplied());
    auto result = std::async(std::launch::async, [&] { return device.getRawData(data); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(121ms);
    EXPECT_EQ(result.wait_for(0s), std::future_status::timeout);
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    clock.advance(1ms);
    EXPECT_TRUE(result.get());
    EXPECT_EQ(elapsed(), 152ms);
}

TEST_F(TestDeviceTest, ShortArrayRaises) {
    std::vector<double> data(1000);
    try {
        device.getRawData(data);
        FAIL() << "no error";
    } catch (const pa::Exception& e) {
        EXPECT_EQ(e.message(), "TTestDevice::getRawData data.size<SensorLength");
    }
    EXPECT_EQ(TTestDevice::phase(), 0.0f);
}

TEST_F(TestDeviceTest, SynchronisationSaysNo) {
    int calls = 0;
    device.setSynchronisation([&](TDevice& d) {
        EXPECT_EQ(&d, &device);
        ++calls;
        return 0;
    });
    std::vector<double> data(1044, -1.0);
    EXPECT_FALSE(device.getRawData(data));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(data[0], -1.0);
    EXPECT_EQ(elapsed(), 0ms);
    EXPECT_EQ(TTestDevice::phase(), 0.0f);
    // Anything but 1 is a no.
    device.setSynchronisation([](TDevice&) { return 2; });
    EXPECT_FALSE(device.getRawData(data));
}

TEST_F(TestDeviceTest, StopEndsAWaitingAcquisition) {
    device.setIntegrationTime(60000.0);
    device.setAverageNumber(100);
    std::vector<double> data(1044, -1.0);
    auto result = std::async(std::launch::async, [&] { return device.getRawData(data); });
    ASSERT_TRUE(clock.waitForPendingWaits(1));
    device.stop();
    EXPECT_FALSE(result.get());
    EXPECT_EQ(data[0], -1.0);
    EXPECT_TRUE(device.stopRequested());
    // Stopped stays stopped until cleared; then it runs again.
    EXPECT_FALSE(device.getDarkCurrent());
    device.clearStop();
    device.setAverageNumber(1);
    device.setIntegrationTime(5.0);
    EXPECT_TRUE(withClockSteps([&] { return device.getRawData(data); }, 1, 5ms));
}

TEST_F(TestDeviceTest, DigitalInputsToggleByTheirCounts) {
    const std::vector<int> input1 = readInput(1, 30);
    EXPECT_EQ(elapsed(), 3000ms);
    for (int call = 1; call <= 30; ++call) {
        EXPECT_EQ(input1[static_cast<std::size_t>(call - 1)],
                  (call >= 10 && call <= 19) || call == 30 ? 1 : 0)
            << "call " << call;
    }
    // Input 3 counts on its own and changes every 30 reads.
    const std::vector<int> input3 = readInput(3, 61);
    EXPECT_EQ(input3[28], 0); // call 29
    EXPECT_EQ(input3[29], 1); // call 30
    EXPECT_EQ(input3[58], 1); // call 59
    EXPECT_EQ(input3[59], 0); // call 60
    EXPECT_EQ(input3[60], 0); // call 61
}

TEST_F(TestDeviceTest, OutOfRangeInputReadsZeroAtOnce) {
    EXPECT_EQ(device.getDigitalInput(0), 0);
    EXPECT_EQ(device.getDigitalInput(4), 0);
    EXPECT_EQ(elapsed(), 0ms);
}

TEST_F(TestDeviceTest, DarkCurrentTakesAnAcquisitionsTime) {
    device.setAverageNumber(2);
    device.setIntegrationTime(10.0);
    EXPECT_TRUE(withClockSteps([&] { return device.getDarkCurrent(); }, 1, 20ms));
    EXPECT_EQ(elapsed(), 20ms);
    EXPECT_TRUE(device.parametersApplied());
}

// The device takes what a board takes: a time beyond the limits is limited
// when the parameters are applied, as the library limits it.
TEST_F(TestDeviceTest, ParametersAreLimitedAsTheLibraryLimitsABoards) {
    const struct {
        double time;
        int average;
        double takenTime;
        int takenAverage;
    } cases[] = {{6312402.0, 1, 6500.0, 1},
                 {13761.0, 100, 6500.0, 100},
                 {0.0, 0, 0.1, 1},
                 {std::nan(""), 1000, 0.1, 100},
                 {45.5, 7, 45.5, 7}};
    for (const auto& c : cases) {
        device.setIntegrationTime(c.time);
        device.setAverageNumber(c.average);
        EXPECT_TRUE(device.prepare());
        EXPECT_EQ(device.integrationTime(), c.takenTime) << c.time;
        EXPECT_EQ(device.averageNumber(), c.takenAverage) << c.average;
        EXPECT_TRUE(device.parametersApplied());
    }
}

TEST(DeviceBase, WavelengthsFollowThePolynomialAndAnEmptySensor) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped{clock};
    TTestDevice device;
    EXPECT_TRUE(device.wavelengths().empty());
    EXPECT_EQ(device.coefficients(), (std::array<double, 4>{0.0, 1.0, 0.0, 0.0}));
    EXPECT_DOUBLE_EQ(device.integrationTime(), 30.0);
    EXPECT_EQ(device.averageNumber(), 1);
    // A zero-length sensor reads into an empty array without complaint.
    std::vector<double> none;
    EXPECT_TRUE([&] {
        auto r = std::async(std::launch::async, [&] { return device.getRawData(none); });
        clock.waitForPendingWaits(1);
        clock.advance(std::chrono::milliseconds(30));
        return r.get();
    }());
}

} // namespace
} // namespace spectrum
