// Off-screen drawing and the scoped selectors.

#include "glimra/memdc.h"
#include "glimra_test_support.h"

#include <gtest/gtest.h>

namespace glimra {
namespace {

using test::pixel;

class MemDcTest : public test::WithApplication {
protected:
    QImage image = test::blankImage(40, 20);
    CDC target{&image};
};

TEST_F(MemDcTest, AFrameReachesTheTargetInOneCopyAtItsPlace) {
    DrawRecorder recorder;
    target.setRecorder(&recorder);
    const RECT rect{10, 5, 30, 15};
    {
        CMemDC mem(&target, &rect, TRUE);
        EXPECT_TRUE(mem.isMemory());
        EXPECT_EQ(mem.GetPixel(10, 5), RGB(255, 255, 255)); // the background was copied in
        mem.FillSolidRect(12, 6, 4, 4, RGB(0, 0, 255));     // target coordinates
        EXPECT_EQ(pixel(image, 12, 6), RGB(255, 255, 255));
    }
    EXPECT_EQ(pixel(image, 12, 6), RGB(0, 0, 255));
    EXPECT_EQ(pixel(image, 16, 6), RGB(255, 255, 255));
    // What the memory context drew is recorded where it landed.
    ASSERT_EQ(recorder.ofKind(DrawOp::Fill).size(), 1u);
    EXPECT_EQ(recorder.ofKind(DrawOp::Fill)[0].rect, QRect(12, 6, 4, 4));
    EXPECT_EQ(recorder.ops.back().kind, DrawOp::Blt);
    EXPECT_EQ(recorder.ops.back().rect, QRect(10, 5, 20, 10));
}

TEST_F(MemDcTest, APrintingContextIsDrawnOnDirectlyAndKeepsItsSurface) {
    target.setPrinting(true);
    {
        CMemDC mem(&target, nullptr);
        EXPECT_FALSE(mem.isMemory());
        mem.FillSolidRect(0, 0, 2, 2, RGB(255, 0, 0));
        EXPECT_EQ(pixel(image, 1, 1), RGB(255, 0, 0));
    }
    target.FillSolidRect(2, 2, 1, 1, RGB(0, 255, 0));
    EXPECT_EQ(pixel(image, 2, 2), RGB(0, 255, 0));
}

TEST_F(MemDcTest, SelectorsPutBackWhatTheyReplacedFirst) {
    target.SetTextColor(RGB(1, 1, 1));
    {
        CSelTextColor color(&target, RGB(2, 2, 2));
        color.Select(RGB(3, 3, 3));
        EXPECT_EQ(target.GetTextColor(), RGB(3, 3, 3));
    }
    EXPECT_EQ(target.GetTextColor(), RGB(1, 1, 1));

    target.SetBkMode(OPAQUE);
    target.SetTextAlign(TA_LEFT);
    CFont font;
    font.CreatePointFont(80, "Arial");
    CFont* before = target.GetCurrentFont();
    {
        CSelBkMode mode(&target, TRANSPARENT);
        CSelTextAlign align(&target, TA_CENTER);
        CSelFont selFont(&target);
        selFont.Select(&font);
        EXPECT_EQ(target.GetCurrentFont(), &font);
        // Other code changes the same attributes again.
        target.SetBkMode(OPAQUE);
        target.SetTextAlign(TA_RIGHT);
    }
    EXPECT_EQ(target.GetBkMode(), OPAQUE);
    EXPECT_EQ(target.GetTextAlign(), TA_LEFT);
    EXPECT_EQ(target.GetCurrentFont(), before);
}

} // namespace
} // namespace glimra
