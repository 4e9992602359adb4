#pragma once
// CHexEditCtrl: a child window that shows a byte array as rows of an address,
// hexadecimal units of 1, 2 or 4 bytes and, in byte mode, the printable
// characters, and lets the user edit it: a caret in insert or overwrite mode,
// selections by keyboard and mouse (scrolling while the mouse is dragged
// outside), a context menu, and the clipboard ("BinaryData" blocks and text).
//
// The data comes in a VARIANT holding a one-dimensional byte array, which the
// control takes over; clients read the edited bytes back with data() and see
// whether the user changed them with IsModified().

#include "glimra/desktop.h"
#include "glimra/export.h"
#include "glimra/gdi.h"
#include "glimra/hexeditdata.h"
#include "glimra/library.h"
#include "glimra/timers.h"

#include <QFrame>

#include <memory>
#include <vector>

class QMenu;
class QScrollBar;

namespace glimra {

using VARTYPE = WORD;
inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_UI1 = 17;
inline constexpr VARTYPE VT_ARRAY = 0x2000;

// A safe array of bytes: its dimension count and its elements.
struct SAFEARRAY {
    WORD cDims = 1;
    std::vector<BYTE> data;
};

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    SAFEARRAY* parray = nullptr;
};

// A VARIANT of type VT_ARRAY | VT_UI1 over a new array of the bytes.
GLIMRA_EXPORT VARIANT MakeByteArray(std::vector<BYTE> bytes);
// Frees the array a VARIANT holds and empties it.
GLIMRA_EXPORT void VariantClear(VARIANT* v);

inline constexpr UINT ID_EDIT_COPY = 57634;
inline constexpr UINT ID_EDIT_CUT = 57635;
inline constexpr UINT ID_EDIT_PASTE = 57637;
inline constexpr UINT ID_EDIT_SELECT_ALL = 57642;

// Virtual keys the control answers.
inline constexpr UINT VK_BACK = 0x08;
inline constexpr UINT VK_TAB = 0x09;
inline constexpr UINT VK_PRIOR = 0x21;
inline constexpr UINT VK_NEXT = 0x22;
inline constexpr UINT VK_END = 0x23;
inline constexpr UINT VK_HOME = 0x24;
inline constexpr UINT VK_INSERT = 0x2D;
inline constexpr UINT VK_DELETE = 0x2E;

// Scroll-bar requests.
inline constexpr UINT SB_LINEUP = 0;
inline constexpr UINT SB_LINEDOWN = 1;
inline constexpr UINT SB_PAGEUP = 2;
inline constexpr UINT SB_PAGEDOWN = 3;
inline constexpr UINT SB_THUMBPOSITION = 4;
inline constexpr UINT SB_THUMBTRACK = 5;
inline constexpr UINT SB_TOP = 6;
inline constexpr UINT SB_BOTTOM = 7;
inline constexpr UINT SB_ENDSCROLL = 8;

// Mouse-message flags.
inline constexpr UINT MK_LBUTTON = 0x1;
inline constexpr UINT MK_SHIFT = 0x4;
inline constexpr UINT MK_CONTROL = 0x8;

class GLIMRA_EXPORT CHexEditCtrl : public QFrame, public CCmdTarget {
    Q_OBJECT

public:
    static constexpr UINT IDR_CONTEXT_MENU = 10013;
    static constexpr UINT AutoScrollTimer = 1;
    static constexpr UINT AutoScrollPeriodMs = 200;

    explicit CHexEditCtrl(QWidget* parent = nullptr);
    ~CHexEditCtrl() override;
    static CHexEditCtrl* CreateObject(QWidget* parent = nullptr);

    void SetDefaults();
    // Takes over the array of data (data is left empty); false for anything
    // but a one-dimensional byte array below 2^31 bytes (data is kept then).
    bool SetData(VARIANT* data, int startAddress);
    const std::vector<BYTE>& data() const;
    bool hasData() const { return array_ != nullptr; }
    int IsModified() const { return modified_; }

    void ShowAddress(bool show);
    bool IsAddressShown() const { return showAddress_; }
    void ShowAscii(bool show);
    bool IsAsciiShown() const { return asciiRequested_; }
    bool SetUnitsPerRow(short units);
    short GetUnitsPerRow() const { return unitsPerRow_; }
    bool SetAddressDigits(short digits);
    short GetAddressDigits() const { return addressDigits_; }
    bool SetUnitDigits(short digits);
    short GetUnitDigits() const { return unitDigits_; }
    bool SetFontSize(short height);
    short GetFontSize() const { return fontHeight_; }
    void SetReadOnly(bool readOnly);
    bool IsReadOnly() const { return readOnly_; }
    COLORREF GetBackgroundColor() const;
    void SetAllowSizeChange(bool allow) { sizeChange_ = allow; }
    bool IsSizeChangeAllowed() const { return sizeChange_; }
    void AllowInsertMode(bool allow);

    void ClearSelection();
    bool HasNoSelection() const { return selStart_ < 0 || selEnd_ < 0; }
    void DeleteRange(int unit, int count);
    // Raises CMemoryException for a count of 0 or a size reaching 2^31 bytes.
    void InsertRange(int unit, int count);
    void DeleteSelection();
    void MoveCaret(int units, int rows, bool redraw);
    void HitTest(int x, int y);
    void ExtendSelectionTo(int x, int y);
    bool EnsureCaretVisible();
    bool UpdateScrollBars();
    void RecalcLayout();
    void UpdateCaretPos();
    void InvalidateUnit(int unit);
    bool PrepareWrite();

    virtual void DrawContent(CDC* dc, const RECT& client, const RECT& update);
    void DrawTextClipped(CDC* dc, const RECT& update, int x, int y, std::string_view text);

    // The message handlers; points are in client coordinates.
    void OnKeyDown(UINT key, bool shift, bool ctrl);
    void OnChar(UINT ch);
    void OnLButtonDown(UINT flags, POINT point);
    void OnLButtonDblClk(UINT flags, POINT point);
    void OnLButtonUp(UINT flags, POINT point);
    void OnMouseMove(UINT flags, POINT point);
    void OnTimer(UINT id);
    void OnVScroll(UINT code, int thumb);
    void OnHScroll(UINT code, int thumb);
    void OnSetFocus();
    void OnKillFocus();
    // screen: where the menu opens; (-1, -1) when asked for from the keyboard.
    void OnContextMenu(POINT screen);
    void OnEditCopy();
    void OnEditCut();
    void OnEditPaste();
    void OnEditSelectAll();
    void OnUpdateEditCopy(CCmdUI* ui);
    void OnUpdateEditCut(CCmdUI* ui);
    void OnUpdateEditPaste(CCmdUI* ui);
    void OnUpdateEditSelectAll(CCmdUI* ui);

    // The context menu of resource 10013, commands bound to this control.
    std::unique_ptr<QMenu> createContextMenu();

    // State, as tests and clients inspect it.
    int caret() const { return caret_; }
    int digitIndex() const { return digit_; }
    int selectionStart() const { return selStart_; }
    int selectionEnd() const { return selEnd_; }
    int firstVisibleUnit() const { return firstUnit_; }
    int horizontalScroll() const { return hScroll_; }
    bool caretInHexColumn() const { return (mode_ & kHexColumn) != 0; }
    bool insertMode() const { return (mode_ & kInsertMode) != 0; }
    bool asciiColumnShown() const { return asciiShown_; }
    int visibleRows() const { return visibleRows_; }
    int visibleColumns() const { return visibleColumns_; }
    int totalRows() const { return totalRows_; }
    int lineWidth() const { return lineWidth_; }
    SIZE charSize() const { return {charWidth_, charHeight_}; }
    RECT clientRect() const { return client_; }
    int unitCount() const;
    int unitBytes() const { return unitDigits_ / 2; }

    struct Caret {
        bool exists = false;
        bool shown = false;
        int width = 0;
        int height = 0;
        POINT pos;
    };
    const Caret& caretState() const { return caretState_; }
    bool autoScrollRunning() const { return autoScroll_; }
    QScrollBar* verticalBar() const { return vBar_; }
    QScrollBar* horizontalBar() const { return hBar_; }

protected:
    // Opens the menu at the screen point; the chosen command, 0 for none.
    virtual UINT TrackPopupMenu(QMenu* menu, POINT screen);

    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    static constexpr int kHexColumn = 0x1;
    static constexpr int kInsertMode = 0x2;

    std::vector<BYTE>& bytes();
    HexCursor hexCursor() const { return {caret_, selStart_, selEnd_}; }
    void setHexCursor(const HexCursor& c);
    bool writable() const { return hasData() && !readOnly_; }
    bool mayResize() const { return insertMode() || sizeChange_; }
    void createCaret();
    void showCaret(bool show);
    void placeScrollBars();
    void relayout();
    void scrollBarAction(bool vertical, int action);
    void changed();
    void moveKey(UINT key, bool shift);
    void copySelection();
    void setVerticalFirst(int first);
    POINT toClient(const QPoint& p) const;

    bool showAddress_ = true;
    bool asciiRequested_ = true;
    bool sizeChange_ = false;
    int modified_ = 0;
    bool insertAllowed_ = true;
    bool readOnly_ = false;
    std::unique_ptr<SAFEARRAY> array_;
    short addressDigits_ = 4;
    short unitDigits_ = 2;
    short unitsPerRow_ = 8;
    short fontHeight_ = 14;
    int startAddress_ = 0;
    bool asciiShown_ = false;
    int hScroll_ = 0;
    bool mouseDrag_ = false;
    bool dragSelect_ = false;
    int anchor_ = 0;
    int visibleColumns_ = 0;
    int visibleRows_ = 0;
    int lineWidth_ = 0;
    int totalRows_ = 0;
    int charWidth_ = 8;
    int charHeight_ = 14;
    int selStart_ = -1;
    int selEnd_ = -1;
    int caret_ = 0;
    int firstUnit_ = 0;
    int digit_ = 0;
    int hexStart_ = 0;
    int asciiStart_ = 0;
    int mode_ = kHexColumn | kInsertMode;
    RECT client_;
    bool autoScroll_ = false;
    POINT lastMouse_;

    CFont font_;
    bool focused_ = false;
    bool vShown_ = false;
    bool hShown_ = false;
    bool updatingBars_ = false;
    Caret caretState_;
    QScrollBar* vBar_ = nullptr;
    QScrollBar* hBar_ = nullptr;
    Timers timers_;
};

} // namespace glimra
