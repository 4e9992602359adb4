// The save dialog with a title line.

#include "glimra/fileexportdlg.h"

#include "glimra/dialog.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

namespace glimra {

namespace {

DialogTemplate titleTemplate() {
    DialogTemplate t;
    t.width = 279;
    t.height = 17;
    t.face = "MS Shell Dlg";
    t.controls = {
        {-1, ControlKind::Static, "Title &line:", {6, 3, 46, 11}, 0},
        {CFileExportDlg::TitleId, ControlKind::Edit, "", {54, 1, 272, 13}, 0},
    };
    return t;
}

// "Name (*.a)|*.a|Other|*.b||" into Qt's filters.
QStringList filtersOf(const char* filter) {
    QStringList out;
    if (filter == nullptr) {
        return out;
    }
    const QStringList parts = QString::fromLocal8Bit(filter).split('|');
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) {
            break;
        }
        const QString patterns = QString(parts[i + 1]).replace(';', ' ');
        out << (parts[i].contains('(') ? parts[i] : parts[i] + " (" + patterns + ")");
    }
    return out;
}

} // namespace

CFileExportDlg::CFileExportDlg(const char* defaultExtension, const char* fileName,
                               const char* filter, QWidget* parent)
    : QFileDialog(parent) {
    // The library's own dialog, so the extra line can sit below the others.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setOption(QFileDialog::DontConfirmOverwrite, (flags_ & OFN_OVERWRITEPROMPT) == 0);
    if (defaultExtension != nullptr) {
        setDefaultSuffix(QString::fromLocal8Bit(defaultExtension));
    }
    const QStringList filters = filtersOf(filter);
    if (!filters.isEmpty()) {
        setNameFilters(filters);
    }
    if (fileName != nullptr) {
        selectFile(QString::fromLocal8Bit(fileName));
    }
    extra_ = new QWidget(this);
    buildDialog(extra_, titleTemplate());
    extra_->setMinimumSize(extra_->size());
    edit_ = qobject_cast<QLineEdit*>(GetDlgItem(extra_, TitleId));
    // The label's mnemonic leads to the edit.
    for (QLabel* label : extra_->findChildren<QLabel*>()) {
        label->setBuddy(edit_);
    }
    if (auto* grid = qobject_cast<QGridLayout*>(layout())) {
        grid->addWidget(extra_, grid->rowCount(), 0, 1, grid->columnCount());
    }
}

CFileExportDlg::~CFileExportDlg() = default;

std::string CFileExportDlg::GetPathName() const {
    const QStringList files = selectedFiles();
    return files.isEmpty() ? std::string() : files.front().toLocal8Bit().toStdString();
}

void CFileExportDlg::DoDataExchange(bool save) {
    if (edit_ == nullptr) {
        return;
    }
    if (save) {
        titleLine_ = edit_->text().toLocal8Bit().toStdString();
    } else {
        edit_->setText(QString::fromLocal8Bit(titleLine_.c_str()));
    }
}

int CFileExportDlg::DoModal() {
    DoDataExchange(false);
    return exec() == QDialog::Accepted ? 1 : 2;
}

BOOL CFileExportDlg::OnFileNameOK() {
    DoDataExchange(true);
    return 0;
}

void CFileExportDlg::accept() {
    if (OnFileNameOK() != 0) {
        return;
    }
    QFileDialog::accept();
}

} // namespace glimra
