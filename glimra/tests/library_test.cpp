// The library's free functions: the rectangle test, the menu command-update
// walker and the self-closing message box.

#include "glimra/library.h"
#include "glimra/timers.h"
#include "glimra_test_support.h"

#include "platform/last_error.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

namespace glimra {
namespace {

class LibraryTest : public test::WithApplication {};

TEST_F(LibraryTest, RectInRectLeavesOutTheRightAndBottomEdges) {
    const RECT outer{0, 0, 100, 50};
    struct Case {
        RECT inner;
        BOOL inside;
    };
    const Case cases[] = {
        {{10, 10, 20, 20}, TRUE},   {{0, 0, 99, 49}, TRUE},    {{0, 0, 100, 50}, FALSE}, // itself
        {{10, 10, 100, 20}, FALSE}, {{10, 10, 20, 50}, FALSE}, {{-1, 10, 20, 20}, FALSE},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsRectInRect(&c.inner, &outer), c.inside) << c.inner.left << "," << c.inner.right;
    }
    EXPECT_FALSE(IsRectInRect(nullptr, &outer));
}

TEST_F(LibraryTest, MenuUpdateReachesEveryLevelAndLeavesUnhandledItemsAlone) {
    QMenu menu;
    QAction* copy = menu.addAction("Copy");
    setCommandId(copy, 57634);
    menu.addSeparator();
    QMenu* sub = menu.addMenu("More");
    QMenu* subsub = sub->addMenu("Even more");
    QAction* paste = subsub->addAction("Paste");
    setCommandId(paste, 57637);
    QAction* other = sub->addAction("Other");
    setCommandId(other, 40000);

    CCmdTarget target;
    std::vector<UINT> seen;
    target.setUpdateHandler(57634, [&](CCmdUI* ui) {
        seen.push_back(ui->m_nID);
        ui->Enable(FALSE);
    });
    target.setUpdateHandler(57637, [&](CCmdUI* ui) {
        seen.push_back(ui->m_nID);
        ui->SetCheck(1);
    });
    target.setUpdateHandler(0, [&](CCmdUI* ui) { seen.push_back(ui->m_nID); });
    UpdateMenuCmdUI(&target, &menu);
    EXPECT_EQ(seen, (std::vector<UINT>{57634, 57637}));
    EXPECT_FALSE(copy->isEnabled());
    EXPECT_TRUE(paste->isChecked());
    EXPECT_TRUE(other->isEnabled());
}

TEST_F(LibraryTest, MenuUpdateFollowsAHandlerThatRemovesItems) {
    QMenu menu;
    QAction* first = menu.addAction("First");
    setCommandId(first, 1);
    QAction* second = menu.addAction("Second");
    setCommandId(second, 2);
    CCmdTarget target;
    int calls = 0;
    target.setUpdateHandler(1, [&](CCmdUI* ui) {
        ++calls;
        ui->m_pMenu->removeAction(second);
        ui->m_nIndexMax -= 1;
    });
    target.setUpdateHandler(2, [&](CCmdUI*) { ++calls; });
    UpdateMenuCmdUI(&target, &menu);
    EXPECT_EQ(calls, 1);
}

TEST_F(LibraryTest, TimedMessageBoxWithoutTimeShowsNothing) {
    platform::setLastError(0);
    EXPECT_EQ(TimedMessageBox(nullptr, "text", "caption", MB_OK, 0), 0);
    EXPECT_EQ(platform::lastError(), ERROR_INVALID_DATA);
    EXPECT_EQ(QApplication::topLevelWidgets().size(), 0);
}

TEST_F(LibraryTest, TimedMessageBoxAnswersTheButtonOrTheTimeOut) {
    auto manual = std::make_shared<ManualTimerBackend>();
    ScopedTimerBackend timers(manual);

    // Answered before the time runs out.
    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->windowTitle(), "Caption");
        box->buttons().value(1)->click(); // "Cancel"
    });
    EXPECT_EQ(TimedMessageBox(nullptr, "Text", "Caption", MB_OKCANCEL, 5000), IDCANCEL);

    // Left alone.
    QTimer::singleShot(0, [&] {
        EXPECT_EQ(manual->period(1), 3000u);
        manual->fire(1);
    });
    EXPECT_EQ(TimedMessageBox(nullptr, "Text", "Caption", MB_YESNO, 3000), IDTIMEOUT);
    EXPECT_FALSE(manual->isRunning(1));

    // The program's own event loop still runs afterwards.
    QEventLoop loop;
    bool ran = false;
    QTimer::singleShot(0, [&] {
        ran = true;
        loop.quit();
    });
    loop.exec();
    EXPECT_TRUE(ran);
}

} // namespace
} // namespace glimra
