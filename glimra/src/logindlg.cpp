// The login dialog over the user database.

#include "glimra/logindlg.h"

#include "glimra/dialog.h"
#include "glimra/library.h"

#include "dorvel/user_database.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace glimra {
namespace {

const DialogTemplate& loginTemplate() {
    static const DialogTemplate t{
        "Userlogin",
        186,
        79,
        "MS Sans Serif",
        8,
        {
            {IDOK, ControlKind::DefPushButton, "OK", {129, 7, 179, 21}},
            {IDCANCEL, ControlKind::PushButton, "Cancel", {129, 24, 179, 38}},
            {-1, ControlKind::Static, "Username:", {7, 7, 43, 16}},
            {CLoginDlg::IDC_USER, ControlKind::Edit, "", {49, 7, 108, 19}},
            {-1, ControlKind::Static, "Password:", {7, 28, 40, 37}},
            {CLoginDlg::IDC_PASSWORD, ControlKind::Edit, "", {49, 26, 108, 38}, CTL_PASSWORD},
            {-1, ControlKind::Static, "New Password:", {7, 47, 58, 57}},
            {CLoginDlg::IDC_NEW_PASSWORD, ControlKind::Edit, "", {87, 46, 146, 58}, CTL_PASSWORD},
            {-1, ControlKind::Static, "Confirm New Password:", {7, 65, 86, 75}},
            {CLoginDlg::IDC_CONFIRM_PASSWORD,
             ControlKind::Edit,
             "",
             {87, 63, 146, 75},
             CTL_PASSWORD},
        },
    };
    return t;
}

} // namespace

CLoginDlg::CLoginDlg(QWidget* parent) : QDialog(parent) {
    buildDialog(this, loginTemplate());
    templateSize_ = size();
    for (const int id : {IDC_USER, IDC_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD}) {
        if (QLineEdit* e = edit(id)) {
            e->setMaxLength(id == IDC_USER ? kMaxUserChars : kMaxPasswordChars);
        }
    }
    if (auto* ok = qobject_cast<QPushButton*>(GetDlgItem(this, IDOK))) {
        connect(ok, &QPushButton::clicked, this, [this] { OnOK(); });
    }
    if (auto* cancel = qobject_cast<QPushButton*>(GetDlgItem(this, IDCANCEL))) {
        connect(cancel, &QPushButton::clicked, this, [this] { OnCancel(); });
    }
}

CLoginDlg::~CLoginDlg() {
    forgetPasswords();
}

QLineEdit* CLoginDlg::edit(int id) const {
    return qobject_cast<QLineEdit*>(GetDlgItem(this, id));
}

bool CLoginDlg::SetUserFile(const char* path) {
    path_ = path != nullptr ? path : "";
    dorvel::UserFileHeader header;
    switch (dorvel::ReadUserFileHeaderAt(path, header)) {
    case dorvel::kUserOk:
        return header.flags != 0;
    case dorvel::kUserFileUnsafe:
        // Whoever could have written or replaced the file could have cleared
        // its flag, or taken the file away: a file the database refuses never
        // turns the login off, whatever stands at its path.
    case dorvel::kUserFileOpenFailed:
    case dorvel::kUserFileReadFailed:
        // A file that is there but cannot be read may ask for the login.
        return true;
    default:
        return false;
    }
}

bool CLoginDlg::GetUser(char* name, int* result) const {
    if (result != nullptr) {
        *result = loginResult_;
    }
    if (loginResult_ < 0) {
        return false;
    }
    if (name != nullptr) {
        // The database holds no longer names, so a logged-in name fits whole.
        const size_t n = std::min<size_t>(user_.size(), kMaxUserChars);
        std::memcpy(name, user_.data(), n);
        name[n] = '\0';
    }
    return true;
}

void CLoginDlg::DoDataExchange(BOOL save) {
    std::string* const texts[] = {&user_, &password_, &newPassword_, &confirmPassword_};
    const int ids[] = {IDC_USER, IDC_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD};
    for (size_t i = 0; i < std::size(ids); ++i) {
        QLineEdit* e = edit(ids[i]);
        if (e == nullptr) {
            continue;
        }
        if (save != FALSE) {
            *texts[i] = e->text().toStdString();
        } else {
            e->setText(QString::fromStdString(*texts[i]));
        }
    }
}

BOOL CLoginDlg::UpdateData(BOOL save) {
    DoDataExchange(save);
    return TRUE;
}

BOOL CLoginDlg::OnInitDialog() {
    // Every run starts from the template, as a newly made dialog would.
    resize(templateSize_);
    UpdateData(FALSE);
    user_.clear();
    forgetPasswords();

    if (!database_.OpenUserFile(path_.c_str())) {
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationName(),
                        QStringLiteral("Can't open user information file"), QMessageBox::Ok, this);
        // A refused file says what to mend, so that its owner can fix the mode.
        if (const std::string why = database_.GetLastReason(); !why.empty()) {
            box.setInformativeText(
                QStringLiteral("Refused because %1.").arg(QString::fromLocal8Bit(why.c_str())));
            std::fprintf(stderr, "Can't open user information file %s: refused because %s\n",
                         path_.c_str(), why.c_str());
        }
        box.exec();
        OnCancel();
        return TRUE;
    }
    if (changeMode_) {
        setWindowTitle(QStringLiteral("Change Password"));
    } else {
        resize(templateSize_.width(), templateSize_.height() - kLoginHeightCut);
        setWindowTitle(QStringLiteral("Userlogin"));
        UpdateData(FALSE);
    }
    if (QLineEdit* name = edit(IDC_USER)) {
        name->setEnabled(!presetUser_);
        if (!presetUser_) {
            name->raise();
            name->setFocus();
        }
    }
    return FALSE;
}

void CLoginDlg::OnOK() {
    UpdateData(TRUE);
    loginResult_ = database_.CheckLogin(user_.c_str(), password_.c_str());
    if (!changeMode_) {
        forgetPasswords();
    }
    done(IDOK);
}

void CLoginDlg::OnCancel() {
    loginResult_ = -1;
    done(IDCANCEL);
}

void CLoginDlg::done(int result) {
    // The texts were read; the edits keep no password past the run.
    for (const int id : {IDC_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD}) {
        if (QLineEdit* e = edit(id)) {
            e->clear();
        }
    }
    ended_ = true;
    endResult_ = result;
    QDialog::done(result);
}

int CLoginDlg::DoModal() {
    ended_ = false;
    OnInitDialog();
    // Ended while it was set up (the user file could not be opened).
    if (ended_) {
        return endResult_;
    }
    return exec();
}

int CLoginDlg::finishChange(int answer, const std::string& user) {
    int result = 0;
    if (answer == IDOK) {
        result =
            newPassword_ != confirmPassword_ ||
                    !database_.ChangePassword(user.c_str(), password_.c_str(), newPassword_.c_str())
                ? -1
                : 1;
    }
    forgetPasswords();
    return result;
}

int CLoginDlg::ChangePassword() {
    changeMode_ = true;
    const int answer = DoModal();
    changeMode_ = false;
    return finishChange(answer, user_);
}

int CLoginDlg::ChangeUserPassword(const char* user) {
    if (user == nullptr) {
        return -1;
    }
    const std::string name = user;
    user_ = name;
    changeMode_ = true;
    presetUser_ = true;
    const int answer = DoModal();
    changeMode_ = false;
    presetUser_ = false;
    return finishChange(answer, name);
}

void CLoginDlg::forgetPasswords() {
    for (std::string* s : {&password_, &newPassword_, &confirmPassword_}) {
        std::fill(s->begin(), s->end(), '\0');
        s->clear();
    }
}

} // namespace glimra
