#pragma once
// CFileExportDlg: the save dialog with one more line below its controls, an
// edit field "Title &line:" for the title of the exported file. The client
// takes the path from the file dialog and the title from GetTitleLine and
// writes the export itself.

#include "glimra/export.h"
#include "glimra/types.h"

#include <QFileDialog>

#include <string>

class QLineEdit;

namespace glimra {

class GLIMRA_EXPORT CFileExportDlg : public QFileDialog {
    Q_OBJECT

public:
    static constexpr UINT ChildTemplate = 10001;
    static constexpr int TitleId = 10000;
    static constexpr DWORD OFN_OVERWRITEPROMPT = 0x0002;
    static constexpr DWORD OFN_HIDEREADONLY = 0x0004;
    static constexpr DWORD OFN_CREATEPROMPT = 0x2000;

    // Filters as "Text (*.txt)|*.txt|All files (*.*)|*.*||"; all may be null.
    CFileExportDlg(const char* defaultExtension = nullptr, const char* fileName = nullptr,
                   const char* filter = nullptr, QWidget* parent = nullptr);
    ~CFileExportDlg() override;

    int DoModal();
    std::string GetTitleLine() const { return titleLine_; }
    std::string GetPathName() const;
    DWORD flags() const { return flags_; }
    QLineEdit* titleEdit() const { return edit_; }

    // Reads the controls into the title line; 0 accepts the file name.
    virtual BOOL OnFileNameOK();
    void accept() override;

private:
    void DoDataExchange(bool save);

    std::string titleLine_;
    QWidget* extra_ = nullptr;
    QLineEdit* edit_ = nullptr;
    DWORD flags_ = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_CREATEPROMPT;
};

} // namespace glimra
