#include "pa/palog.h"
#include "pa/sysutils.h"

#include "pa_test_support.h"

#include "../../platform/tests/other_user.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <ctime>
#include <fstream>
#include <string>

namespace {

using pa::test::readFile;
using pa::test::tempPath;

// The log is process-wide state, so each test ends with the log closed.
class LogTest : public ::testing::Test {
protected:
    void TearDown() override { pa::closeLogFile(); }
};

// "LogFile created: Www Mmm dd hh:mm:ss yyyy\r\nProgram: <exe>    Version: <v>\r\n";
// answers the header's length, or 0 when the log does not start with one.
std::size_t headerLength(const std::string& log) {
    const std::string created = "LogFile created: ";
    if (log.compare(0, created.size(), created) != 0) {
        return 0;
    }
    const std::string date = log.substr(created.size(), 24);
    const std::string days = "Sun Mon Tue Wed Thu Fri Sat ";
    const std::string months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec ";
    const std::string shape = "www mmm dd dd:dd:dd dddd";
    if (date.size() != shape.size() || days.find(date.substr(0, 4)) % 4 != 0 ||
        months.find(date.substr(4, 4)) % 4 != 0) {
        return 0;
    }
    for (std::size_t i = 8; i < shape.size(); ++i) {
        const bool digit = date[i] >= '0' && date[i] <= '9';
        if ((shape[i] == 'd') != digit || (!digit && date[i] != shape[i])) {
            return 0;
        }
    }
    // The test program carries no version record: the version is empty.
    const std::string program = "\r\nProgram: libpa_palog_test    Version: \r\n";
    const std::size_t at = created.size() + date.size();
    return log.compare(at, program.size(), program) == 0 ? at + program.size() : 0;
}

TEST_F(LogTest, OneRunReadsHeaderMessagesAndTerminatorWithCrLf) {
    const std::string path = tempPath("logfile.log");
    ASSERT_TRUE(pa::openLogFile(path.c_str()));
    pa::logPrint("first %d\n", 1);
    pa::logPrint("second %s\n", "line");
    pa::closeLogFile();

    const std::string log = readFile(path);
    const std::size_t header = headerLength(log);
    ASSERT_NE(header, 0u) << log;
    EXPECT_EQ(log.substr(header), "first 1\r\nsecond line\r\nLogFile terminated");
}

TEST_F(LogTest, TwoStartsLeaveOnlyTheSecondRunsLog) {
    const std::string path = tempPath("logfile.log");
    ASSERT_TRUE(pa::openLogFile(path.c_str()));
    pa::logPrint("run one\n");
    pa::closeLogFile();
    ASSERT_TRUE(pa::openLogFile(path.c_str()));
    pa::logPrint("run two\n");
    pa::closeLogFile();

    const std::string log = readFile(path);
    EXPECT_EQ(log.find("run one"), std::string::npos);
    EXPECT_NE(log.find("run two\r\n"), std::string::npos);
    EXPECT_EQ(log.find("LogFile created"), 0u);
    EXPECT_EQ(log.find("LogFile created", 1), std::string::npos);
}

TEST_F(LogTest, ReopeningWithoutCloseEndsTheFirstLog) {
    const std::string first = tempPath("first.log");
    const std::string second = tempPath("second.log");
    ASSERT_TRUE(pa::openLogFile(first.c_str()));
    pa::logPrint("to first\n");
    ASSERT_TRUE(pa::openLogFile(second.c_str()));
    pa::logPrint("to second\n");
    pa::closeLogFile();

    const std::string log1 = readFile(first);
    EXPECT_NE(log1.find("to first\r\n"), std::string::npos);
    EXPECT_EQ(log1.find("to second"), std::string::npos);
    EXPECT_EQ(log1.substr(log1.size() - 18), "LogFile terminated");
    EXPECT_NE(readFile(second).find("to second\r\n"), std::string::npos);
}

TEST_F(LogTest, AfterCloseMessagesNoLongerReachTheFileAndSecondCloseDoesNothing) {
    const std::string path = tempPath("logfile.log");
    ASSERT_TRUE(pa::openLogFile(path.c_str()));
    pa::closeLogFile();
    const std::string closed = readFile(path);

    ::testing::internal::CaptureStdout();
    pa::logPrint("after close\n");
    pa::closeLogFile();
    const std::string out = ::testing::internal::GetCapturedStdout();

    // The open flag stays set: the message goes to the standard output.
    EXPECT_EQ(out, "after close\n");
    EXPECT_EQ(readFile(path), closed);
    EXPECT_EQ(closed.substr(closed.size() - 18), "LogFile terminated");
}

TEST_F(LogTest, UnopenableLogTurnsLoggingOffButRaiseErrorStillThrows) {
    const std::string path = tempPath("missing-dir") + "/logfile.log";
    EXPECT_FALSE(pa::openLogFile(path.c_str()));

    ::testing::internal::CaptureStdout();
    pa::logPrint("nobody reads this\n");
    try {
        pa::raiseError("TFStream::open -> Cannot open file '%s'", "x.bspec");
        FAIL() << "raiseError returned";
    } catch (const pa::Exception& e) {
        EXPECT_EQ(e.message(), "TFStream::open -> Cannot open file 'x.bspec'");
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// What another user may plant in the log's place in a sticky folder: a link
// to a file of the user running the program, a second name of such a file, a
// pipe (read here, so that a writer would not wait), a file of their own, a
// folder; the system itself refuses some of theirs there. Each is reported,
// nothing is written through it, and logging stays off. So it is when another
// user swaps the log's folder, in a folder everyone may write, for a link to
// another folder of the user's, a link to an empty one or his own folder.
TEST_F(LogTest, PlantedFilesAreReportedNotWrittenThrough) {
    const std::string sticky = tempPath("sticky");
    ASSERT_EQ(::mkdir(sticky.c_str(), 0700) | ::chmod(sticky.c_str(), 01777), 0);
    for (const std::string reported : {" is a symbolic link", " has other names",
                                       " is not a regular file", " belongs to", " is a folder"}) {
        const std::string victim = tempPath("victim.txt"), path = sticky + "/log" + reported;
        std::ofstream(victim) << "precious";
        const bool pipe = reported == " is not a regular file";
        const int planted =
            reported == " is a symbolic link" ? ::symlink(victim.c_str(), path.c_str())
            : reported == " has other names"  ? ::link(victim.c_str(), path.c_str())
            : pipe                            ? ::mkfifo(path.c_str(), 0666)
            : reported == " is a folder"      ? ::mkdir(path.c_str(), 0700)
            : ::geteuid() == 0
                ? ::rename(victim.c_str(), path.c_str()) | ::chown(path.c_str(), 65534, 65534)
                : -1; // only root can give a file away
        const bool theirs = ::geteuid() == 0 && (pipe || reported == " is a symbolic link");
        if (planted != 0 || (theirs && ::lchown(path.c_str(), 65534, 65534) != 0)) {
            continue;
        }
        const int reader = pipe ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(pa::openLogFile(path.c_str())) << reported;
        EXPECT_NE(::testing::internal::GetCapturedStderr().find(path + reported),
                  std::string::npos);
        ::testing::internal::CaptureStdout();
        pa::logPrint("nobody reads this\n");
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << reported;
        char byte = 0;
        EXPECT_TRUE(pipe ? ::read(reader, &byte, 1) <= 0
                         : readFile(reported == " belongs to" ? path : victim) == "precious")
            << reported;
        if (reader >= 0) {
            ::close(reader);
        }
    }
    const std::string lab = tempPath("lab"), box = lab + "/box", mine = tempPath("mine"),
                      empty = tempPath("empty"), theirs; // empty: his own folder
    ASSERT_EQ(::chmod(pa::test::tempDir().c_str(), 0711) | ::mkdir(lab.c_str(), 0777) |
                  ::chmod(lab.c_str(), 0777) | ::mkdir(mine.c_str(), 0700) |
                  ::mkdir(empty.c_str(), 0700),
              0);
    std::ofstream(mine + "/logfile.log") << "precious";
    for (const std::string& swap : {mine, empty, theirs}) {
        ASSERT_EQ(::mkdir(box.c_str(), 0700), 0);
        ASSERT_EQ(platform::testing::runInChild(
                      [&] { return platform::testing::swapFolder(box, lab + "/moved", swap); }),
                  1);
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(pa::openLogFile((box + "/logfile.log").c_str())) << swap;
        EXPECT_NE(::testing::internal::GetCapturedStderr().find(box + "/logfile.log lies"),
                  std::string::npos)
            << swap;
        EXPECT_EQ(readFile(mine + "/logfile.log"), "precious");
        EXPECT_FALSE(std::ifstream(empty + "/logfile.log").is_open()) << swap;
        if (swap == theirs) {
            EXPECT_FALSE(std::ifstream(box + "/logfile.log").is_open());
        }
        ASSERT_EQ(swap == theirs ? ::rmdir(box.c_str()) : ::unlink(box.c_str()), 0);
        ASSERT_EQ(::rmdir((lab + "/moved").c_str()), 0);
    }
}

// A 0775 folder takes the log when its group is the user's alone (root's),
// not when others are in it (nogroup): the refusal says what makes it safe,
// and later ones reach the standard error while the log is off.
TEST_F(LogTest, GroupWritableFolderIsRefusedOnlyWhenItsGroupHasOthers) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a folder to a group of others";
    }
    const std::string lab = tempPath("lab"), path = lab + "/logfile.log";
    ASSERT_EQ(::mkdir(lab.c_str(), 0700) | ::chmod(lab.c_str(), 0775), 0);
    EXPECT_TRUE(pa::openLogFile(path.c_str()));
    pa::closeLogFile();
    ASSERT_EQ(::chown(lab.c_str(), 0, 65534), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(pa::openLogFile(path.c_str()));
    pa::logOrTell("settings refused\n");
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("; chmod g-w " + lab + " makes it safe"), std::string::npos) << said;
    EXPECT_NE(said.find("settings refused\n"), std::string::npos) << said;
}

TEST_F(LogTest, RaiseErrorLogsTheMessageAsTheLastLine) {
    const std::string path = tempPath("logfile.log");
    ASSERT_TRUE(pa::openLogFile(path.c_str()));
    EXPECT_THROW(pa::raiseError("TTestDevice::getRawData data.size<SensorLength"), pa::Exception);
    pa::closeLogFile();
    const std::string log = readFile(path);
    EXPECT_NE(log.find("\r\nTTestDevice::getRawData data.size<SensorLength\r\nLogFile terminated"),
              std::string::npos);
}

TEST_F(LogTest, RaiseErrorCutsAnOverlongMessageToItsBuffer) {
    const std::string longText(10000, 'x');
    try {
        pa::raiseError("%s", longText.c_str());
        FAIL() << "raiseError returned";
    } catch (const pa::Exception& e) {
        EXPECT_EQ(e.message(), std::string(4095, 'x'));
    }
}

TEST_F(LogTest, NullPathKeepsTheStandardOutputAndWritesTheHeaderThere) {
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(pa::openLogFile(nullptr));
    pa::logPrint("on stdout\n");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("LogFile created: "), 0u);
    EXPECT_NE(out.find("Program: libpa_palog_test    Version: \non stdout\n"), std::string::npos);
}

TEST(LogDate, EnglishNamesAndTwoDigitFieldsWhateverTheLocale) {
    // A locale with other month names, where the machine has one.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous ? previous : "C";
    std::setlocale(LC_ALL, "de_DE.UTF-8");

    struct tm t {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2; // March
    t.tm_mday = 5;
    t.tm_wday = 2; // Tuesday
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    EXPECT_EQ(pa::formatLogDate(t), "Tue Mar 05 07:08:09 2024");
    std::setlocale(LC_ALL, saved.c_str());
}

} // namespace
