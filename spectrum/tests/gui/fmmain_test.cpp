// The main window driven as a user drives it: command-line words, the device
// timer, the enables, "Get Revaduvo", the display kinds, the stored-spectrum
// list with its menu and buttons, Save and Load, and "SpectStart" from
// another program.

#include "fmmain.h"
#include "specdevice.h"
#include "spectrum_test_support.h"
#include "spectstart.h"
#include "tarvikbinding.h"
#include "testdevice.h"

#include "pa/forms.h"
#include "pa/lmedit.h"
#include "platform/device.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

namespace spectrum {
namespace {

using test::TempDir;

// A spectrometer whose open and acquisitions the test scripts.
class FakeDevice : public TDevice {
public:
    FakeDevice(int pixels, int opensAtCall) : TDevice(3), pixels_(pixels), opensAt_(opensAtCall) {}

    int getDigitalInput(int) override { return 0; }
    void setDigitalOutput(int, int) override {}
    void setInputSource(int) override {}
    bool open() override {
        if (++openCalls < opensAt_) {
            return false;
        }
        pixelCount_ = pixels_;
        coefficients_ = {400.0, 0.5, 0.0, 0.0};
        computeWavelengths();
        opened_ = true;
        return true;
    }
    bool getDarkCurrent() override { return true; }
    bool prepare() override { return true; }
    void setIntegrationTime(double ms) override {
        ++timeSets;
        TDevice::setIntegrationTime(ms);
    }
    // Acquisition k (from 1) fills pixel i with 1000 k + i unless the script
    // says it fails.
    bool getRawData(std::vector<double>& data) override {
        ++acquisitions;
        if (during) {
            during();
        }
        if (!results.empty()) {
            const bool ok = results.front();
            results.pop_front();
            if (!ok) {
                return false;
            }
        }
        for (int i = 0; i < pixelCount_; ++i) {
            data.at(static_cast<std::size_t>(i)) = 1000.0 * acquisitions + i;
        }
        return true;
    }
    void writeI2C(std::uint8_t, const std::uint8_t*, int) override {}

    int openCalls = 0;
    int timeSets = 0;
    int acquisitions = 0;
    std::deque<bool> results;
    std::function<void()> during;

private:
    int pixels_;
    int opensAt_;
};

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::startApplication(); }

    static void TearDownTestSuite() { test::endApplication(); }

    void SetUp() override {
        ::setenv("VELDON_MACHINE_CONFIG", dir.file("machine").c_str(), 1);
        ::setenv("VELDON_USER_CONFIG", dir.file("user").c_str(), 1);
        ::setenv("VELDON_USB_REAL", "0", 1);
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SPECTSTART_SOCKET", dir.file("spectstart").c_str(), 1);
        previousBox = pa::setMessageBoxHandler(
            [this](const std::string& text, const std::string& caption, int) {
                boxes.push_back(caption + ": " + text);
                return pa::kIdOk;
            });
    }

    void TearDown() override {
        window.reset();
        pa::setMessageBoxHandler(previousBox);
        for (const char* name :
             {"VELDON_MACHINE_CONFIG", "VELDON_USER_CONFIG", "VELDON_USB_REAL",
              "VELDON_DRIVER_PATH", "VELDON_SPECTSTART_SOCKET", "VELDON_SIMULATION"}) {
            ::unsetenv(name);
        }
    }

    TfmMain& make(const QStringList& words) {
        window = std::make_unique<TfmMain>(words);
        prepare();
        return *window;
    }

    // A window on a fake device that opens at the given tick.
    FakeDevice& makeFake(int pixels = 1044, int opensAtCall = 1) {
        auto device = std::make_unique<FakeDevice>(pixels, opensAtCall);
        FakeDevice& fake = *device;
        window = std::make_unique<TfmMain>(QStringList{}, std::move(device));
        prepare();
        return fake;
    }

    void prepare() {
        // Ticks come from the test, never from the clock.
        window->devTimer()->stop();
        window->setConfirmHandler([this](const QString& text, const QString& caption) {
            questions.push_back(caption + ": " + text);
            return answerYes;
        });
        window->setFileNameHandler([this](bool save) {
            (save ? saves : loads) += 1;
            return fileName;
        });
        window->resize(1100, 700);
        window->show();
    }

    void clickButton(const char* caption) {
        QToolButton* button = window->toolButton(caption);
        ASSERT_NE(button, nullptr) << caption;
        QTest::mouseClick(button, Qt::LeftButton);
    }

    void getSpectra(int count) {
        for (int i = 0; i < count; ++i) {
            clickButton("Get Revaduvo");
        }
    }

    bool enabled(const char* caption) const { return window->action(caption)->isEnabled(); }

    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const mi::Data& d : window->dataSet().spectra) {
            result.push_back(d.name);
        }
        return result;
    }

    // The three lists agree in length, order and names.
    void expectInStep() const {
        const int n = window->spectrumCount();
        ASSERT_EQ(window->view()->storedSeriesCount(), n);
        ASSERT_EQ(static_cast<int>(window->dataSet().spectra.size()), n);
        for (int i = 0; i < n; ++i) {
            QCheckBox* box = window->spectrumCheckBox(i);
            EXPECT_EQ(box->property("Tag").toInt(), i);
            EXPECT_EQ(box->y(), 40 + 19 * i);
            EXPECT_EQ(box->text().toStdString(), window->dataSet().spectra[i].name);
        }
    }

    int storedPoints(int i) const {
        return static_cast<int>(window->view()->storedSeries(i)->count());
    }

    TempDir dir{"fmmain"};
    test::LogCapture log;
    std::unique_ptr<TfmMain> window;
    pa::TMessageBoxHandler previousBox;
    std::vector<QString> questions;
    std::vector<std::string> boxes;
    bool answerYes = true;
    QString fileName;
    int saves = 0;
    int loads = 0;
};

// --- start-up, timer, enables -------------------------------------------------

TEST_F(MainWindowTest, CommandLineWordsPickPageAndDevice) {
    make({});
    EXPECT_EQ(window->pageMode(), 1);
    EXPECT_NE(dynamic_cast<TSpecDevice*>(window->device()), nullptr);
    EXPECT_FALSE(window->pages()->isTabVisible(1));
    EXPECT_FALSE(window->pages()->isTabVisible(2));

    make({"new", "test"});
    EXPECT_EQ(window->pageMode(), 1);
    EXPECT_NE(dynamic_cast<TTestDevice*>(window->device()), nullptr);

    // Any first word but "old" is the default page; "test" counts only second.
    make({"whatever", "test"});
    EXPECT_NE(dynamic_cast<TTestDevice*>(window->device()), nullptr);
    make({"test"});
    EXPECT_NE(dynamic_cast<TSpecDevice*>(window->device()), nullptr);
    make({"new", "Test"});
    EXPECT_NE(dynamic_cast<TSpecDevice*>(window->device()), nullptr);
}

TEST_F(MainWindowTest, OldSelectsTheLegacyPageWithoutDevice) {
    make({"old", "test"});
    EXPECT_EQ(window->pageMode(), 0);
    EXPECT_EQ(window->device(), nullptr);
    EXPECT_FALSE(window->pages()->isTabVisible(0));
    EXPECT_TRUE(window->pages()->isTabVisible(1));
    EXPECT_EQ(window->statusText(), "Not connected");
    EXPECT_FALSE(window->devTimer()->isActive());
    window->TimerDevTimer();
    EXPECT_FALSE(enabled("Get Revaduvo"));
    // "SpectStart" is handled and does nothing here.
    QEvent event(static_cast<QEvent::Type>(spectStartMessage()));
    EXPECT_TRUE(QCoreApplication::sendEvent(qApp, &event));
    EXPECT_EQ(window->spectrumCount(), 0);
}

TEST_F(MainWindowTest, DefaultPageStartsWithTimerAndZeroArrays) {
    window = std::make_unique<TfmMain>(QStringList{"new", "test"});
    EXPECT_TRUE(window->devTimer()->isActive());
    EXPECT_EQ(window->devTimer()->interval(), 500);
    EXPECT_EQ(window->currentSpectrum(), std::vector<double>(4096, 0.0));
    EXPECT_EQ(window->referenceSpectrum(), std::vector<double>(4096, 0.0));
    EXPECT_EQ(window->displayKind(), kScope);
    EXPECT_EQ(window->revaduvoCounter(), 0);
    EXPECT_EQ(window->notesEdit()->toPlainText(), "No Notes Yet");
}

TEST_F(MainWindowTest, DeviceOpeningAtTheThirdTickAppliesParametersOnce) {
    FakeDevice& device = makeFake(1044, 3);
    window->TimerDevTimer();
    window->TimerDevTimer();
    EXPECT_EQ(window->statusText(), "Not connected");
    EXPECT_FALSE(enabled("Get Revaduvo"));
    EXPECT_EQ(device.timeSets, 0);
    window->TimerDevTimer();
    EXPECT_EQ(window->statusText(), "Opened");
    EXPECT_TRUE(enabled("Get Revaduvo"));
    EXPECT_EQ(device.timeSets, 1);
    EXPECT_FALSE(device.parametersApplied());
    window->TimerDevTimer();
    EXPECT_EQ(device.openCalls, 3);
    EXPECT_EQ(device.timeSets, 1);
}

TEST_F(MainWindowTest, EnableTableFollowsDeviceAndCapture) {
    FakeDevice& device = makeFake();
    for (const char* c : {"Scope", "Irradiance", "Setup", "Device Parameters", "Get Revaduvo",
                          "&Run", "Preview", "&Capture Revaduvo", "Get Dark Current",
                          "Capture Reference", "Stop", "Absorbance", "Transmittance"}) {
        EXPECT_FALSE(enabled(c)) << c << " before the device opened";
    }
    EXPECT_TRUE(enabled("Data"));

    window->TimerDevTimer();
    for (const char* c :
         {"Scope", "Irradiance", "Setup", "Device Parameters", "Get Revaduvo", "&Run", "Preview",
          "&Capture Revaduvo", "Get Dark Current", "Capture Reference", "Data"}) {
        EXPECT_TRUE(enabled(c)) << c;
    }
    // No reference has been taken.
    EXPECT_FALSE(enabled("Absorbance"));
    EXPECT_FALSE(enabled("Transmittance"));
    EXPECT_FALSE(enabled("Stop"));

    // While a spectrum is taken.
    std::vector<std::pair<std::string, bool>> seen;
    device.during = [&] {
        for (const char* c :
             {"Get Revaduvo", "&Run", "Preview", "Capture Reference", "Stop", "Data", "Scope"}) {
            seen.emplace_back(c, enabled(c));
        }
        seen.emplace_back("capture", window->captureActive());
    };
    getSpectra(1);
    const std::vector<std::pair<std::string, bool>> expected = {
        {"Get Revaduvo", false}, {"&Run", false}, {"Preview", false}, {"Capture Reference", false},
        {"Stop", true},          {"Data", false}, {"Scope", true},    {"capture", true}};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(window->captureActive());
    EXPECT_TRUE(enabled("Get Revaduvo"));
    EXPECT_FALSE(enabled("Stop"));
}

TEST_F(MainWindowTest, CloseQueryStopsTheDevice) {
    FakeDevice& device = makeFake();
    window->TimerDevTimer();
    EXPECT_TRUE(window->FormCloseQuery());
    EXPECT_TRUE(device.stopRequested());
    // Destroying the window ends the log.
    window.reset();
    const std::string text = log.text();
    EXPECT_EQ(text.substr(text.size() - std::min<std::size_t>(text.size(), 18)),
              "LogFile terminated");
}

// --- new spectra --------------------------------------------------------------

TEST_F(MainWindowTest, ThreeSpectraFromTheTestDevice) {
    make({"new", "test"});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    getSpectra(3);
    EXPECT_EQ(names(), (std::vector<std::string>{"Revaduvo0", "Revaduvo1", "Revaduvo2"}));
    EXPECT_EQ(window->revaduvoCounter(), 3);
    expectInStep();
    for (int i = 0; i < 3; ++i) {
        const mi::Data& d = window->dataSet().spectra[static_cast<std::size_t>(i)];
        EXPECT_EQ(d.values.size(), 1045u);
        EXPECT_FALSE(d.date.empty());
        EXPECT_TRUE(d.extra.empty());
        // Scope: one point per pixel and the closing point at height 0.
        ASSERT_EQ(storedPoints(i), 1045);
        EXPECT_EQ(window->view()->storedSeries(i)->at(1044).y(), 0.0);
    }
    // Successive spectra differ: the simulated curve moves.
    EXPECT_NE(window->dataSet().spectra[0].values, window->dataSet().spectra[1].values);
}

TEST_F(MainWindowTest, FailedAcquisitionAddsNothingAndKeepsTheNumber) {
    FakeDevice& device = makeFake();
    window->TimerDevTimer();
    device.results = {true, false, true};
    log.clear();
    getSpectra(3);
    EXPECT_EQ(names(), (std::vector<std::string>{"Revaduvo0", "Revaduvo1"}));
    const std::string text = log.text();
    int lines = 0;
    for (std::size_t at = text.find("GetNewSpectrum\n"); at != std::string::npos;
         at = text.find("GetNewSpectrum\n", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 3) << text;
    expectInStep();
    EXPECT_FALSE(window->captureActive());
    EXPECT_FALSE(device.stopRequested());
}

TEST_F(MainWindowTest, PixelCountAboveTheFixedArraysIsTakenWhole) {
    FakeDevice& device = makeFake(5000);
    window->TimerDevTimer();
    EXPECT_GE(window->currentSpectrum().size(), 5001u);
    EXPECT_GE(window->referenceSpectrum().size(), 5001u);
    getSpectra(1);
    ASSERT_EQ(window->spectrumCount(), 1);
    const mi::Data& d = window->dataSet().spectra[0];
    ASSERT_EQ(d.values.size(), 5001u);
    EXPECT_EQ(d.values[4999], 1000.0 + 4999);
    EXPECT_EQ(storedPoints(0), 5001);
    EXPECT_EQ(device.acquisitions, 1);
}

// --- display kinds ------------------------------------------------------------

TEST_F(MainWindowTest, DisplayKindButtonsRedraw) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(2);
    clickButton("Irradiance");
    EXPECT_EQ(window->displayKind(), kIrradiance);
    // Irradiance has no closing point.
    EXPECT_EQ(storedPoints(0), 1044);
    EXPECT_EQ(window->view()->storedSeries(1)->at(10), QPointF(405.0, 2010.0));
    // A disabled kind does nothing.
    clickButton("Absorbance");
    EXPECT_EQ(window->displayKind(), kIrradiance);
    clickButton("Scope");
    EXPECT_EQ(window->displayKind(), kScope);
    EXPECT_EQ(storedPoints(0), 1045);
}

TEST_F(MainWindowTest, PreviewAndStoredCheckBoxesChooseWhatIsDrawn) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(2);
    EXPECT_EQ(window->view()->currentSeries()->count(), 1045);
    QTest::mouseClick(window->implicitCheckBox(), Qt::LeftButton);
    EXPECT_EQ(window->view()->currentSeries()->count(), 0);
    EXPECT_EQ(storedPoints(0), 1045);
    QTest::mouseClick(window->spectrumCheckBox(0), Qt::LeftButton);
    EXPECT_FALSE(window->spectrumCheckBox(0)->isChecked());
    EXPECT_EQ(storedPoints(0), 0);
    EXPECT_EQ(storedPoints(1), 1045);
}

TEST_F(MainWindowTest, IntegrationTimeSetGoesToTheDeviceAndBackToScope) {
    FakeDevice& device = makeFake();
    window->TimerDevTimer();
    clickButton("Irradiance");
    window->integTimeEdit()->SetValue(45);
    QPushButton* set = window->findChild<QPushButton*>("SetITbtn");
    ASSERT_NE(set, nullptr);
    QTest::mouseClick(set, Qt::LeftButton);
    EXPECT_EQ(device.integrationTime(), 45.0);
    EXPECT_EQ(window->displayKind(), kScope);
    EXPECT_TRUE(window->action("Scope")->isChecked());
}

TEST_F(MainWindowTest, AutoIntegrationLeavesTheTimeOnAnEmptySpectrum) {
    FakeDevice& device = makeFake();
    window->TimerDevTimer();
    const int sets = device.timeSets;
    // The current spectrum holds zeros until a preview fills it: there is
    // nothing to scale, and no division by zero.
    QTest::mouseClick(window->autoIntegrationCheckBox(), Qt::LeftButton);
    window->updateGraph();
    EXPECT_EQ(device.integrationTime(), 30.0);
    EXPECT_EQ(device.timeSets, sets);
}

// --- list commands ------------------------------------------------------------

TEST_F(MainWindowTest, DeletingTheMiddleEntryRenumbersTheRest) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(3);
    window->spectrumContextPopup(window->spectrumCheckBox(1), QPoint(10, 10));
    window->popupMenu()->close();
    answerYes = false;
    window->delete1Click();
    EXPECT_EQ(window->spectrumCount(), 3);
    answerYes = true;
    window->delete1Click();
    EXPECT_EQ(questions.back(), "warning: This action will errase this spectrum. Are you sure?");
    EXPECT_EQ(names(), (std::vector<std::string>{"Revaduvo0", "Revaduvo2"}));
    expectInStep();
    EXPECT_EQ(window->spectrumCheckBox(1)->y(), 59);
    EXPECT_EQ(window->currentEntry(), nullptr);
    getSpectra(1);
    EXPECT_EQ(names().back(), "Revaduvo3");
    expectInStep();
}

TEST_F(MainWindowTest, RenameByEnterAndNotAfterTheEntryWent) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(2);
    window->spectrumContextPopup(window->spectrumCheckBox(1), QPoint(10, 10));
    window->popupMenu()->close();
    window->rename1Click();
    EXPECT_TRUE(window->renamePanel()->isVisible());
    EXPECT_EQ(window->renamePanel()->y(), 59);
    EXPECT_EQ(window->renameEdit()->text(), "Revaduvo1");
    window->renameEdit()->clear();
    QTest::keyClicks(window->renameEdit(), "lamp");
    EXPECT_EQ(names()[1], "Revaduvo1"); // not before Enter
    QTest::keyClick(window->renameEdit(), Qt::Key_Return);
    EXPECT_FALSE(window->renamePanel()->isVisible());
    EXPECT_EQ(names()[1], "lamp");
    expectInStep();

    // The panel stays while its entry is deleted: Enter then renames nothing.
    window->spectrumContextPopup(window->spectrumCheckBox(0), QPoint(10, 10));
    window->popupMenu()->close();
    window->rename1Click();
    window->delete1Click();
    window->renameEdit()->setText("ghost");
    QTest::keyClick(window->renameEdit(), Qt::Key_Return);
    EXPECT_EQ(names(), (std::vector<std::string>{"lamp"}));
    EXPECT_FALSE(window->renamePanel()->isVisible());
}

TEST_F(MainWindowTest, CheckAllUncheckAllAndReverse) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(3);
    window->SpeedButton2Click();
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(window->spectrumCheckBox(i)->isChecked());
        EXPECT_EQ(storedPoints(i), 0);
    }
    window->spectrumCheckBox(0)->setChecked(true);
    window->SpeedButton3Click();
    EXPECT_FALSE(window->spectrumCheckBox(0)->isChecked());
    EXPECT_TRUE(window->spectrumCheckBox(1)->isChecked());
    EXPECT_TRUE(window->spectrumCheckBox(2)->isChecked());
    EXPECT_EQ(storedPoints(0), 0);
    EXPECT_EQ(storedPoints(2), 1045);
    window->SpeedButton1Click();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(storedPoints(i), 1045);
    }
}

TEST_F(MainWindowTest, DeleteAllAsksAndRestartsTheNumbering) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(2);
    window->notesEdit()->setPlainText("kept");
    answerYes = false;
    window->SpeedButton4Click();
    EXPECT_EQ(window->spectrumCount(), 2);
    answerYes = true;
    window->SpeedButton4Click();
    EXPECT_EQ(questions.back(), "warning: This action will errase all spectrums. Are you sure?");
    EXPECT_EQ(window->spectrumCount(), 0);
    expectInStep();
    EXPECT_EQ(window->revaduvoCounter(), 0);
    EXPECT_EQ(window->notesEdit()->toPlainText(), "kept");
    getSpectra(1);
    EXPECT_EQ(names(), (std::vector<std::string>{"Revaduvo0"}));
}

// --- multi-spectrum -----------------------------------------------------------

TEST_F(MainWindowTest, PomrakAveragesOnlyTheSpectraTaken) {
    FakeDevice& device = makeFake(8);
    window->TimerDevTimer();
    getSpectra(1);
    device.results = {true, false, true, false, true};
    window->ToolButton3Click();
    ASSERT_EQ(names(), (std::vector<std::string>{"Revaduvo0", "Pomrak1"}));
    expectInStep();
    const mi::Data& d = window->dataSet().spectra[1];
    ASSERT_EQ(d.extra.size(), 3u);
    // Acquisitions 2, 4 and 6 succeeded: the mean of 2000, 4000 and 6000.
    EXPECT_EQ(d.values[0], 4000.0);
    EXPECT_EQ(d.values[7], 4007.0);
    EXPECT_EQ(d.values.size(), 9u);
    EXPECT_EQ(window->view()->storedSeries(1)->pen().width(), 3);
    EXPECT_FALSE(window->captureActive());

    QMenu* menu = window->popupMenu();
    const auto showPomrak = [menu] {
        for (QAction* a : menu->actions()) {
            if (a->text() == "Show Pomrak") {
                return a;
            }
        }
        return static_cast<QAction*>(nullptr);
    }();
    ASSERT_NE(showPomrak, nullptr);
    window->spectrumContextPopup(window->spectrumCheckBox(0), QPoint(10, 10));
    menu->close();
    EXPECT_FALSE(showPomrak->isVisible());
    window->spectrumContextPopup(window->spectrumCheckBox(1), QPoint(10, 10));
    menu->close();
    EXPECT_TRUE(showPomrak->isVisible());
    showPomrak->trigger();
    EXPECT_FALSE(window->isEnabled());
    EXPECT_TRUE(window->intervalDialog()->isVisible());
    QTest::mouseClick(window->intervalDialog()->okButton(), Qt::LeftButton);
    EXPECT_TRUE(window->isEnabled());
    EXPECT_FALSE(window->intervalDialog()->isVisible());
}

TEST_F(MainWindowTest, PomrakWithNoSpectrumLeavesNoEntry) {
    FakeDevice& device = makeFake(8);
    window->TimerDevTimer();
    device.results = {false, false, false, false, false};
    window->ToolButton3Click();
    EXPECT_EQ(window->spectrumCount(), 0);
    expectInStep();
    // The number was used all the same.
    EXPECT_EQ(window->revaduvoCounter(), 1);
}

// --- Save and Load ------------------------------------------------------------

TEST_F(MainWindowTest, SaveAndLoadRoundTrip) {
    makeFake(16);
    window->TimerDevTimer();
    getSpectra(3);
    window->notesEdit()->setPlainText("sample A\nsample B");
    const mi::TSpecDataSet& set = window->dataSet();
    const std::vector<mi::Data> before = set.spectra;
    fileName = QString::fromStdString(dir.file("three.bspec"));
    window->meSaveClick();
    EXPECT_EQ(saves, 1);
    ASSERT_TRUE(std::filesystem::exists(dir.file("three.bspec")));
    EXPECT_TRUE(boxes.empty());

    window->SpeedButton4Click();
    window->notesEdit()->setPlainText("other");
    getSpectra(1);
    window->meLoadClick();
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(window->dataSet().spectra, before);
    EXPECT_EQ(window->notesEdit()->toPlainText(), "sample A\nsample B");
    EXPECT_EQ(window->revaduvoCounter(), 0);
    expectInStep();
    EXPECT_EQ(storedPoints(2), 17);
    // After Load the numbering starts again, even over a loaded name.
    getSpectra(1);
    EXPECT_EQ(names().back(), "Revaduvo0");
    expectInStep();
}

TEST_F(MainWindowTest, CancelledDialogsDoNothing) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(1);
    fileName.clear();
    window->meSaveClick();
    window->meLoadClick();
    EXPECT_EQ(window->spectrumCount(), 1);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainWindowTest, LoadingADamagedFileLosesNothing) {
    makeFake(16);
    window->TimerDevTimer();
    getSpectra(2);
    fileName = QString::fromStdString(dir.file("two.bspec"));
    window->meSaveClick();
    const std::string whole = test::readFile(dir.file("two.bspec"));
    getSpectra(1);
    const std::vector<mi::Data> before = window->dataSet().spectra;
    window->notesEdit()->setPlainText("mine");
    // Every cut of the file is refused and leaves list, number and notes.
    for (std::size_t cut : {std::size_t{0}, std::size_t{5}, whole.size() / 2, whole.size() - 1}) {
        test::writeFile(dir.file("cut.bspec"), whole.substr(0, cut));
        fileName = QString::fromStdString(dir.file("cut.bspec"));
        boxes.clear();
        window->meLoadClick();
        EXPECT_EQ(boxes.size(), 1u) << cut;
        EXPECT_EQ(window->dataSet().spectra, before) << cut;
        EXPECT_EQ(window->revaduvoCounter(), 3) << cut;
        EXPECT_EQ(window->notesEdit()->toPlainText(), "mine");
        expectInStep();
    }
}

TEST_F(MainWindowTest, FailedSaveIsReported) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(1);
    fileName = QString::fromStdString(dir.file("missing/dir/x.bspec"));
    window->meSaveClick();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].rfind("Revaduvo: ", 0), 0u) << boxes[0];
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing/dir/x.bspec")));
    EXPECT_EQ(window->spectrumCount(), 1);
}

TEST_F(MainWindowTest, LoadingAnEmptyListReplacesOnlyTheNotes) {
    makeFake();
    window->TimerDevTimer();
    window->notesEdit()->setPlainText("empty file");
    fileName = QString::fromStdString(dir.file("empty.bspec"));
    window->meSaveClick();
    window->notesEdit()->setPlainText("changed");
    getSpectra(2);
    window->meLoadClick();
    EXPECT_EQ(window->spectrumCount(), 0);
    expectInStep();
    EXPECT_EQ(window->notesEdit()->toPlainText(), "empty file");
}

TEST_F(MainWindowTest, ShorterStoredSpectrumDrawsWhatItHas) {
    makeFake(1044);
    window->TimerDevTimer();
    mi::TSpecDataSet set;
    set.spectra.push_back(mi::Data{{}, std::vector<double>(10, 7.0), "short", ""});
    set.saveTo(dir.file("short.bspec"));
    fileName = QString::fromStdString(dir.file("short.bspec"));
    window->meLoadClick();
    ASSERT_EQ(window->spectrumCount(), 1);
    EXPECT_EQ(storedPoints(0), 11);
    clickButton("Irradiance");
    EXPECT_EQ(storedPoints(0), 10);
}

TEST_F(MainWindowTest, SaveIsOfferedOnlyWithEntries) {
    makeFake();
    window->TimerDevTimer();
    QAction* save = nullptr;
    for (QAction* a : window->dataMenu()->actions()) {
        if (a->text() == "Save") {
            save = a;
        }
    }
    ASSERT_NE(save, nullptr);
    emit window->dataMenu()->aboutToShow();
    EXPECT_FALSE(save->isEnabled());
    getSpectra(1);
    emit window->dataMenu()->aboutToShow();
    EXPECT_TRUE(save->isEnabled());
}

// --- SpectStart ---------------------------------------------------------------

// Runs the command as another program would, with the event loop going
// meanwhile so that the window can answer. Its exit status, -1 when it could
// not run or did not end.
int runSpectStart() {
    char path[] = REVADUVO_SPECTSTART;
    char* argv[] = {path, nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    QElapsedTimer waited;
    waited.start();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (waited.elapsed() > 20000) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(MainWindowTest, SpectStartFromAnotherProgramTakesASpectrum) {
    makeFake();
    window->TimerDevTimer();
    ASSERT_TRUE(window->spectStartServer()->isListening());
    EXPECT_EQ(runSpectStart(), 0);
    QTRY_COMPARE(window->spectrumCount(), 1);
    EXPECT_EQ(names(), (std::vector<std::string>{"Revaduvo0"}));
}

TEST_F(MainWindowTest, SpectStartWhileDisabledIsHandledAndDropped) {
    FakeDevice& device = makeFake(1044, 100);
    window->TimerDevTimer();
    QEvent event(static_cast<QEvent::Type>(spectStartMessage()));
    EXPECT_TRUE(QCoreApplication::sendEvent(qApp, &event));
    EXPECT_EQ(device.acquisitions, 0);
    EXPECT_EQ(runSpectStart(), 0);
    QCoreApplication::processEvents();
    EXPECT_EQ(window->spectrumCount(), 0);
    EXPECT_EQ(device.acquisitions, 0);
}

TEST_F(MainWindowTest, SpectStartCommandFailsWithoutListener) {
    EXPECT_EQ(runSpectStart(), 1);
}

TEST_F(MainWindowTest, StaleSpectStartSocketIsTakenOverAndLiveOneKept) {
    const QString name = QString::fromStdString(dir.file("sock"));
    test::writeFile(dir.file("sock"), "left over");
    TSpectStartServer first(nullptr);
    EXPECT_TRUE(first.listen(name)) << first.errorString().toStdString();
    TSpectStartServer second(nullptr);
    EXPECT_FALSE(second.listen(name));
    EXPECT_TRUE(second.errorString().contains("another program"))
        << second.errorString().toStdString();
    EXPECT_TRUE(first.isListening());
}

// --- the simulated board and the picture of the window -----------------------

TEST_F(MainWindowTest, ShippedSimulatedBoardGivesThreeSpectraAndScreenshot) {
    ::setenv("VELDON_SIMULATION", REVADUVO_SIM_DEFAULT, 1);
    make({});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    ASSERT_EQ(window->device()->pixelCount(), 1024);
    QPushButton* set = window->findChild<QPushButton*>("SetITbtn");
    ASSERT_NE(set, nullptr);
    // One spectrum at each of three integration times, set as a user does.
    std::vector<double> tops;
    for (int ms : {30, 20, 10}) {
        window->integTimeEdit()->SetValue(ms);
        QTest::mouseClick(set, Qt::LeftButton);
        getSpectra(1);
        ASSERT_EQ(window->spectrumCount(), static_cast<int>(tops.size()) + 1);
        const mi::Data& d = window->dataSet().spectra.back();
        ASSERT_EQ(d.values.size(), 1025u);
        tops.push_back(*std::max_element(d.values.begin(), d.values.begin() + 1024));
    }
    expectInStep();
    // Real curves above the dark level that follow the integration time.
    EXPECT_GT(tops[2], 1000.0);
    EXPECT_GT(tops[1], tops[2]);
    EXPECT_GT(tops[0], tops[1]);
    window->SpeedButton3Click();
    window->SpeedButton1Click();
    window->notesEdit()->setPlainText("Three spectra of the simulated board");
    QCoreApplication::processEvents();
    const QImage image = window->grab().toImage();
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(1100, 700));
    const std::string path = std::string(REVADUVO_SCREENSHOT_DIR) + "/revaduvo_main_window.png";
    ASSERT_TRUE(image.save(QString::fromStdString(path)));
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

} // namespace
} // namespace spectrum
