// The hex editor control: layout, drawing, caret, keys, mouse and clipboard.

#include "glimra/hexeditctrl.h"

#include "glimra/fontmetrics.h"
#include "glimra/syscolors.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

namespace glimra {
namespace {

const char* const kBinaryDataFormat = "BinaryData";
const char* const kTextFormat = "text/plain";
// The caret's width in insert mode, as the system draws it.
constexpr int kSystemCaretWidth = 1;

std::string printed(const char* format, int width, unsigned value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, format, width, value);
    return buffer;
}

} // namespace

VARIANT MakeByteArray(std::vector<BYTE> bytes) {
    VARIANT v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = new SAFEARRAY{1, std::move(bytes)};
    return v;
}

void VariantClear(VARIANT* v) {
    if (v == nullptr) {
        return;
    }
    if ((v->vt & VT_ARRAY) != 0) {
        delete v->parray;
    }
    v->parray = nullptr;
    v->vt = VT_EMPTY;
}

CHexEditCtrl::CHexEditCtrl(QWidget* parent)
    : QFrame(parent), timers_([this](UINT id) { OnTimer(id); }) {
    // A child with a sunken client edge, the I-beam cursor, and no background
    // of its own: the rows paint every pixel.
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setCursor(Qt::IBeamCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(false);
    vBar_ = new QScrollBar(Qt::Vertical, this);
    hBar_ = new QScrollBar(Qt::Horizontal, this);
    vBar_->hide();
    hBar_->hide();
    vBar_->setFocusPolicy(Qt::NoFocus);
    hBar_->setFocusPolicy(Qt::NoFocus);
    connect(vBar_, &QScrollBar::actionTriggered, this,
            [this](int action) { scrollBarAction(true, action); });
    connect(hBar_, &QScrollBar::actionTriggered, this,
            [this](int action) { scrollBarAction(false, action); });
    SetDefaults();
    setUpdateHandler(ID_EDIT_COPY, [this](CCmdUI* ui) { OnUpdateEditCopy(ui); });
    setUpdateHandler(ID_EDIT_CUT, [this](CCmdUI* ui) { OnUpdateEditCut(ui); });
    setUpdateHandler(ID_EDIT_PASTE, [this](CCmdUI* ui) { OnUpdateEditPaste(ui); });
    setUpdateHandler(ID_EDIT_SELECT_ALL, [this](CCmdUI* ui) { OnUpdateEditSelectAll(ui); });
    const QRect c = contentsRect();
    client_ = {0, 0, c.width(), c.height()};
}

// The array taken over goes with the control.
CHexEditCtrl::~CHexEditCtrl() = default;

CHexEditCtrl* CHexEditCtrl::CreateObject(QWidget* parent) {
    return new CHexEditCtrl(parent);
}

void CHexEditCtrl::SetDefaults() {
    showAddress_ = true;
    asciiRequested_ = true;
    unitDigits_ = 2;
    addressDigits_ = 4;
    unitsPerRow_ = 8;
    fontHeight_ = 14;
    sizeChange_ = false;
}

const std::vector<BYTE>& CHexEditCtrl::data() const {
    static const std::vector<BYTE> none;
    return array_ ? array_->data : none;
}

std::vector<BYTE>& CHexEditCtrl::bytes() {
    return array_->data;
}

int CHexEditCtrl::unitCount() const {
    return unitCountOf(data(), unitBytes());
}

// A setting that changes the rows' shape: back to the line's start, new layout.
void CHexEditCtrl::relayout() {
    if (hasData()) {
        hScroll_ = 0;
        RecalcLayout();
        update();
    }
}

bool CHexEditCtrl::SetData(VARIANT* v, int startAddress) {
    if (v == nullptr || v->vt != (VT_ARRAY | VT_UI1) || v->parray == nullptr ||
        v->parray->cDims != 1 || v->parray->data.size() > kMaxHexDataSize) {
        return false;
    }
    array_.reset(v->parray);
    v->parray = nullptr;
    v->vt = VT_EMPTY;
    startAddress_ = startAddress;
    digit_ = 0;
    selStart_ = selEnd_ = -1;
    hScroll_ = 0;
    firstUnit_ = 0;
    caret_ = 0;
    mode_ |= kHexColumn;
    modified_ = 0;
    RecalcLayout();
    update();
    return true;
}

void CHexEditCtrl::ShowAddress(bool show) {
    showAddress_ = show;
    relayout();
}

void CHexEditCtrl::ShowAscii(bool show) {
    asciiRequested_ = show;
    if (unitDigits_ != 2) {
        return;
    }
    digit_ = 0;
    if (!show) {
        mode_ |= kHexColumn;
    }
    if (hasData()) {
        hScroll_ = 0;
        RecalcLayout();
        MoveCaret(0, 0, false);
        update();
    }
}

bool CHexEditCtrl::SetUnitsPerRow(short units) {
    if (units < 0) {
        return false;
    }
    unitsPerRow_ = units;
    relayout();
    return true;
}

bool CHexEditCtrl::SetAddressDigits(short digits) {
    if (digits != 4 && digits != 8) {
        return false;
    }
    addressDigits_ = digits;
    relayout();
    return true;
}

bool CHexEditCtrl::SetUnitDigits(short digits) {
    if (digits != 2 && digits != 4 && digits != 8) {
        return false;
    }
    unitDigits_ = digits;
    digit_ = 0;
    selStart_ = selEnd_ = -1;
    hScroll_ = 0;
    firstUnit_ = 0;
    caret_ = 0;
    mode_ |= kHexColumn;
    if (hasData()) {
        RecalcLayout();
        update();
    }
    return true;
}

bool CHexEditCtrl::SetFontSize(short height) {
    if (height < 8) {
        return false;
    }
    fontHeight_ = height;
    relayout();
    return true;
}

void CHexEditCtrl::SetReadOnly(bool readOnly) {
    readOnly_ = readOnly;
    update();
}

COLORREF CHexEditCtrl::GetBackgroundColor() const {
    return GetSysColor(readOnly_ ? COLOR_BTNFACE : COLOR_WINDOW);
}

void CHexEditCtrl::AllowInsertMode(bool allow) {
    insertAllowed_ = allow;
    if (!allow && insertMode()) {
        mode_ &= ~kInsertMode;
        if (focused_ && hasData()) {
            createCaret();
            UpdateCaretPos();
        }
    }
}

void CHexEditCtrl::ClearSelection() {
    selStart_ = selEnd_ = -1;
    update();
}

void CHexEditCtrl::DeleteRange(int unit, int count) {
    if (!hasData()) {
        return;
    }
    DeleteUnits(bytes(), unitBytes(), unit, count);
    RecalcLayout();
}

void CHexEditCtrl::InsertRange(int unit, int count) {
    if (!hasData()) {
        return;
    }
    InsertUnits(bytes(), unitBytes(), unit, count);
    RecalcLayout();
}

void CHexEditCtrl::DeleteSelection() {
    if (HasNoSelection() || !hasData()) {
        return;
    }
    const int start = selStart_;
    DeleteRange(start, selEnd_ - start + 1);
    caret_ = start;
    modified_ = 1;
    selStart_ = selEnd_ = -1;
    update();
    EnsureCaretVisible();
    UpdateScrollBars();
    UpdateCaretPos();
}

void CHexEditCtrl::MoveCaret(int units, int rows, bool redraw) {
    digit_ = 0;
    const int64_t moved = static_cast<int64_t>(caret_) + units +
                          static_cast<int64_t>(rows) * std::max<int>(unitsPerRow_, 1);
    caret_ = static_cast<int>(std::clamp<int64_t>(moved, 0, unitCount()));
    const bool scrolled = EnsureCaretVisible();
    const bool barsMoved = UpdateScrollBars();
    if (scrolled || barsMoved || redraw) {
        update();
    }
    UpdateCaretPos();
}

void CHexEditCtrl::setHexCursor(const HexCursor& c) {
    caret_ = c.caret;
    selStart_ = c.selStart;
    selEnd_ = c.selEnd;
}

// Layout

void CHexEditCtrl::RecalcLayout() {
    if (!hasData()) {
        return;
    }
    if (static_cast<int64_t>(data().size()) + startAddress_ > 0x10000) {
        addressDigits_ = 8;
    }
    font_.DeleteObject();
    font_.CreateFont(fontHeight_, 0, 0, 0, FW_NORMAL, 0, 0, 0, 1 /* default character set */, 0, 0,
                     0, 0x31 /* fixed pitch, modern family */, "");
    const SIZE zero = fontMetricsSource()->extent(font_.toQFont(), "0");
    charWidth_ = std::max(1, zero.cx);
    charHeight_ = std::max(1, zero.cy);

    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    const QRect contents = contentsRect();
    const int fullWidth = contents.width();
    const int fullHeight = contents.height();
    asciiShown_ = unitDigits_ == 2 && asciiRequested_;
    const int ud = unitDigits_;
    bool needH = false;
    bool needV = false;
    for (;;) {
        const int width = fullWidth - (needV ? bar : 0);
        const int height = fullHeight - (needH ? bar : 0);
        visibleColumns_ = std::max(0, (width - charWidth_ / 2) / charWidth_);
        visibleRows_ = std::max(0, height / charHeight_);
        hexStart_ = showAddress_ ? addressDigits_ + 2 : 0;
        if (unitsPerRow_ == 0) {
            const int fit = (visibleColumns_ + (asciiShown_ ? 0 : 2) - hexStart_ - 1) /
                            ((asciiShown_ ? 1 : 0) + ud + 1);
            unitsPerRow_ = static_cast<short>(std::clamp(fit, 1, 0x7FFF));
        }
        lineWidth_ = unitsPerRow_ * (ud + 1) + hexStart_;
        asciiStart_ = lineWidth_;
        if (asciiShown_) {
            lineWidth_ += unitsPerRow_ + 1;
            asciiStart_ += 1;
        } else {
            lineWidth_ -= 1;
        }
        totalRows_ = static_cast<int>(data().size() / (static_cast<size_t>(unitsPerRow_) *
                                                       static_cast<size_t>(unitBytes()))) +
                     1;
        const bool h = needH || lineWidth_ > visibleColumns_;
        const bool v = needV || totalRows_ > visibleRows_;
        if (h == needH && v == needV) {
            break;
        }
        needH = h;
        needV = v;
    }
    client_ = {0, 0, std::max(0, fullWidth - (needV ? bar : 0)),
               std::max(0, fullHeight - (needH ? bar : 0))};

    // Whole units only.
    const size_t ub = static_cast<size_t>(unitBytes());
    if (ub > 1 && data().size() % ub != 0) {
        bytes().resize((data().size() + ub - 1) / ub * ub, BYTE{0});
    }

    firstUnit_ -= firstUnit_ % unitsPerRow_;
    EnsureCaretVisible();
    UpdateScrollBars();
    if (!vShown_) {
        firstUnit_ = 0;
    }
    placeScrollBars();
}

void CHexEditCtrl::placeScrollBars() {
    const QRect c = contentsRect();
    const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    vBar_->setGeometry(c.left() + client_.right, c.top(), bar, client_.bottom);
    hBar_->setGeometry(c.left(), c.top() + client_.bottom, client_.right, bar);
    vBar_->setVisible(vShown_);
    hBar_->setVisible(hShown_);
}

bool CHexEditCtrl::EnsureCaretVisible() {
    const int oldFirst = firstUnit_;
    const int oldH = hScroll_;
    const int n = unitCount();
    const int upr = std::max<int>(unitsPerRow_, 1);
    const int rows = std::max(visibleRows_, 1);
    caret_ = std::clamp(caret_, 0, n);
    if (caret_ == n) {
        digit_ = 0;
    }
    const int row = caret_ / upr;
    if (row < firstUnit_ / upr) {
        firstUnit_ = row * upr;
    } else if (row >= firstUnit_ / upr + rows) {
        firstUnit_ = (row - rows + 1) * upr;
    }
    firstUnit_ = std::clamp(firstUnit_, 0, std::max(0, totalRows_ - rows) * upr);

    int column = 0;
    int width = 1;
    if (caretInHexColumn()) {
        column = hexStart_ + (caret_ % upr) * (unitDigits_ + 1);
        width = unitDigits_;
    } else {
        column = asciiStart_ + caret_ % upr;
    }
    if (column < hScroll_) {
        hScroll_ = column;
    } else if (column + width > hScroll_ + visibleColumns_) {
        hScroll_ = std::max(0, column + width - visibleColumns_);
    }
    return firstUnit_ != oldFirst || hScroll_ != oldH;
}

bool CHexEditCtrl::UpdateScrollBars() {
    const int upr = std::max<int>(unitsPerRow_, 1);
    const int vPos = (firstUnit_ + upr - 1) / upr;
    hScroll_ = std::clamp(hScroll_, 0, std::max(0, lineWidth_ - visibleColumns_));
    const bool differs = vPos != vBar_->value() || hScroll_ != hBar_->value();
    // Shown when the range reaches the page, then range, page and position;
    // a bar's own maximum is the last position a whole page can start at.
    updatingBars_ = true;
    vShown_ = totalRows_ - 1 >= visibleRows_;
    vBar_->setRange(0, std::max(0, totalRows_ - visibleRows_));
    vBar_->setPageStep(std::max(1, visibleRows_));
    vBar_->setValue(vPos);
    hShown_ = lineWidth_ - 1 >= visibleColumns_;
    hBar_->setRange(0, std::max(0, lineWidth_ - visibleColumns_));
    hBar_->setPageStep(std::max(1, visibleColumns_));
    hBar_->setValue(hScroll_);
    vBar_->setVisible(vShown_);
    hBar_->setVisible(hShown_);
    updatingBars_ = false;
    return differs;
}

void CHexEditCtrl::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    if (hasData()) {
        RecalcLayout();
        update();
    } else {
        const QRect c = contentsRect();
        client_ = {0, 0, c.width(), c.height()};
    }
}

// Scrolling

void CHexEditCtrl::setVerticalFirst(int first) {
    const int upr = std::max<int>(unitsPerRow_, 1);
    const int lastRowStart = unitCount() / upr * upr;
    const int limit = std::max(0, lastRowStart - upr * (std::max(visibleRows_, 1) - 1));
    first = std::clamp(first, 0, limit);
    if (first != firstUnit_) {
        firstUnit_ = first;
        update();
        UpdateScrollBars();
        UpdateCaretPos();
    }
}

namespace {

// Where a scroll request leads from pos; line and page in the bar's steps.
int scrollTarget(UINT code, int pos, int line, int page, int thumb, int end) {
    const int targets[] = {pos - line, pos + line, pos - page, pos + page, thumb, thumb, 0, end};
    return code < std::size(targets) ? targets[code] : pos;
}

} // namespace

void CHexEditCtrl::OnVScroll(UINT code, int thumb) {
    if (hasData()) {
        const int upr = std::max<int>(unitsPerRow_, 1);
        setVerticalFirst(
            scrollTarget(code, firstUnit_, upr, visibleRows_ * upr, thumb * upr, unitCount()));
    }
}

void CHexEditCtrl::OnHScroll(UINT code, int thumb) {
    if (!hasData()) {
        return;
    }
    const int pos = std::clamp(scrollTarget(code, hScroll_, 1, visibleColumns_, thumb, lineWidth_),
                               0, std::max(0, lineWidth_ - visibleColumns_));
    if (pos != hScroll_) {
        hScroll_ = pos;
        update();
        UpdateScrollBars();
        UpdateCaretPos();
    }
}

void CHexEditCtrl::scrollBarAction(bool vertical, int action) {
    // The bar's actions in the order of the requests SB_LINEUP .. SB_BOTTOM.
    static constexpr int kActions[] = {QAbstractSlider::SliderSingleStepSub,
                                       QAbstractSlider::SliderSingleStepAdd,
                                       QAbstractSlider::SliderPageStepSub,
                                       QAbstractSlider::SliderPageStepAdd,
                                       -1,
                                       QAbstractSlider::SliderMove,
                                       QAbstractSlider::SliderToMinimum,
                                       QAbstractSlider::SliderToMaximum};
    const auto* found = std::find(std::begin(kActions), std::end(kActions), action);
    if (updatingBars_ || found == std::end(kActions)) {
        return;
    }
    const auto code = static_cast<UINT>(found - std::begin(kActions));
    QScrollBar* bar = vertical ? vBar_ : hBar_;
    if (vertical) {
        OnVScroll(code, bar->sliderPosition());
    } else {
        OnHScroll(code, bar->sliderPosition());
    }
    // The control decides where the view stands; the bar follows it.
    const int upr = std::max<int>(unitsPerRow_, 1);
    bar->setSliderPosition(vertical ? (firstUnit_ + upr - 1) / upr : hScroll_);
}

// Drawing

void CHexEditCtrl::DrawTextClipped(CDC* dc, const RECT& update, int x, int y,
                                   std::string_view text) {
    const RECT box{x, y, x + static_cast<int>(text.size()) * charWidth_, y + charHeight_};
    if (box.left < update.right && update.left < box.right && box.top < update.bottom &&
        update.top < box.bottom) {
        dc->TextOut(x, y, text);
    }
}

void CHexEditCtrl::DrawContent(CDC* dc, const RECT& client, const RECT& update) {
    const COLORREF background = GetBackgroundColor();
    if (!hasData()) {
        dc->FillSolidRect(&update, background);
        return;
    }
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    if (width <= 0 || height <= 0) {
        return;
    }
    CDC memory;
    memory.CreateCompatibleDC(dc);
    CBitmap bitmap;
    bitmap.CreateCompatibleBitmap(dc, width, height);
    CBitmap* oldBitmap = memory.SelectObject(&bitmap);
    if (DrawRecorder* r = dc->recorder()) {
        memory.setRecorder(r, QPoint(client.left, client.top));
    }
    CFont* oldFont = memory.SelectObject(&font_);
    memory.SetBkMode(OPAQUE);
    // Blank first: the margin, the rest of each row and the partial row below.
    memory.FillSolidRect(0, 0, width, height, background);

    const std::vector<BYTE>& d = data();
    const int upr = std::max<int>(unitsPerRow_, 1);
    const int ub = unitBytes();
    const int n = unitCount();
    const RECT local{update.left - client.left, update.top - client.top, update.right - client.left,
                     update.bottom - client.top};
    const auto xOf = [&](int column) { return (column - hScroll_) * charWidth_ + charWidth_ / 2; };
    const auto colours = [&](bool selected) {
        memory.SetTextColor(GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
        memory.SetBkColor(selected ? GetSysColor(COLOR_HIGHLIGHT) : background);
    };
    const auto isSelected = [&](int unit) {
        return !HasNoSelection() && unit >= selStart_ && unit <= selEnd_;
    };
    for (int r = 0; r < visibleRows_; ++r) {
        const int64_t rowUnit = static_cast<int64_t>(firstUnit_) + static_cast<int64_t>(r) * upr;
        const int y = r * charHeight_;
        const int64_t rowByte = rowUnit * ub;
        colours(false);
        if (showAddress_) {
            const std::string address =
                rowUnit <= n ? printed("%0*X  ", addressDigits_,
                                       static_cast<unsigned>(rowByte + startAddress_))
                             : printed("%*c  ", addressDigits_, ' ');
            DrawTextClipped(&memory, local, xOf(0), y, address);
        }
        for (int i = 0; i < upr; ++i) {
            const int64_t unit = rowUnit + i;
            const int column = hexStart_ + i * (unitDigits_ + 1);
            if (unit < n) {
                const bool selected = isSelected(static_cast<int>(unit));
                colours(selected);
                DrawTextClipped(
                    &memory, local, xOf(column), y,
                    printed("%0*X ", unitDigits_, ReadUnit(d, ub, static_cast<int>(unit))));
                if (asciiShown_) {
                    const BYTE b = d[static_cast<size_t>(unit)];
                    const char c = b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
                    DrawTextClipped(&memory, local, xOf(asciiStart_ + i), y,
                                    std::string_view(&c, 1));
                }
            } else {
                colours(false);
                DrawTextClipped(&memory, local, xOf(column), y, printed("%*c ", unitDigits_, ' '));
                if (asciiShown_) {
                    DrawTextClipped(&memory, local, xOf(asciiStart_ + i), y, " ");
                }
            }
        }
    }
    memory.SelectObject(oldFont);
    dc->BitBlt(client.left, client.top, width, height, &memory, 0, 0, SRCCOPY);
    memory.SelectObject(oldBitmap);
}

void CHexEditCtrl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    drawFrame(&painter);
    const QRect c = contentsRect();
    if (client_.right <= 0 || client_.bottom <= 0) {
        return;
    }
    QImage image(client_.right, client_.bottom, QImage::Format_RGB32);
    {
        CDC dc(&image);
        DrawContent(&dc, client_, client_);
    }
    if (caretState_.exists && caretState_.shown) {
        // The caret inverts what it covers.
        QPainter caret(&image);
        caret.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        caret.fillRect(caretState_.pos.x, caretState_.pos.y, caretState_.width, caretState_.height,
                       Qt::white);
    }
    painter.drawImage(c.topLeft(), image);
    // The corner between two shown bars.
    if (vShown_ && hShown_) {
        painter.fillRect(c.left() + client_.right, c.top() + client_.bottom, vBar_->width(),
                         hBar_->height(), palette().window());
    }
}

void CHexEditCtrl::InvalidateUnit(int unit) {
    const int upr = std::max<int>(unitsPerRow_, 1);
    const int row = unit / upr - firstUnit_ / upr;
    const QRect c = contentsRect();
    update(c.left(), c.top() + row * charHeight_, client_.right, charHeight_);
}

// Caret

void CHexEditCtrl::createCaret() {
    caretState_.exists = true;
    caretState_.width = insertMode() ? kSystemCaretWidth : charWidth_;
    caretState_.height = charHeight_;
    caretState_.shown = false;
}

void CHexEditCtrl::showCaret(bool show) {
    if (caretState_.exists && caretState_.shown != show) {
        caretState_.shown = show;
        update();
    }
}

void CHexEditCtrl::UpdateCaretPos() {
    if (!focused_ || !hasData() || !caretState_.exists) {
        return;
    }
    const int upr = std::max<int>(unitsPerRow_, 1);
    int unit = caret_;
    int after = 0;
    if (!HasNoSelection() && caret_ == selEnd_ + 1) {
        // Just behind the selection's last unit, even at a row's end.
        unit = selEnd_;
        after = caretInHexColumn() ? unitDigits_ : 1;
    }
    int column = caretInHexColumn()
                     ? hexStart_ + (unit % upr) * (unitDigits_ + 1) + (after ? after : digit_)
                     : asciiStart_ + unit % upr + after;
    const int row = unit / upr - firstUnit_ / upr;
    const POINT pos{(column - hScroll_) * charWidth_ + charWidth_ / 2 - 1, row * charHeight_};
    const bool inside = pos.x >= client_.left && pos.x < client_.right && pos.y >= client_.top &&
                        pos.y < client_.bottom;
    if (pos.x != caretState_.pos.x || pos.y != caretState_.pos.y) {
        caretState_.pos = pos;
        update();
    }
    showCaret(inside && !mouseDrag_);
}

void CHexEditCtrl::OnSetFocus() {
    focused_ = true;
    if (!hasData()) {
        return;
    }
    createCaret();
    UpdateCaretPos();
}

void CHexEditCtrl::OnKillFocus() {
    focused_ = false;
    caretState_ = Caret{};
    update();
}

void CHexEditCtrl::focusInEvent(QFocusEvent* event) {
    QFrame::focusInEvent(event);
    OnSetFocus();
}

void CHexEditCtrl::focusOutEvent(QFocusEvent* event) {
    QFrame::focusOutEvent(event);
    OnKillFocus();
}

// Writing

void CHexEditCtrl::changed() {
    modified_ = 1;
    update();
}

bool CHexEditCtrl::PrepareWrite() {
    if (!writable()) {
        return false;
    }
    if (!HasNoSelection()) {
        if (mayResize()) {
            caret_ = selStart_;
            DeleteUnits(bytes(), unitBytes(), selStart_, selEnd_ - selStart_ + 1);
            selStart_ = selEnd_ = -1;
            digit_ = 0;
            InsertUnits(bytes(), unitBytes(), caret_, 1);
            RecalcLayout();
            changed();
            return true;
        }
        // Only dropped; the caret may stand behind the data, handled below.
        selStart_ = selEnd_ = -1;
        update();
    }
    if (caret_ >= unitCount()) {
        if (!insertMode() && !sizeChange_) {
            return false;
        }
        caret_ = unitCount();
        InsertUnits(bytes(), unitBytes(), caret_, 1);
        RecalcLayout();
    } else if (insertMode() && digit_ == 0) {
        InsertUnits(bytes(), unitBytes(), caret_, 1);
        RecalcLayout();
    }
    changed();
    return true;
}

void CHexEditCtrl::OnChar(UINT ch) {
    if (!hasData()) {
        return;
    }
    try {
        if (!caretInHexColumn()) {
            if (ch < 32 || ch > 0xFF || !PrepareWrite()) {
                return;
            }
            bytes()[static_cast<size_t>(caret_)] = static_cast<BYTE>(ch);
            MoveCaret(1, 0, false);
            update();
            return;
        }
        int value = -1;
        if (ch >= '0' && ch <= '9') {
            value = static_cast<int>(ch - '0');
        } else if (ch >= 'a' && ch <= 'f') {
            value = static_cast<int>(ch - 'a' + 10);
        } else if (ch >= 'A' && ch <= 'F') {
            value = static_cast<int>(ch - 'A' + 10);
        }
        if (value < 0 || !PrepareWrite()) {
            return;
        }
        WriteDigit(bytes(), unitBytes(), caret_, digit_, value);
        InvalidateUnit(caret_);
        if (++digit_ >= unitDigits_) {
            MoveCaret(1, 0, false);
        } else {
            UpdateScrollBars();
            UpdateCaretPos();
        }
    } catch (const std::bad_alloc&) {
        // The data could not grow: the key is lost, the data stays whole.
        QApplication::beep();
    }
}

// Keys

bool CHexEditCtrl::event(QEvent* e) {
    // Tab and Shift+Tab are the control's keys (it wants arrows, Tab and
    // characters), so that it moves the dialog's focus itself.
    if (e->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(e);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    }
    return QFrame::event(e);
}

void CHexEditCtrl::keyPressEvent(QKeyEvent* event) {
    static constexpr std::pair<int, UINT> kKeys[] = {
        {Qt::Key_Tab, VK_TAB},       {Qt::Key_Backtab, VK_TAB},   {Qt::Key_Left, VK_LEFT},
        {Qt::Key_Right, VK_RIGHT},   {Qt::Key_Up, VK_UP},         {Qt::Key_Down, VK_DOWN},
        {Qt::Key_PageUp, VK_PRIOR},  {Qt::Key_PageDown, VK_NEXT}, {Qt::Key_Home, VK_HOME},
        {Qt::Key_End, VK_END},       {Qt::Key_Insert, VK_INSERT}, {Qt::Key_Delete, VK_DELETE},
        {Qt::Key_Backspace, VK_BACK}};
    const bool shift = (event->modifiers() & Qt::ShiftModifier) != 0;
    const bool ctrl = (event->modifiers() & Qt::ControlModifier) != 0;
    UINT vk = ctrl && event->key() == Qt::Key_A ? 'A' : 0;
    for (const auto& [key, code] : kKeys) {
        vk = event->key() == key ? code : vk;
    }
    if (vk != 0) {
        OnKeyDown(vk, shift, ctrl);
        return;
    }
    const QString text = event->text();
    if (ctrl || text.isEmpty()) {
        QFrame::keyPressEvent(event);
        return;
    }
    for (const QChar c : text) {
        OnChar(c.unicode());
    }
}

void CHexEditCtrl::moveKey(UINT key, bool shift) {
    const int upr = std::max<int>(unitsPerRow_, 1);
    const int inRow = caret_ % upr;
    if (key == VK_HOME && caretInHexColumn()) {
        hScroll_ = 0;
        update();
    }
    // Units and rows to move, by key from VK_PRIOR to VK_DOWN.
    const std::pair<int, int> moves[] = {{0, -visibleRows_},
                                         {0, visibleRows_},
                                         {upr - 1 - inRow + (shift ? 1 : 0), 0},
                                         {-inRow, 0},
                                         {-1, 0},
                                         {0, -1},
                                         {1, 0},
                                         {0, 1}};
    if (key >= VK_PRIOR && key <= VK_DOWN) {
        const auto [units, rows] = moves[key - VK_PRIOR];
        MoveCaret(units, rows, false);
    }
}

void CHexEditCtrl::OnKeyDown(UINT key, bool shift, bool ctrl) {
    if (key == VK_TAB && !ctrl) {
        // The dialog's next (or, with Shift, previous) control.
        focusNextPrevChild(!shift);
        return;
    }
    if (!hasData()) {
        return;
    }
    const bool movement = key == VK_LEFT || key == VK_RIGHT || key == VK_UP || key == VK_DOWN ||
                          key == VK_PRIOR || key == VK_NEXT || key == VK_HOME || key == VK_END;
    try {
        if (ctrl && shift) {
            return;
        }
        if (ctrl) {
            switch (key) {
            case VK_TAB:
                if (asciiShown_) {
                    mode_ ^= kHexColumn;
                    digit_ = 0;
                    MoveCaret(0, 0, true);
                }
                break;
            case VK_HOME:
                selStart_ = selEnd_ = -1;
                MoveCaret(-caret_, 0, true);
                break;
            case VK_END:
                selStart_ = selEnd_ = -1;
                MoveCaret(unitCount() - caret_, 0, true);
                break;
            case VK_INSERT:
                OnEditCopy();
                break;
            case 'A':
                OnEditSelectAll();
                break;
            default:
                break;
            }
            return;
        }
        if (shift) {
            if (key == VK_INSERT) {
                OnEditPaste();
            } else if (key == VK_DELETE) {
                OnEditCut();
            } else if (movement) {
                const int old = caret_;
                moveKey(key, true);
                const int now = caret_;
                if (HasNoSelection()) {
                    if (now < old) {
                        selStart_ = now;
                        selEnd_ = old - 1;
                    } else if (now > old) {
                        selStart_ = old;
                        selEnd_ = now - 1;
                    }
                } else if (old == selEnd_ + 1) {
                    // The caret was the selection's moving end behind it.
                    if (now < selStart_) {
                        selEnd_ = selStart_ - 1;
                        selStart_ = now;
                    } else {
                        selEnd_ = now - 1;
                    }
                } else if (now > selEnd_ + 1) {
                    // Moved past the far end: it becomes the fixed end.
                    selStart_ = selEnd_ + 1;
                    selEnd_ = now - 1;
                } else {
                    selStart_ = now;
                }
                if (selStart_ == selEnd_ + 1) {
                    selStart_ = selEnd_ = -1;
                }
                update();
                UpdateCaretPos();
            }
            return;
        }
        switch (key) {
        case VK_BACK:
            if (writable() && mayResize()) {
                if (!HasNoSelection()) {
                    DeleteSelection();
                } else if (caret_ > 0) {
                    MoveCaret(-1, 0, false);
                    DeleteRange(caret_, 1);
                    modified_ = 1;
                }
            }
            break;
        case VK_DELETE:
            if (writable()) {
                if (!insertMode() && !sizeChange_) {
                    if (!HasNoSelection()) {
                        const size_t ub = static_cast<size_t>(unitBytes());
                        std::fill(bytes().begin() + static_cast<std::ptrdiff_t>(selStart_ * ub),
                                  bytes().begin() + static_cast<std::ptrdiff_t>((selEnd_ + 1) * ub),
                                  BYTE{0});
                        modified_ = 1;
                    }
                } else if (!HasNoSelection()) {
                    DeleteSelection();
                } else if (caret_ < unitCount()) {
                    DeleteRange(caret_, 1);
                    modified_ = 1;
                }
            }
            break;
        case VK_INSERT:
            if (writable() && insertAllowed_) {
                mode_ ^= kInsertMode;
                if (focused_) {
                    createCaret();
                    UpdateCaretPos();
                }
            }
            break;
        default:
            if (movement) {
                moveKey(key, false);
            } else {
                return;
            }
            break;
        }
        selStart_ = selEnd_ = -1;
        update();
        UpdateCaretPos();
    } catch (const std::bad_alloc&) {
        QApplication::beep();
    }
}

// Mouse

POINT CHexEditCtrl::toClient(const QPoint& p) const {
    const QPoint origin = contentsRect().topLeft();
    return {p.x() - origin.x(), p.y() - origin.y()};
}

void CHexEditCtrl::HitTest(int x, int y) {
    if (!hasData()) {
        return;
    }
    const int upr = std::max<int>(unitsPerRow_, 1);
    const int row = y >= 0 ? y / charHeight_ : -((-y + charHeight_ - 1) / charHeight_);
    const int offset = x - charWidth_ / 2;
    int column =
        (offset >= 0 ? offset / charWidth_ : -((-offset + charWidth_ - 1) / charWidth_)) + hScroll_;
    const bool ascii = (column >= asciiStart_ && asciiShown_ && !dragSelect_) ||
                       (dragSelect_ && !caretInHexColumn());
    const int64_t rowUnit = static_cast<int64_t>(firstUnit_) + static_cast<int64_t>(row) * upr;
    int64_t unit = 0;
    if (ascii) {
        column = std::clamp(column, asciiStart_, asciiStart_ + upr - 1);
        mode_ &= ~kHexColumn;
        digit_ = 0;
        unit = rowUnit + (column - asciiStart_);
    } else {
        const int cell = unitDigits_ + 1;
        column = std::clamp(std::min(column, asciiStart_ - 1) - hexStart_, 0, upr * cell - 1);
        digit_ = std::min(column % cell, unitDigits_ - 1);
        mode_ |= kHexColumn;
        unit = rowUnit + column / cell;
    }
    caret_ = static_cast<int>(std::clamp<int64_t>(unit, 0, unitCount()));
    EnsureCaretVisible();
    UpdateScrollBars();
}

void CHexEditCtrl::ExtendSelectionTo(int x, int y) {
    if (!hasData() || !mouseDrag_) {
        return;
    }
    HitTest(x, y);
    const int oldStart = selStart_;
    const int oldEnd = selEnd_;
    if (unitCount() == 0) {
        // Nothing to select in empty data.
        selStart_ = selEnd_ = -1;
    } else if (anchor_ < caret_) {
        if (caret_ == unitCount()) {
            --caret_;
        }
        selStart_ = anchor_;
        selEnd_ = caret_;
    } else {
        selStart_ = caret_;
        selEnd_ = anchor_;
    }
    digit_ = 0;
    if (selStart_ != oldStart || selEnd_ != oldEnd) {
        update();
    }
}

void CHexEditCtrl::OnLButtonDown(UINT flags, POINT point) {
    setFocus(Qt::MouseFocusReason);
    if (!hasData()) {
        return;
    }
    mouseDrag_ = true;
    if (!HasNoSelection()) {
        selStart_ = selEnd_ = -1;
        update();
    }
    const int n = unitCount();
    if ((flags & MK_SHIFT) != 0) {
        anchor_ = caret_ >= n ? std::max(0, n - 1) : caret_;
        dragSelect_ = true;
        ExtendSelectionTo(point.x, point.y);
    } else {
        HitTest(point.x, point.y);
        anchor_ = caret_ >= n ? std::max(0, n - 1) : caret_;
    }
    // The press captures the mouse until the release.
    showCaret(false);
}

void CHexEditCtrl::OnMouseMove(UINT, POINT point) {
    if (!hasData() || !mouseDrag_) {
        return;
    }
    dragSelect_ = true;
    const bool inside = point.x >= client_.left && point.x < client_.right &&
                        point.y >= client_.top && point.y < client_.bottom;
    if (!inside && !autoScroll_) {
        timers_.SetTimer(AutoScrollTimer, AutoScrollPeriodMs);
        autoScroll_ = true;
    } else if (inside && autoScroll_) {
        timers_.KillTimer(AutoScrollTimer);
        autoScroll_ = false;
    }
    lastMouse_ = point;
    ExtendSelectionTo(point.x, point.y);
}

void CHexEditCtrl::OnTimer(UINT id) {
    if (id == AutoScrollTimer) {
        ExtendSelectionTo(lastMouse_.x, lastMouse_.y);
    }
}

void CHexEditCtrl::OnLButtonUp(UINT, POINT point) {
    if (!hasData() || !mouseDrag_) {
        return;
    }
    if (dragSelect_) {
        ExtendSelectionTo(point.x, point.y);
    }
    mouseDrag_ = false;
    dragSelect_ = false;
    timers_.KillTimer(AutoScrollTimer);
    autoScroll_ = false;
    if (!HasNoSelection() && caret_ == selEnd_) {
        ++caret_;
        digit_ = 0;
    }
    UpdateCaretPos();
}

void CHexEditCtrl::OnLButtonDblClk(UINT, POINT point) {
    if (!hasData()) {
        return;
    }
    HitTest(point.x, point.y);
    if (caret_ < unitCount()) {
        selStart_ = selEnd_ = caret_;
        ++caret_;
        digit_ = 0;
        update();
    }
    mouseDrag_ = false;
    dragSelect_ = false;
    UpdateCaretPos();
}

namespace {

UINT mouseFlags(const QMouseEvent* event) {
    UINT flags = 0;
    if ((event->buttons() & Qt::LeftButton) != 0) {
        flags |= MK_LBUTTON;
    }
    if ((event->modifiers() & Qt::ShiftModifier) != 0) {
        flags |= MK_SHIFT;
    }
    if ((event->modifiers() & Qt::ControlModifier) != 0) {
        flags |= MK_CONTROL;
    }
    return flags;
}

} // namespace

void CHexEditCtrl::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        OnLButtonDown(mouseFlags(event), toClient(event->position().toPoint()));
    } else {
        QFrame::mousePressEvent(event);
    }
}

void CHexEditCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        OnLButtonDblClk(mouseFlags(event), toClient(event->position().toPoint()));
    }
}

void CHexEditCtrl::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        OnLButtonUp(mouseFlags(event), toClient(event->position().toPoint()));
    }
}

void CHexEditCtrl::mouseMoveEvent(QMouseEvent* event) {
    OnMouseMove(mouseFlags(event), toClient(event->position().toPoint()));
}

// Context menu and commands

std::unique_ptr<QMenu> CHexEditCtrl::createContextMenu() {
    auto menu = std::make_unique<QMenu>();
    const auto add = [&](const char* text, UINT id) {
        QAction* a = menu->addAction(QString::fromLatin1(text));
        setCommandId(a, id);
    };
    add("Cu&t\tShift+Del", ID_EDIT_CUT);
    add("&Copy\tCtrl+Ins", ID_EDIT_COPY);
    add("&Paste\tShift+Ins", ID_EDIT_PASTE);
    menu->addSeparator();
    add("Select &all\tCtrl+A", ID_EDIT_SELECT_ALL);
    return menu;
}

UINT CHexEditCtrl::TrackPopupMenu(QMenu* menu, POINT screen) {
    const QAction* chosen = menu->exec(QPoint(screen.x, screen.y));
    return chosen != nullptr ? commandId(chosen) : 0;
}

void CHexEditCtrl::OnContextMenu(POINT screen) {
    if (!hasData()) {
        return;
    }
    if (screen.x == -1 && screen.y == -1) {
        const QPoint p = mapToGlobal(contentsRect().topLeft() + QPoint(5, 5));
        screen = {p.x(), p.y()};
    }
    std::unique_ptr<QMenu> menu = createContextMenu();
    UpdateMenuCmdUI(this, menu.get());
    const UINT command = TrackPopupMenu(menu.get(), screen);
    const std::pair<UINT, void (CHexEditCtrl::*)()> handlers[] = {
        {ID_EDIT_CUT, &CHexEditCtrl::OnEditCut},
        {ID_EDIT_COPY, &CHexEditCtrl::OnEditCopy},
        {ID_EDIT_PASTE, &CHexEditCtrl::OnEditPaste},
        {ID_EDIT_SELECT_ALL, &CHexEditCtrl::OnEditSelectAll}};
    for (const auto& [id, handler] : handlers) {
        if (id == command) {
            (this->*handler)();
        }
    }
}

void CHexEditCtrl::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() == QContextMenuEvent::Mouse) {
        OnContextMenu({event->globalPos().x(), event->globalPos().y()});
    } else {
        OnContextMenu({-1, -1});
    }
}

void CHexEditCtrl::copySelection() {
    const size_t ub = static_cast<size_t>(unitBytes());
    const size_t from = std::min(data().size(), static_cast<size_t>(selStart_) * ub);
    const size_t to = std::min(data().size(), static_cast<size_t>(selEnd_ + 1) * ub);
    const std::span<const BYTE> selected(data().data() + from, to - from);
    const std::vector<BYTE> block = EncodeBinaryDataBlock(selected);
    auto* mime = new QMimeData;
    mime->setData(kBinaryDataFormat, QByteArray(reinterpret_cast<const char*>(block.data()),
                                                static_cast<qsizetype>(block.size())));
    QByteArray text(reinterpret_cast<const char*>(selected.data()),
                    static_cast<qsizetype>(selected.size()));
    text.append('\0');
    mime->setData(kTextFormat, text);
    QGuiApplication::clipboard()->setMimeData(mime);
}

void CHexEditCtrl::OnEditCopy() {
    if (!hasData() || HasNoSelection()) {
        return;
    }
    try {
        copySelection();
    } catch (const std::bad_alloc&) {
        QApplication::beep();
    }
}

void CHexEditCtrl::OnEditCut() {
    if (!writable() || !mayResize() || HasNoSelection()) {
        return;
    }
    try {
        copySelection();
        DeleteSelection();
    } catch (const std::bad_alloc&) {
        QApplication::beep();
    }
}

void CHexEditCtrl::OnEditPaste() {
    if (!writable()) {
        return;
    }
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    if (mime == nullptr) {
        return;
    }
    QByteArray block;
    std::span<const BYTE> pasted;
    if (mime->hasFormat(kBinaryDataFormat)) {
        block = mime->data(kBinaryDataFormat);
        const auto decoded = DecodeBinaryDataBlock(
            {reinterpret_cast<const BYTE*>(block.constData()), static_cast<size_t>(block.size())});
        if (!decoded) {
            // A count that the block does not hold: nothing is pasted.
            return;
        }
        pasted = *decoded;
    } else if (mime->hasFormat(kTextFormat)) {
        block = mime->data(kTextFormat);
        pasted = DecodeTextBlock(
            {reinterpret_cast<const BYTE*>(block.constData()), static_cast<size_t>(block.size())});
    }
    if (pasted.empty()) {
        return;
    }
    try {
        HexCursor c = hexCursor();
        const HexEditMode mode{unitBytes(), insertMode(), sizeChange_};
        const bool didChange = PasteBytes(bytes(), mode, c, pasted);
        setHexCursor(c);
        if (didChange) {
            RecalcLayout();
            changed();
            UpdateCaretPos();
        }
    } catch (const std::bad_alloc&) {
        QApplication::beep();
    }
}

void CHexEditCtrl::OnEditSelectAll() {
    if (!hasData() || unitCount() == 0) {
        return;
    }
    selStart_ = 0;
    selEnd_ = unitCount() - 1;
    caret_ = 0;
    MoveCaret(0, 0, true);
}

void CHexEditCtrl::OnUpdateEditCopy(CCmdUI* ui) {
    ui->Enable(!HasNoSelection());
}

void CHexEditCtrl::OnUpdateEditCut(CCmdUI* ui) {
    ui->Enable(!HasNoSelection() && !readOnly_ && mayResize());
}

void CHexEditCtrl::OnUpdateEditPaste(CCmdUI* ui) {
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
    ui->Enable(!readOnly_ && mime != nullptr &&
               (mime->hasFormat(kTextFormat) || mime->hasFormat(kBinaryDataFormat)));
}

void CHexEditCtrl::OnUpdateEditSelectAll(CCmdUI* ui) {
    ui->Enable(!data().empty());
}

} // namespace glimra
