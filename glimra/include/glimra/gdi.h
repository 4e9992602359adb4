#pragma once
// The drawing layer: drawing objects (pen, brush, font, bitmap, region,
// palette) and one drawing context, CDC, over QPainter. The context keeps the
// drawing state the classes rely on: text colour, background colour and mode,
// text alignment about a reference point, font escapement, a line that leaves
// out its end pixel, window and viewport origins and extents, a clip region
// in device coordinates, and saved states.
//
// A context draws onto one of:
// - an image the caller owns (CDC(QImage*)), pixel exact;
// - a painter that is already active (CDC(QPainter*, size)): a widget's paint
//   event or a printer;
// - a bitmap selected into a memory context (CreateCompatibleDC,
//   SelectObject(CBitmap*));
// - nothing but a DrawRecorder (CDC(recorder, size)), which every context
//   can also carry beside its surface: tests read text placement from it.
//
// Drawing objects are copied into the context when selected; the pointers
// SelectObject hands back are only for selecting the object back, so the
// object has to outlive that.

#include "glimra/export.h"
#include "glimra/types.h"

#include <QFont>
#include <QImage>
#include <QRegion>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class QPainter;
class QPrinter;

namespace glimra {

// Background modes.
inline constexpr int TRANSPARENT = 1;
inline constexpr int OPAQUE = 2;

// Text alignment about the reference point.
inline constexpr UINT TA_NOUPDATECP = 0;
inline constexpr UINT TA_LEFT = 0;
inline constexpr UINT TA_TOP = 0;
inline constexpr UINT TA_RIGHT = 2;
inline constexpr UINT TA_CENTER = 6;
inline constexpr UINT TA_BOTTOM = 8;
inline constexpr UINT TA_BASELINE = 24;
inline constexpr UINT GDI_ERROR = 0xFFFFFFFFu;

// DrawText formats.
inline constexpr UINT DT_TOP = 0x0;
inline constexpr UINT DT_LEFT = 0x0;
inline constexpr UINT DT_CENTER = 0x1;
inline constexpr UINT DT_RIGHT = 0x2;
inline constexpr UINT DT_VCENTER = 0x4;
inline constexpr UINT DT_BOTTOM = 0x8;
inline constexpr UINT DT_WORDBREAK = 0x10;
inline constexpr UINT DT_SINGLELINE = 0x20;
inline constexpr UINT DT_EXPANDTABS = 0x40;
inline constexpr UINT DT_NOCLIP = 0x100;
inline constexpr UINT DT_CALCRECT = 0x400;
inline constexpr UINT DT_NOPREFIX = 0x800;

// Pen styles.
inline constexpr int PS_SOLID = 0;
inline constexpr int PS_DASH = 1;
inline constexpr int PS_DOT = 2;
inline constexpr int PS_DASHDOT = 3;
inline constexpr int PS_DASHDOTDOT = 4;
inline constexpr int PS_NULL = 5;

// Raster operations of BitBlt.
inline constexpr DWORD SRCCOPY = 0x00CC0020;
inline constexpr DWORD SRCPAINT = 0x00EE0086;
inline constexpr DWORD SRCAND = 0x008800C6;
inline constexpr DWORD SRCINVERT = 0x00660046;
inline constexpr DWORD NOTSRCCOPY = 0x00330008;
inline constexpr DWORD BLACKNESS = 0x00000042;
inline constexpr DWORD WHITENESS = 0x00FF0062;

// DrawEdge.
inline constexpr UINT BDR_RAISEDOUTER = 0x1;
inline constexpr UINT BDR_SUNKENOUTER = 0x2;
inline constexpr UINT BDR_RAISEDINNER = 0x4;
inline constexpr UINT BDR_SUNKENINNER = 0x8;
inline constexpr UINT EDGE_RAISED = BDR_RAISEDOUTER | BDR_RAISEDINNER;
inline constexpr UINT EDGE_SUNKEN = BDR_SUNKENOUTER | BDR_SUNKENINNER;
inline constexpr UINT EDGE_ETCHED = BDR_SUNKENOUTER | BDR_RAISEDINNER;
inline constexpr UINT EDGE_BUMP = BDR_RAISEDOUTER | BDR_SUNKENINNER;
inline constexpr UINT BF_LEFT = 0x1;
inline constexpr UINT BF_TOP = 0x2;
inline constexpr UINT BF_RIGHT = 0x4;
inline constexpr UINT BF_BOTTOM = 0x8;
inline constexpr UINT BF_RECT = 0xF;

// GetDeviceCaps indexes and raster capabilities.
inline constexpr int HORZRES = 8;
inline constexpr int VERTRES = 10;
inline constexpr int BITSPIXEL = 12;
inline constexpr int PLANES = 14;
inline constexpr int NUMCOLORS = 24;
inline constexpr int RASTERCAPS = 38;
inline constexpr int LOGPIXELSX = 88;
inline constexpr int LOGPIXELSY = 90;
inline constexpr int SIZEPALETTE = 104;
inline constexpr int RC_BITBLT = 0x1;
inline constexpr int RC_PALETTE = 0x100;
inline constexpr int RC_STRETCHBLT = 0x800;

// Mapping modes.
inline constexpr int MM_TEXT = 1;
inline constexpr int MM_ANISOTROPIC = 8;

// Font weights.
inline constexpr int FW_NORMAL = 400;
inline constexpr int FW_BOLD = 700;

// Region results and combinations.
inline constexpr int ERROR = 0;
inline constexpr int NULLREGION = 1;
inline constexpr int SIMPLEREGION = 2;
inline constexpr int COMPLEXREGION = 3;
inline constexpr int RGN_AND = 1;
inline constexpr int RGN_OR = 2;
inline constexpr int RGN_XOR = 3;
inline constexpr int RGN_DIFF = 4;
inline constexpr int RGN_COPY = 5;

// Stock objects.
inline constexpr int WHITE_BRUSH = 0;
inline constexpr int BLACK_BRUSH = 4;
inline constexpr int NULL_BRUSH = 5;
inline constexpr int WHITE_PEN = 6;
inline constexpr int BLACK_PEN = 7;
inline constexpr int NULL_PEN = 8;
inline constexpr int SYSTEM_FONT = 13;
inline constexpr int DEFAULT_GUI_FONT = 17;

struct TEXTMETRIC {
    LONG tmHeight = 0;
    LONG tmAscent = 0;
    LONG tmDescent = 0;
    LONG tmInternalLeading = 0;
    LONG tmExternalLeading = 0;
    LONG tmAveCharWidth = 0;
    LONG tmMaxCharWidth = 0;
    LONG tmWeight = 0;
};

class CDC;

class GLIMRA_EXPORT CGdiObject {
public:
    CGdiObject() = default;
    CGdiObject(const CGdiObject&) = default;
    CGdiObject& operator=(const CGdiObject&) = default;
    virtual ~CGdiObject();

    // Back to the empty object; FALSE when there was none.
    BOOL DeleteObject();
    bool isCreated() const { return created_; }

protected:
    virtual void reset() {}
    bool created_ = false;
};

class GLIMRA_EXPORT CPen : public CGdiObject {
public:
    CPen() = default;
    CPen(int style, int width, COLORREF color) { CreatePen(style, width, color); }
    BOOL CreatePen(int style, int width, COLORREF color);

    int style() const { return style_; }
    // 0 draws one device pixel wide whatever the mapping.
    int width() const { return width_; }
    COLORREF color() const { return color_; }

private:
    int style_ = PS_SOLID;
    int width_ = 1;
    COLORREF color_ = 0;
};

class GLIMRA_EXPORT CBrush : public CGdiObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
    BOOL CreateSolidBrush(COLORREF color);
    // A brush of a system colour (GetSysColor).
    BOOL CreateSysColorBrush(int index);
    // The hollow brush: fills nothing.
    BOOL CreateNullBrush();

    COLORREF color() const { return color_; }
    bool isNull() const { return null_; }

private:
    COLORREF color_ = 0xFFFFFF;
    bool null_ = false;
};

class GLIMRA_EXPORT CFont : public CGdiObject {
public:
    BOOL CreateFontIndirect(const LOGFONTA* font);
    BOOL CreateFont(int height, int width, int escapement, int orientation, int weight, BYTE italic,
                    BYTE underline, BYTE strikeOut, BYTE charSet, BYTE outPrecision,
                    BYTE clipPrecision, BYTE quality, BYTE pitchAndFamily, const char* faceName);
    // Size in tenths of a point, against the context's vertical resolution
    // (the screen's 96 dots per inch without one).
    BOOL CreatePointFont(int pointSize, const char* faceName, CDC* dc = nullptr);
    // Copies the description; the number of bytes, 0 without a font.
    int GetLogFont(LOGFONTA* out) const;
    const LOGFONTA& logFont() const { return font_; }

    // The Qt font of the description; heights scale by yScale (printing).
    QFont toQFont(double yScale = 1.0) const;
    static QFont toQFont(const LOGFONTA& font, double yScale = 1.0);

private:
    LOGFONTA font_;
};

class GLIMRA_EXPORT CBitmap : public CGdiObject {
public:
    // Black, of the context's depth.
    BOOL CreateCompatibleBitmap(CDC* dc, int width, int height);
    // Colour bitmaps hold 32 bits a pixel; bitsPerPixel 1 makes a
    // monochrome one (black 0, white 1). bits is ignored.
    BOOL CreateBitmap(int width, int height, UINT planes, UINT bitsPerPixel,
                      const void* bits = nullptr);
    // A bitmap of the library's resources, found through the resource chain.
    BOOL LoadBitmap(UINT id);
    BOOL fromImage(const QImage& image);

    SIZE size() const { return {image_.width(), image_.height()}; }
    bool isMonochrome() const { return mono_; }
    QImage& image() { return image_; }
    const QImage& image() const { return image_; }

private:
    void reset() override;
    QImage image_;
    bool mono_ = false;
};

class GLIMRA_EXPORT CRgn : public CGdiObject {
public:
    BOOL CreateRectRgn(int left, int top, int right, int bottom);
    BOOL CreateRectRgnIndirect(const RECT* rect);
    int OffsetRgn(int dx, int dy);
    // This region becomes a op b (b unused for RGN_COPY).
    int CombineRgn(const CRgn* a, const CRgn* b, int mode);
    BOOL PtInRegion(int x, int y) const;
    int GetRgnBox(RECT* out) const;

    const QRegion& region() const { return region_; }
    void setRegion(const QRegion& region);

private:
    void reset() override { region_ = QRegion(); }
    int kind() const;
    QRegion region_;
};

struct PALETTEENTRY {
    BYTE peRed = 0;
    BYTE peGreen = 0;
    BYTE peBlue = 0;
    BYTE peFlags = 0;
};

struct LOGPALETTE {
    WORD palVersion = 0x300;
    std::vector<PALETTEENTRY> palPalEntry;
};

class GLIMRA_EXPORT CPalette : public CGdiObject {
public:
    BOOL CreatePalette(const LOGPALETTE* palette);
    UINT GetEntryCount() const { return static_cast<UINT>(entries_.size()); }
    UINT GetPaletteEntries(UINT start, UINT count, PALETTEENTRY* out) const;
    WORD version() const { return version_; }

private:
    void reset() override { entries_.clear(); }
    WORD version_ = 0x300;
    std::vector<PALETTEENTRY> entries_;
};

// One call a context made, in device coordinates.
struct DrawOp {
    enum Kind { Fill, Line, Text, Blt, Edge, FocusRect, Pixel };
    Kind kind = Fill;
    QRect rect;         // Fill, Blt destination, Edge, FocusRect; Text: its box before turning
    QPoint from;        // Line start; Text reference point; Pixel
    QPoint to;          // Line end (not drawn)
    COLORREF color = 0; // fill, pen, text or pixel colour
    int penStyle = PS_SOLID;
    int penWidth = 1;
    std::string text;
    UINT align = 0;
    int bkMode = OPAQUE;
    COLORREF bkColor = 0;
    LOGFONTA font;
    DWORD rop = 0;
    UINT edge = 0;
    UINT edgeFlags = 0;
    bool clipped = false;
    QRegion clip; // device clip in force, when clipped
};

class GLIMRA_EXPORT DrawRecorder {
public:
    std::vector<DrawOp> ops;

    void clear() { ops.clear(); }
    // The text calls alone, in order.
    std::vector<DrawOp> texts() const;
    std::vector<DrawOp> ofKind(DrawOp::Kind kind) const;
};

// What a context reports of its device.
struct DeviceCaps {
    int horzRes = 0;
    int vertRes = 0;
    int logPixelsX = 96;
    int logPixelsY = 96;
    int bitsPixel = 32;
    int planes = 1;
    int rasterCaps = RC_BITBLT | RC_STRETCHBLT;
    int sizePalette = 0;
};

class GLIMRA_EXPORT CDC {
public:
    // A context without surface: it draws nothing until it gets one.
    CDC();
    // Draws onto an image that outlives the context.
    explicit CDC(QImage* image);
    // Draws through a painter already active on a device of that size.
    CDC(QPainter* painter, const QSize& size);
    // Records only.
    CDC(DrawRecorder* recorder, const QSize& size);
    // A printer context: StartDoc begins the document.
    explicit CDC(QPrinter* printer);
    virtual ~CDC();
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    // A memory context: same device capabilities, a 1 x 1 monochrome bitmap
    // selected until another bitmap is.
    BOOL CreateCompatibleDC(CDC* dc);
    BOOL DeleteDC();

    // offset moves what is recorded into another context's device
    // coordinates (a memory context records where its frame will land).
    void setRecorder(DrawRecorder* recorder, QPoint offset = {}) {
        recorder_ = recorder;
        recordOffset_ = offset;
    }
    DrawRecorder* recorder() const { return recorder_; }

    BOOL IsPrinting() const { return printing_; }
    void setPrinting(bool printing) { printing_ = printing; }
    int GetDeviceCaps(int index) const;
    const DeviceCaps& deviceCaps() const { return caps_; }
    void setDeviceCaps(const DeviceCaps& caps) { caps_ = caps; }

    // Drawing objects; each returns the object it replaced.
    CPen* SelectObject(CPen* pen);
    CBrush* SelectObject(CBrush* brush);
    CFont* SelectObject(CFont* font);
    CBitmap* SelectObject(CBitmap* bitmap);
    CGdiObject* SelectStockObject(int index);
    CPen* GetCurrentPen() const { return state_.pen; }
    CBrush* GetCurrentBrush() const { return state_.brush; }
    CFont* GetCurrentFont() const { return state_.fontObject; }
    CBitmap* GetCurrentBitmap() const { return bitmap_; }
    const LOGFONTA& currentLogFont() const { return state_.font; }
    // Palettes take effect only on palette devices (RC_PALETTE).
    CPalette* SelectPalette(CPalette* palette, BOOL forceBackground);
    UINT RealizePalette();
    CPalette* currentPalette() const { return palette_; }

    COLORREF SetTextColor(COLORREF color);
    COLORREF GetTextColor() const { return state_.textColor; }
    COLORREF SetBkColor(COLORREF color);
    COLORREF GetBkColor() const { return state_.bkColor; }
    int SetBkMode(int mode);
    int GetBkMode() const { return state_.bkMode; }
    UINT SetTextAlign(UINT align);
    UINT GetTextAlign() const { return state_.textAlign; }

    int SetMapMode(int mode);
    int GetMapMode() const { return state_.mapMode; }
    POINT SetViewportOrg(int x, int y);
    POINT SetViewportOrg(POINT p) { return SetViewportOrg(p.x, p.y); }
    POINT OffsetViewportOrg(int dx, int dy);
    POINT GetViewportOrg() const { return state_.viewportOrg; }
    POINT SetWindowOrg(int x, int y);
    POINT GetWindowOrg() const { return state_.windowOrg; }
    SIZE SetViewportExt(int cx, int cy);
    SIZE SetWindowExt(int cx, int cy);
    void LPtoDP(POINT* points, int count = 1) const;
    void LPtoDP(RECT* rect) const;
    void DPtoLP(POINT* points, int count = 1) const;
    void DPtoLP(RECT* rect) const;

    // The clip region is in device coordinates; null removes it.
    int SelectClipRgn(const CRgn* region);
    int IntersectClipRect(int left, int top, int right, int bottom);
    int IntersectClipRect(const RECT* rect);
    int ExcludeClipRect(int left, int top, int right, int bottom);
    // The visible area in logical coordinates.
    int GetClipBox(RECT* out) const;
    bool hasClip() const { return state_.clipped; }
    const QRegion& clipRegion() const { return state_.clip; }

    // SaveDC returns the level; RestoreDC(-1) restores the last one.
    int SaveDC();
    BOOL RestoreDC(int saved);

    void FillSolidRect(const RECT* rect, COLORREF color);
    void FillSolidRect(int x, int y, int cx, int cy, COLORREF color);
    int FillRect(const RECT* rect, const CBrush* brush);
    // Outline with the pen inside the rectangle, filled with the brush.
    BOOL Rectangle(int left, int top, int right, int bottom);
    BOOL Rectangle(const RECT* rect);
    POINT MoveTo(int x, int y);
    POINT GetCurrentPosition() const { return state_.position; }
    // Draws from the current position up to, not including, the end point.
    BOOL LineTo(int x, int y);
    BOOL Polyline(const POINT* points, int count);
    // Lines from the current position through the points, each as LineTo
    // draws it; the current position becomes the last point. Thin solid lines
    // on an image surface are drawn in one pass (curves of many points).
    BOOL PolylineTo(const POINT* points, int count);

    BOOL TextOut(int x, int y, std::string_view text);
    int DrawText(std::string_view text, RECT* rect, UINT format);
    SIZE GetTextExtent(std::string_view text) const;
    BOOL GetTextMetrics(TEXTMETRIC* out) const;

    BOOL DrawEdge(RECT* rect, UINT edge, UINT flags);
    void DrawFocusRect(const RECT* rect);

    BOOL BitBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc, DWORD rop);
    BOOL StretchBlt(int x, int y, int width, int height, CDC* source, int xSrc, int ySrc,
                    int widthSrc, int heightSrc, DWORD rop);
    // Draws an image (bitmap, icon) unscaled, its alpha blended.
    BOOL drawImage(int x, int y, const QImage& image);
    // CLR_INVALID outside the surface or without a readable one.
    COLORREF GetPixel(int x, int y) const;
    COLORREF SetPixel(int x, int y, COLORREF color);

    // Printing; each answers > 0 on success.
    int StartDoc(const char* docName);
    int StartPage();
    int EndPage();
    int EndDoc();
    int AbortDoc();

    // The image drawn on, when the surface is one (null otherwise).
    QImage* surfaceImage() const;
    // Size of the surface in device pixels.
    QSize surfaceSize() const;

protected:
    // Draws onto other's surface, starting from its attributes, until
    // released; other's surface is never released through this context.
    void borrowSurface(const CDC* other);
    void releaseSurface();

private:
    struct State {
        COLORREF textColor = 0x000000;
        COLORREF bkColor = 0xFFFFFF;
        int bkMode = OPAQUE;
        UINT textAlign = 0;
        CPen penValue{PS_SOLID, 1, 0};
        COLORREF brushColor = 0xFFFFFF;
        bool brushNull = false;
        LOGFONTA font;
        int mapMode = MM_TEXT;
        POINT viewportOrg;
        POINT windowOrg;
        SIZE viewportExt{1, 1};
        SIZE windowExt{1, 1};
        POINT position;
        bool clipped = false;
        QRegion clip;
        CPen* pen = nullptr;
        CBrush* brush = nullptr;
        CFont* fontObject = nullptr;
    };
    template <typename F> void paint(F&& draw);
    QPoint toDevice(int x, int y) const;
    QRect toDevice(const RECT& r) const;
    double yScale() const;
    QFont deviceFont() const;
    void record(DrawOp op) const;
    DrawOp makeOp(DrawOp::Kind kind) const;
    void fillDevice(const QRect& r, COLORREF color);
    void lineDevice(const QPoint& a, const QPoint& b);
    bool thinLinesOnImage(const QPoint* points, int count);
    void textDevice(const QPoint& ref, std::string_view text, UINT align, const QRegion* extraClip);
    void initDefaults();
    void useBitmapCaps();

    State state_;
    std::vector<State> saved_;
    CBitmap* bitmap_ = nullptr;
    CPalette* palette_ = nullptr;
    QImage* image_ = nullptr;
    QPainter* painter_ = nullptr;
    std::unique_ptr<QPainter> ownPainter_;
    QPrinter* printer_ = nullptr;
    bool pageOpen_ = false;
    bool firstPage_ = true;
    QSize size_;
    DrawRecorder* recorder_ = nullptr;
    QPoint recordOffset_;
    DeviceCaps caps_;
    bool printing_ = false;
    std::unique_ptr<CBitmap> defaultBitmap_;
};

// Stock drawing objects, shared by all contexts.
GLIMRA_EXPORT CGdiObject* GetStockObject(int index);

} // namespace glimra
