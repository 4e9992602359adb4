// The logbook file: header, records, re-creation with a backup copy, and the
// free-space housekeeping.

#include "glimra/logbookfile.h"

#include "platform/clock.h"
#include "platform/file_lock.h"
#include "platform/own_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace glimra {

namespace {

std::int32_t readLe32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
        (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24));
}

void writeLe32(std::uint8_t* p, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

off_t recordOffset(int index) {
    return static_cast<off_t>(kLogHeaderSize) +
           static_cast<off_t>(index - 1) * static_cast<off_t>(kLogRecordSize);
}

// Whole transfers only; interrupted calls are resumed. Byte is const for
// writes.
template <typename Byte, typename Call>
bool transferAll(int fd, Byte* p, std::size_t size, off_t offset, Call call) {
    while (size > 0) {
        const ssize_t n = call(fd, p, size, offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

bool preadAll(int fd, void* buffer, std::size_t size, off_t offset) {
    return transferAll(fd, static_cast<std::uint8_t*>(buffer), size, offset, ::pread);
}

bool pwriteAll(int fd, const void* buffer, std::size_t size, off_t offset) {
    return transferAll(fd, static_cast<const std::uint8_t*>(buffer), size, offset, ::pwrite);
}

std::int64_t countOfLength(off_t length) {
    if (length < static_cast<off_t>(kLogHeaderSize)) {
        return 0;
    }
    return static_cast<std::int64_t>((length - static_cast<off_t>(kLogHeaderSize)) /
                                     static_cast<off_t>(kLogRecordSize));
}

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

template <std::size_t N> bool isOneOf(const std::string& text, const char* const (&names)[N]) {
    return std::any_of(std::begin(names), std::end(names),
                       [&](const char* name) { return text == name; });
}

// "Www_Mmm_dd_hh-mm-ss_yyyy", the day padded with '_'.
bool isTimeText(const std::string& t) {
    if (t.size() < 21 || !isOneOf(t.substr(0, 3), kWeekdays) || !isOneOf(t.substr(4, 3), kMonths)) {
        return false;
    }
    const bool separators =
        t[3] == '_' && t[7] == '_' && t[10] == '_' && t[13] == '-' && t[16] == '-' && t[19] == '_';
    const bool fields = (t[8] == '_' || isDigit(t[8])) && isDigit(t[9]) && isDigit(t[11]) &&
                        isDigit(t[12]) && isDigit(t[14]) && isDigit(t[15]) && isDigit(t[17]) &&
                        isDigit(t[18]);
    // The year, then "_<number>" for a later backup of the same second.
    const auto yearEnd = std::find(t.begin() + 20, t.end(), '_');
    const bool number = yearEnd == t.end() ||
                        (yearEnd + 1 != t.end() && std::all_of(yearEnd + 1, t.end(), isDigit));
    return separators && fields && yearEnd != t.begin() + 20 &&
           std::all_of(t.begin() + 20, yearEnd, isDigit) && number;
}

struct SplitPath {
    std::string directory; // with its trailing '/', or empty
    std::string name;
};

SplitPath splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {{}, path};
    }
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string directoryOf(const std::string& resolvedPath) {
    std::string directory = splitPath(resolvedPath).directory;
    if (directory.empty()) {
        directory = logbookEnvironment()->currentDirectory();
    }
    return directory.empty() ? std::string(".") : directory;
}

std::chrono::system_clock::time_point modificationTime(const struct stat& st) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) +
            std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

// Names tried for a backup when its time-stamped name is taken.
constexpr int kBackupTries = 100;

// A number for a backup's or a temporary's name that no one can foresee:
// always kNumberDigits digits, the first not 0.
constexpr std::size_t kNumberDigits = 10;
std::uint64_t unforeseeableNumber() {
    std::random_device random;
    const std::uint64_t high = random(), low = random();
    return 1000000000u + ((high << 32) ^ low) % 9000000000u;
}

// Tries make on the names nameOf gives for the number 1, then for numbers no
// one can foresee, as long as they are taken (EEXIST): a taken name is never
// written through. 0, or the errno value of the last try.
template <typename NameOf, typename Make> int onFreeName(NameOf nameOf, Make make) {
    int error = EEXIST;
    for (int attempt = 0; attempt < kBackupTries && error == EEXIST; ++attempt) {
        error = make(nameOf(attempt == 0 ? 1 : unforeseeableNumber()));
    }
    return error;
}

// Whether a copy or a fresh file found no room.
bool noRoom(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

// Whether the folder or the name allow no second file beside the logbook:
// it goes on without a backup.
bool noSecondFile(int error) {
    return error == EACCES || error == EPERM || error == EROFS || error == ENAMETOOLONG ||
           error == EEXIST;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void notWritten(const std::string& path, const std::string& why) {
    if (!why.empty()) {
        std::fprintf(stderr, "%s %s: the logbook is not written\n", path.c_str(), why.c_str());
    }
}

// The folder of the logbook at path, reached as its backups are made in it,
// where the name still stands for the file open as fd (st).
bool reachOwnName(int fd, const std::string& path, platform::SafeFolder& place, struct stat& st) {
    const std::string resolved = resolveLogPath(path);
    std::string why;
    struct stat named {};
    const bool reached =
        ::fstat(fd, &st) == 0 && platform::reachOwnFolder(resolved.c_str(), place, why) &&
        ::fstatat(place.fd(), place.name().c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(st, named);
    if (!reached) {
        notWritten(resolved, why);
    }
    return reached;
}

// Header 0 and count zero records over whatever the file held, in large
// writes: 0, or the errno value of why not.
int writeEmpty(int fd, int count) {
    const off_t length = recordOffset(count + 1);
    if (::ftruncate(fd, length) != 0) {
        return errno;
    }
    std::vector<std::uint8_t> zeros(64 * kLogRecordSize, 0);
    for (off_t at = 0; at < length;) {
        const std::size_t chunk = static_cast<std::size_t>(
            std::min<off_t>(length - at, static_cast<off_t>(zeros.size())));
        errno = 0;
        if (!pwriteAll(fd, zeros.data(), chunk, at)) {
            return errno != 0 ? errno : EIO;
        }
        at += static_cast<off_t>(chunk);
    }
    return 0;
}

// The hidden temporary names a fresh logbook is made under.
constexpr std::string_view kTempPrefix = ".logbook-";
constexpr std::string_view kTempSuffix = ".tmp";

// Only the form makeTemporary gives: another logbook in the folder whose
// name merely looks like one is idle, so unlocked, and must not be taken for
// a killed maker's.
bool isTemporaryName(std::string_view name) {
    if (name.size() != kTempPrefix.size() + kNumberDigits + kTempSuffix.size() ||
        !name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) {
        return false;
    }
    const std::string_view number = name.substr(kTempPrefix.size(), kNumberDigits);
    return number.front() != '0' && std::all_of(number.begin(), number.end(), isDigit);
}

// Whether name in folder stands for the file open as fd.
bool namesFile(int folder, const char* name, int fd) {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd, &held) == 0 && ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameFile(held, named);
}

// Gives the temporary file in folder its name: replacing what stands there,
// or only where nothing does (EEXIST otherwise). 0, or the errno value.
int giveName(int folder, const std::string& temp, const std::string& name, bool replace) {
    if (::renameat2(folder, temp.c_str(), folder, name.c_str(), replace ? 0 : RENAME_NOREPLACE) ==
        0) {
        return 0;
    }
    if (replace || errno != EINVAL) {
        return errno;
    }
    // A file system that cannot rename without replacing: a second name.
    if (::linkat(folder, temp.c_str(), folder, name.c_str(), 0) != 0) {
        return errno;
    }
    ::unlinkat(folder, temp.c_str(), 0);
    return 0;
}

// A new file of mode in folder under a hidden temporary name, locked from its
// making until it is named or removed: its descriptor, or -1 and errno with
// nothing left behind.
int makeTemporary(int folder, mode_t mode, std::string& temp) {
    int fd = -1;
    const auto nameOf = [](std::uint64_t) {
        return std::string(kTempPrefix) + std::to_string(unforeseeableNumber()) +
               std::string(kTempSuffix);
    };
    const int error = onFreeName(nameOf, [&](const std::string& name) {
        temp = name;
        fd = ::openat(folder, name.c_str(),
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
        if (fd < 0) {
            return errno;
        }
        // Not locked yet, it was no one's for a moment: a housekeeper that
        // took it then removes it, and another name is tried.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !namesFile(folder, name.c_str(), fd)) {
            ::close(fd);
            fd = -1;
            return EEXIST;
        }
        return 0;
    });
    // Never "taken": that would let a full logbook be re-created in place.
    errno = error == EEXIST ? EIO : error;
    return fd;
}

// Drops a temporary that is not to be named.
void dropTemporary(int folder, const std::string& temp, int fd) {
    ::unlinkat(folder, temp.c_str(), 0);
    ::close(fd);
}

// An empty logbook of count records, written whole under a temporary name:
// its descriptor, or -1 and errno with nothing left behind.
int makeFresh(int folder, int count, mode_t mode, std::string& temp) {
    const int fd = makeTemporary(folder, mode, temp);
    if (fd < 0) {
        return -1;
    }
    if (const int failed = writeEmpty(fd, count); failed != 0) {
        dropTemporary(folder, temp, fd);
        errno = failed;
        return -1;
    }
    return fd;
}

// Copies the open logbook (fd) to a new file in folder, made under a
// temporary of its own, which takes its name only whole: the time-stamped
// name of the moment, or, when that is taken (by an earlier backup of the
// same second, or by whatever another user put there), that name with a
// number no one can foresee. 0, or the errno value of why no copy was made.
int backUp(int fd, int folder, const std::string& name, const std::tm& local) {
    struct stat st {};
    std::string temp;
    const int out = ::fstat(fd, &st) == 0 ? makeTemporary(folder, st.st_mode & 0777, temp) : -1;
    if (out < 0) {
        return errno;
    }
    std::vector<std::uint8_t> buffer(64 * 1024);
    int error = 0;
    for (off_t at = 0; error == 0 && at < st.st_size;) {
        const std::size_t chunk = static_cast<std::size_t>(
            std::min<off_t>(st.st_size - at, static_cast<off_t>(buffer.size())));
        errno = 0;
        if (!preadAll(fd, buffer.data(), chunk, at) || !pwriteAll(out, buffer.data(), chunk, at)) {
            error = errno != 0 ? errno : EIO;
        }
        at += static_cast<off_t>(chunk);
    }
    std::string named;
    if (error == 0) {
        const auto nameOf = [&](std::uint64_t number) { return backupName(name, local, number); };
        error = onFreeName(nameOf, [&](const std::string& backup) {
            named = backup;
            return giveName(folder, temp, backup, false);
        });
    }
    if (error != 0) {
        dropTemporary(folder, temp, out);
        return error;
    }
    // Unlocked only once named. A copy the system could not finish goes.
    if (::close(out) != 0) {
        error = errno;
        ::unlinkat(folder, named.c_str(), 0);
    }
    return error;
}

// Removes a hidden temporary whose maker is gone (killed while making a fresh
// file or a backup copy): a live maker holds it locked, so one that can be
// locked is no one's. Only a regular file of the user's with no other name is
// taken for one.
void removeAbandoned(int folder, const char* name) {
    const int fd =
        ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat st {};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == ::geteuid() && st.st_nlink == 1 && namesFile(folder, name, fd)) {
        ::unlinkat(folder, name, 0);
    }
    ::close(fd);
}

// The logbook name's backups in folder, listed once; what makers left behind
// is removed on the way, never the logbook itself, whatever its name.
std::vector<std::string> listBackups(int folder, const std::string& name) {
    std::vector<std::string> names;
    const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (dir == nullptr) {
        if (listed >= 0) {
            ::close(listed);
        }
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (isTemporaryName(entry->d_name)) {
            if (name != entry->d_name) {
                removeAbandoned(folder, entry->d_name);
            }
        } else if (isBackupName(name, entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    return names;
}

// Of those backups, the ones that may be deleted, oldest first: regular
// files written before now (on equal times by name), never the logbook
// itself under another name.
std::vector<std::string> oldestFirst(int folder, const std::string& name,
                                     const std::vector<std::string>& backups) {
    struct stat own {};
    const bool ownKnown = ::fstatat(folder, name.c_str(), &own, 0) == 0;
    const auto now = logbookEnvironment()->now();
    std::vector<std::pair<std::chrono::system_clock::time_point, std::string>> dated;
    for (const std::string& backup : backups) {
        struct stat st {};
        if (::fstatat(folder, backup.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && !(ownKnown && sameFile(st, own)) && modificationTime(st) < now) {
            dated.emplace_back(modificationTime(st), backup);
        }
    }
    std::sort(dated.begin(), dated.end());
    std::vector<std::string> out;
    for (auto& [written, backup] : dated) {
        out.push_back(std::move(backup));
    }
    return out;
}

// How often a missing name is looked for again.
constexpr std::chrono::milliseconds kNamePoll{10};

} // namespace

void sanitizeLoadedRecord(LogRecordBytes& record) {
    writeLe32(&record[kLogRecordNewOffset], 0);
    record[kLogRecordTextOffset + kLogRecordTextSize - 1] = 0;
    record[kLogRecordFaceOffset + kLogRecordFaceSize - 1] = 0;
    const std::int64_t height = recordFontHeight(record);
    if (height > kLogMostFontHeight || height < -kLogMostFontHeight) {
        writeLe32(&record[kLogRecordFontOffset], 0);
    }
}

std::int32_t recordFontHeight(const LogRecordBytes& record) {
    return readLe32(&record[kLogRecordFontOffset]);
}

std::optional<std::uint64_t> LogbookEnvironment::freeBytes(const std::string& directory) {
    struct statvfs fs {};
    if (::statvfs(directory.c_str(), &fs) != 0) {
        return std::nullopt;
    }
    // The blocks kept for root count only for root. (Ext4 may give them to one
    // other user or group as well; that is not looked at.)
    const auto blocks = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    return static_cast<std::uint64_t>(blocks) * static_cast<std::uint64_t>(fs.f_frsize);
}

std::chrono::system_clock::time_point LogbookEnvironment::now() {
    return std::chrono::system_clock::now();
}

std::string LogbookEnvironment::currentDirectory() {
    return {};
}

namespace {
platform::CurrentInstance<LogbookEnvironment, LogbookEnvironment>& environments() {
    static platform::CurrentInstance<LogbookEnvironment, LogbookEnvironment> instance;
    return instance;
}
} // namespace

std::shared_ptr<LogbookEnvironment>
setLogbookEnvironment(std::shared_ptr<LogbookEnvironment> environment) {
    return environments().set(std::move(environment));
}

std::shared_ptr<LogbookEnvironment> logbookEnvironment() {
    return environments().get();
}

LogLocalTime localTimeOf(std::chrono::system_clock::time_point moment) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(moment);
    LogLocalTime out;
    const std::time_t t = system_clock::to_time_t(seconds);
    if (::localtime_r(&t, &out.tm) == nullptr) {
        out.tm = std::tm{};
    }
    out.milliseconds = static_cast<int>(duration_cast<milliseconds>(moment - seconds).count());
    return out;
}

LogLocalTime localNow() {
    return localTimeOf(logbookEnvironment()->now());
}

std::string resolveLogPath(const std::string& path) {
    if (path.empty() || path.front() == '/') {
        return path;
    }
    std::string directory = logbookEnvironment()->currentDirectory();
    if (directory.empty()) {
        return path;
    }
    if (directory.back() != '/') {
        directory += '/';
    }
    return directory + path;
}

std::string backupTimeText(const std::tm& local) {
    const int weekday = std::clamp(local.tm_wday, 0, 6);
    const int month = std::clamp(local.tm_mon, 0, 11);
    char text[64];
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kWeekdays[weekday],
                  kMonths[month], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  1900 + local.tm_year);
    std::string out(text);
    std::replace(out.begin(), out.end(), ' ', '_');
    std::replace(out.begin(), out.end(), ':', '-');
    return out;
}

std::string backupName(const std::string& path, const std::tm& local, std::uint64_t number) {
    SplitPath parts = splitPath(path);
    const std::size_t dot = parts.name.find('.');
    parts.name.insert(dot == std::string::npos ? 0 : dot,
                      backupTimeText(local) +
                          (number > 1 ? "_" + std::to_string(number) : std::string()));
    return parts.directory + parts.name;
}

bool isBackupName(const std::string& path, const std::string& fileName) {
    const std::string name = splitPath(path).name;
    const std::size_t dot = name.find('.');
    const std::string prefix = dot == std::string::npos ? std::string() : name.substr(0, dot);
    const std::string suffix = dot == std::string::npos ? name : name.substr(dot);
    if (fileName.size() < prefix.size() + suffix.size() + 21 ||
        fileName.compare(0, prefix.size(), prefix) != 0 ||
        fileName.compare(fileName.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    return isTimeText(
        fileName.substr(prefix.size(), fileName.size() - prefix.size() - suffix.size()));
}

int nextLogIndex(int newest, std::int64_t count) {
    if (newest < 0 || newest > count) {
        return -1;
    }
    if (newest == count) {
        return 0;
    }
    return newest + 1;
}

LogbookFile::~LogbookFile() {
    close();
}

bool LogbookFile::open(const std::string& path, std::string* why) {
    close();
    path_ = path;
    std::string refused;
    fd_ = platform::openOwnFile(resolveLogPath(path).c_str(), O_RDWR, false, false, 0, refused);
    const int error = errno;
    if (why != nullptr) {
        *why = refused;
    }
    errno = error;
    return fd_ >= 0;
}

void LogbookFile::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    locked_ = false;
}

LogbookFile::Lock LogbookFile::lock(int makeCount, bool shared) {
    Lock got = Lock::Held;
    std::optional<platform::TimePoint> missingUntil;
    bool made = false;
    while (!locked_) {
        if (fd_ < 0) {
            std::string why;
            if (const std::string path = path_; open(path, &why)) {
                got = Lock::Reopened;
                continue;
            }
            if (!why.empty() || errno != ENOENT || made) {
                return Lock::Failed;
            }
            if (!missingUntil) {
                // Only the name is missing, not its folder.
                platform::SafeFolder place;
                if (!platform::reachOwnFolder(resolveLogPath(path_).c_str(), place, why)) {
                    return Lock::Failed;
                }
                missingUntil = platform::addSaturating(platform::now(), platform::kFileLockWait);
            }
            if (platform::now() < *missingUntil) {
                if (!platform::sleepFor(kNamePoll)) {
                    return Lock::Failed;
                }
                continue;
            }
            // No one brings a file (a writer was killed between its
            // renames): one is made where none stands, replacing nothing.
            made = true;
            if (makeCount < 1 || !makeMissingLogFile(path_, makeCount)) {
                return Lock::Failed;
            }
            continue;
        }
        if (platform::lockFileWithin(fd_, platform::kFileLockWait, shared) != 0) {
            return Lock::Failed;
        }
        struct stat mine {};
        struct stat named {};
        if (::fstat(fd_, &mine) == 0 && ::lstat(resolveLogPath(path_).c_str(), &named) == 0 &&
            sameFile(mine, named)) {
            locked_ = true;
        } else {
            // Follow the file the name stands for now.
            close();
        }
    }
    return got;
}

void LogbookFile::unlock() {
    if (locked_) {
        ::flock(fd_, LOCK_UN);
        locked_ = false;
    }
}

void LogbookFile::adopt(int fresh) {
    ::close(fd_);
    fd_ = fresh;
    locked_ = true;
}

// Without room for a copy: the file becomes the backup by a rename, and a
// fresh file, made whole before, takes its name. 0, or the errno value of
// why not; the file then is where it was, with its records.
int LogbookFile::moveAside(int folder, const std::string& name, int count, unsigned mode) {
    std::string temp, backup;
    const int fresh = makeFresh(folder, count, mode, temp);
    if (fresh < 0) {
        return errno;
    }
    const auto nameOf = [&](std::uint64_t number) {
        return backupName(name, localNow().tm, number);
    };
    int error = onFreeName(nameOf, [&](const std::string& taken) {
        backup = taken;
        return ::renameat2(folder, name.c_str(), folder, taken.c_str(), RENAME_NOREPLACE) == 0
                   ? 0
                   : errno;
    });
    if (error == 0) {
        error = giveName(folder, temp, name, false);
        // Another process made a new logbook there meanwhile: that one is
        // taken. Failing otherwise, the file goes back.
        if (error == EEXIST) {
            ::unlinkat(folder, temp.c_str(), 0);
            ::close(fresh);
            close();
            return lock(count) != Lock::Failed ? 0 : EIO;
        }
        if (error != 0) {
            // Back where it was, it keeps its records: never re-created in
            // place.
            ::renameat2(folder, backup.c_str(), folder, name.c_str(), RENAME_NOREPLACE);
            error = noSecondFile(error) ? EIO : error;
        }
    }
    if (error != 0) {
        ::unlinkat(folder, temp.c_str(), 0);
        ::close(fresh);
        return error;
    }
    adopt(fresh);
    return 0;
}

bool LogbookFile::recreate(int count, bool backup, const LogDiskPolicy& policy) {
    const std::string resolved = resolveLogPath(path_);
    platform::SafeFolder place;
    struct stat st {};
    if (!locked_ || count < 0 || !reachOwnName(fd_, path_, place, st)) {
        return false;
    }
    if (backup && st.st_size > 0) {
        int error = checkDiskSpace(path_, policy)
                        ? backUp(fd_, place.fd(), place.name(), localNow().tm)
                        : ENOSPC;
        if (noRoom(error)) {
            error = moveAside(place.fd(), place.name(), count, st.st_mode & 0777);
            if (error == 0) {
                return true;
            }
        }
        if (error != 0 && !noSecondFile(error)) {
            std::fprintf(stderr,
                         "%s: no backup can be made (%s): the full logbook keeps its records "
                         "and takes no entry\n",
                         resolved.c_str(), std::strerror(error));
            return false;
        }
        if (error != 0) {
            std::fprintf(stderr,
                         "%s: no backup can be made (%s): the logbook is re-created "
                         "without one\n",
                         resolved.c_str(), std::strerror(error));
        }
    }
    return writeEmpty(fd_, count) == 0;
}

bool LogbookFile::remakeUnfinished(int count) {
    struct stat st {};
    if (!locked_ || count < 1 || ::fstat(fd_, &st) != 0 || st.st_size >= recordOffset(count + 1) ||
        (st.st_size > static_cast<off_t>(kLogHeaderSize) &&
         (st.st_size - static_cast<off_t>(kLogHeaderSize)) % static_cast<off_t>(kLogRecordSize) ==
             0)) {
        return false;
    }
    std::vector<std::uint8_t> held(static_cast<std::size_t>(st.st_size));
    if (!preadAll(fd_, held.data(), held.size(), 0) ||
        std::any_of(held.begin(), held.end(), [](std::uint8_t b) { return b != 0; })) {
        return false;
    }
    platform::SafeFolder place;
    std::string temp;
    if (!reachOwnName(fd_, path_, place, st)) {
        return false;
    }
    const int fresh = makeFresh(place.fd(), count, st.st_mode & 0777, temp);
    if (fresh >= 0 && giveName(place.fd(), temp, place.name(), true) == 0) {
        adopt(fresh);
        return true;
    }
    if (fresh >= 0) {
        ::unlinkat(place.fd(), temp.c_str(), 0);
        ::close(fresh);
    }
    return false;
}

int LogbookFile::readHeader() const {
    std::uint8_t bytes[kLogHeaderSize];
    if (fd_ < 0 || !preadAll(fd_, bytes, sizeof bytes, 0)) {
        return -1;
    }
    return readLe32(bytes);
}

bool LogbookFile::writeHeader(std::int32_t newest) {
    std::uint8_t bytes[kLogHeaderSize];
    writeLe32(bytes, newest);
    return fd_ >= 0 && pwriteAll(fd_, bytes, sizeof bytes, 0);
}

bool LogbookFile::readRecord(int index, LogRecordBytes& out) const {
    return fd_ >= 0 && index >= 1 && preadAll(fd_, out.data(), out.size(), recordOffset(index));
}

bool LogbookFile::writeRecord(int index, const LogRecordBytes& record) {
    return fd_ >= 0 && index >= 1 &&
           pwriteAll(fd_, record.data(), record.size(), recordOffset(index));
}

std::int64_t LogbookFile::recordCount() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        return -1;
    }
    return countOfLength(st.st_size);
}

std::int64_t LogbookFile::recordCount(const std::string& path) {
    LogbookFile file;
    return file.open(path) ? file.recordCount() : -1;
}

bool LogbookFile::exists(const std::string& path) {
    LogbookFile file;
    return file.open(path);
}

bool LogbookFile::load(std::int64_t expectedCount,
                       const std::function<bool(int, LogRecordBytes&)>& add) const {
    std::uint8_t header[kLogHeaderSize];
    if (recordCount() != expectedCount || fd_ < 0 || !preadAll(fd_, header, sizeof header, 0)) {
        return false;
    }
    // Records behind the newest index are unused: never read, never shown.
    const std::int64_t shown = std::min<std::int64_t>(readLe32(header), expectedCount);
    for (int i = 1; i <= shown; ++i) {
        LogRecordBytes record;
        if (!readRecord(i, record)) {
            return false;
        }
        sanitizeLoadedRecord(record);
        if (!add(i, record)) {
            return false;
        }
    }
    return true;
}

bool checkDiskSpace(const std::string& path, const LogDiskPolicy& policy) {
    const std::string resolved = resolveLogPath(path);
    const std::string directory = directoryOf(resolved);
    std::shared_ptr<LogbookEnvironment> environment = logbookEnvironment();
    platform::SafeFolder place;
    std::string why;
    const bool reached = !path.empty() && platform::reachOwnFolder(resolved.c_str(), place, why);
    const std::vector<std::string> backups =
        reached ? listBackups(place.fd(), place.name()) : std::vector<std::string>{};
    // The backups are dated only once one has to go, and deleted from that
    // one list: the cost grows with what is deleted.
    std::optional<std::vector<std::string>> deletable;
    std::size_t next = 0;
    while (true) {
        const std::optional<std::uint64_t> free = environment->freeBytes(directory);
        if (!free) {
            return false;
        }
        if (*free >= policy.minFreeBytes) {
            return true;
        }
        if (!policy.autoDeleteOldLogs || !reached) {
            return false;
        }
        if (!deletable) {
            deletable = oldestFirst(place.fd(), place.name(), backups);
        }
        bool deleted = false;
        while (!deleted && next < deletable->size()) {
            deleted = ::unlinkat(place.fd(), (*deletable)[next++].c_str(), 0) == 0;
        }
        if (!deleted) {
            return false;
        }
    }
}

bool deleteOldestBackup(const std::string& path) {
    const std::string resolved = resolveLogPath(path);
    platform::SafeFolder place;
    std::string why;
    if (path.empty() || !platform::reachOwnFolder(resolved.c_str(), place, why)) {
        return false;
    }
    const std::vector<std::string> oldest =
        oldestFirst(place.fd(), place.name(), listBackups(place.fd(), place.name()));
    return !oldest.empty() && ::unlinkat(place.fd(), oldest.front().c_str(), 0) == 0;
}

bool makeMissingLogFile(const std::string& path, int count) {
    const std::string resolved = resolveLogPath(path);
    platform::SafeFolder place;
    std::string why, temp;
    if (count < 0 || path.empty() || !platform::reachOwnFolder(resolved.c_str(), place, why)) {
        notWritten(resolved, why);
        return false;
    }
    int error = EEXIST;
    struct stat st {};
    if (::fstatat(place.fd(), place.name().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        // What makers killed meanwhile left (a writer between its renames
        // among them) takes room the fresh file may need, and holds no entry:
        // entries go only to the file that stands at the name.
        listBackups(place.fd(), place.name());
        const int fresh = makeFresh(place.fd(), count, 0600, temp);
        if (fresh < 0) {
            return false;
        }
        error = giveName(place.fd(), temp, place.name(), false);
        if (error != 0) {
            ::unlinkat(place.fd(), temp.c_str(), 0);
        }
        ::close(fresh);
    }
    // Something stands there: another process's new logbook, or what
    // opening refuses.
    return error == 0 || (error == EEXIST && LogbookFile::exists(path));
}

bool createLogFile(const std::string& path, int count, bool backup, const LogDiskPolicy& policy) {
    if (count < 0 || path.empty()) {
        return false;
    }
    LogbookFile file;
    std::string why;
    if (!file.open(path, &why)) {
        notWritten(resolveLogPath(path), why);
        return why.empty() && makeMissingLogFile(path, count);
    }
    return file.lock() != LogbookFile::Lock::Failed && file.recreate(count, backup, policy);
}

} // namespace glimra
