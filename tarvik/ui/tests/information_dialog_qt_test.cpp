// The information dialog as a Qt client sees it: the configuration read of
// mode 1 loads the Qt presenter and shows the dialog modally for simulated
// boards served by kavrin; the test looks at it, clicks through it, keeps
// its pictures and closes it.

#include "tarvik_test.h"

#include "core/information_dialog.h"
#include "tarvik.h"

#include "platform/clock.h"
#include "platform/device.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>

namespace tarvik::testing {
namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "tarvik_ui_information_dialog_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Board 1: two channels behind a multiplexer, a lamp and a flash module.
// Board 2: the cooled front end without a multiplexer.
constexpr char kSetup[] = "[board mux]\ninterface_type = 6\nboard_id = 1\n"
                          "mux_image = 2\nmux_assembly = 6\n"
                          "light_sources = 0x40:lamp1 0x42:flash\n"
                          "[board cooled]\ninterface_type = 6\nboard_id = 2\n"
                          "frontend_type = 11\nclock_value = 2000\ncooled_board = 1\n";

class InformationDialogQtTest : public TarvikTest {
protected:
    void SetUp() override {
        application();
        const std::string setup = (roots.user.path() / "sim.ini").string();
        std::ofstream(setup) << kSetup;
        ::setenv("VELDON_DRIVER_PATH", VELDON_SIM_DRIVER, 1);
        ::setenv("VELDON_SIMULATION", setup.c_str(), 1);
        ::setenv("VELDON_USB_REAL", "0", 1);
        TarvikTest::SetUp();
        for (uint32_t id = 1; id <= 2; ++id) {
            ASSERT_EQ(KORAL_OpenOperationElectronicsDevice(0, KORAL_INTERFACE_USB, id), 0);
            ASSERT_EQ(KORAL_InitializeOperationElectronics(0, id), 0);
        }
        // Both channels of the multiplexer in use.
        ASSERT_EQ(KORAL_ParaSetMUXMode(2, 2, 1), 0);
    }

    void TearDown() override {
        for (uint32_t id = 1; id <= 2; ++id) {
            KORAL_CloseOperationElectronics(id);
        }
        TarvikTest::TearDown();
        EXPECT_TRUE(platform::shutdownDevices());
        for (const char* name : {"VELDON_DRIVER_PATH", "VELDON_SIMULATION", "VELDON_USB_REAL"}) {
            ::unsetenv(name);
        }
    }

    // Runs the configuration read of the mode; `look` sees the dialog while
    // it is open, then the dialog is closed as the user would.
    int32_t showDialog(uint32_t mode, const std::function<void(QDialog&)>& look) {
        bool seen = false;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog != nullptr) {
                seen = true;
                look(*dialog);
                dialog->accept();
            }
        });
        // The modules' sensor reads wait on the clock.
        platform::VirtualClock clock;
        const platform::ScopedClock scoped(clock);
        ActualConfigurationRecord record{};
        const int32_t result = KORAL_GetActualConfigurationEx(mode, &record, 1);
        EXPECT_TRUE(seen) << "the dialog was not shown";
        return result;
    }

    static QTreeWidgetItem* find(QTreeWidget& tree, int parameter) {
        for (QTreeWidgetItemIterator it(&tree); *it != nullptr; ++it) {
            if ((*it)->data(0, Qt::UserRole).toInt() == parameter) {
                return *it;
            }
        }
        return nullptr;
    }

    static QString text(QDialog& dialog, const char* name) {
        auto* edit = dialog.findChild<QLineEdit*>(name);
        return edit == nullptr ? QString("<missing>") : edit->text();
    }

    static QStringList lines(QDialog& dialog) {
        QStringList out;
        auto* list = dialog.findChild<QListWidget*>("information");
        for (int i = 0; list != nullptr && i < list->count(); ++i) {
            out << list->item(i)->text();
        }
        return out;
    }

    static void picture(QDialog& dialog, const char* name) {
        QCoreApplication::processEvents();
        const QImage image = dialog.grab().toImage();
        ASSERT_FALSE(image.isNull());
        ASSERT_TRUE(image.save(QString("%1/%2.png").arg(TARVIK_PICTURE_DIR).arg(name)));
    }
};

TEST_F(InformationDialogQtTest, ShowsTheTreeOfTwoChannelsBehindAMultiplexer) {
    const int32_t flags = showDialog(1, [&](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Hardware Configuration");
        auto* tree = dialog.findChild<QTreeWidget*>("tree");
        ASSERT_NE(tree, nullptr);
        ASSERT_EQ(tree->topLevelItemCount(), 2);
        // The handler ran for each interface while the tree was built: the
        // last one is selected.
        EXPECT_EQ(tree->currentItem(), tree->topLevelItem(1));

        QTreeWidgetItem* mux = find(*tree, 1 + 0x40);
        ASSERT_NE(mux, nullptr);
        EXPECT_EQ(mux->parent(), find(*tree, 1 + 0x20));
        ASSERT_EQ(mux->childCount(), 2);
        EXPECT_TRUE(mux->isExpanded());

        // The selected item shows the selection image, then its own again.
        QTreeWidgetItem* first = tree->topLevelItem(0);
        const qint64 ownImage = first->icon(0).cacheKey();
        tree->setCurrentItem(first);
        EXPECT_NE(first->icon(0).cacheKey(), ownImage);
        EXPECT_EQ(text(dialog, "channel"), "1");
        EXPECT_EQ(dialog.findChild<QLabel*>("versionLabel")->text(), "Driver version");
        EXPECT_FALSE(text(dialog, "versionValue").isEmpty());
        EXPECT_TRUE(text(dialog, "libraryVersion")
                        .contains(QRegularExpression("^\\d+\\.\\d+\\.\\d+\\.\\d+$")))
            << text(dialog, "libraryVersion").toStdString();
        EXPECT_TRUE(lines(dialog).value(0).startsWith("Assembly: "));
        picture(dialog, "tarvik_information_dialog");

        tree->setCurrentItem(mux->child(1));
        EXPECT_EQ(first->icon(0).cacheKey(), ownImage);
        EXPECT_EQ(text(dialog, "channel"), "2");
        EXPECT_NE(text(dialog, "sensorType"), "NOT AVAILABLE");

        QTreeWidgetItem* lamp = find(*tree, 1 + 0x20 + 0x100);
        ASSERT_NE(lamp, nullptr);
        tree->setCurrentItem(lamp);
        EXPECT_EQ(lines(dialog).size(), 5);
        picture(dialog, "tarvik_information_dialog_module");
    });
    EXPECT_GE(flags, 0);
}

} // namespace
} // namespace tarvik::testing
