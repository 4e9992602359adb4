// The information dialog as a Qt client sees it: the configuration read of
// mode 1 loads the Qt presenter and shows the dialog modally for simulated
// boards; the test looks at it, clicks through it, keeps its pictures and
// closes it.

#include "information_dialog_fixture.h"

#include "platform/clock.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRegularExpression>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace tarvik::testing {
namespace {

// One application for the program, destroyed at its end (which releases the
// font caches).
class QtApplication : public ::testing::Environment {
public:
    void SetUp() override { app = std::make_unique<QApplication>(argc, argv); }
    void TearDown() override { app.reset(); }

private:
    int argc = 1;
    char name[8] = "tarvik";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QApplication> app;
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new QtApplication);

class InformationDialogQtTest : public InformationDialogBoards {
protected:
    // Runs the configuration read of mode 1; `look` sees the dialog while it
    // is open, then the dialog is closed as the user would.
    int32_t showDialog(const std::function<void(QDialog&)>& look) {
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
        const int32_t result = KORAL_GetActualConfigurationEx(1, &record, 1);
        EXPECT_TRUE(seen) << "the dialog was not shown";
        return result;
    }

    static QString text(QDialog& dialog, const char* name) {
        auto* edit = dialog.findChild<QLineEdit*>(name);
        return edit == nullptr ? QString("<missing>") : edit->text();
    }

    static QListWidget& list(QDialog& dialog) {
        return *dialog.findChild<QListWidget*>("information");
    }

    static void picture(QDialog& dialog, const char* name) {
        QCoreApplication::processEvents();
        const QImage image = dialog.grab().toImage();
        ASSERT_FALSE(image.isNull());
        ASSERT_TRUE(image.save(QString("%1/%2.png").arg(TARVIK_PICTURE_DIR).arg(name)));
    }
};

TEST_F(InformationDialogQtTest, ShowsTheTreeOfTwoChannelsBehindAMultiplexer) {
    const int32_t flags = showDialog([&](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Hardware Configuration");
        auto* tree = dialog.findChild<QTreeWidget*>("tree");
        ASSERT_NE(tree, nullptr);
        ASSERT_EQ(tree->topLevelItemCount(), 2);
        // The handler ran for each interface while the tree was built: the
        // last one is selected.
        EXPECT_EQ(tree->currentItem(), tree->topLevelItem(1));

        // Interface 1, its front end, its multiplexer.
        QTreeWidgetItem* first = tree->topLevelItem(0);
        QTreeWidgetItem* mux = first->child(0)->child(0);
        EXPECT_EQ(mux->data(0, Qt::UserRole).toInt(), 1 + 0x40);
        ASSERT_EQ(mux->childCount(), 2);
        EXPECT_TRUE(mux->isExpanded());

        // The selected item shows the selection image, then its own again.
        const qint64 ownImage = first->icon(0).cacheKey();
        tree->setCurrentItem(first);
        EXPECT_NE(first->icon(0).cacheKey(), ownImage);
        EXPECT_EQ(text(dialog, "channel"), "1");
        EXPECT_EQ(dialog.findChild<QLabel*>("versionLabel")->text(), "Driver version");
        EXPECT_FALSE(text(dialog, "versionValue").isEmpty());
        EXPECT_TRUE(text(dialog, "libraryVersion")
                        .contains(QRegularExpression("^\\d+\\.\\d+\\.\\d+\\.\\d+$")))
            << text(dialog, "libraryVersion").toStdString();
        EXPECT_TRUE(list(dialog).item(0)->text().startsWith("Assembly: "));
        picture(dialog, "tarvik_information_dialog");

        tree->setCurrentItem(mux->child(1));
        EXPECT_EQ(first->icon(0).cacheKey(), ownImage);
        EXPECT_EQ(text(dialog, "channel"), "2");
        EXPECT_NE(text(dialog, "sensorType"), "NOT AVAILABLE");

        tree->setCurrentItem(first->child(1)); // the lamp module
        EXPECT_EQ(list(dialog).count(), 5);
        picture(dialog, "tarvik_information_dialog_module");
    });
    EXPECT_GE(flags, 0);
}

} // namespace
} // namespace tarvik::testing
