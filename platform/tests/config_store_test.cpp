#include "platform/config_store.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace platform;
using namespace std::string_literals;
using platform::testing::listDirectory;
using platform::testing::readFileBytes;
using platform::testing::writeFileBytes;

namespace {

constexpr std::string_view kLibraryKey = "Software\\Orvo\\VELDON\\Parameters";
constexpr std::string_view kQreKey = "Software\\Orvo\\VELDON\\QRE\\Parameters";

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        set(value);
    }
    ~ScopedEnv() { set(old_ ? old_->c_str() : nullptr); }
    void set(const char* value) {
        if (value != nullptr) {
            ::setenv(name_, value, 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

class ConfigStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_.emplace("VELDON_MACHINE_CONFIG", (dir_ / "machine").c_str());
        user_.emplace("VELDON_USER_CONFIG", (dir_ / "user").c_str());
    }
    void TearDown() override {
        machine_.reset();
        user_.reset();
    }

    fs::path keyDir(std::string_view root, std::string_view path) const {
        fs::path dir = dir_ / root;
        std::string p(path);
        for (std::size_t pos; (pos = p.find('\\')) != std::string::npos;) {
            dir /= p.substr(0, pos);
            p.erase(0, pos + 1);
        }
        return dir / p;
    }

    platform::testing::TempDir temp_{"config_store"};
    fs::path dir_ = temp_.path();
    std::optional<ScopedEnv> machine_;
    std::optional<ScopedEnv> user_;
};

// ---- missing keys, missing values, wrong types -----------------------------

TEST_F(ConfigStoreTest, MissingKeyIsNotFoundAndCreatesNothing) {
    ConfigKey key;
    EXPECT_EQ(key.open(ConfigRoot::Machine, kLibraryKey), kConfigNotFound);
    EXPECT_EQ(kConfigNotFound, 2);
    EXPECT_FALSE(key.isOpen());
    EXPECT_FALSE(fs::exists(dir_ / "machine"));
    uint32_t value = 7;
    EXPECT_EQ(key.queryDword("ID", value), EBADF);
    EXPECT_EQ(value, 7u);
}

TEST_F(ConfigStoreTest, MissingValueInExistingKeyIsNotFound) {
    ConfigKey writer;
    ASSERT_EQ(writer.open(ConfigRoot::User, kQreKey, ConfigAccess::Write), 0);
    ConfigKey reader;
    ASSERT_EQ(reader.open(ConfigRoot::User, kQreKey), 0);
    uint32_t value = 7;
    EXPECT_EQ(reader.queryDword("Port", value), kConfigNotFound); // key without any value
    ASSERT_EQ(writer.setDword("ID", 1), 0);
    EXPECT_EQ(reader.queryDword("Port", value), kConfigNotFound); // other values present
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(ConfigStoreTest, WrongTypeIsDistinctFromNotFound) {
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::Machine, kLibraryKey, ConfigAccess::Write), 0);
    ASSERT_EQ(key.setString("Sensor-Demo-Mode", "1"), 0);
    ASSERT_EQ(key.setDword("MUX-KRD Delay time", 25), 0);
    uint32_t dword = 99;
    std::string text = "unchanged";
    std::vector<uint8_t> bytes;
    EXPECT_EQ(key.queryDword("Sensor-Demo-Mode", dword), kConfigWrongType);
    EXPECT_EQ(dword, 99u);
    EXPECT_EQ(key.queryString("MUX-KRD Delay time", text), kConfigWrongType);
    EXPECT_EQ(text, "unchanged");
    EXPECT_EQ(key.queryBinary("MUX-KRD Delay time", bytes), kConfigWrongType);
    EXPECT_NE(kConfigWrongType, kConfigNotFound);
}

// ---- values ----------------------------------------------------------------

// Folders made for the user's keys are the user's alone whatever the umask.
TEST_F(ConfigStoreTest, FoldersMadeForTheUserAreTheUsersAlone) {
    const mode_t mask = ::umask(002);
    ConfigKey key;
    const int rc = key.open(ConfigRoot::User, kLibraryKey, ConfigAccess::Write);
    ::umask(mask);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(fs::status(dir_ / "user").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(keyDir("user", kLibraryKey)).permissions(), fs::perms::owner_all);
}

TEST_F(ConfigStoreTest, ValuesRoundTripThroughTheFile) {
    std::string awkward = "C:\\dir \"quoted\"\ttab\nline\r\x01\x7f end \xc3\xa4";
    std::vector<uint8_t> bytes = {0x00, 0x01, 0x7f, 0x80, 0xff};
    {
        ConfigKey key;
        ASSERT_EQ(key.open(ConfigRoot::Machine, kLibraryKey, ConfigAccess::Write), 0);
        ASSERT_EQ(key.setDword("zero", 0), 0);
        ASSERT_EQ(key.setDword("max", 0xFFFFFFFFu), 0);
        ASSERT_EQ(key.setString("Ext Sensor Desc file name", awkward), 0);
        ASSERT_EQ(key.setString("empty", ""), 0);
        ASSERT_EQ(key.setBinary("bytes", bytes), 0);
        ASSERT_EQ(key.setBinary("none", {}), 0);
        ASSERT_EQ(key.setDword(awkward, 5), 0); // names take the same escapes
    }
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::Machine, kLibraryKey), 0);
    uint32_t dword = 1;
    std::string text;
    std::vector<uint8_t> data{9};
    ASSERT_EQ(key.queryDword("zero", dword), 0);
    EXPECT_EQ(dword, 0u);
    ASSERT_EQ(key.queryDword("max", dword), 0);
    EXPECT_EQ(dword, 0xFFFFFFFFu);
    ASSERT_EQ(key.queryString("Ext Sensor Desc file name", text), 0);
    EXPECT_EQ(text, awkward);
    ASSERT_EQ(key.queryString("empty", text), 0);
    EXPECT_EQ(text, "");
    ASSERT_EQ(key.queryBinary("bytes", data), 0);
    EXPECT_EQ(data, bytes);
    ASSERT_EQ(key.queryBinary("none", data), 0);
    EXPECT_TRUE(data.empty());
    ASSERT_EQ(key.queryDword(awkward, dword), 0);
    EXPECT_EQ(dword, 5u);

    std::vector<ConfigValue> values;
    ASSERT_EQ(key.enumValues(values), 0);
    ASSERT_EQ(values.size(), 7u);
    EXPECT_EQ(values[0].name, "zero");
    EXPECT_EQ(values[2].type(), ConfigValueType::String);
    EXPECT_EQ(values[4].type(), ConfigValueType::Binary);
}

TEST_F(ConfigStoreTest, FileFormatIsTheDocumentedText) {
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::User, kQreKey, ConfigAccess::Write), 0);
    ASSERT_EQ(key.setDword("Baudrate", 115200), 0);
    ASSERT_EQ(key.setString("Name", "a\"b\\c"), 0);
    ASSERT_EQ(key.setBinary("Raw", std::vector<uint8_t>{1, 2, 0xff}), 0);
    EXPECT_EQ(readFileBytes(keyDir("user", kQreKey) / "values.conf"),
              "\"Baudrate\"=dword:0001c200\n"
              "\"Name\"=\"a\\\"b\\\\c\"\n"
              "\"Raw\"=hex:01,02,ff\n");
}

TEST_F(ConfigStoreTest, SetReplacesInPlaceAndDeleteRemoves) {
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::User, kQreKey, ConfigAccess::Write), 0);
    for (const char* name : {"ID", "Port", "Trans", "Baudrate"}) {
        ASSERT_EQ(key.setDword(name, 1), 0);
    }
    ASSERT_EQ(key.setDword("port", 3), 0); // same value, another case
    std::vector<ConfigValue> values;
    ASSERT_EQ(key.enumValues(values), 0);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[1], (ConfigValue{"port", uint32_t{3}}));

    EXPECT_EQ(key.deleteValue("PORT"), 0);
    EXPECT_EQ(key.deleteValue("Port"), kConfigNotFound);
    uint32_t value = 0;
    EXPECT_EQ(key.queryDword("Port", value), kConfigNotFound);
    ASSERT_EQ(key.enumValues(values), 0);
    EXPECT_EQ(values.size(), 3u);
}

// ---- keys ------------------------------------------------------------------

TEST_F(ConfigStoreTest, KeyAndValueNamesIgnoreCase) {
    ConfigKey writer;
    ASSERT_EQ(writer.open(ConfigRoot::Machine, kLibraryKey, ConfigAccess::Write), 0);
    ASSERT_EQ(writer.setDword("MUX-7WEN Delay time", 200), 0);
    EXPECT_TRUE(fs::is_directory(keyDir("machine", kLibraryKey)));

    ConfigKey reader;
    ASSERT_EQ(reader.open(ConfigRoot::Machine, "SOFTWARE\\orvo\\Veldon\\parameters"), 0);
    uint32_t value = 0;
    ASSERT_EQ(reader.queryDword("mux-7wen DELAY TIME", value), 0);
    EXPECT_EQ(value, 200u);

    // Creating through another spelling reuses the existing directories.
    ConfigKey other;
    ASSERT_EQ(other.open(ConfigRoot::Machine, "software\\ORVO\\veldon\\QRE", ConfigAccess::Write),
              0);
    EXPECT_EQ(listDirectory(dir_ / "machine"), std::vector<std::string>{"Software"});
    EXPECT_EQ(listDirectory(keyDir("machine", "Software\\Orvo\\VELDON")),
              (std::vector<std::string>{"Parameters", "QRE"}));
}

TEST_F(ConfigStoreTest, HandMadeDirectoryInOtherCaseIsFound) {
    writeFileBytes(dir_ / "machine" / "software" / "orvo" / "veldon" / "parameters" / "values.conf",
                   "\"Sensor-Demo-Mode\"=dword:3\n");
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::Machine, kLibraryKey), 0);
    uint32_t value = 0;
    ASSERT_EQ(key.queryDword("Sensor-Demo-Mode", value), 0);
    EXPECT_EQ(value, 3u);
}

TEST_F(ConfigStoreTest, BadPathsAreRefused) {
    ConfigKey key;
    for (std::string_view path : {"Software\\\\Orvo", "\\Software", "Software\\", "Software\\..",
                                  ".", "a/b", "Software\\values.conf", "Software\\VALUES.CONF"}) {
        EXPECT_EQ(key.open(ConfigRoot::Machine, path, ConfigAccess::Write), EINVAL) << path;
    }
    std::string deep;
    for (std::size_t i = 0; i <= kMaxConfigKeyDepth; ++i) {
        deep += i == 0 ? "k" : "\\k";
    }
    EXPECT_EQ(key.open(ConfigRoot::Machine, deep, ConfigAccess::Write), EINVAL);
    EXPECT_EQ(key.open(ConfigRoot::Machine, std::string(kMaxConfigKeyNameLength + 1, 'k'),
                       ConfigAccess::Write),
              EINVAL);
    EXPECT_FALSE(fs::exists(dir_ / "machine" / "Software"));
}

TEST_F(ConfigStoreTest, ReadOnlyKeyRefusesWrites) {
    ConfigKey writer;
    ASSERT_EQ(writer.open(ConfigRoot::User, kQreKey, ConfigAccess::Write), 0);
    ASSERT_EQ(writer.setDword("ID", 1), 0);
    ConfigKey reader;
    ASSERT_EQ(reader.open(ConfigRoot::User, kQreKey), 0);
    EXPECT_EQ(reader.setDword("ID", 2), EACCES);
    EXPECT_EQ(reader.deleteValue("ID"), EACCES);
    uint32_t value = 0;
    ASSERT_EQ(reader.queryDword("ID", value), 0);
    EXPECT_EQ(value, 1u);
    ConfigKey moved = std::move(reader);
    EXPECT_FALSE(reader.isOpen()); // NOLINT(bugprone-use-after-move): a moved-from key is closed
    EXPECT_EQ(reader.queryDword("ID", value), EBADF);
    ASSERT_EQ(moved.queryDword("ID", value), 0);
    moved.close();
    EXPECT_EQ(moved.queryDword("ID", value), EBADF);
}

TEST_F(ConfigStoreTest, DeleteKey) {
    EXPECT_EQ(deleteConfigKey(ConfigRoot::User, kQreKey), kConfigNotFound);
    EXPECT_EQ(deleteConfigKey(ConfigRoot::User, ""), EINVAL);
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::User, kQreKey, ConfigAccess::Write), 0);
    ASSERT_EQ(key.setDword("ID", 1), 0);
    writeFileBytes(keyDir("user", kQreKey) / "values.conf.tmp.1.1", "left by a crash");

    EXPECT_EQ(deleteConfigKey(ConfigRoot::User, "Software\\Orvo\\VELDON\\QRE"), ENOTEMPTY);
    EXPECT_EQ(deleteConfigKey(ConfigRoot::User, "software\\orvo\\veldon\\qre\\parameters"), 0);
    EXPECT_FALSE(fs::exists(keyDir("user", kQreKey)));
    ConfigKey again;
    EXPECT_EQ(again.open(ConfigRoot::User, kQreKey), kConfigNotFound);
    // The handle of a deleted key finds nothing.
    uint32_t value = 0;
    EXPECT_EQ(key.queryDword("ID", value), kConfigNotFound);
    EXPECT_EQ(deleteConfigKey(ConfigRoot::User, "Software\\Orvo\\VELDON\\QRE"), 0);
}

TEST_F(ConfigStoreTest, DriverFormOfMachineKey) {
    ConfigKey writer;
    ASSERT_EQ(writer.open(ConfigRoot::Machine,
                          "System\\CurrentControlSet\\Services\\kavrin\\Parameters",
                          ConfigAccess::Write),
              0);
    ASSERT_EQ(writer.setDword("SuppressIdCheck", 1), 0);
    ConfigKey key;
    ASSERT_EQ(key.openAbsolute(
                  "\\REGISTRY\\Machine\\System\\CurrentControlSet\\Services\\kavrin\\Parameters"),
              0);
    uint32_t value = 0;
    ASSERT_EQ(key.queryDword("SuppressIdCheck", value), 0);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(key.openAbsolute("\\Registry\\MachineX\\System"), EINVAL);
    EXPECT_EQ(key.openAbsolute("System\\CurrentControlSet"), EINVAL);
    EXPECT_FALSE(key.isOpen());
}

// ---- roots -----------------------------------------------------------------

TEST_F(ConfigStoreTest, RootsFollowTheEnvironmentAtEachOpen) {
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::Machine, kLibraryKey, ConfigAccess::Write), 0);
    ASSERT_EQ(key.setDword("MUX-KRD Com Mode", 3), 0);
    EXPECT_EQ(systemConfigDirectory(), dir_ / "machine");
    EXPECT_EQ(userConfigDirectory(), dir_ / "user");

    machine_->set((dir_ / "elsewhere").c_str());
    ConfigKey moved;
    EXPECT_EQ(moved.open(ConfigRoot::Machine, kLibraryKey), kConfigNotFound);
    EXPECT_EQ(moved.open(ConfigRoot::User, kLibraryKey), kConfigNotFound);
    machine_->set((dir_ / "machine").c_str());
    EXPECT_EQ(moved.open(ConfigRoot::Machine, kLibraryKey), 0);

    machine_->set(nullptr);
    EXPECT_EQ(systemConfigDirectory(), fs::path("/etc/veldon"));
}

TEST_F(ConfigStoreTest, UserRootFallsBackToXdgThenHome) {
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir_ / "xdg").c_str());
    ScopedEnv home("HOME", (dir_ / "home").c_str());
    user_->set(nullptr);
    EXPECT_EQ(userConfigDirectory(), dir_ / "xdg" / "veldon");
    xdg.set("relative/dir"); // not absolute: ignored
    EXPECT_EQ(userConfigDirectory(), dir_ / "home" / ".config" / "veldon");
    xdg.set("");
    EXPECT_EQ(userConfigDirectory(), dir_ / "home" / ".config" / "veldon");

    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::User, kQreKey, ConfigAccess::Write), 0);
    EXPECT_TRUE(fs::is_directory(dir_ / "home" / ".config" / "veldon" / "Software"));
}

// ---- hand-edited files ------------------------------------------------------

TEST_F(ConfigStoreTest, HandEditedFileSkipsBadLinesAndKeepsThemOnWrite) {
    std::string original = "; values of the library\r\n"
                           "# another comment\r\n"
                           "\r\n"
                           "  \"MUX-7WEN Delay time\" = DWORD:C8  \r\n"
                           "\"no closing quote=dword:1\r\n"
                           "\"bad escape \\q\"=dword:1\r\n"
                           "\"too many digits\"=dword:123456789\r\n"
                           "\"not hex\"=dword:xyz\r\n"
                           "\"empty dword\"=dword:\r\n"
                           "\"gap\"=hex:01,,02\r\n"
                           "\"wide byte\"=hex:123\r\n"
                           "\"trailing\"=\"text\" junk\r\n"
                           "\"raw control\"=\"a\x01"
                           "b\"\r\n"
                           "garbage without quotes\r\n"
                           "\"nul\"=\"a\0b\"\r\n"
                           "\"Min. Integration time\"=dword:1\r\n"
                           "\"min. integration TIME\"=dword:2\r\n"
                           "\"blob\" = hex: 0a , 0B\r\n"
                           "\"last\"=\"no line end\""s;
    fs::path file = keyDir("machine", kLibraryKey) / "values.conf";
    writeFileBytes(file, original);

    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::Machine, kLibraryKey, ConfigAccess::Write), 0);
    std::vector<ConfigValue> values;
    ASSERT_EQ(key.enumValues(values), 0);
    std::vector<std::string> names;
    for (const auto& value : values) {
        names.push_back(value.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"MUX-7WEN Delay time", "Min. Integration time",
                                               "blob", "last"}));
    uint32_t dword = 0;
    ASSERT_EQ(key.queryDword("MUX-7WEN Delay time", dword), 0);
    EXPECT_EQ(dword, 200u);
    ASSERT_EQ(key.queryDword("Min. Integration time", dword), 0);
    EXPECT_EQ(dword, 2u); // the last line wins
    std::vector<uint8_t> bytes;
    ASSERT_EQ(key.queryBinary("blob", bytes), 0);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x0a, 0x0b}));
    EXPECT_EQ(key.queryDword("too many digits", dword), kConfigNotFound);
    EXPECT_EQ(key.queryDword("gap", dword), kConfigNotFound);

    // Writing one value touches only its own lines.
    ASSERT_EQ(key.setDword("min. integration time", 7), 0);
    ASSERT_EQ(key.setDword("new", 1), 0);
    std::string expected = original;
    expected.replace(expected.find("\"Min. Integration time\"=dword:1\r\n"),
                     std::string("\"Min. Integration time\"=dword:1\r\n").size(), "");
    expected.replace(expected.find("\"min. integration TIME\"=dword:2"),
                     std::string("\"min. integration TIME\"=dword:2").size(),
                     "\"min. integration time\"=dword:00000007");
    expected += "\r\n\"new\"=dword:00000001\r\n";
    EXPECT_EQ(readFileBytes(file), expected);
}

TEST_F(ConfigStoreTest, OversizedFileIsRefusedNotTruncated) {
    fs::path file = keyDir("machine", kLibraryKey) / "values.conf";
    std::string big = "\"ID\"=dword:1\n" + std::string(kMaxConfigFileSize, ';');
    writeFileBytes(file, big);
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::Machine, kLibraryKey, ConfigAccess::Write), 0);
    uint32_t value = 0;
    EXPECT_EQ(key.queryDword("ID", value), EFBIG);
    std::vector<ConfigValue> values;
    EXPECT_EQ(key.enumValues(values), EFBIG);
    EXPECT_EQ(key.setDword("ID", 2), EFBIG);
    EXPECT_EQ(readFileBytes(file), big);
}

TEST_F(ConfigStoreTest, ValueLimits) {
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::Machine, kLibraryKey, ConfigAccess::Write), 0);
    EXPECT_EQ(key.setBinary("big", std::vector<uint8_t>(kMaxConfigDataSize + 1)), EFBIG);
    EXPECT_EQ(key.setString(std::string(kMaxConfigNameLength + 1, 'n'), ""), EFBIG);
    // The largest value still reads back; a string of control bytes grows
    // four times when escaped and must still fit a line.
    ASSERT_EQ(key.setBinary("big", std::vector<uint8_t>(kMaxConfigDataSize, 0xab)), 0);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(key.queryBinary("big", bytes), 0);
    EXPECT_EQ(bytes.size(), kMaxConfigDataSize);
    EXPECT_EQ(key.setString("ctl", std::string(kMaxConfigDataSize, '\x01')), EFBIG);
    // Many large values together would pass the file limit.
    int rc = 0;
    for (int i = 0; i < 32 && rc == 0; ++i) {
        rc = key.setBinary("v" + std::to_string(i), std::vector<uint8_t>(kMaxConfigDataSize));
    }
    EXPECT_EQ(rc, EFBIG);
    EXPECT_LE(fs::file_size(keyDir("machine", kLibraryKey) / "values.conf"), kMaxConfigFileSize);
}

// ---- atomic replacement and threads ---------------------------------------------

TEST_F(ConfigStoreTest, ReadersNeverSeeAHalfWrittenKey) {
    ConfigKey writer;
    ASSERT_EQ(writer.open(ConfigRoot::User, kQreKey, ConfigAccess::Write), 0);
    ASSERT_EQ(writer.setDword("ID", 1), 0);
    std::atomic<bool> done{false};
    std::atomic<bool> reading{false};
    std::atomic<int> failures{0};
    std::thread reader([&] {
        ConfigKey key;
        if (key.open(ConfigRoot::User, kQreKey) != 0) {
            ++failures;
            reading = true;
            return;
        }
        while (!done) {
            uint32_t value = 0;
            std::vector<uint8_t> bytes;
            if (key.queryDword("ID", value) != 0 || value != 1) {
                ++failures;
            }
            int rc = key.queryBinary("Bulk", bytes);
            if (rc != 0 && rc != kConfigNotFound) {
                ++failures;
            }
            if (rc == 0 && bytes.size() != 16384) {
                ++failures;
            }
            reading = true;
        }
    });
    while (!reading) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(writer.setBinary("Bulk", std::vector<uint8_t>(16384, uint8_t(i))), 0);
    }
    done = true;
    reader.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(listDirectory(keyDir("user", kQreKey)), std::vector<std::string>{"values.conf"});
}

TEST_F(ConfigStoreTest, ConcurrentWritersLoseNoValue) {
    constexpr int kThreads = 8;
    constexpr int kValues = 20;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ConfigKey key;
            if (key.open(ConfigRoot::User, kQreKey, ConfigAccess::Write) != 0) {
                ++failures;
                return;
            }
            for (int i = 0; i < kValues; ++i) {
                if (key.setDword("t" + std::to_string(t) + "v" + std::to_string(i),
                                 uint32_t(t * 100 + i)) != 0) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::User, kQreKey), 0);
    std::vector<ConfigValue> values;
    ASSERT_EQ(key.enumValues(values), 0);
    EXPECT_EQ(values.size(), std::size_t(kThreads * kValues));
}

TEST_F(ConfigStoreTest, FailedReplaceLeavesNoTempFile) {
    ConfigKey key;
    ASSERT_EQ(key.open(ConfigRoot::User, kQreKey, ConfigAccess::Write), 0);
    fs::create_directory(keyDir("user", kQreKey) / "values.conf"); // hand-made mess
    EXPECT_NE(key.setDword("ID", 1), 0);
    EXPECT_EQ(listDirectory(keyDir("user", kQreKey)), std::vector<std::string>{"values.conf"});
}

// ---- the parser on its own ------------------------------------------------------

TEST(ConfigValueFileTest, EveryByteSurvivesFormatAndParse) {
    std::string all;
    for (int c = 0; c < 256; ++c) {
        all.push_back(static_cast<char>(c));
    }
    ConfigValueFile file;
    ASSERT_EQ(file.set(all, all), 0);
    ASSERT_EQ(file.set("b", std::vector<uint8_t>(all.begin(), all.end())), 0);
    ConfigValueFile reread(file.text());
    ASSERT_EQ(reread.values().size(), 2u);
    EXPECT_EQ(reread.values()[0], (ConfigValue{all, all}));
    EXPECT_EQ(reread.text().find('\0'), std::string::npos);
    EXPECT_EQ(std::count(reread.text().begin(), reread.text().end(), '\n'), 2);
}

TEST(ConfigValueFileTest, AppendKeepsTheFilesLineEnds) {
    ConfigValueFile file("; comment\r\n\"a\"=dword:1");
    ASSERT_EQ(file.set("b", uint32_t{2}), 0);
    EXPECT_EQ(file.text(), "; comment\r\n\"a\"=dword:1\r\n\"b\"=dword:00000002\r\n");
    EXPECT_TRUE(file.remove("A"));
    EXPECT_FALSE(file.remove("a"));
    EXPECT_EQ(file.text(), "; comment\r\n\"b\"=dword:00000002\r\n");
}

} // namespace
