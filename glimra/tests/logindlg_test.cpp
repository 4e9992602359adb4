// The login dialog against a user file made through the user database.

#include "glimra/dialog.h"
#include "glimra/library.h"
#include "glimra/logindlg.h"
#include "glimra_test_support.h"

#include "../../platform/tests/other_user.h"
#include "../../platform/tests/temp_dir.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace glimra {
namespace {

using platform::testing::readFileBytes;
using platform::testing::TempDir;
using platform::testing::writeFileBytes;

class LoginDlgTest : public test::WithApplication {
protected:
    void SetUp() override {
        dorvel::UserDatabase db;
        ASSERT_TRUE(db.CreateUserFile(path.c_str(), dorvel::kUserFileLoginRequired, 1));
        ASSERT_TRUE(db.AddUser("operator", "Spectrum12", 1));
        ASSERT_TRUE(db.AddUser("a-name-of-exactly-thirty-two-ch.", "twelve-chars", 4));
    }

    static void press(CLoginDlg& dlg, int id) {
        qobject_cast<QAbstractButton*>(GetDlgItem(&dlg, id))->click();
    }

    static QLineEdit* edit(CLoginDlg& dlg, int id) {
        return qobject_cast<QLineEdit*>(GetDlgItem(&dlg, id));
    }

    // Runs one modal session; inside it, act sees the dialog as the user does.
    static int run(const std::function<int()>& session, const std::function<void(CLoginDlg&)>& act,
                   CLoginDlg& dlg) {
        QTimer::singleShot(0, [&] { act(dlg); });
        return session();
    }

    // Types into the edits that are given and presses OK.
    static std::function<void(CLoginDlg&)> typeAndOk(const char* user, const char* password,
                                                     const char* fresh = nullptr,
                                                     const char* confirm = nullptr) {
        return [=](CLoginDlg& dlg) {
            const std::pair<int, const char*> texts[] = {
                {CLoginDlg::IDC_USER, user},
                {CLoginDlg::IDC_PASSWORD, password},
                {CLoginDlg::IDC_NEW_PASSWORD, fresh},
                {CLoginDlg::IDC_CONFIRM_PASSWORD, confirm}};
            for (const auto& [id, text] : texts) {
                if (text != nullptr) {
                    edit(dlg, id)->setText(QString::fromUtf8(text));
                }
            }
            press(dlg, IDOK);
        };
    }

    // Accepts the message box the session shows, keeping its text in shown
    // (and the text below it in detail, picturing the box).
    static std::function<void(CLoginDlg&)> acceptMessage(QString& shown,
                                                         QString* detail = nullptr) {
        return [&shown, detail](CLoginDlg&) {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            shown = box->text();
            if (detail != nullptr) {
                *detail = box->informativeText();
                test::grabWidget(box, "logindlg_refused_file");
            }
            box->accept();
        };
    }

    bool logsIn(const char* user, const char* password) {
        dorvel::UserDatabase db;
        return db.OpenUserFile(path.c_str()) && db.CheckLogin(user, password) >= 0;
    }

    TempDir dir{"glimra_login"};
    std::string path = (dir.path() / "users.dat").string();
};

TEST_F(LoginDlgTest, SetUserFileReadsTheMagicAndTheFlagWord) {
    const auto header = [](uint32_t magic, uint32_t flags, size_t size) {
        std::string h(64, '\0');
        for (int i = 0; i < 4; ++i) {
            h[static_cast<size_t>(i)] = static_cast<char>(magic >> (8 * i));
            h[static_cast<size_t>(8 + i)] = static_cast<char>(flags >> (8 * i));
        }
        return h.substr(0, size);
    };
    const struct {
        const char* name;
        std::string bytes;
        bool expected;
    } cases[] = {
        {"foreign magic", header(0x0495C5FF, 1, 64), false},
        {"flag word 0", header(0x0495C5FE, 0, 64), false},
        {"flag word 1", header(0x0495C5FE, 1, 64), true},
        {"any other flag", header(0x0495C5FE, 0x100, 64), true},
        {"shorter than its header", header(0x0495C5FE, 1, 11), false},
        {"magic alone", header(0x0495C5FE, 1, 4), false},
        {"empty", "", false},
    };
    CLoginDlg dlg;
    for (const auto& c : cases) {
        const auto file = dir.path() / c.name;
        writeFileBytes(file, c.bytes);
        EXPECT_EQ(dlg.SetUserFile(file.c_str()), c.expected) << c.name;
        EXPECT_EQ(dlg.userFile(), file.string());
    }
    EXPECT_FALSE(dlg.SetUserFile((dir.path() / "missing").c_str()));
    EXPECT_FALSE(dlg.SetUserFile(dir.path().c_str()));
    EXPECT_FALSE(dlg.SetUserFile(nullptr));
    EXPECT_TRUE(dlg.SetUserFile(path.c_str()));
}

// Whoever could have written the file could have cleared its flag word, and
// whoever may replace what stands at its path could have put anything there:
// a file the database refuses, or one that cannot be opened, asks for the
// login (which the database refuses).
TEST_F(LoginDlgTest, UnsafeUserFileNeverTurnsTheLoginOff) {
    const std::string loose = (dir.path() / "no-login.dat").string();
    dorvel::UserDatabase db;
    ASSERT_TRUE(db.CreateUserFile(loose.c_str(), 0, 1));
    const uid_t me = ::geteuid();
    struct Case {
        mode_t mode;
        uid_t owner;
        bool expected;
    };
    std::vector<Case> cases{{0600, me, false}, {0666, me, true}};
    if (me == 0) {
        // Only root can give a file away.
        cases.push_back({0644, 65534, true});
    }
    CLoginDlg dlg;
    for (const Case& c : cases) {
        ASSERT_EQ(::chown(loose.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        ASSERT_EQ(::chmod(loose.c_str(), c.mode), 0);
        EXPECT_EQ(dlg.SetUserFile(loose.c_str()), c.expected)
            << std::oct << c.mode << " " << c.owner;
    }
    QString shown;
    const auto answer = acceptMessage(shown);
    EXPECT_EQ(run([&] { return dlg.DoModal(); }, answer, dlg), IDCANCEL);
    EXPECT_EQ(shown, "Can't open user information file");
    EXPECT_FALSE(dlg.GetUser(nullptr, nullptr));

    // The message and standard error name the folder and what makes it safe.
    namespace fs = std::filesystem;
    const fs::path lab = fs::canonical(dir.path()) / "lab", cfg = lab / "cfg";
    const fs::path sticky = lab.parent_path() / "sticky", planted = sticky / "users.dat";
    const std::string kept = (cfg / "users.dat").string();
    fs::create_directories(cfg);
    fs::create_directory(sticky);
    ASSERT_TRUE(db.CreateUserFile(kept.c_str(), dorvel::kUserFileLoginRequired, 1));
    ASSERT_EQ(::chmod(sticky.c_str(), 01777) | ::symlink(kept.c_str(), planted.c_str()), 0);
    struct Refusal {
        fs::path file, changed;
        mode_t mode;
        uid_t owner;
        std::string why;
        gid_t group = static_cast<gid_t>(-1);
    };
    const auto mend = [](const fs::path& at, const char* bits) {
        return "; chmod " + std::string(bits) + " " + at.string() + " makes it safe";
    };
    std::vector<Refusal> refusals{
        {kept, lab, 0757, me, lab.string() + " can be written by others" + mend(lab, "o-w")},
        {planted, sticky, 01777, me,
         planted.string() + " is a link in a folder others may write; name its target instead"},
    };
    if (me == 0) {
        // nogroup is the primary group of other users too.
        const passwd* nobody = ::getpwuid(65534);
        const group* nogroup = ::getgrgid(65534);
        const std::string others = nogroup != nullptr ? nogroup->gr_name : "gid 65534";
        refusals.push_back({kept, cfg, 0755, 65534,
                            cfg.string() + " belongs to another user (" +
                                (nobody != nullptr ? nobody->pw_name : "uid 65534") +
                                "), not to you"});
        refusals.push_back(
            {kept, lab, 0775, me,
             lab.string() + " can be written by its group " + others + mend(lab, "g-w"), 65534});
        refusals.push_back({kept, kept, 0620, me,
                            kept + " can be written by its group " + others + mend(kept, "g-w"),
                            65534});
    }
    for (const Refusal& r : refusals) {
        struct stat was {};
        ASSERT_EQ(::stat(r.changed.c_str(), &was) | ::chown(r.changed.c_str(), r.owner, r.group) |
                      ::chmod(r.changed.c_str(), r.mode),
                  0);
        EXPECT_TRUE(dlg.SetUserFile(r.file.c_str())) << r.why;
        QString detail;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(run([&] { return dlg.DoModal(); }, acceptMessage(shown, &detail), dlg), IDCANCEL);
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(shown, "Can't open user information file");
        EXPECT_EQ(detail.toStdString(), "Refused because " + r.why + ".");
        EXPECT_NE(said.find(r.file.string() + ": refused because " + r.why), std::string::npos)
            << said;
        ASSERT_EQ(::chown(r.changed.c_str(), was.st_uid, was.st_gid) |
                      ::chmod(r.changed.c_str(), was.st_mode & 07777),
                  0);
    }

    // A folder where others may replace the names (no sticky bit): whatever
    // they leave at the victim's path, or in place of the victim's own folder
    // in there.
    const fs::path shared = dir.path() / "shared", victim = shared / "users.dat";
    const fs::path guestFolder = dir.path() / "guest", guest = guestFolder / "users.dat";
    fs::create_directories(shared / "box");
    fs::create_directory(guestFolder);
    ASSERT_EQ(::chmod(shared.c_str(), 0777) | ::chmod((shared / "box").c_str(), 0700), 0);
    ASSERT_TRUE(db.CreateUserFile(guest.c_str(), 0, 1));
    const auto link = [](const fs::path& target) {
        return [target](const fs::path& at) { return ::symlink(target.c_str(), at.c_str()); };
    };
    const std::pair<const char*, std::function<int(const fs::path&)>> plants[] = {
        {"the victim's file", [&](const fs::path& at) { return fs::copy_file(path, at) ? 0 : 1; }},
        {"nothing", [](const fs::path&) { return 0; }},
        {"a pipe", [](const fs::path& at) { return ::mkfifo(at.c_str(), 0666); }},
        {"a folder", [](const fs::path& at) { return ::mkdir(at.c_str(), 0777); }},
        {"a dangling link", link("missing")},
        {"a link to /etc/hostname", link("/etc/hostname")},
        {"a link to a file without login", link(guest)},
    };
    for (const auto& [what, plant] : plants) {
        fs::remove_all(victim);
        ASSERT_EQ(plant(victim), 0) << what;
        EXPECT_TRUE(dlg.SetUserFile(victim.c_str())) << what;
    }
    const fs::path box = shared / "box";
    fs::copy_file(path, box / "users.dat");
    fs::rename(box, shared / "moved");
    ASSERT_EQ(::symlink(guestFolder.c_str(), box.c_str()), 0);
    EXPECT_TRUE(dlg.SetUserFile((box / "users.dat").c_str()));

    if (me == 0) {
        // Another user reads the header in a root folder it may only pass
        // through: a file it may read, and one it may not.
        const fs::path closed = dir.path() / "closed";
        fs::create_directory(closed);
        fs::copy_file(path, closed / "users.dat");
        fs::copy_file(path, closed / "private.dat");
        ASSERT_EQ(::chmod(dir.path().c_str(), 0711) | ::chmod(closed.c_str(), 0711) |
                      ::chmod((closed / "users.dat").c_str(), 0644),
                  0);
        EXPECT_EQ(platform::testing::runInChild([&] {
                      return int(dlg.SetUserFile((closed / "users.dat").c_str())) |
                             int(dlg.SetUserFile((closed / "private.dat").c_str())) << 1;
                  }),
                  3)
            << "1: the readable file, 2: the unreadable one";
    }
}

TEST_F(LoginDlgTest, TheRightPasswordLogsInAndGetUserNamesTheUser) {
    CLoginDlg dlg;
    dlg.SetUserFile(path.c_str());
    const auto look = [&](CLoginDlg& d) {
        EXPECT_EQ(d.windowTitle(), "Userlogin");
        EXPECT_TRUE(edit(d, CLoginDlg::IDC_USER)->isEnabled());
        EXPECT_EQ(edit(d, CLoginDlg::IDC_PASSWORD)->echoMode(), QLineEdit::Password);
        edit(d, CLoginDlg::IDC_USER)->setText("operator");
        edit(d, CLoginDlg::IDC_PASSWORD)->setText("Spectrum12");
        test::grabWidget(&d, "logindlg_login");
        // The rows of the new password lie below the shortened window.
        const RECT fresh = windowRectIn(GetDlgItem(&d, CLoginDlg::IDC_NEW_PASSWORD), &d);
        EXPECT_GE(fresh.top, d.height());
        typeAndOk("operator", "Spectrum12")(d);
    };
    EXPECT_EQ(run([&] { return dlg.DoModal(); }, look, dlg), IDOK);
    char name[33];
    int result = 0;
    ASSERT_TRUE(dlg.GetUser(name, &result));
    EXPECT_STREQ(name, "operator");
    EXPECT_EQ(result, 1);
    // No typed password stays in the dialog.
    EXPECT_TRUE(edit(dlg, CLoginDlg::IDC_PASSWORD)->text().isEmpty());

    // The longest name and password are taken whole: a cut password's prefix
    // does not log in, and the whole name fits GetUser's buffer.
    EXPECT_EQ(run([&] { return dlg.DoModal(); },
                  typeAndOk("a-name-of-exactly-thirty-two-ch.", "twelve-chars"), dlg),
              IDOK);
    ASSERT_TRUE(dlg.GetUser(name, &result));
    EXPECT_STREQ(name, "a-name-of-exactly-thirty-two-ch.");
    EXPECT_EQ(result, 4);
    run([&] { return dlg.DoModal(); }, typeAndOk("a-name-of-exactly-thirty-two-ch.", "twelve-char"),
        dlg);
    EXPECT_FALSE(dlg.GetUser(name, &result));
}

TEST_F(LoginDlgTest, RefusalsAndCancelLeaveNoUser) {
    CLoginDlg dlg;
    dlg.SetUserFile(path.c_str());
    char name[33] = "unchanged";
    int result = 0;
    for (const auto& [user, password] :
         {std::pair{"operator", "spectrum12"}, std::pair{"nobody", "Spectrum12"}}) {
        EXPECT_EQ(run([&] { return dlg.DoModal(); }, typeAndOk(user, password), dlg), IDOK);
        EXPECT_FALSE(dlg.GetUser(name, &result)) << user;
        EXPECT_EQ(result, dorvel::kLoginRefused);
        EXPECT_STREQ(name, "unchanged");
    }
    EXPECT_EQ(run([&] { return dlg.DoModal(); },
                  [](CLoginDlg& d) {
                      edit(d, CLoginDlg::IDC_USER)->setText("operator");
                      edit(d, CLoginDlg::IDC_PASSWORD)->setText("Spectrum12");
                      press(d, IDCANCEL);
                  },
                  dlg),
              IDCANCEL);
    result = 0;
    EXPECT_FALSE(dlg.GetUser(nullptr, &result));
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(dlg.GetUser(name, nullptr));
}

TEST_F(LoginDlgTest, AFileTheDatabaseCannotOpenIsReportedAndCancels) {
    CLoginDlg dlg;
    dlg.SetUserFile((dir.path() / "missing").c_str());
    QString shown;
    const auto answer = acceptMessage(shown);
    EXPECT_EQ(run([&] { return dlg.ChangePassword(); }, answer, dlg), 0);
    EXPECT_EQ(shown, "Can't open user information file");
    int result = 0;
    EXPECT_FALSE(dlg.GetUser(nullptr, &result));
    EXPECT_EQ(result, -1);
}

TEST_F(LoginDlgTest, ChangePasswordChecksConfirmationAndOldPassword) {
    CLoginDlg dlg;
    dlg.SetUserFile(path.c_str());
    const std::string before = readFileBytes(path);
    const auto change = [&](auto act) {
        return run([&] { return dlg.ChangePassword(); }, act, dlg);
    };

    // A confirmation that differs never reaches the database: the file stays.
    EXPECT_EQ(change(typeAndOk("operator", "Spectrum12", "NewSecret1", "NewSecret2")), -1);
    EXPECT_EQ(readFileBytes(path), before);
    EXPECT_EQ(change(typeAndOk("operator", "wrong", "NewSecret1", "NewSecret1")), -1);
    EXPECT_EQ(readFileBytes(path), before);
    EXPECT_EQ(change([](CLoginDlg& d) { press(d, IDCANCEL); }), 0);

    const auto look = [&](CLoginDlg& d) {
        EXPECT_EQ(d.windowTitle(), "Change Password");
        edit(d, CLoginDlg::IDC_USER)->setText("operator");
        edit(d, CLoginDlg::IDC_PASSWORD)->setText("Spectrum12");
        edit(d, CLoginDlg::IDC_NEW_PASSWORD)->setText("NewSecret1");
        edit(d, CLoginDlg::IDC_CONFIRM_PASSWORD)->setText("NewSecret1");
        test::grabWidget(&d, "logindlg_change");
        press(d, IDOK);
    };
    EXPECT_EQ(change(look), 1);
    EXPECT_TRUE(logsIn("operator", "NewSecret1"));
    EXPECT_FALSE(logsIn("operator", "Spectrum12"));
    EXPECT_EQ(readFileBytes(path).find("NewSecret1"), std::string::npos);
    EXPECT_EQ(dlg.windowTitle(), "Change Password");
    EXPECT_TRUE(edit(dlg, CLoginDlg::IDC_NEW_PASSWORD)->text().isEmpty());
}

TEST_F(LoginDlgTest, ChangeUserPasswordShowsTheNameInADisabledEdit) {
    CLoginDlg dlg;
    dlg.SetUserFile(path.c_str());
    const auto look = [&](CLoginDlg& d) {
        QLineEdit* name = edit(d, CLoginDlg::IDC_USER);
        EXPECT_EQ(name->text(), "operator");
        EXPECT_FALSE(name->isEnabled());
        test::grabWidget(&d, "logindlg_change_user");
        typeAndOk(nullptr, "Spectrum12", "Fresh-one", "Fresh-one")(d);
    };
    EXPECT_EQ(run([&] { return dlg.ChangeUserPassword("operator"); }, look, dlg), 1);
    EXPECT_TRUE(logsIn("operator", "Fresh-one"));
    // The next login has its name edit back.
    run([&] { return dlg.DoModal(); },
        [](CLoginDlg& d) {
            EXPECT_TRUE(edit(d, CLoginDlg::IDC_USER)->isEnabled());
            EXPECT_TRUE(edit(d, CLoginDlg::IDC_USER)->text().isEmpty());
            press(d, IDCANCEL);
        },
        dlg);
    EXPECT_EQ(dlg.ChangeUserPassword(nullptr), -1);
}

TEST_F(LoginDlgTest, TheTemplateHoldsTheLabelsAndLimits) {
    CLoginDlg dlg;
    QStringList labels;
    for (QWidget* w : childWindows(&dlg)) {
        if (auto* label = qobject_cast<QLabel*>(w)) {
            labels << label->text();
        }
    }
    EXPECT_EQ(labels,
              (QStringList{"Username:", "Password:", "New Password:", "Confirm New Password:"}));
    EXPECT_EQ(edit(dlg, CLoginDlg::IDC_USER)->maxLength(), 32);
    EXPECT_EQ(edit(dlg, CLoginDlg::IDC_CONFIRM_PASSWORD)->maxLength(), 12);
    EXPECT_EQ(edit(dlg, CLoginDlg::IDC_USER)->echoMode(), QLineEdit::Normal);
}

} // namespace
} // namespace glimra
