// The drawing context: exclusive rectangle edges, lines without their end
// pixel, text reference points, origins, clipping, saved states and the
// raster operations of bitmap copies.

#include "glimra/fontmetrics.h"
#include "glimra/gdi.h"
#include "glimra/syscolors.h"
#include "glimra_test_support.h"

#include <QFile>
#include <QPrinter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace glimra {
namespace {

using test::pixel;

class GdiTest : public test::WithApplication {
protected:
    QImage image = test::blankImage(20, 20);
    CDC dc{&image};
    DrawRecorder recorder;
    ScopedFontMetrics metrics{std::make_shared<FixedFontMetrics>(6, 10)};
};

TEST_F(GdiTest, RectanglesLeaveOutTheirRightAndBottomEdges) {
    const RECT r{2, 3, 5, 6};
    dc.FillSolidRect(&r, RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 2, 3), RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 4, 5), RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 5, 5), RGB(255, 255, 255));
    EXPECT_EQ(pixel(image, 4, 6), RGB(255, 255, 255));
    EXPECT_EQ(toQRect(r), QRect(2, 3, 3, 3));
    EXPECT_EQ(toRect(toQRect(r)), r);
}

TEST_F(GdiTest, LinesLeaveOutTheirEndPixel) {
    CPen red(PS_SOLID, 1, RGB(255, 0, 0));
    dc.SelectObject(&red);
    dc.MoveTo(1, 1);
    dc.LineTo(6, 1); // 1..5
    dc.LineTo(6, 4); // 6 at rows 1..3
    dc.MoveTo(10, 10);
    dc.LineTo(13, 13); // diagonal 10..12
    EXPECT_EQ(pixel(image, 5, 1), RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 6, 1), RGB(255, 0, 0)); // start of the second line
    EXPECT_EQ(pixel(image, 6, 3), RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 6, 4), RGB(255, 255, 255));
    EXPECT_EQ(pixel(image, 12, 12), RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 13, 13), RGB(255, 255, 255));
    EXPECT_EQ(dc.GetCurrentPosition(), (POINT{13, 13}));
}

TEST_F(GdiTest, DottedLinesFillTheirGapsOnlyWhenTheBackgroundIsOpaque) {
    CPen dotted(PS_DOT, 1, RGB(0, 0, 255));
    dc.SelectObject(&dotted);
    dc.SetBkColor(RGB(0, 255, 0));
    dc.MoveTo(0, 0);
    dc.LineTo(12, 0);
    dc.SetBkMode(TRANSPARENT);
    dc.MoveTo(0, 2);
    dc.LineTo(12, 2);
    for (int x = 0; x < 12; ++x) {
        const bool on = (x / 3) % 2 == 0;
        EXPECT_EQ(pixel(image, x, 0), on ? RGB(0, 0, 255) : RGB(0, 255, 0)) << x;
        EXPECT_EQ(pixel(image, x, 2), on ? RGB(0, 0, 255) : RGB(255, 255, 255)) << x;
    }
}

TEST_F(GdiTest, RectangleDrawsItsOutlineInsideAndFillsWithTheBrush) {
    CBrush green(RGB(0, 255, 0));
    dc.SelectObject(&green);
    dc.Rectangle(2, 2, 6, 6);
    EXPECT_EQ(pixel(image, 2, 2), RGB(0, 0, 0));
    EXPECT_EQ(pixel(image, 5, 5), RGB(0, 0, 0));
    EXPECT_EQ(pixel(image, 3, 3), RGB(0, 255, 0));
    EXPECT_EQ(pixel(image, 6, 6), RGB(255, 255, 255));
}

TEST_F(GdiTest, TextIsPlacedAboutItsReferencePoint) {
    CDC rec(&recorder, QSize(100, 100));
    struct Case {
        UINT align;
        QRect box; // "abcd": 24 x 10, ascent 8
    };
    const Case cases[] = {
        {TA_LEFT | TA_TOP, QRect(50, 40, 24, 10)},
        {TA_RIGHT | TA_TOP, QRect(26, 40, 24, 10)},
        {TA_CENTER | TA_BOTTOM, QRect(38, 30, 24, 10)},
        {TA_LEFT | TA_BASELINE, QRect(50, 32, 24, 10)},
    };
    for (const Case& c : cases) {
        recorder.clear();
        rec.SetTextAlign(c.align);
        rec.TextOut(50, 40, "abcd");
        ASSERT_EQ(recorder.texts().size(), 1u);
        EXPECT_EQ(recorder.texts()[0].rect, c.box) << c.align;
        EXPECT_EQ(recorder.texts()[0].from, QPoint(50, 40));
    }
}

TEST_F(GdiTest, DrawTextAlignsLinesInTheRectangle) {
    CDC rec(&recorder, QSize(100, 100));
    RECT r{10, 10, 70, 50};
    rec.DrawText("&File", &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    ASSERT_EQ(recorder.texts().size(), 1u);
    EXPECT_EQ(recorder.texts()[0].text, "File");
    EXPECT_EQ(recorder.texts()[0].rect, QRect(28, 25, 24, 10));
    EXPECT_TRUE(recorder.texts()[0].clip.contains(QRect(10, 10, 60, 40)));

    RECT calc{0, 0, 0, 0};
    EXPECT_EQ(rec.DrawText("ab\nabcdef", &calc, DT_CALCRECT), 20);
    EXPECT_EQ(calc, (RECT{0, 0, 36, 20}));
}

TEST_F(GdiTest, OriginsMoveDrawingAndMappingScalesIt) {
    dc.SetWindowOrg(10, 10);
    dc.SetViewportOrg(2, 2);
    dc.FillSolidRect(10, 10, 1, 1, RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 2, 2), RGB(255, 0, 0));

    CDC printer(&recorder, QSize(600, 600));
    printer.SetMapMode(MM_ANISOTROPIC);
    printer.SetViewportExt(6, 6);
    printer.SetViewportOrg(5, 5);
    printer.FillSolidRect(1, 1, 2, 2, 0);
    EXPECT_EQ(recorder.ops.back().rect, QRect(11, 11, 12, 12));
}

TEST_F(GdiTest, ClippingAndSavedStatesAreRestored) {
    const int level = dc.SaveDC();
    dc.SetTextColor(RGB(1, 2, 3));
    CRgn region;
    region.CreateRectRgn(0, 0, 5, 5);
    dc.SelectClipRgn(&region);
    dc.IntersectClipRect(2, 2, 20, 20);
    RECT box;
    dc.GetClipBox(&box);
    EXPECT_EQ(box, (RECT{2, 2, 5, 5}));
    dc.FillSolidRect(0, 0, 20, 20, RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 1, 1), RGB(255, 255, 255));
    EXPECT_EQ(pixel(image, 4, 4), RGB(255, 0, 0));
    EXPECT_EQ(pixel(image, 5, 5), RGB(255, 255, 255));

    EXPECT_TRUE(dc.RestoreDC(level));
    EXPECT_EQ(dc.GetTextColor(), RGB(0, 0, 0));
    EXPECT_FALSE(dc.hasClip());
    EXPECT_FALSE(dc.RestoreDC(-1));
}

TEST_F(GdiTest, MaskedCopyLeavesTheTransparentColourOut) {
    // The lamp technique: a mask from the transparent colour, then
    // XOR, AND, XOR puts the picture over the background.
    CDC cellDc;
    cellDc.CreateCompatibleDC(&dc);
    CBitmap cell;
    cell.CreateCompatibleBitmap(&dc, 2, 1);
    cellDc.SelectObject(&cell);
    cellDc.SetPixel(0, 0, RGB(255, 0, 255));
    cellDc.SetPixel(1, 0, RGB(0, 255, 0));

    CDC maskDc;
    maskDc.CreateCompatibleDC(&dc);
    CBitmap mask;
    mask.CreateBitmap(2, 1, 1, 1);
    maskDc.SelectObject(&mask);
    cellDc.SetBkColor(RGB(255, 0, 255));
    maskDc.BitBlt(0, 0, 2, 1, &cellDc, 0, 0, SRCCOPY);
    EXPECT_EQ(maskDc.GetPixel(0, 0), RGB(255, 255, 255));
    EXPECT_EQ(maskDc.GetPixel(1, 0), RGB(0, 0, 0));

    dc.FillSolidRect(0, 0, 2, 1, RGB(10, 20, 30));
    dc.BitBlt(0, 0, 2, 1, &cellDc, 0, 0, SRCINVERT);
    dc.BitBlt(0, 0, 2, 1, &maskDc, 0, 0, SRCAND);
    dc.BitBlt(0, 0, 2, 1, &cellDc, 0, 0, SRCINVERT);
    EXPECT_EQ(pixel(image, 0, 0), RGB(10, 20, 30));
    EXPECT_EQ(pixel(image, 1, 0), RGB(0, 255, 0));
}

TEST_F(GdiTest, EdgesUseTheSystemColours) {
    RECT r{0, 0, 6, 6};
    dc.DrawEdge(&r, EDGE_SUNKEN, BF_RECT);
    EXPECT_EQ(pixel(image, 0, 2), GetSysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(pixel(image, 1, 2), GetSysColor(COLOR_3DDKSHADOW));
    EXPECT_EQ(pixel(image, 5, 2), GetSysColor(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(pixel(image, 4, 2), GetSysColor(COLOR_3DLIGHT));
    EXPECT_EQ(pixel(image, 2, 2), RGB(255, 255, 255));
}

TEST_F(GdiTest, OpaqueTextFillsItsBoxWithTheBackground) {
    dc.SetBkColor(RGB(0, 0, 255));
    dc.TextOut(2, 2, "  "); // a box of 12 x 10 without a glyph
    EXPECT_EQ(pixel(image, 2, 2), RGB(0, 0, 255));
    EXPECT_EQ(pixel(image, 13, 11), RGB(0, 0, 255));
    EXPECT_EQ(pixel(image, 14, 11), RGB(255, 255, 255));
    dc.SetBkMode(TRANSPARENT);
    dc.SetBkColor(RGB(255, 0, 0));
    dc.TextOut(2, 2, "  ");
    EXPECT_EQ(pixel(image, 2, 2), RGB(0, 0, 255));
}

TEST_F(GdiTest, APrinterContextWritesItsPages) {
    QTemporaryDir dir;
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(dir.filePath("out.pdf"));
    CDC print(&printer);
    print.setRecorder(&recorder);
    EXPECT_TRUE(print.IsPrinting());
    EXPECT_EQ(print.GetDeviceCaps(LOGPIXELSY), printer.resolution());
    EXPECT_GT(print.GetDeviceCaps(VERTRES), 1000);
    ASSERT_GT(print.StartDoc("logbook.txt"), 0);
    for (int page = 0; page < 2; ++page) {
        ASSERT_GT(print.StartPage(), 0);
        print.TextOut(100, 100, "TIME");
        print.Rectangle(50, 50, 400, 200);
        EXPECT_GT(print.EndPage(), 0);
    }
    EXPECT_GT(print.EndDoc(), 0);
    EXPECT_EQ(recorder.texts().size(), 2u);
    QFile pdf(dir.filePath("out.pdf"));
    ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(pdf.read(4) == "%PDF");
    EXPECT_EQ(printer.docName(), "logbook.txt");
}

} // namespace
} // namespace glimra
