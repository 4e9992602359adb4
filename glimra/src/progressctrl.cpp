// The progress-bar window.

#include "glimra/progressctrl.h"

#include <QPainter>

#include <algorithm>
#include <cstring>

namespace glimra {

CProgressCtrlX::CProgressCtrlX(QWidget* parent)
    : QWidget(parent), timers_([this](UINT id) { sendMessage(WM_TIMER, id, 0); }) {}

CProgressCtrlX::~CProgressCtrlX() = default;

void CProgressCtrlX::ModifyStyle(DWORD remove, DWORD add) {
    windowStyle_ = (windowStyle_ & ~remove) | add;
    invalidate();
}

void CProgressCtrlX::OnPosChanged(int pos) {
    UpdateTooltip(pos);
}

int CProgressCtrlX::SetPos(int pos) {
    const int old = CProgress::SetPos(pos);
    invalidate();
    return old;
}

int CProgressCtrlX::OffsetPos(int delta) {
    const int old = CProgress::OffsetPos(delta);
    invalidate();
    return old;
}

int CProgressCtrlX::SetStep(int step) {
    const int old = CProgress::SetStep(step);
    invalidate();
    return old;
}

int CProgressCtrlX::StepIt() {
    const int old = CProgress::StepIt();
    invalidate();
    return old;
}

DWORD CProgressCtrlX::SetRange(int lower, int upper) {
    const DWORD old = CProgress::SetRange(lower, upper);
    invalidate();
    return old;
}

void CProgressCtrlX::SetFont(CFont* font) {
    CProgress::SetFont(font);
    invalidate();
}

void CProgressCtrlX::StartAutoStep(int periodMs) {
    timers_.KillTimer(AutoStepTimer);
    timers_.SetTimer(AutoStepTimer, static_cast<UINT>(std::max(periodMs, 0)));
}

void CProgressCtrlX::StopAutoStep() {
    timers_.KillTimer(AutoStepTimer);
}

void CProgressCtrlX::StartGradientScroll(int periodMs, int shift) {
    scrollShift_ = shift;
    timers_.KillTimer(GradientScrollTimer);
    timers_.SetTimer(GradientScrollTimer, static_cast<UINT>(std::max(periodMs, 0)));
}

void CProgressCtrlX::StopGradientScroll() {
    timers_.KillTimer(GradientScrollTimer);
}

void CProgressCtrlX::showTooltip() {
    setToolTip(tooltipActive_ ? QString::fromStdString(tooltipText_) : QString());
}

void CProgressCtrlX::SetTooltipFormat(const char* text, int mode) {
    tooltipFormat_ = text != nullptr ? text : "";
    tooltipMode_ = mode & static_cast<int>(PBS_TEXT_MODE);
    if (!tooltipFormat_.empty() && tooltipMode_ != 0) {
        if (!tooltipExists_) {
            tooltipExists_ = true;
            tooltipText_.clear();
            UpdateTooltip(GetPos());
        }
        tooltipActive_ = true;
    } else if (tooltipExists_) {
        tooltipActive_ = false;
    }
    showTooltip();
}

void CProgressCtrlX::UpdateTooltip(int pos) {
    if (!tooltipExists_) {
        return;
    }
    int lower = 0;
    int upper = 0;
    GetRange(&lower, &upper);
    const std::string text =
        FormatText(tooltipFormat_, tooltipMode_, GetTextValue(tooltipMode_, lower, upper, pos));
    if (!text.empty()) {
        tooltipText_ = text;
        showTooltip();
    }
}

void CProgressCtrlX::OnTimer(UINT id) {
    if (id == AutoStepTimer) {
        CProgress::StepIt();
        invalidate();
    } else if (id == GradientScrollTimer) {
        ShiftGradient(scrollShift_);
        invalidate();
    }
}

LRESULT CProgressCtrlX::DefWindowProc(UINT, WPARAM, LPARAM) {
    return 0;
}

void CProgressCtrlX::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    CDC dc(&painter, size());
    CPalette* oldPalette = nullptr;
    bool selected = false;
    if (GetUsePalette() != 0) {
        CPalette* palette = GetPalette();
        if (palette->isCreated()) {
            oldPalette = dc.SelectPalette(palette, FALSE);
            dc.RealizePalette();
            selected = true;
        }
    }
    Draw(&dc, toRect(rect()), FALSE);
    if (selected) {
        dc.SelectPalette(oldPalette, TRUE);
    }
}

LRESULT CProgressCtrlX::sendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const int w = static_cast<int>(wParam);
    switch (message) {
    case WM_ERASEBKGND:
        return TRUE;
    case WM_PAINT:
        repaint();
        return 0;
    case PBM_SETBARCOLOR: {
        const auto start = static_cast<COLORREF>(lParam);
        SetColors(start, wParam != 0 ? static_cast<COLORREF>(wParam) : start);
        return static_cast<LRESULT>(CLR_DEFAULT);
    }
    case PBM_SETBKCOLOR:
        CProgress::SetBkColor(static_cast<COLORREF>(lParam));
        return static_cast<LRESULT>(CLR_DEFAULT);
    case PBM_SETRANGE:
        return static_cast<LRESULT>(
            SetRange(LOWORD(static_cast<DWORD>(lParam)), HIWORD(static_cast<DWORD>(lParam))));
    case PBM_SETRANGE32:
        return static_cast<LRESULT>(SetRange(w, static_cast<int>(lParam)));
    case PBM_GETRANGE: {
        int lower = 0;
        int upper = 0;
        GetRange(&lower, &upper);
        if (lParam != 0) {
            auto* range = reinterpret_cast<PBRANGE*>(lParam);
            range->iLow = lower;
            range->iHigh = upper;
        }
        return wParam != 0 ? lower : upper;
    }
    case PBM_SETPOS:
        return SetPos(w);
    case PBM_GETPOS:
        return GetPos();
    case PBM_DELTAPOS:
        return OffsetPos(w);
    case PBM_SETSTEP:
        return SetStep(w);
    case PBM_STEPIT:
        return StepIt();
    case WM_SETTEXT:
        SetTextFormat(reinterpret_cast<const char*>(lParam));
        invalidate();
        return TRUE;
    case WM_GETTEXT: {
        // At most wParam bytes, the terminator among them; the characters copied.
        auto* buffer = reinterpret_cast<char*>(lParam);
        if (buffer == nullptr || wParam == 0) {
            return 0;
        }
        const std::string& text = GetText();
        const size_t n = std::min<size_t>(wParam - 1, text.size());
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(GetText().size());
    case WM_SETFONT:
        CProgress::SetFont(reinterpret_cast<CFont*>(wParam));
        if (LOWORD(static_cast<DWORD>(lParam)) != 0) {
            repaint();
        }
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(CProgress::GetFont());
    case WM_TIMER:
        OnTimer(static_cast<UINT>(wParam));
        return DefWindowProc(message, wParam, lParam);
    default:
        return DefWindowProc(message, wParam, lParam);
    }
}

} // namespace glimra
