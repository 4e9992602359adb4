// The hex editor control: what it shows, typing, keys, mouse, menu and clipboard.

#include "glimra/fontmetrics.h"
#include "glimra/hexeditctrl.h"
#include "glimra/syscolors.h"
#include "glimra_test_support.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QScrollBar>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <map>
#include <numeric>

namespace glimra {
namespace {

constexpr int kCharWidth = 8;
constexpr int kCharHeight = 14;

// Records where the context menu opens and what it offers, and picks a command.
class Control : public CHexEditCtrl {
public:
    POINT menuAt{-99, -99};
    std::map<UINT, bool> offered;
    UINT choose = 0;

protected:
    UINT TrackPopupMenu(QMenu* menu, POINT screen) override {
        menuAt = screen;
        for (const QAction* a : menu->actions()) {
            if (!a->isSeparator()) {
                offered[commandId(a)] = a->isEnabled();
            }
        }
        return choose;
    }
};

class HexEditCtrlTest : public test::WithApplication {
protected:
    void SetUp() override {
        ctrl.resize(420, 200);
        QGuiApplication::clipboard()->clear();
    }

    void load(std::vector<BYTE> bytes, int start = 0) {
        VARIANT v = MakeByteArray(std::move(bytes));
        ASSERT_TRUE(ctrl.SetData(&v, start));
        ctrl.OnSetFocus();
    }

    static std::vector<BYTE> ascending(int n, int first = 0) {
        std::vector<BYTE> bytes(static_cast<size_t>(n));
        std::iota(bytes.begin(), bytes.end(), static_cast<BYTE>(first));
        return bytes;
    }

    // The visible rows as text, rebuilt from where each text was drawn.
    std::vector<std::string> rows() {
        const RECT client = ctrl.clientRect();
        DrawRecorder recorder;
        CDC dc(&recorder, QSize(client.right, client.bottom));
        ctrl.DrawContent(&dc, client, client);
        std::vector<std::string> lines(static_cast<size_t>(ctrl.visibleRows()),
                                       std::string(static_cast<size_t>(ctrl.lineWidth()), ' '));
        for (const DrawOp& op : recorder.texts()) {
            const int column =
                (op.from.x() - kCharWidth / 2) / kCharWidth + ctrl.horizontalScroll();
            lines.at(static_cast<size_t>(op.from.y() / kCharHeight))
                .replace(static_cast<size_t>(column), op.text.size(), op.text);
        }
        for (std::string& line : lines) {
            line.erase(line.find_last_not_of(' ') + 1);
        }
        return lines;
    }

    void key(UINT vk, bool shift = false, bool ctrlKey = false) {
        ctrl.OnKeyDown(vk, shift, ctrlKey);
    }
    void type(const char* text) {
        for (; *text != '\0'; ++text) {
            ctrl.OnChar(static_cast<UINT>(*text));
        }
    }
    void putOnClipboard(const char* format, const QByteArray& block) {
        auto* mime = new QMimeData;
        mime->setData(format, block);
        QGuiApplication::clipboard()->setMimeData(mime);
    }

    ScopedFontMetrics metrics{std::make_shared<FixedFontMetrics>(kCharWidth, kCharHeight)};
    std::shared_ptr<ManualTimerBackend> manual = std::make_shared<ManualTimerBackend>();
    ScopedTimerBackend timers{manual};
    Control ctrl;
};

TEST_F(HexEditCtrlTest, RowsShowAddressUnitsAndCharactersWithARowForTheEndCaret) {
    load(ascending(16, 'A'));
    const std::vector<std::string> r = rows();
    EXPECT_EQ(r[0], "0000  41 42 43 44 45 46 47 48  ABCDEFGH");
    EXPECT_EQ(r[1], "0008  49 4A 4B 4C 4D 4E 4F 50  IJKLMNOP");
    EXPECT_EQ(r[2], "0010");
    EXPECT_EQ(r[3], "");
    key(VK_END, false, true);
    EXPECT_EQ(ctrl.caret(), 16);
    EXPECT_EQ(ctrl.caretState().pos.y, 2 * kCharHeight);
    EXPECT_EQ(ctrl.caretState().pos.x, 6 * kCharWidth + kCharWidth / 2 - 1);
    EXPECT_TRUE(ctrl.caretState().shown);

    // Words, start address, no address and no characters.
    ctrl.SetUnitDigits(4);
    ctrl.ShowAddress(false);
    load({0x34, 0x12, 0xCD, 0xAB, 0xFF}, 0x20);
    EXPECT_EQ(ctrl.data().size(), 6u); // padded to whole units
    EXPECT_EQ(rows()[0], "1234 ABCD 00FF");
}

TEST_F(HexEditCtrlTest, LargeDataSwitchesToEightAddressDigits) {
    load(std::vector<BYTE>(0x10000 - 0x10), 0x10);
    EXPECT_EQ(ctrl.GetAddressDigits(), 4);
    load(std::vector<BYTE>(65530), 0x100);
    EXPECT_EQ(ctrl.GetAddressDigits(), 8);
    EXPECT_EQ(rows()[1].substr(0, 10), "00000108  ");
    // Layout never sets them back.
    load(ascending(4));
    EXPECT_EQ(ctrl.GetAddressDigits(), 8);
}

TEST_F(HexEditCtrlTest, SettersRefuseWhatTheyCannotShow) {
    const struct {
        const char* name;
        std::function<bool()> set;
        bool accepted;
    } cases[] = {
        {"negative units per row", [&] { return ctrl.SetUnitsPerRow(-1); }, false},
        {"fit units per row", [&] { return ctrl.SetUnitsPerRow(0); }, true},
        {"address digits 6", [&] { return ctrl.SetAddressDigits(6); }, false},
        {"address digits 8", [&] { return ctrl.SetAddressDigits(8); }, true},
        {"unit digits 3", [&] { return ctrl.SetUnitDigits(3); }, false},
        {"unit digits 16", [&] { return ctrl.SetUnitDigits(16); }, false},
        {"unit digits 8", [&] { return ctrl.SetUnitDigits(8); }, true},
        {"font 7", [&] { return ctrl.SetFontSize(7); }, false},
        {"font 8", [&] { return ctrl.SetFontSize(8); }, true},
    };
    for (const auto& c : cases) {
        ctrl.SetDefaults();
        ctrl.SetAddressDigits(4);
        EXPECT_EQ(c.set(), c.accepted) << c.name;
        if (!c.accepted) {
            EXPECT_EQ(ctrl.GetUnitsPerRow(), 8) << c.name;
            EXPECT_EQ(ctrl.GetAddressDigits(), 4) << c.name;
            EXPECT_EQ(ctrl.GetUnitDigits(), 2) << c.name;
            EXPECT_EQ(ctrl.GetFontSize(), 14) << c.name;
        }
    }

    // Only a one-dimensional byte array is taken; a refused one stays the caller's.
    VARIANT words = MakeByteArray({1, 2});
    words.vt = VT_ARRAY | 18;
    EXPECT_FALSE(ctrl.SetData(&words, 0));
    VARIANT square = MakeByteArray({1, 2});
    square.parray->cDims = 2;
    EXPECT_FALSE(ctrl.SetData(&square, 0));
    EXPECT_NE(square.parray, nullptr);
    EXPECT_FALSE(ctrl.SetData(nullptr, 0));
    EXPECT_FALSE(ctrl.hasData());
    VariantClear(&words);
    VariantClear(&square);
    VARIANT bytes = MakeByteArray({1, 2});
    EXPECT_TRUE(ctrl.SetData(&bytes, 0));
    EXPECT_EQ(bytes.vt, VT_EMPTY);
    EXPECT_EQ(bytes.parray, nullptr);
}

TEST_F(HexEditCtrlTest, UnitsPerRowZeroFitsTheWidth) {
    ctrl.SetUnitsPerRow(0);
    load(ascending(64));
    // As many as fit: one more unit (three columns and a character) would not.
    EXPECT_GT(ctrl.GetUnitsPerRow(), 8);
    EXPECT_LE(ctrl.lineWidth(), ctrl.visibleColumns());
    EXPECT_GT(ctrl.lineWidth() + 4, ctrl.visibleColumns());
    EXPECT_FALSE(ctrl.horizontalBar()->isVisibleTo(&ctrl));
}

TEST_F(HexEditCtrlTest, TypingAtTheEndNeedsInsertModeOrSizeChanges) {
    load(ascending(4));
    key(VK_INSERT); // overwrite
    ASSERT_FALSE(ctrl.insertMode());
    key(VK_END, false, true);
    type("7");
    EXPECT_EQ(ctrl.data(), ascending(4));
    EXPECT_EQ(ctrl.IsModified(), 0);
    ctrl.SetAllowSizeChange(true);
    type("7");
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0, 1, 2, 3, 0x70}));
    EXPECT_EQ(ctrl.IsModified(), 1);
    EXPECT_EQ(ctrl.digitIndex(), 1);
}

TEST_F(HexEditCtrlTest, InsertModeTypingInsertsAWholeByte) {
    load({0x11, 0x22});
    key(VK_RIGHT);
    type("A5");
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0x11, 0xA5, 0x22}));
    EXPECT_EQ(ctrl.caret(), 2);
    EXPECT_EQ(ctrl.digitIndex(), 0);
    // Other characters are not digits; in the character column they are bytes.
    type("g-");
    EXPECT_EQ(ctrl.data().size(), 3u);
    key(VK_TAB, false, true);
    EXPECT_FALSE(ctrl.caretInHexColumn());
    EXPECT_EQ(ctrl.caret(), 2);
    type("z\t");
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0x11, 0xA5, 'z', 0x22}));
    EXPECT_EQ(ctrl.caret(), 3);
}

TEST_F(HexEditCtrlTest, OverwriteTypingInWordsChangesOnlyTheUnitsBytes) {
    load({0x01, 0x02, 0x03, 0x04});
    ctrl.SetUnitDigits(4);
    key(VK_INSERT);
    key(VK_RIGHT);
    type("BEEF");
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0x01, 0x02, 0xEF, 0xBE}));
    EXPECT_EQ(ctrl.caret(), 2);
    // Ctrl+Tab has no character column to go to.
    key(VK_TAB, false, true);
    EXPECT_TRUE(ctrl.caretInHexColumn());
}

TEST_F(HexEditCtrlTest, TypingOverASelectionReplacesOrStaysInsideTheData) {
    load(ascending(6));
    ctrl.MoveCaret(2, 0, false);
    key(VK_RIGHT, true);
    key(VK_RIGHT, true);
    type("ff");
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0, 1, 0xFF, 4, 5}));
    EXPECT_TRUE(ctrl.HasNoSelection());
    // Overwrite without size changes: a selection up to the end leaves the
    // caret behind the data, where nothing may be written.
    ctrl.AllowInsertMode(false);
    key(VK_END, true);
    ASSERT_EQ(ctrl.caret(), 5);
    ASSERT_FALSE(ctrl.HasNoSelection());
    type("1");
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0, 1, 0xFF, 4, 5}));
    EXPECT_TRUE(ctrl.HasNoSelection());
}

TEST_F(HexEditCtrlTest, HidingTheCharactersTakesTheCaretBackToTheDigits) {
    load(ascending(4, 'a'));
    key(VK_TAB, false, true);
    ASSERT_FALSE(ctrl.caretInHexColumn());
    ctrl.ShowAscii(false);
    EXPECT_TRUE(ctrl.caretInHexColumn());
    EXPECT_FALSE(ctrl.asciiColumnShown());
    EXPECT_FALSE(ctrl.IsAsciiShown());
    EXPECT_EQ(rows()[0], "0000  61 62 63 64");
    // Without data the control is blank in the background colour.
    Control empty;
    empty.SetReadOnly(true);
    DrawRecorder recorder;
    CDC dc(&recorder, QSize(50, 40));
    empty.DrawContent(&dc, {0, 0, 50, 40}, {5, 5, 20, 20});
    ASSERT_EQ(recorder.ops.size(), 1u);
    EXPECT_EQ(recorder.ops[0].rect, QRect(5, 5, 15, 15));
    EXPECT_EQ(recorder.ops[0].color, GetSysColor(COLOR_BTNFACE));
}

TEST_F(HexEditCtrlTest, ShiftMovesGrowAndShrinkTheSelection) {
    load(ascending(32));
    ctrl.MoveCaret(3, 0, false);
    key(VK_RIGHT, true);
    key(VK_RIGHT, true);
    EXPECT_EQ(ctrl.selectionStart(), 3);
    EXPECT_EQ(ctrl.selectionEnd(), 4);
    key(VK_LEFT, true);
    EXPECT_EQ(ctrl.selectionEnd(), 3);
    key(VK_LEFT, true);
    EXPECT_TRUE(ctrl.HasNoSelection());
    // Backwards, then past the fixed end.
    key(VK_LEFT, true);
    EXPECT_EQ(ctrl.selectionStart(), 2);
    EXPECT_EQ(ctrl.selectionEnd(), 2);
    key(VK_DOWN, true);
    EXPECT_EQ(ctrl.caret(), 10);
    EXPECT_EQ(ctrl.selectionStart(), 3);
    EXPECT_EQ(ctrl.selectionEnd(), 9);
    // Shift+End takes the row's last unit in.
    key(VK_END, true);
    EXPECT_EQ(ctrl.selectionEnd(), 15);
    // A move without Shift drops it.
    key(VK_LEFT);
    EXPECT_TRUE(ctrl.HasNoSelection());
}

TEST_F(HexEditCtrlTest, DeleteAndBackspaceFollowTheMode) {
    load(ascending(6));
    key(VK_END, false, true);
    key(VK_DELETE);
    EXPECT_EQ(ctrl.data().size(), 6u);
    key(VK_BACK);
    EXPECT_EQ(ctrl.data(), ascending(5));
    ctrl.MoveCaret(-5, 0, false);
    key(VK_BACK);
    key(VK_DELETE);
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{1, 2, 3, 4}));
    // Overwrite without size change: Delete zero-fills, Backspace does nothing.
    key(VK_INSERT);
    key(VK_RIGHT, true);
    key(VK_RIGHT, true);
    key(VK_DELETE);
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0, 0, 3, 4}));
    key(VK_BACK);
    EXPECT_EQ(ctrl.data().size(), 4u);
    ctrl.AllowInsertMode(false);
    key(VK_INSERT);
    EXPECT_FALSE(ctrl.insertMode());
}

TEST_F(HexEditCtrlTest, ReadOnlyRefusesEveryChange) {
    load(ascending(8));
    ctrl.SetReadOnly(true);
    EXPECT_EQ(ctrl.GetBackgroundColor(), GetSysColor(COLOR_BTNFACE));
    putOnClipboard("BinaryData", QByteArray("\x02\0\0\0xy", 6));
    key(VK_RIGHT, true);
    const std::vector<std::function<void()>> attempts = {
        [&] { type("F"); },
        [&] { key(VK_DELETE); },
        [&] { key(VK_BACK); },
        [&] { key(VK_DELETE, true); },
        [&] { key(VK_INSERT, true); },
        [&] { ctrl.OnEditPaste(); },
    };
    for (const auto& attempt : attempts) {
        attempt();
        EXPECT_EQ(ctrl.data(), ascending(8));
    }
    EXPECT_EQ(ctrl.IsModified(), 0);
    ctrl.SetReadOnly(false);
    EXPECT_EQ(ctrl.GetBackgroundColor(), GetSysColor(COLOR_WINDOW));
}

TEST_F(HexEditCtrlTest, CopyPutsBothBlocksOnTheClipboard) {
    ctrl.SetUnitDigits(4);
    load({0x10, 0x11, 0x12, 0x13, 0x14, 0x15});
    key(VK_RIGHT);
    key(VK_RIGHT, true);
    key(VK_RIGHT, true);
    key(VK_INSERT, false, true);
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(mime, nullptr);
    EXPECT_EQ(mime->data("BinaryData"), QByteArray("\x04\0\0\0\x12\x13\x14\x15", 8));
    EXPECT_EQ(mime->data("text/plain"), QByteArray("\x12\x13\x14\x15\0", 5));
    EXPECT_EQ(ctrl.data().size(), 6u);
    // Cut needs insert mode or size changes.
    ctrl.AllowInsertMode(false);
    key(VK_DELETE, true);
    EXPECT_EQ(ctrl.data().size(), 6u);
    ctrl.SetAllowSizeChange(true);
    key(VK_DELETE, true);
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0x10, 0x11}));
    EXPECT_EQ(ctrl.caret(), 1);
}

TEST_F(HexEditCtrlTest, PasteFollowsTheModeAndChecksTheCount) {
    const QByteArray five("\x05\0\0\0ABCDE", 9);
    // Overwrite byte mode over a two-unit selection writes two bytes.
    load(ascending(6));
    key(VK_INSERT);
    key(VK_RIGHT);
    key(VK_RIGHT, true);
    key(VK_RIGHT, true);
    putOnClipboard("BinaryData", five);
    key(VK_INSERT, true);
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0, 'A', 'B', 3, 4, 5}));
    EXPECT_EQ(ctrl.caret(), 1);
    EXPECT_TRUE(ctrl.HasNoSelection());
    // Near the end: cut to what follows, or grown when size changes are allowed.
    ctrl.MoveCaret(3, 0, false);
    ctrl.OnEditPaste();
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0, 'A', 'B', 3, 'A', 'B'}));
    ctrl.SetAllowSizeChange(true);
    ctrl.OnEditPaste();
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0, 'A', 'B', 3, 'A', 'B', 'C', 'D', 'E'}));
    // Insert mode makes room; text loses its terminator.
    key(VK_INSERT);
    ctrl.MoveCaret(-10, 0, false);
    putOnClipboard("text/plain", QByteArray("hi\0", 3));
    ctrl.OnEditPaste();
    EXPECT_EQ(std::string(ctrl.data().begin(), ctrl.data().begin() + 4), std::string("hi\0A", 4));
    // A count the block does not hold pastes nothing.
    const std::vector<BYTE> before = ctrl.data();
    putOnClipboard("BinaryData", QByteArray("\xFF\xFF\xFF\x7F"
                                            "AB",
                                            6));
    ctrl.OnEditPaste();
    putOnClipboard("BinaryData", QByteArray("\x01\0", 2));
    ctrl.OnEditPaste();
    EXPECT_EQ(ctrl.data(), before);
}

TEST_F(HexEditCtrlTest, MouseSelectsAndScrollsWhileDraggedOutside) {
    load(ascending(256));
    const RECT client = ctrl.clientRect();
    // The third unit's first digit, in the first row.
    const POINT unit2{(6 + 2 * 3) * kCharWidth + kCharWidth / 2 + 1, 5};
    ctrl.OnLButtonDown(MK_LBUTTON, unit2);
    EXPECT_EQ(ctrl.caret(), 2);
    EXPECT_FALSE(ctrl.caretState().shown);
    const POINT below{unit2.x, client.bottom + 10};
    ctrl.OnMouseMove(MK_LBUTTON, below);
    EXPECT_TRUE(manual->isRunning(CHexEditCtrl::AutoScrollTimer));
    EXPECT_EQ(manual->period(CHexEditCtrl::AutoScrollTimer), 200u);
    const int first = ctrl.firstVisibleUnit();
    EXPECT_GT(first, 0);
    manual->fire(CHexEditCtrl::AutoScrollTimer);
    EXPECT_EQ(ctrl.firstVisibleUnit(), first + 8);
    EXPECT_EQ(ctrl.selectionStart(), 2);
    ctrl.OnLButtonUp(0, unit2);
    EXPECT_FALSE(manual->isRunning(CHexEditCtrl::AutoScrollTimer));
    EXPECT_EQ(ctrl.selectionEnd(), first + 8 + 2);
    EXPECT_EQ(ctrl.caret(), ctrl.selectionEnd() + 1);
    EXPECT_TRUE(ctrl.caretState().shown);

    // A double click on a character selects its byte.
    const POINT character{(31 + 5) * kCharWidth + kCharWidth / 2 + 1, 5};
    ctrl.OnLButtonDblClk(MK_LBUTTON, character);
    EXPECT_FALSE(ctrl.caretInHexColumn());
    EXPECT_EQ(ctrl.selectionStart(), ctrl.firstVisibleUnit() + 5);
    EXPECT_EQ(ctrl.selectionEnd(), ctrl.selectionStart());
    // The space behind a unit counts as its last digit.
    ctrl.HitTest((6 + 3 * 3 + 2) * kCharWidth + kCharWidth / 2 + 1, 5);
    EXPECT_EQ(ctrl.caret() - ctrl.firstVisibleUnit(), 3);
    EXPECT_EQ(ctrl.digitIndex(), 1);
}

TEST_F(HexEditCtrlTest, ScrollingStaysWithinTheData) {
    load(ascending(256));
    const int page = ctrl.visibleRows();
    ASSERT_LT(page, 32);
    ctrl.OnVScroll(SB_PAGEDOWN, 0);
    EXPECT_EQ(ctrl.firstVisibleUnit(), page * 8);
    ctrl.OnVScroll(SB_PAGEDOWN, 0);
    ctrl.OnVScroll(SB_PAGEDOWN, 0);
    // The last page ends on the row that holds the end caret.
    EXPECT_EQ(ctrl.firstVisibleUnit(), 256 - 8 * (page - 1));
    ctrl.OnVScroll(SB_THUMBTRACK, 1);
    EXPECT_EQ(ctrl.firstVisibleUnit(), 8);
    EXPECT_EQ(ctrl.verticalBar()->value(), 1);
    ctrl.OnVScroll(SB_LINEUP, 0);
    ctrl.OnVScroll(SB_LINEUP, 0);
    EXPECT_EQ(ctrl.firstVisibleUnit(), 0);
    EXPECT_TRUE(ctrl.verticalBar()->isVisibleTo(&ctrl));
    EXPECT_FALSE(ctrl.horizontalBar()->isVisibleTo(&ctrl));
    // A narrow window scrolls sideways to keep the caret in view.
    ctrl.show();
    ctrl.resize(150, 200);
    EXPECT_TRUE(ctrl.horizontalBar()->isVisibleTo(&ctrl));
    key(VK_END);
    EXPECT_GT(ctrl.horizontalScroll(), 0);
    key(VK_HOME);
    EXPECT_EQ(ctrl.horizontalScroll(), 0);
}

TEST_F(HexEditCtrlTest, RangesAreCheckedAndInsertRaisesForNothing) {
    load(ascending(4));
    EXPECT_THROW(ctrl.InsertRange(1, 0), CMemoryException);
    ctrl.InsertRange(99, 1);
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0, 1, 2, 3, 0}));
    ctrl.DeleteRange(3, 100);
    ctrl.DeleteRange(-5, 2);
    ctrl.DeleteRange(10, 1);
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0, 1, 2}));
    // Empty data takes typing in insert mode and offers nothing to select.
    load({});
    ctrl.OnEditSelectAll();
    EXPECT_TRUE(ctrl.HasNoSelection());
    type("c");
    EXPECT_EQ(ctrl.data(), (std::vector<BYTE>{0xC0}));
}

TEST_F(HexEditCtrlTest, ContextMenuOffersWhatApplies) {
    ctrl.OnContextMenu({-1, -1});
    EXPECT_TRUE(ctrl.offered.empty()); // no data, no menu
    load(ascending(8));
    ctrl.choose = ID_EDIT_SELECT_ALL;
    ctrl.OnContextMenu({-1, -1});
    const QPoint corner = ctrl.mapToGlobal(ctrl.contentsRect().topLeft() + QPoint(5, 5));
    EXPECT_EQ(ctrl.menuAt.x, corner.x());
    EXPECT_EQ(ctrl.menuAt.y, corner.y());
    EXPECT_EQ(ctrl.offered, (std::map<UINT, bool>{{ID_EDIT_COPY, false},
                                                  {ID_EDIT_CUT, false},
                                                  {ID_EDIT_PASTE, false},
                                                  {ID_EDIT_SELECT_ALL, true}}));
    EXPECT_EQ(ctrl.selectionStart(), 0);
    EXPECT_EQ(ctrl.selectionEnd(), 7);
    ctrl.AllowInsertMode(false); // overwrite, no size change: nothing to cut
    ctrl.choose = ID_EDIT_COPY;
    ctrl.OnContextMenu({300, 400});
    EXPECT_EQ(ctrl.menuAt.x, 300);
    EXPECT_EQ(ctrl.offered, (std::map<UINT, bool>{{ID_EDIT_COPY, true},
                                                  {ID_EDIT_CUT, false},
                                                  {ID_EDIT_PASTE, false},
                                                  {ID_EDIT_SELECT_ALL, true}}));
    ctrl.OnContextMenu({1, 1});
    EXPECT_TRUE(ctrl.offered[ID_EDIT_PASTE]);
    const std::unique_ptr<QMenu> menu = ctrl.createContextMenu();
    EXPECT_EQ(menu->actions().value(0)->text(), "Cu&t\tShift+Del");
    EXPECT_EQ(menu->actions().value(4)->text(), "Select &all\tCtrl+A");
}

TEST_F(HexEditCtrlTest, KeysReachTheControlAndTabMovesOn) {
    QWidget dialog;
    auto* before = new QLineEdit(&dialog);
    auto* hex = new CHexEditCtrl(&dialog);
    auto* after = new QLineEdit(&dialog);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(before);
    layout->addWidget(hex);
    layout->addWidget(after);
    dialog.show();
    hex->setFocus();
    VARIANT v = MakeByteArray({0x00, 0x00});
    hex->SetData(&v, 0);
    QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    QApplication::sendEvent(hex, &a);
    EXPECT_EQ(hex->data(), (std::vector<BYTE>{0xA0, 0x00, 0x00}));
    QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(hex, &tab);
    EXPECT_EQ(dialog.focusWidget(), after);
    hex->setFocus();
    QKeyEvent back(QEvent::KeyPress, Qt::Key_Backtab, Qt::ShiftModifier);
    QApplication::sendEvent(hex, &back);
    EXPECT_EQ(dialog.focusWidget(), before);
}

TEST_F(HexEditCtrlTest, PictureWithDataAndASelection) {
    std::vector<BYTE> bytes;
    for (const char c : std::string("Spectrometer calibration block\x01\x02\x7F\x80 hex view")) {
        bytes.push_back(static_cast<BYTE>(c));
    }
    ctrl.resize(420, 120);
    load(bytes, 0x1F00);
    ctrl.MoveCaret(11, 0, false);
    for (int i = 0; i < 11; ++i) {
        key(VK_RIGHT, true);
    }
    const QImage picture = test::grabWidget(&ctrl, "hexeditctrl");
    // The selection is drawn in the highlight colour, the rest on the window colour.
    const QPoint inside = ctrl.contentsRect().topLeft();
    EXPECT_EQ(
        test::pixel(picture, inside.x() + (6 + 4 * 3) * kCharWidth, inside.y() + kCharHeight + 1),
        GetSysColor(COLOR_HIGHLIGHT));
    EXPECT_EQ(test::pixel(picture, inside.x() + 1, inside.y() + 1), GetSysColor(COLOR_WINDOW));
}

} // namespace
} // namespace glimra
