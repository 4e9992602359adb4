#pragma once
// CControlToolTip: a small top-most pop-up that shows a text, optionally of
// several lines, next to one owner control. It watches the cursor itself
// (timer 1, every 100 ms) and shows itself while the cursor is over the owner
// and the owner's dialog holds the focus, by default only while the left
// mouse button is held; it hides itself otherwise. The cursor, buttons and
// focus come from the desktop source (desktop.h).

#include "glimra/export.h"
#include "glimra/gdi.h"
#include "glimra/timers.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <string>

namespace glimra {

class GLIMRA_EXPORT CControlToolTip {
public:
    static constexpr UINT WatchTimer = 1;
    static constexpr UINT WatchPeriodMs = 100;
    static constexpr int OverOwner = 0;
    static constexpr int BelowOwner = 1;
    static constexpr int AboveOwner = 2;

    CControlToolTip();
    virtual ~CControlToolTip();
    CControlToolTip(const CControlToolTip&) = delete;
    CControlToolTip& operator=(const CControlToolTip&) = delete;

    // The tip's window class is known once; nonzero.
    static int RegisterClass();

    // Creates the tip's window for owner and starts watching; FALSE when the
    // window could not be made. A shown tip is hidden first.
    BOOL Show(QWidget* owner);
    // Destroys the window and forgets the owner; TRUE without a window.
    BOOL Hide();

    void SetText(const char* text);
    std::string GetText() const { return text_; }
    // 0 over the owner's top-left corner, 1 below, 2 above; others ignored.
    void SetPosition(int position);
    int GetPosition() const { return position_; }
    // The colours are used only while ownColors is TRUE.
    int SetBkColor(BOOL ownColors, COLORREF color);
    int SetTextColor(COLORREF color);
    COLORREF GetBkColor() const { return bkColor_; }
    COLORREF GetTextColor() const { return textColor_; }
    BOOL HasOwnColors() const { return ownColors_; }
    void SetButtonOnly(BOOL buttonOnly) { buttonOnly_ = buttonOnly; }
    BOOL IsButtonOnly() const { return buttonOnly_; }
    void SetLeftButton(BOOL left) { leftButton_ = left; }
    BOOL IsLeftButton() const { return leftButton_; }
    // Between Show and Hide.
    BOOL IsShown() const { return owner_ != nullptr; }

    // 1 plus the line feeds of text (null: the tip's own text).
    int GetLineCount(const char* text = nullptr) const;
    // The size of text as the tip draws it in dc's font.
    SIZE* CalcTextExtent(SIZE* out, CDC* dc, const char* text) const;
    // The cursor lies in the owner's window rectangle, all four edges included.
    BOOL IsCursorOverOwner() const;
    // Places the tip at its anchor and shows it without activating it; an
    // empty text hides it instead.
    void Reposition();

    // The tip's window while it exists (null otherwise), its text rectangle,
    // and whether it is visible.
    QWidget* window() const;
    const RECT& textRect() const { return textRect_; }
    bool isVisible() const;
    // Paints the tip's client area as its window does.
    void paint(CDC* dc) const;

protected:
    virtual void OnTimer(UINT id);

private:
    class Window;
    void measure();

    QPointer<QWidget> owner_;
    std::string text_;
    RECT textRect_;
    int position_ = OverOwner;
    COLORREF textColor_;
    COLORREF bkColor_;
    BOOL ownColors_ = FALSE;
    BOOL buttonOnly_ = TRUE;
    BOOL leftButton_ = TRUE;
    std::unique_ptr<Window> window_;
    Timers timers_;
};

} // namespace glimra
