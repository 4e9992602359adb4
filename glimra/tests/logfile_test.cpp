// The log file class: opening, writing, resetting and printing a logbook of
// 1000 records.

#include "glimra/dialog.h"
#include "glimra/logfile.h"
#include "logbook_fixture.h"
#include "logbookengine.h"

#include <QListWidget>

#include <cstdio>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace glimra {
namespace {

constexpr std::size_t kFileSize = 4 + 1000 * 388;

// Whether run, called in a child process (as another user when asked:
// nobody, when the test runs as root), answered true.
template <typename Run> bool inChild(Run run, bool otherUser = false) {
    const pid_t child = ::fork();
    if (child == 0) {
        const bool other =
            !otherUser || ::geteuid() != 0 ||
            (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0);
        ::_exit(other && run() ? 0 : 1);
    }
    int status = -1;
    return child > 0 && ::waitpid(child, &status, 0) == child && status == 0;
}

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

TEST_F(LogFileTest, AFileOfAnotherSizeOpensTheWindowWithoutALogbook) {
    writeBytes("app.log", std::vector<std::uint8_t>(4 + 10 * 388, 0));
    ASSERT_EQ(log.Open(), 1);
    EXPECT_EQ(log.WriteInfo("refused"), 0);
    EXPECT_EQ(bytes("app.log").size(), 4u + 10u * 388u);
    // Nor is a window without its logbook a successful reset.
    EXPECT_EQ(log.Reset(true), 0);
    EXPECT_EQ(files(), QStringList{"app.log"});
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
    ASSERT_TRUE(inChild([&] { return ::symlink(terminal.c_str(), link.c_str()) == 0; }, true));
    EXPECT_TRUE(inChild([&] {
        return ::setsid() >= 0 && log.Open() == 0 && ::open("/dev/tty", O_RDWR | O_NOCTTY) < 0;
    })) << "the link opened the logbook, or the terminal was taken";
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

// Another user links the coming 40 seconds' backup names to the owner's
// notes: a reset leaves the notes and keeps the logbook under a free name.
TEST_F(LogFileTest, BackupNamesTakenByAnotherUserAreNotWrittenThrough) {
    ASSERT_EQ(::chmod(dir.path().toStdString().c_str(), 0777), 0);
    writeBytes("notes.txt", {'n'});
    ASSERT_TRUE(inChild(
        [&] {
            bool planted = true;
            for (int second = 0; second < 40; ++second) {
                const auto moment = environment->moment + std::chrono::seconds(second);
                const std::string name = path(backupName("app.log", localTimeOf(moment).tm));
                planted = ::symlink(path("notes.txt").c_str(), name.c_str()) == 0 && planted;
            }
            return planted;
        },
        true));
    ASSERT_EQ(log.Open(), 1);
    ASSERT_EQ(log.WriteInfo("kept"), 1);
    const std::vector<std::uint8_t> before = bytes("app.log");
    ASSERT_EQ(log.Reset(true), 1);
    EXPECT_EQ(bytes("notes.txt"), std::vector<std::uint8_t>{'n'});
    const std::string backup = backupName("app.log", localNow().tm, 2);
    EXPECT_EQ(bytes(backup), before);
    EXPECT_TRUE(isBackupName("app.log", backup)); // the housekeeping knows it
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
