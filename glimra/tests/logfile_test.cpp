// The log file class: opening, writing, resetting and printing a logbook of
// 1000 records.

#include "glimra/dialog.h"
#include "glimra/logfile.h"
#include "logbook_fixture.h"
#include "logbookengine.h"

#include "../../platform/tests/other_user.h"

#include <QListWidget>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace glimra {
namespace {

using platform::testing::ChildUser;
using platform::testing::runInChild;

constexpr std::size_t kFileSize = 4 + 1000 * 388;

class LogFileTest : public test::LogbookFixture {
protected:
    LogFileTest() { log.SetFileName("app.log"); }

    CLogFile log;
};

TEST_F(LogFileTest, OpeningAMissingFileCreatesIt) {
    EXPECT_EQ(log.WriteInfo("not yet"), 0);
    ASSERT_EQ(log.Open(), 1);
    EXPECT_EQ(log.IsOpen(), 1);
    EXPECT_EQ(bytes("app.log"), std::vector<std::uint8_t>(kFileSize, 0));
    EXPECT_EQ(log.window().GetDialogWindow()->windowTitle(), "app.log");
    EXPECT_EQ(log.window().IsCaptionShown(), 1);
    EXPECT_EQ(log.window().IsVisible(), 0);
    EXPECT_EQ(log.Open(), 0);

    ASSERT_EQ(log.WriteWarning("careful"), 1);
    const std::vector<std::uint8_t> data = bytes("app.log");
    EXPECT_EQ(le32(data, 0), 1);
    EXPECT_EQ(record(data, 1).type, 0x2u);
    QListWidget* list = qobject_cast<QListWidget*>(
        GetDlgItem(log.window().GetDialogWindow(), CZLQLogbookDlg::ListId));
    EXPECT_EQ(CZLQLogListBox::TypeName(list, record(data, 1).type), "WARNING");
}

TEST_F(LogFileTest, TheWritersStoreTheirTypes) {
    ASSERT_EQ(log.Open(), 1);
    ASSERT_EQ(log.WriteInfo("i"), 1);
    ASSERT_EQ(log.WriteError("e"), 1);
    ASSERT_EQ(log.WriteFatal("f"), 1);
    ASSERT_EQ(log.WriteSystem("s"), 1);
    const std::vector<std::uint8_t> data = bytes("app.log");
    std::vector<DWORD> types;
    for (int i = 1; i <= le32(data, 0); ++i) {
        types.push_back(record(data, i).type);
    }
    EXPECT_EQ(types, (std::vector<DWORD>{0x1, 0x4, 0x8, 0x10}));
}

TEST_F(LogFileTest, AfterClosingTheNextOpenTakesTheNewPath) {
    ASSERT_EQ(log.Open(), 1);
    ASSERT_EQ(log.WriteInfo("one"), 1);
    EXPECT_EQ(log.Close(), 1);
    EXPECT_EQ(log.IsOpen(), 0);
    EXPECT_EQ(log.WriteInfo("closed"), 0);
    log.SetFileName("other.log");
    ASSERT_EQ(log.Open(), 1);
    ASSERT_EQ(log.WriteInfo("two"), 1);
    EXPECT_EQ(le32(bytes("app.log"), 0), 1);
    EXPECT_STREQ(record(bytes("other.log"), 1).text, "two");
}

TEST_F(LogFileTest, AMissingFileOnAFullDiskIsNotCreated) {
    environment->free = [] { return std::uint64_t{1000}; };
    writeBytes("appMon_Dec__7_10-00-00_2026.log", {1});
    age("appMon_Dec__7_10-00-00_2026.log", 100);
    EXPECT_EQ(log.Open(), 0);
    EXPECT_EQ(log.window().GetDialogWindow(), nullptr);
    EXPECT_EQ(files(), QStringList{}); // the backup went, nothing came
}

TEST_F(LogFileTest, AFileOfAnotherSizeIsLeftAndTheLogbookNotOpened) {
    writeBytes("app.log", std::vector<std::uint8_t>(4 + 10 * 388, 0));
    EXPECT_EQ(log.Open(), 0);
    EXPECT_EQ(log.WriteInfo("refused"), 0);
    EXPECT_EQ(bytes("app.log").size(), 4u + 10u * 388u);
    // Nor is a window without its logbook a successful reset.
    EXPECT_EQ(log.Reset(true), 0);
    EXPECT_EQ(files(), QStringList{"app.log"});
}

// A making cut short by a full disk (the file-size limit stands for it)
// leaves nothing, and what such a making left before is made anew: a later
// session writes its entries. The opening waits for a file to come as a
// writer does, here on a virtual clock.
TEST_F(LogFileTest, ALogbookCutShortAtItsMakingIsMadeAnewLater) {
    EXPECT_EQ(runInChild(
                  [&] {
                      platform::VirtualClock clock;
                      platform::ScopedClock scopedClock(clock);
                      const rlimit small{100000, 100000};
                      ::signal(SIGXFSZ, SIG_IGN);
                      return ::setrlimit(RLIMIT_FSIZE, &small) == 0 && log.Open() == 0;
                  },
                  ChildUser::Same),
              1);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{});
    writeBytes("app.log", std::vector<std::uint8_t>(57344, 0));
    ASSERT_EQ(log.Open(), 1);
    EXPECT_EQ(log.WriteInfo("after"), 1);
}

// What another user may plant in the logbook's place: a link to a logbook
// of the user, a second name of it, a pipe, a logbook of their own. Opening
// neither waits on it nor writes through it.
TEST_F(LogFileTest, PlantedFilesAreNeitherWaitedOnNorWrittenThrough) {
    const std::vector<std::uint8_t> empty(kFileSize, 0);
    const std::string victim = path("victim.log"), planted = path("app.log");
    for (const char* kind : {"symbolic link", "hard link", "pipe", "another user's"}) {
        writeBytes("victim.log", empty);
        std::remove(planted.c_str());
        const std::string k = kind;
        const int rc = k == "symbolic link" ? ::symlink(victim.c_str(), planted.c_str())
                       : k == "hard link"   ? ::link(victim.c_str(), planted.c_str())
                       : k == "pipe"        ? ::mkfifo(planted.c_str(), 0666)
                       : ::geteuid() == 0   ? ::rename(victim.c_str(), planted.c_str()) |
                                                ::chown(planted.c_str(), 65534, 65534)
                                          : -1; // only root can give a file away
        if (rc != 0) {
            continue;
        }
        CLogFile other;
        other.SetFileName("app.log");
        EXPECT_EQ(other.Open(), 0) << kind;
        EXPECT_EQ(other.WriteInfo("leaked"), 0) << kind;
        EXPECT_EQ(bytes(exists("victim.log") ? "victim.log" : "app.log"), empty) << kind;
    }
}

// Another user links the logbook's path to a terminal: a program started with
// setsid refuses the link and takes no controlling terminal.
TEST_F(LogFileTest, ALinkToAnotherUsersTerminalIsRefusedNotTaken) {
    ASSERT_EQ(::chmod(dir.path().toStdString().c_str(), 0777), 0);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const std::string terminal = ::ptsname(master), link = path("app.log");
    ASSERT_EQ(runInChild([&] { return ::symlink(terminal.c_str(), link.c_str()) == 0; }), 1);
    EXPECT_EQ(runInChild(
                  [&] {
                      return ::setsid() >= 0 && log.Open() == 0 &&
                             ::open("/dev/tty", O_RDWR | O_NOCTTY) < 0;
                  },
                  ChildUser::Same),
              1)
        << "the link opened the logbook, or the terminal was taken";
    ::close(master);
}

TEST_F(LogFileTest, TheMinimumFreeSpaceHasAFloor) {
    const struct {
        unsigned bytes;
        bool taken;
        unsigned kept;
    } cases[] = {{1000, false, 776008},
                 {776007, false, 776008},
                 {776008, true, 776008},
                 {5000000, true, 5000000}};
    for (const auto& c : cases) {
        EXPECT_EQ(log.SetMinFreeDiskSpace(c.bytes), c.taken) << c.bytes;
        EXPECT_EQ(log.window().GetMinFreeDiskSpace(), c.kept) << c.bytes;
    }
}

TEST_F(LogFileTest, ResetWithClearingLeavesABackupBesideAnEmptyFile) {
    ASSERT_EQ(log.Open(), 1);
    ASSERT_EQ(log.WriteInfo("before"), 1);
    const std::vector<std::uint8_t> before = bytes("app.log");
    ASSERT_EQ(log.Reset(true), 1);
    EXPECT_EQ(bytes("appMon_Dec__7_22-31-18_2026.log"), before);
    EXPECT_EQ(bytes("app.log"), std::vector<std::uint8_t>(kFileSize, 0));
    EXPECT_EQ(log.WriteInfo("after"), 1);

    ASSERT_EQ(log.Reset(false), 1);
    EXPECT_STREQ(record(bytes("app.log"), 1).text, "after");

    environment->free = [] { return std::uint64_t{0}; };
    EXPECT_EQ(log.Reset(true), 0);
}

// Another user links every backup name he can foresee for the coming minute
// (the time-stamped ones and those with "_2" to "_100") to the owner's notes:
// the notes stay as they are, the records go to a name no one could foresee,
// and the logbook takes entries again.
TEST_F(LogFileTest, BackupNamesTakenByAnotherUserAreNotWrittenThrough) {
    ASSERT_EQ(::chmod(dir.path().toStdString().c_str(), 01777), 0);
    writeBytes("notes.txt", {'n'});
    ASSERT_EQ(runInChild([&] {
                  bool planted = true;
                  for (int second = 0; second < 60; ++second) {
                      const auto moment = environment->moment + std::chrono::seconds(second);
                      for (int number = 1; number <= 100; ++number) {
                          const std::string name =
                              path(backupName("app.log", localTimeOf(moment).tm, number));
                          planted =
                              ::symlink(path("notes.txt").c_str(), name.c_str()) == 0 && planted;
                      }
                  }
                  return planted;
              }),
              1);
    QStringList before = files();
    ASSERT_EQ(log.Open(), 1);
    ASSERT_EQ(log.WriteInfo("kept"), 1);
    const std::vector<std::uint8_t> kept = bytes("app.log");
    before << "app.log";
    ASSERT_EQ(log.Reset(true), 1);
    EXPECT_EQ(bytes("notes.txt"), std::vector<std::uint8_t>{'n'});
    QStringList made = files();
    made.removeIf([&](const QString& name) { return before.contains(name); });
    ASSERT_EQ(made.size(), 1) << made.join(' ').toStdString();
    EXPECT_EQ(bytes(made[0].toStdString()), kept);
    EXPECT_TRUE(isBackupName("app.log", made[0].toStdString())); // the housekeeping knows it
    EXPECT_EQ(log.WriteInfo("after"), 1);
}

// A full logbook whose backup can never be made, for its folder (root's, where
// its user may not make files) or for its name (too long with the time text),
// is re-created without one and takes entries again.
TEST_F(LogFileTest, AFullLogbookThatCanHaveNoBackupTakesEntriesAgain) {
    const struct {
        const char* what;
        std::string name;
        ChildUser user;
    } cases[] = {
        {"in a folder the user may not write", "app.log", ChildUser::Other},
        {"a backup name too long", std::string(228, 'l') + ".log", ChildUser::Same},
    };
    for (const auto& c : cases) {
        if (c.user == ChildUser::Other && ::geteuid() != 0) {
            continue; // only root can make a logbook for another user
        }
        std::vector<std::uint8_t> full(kFileSize, 0);
        full[0] = 1000 % 256;
        full[1] = 1000 / 256;
        full[kFileSize - 1] = 'x';
        writeBytes(c.name, full);
        ASSERT_EQ(::chmod(dir.path().toStdString().c_str(), 0755) |
                      ::chown(path(c.name).c_str(), c.user == ChildUser::Other ? 65534 : 0, 0),
                  0);
        EXPECT_EQ(runInChild(
                      [&] {
                          CLogFile mine;
                          mine.SetFileName(c.name.c_str());
                          return mine.Open() == 1 && mine.WriteInfo("after") == 1;
                      },
                      c.user),
                  1)
            << c.what;
        const std::vector<std::uint8_t> data = bytes(c.name);
        EXPECT_EQ(data.size(), kFileSize) << c.what;
        EXPECT_EQ(le32(data, 0), 1) << c.what;
        EXPECT_STREQ(record(data, 1).text, "after") << c.what;
        EXPECT_EQ(files(), QStringList{QString::fromStdString(c.name)}) << c.what;
        std::remove(path(c.name).c_str());
    }
}

// Another user swaps the logbook's folder, which lies in a folder everyone
// may write, for a link to another folder of the user's, a link to an empty
// one, or a folder of his own: nothing is written there.
TEST_F(LogFileTest, FolderSwapsAboveTheLogbookWriteNothingThere) {
    const std::string lab = path("lab"), box = lab + "/box", mine = path("mine"),
                      empty = path("empty");
    ASSERT_EQ(::chmod(dir.path().toStdString().c_str(), 0711) | ::mkdir(lab.c_str(), 0777) |
                  ::chmod(lab.c_str(), 0777) | ::mkdir(mine.c_str(), 0700) |
                  ::mkdir(empty.c_str(), 0700),
              0);
    std::vector<std::uint8_t> other(kFileSize, 0);
    other[0] = 1;
    other[4 + 56] = 'm';
    writeBytes("mine/lb.log", other);
    const QStringList kinds = {"a link to another folder of the user's",
                               "a link to an empty folder", "the other user's own folder"};
    for (const QString& kind : kinds) {
        ASSERT_EQ(::mkdir(box.c_str(), 0700), 0);
        const bool ownFolder = kind == kinds[2];
        ASSERT_EQ(runInChild([&] {
                      return platform::testing::swapFolder(box, lab + "/moved",
                                                           ownFolder          ? ""
                                                           : kind == kinds[0] ? mine
                                                                              : empty);
                  }),
                  1)
            << kind.toStdString();
        CLogFile swapped;
        swapped.SetFileName("lab/box/lb.log");
        EXPECT_EQ(swapped.Open(), 0) << kind.toStdString();
        EXPECT_EQ(swapped.WriteInfo("leaked"), 0) << kind.toStdString();
        EXPECT_EQ(swapped.Reset(true), 0) << kind.toStdString();
        swapped.Close();
        const auto names = [](const std::string& folder) {
            return QDir(QString::fromStdString(folder))
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        };
        EXPECT_EQ(names(mine), QStringList{"lb.log"}) << kind.toStdString();
        EXPECT_EQ(bytes("mine/lb.log"), other) << kind.toStdString();
        EXPECT_EQ(names(empty), QStringList{}) << kind.toStdString();
        EXPECT_EQ(names(box), ownFolder ? QStringList{} : names(kind == kinds[0] ? mine : empty))
            << kind.toStdString();
        ASSERT_EQ(ownFolder ? ::rmdir(box.c_str()) : ::unlink(box.c_str()), 0);
        ASSERT_EQ(::rmdir((lab + "/moved").c_str()), 0);
    }
}

TEST_F(LogFileTest, PrintingOnTheDefaultPrinterOrNotAtAllAfterCancelling) {
    ASSERT_EQ(log.Open(), 1);
    ASSERT_EQ(log.WriteError("jammed"), 1);
    printers->answer = PrinterProvider::Choice::Cancelled;
    EXPECT_EQ(log.Print(true), 0);
    EXPECT_EQ(printers->asked, std::vector<bool>{false});
    EXPECT_TRUE(files().filter(".pdf").isEmpty());

    printers->answer = PrinterProvider::Choice::Chosen;
    ASSERT_EQ(log.Print(false), 1);
    EXPECT_EQ(printers->asked, (std::vector<bool>{false, true}));
    EXPECT_EQ(test::pdfPageCount(test::readPdf(printers->pdfPath())), 1);
    // Without colour: no filled cells.
    EXPECT_TRUE(printers->record.ofKind(DrawOp::Fill).empty());
    EXPECT_EQ(printers->record.texts().at(4).text, "ERROR");
}

TEST_F(LogFileTest, CopiesShareTheWindowAndTheLastOneClosesIt) {
    ASSERT_EQ(log.Open(), 1);
    {
        CLogFile copy(log);
        EXPECT_EQ(&copy.window(), &log.window());
        EXPECT_EQ(copy.WriteInfo("from the copy"), 1);
    }
    ASSERT_NE(log.window().GetDialogWindow(), nullptr);
    EXPECT_EQ(log.WriteInfo("from the original"), 1);
    EXPECT_EQ(le32(bytes("app.log"), 0), 2);
}

TEST_F(LogFileTest, ShowingRaisesTheWindow) {
    ASSERT_EQ(log.Open(), 1);
    EXPECT_EQ(log.Show(true), 1);
    EXPECT_EQ(log.IsShown(), 1);
    EXPECT_EQ(log.window().IsVisible(), 1);
    EXPECT_EQ(log.ShowCaption(false), 1);
    EXPECT_EQ(log.window().IsCaptionShown(), 0);
    EXPECT_EQ(log.Show(false), 1);
    EXPECT_EQ(log.IsShown(), 0);
    EXPECT_EQ(log.window().IsVisible(), 0);
}

} // namespace
} // namespace glimra
