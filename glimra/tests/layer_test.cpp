// The drawing layer's helpers: timers with the manual backend, resources
// through the chain, dialog units and dialog templates.

#include "glimra/dialog.h"
#include "glimra/fontmetrics.h"
#include "glimra/library.h"
#include "glimra/resources.h"
#include "glimra/timers.h"
#include "glimra_test_support.h"

#include <QCheckBox>
#include <QDialog>
#include <QLineEdit>

#include <gtest/gtest.h>

namespace glimra {
namespace {

class LayerTest : public test::WithApplication {
protected:
    std::shared_ptr<ManualTimerBackend> manual = std::make_shared<ManualTimerBackend>();
    ScopedTimerBackend timers{manual};
};

TEST_F(LayerTest, ManualTimersFireOnlyWhenTheTestSays) {
    std::vector<UINT> fired;
    auto owner = std::make_unique<Timers>([&](UINT id) { fired.push_back(id); });
    owner->SetTimer(11, 100);
    owner->SetTimer(12, 50);
    owner->SetTimer(11, 250); // restarts with the new period
    EXPECT_EQ(manual->period(11), 250u);
    EXPECT_EQ(manual->fire(11), 1);
    EXPECT_EQ(manual->fire(13), 0);
    EXPECT_TRUE(owner->KillTimer(12));
    EXPECT_FALSE(owner->KillTimer(12));
    EXPECT_EQ(manual->fire(12), 0);
    EXPECT_EQ(fired, (std::vector<UINT>{11}));
    owner.reset(); // a destroyed owner's timers stop
    EXPECT_FALSE(manual->isRunning(11));
}

TEST_F(LayerTest, ATimerMayStopItselfFromItsHandler) {
    int ticks = 0;
    Timers* self = nullptr;
    Timers owner([&](UINT id) {
        ++ticks;
        self->KillTimer(id);
    });
    self = &owner;
    owner.SetTimer(1, 10);
    manual->fire(1);
    manual->fire(1);
    EXPECT_EQ(ticks, 1);
}

QImage redPixel() {
    QImage image(1, 1, QImage::Format_RGB32);
    image.fill(Qt::red);
    return image;
}
const LibraryResource testBitmap{LibraryResource::Kind::Bitmap, 64001, &redPixel};
const LibraryResource testString{64002, "library text"};

TEST_F(LayerTest, ResourcesAreFoundThroughTheChainOnceTheLibraryJoined) {
    // The library's own resources are always there.
    EXPECT_TRUE(libraryResources().bitmap(64001).has_value());
    EXPECT_EQ(libraryResources().string(64002), "library text");
    ASSERT_NE(InitGuiLibrary(), nullptr);
    EXPECT_EQ(findString(64002), "library text");
    ASSERT_TRUE(findBitmap(64001).has_value());
    EXPECT_EQ(findBitmap(64001)->pixelColor(0, 0), QColor(Qt::red));
    // The program's resources come first.
    programResources().addString(64002, "program text");
    EXPECT_EQ(findString(64002), "program text");
    programResources().clear();
    EXPECT_FALSE(findString(64099).has_value());
}

TEST_F(LayerTest, DialogTemplatesPlaceControlsInDialogUnits) {
    ScopedFontMetrics metrics(std::make_shared<FixedFontMetrics>(6, 13));
    // 52 letters of 6 pixels: base units 6 x 13.
    EXPECT_EQ(dialogBaseUnits(QFont()).x, 6);
    EXPECT_EQ(MapDialogRect(RECT{4, 8, 54, 22}, {6, 13}), (RECT{6, 13, 81, 36}));

    QDialog dialog;
    DialogTemplate t;
    t.caption = "Scaling";
    t.width = 100;
    t.height = 40;
    t.controls = {{10011, ControlKind::CheckBox, "&Auto scale", {4, 8, 54, 22}, 0},
                  {10012, ControlKind::Edit, "", {60, 8, 90, 20}, CTL_DISABLED | CTL_HIDDEN}};
    buildDialog(&dialog, t);
    EXPECT_EQ(dialog.windowTitle(), "Scaling");
    EXPECT_EQ(dialog.size(), QSize(150, 65));
    auto* check = qobject_cast<QCheckBox*>(GetDlgItem(&dialog, 10011));
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->text(), "&Auto scale");
    EXPECT_EQ(windowRectIn(check, &dialog), (RECT{6, 13, 81, 36}));
    auto* edit = qobject_cast<QLineEdit*>(GetDlgItem(&dialog, 10012));
    ASSERT_NE(edit, nullptr);
    EXPECT_FALSE(edit->isEnabled());
    EXPECT_TRUE(edit->isHidden());
    EXPECT_EQ(GetDlgItem(&dialog, 1), nullptr);
    EXPECT_EQ(childWindows(&dialog).size(), 2u);
}

} // namespace
} // namespace glimra
