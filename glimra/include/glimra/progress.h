#pragma once
// CProgress draws a progress bar without being a window: range, position,
// step, a snake mode (a segment that runs past the end by its own length and
// turns around), a text with a value, colours, brushes, borders and a clip
// region. Its gradient paints the bar; every frame is composed off-screen.

#include "glimra/export.h"
#include "glimra/gradient.h"

#include <string>

namespace glimra {

// Style flags.
inline constexpr DWORD PBS_VERTICAL = 0x0004;
inline constexpr DWORD PBS_TEXT_LEFT = 0x0010;
inline constexpr DWORD PBS_TEXT_RIGHT = 0x0020;
inline constexpr DWORD PBS_TEXT_TOP = 0x0040;
inline constexpr DWORD PBS_TEXT_BOTTOM = 0x0080;
inline constexpr DWORD PBS_TEXT_CENTER = 0x00F0;
inline constexpr DWORD PBS_PERCENT = 0x0100;
inline constexpr DWORD PBS_POSITION = 0x0200;
inline constexpr DWORD PBS_TEXT_MODE = 0x0300;
inline constexpr DWORD PBS_TEXT_ON_BAR = 0x1000;
inline constexpr DWORD PBS_RUBBER_BAR = 0x2000;
inline constexpr DWORD PBS_REVERSE = 0x4000;
inline constexpr DWORD PBS_SNAKE = 0x8000;

class GLIMRA_EXPORT CProgress : public CGradient {
public:
    // A stretch along the bar, in pixels from its start.
    struct Part {
        int start = 0;
        int end = 0;
    };

    CProgress();
    ~CProgress() override;

    using CGradient::Draw;
    // Draws into rect of dc; direct draws straight onto dc instead of
    // composing off-screen first.
    void Draw(CDC* dc, RECT rect, BOOL direct);

    // The previous range, lower bound in the low word.
    DWORD SetRange(int a, int b);
    void GetRange(int* lower, int* upper) const;
    int SetPos(int pos);
    int OffsetPos(int delta);
    int SetStep(int step);
    int StepIt();
    int GetPos() const { return pos_; }
    int SetPosInternal(int value, BOOL force);
    // The rectangle of a part inside the bar area of the last Draw.
    RECT MapRect(Part part) const;
    void ShiftGradient(int shift);
    void ResetGradientShift() { gradientOffset_ = 0; }
    int GetGradientOffset() const { return gradientOffset_; }

    void SetText(const char* text, int mode);
    void ShowPercent(bool show);
    void HideText() { SetText(nullptr, 0); }
    void SetTextFormat(const char* text) { text_ = text != nullptr ? text : ""; }
    const std::string& GetText() const { return text_; }
    // Takes a copy of the region (null: none), in the drawn rectangle's coordinates.
    BOOL SetClipRgn(const CRgn* region);
    void SetBorders(const RECT& borders) { borders_ = borders; }
    void GetBorders(RECT* borders) const;
    COLORREF SetTextColor(COLORREF text, COLORREF backgroundText = CLR_INVALID);
    COLORREF GetTextColor() const { return barTextColor_; }
    COLORREF GetTextColorBk() const { return bkTextColor_; }

    void SetBarBrush(CBrush* brush) { barBrush_ = brush; }
    CBrush* GetBarBrush() const { return barBrush_; }
    void SetBkColor(COLORREF color) { bkColor_ = color; }
    COLORREF GetBkColor() const { return bkColor_; }
    void SetBkBrush(CBrush* brush) { bkBrush_ = brush; }
    CBrush* GetBkBrush() const { return bkBrush_; }
    void SetSnakeSize(int length) { snakeLength_ = length; }
    int GetSnakeSize() const { return snakeLength_; }
    int GetSnakeTail() const { return tail_; }
    // Not owned: the font has to outlive its use.
    void SetFont(CFont* font) { font_ = font; }
    CFont* GetFont() const { return font_; }
    void SetTextAlign(int align) { ModifyStyle(PBS_TEXT_CENTER, align & PBS_TEXT_CENTER); }
    int GetTextAlign() const { return static_cast<int>(GetStyle() & PBS_TEXT_CENTER); }
    bool IsPercentShown() const { return (GetStyle() & PBS_PERCENT) != 0; }
    void SetTextOnBar(bool on) { setStyleBits(PBS_TEXT_ON_BAR, on); }
    bool GetTextOnBar() const { return (GetStyle() & PBS_TEXT_ON_BAR) != 0; }
    void SetRubberBar(bool on) { setStyleBits(PBS_RUBBER_BAR, on); }
    bool GetRubberBar() const { return (GetStyle() & PBS_RUBBER_BAR) != 0; }
    void SetReverse(bool on) { setStyleBits(PBS_REVERSE, on); }
    bool GetReverse() const { return (GetStyle() & PBS_REVERSE) != 0; }
    // Snake mode stretches the gradient over the snake.
    void SetSnake(bool on) { setStyleBits(PBS_SNAKE | PBS_RUBBER_BAR, on); }
    bool GetSnake() const { return (GetStyle() & PBS_SNAKE) != 0; }

    virtual DWORD GetStyle() const { return style_; }
    virtual void ModifyStyle(DWORD remove, DWORD add) { style_ = (style_ & ~remove) | add; }
    virtual void DrawText(CDC* dc, Part whole, Part bar);
    virtual void DrawClippedText(CDC* dc, Part part, const std::string& text, POINT windowOrigin);
    virtual BOOL StepSnake(int value, BOOL relative);
    // The text (the mode's default when empty) with the value in its
    // integer conversion.
    virtual std::string FormatText(const std::string& text, int mode, float value) const;
    virtual float GetTextValue(int mode, int lower, int upper, int pos) const;
    virtual BOOL OnPosChanging(int /*oldPos*/, int /*newPos*/) { return TRUE; }
    virtual void OnPosChanged(int /*pos*/) {}

private:
    void setStyleBits(DWORD bits, bool on) { ModifyStyle(on ? 0 : bits, on ? bits : 0); }

    CBrush* barBrush_ = nullptr;
    COLORREF bkColor_;
    CBrush* bkBrush_ = nullptr;
    COLORREF barTextColor_;
    COLORREF bkTextColor_;
    int tail_ = 0;
    int snakeLength_ = 40;
    int step_ = 10;
    int lower_ = 0;
    int upper_ = 100;
    RECT borders_;
    std::string text_;
    CFont* font_ = nullptr;
    DWORD style_ = PBS_TEXT_CENTER;
    CRgn clipRgn_;
    int pos_ = 0;
    int gradientOffset_ = 0;
    RECT barArea_;
};

} // namespace glimra
