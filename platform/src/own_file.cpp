#include "platform/own_file.h"

#include "platform/file_lock.h"
#include "text_file_io.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Why what stands at a path is not the user's own file; empty when it is.
// Without owner, any regular file will do.
std::string refusal(const struct stat& st, bool owner = true) {
    if (S_ISLNK(st.st_mode)) {
        return "is a symbolic link";
    }
    if (S_ISDIR(st.st_mode)) {
        return "is a folder";
    }
    if (!S_ISREG(st.st_mode)) {
        return "is not a regular file";
    }
    if (!owner) {
        return {};
    }
    if (st.st_uid != ::geteuid()) {
        return "belongs to another user";
    }
    if (st.st_nlink != 1) {
        return "has other names (hard links)";
    }
    return {};
}

std::string named(const char* path, const std::string& what) {
    return std::string(path) + " " + what;
}

// Whether others may put something at a name in the folder reached.
bool othersMayPlant(const SafeFolder& place) {
    return place.shared() || !place.chainSafe();
}

// A file-size limit fails a write with EFBIG, as a full disk does, rather
// than kill the process (and lose what it holds): where SIGXFSZ still has its
// default action, a file opened for writing ignores it.
void surviveFileSizeLimit() {
    struct sigaction action {};
    if (::sigaction(SIGXFSZ, nullptr, &action) == 0 && (action.sa_flags & SA_SIGINFO) == 0 &&
        action.sa_handler == SIG_DFL) {
        ::signal(SIGXFSZ, SIG_IGN);
    }
}

// Whether the path as written ends in "/" or "/.", so names a folder.
bool namesFolder(std::string_view path) {
    return path.ends_with('/') || path == "." || path.ends_with("/.");
}

// Whether the user may write the file st describes, at name in folder.
bool writable(int folder, const char* name, const struct stat& st) {
    return st.st_uid == ::geteuid() ? (st.st_mode & S_IWUSR) != 0
                                    : ::faccessat(folder, name, W_OK, AT_EACCESS) == 0;
}

// judgeFileToWrite, leaving place at the folder of the file to write and
// found at what stands at its name (st_mode 0 for nothing).
int judgeTarget(const char* path, SafeFolder& place, std::string& why, struct stat& found) {
    why.clear();
    found = {};
    if (path == nullptr || *path == '\0') {
        return ENOENT;
    }
    const int rc = place.open(path, true);
    if (rc == ELOOP) {
        // Only how the refusal is worded: nothing is opened by this name.
        struct stat st {};
        why = named(path, ::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)
                              ? "is a symbolic link in a folder others may write"
                              : "is reached through a link in a folder others may write");
        return rc;
    }
    if ((rc == ENOTDIR || rc == ENOENT) && namesFolder(path)) {
        why = named(path, rc == ENOTDIR ? "names a folder (it ends in /), and a file stands there"
                                        : "names a folder (it ends in /), and there is none");
    }
    if (rc != 0) {
        return rc;
    }
    if (place.name().empty()) {
        why = named(path, "is a folder");
        return EISDIR;
    }
    if (::fstatat(place.fd(), place.name().c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) {
        found = {};
        return errno == ENOENT ? 0 : errno; // a new file
    }
    // Where others may put something at the name, only the user's own file is taken.
    if (const std::string what = refusal(found, othersMayPlant(place)); !what.empty()) {
        why = named(path, what);
        return S_ISDIR(found.st_mode) ? EISDIR : EPERM;
    }
    // A read-only file is kept, as the system keeps it from a plain writer.
    if (!writable(place.fd(), place.name().c_str(), found)) {
        why = named(path, "is read-only");
        return EACCES;
    }
    return 0;
}

} // namespace

bool reachOwnFolder(const char* path, SafeFolder& place, std::string& why) {
    why.clear();
    if (path == nullptr || *path == '\0') {
        errno = ENOENT;
        return false;
    }
    const int rc = place.open(path, false);
    if (!place.chainSafe() || rc == ELOOP) {
        why = !place.chainSafe() ? "lies in or under a folder another user may change"
                                 : "is reached through a link where others may write";
        if (!place.why().empty()) {
            why += " (" + place.why() + ")";
        }
    } else if (rc == 0 && place.name().empty()) {
        why = "is a folder";
    } else if (rc == 0) {
        return true;
    }
    place.close();
    errno = rc != 0 ? rc : EPERM;
    return false;
}

namespace {

// openOwnFile, where owner says whether only the user's own file with no
// other name is kept, or any regular file.
int openChecked(int folder, const char* name, int access, bool create, bool truncate, mode_t mode,
                bool owner, std::string& why) {
    surviveFileSizeLimit();
    // Nothing is truncated before what stands there is judged.
    const int flags =
        access | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
    const int fd = ::openat(folder, name, flags, mode);
    if (fd < 0) {
        // The system refuses some plants itself (a folder, a pipe without a
        // reader, another user's link in a sticky folder): what stands there
        // says why.
        const int error = errno;
        struct stat st {};
        why = ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? refusal(st, owner) : "";
        errno = error;
        return -1;
    }
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    why = known ? refusal(st, owner) : "";
    if (known && why.empty() && (!truncate || ::ftruncate(fd, 0) == 0) &&
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
        return fd;
    }
    ::close(fd);
    if (!why.empty()) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EPERM;
    }
    return -1;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether name is one of the temporaries of target: its prefix, a process id,
// "." and a counter.
bool isTemporaryOf(std::string_view name, const std::string& target) {
    const std::string prefix = detail::tempFilePrefix(target);
    if (name == target || !name.starts_with(prefix)) {
        return false;
    }
    name.remove_prefix(prefix.size());
    const std::size_t dot = name.find('.');
    const auto digits = [](std::string_view part) {
        return !part.empty() && part.find_first_not_of("0123456789") == std::string_view::npos;
    };
    return dot != std::string_view::npos && digits(name.substr(0, dot)) &&
           digits(name.substr(dot + 1));
}

// A temporary is locked by its maker for as long as it lives: one that no
// one holds was left by a saver that was killed, and goes with the next save.
void removeLeftTemporaries(int folder, const std::string& target) {
    const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (dir == nullptr) {
        if (listed >= 0) {
            ::close(listed);
        }
        return; // a folder the user may not list keeps them
    }
    std::vector<std::string> left;
    while (const dirent* entry = ::readdir(dir)) {
        if (isTemporaryOf(entry->d_name, target)) {
            left.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    for (const std::string& name : left) {
        const int fd = ::openat(folder, name.c_str(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat own {};
        struct stat there {};
        if (fd >= 0 && ::fstat(fd, &own) == 0 && refusal(own).empty() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(own, there)) {
            ::unlinkat(folder, name.c_str(), 0);
        }
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

} // namespace

int openOwnFile(int folder, const char* name, int access, bool create, bool truncate, mode_t mode,
                std::string& why) {
    return openChecked(folder, name, access, create, truncate, mode, true, why);
}

int openOwnFile(const char* path, int access, bool create, bool truncate, mode_t mode,
                std::string& why) {
    SafeFolder place;
    if (!reachOwnFolder(path, place, why)) {
        return -1;
    }
    return openOwnFile(place.fd(), place.name().c_str(), access, create, truncate, mode, why);
}

int createNewFile(int folder, const char* name, mode_t mode) {
    surviveFileSizeLimit();
    return ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                    mode);
}

mode_t currentUmask() {
    std::FILE* status = std::fopen("/proc/self/status", "re");
    unsigned mask = 077;
    if (status != nullptr) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr &&
               std::sscanf(line, "Umask: %o", &mask) != 1) {
        }
        std::fclose(status);
    }
    return static_cast<mode_t>(mask & 0777);
}

std::FILE* openStream(const char* path, const char* mode) {
    const bool write = std::strcmp(mode, "wb") == 0;
    if (!write && std::strcmp(mode, "rb") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    std::string why;
    int fd = -1;
    if (write) {
        fd = openFileToWrite(path, why);
    } else {
        // Never waits for a pipe's writer: only a regular file is read.
        fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        struct stat st {};
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
                        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
            ::close(fd);
            fd = -1;
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        }
    }
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, mode);
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
}

int judgeFileToWrite(const char* path, std::string& why) {
    SafeFolder place;
    struct stat found {};
    return judgeTarget(path, place, why, found);
}

int openFileToWrite(const char* path, std::string& why) {
    SafeFolder place;
    struct stat found {};
    if (const int rc = judgeTarget(path, place, why, found); rc != 0) {
        errno = rc;
        return -1;
    }
    // In the user's own folders any regular file will do, as for a replacement.
    const int fd = openChecked(place.fd(), place.name().c_str(), O_WRONLY, true, true, 0666,
                               othersMayPlant(place), why);
    if (fd < 0 && !why.empty()) {
        why = named(path, why);
    }
    return fd;
}

std::string failureText(int error, const std::string& why) {
    return why.empty() ? std::strerror(error) : why;
}

int FileReplacement::open(const char* path, std::string& why) {
    SafeFolder place;
    struct stat found {};
    if (const int rc = judgeTarget(path, place, why, found); rc != 0) {
        return rc;
    }
    const int rc = begin(place.fd(), place.name().c_str(), found);
    // A folder the user may not write, that no one else may change either
    // (root's): the user's own file there is written in place.
    if (rc == EACCES && !othersMayPlant(place) && S_ISREG(found.st_mode) &&
        refusal(found).empty()) {
        const int inPlace = beginInPlace(place.fd(), place.name().c_str(), why);
        if (inPlace != 0 && !why.empty()) {
            why = named(path, why);
        }
        return inPlace;
    }
    return rc;
}

int FileReplacement::open(int folder, const char* name) {
    struct stat found {};
    if (::fstatat(folder, name, &found, AT_SYMLINK_NOFOLLOW) != 0) {
        found = {};
    }
    return begin(folder, name, found);
}

int FileReplacement::begin(int folder, const char* name, const struct stat& found) {
    static std::atomic<unsigned> counter{0};
    abort();
    surviveFileSizeLimit();
    // Decided now, from what stands there: whatever another user puts at the
    // name meanwhile widens nothing. The user's own file with one name hands
    // on its mode and group (another's could be set-id); else the umask's,
    // and never wider than a file found there.
    mode_ = 0666 & ~currentUmask();
    group_ = static_cast<gid_t>(-1);
    if (S_ISREG(found.st_mode) && refusal(found).empty()) {
        mode_ = found.st_mode & 07777;
        group_ = found.st_gid;
    } else if (S_ISREG(found.st_mode)) {
        mode_ &= found.st_mode;
    }
    folder_ = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (folder_ < 0) {
        return errno;
    }
    name_ = name;
    removeLeftTemporaries(folder_, name_);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temp_ = detail::tempFilePrefix(name_) + std::to_string(::getpid()) + "." +
                std::to_string(counter.fetch_add(1));
        // The owner's alone while written: whoever opened it now could read
        // every byte written later, even where the file's mode refuses them.
        fd_ = ::openat(folder_, temp_.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
        // Held until closed, so that no other save takes it for a dead
        // saver's; one that is being cleared away is left to its clearer.
        struct stat own {};
        struct stat there {};
        if (fd_ >= 0 && ((::flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ||
                         ::fstat(fd_, &own) != 0 ||
                         ::fstatat(folder_, temp_.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
                         !sameFile(own, there))) {
            ::close(fd_);
            fd_ = -1;
            errno = EEXIST;
        }
    }
    if (fd_ < 0) {
        const int error = errno;
        temp_.clear();
        close();
        return error;
    }
    return 0;
}

int FileReplacement::beginInPlace(int folder, const char* name, std::string& why) {
    abort();
    target_ = openChecked(folder, name, O_WRONLY, false, false, 0, true, why);
    if (target_ < 0) {
        return errno;
    }
    // The data gathers in memory; the file is written only once it is whole.
    fd_ = ::memfd_create("file-replacement", MFD_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        close();
        return error;
    }
    return 0;
}

int FileReplacement::write(std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd_, data.data(), data.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

namespace {

// Copies the whole of from over to, which ends where from ends. Room is taken
// first, so that a full disk or a size limit leaves the old file as it was.
int copyOver(int from, int to) {
    struct stat st {};
    if (::fstat(from, &st) != 0) {
        return errno;
    }
    if (st.st_size > 0 && ::fallocate(to, 0, 0, st.st_size) != 0 && errno != EOPNOTSUPP) {
        return errno;
    }
    char buffer[65536];
    for (off_t at = 0; at < st.st_size;) {
        const ssize_t n = ::pread(from, buffer, sizeof buffer, at);
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::pwrite(to, buffer + done, static_cast<size_t>(n - done), at + done);
            if (w <= 0) {
                return w < 0 ? errno : EIO;
            }
            done += w;
        }
        at += n;
    }
    return ::ftruncate(to, st.st_size) == 0 && ::fsync(to) == 0 ? 0 : errno;
}

} // namespace

int FileReplacement::commit(std::string& why) {
    why.clear();
    if (fd_ < 0) {
        return EBADF;
    }
    if (detail::tempFileWritten != nullptr) {
        detail::tempFileWritten(fd_);
    }
    if (target_ >= 0) {
        // Another save in place at once would interleave its writes with ours.
        int rc = lockFileWithin(target_, kFileLockWait);
        if (rc == EWOULDBLOCK) {
            why = "another program holds the file locked";
        } else {
            rc = copyOver(fd_, target_); // also where the file system has no locks
        }
        close();
        return rc;
    }
    struct stat own {};
    if (::fstat(fd_, &own) != 0) {
        const int error = errno;
        abort();
        return error;
    }
    // Nor is the file readable by a wider group than the one it replaces.
    mode_t mode = mode_;
    if (group_ != static_cast<gid_t>(-1) && group_ != own.st_gid &&
        ::fchown(fd_, static_cast<uid_t>(-1), group_) != 0) {
        mode &= ~static_cast<mode_t>(S_IRWXG);
    }
    int rc = ::fchmod(fd_, mode) == 0 && ::fsync(fd_) == 0 ? 0 : errno;
    if (rc == 0 && ::renameat(folder_, temp_.c_str(), folder_, name_.c_str()) != 0) {
        rc = errno;
    }
    if (rc != 0) {
        abort();
        return rc;
    }
    // Another user who may change the folder could have put something else
    // at the temporary's name before the rename: then the target is not ours.
    struct stat now {};
    if (::fstatat(folder_, name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameFile(now, own)) {
        ::fchmod(fd_, 0600); // wherever it went, not for others to read
        why = "its temporary file was replaced before it took its place; another user may "
              "change the folder";
        temp_.clear(); // the name is not ours to remove
        close();
        return EBUSY;
    }
    temp_.clear();
    // Make the rename itself durable; failing here loses nothing already written.
    const int dir = ::openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    close();
    return 0;
}

void FileReplacement::abort() {
    struct stat own {};
    struct stat there {};
    if (fd_ >= 0 && !temp_.empty() && ::fstat(fd_, &own) == 0 &&
        ::fstatat(folder_, temp_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(own, there)) {
        ::unlinkat(folder_, temp_.c_str(), 0);
    }
    temp_.clear();
    close();
}

void FileReplacement::close() {
    for (int* fd : {&fd_, &folder_, &target_}) {
        if (*fd >= 0) {
            ::close(*fd);
        }
        *fd = -1;
    }
    name_.clear();
}

} // namespace platform
