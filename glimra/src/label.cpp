// The self-painting label.

#include "glimra/label.h"

#include "glimra/desktop.h"
#include "glimra/dialog.h"
#include "glimra/resources.h"
#include "glimra/subclass.h"
#include "glimra/syscolors.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <cstring>

namespace glimra {

namespace {
// The platform's hover report arrives this long after tracking was asked for.
constexpr UINT HoverTimer = 0x7F01;
constexpr UINT HoverTimeMs = 50;
} // namespace

CNewLabel::CNewLabel(QWidget* parent)
    : QWidget(parent), bkColor_(GetSysColor(COLOR_BTNFACE)),
      textBkColor_(GetSysColor(COLOR_BTNFACE)), textColor_(GetSysColor(COLOR_WINDOWTEXT)),
      hoverColor_(GetSysColor(COLOR_HIGHLIGHT)), savedTextColor_(GetSysColor(COLOR_WINDOWTEXT)),
      font_(static_cast<CFont*>(GetStockObject(DEFAULT_GUI_FONT))->logFont()),
      timers_([this](UINT id) { OnTimer(id); }) {
    bkBrush_.CreateSolidBrush(bkColor_);
    fontObject_.CreateFontIndirect(&font_);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
}

CNewLabel::~CNewLabel() {
    toolTip_.Hide();
}

BOOL CNewLabel::Create(const char* text, DWORD style, const RECT& rect, QWidget* parent, UINT id) {
    setParent(parent);
    style_ = style | WS_CHILD;
    windowText_ = text != nullptr ? text : "";
    setGeometry(toQRect(rect));
    setDlgCtrlID(this, static_cast<int>(id));
    PreSubclassWindow();
    setEnabled((style_ & WS_DISABLED) == 0);
    setVisible((style_ & WS_VISIBLE) != 0);
    return TRUE;
}

BOOL CNewLabel::SubclassDlgItem(int id, QWidget* dialog) {
    const std::optional<TakenControl> taken = takeControl(dialog, id);
    if (!taken) {
        return FALSE;
    }
    placeLike(this, *taken);
    style_ = WS_CHILD | taken->style | (taken->visible ? WS_VISIBLE : 0);
    windowText_ = taken->text;
    PreSubclassWindow();
    return TRUE;
}

void CNewLabel::PreSubclassWindow() {
    ModifyStyle(0, SS_NOTIFY);
    const DWORD type = style_ & SS_TYPEMASK;
    if (type == SS_CENTER) {
        alignment_ = GetVertAlignment() | LBL_CENTER;
    } else if (type == SS_RIGHT) {
        alignment_ = GetVertAlignment() | LBL_RIGHT;
    }
    if ((style_ & SS_CENTERIMAGE) != 0) {
        alignment_ = GetHorzAlignment() | LBL_VCENTER;
    }
    labelText_ = windowText_;
}

LRESULT CNewLabel::sendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return WindowProc(message, wParam, lParam);
}

LRESULT CNewLabel::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_MOUSEHOVER:
        if (hoverHighlight_) {
            savedTextColor_ = textColor_;
            if (!highlightOnlyWithToolTip_ || (toolTipOn_ && !toolTip_.GetText().empty())) {
                SetTextColor(hoverColor_);
            }
        }
        break;
    case WM_MOUSELEAVE:
        TrackMouse(TRUE, FALSE);
        trackingStarted_ = FALSE;
        if (hoverHighlight_) {
            SetTextColor(savedTextColor_);
        }
        break;
    case WM_SETTEXT:
        if (!internalText_) {
            const auto* text = reinterpret_cast<const char*>(lParam);
            labelText_ = text != nullptr ? text : "";
        }
        break;
    case WM_GETTEXT:
        if (!internalText_) {
            auto* buffer = reinterpret_cast<char*>(lParam);
            // A buffer of no characters has no room even for the terminator.
            if (buffer == nullptr || wParam == 0) {
                return 0;
            }
            std::memset(buffer, 0, wParam);
            const size_t count = std::min<size_t>(labelText_.size(), wParam - 1);
            std::memcpy(buffer, labelText_.data(), count);
            return static_cast<LRESULT>(count);
        }
        break;
    case WM_ENABLE:
        update();
        return 0;
    default:
        break;
    }
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CNewLabel::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SETTEXT: {
        const auto* text = reinterpret_cast<const char*>(lParam);
        windowText_ = text != nullptr ? text : "";
        update();
        return TRUE;
    }
    case WM_GETTEXT: {
        auto* buffer = reinterpret_cast<char*>(lParam);
        if (buffer == nullptr || wParam == 0) {
            return 0;
        }
        const size_t count = std::min<size_t>(windowText_.size(), wParam - 1);
        std::memcpy(buffer, windowText_.data(), count);
        buffer[count] = '\0';
        return static_cast<LRESULT>(count);
    }
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(windowText_.size());
    default:
        return 0;
    }
}

std::string CNewLabel::GetWindowText() {
    const auto length = static_cast<size_t>(sendMessage(WM_GETTEXTLENGTH));
    std::string buffer(length + 1, '\0');
    const LRESULT copied =
        sendMessage(WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    buffer.resize(static_cast<size_t>(std::max<LRESULT>(copied, 0)));
    return buffer;
}

void CNewLabel::SetWindowText(const char* text) {
    sendMessage(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void CNewLabel::SetWindowTextInternal(const char* text) {
    internalText_ = TRUE;
    sendMessage(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    internalText_ = FALSE;
}

int CNewLabel::GetText(char* buffer, int size) {
    internalText_ = TRUE;
    const LRESULT copied = sendMessage(WM_GETTEXT, static_cast<WPARAM>(std::max(size, 0)),
                                       reinterpret_cast<LPARAM>(buffer));
    internalText_ = FALSE;
    return static_cast<int>(copied);
}

void CNewLabel::GetText(std::string& out) {
    out = windowText_;
}

void CNewLabel::redraw() {
    if (isVisible()) {
        repaint();
    } else {
        update();
    }
}

void CNewLabel::ModifyStyle(DWORD remove, DWORD add) {
    style_ = (style_ & ~remove) | add;
}

void CNewLabel::ModifyStyleEx(DWORD remove, DWORD add) {
    exStyle_ = (exStyle_ & ~remove) | add;
}

void CNewLabel::SetBkColor(COLORREF color) {
    bkColor_ = color;
    defaultBk_ = FALSE;
    bkBrush_.CreateSolidBrush(bkColor_);
    redraw();
}

void CNewLabel::SetDefaultBkColor() {
    bkColor_ = GetSysColor(COLOR_BTNFACE);
    defaultBk_ = TRUE;
    bkBrush_.CreateSolidBrush(bkColor_);
    redraw();
}

void CNewLabel::SetTextBkColor(COLORREF color) {
    textBkColor_ = color;
    defaultTextBk_ = FALSE;
    redraw();
}

void CNewLabel::SetDefaultTextBkColor() {
    textBkColor_ = GetSysColor(COLOR_BTNFACE);
    defaultTextBk_ = TRUE;
    redraw();
}

void CNewLabel::SetTextColor(COLORREF color) {
    textColor_ = color;
    defaultText_ = FALSE;
    redraw();
}

void CNewLabel::SetDefaultTextColor() {
    textColor_ = GetSysColor(COLOR_WINDOWTEXT);
    defaultText_ = TRUE;
    redraw();
}

void CNewLabel::SetHoverHighlight(BOOL on) {
    hoverHighlight_ = on;
    if (!on) {
        SetTextColor(savedTextColor_);
    }
}

void CNewLabel::SetStandardPaint(BOOL on) {
    standardPaint_ = on;
    redraw();
}

void CNewLabel::SetFontBold(BOOL bold) {
    font_.lfWeight = bold ? FW_BOLD : FW_NORMAL;
    RebuildFont();
}

void CNewLabel::SetFontItalic(BYTE italic) {
    font_.lfItalic = italic;
    RebuildFont();
}

void CNewLabel::SetFontUnderline(BYTE underline) {
    font_.lfUnderline = underline;
    RebuildFont();
}

void CNewLabel::SetFontName(const char* face) {
    std::memset(font_.lfFaceName, 0, sizeof font_.lfFaceName);
    if (face != nullptr) {
        std::strncpy(font_.lfFaceName, face, LF_FACESIZE - 1);
    }
    RebuildFont();
}

void CNewLabel::SetFontSize(int height) {
    font_.lfHeight = height;
    RebuildFont();
}

void CNewLabel::RebuildFont() {
    fontObject_.DeleteObject();
    fontObject_.CreateFontIndirect(&font_);
    redraw();
}

void CNewLabel::SetAlignment(UINT flags) {
    UINT horizontal = 0;
    if ((flags & LBL_RIGHT) != 0) {
        horizontal = LBL_RIGHT;
        ModifyStyle(SS_CENTER, SS_RIGHT);
    }
    if ((flags & LBL_CENTER) != 0) {
        horizontal = LBL_CENTER;
        ModifyStyle(SS_RIGHT, SS_CENTER);
    }
    if ((flags & LBL_LEFT) != 0) {
        horizontal = LBL_LEFT;
        ModifyStyle(SS_CENTER | SS_RIGHT, 0);
    }
    if (horizontal != 0) {
        alignment_ = horizontal;
    }
    if ((flags & LBL_BOTTOM) != 0) {
        alignment_ |= LBL_BOTTOM;
    } else if ((flags & LBL_VCENTER) != 0) {
        alignment_ |= LBL_VCENTER;
    } else if ((flags & LBL_TOP) != 0) {
        alignment_ |= LBL_TOP;
    }
    redraw();
}

UINT CNewLabel::GetHorzAlignment() const {
    for (UINT flag : {LBL_LEFT, LBL_CENTER, LBL_RIGHT}) {
        if ((alignment_ & flag) != 0) {
            return flag;
        }
    }
    return 0;
}

int CNewLabel::GetHorzAlignmentIndex() const {
    const UINT flag = GetHorzAlignment();
    return flag == LBL_CENTER ? 1 : flag == LBL_RIGHT ? 2 : 0;
}

UINT CNewLabel::GetVertAlignment() const {
    for (UINT flag : {LBL_TOP, LBL_VCENTER, LBL_BOTTOM}) {
        if ((alignment_ & flag) != 0) {
            return flag;
        }
    }
    return 0;
}

int CNewLabel::GetVertAlignmentIndex() const {
    const UINT flag = GetVertAlignment();
    return flag == LBL_VCENTER ? 1 : flag == LBL_BOTTOM ? 2 : 0;
}

void CNewLabel::SetAngle(int degrees) {
    angle_ = degrees;
    redraw();
}

void CNewLabel::SetBitmap(UINT id) {
    bitmap_.reset();
    if (id != static_cast<UINT>(-1)) {
        // The calling program's resources, not the library's.
        if (std::optional<QImage> image = programResources().bitmap(id)) {
            bitmap_ = std::move(image);
        }
    }
    update();
}

void CNewLabel::SetStretchBitmap(BOOL on) {
    stretchBitmap_ = on;
    if (bitmap_) {
        redraw();
    }
}

void CNewLabel::SetBorder(BOOL on) {
    ModifyStyle(on ? 0 : WS_BORDER, on ? WS_BORDER : 0);
    redraw();
}

void CNewLabel::SetSunken(BOOL on) {
    ModifyStyleEx(on ? 0 : WS_EX_STATICEDGE, on ? WS_EX_STATICEDGE : 0);
    redraw();
}

void CNewLabel::SetDisabledStyle(BOOL on) {
    ModifyStyle(on ? 0 : WS_DISABLED, on ? WS_DISABLED : 0);
    setEnabled(!on);
    redraw();
}

void CNewLabel::SetEtchedLines(BOOL on) {
    etched_ = on;
    redraw();
}

void CNewLabel::SetLinkCursor(const QCursor& cursor) {
    cursor_ = cursor;
    setCursor(cursor);
}

void CNewLabel::SetLinkCursor(UINT id) {
    if (std::optional<QImage> image = programResources().icon(id)) {
        SetLinkCursor(QCursor(QPixmap::fromImage(*image)));
    }
}

void CNewLabel::SetLowerCase(BOOL on) {
    lowerCase_ = on;
    upperCase_ = FALSE;
    redraw();
}

void CNewLabel::SetUpperCase(BOOL on) {
    upperCase_ = on;
    lowerCase_ = FALSE;
    redraw();
}

void CNewLabel::GetStackedText(std::string* out, const char* text) const {
    if (out == nullptr) {
        return;
    }
    const std::string_view from = text != nullptr ? std::string_view(text) : labelText_;
    out->clear();
    for (size_t i = 0; i < from.size(); ++i) {
        *out += from[i];
        if (i + 1 < from.size()) {
            *out += '\n';
        }
    }
}

BOOL CNewLabel::IsMultiLine(const char* text) {
    return text != nullptr && std::strchr(text, '\n') != nullptr ? TRUE : FALSE;
}

void CNewLabel::SetStackedText(BOOL on) {
    if (on && !stacked_) {
        std::string stackedForm;
        GetStackedText(&stackedForm);
        SetWindowTextInternal(stackedForm.c_str());
    } else if (!on && stacked_) {
        SetWindowTextInternal(labelText_.c_str());
    }
    stacked_ = on;
    redraw();
}

void CNewLabel::SetText(const char* text) {
    labelText_ = text != nullptr ? text : "";
    if (stacked_) {
        std::string stackedForm;
        GetStackedText(&stackedForm);
        SetWindowTextInternal(stackedForm.c_str());
    } else {
        SetWindowTextInternal(labelText_.c_str());
    }
    redraw();
}

void CNewLabel::FlashText(BOOL on, UINT periodMs) {
    if (textFlashing_) {
        SetWindowTextInternal(labelText_.c_str());
        timers_.KillTimer(TextFlashTimer);
        textHidden_ = FALSE;
    }
    if (on) {
        timers_.SetTimer(TextFlashTimer, periodMs);
    } else {
        update();
    }
    textFlashing_ = on;
}

void CNewLabel::FlashBackground(BOOL on, UINT periodMs) {
    if (backgroundFlashing_) {
        timers_.KillTimer(BackgroundFlashTimer);
        backgroundPhase_ = FALSE;
    }
    if (on) {
        timers_.SetTimer(BackgroundFlashTimer, periodMs);
    } else {
        update();
    }
    backgroundFlashing_ = on;
}

void CNewLabel::ShowToolTip(BOOL on) {
    toolTipOn_ = on;
    if (on) {
        toolTip_.Show(this);
    } else {
        toolTip_.Hide();
    }
}

void CNewLabel::TrackMouse(BOOL hover, BOOL leave) {
    if (hover) {
        hoverAsked_ = true;
        timers_.SetTimer(HoverTimer, HoverTimeMs);
    }
    if (leave) {
        leaveAsked_ = true;
    }
}

void CNewLabel::OnTimer(UINT id) {
    switch (id) {
    case TextFlashTimer:
        if (!textFlashing_) {
            return;
        }
        textHidden_ = !textHidden_;
        if (textHidden_) {
            SetWindowTextInternal("");
        } else {
            SetWindowTextInternal(labelText_.c_str());
        }
        update();
        if (!defaultBk_ && bkColor_ != GetSysColor(COLOR_BTNFACE)) {
            update();
        }
        break;
    case BackgroundFlashTimer:
        if (!backgroundFlashing_) {
            return;
        }
        backgroundPhase_ = !backgroundPhase_;
        update();
        break;
    case HoverTimer:
        timers_.KillTimer(HoverTimer);
        if (hoverAsked_) {
            hoverAsked_ = false;
            sendMessage(WM_MOUSEHOVER);
        }
        break;
    default:
        break;
    }
}

void CNewLabel::OnMouseMove() {
    if (!trackingStarted_) {
        TrackMouse(TRUE, TRUE);
        trackingStarted_ = TRUE;
    }
}

void CNewLabel::OnLButtonDown() {
    if (link_) {
        desktopSource()->shellOpen(labelText_);
    }
}

void CNewLabel::mouseMoveEvent(QMouseEvent* event) {
    OnMouseMove();
    QWidget::mouseMoveEvent(event);
}

void CNewLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        OnLButtonDown();
    }
    QWidget::mousePressEvent(event);
}

void CNewLabel::enterEvent(QEnterEvent* event) {
    if (cursor_) {
        setCursor(*cursor_);
    }
    QWidget::enterEvent(event);
}

void CNewLabel::leaveEvent(QEvent* event) {
    timers_.KillTimer(HoverTimer);
    hoverAsked_ = false;
    if (leaveAsked_) {
        leaveAsked_ = false;
        sendMessage(WM_MOUSELEAVE);
    }
    QWidget::leaveEvent(event);
}

void CNewLabel::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        ModifyStyle(isEnabled() ? WS_DISABLED : 0, isEnabled() ? 0 : WS_DISABLED);
        sendMessage(WM_ENABLE, isEnabled() ? TRUE : FALSE);
    }
    QWidget::changeEvent(event);
}

RECT CNewLabel::clientRect() const {
    int inset = 0;
    if (IsBorder()) {
        ++inset;
    }
    if (IsSunken()) {
        ++inset;
    }
    return RECT{0, 0, std::max(width() - 2 * inset, 0), std::max(height() - 2 * inset, 0)};
}

std::string CNewLabel::shownText() const {
    std::string text = labelText_;
    if (stacked_) {
        GetStackedText(&text);
    }
    if (lowerCase_) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    } else if (upperCase_) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    }
    return text;
}

void CNewLabel::render(CDC* dc) {
    const int saved = dc->SaveDC();
    int inset = 0;
    if (IsBorder()) {
        const COLORREF frame = GetSysColor(COLOR_WINDOWFRAME);
        dc->FillSolidRect(0, 0, width(), 1, frame);
        dc->FillSolidRect(0, height() - 1, width(), 1, frame);
        dc->FillSolidRect(0, 0, 1, height(), frame);
        dc->FillSolidRect(width() - 1, 0, 1, height(), frame);
        ++inset;
    }
    if (IsSunken()) {
        RECT edge{inset, inset, width() - inset, height() - inset};
        dc->DrawEdge(&edge, BDR_SUNKENOUTER, BF_RECT);
        ++inset;
    }
    const RECT client = clientRect();
    dc->OffsetViewportOrg(inset, inset);
    dc->IntersectClipRect(&client);
    OnPaint(dc);
    dc->RestoreDC(saved);
}

void CNewLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    CDC dc(&painter, size());
    render(&dc);
}

void CNewLabel::standardPaint(CDC* dc, const RECT& client) {
    dc->FillRect(&client, &bkBrush_);
    dc->SelectObject(&fontObject_);
    dc->SetTextColor(defaultText_ ? GetSysColor(COLOR_WINDOWTEXT) : textColor_);
    dc->SetBkMode(TRANSPARENT);
    UINT format = 0;
    const DWORD type = style_ & SS_TYPEMASK;
    if (type == SS_CENTER) {
        format |= DT_CENTER;
    } else if (type == SS_RIGHT) {
        format |= DT_RIGHT;
    }
    if ((style_ & SS_CENTERIMAGE) != 0) {
        format |= DT_SINGLELINE | DT_VCENTER;
    }
    if ((style_ & SS_NOPREFIX) != 0) {
        format |= DT_NOPREFIX;
    }
    if (!isEnabled()) {
        dc->SetTextColor(GetSysColor(COLOR_GRAYTEXT));
    }
    RECT area = client;
    dc->DrawText(windowText_, &area, format);
}

void CNewLabel::OnPaint(CDC* dc) {
    const RECT client = clientRect();
    if (standardPaint_) {
        standardPaint(dc, client);
        return;
    }
    // While flashing text is in its hidden phase nothing of it is drawn.
    const std::string text = textHidden_ ? std::string() : shownText();
    const int horizontal = GetHorzAlignmentIndex();
    const int vertical = GetVertAlignmentIndex();

    dc->SelectObject(&fontObject_);
    dc->SetBkMode(TRANSPARENT);

    CTextRotator rotator(dc, text.c_str(), horizontal, vertical);
    rotator.SetTextColor(textColor_);
    rotator.SetEmbossed(IsDisabledStyle());
    rotator.SetEtchedLines(etched_);
    COLORREF rotatorBk = !defaultTextBk_ ? textBkColor_
                         : !defaultBk_   ? bkColor_
                                         : GetSysColor(COLOR_BTNFACE);
    COLORREF fill = defaultBk_ ? GetSysColor(COLOR_BTNFACE) : bkColor_;
    if (backgroundFlashing_ && backgroundPhase_) {
        const COLORREF flash = defaultBk_ ? (bkColor_ >> 1) : GetSysColor(COLOR_BTNFACE);
        fill = flash;
        rotatorBk = flash;
    }
    rotator.SetBkColor(rotatorBk);
    dc->FillSolidRect(&client, fill);

    if (bitmap_) {
        CBitmap picture;
        picture.fromImage(*bitmap_);
        CDC memory;
        memory.CreateCompatibleDC(dc);
        memory.SelectObject(&picture);
        const int bw = bitmap_->width();
        const int bh = bitmap_->height();
        if (stretchBitmap_) {
            dc->StretchBlt(0, 0, client.width(), client.height(), &memory, 0, 0, bw, bh, SRCCOPY);
        } else {
            // Larger bitmaps are centred too, and cut on every side.
            dc->BitBlt((client.width() - bw) / 2, (client.height() - bh) / 2, bw, bh, &memory, 0, 0,
                       SRCCOPY);
        }
    }
    if (bitmap_ && angle_ == 0 && !(IsMultiLine(text.c_str()) && GetVertAlignment() != LBL_TOP)) {
        dc->SetTextColor(defaultText_ ? GetSysColor(COLOR_WINDOWTEXT) : textColor_);
        DrawAlignedText(dc, text.c_str(), client, alignment_);
    } else if (rotator.DrawRotatedText(angle_)) {
        rotator.BltAligned(client.left, client.top, client.right, client.bottom);
    }
}

void CNewLabel::DrawAlignedText(CDC* dc, const char* text, RECT area, UINT flags) {
    if (dc == nullptr) {
        return;
    }
    const std::string_view shown = text != nullptr ? std::string_view(text) : std::string_view();
    UINT format = DT_LEFT;
    if ((flags & LBL_CENTER) != 0) {
        format |= DT_CENTER;
    }
    if ((flags & LBL_RIGHT) != 0) {
        format |= DT_RIGHT;
    }
    if (IsMultiLine(text) && (flags & LBL_TOP) == 0) {
        dc->DrawText("**********", &area, format);
        return;
    }
    if ((flags & LBL_VCENTER) != 0) {
        format |= DT_SINGLELINE | DT_VCENTER;
    }
    if ((flags & LBL_BOTTOM) != 0) {
        area.top = area.bottom - dc->GetTextExtent(shown).cy;
    }
    dc->DrawText(shown, &area, format);
}

} // namespace glimra
