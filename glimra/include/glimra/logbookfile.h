#pragma once
// The logbook file, without Qt (fuzz/ reaches the loader): a little-endian
// signed 32-bit index of the newest record (1-based, 0 when empty), then a
// fixed number of 388-byte records. The count is fixed when the file is
// created and read back as (length - 4) / 388. A full file is never
// overwritten in place: it is re-created empty, after a time-stamped backup
// copy when the disk has room for one, or itself made that backup by a
// rename when it has not.
//
// Processes that write one logbook take turns under an exclusive advisory
// lock on its file (LogbookFile::lock): reading the header, writing a record
// and rewriting the header are one step, and so is the re-creation of a full
// file. Readers load under a shared lock, so they see whole records.
//
// Where the file meets the system (free disk space, wall time, the directory
// relative paths lie in) goes through LogbookEnvironment, which tests
// replace.

#include "glimra/export.h"
#include "platform/current_instance.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace glimra {

inline constexpr std::size_t kLogHeaderSize = 4;
inline constexpr std::size_t kLogRecordSize = 388;

// Where a record keeps what loading has to look at.
inline constexpr std::size_t kLogRecordNewOffset = 0;
inline constexpr std::size_t kLogRecordTypeOffset = 52;
inline constexpr std::size_t kLogRecordTextOffset = 56;
inline constexpr std::size_t kLogRecordTextSize = 256;
inline constexpr std::size_t kLogRecordTimeOffset = 312;
inline constexpr std::size_t kLogRecordFontOffset = 328;
inline constexpr std::size_t kLogRecordFontSize = 60;
inline constexpr std::size_t kLogRecordFaceOffset = kLogRecordFontOffset + 28;
inline constexpr std::size_t kLogRecordFaceSize = 32;

// A font height further from 0 than this (pixels) comes from a damaged file;
// such an entry is shown in the list's font.
inline constexpr std::int32_t kLogMostFontHeight = 1000;

using LogRecordBytes = std::array<std::uint8_t, kLogRecordSize>;

// A record as it was read, made safe to show: new-entry flag 0, message and
// face name terminated within their fields, an absurd font height dropped.
GLIMRA_EXPORT void sanitizeLoadedRecord(LogRecordBytes& record);
GLIMRA_EXPORT std::int32_t recordFontHeight(const LogRecordBytes& record);

// What the logbook asks of the system. The defaults measure the real disk and
// clock; tests install their own (ScopedLogbookEnvironment).
class GLIMRA_EXPORT LogbookEnvironment {
public:
    virtual ~LogbookEnvironment() = default;
    // Free bytes of the file system that holds directory that this process
    // may use; nothing when it cannot be measured.
    virtual std::optional<std::uint64_t> freeBytes(const std::string& directory);
    virtual std::chrono::system_clock::time_point now();
    // The directory relative paths are taken in; empty: the process's own.
    virtual std::string currentDirectory();
};

GLIMRA_EXPORT std::shared_ptr<LogbookEnvironment>
setLogbookEnvironment(std::shared_ptr<LogbookEnvironment> environment);
GLIMRA_EXPORT std::shared_ptr<LogbookEnvironment> logbookEnvironment();
using ScopedLogbookEnvironment =
    platform::ScopedInstall<LogbookEnvironment, &setLogbookEnvironment>;

// A moment in local time, to the millisecond.
struct LogLocalTime {
    std::tm tm{};
    int milliseconds = 0;
};
GLIMRA_EXPORT LogLocalTime localTimeOf(std::chrono::system_clock::time_point moment);
GLIMRA_EXPORT LogLocalTime localNow();

// The path as the logbook opens it: relative paths in the environment's
// current directory.
GLIMRA_EXPORT std::string resolveLogPath(const std::string& path);

// asctime()'s text of the moment without its line break, ' ' made '_' and
// ':' made '-': "Mon_Dec__7_22-31-18_2026".
GLIMRA_EXPORT std::string backupTimeText(const std::tm& local);
// The backup copy's name: the time text just before the first '.' of the
// file's name (in front of the name when it has none), in the same directory.
// A number above 1 follows the time text as "_<number>": a backup whose
// time-stamped name was taken gets one that no one can foresee.
GLIMRA_EXPORT std::string backupName(const std::string& path, const std::tm& local,
                                     std::uint64_t number = 1);
// Whether fileName (no directory) is the name of a backup of path.
GLIMRA_EXPORT bool isBackupName(const std::string& path, const std::string& fileName);

// The index after newest in a file of count records: 0 when the file is full,
// -1 when newest lies outside 0..count.
GLIMRA_EXPORT int nextLogIndex(int newest, std::int64_t count);

// The free-space housekeeping of a logbook.
struct LogDiskPolicy {
    std::uint32_t minFreeBytes = 1440000;
    bool autoDeleteOldLogs = true;
};

// One open logbook file.
class GLIMRA_EXPORT LogbookFile {
public:
    LogbookFile() = default;
    ~LogbookFile();
    LogbookFile(const LogbookFile&) = delete;
    LogbookFile& operator=(const LogbookFile&) = delete;

    // Opens for reading and writing; why says what stood there when the
    // file was refused.
    bool open(const std::string& path, std::string* why = nullptr);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // Takes the advisory lock on the file, exclusive to write, shared to
    // read, waiting for another holder as long as the user file does
    // (platform::kFileLockWait). When the path names another file by then
    // (another process made this one a backup), that one is opened and
    // locked instead: Reopened. Where no file stands, it waits as long for
    // one to come (another writer between its two renames), then, with
    // makeCount above 0, makes one of makeCount records where none stands.
    // Whatever failed, the next call looks for the file again.
    enum class Lock { Failed, Held, Reopened };
    Lock lock(int makeCount = 0, bool shared = false);
    void unlock();
    bool locked() const { return locked_; }
    // With the lock held: re-creates the file with header 0 and count zero
    // records, as createLogFile does; the file open then is the fresh one,
    // locked.
    bool recreate(int count, bool backup, const LogDiskPolicy& policy);
    // With the lock held: a file of no entry shorter than count records and
    // of no whole record count, as a making cut short by a full disk left
    // it, is made anew; whether it was.
    bool remakeUnfinished(int count);

    // -1 when the header cannot be read.
    int readHeader() const;
    bool writeHeader(std::int32_t newest);
    bool readRecord(int index, LogRecordBytes& out) const;
    bool writeRecord(int index, const LogRecordBytes& record);
    // (length - 4) / 388; -1 when the file cannot be measured.
    std::int64_t recordCount() const;
    static std::int64_t recordCount(const std::string& path);
    // The path opens for reading and writing.
    static bool exists(const std::string& path);

    // Reads every record of a file of expectedCount records and hands
    // records 1 to the newest index, sanitised, to add (which may refuse);
    // false when the count differs, a read fails or add refuses.
    bool load(std::int64_t expectedCount,
              const std::function<bool(int index, LogRecordBytes& record)>& add) const;

private:
    int moveAside(int folder, const std::string& name, int count, unsigned mode);
    void adopt(int fresh);

    int fd_ = -1;
    std::string path_;
    bool locked_ = false;
};

// Passes when the disk that holds the logbook (path; the current directory
// when empty) has at least the minimum free; below it, with auto-delete on,
// deletes the logbook's oldest backups until it has or none is left. The
// folder is listed once, and the hidden temporaries of makers that are gone
// (killed while making a fresh file or a backup copy) are removed on the way,
// never the logbook itself, whatever its name.
GLIMRA_EXPORT bool checkDiskSpace(const std::string& path, const LogDiskPolicy& policy);
// Deletes the logbook's backup of the earliest last-write time before now
// (never the logbook itself); whether one was deleted.
GLIMRA_EXPORT bool deleteOldestBackup(const std::string& path);
// Makes a logbook of header 0 and count zero records where no file stands,
// whole or not at all: written under a temporary name beside it, once the
// temporaries of makers that are gone are removed, then given its name only
// where nothing stands there. A file found there, or made there first by
// another process, is left as it is: true when it is one the logbook opens.
GLIMRA_EXPORT bool makeMissingLogFile(const std::string& path, int count);
// A missing file is made as makeMissingLogFile does. An existing file is
// re-created empty under its lock:
// with backup set, after a backup copy when the disk check passes and the copy
// finds room; without room, the file itself becomes the backup by a rename
// and a fresh one is made beside it, or, when that cannot be made either, it
// keeps its records and the call fails. Only where the folder or the name
// allow no second file is it re-created in place without a backup. The file
// is the user's own (never a link, pipe or another user's file) in a folder no
// one else may change; a backup is always a new file beside it, copied under
// a temporary that takes the backup's name only whole.
GLIMRA_EXPORT bool createLogFile(const std::string& path, int count, bool backup,
                                 const LogDiskPolicy& policy);

} // namespace glimra
