// Drawing objects, stock objects, the system colours and the font-metrics
// sources.

#include "glimra/fontmetrics.h"
#include "glimra/gdi.h"
#include "glimra/resources.h"
#include "glimra/syscolors.h"

#include <QFontMetrics>
#include <QFontMetricsF>
#include <QGuiApplication>

#include <algorithm>
#include <array>
#include <cstring>
#include <strings.h>

namespace glimra {

CGdiObject::~CGdiObject() = default;

BOOL CGdiObject::DeleteObject() {
    if (!created_) {
        return FALSE;
    }
    reset();
    created_ = false;
    return TRUE;
}

BOOL CPen::CreatePen(int style, int width, COLORREF color) {
    style_ = style;
    width_ = std::max(0, width);
    color_ = color;
    created_ = true;
    return TRUE;
}

BOOL CBrush::CreateSolidBrush(COLORREF color) {
    color_ = color;
    null_ = false;
    created_ = true;
    return TRUE;
}

BOOL CBrush::CreateSysColorBrush(int index) {
    return CreateSolidBrush(GetSysColor(index));
}

BOOL CBrush::CreateNullBrush() {
    null_ = true;
    created_ = true;
    return TRUE;
}

BOOL CFont::CreateFontIndirect(const LOGFONTA* font) {
    if (font == nullptr) {
        return FALSE;
    }
    font_ = *font;
    font_.lfFaceName[LF_FACESIZE - 1] = '\0';
    created_ = true;
    return TRUE;
}

BOOL CFont::CreateFont(int height, int width, int escapement, int orientation, int weight,
                       BYTE italic, BYTE underline, BYTE strikeOut, BYTE charSet, BYTE outPrecision,
                       BYTE clipPrecision, BYTE quality, BYTE pitchAndFamily,
                       const char* faceName) {
    LOGFONTA f;
    f.lfHeight = height;
    f.lfWidth = width;
    f.lfEscapement = escapement;
    f.lfOrientation = orientation;
    f.lfWeight = weight;
    f.lfItalic = italic;
    f.lfUnderline = underline;
    f.lfStrikeOut = strikeOut;
    f.lfCharSet = charSet;
    f.lfOutPrecision = outPrecision;
    f.lfClipPrecision = clipPrecision;
    f.lfQuality = quality;
    f.lfPitchAndFamily = pitchAndFamily;
    if (faceName != nullptr) {
        std::strncpy(f.lfFaceName, faceName, LF_FACESIZE - 1);
    }
    return CreateFontIndirect(&f);
}

BOOL CFont::CreatePointFont(int pointSize, const char* faceName, CDC* dc) {
    const int dpi = dc != nullptr ? dc->GetDeviceCaps(LOGPIXELSY) : 96;
    LOGFONTA f;
    f.lfHeight = -MulDiv(pointSize, dpi, 720);
    f.lfWeight = FW_NORMAL;
    if (faceName != nullptr) {
        std::strncpy(f.lfFaceName, faceName, LF_FACESIZE - 1);
    }
    return CreateFontIndirect(&f);
}

int CFont::GetLogFont(LOGFONTA* out) const {
    if (!created_ || out == nullptr) {
        return 0;
    }
    *out = font_;
    return static_cast<int>(sizeof(LOGFONTA));
}

namespace {

// The faces the classes name, on the fonts a Linux desktop has.
const char* familyFor(const char* face) {
    struct Alias {
        const char* face;
        const char* family;
    };
    static constexpr Alias aliases[] = {
        {"MS Sans Serif", "DejaVu Sans"},
        {"MS Shell Dlg", "DejaVu Sans"},
        {"MS Shell Dlg 2", "DejaVu Sans"},
        {"System", "DejaVu Sans"},
        {"Arial", "DejaVu Sans"},
        {"Tahoma", "DejaVu Sans"},
        {"Verdana", "DejaVu Sans"},
        {"Times New Roman", "DejaVu Serif"},
        {"Courier New", "DejaVu Sans Mono"},
        {"Courier", "DejaVu Sans Mono"},
        {"Fixedsys", "DejaVu Sans Mono"},
    };
    if (face == nullptr || face[0] == '\0') {
        return "DejaVu Sans";
    }
    for (const Alias& a : aliases) {
        if (::strcasecmp(a.face, face) == 0) {
            return a.family;
        }
    }
    return face;
}

} // namespace

QFont CFont::toQFont(double yScale) const {
    return toQFont(font_, yScale);
}

QFont CFont::toQFont(const LOGFONTA& lf, double yScale) {
    // Without a face, a fixed pitch or the modern family asks for a monospaced font.
    const bool fixed = (lf.lfPitchAndFamily & 0x3) == 1 || (lf.lfPitchAndFamily & 0xF0) == 0x30;
    QFont font(QString::fromLatin1(lf.lfFaceName[0] == '\0' && fixed ? "DejaVu Sans Mono"
                                                                     : familyFor(lf.lfFaceName)));
    const int height = static_cast<int>(lf.lfHeight * yScale);
    if (height < 0) {
        font.setPixelSize(-height);
    } else if (height > 0) {
        // A cell height: ascent and descent together.
        int pixels = height;
        if (QGuiApplication::instance() != nullptr) {
            QFont probe = font;
            probe.setPixelSize(100);
            const double cell = QFontMetricsF(probe).height();
            if (cell > 0) {
                pixels = static_cast<int>(height * 100.0 / cell + 0.5);
            }
        }
        font.setPixelSize(std::max(1, pixels));
    } else {
        font.setPixelSize(std::max(1, static_cast<int>(13 * yScale)));
    }
    if (lf.lfWeight > 0) {
        font.setWeight(static_cast<QFont::Weight>(std::clamp<int>(lf.lfWeight, 1, 1000)));
    }
    font.setItalic(lf.lfItalic != 0);
    font.setUnderline(lf.lfUnderline != 0);
    font.setStrikeOut(lf.lfStrikeOut != 0);
    return font;
}

BOOL CBitmap::CreateCompatibleBitmap(CDC* dc, int width, int height) {
    const bool mono = dc != nullptr && dc->GetDeviceCaps(BITSPIXEL) == 1;
    return CreateBitmap(width, height, 1, mono ? 1 : 32);
}

BOOL CBitmap::CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel, const void*) {
    if (width < 0 || height < 0 || planes != 1) {
        return FALSE;
    }
    image_ = QImage(std::max(width, 1), std::max(height, 1), QImage::Format_ARGB32_Premultiplied);
    if (image_.isNull()) {
        return FALSE;
    }
    image_.fill(QColor(0, 0, 0));
    mono_ = bitsPerPixel == 1;
    created_ = true;
    return TRUE;
}

BOOL CBitmap::LoadBitmap(UINT id) {
    const std::optional<QImage> found = findBitmap(id);
    return found ? fromImage(*found) : FALSE;
}

BOOL CBitmap::fromImage(const QImage& image) {
    if (image.isNull()) {
        return FALSE;
    }
    image_ = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    mono_ = image.depth() == 1;
    created_ = true;
    return TRUE;
}

void CBitmap::reset() {
    image_ = QImage();
    mono_ = false;
}

BOOL CRgn::CreateRectRgn(int left, int top, int right, int bottom) {
    const RECT r{std::min(left, right), std::min(top, bottom), std::max(left, right),
                 std::max(top, bottom)};
    region_ = QRegion(toQRect(r));
    created_ = true;
    return TRUE;
}

BOOL CRgn::CreateRectRgnIndirect(const RECT* rect) {
    return rect != nullptr ? CreateRectRgn(rect->left, rect->top, rect->right, rect->bottom)
                           : FALSE;
}

void CRgn::setRegion(const QRegion& region) {
    region_ = region;
    created_ = true;
}

int CRgn::kind() const {
    if (region_.isEmpty()) {
        return NULLREGION;
    }
    return region_.rectCount() == 1 ? SIMPLEREGION : COMPLEXREGION;
}

int CRgn::OffsetRgn(int dx, int dy) {
    if (!created_) {
        return ERROR;
    }
    region_.translate(dx, dy);
    return kind();
}

int CRgn::CombineRgn(const CRgn* a, const CRgn* b, int mode) {
    if (a == nullptr || (mode != RGN_COPY && b == nullptr)) {
        return ERROR;
    }
    switch (mode) {
    case RGN_AND:
        region_ = a->region_ & b->region_;
        break;
    case RGN_OR:
        region_ = a->region_ | b->region_;
        break;
    case RGN_XOR:
        region_ = a->region_ ^ b->region_;
        break;
    case RGN_DIFF:
        region_ = a->region_ - b->region_;
        break;
    case RGN_COPY:
        region_ = a->region_;
        break;
    default:
        return ERROR;
    }
    created_ = true;
    return kind();
}

BOOL CRgn::PtInRegion(int x, int y) const {
    return region_.contains(QPoint(x, y)) ? TRUE : FALSE;
}

int CRgn::GetRgnBox(RECT* out) const {
    if (out == nullptr || !created_) {
        return ERROR;
    }
    *out = region_.isEmpty() ? RECT{} : toRect(region_.boundingRect());
    return kind();
}

BOOL CPalette::CreatePalette(const LOGPALETTE* palette) {
    if (palette == nullptr || palette->palPalEntry.empty()) {
        return FALSE;
    }
    version_ = palette->palVersion;
    entries_ = palette->palPalEntry;
    created_ = true;
    return TRUE;
}

UINT CPalette::GetPaletteEntries(UINT start, UINT count, PALETTEENTRY* out) const {
    if (out == nullptr || start >= entries_.size()) {
        return 0;
    }
    const UINT n = std::min<UINT>(count, static_cast<UINT>(entries_.size()) - start);
    std::copy_n(entries_.begin() + start, n, out);
    return n;
}

std::vector<DrawOp> DrawRecorder::texts() const {
    return ofKind(DrawOp::Text);
}

std::vector<DrawOp> DrawRecorder::ofKind(DrawOp::Kind kind) const {
    std::vector<DrawOp> out;
    std::copy_if(ops.begin(), ops.end(), std::back_inserter(out),
                 [kind](const DrawOp& op) { return op.kind == kind; });
    return out;
}

CGdiObject* GetStockObject(int index) {
    static CBrush white(RGB(255, 255, 255));
    static CBrush black(RGB(0, 0, 0));
    static CBrush hollow = [] {
        CBrush b;
        b.CreateNullBrush();
        return b;
    }();
    static CPen whitePen(PS_SOLID, 1, RGB(255, 255, 255));
    static CPen blackPen(PS_SOLID, 1, RGB(0, 0, 0));
    static CPen nullPen(PS_NULL, 1, 0);
    static CFont systemFont = [] {
        CFont f;
        f.CreateFont(16, 0, 0, 0, FW_BOLD, 0, 0, 0, 0, 0, 0, 0, 0, "System");
        return f;
    }();
    static CFont guiFont = [] {
        CFont f;
        f.CreateFont(-11, 0, 0, 0, FW_NORMAL, 0, 0, 0, 0, 0, 0, 0, 0, "MS Shell Dlg");
        return f;
    }();
    switch (index) {
    case WHITE_BRUSH:
        return &white;
    case BLACK_BRUSH:
        return &black;
    case NULL_BRUSH:
        return &hollow;
    case WHITE_PEN:
        return &whitePen;
    case BLACK_PEN:
        return &blackPen;
    case NULL_PEN:
        return &nullPen;
    case SYSTEM_FONT:
        return &systemFont;
    case DEFAULT_GUI_FONT:
        return &guiFont;
    default:
        return nullptr;
    }
}

COLORREF GetSysColor(int index) {
    static constexpr std::array<COLORREF, 31> table = {
        RGB(212, 208, 200), // scroll bar
        RGB(58, 110, 165),  // desktop
        RGB(10, 36, 106),   // active caption
        RGB(128, 128, 128), // inactive caption
        RGB(212, 208, 200), // menu
        RGB(255, 255, 255), // window
        RGB(0, 0, 0),       // window frame
        RGB(0, 0, 0),       // menu text
        RGB(0, 0, 0),       // window text
        RGB(255, 255, 255), // caption text
        RGB(212, 208, 200), // active border
        RGB(212, 208, 200), // inactive border
        RGB(128, 128, 128), // application workspace
        RGB(10, 36, 106),   // highlight
        RGB(255, 255, 255), // highlight text
        RGB(212, 208, 200), // button face
        RGB(128, 128, 128), // button shadow
        RGB(128, 128, 128), // grey text
        RGB(0, 0, 0),       // button text
        RGB(212, 208, 200), // inactive caption text
        RGB(255, 255, 255), // button highlight
        RGB(64, 64, 64),    // 3-D dark shadow
        RGB(212, 208, 200), // 3-D light
        RGB(0, 0, 0),       // tool-tip text
        RGB(255, 255, 225), // tool-tip background
        RGB(181, 181, 181), // (unused index 25)
        RGB(0, 0, 128),     // hot-tracked item
        RGB(166, 202, 240), // gradient active caption
        RGB(192, 192, 192), // gradient inactive caption
        RGB(10, 36, 106),   // menu highlight
        RGB(212, 208, 200), // menu bar
    };
    if (index < 0 || index >= static_cast<int>(table.size())) {
        return 0;
    }
    return table[static_cast<size_t>(index)];
}

bool gradientCaptions() {
    return true;
}

namespace {

QString textOf(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

platform::CurrentInstance<FontMetricsSource, QtFontMetrics>& currentMetrics() {
    static platform::CurrentInstance<FontMetricsSource, QtFontMetrics> source;
    return source;
}

} // namespace

SIZE QtFontMetrics::extent(const QFont& font, std::string_view text) {
    const QFontMetrics fm(font);
    return {fm.horizontalAdvance(textOf(text)), fm.height()};
}

TEXTMETRIC QtFontMetrics::metrics(const QFont& font) {
    const QFontMetrics fm(font);
    TEXTMETRIC tm;
    tm.tmAscent = fm.ascent();
    tm.tmDescent = fm.descent();
    tm.tmHeight = fm.height();
    tm.tmInternalLeading = std::max(0, fm.height() - font.pixelSize());
    tm.tmExternalLeading = std::max(0, fm.leading());
    tm.tmAveCharWidth = fm.averageCharWidth();
    tm.tmMaxCharWidth = fm.maxWidth();
    tm.tmWeight = font.weight();
    return tm;
}

SIZE FixedFontMetrics::extent(const QFont&, std::string_view text) {
    return {static_cast<LONG>(text.size()) * charWidth_, height_};
}

TEXTMETRIC FixedFontMetrics::metrics(const QFont& font) {
    TEXTMETRIC tm;
    tm.tmHeight = height_;
    tm.tmAscent = height_ * 4 / 5;
    tm.tmDescent = height_ - tm.tmAscent;
    tm.tmAveCharWidth = charWidth_;
    tm.tmMaxCharWidth = charWidth_;
    tm.tmWeight = font.weight();
    return tm;
}

std::shared_ptr<FontMetricsSource> setFontMetricsSource(std::shared_ptr<FontMetricsSource> source) {
    return currentMetrics().set(std::move(source));
}

std::shared_ptr<FontMetricsSource> fontMetricsSource() {
    return currentMetrics().get();
}

} // namespace glimra
