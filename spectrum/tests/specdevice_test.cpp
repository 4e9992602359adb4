// The acquisition-library device against a simulated USB board through the
// real library: opening, the raw-data record, parameters, spectra and the log
// lines of every failure.

#include "specdevice.h"
#include "spectrum_test_support.h"
#include "tarvikbinding.h"

#include "pa/sysutils.h"
#include "platform/device.h"
#include "sim/board_registry.h"
#include "sim/fx2_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace spectrum {
namespace {

using test::LogCapture;
using test::TempDir;

constexpr int kPixels = 1044;
constexpr double kDark = 500.0;

class SpecDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("VELDON_MACHINE_CONFIG", dir.file("machine").c_str(), 1);
        ::setenv("VELDON_USER_CONFIG", dir.file("user").c_str(), 1);
        ::setenv("VELDON_USB_REAL", "0", 1);
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
    }

    void TearDown() override {
        if (device != nullptr && device->rawDataHandle() != 0) {
            device->freeRawData();
        }
        delete device;
        KORAL_CloseOperationElectronics(1);
        EXPECT_TRUE(platform::shutdownDevices());
        for (const char* name : {"VELDON_MACHINE_CONFIG", "VELDON_USER_CONFIG", "VELDON_USB_REAL",
                                 "VELDON_DRIVER_PATH", "VELDON_SIMULATION"}) {
            ::unsetenv(name);
        }
    }

    void addBoard() {
        const std::string setup = dir.file("sim.ini");
        test::writeFile(setup, "[board demo]\ninterface_type = 6\nboard_id = 1\npixels = " +
                                   std::to_string(kPixels) +
                                   "\ncoefficients = 400 0.25 0.0009765625 0.0000152587890625 0\n"
                                   "dark = 500\nsignal = 2000\n");
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
    }

    TSpecDevice& make() {
        device = new TSpecDevice();
        return *device;
    }

    TSpecDevice& openBoard() {
        addBoard();
        make();
        EXPECT_TRUE(device->open()) << log.text();
        log.clear();
        return *device;
    }

    TempDir dir{"spectrum_device"};
    LogCapture log;
    TSpecDevice* device = nullptr;
};

TEST_F(SpecDeviceTest, ConstructionSwitchesTheErrorBoxOff) {
    ASSERT_EQ(KORAL_ErrorMessages(1), 0);
    make();
    EXPECT_EQ(KORAL_ErrorMessages(-2), 0);
    // No interface is open yet, so the library refuses the warning switch.
    EXPECT_EQ(log.text(), "warningMessagesEx failed\n");
    EXPECT_EQ(device->workMode(), 3);
    EXPECT_EQ(device->rawDataHandle(), 0u);
}

TEST_F(SpecDeviceTest, OpenWithoutABoardFailsAndLogsEveryTry) {
    make();
    log.clear();
    EXPECT_FALSE(device->open());
    EXPECT_FALSE(device->isOpened());
    const std::string once = log.text();
    EXPECT_EQ(once.rfind("KORAL_OpenOperationElectronicsDevice V1 fail:-1\nlevel:", 0), 0u) << once;
    EXPECT_NE(once.find("\ncode:"), std::string::npos) << once;
    log.clear();
    EXPECT_FALSE(device->open());
    EXPECT_EQ(log.text(), once);
}

TEST_F(SpecDeviceTest, OpenReadsTheSensorAndBuildsTheWavelengths) {
    addBoard();
    make();
    log.clear();
    ASSERT_TRUE(device->open()) << log.text();
    EXPECT_TRUE(device->isOpened());
    ASSERT_EQ(device->pixelCount(), kPixels);
    EXPECT_EQ(device->coefficients(), (std::array<double, 4>{400.0, 0.25, 0x1p-10, 0x1p-16}));
    ASSERT_EQ(device->wavelengths().size(), static_cast<std::size_t>(kPixels));
    EXPECT_DOUBLE_EQ(device->wavelengths()[10], 400.0 + 2.5 + 100 * 0x1p-10 + 1000 * 0x1p-16);
    // The initial scan ran in work mode 4 and left the parameters to be
    // sent again in the old mode.
    EXPECT_NE(log.text().find("enter getRawData\n"), std::string::npos);
    EXPECT_EQ(device->workMode(), 3);
    EXPECT_FALSE(device->parametersApplied());
    EXPECT_NE(device->rawDataHandle(), 0u);
}

TEST_F(SpecDeviceTest, RawDataRecordIsHeldOnceAndRenewedWithANewTime) {
    openBoard(); // the initial scan allocated a record
    ASSERT_TRUE(device->freeRawData());
    ASSERT_TRUE(device->allocRawData());
    const std::uint32_t first = device->rawDataHandle();
    EXPECT_NE(first, 0u);
    log.clear();
    EXPECT_FALSE(device->allocRawData());
    EXPECT_EQ(log.text(), "allocRawData ChanelId <> 0\n");
    EXPECT_EQ(device->rawDataHandle(), first);

    log.clear();
    device->setIntegrationTime(30.0); // the current value
    EXPECT_EQ(device->rawDataHandle(), first);
    EXPECT_EQ(log.text(), "");

    device->setIntegrationTime(50.0);
    EXPECT_EQ(log.text(), "");
    EXPECT_NE(device->rawDataHandle(), 0u);
    EXPECT_EQ(device->integrationTime(), 50.0);
    EXPECT_FALSE(device->parametersApplied());
    // The old record is gone from the library.
    double value = 0.0;
    std::uint32_t old = first;
    if (old != device->rawDataHandle()) {
        EXPECT_EQ(KORAL_GetStoredRawData(&old, &value), -1);
    }

    ASSERT_TRUE(device->freeRawData());
    EXPECT_EQ(device->rawDataHandle(), 0u);
    EXPECT_FALSE(device->freeRawData());
    EXPECT_EQ(log.text(), "freeRawData  ChanelId ==0\n");
}

TEST_F(SpecDeviceTest, NewTimeWithoutARecordOnlyLogs) {
    make();
    log.clear();
    device->setIntegrationTime(12.5);
    EXPECT_EQ(log.text(), "freeRawData  ChanelId ==0\n");
    EXPECT_EQ(device->rawDataHandle(), 0u);
    EXPECT_EQ(device->integrationTime(), 12.5);
}

TEST_F(SpecDeviceTest, DarkCurrentBeforeAnySpectrumFails) {
    make();
    log.clear();
    EXPECT_FALSE(device->getDarkCurrent());
    EXPECT_EQ(log.text(), "freeRawData  ChanelId ==0\ngetDarkCurrent execution failed\n");
}

TEST_F(SpecDeviceTest, DigitalLinesOutOfRange) {
    make();
    log.clear();
    EXPECT_EQ(device->getDigitalInput(4), 0);
    EXPECT_EQ(log.text(), "TSpecDevice::getDigitalInput index out of range\n"
                          "KORAL_IOGetDigInput4 execution failed\n");
    log.clear();
    device->setDigitalOutput(0, 1);
    EXPECT_EQ(log.text(), "TSpecDevice::setDigitalOutput index out of range"
                          "KORAL_IOSetDigOutput0 execution failed\n");
}

TEST_F(SpecDeviceTest, InputSourceOnlyOnceOpened) {
    addBoard();
    make();
    log.clear();
    device->setInputSource(9);
    EXPECT_EQ(log.text(), "");
    ASSERT_TRUE(device->open());
    log.clear();
    device->setInputSource(1);
    EXPECT_EQ(log.text(), "");
    device->setInputSource(9);
    EXPECT_EQ(log.text(), "KORAL_ParaSetInputSource execution failed\n");
}

TEST_F(SpecDeviceTest, FailedI2CWriteShowsTheLibraryError) {
    openBoard();
    std::string caption;
    device->setCaptionHandler([&](const std::string& text) { caption = text; });
    const std::uint8_t bytes[2] = {0x00, 0x55};
    device->writeI2C(0xA0, bytes, 2); // a configuration EEPROM: protected
    EXPECT_EQ(log.text(), "writeI2C executin failed\nerror_level 5\nerror_code  306\n");
    EXPECT_EQ(caption, "Error  5 306");
}

TEST_F(SpecDeviceTest, ShortArrayIsRefusedWithoutAnException) {
    openBoard();
    std::vector<double> data(kPixels - 1, -1.0);
    bool result = true;
    EXPECT_NO_THROW(result = device->getRawData(data));
    EXPECT_FALSE(result);
    EXPECT_EQ(data[0], -1.0);
    EXPECT_NE(log.text().find("getRawData array shorter than the sensor\n"), std::string::npos);
}

TEST_F(SpecDeviceTest, SpectrumOfTheSimulatedSensor) {
    openBoard();
    std::vector<double> data(kPixels + 1, -1.0);
    ASSERT_TRUE(device->getRawData(data)) << log.text();
    EXPECT_TRUE(device->parametersApplied());
    double brightest = 0.0;
    for (int i = 0; i < kPixels; ++i) {
        EXPECT_GE(data[static_cast<std::size_t>(i)], kDark) << i;
        brightest = std::max(brightest, data[static_cast<std::size_t>(i)]);
    }
    EXPECT_GT(brightest, kDark);
    EXPECT_EQ(data[kPixels], -1.0); // beyond the sensor: the caller's
    const std::string text = log.text();
    EXPECT_EQ(text.rfind("enter getRawData\n", 0), 0u) << text;
    EXPECT_NE(text.find("time : "), std::string::npos) << text;
}

TEST_F(SpecDeviceTest, SynchronisationThatSaysNoStopsBeforeTheLibrary) {
    openBoard();
    int calls = 0;
    device->setSynchronisation([&](TDevice&) { return ++calls == 1 ? 0 : 1; });
    std::vector<double> data(kPixels, -1.0);
    EXPECT_FALSE(device->getRawData(data));
    EXPECT_EQ(data[0], -1.0);
    EXPECT_NE(log.text().find("enter Synchro section\nsynchro false\n"), std::string::npos);
    log.clear();
    EXPECT_TRUE(device->getRawData(data)) << log.text();
    EXPECT_NE(log.text().find("synchro ok\n"), std::string::npos);
    EXPECT_GE(data[0], kDark);
}

TEST_F(SpecDeviceTest, ParametersAreSentOnceAfterAChange) {
    openBoard();
    std::vector<double> data(kPixels);
    ASSERT_TRUE(device->getRawData(data)) << log.text();
    device->setAverageNumber(500); // limited by the library to 100
    EXPECT_FALSE(device->parametersApplied());
    // The library limits the value and writes it back: the device goes on
    // with the value in effect instead of failing.
    EXPECT_TRUE(device->getRawData(data)) << log.text();
    EXPECT_NE(log.text().find("average number limited to 100\n"), std::string::npos) << log.text();
    EXPECT_EQ(log.text().find("Can not set average number\n"), std::string::npos);
    EXPECT_EQ(device->averageNumber(), 100);
    EXPECT_TRUE(device->parametersApplied());
}

TEST_F(SpecDeviceTest, DarkCurrentAfterASpectrumIsSubtractedFromTheNext) {
    openBoard();
    std::vector<double> data(kPixels);
    ASSERT_TRUE(device->getRawData(data)) << log.text();
    ASSERT_TRUE(device->getDarkCurrent()) << log.text();
    EXPECT_NE(device->rawDataHandle(), 0u);
    EXPECT_TRUE(device->parametersApplied());
    // The simulated board has no shutter: the dark current is the whole
    // signal, and the next spectrum of the same record is what remains.
    ASSERT_TRUE(device->getRawData(data)) << log.text();
    for (int i = 0; i < kPixels; i += 97) {
        EXPECT_NEAR(data[static_cast<std::size_t>(i)], 0.0, 1.0) << i;
    }
}

TEST_F(SpecDeviceTest, BufferedWorkModeTakesFromTheBoardBuffer) {
    openBoard();
    device->setSensorWorkMode(7);
    std::vector<double> data(kPixels);
    if (&KORAL_ParaSetSpecBuffer == nullptr) {
        // The depth cannot be set: the raised error ends getRawData with false
        // and leaves prepare (and so the dark current) with the error.
        EXPECT_FALSE(device->getRawData(data));
        EXPECT_THROW(device->prepare(), pa::Exception);
        return;
    }
    EXPECT_TRUE(device->getRawData(data)) << log.text();
    EXPECT_EQ(log.text().find("getSpectra"), std::string::npos) << log.text();
    EXPECT_GE(data[0], kDark);
}

// A board whose buffer overflowed says so with the spectrum it delivers: the
// library returns the warning (-2), and the spectrum is taken all the same.
TEST_F(SpecDeviceTest, BufferedSpectrumWithTheOverflowWarningIsTaken) {
    openBoard();
    const std::shared_ptr<sim::Fx2Board> board =
        sim::BoardRegistry::instance().findUsbBoard("demo");
    ASSERT_TRUE(board);
    board->setFrameRate(0); // the frames come from the test
    device->setSensorWorkMode(7);
    if (&KORAL_ParaSetSpecBuffer == nullptr) {
        GTEST_SKIP() << "the library cannot set the buffer depth";
    }
    ASSERT_TRUE(device->setParameters()) << log.text();
    // A guard of real time against a board that never streams, not a measurement.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!board->streaming() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    board->setDeviceError(194, 0); // "buffer full", told with every frame
    constexpr int kFrames = 3;
    ASSERT_TRUE(board->pushFrames(kFrames));
    std::vector<double> data(kPixels);
    for (int read = 0; read < kFrames; ++read) {
        EXPECT_TRUE(device->getRawData(data)) << read << "\n" << log.text();
        EXPECT_GE(data[0], kDark);
    }
    LastErrorRecord record{};
    ASSERT_EQ(KORAL_GetErrorCode(&record), 0);
    EXPECT_GE(record.level, 50) << "the reads came with the warning";
    EXPECT_EQ(log.text().find("failed"), std::string::npos) << log.text();
    board->setDeviceError(0, 0);
}

} // namespace
} // namespace spectrum
