// The progress drawing engine.

#include "glimra/progress.h"

#include "glimra/memdc.h"
#include "glimra/syscolors.h"
#include "glimra/textformat.h"

#include <algorithm>
#include <cstdlib>

namespace glimra {

namespace {

// a * b / c without overflow; 0 for an empty range (c == 0).
int scaled(long long a, long long b, long long c) {
    return c == 0 ? 0 : static_cast<int>(a * b / c);
}

} // namespace

CProgress::CProgress()
    : bkColor_(GetSysColor(COLOR_BTNFACE)), barTextColor_(GetSysColor(COLOR_CAPTIONTEXT)),
      bkTextColor_(GetSysColor(COLOR_BTNTEXT)) {
    SetColors(GetSysColor(COLOR_ACTIVECAPTION),
              GetSysColor(gradientCaptions() ? COLOR_GRADIENTACTIVECAPTION : COLOR_ACTIVECAPTION));
}

CProgress::~CProgress() = default;

DWORD CProgress::SetRange(int a, int b) {
    const DWORD previous = MAKELONG(lower_, upper_);
    lower_ = std::min(a, b);
    upper_ = std::max(a, b);
    SetPosInternal(pos_, FALSE);
    return previous;
}

void CProgress::GetRange(int* lower, int* upper) const {
    if (lower != nullptr) {
        *lower = lower_;
    }
    if (upper != nullptr) {
        *upper = upper_;
    }
}

int CProgress::SetPos(int pos) {
    const int old = pos_;
    if (!StepSnake(pos, FALSE)) {
        SetPosInternal(pos, FALSE);
    }
    return old;
}

int CProgress::OffsetPos(int delta) {
    const int old = pos_;
    if (!StepSnake(delta, TRUE)) {
        SetPosInternal(static_cast<int>(std::clamp<long long>(static_cast<long long>(pos_) + delta,
                                                              INT32_MIN, INT32_MAX)),
                       FALSE);
    }
    return old;
}

int CProgress::SetStep(int step) {
    return std::exchange(step_, step);
}

int CProgress::StepIt() {
    return OffsetPos(step_);
}

int CProgress::SetPosInternal(int value, BOOL force) {
    value = std::clamp(value, lower_, upper_);
    if (value == pos_) {
        return pos_;
    }
    if (OnPosChanging(pos_, value) || force) {
        pos_ = value;
        OnPosChanged(value);
    }
    return pos_;
}

BOOL CProgress::StepSnake(int value, BOOL relative) {
    if ((GetStyle() & PBS_SNAKE) == 0) {
        return FALSE;
    }
    long long head = value;
    if (relative) {
        long long start = pos_;
        // At the end the head waits while the tail catches up.
        if (pos_ == upper_ && static_cast<long long>(pos_) - tail_ < snakeLength_) {
            start = static_cast<long long>(tail_) + snakeLength_;
        }
        head = std::llabs(static_cast<long long>(value)) + start;
    }
    const long long end = static_cast<long long>(upper_) + snakeLength_;
    if (head > end) {
        head -= end - lower_;
        head = std::min(head, end);
        ModifyStyle(GetStyle() & PBS_REVERSE, ~GetStyle() & PBS_REVERSE);
    }
    tail_ = static_cast<int>(std::max<long long>(head - snakeLength_, lower_));
    SetPosInternal(static_cast<int>(std::clamp<long long>(head, INT32_MIN, INT32_MAX)), FALSE);
    return TRUE;
}

RECT CProgress::MapRect(Part part) const {
    RECT r = barArea_;
    const DWORD style = GetStyle();
    const bool reverse = (style & PBS_REVERSE) != 0;
    if ((style & PBS_VERTICAL) != 0) {
        if (reverse) {
            r.top = barArea_.top + part.start;
            r.bottom = barArea_.top + part.end;
        } else {
            r.top = barArea_.bottom - part.end;
            r.bottom = barArea_.bottom - part.start;
        }
    } else if (reverse) {
        r.left = barArea_.right - part.end;
        r.right = barArea_.right - part.start;
    } else {
        r.left = barArea_.left + part.start;
        r.right = barArea_.left + part.end;
    }
    return r;
}

void CProgress::ShiftGradient(int shift) {
    const long long period = static_cast<long long>(
        static_cast<float>(static_cast<long long>(upper_) - lower_) * GetGradientScale());
    // An empty range has nothing to scroll.
    gradientOffset_ =
        period == 0 ? 0
                    : static_cast<int>((static_cast<long long>(gradientOffset_) + shift) % period);
}

void CProgress::SetText(const char* text, int mode) {
    if (text == nullptr || text[0] == '\0' || mode == 0) {
        text = "";
        mode = 0;
    }
    ModifyStyle(PBS_TEXT_MODE, static_cast<DWORD>(mode));
    text_ = text;
}

void CProgress::ShowPercent(bool show) {
    if (show) {
        SetText("%d%%", PBS_PERCENT);
    } else {
        HideText();
    }
}

BOOL CProgress::SetClipRgn(const CRgn* region) {
    clipRgn_.DeleteObject();
    if (region != nullptr && region->isCreated()) {
        clipRgn_.setRegion(region->region());
    }
    return TRUE;
}

void CProgress::GetBorders(RECT* borders) const {
    if (borders != nullptr) {
        *borders = borders_;
    }
}

COLORREF CProgress::SetTextColor(COLORREF text, COLORREF backgroundText) {
    barTextColor_ = text;
    bkTextColor_ = text;
    if (backgroundText != CLR_INVALID) {
        bkTextColor_ = backgroundText;
    }
    return text;
}

float CProgress::GetTextValue(int mode, int lower, int upper, int pos) const {
    if ((mode & PBS_PERCENT) != 0) {
        // An empty range shows 0 %.
        return upper == lower ? 0.0f
                              : static_cast<float>((static_cast<double>(pos) - lower) * 100.0 /
                                                   (static_cast<double>(upper) - lower));
    }
    if ((mode & PBS_POSITION) != 0) {
        return static_cast<float>(pos);
    }
    return 0.0f;
}

std::string CProgress::FormatText(const std::string& text, int mode, float value) const {
    std::string format = text;
    if (format.empty()) {
        if ((mode & PBS_PERCENT) != 0) {
            format = "%d%%";
        } else if ((mode & PBS_POSITION) != 0) {
            format = "%d";
        } else {
            return {};
        }
    }
    return formatInteger(format, static_cast<int>(value));
}

void CProgress::Draw(CDC* dc, RECT rect, BOOL direct) {
    if (dc == nullptr) {
        return;
    }
    if (clipRgn_.isCreated()) {
        CRgn moved;
        moved.setRegion(clipRgn_.region().translated(rect.left, rect.top));
        dc->SelectClipRgn(&moved);
    }
    const BOOL wasPrinting = dc->IsPrinting();
    if (direct) {
        dc->setPrinting(true);
    }
    CMemDC mem(dc, &rect, bkBrush_ == nullptr && bkColor_ == CLR_NONE, GetUsePalette());
    dc->setPrinting(wasPrinting);

    if (bkBrush_ != nullptr) {
        mem.FillRect(&rect, bkBrush_);
    } else if (bkColor_ != CLR_NONE) {
        mem.FillSolidRect(&rect, bkColor_);
    }
    barArea_ = {rect.left + borders_.left, rect.top + borders_.top, rect.right - borders_.right,
                rect.bottom - borders_.bottom};
    if (pos_ < lower_ || pos_ > upper_) {
        return;
    }
    const DWORD style = GetStyle();
    const bool vertical = (style & PBS_VERTICAL) != 0;
    const bool reverse = (style & PBS_REVERSE) != 0;
    const int length = vertical ? barArea_.bottom - barArea_.top : barArea_.right - barArea_.left;
    const long long range = static_cast<long long>(upper_) - lower_;
    const Part bar{(style & PBS_SNAKE) != 0 ? scaled(static_cast<long long>(tail_) - lower_, length, range) : 0,
                   scaled(static_cast<long long>(pos_) - lower_, length, range)};
    const RECT barRect = MapRect(bar);
    if (barBrush_ != nullptr) {
        mem.FillRect(&barRect, barBrush_);
    } else {
        SetDirection(vertical ? (reverse ? TopToBottom : BottomToTop)
                              : (reverse ? RightToLeft : LeftToRight));
        if ((style & PBS_RUBBER_BAR) != 0) {
            CGradient::Draw(&mem, barRect, 0, -1,
                            scaled(bar.end - bar.start, gradientOffset_, range));
        } else {
            CGradient::Draw(&mem, barArea_, bar.start, bar.end,
                            scaled(length, gradientOffset_, range));
        }
    }
    DrawText(&mem, Part{0, length}, bar);
}

void CProgress::DrawText(CDC* dc, Part whole, Part bar) {
    const DWORD style = GetStyle();
    const int mode = static_cast<int>(style & PBS_TEXT_MODE);
    if (mode == 0) {
        return;
    }
    const std::string text = FormatText(text_, mode, GetTextValue(mode, lower_, upper_, pos_));
    if (text.empty()) {
        return;
    }
    CSelFont selFont(dc);
    if (font_ != nullptr) {
        selFont.Select(font_);
    }
    CSelTextColor selColor(dc, barTextColor_);
    CSelBkMode selBkMode(dc, TRANSPARENT);
    CSelTextAlign selAlign(dc, TA_CENTER | TA_BOTTOM);

    const SIZE extent = dc->GetTextExtent(text);
    int angle = 0;
    if (font_ != nullptr) {
        angle = ((font_->logFont().lfEscapement / 10) % 360 + 360) % 360;
    }
    int width = extent.cx;
    int height = extent.cy;
    POINT offset{0, extent.cy};
    switch (angle) {
    case 90:
        std::swap(width, height);
        offset = {extent.cy, 0};
        break;
    case 180:
        offset = {0, -extent.cy};
        break;
    case 270:
        std::swap(width, height);
        offset = {-extent.cy, 0};
        break;
    default:
        break;
    }
    const bool onBar = (style & PBS_TEXT_ON_BAR) != 0;
    const RECT area = MapRect(onBar ? bar : whole);
    if ((style & PBS_TEXT_LEFT) != 0) {
        offset.x += area.left + width - area.right;
    }
    if ((style & PBS_TEXT_RIGHT) != 0) {
        offset.x += area.right - area.left - width;
    }
    if ((style & PBS_TEXT_TOP) != 0) {
        offset.y += area.top + height - area.bottom;
    }
    if ((style & PBS_TEXT_BOTTOM) != 0) {
        offset.y += area.bottom - area.top - height;
    }
    const POINT reference{area.left + (area.right - area.left + offset.x) / 2,
                          area.top + (area.bottom - area.top + offset.y) / 2};
    const POINT oldViewport = dc->SetViewportOrg(reference);
    const POINT windowOrigin = dc->GetWindowOrg();
    if (onBar) {
        const int needed = (style & PBS_VERTICAL) != 0 ? height : width;
        if (bar.end - bar.start >= needed) {
            DrawClippedText(dc, bar, text, windowOrigin);
        }
    } else {
        selColor.Select(bkTextColor_);
        DrawClippedText(dc, whole, text, windowOrigin);
        if (barTextColor_ != bkTextColor_) {
            selColor.Select(barTextColor_);
            DrawClippedText(dc, bar, text, windowOrigin);
        }
    }
    dc->SetViewportOrg(oldViewport);
}

void CProgress::DrawClippedText(CDC* dc, Part part, const std::string& text, POINT windowOrigin) {
    RECT r = MapRect(part);
    if (r.isEmpty()) {
        return;
    }
    r.offset(-windowOrigin.x, -windowOrigin.y);
    // Clipped to the part within whatever clip the context had, which is
    // put back afterwards.
    const bool hadClip = dc->hasClip();
    const QRegion previous = dc->clipRegion();
    CRgn region;
    region.CreateRectRgnIndirect(&r);
    if (hadClip) {
        region.setRegion(region.region().intersected(previous));
    }
    dc->SelectClipRgn(&region);
    dc->TextOut(0, 0, text);
    if (hadClip) {
        CRgn back;
        back.setRegion(previous);
        dc->SelectClipRgn(&back);
    } else {
        dc->SelectClipRgn(nullptr);
    }
}

} // namespace glimra
