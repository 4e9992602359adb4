// The logbook file: header, records, re-creation with a backup copy, and the
// free-space housekeeping.

#include "glimra/logbookfile.h"

#include "platform/own_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
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

// Names a backup may take when the earlier ones are taken.
constexpr int kMostBackupNames = 100;

// Copies the open logbook to a new file under the first free backup name of
// the moment; a name already taken (an earlier backup of the same second, or
// whatever another user put there) is never written through. False when no
// copy was made.
bool backUp(int fd, const std::string& path, const std::tm& local) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    for (int number = 1; number <= kMostBackupNames; ++number) {
        const std::string name = backupName(path, local, number);
        const int out = platform::createNewFile(name.c_str(), st.st_mode & 0777);
        if (out < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        std::vector<std::uint8_t> buffer(64 * 1024);
        bool ok = true;
        for (off_t at = 0; ok && at < st.st_size;) {
            const std::size_t chunk = static_cast<std::size_t>(
                std::min<off_t>(st.st_size - at, static_cast<off_t>(buffer.size())));
            ok = preadAll(fd, buffer.data(), chunk, at) && pwriteAll(out, buffer.data(), chunk, at);
            at += static_cast<off_t>(chunk);
        }
        ok = ::close(out) == 0 && ok;
        if (!ok) {
            ::unlink(name.c_str());
        }
        return ok;
    }
    return false;
}

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
    return static_cast<std::uint64_t>(fs.f_bfree) * static_cast<std::uint64_t>(fs.f_frsize);
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

std::string backupName(const std::string& path, const std::tm& local, int number) {
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

bool LogbookFile::open(const std::string& path) {
    close();
    std::string why;
    fd_ = platform::openOwnFile(resolveLogPath(path).c_str(), O_RDWR, false, false, 0, why);
    return fd_ >= 0;
}

void LogbookFile::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
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
    const std::string directory = directoryOf(resolveLogPath(path));
    std::shared_ptr<LogbookEnvironment> environment = logbookEnvironment();
    while (true) {
        const std::optional<std::uint64_t> free = environment->freeBytes(directory);
        if (!free) {
            return false;
        }
        if (*free >= policy.minFreeBytes) {
            return true;
        }
        if (!policy.autoDeleteOldLogs || !deleteOldestBackup(path)) {
            return false;
        }
    }
}

bool deleteOldestBackup(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    const std::string resolved = resolveLogPath(path);
    const std::string directory = directoryOf(resolved);
    struct stat own {};
    const bool ownKnown = ::stat(resolved.c_str(), &own) == 0;

    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str()); dir != nullptr) {
        while (const dirent* entry = ::readdir(dir)) {
            if (isBackupName(resolved, entry->d_name)) {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());

    const auto now = logbookEnvironment()->now();
    std::string oldest;
    std::chrono::system_clock::time_point oldestTime = now;
    for (const std::string& name : names) {
        const std::string candidate = directory + (directory.back() == '/' ? "" : "/") + name;
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            (ownKnown && st.st_dev == own.st_dev && st.st_ino == own.st_ino)) {
            continue;
        }
        const auto written = modificationTime(st);
        if (written < oldestTime) {
            oldestTime = written;
            oldest = candidate;
        }
    }
    return !oldest.empty() && ::unlink(oldest.c_str()) == 0;
}

bool createLogFile(const std::string& path, int count, bool backup, const LogDiskPolicy& policy) {
    if (count < 0 || path.empty()) {
        return false;
    }
    // The backup is read from the logbook opened here, the user's own file;
    // the logbook stays as it is when no backup could be made.
    const std::string resolved = resolveLogPath(path);
    std::string why;
    const int fd = platform::openOwnFile(resolved.c_str(), O_RDWR, true, false, 0600, why);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 ||
        (backup && checkDiskSpace(path, policy) && st.st_size > 0 &&
         !backUp(fd, resolved, localNow().tm)) ||
        ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return false;
    }
    // Header 0, then the zero records, in large writes.
    std::vector<std::uint8_t> zeros(64 * kLogRecordSize, 0);
    bool ok = pwriteAll(fd, zeros.data(), kLogHeaderSize, 0);
    off_t offset = static_cast<off_t>(kLogHeaderSize);
    std::int64_t left =
        static_cast<std::int64_t>(count) * static_cast<std::int64_t>(kLogRecordSize);
    while (ok && left > 0) {
        const std::size_t chunk = static_cast<std::size_t>(
            std::min<std::int64_t>(left, static_cast<std::int64_t>(zeros.size())));
        ok = pwriteAll(fd, zeros.data(), chunk, offset);
        offset += static_cast<off_t>(chunk);
        left -= static_cast<std::int64_t>(chunk);
    }
    ::close(fd);
    return ok;
}

} // namespace glimra
