// The logbook file on disk: its bytes, backup names, loading what a file
// holds, and the free-space housekeeping.

#include "logbook_fixture.h"

#include <unistd.h>

namespace glimra {
namespace {

using test::LogbookFixture;

class LogbookFileTest : public LogbookFixture {};

std::tm tmOf(int year, int month, int day, int hour, int minute, int second, int weekday) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_wday = weekday;
    return t;
}

TEST_F(LogbookFileTest, AFreshFileHoldsHeaderZeroAndZeroRecords) {
    ASSERT_TRUE(createLogFile("logbook.log", 3, false, {}));
    const std::vector<std::uint8_t> data = bytes("logbook.log");
    ASSERT_EQ(data.size(), 4u + 3u * 388u);
    EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_EQ(LogbookFile::recordCount("logbook.log"), 3);
    EXPECT_EQ(LogbookFile::recordCount("missing.log"), -1);
}

TEST(LogbookBackupName, TheTimeGoesBeforeTheFirstDotOfTheFileName) {
    const std::tm monday = tmOf(2026, 12, 7, 22, 31, 18, 1);
    const std::tm later = tmOf(2026, 12, 17, 9, 5, 3, 4);
    const struct {
        const char* path;
        std::tm time;
        const char* backup;
    } cases[] = {
        {"logbook.log", monday, "logbookMon_Dec__7_22-31-18_2026.log"},
        {"logbook", monday, "Mon_Dec__7_22-31-18_2026logbook"},
        {"logs/run.2026.log", later, "logs/runThu_Dec_17_09-05-03_2026.2026.log"},
        // A dot in a directory's name no longer moves the backup elsewhere.
        {"/var/app.d/logbook", monday, "/var/app.d/Mon_Dec__7_22-31-18_2026logbook"},
        {"/var/app.d/logbook.log", monday, "/var/app.d/logbookMon_Dec__7_22-31-18_2026.log"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(backupName(c.path, c.time), c.backup) << c.path;
        EXPECT_TRUE(isBackupName(
            c.path, backupName(c.path, c.time).substr(std::string(c.backup).rfind('/') + 1)))
            << c.path;
    }
    for (const char* other : {"logbook.log", "other.log", "logbookMon_Dec__7_22-31-18_2026.txt",
                              "logbookMon_Dex__7_22-31-18_2026.log", "logbook_2026.log",
                              "xlogbookMon_Dec__7_22-31-18_2026.log"}) {
        EXPECT_FALSE(isBackupName("/x/logbook.log", other)) << other;
    }
}

TEST(LogbookNextIndex, IsNoRing) {
    const struct {
        int newest;
        int count;
        int next;
    } cases[] = {{-1, 3, -1}, {0, 3, 1}, {2, 3, 3}, {3, 3, 0}, {4, 3, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(nextLogIndex(c.newest, c.count), c.next) << c.newest;
    }
}

TEST_F(LogbookFileTest, LoadingShowsRecordsUpToTheNewestIndexAndTrustsNoneOfThem) {
    ASSERT_TRUE(createLogFile("logbook.log", 10, false, {}));
    std::vector<std::uint8_t> data = bytes("logbook.log");
    data[0] = 5;
    for (int i = 1; i <= 10; ++i) {
        std::uint8_t* r = data.data() + 4 + (i - 1) * 388;
        r[0] = 1;                           // new-entry flag as a writer left it
        r[52] = 1;                          // INFO
        std::memset(r + 56, 'A', 256);      // no terminator
        std::memset(r + 328 + 28, 'F', 32); // nor in the face name
        r[328 + 3] = 0x80;                  // font height -2^31
    }
    writeBytes("logbook.log", data);

    LogbookFile file;
    ASSERT_TRUE(file.open("logbook.log"));
    std::vector<int> shown;
    ASSERT_TRUE(file.load(10, [&](int index, LogRecordBytes& record) {
        shown.push_back(index);
        LogRecord r;
        std::memcpy(&r, record.data(), sizeof r);
        EXPECT_EQ(r.newEntry, 0);
        EXPECT_EQ(std::strlen(r.text), 255u);
        EXPECT_EQ(std::strlen(r.font.lfFaceName), 31u);
        EXPECT_EQ(r.font.lfHeight, 0);
        return true;
    }));
    EXPECT_EQ(shown, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_FALSE(file.load(9, [](int, LogRecordBytes&) { return true; }));
    EXPECT_FALSE(file.load(10, [](int, LogRecordBytes&) { return false; }));
}

TEST_F(LogbookFileTest, FreeSpaceAboveFourGibibytesIsEnough) {
    writeBytes("logbookMon_Dec__7_22-31-18_2020.log", {1});
    age("logbookMon_Dec__7_22-31-18_2020.log", 1000);
    environment->free = [] { return std::uint64_t{4294967396}; };
    EXPECT_TRUE(checkDiskSpace("logbook.log", {}));
    EXPECT_TRUE(exists("logbookMon_Dec__7_22-31-18_2020.log"));
    EXPECT_EQ(environment->measured.back(), dir.path().toStdString() + "/");
}

TEST_F(LogbookFileTest, TooLittleSpaceDeletesOnlyThisLogbooksOldestBackups) {
    const char* oldest = "logbookSun_Dec__6_10-00-00_2026.log";
    const char* older = "logbookMon_Dec__7_10-00-00_2026.log";
    const char* future = "logbookTue_Dec__8_10-00-00_2026.log";
    for (const char* name :
         {oldest, older, future, "other.log", "logbook.log", "otherMon_Dec__7_10-00-00_2026.log"}) {
        writeBytes(name, {1, 2, 3});
    }
    age(oldest, 3000);
    age(older, 2000);
    age(future, -100);
    age("other.log", 9000);
    age("otherMon_Dec__7_10-00-00_2026.log", 9000);
    age("logbook.log", 9000);

    // Each deleted file frees 1000 bytes.
    const int before = static_cast<int>(files().size());
    environment->free = [&] {
        return std::uint64_t{500000} + 1000u * static_cast<unsigned>(before - files().size());
    };

    LogDiskPolicy policy;
    policy.minFreeBytes = 501000;
    policy.autoDeleteOldLogs = false;
    EXPECT_FALSE(checkDiskSpace("logbook.log", policy));
    EXPECT_EQ(static_cast<int>(files().size()), before);

    policy.autoDeleteOldLogs = true;
    EXPECT_TRUE(checkDiskSpace("logbook.log", policy));
    EXPECT_FALSE(exists(oldest));
    EXPECT_TRUE(exists(older));

    // The logbook itself under a backup's name is still the logbook.
    ASSERT_EQ(
        ::link(path("logbook.log").c_str(), path("logbookSat_Dec__5_10-00-00_2026.log").c_str()),
        0);
    policy.minFreeBytes = 510000;
    EXPECT_FALSE(checkDiskSpace("logbook.log", policy));
    EXPECT_EQ(files(), (QStringList{"logbook.log", "logbookSat_Dec__5_10-00-00_2026.log",
                                    "logbookTue_Dec__8_10-00-00_2026.log", "other.log",
                                    "otherMon_Dec__7_10-00-00_2026.log"}));
}

TEST_F(LogbookFileTest, TheHousekeepingKeepsALogbookNamedLikeATemporary) {
    writeBytes(".logbook-12.tmp", {0, 0, 0, 0});
    EXPECT_TRUE(checkDiskSpace(".logbook-12.tmp", {}));
    EXPECT_FALSE(deleteOldestBackup(".logbook-12.tmp"));
    // Nor does that of another logbook beside it.
    EXPECT_TRUE(checkDiskSpace("other.log", {}));
    EXPECT_TRUE(exists(".logbook-12.tmp"));
}

TEST_F(LogbookFileTest, ReCreatingKeepsABackupWhenTheDiskAllows) {
    writeBytes("logbook.log", {0, 0, 0, 0, 7, 7});
    ASSERT_TRUE(createLogFile("logbook.log", 2, true, {}));
    EXPECT_EQ(bytes("logbookMon_Dec__7_22-31-18_2026.log"),
              (std::vector<std::uint8_t>{0, 0, 0, 0, 7, 7}));
    EXPECT_EQ(bytes("logbook.log").size(), 4u + 2u * 388u);

    environment->free = [] { return std::uint64_t{0}; };
    writeBytes("logbook.log", {9});
    ASSERT_TRUE(createLogFile("logbook.log", 1, true, {}));
    EXPECT_EQ(bytes("logbookMon_Dec__7_22-31-18_2026.log").size(), 6u);
    EXPECT_EQ(bytes("logbook.log").size(), 4u + 388u);
}

} // namespace
} // namespace glimra
