// Runs and the preview of the main window with their worker threads. The
// window is never shown, so nothing paints.

#include "fake_device.h"
#include "fmmain.h"
#include "spectrum_test_support.h"

#include "pa/patype.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>

namespace spectrum {
namespace {

using test::FakeDevice;

class RunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::startApplication(); }
    static void TearDownTestSuite() { test::endApplication(); }

    void SetUp() override {
        // Each test starts with no remembered settings.
        ::setenv("VELDON_REVADUVO_DIR", dir.path().c_str(), 1);
        ::setenv("VELDON_SPECTSTART_SOCKET", dir.file("spectstart").c_str(), 1);
        auto owned = std::make_unique<FakeDevice>(16, 1);
        device = owned.get();
        window = std::make_unique<TfmMain>(QStringList{}, std::move(owned));
        window->devTimer()->stop();
        window->setRunCountHandler([this] { return runCount; });
        window->TimerDevTimer();
    }

    void TearDown() override {
        window.reset();
        ::unsetenv("VELDON_SPECTSTART_SOCKET");
    }

    static bool until(const std::function<bool()>& done) { return test::runEventsUntil(done); }

    // The run or preview has ended and its worker is gone.
    bool ended() {
        return until([this] {
            return !window->runActive() && !window->previewActive() && window->worker() == nullptr;
        });
    }

    test::TempDir dir{"fmmain_run"};
    test::LogCapture log;
    FakeDevice* device = nullptr;
    std::unique_ptr<TfmMain> window;
    std::optional<int> runCount = 5;
};

TEST_F(RunTest, RunOfFiveGivesFiveEntriesAndShowsTheCount) {
    window->acRunExecute();
    EXPECT_TRUE(window->runActive());
    EXPECT_FALSE(window->action("&Run")->isEnabled());
    EXPECT_TRUE(window->action("Stop")->isEnabled());
    ASSERT_TRUE(ended());
    ASSERT_EQ(window->runData()->count(), 5);
    EXPECT_EQ(device->acquisitions, 5);
    EXPECT_EQ(window->countText(), " Count: 5");
    // Acquisition k filled pixel i with 1000 k + i; the last is drawn.
    EXPECT_EQ(window->runData()->spectra()[4][3], 5003.0);
    EXPECT_EQ(window->currentSpectrum()[3], 5003.0);
    // Time stamps never decrease.
    const auto& stamps = window->runData()->stamps();
    EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
    EXPECT_TRUE(window->action("&Run")->isEnabled());
    EXPECT_FALSE(device->stopRequested());
    const std::string text = log.text();
    EXPECT_NE(text.find("enter to measure loop\n"), std::string::npos);
    EXPECT_NE(text.find("leave form measute loop\n"), std::string::npos);
}

TEST_F(RunTest, FailedThirdAcquisitionEndsTheRunWithTwo) {
    device->results = {true, true, false};
    window->acRunExecute();
    ASSERT_TRUE(ended());
    EXPECT_EQ(window->runData()->count(), 2);
    EXPECT_EQ(device->acquisitions, 3);
    // A new run starts with empty run data.
    device->results.clear();
    runCount = 1;
    window->acRunExecute();
    ASSERT_TRUE(ended());
    EXPECT_EQ(window->runData()->count(), 1);
}

// On the worker the synchronisation polls input 1 (every 10 ms).
TEST_F(RunTest, ControlSynchronisationHoldsTheRunUntilInputOneAndStopEndsTheWait) {
    window->paramDialog()->synchroBox()->setCurrentIndex(1);
    window->paramDialog()->btSetParamClick();
    device->input = [this](int) { return device->inputReads >= 3 ? 1 : 0; };
    runCount = 2;
    window->acRunExecute();
    ASSERT_TRUE(ended());
    EXPECT_EQ(window->runData()->count(), 2);
    // Two reads of 0, the 1 and its confirmation; then one read and its
    // confirmation for the second spectrum.
    EXPECT_EQ(device->inputReads, 6);

    device->input = [](int) { return 0; };
    device->inputReads = 0;
    window->acRunExecute();
    ASSERT_TRUE(until([this] { return device->inputReads >= 3; }));
    window->btStopClick();
    ASSERT_TRUE(ended());
    EXPECT_EQ(window->runData()->count(), 0);
    EXPECT_EQ(device->acquisitions, 2);
}

TEST_F(RunTest, CancelledDialogOrACountBelowZeroTakesNoSpectrum) {
    runCount.reset();
    window->acRunExecute();
    EXPECT_FALSE(window->runActive());
    EXPECT_EQ(window->worker(), nullptr);
    EXPECT_EQ(device->acquisitions, 0);
    // Below 0 a run takes no spectrum and ends at once; only 0 is endless.
    runCount = -5;
    window->acRunExecute();
    ASSERT_TRUE(ended());
    EXPECT_EQ(device->acquisitions, 0);
}

TEST_F(RunTest, StopEndsAnEndlessRunAndTheWorkerIsGone) {
    runCount = 0;
    window->acRunExecute();
    ASSERT_TRUE(until([this] { return window->runData()->count() >= 3; }));
    EXPECT_TRUE(window->runActive());
    window->btStopClick();
    ASSERT_TRUE(ended());
    const int taken = window->runData()->count();
    EXPECT_GE(taken, 3);
    // The stop flag is cleared for the next acquisition, and nothing more comes.
    EXPECT_FALSE(device->stopRequested());
    QCoreApplication::processEvents();
    EXPECT_EQ(window->runData()->count(), taken);
}

TEST_F(RunTest, PreviewDrawsUntilStopAndKeepsTheRunData) {
    runCount = 2;
    window->acRunExecute();
    ASSERT_TRUE(ended());
    window->acPreviewExecute();
    EXPECT_TRUE(window->previewActive());
    EXPECT_FALSE(window->action("Preview")->isEnabled());
    EXPECT_TRUE(window->action("Capture Reference")->isEnabled());
    ASSERT_TRUE(until([this] { return window->countText().mid(8).toInt() >= 4; }));
    // The preview's spectra go to the chart, not to the run data.
    EXPECT_EQ(window->runData()->count(), 2);
    EXPECT_GE(window->currentSpectrum().size(), 4096u);
    window->btStopClick();
    ASSERT_TRUE(ended());
}

TEST_F(RunTest, ReferenceDuringPreviewWaitsForThePreviewsAcquisition) {
    // Each acquisition checks that no other is going on at the same time.
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    device->during = [&] {
        if (inside.fetch_add(1) != 0) {
            overlapped = true;
        }
        std::this_thread::yield();
        inside.fetch_sub(1);
    };
    window->acPreviewExecute();
    ASSERT_TRUE(until([this] { return device->acquisitions >= 3; }));
    window->acCaptureReferenceExecute();
    ASSERT_TRUE(until([this] { return window->referenceTaken(); }));
    EXPECT_TRUE(window->action("Absorbance")->isEnabled());
    EXPECT_EQ(window->runData()->reference().size(), window->referenceSpectrum().size());
    window->btStopClick();
    ASSERT_TRUE(ended());
    EXPECT_FALSE(overlapped.load());
}

// The preview waits for input 1 while "Capture Reference" is pressed: the
// window must stay free, so that Stop ends the wait.
TEST_F(RunTest, ReferenceDuringAWaitingPreviewLeavesTheWindowFree) {
    window->paramDialog()->synchroBox()->setCurrentIndex(1);
    window->paramDialog()->btSetParamClick();
    std::atomic<bool> high{false};
    std::atomic<bool> inReference{false};
    std::atomic<bool> freedByTheTest{false};
    // A window that waits is let go after a minute, so that the failure is
    // told instead of hanging the test.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    device->input = [&](int) {
        if (inReference && std::chrono::steady_clock::now() > giveUp) {
            freedByTheTest = true;
            return 1;
        }
        return high ? 1 : 0;
    };
    window->acPreviewExecute();
    ASSERT_TRUE(until([this] { return device->inputReads >= 2; }));
    inReference = true;
    window->acCaptureReferenceExecute();
    inReference = false;
    EXPECT_FALSE(freedByTheTest.load()) << "the window waited for the preview's input";
    EXPECT_FALSE(window->referenceTaken());
    EXPECT_TRUE(window->action("Stop")->isEnabled());
    // The input comes: the reference is taken between two preview spectra.
    high = true;
    ASSERT_TRUE(until([this] { return window->referenceTaken(); }));
    EXPECT_EQ(window->runData()->reference().size(), window->referenceSpectrum().size());
    EXPECT_EQ(std::fmod(window->referenceSpectrum()[3], 1000.0), 3.0);
    high = false;
    window->btStopClick();
    ASSERT_TRUE(ended());
}

TEST_F(RunTest, PreviewBufferFollowsALargerSensor) {
    window.reset();
    auto owned = std::make_unique<FakeDevice>(5000, 1);
    device = owned.get();
    window = std::make_unique<TfmMain>(QStringList{}, std::move(owned));
    window->devTimer()->stop();
    window->TimerDevTimer();
    window->acPreviewExecute();
    ASSERT_TRUE(until([this] { return device->acquisitions >= 2; }));
    window->btStopClick();
    ASSERT_TRUE(ended());
    ASSERT_GE(window->currentSpectrum().size(), 5000u);
    EXPECT_EQ(window->currentSpectrum()[4999] - 4999.0,
              1000.0 * static_cast<int>(window->currentSpectrum()[0] / 1000.0));
}

TEST_F(RunTest, ClosingDuringARunEndsItFirst) {
    runCount = 0;
    window->acRunExecute();
    ASSERT_TRUE(until([this] { return window->runData()->count() >= 1; }));
    EXPECT_TRUE(window->FormCloseQuery());
    EXPECT_EQ(window->worker(), nullptr);
    EXPECT_FALSE(window->runActive());
}

} // namespace
} // namespace spectrum
