#pragma once
// CLoginDlg: a modal dialog that logs a user in, or changes a user's
// password, against a user information file. The users are kept by the
// user database of the processing library (dorvel::UserDatabase), which the
// dialog embeds; the dialog itself reads only the file's header.
//
// Names and passwords go to the database whole, as UTF-8; nothing is cut to
// a buffer's size. The passwords the user typed are forgotten once they have
// been used.

#include "glimra/export.h"
#include "glimra/types.h"

#include "dorvel/user_database.h"

#include <QDialog>

#include <string>

class QLineEdit;

namespace glimra {

class GLIMRA_EXPORT CLoginDlg : public QDialog {
    Q_OBJECT

public:
    static constexpr UINT IDD = 10012;
    static constexpr int IDC_USER = 10014;
    static constexpr int IDC_PASSWORD = 10015;
    static constexpr int IDC_NEW_PASSWORD = 10016;
    static constexpr int IDC_CONFIRM_PASSWORD = 10017;
    static constexpr int kMaxUserChars = 32;
    static constexpr int kMaxPasswordChars = 12;
    // How much shorter the login dialog is than the change dialog, whose two
    // rows of new passwords it leaves out of view.
    static constexpr int kLoginHeightCut = 55;

    explicit CLoginDlg(QWidget* parent = nullptr);
    ~CLoginDlg() override;

    // Keeps the path; true when the file exists, begins with the user file's
    // magic, has a whole header and its flag word asks for logins, and also
    // for a file the user database refuses as one others could have written.
    bool SetUserFile(const char* path);
    // The login result into *result (when result is not null); true when the
    // login succeeded, with the user's name (at most 32 bytes and the
    // terminator) copied to name (when name is not null).
    bool GetUser(char* name, int* result) const;
    // Asks for name, password and a new password twice: 1 changed, 0
    // cancelled, -1 refused (new passwords differ, wrong password, ...).
    int ChangePassword();
    // As ChangePassword, for the given user, whose name cannot be edited.
    int ChangeUserPassword(const char* user);

    // Runs the dialog modally: IDOK or IDCANCEL.
    int DoModal();
    // Enter and Escape end the dialog as OK and Cancel do.
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

    const std::string& userFile() const { return path_; }
    int loginResult() const { return loginResult_; }

protected:
    // Moves the texts between the strings and the edits (save: from the edits).
    virtual void DoDataExchange(BOOL save);
    BOOL UpdateData(BOOL save = TRUE);
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();

    void done(int result) override;

private:
    QLineEdit* edit(int id) const;
    int finishChange(int answer, const std::string& user);
    void forgetPasswords();

    std::string user_;
    std::string password_;
    std::string newPassword_;
    std::string confirmPassword_;
    std::string path_;
    dorvel::UserDatabase database_;
    int loginResult_ = -1;
    bool changeMode_ = false;
    bool presetUser_ = false;

    QSize templateSize_;
    bool ended_ = false;
    int endResult_ = 0;
};

} // namespace glimra
