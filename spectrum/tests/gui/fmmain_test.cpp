// The main window driven as a user drives it: command-line words, the device
// timer, the enables, "Get Revaduvo", the display kinds, the stored-spectrum
// list with its menu and buttons, Save and Load, and "SpectStart" from
// another program.

#include "fake_device.h"
#include "fmmain.h"
#include "specdevice.h"
#include "spectrum_test_support.h"
#include "spectstart.h"
#include "tarvikbinding.h"
#include "testdevice.h"

#include "pa/forms.h"
#include "pa/lmedit.h"
#include "pa/palog.h"
#include "pa/sysutils.h"
#include "platform/device.h"

#include "../../../platform/tests/other_user.h"

#include <QAbstractButton>
#include <QApplication>
#include <QChart>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace spectrum {
namespace {

using test::TempDir;

using test::FakeDevice;

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::startApplication(); }

    static void TearDownTestSuite() { test::endApplication(); }

    void SetUp() override {
        ::setenv("VELDON_MACHINE_CONFIG", dir.file("machine").c_str(), 1);
        ::setenv("VELDON_USER_CONFIG", dir.file("user").c_str(), 1);
        ::setenv("VELDON_USB_REAL", "0", 1);
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        // Each test starts with no remembered settings.
        ::setenv("VELDON_REVADUVO_DIR", dir.path().c_str(), 1);
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

    // The shipped set-up, its scans at once instead of in real time.
    void useShippedBoard() {
        ::setenv("VELDON_SIMULATION", test::setupWithoutWallTime(REVADUVO_SIM_DEFAULT, dir).c_str(),
                 1);
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
    // The page's watch looked for a board: the drivers it loaded go with it.
    window.reset();
    EXPECT_TRUE(platform::shutdownDevices());
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
    // The cursor line and its label show from the start.
    EXPECT_TRUE(window->showCursorCheckBox()->isChecked());
    EXPECT_TRUE(window->view()->showCursor());
    EXPECT_TRUE(window->view()->cursorText().startsWith("Wave Lenght: "));
}

// Every control of the default window at its default size is whole: none
// is cut by its neighbours or the window's edge, none is hidden behind a
// scroll bar, and nothing lies over the chart's axis labels.
TEST_F(MainWindowTest, DefaultWindowShowsEveryControlWhole) {
    auto device = std::make_unique<FakeDevice>(1044, 1);
    window = std::make_unique<TfmMain>(QStringList{}, std::move(device));
    window->devTimer()->stop();
    window->show();
    window->TimerDevTimer();
    QCoreApplication::processEvents();
    EXPECT_EQ(window->size(), QSize(1061, 640));
    const QImage image = window->grab().toImage();
    const std::string path = std::string(REVADUVO_SCREENSHOT_DIR) + "/revaduvo_default_window.png";
    ASSERT_TRUE(image.save(QString::fromStdString(path)));
    const QRect inside = window->rect();
    const auto checkControls = [&] {
        for (QWidget* w : window->findChildren<QWidget*>()) {
            const bool control = qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
                                 qobject_cast<QLabel*>(w);
            if (!control || !w->isVisibleTo(window.get()) || !w->isVisible() ||
                w->window() != window.get()) {
                continue;
            }
            const QString name =
                w->objectName() + " \"" +
                (qobject_cast<QAbstractButton*>(w) ? qobject_cast<QAbstractButton*>(w)->text()
                 : qobject_cast<QLabel*>(w)        ? qobject_cast<QLabel*>(w)->text()
                                                   : QString()) +
                "\"";
            // Room for its text (a check box also for its box), and for a line.
            const auto* button = qobject_cast<QAbstractButton*>(w);
            const auto* label = qobject_cast<QLabel*>(w);
            const QString text = button ? button->text() : label ? label->text() : QString();
            const int textWidth = w->fontMetrics().horizontalAdvance(text);
            const int needed = qobject_cast<QCheckBox*>(w) ? w->sizeHint().width() : textWidth;
            EXPECT_GE(w->width(), needed) << name.toStdString() << " " << w->width();
            EXPECT_GE(w->height(), std::min(w->fontMetrics().height(), w->sizeHint().height()))
                << name.toStdString() << " " << w->height();
            // The part of it its parents show.
            QRect shown(w->mapTo(window.get(), QPoint(0, 0)), w->size());
            for (QWidget* p = w->parentWidget(); p != nullptr && p != window.get();
                 p = p->parentWidget()) {
                shown &= QRect(p->mapTo(window.get(), QPoint(0, 0)), p->size());
            }
            EXPECT_EQ(shown.size(), w->size()) << name.toStdString() << " is cut";
            EXPECT_TRUE(inside.contains(shown)) << name.toStdString();
        }
    };
    // Each page of the tabs above the chart in turn.
    auto* pages = window->findChild<QTabWidget*>("PageControl1");
    ASSERT_NE(pages, nullptr);
    for (int page = 0; page < pages->count(); ++page) {
        SCOPED_TRACE(pages->tabText(page).toStdString());
        pages->setCurrentIndex(page);
        QCoreApplication::processEvents();
        checkControls();
    }
    pages->setCurrentIndex(0);
    // The scale buttons keep clear of the vertical axis's labels.
    const QRectF plot = window->view()->chart()->plotArea();
    for (const char* caption : {"<->", "^v", "+"}) {
        QToolButton* b = nullptr;
        for (QToolButton* t : window->view()->findChildren<QToolButton*>()) {
            if (t->text() == caption) {
                b = t;
            }
        }
        ASSERT_NE(b, nullptr) << caption;
        // Above the top label of the vertical axis, which is centred on the
        // plot's top edge.
        const QRect at(b->mapTo(window->view(), QPoint(0, 0)), b->size());
        EXPECT_LE(at.bottom(), plot.top() - b->fontMetrics().height() / 2.0) << caption;
    }
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

// Spectra taken or changed since the last Save or Load are not dropped
// unasked: closing asks, and No keeps the window; Load asks, and No keeps
// the list; with nothing unsaved closing asks nothing.
TEST_F(MainWindowTest, CloseAndLoadAskBeforeDroppingUnsavedSpectra) {
    makeFake(4);
    window->TimerDevTimer();
    getSpectra(1);
    answerYes = false;
    window->close();
    EXPECT_TRUE(window->isVisible());
    fileName = QString::fromStdString(dir.file("one.bspec"));
    window->meSaveClick();
    getSpectra(1);
    window->meLoadClick();
    EXPECT_EQ(window->spectrumCount(), 2);
    EXPECT_EQ(questions.size(), 2u);
    answerYes = true;
    window->meLoadClick();
    EXPECT_EQ(window->spectrumCount(), 1);
    EXPECT_TRUE(window->FormCloseQuery());
    EXPECT_EQ(questions.size(), 3u);
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
        // Scope: one point per pixel, the last one the last pixel's value.
        ASSERT_EQ(storedPoints(i), 1044);
        EXPECT_EQ(window->view()->storedSeries(i)->at(1043).y(), d.values[1043]);
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
    EXPECT_EQ(storedPoints(0), 5000);
    EXPECT_EQ(device.acquisitions, 1);
}

// --- display kinds ------------------------------------------------------------

TEST_F(MainWindowTest, DisplayKindButtonsRedraw) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(2);
    clickButton("Irradiance");
    EXPECT_EQ(window->displayKind(), kIrradiance);
    EXPECT_EQ(storedPoints(0), 1044);
    EXPECT_EQ(window->view()->storedSeries(1)->at(10), QPointF(405.0, 2010.0));
    // A disabled kind does nothing.
    clickButton("Absorbance");
    EXPECT_EQ(window->displayKind(), kIrradiance);
    clickButton("Scope");
    EXPECT_EQ(window->displayKind(), kScope);
    EXPECT_EQ(storedPoints(0), 1044);
}

TEST_F(MainWindowTest, PreviewAndStoredCheckBoxesChooseWhatIsDrawn) {
    makeFake();
    window->TimerDevTimer();
    getSpectra(2);
    EXPECT_EQ(window->view()->currentSeries()->count(), 1044);
    QTest::mouseClick(window->implicitCheckBox(), Qt::LeftButton);
    EXPECT_EQ(window->view()->currentSeries()->count(), 0);
    EXPECT_EQ(storedPoints(0), 1044);
    QTest::mouseClick(window->spectrumCheckBox(0), Qt::LeftButton);
    EXPECT_FALSE(window->spectrumCheckBox(0)->isChecked());
    EXPECT_EQ(storedPoints(0), 0);
    EXPECT_EQ(storedPoints(1), 1044);
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

// After a capture the automatic time is sent at once: what shows is what
// the device took, never more than it can take.
TEST_F(MainWindowTest, AutoIntegrationAfterACaptureShowsTheTimeTheDeviceTook) {
    FakeDevice& device = makeFake(16);
    window->TimerDevTimer();
    device.maxTime = 500;
    QTest::mouseClick(window->autoIntegrationCheckBox(), Qt::LeftButton);
    window->acCaptureExecute(); // 30 ms x 50,000 / 1,015 is beyond the limit
    EXPECT_EQ(device.integrationTime(), 500.0);
    EXPECT_EQ(window->integTimeEdit()->GetValue(), 500);
}

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
    QTest::keyClicks(window->renameEdit(), "lamp ");
    window->renameEdit()->insert("\xCE\x94"); // a key the test cannot click
    EXPECT_EQ(names()[1], "Revaduvo1");       // not before Enter
    QTest::keyClick(window->renameEdit(), Qt::Key_Return);
    EXPECT_FALSE(window->renamePanel()->isVisible());
    EXPECT_EQ(names()[1], "lamp \xCE\x94");
    expectInStep();

    // The panel stays while its entry is deleted: Enter then renames nothing.
    window->spectrumContextPopup(window->spectrumCheckBox(0), QPoint(10, 10));
    window->popupMenu()->close();
    window->rename1Click();
    window->delete1Click();
    window->renameEdit()->setText("ghost");
    QTest::keyClick(window->renameEdit(), Qt::Key_Return);
    EXPECT_EQ(names(), (std::vector<std::string>{"lamp \xCE\x94"}));
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
    EXPECT_EQ(storedPoints(2), 1044);
    window->SpeedButton1Click();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(storedPoints(i), 1044);
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

TEST_F(MainWindowTest, IntervalDialogGivesTheWindowBackHoweverItCloses) {
    makeFake(8);
    window->TimerDevTimer();
    TFmInterval* dialog = window->intervalDialog();
    window->ShowPomrak1Click();
    ASSERT_FALSE(window->isEnabled());
    QTest::keyClick(dialog, Qt::Key_Escape);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(window->isEnabled());
    window->ShowPomrak1Click();
    ASSERT_FALSE(window->isEnabled());
    dialog->close(); // the title bar's close
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_TRUE(window->isEnabled());
    EXPECT_TRUE(enabled("Get Revaduvo"));
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
    window->notesEdit()->setPlainText("\xCE\xBB = 500 nm, 5 \xE2\x82\xAC\nsample B");
    const mi::TSpecDataSet& set = window->dataSet();
    const std::vector<mi::Data> before = set.spectra;
    fileName = QString::fromStdString(dir.file("three.bspec"));
    test::writeFile(dir.file("three.bspec"), "replaced on Yes");
    window->meSaveClick();
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(questions.size(), 1u);
    ASSERT_TRUE(std::filesystem::exists(dir.file("three.bspec")));
    EXPECT_TRUE(boxes.empty());

    window->SpeedButton4Click();
    window->notesEdit()->setPlainText("other");
    getSpectra(1);
    window->meLoadClick();
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(window->dataSet().spectra, before);
    EXPECT_EQ(window->notesEdit()->toPlainText(), "\xCE\xBB = 500 nm, 5 \xE2\x82\xAC\nsample B");
    EXPECT_EQ(window->revaduvoCounter(), 0);
    expectInStep();
    EXPECT_EQ(storedPoints(2), 16);
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

// What another user may put at the name saved or exported to, in a folder
// others may write, is refused before any question: nothing reaches it and
// nothing waits on a pipe; so is the user's own read-only file. The user's
// own link in his own folder still leads.
TEST_F(MainWindowTest, SaveAndExportRefuseWhatOthersPutAtTheName) {
    makeFake(4);
    window->TimerDevTimer();
    getSpectra(1);
    window->setExportFileNameHandler([this] { return fileName; });
    const std::string shared = dir.file("shared"), at = shared + "/x", mine = dir.file("mine");
    std::filesystem::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    test::writeFile(mine, "mine");
    int reader = -1;
    const std::pair<const char*, std::function<int()>> plants[] = {
        {"link to the user's file", [&] { return ::symlink(mine.c_str(), at.c_str()); }},
        {"dangling link", [&] { return ::symlink(dir.file("made").c_str(), at.c_str()); }},
        {"pipe", [&] { return ::mkfifo(at.c_str(), 0666); }},
        {"pipe with a reader",
         [&] {
             return ::mkfifo(at.c_str(), 0666) != 0 ||
                            (reader = ::open(at.c_str(), O_RDONLY | O_NONBLOCK)) < 0
                        ? -1
                        : 0;
         }},
        {"the user's read-only file",
         [&] { return test::writeFile(at, "kept"), ::chmod(at.c_str(), 0444); }},
        {"another user's file", [&] {
             test::writeFile(at, "his");
             return ::chown(at.c_str(), platform::testing::kOtherUid, 0);
         }}};
    fileName = QString::fromStdString(at);
    ::alarm(60); // a save that waits on the pipe ends the test
    for (const auto& [what, plant] : plants) {
        struct stat before {
        }, after{};
        if (plant() != 0 || ::lstat(at.c_str(), &before) != 0) {
            continue; // another user's file is for root to make
        }
        questions.clear();
        boxes.clear();
        window->meSaveClick();
        window->ExportAll1Click();
        EXPECT_TRUE(questions.empty()) << what;
        EXPECT_EQ(boxes.size(), 2u) << what;
        EXPECT_EQ(test::readFile(mine), "mine") << what;
        EXPECT_FALSE(std::filesystem::exists(dir.file("made"))) << what;
        ASSERT_EQ(::lstat(at.c_str(), &after), 0) << what;
        EXPECT_TRUE(after.st_ino == before.st_ino && after.st_size == before.st_size) << what;
        char c = 0;
        EXPECT_TRUE(reader < 0 || ::read(reader, &c, 1) <= 0) << what;
        ::close(std::exchange(reader, -1));
        ::unlink(at.c_str());
    }
    ::alarm(0);
    const std::string link = dir.file("link");
    std::filesystem::create_symlink(mine, link);
    fileName = QString::fromStdString(link);
    window->ExportAll1Click();
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(test::readFile(mine).rfind("Date: ", 0), 0u);
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
    EXPECT_EQ(storedPoints(0), 10);
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

// Starts the command as another program would; its standard error into
// `errors` when given, as the other user of the tests when asked (root only).
// Its process.
pid_t startSpectStart(const std::string& errors = {}, bool other = false) {
    char path[] = REVADUVO_SPECTSTART;
    char* argv[] = {path, nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only calls that are safe between fork and exec.
        const int fd =
            errors.empty() ? 2 : ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::dup2(fd, 2) < 0 || (other && !platform::testing::becomeOtherUser())) {
            ::_exit(126);
        }
        ::execve(path, argv, environ);
        ::_exit(127);
    }
    return pid;
}

// The command's exit status, with the event loop going meanwhile so that the
// window can answer; -1 when it did not run or did not end within `limitMs`.
int waitSpectStart(pid_t pid, int limitMs = 20000) {
    if (pid < 0) {
        return -1;
    }
    QElapsedTimer waited;
    waited.start();
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (waited.elapsed() > limitMs) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runSpectStart(const std::string& errors = {}, bool other = false) {
    return waitSpectStart(startSpectStart(errors, other));
}

// A sender that sends "SpectStart" to `path` and goes without waiting for
// the answer, as a command that was stopped.
bool sendSpectStartAndGo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool sent = fd >= 0 &&
                      ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                      ::write(fd, "SpectStart\n", 11) == 11;
    ::close(fd);
    return sent;
}

TEST_F(MainWindowTest, SpectStartFromAnotherProgramTakesASpectrum) {
    makeFake();
    window->TimerDevTimer();
    ASSERT_TRUE(window->spectStartServer()->isListening());
    EXPECT_EQ(runSpectStart(), 0);
    QTRY_COMPARE(window->spectrumCount(), 1);
    EXPECT_EQ(names(), (std::vector<std::string>{"Revaduvo0"}));
}

// A request the program drops says why; once idle, the command returns with
// the spectrum taken.
TEST_F(MainWindowTest, SpectStartWhileDisabledIsHandledAndDropped) {
    FakeDevice& device = makeFake(1044, 2);
    window->TimerDevTimer();
    QEvent event(static_cast<QEvent::Type>(spectStartMessage()));
    EXPECT_TRUE(QCoreApplication::sendEvent(qApp, &event));
    EXPECT_EQ(device.acquisitions, 0);
    const std::string errors = dir.file("errors");
    EXPECT_EQ(runSpectStart(errors), 3);
    EXPECT_NE(test::readFile(errors).find("no spectrometer open"), std::string::npos);
    EXPECT_EQ(device.acquisitions, 0);

    window->TimerDevTimer();
    window->setRunCountHandler([] { return 0; }); // endless
    window->acRunExecute();
    EXPECT_EQ(runSpectStart(errors), 3);
    EXPECT_NE(test::readFile(errors).find("Revaduvo is busy"), std::string::npos)
        << test::readFile(errors);
    window->btStopClick();
    ASSERT_TRUE(test::runEventsUntil([this] { return window->worker() == nullptr; }));
    EXPECT_EQ(window->spectrumCount(), 0);
    EXPECT_EQ(runSpectStart(), 0);
    EXPECT_EQ(names(), (std::vector<std::string>{"Revaduvo0"}));

    // A 3,000 ms Get of the window holds the requests that come meanwhile:
    // the command waits its turn and gets its spectrum; a sender that went
    // meanwhile is not served.
    pid_t command = -1;
    device.during = [&] {
        if (command < 0) {
            command = startSpectStart();
            EXPECT_TRUE(sendSpectStartAndGo(dir.file("spectstart")));
            QThread::msleep(3000);
        }
    };
    getSpectra(1);
    EXPECT_EQ(waitSpectStart(command), 0);
    QTest::qWait(100); // room for any request left over
    EXPECT_EQ(names(), (std::vector<std::string>{"Revaduvo0", "Revaduvo1", "Revaduvo2"}));

    // A failed acquisition shown in a box that nobody closes: the command
    // has its answer meanwhile.
    int inBox = -2;
    pa::setMessageBoxHandler([&](const std::string&, const std::string&, int) {
        inBox = waitSpectStart(command, 5000);
        return pa::kIdOk;
    });
    device.during = [] { pa::raiseError("no scan"); };
    command = startSpectStart(errors);
    ASSERT_TRUE(test::runEventsUntil([&] { return inBox != -2; }));
    EXPECT_EQ(inBox, 3);
    EXPECT_NE(test::readFile(errors).find("could not take the spectrum"), std::string::npos)
        << test::readFile(errors);
    EXPECT_EQ(window->spectrumCount(), 3);
}

// No socket, and one left by a program that ended: both are said plainly,
// with the path the name stands for.
TEST_F(MainWindowTest, SpectStartCommandFailsWithoutListener) {
    EXPECT_EQ(runSpectStart(), 1);
    const std::string stale = dir.file("stale");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, stale.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    // A name without a directory stands for a socket in the temporary one.
    const QString relative = QString("veldon-absent-%1").arg(::getpid());
    for (const auto& [name, path] :
         {std::pair<QString, QString>{QString::fromStdString(dir.file("spectstart")),
                                      QString::fromStdString(dir.file("spectstart"))},
          std::pair<QString, QString>{QString::fromStdString(stale), QString::fromStdString(stale)},
          std::pair<QString, QString>{relative, QDir::tempPath() + "/" + relative}}) {
        QString error;
        EXPECT_EQ(sendSpectStart(name, 2000, error), 1);
        EXPECT_EQ(error.toStdString(),
                  ("no Revaduvo of this user is running (nothing listens on " + path + ")")
                      .toStdString());
    }
    // A program that took the request on and ended before the spectrum was
    // taken: it was reached, and took none.
    ::unlink(stale.c_str());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::thread program([listener] {
        const int peer = ::accept(listener, nullptr, nullptr);
        char line[64];
        if (peer >= 0 && ::read(peer, line, sizeof line) > 0) {
            EXPECT_EQ(::write(peer, "taking\n", 7), 7);
        }
        ::close(peer);
    });
    QString error;
    EXPECT_EQ(sendSpectStart(QString::fromStdString(stale), 2000, error), 3);
    EXPECT_EQ(error.toStdString(), "Revaduvo ended before it had taken the spectrum");
    program.join();
    ::close(listener);
}

// A listener of another user that answers like the program: the command
// must not count its "ok" as a spectrum taken.
TEST_F(MainWindowTest, SpectStartCommandRefusesAListenerOfAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can make a listener of another user";
    }
    const std::string path = dir.file("spectstart");
    // Bound as root, listening as nobody: the listener's credentials are
    // those of its listen().
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_TRUE(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    platform::testing::OtherUserProcess impostor;
    const bool listening = impostor.start([fd](auto ready) {
        if (::listen(fd, 4) != 0 || !ready()) {
            return;
        }
        for (;;) {
            const int peer = ::accept(fd, nullptr, nullptr);
            char line[64];
            if (peer >= 0 && ::read(peer, line, sizeof line) > 0 && ::write(peer, "ok\n", 3) == 3) {
                ::close(peer);
            }
        }
    });
    ::close(fd);
    EXPECT_TRUE(listening);
    if (listening) {
        EXPECT_EQ(runSpectStart(), 1);
        QString error;
        EXPECT_EQ(sendSpectStart(QString::fromStdString(path), 2000, error), 1);
        EXPECT_TRUE(error.contains("not this user's")) << error.toStdString();
        // An ordinary user cannot even reach root's socket: said the same.
        const std::string errors = dir.file("errors");
        EXPECT_EQ(runSpectStart(errors, true), 1);
        EXPECT_NE(test::readFile(errors).find("not this user's Revaduvo"), std::string::npos)
            << test::readFile(errors);
    }
}

TEST_F(MainWindowTest, SpectStartSocketLivesInTheUsersRuntimeDirectory) {
    ::unsetenv("VELDON_SPECTSTART_SOCKET");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const bool hadRuntime = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    const QString inTemp = QString("veldon-revaduvo-%1").arg(::getuid());
    for (const auto& [value, expected] :
         {std::pair<const char*, QString>{"/run/user/1234", "/run/user/1234/veldon-revaduvo"},
          std::pair<const char*, QString>{"relative/dir", inTemp},
          std::pair<const char*, QString>{nullptr, inTemp}}) {
        if (value != nullptr) {
            ::setenv("XDG_RUNTIME_DIR", value, 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
        EXPECT_EQ(spectStartServerName(), expected) << (value ? value : "unset");
    }
    if (hadRuntime) {
        ::setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
    } else {
        ::unsetenv("XDG_RUNTIME_DIR");
    }
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

// Another user's pipe planted as the log: the program neither waits on it
// nor writes to it, and its main window comes up and answers "SpectStart".
TEST_F(MainWindowTest, PipePlantedAsTheLogDoesNotHoldTheProgramsStart) {
    ASSERT_EQ(::mkfifo(dir.file("logfile.log").c_str(), 0666), 0);
    char program[] = REVADUVO_PROGRAM;
    char* argv[] = {program, nullptr};
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, program, &actions, nullptr, argv, environ), 0);
    ::posix_spawn_file_actions_destroy(&actions);
    QElapsedTimer waited;
    waited.start();
    QString error;
    int answer = 1;
    bool ended = false;
    // Generous: a sanitizer build on a loaded machine starts slowly.
    while (answer == 1 && !ended && waited.elapsed() < 60000) {
        answer = sendSpectStart(QString::fromStdString(dir.file("spectstart")), 1000, error);
        ended = ::waitpid(pid, nullptr, WNOHANG) == pid;
        if (answer == 1) {
            QThread::msleep(100);
        }
    }
    // Without a board it takes no spectrum, and says so.
    EXPECT_EQ(answer, 3) << error.toStdString();
    EXPECT_FALSE(ended) << "the program ended by itself";
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

// --- the simulated board and the picture of the window -----------------------

TEST_F(MainWindowTest, ShippedSimulatedBoardGivesThreeSpectraAndScreenshot) {
    useShippedBoard();
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

// --- run data and text exports ------------------------------------------------

// The export's bytes less its date line, which is checked for its form.
std::string withoutDate(const std::string& text) {
    const std::size_t end = text.find("\r\n");
    EXPECT_EQ(text.rfind("Date: ", 0), 0u);
    EXPECT_EQ(end, std::string("Date: dd.MM.yyyy hh:mm:ss").size()) << text.substr(0, 40);
    return end == std::string::npos ? text : text.substr(end + 2);
}

std::string header(int n, const char* mode, const std::string& notes = "No Notes Yet") {
    return "Notes:\r\n" + notes +
           "LED type: none, LED intensity: 0\r\n"
           "Average number: 1\r\n"
           "Integration time: 30.000000\r\n"
           "Sensor Lenght:\t4\r\n"
           "Sensor Param  c0:\t400.000000\tc1:\t0.500000\tc2:\t0.000000\tc3:\t0.000000\r\n"
           "Number of measuring:\t" +
           std::to_string(n) + "\r\nMode: " + mode + "\r\n";
}

TEST_F(MainWindowTest, RunExportOfTwoCapturesMatchesTheLayout) {
    makeFake(4);
    window->TimerDevTimer();
    window->acCaptureExecute();
    window->acCaptureExecute();
    EXPECT_EQ(window->countText(), " Count: 2");
    window->notesEdit()->setPlainText("line 1\nline 2\n");
    fileName = QString::fromStdString(dir.file("run.txt"));
    window->setExportFileNameHandler([this] { return fileName; });
    window->exportRunData();
    EXPECT_TRUE(boxes.empty());
    const std::string expected = header(2, "SCOPE", "line 1\r\nline 2\r\n") +
                                 "Time [ms]\t0\t1\t\r\n"
                                 "------------------\r\n"
                                 "Wave Length\tRevaduvo 1\tRevaduvo 2\t\r\n"
                                 "400.000000\t1000.000000\t2000.000000\t\r\n"
                                 "400.500000\t1001.000000\t2001.000000\t\r\n"
                                 "401.000000\t1002.000000\t2002.000000\t\r\n"
                                 "401.500000\t1003.000000\t2003.000000\t\r\n";
    EXPECT_EQ(withoutDate(test::readFile(dir.file("run.txt"))), expected);

    // The integration-time "Set" empties the run: the next export has no
    // spectrum columns, and "Clear" and "Export" are no longer offered.
    QTest::mouseClick(window->findChild<QPushButton*>("SetITbtn"), Qt::LeftButton);
    EXPECT_EQ(window->runData()->count(), 0);
    window->notesEdit()->setPlainText("No Notes Yet");
    answerYes = true;
    window->exportRunData();
    EXPECT_EQ(questions.back().toStdString(),
              "warning: " + dir.file("run.txt") + " already exists.\nDo you want to replace it?");
    EXPECT_EQ(withoutDate(test::readFile(dir.file("run.txt"))),
              header(0, "SCOPE") +
                  "Time [ms]\t\r\n\r\nWave Length\t\r\n400.000000\t\r\n400.500000\t\r\n"
                  "401.000000\t\r\n401.500000\t\r\n");
    emit window->dataMenu()->aboutToShow();
    for (QAction* a : window->dataMenu()->actions()) {
        if (a->text() == "Clear" || a->text() == "Export") {
            EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
        } else if (a->text().startsWith("Export")) {
            EXPECT_TRUE(a->isEnabled()) << a->text().toStdString();
        }
    }
}

TEST_F(MainWindowTest, RunExportInTheCLocaleWhateverTheUsersLocale) {
    makeFake(4);
    window->TimerDevTimer();
    window->acCaptureExecute();
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    // A locale with a decimal comma where the machine has one.
    const bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    fileName = QString::fromStdString(dir.file("c.txt"));
    window->setExportFileNameHandler([this] { return fileName; });
    window->exportRunData();
    std::setlocale(LC_NUMERIC, saved.c_str());
    const std::string text = test::readFile(dir.file("c.txt"));
    EXPECT_NE(text.find("400.500000\t1001.000000\t\r\n"), std::string::npos) << comma;
}

TEST_F(MainWindowTest, StoredExportsConvertByDisplayKind) {
    FakeDevice& device = makeFake(4);
    window->TimerDevTimer();
    getSpectra(1);                       // 1000 + i
    window->acCaptureReferenceExecute(); // 2000 + i
    ASSERT_TRUE(window->referenceTaken());
    getSpectra(1); // 3000 + i
    (void)device;
    window->setExportFileNameHandler([this] { return fileName; });
    fileName = QString::fromStdString(dir.file("t.txt"));
    clickButton("Transmittance");
    window->ExportAll1Click();
    std::string text = withoutDate(test::readFile(dir.file("t.txt")));
    const std::string& date0 = window->dataSet().spectra[0].date;
    const std::string& date1 = window->dataSet().spectra[1].date;
    EXPECT_EQ(text, header(2, "TRANSMITTANCE") + "Time [ms]\t" + date0 + "\t" + date1 +
                        "\t\r\n------------------\r\nWave Length\tRevaduvo0\tRevaduvo1\t\r\n"
                        "400.000000\t50.000000\t150.000000\t\r\n"
                        "400.500000\t50.024988\t149.975012\t\r\n"
                        "401.000000\t50.049950\t149.950050\t\r\n"
                        "401.500000\t50.074888\t149.925112\t\r\n");

    // Absorbance: a value of a tenth of the reference is 1, zero or less NaN;
    // an entry shorter than the sensor has NaN cells; a computed entry has an
    // empty date.
    mi::TSpecDataSet set;
    set.spectra.push_back({{}, {200.0, 0.0, -5.0, 2001.5}, "mixed", ""});
    set.spectra.push_back({{}, {2000.0}, "short", "d"});
    set.saveTo(dir.file("mixed.bspec"));
    fileName = QString::fromStdString(dir.file("mixed.bspec"));
    window->meLoadClick();
    window->spectrumCheckBox(1)->setChecked(false);
    clickButton("Absorbance");
    fileName = QString::fromStdString(dir.file("a.txt"));
    window->ExportAll1Click();
    text = withoutDate(test::readFile(dir.file("a.txt")));
    EXPECT_NE(text.find("Time [ms]\t\td\t\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\n400.000000\t1.000000\t-0.000000\t\r\n"
                        "400.500000\tNaN\tNaN\t\r\n"
                        "401.000000\tNaN\tNaN\t\r\n"
                        "401.500000\t0.000325\tNaN\t\r\n"),
              std::string::npos)
        << text;
    // "Export selected": the checked entry only; none checked gives none.
    fileName = QString::fromStdString(dir.file("s.txt"));
    window->Exportselected1Click();
    text = withoutDate(test::readFile(dir.file("s.txt")));
    EXPECT_NE(text.find("Number of measuring:\t1\r\n"), std::string::npos);
    EXPECT_NE(text.find("Wave Length\tmixed\t\r\n"), std::string::npos);
    window->SpeedButton2Click();
    window->Exportselected1Click();
    text = withoutDate(test::readFile(dir.file("s.txt")));
    EXPECT_NE(text.find("Number of measuring:\t0\r\nMode: ABSORBANCE\r\nTime [ms]\t\r\n\r\n"),
              std::string::npos);
}

TEST_F(MainWindowTest, ExportThatCannotReplaceOrCreateWritesNothing) {
    makeFake(4);
    window->TimerDevTimer();
    getSpectra(1);
    window->setExportFileNameHandler([this] { return fileName; });
    test::writeFile(dir.file("keep.txt"), "mine");
    fileName = QString::fromStdString(dir.file("keep.txt"));
    answerYes = false;
    window->ExportAll1Click();
    window->meSaveClick();
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(test::readFile(dir.file("keep.txt")), "mine");
    EXPECT_TRUE(boxes.empty());
    fileName = QString::fromStdString(dir.file("no/such/dir/x.txt"));
    window->ExportAll1Click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].find("Cannot create the file"), std::string::npos) << boxes[0];
    EXPECT_FALSE(std::filesystem::exists(dir.file("no/such/dir/x.txt")));
    // Cancel in the dialog: nothing asked, nothing written.
    fileName.clear();
    window->ExportAll1Click();
    EXPECT_EQ(boxes.size(), 1u);
}

// --- captures -----------------------------------------------------------------

TEST_F(MainWindowTest, FailedReferenceAndDarkCurrentChangeNothing) {
    FakeDevice& device = makeFake(4);
    window->TimerDevTimer();
    window->acCaptureReferenceExecute();
    const std::vector<double> reference = window->referenceSpectrum();
    device.results = {false};
    window->acCaptureReferenceExecute();
    EXPECT_EQ(window->referenceSpectrum(), reference);
    EXPECT_EQ(window->runData()->reference(), reference);
    // A capture that fails adds nothing and leaves the flags clear.
    device.results = {false};
    window->acCaptureExecute();
    EXPECT_EQ(window->runData()->count(), 0);
    EXPECT_FALSE(window->captureActive());
    EXPECT_TRUE(enabled("&Capture Revaduvo"));
    window->meDarkCurrentClick();
    EXPECT_TRUE(window->darkTaken());
}

TEST_F(MainWindowTest, FailedFirstReferenceLeavesRatioKindsOff) {
    FakeDevice& device = makeFake(4);
    window->TimerDevTimer();
    device.results = {false};
    window->acCaptureReferenceExecute();
    EXPECT_FALSE(window->referenceTaken());
    EXPECT_FALSE(enabled("Absorbance"));
}

// --- arithmetic ---------------------------------------------------------------

TEST_F(MainWindowTest, ArithmeticNamesValuesAndNumbering) {
    makeFake(4);
    window->TimerDevTimer();
    getSpectra(2); // Revaduvo0 = 1000 + i, Revaduvo1 = 2000 + i
    EXPECT_EQ(window->math1()->text(), "---");
    EXPECT_FALSE(window->mathButton("-")->isEnabled());
    const auto choose = [this](int i) {
        window->spectrumContextPopup(window->spectrumCheckBox(i), QPoint(10, 10));
        window->popupMenu()->close();
        window->addtoequation11Click();
    };
    choose(0);
    choose(1);
    EXPECT_EQ(window->math1()->text(), "Revaduvo0");
    EXPECT_EQ(window->math2()->text(), "Revaduvo1");
    ASSERT_TRUE(window->mathButton("-")->isEnabled());
    window->SwapClick();
    QTest::mouseClick(window->mathButton("-"), Qt::LeftButton);
    ASSERT_EQ(names().back(), "Revaduvo1_minus_Revaduvo0");
    const mi::Data& diff = window->dataSet().spectra.back();
    // The extra value after the last pixel is 0 in both.
    EXPECT_EQ(diff.values, (std::vector<double>{1000, 1000, 1000, 1000, 0}));
    EXPECT_TRUE(diff.date.empty());
    EXPECT_EQ(window->revaduvoCounter(), 3);
    EXPECT_EQ(window->math1()->text(), "---");
    EXPECT_FALSE(window->mathButton("/")->isEnabled());
    expectInStep();

    // "+" keeps the number; A / A is 1 where A is not 0, else 0.
    choose(0);
    choose(0);
    QTest::mouseClick(window->mathButton("+"), Qt::LeftButton);
    EXPECT_EQ(names().back(), "Revaduvo0_plus_Revaduvo0");
    EXPECT_EQ(window->revaduvoCounter(), 3);
    choose(2);
    choose(2);
    QTest::mouseClick(window->mathButton("/"), Qt::LeftButton);
    EXPECT_EQ(names().back(), "Revaduvo1_minus_Revaduvo0_div_Revaduvo1_minus_Revaduvo0");
    EXPECT_EQ(window->dataSet().spectra.back().values, (std::vector<double>{1, 1, 1, 1, 0}));
    EXPECT_EQ(window->revaduvoCounter(), 4);
    getSpectra(1);
    EXPECT_EQ(names().back(), "Revaduvo4");
    expectInStep();

    // A chosen operand goes with a deleted entry.
    choose(0);
    window->spectrumContextPopup(window->spectrumCheckBox(0), QPoint(10, 10));
    window->popupMenu()->close();
    window->delete1Click();
    EXPECT_EQ(window->firstOperand(), -1);
}

TEST(SpecDataSetArithmeticTest, DivisionByZeroAndShorterOperand) {
    mi::TSpecDataSet set;
    set.spectra.push_back({{}, {6.0, 0.0, -3.0, 1.0}, "a", "x"});
    set.spectra.push_back({{}, {2.0, 0.0, std::nan(""), 0.0}, "b", "y"});
    set.spectra.push_back({{}, {1.0}, "c", "z"});
    set.div("q", 0, 1);
    EXPECT_EQ(set.spectra.back().values, (std::vector<double>{3.0, 0.0, 0.0, 0.0}));
    set.mul("m", 0, 2);
    const std::vector<double>& m = set.spectra.back().values;
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0], 6.0);
    EXPECT_TRUE(std::isnan(m[1]) && std::isnan(m[3]));
    EXPECT_THROW(set.plus("bad", 0, 9), pa::Exception);
}

TEST_F(MainWindowTest, MathGroupFoldsAndThePagesFollow) {
    makeFake();
    QGroupBox* group = window->mathGroup();
    EXPECT_EQ(group->title(), "Math");
    const auto pagesTop = [this] { return window->mathPages()->geometry().top(); };
    const int bottom = window->mathPages()->geometry().bottom();
    QTest::mouseClick(group, Qt::LeftButton, {}, QPoint(20, 5));
    EXPECT_EQ(group->title(), "Click to open Math");
    EXPECT_EQ(group->height(), 15);
    EXPECT_EQ(pagesTop(), group->geometry().bottom() + 1 + 10);
    EXPECT_EQ(window->mathPages()->geometry().bottom(), bottom);
    window->GroupBox4Click();
    EXPECT_EQ(group->title(), "Click to close Math");
    EXPECT_EQ(group->height(), 105);
    EXPECT_EQ(pagesTop(), group->geometry().bottom() + 1 + 10);
}

// --- chart scaling ------------------------------------------------------------

TEST_F(MainWindowTest, ManualRangeSetAndUnset) {
    makeFake(1044); // 400 .. 921.5 nm
    window->TimerDevTimer();
    getSpectra(1);
    window->chartPages()->setCurrentIndex(1);
    EXPECT_EQ(window->manualMinEdit()->MinValue(), 400);
    EXPECT_EQ(window->manualMaxEdit()->MaxValue(), 921);
    EXPECT_EQ(window->manualMinEdit()->GetValue(), 400);
    window->manualMinEdit()->SetValue(500);
    window->manualMaxEdit()->SetValue(600);
    QTest::mouseClick(window->manualSetButton(), Qt::LeftButton);
    EXPECT_FALSE(window->manualScaleLabel()->isHidden());
    EXPECT_TRUE(window->manualUnsetButton()->isEnabled());
    EXPECT_FALSE(window->manualSetButton()->isEnabled());
    EXPECT_EQ(window->view()->bottomRange(), std::make_pair(500.0, 600.0));
    const auto kept = window->savedVerticalRange();
    ASSERT_TRUE(kept.has_value());

    // Vertical scale within the range: spectrum 1000 + i at 500..600 nm is
    // pixels 200..400; the preview array is still zeros.
    window->implicitCheckBox()->setChecked(false);
    window->verticalScaleBtnClick();
    EXPECT_EQ(window->view()->verticalRange(), std::make_pair(1200.0, 1400.0));
    window->updateGraph();
    EXPECT_EQ(window->view()->verticalRange(), std::make_pair(1200.0, 1400.0));

    // Unset: the bottom axis stays, the vertical one scales by itself again.
    window->SpeedButton5Click();
    EXPECT_TRUE(window->manualScaleLabel()->isHidden());
    EXPECT_EQ(window->view()->bottomRange(), std::make_pair(500.0, 600.0));
    EXPECT_LT(window->view()->verticalRange().first, 1000.0 + 1);
    EXPECT_GT(window->view()->verticalRange().second, 2043.0 - 1);

    // Horizontal scale: the whole table, truncated.
    window->horizScaleBtnClick();
    EXPECT_EQ(window->view()->bottomRange(), std::make_pair(400.0, 921.0));
}

TEST_F(MainWindowTest, VerticalScaleFindsRangeByWavelengthAndLeavesAnEmptyChart) {
    FakeDevice& device = makeFake(8); // 400 .. 403.5 nm
    window->TimerDevTimer();
    window->implicitCheckBox()->setChecked(false);
    window->updateGraph();
    // Nothing to measure: the axis stays as it was.
    const auto before = window->view()->verticalRange();
    window->verticalScaleBtnClick();
    EXPECT_EQ(window->view()->verticalRange(), before);
    EXPECT_FALSE(window->savedVerticalRange().has_value());

    // Absorbance drops pixels without a value, so point i is not pixel i.
    window->acCaptureReferenceExecute(); // 1000 + i
    mi::TSpecDataSet set;
    set.spectra.push_back({{}, {0, 0, 0, 0, 100.4, 10.05, 0, 10060}, "s", ""});
    set.saveTo(dir.file("s.bspec"));
    fileName = QString::fromStdString(dir.file("s.bspec"));
    window->meLoadClick();
    clickButton("Absorbance");
    window->chartPages()->setCurrentIndex(1);
    window->manualMinEdit()->SetValue(402);
    window->manualMaxEdit()->SetValue(403);
    window->btSetClick();
    window->verticalScaleBtnClick();
    // 402.0 nm (pixel 4) and 402.5 nm (pixel 5): absorbance 1 and 2.
    const auto [low, high] = window->view()->verticalRange();
    EXPECT_NEAR(low, 1.0, 1e-9);
    EXPECT_NEAR(high, 2.0, 1e-9);
    (void)device;
}

// --- integration time ---------------------------------------------------------

TEST_F(MainWindowTest, LimitedIntegrationTimeIsShownAsInEffect) {
    FakeDevice& device = makeFake();
    window->TimerDevTimer();
    device.maxTime = 500;
    window->integTimeEdit()->SetValue(9000);
    QTest::mouseClick(window->findChild<QPushButton*>("SetITbtn"), Qt::LeftButton);
    EXPECT_EQ(device.integrationTime(), 500.0);
    EXPECT_EQ(window->integTimeEdit()->GetValue(), 500);
    EXPECT_EQ(window->paramDialog()->edTime()->GetValue(), 500);
}

// The shipped board counts 100 µs steps, so it takes every whole millisecond
// up to 6,500 as it is: the field and the dialog show that number, and only
// a time it cannot take is logged as limited.
TEST_F(MainWindowTest, EveryWholeTimeTheBoardTakesIsShownAsTyped) {
    useShippedBoard();
    make({});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    QPushButton* set = window->findChild<QPushButton*>("SetITbtn");
    log.clear();
    std::vector<int> shownOtherwise;
    for (int ms = 1; ms <= 6500; ++ms) {
        window->integTimeEdit()->SetValue(ms);
        QTest::mouseClick(set, Qt::LeftButton);
        if (window->integTimeEdit()->GetValue() != ms ||
            window->paramDialog()->edTime()->GetValue() != ms) {
            shownOtherwise.push_back(ms);
        }
    }
    EXPECT_EQ(shownOtherwise.size(), 0u)
        << "first: " << (shownOtherwise.empty() ? 0 : shownOtherwise.front());
    EXPECT_EQ(log.text().find("limited"), std::string::npos);
    window->integTimeEdit()->SetValue(9000);
    QTest::mouseClick(set, Qt::LeftButton);
    EXPECT_EQ(window->integTimeEdit()->GetValue(), 6500);
    EXPECT_NE(log.text().find("integration time limited to 6500.000000\n"), std::string::npos);
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

TEST_F(MainWindowTest, ParameterDialogShowsTheTimeInEffect) {
    FakeDevice& device = makeFake();
    window->TimerDevTimer();
    device.maxTime = 6500;
    window->paramDialog()->edTime()->SetValue(99999999);
    window->paramDialog()->btSetParamClick();
    EXPECT_EQ(device.integrationTime(), 6500.0);
    EXPECT_EQ(window->paramDialog()->edTime()->GetValue(), 6500);
    EXPECT_EQ(window->integTimeEdit()->GetValue(), 6500);
}

// The board averages at most 100 scans: the dialog shows that number, and the
// export of a spectrum taken so records it.
TEST_F(MainWindowTest, LimitedAverageNumberIsShownAndExportedAsInEffect) {
    useShippedBoard();
    make({});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    TfmParam* param = window->paramDialog();
    param->show();
    param->edTime()->SetValue(2);
    param->edAverage()->SetValue(100000);
    QTest::mouseClick(param->setButton(), Qt::LeftButton);
    EXPECT_EQ(window->device()->averageNumber(), 100);
    EXPECT_EQ(param->edAverage()->GetValue(), 100);
    EXPECT_EQ(param->edTime()->GetValue(), 2);
    EXPECT_EQ(window->integTimeEdit()->GetValue(), 2);
    ASSERT_TRUE(param->grab().toImage().save(
        QString("%1/revaduvo_parameters_limited.png").arg(REVADUVO_SCREENSHOT_DIR)));
    window->acCaptureExecute();
    ASSERT_EQ(window->runData()->count(), 1);
    fileName = QString::fromStdString(dir.file("run.txt"));
    window->setExportFileNameHandler([this] { return fileName; });
    window->exportRunData();
    const std::string text = test::readFile(dir.file("run.txt"));
    EXPECT_NE(text.find("\r\nAverage number: 100\r\nIntegration time: 2.000000\r\n"),
              std::string::npos)
        << text.substr(0, 200);
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

// A dark current and a reference hold for the time they were taken at: a
// "Set" (the main one, the dialog's or the automatic one) that changes the
// time drops both, so that nothing is corrected or divided by a spectrum of
// another time; one that keeps the time, or changes only the average number,
// keeps both; a new dark current drops the reference. The simulated light
// never goes off, so a spectrum the dark current is still subtracted from is 0.
TEST_F(MainWindowTest, DarkCurrentAndReferenceHoldOnlyForTheTimeTheyWereTakenAt) {
    useShippedBoard();
    make({});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    TfmParam* param = window->paramDialog();
    param->show();
    const auto setMain = [this](int ms) {
        window->integTimeEdit()->SetValue(ms);
        QTest::mouseClick(window->findChild<QPushButton*>("SetITbtn"), Qt::LeftButton);
    };
    const auto setDialog = [param](int ms, int average) {
        param->edTime()->SetValue(ms);
        param->edAverage()->SetValue(average);
        QTest::mouseClick(param->setButton(), Qt::LeftButton);
    };
    struct Row {
        const char* change;
        int takenAt;
        // "Auto Integration" ticked before the reference is taken; with it
        // no dark current, which would leave nothing to adjust by.
        bool automatic;
        std::function<void()> act;
        bool kept;
        bool newDark = false;
    };
    const std::vector<Row> rows = {
        {"main Set of the time in effect", 30, false, [&] { setMain(30); }, true},
        {"dialog Set of the average number only", 30, false, [&] { setDialog(30, 2); }, true},
        {"main Set of a new time", 30, false, [&] { setMain(40); }, false},
        {"dialog Set of a new time", 40, false, [&] { setDialog(30, 1); }, false},
        {"reference at 10 ms adjusted automatically", 10, true, [] {}, false},
        {"reference and capture within the band", 54, true, [&] { window->acCaptureExecute(); },
         true},
        {"dark current after the reference", 10, false, [&] { window->meDarkCurrentClick(); },
         false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.change);
        window->autoIntegrationCheckBox()->setChecked(false);
        setMain(row.takenAt);
        window->autoIntegrationCheckBox()->setChecked(row.automatic);
        if (!row.automatic) {
            window->meDarkCurrentClick();
            ASSERT_TRUE(window->darkTaken());
        }
        window->acCaptureReferenceExecute();
        clickButton("Transmittance");
        row.act();
        EXPECT_EQ(window->referenceTaken(), row.kept);
        EXPECT_EQ(enabled("Absorbance"), row.kept);
        EXPECT_EQ(enabled("Transmittance"), row.kept);
        EXPECT_TRUE(row.kept || window->displayKind() == kScope);
        const bool dark = (row.kept && !row.automatic) || row.newDark;
        EXPECT_EQ(window->darkTaken(), dark);
        if (!row.automatic) {
            window->autoIntegrationCheckBox()->setChecked(false);
            getSpectra(1);
            const std::vector<double>& values = window->dataSet().spectra.back().values;
            const double top = *std::max_element(values.begin(), values.begin() + 1024);
            EXPECT_EQ(top == 0.0, dark) << top;
            EXPECT_EQ(enabled("Transmittance"), row.kept);
            window->acCaptureReferenceExecute();
            EXPECT_TRUE(enabled("Transmittance"));
        }
    }
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

TEST_F(MainWindowTest, SimulatedBoardLimitsTheTimeAndStillMeasures) {
    useShippedBoard();
    make({});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    window->integTimeEdit()->SetValue(0);
    QTest::mouseClick(window->findChild<QPushButton*>("SetITbtn"), Qt::LeftButton);
    const double effective = window->device()->integrationTime();
    EXPECT_GT(effective, 0.0);
    EXPECT_EQ(window->integTimeEdit()->GetValue(), static_cast<int>(effective));
    getSpectra(1);
    EXPECT_EQ(window->spectrumCount(), 1);
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

TEST_F(MainWindowTest, LoadingAnotherKindOfFileNamesIt) {
    makeFake();
    test::writeFile(dir.file("notes.txt"), "Hello, these are \x01\x02 not spectra");
    fileName = QString::fromStdString(dir.file("notes.txt"));
    window->meLoadClick();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Revaduvo: \"notes.txt\" is not a spectrum file.");
    test::writeFile(dir.file("cut.bspec"), std::string("TDataList\0\x05\0", 12));
    fileName = QString::fromStdString(dir.file("cut.bspec"));
    window->meLoadClick();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1], "Revaduvo: \"cut.bspec\" is damaged or incomplete; nothing was loaded.");
}

// --- preview picture ----------------------------------------------------------

// The shipped board's front end reaches the band automatic integration aims
// at, so that the time settles there within a few spectra.
TEST_F(MainWindowTest, AutoIntegrationSettlesWithinTheBandOnTheShippedBoard) {
    useShippedBoard();
    make({});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    QTest::mouseClick(window->autoIntegrationCheckBox(), Qt::LeftButton);
    const auto top = [this] {
        const auto& v = window->currentSpectrum();
        return *std::max_element(v.begin(), v.begin() + window->device()->pixelCount());
    };
    double highest = 0;
    for (int i = 0; i < 5 && !(highest >= 40000 && highest <= 60000); ++i) {
        window->acCaptureExecute();
        highest = top();
    }
    EXPECT_GE(highest, 40000.0);
    EXPECT_LE(highest, 60000.0);
    const double settled = window->device()->integrationTime();
    window->acCaptureExecute();
    EXPECT_EQ(window->device()->integrationTime(), settled);
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

// "Get Revaduvo" leaves the current spectrum as it is: the time follows the
// spectra it takes, each judged once at the time it was taken with.
TEST_F(MainWindowTest, AutoIntegrationFollowsTheSpectraOfGetRevaduvo) {
    useShippedBoard();
    make({});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    window->acCaptureReferenceExecute(); // the current spectrum: 30 ms, below the band
    clickButton("Transmittance");
    QTest::mouseClick(window->autoIntegrationCheckBox(), Qt::LeftButton);
    std::vector<double> times;
    for (int i = 0; i < 3; ++i) {
        getSpectra(1);
        times.push_back(window->device()->integrationTime());
        if (i == 0) {
            // The new time dropped the reference: drawn again, in counts.
            EXPECT_GT(window->view()->storedSeries(0)->at(512).y(), 1000.0);
            // A redraw of the spectrum just judged.
            window->setDisplayKind(kScope);
            EXPECT_EQ(window->device()->integrationTime(), times[0]);
        }
    }
    ASSERT_EQ(window->spectrumCount(), 3);
    const std::vector<double>& last = window->dataSet().spectra.back().values;
    const double top = *std::max_element(last.begin(), last.begin() + 1024);
    EXPECT_GE(top, 40000.0);
    EXPECT_LE(top, 60000.0);
    EXPECT_EQ(times[1], times[0]);
    EXPECT_EQ(times[2], times[0]);
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

// A spectrum taken while "Auto Integration" was unticked is not judged: the
// time set after ticking it stays until a spectrum of its own is judged.
TEST_F(MainWindowTest, AutoIntegrationJudgesNoSpectrumTakenWhileUnticked) {
    useShippedBoard();
    make({});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    QPushButton* set = window->findChild<QPushButton*>("SetITbtn");
    window->integTimeEdit()->SetValue(4000);
    QTest::mouseClick(set, Qt::LeftButton);
    getSpectra(1); // saturated
    QTest::mouseClick(window->autoIntegrationCheckBox(), Qt::LeftButton);
    window->integTimeEdit()->SetValue(300);
    QTest::mouseClick(set, Qt::LeftButton);
    EXPECT_EQ(window->device()->integrationTime(), 300.0);
    EXPECT_EQ(window->integTimeEdit()->GetValue(), 300);
    getSpectra(1); // saturated as well, and judged at its own 300 ms
    EXPECT_EQ(window->integTimeEdit()->GetValue(), 300 * 50000 / 65535);
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

TEST_F(MainWindowTest, PreviewOnTheShippedBoardShowsLiveSpectrumCountAndSpeed) {
    useShippedBoard();
    make({});
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    window->acPreviewExecute();
    QElapsedTimer waited;
    waited.start();
    while ((window->countText().mid(8).toInt() < 5 || window->speedText().isEmpty()) &&
           waited.elapsed() < 20000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    EXPECT_TRUE(window->previewActive());
    EXPECT_TRUE(window->speedText().startsWith(" Speed: ")) << window->speedText().toStdString();
    EXPECT_TRUE(window->speedText().endsWith(" spc/s"));
    EXPECT_GT(window->view()->currentSeries()->count(), 1000);
    QCoreApplication::processEvents();
    const QImage image = window->grab().toImage();
    const std::string path = std::string(REVADUVO_SCREENSHOT_DIR) + "/revaduvo_preview.png";
    EXPECT_TRUE(image.save(QString::fromStdString(path)));
    window->btStopClick();
    while ((window->previewActive() || window->worker() != nullptr) && waited.elapsed() < 40000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    EXPECT_FALSE(window->previewActive());
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

} // namespace
} // namespace spectrum
