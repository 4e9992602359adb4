// The file export dialog: a save dialog with a title line that only an
// accepted dialog takes over.

#include "glimra/dialog.h"
#include "glimra/fileexportdlg.h"
#include "glimra/library.h"
#include "glimra_test_support.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

namespace glimra {
namespace {

class FileExportDlgTest : public test::WithLibrary {
protected:
    // Runs the dialog modally; while it runs, the title is typed and the
    // dialog accepted or cancelled.
    int run(CFileExportDlg& dialog, const QString& typed, bool accept) {
        QTimer::singleShot(0, &dialog, [&dialog, typed, accept] {
            dialog.titleEdit()->setText(typed);
            if (accept) {
                dialog.accept();
            } else {
                dialog.reject();
            }
        });
        return dialog.DoModal();
    }

    QTemporaryDir dir;
};

TEST_F(FileExportDlgTest, IsASaveDialogWithTheTitleLineBelow) {
    CFileExportDlg dialog("txt", "spectra", "Text files (*.txt)|*.txt|All files|*.*||");
    EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
    EXPECT_EQ(dialog.defaultSuffix(), "txt");
    EXPECT_EQ(dialog.nameFilters(), QStringList({"Text files (*.txt)", "All files (*.*)"}));
    EXPECT_EQ(dialog.flags(), 0x2006u);
    EXPECT_FALSE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
    ASSERT_NE(dialog.titleEdit(), nullptr);
    EXPECT_EQ(GetDlgCtrlID(dialog.titleEdit()), CFileExportDlg::TitleId);
    const auto labels = dialog.titleEdit()->parentWidget()->findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 1);
    EXPECT_EQ(labels.front()->text(), "Title &line:");
    dialog.setDirectory(dir.path());
    dialog.resize(620, 420);
    dialog.show();
    const QWidget* name = dialog.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(name, nullptr);
    EXPECT_GT(dialog.titleEdit()->mapTo(&dialog, QPoint(0, 0)).y(),
              name->mapTo(&dialog, QPoint(0, 0)).y());
    dialog.titleEdit()->setText("Run of 9 December");
    test::grabWidget(&dialog, "fileexportdlg");
    dialog.hide();
}

TEST_F(FileExportDlgTest, OnlyAnAcceptedDialogTakesTheTitleLine) {
    CFileExportDlg dialog("txt", nullptr, nullptr);
    dialog.setDirectory(dir.path());
    dialog.selectFile(QDir(dir.path()).filePath("run.txt"));
    ASSERT_EQ(run(dialog, "Lamp test", true), 1);
    EXPECT_EQ(dialog.GetTitleLine(), "Lamp test");
    EXPECT_EQ(dialog.GetPathName(), QDir(dir.path()).filePath("run.txt").toStdString());

    ASSERT_EQ(run(dialog, "Something else", false), 2);
    EXPECT_EQ(dialog.GetTitleLine(), "Lamp test");

    dialog.selectFile(QDir(dir.path()).filePath("run2.txt"));
    ASSERT_EQ(run(dialog, "", true), 1);
    EXPECT_EQ(dialog.GetTitleLine(), "") << "an empty title is a title too";
}

} // namespace
} // namespace glimra
