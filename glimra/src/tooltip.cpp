// The control tool tip.

#include "glimra/tooltip.h"

#include "glimra/desktop.h"
#include "glimra/steptext.h"
#include "glimra/syscolors.h"

#include <QPainter>

#include <algorithm>

namespace glimra {

// The pop-up itself: a border around the client area, which the tip paints.
class CControlToolTip::Window final : public QWidget {
public:
    explicit Window(const CControlToolTip* tip)
        : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
          tip_(tip) {
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_OpaquePaintEvent);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        CDC dc(&painter, size());
        const RECT all{0, 0, width(), height()};
        dc.FillSolidRect(&all, GetSysColor(COLOR_WINDOWFRAME));
        dc.SetViewportOrg(1, 1);
        dc.IntersectClipRect(0, 0, width() - 2, height() - 2);
        tip_->paint(&dc);
    }

private:
    const CControlToolTip* tip_;
};

CControlToolTip::CControlToolTip()
    : textColor_(GetSysColor(COLOR_INFOTEXT)), bkColor_(GetSysColor(COLOR_INFOBK)),
      timers_([this](UINT id) { OnTimer(id); }) {
    RegisterClass();
}

CControlToolTip::~CControlToolTip() {
    Hide();
}

int CControlToolTip::RegisterClass() {
    // Qt needs no window class; the tip's look is its paint.
    return 1;
}

BOOL CControlToolTip::Show(QWidget* owner) {
    if (window_ && !Hide()) {
        return FALSE;
    }
    owner_ = owner;
    window_ = std::make_unique<Window>(this);
    window_->setGeometry(0, 0, 0, 0);
    SetText(text_.c_str());
    timers_.SetTimer(WatchTimer, WatchPeriodMs);
    return TRUE;
}

BOOL CControlToolTip::Hide() {
    if (!window_) {
        return TRUE;
    }
    window_->hide();
    timers_.KillTimer(WatchTimer);
    owner_ = nullptr;
    window_.reset();
    return TRUE;
}

QWidget* CControlToolTip::window() const {
    return window_.get();
}

bool CControlToolTip::isVisible() const {
    return window_ && window_->isVisible();
}

void CControlToolTip::measure() {
    CDC dc;
    const int saved = dc.SaveDC();
    dc.SelectStockObject(DEFAULT_GUI_FONT);
    SIZE size;
    CalcTextExtent(&size, &dc, text_.c_str());
    dc.RestoreDC(saved);
    textRect_ = RECT{0, 0, size.cx + 4, size.cy + 4};
}

void CControlToolTip::SetText(const char* text) {
    text_ = text != nullptr ? text : "";
    if (!window_) {
        return;
    }
    measure();
    if (window_->isVisible()) {
        Reposition();
    }
}

void CControlToolTip::SetPosition(int position) {
    if (position < OverOwner || position > AboveOwner) {
        return;
    }
    position_ = position;
    if (isVisible()) {
        Reposition();
    }
}

int CControlToolTip::SetBkColor(BOOL ownColors, COLORREF color) {
    ownColors_ = ownColors;
    if (ownColors_) {
        bkColor_ = color;
    }
    if (isVisible()) {
        window_->repaint();
    }
    return TRUE;
}

int CControlToolTip::SetTextColor(COLORREF color) {
    textColor_ = color;
    if (ownColors_ && isVisible()) {
        window_->repaint();
    }
    return TRUE;
}

int CControlToolTip::GetLineCount(const char* text) const {
    const std::string_view of = text != nullptr ? std::string_view(text) : std::string_view(text_);
    return 1 + static_cast<int>(std::count(of.begin(), of.end(), '\n'));
}

SIZE* CControlToolTip::CalcTextExtent(SIZE* out, CDC* dc, const char* text) const {
    if (out == nullptr || dc == nullptr) {
        return out;
    }
    const std::string_view whole = text != nullptr ? std::string_view(text) : std::string_view();
    const SIZE oneLine = dc->GetTextExtent(whole);
    const int lines = GetLineCount(text != nullptr ? text : "");
    if (lines <= 1) {
        *out = oneLine;
        return out;
    }
    // Every line is measured, however many there are and however long.
    LONG widest = 0;
    for (const std::string& line : splitLines(whole)) {
        widest = std::max(widest, dc->GetTextExtent(line).cx);
    }
    *out = SIZE{widest, oneLine.cy * lines};
    return out;
}

BOOL CControlToolTip::IsCursorOverOwner() const {
    if (owner_ == nullptr) {
        return FALSE;
    }
    const QPoint cursor = desktopSource()->cursorPos();
    const QPoint topLeft = owner_->mapToGlobal(QPoint(0, 0));
    const QRect r(topLeft, owner_->size());
    return cursor.x() >= r.left() && cursor.x() <= r.left() + r.width() && cursor.y() >= r.top() &&
                   cursor.y() <= r.top() + r.height()
               ? TRUE
               : FALSE;
}

void CControlToolTip::Reposition() {
    if (!window_) {
        return;
    }
    if (text_.empty()) {
        window_->hide();
        return;
    }
    QPoint anchor(0, 0);
    if (position_ == BelowOwner && owner_ != nullptr) {
        anchor = QPoint(0, owner_->height());
    } else if (position_ == AboveOwner) {
        anchor = QPoint(0, -textRect_.height());
    }
    if (owner_ != nullptr) {
        anchor = owner_->mapToGlobal(anchor);
    }
    window_->setGeometry(QRect(anchor, QSize(textRect_.width(), textRect_.height())));
    window_->show();
    window_->raise();
    window_->repaint();
}

void CControlToolTip::OnTimer(UINT id) {
    if (id != WatchTimer || owner_ == nullptr) {
        return;
    }
    DesktopSource& desktop = *desktopSource();
    QWidget* focus = desktop.focusWindow();
    QWidget* focusDialog = focus != nullptr ? focus->parentWidget() : nullptr;
    const bool button =
        buttonOnly_ == FALSE || desktop.isKeyDown(leftButton_ ? VK_LBUTTON : VK_RBUTTON);
    if (IsCursorOverOwner() && button) {
        if (!isVisible() && focusDialog != nullptr && focusDialog == owner_->parentWidget()) {
            Reposition();
        } else if (isVisible() && focusDialog != owner_->parentWidget()) {
            window_->hide();
        }
    } else if (isVisible()) {
        window_->hide();
    }
}

void CControlToolTip::paint(CDC* dc) const {
    const int saved = dc->SaveDC();
    dc->SelectStockObject(DEFAULT_GUI_FONT);
    dc->SetBkMode(TRANSPARENT);
    RECT r = textRect_;
    if (ownColors_) {
        dc->FillSolidRect(&r, bkColor_);
        dc->SetTextColor(textColor_);
    } else {
        dc->FillSolidRect(&r, GetSysColor(COLOR_INFOBK));
    }
    dc->DrawText(text_, &r, 0);
    dc->RestoreDC(saved);
}

} // namespace glimra
