// The tab control with disabled tabs: skipping by arrows and by selection,
// refusals by the mouse and by a property page, drawing and tab images.

#include "glimra/desktop.h"
#include "glimra/library.h"
#include "glimra/propsheet.h"
#include "glimra/resources.h"
#include "glimra/syscolors.h"
#include "glimra/tabctrl.h"
#include "glimra_test_support.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <gtest/gtest.h>

namespace glimra {
namespace {

class Page : public CPropertyPage {
public:
    using CPropertyPage::CPropertyPage;
    BOOL OnKillActive() override { return refuse ? FALSE : TRUE; }
    bool refuse = false;
};

class TabCtrlTest : public test::WithLibrary {
protected:
    void SetUp() override {
        tab.resize(300, 120);
        for (const char* name : {"First", "Second", "Third"}) {
            tab.InsertItem(tab.GetItemCount(), name);
        }
        ASSERT_TRUE(ex.SubclassTab(&tab));
    }

    void key(int qtKey) {
        QKeyEvent press(QEvent::KeyPress, qtKey, Qt::NoModifier);
        QApplication::sendEvent(&tab, &press);
    }
    void click(QWidget* on, int index) {
        RECT r;
        ASSERT_TRUE(tab.GetItemRect(index, &r));
        const QPointF local((r.left + r.right) / 2.0, (r.top + r.bottom) / 2.0);
        QMouseEvent press(QEvent::MouseButtonPress, local, on->mapToGlobal(local), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(on, &press);
    }

    CTabCtrl tab;
    CTabCtrlEx ex;
};

TEST_F(TabCtrlTest, SubclassingMakesTheTabsOwnerDrawnAndIsRefusedForATakenControl) {
    EXPECT_NE(tab.GetStyle() & TCS_OWNERDRAWFIXED, 0u);
    EXPECT_TRUE(ex.SubclassTab(&tab)) << "itself again";
    CTabCtrlEx other;
    EXPECT_FALSE(other.SubclassTab(&tab));
    EXPECT_FALSE(other.SubclassTab(nullptr));
}

TEST_F(TabCtrlTest, ArrowKeysSkipDisabledTabsAndWrap) {
    ASSERT_TRUE(ex.EnableTab(1, FALSE));
    const struct {
        int from;
        int key;
        int to;
    } cases[] = {
        {0, Qt::Key_Right, 2}, {2, Qt::Key_Left, 0}, {2, Qt::Key_Right, 0},
        {0, Qt::Key_Left, 2},  {0, Qt::Key_Down, 2}, {2, Qt::Key_Up, 0},
    };
    for (const auto& c : cases) {
        tab.DefWindowProc(TCM_SETCURSEL, static_cast<WPARAM>(c.from), 0);
        key(c.key);
        EXPECT_EQ(tab.GetCurSel(), c.to) << "from " << c.from << " key " << c.key;
    }
}

TEST_F(TabCtrlTest, DisablingTheSelectedTabMovesOnAndTheOnlyEnabledOneStays) {
    tab.DefWindowProc(TCM_SETCURSEL, 2, 0);
    ASSERT_TRUE(ex.EnableTab(2, FALSE));
    EXPECT_EQ(tab.GetCurSel(), 0) << "after the last tab the search starts at the first";
    ASSERT_TRUE(ex.EnableTab(1, FALSE));
    EXPECT_FALSE(ex.EnableTab(0, FALSE));
    EXPECT_TRUE(ex.IsTabEnabled(0));
    EXPECT_EQ(tab.GetCurSel(), 0);
    EXPECT_TRUE(ex.EnableTab(2, FALSE)) << "already so";
    int position = -1;
    EXPECT_FALSE(ex.IsTabEnabled(1, &position));
    EXPECT_EQ(position, 1) << "positions follow the order of disabling";
    EXPECT_TRUE(ex.EnableTab(2, TRUE));
    EXPECT_EQ(ex.disabledTabs(), std::vector<DWORD>{1});
    EXPECT_FALSE(ex.IsTabEnabled(-1));
    EXPECT_FALSE(ex.IsTabEnabled(3));
    EXPECT_FALSE(ex.EnableTab(3, FALSE));
}

TEST_F(TabCtrlTest, SelectingADisabledTabStepsOverItOrIsRefused) {
    tab.InsertItem(3, "Fourth");
    tab.InsertItem(4, "Fifth");
    ASSERT_TRUE(ex.EnableTab(2, FALSE));
    const struct {
        int current, requested;
        LRESULT result;
        int selected;
    } cases[] = {
        {1, 2, 0, 3}, // a step forward lands behind it
        {3, 2, 0, 1}, // a step back lands before it
        {0, 2, 0, 1}, // from the first tab any request counts as a wrap: backward
        {4, 2, 0, 3}, // a distance equal to the index counts as a wrap too: forward
    };
    for (const auto& c : cases) {
        tab.DefWindowProc(TCM_SETCURSEL, static_cast<WPARAM>(c.current), 0);
        EXPECT_EQ(tab.sendMessage(TCM_SETCURSEL, static_cast<WPARAM>(c.requested), 0), c.result)
            << c.current << " to " << c.requested;
        EXPECT_EQ(tab.GetCurSel(), c.selected);
    }
    // Neither a neighbour nor a wrap: refused.
    ASSERT_TRUE(ex.EnableTab(3, FALSE));
    tab.DefWindowProc(TCM_SETCURSEL, 1, 0);
    EXPECT_EQ(tab.sendMessage(TCM_SETCURSEL, 3, 0), -1);
    EXPECT_EQ(tab.GetCurSel(), 1);
    ASSERT_TRUE(ex.EnableTab(3, TRUE));
    // A wrap from the last tab to a disabled first one goes on forward.
    ASSERT_TRUE(ex.EnableTab(2, TRUE));
    ASSERT_TRUE(ex.EnableTab(0, FALSE));
    tab.DefWindowProc(TCM_SETCURSEL, 4, 0);
    EXPECT_EQ(tab.sendMessage(TCM_SETCURSEL, 0, 0), 0);
    EXPECT_EQ(tab.GetCurSel(), 1);
    EXPECT_EQ(ex.FindNextEnabledTab(0, FALSE), 4) << "backward wraps to the last tab";
}

TEST_F(TabCtrlTest, AClickOnADisabledTabLeavesTheSelection) {
    ASSERT_TRUE(ex.EnableTab(1, FALSE));
    click(&tab, 1);
    EXPECT_EQ(tab.GetCurSel(), 0);
    click(&tab, 2);
    EXPECT_EQ(tab.GetCurSel(), 2);
}

TEST_F(TabCtrlTest, APageThatRefusesToBeLeftKeepsItsTab) {
    CPropertySheet sheet("Settings");
    Page one("One");
    Page two("Two");
    sheet.AddPage(&one);
    sheet.AddPage(&two);
    ASSERT_TRUE(sheet.Create());
    CTabCtrlEx sheetTabs;
    ASSERT_TRUE(sheetTabs.SubclassSheetTab(&sheet));
    CTabCtrl* tabs = sheet.GetTabControl();
    one.refuse = true;
    RECT r;
    ASSERT_TRUE(tabs->GetItemRect(1, &r));
    const QPointF local(r.left + 5, r.top + 5);
    QMouseEvent press(QEvent::MouseButtonPress, local, tabs->mapToGlobal(local), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(tabs, &press);
    EXPECT_EQ(tabs->GetCurSel(), 0);
    QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
    QApplication::sendEvent(tabs, &right);
    EXPECT_EQ(tabs->GetCurSel(), 0);
    EXPECT_EQ(sheet.GetActiveIndex(), 0);
    one.refuse = false;
    QApplication::sendEvent(tabs, &right);
    EXPECT_EQ(tabs->GetCurSel(), 1);
    EXPECT_EQ(sheet.GetActiveIndex(), 1) << "the sheet follows the keys";
    EXPECT_TRUE(two.isVisibleTo(&sheet));
    EXPECT_FALSE(one.isVisibleTo(&sheet));
}

TEST_F(TabCtrlTest, DisabledTabsAreDrawnEngraved) {
    ASSERT_TRUE(ex.EnableTab(1, FALSE));
    DrawRecorder recorder;
    CDC dc(&recorder, tab.size());
    tab.render(&dc);
    RECT second;
    ASSERT_TRUE(tab.GetItemRect(1, &second));
    std::vector<DrawOp> texts;
    for (const DrawOp& op : recorder.texts()) {
        if (op.text == "Second") {
            texts.push_back(op);
        }
    }
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].color, GetSysColor(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(texts[1].color, GetSysColor(COLOR_GRAYTEXT));
    EXPECT_EQ(texts[0].from - texts[1].from, QPoint(1, 1));
    // Unselected tabs start 4 pixels in (inside the tab's 2-pixel edge).
    EXPECT_EQ(texts[1].from.x(), second.left + 2 + 4);
    for (const DrawOp& op : recorder.texts()) {
        if (op.text == "First" || op.text == "Third") {
            EXPECT_EQ(op.color, GetSysColor(COLOR_BTNTEXT));
        }
    }
}

QImage disk(COLORREF colour) {
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setPen(Qt::NoPen);
    p.setBrush(toQColor(colour));
    p.drawEllipse(2, 2, 12, 12);
    return image;
}

TEST_F(TabCtrlTest, TabImagesComeFromTheResourceChain) {
    programResources().addBitmap(31001, disk(RGB(0, 96, 0)));
    EXPECT_EQ(ex.SetTabImage(0, 31001), -1) << "no image list yet";
    CImageList images;
    ASSERT_TRUE(images.Create(16, 16));
    tab.SetImageList(&images);
    EXPECT_EQ(ex.SetTabImage(0, 31999), -1);
    EXPECT_EQ(ex.SetTabImage(5, 31001), -1);
    EXPECT_EQ(ex.SetTabImage(0, 31001), 0);
    EXPECT_EQ(tab.itemImage(0), 0);
    // The bitmap is its own mask: white is transparent.
    EXPECT_EQ(qAlpha(images.image(0).pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(images.image(0).pixel(8, 8)), 255);
    EXPECT_EQ(ex.SetTabIcon(1, disk(RGB(160, 0, 0))), 1);
    EXPECT_EQ(tab.itemImage(1), 1);
    programResources().clear();

    // A disabled tab's icon is embossed, not drawn in its colours.
    ASSERT_TRUE(ex.EnableTab(1, FALSE));
    QImage picture = test::blankImage(tab.width(), tab.height());
    {
        CDC dc(&picture);
        tab.render(&dc);
    }
    RECT r;
    ASSERT_TRUE(tab.GetItemRect(1, &r));
    bool red = false;
    bool shadow = false;
    for (int y = r.top; y < r.bottom; ++y) {
        for (int x = r.left; x < r.right; ++x) {
            red = red || test::pixel(picture, x, y) == RGB(160, 0, 0);
            shadow = shadow || test::pixel(picture, x, y) == GetSysColor(COLOR_BTNSHADOW);
        }
    }
    EXPECT_FALSE(red);
    EXPECT_TRUE(shadow);
    test::grabWidget(&tab, "tabctrl");
}

} // namespace
} // namespace glimra
