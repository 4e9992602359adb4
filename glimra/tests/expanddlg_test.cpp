// The expanding dialog: the short form cut at the marker, the controls it
// disables, vetoes, one-way expansion and templates without marker or button.

#include "glimra/dialog.h"
#include "glimra/expanddlg.h"
#include "glimra/library.h"
#include "glimra_test_support.h"

#include <QAbstractButton>

#include <gtest/gtest.h>

namespace glimra {
namespace {

constexpr int Marker = 100;
constexpr int More = 101;
constexpr int Inside = 102;
constexpr int Straddling = 103;
constexpr int Below = 104;
constexpr int Right = 105;

DialogTemplate options(bool withMarker = true, bool withButton = true, bool straddler = true) {
    DialogTemplate t;
    t.caption = "Export options";
    t.width = 240;
    t.height = 130;
    t.controls = {
        {Inside, ControlKind::CheckBox, "Export the reference too", {7, 7, 150, 17}, 0},
        {1, ControlKind::DefPushButton, "OK", {160, 7, 210, 21}, 0},
        {2, ControlKind::PushButton, "Cancel", {160, 24, 210, 38}, 0},
        {Below, ControlKind::GroupBox, "Columns", {7, 70, 230, 122}, 0},
        {Right, ControlKind::CheckBox, "Wavelengths", {15, 84, 120, 94}, 0},
    };
    if (straddler) {
        t.controls.push_back(
            {Straddling, ControlKind::CheckBox, "Dark-corrected values", {7, 54, 150, 64}, 0});
    }
    if (withButton) {
        t.controls.push_back({More, ControlKind::PushButton, "More >>", {160, 41, 210, 55}, 0});
    }
    if (withMarker) {
        t.controls.push_back({Marker, ControlKind::Frame, "", {0, 0, 215, 60}, 0});
    }
    return t;
}

class Dialog : public CExpandingDialog {
public:
    explicit Dialog(DialogTemplate t, BOOL canCollapse = TRUE)
        : CExpandingDialog(std::move(t), nullptr, Marker, More, "More >>", "<< Less", canCollapse) {
    }
    BOOL OnDialogExpanding(BOOL expanded) override {
        asked.push_back(expanded);
        return veto ? FALSE : TRUE;
    }
    void OnDialogExpanded(BOOL expanded) override { told.push_back(expanded); }
    bool veto = false;
    std::vector<BOOL> asked;
    std::vector<BOOL> told;
};

class ExpandDlgTest : public test::WithLibrary {
protected:
    static bool enabled(const QWidget& d, int id) { return GetDlgItem(&d, id)->isEnabled(); }
    static QString buttonText(const QWidget& d) {
        return qobject_cast<QAbstractButton*>(GetDlgItem(&d, More))->text();
    }
};

TEST_F(ExpandDlgTest, StartsShortCutAtTheMarkerWithHiddenControlsDisabled) {
    Dialog dialog(options());
    const DialogBaseUnits units = dialogBaseUnits(dialogFont("MS Sans Serif", 8));
    ASSERT_TRUE(dialog.Create());
    EXPECT_FALSE(dialog.IsExpanded());
    const RECT marker = MapDialogRect({0, 0, 215, 60}, units);
    EXPECT_EQ(dialog.size(), QSize(marker.right, marker.bottom));
    EXPECT_FALSE(GetDlgItem(&dialog, Marker)->isVisibleTo(&dialog));
    EXPECT_TRUE(enabled(dialog, Inside));
    EXPECT_TRUE(enabled(dialog, Straddling)) << "overlaps the marker's edge";
    EXPECT_FALSE(enabled(dialog, Below));
    EXPECT_FALSE(enabled(dialog, Right));
    EXPECT_EQ(buttonText(dialog), "More >>");
    EXPECT_TRUE(dialog.asked.empty()) << "the start asks no hook";

    ASSERT_TRUE(dialog.Expand(TRUE));
    EXPECT_TRUE(dialog.IsExpanded());
    EXPECT_EQ(dialog.size(), QSize(MapDialogRect({0, 0, 240, 130}, units).right,
                                   MapDialogRect({0, 0, 240, 130}, units).bottom));
    EXPECT_TRUE(enabled(dialog, Below));
    EXPECT_TRUE(enabled(dialog, Right));
    EXPECT_EQ(buttonText(dialog), "<< Less");
    EXPECT_FALSE(GetDlgItem(&dialog, Marker)->isVisibleTo(&dialog)) << "never shown again";
    EXPECT_EQ(dialog.asked, std::vector<BOOL>{FALSE});
    EXPECT_EQ(dialog.told, std::vector<BOOL>{TRUE});
    EXPECT_TRUE(dialog.Expand(TRUE)) << "already so, no hook";
    EXPECT_EQ(dialog.asked.size(), 1u);

    qobject_cast<QAbstractButton*>(GetDlgItem(&dialog, More))->click();
    EXPECT_FALSE(dialog.IsExpanded());
    EXPECT_EQ(dialog.size(), QSize(marker.right, marker.bottom));
}

TEST_F(ExpandDlgTest, PicturesOfBothForms) {
    Dialog dialog(options(true, true, false));
    ASSERT_TRUE(dialog.Create());
    test::grabWidget(&dialog, "expanddlg_short");
    ASSERT_TRUE(dialog.Toggle());
    test::grabWidget(&dialog, "expanddlg_full");
}

TEST_F(ExpandDlgTest, AVetoChangesNothing) {
    Dialog dialog(options());
    ASSERT_TRUE(dialog.Create());
    const QSize shortSize = dialog.size();
    dialog.veto = true;
    EXPECT_FALSE(dialog.Toggle());
    EXPECT_FALSE(dialog.IsExpanded());
    EXPECT_EQ(dialog.size(), shortSize);
    EXPECT_FALSE(enabled(dialog, Below));
    EXPECT_EQ(buttonText(dialog), "More >>");
    EXPECT_TRUE(dialog.told.empty());
}

TEST_F(ExpandDlgTest, WithoutCollapsingTheFirstExpansionIsFinal) {
    Dialog dialog(options(), FALSE);
    ASSERT_TRUE(dialog.Create());
    ASSERT_TRUE(dialog.Expand(TRUE));
    EXPECT_FALSE(enabled(dialog, More));
    EXPECT_EQ(buttonText(dialog), "More >>");
}

TEST_F(ExpandDlgTest, WithoutMarkerOrButtonTheDialogStaysFull) {
    for (const bool marker : {false, true}) {
        Dialog dialog(options(marker, !marker));
        ASSERT_TRUE(dialog.Create());
        const QSize full = dialog.size();
        EXPECT_TRUE(dialog.IsExpanded());
        EXPECT_FALSE(dialog.Expand(FALSE));
        EXPECT_TRUE(dialog.IsExpanded());
        EXPECT_EQ(dialog.size(), full);
        EXPECT_TRUE(enabled(dialog, Below));
        EXPECT_FALSE(dialog.fullSize().has_value());
    }
}

} // namespace
} // namespace glimra
