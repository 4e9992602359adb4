// The light-source dialog: which checks may change, the use check box with
// the lamps it governs, values back after OK, the flash mode and a mode that
// names no template.

#include "glimra/dialog.h"
#include "glimra/library.h"
#include "glimra/lsdialog.h"
#include "glimra_test_support.h"

#include <QCheckBox>
#include <QPushButton>

#include <gtest/gtest.h>

namespace glimra {
namespace {

class LSDialogTest : public test::WithLibrary {
protected:
    QCheckBox* box(int id) { return qobject_cast<QCheckBox*>(GetDlgItem(&dialog, id)); }
    bool enabled(int id) { return GetDlgItem(&dialog, id)->isEnabled(); }

    CLSDialog dialog;
};

TEST_F(LSDialogTest, LampChecksFollowTheUseCheckAndTheirPermissions) {
    const struct {
        bool hideUse;
        int use;
        bool halogen, deuterium, shutter; // enabled
    } cases[] = {
        {true, 1, true, false, true},
        {true, 0, false, false, false},
        {false, 1, true, false, true},
        {false, 0, false, false, false},
    };
    for (const auto& c : cases) {
        CLSDialog d;
        if (c.hideUse) {
            d.HideUseCheck();
        }
        d.SetUseComponent(c.use);
        d.EnableLamps(TRUE, FALSE, TRUE);
        ASSERT_TRUE(d.Create());
        const auto on = [&](int id) { return GetDlgItem(&d, id)->isEnabled(); };
        EXPECT_EQ(on(CLSDialog::HalogenId), c.halogen) << c.hideUse << c.use;
        EXPECT_EQ(on(CLSDialog::DeuteriumId), c.deuterium);
        EXPECT_EQ(on(CLSDialog::ShutterId), c.shutter);
        EXPECT_EQ(on(CLSDialog::LampsId), c.use != 0);
        EXPECT_EQ(GetDlgItem(&d, CLSDialog::UseId)->isVisibleTo(&d), !c.hideUse);
        EXPECT_EQ(on(CLSDialog::UseId), !c.hideUse);
    }
}

TEST_F(LSDialogTest, ClearingTheUseCheckKeepsTheLampStatesForOK) {
    dialog.SetLamps(1, 0, 1);
    ASSERT_TRUE(dialog.Create());
    EXPECT_TRUE(box(CLSDialog::HalogenId)->isChecked());
    EXPECT_FALSE(box(CLSDialog::DeuteriumId)->isChecked());
    EXPECT_TRUE(box(CLSDialog::ShutterId)->isChecked());
    test::grabWidget(&dialog, "lsdialog_component");
    box(CLSDialog::UseId)->click();
    EXPECT_FALSE(enabled(CLSDialog::LampsId));
    EXPECT_FALSE(enabled(CLSDialog::HalogenId));
    EXPECT_FALSE(enabled(CLSDialog::ShutterId));
    EXPECT_TRUE(box(CLSDialog::HalogenId)->isChecked());
    qobject_cast<QPushButton*>(GetDlgItem(&dialog, 1))->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    int halogen = -1;
    int deuterium = -1;
    int shutter = -1;
    dialog.GetLamps(&halogen, &deuterium, &shutter);
    EXPECT_EQ(halogen, 1);
    EXPECT_EQ(deuterium, 0);
    EXPECT_EQ(shutter, 1);
    EXPECT_EQ(dialog.GetUseComponent(), 0);
}

TEST_F(LSDialogTest, CancelKeepsTheValues) {
    dialog.SetLamps(0, 1, 0);
    ASSERT_TRUE(dialog.Create());
    box(CLSDialog::HalogenId)->click();
    box(CLSDialog::DeuteriumId)->click();
    qobject_cast<QPushButton*>(GetDlgItem(&dialog, 2))->click();
    int halogen = -1;
    int deuterium = -1;
    dialog.GetLamps(&halogen, &deuterium, nullptr);
    EXPECT_EQ(halogen, 0);
    EXPECT_EQ(deuterium, 1);
}

TEST_F(LSDialogTest, TheFlashModeHasItsOwnTemplate) {
    ASSERT_TRUE(dialog.SetMode(1));
    EXPECT_EQ(dialog.templateId(), CLSDialog::FlashTemplate);
    dialog.SetFlash(1);
    dialog.EnableFlash(FALSE);
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.windowTitle(), "LS Flash Component");
    EXPECT_EQ(GetDlgItem(&dialog, CLSDialog::HalogenId), nullptr);
    ASSERT_NE(box(CLSDialog::FlashId), nullptr);
    EXPECT_TRUE(box(CLSDialog::FlashId)->isChecked());
    EXPECT_FALSE(enabled(CLSDialog::FlashId));
    test::grabWidget(&dialog, "lsdialog_flash");
}

TEST_F(LSDialogTest, AnUnknownModeKeepsTheTemplateAndTouchesNoControl) {
    ASSERT_TRUE(dialog.SetMode(1));
    EXPECT_FALSE(dialog.SetMode(2));
    EXPECT_EQ(dialog.mode(), 2);
    EXPECT_EQ(dialog.templateId(), CLSDialog::FlashTemplate);
    dialog.SetFlash(1);
    ASSERT_TRUE(dialog.Create());
    EXPECT_FALSE(box(CLSDialog::FlashId)->isChecked()) << "not filled";
    box(CLSDialog::FlashId)->click();
    dialog.SetFlash(0);
    qobject_cast<QPushButton*>(GetDlgItem(&dialog, 1))->click();
    EXPECT_EQ(dialog.GetFlash(), 0) << "not read back";
}

} // namespace
} // namespace glimra
