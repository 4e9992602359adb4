// The control tool tip: when it shows and hides itself, its size and place.

#include "fake_seams.h"
#include "glimra/desktop.h"
#include "glimra/fontmetrics.h"
#include "glimra/tooltip.h"
#include "glimra_test_support.h"

#include <QWidget>

#include <gtest/gtest.h>

namespace glimra {
namespace {

class ToolTipTest : public test::WithApplication, protected test::FakeSeams {
protected:
    void SetUp() override {
        dialog.setGeometry(100, 100, 200, 120);
        owner->setGeometry(20, 30, 60, 20);
        other.setGeometry(400, 100, 100, 100);
        desktop->focus = owner;
        tip.SetText("Tip");
    }

    // The owner's top-left corner on the screen.
    QPoint ownerAt() const { return owner->mapToGlobal(QPoint(0, 0)); }
    void tick() { timers->fire(CControlToolTip::WatchTimer); }

    ScopedFontMetrics metrics{std::make_shared<FixedFontMetrics>(7, 13)};
    QWidget dialog;
    QWidget* owner = new QWidget(&dialog);
    QWidget other;
    QWidget* otherChild = new QWidget(&other);
    CControlToolTip tip;
};

TEST_F(ToolTipTest, ByDefaultShowsOnlyWhileTheLeftButtonIsHeldOverTheOwner) {
    ASSERT_TRUE(tip.Show(owner));
    EXPECT_TRUE(tip.IsShown());
    EXPECT_EQ(timers->period(CControlToolTip::WatchTimer), 100u);
    desktop->cursor = ownerAt() + QPoint(5, 5);
    tick();
    EXPECT_FALSE(tip.isVisible());
    desktop->down = {VK_RBUTTON};
    tick();
    EXPECT_FALSE(tip.isVisible());
    desktop->down = {VK_LBUTTON};
    tick();
    ASSERT_TRUE(tip.isVisible());
    EXPECT_EQ(tip.window()->geometry(), QRect(ownerAt(), QSize(3 * 7 + 4, 13 + 4)));
    desktop->cursor = ownerAt() + QPoint(200, 5);
    tick();
    EXPECT_FALSE(tip.isVisible());
}

TEST_F(ToolTipTest, TheRightButtonOrNoButtonCanBeChosen) {
    tip.SetLeftButton(FALSE);
    tip.Show(owner);
    desktop->cursor = ownerAt();
    desktop->down = {VK_RBUTTON};
    tick();
    EXPECT_TRUE(tip.isVisible());
    desktop->down.clear();
    tick();
    EXPECT_FALSE(tip.isVisible());
    tip.SetButtonOnly(FALSE);
    tick();
    EXPECT_TRUE(tip.isVisible());
}

TEST_F(ToolTipTest, FocusInAnotherDialogHidesTheTipOnTheNextTick) {
    tip.SetButtonOnly(FALSE);
    tip.Show(owner);
    desktop->cursor = ownerAt();
    desktop->focus = otherChild;
    tick();
    EXPECT_FALSE(tip.isVisible()) << "shown only while the owner's dialog has the focus";
    desktop->focus = owner;
    tick();
    ASSERT_TRUE(tip.isVisible());
    desktop->focus = otherChild;
    tick();
    EXPECT_FALSE(tip.isVisible());
}

TEST_F(ToolTipTest, TheWidestLineAndTheLineCountSizeTheTip) {
    const struct {
        std::string text;
        int lines;
        RECT rect;
    } cases[] = {
        {"ab\nabcde", 2, {0, 0, 5 * 7 + 4, 2 * 13 + 4}},
        // Lines beyond any fixed buffer are measured whole.
        {std::string(1100, 'a') + "\n" + std::string(1500, 'b') + "\nc",
         3,
         {0, 0, 1500 * 7 + 4, 3 * 13 + 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 8));
        tip.SetText(c.text.c_str());
        tip.Show(owner);
        EXPECT_EQ(tip.GetLineCount(), c.lines);
        EXPECT_EQ(tip.textRect(), c.rect);
    }
}

TEST_F(ToolTipTest, AnEmptyTextNeverShows) {
    tip.SetText("");
    tip.SetButtonOnly(FALSE);
    tip.Show(owner);
    desktop->cursor = ownerAt();
    tick();
    EXPECT_FALSE(tip.isVisible());
}

TEST_F(ToolTipTest, PositionsPlaceTheTipOverBelowOrAboveTheOwner) {
    tip.SetButtonOnly(FALSE);
    tip.Show(owner);
    desktop->cursor = ownerAt();
    tick();
    ASSERT_TRUE(tip.isVisible());
    tip.SetPosition(CControlToolTip::BelowOwner);
    EXPECT_EQ(tip.window()->pos(), ownerAt() + QPoint(0, 20));
    tip.SetPosition(CControlToolTip::AboveOwner);
    EXPECT_EQ(tip.window()->pos(), ownerAt() - QPoint(0, 13 + 4));
    tip.SetPosition(3);
    EXPECT_EQ(tip.GetPosition(), CControlToolTip::AboveOwner);
    EXPECT_EQ(tip.window()->pos(), ownerAt() - QPoint(0, 13 + 4));
}

TEST_F(ToolTipTest, TheOwnersEdgesCountAsOverIt) {
    EXPECT_FALSE(tip.IsCursorOverOwner()) << "no owner yet";
    tip.Show(owner);
    const QPoint o = ownerAt();
    const struct {
        QPoint at;
        BOOL over;
    } cases[] = {{o, TRUE},
                 {o + QPoint(60, 20), TRUE},
                 {o + QPoint(61, 10), FALSE},
                 {o + QPoint(10, 21), FALSE},
                 {o - QPoint(1, 0), FALSE}};
    for (const auto& c : cases) {
        desktop->cursor = c.at;
        EXPECT_EQ(tip.IsCursorOverOwner(), c.over) << c.at.x() << "," << c.at.y();
    }
}

TEST_F(ToolTipTest, HideDestroysTheWindowAndStopsWatching) {
    tip.Show(owner);
    EXPECT_NE(tip.window(), nullptr);
    EXPECT_TRUE(tip.Hide());
    EXPECT_EQ(tip.window(), nullptr);
    EXPECT_FALSE(tip.IsShown());
    EXPECT_FALSE(timers->isRunning(CControlToolTip::WatchTimer));
    EXPECT_TRUE(tip.Hide());
}

TEST_F(ToolTipTest, OwnColoursPaintTheTip) {
    tip.SetText("Own colours\nsecond line");
    tip.SetBkColor(TRUE, RGB(255, 255, 180));
    tip.SetTextColor(RGB(0, 0, 160));
    tip.Show(owner);
    QImage image = test::blankImage(tip.textRect().width(), tip.textRect().height());
    {
        CDC dc(&image);
        tip.paint(&dc);
    }
    EXPECT_EQ(test::pixel(image, image.width() - 1, image.height() - 1), RGB(255, 255, 180));
    tip.SetBkColor(FALSE, RGB(1, 2, 3));
    EXPECT_EQ(tip.GetBkColor(), RGB(255, 255, 180)) << "kept while the own colours are off";
    desktop->cursor = ownerAt();
    tip.SetButtonOnly(FALSE);
    tick();
    test::grabWidget(tip.window(), "tooltip");
}

} // namespace
} // namespace glimra
