#pragma once
// CTextRotator renders a text of one or more lines into a square memory
// bitmap, turns it by 0, 90, 180 or 270 degrees and copies it, aligned, onto
// a target context, optionally with etched lines beside it.
//
// CNewLabel is a static text control that paints itself through a rotator:
// its own font, colours and alignment, turned or stacked text, upper or
// lower case, a background bitmap, flashing text or background, a link that
// the desktop opens, a hover colour, a tool tip (CControlToolTip), a border,
// a sunken edge and an embossed disabled look. Its window text (what the
// control shows) can differ from the label text (what the client gave):
// reading the text from outside gives the label text.

#include "glimra/export.h"
#include "glimra/gdi.h"
#include "glimra/messages.h"
#include "glimra/styles.h"
#include "glimra/timers.h"
#include "glimra/tooltip.h"

#include <QCursor>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace glimra {

inline constexpr UINT WM_ENABLE = 0x000A;
inline constexpr UINT WM_MOUSEHOVER = 0x02A1;
inline constexpr UINT WM_MOUSELEAVE = 0x02A3;

class GLIMRA_EXPORT CTextRotator {
public:
    CTextRotator(CDC* target, const char* text, int horizontal, int vertical);
    CTextRotator(const CTextRotator& other);
    CTextRotator& operator=(const CTextRotator& other);
    virtual ~CTextRotator();

    // Renders the text turned by angle (0, 90, 180, 270; others as 0) into
    // the memory context; FALSE when a bitmap or context could not be made.
    BOOL DrawRotatedText(int angle);
    BOOL BltTo(int x, int y);
    // Aligned in the area, with the etched lines when they are on; the
    // positions are taken from the target's origin, not from left and top.
    BOOL BltAligned(int left, int top, int right, int bottom);
    // Copies the source area turned by angle to (0, 0) of destination.
    static BOOL RotateBlt(CDC* source, CDC* destination, int left, int top, int right, int bottom,
                          int angle);
    void Clear();
    static SIZE* CalcLinesExtent(SIZE* out, CDC* dc, const std::vector<std::string>* lines);

    void GetRect(RECT* out) const;
    const RECT& GetRect() const { return rect_; }
    CDC* GetMemDC() const { return memory_.get(); }
    int angle() const { return angle_; }

    void SetText(const char* text) { text_ = text != nullptr ? text : ""; }
    void SetBkColor(COLORREF color) { bkColor_ = color; }
    void SetTextColor(COLORREF color) { textColor_ = color; }
    void SetHorzAlignment(int alignment) { horizontal_ = alignment; }
    void SetVertAlignment(int alignment) { vertical_ = alignment; }
    void SetEmbossed(BOOL embossed) { embossed_ = embossed; }
    void SetEtchedLines(BOOL etched) { etched_ = etched; }

    // Every platform this runs on is of the family whose version word has
    // its high bit clear.
    static BOOL IsWindowsNT() { return TRUE; }

private:
    void copyRendering(const CTextRotator& other);

    CDC* target_ = nullptr;
    std::unique_ptr<CDC> memory_;
    std::unique_ptr<CBitmap> memoryBitmap_;
    RECT rect_;
    int horizontal_ = 0;
    int vertical_ = 0;
    int angle_ = 0;
    BOOL embossed_ = FALSE;
    BOOL etched_ = FALSE;
    std::string text_;
    COLORREF bkColor_ = 0;
    COLORREF textColor_ = 0;
};

// Alignment flags of CNewLabel.
inline constexpr UINT LBL_LEFT = 1;
inline constexpr UINT LBL_CENTER = 2;
inline constexpr UINT LBL_RIGHT = 4;
inline constexpr UINT LBL_TOP = 8;
inline constexpr UINT LBL_VCENTER = 16;
inline constexpr UINT LBL_BOTTOM = 32;

class GLIMRA_EXPORT CNewLabel : public QWidget {
    Q_OBJECT

public:
    static constexpr UINT TextFlashTimer = 1;
    static constexpr UINT BackgroundFlashTimer = 2;

    explicit CNewLabel(QWidget* parent = nullptr);
    ~CNewLabel() override;

    // Makes the window: text, static style bits, place and control id.
    BOOL Create(const char* text, DWORD style, const RECT& rect, QWidget* parent, UINT id);
    // Takes the place, id and text of a dialog's static control id, which
    // it replaces.
    BOOL SubclassDlgItem(int id, QWidget* dialog);

    LRESULT sendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // The window text as seen from outside (the label text).
    std::string GetWindowText();
    void SetWindowText(const char* text);

    void SetBkColor(COLORREF color);
    void SetDefaultBkColor();
    void SetTextBkColor(COLORREF color);
    void SetDefaultTextBkColor();
    void SetTextColor(COLORREF color);
    void SetDefaultTextColor();
    void SetHoverColor(COLORREF color) { hoverColor_ = color; }
    void SetHoverHighlight(BOOL on);
    void SetStandardPaint(BOOL on);
    void SetFontBold(BOOL bold);
    void SetFontItalic(BYTE italic);
    void SetFontUnderline(BYTE underline);
    void SetFontName(const char* face);
    void SetFontSize(int height);
    void RebuildFont();
    void SetAlignment(UINT flags);
    void SetAngle(int degrees);
    // An id of the program's resources; UINT(-1) for none.
    void SetBitmap(UINT id);
    void SetStretchBitmap(BOOL on);
    void SetBorder(BOOL on);
    void SetSunken(BOOL on);
    void SetDisabledStyle(BOOL on);
    void SetEtchedLines(BOOL on);
    void SetLink(BOOL on) { link_ = on; }
    void SetLinkCursor(const QCursor& cursor);
    // A cursor image of the program's resources.
    void SetLinkCursor(UINT id);
    void SetLowerCase(BOOL on);
    void SetUpperCase(BOOL on);
    void SetStackedText(BOOL on);
    void SetText(const char* text);
    void SetWindowTextInternal(const char* text);
    // The window text as shown; the number of characters copied.
    int GetText(char* buffer, int size);
    void GetText(std::string& out);
    std::string GetLabelText() const { return labelText_; }
    // Each character followed by "\n", but the last; null text: the label's.
    void GetStackedText(std::string* out, const char* text = nullptr) const;
    static BOOL IsMultiLine(const char* text);
    void FlashText(BOOL on, UINT periodMs);
    void FlashBackground(BOOL on, UINT periodMs);
    void ShowToolTip(BOOL on);
    void SetToolTipText(const char* text) { toolTip_.SetText(text); }
    void SetToolTipPosition(int position) { toolTip_.SetPosition(position); }
    void SetToolTipButtonOnly(BOOL on) { toolTip_.SetButtonOnly(on); }
    void SetToolTipLeftButton(BOOL on) { toolTip_.SetLeftButton(on); }
    void SetHighlightOnlyWithToolTip(BOOL on) { highlightOnlyWithToolTip_ = on; }
    void TrackMouse(BOOL hover, BOOL leave);
    static void DrawAlignedText(CDC* dc, const char* text, RECT area, UINT flags);

    COLORREF GetBkColor() const { return bkColor_; }
    COLORREF GetTextBkColor() const { return textBkColor_; }
    COLORREF GetTextColor() const { return textColor_; }
    COLORREF GetHoverColor() const { return hoverColor_; }
    BOOL IsDefaultBkColor() const { return defaultBk_; }
    BOOL IsDefaultTextBkColor() const { return defaultTextBk_; }
    BOOL IsDefaultTextColor() const { return defaultText_; }
    BOOL IsFontBold() const { return (font_.lfWeight & FW_BOLD) == FW_BOLD; }
    BYTE IsFontItalic() const { return font_.lfItalic; }
    BYTE IsFontUnderline() const { return font_.lfUnderline; }
    int GetFontSize() const { return font_.lfHeight; }
    std::string GetFontName() const { return font_.lfFaceName; }
    const LOGFONTA& logFont() const { return font_; }
    UINT GetAlignment() const { return alignment_; }
    UINT GetHorzAlignment() const;
    int GetHorzAlignmentIndex() const;
    UINT GetVertAlignment() const;
    int GetVertAlignmentIndex() const;
    int GetAngle() const { return angle_; }
    BOOL IsStretchBitmap() const { return stretchBitmap_; }
    BOOL IsBorder() const { return (style_ & WS_BORDER) != 0; }
    BOOL IsSunken() const { return (exStyle_ & WS_EX_STATICEDGE) != 0; }
    BOOL IsDisabledStyle() const { return (style_ & WS_DISABLED) != 0; }
    BOOL IsEtchedLines() const { return etched_; }
    BOOL IsLink() const { return link_; }
    BOOL IsStackedText() const { return stacked_; }
    BOOL IsLowerCase() const { return lowerCase_; }
    BOOL IsUpperCase() const { return upperCase_; }
    BOOL IsToolTipOn() const { return toolTipOn_; }
    BOOL IsHighlightOnlyWithToolTip() const { return highlightOnlyWithToolTip_; }
    BOOL IsToolTipButtonOnly() const { return toolTip_.IsButtonOnly(); }
    BOOL IsToolTipLeftButton() const { return toolTip_.IsLeftButton(); }
    BOOL IsHoverHighlight() const { return hoverHighlight_; }
    BOOL IsStandardPaint() const { return standardPaint_; }

    DWORD GetStyle() const { return style_; }
    DWORD GetExStyle() const { return exStyle_; }
    void ModifyStyle(DWORD remove, DWORD add);
    void ModifyStyleEx(DWORD remove, DWORD add);
    CControlToolTip& toolTip() { return toolTip_; }
    bool hasBitmap() const { return bitmap_.has_value(); }
    // The client area inside the border and edge.
    RECT clientRect() const;

    // Paints the whole window (frame and client area) into dc.
    void render(CDC* dc);

protected:
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual void PreSubclassWindow();
    void OnPaint(CDC* dc);
    void OnTimer(UINT id);
    void OnMouseMove();
    void OnLButtonDown();

    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void redraw();
    void standardPaint(CDC* dc, const RECT& client);
    std::string shownText() const;

    COLORREF bkColor_;
    CBrush bkBrush_;
    COLORREF textBkColor_;
    COLORREF textColor_;
    COLORREF hoverColor_;
    COLORREF savedTextColor_;
    BOOL standardPaint_ = FALSE;
    BOOL defaultBk_ = TRUE;
    BOOL defaultTextBk_ = TRUE;
    BOOL defaultText_ = TRUE;
    BOOL link_ = FALSE;
    BOOL etched_ = FALSE;
    BOOL hoverHighlight_ = FALSE;
    BOOL stacked_ = FALSE;
    BOOL trackingStarted_ = FALSE;
    BOOL textFlashing_ = FALSE;
    BOOL backgroundFlashing_ = FALSE;
    BOOL textHidden_ = FALSE;
    BOOL backgroundPhase_ = FALSE;
    BOOL toolTipOn_ = FALSE;
    BOOL highlightOnlyWithToolTip_ = FALSE;
    BOOL internalText_ = FALSE;
    BOOL lowerCase_ = FALSE;
    BOOL upperCase_ = FALSE;
    BOOL stretchBitmap_ = FALSE;
    LOGFONTA font_;
    CFont fontObject_;
    std::optional<QCursor> cursor_;
    std::optional<QImage> bitmap_;
    UINT alignment_ = LBL_LEFT | LBL_TOP;
    int angle_ = 0;
    std::string labelText_;
    std::string windowText_;
    DWORD style_ = WS_CHILD | WS_VISIBLE;
    DWORD exStyle_ = 0;
    bool hoverAsked_ = false;
    bool leaveAsked_ = false;
    CControlToolTip toolTip_;
    Timers timers_;
};

} // namespace glimra
