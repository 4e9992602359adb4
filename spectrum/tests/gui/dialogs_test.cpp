// The main window's dialogs and light channels driven as a user drives them:
// what reaches the device, what spectrum.ini holds after closing, and the
// pictures of each.

#include "fake_device.h"
#include "fmmain.h"
#include "settings.h"
#include "spectrum_test_support.h"
#include "tarvikbinding.h"

#include "pa/forms.h"
#include "pa/lmedit.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "platform/ini_file.h"
#include "sim/board_registry.h"

#include "../../../platform/tests/other_user.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace spectrum {
namespace {

using test::FakeDevice;
using Bytes = std::vector<std::uint8_t>;

class DialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::startApplication(); }
    static void TearDownTestSuite() { test::endApplication(); }

    void SetUp() override {
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
             {"VELDON_SPECTSTART_SOCKET", "VELDON_SIMULATION", "VELDON_MACHINE_CONFIG",
              "VELDON_USER_CONFIG", "VELDON_USB_REAL", "VELDON_DRIVER_PATH"}) {
            ::unsetenv(name);
        }
    }

    // A window on a fake device, opened by one tick.
    FakeDevice& makeFake(int pixels = 1044) {
        auto owned = std::make_unique<FakeDevice>(pixels, 1);
        FakeDevice& fake = *owned;
        window = std::make_unique<TfmMain>(QStringList{}, std::move(owned));
        window->devTimer()->stop();
        window->resize(1100, 700);
        window->show();
        window->TimerDevTimer();
        return fake;
    }

    void writeSettings(const std::string& text) { test::writeFile(settingsPath().string(), text); }

    int stored(const char* section, const char* key) const {
        return platform::getPrivateProfileInt(section, key, -99, settingsPath());
    }

    void screenshot(QWidget* widget, const char* name) {
        QCoreApplication::processEvents();
        const QImage image = widget->grab().toImage();
        ASSERT_FALSE(image.isNull());
        ASSERT_TRUE(image.save(QString("%1/%2.png").arg(REVADUVO_SCREENSHOT_DIR).arg(name)));
    }

    static void typeInto(pa::TNumEdit* edit, const QString& text) {
        edit->selectAll();
        QTest::keyClicks(edit, text);
    }

    // The user tabs away from the edit.
    static void leave(QWidget* edit) {
        QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
        QCoreApplication::sendEvent(edit, &out);
    }

    test::TempDir dir{"dialogs"};
    std::unique_ptr<TfmMain> window;
    pa::TMessageBoxHandler previousBox;
    std::vector<std::string> boxes;
};

// --- parameter dialog ----------------------------------------------------------

TEST_F(DialogTest, SetHandsEveryWorkModeAndTheNumbersToTheDevice) {
    FakeDevice& device = makeFake();
    TfmParam* param = window->paramDialog();
    param->edTime()->SetValue(45);
    param->edAverage()->SetValue(3);
    for (int index = 0; index < param->workModeBox()->count(); ++index) {
        param->workModeBox()->setCurrentIndex(index);
        QTest::mouseClick(param->setButton(), Qt::LeftButton);
        EXPECT_EQ(device.workMode(), TfmParam::kWorkModes[index])
            << param->workModeBox()->itemText(index).toStdString();
    }
    EXPECT_EQ(param->workModeBox()->itemText(7), "Get Buffered Scan");
    EXPECT_EQ(device.integrationTime(), 45.0);
    EXPECT_EQ(device.averageNumber(), 3);
    EXPECT_EQ(window->integTimeEdit()->GetValue(), 45);
    EXPECT_FALSE(device.parametersApplied());
}

TEST_F(DialogTest, OnlyANewTimeInvalidatesDarkCurrentAndReference) {
    makeFake();
    window->meDarkCurrentClick();
    window->acCaptureReferenceExecute();
    window->setDisplayKind(kAbsorbance);
    window->acCaptureExecute();
    ASSERT_EQ(window->runData()->count(), 1);
    TfmParam* param = window->paramDialog();
    param->edAverage()->SetValue(4);
    param->btSetParamClick();
    EXPECT_TRUE(window->darkTaken());
    EXPECT_TRUE(window->referenceTaken());
    EXPECT_EQ(window->displayKind(), kScope);
    EXPECT_EQ(window->runData()->count(), 0);
    param->edTime()->SetValue(31);
    param->btSetParamClick();
    EXPECT_FALSE(window->darkTaken());
    EXPECT_FALSE(window->referenceTaken());
    EXPECT_FALSE(window->action("Absorbance")->isEnabled());
}

TEST_F(DialogTest, ListChoicesAreRememberedAndABadIndexSelectsNothing) {
    writeSettings("[history]\r\nSensorMode=4\r\nSynchroMode=7\r\n");
    FakeDevice& device = makeFake();
    TfmParam* param = window->paramDialog();
    EXPECT_EQ(param->workModeBox()->currentText(), "External Trigger Slope");
    EXPECT_EQ(param->synchroBox()->currentIndex(), -1);
    // The tick pressed "Set": no synchronisation.
    EXPECT_EQ(device.workMode(), 4);
    EXPECT_FALSE(device.synchronisation());

    window.reset();
    writeSettings("[history]\r\nSensorMode=10\r\nSynchroMode=1\r\n");
    FakeDevice& second = makeFake();
    EXPECT_EQ(window->paramDialog()->workModeBox()->currentIndex(), 0);
    EXPECT_EQ(second.workMode(), 3);
    EXPECT_TRUE(second.synchronisation());
    window->paramDialog()->workModeBox()->setCurrentIndex(8);
    window.reset();
    EXPECT_EQ(stored("history", "SensorMode"), 8);
    EXPECT_EQ(stored("history", "SynchroMode"), 1);
}

// Another user swaps the settings' folder, which lies in a folder everyone
// may write, for a folder of his own: the dialogs keep their defaults, nothing
// is made or written there, and the log says why.
TEST_F(DialogTest, SettingsUnderAFolderAnotherUserMayChangeAreNeitherReadNorWritten) {
    const std::string lab = dir.file("lab"), box = lab + "/box";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0711) | ::mkdir(lab.c_str(), 0777) |
                  ::chmod(lab.c_str(), 0777) | ::mkdir(box.c_str(), 0700),
              0);
    ::setenv("VELDON_REVADUVO_DIR", (box + "/revaduvo").c_str(), 1);
    ASSERT_EQ(platform::testing::runInChild(
                  [&] { return platform::testing::swapFolder(box, lab + "/moved", ""); }),
              1);
    test::LogCapture log;
    makeFake();
    window->paramDialog()->workModeBox()->setCurrentIndex(8);
    window.reset();
    EXPECT_TRUE(std::filesystem::is_empty(box));
    const std::string shared = std::filesystem::canonical(lab).string();
    EXPECT_NE(log.text().find("cannot write SensorMode: " + shared +
                              " can be written by others; chmod o-w " + shared),
              std::string::npos)
        << log.text();
}

// The folders made for the settings are the user's alone, also under a umask
// of 002, and the settings are kept there.
TEST_F(DialogTest, SettingsFoldersMadeUnderAUmaskOf002AreTheUsersAlone) {
    const std::string made = dir.file("config"), settings = made + "/revaduvo";
    ::setenv("VELDON_REVADUVO_DIR", settings.c_str(), 1);
    const mode_t mask = ::umask(002);
    writeSetting("history", "SensorMode", 4);
    ::umask(mask);
    EXPECT_EQ(readSetting("history", "SensorMode", 0), 4);
    struct stat first {};
    struct stat second {};
    ASSERT_EQ(::stat(made.c_str(), &first) | ::stat(settings.c_str(), &second), 0);
    EXPECT_EQ((first.st_mode | second.st_mode) & 07777, 0700u);
}

TEST_F(DialogTest, SynchronisationWaitsForInputOneAndKeepsTheWindowWorking) {
    // The waits between reads pass on a virtual clock.
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    FakeDevice& device = makeFake(8);
    window->paramDialog()->synchroBox()->setCurrentIndex(1);
    window->paramDialog()->btSetParamClick();
    bool stepRan = false;
    device.input = [&](int index) {
        EXPECT_EQ(index, 1);
        // Events of the window run during the wait.
        QTimer::singleShot(0, [&] { stepRan = true; });
        return device.inputReads >= 4 ? 1 : 0;
    };
    window->btGetSpectrumClick();
    EXPECT_EQ(window->spectrumCount(), 1);
    EXPECT_EQ(device.inputReads, 5); // four waiting, the last read once more
    EXPECT_TRUE(stepRan);

    // "Stop" pressed during the wait drops the acquisition.
    device.inputReads = 0;
    device.input = [&](int) {
        if (device.inputReads == 2) {
            QTimer::singleShot(0, [&] { window->toolButton("Stop")->click(); });
        }
        return 0;
    };
    window->btGetSpectrumClick();
    EXPECT_EQ(window->spectrumCount(), 1);
    EXPECT_EQ(window->revaduvoCounter(), 1);
    EXPECT_FALSE(window->captureActive());
    EXPECT_FALSE(device.stopRequested());
}

TEST_F(DialogTest, ClosingDuringAWaitingCaptureClosesAfterIt) {
    platform::VirtualClock clock;
    platform::ScopedClock scoped(clock);
    FakeDevice& device = makeFake(8);
    window->paramDialog()->synchroBox()->setCurrentIndex(1);
    window->paramDialog()->btSetParamClick();
    bool closedInside = true;
    device.input = [&](int) {
        if (device.inputReads == 2) {
            QTimer::singleShot(0, [&] { window->close(); });
        }
        if (device.inputReads == 3) {
            closedInside = !window->isVisible();
        }
        return 0;
    };
    window->acCaptureExecute();
    EXPECT_FALSE(closedInside);
    EXPECT_EQ(window->runData()->count(), 0);
    EXPECT_TRUE(window->isVisible());
    QTest::qWait(0);
    QCoreApplication::processEvents();
    EXPECT_FALSE(window->isVisible());
}

// --- digital lines ---------------------------------------------------------------

TEST_F(DialogTest, DigitalDialogSwitchesReadsAndRemembersTheSource) {
    auto owned = std::make_unique<FakeDevice>(16, 1);
    FakeDevice& device = *owned;
    window = std::make_unique<TfmMain>(QStringList{}, std::move(owned));
    window->devTimer()->stop();
    TfmDigital* digital = window->digitalDialog();
    // Chosen before the device opened: sent when it opens.
    digital->sourceButton(1)->click();
    EXPECT_TRUE(device.sources.empty());
    window->TimerDevTimer();
    EXPECT_EQ(device.sources, std::vector<int>{1});

    digital->outputBox(2)->click();
    digital->outputBox(3)->click();
    digital->outputBox(2)->click();
    EXPECT_EQ(device.outputs, (std::vector<std::pair<int, int>>{{2, 1}, {3, 1}, {2, 0}}));

    device.input = [](int index) { return index == 2 ? 1 : 0; };
    digital->readButton()->click();
    EXPECT_EQ(digital->inputLabel(1)->text(), "Digital Input 1 = 0");
    EXPECT_EQ(digital->inputLabel(2)->text(), "Digital Input 2 = 1");
    EXPECT_EQ(digital->inputLabel(3)->text(), "Digital Input 3 = 0");

    QAction* entry = window->action("Digital Input/Output");
    entry->trigger();
    EXPECT_TRUE(digital->isVisible());
    EXPECT_TRUE(digital->windowFlags() & Qt::WindowStaysOnTopHint);
    screenshot(digital, "revaduvo_digital_dialog");
    digital->close();
    EXPECT_FALSE(entry->isChecked());
    window.reset();
    EXPECT_EQ(stored("history", "InputSource"), 1);
}

// --- graph parameters -------------------------------------------------------------

TEST_F(DialogTest, GraphRangeIsClampedToTheTableAndSet) {
    makeFake(962); // wavelengths 400 .. 880.5
    window->action("Device Parameters")->trigger();
    window->action("Graph Paremeters")->trigger();
    TfmGraphParam* graph = window->graphParamDialog();
    ASSERT_TRUE(graph->isVisible());
    EXPECT_EQ(graph->edMin()->MinValue(), 400);
    EXPECT_EQ(graph->edMax()->MaxValue(), 880);
    EXPECT_EQ(graph->x() + graph->frameGeometry().width(), window->paramDialog()->x());
    typeInto(graph->edMin(), "900");
    leave(graph->edMin());
    EXPECT_EQ(graph->edMin()->text(), "880");

    // A minimum above the maximum is refused and nothing changes.
    graph->edMax()->SetValue(500);
    QTest::keyClick(graph->edMax(), Qt::Key_Return);
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(graph->isVisible());
    EXPECT_TRUE(window->manualScaleLabel()->isHidden());

    graph->edMin()->SetValue(450);
    QTest::keyClick(graph->edMax(), Qt::Key_Return);
    EXPECT_FALSE(graph->isVisible());
    EXPECT_FALSE(window->action("Graph Paremeters")->isChecked());
    EXPECT_FALSE(window->manualScaleLabel()->isHidden());
    EXPECT_EQ(window->view()->bottomRange(), std::make_pair(450.0, 500.0));

    window->action("Graph Paremeters")->trigger();
    EXPECT_EQ(graph->edMin()->GetValue(), 450);
    screenshot(graph, "revaduvo_graph_dialog");
    graph->fullRangeButton()->click();
    EXPECT_EQ(window->view()->bottomRange(), std::make_pair(400.0, 880.0));
}

TEST_F(DialogTest, ParameterDialogOpensAtTheRightEdgeAndShowsItself) {
    makeFake();
    QAction* entry = window->action("Device Parameters");
    entry->trigger();
    TfmParam* param = window->paramDialog();
    ASSERT_TRUE(param->isVisible());
    EXPECT_EQ(param->frameGeometry().right(), window->frameGeometry().right());
    EXPECT_TRUE(param->parameterGroup()->isEnabled());
    screenshot(param, "revaduvo_parameter_dialog");
    entry->trigger();
    EXPECT_FALSE(param->isVisible());
}

// --- light channels --------------------------------------------------------------

TEST_F(DialogTest, LedChannelsWriteTheirTenBitsAsTheModulesTakeThem) {
    FakeDevice& device = makeFake();
    struct Step {
        int channel;
        const char* action; // "tick", "untick", or a track position
        int position;
        Bytes written;
    };
    const Step steps[] = {
        {1, "position", 1023, {0x9C, 0x10, 0x00, 0x00}}, // unticked: 0
        {1, "tick", 0, {0x9C, 0x10, 0xFF, 0xC0}},
        {1, "position", 1, {0x9C, 0x10, 0x00, 0x40}},
        {4, "tick", 0, {0x9C, 0x16, 0x00, 0x00}},
        {5, "tick", 0, {0x9E, 0x10, 0x00, 0x00}},
        {6, "tick", 0, {0x9E, 0x12, 0x00, 0x00}},
        {6, "position", 514, {0x9E, 0x12, 0x80, 0x80}},
        {6, "untick", 0, {0x9E, 0x12, 0x00, 0x00}},
    };
    for (const Step& s : steps) {
        TLightControl* light = window->lightControl(s.channel);
        device.writes.clear();
        if (std::string(s.action) == "position") {
            light->track()->setValue(s.position);
        } else {
            light->box()->click();
        }
        ASSERT_EQ(device.writes.size(), 1u) << s.channel << " " << s.action;
        EXPECT_EQ(device.writes[0], s.written) << s.channel << " " << s.action;
    }
    EXPECT_EQ(window->lightControl(6)->track()->value(), 514);

    // Percent and position follow each other; the percentage stays in range.
    TLightControl* light = window->lightControl(2);
    light->track()->setValue(512);
    EXPECT_EQ(light->percent()->GetValue(), 50);
    typeInto(light->percent(), "50");
    QTest::keyClick(light->percent(), Qt::Key_Return);
    EXPECT_EQ(light->track()->value(), 511);
    typeInto(light->percent(), "150");
    QTest::keyClick(light->percent(), Qt::Key_Return);
    EXPECT_EQ(light->track()->value(), 1023);
    EXPECT_EQ(light->percent()->GetValue(), 100);
}

TEST_F(DialogTest, LightsPageSwitchesDimsAndTakesItsCaptionsFromTheSettings) {
    writeSettings("[Digital]\r\nChannel1=Halogen\r\nChannel2=Deuterium\r\nChannel4=D\r\n"
                  "Channel5=E\r\nChannel6=F\r\nChannel7=G\r\nChannel8=H\r\nChannel3=\r\n");
    FakeDevice& device = makeFake();
    EXPECT_EQ(window->lightsBox(1)->text(), "Halogen");
    EXPECT_FALSE(window->lightsBox(3)->isEnabled());
    EXPECT_EQ(window->lightsBox(3)->text(), "Channel 3");
    EXPECT_EQ(window->lightText(), "none");

    window->lightsBox(1)->click();
    window->lightsBox(3)->setChecked(true); // disabled: not clickable
    window->lightsBox(2)->click();
    window->lightsBox(2)->click();
    ASSERT_EQ(device.writes.size(), 3u);
    EXPECT_EQ(device.writes[0], (Bytes{0x4E, 0x4E, 0x01}));
    EXPECT_EQ(device.writes[2], (Bytes{0x4E, 0x4E, 0x05}));
    EXPECT_EQ(window->lightText(), "Deuterium");
    for (int n = 4; n <= 8; ++n) {
        window->lightsBox(n)->click();
    }
    window->lightsBox(2)->click();
    EXPECT_EQ(device.writes.back(), (Bytes{0x4E, 0x4E, 0xFF}));

    device.writes.clear();
    window->intensityTrack()->setValue(0);
    EXPECT_EQ(device.writes, std::vector<Bytes>{(Bytes{0x1C, 0x0F, 0xFC})});
    EXPECT_EQ(window->intensityLabel()->text(), "1023");

    // The master switch goes to digital output 1 of the device.
    window->masterSwitch()->click();
    EXPECT_EQ(device.outputs, (std::vector<std::pair<int, int>>{{1, 1}}));
    window->chartPages()->setCurrentIndex(0);
    screenshot(window.get(), "revaduvo_lights_page");
    window->chartPages()->setCurrentIndex(2);
    window->lightControl(3)->track()->setValue(700);
    screenshot(window.get(), "revaduvo_exlights_page");
}

// The bytes reach the light modules on the shipped simulated board exactly.
TEST_F(DialogTest, ShippedBoardTakesTheLightWritesOnItsBus) {
    ::setenv("VELDON_MACHINE_CONFIG", dir.file("machine").c_str(), 1);
    ::setenv("VELDON_USER_CONFIG", dir.file("user").c_str(), 1);
    ::setenv("VELDON_USB_REAL", "0", 1);
    ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
    ::setenv("VELDON_SIMULATION", test::setupWithoutWallTime(REVADUVO_SIM_DEFAULT, dir).c_str(), 1);
    writeSettings("[Digital]\r\nChannel1=A\r\nChannel2=B\r\n");
    window = std::make_unique<TfmMain>(QStringList{});
    window->devTimer()->stop();
    window->TimerDevTimer();
    ASSERT_EQ(window->statusText(), "Opened");
    window->lightControl(1)->box()->click();
    window->lightControl(1)->track()->setValue(1023);
    window->lightControl(5)->box()->click();
    window->lightControl(5)->track()->setValue(1);
    window->lightsBox(2)->click();
    window->intensityTrack()->setValue(0);
    const auto board = sim::BoardRegistry::instance().findUsbBoard("demo");
    ASSERT_NE(board, nullptr);
    const auto writes = [&](std::uint8_t address) {
        return board->withI2cBus([&](sim::I2cBus& bus) {
            const auto* recorder = bus.device<sim::I2cRecorder>(address);
            return recorder != nullptr ? recorder->writes() : std::vector<Bytes>{{0xEE}};
        });
    };
    EXPECT_EQ(writes(0x9C), (std::vector<Bytes>{{0x10, 0x00, 0x00}, {0x10, 0xFF, 0xC0}}));
    EXPECT_EQ(writes(0x9E), (std::vector<Bytes>{{0x10, 0x00, 0x00}, {0x10, 0x00, 0x40}}));
    EXPECT_EQ(writes(0x4E), (std::vector<Bytes>{{0x4E, 0x02}}));
    EXPECT_EQ(writes(0x1C), (std::vector<Bytes>{{0x0F, 0xFC}}));
    EXPECT_EQ(window->windowTitle(), "Revaduvo");
    window.reset();
    KORAL_CloseOperationElectronics(1);
    EXPECT_TRUE(platform::shutdownDevices());
}

} // namespace
} // namespace spectrum
