// The property sheet with a logo: where the logo goes, how it shrinks to fit
// in front of the first button, and when it is left out.

#include "glimra/dialog.h"
#include "glimra/fontmetrics.h"
#include "glimra/library.h"
#include "glimra/propsheet.h"
#include "glimra/syscolors.h"
#include "glimra_test_support.h"

#include <QCheckBox>
#include <QLabel>

#include <gtest/gtest.h>

namespace glimra {
namespace {

// Text as wide as half the font's pixel size per character, so a smaller
// font makes a narrower text.
class ScalingMetrics final : public FontMetricsSource {
public:
    static int pixels(const QFont& font) { return std::max(1, font.pixelSize()); }
    SIZE extent(const QFont& font, std::string_view text) override {
        return {static_cast<LONG>(text.size()) * std::max(1, pixels(font) / 2), pixels(font)};
    }
    TEXTMETRIC metrics(const QFont& font) override {
        TEXTMETRIC tm;
        tm.tmHeight = pixels(font);
        tm.tmAscent = tm.tmHeight * 4 / 5;
        tm.tmDescent = tm.tmHeight - tm.tmAscent;
        tm.tmAveCharWidth = std::max(1, pixels(font) / 2);
        tm.tmMaxCharWidth = pixels(font);
        return tm;
    }
};

class LogoSheetTest : public test::WithLibrary {
protected:
    void SetUp() override {
        sheet.AddPage(&first);
        sheet.AddPage(&second);
    }

    std::vector<DrawOp> drawLogo() {
        DrawRecorder recorder;
        CDC dc(&recorder, sheet.size());
        sheet.DrawLogo(&dc);
        return recorder.texts();
    }
    // Whether text in font would fit before the button by the sheet's rule.
    static bool fits(const std::string& text, LOGFONTA font, int left, int buttonLeft) {
        ScalingMetrics m;
        const QFont qf = CFont::toQFont(font);
        return left + m.extent(qf, text).cx < buttonLeft - m.metrics(qf).tmMaxCharWidth;
    }
    RECT button(int id) const { return windowRectIn(GetDlgItem(&sheet, id), &sheet); }

    ScopedFontMetrics metrics{std::make_shared<ScalingMetrics>()};
    CPropertySheetWithLogo sheet{"Options"};
    CPropertyPage first{"General"};
    CPropertyPage second{"Advanced"};
};

TEST_F(LogoSheetTest, TheLogoFontIsSetWhenTheSheetStarts) {
    sheet.SetLogoFont("Courier", 12, FW_NORMAL, 0, 1);
    ASSERT_TRUE(sheet.Create());
    const LOGFONTA& lf = sheet.logoFont().logFont();
    EXPECT_STREQ(lf.lfFaceName, "Arial");
    EXPECT_EQ(lf.lfHeight, 24);
    EXPECT_EQ(lf.lfWeight, FW_BOLD);
    EXPECT_EQ(lf.lfItalic, 1);
    EXPECT_EQ(lf.lfUnderline, 0);
}

TEST_F(LogoSheetTest, TheLogoShrinksUntilItFitsOrIsLeftOut) {
    ASSERT_TRUE(sheet.Create());
    const RECT ok = button(IDOK);
    const int left = windowRectIn(sheet.GetTabControl(), &sheet).left;
    EXPECT_TRUE(drawLogo().empty()) << "no text, nothing drawn";

    sheet.SetLogoText("VD");
    std::vector<DrawOp> texts = drawLogo();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].font.lfHeight, 24);
    EXPECT_EQ(texts[0].color, GetSysColor(COLOR_BTNHIGHLIGHT));
    EXPECT_EQ(texts[1].color, GetSysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(texts[0].from - texts[1].from, QPoint(1, 1));
    EXPECT_EQ(texts[1].from.x(), left);
    EXPECT_EQ(texts[1].clip.boundingRect().top(), ok.top);
    EXPECT_EQ(texts[1].clip.boundingRect().right() + 1, ok.left) << "the area ends at OK";

    const std::string longer = "Veldon ware";
    sheet.SetLogoText(longer);
    texts = drawLogo();
    ASSERT_EQ(texts.size(), 2u);
    LOGFONTA used = texts[1].font;
    EXPECT_LT(used.lfHeight, 24);
    EXPECT_GE(used.lfHeight, 7);
    EXPECT_TRUE(fits(longer, used, left, ok.left));
    ++used.lfHeight;
    EXPECT_FALSE(fits(longer, used, left, ok.left)) << "the largest font that fits";

    sheet.SetLogoText(std::string(60, 'W'));
    EXPECT_TRUE(drawLogo().empty()) << "not even height 7 fits";
}

TEST_F(LogoSheetTest, ANegativeHeightThatDoesNotFitAtOnceIsNotDrawn) {
    ASSERT_TRUE(sheet.Create());
    sheet.SetLogoText("Veldon");
    sheet.SetLogoFont("Arial", -6, FW_BOLD, 0, 0);
    ASSERT_EQ(drawLogo().size(), 2u) << "fits at once";
    sheet.SetLogoFont("Arial", -30, FW_BOLD, 0, 0);
    EXPECT_TRUE(drawLogo().empty());
}

TEST_F(LogoSheetTest, AWizardsLogoEndsBeforeCancel) {
    sheet.SetWizardMode();
    ASSERT_TRUE(sheet.Create());
    EXPECT_EQ(sheet.GetTabControl(), nullptr);
    ASSERT_NE(GetDlgItem(&sheet, ID_WIZNEXT), nullptr);
    sheet.SetLogoText("VD");
    const std::vector<DrawOp> texts = drawLogo();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1].clip.boundingRect().right() + 1, button(IDCANCEL).left);
    EXPECT_EQ(texts[1].from.x(), 14) << "the window's left edge, 14 pixels in";
}

TEST_F(LogoSheetTest, PicturesOfASheetAndAWizard) {
    ScopedFontMetrics real{std::make_shared<QtFontMetrics>()};
    for (const bool wizard : {false, true}) {
        CPropertySheetWithLogo sheet("Measurement options");
        CPropertyPage page("General");
        CPropertyPage other("Detector");
        (new QCheckBox("Average the scans", &page))->adjustSize();
        auto* label = new QLabel("Integration time and averaging", &page);
        label->move(0, 30);
        label->adjustSize();
        sheet.AddPage(&page);
        sheet.AddPage(&other);
        if (wizard) {
            // Wide enough for the logo to stay clear of Back and Next.
            page.resize(420, 150);
            sheet.SetWizardMode();
        }
        ASSERT_TRUE(sheet.Create());
        sheet.SetLogoText("Veldon");
        test::grabWidget(&sheet, wizard ? "logo_wizard" : "logo_sheet");
    }
}

} // namespace
} // namespace glimra
