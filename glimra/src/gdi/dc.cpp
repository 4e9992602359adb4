// The drawing context over QPainter.

#include "glimra/fontmetrics.h"
#include "glimra/gdi.h"
#include "glimra/syscolors.h"

#include <QPainter>
#include <QPrinter>

#include <algorithm>
#include <cstdlib>

namespace glimra {

namespace {

QString textOf(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QRgb rgbOf(COLORREF c) {
    return qRgb(GetRValue(c), GetGValue(c), GetBValue(c));
}

COLORREF colorOf(QRgb p) {
    return RGB(qRed(p), qGreen(p), qBlue(p));
}

// '&' marks a mnemonic; "&&" stands for one '&'.
std::string withoutPrefixes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '&' && i + 1 < text.size()) {
            ++i;
        }
        out += text[i];
    }
    return out;
}

std::vector<std::string> linesOf(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        const size_t end = text.find('\n', start);
        std::string line(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        if (end == std::string_view::npos) {
            return lines;
        }
        start = end + 1;
    }
}

} // namespace

CDC::CDC() {
    initDefaults();
}

CDC::CDC(QImage* image) : image_(image) {
    initDefaults();
    if (image_ != nullptr) {
        size_ = image_->size();
        caps_.bitsPixel = image_->depth() == 1 ? 1 : 32;
    }
}

CDC::CDC(QPainter* painter, const QSize& size) : painter_(painter), size_(size) {
    initDefaults();
}

CDC::CDC(DrawRecorder* recorder, const QSize& size) : size_(size), recorder_(recorder) {
    initDefaults();
}

CDC::CDC(QPrinter* printer) : printer_(printer), printing_(true) {
    initDefaults();
    if (printer_ != nullptr) {
        const int dpi = printer_->resolution();
        caps_.logPixelsX = dpi;
        caps_.logPixelsY = dpi;
        const QRect page = printer_->pageLayout().paintRectPixels(dpi);
        size_ = page.size();
    }
}

CDC::~CDC() {
    if (ownPainter_ && ownPainter_->isActive()) {
        ownPainter_->end();
    }
}

void CDC::initDefaults() {
    state_ = State{};
    state_.pen = static_cast<CPen*>(GetStockObject(BLACK_PEN));
    state_.penValue = *state_.pen;
    state_.brush = static_cast<CBrush*>(GetStockObject(WHITE_BRUSH));
    state_.brushColor = state_.brush->color();
    state_.fontObject = static_cast<CFont*>(GetStockObject(SYSTEM_FONT));
    state_.font = state_.fontObject->logFont();
}

BOOL CDC::CreateCompatibleDC(CDC* dc) {
    DeleteDC();
    if (dc != nullptr) {
        caps_ = dc->caps_;
    }
    caps_.horzRes = 0;
    caps_.vertRes = 0;
    printing_ = false;
    defaultBitmap_ = std::make_unique<CBitmap>();
    defaultBitmap_->CreateBitmap(1, 1, 1, 1);
    bitmap_ = defaultBitmap_.get();
    useBitmapCaps();
    return TRUE;
}

BOOL CDC::DeleteDC() {
    if (ownPainter_ && ownPainter_->isActive()) {
        ownPainter_->end();
    }
    ownPainter_.reset();
    painter_ = nullptr;
    image_ = nullptr;
    bitmap_ = nullptr;
    defaultBitmap_.reset();
    saved_.clear();
    initDefaults();
    return TRUE;
}

void CDC::borrowSurface(const CDC* other) {
    DeleteDC();
    if (other == nullptr) {
        return;
    }
    image_ = other->image_;
    painter_ = other->painter_;
    bitmap_ = other->bitmap_;
    size_ = other->size_;
    recorder_ = other->recorder_;
    recordOffset_ = other->recordOffset_;
    caps_ = other->caps_;
    printing_ = other->printing_;
    state_ = other->state_;
}

void CDC::releaseSurface() {
    image_ = nullptr;
    painter_ = nullptr;
    bitmap_ = nullptr;
    recorder_ = nullptr;
    saved_.clear();
}

void CDC::useBitmapCaps() {
    if (bitmap_ != nullptr) {
        size_ = bitmap_->image().size();
        caps_.bitsPixel = bitmap_->isMonochrome() ? 1 : 32;
    }
}

int CDC::GetDeviceCaps(int index) const {
    switch (index) {
    case HORZRES:
        return caps_.horzRes != 0 ? caps_.horzRes : surfaceSize().width();
    case VERTRES:
        return caps_.vertRes != 0 ? caps_.vertRes : surfaceSize().height();
    case LOGPIXELSX:
        return caps_.logPixelsX;
    case LOGPIXELSY:
        return caps_.logPixelsY;
    case BITSPIXEL:
        return caps_.bitsPixel;
    case PLANES:
        return caps_.planes;
    case RASTERCAPS:
        return caps_.rasterCaps;
    case SIZEPALETTE:
        return caps_.sizePalette;
    case NUMCOLORS:
        return caps_.bitsPixel >= 16 ? -1 : 1 << caps_.bitsPixel;
    default:
        return 0;
    }
}

QImage* CDC::surfaceImage() const {
    if (bitmap_ != nullptr) {
        return &bitmap_->image();
    }
    return painter_ == nullptr ? image_ : nullptr;
}

QSize CDC::surfaceSize() const {
    if (const QImage* image = surfaceImage()) {
        return image->size();
    }
    return size_;
}

CPen* CDC::SelectObject(CPen* pen) {
    if (pen == nullptr) {
        return nullptr;
    }
    CPen* old = state_.pen;
    state_.pen = pen;
    state_.penValue = *pen;
    return old;
}

CBrush* CDC::SelectObject(CBrush* brush) {
    if (brush == nullptr) {
        return nullptr;
    }
    CBrush* old = state_.brush;
    state_.brush = brush;
    state_.brushColor = brush->color();
    state_.brushNull = brush->isNull();
    return old;
}

CFont* CDC::SelectObject(CFont* font) {
    if (font == nullptr) {
        return nullptr;
    }
    CFont* old = state_.fontObject;
    state_.fontObject = font;
    state_.font = font->logFont();
    return old;
}

CBitmap* CDC::SelectObject(CBitmap* bitmap) {
    // Only a memory context holds a bitmap.
    if (bitmap == nullptr || bitmap_ == nullptr || bitmap->image().isNull()) {
        return nullptr;
    }
    CBitmap* old = bitmap_;
    bitmap_ = bitmap;
    useBitmapCaps();
    return old;
}

CGdiObject* CDC::SelectStockObject(int index) {
    CGdiObject* object = GetStockObject(index);
    if (auto* pen = dynamic_cast<CPen*>(object)) {
        return SelectObject(pen);
    }
    if (auto* brush = dynamic_cast<CBrush*>(object)) {
        return SelectObject(brush);
    }
    if (auto* font = dynamic_cast<CFont*>(object)) {
        return SelectObject(font);
    }
    return nullptr;
}

CPalette* CDC::SelectPalette(CPalette* palette, BOOL) {
    CPalette* old = palette_;
    palette_ = palette;
    return old;
}

UINT CDC::RealizePalette() {
    if ((caps_.rasterCaps & RC_PALETTE) == 0 || palette_ == nullptr) {
        return 0;
    }
    return palette_->GetEntryCount();
}

COLORREF CDC::SetTextColor(COLORREF color) {
    return std::exchange(state_.textColor, color);
}

COLORREF CDC::SetBkColor(COLORREF color) {
    return std::exchange(state_.bkColor, color);
}

int CDC::SetBkMode(int mode) {
    if (mode != TRANSPARENT && mode != OPAQUE) {
        return 0;
    }
    return std::exchange(state_.bkMode, mode);
}

UINT CDC::SetTextAlign(UINT align) {
    return std::exchange(state_.textAlign, align);
}

int CDC::SetMapMode(int mode) {
    if (mode != MM_TEXT && mode != MM_ANISOTROPIC) {
        return 0;
    }
    const int old = std::exchange(state_.mapMode, mode);
    if (mode == MM_TEXT) {
        state_.viewportExt = {1, 1};
        state_.windowExt = {1, 1};
    }
    return old;
}

POINT CDC::SetViewportOrg(int x, int y) {
    return std::exchange(state_.viewportOrg, POINT{x, y});
}

POINT CDC::OffsetViewportOrg(int dx, int dy) {
    const POINT old = state_.viewportOrg;
    state_.viewportOrg = {old.x + dx, old.y + dy};
    return old;
}

POINT CDC::SetWindowOrg(int x, int y) {
    return std::exchange(state_.windowOrg, POINT{x, y});
}

SIZE CDC::SetViewportExt(int cx, int cy) {
    if (state_.mapMode != MM_ANISOTROPIC || cx == 0 || cy == 0) {
        return state_.viewportExt;
    }
    return std::exchange(state_.viewportExt, SIZE{cx, cy});
}

SIZE CDC::SetWindowExt(int cx, int cy) {
    if (state_.mapMode != MM_ANISOTROPIC || cx == 0 || cy == 0) {
        return state_.windowExt;
    }
    return std::exchange(state_.windowExt, SIZE{cx, cy});
}

QPoint CDC::toDevice(int x, int y) const {
    const int dx = x - state_.windowOrg.x;
    const int dy = y - state_.windowOrg.y;
    if (state_.mapMode == MM_TEXT) {
        return {dx + state_.viewportOrg.x, dy + state_.viewportOrg.y};
    }
    return {MulDiv(dx, state_.viewportExt.cx, state_.windowExt.cx) + state_.viewportOrg.x,
            MulDiv(dy, state_.viewportExt.cy, state_.windowExt.cy) + state_.viewportOrg.y};
}

QRect CDC::toDevice(const RECT& r) const {
    const QPoint a = toDevice(r.left, r.top);
    const QPoint b = toDevice(r.right, r.bottom);
    return toQRect(RECT{std::min(a.x(), b.x()), std::min(a.y(), b.y()), std::max(a.x(), b.x()),
                        std::max(a.y(), b.y())});
}

double CDC::yScale() const {
    if (state_.mapMode == MM_TEXT) {
        return 1.0;
    }
    return std::abs(static_cast<double>(state_.viewportExt.cy) / state_.windowExt.cy);
}

void CDC::LPtoDP(POINT* points, int count) const {
    for (int i = 0; points != nullptr && i < count; ++i) {
        points[i] = toPoint(toDevice(points[i].x, points[i].y));
    }
}

void CDC::LPtoDP(RECT* rect) const {
    if (rect != nullptr) {
        POINT corners[2] = {{rect->left, rect->top}, {rect->right, rect->bottom}};
        LPtoDP(corners, 2);
        *rect = {corners[0].x, corners[0].y, corners[1].x, corners[1].y};
    }
}

void CDC::DPtoLP(POINT* points, int count) const {
    for (int i = 0; points != nullptr && i < count; ++i) {
        int x = points[i].x - state_.viewportOrg.x;
        int y = points[i].y - state_.viewportOrg.y;
        if (state_.mapMode != MM_TEXT) {
            x = MulDiv(x, state_.windowExt.cx, state_.viewportExt.cx);
            y = MulDiv(y, state_.windowExt.cy, state_.viewportExt.cy);
        }
        points[i] = {x + state_.windowOrg.x, y + state_.windowOrg.y};
    }
}

void CDC::DPtoLP(RECT* rect) const {
    if (rect != nullptr) {
        POINT corners[2] = {{rect->left, rect->top}, {rect->right, rect->bottom}};
        DPtoLP(corners, 2);
        *rect = {corners[0].x, corners[0].y, corners[1].x, corners[1].y};
    }
}

namespace {
int regionKind(const QRegion& region) {
    if (region.isEmpty()) {
        return NULLREGION;
    }
    return region.rectCount() == 1 ? SIMPLEREGION : COMPLEXREGION;
}
} // namespace

int CDC::SelectClipRgn(const CRgn* region) {
    if (region == nullptr) {
        state_.clipped = false;
        state_.clip = QRegion();
        return SIMPLEREGION;
    }
    state_.clipped = true;
    state_.clip = region->region();
    return regionKind(state_.clip);
}

int CDC::IntersectClipRect(int left, int top, int right, int bottom) {
    const QRegion r(toDevice(RECT{left, top, right, bottom}));
    state_.clip = state_.clipped ? state_.clip.intersected(r) : r;
    state_.clipped = true;
    return regionKind(state_.clip);
}

int CDC::IntersectClipRect(const RECT* rect) {
    return rect != nullptr ? IntersectClipRect(rect->left, rect->top, rect->right, rect->bottom)
                           : ERROR;
}

int CDC::ExcludeClipRect(int left, int top, int right, int bottom) {
    const QRegion all = state_.clipped ? state_.clip : QRegion(QRect(QPoint(0, 0), surfaceSize()));
    state_.clip = all.subtracted(QRegion(toDevice(RECT{left, top, right, bottom})));
    state_.clipped = true;
    return regionKind(state_.clip);
}

int CDC::GetClipBox(RECT* out) const {
    if (out == nullptr) {
        return ERROR;
    }
    QRect box(QPoint(0, 0), surfaceSize());
    if (state_.clipped) {
        box = state_.clip.boundingRect();
        if (!surfaceSize().isEmpty()) {
            box = box.intersected(QRect(QPoint(0, 0), surfaceSize()));
        }
    }
    RECT r = toRect(box);
    DPtoLP(&r);
    *out = r;
    return state_.clipped ? regionKind(state_.clip) : SIMPLEREGION;
}

int CDC::SaveDC() {
    saved_.push_back(state_);
    return static_cast<int>(saved_.size());
}

BOOL CDC::RestoreDC(int saved) {
    const int levels = static_cast<int>(saved_.size());
    const int level = saved < 0 ? levels + saved + 1 : saved;
    if (level < 1 || level > levels) {
        return FALSE;
    }
    state_ = saved_[static_cast<size_t>(level - 1)];
    saved_.resize(static_cast<size_t>(level - 1));
    return TRUE;
}

template <typename F> void CDC::paint(F&& draw) {
    if (painter_ != nullptr) {
        if (!painter_->isActive()) {
            return;
        }
        painter_->save();
        painter_->resetTransform();
        painter_->setRenderHint(QPainter::Antialiasing, false);
        if (state_.clipped) {
            painter_->setClipRegion(state_.clip, Qt::IntersectClip);
        }
        draw(*painter_);
        painter_->restore();
        return;
    }
    QImage* image = surfaceImage();
    if (image == nullptr || image->isNull()) {
        return;
    }
    QPainter p(image);
    if (state_.clipped) {
        p.setClipRegion(state_.clip);
    }
    draw(p);
}

DrawOp CDC::makeOp(DrawOp::Kind kind) const {
    DrawOp op;
    op.kind = kind;
    op.clipped = state_.clipped;
    if (state_.clipped) {
        op.clip = state_.clip;
    }
    return op;
}

void CDC::record(DrawOp op) const {
    if (recorder_ != nullptr) {
        if (!recordOffset_.isNull()) {
            op.rect.translate(recordOffset_);
            op.from += recordOffset_;
            op.to += recordOffset_;
            op.clip.translate(recordOffset_);
        }
        recorder_->ops.push_back(std::move(op));
    }
}

void CDC::fillDevice(const QRect& r, COLORREF color) {
    if (r.isEmpty()) {
        return;
    }
    paint([&](QPainter& p) { p.fillRect(r, QColor(rgbOf(color))); });
}

void CDC::FillSolidRect(const RECT* rect, COLORREF color) {
    if (rect == nullptr) {
        return;
    }
    const QRect r = toDevice(*rect);
    DrawOp op = makeOp(DrawOp::Fill);
    op.rect = r;
    op.color = color & 0x00FFFFFFu;
    record(std::move(op));
    fillDevice(r, color);
}

void CDC::FillSolidRect(int x, int y, int cx, int cy, COLORREF color) {
    const RECT r{x, y, x + cx, y + cy};
    FillSolidRect(&r, color);
}

int CDC::FillRect(const RECT* rect, const CBrush* brush) {
    if (rect == nullptr || brush == nullptr) {
        return 0;
    }
    if (!brush->isNull()) {
        FillSolidRect(rect, brush->color());
    }
    return 1;
}

namespace {

// The pixels of a thin line, Bresenham's way, without its end point; styled
// pens draw their pattern, with the gaps in the background colour when the
// background is opaque.
void drawThinLine(QPainter& p, QPoint a, QPoint b, const CPen& pen, bool opaque, COLORREF bk) {
    static const std::vector<int> dash{18, 6};
    static const std::vector<int> dot{3, 3};
    static const std::vector<int> dashDot{9, 6, 3, 6};
    static const std::vector<int> dashDotDot{9, 3, 3, 3, 3, 3};
    const std::vector<int>* pattern = nullptr;
    switch (pen.style()) {
    case PS_DASH:
        pattern = &dash;
        break;
    case PS_DOT:
        pattern = &dot;
        break;
    case PS_DASHDOT:
        pattern = &dashDot;
        break;
    case PS_DASHDOTDOT:
        pattern = &dashDotDot;
        break;
    default:
        break;
    }
    QVector<QPoint> on;
    QVector<QPoint> off;
    const int dx = std::abs(b.x() - a.x());
    const int dy = -std::abs(b.y() - a.y());
    const int sx = a.x() < b.x() ? 1 : -1;
    const int sy = a.y() < b.y() ? 1 : -1;
    int err = dx + dy;
    int x = a.x();
    int y = a.y();
    size_t segment = 0;
    int left = pattern != nullptr ? (*pattern)[0] : 0;
    while (x != b.x() || y != b.y()) {
        if (pattern == nullptr || segment % 2 == 0) {
            on.push_back(QPoint(x, y));
        } else {
            off.push_back(QPoint(x, y));
        }
        if (pattern != nullptr && --left == 0) {
            segment = (segment + 1) % pattern->size();
            left = (*pattern)[segment];
        }
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
    QPen qpen(QColor(rgbOf(pen.color())));
    qpen.setWidth(1);
    p.setPen(qpen);
    p.drawPoints(on.constData(), static_cast<int>(on.size()));
    if (opaque && !off.isEmpty()) {
        qpen.setColor(QColor(rgbOf(bk)));
        p.setPen(qpen);
        p.drawPoints(off.constData(), static_cast<int>(off.size()));
    }
}

} // namespace

void CDC::lineDevice(const QPoint& a, const QPoint& b) {
    const CPen& pen = state_.penValue;
    DrawOp op = makeOp(DrawOp::Line);
    op.from = a;
    op.to = b;
    op.color = pen.color() & 0x00FFFFFFu;
    op.penStyle = pen.style();
    op.penWidth = pen.width();
    record(std::move(op));
    if (pen.style() == PS_NULL || a == b) {
        return;
    }
    const int width = pen.width() <= 1 ? 1 : std::max(1, static_cast<int>(pen.width() * yScale()));
    paint([&](QPainter& p) {
        QPen qpen{QColor(rgbOf(pen.color()))};
        qpen.setWidth(width);
        switch (pen.style()) {
        case PS_DASH:
            qpen.setStyle(Qt::DashLine);
            break;
        case PS_DOT:
            qpen.setStyle(Qt::DotLine);
            break;
        case PS_DASHDOT:
            qpen.setStyle(Qt::DashDotLine);
            break;
        case PS_DASHDOTDOT:
            qpen.setStyle(Qt::DashDotDotLine);
            break;
        default:
            break;
        }
        if (width == 1) {
            drawThinLine(p, a, b, pen, state_.bkMode == OPAQUE, state_.bkColor);
        } else {
            qpen.setCapStyle(Qt::RoundCap);
            qpen.setJoinStyle(Qt::RoundJoin);
            p.setPen(qpen);
            p.drawLine(a, b);
        }
    });
}

POINT CDC::MoveTo(int x, int y) {
    return std::exchange(state_.position, POINT{x, y});
}

BOOL CDC::LineTo(int x, int y) {
    lineDevice(toDevice(state_.position.x, state_.position.y), toDevice(x, y));
    state_.position = {x, y};
    return TRUE;
}

BOOL CDC::Polyline(const POINT* points, int count) {
    if (points == nullptr || count < 2) {
        return FALSE;
    }
    for (int i = 1; i < count; ++i) {
        lineDevice(toDevice(points[i - 1].x, points[i - 1].y), toDevice(points[i].x, points[i].y));
    }
    return TRUE;
}

BOOL CDC::Rectangle(int left, int top, int right, int bottom) {
    const RECT r{left, top, right, bottom};
    if (!state_.brushNull) {
        FillSolidRect(&r, state_.brushColor);
    }
    if (state_.penValue.style() != PS_NULL && right - left > 0 && bottom - top > 0) {
        const POINT saved = state_.position;
        MoveTo(left, top);
        LineTo(right - 1, top);
        LineTo(right - 1, bottom - 1);
        LineTo(left, bottom - 1);
        LineTo(left, top);
        state_.position = saved;
    }
    return TRUE;
}

BOOL CDC::Rectangle(const RECT* rect) {
    return rect != nullptr ? Rectangle(rect->left, rect->top, rect->right, rect->bottom) : FALSE;
}

QFont CDC::deviceFont() const {
    return CFont::toQFont(state_.font, yScale());
}

SIZE CDC::GetTextExtent(std::string_view text) const {
    const SIZE s = fontMetricsSource()->extent(deviceFont(), text);
    const double scale = yScale();
    return {static_cast<LONG>(s.cx / scale), static_cast<LONG>(s.cy / scale)};
}

BOOL CDC::GetTextMetrics(TEXTMETRIC* out) const {
    if (out == nullptr) {
        return FALSE;
    }
    *out = fontMetricsSource()->metrics(deviceFont());
    return TRUE;
}

void CDC::textDevice(const QPoint& ref, std::string_view text, UINT align,
                     const QRegion* extraClip) {
    const QFont font = deviceFont();
    FontMetricsSource& metrics = *fontMetricsSource();
    const SIZE ext = metrics.extent(font, text);
    const TEXTMETRIC tm = metrics.metrics(font);
    int dx = 0;
    if ((align & TA_CENTER) == TA_CENTER) {
        dx = -ext.cx / 2;
    } else if ((align & TA_RIGHT) != 0) {
        dx = -ext.cx;
    }
    int dy = 0;
    if ((align & TA_BASELINE) == TA_BASELINE) {
        dy = -tm.tmAscent;
    } else if ((align & TA_BOTTOM) != 0) {
        dy = -ext.cy;
    }
    const QRect box(dx, dy, ext.cx, ext.cy);
    const double angle = state_.font.lfEscapement / 10.0;

    DrawOp op = makeOp(DrawOp::Text);
    if (extraClip != nullptr) {
        op.clip = state_.clipped ? state_.clip.intersected(*extraClip) : *extraClip;
        op.clipped = true;
    }
    op.from = ref;
    op.rect = box.translated(ref);
    op.text = std::string(text);
    op.color = state_.textColor & 0x00FFFFFFu;
    op.align = align;
    op.bkMode = state_.bkMode;
    op.bkColor = state_.bkColor & 0x00FFFFFFu;
    op.font = state_.font;
    const QRegion clip = op.clip;
    const bool clipped = op.clipped;
    record(std::move(op));

    paint([&](QPainter& p) {
        if (extraClip != nullptr && clipped) {
            p.setClipRegion(clip, painter_ != nullptr ? Qt::IntersectClip : Qt::ReplaceClip);
        }
        p.translate(ref);
        if (angle != 0) {
            p.rotate(-angle);
        }
        if (state_.bkMode == OPAQUE) {
            p.fillRect(box, QColor(rgbOf(state_.bkColor)));
        }
        p.setFont(font);
        p.setPen(QColor(rgbOf(state_.textColor)));
        p.drawText(QPoint(dx, dy + tm.tmAscent), textOf(text));
    });
}

BOOL CDC::TextOut(int x, int y, std::string_view text) {
    textDevice(toDevice(x, y), text, state_.textAlign, nullptr);
    return TRUE;
}

int CDC::DrawText(std::string_view text, RECT* rect, UINT format) {
    if (rect == nullptr) {
        return 0;
    }
    const std::string shown =
        (format & DT_NOPREFIX) != 0 ? std::string(text) : withoutPrefixes(text);
    const std::vector<std::string> lines =
        (format & DT_SINGLELINE) != 0 ? std::vector<std::string>{shown} : linesOf(shown);
    TEXTMETRIC tm;
    GetTextMetrics(&tm);
    const int lineHeight = GetTextExtent("").cy > 0 ? GetTextExtent("").cy : tm.tmHeight;
    std::vector<int> widths;
    int widest = 0;
    for (const std::string& line : lines) {
        widths.push_back(GetTextExtent(line).cx);
        widest = std::max(widest, widths.back());
    }
    const int total = lineHeight * static_cast<int>(lines.size());
    if ((format & DT_CALCRECT) != 0) {
        rect->right = rect->left + widest;
        rect->bottom = rect->top + total;
        return total;
    }
    int y = rect->top;
    if ((format & DT_SINGLELINE) != 0) {
        if ((format & DT_VCENTER) != 0) {
            y = rect->top + (rect->bottom - rect->top - lineHeight) / 2;
        } else if ((format & DT_BOTTOM) != 0) {
            y = rect->bottom - lineHeight;
        }
    }
    const QRegion clip(toDevice(*rect));
    for (size_t i = 0; i < lines.size(); ++i) {
        int x = rect->left;
        if ((format & DT_CENTER) != 0) {
            x = rect->left + (rect->right - rect->left - widths[i]) / 2;
        } else if ((format & DT_RIGHT) != 0) {
            x = rect->right - widths[i];
        }
        textDevice(toDevice(x, y), lines[i], TA_LEFT | TA_TOP,
                   (format & DT_NOCLIP) != 0 ? nullptr : &clip);
        y += lineHeight;
    }
    return total;
}

BOOL CDC::DrawEdge(RECT* rect, UINT edge, UINT flags) {
    if (rect == nullptr) {
        return FALSE;
    }
    const QRect all = toDevice(*rect);
    DrawOp op = makeOp(DrawOp::Edge);
    op.rect = all;
    op.edge = edge;
    op.edgeFlags = flags;
    record(std::move(op));
    // One ring: top-left colour on the left and top, bottom-right colour on
    // the right and bottom.
    auto ring = [&](const QRect& r, COLORREF topLeft, COLORREF bottomRight) {
        if (r.isEmpty()) {
            return;
        }
        if ((flags & BF_RIGHT) != 0) {
            fillDevice(QRect(r.right(), r.top(), 1, r.height()), bottomRight);
        }
        if ((flags & BF_BOTTOM) != 0) {
            fillDevice(QRect(r.left(), r.bottom(), r.width(), 1), bottomRight);
        }
        if ((flags & BF_LEFT) != 0) {
            fillDevice(QRect(r.left(), r.top(), 1, r.height() - ((flags & BF_BOTTOM) ? 1 : 0)),
                       topLeft);
        }
        if ((flags & BF_TOP) != 0) {
            fillDevice(QRect(r.left(), r.top(), r.width() - ((flags & BF_RIGHT) ? 1 : 0), 1),
                       topLeft);
        }
    };
    const UINT outer = edge & (BDR_RAISEDOUTER | BDR_SUNKENOUTER);
    const UINT inner = edge & (BDR_RAISEDINNER | BDR_SUNKENINNER);
    QRect r = all;
    auto shrink = [&] {
        r.adjust((flags & BF_LEFT) ? 1 : 0, (flags & BF_TOP) ? 1 : 0, (flags & BF_RIGHT) ? -1 : 0,
                 (flags & BF_BOTTOM) ? -1 : 0);
    };
    if (outer == BDR_RAISEDOUTER) {
        ring(r, GetSysColor(COLOR_3DLIGHT), GetSysColor(COLOR_3DDKSHADOW));
    } else if (outer == BDR_SUNKENOUTER) {
        ring(r, GetSysColor(COLOR_BTNSHADOW), GetSysColor(COLOR_BTNHIGHLIGHT));
    }
    if (outer != 0) {
        shrink();
    }
    if (inner == BDR_RAISEDINNER) {
        ring(r, GetSysColor(COLOR_BTNHIGHLIGHT), GetSysColor(COLOR_BTNSHADOW));
    } else if (inner == BDR_SUNKENINNER) {
        ring(r, GetSysColor(COLOR_3DDKSHADOW), GetSysColor(COLOR_3DLIGHT));
    }
    return TRUE;
}

void CDC::DrawFocusRect(const RECT* rect) {
    if (rect == nullptr) {
        return;
    }
    const QRect r = toDevice(*rect);
    DrawOp op = makeOp(DrawOp::FocusRect);
    op.rect = r;
    record(std::move(op));
    paint([&](QPainter& p) {
        p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        QPen pen(Qt::white);
        pen.setStyle(Qt::DotLine);
        pen.setCapStyle(Qt::FlatCap);
        p.setPen(pen);
        p.drawRect(r.adjusted(0, 0, -1, -1));
    });
}

BOOL CDC::BitBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc, DWORD rop) {
    const QRect target = toDevice(RECT{x, y, x + width, y + height});
    DrawOp op = makeOp(DrawOp::Blt);
    op.rect = target;
    op.rop = rop;
    record(std::move(op));
    if (rop == BLACKNESS || rop == WHITENESS) {
        fillDevice(target, rop == BLACKNESS ? RGB(0, 0, 0) : RGB(255, 255, 255));
        return TRUE;
    }
    if (source == nullptr) {
        return FALSE;
    }
    const QImage* from = source->surfaceImage();
    if (from == nullptr || from->isNull()) {
        return source->recorder() != nullptr && source->painter_ == nullptr ? TRUE : FALSE;
    }
    const QPoint origin = source->toDevice(xSrc, ySrc);
    QImage part = from->copy(QRect(origin, target.size()))
                      .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const bool toMono = bitmap_ != nullptr && bitmap_->isMonochrome();
    const bool fromMono = source->bitmap_ != nullptr && source->bitmap_->isMonochrome();
    if (toMono != fromMono) {
        // Colour to monochrome: the source's background colour becomes white,
        // everything else black. Monochrome to colour: black becomes this
        // context's text colour, white its background colour.
        const QRgb sourceBk = rgbOf(source->state_.bkColor);
        for (int row = 0; row < part.height(); ++row) {
            auto* line = reinterpret_cast<QRgb*>(part.scanLine(row));
            for (int col = 0; col < part.width(); ++col) {
                const QRgb p = line[col] | 0xFF000000u;
                if (toMono) {
                    line[col] = p == sourceBk ? qRgb(255, 255, 255) : qRgb(0, 0, 0);
                } else {
                    line[col] =
                        (p & 0xFFFFFFu) == 0 ? rgbOf(state_.textColor) : rgbOf(state_.bkColor);
                }
            }
        }
    }
    if (rop == SRCCOPY) {
        paint([&](QPainter& p) {
            if (painter_ == nullptr) {
                p.setCompositionMode(QPainter::CompositionMode_Source);
            }
            p.drawImage(target.topLeft(), part);
        });
        return TRUE;
    }
    // The logical operations work on the pixels of an image surface.
    QImage* to = surfaceImage();
    if (to == nullptr || to->isNull()) {
        return FALSE;
    }
    if (to->format() != QImage::Format_ARGB32_Premultiplied &&
        to->format() != QImage::Format_RGB32 && to->format() != QImage::Format_ARGB32) {
        *to = to->convertToFormat(QImage::Format_ARGB32_Premultiplied);
    }
    const QRect area = target.intersected(QRect(QPoint(0, 0), to->size()));
    for (int row = area.top(); row <= area.bottom(); ++row) {
        auto* line = reinterpret_cast<QRgb*>(to->scanLine(row));
        const auto* src = reinterpret_cast<const QRgb*>(part.constScanLine(row - target.top()));
        for (int col = area.left(); col <= area.right(); ++col) {
            if (state_.clipped && !state_.clip.contains(QPoint(col, row))) {
                continue;
            }
            const QRgb s = src[col - target.left()] & 0xFFFFFFu;
            const QRgb d = line[col] & 0xFFFFFFu;
            QRgb r = d;
            switch (rop) {
            case SRCAND:
                r = s & d;
                break;
            case SRCPAINT:
                r = s | d;
                break;
            case SRCINVERT:
                r = s ^ d;
                break;
            case NOTSRCCOPY:
                r = ~s & 0xFFFFFFu;
                break;
            default:
                return FALSE;
            }
            line[col] = 0xFF000000u | r;
        }
    }
    return TRUE;
}

BOOL CDC::StretchBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc,
                     int widthSrc, int heightSrc, DWORD rop) {
    if (width == widthSrc && height == heightSrc) {
        return BitBlt(x, y, width, height, source, xSrc, ySrc, rop);
    }
    const QRect target = toDevice(RECT{x, y, x + width, y + height});
    DrawOp op = makeOp(DrawOp::Blt);
    op.rect = target;
    op.rop = rop;
    record(std::move(op));
    if (source == nullptr || rop != SRCCOPY) {
        return FALSE;
    }
    const QImage* from = source->surfaceImage();
    if (from == nullptr || from->isNull()) {
        return FALSE;
    }
    const QPoint origin = source->toDevice(xSrc, ySrc);
    const QImage part = from->copy(QRect(origin, QSize(widthSrc, heightSrc)));
    paint([&](QPainter& p) { p.drawImage(target, part); });
    return TRUE;
}

BOOL CDC::drawImage(int x, int y, const QImage& image) {
    if (image.isNull()) {
        return FALSE;
    }
    const QPoint at = toDevice(x, y);
    DrawOp op = makeOp(DrawOp::Blt);
    op.rect = QRect(at, image.size());
    op.rop = SRCCOPY;
    record(std::move(op));
    paint([&](QPainter& p) { p.drawImage(at, image); });
    return TRUE;
}

COLORREF CDC::GetPixel(int x, int y) const {
    const QImage* image = surfaceImage();
    const QPoint at = toDevice(x, y);
    if (image == nullptr || !image->valid(at)) {
        return CLR_INVALID;
    }
    return colorOf(image->pixel(at));
}

COLORREF CDC::SetPixel(int x, int y, COLORREF color) {
    const QPoint at = toDevice(x, y);
    DrawOp op = makeOp(DrawOp::Pixel);
    op.from = at;
    op.color = color & 0x00FFFFFFu;
    record(std::move(op));
    fillDevice(QRect(at, QSize(1, 1)), color);
    return color & 0x00FFFFFFu;
}

int CDC::StartDoc(const char* docName) {
    if (printer_ == nullptr) {
        return -1;
    }
    printer_->setDocName(QString::fromUtf8(docName != nullptr ? docName : ""));
    ownPainter_ = std::make_unique<QPainter>();
    if (!ownPainter_->begin(printer_)) {
        ownPainter_.reset();
        return -1;
    }
    painter_ = ownPainter_.get();
    firstPage_ = true;
    return 1;
}

int CDC::StartPage() {
    if (painter_ == nullptr || printer_ == nullptr) {
        return -1;
    }
    if (!firstPage_ && !printer_->newPage()) {
        return -1;
    }
    firstPage_ = false;
    pageOpen_ = true;
    return 1;
}

int CDC::EndPage() {
    if (!pageOpen_) {
        return -1;
    }
    pageOpen_ = false;
    return 1;
}

int CDC::EndDoc() {
    if (!ownPainter_) {
        return -1;
    }
    const bool ended = ownPainter_->end();
    ownPainter_.reset();
    painter_ = nullptr;
    pageOpen_ = false;
    return ended ? 1 : -1;
}

int CDC::AbortDoc() {
    if (printer_ != nullptr) {
        printer_->abort();
    }
    ownPainter_.reset();
    painter_ = nullptr;
    pageOpen_ = false;
    return 1;
}

} // namespace glimra
