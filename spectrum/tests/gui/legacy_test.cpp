// The legacy measurement page ("old") on the shipped simulated USB board: the
// watch opens the connection, single and continuous spectra, the continuous
// file, and the digital lines.

#include "fmmain.h"
#include "spectrum_test_support.h"

#include "pa/forms.h"
#include "pa/lmedit.h"
#include "platform/device.h"
#include "sim/board_registry.h"
#include "tarvik.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>

namespace spectrum {
namespace {

class LegacyPageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::startApplication(); }
    static void TearDownTestSuite() { test::endApplication(); }

    void SetUp() override {
        ::setenv("VELDON_MACHINE_CONFIG", dir.file("machine").c_str(), 1);
        ::setenv("VELDON_USER_CONFIG", dir.file("user").c_str(), 1);
        ::setenv("VELDON_USB_REAL", "0", 1);
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SPECTSTART_SOCKET", dir.file("spectstart").c_str(), 1);
        ::setenv("VELDON_REVADUVO_DIR", dir.path().c_str(), 1);
        ::setenv("VELDON_SIMULATION", test::setupWithoutWallTime(REVADUVO_SIM_DEFAULT, dir).c_str(),
                 1);
        previousBox = pa::setMessageBoxHandler(
            [this](const std::string& text, const std::string& caption, int) {
                boxes.push_back(caption + ": " + text);
                return pa::kIdOk;
            });
        window = std::make_unique<TfmMain>(QStringList{"old"});
        window->resize(1100, 700);
        window->show();
        page = window->legacyPage();
        page->setSaveFileHandler([this](const QString&) { return chosen; });
    }

    void TearDown() override {
        // The page closes its connection.
        window.reset();
        EXPECT_TRUE(platform::shutdownDevices());
        pa::setMessageBoxHandler(previousBox);
        for (const char* name :
             {"VELDON_MACHINE_CONFIG", "VELDON_USER_CONFIG", "VELDON_USB_REAL",
              "VELDON_DRIVER_PATH", "VELDON_SPECTSTART_SOCKET", "VELDON_SIMULATION"}) {
            ::unsetenv(name);
        }
    }

    static bool until(const std::function<bool()>& done) { return test::runEventsUntil(done); }

    // The watch opened and initialised the board and read its sensor.
    bool opened() {
        return until([this] { return page->connectionOpen() && page->pixelCount() == 1024; });
    }

    int count() const { return window->countText().mid(8).toInt(); }

    test::TempDir dir{"legacy"};
    std::unique_ptr<TfmMain> window;
    TLegacyPage* page = nullptr;
    QString chosen;
    pa::TMessageBoxHandler previousBox;
    std::vector<std::string> boxes;
};

TEST_F(LegacyPageTest, SingleAndContinuousSpectraFromTheShippedBoard) {
    EXPECT_FALSE(window->pages()->isTabVisible(0));
    ASSERT_TRUE(opened());
    EXPECT_EQ(window->statusText(), "Opened");
    EXPECT_TRUE(page->button("Get")->isEnabled());
    EXPECT_FALSE(page->button("Stop")->isEnabled());
    // The sensor's formula: A = c2, B = c1, C = c0.
    // (The EEPROM keeps them in single precision.)
    EXPECT_NEAR(static_cast<double>(page->coefficientEdit('A')->GetValue()), 0.00002, 1e-11);
    EXPECT_NEAR(static_cast<double>(page->coefficientEdit('B')->GetValue()), 0.45, 1e-7);
    EXPECT_NEAR(static_cast<double>(page->coefficientEdit('C')->GetValue()), 350.0, 1e-5);
    EXPECT_TRUE(page->fileName().endsWith("/testspec.txt"));

    page->GetClick();
    ASSERT_EQ(page->spectrum().size(), 1024u);
    ASSERT_EQ(page->series()->count(), 1024);
    EXPECT_FLOAT_EQ(static_cast<float>(page->series()->at(1023).x()),
                    static_cast<float>(350 + 0.45 * 1023 + 0.00002 * 1023 * 1023));
    EXPECT_GT(*std::max_element(page->spectrum().begin(), page->spectrum().end()), 600.0);
    QCoreApplication::processEvents();
    const QImage image = window->grab().toImage();
    ASSERT_TRUE(image.save(QString("%1/revaduvo_legacy_page.png").arg(REVADUVO_SCREENSHOT_DIR)));

    // With dark current the board's dark level of 500 counts is gone.
    const double darkPixel = page->spectrum().front();
    EXPECT_GT(darkPixel, 400.0);
    page->useDarkBox()->click();
    const std::uint32_t handle = page->rawDataHandle();
    EXPECT_NE(handle, 0u);
    page->GetClick();
    EXPECT_LT(std::abs(page->spectrum().front()), 50.0);
    page->useDarkBox()->click(); // a fresh record without dark current
    page->GetClick();
    EXPECT_NEAR(page->spectrum().front(), darkPixel, 50.0);

    chosen = QString::fromStdString(dir.file("run.txt"));
    page->button("Select File")->click();
    EXPECT_EQ(page->fileLabel()->text(), chosen);
    page->continuousButton()->click();
    page->useGraphBox()->click();
    page->GetClick();
    EXPECT_TRUE(page->continuousRunning());
    EXPECT_FALSE(page->button("Get")->isEnabled());
    EXPECT_TRUE(page->button("Stop")->isEnabled());
    ASSERT_TRUE(until([this] { return count() >= 3; }));
    page->button("Stop")->click();
    EXPECT_FALSE(page->continuousRunning());
    EXPECT_TRUE(page->button("Get")->isEnabled());

    // One line per spectrum: the time and 1,024 values, each field ending in
    // a tab, and a bare line feed.
    const std::string file = test::readFile(chosen.toStdString());
    EXPECT_EQ(file.find('\r'), std::string::npos);
    std::istringstream lines(file);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        ++n;
        ASSERT_EQ(std::count(line.begin(), line.end(), '\t'), 1025) << n;
        ASSERT_EQ(line.back(), '\t');
        const std::size_t start = line.find('\t') + 1;
        const std::string first = line.substr(start, line.find('\t', start) - start);
        EXPECT_NE(first.find('.'), std::string::npos) << first;
        EXPECT_EQ(first.find(','), std::string::npos) << first;
    }
    EXPECT_EQ(n, count());
    EXPECT_EQ(file.back(), '\n');
}

TEST_F(LegacyPageTest, DigitalPageSwitchesTheBoardsOutputs) {
    ASSERT_TRUE(opened());
    const auto board = sim::BoardRegistry::instance().findUsbBoard("demo");
    ASSERT_NE(board, nullptr);
    page->outputBox(1)->click();
    page->outputBox(3)->click();
    EXPECT_EQ(board->digitalLines().outputs & 7u, 5u);
    page->outputBox(1)->click();
    EXPECT_EQ(board->digitalLines().outputs & 7u, 4u);
    page->button("Read")->click();
    EXPECT_EQ(page->inputLabel(2)->text(), "Digital Input 2 = 0");
    window->pages()->setCurrentIndex(2);
    QCoreApplication::processEvents();
    const QImage image = window->grab().toImage();
    ASSERT_TRUE(image.save(QString("%1/revaduvo_legacy_digital.png").arg(REVADUVO_SCREENSHOT_DIR)));
}

// A missing folder, a pipe at the name (which nothing may wait on) or a full
// disk (a file-size limit of 0 stands for it): the program's own box says so.
TEST_F(LegacyPageTest, AFileThatCannotBeCreatedOrWrittenIsReportedAndNothingRuns) {
    ASSERT_TRUE(opened());
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0666), 0);
    pa::setMessageBoxHandler({});
    QImage picture;
    QTimer boxWatch;
    QObject::connect(&boxWatch, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes.push_back(box->text().toStdString());
            picture = box->grab().toImage();
            box->accept();
        }
    });
    boxWatch.start(0);
    rlimit room{};
    ::getrlimit(RLIMIT_FSIZE, &room);
    const rlimit full{0, room.rlim_max};
    ::signal(SIGXFSZ, SIG_IGN);
    const std::string run = dir.file("run"),
                      told = "Cannot write the file " + run + " (File too large).";
    page->continuousButton()->click();
    for (const std::string& name : {dir.file("missing/run.txt"), dir.file("pipe"), run}) {
        boxes.clear();
        chosen = QString::fromStdString(name);
        page->SelectFileClick();
        ::setrlimit(RLIMIT_FSIZE, name == run ? &full : &room);
        page->GetClick();
        const bool ended = until([this] { return !page->continuousRunning(); });
        ::setrlimit(RLIMIT_FSIZE, &room);
        ASSERT_TRUE(ended) << name;
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].rfind(name == run ? told : "Cannot create the file", 0), 0u) << boxes[0];
        EXPECT_TRUE(page->button("Get")->isEnabled());
        EXPECT_FALSE(page->button("Stop")->isEnabled());
    }
    ASSERT_TRUE(
        picture.save(QString("%1/revaduvo_legacy_write_failed.png").arg(REVADUVO_SCREENSHOT_DIR)));
}

} // namespace
} // namespace spectrum
