// The step check list: steps from texts and string resources, state images
// and bold texts, refusals.

#include "glimra/dialog.h"
#include "glimra/fontmetrics.h"
#include "glimra/library.h"
#include "glimra/resources.h"
#include "glimra/stepchecklist.h"
#include "glimra_test_support.h"

#include <QWidget>

#include <gtest/gtest.h>

namespace glimra {
namespace {

class StepCheckListTest : public test::WithLibrary {
protected:
    void TearDown() override { programResources().clear(); }

    // A dialog with one static that the list takes over.
    void subclass(const std::string& text) {
        DialogTemplate t;
        t.width = 160;
        t.height = 80;
        t.controls.push_back({500, ControlKind::Static, text, RECT{10, 10, 150, 70}, 0});
        buildDialog(&dialog, t);
        ASSERT_TRUE(list.SubclassDlgItem(500, &dialog));
    }
    static std::vector<std::string> texts(const CStepCheckList& l) {
        std::vector<std::string> out;
        for (int i = 0; i < l.itemsMade(); ++i) {
            out.push_back(l.stepLabel(i)->GetLabelText());
        }
        return out;
    }

    ScopedFontMetrics metrics{std::make_shared<FixedFontMetrics>(6, 13)};
    QWidget dialog;
    CStepCheckList list;
};

TEST_F(StepCheckListTest, AStaticWithThreeNamesShowsThreeBlankSteps) {
    subclass("Warm up|Measure||Store");
    ASSERT_TRUE(list.IsBuilt());
    EXPECT_EQ(list.stepCount(), 3);
    EXPECT_EQ(texts(list), (std::vector<std::string>{"Warm up", "Measure", "Store"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list.stepImage(i), CStepCheckList::Blank);
    }
    // Rows by the dialog base units: 6 x 13 letters give 3 x 13.
    const DWORD units = GetDialogBaseUnits();
    const int pitch = MulDiv(10, HIWORD(units), 8);
    EXPECT_EQ(list.stepImageControl(2)->geometry().top(), 2 * pitch);
    EXPECT_EQ(list.stepLabel(1)->geometry().left(), MulDiv(10, LOWORD(units), 4));
    EXPECT_FALSE(list.SetSteps(2, std::string("a|b"))) << "steps are fixed once built";
}

TEST_F(StepCheckListTest, StatesShowTheirImageAndTheCurrentStepInBold) {
    subclass("One|Two|Three");
    list.SetStepState(1, CStepCheckList::Current);
    EXPECT_EQ(list.stepImage(1), CStepCheckList::Current);
    EXPECT_TRUE(list.stepLabel(1)->IsFontBold());
    list.SetStepState(1, CStepCheckList::Done);
    EXPECT_EQ(list.stepImage(1), CStepCheckList::Done);
    EXPECT_FALSE(list.stepLabel(1)->IsFontBold());
    // Refused: no such state, no such step.
    list.SetStepState(0, 0);
    list.SetStepState(0, 5);
    list.SetStepState(5, CStepCheckList::Current);
    list.SetStepState(-1, CStepCheckList::Current);
    EXPECT_EQ(list.stepImage(0), CStepCheckList::Blank);
    EXPECT_FALSE(list.stepLabel(0)->IsFontBold());
    list.EnableStep(2, FALSE);
    EXPECT_TRUE(list.stepLabel(2)->IsDisabledStyle());
    list.ResetStates();
    EXPECT_EQ(list.stepImage(1), CStepCheckList::Blank);
}

TEST_F(StepCheckListTest, AWindowTextWithoutDelimiterNamesAStringResource) {
    programResources().addString(0x2A, "From|the|resource");
    const struct {
        std::string text;
        int steps;
    } cases[] = {
        {std::string("\xFF\x2A\x00", 3), 3}, // the template's numeric form
        {"Word", 0},                         // read as id 0x726F, which does not exist
        {"ab", 0},                           // too short to hold an id
        {std::string("\xFF", 1), 0},
    };
    for (const auto& c : cases) {
        CStepCheckList l;
        EXPECT_TRUE(l.Create(c.text, WS_VISIBLE, RECT{0, 0, 100, 60}, &dialog, 7));
        EXPECT_EQ(l.stepCount(), c.steps) << c.text;
        EXPECT_EQ(l.IsBuilt(), c.steps > 0 ? TRUE : FALSE);
    }
}

TEST_F(StepCheckListTest, StepsGivenBeforehandFillMissingNamesWithEmptyTexts) {
    programResources().addString(77, "a|b");
    EXPECT_FALSE(list.SetSteps(0, std::string("a")));
    EXPECT_FALSE(list.SetSteps(3, std::string()));
    EXPECT_FALSE(list.SetSteps(3, 0u));
    EXPECT_FALSE(list.SetSteps(3, 78u)) << "no such string";
    EXPECT_TRUE(list.SetSteps(3, 77u));
    ASSERT_TRUE(list.SetSteps(4, std::string("First|Second|Third")));
    ASSERT_TRUE(list.Create("", WS_VISIBLE, RECT{0, 0, 120, 80}, &dialog, 8));
    EXPECT_EQ(texts(list), (std::vector<std::string>{"First", "Second", "Third", ""}));
}

TEST_F(StepCheckListTest, FreedItemsAreNotReachedByTheStepOperations) {
    subclass("a|b|c");
    list.FreeItems();
    EXPECT_TRUE(list.IsBuilt());
    list.SetStepState(1, CStepCheckList::Current);
    list.EnableStep(1, FALSE);
    list.ResetStates();
    EXPECT_EQ(list.stepLabel(1), nullptr);
    list.DestroyWindow();
    EXPECT_FALSE(list.IsBuilt());
}

class StepCheckListPicture : public test::WithLibrary {};

TEST_F(StepCheckListPicture, AProcedureHalfWayThrough) {
    QWidget dialog;
    dialog.resize(220, 110);
    test::fillButtonFace(&dialog);
    CStepCheckList steps;
    ASSERT_TRUE(steps.Create("Connect the board|Take the dark current|Take the reference|"
                             "Measure the sample|Store the results",
                             WS_VISIBLE, RECT{10, 10, 210, 100}, &dialog, 9));
    steps.SetStepState(0, CStepCheckList::Done);
    steps.SetStepState(1, CStepCheckList::Error);
    steps.SetStepState(2, CStepCheckList::Current);
    steps.SetStepState(3, CStepCheckList::Other);
    steps.EnableStep(4, FALSE);
    const QImage image = test::grabWidget(&dialog, "stepchecklist");
    EXPECT_FALSE(image.isNull());
}

} // namespace
} // namespace glimra
