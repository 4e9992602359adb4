#include "platform/ini_file.h"

#include "../src/text_file_io.h"
#include "other_user.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <clocale>
#include <cstring>
#include <fstream>
#include <functional>
#include <locale>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace platform;
using namespace std::string_literals;

namespace {

// The set-up file of the simulated hardware, as a person writes it.
constexpr std::string_view kSimulationSetup =
    R"([board demo]                  ; "board <name>": a simulated board
interface_type = 6            ; 1, 4, 5, 6 or 8
board_id = 1                  ; USB boards: the id the board reports
driver_version = 3114         ; DriverVersion stamped into every reply
pixels = 1044                 ; front-end EEPROM: pixel count of channel 1
sensor_type = 7               ; front-end EEPROM: sensor type of channel 1
coefficients = 300 0.5 0 0 0  ; front-end EEPROM: wavelength polynomial c0..c4
dark = 500                    ; sensor: dark signal of every pixel, in counts
signal = 2000                 ; sensor: light signal per ms of integration at the
                              ; brightest pixel, in counts (saturating at full scale)
)";

class IniFileTest : public ::testing::Test {
protected:
    void write(std::string_view text) { platform::testing::writeFileBytes(path_, text); }
    std::string read() const { return platform::testing::readFileBytes(path_); }
    std::vector<std::string> files() const { return platform::testing::listDirectory(dir_); }

    platform::testing::TempDir temp_{"ini_file"};
    fs::path dir_ = temp_.path();
    fs::path path_ = dir_ / "spectrum.ini";
};

// ---- reading -----------------------------------------------------------------

TEST(IniFileRead, SectionsAndKeysIgnoreCaseAndBlanks) {
    IniFile ini("[Digital]\nChannel1=UV lamp\n  channel2 =  Halogen  \n\t[ HISTORY ]  trailing\n"
                "SensorMode=2\n");
    EXPECT_EQ(ini.getString("digital", "CHANNEL1", "x"), "UV lamp");
    EXPECT_EQ(ini.getString("Digital", "Channel2", "x"), "Halogen");
    EXPECT_EQ(ini.getInt("history", "sensormode", -1), 2);
    EXPECT_EQ(ini.getInt(" History ", " SensorMode ", -1), 2);
    EXPECT_TRUE(ini.hasSection("HiStOrY"));
}

TEST(IniFileRead, DefaultsOnlyForWhatIsMissing) {
    IniFile ini("[Digital]\nChannel1=\nChannel2=  \n");
    EXPECT_EQ(ini.getString("Digital", "Channel1", "default"), ""); // present, empty
    EXPECT_EQ(ini.getString("Digital", "Channel2", "default"), "");
    EXPECT_EQ(ini.getString("Digital", "Channel3", "default"), "default");
    EXPECT_EQ(ini.getString("Lights", "Channel1", "default"), "default");
    EXPECT_FALSE(ini.value("Digital", "Channel3").has_value());
    EXPECT_EQ(ini.getInt("Digital", "Channel1", 42), 42); // not a number
    EXPECT_EQ(ini.getInt("history", "InputSource", 0), 0);
}

TEST(IniFileRead, SimulationSetupWithInlineComments) {
    IniFile ini{std::string(kSimulationSetup)};
    EXPECT_EQ(ini.sectionNames(), std::vector<std::string>{"board demo"});
    EXPECT_EQ(ini.keyNames("BOARD DEMO"),
              (std::vector<std::string>{"interface_type", "board_id", "driver_version", "pixels",
                                        "sensor_type", "coefficients", "dark", "signal"}));
    EXPECT_EQ(ini.getInt("board demo", "interface_type", 0), 6);
    EXPECT_EQ(ini.getInt("board demo", "driver_version", 0), 3114);
    EXPECT_EQ(ini.getString("board demo", "coefficients", ""), "300 0.5 0 0 0");
    EXPECT_EQ(ini.getInt("board demo", "signal", 0), 2000);
    EXPECT_EQ(ini.getInt("board demo", "missing", 17), 17);
}

TEST(IniFileRead, CommentsAndQuotes) {
    IniFile ini("; top\n# also\n[s]\n; key=commented\n#other=commented\n"
                "semicolon=a;b\nlead=;all comment\nquoted=\"a ; b\" ; note\n"
                "single=' padded '\nhalf=\"open\ninner=\"a\"b\"\nmixed='x\"\n"
                "hash=a # b\n");
    EXPECT_FALSE(ini.value("s", "key").has_value());
    EXPECT_FALSE(ini.value("s", "#other").has_value());
    EXPECT_EQ(ini.getString("s", "semicolon", ""), "a;b");
    EXPECT_EQ(ini.getString("s", "lead", "d"), "");
    EXPECT_EQ(ini.getString("s", "quoted", ""), "a ; b");
    EXPECT_EQ(ini.getString("s", "single", ""), " padded ");
    EXPECT_EQ(ini.getString("s", "half", ""), "\"open");
    EXPECT_EQ(ini.getString("s", "inner", ""), "a\"b");
    EXPECT_EQ(ini.getString("s", "mixed", ""), "'x\"");
    EXPECT_EQ(ini.getString("s", "hash", ""), "a # b");
}

TEST(IniFileRead, FirstSectionAndFirstKeyWin) {
    IniFile ini("[a]\nk=1\nK=2\n[b]\nk=3\n[A]\nk=4\nonly=5\n");
    EXPECT_EQ(ini.getInt("a", "k", 0), 1);
    EXPECT_FALSE(ini.value("a", "only").has_value());
    EXPECT_EQ(ini.sectionNames(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(ini.keyNames("a"), std::vector<std::string>{"k"});
}

TEST(IniFileRead, MalformedLinesHoldNothing) {
    std::string text = "\xEF\xBB\xBF"
                       "orphan=1\n"
                       "[good]\n"
                       "a=1\n"
                       "no equals sign\n"
                       "=no key\n"
                       "nul=x\0y\n"
                       "long="s +
                       std::string(kMaxIniLineLength, 'x') +
                       "\n"
                       "[broken\n"
                       "leak=1\n"
                       "[]\n"
                       "empty=1\n"
                       "[good2]\r\n"
                       "b = 2\r\n"
                       "c=3";
    IniFile ini(text);
    EXPECT_EQ(ini.sectionNames(), (std::vector<std::string>{"good", "good2"}));
    EXPECT_EQ(ini.keyNames("good"), std::vector<std::string>{"a"});
    EXPECT_FALSE(ini.value("good", "leak").has_value());
    EXPECT_FALSE(ini.value("good", "empty").has_value());
    EXPECT_FALSE(ini.value("good", "nul").has_value());
    EXPECT_FALSE(ini.value("good", "long").has_value());
    EXPECT_EQ(ini.getString("good2", "b", ""), "2");
    EXPECT_EQ(ini.getString("good2", "c", ""), "3");
    EXPECT_EQ(ini.text(), text);
}

TEST(IniFileRead, BinaryGarbageIsReadSafely) {
    std::string garbage;
    uint32_t state = 12345;
    for (int i = 0; i < 100000; ++i) {
        state = state * 1103515245 + 12345;
        garbage.push_back(static_cast<char>(state >> 24));
    }
    garbage += "\n[after]\nkey=value\n";
    IniFile ini(garbage);
    EXPECT_EQ(ini.getString("after", "key", ""), "value");
    EXPECT_EQ(ini.text(), garbage);
}

TEST(IniFileRead, BoundedBufferTruncatesLikeTheWindowsCall) {
    IniFile ini("[s]\nk=abcdef\n");
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(ini.getString("s", "k", "", buffer, 4), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#');
    EXPECT_EQ(ini.getString("s", "k", "", buffer, 7), 6u);
    EXPECT_STREQ(buffer, "abcdef");
    EXPECT_EQ(ini.getString("s", "missing", "default", buffer, 5), 4u);
    EXPECT_STREQ(buffer, "defa");
    EXPECT_EQ(ini.getString("s", "k", "", buffer, 1), 0u);
    EXPECT_STREQ(buffer, "");
    buffer[0] = '#';
    EXPECT_EQ(ini.getString("s", "k", "", buffer, 0), 0u);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(ini.getString("s", "k", "", nullptr, 8), 0u);
}

// ---- numbers -------------------------------------------------------------------

TEST(IniNumbers, Integers) {
    EXPECT_EQ(parseIniInt("42"), 42);
    EXPECT_EQ(parseIniInt("  -5 "), -5);
    EXPECT_EQ(parseIniInt("+7"), 7);
    EXPECT_EQ(parseIniInt("12 px"), 12);
    EXPECT_EQ(parseIniInt("1044abc"), 1044);
    EXPECT_EQ(parseIniInt("007"), 7); // decimal, not octal
    EXPECT_EQ(parseIniInt("0"), 0);
    EXPECT_EQ(parseIniInt("99999999999"), INT_MAX);
    EXPECT_EQ(parseIniInt("-99999999999"), INT_MIN);
    EXPECT_EQ(parseIniInt("-2147483648"), INT_MIN);
    EXPECT_EQ(parseIniInt("0x1F"), std::nullopt);
    EXPECT_EQ(parseIniInt("abc"), std::nullopt);
    EXPECT_EQ(parseIniInt(""), std::nullopt);
    EXPECT_EQ(parseIniInt("-"), std::nullopt);
    EXPECT_EQ(parseIniInt("--1"), std::nullopt);

    IniFile ini("[GENERAL]\nVERSION=0x7D0\n[SENSOR_PARAMETER]\nREVISION_PIXEL_1=12\n");
    EXPECT_EQ(ini.getInt("GENERAL", "VERSION", 0), 0);
    EXPECT_EQ(ini.getInt("SENSOR_PARAMETER", "REVISION_PIXEL_2", 65535), 65535);
    EXPECT_EQ(ini.getInt("SENSOR_PARAMETER", "REVISION_PIXEL_1", 65535), 12);
}

TEST(IniNumbers, Doubles) {
    EXPECT_EQ(parseIniDouble("0.5"), 0.5);
    EXPECT_EQ(parseIniDouble(" -1e-3 "), -1e-3);
    EXPECT_EQ(parseIniDouble("+.25"), 0.25);
    EXPECT_EQ(parseIniDouble("3"), 3.0);
    EXPECT_EQ(parseIniDouble("1,5"), 1.0);
    EXPECT_EQ(parseIniDouble("2.5 nm"), 2.5);
    EXPECT_EQ(parseIniDouble("nan"), std::nullopt);
    EXPECT_EQ(parseIniDouble("-inf"), std::nullopt);
    EXPECT_EQ(parseIniDouble("1e999"), std::nullopt);
    EXPECT_EQ(parseIniDouble("ERR"), std::nullopt);
    EXPECT_EQ(parseIniDouble("+-1"), std::nullopt);
    EXPECT_EQ(parseIniDouble("0x10"), std::nullopt);

    IniFile ini("[INTEGRATIONTIME_PARAMETER]\nN=11\nPAR_A0=1.25E+2\n");
    EXPECT_EQ(ini.getDouble("INTEGRATIONTIME_PARAMETER", "PAR_A0", -1), 125.0);
    EXPECT_EQ(ini.getDouble("INTEGRATIONTIME_PARAMETER", "PAR_A1", -1), -1.0);
    EXPECT_EQ(ini.getString("INTEGRATIONTIME_PARAMETER", "PAR_A1", "ERR"), "ERR");
}

// A decimal comma in the process locale must not change what is read.
TEST(IniNumbers, DoublesIgnoreACommaLocale) {
    IniFile ini("[board demo]\ncoefficients = 300.5\n");
    struct CommaPunct : std::numpunct<char> {
        char do_decimal_point() const override { return ','; }
    };
    std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaPunct));
    double value = ini.getDouble("board demo", "coefficients", 0);
    std::locale::global(previous);
    EXPECT_EQ(value, 300.5);

    std::string old = std::setlocale(LC_ALL, nullptr);
    const char* german = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"}) {
        if ((german = std::setlocale(LC_ALL, name)) != nullptr) {
            break;
        }
    }
    if (german == nullptr) {
        GTEST_SKIP() << "no de_DE locale installed";
    }
    value = ini.getDouble("board demo", "coefficients", 0);
    double viaC = std::strtod("300.5", nullptr); // what a locale-bound parser would give
    std::setlocale(LC_ALL, old.c_str());
    EXPECT_EQ(value, 300.5);
    EXPECT_NE(viaC, 300.5); // the locale was really in force
}

// ---- writing -------------------------------------------------------------------

TEST(IniFileWrite, ReplacingKeepsSpellingSpacingAndComment) {
    IniFile ini{std::string(kSimulationSetup)};
    ASSERT_EQ(ini.setString("BOARD DEMO", "DARK", "600"), 0);
    std::string expected(kSimulationSetup);
    expected.replace(expected.find("dark = 500"), 10, "dark = 600");
    EXPECT_EQ(ini.text(), expected);
    EXPECT_EQ(ini.getInt("board demo", "dark", 0), 600);
}

TEST(IniFileWrite, ValuesThatNeedQuotesReadBackUnchanged) {
    IniFile ini("[s]\nk=1 ; comment\n");
    for (std::string value : {" lead", "trail ", "a ; b", ";x", "\"q\"", "'q'", "it's",
                              "say \"hi\"", "", "x\"; y' z"}) {
        ASSERT_EQ(ini.setString("s", "k", value), 0) << value;
        EXPECT_EQ(ini.getString("s", "k", "default"), value);
        ASSERT_EQ(ini.setString("s", "new", value), 0) << value;
        EXPECT_EQ(IniFile(ini.text()).getString("s", "new", "default"), value);
    }
}

TEST(IniFileWrite, AddsKeysAfterTheSectionsLastEntry) {
    IniFile ini("[Digital]\r\nChannel1=UV\r\n\r\n; history follows\r\n[history]\r\nSensorMode=1");
    ASSERT_EQ(ini.setString("digital", "Channel2", "VIS"), 0);
    ASSERT_EQ(ini.setString("History", "SynchroMode", "2"), 0);
    ASSERT_EQ(ini.setString("New", "Key", "v"), 0);
    EXPECT_EQ(ini.text(), "[Digital]\r\nChannel1=UV\r\nChannel2=VIS\r\n\r\n; history follows\r\n"
                          "[history]\r\nSensorMode=1\r\nSynchroMode=2\r\n[New]\r\nKey=v\r\n");
}

TEST(IniFileWrite, BadNamesAndValuesAreRefused) {
    IniFile ini("[s]\nk=v\n");
    std::string before = ini.text();
    EXPECT_EQ(ini.setString("", "k", "v"), EINVAL);
    EXPECT_EQ(ini.setString("a]b", "k", "v"), EINVAL);
    EXPECT_EQ(ini.setString("s", "", "v"), EINVAL);
    EXPECT_EQ(ini.setString("s", "a=b", "v"), EINVAL);
    EXPECT_EQ(ini.setString("s", ";k", "v"), EINVAL);
    EXPECT_EQ(ini.setString("s", "[k", "v"), EINVAL);
    EXPECT_EQ(ini.setString("s", "k", "two\nlines"), EINVAL);
    EXPECT_EQ(ini.setString("s", "k", "cr\r"), EINVAL);
    EXPECT_EQ(ini.setString("s", "k", "nul\0"s), EINVAL);
    EXPECT_EQ(ini.text(), before);
}

TEST(IniFileWrite, RemoveKeyAndSection) {
    IniFile ini("[a]\nk=1\nx=2\nK=3\n[b]\n; about b\nk=4\n[A]\nk=5\n[c]\nk=6\n");
    EXPECT_TRUE(ini.removeKey("A", "k"));
    EXPECT_EQ(ini.text(), "[a]\nx=2\n[b]\n; about b\nk=4\n[A]\nk=5\n[c]\nk=6\n");
    EXPECT_FALSE(ini.removeKey("a", "missing"));
    EXPECT_TRUE(ini.removeSection("a"));
    EXPECT_EQ(ini.text(), "[b]\n; about b\nk=4\n[c]\nk=6\n");
    EXPECT_TRUE(ini.removeSection("B"));
    EXPECT_EQ(ini.text(), "[c]\nk=6\n");
    EXPECT_FALSE(ini.removeSection("b"));
}

// ---- files -----------------------------------------------------------------------

TEST_F(IniFileTest, MissingFileGivesDefaults) {
    EXPECT_EQ(getPrivateProfileString("Digital", "Channel1", "none", path_), "none");
    EXPECT_EQ(getPrivateProfileInt("history", "SensorMode", 3, path_), 3);
    EXPECT_EQ(getPrivateProfileDouble("s", "k", 1.5, path_), 1.5);
    EXPECT_TRUE(getPrivateProfileSectionNames(path_).empty());
    EXPECT_EQ(errno, ENOENT);
    IniFile ini;
    EXPECT_EQ(ini.load(path_), ENOENT);
}

TEST_F(IniFileTest, WriteCreatesTheFileWithCrLf) {
    ASSERT_EQ(writePrivateProfileString("history", "SensorMode", "2", path_), 0);
    ASSERT_EQ(writePrivateProfileString("history", "SynchroMode", "1", path_), 0);
    EXPECT_EQ(read(), "[history]\r\nSensorMode=2\r\nSynchroMode=1\r\n");
    EXPECT_EQ(getPrivateProfileInt("HISTORY", "synchromode", 0, path_), 1);
    char buffer[8];
    EXPECT_EQ(getPrivateProfileString("history", "SensorMode", "", buffer, sizeof buffer, path_),
              1u);
    EXPECT_STREQ(buffer, "2");
    EXPECT_EQ(getPrivateProfileKeyNames("history", path_),
              (std::vector<std::string>{"SensorMode", "SynchroMode"}));
    EXPECT_EQ(files(), std::vector<std::string>{"spectrum.ini"});
}

TEST_F(IniFileTest, WritePreservesEverythingElse) {
    std::string original = "; settings of the program\n"
                           "[Digital]\r\n"
                           "Channel1 = UV lamp   ; left\r\n"
                           "  # disabled: Channel2=VIS\n"
                           "\n"
                           "[history]\n"
                           "SensorMode=0\n"
                           "odd line without equals\n"
                           "InputSource=1";
    write(original);
    ASSERT_EQ(writePrivateProfileString("HISTORY", "sensormode", "3", path_), 0);
    ASSERT_EQ(writePrivateProfileString("Digital", "Channel1", "Deuterium", path_), 0);
    std::string expected = original;
    expected.replace(expected.find("SensorMode=0"), 12, "SensorMode=3");
    expected.replace(expected.find("UV lamp"), 7, "Deuterium");
    EXPECT_EQ(read(), expected);

    ASSERT_EQ(writePrivateProfileString("history", "SynchroMode", "1", path_), 0);
    expected += "\nSynchroMode=1"; // the first line's end, after the last line
    EXPECT_EQ(read(), expected);
}

TEST_F(IniFileTest, DeletesNeverCreateAFile) {
    EXPECT_EQ(deletePrivateProfileKey("s", "k", path_), 0);
    EXPECT_EQ(deletePrivateProfileSection("s", path_), 0);
    EXPECT_FALSE(fs::exists(path_));

    write("[Digital]\nChannel1=a\nChannel2=b\n[history]\nSensorMode=1\n");
    EXPECT_EQ(deletePrivateProfileKey("digital", "channel1", path_), 0);
    EXPECT_EQ(read(), "[Digital]\nChannel2=b\n[history]\nSensorMode=1\n");
    EXPECT_EQ(deletePrivateProfileSection("Digital", path_), 0);
    EXPECT_EQ(read(), "[history]\nSensorMode=1\n");
}

TEST_F(IniFileTest, OversizedFileIsRefused) {
    std::string big = "[s]\nk=1\n" + std::string(kMaxIniFileSize, ';');
    write(big);
    EXPECT_EQ(getPrivateProfileInt("s", "k", 7, path_), 7);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(writePrivateProfileString("s", "k", "2", path_), EFBIG);
    EXPECT_EQ(deletePrivateProfileSection("s", path_), EFBIG);
    EXPECT_EQ(read(), big);

    IniFile ini("[s]\nk=" + std::string(kMaxIniLineLength - 2, 'v') + "\n");
    for (int i = 0; i < 200; ++i) {
        int rc =
            ini.setString("s", "k" + std::to_string(i), std::string(kMaxIniLineLength - 10, 'v'));
        if (rc != 0) {
            EXPECT_EQ(rc, EFBIG);
            break;
        }
        ASSERT_LT(i, 199) << "the size limit was never reached";
    }
    EXPECT_LE(ini.text().size(), kMaxIniFileSize);
}

TEST_F(IniFileTest, SymbolicLinkKeepsPointingAtItsFile) {
    fs::path target = dir_ / "real.ini";
    std::ofstream(target) << "[s]\nk=1\n";
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(target, path_);
    ASSERT_EQ(writePrivateProfileString("s", "k", "2", path_), 0);
    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_EQ(getPrivateProfileInt("s", "k", 0, target), 2);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

// The file being saved is the owner's alone until all is written, whatever
// the umask (whoever opened it then could read what is written later), and
// takes the old file's mode only then.
TEST_F(IniFileTest, SavedFileIsTheOwnersAloneWhileWritten) {
    write("[s]\r\nk=1\r\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
    static mode_t whileWritten = 0;
    detail::tempFileWritten = [](int fd) {
        struct stat st {};
        whileWritten = ::fstat(fd, &st) == 0 ? st.st_mode & 07777 : 07777;
    };
    const mode_t mask = ::umask(0);
    EXPECT_EQ(writePrivateProfileString("s", "k", "2", path_), 0);
    ::umask(mask);
    detail::tempFileWritten = nullptr;
    EXPECT_EQ(whileWritten, 0600u);
    struct stat st {};
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// In a folder others may write (sticky, as /tmp is), what another user left
// at the file's name is neither read nor replaced: a link to the user's other
// file, or another user's file of any mode. The user's own file is used, and
// a new one takes the user's mode. Nor is anything read or written when
// another user swaps the file's folder, in a folder everyone may write, for a
// link to another folder of the user's, a link to an empty one or his own.
TEST_F(IniFileTest, InAFolderOthersMayWriteOnlyTheUsersOwnFileIsUsed) {
    const fs::path shared = dir_ / "shared", at = shared / "spectrum.ini", notes = dir_ / "notes";
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string planted = "[history]\nSensorMode=4\n";
    platform::testing::writeFileBytes(notes, planted);
    std::vector<std::pair<const char*, std::function<int()>>> plants = {
        {"a link to the user's other file", [&] { return ::symlink(notes.c_str(), at.c_str()); }},
    };
    if (::geteuid() == 0) {
        plants.push_back({"another user's set-id file", [&] {
                              platform::testing::writeFileBytes(at, planted);
                              return ::chown(at.c_str(), 65534, 65534) | ::chmod(at.c_str(), 06777);
                          }});
    }
    for (const auto& [what, plant] : plants) {
        struct stat before {
        }, after{};
        ASSERT_EQ(plant() | ::lstat(at.c_str(), &before), 0) << what;
        EXPECT_EQ(getPrivateProfileInt("history", "SensorMode", 0, at), 0) << what;
        EXPECT_NE(writePrivateProfileString("history", "SensorMode", "1", at), 0) << what;
        EXPECT_EQ(platform::testing::readFileBytes(notes), planted) << what;
        ASSERT_EQ(::lstat(at.c_str(), &after), 0) << what;
        EXPECT_TRUE(after.st_ino == before.st_ino && after.st_mode == before.st_mode) << what;
        ASSERT_EQ(::unlink(at.c_str()), 0);
    }
    const mode_t mask = ::umask(022);
    EXPECT_EQ(writePrivateProfileString("history", "SensorMode", "2", at), 0);
    ::umask(mask);
    EXPECT_EQ(writePrivateProfileString("history", "SynchroMode", "1", at), 0);
    EXPECT_EQ(getPrivateProfileInt("history", "SensorMode", 0, at), 2);
    struct stat st {};
    ASSERT_EQ(::lstat(at.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    const fs::path lab = dir_ / "lab", box = lab / "box", mine = dir_ / "mine",
                   empty = dir_ / "empty", theirs; // empty: his own folder
    fs::create_directories(mine);
    fs::create_directories(empty);
    fs::create_directory(lab);
    ASSERT_EQ(::chmod(dir_.c_str(), 0711) | ::chmod(lab.c_str(), 0777), 0);
    platform::testing::writeFileBytes(mine / "spectrum.ini", planted);
    for (const fs::path& swap : {mine, empty, theirs}) {
        fs::create_directory(box);
        ASSERT_EQ(platform::testing::runInChild(
                      [&] { return platform::testing::swapFolder(box, lab / "moved", swap); }),
                  1);
        EXPECT_EQ(getPrivateProfileInt("history", "SensorMode", 0, box / "spectrum.ini"), 0)
            << swap;
        EXPECT_NE(writePrivateProfileString("history", "SensorMode", "1", box / "spectrum.ini"), 0)
            << swap;
        EXPECT_EQ(platform::testing::readFileBytes(mine / "spectrum.ini"), planted) << swap;
        EXPECT_TRUE(fs::is_empty(empty)) << swap;
        if (swap == theirs) {
            EXPECT_TRUE(fs::is_empty(box));
        }
        fs::remove_all(box);
        fs::remove(lab / "moved");
    }
}

TEST_F(IniFileTest, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 6;
    constexpr int kKeys = 15;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kKeys; ++i) {
                std::string value = std::to_string(t * 100 + i);
                if (writePrivateProfileString("section" + std::to_string(t),
                                              "key" + std::to_string(i), value, path_) != 0) {
                    ++failures;
                }
                if (getPrivateProfileString("section" + std::to_string(t),
                                            "key" + std::to_string(i), "", path_) != value) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    IniFile ini;
    ASSERT_EQ(ini.load(path_), 0);
    EXPECT_EQ(ini.sectionNames().size(), std::size_t(kThreads));
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(ini.keyNames("section" + std::to_string(t)).size(), std::size_t(kKeys));
    }
    EXPECT_EQ(files(), std::vector<std::string>{"spectrum.ini"});
}

} // namespace
