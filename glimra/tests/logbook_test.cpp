// The logbook window and its engine: the file's bytes as entries arrive and
// the file fills up, what a window without its logbook refuses, the settings
// the window keeps between creations, and its system menu.

#include "glimra/dialog.h"
#include "glimra/library.h"
#include "glimra/syscolors.h"
#include "logbook_fixture.h"
#include "logbookengine.h"

#include "../../platform/tests/other_user.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>

#include <algorithm>
#include <csignal>
#include <iterator>
#include <set>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>

namespace glimra {
namespace {

using platform::testing::ChildUser;
using platform::testing::runInChild;

class LogbookTest : public test::LogbookFixture {
protected:
    ~LogbookTest() override { logbook.Destroy(); }

    int create(const char* name = "logbook.log", int count = 3) {
        return logbook.Create(currentModuleInstance(), nullptr, name, count);
    }

    QListWidget* list() const {
        return qobject_cast<QListWidget*>(
            GetDlgItem(logbook.GetDialogWindow(), CZLQLogbookDlg::ListId));
    }

    std::vector<std::string> shownTexts() const {
        std::vector<std::string> out;
        for (int i = 0; i < list()->count(); ++i) {
            out.emplace_back(logEntryOf(list()->item(i))->text);
        }
        return out;
    }

    CZLQLogbookDlg logbook;
};

TEST_F(LogbookTest, EntriesGoToTheNextRecordStampedWithTheClock) {
    ASSERT_EQ(create(), 1);
    ASSERT_TRUE(logbook.logbookOpen());
    EXPECT_EQ(bytes("logbook.log"), std::vector<std::uint8_t>(4 + 3 * 388, 0));

    ASSERT_EQ(logbook.AddMessage("first", LOGENTRY_INFO), 1);
    LogEntry prepared;
    prepared.newEntry = 7; // the file keeps what the caller passed
    prepared.type = LOGENTRY_WARNING;
    prepared.messageTextColorSet = 1;
    prepared.messageTextColor = RGB(1, 2, 3);
    std::strcpy(prepared.text, "second");
    ASSERT_EQ(logbook.AddEntry(&prepared), 1);
    EXPECT_EQ(prepared.newEntry, 1);

    const std::vector<std::uint8_t> data = bytes("logbook.log");
    ASSERT_EQ(data.size(), 4u + 3u * 388u);
    EXPECT_EQ(le32(data, 0), 2);
    const LogRecord first = record(data, 1);
    EXPECT_STREQ(first.text, "first");
    EXPECT_EQ(first.type, LOGENTRY_INFO);
    EXPECT_EQ(first.newEntry, 0);
    const SYSTEMTIME& t = first.time;
    EXPECT_EQ(std::vector<int>({t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute,
                                t.wSecond, t.wMilliseconds}),
              std::vector<int>({2026, 12, 1, 7, 22, 31, 18, 250}));
    const LogRecord second = record(data, 2);
    EXPECT_EQ(second.newEntry, 7);
    EXPECT_EQ(second.messageTextColor, RGB(1, 2, 3));
    EXPECT_EQ(record(data, 3).type, 0u);

    // The list shows both as new; loading them again shows them as old.
    EXPECT_EQ(logEntryOf(list()->item(0))->newEntry, 1);
    ASSERT_EQ(logbook.Reload(), 1);
    EXPECT_EQ(shownTexts(), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(logEntryOf(list()->item(1))->newEntry, 0);
    EXPECT_EQ(list()->currentRow(), 1); // the newest entry is shown
}

TEST_F(LogbookTest, AFullFileIsBackedUpAndStartedAfresh) {
    ASSERT_EQ(create(), 1);
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_EQ(logbook.AddMessage(text, LOGENTRY_INFO), 1);
    }
    const std::vector<std::uint8_t> full = bytes("logbook.log");
    EXPECT_EQ(le32(full, 0), 3);

    ASSERT_EQ(logbook.AddMessage("four", LOGENTRY_ERROR), 1);
    EXPECT_EQ(bytes("logbookMon_Dec__7_22-31-18_2026.log"), full);
    const std::vector<std::uint8_t> fresh = bytes("logbook.log");
    ASSERT_EQ(fresh.size(), full.size());
    EXPECT_EQ(le32(fresh, 0), 1);
    EXPECT_STREQ(record(fresh, 1).text, "four");
    EXPECT_EQ(record(fresh, 2).type, 0u);
    EXPECT_EQ(shownTexts(), (std::vector<std::string>{"four"}));
}

// Without room for a copy, the full file itself becomes the backup, and where
// no fresh file can be made beside it either (the file-size limit stands for
// a full disk), it keeps its records; the writer refused then takes its next
// entry once there is room.
// A record cut short (the file-size limit ends it inside the record) is
// refused and left behind the newest index: the header never counts it.
TEST_F(LogbookTest, ARecordCutShortLeavesTheHeaderAsItWas) {
    ASSERT_EQ(create(), 1);
    EXPECT_EQ(runInChild(
                  [&] {
                      const rlimit small{100, 100};
                      ::signal(SIGXFSZ, SIG_IGN);
                      return ::setrlimit(RLIMIT_FSIZE, &small) == 0 &&
                             logbook.AddMessage("cut", LOGENTRY_INFO) == 0;
                  },
                  ChildUser::Same),
              1);
    EXPECT_EQ(le32(bytes("logbook.log"), 0), 0);
}

TEST_F(LogbookTest, AFullFileWithoutRoomForACopyBecomesTheBackup) {
    ASSERT_EQ(create(), 1);
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_EQ(logbook.AddMessage(text, LOGENTRY_INFO), 1);
    }
    const std::vector<std::uint8_t> full = bytes("logbook.log");
    environment->free = [] { return std::uint64_t{0}; };
    EXPECT_EQ(runInChild(
                  [&] {
                      rlimit room{};
                      ::signal(SIGXFSZ, SIG_IGN);
                      ::getrlimit(RLIMIT_FSIZE, &room);
                      const rlimit small{1000, room.rlim_max};
                      const bool refused = ::setrlimit(RLIMIT_FSIZE, &small) == 0 &&
                                           logbook.AddMessage("refused", LOGENTRY_INFO) == 0 &&
                                           bytes("logbook.log") == full;
                      return refused && ::setrlimit(RLIMIT_FSIZE, &room) == 0 &&
                             logbook.AddMessage("four", LOGENTRY_INFO) == 1;
                  },
                  ChildUser::Same),
              1);
    EXPECT_EQ(bytes("logbookMon_Dec__7_22-31-18_2026.log"), full);
    EXPECT_STREQ(record(bytes("logbook.log"), 1).text, "four");
}

// Another writer between its two renames may bring its fresh file, with the
// entry it took, at any step of an opening: the opening never empties it.
TEST_F(LogbookTest, AnOpeningNeverEmptiesAFileAnotherWriterBrought) {
    for (int step = 1; step <= 8; ++step) {
        ::unlink(path("logbook.log").c_str());
        int steps = 0;
        const auto otherWriter = [&] {
            std::vector<std::uint8_t> data = exists("logbook.log")
                                                 ? bytes("logbook.log")
                                                 : std::vector<std::uint8_t>(4 + 3 * 388, 0);
            putRecord(data, ++data[0], "answered");
            writeBytes("logbook.log", data);
        };
        environment->resolving = [&] {
            if (++steps == step) {
                otherWriter();
            }
        };
        CZLQLogbookDlg opening;
        ASSERT_EQ(opening.Create(currentModuleInstance(), nullptr, "logbook.log", 3), 1);
        environment->resolving = nullptr;
        if (steps < step) {
            otherWriter();
        }
        EXPECT_TRUE(opening.logbookOpen()) << step;
        const std::vector<std::uint8_t> data = bytes("logbook.log");
        EXPECT_EQ(le32(data, 0), 1) << step;
        EXPECT_STREQ(record(data, 1).text, "answered") << step;
    }
}

// A writer killed between its two renames leaves the logbook a backup, its
// name missing and its fresh file under a temporary: a running writer follows
// the file that comes to stand there, or, once the lock's wait ran out (on a
// virtual clock), makes one where none stands, the dead one's room freed
// first, and takes its entries.
TEST_F(LogbookTest, AWriterKilledBetweenItsRenamesStopsNoOther) {
    test::ClockWithAnEvent clock;
    platform::ScopedClock scopedClock(clock);
    ASSERT_EQ(create(), 1);
    for (const bool brought : {true, false}) {
        ASSERT_EQ(logbook.Clear(false), 1);
        ASSERT_EQ(logbook.AddMessage("kept", LOGENTRY_INFO), 1);
        const std::string moved = brought ? "moved1.log" : "moved2.log";
        ASSERT_EQ(::rename(path("logbook.log").c_str(), path(moved).c_str()), 0);
        writeBytes(".logbook-1000000001.tmp", std::vector<std::uint8_t>(4 + 3 * 388, 0));
        if (brought) {
            clock.then = [] { makeMissingLogFile("logbook.log", 3); };
        }
        EXPECT_EQ(logbook.AddMessage("taken", LOGENTRY_INFO), 1) << brought;
        EXPECT_EQ(logbook.AddMessage("and the next", LOGENTRY_INFO), 1) << brought;
        EXPECT_EQ(shownTexts(), (std::vector<std::string>{"taken", "and the next"}));
        EXPECT_STREQ(record(bytes(moved), 1).text, "kept");
        EXPECT_EQ(le32(bytes("logbook.log"), 0), 2);
        EXPECT_EQ(QDir(dir.path()).entryList({".logbook-*"}, QDir::Files | QDir::Hidden),
                  QStringList{})
            << brought;
    }
}

// A window opened while another writer stands between its renames, with no
// room for a file of its own (the file-size limit stands for a full disk),
// waits as a writer does (on a virtual clock) for the file that writer brings.
TEST_F(LogbookTest, AnOpeningWaitsForAWriterBetweenItsRenames) {
    const std::string fresh = path(".logbook-1000000002.tmp");
    writeBytes(".logbook-1000000002.tmp", std::vector<std::uint8_t>(4 + 3 * 388, 0));
    const int maker = ::open(fresh.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(maker, LOCK_EX), 0);
    test::ClockWithAnEvent clock;
    platform::ScopedClock scopedClock(clock);
    clock.then = [&] {
        ::rename(fresh.c_str(), path("logbook.log").c_str());
        ::flock(maker, LOCK_UN);
    };
    EXPECT_EQ(runInChild(
                  [&] {
                      const rlimit small{1000, 1000};
                      ::signal(SIGXFSZ, SIG_IGN);
                      return ::setrlimit(RLIMIT_FSIZE, &small) == 0 && create() == 1 &&
                             logbook.logbookOpen();
                  },
                  ChildUser::Same),
              1);
    ::close(maker);
}

// A writer killed halfway through its backup copy (at the file-size limit)
// leaves no cut-off file under the backup's name: the next writer's
// backup takes that name, whole.
TEST_F(LogbookTest, AWriterKilledInItsBackupCopyLeavesNoCutOffBackup) {
    ASSERT_EQ(create(), 1);
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_EQ(logbook.AddMessage(text, LOGENTRY_INFO), 1);
    }
    const std::vector<std::uint8_t> full = bytes("logbook.log");
    EXPECT_EQ(runInChild(
                  [&] {
                      const rlimit small{1000, 1000};
                      struct sigaction kill {};
                      kill.sa_flags = SA_SIGINFO;
                      kill.sa_sigaction = [](int, siginfo_t*, void*) { ::raise(SIGKILL); };
                      ::sigaction(SIGXFSZ, &kill, nullptr);
                      CZLQLogbookDlg killed;
                      return killed.Create(currentModuleInstance(), nullptr, "logbook.log", 3) ==
                                 1 &&
                             ::setrlimit(RLIMIT_FSIZE, &small) == 0 &&
                             killed.AddMessage("four", LOGENTRY_INFO) == 1;
                  },
                  ChildUser::Same),
              -1);
    ASSERT_EQ(logbook.AddMessage("four", LOGENTRY_INFO), 1);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{"logbook.log", "logbookMon_Dec__7_22-31-18_2026.log"}));
    EXPECT_EQ(bytes("logbookMon_Dec__7_22-31-18_2026.log"), full);
}

// The temporaries of makers killed while they made a fresh file go at the
// next fill; a live maker's, locked, stays.
TEST_F(LogbookTest, AFillRemovesTheTemporariesOfKilledMakers) {
    ASSERT_EQ(create(), 1);
    for (const char* text : {"one", "two", "three"}) {
        ASSERT_EQ(logbook.AddMessage(text, LOGENTRY_INFO), 1);
    }
    for (int i = 1; i <= 50; ++i) {
        writeBytes(".logbook-" + std::to_string(1000000000 + i) + ".tmp", {0});
    }
    writeBytes(".logbook-1999999999.tmp", {0});
    const int live = ::open(path(".logbook-1999999999.tmp").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(live, LOCK_EX), 0);
    environment->free = [] { return std::uint64_t{0}; };
    ASSERT_EQ(logbook.AddMessage("four", LOGENTRY_INFO), 1);
    EXPECT_EQ(QDir(dir.path()).entryList({".logbook-*"}, QDir::Files | QDir::Hidden),
              QStringList{".logbook-1999999999.tmp"});
    ::close(live);
}

// A window that opens while another writer is in the middle of an entry (the
// header counts it, its record is not written yet) waits for that writer's
// lock and shows whole records only.
TEST_F(LogbookTest, AnOpeningWhileAnEntryIsWrittenShowsWholeRecords) {
    ASSERT_EQ(create(), 1);
    ASSERT_EQ(logbook.AddMessage("one", LOGENTRY_INFO), 1);
    logbook.Destroy();
    const int writer = ::open(path("logbook.log").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(writer, LOCK_EX), 0);
    std::vector<std::uint8_t> data = bytes("logbook.log");
    data[0] = 2;
    writeBytes("logbook.log", data);
    test::ClockWithAnEvent clock;
    platform::ScopedClock scopedClock(clock);
    clock.then = [&] {
        putRecord(data, 2, "two");
        writeBytes("logbook.log", data);
        ::flock(writer, LOCK_UN);
    };
    ASSERT_EQ(create(), 1);
    EXPECT_EQ(shownTexts(), (std::vector<std::string>{"one", "two"}));
    ::close(writer);
}

// Two processes add entries to one logbook at once, from its first making
// through many re-creations of the full file, with and without room for a
// copy: each has every entry taken, and every one is in the logbook or a
// backup.
TEST_F(LogbookTest, TwoWritersOfOneLogbookLoseNoEntry) {
    constexpr int kEntries = 200;
    std::set<std::string> reported, found;
    for (const char first : {'a', 'c'}) {
        environment->free = [first] { return std::uint64_t{first == 'a' ? 1u << 30 : 0u}; };
        pid_t writers[2];
        for (const char name : {first, static_cast<char>(first + 1)}) {
            writers[name - first] = ::fork();
            if (writers[name - first] == 0) {
                ::alarm(60);
                CZLQLogbookDlg mine;
                mine.SetAutoDeleteOldLogs(false);
                int written = mine.Create(currentModuleInstance(), nullptr, "logbook.log", 50);
                for (int i = 0; written > 0 && i < kEntries; ++i) {
                    written += mine.AddMessage((name + std::to_string(i)).c_str(), LOGENTRY_INFO);
                }
                ::_exit(written == kEntries + 1 ? 0 : 1);
            }
            for (int i = 0; i < kEntries; ++i) {
                reported.insert(name + std::to_string(i));
            }
        }
        for (const pid_t writer : writers) {
            int status = -1;
            ASSERT_EQ(::waitpid(writer, &status, 0), writer);
            EXPECT_EQ(status, 0);
        }
    }
    for (const QString& name : files()) {
        const std::vector<std::uint8_t> data = bytes(name.toStdString());
        for (int i = 1; i <= le32(data, 0); ++i) {
            found.insert(record(data, i).text);
        }
    }
    std::vector<std::string> lost;
    std::set_difference(reported.begin(), reported.end(), found.begin(), found.end(),
                        std::back_inserter(lost));
    EXPECT_EQ(lost, std::vector<std::string>{});
}

TEST_F(LogbookTest, TraceAloneIsNotStored) {
    ASSERT_EQ(create(), 1);
    EXPECT_EQ(logbook.AddMessage("trace", LOGENTRY_TRACE), 1);
    EXPECT_EQ(le32(bytes("logbook.log"), 0), 0);
    EXPECT_EQ(list()->count(), 0);
    ASSERT_EQ(logbook.AddMessage("info", LOGENTRY_TRACE | LOGENTRY_INFO), 1);
    EXPECT_EQ(le32(bytes("logbook.log"), 0), 1);
    EXPECT_EQ(CZLQLogListBox::TypeName(list(), LOGENTRY_TRACE | LOGENTRY_INFO), "INFO");
}

TEST_F(LogbookTest, TypeNamesTakeTheFirstBitOfTheLowBits) {
    ASSERT_EQ(create(), 1);
    ASSERT_EQ(logbook.SetUserTypeName(12, "LAST"), 1);
    const struct {
        DWORD type;
        const char* name;
    } cases[] = {
        {LOGENTRY_WARNING | LOGENTRY_ERROR, "WARNING"},
        {LOGENTRY_DEBUG4, "DEBUG4"},
        {LOGENTRY_TRACE, "TRACE"},
        {LogUserType(1) | LogUserType(12), ""},
        {LogUserType(12), "LAST"},
        {LOGENTRY_LINE_SOLID | LOGENTRY_NO_TIME, ""},
        {0, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CZLQLogListBox::TypeName(list(), c.type), c.name) << std::hex << c.type;
    }
    EXPECT_EQ(CZLQLogListBox::TypeName(nullptr, LogUserType(12)), "");
}

TEST_F(LogbookTest, ErrorFatalAndDebugEntriesAreColouredByType) {
    ASSERT_EQ(create("logbook.log", 10), 1);
    ASSERT_EQ(logbook.SetDebugTextColor(1, RGB(0, 128, 0)), 1);
    ASSERT_EQ(logbook.SetDebugBkColor(1, RGB(255, 255, 0)), 1);
    const struct {
        DWORD type;
        COLORREF text;
        COLORREF bk;
    } cases[] = {
        {LOGENTRY_ERROR, RGB(255, 255, 255), RGB(255, 0, 0)},
        {LOGENTRY_FATAL, RGB(255, 255, 255), RGB(100, 40, 0)},
        {LOGENTRY_DEBUG2, RGB(0, 128, 0), RGB(255, 255, 0)},
        {LOGENTRY_ERROR | LOGENTRY_DEBUG2, RGB(0, 128, 0), RGB(255, 255, 0)}, // later bit wins
    };
    for (const auto& c : cases) {
        ASSERT_EQ(logbook.AddMessage("x", static_cast<int>(c.type)), 1);
        const LogEntry* entry = logEntryOf(list()->item(list()->count() - 1));
        EXPECT_TRUE(entry->typeTextColorSet && entry->typeBkColorSet);
        EXPECT_EQ(entry->typeTextColor, c.text) << std::hex << c.type;
        EXPECT_EQ(entry->typeBkColor, c.bk) << std::hex << c.type;
    }
    // The colours are the list's, not the file's.
    EXPECT_EQ(record(bytes("logbook.log"), 1).typeBkColorSet, 0);
}

TEST_F(LogbookTest, AFileOfAnotherSizeLeavesTheWindowWithoutItsLogbook) {
    writeBytes("logbook.log", std::vector<std::uint8_t>(4 + 2 * 388, 0));
    ASSERT_EQ(create("logbook.log", 3), 1);
    EXPECT_NE(logbook.GetDialogWindow(), nullptr);
    EXPECT_FALSE(logbook.logbookOpen());
    EXPECT_EQ(logbook.AddMessage("lost", LOGENTRY_INFO), 0);
    EXPECT_EQ(logbook.AddEmptyEntry(LOGENTRY_LINE_SOLID), 0);
    LogEntry withFont;
    withFont.type = LOGENTRY_INFO;
    withFont.hFont = std::make_unique<CFont>();
    EXPECT_EQ(logbook.AddEntry(&withFont), 0);
    EXPECT_NE(withFont.hFont, nullptr); // a refused entry keeps its font
    EXPECT_EQ(logbook.Clear(true), 0);
    EXPECT_EQ(logbook.Reload(), 0);
    EXPECT_EQ(logbook.Print(true, "doc", "Courier New", 30), 0);
    EXPECT_EQ(bytes("logbook.log").size(), 4u + 2u * 388u);
    EXPECT_EQ(files(), QStringList{"logbook.log"});
}

TEST_F(LogbookTest, AHeaderOutsideTheFileRefusesEntriesAndKeepsTheFile) {
    ASSERT_TRUE(createLogFile("logbook.log", 3, false, {}));
    std::vector<std::uint8_t> data = bytes("logbook.log");
    data[0] = 0xFF; // -1
    data[1] = data[2] = data[3] = 0xFF;
    writeBytes("logbook.log", data);
    ASSERT_EQ(create(), 1);
    ASSERT_TRUE(logbook.logbookOpen());
    EXPECT_EQ(logbook.AddMessage("refused", LOGENTRY_INFO), 0);
    EXPECT_EQ(bytes("logbook.log"), data);
}

TEST_F(LogbookTest, TheFirstSettingsWinAcrossCreations) {
    EXPECT_EQ(logbook.Create(currentModuleInstance(), nullptr, "", 3), 0);
    EXPECT_EQ(logbook.Create(currentModuleInstance(), nullptr, "logbook.log", 0), 0);
    EXPECT_EQ(logbook.Create(nullptr, nullptr, "logbook.log", 3), 0);
    EXPECT_EQ(logbook.GetDialogWindow(), nullptr);

    ASSERT_EQ(create("first.log", 3), 1);
    QWidget* window = logbook.GetDialogWindow();
    EXPECT_EQ(create("second.log", 5), 1);
    EXPECT_EQ(logbook.GetDialogWindow(), window);
    EXPECT_EQ(logbook.Destroy(), 1);
    EXPECT_EQ(logbook.GetDialogWindow(), nullptr);
    ASSERT_EQ(create("second.log", 5), 1);
    EXPECT_EQ(logbook.logFileName(), "first.log");
    EXPECT_EQ(logbook.recordCount(), 3);
    EXPECT_EQ(files(), QStringList{"first.log"});
}

TEST_F(LogbookTest, CopiesShareTheWindowAndTheLastClosesIt) {
    ASSERT_EQ(create(), 1);
    QPointer<QWidget> window = logbook.GetDialogWindow();
    {
        CZLQLogbookDlg copy(logbook);
        CZLQLogbookDlg assigned;
        assigned = copy;
        EXPECT_EQ(assigned.GetDialogWindow(), window);
        EXPECT_EQ(assigned.AddMessage("through a copy", LOGENTRY_INFO), 1);
    }
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(logbook.AddMessage("still open", LOGENTRY_INFO), 1);
    EXPECT_EQ(le32(bytes("logbook.log"), 0), 2);
}

TEST_F(LogbookTest, SettersWaitForAnOpenLogbook) {
    char buffer[64] = "kept";
    EXPECT_EQ(logbook.SetUserTypeName(0, "USER"), 0);
    EXPECT_STREQ(logbook.GetUserTypeName(0, buffer), "");
    EXPECT_STREQ(buffer, "kept");
    EXPECT_EQ(logbook.SetDebugBkColor(0, RGB(1, 1, 1)), 0);
    EXPECT_EQ(logbook.GetDebugBkColor(0), 0u);
    EXPECT_EQ(logbook.Show(true), 0);
    EXPECT_EQ(logbook.Move(1, 1), 0);
    EXPECT_EQ(logbook.IsResizable(), 0);

    ASSERT_EQ(create(), 1);
    EXPECT_EQ(logbook.GetDebugTextColor(3), GetSysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(logbook.SetDebugBkColor(4, RGB(1, 1, 1)), 0);
    EXPECT_EQ(logbook.GetDebugBkColor(4), 0u);
    // Names longer than the settings keep are cut to 50 characters.
    const std::string longName(60, 'N');
    ASSERT_EQ(logbook.SetUserTypeName(3, longName.c_str()), 1);
    EXPECT_EQ(logbook.GetUserTypeName(3, buffer), buffer);
    EXPECT_EQ(std::string(buffer), std::string(50, 'N'));
    EXPECT_STREQ(logbook.GetUserTypeName(13, buffer), "");
}

TEST_F(LogbookTest, MessagesLongerThanTheRecordAreCut) {
    ASSERT_EQ(create(), 1);
    const std::string text(400, 'x');
    ASSERT_EQ(logbook.AddMessageF("%s-%d", LOGENTRY_INFO, text.c_str(), 5), 1);
    // "é" is two bytes; a cut never splits it.
    ASSERT_EQ(logbook.AddMessage((std::string(254, 'y') + "\xC3\xA9").c_str(), LOGENTRY_INFO), 1);
    const std::vector<std::uint8_t> data = bytes("logbook.log");
    EXPECT_EQ(std::string(record(data, 1).text), std::string(255, 'x'));
    EXPECT_EQ(std::string(record(data, 2).text), std::string(254, 'y'));
}

TEST_F(LogbookTest, WindowSwitchesAndPlacement) {
    EXPECT_EQ(logbook.ShowCaption(false), 1);
    ASSERT_EQ(create(), 1);
    QWidget* window = logbook.GetDialogWindow();
    EXPECT_FALSE(window->windowFlags() & Qt::WindowTitleHint);
    EXPECT_EQ(logbook.ShowCaption(true), 1);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowTitleHint);
    EXPECT_EQ(logbook.IsVisible(), 0); // created hidden
    EXPECT_EQ(logbook.IsResizable(), 1);
    EXPECT_EQ(logbook.EnableResize(false), 1);
    EXPECT_EQ(logbook.IsResizable(), 0);
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_EQ(logbook.EnableResize(true), 1);
    EXPECT_EQ(window->minimumSize(), QSize(100, 100));

    EXPECT_EQ(logbook.SetSize(400, 300), 1);
    EXPECT_EQ(list()->geometry(), QRect(10, 10, window->width() - 20, window->height() - 20));
    EXPECT_EQ(logbook.SetTitle("Run log"), 1);
    EXPECT_EQ(window->windowTitle(), "Run log");
    EXPECT_EQ(logbook.Show(true), 1);
    EXPECT_EQ(logbook.IsVisible(), 1);
    EXPECT_EQ(logbook.CenterOnWorkArea(), 1);
    const QRect work = window->screen()->availableGeometry();
    EXPECT_EQ(window->x(), work.left() + (work.width() - window->width()) / 2);
    EXPECT_EQ(logbook.Show(false), 1);
    EXPECT_EQ(logbook.IsVisible(), 0);
}

TEST_F(LogbookTest, DragMovingCanBeSwitchedOff) {
    ASSERT_EQ(create(), 1);
    auto* window = logbook.GetDialogWindow();
    window->move(50, 50);
    logbook.Show(true);
    auto click = [&](QPoint at, QPoint to) {
        const QPoint global = window->mapToGlobal(at);
        QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(window, &press);
        QMouseEvent move(QEvent::MouseMove, to, window->mapToGlobal(to), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window, &move);
        QMouseEvent release(QEvent::MouseButtonRelease, to, window->mapToGlobal(to), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(window, &release);
    };
    const QPoint before = window->pos();
    click({5, 5}, {25, 15});
    EXPECT_EQ(window->pos(), before + QPoint(20, 10));

    EXPECT_EQ(logbook.EnableDragMove(false), 1);
    EXPECT_EQ(logbook.IsDragMoveDisabled(), 1);
    const QPoint still = window->pos();
    click({5, 5}, {25, 15});
    EXPECT_EQ(window->pos(), still);
    EXPECT_EQ(logbook.EnableDragMove(true), 0);
}

TEST_F(LogbookTest, TheSystemMenuEndsWithThePrintingCommands) {
    ASSERT_EQ(create(), 1);
    QMenu* menu = logbook.GetSystemMenu();
    ASSERT_NE(menu, nullptr);
    std::vector<std::pair<UINT, bool>> items;
    for (QAction* action : menu->actions()) {
        items.emplace_back(action->isSeparator() ? 0 : commandId(action), action->isEnabled());
    }
    const std::vector<std::pair<UINT, bool>> tail = {
        {0, true},     {10000, true}, {10001, false},
        {10002, true}, {0, true},     {0xF060, false}, // "Close", greyed
    };
    ASSERT_GE(items.size(), tail.size());
    EXPECT_EQ(std::vector(items.end() - static_cast<long>(tail.size()), items.end()), tail);
    EXPECT_EQ(menu->actions().at(static_cast<int>(items.size()) - 3)->text(), "Print");

    // "Print" prints in colour, as "logbook.txt".
    ASSERT_EQ(logbook.AddMessage("printed", LOGENTRY_ERROR), 1);
    menu->actions().at(static_cast<int>(items.size()) - 3)->trigger();
    EXPECT_EQ(printers->asked, std::vector<bool>{true});
    EXPECT_EQ(test::pdfPageCount(test::readPdf(printers->pdfPath())), 1);
}

TEST_F(LogbookTest, ClosingTheWindowOnlyHidesIt) {
    ASSERT_EQ(create(), 1);
    logbook.Show(true);
    auto* window = qobject_cast<QDialog*>(logbook.GetDialogWindow());
    window->close();
    EXPECT_EQ(logbook.IsVisible(), 0);
    EXPECT_EQ(window->result(), 2);
    EXPECT_EQ(logbook.GetDialogWindow(), window);
    EXPECT_EQ(logbook.AddMessage("after closing", LOGENTRY_INFO), 1);
}

TEST_F(LogbookTest, DoubleClicksShowTheNewestOrTheOldestEntry) {
    ASSERT_EQ(create("logbook.log", 5), 1);
    for (const char* text : {"a", "b", "c"}) {
        ASSERT_EQ(logbook.AddMessage(text, LOGENTRY_INFO), 1);
    }
    QWidget* viewport = list()->viewport();
    auto doubleClick = [&](Qt::MouseButton button) {
        QMouseEvent event(QEvent::MouseButtonDblClick, QPointF(5, 5),
                          viewport->mapToGlobal(QPointF(5, 5)), button, button, Qt::NoModifier);
        QApplication::sendEvent(viewport, &event);
    };
    doubleClick(Qt::RightButton);
    EXPECT_EQ(list()->currentRow(), 0);
    doubleClick(Qt::LeftButton);
    EXPECT_EQ(list()->currentRow(), 2);
}

TEST_F(LogbookTest, APictureOfEveryKindOfEntry) {
    ASSERT_EQ(create("logbook.log", 100), 1);
    LOGFONTA lf;
    lf.lfHeight = -13;
    lf.lfWeight = FW_NORMAL;
    std::strcpy(lf.lfFaceName, "Sans Serif");
    ASSERT_EQ(logbook.SetFont(&lf, true), 1);
    logbook.SetTitle("Logbook");
    logbook.SetSize(760, 640);
    ASSERT_EQ(logbook.SetUserTypeName(0, "MEASURE"), 1);
    ASSERT_EQ(logbook.SetUserTypeName(1, "CALIBRATION"), 1);
    ASSERT_EQ(logbook.SetDebugBkColor(0, RGB(220, 235, 255)), 1);
    ASSERT_EQ(logbook.SetDebugTextColor(1, RGB(0, 128, 0)), 1);
    ASSERT_EQ(logbook.SetDebugBkColor(2, RGB(255, 245, 200)), 1);
    ASSERT_EQ(logbook.SetDebugTextColor(3, RGB(128, 0, 128)), 1);
    const struct {
        DWORD type;
        const char* text;
    } rows[] = {
        {LOGENTRY_INFO, "Program started"},
        {LOGENTRY_WARNING, "Detector temperature 31 C"},
        {LOGENTRY_ERROR, "Board did not answer"},
        {LOGENTRY_FATAL, "Acquisition stopped"},
        {LOGENTRY_SYSTEM, "Settings loaded from spectrum.ini"},
        {LOGENTRY_DEBUG1, "Scan 1 of 10"},
        {LOGENTRY_DEBUG2, "Integration time 100 ms"},
        {LOGENTRY_DEBUG3, "Pixel 2048 saturated"},
        {LOGENTRY_DEBUG4, "Dark spectrum subtracted"},
        {LogUserType(0), "Reference taken"},
        {LogUserType(1), "Wavelengths: 200 nm\nto 1100 nm"},
        {LOGENTRY_LINE_SOLID, ""},
        {LOGENTRY_INFO | LOGENTRY_NO_TIME, "Without its time"},
        {LOGENTRY_INFO | LOGENTRY_NO_TYPE, "Without its type"},
        {LOGENTRY_LINE_THICK, ""},
        {LOGENTRY_LINE_DASH, ""},
        {LOGENTRY_LINE_DOT, ""},
        {LOGENTRY_LINE_DASHDOT, ""},
        {LOGENTRY_LINE_DASHDOTDOT, ""},
        {0, ""},
    };
    for (const auto& row : rows) {
        ASSERT_EQ(logbook.AddMessage(row.text, static_cast<int>(row.type)), 1) << row.text;
    }
    LogEntry coloured;
    coloured.type = LOGENTRY_INFO;
    coloured.messageTextColorSet = coloured.messageBkColorSet = 1;
    coloured.messageTextColor = RGB(0, 0, 160);
    coloured.messageBkColor = RGB(230, 255, 230);
    std::strcpy(coloured.text, "Coloured message in a bold font");
    coloured.font = lf;
    coloured.font.lfWeight = FW_BOLD;
    coloured.hFont = std::make_unique<CFont>();
    coloured.hFont->CreateFontIndirect(&coloured.font);
    ASSERT_EQ(logbook.AddEntry(&coloured), 1);
    EXPECT_EQ(coloured.hFont, nullptr); // the list took it over
    ASSERT_EQ(logbook.Reload(), 1);     // older entries: no grey time cells
    ASSERT_EQ(logbook.AddMessage("Added after loading", LOGENTRY_INFO), 1);

    logbook.Show(true);
    list()->setCurrentRow(-1);
    QWidget* window = logbook.GetDialogWindow();
    window->grab(); // the first pass settles the columns
    QApplication::processEvents();
    const QImage picture = test::grabWidget(window, "logbook_window");
    // The ERROR row's type cell is red, the column lines are drawn.
    const QImage listPicture = list()->viewport()->grab().toImage();
    const auto* state = logListState(list());
    ASSERT_NE(state, nullptr);
    const QRect errorRow = list()->visualItemRect(list()->item(2));
    EXPECT_EQ(
        test::pixel(listPicture, state->widestTime + state->widestType - 3, errorRow.center().y()),
        RGB(255, 0, 0));
    EXPECT_EQ(picture.size(), window->size());
}

TEST(LogbookAnsiToWide, ComposesAndCountsTheTerminator) {
    WCHAR out[16];
    EXPECT_EQ(CZLQLogbookDlg::AnsiToWide(out, "Log"), 4);
    EXPECT_EQ(std::u16string(out), u"Log");
    EXPECT_EQ(CZLQLogbookDlg::AnsiToWide(out, "e\xCC\x81"), 2); // e and a combining accent
    EXPECT_EQ(std::u16string(out), u"\u00E9");
    EXPECT_EQ(CZLQLogbookDlg::AnsiToWide(out, ""), 1);
    EXPECT_EQ(CZLQLogbookDlg::AnsiToWide(nullptr, "x"), 0);
}

} // namespace
} // namespace glimra
