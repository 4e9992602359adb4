#include "platform/own_file.h"

#include "text_file_io.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
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

// judgeFileToWrite, leaving place at the folder of the file to write.
int judgeTarget(const char* path, SafeFolder& place, std::string& why) {
    why.clear();
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
    if (rc != 0) {
        return rc;
    }
    if (place.name().empty()) {
        why = named(path, "is a folder");
        return EISDIR;
    }
    struct stat st {};
    if (::fstatat(place.fd(), place.name().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? 0 : errno; // a new file
    }
    // Where others may put something at the name, only the user's own file is taken.
    const std::string what = refusal(st, othersMayPlant(place));
    if (what.empty()) {
        return 0;
    }
    why = named(path, what);
    return S_ISDIR(st.st_mode) ? EISDIR : EPERM;
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
    return judgeTarget(path, place, why);
}

int openFileToWrite(const char* path, std::string& why) {
    SafeFolder place;
    if (const int rc = judgeTarget(path, place, why); rc != 0) {
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
    const int rc = judgeTarget(path, place, why);
    return rc != 0 ? rc : open(place.fd(), place.name().c_str());
}

int FileReplacement::open(int folder, const char* name) {
    static std::atomic<unsigned> counter{0};
    abort();
    folder_ = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (folder_ < 0) {
        return errno;
    }
    name_ = name;
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
    }
    if (fd_ < 0) {
        const int error = errno;
        temp_.clear();
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

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
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
    struct stat own {};
    struct stat old {};
    if (::fstat(fd_, &own) != 0) {
        const int error = errno;
        abort();
        return error;
    }
    // Only the user's own file hands its mode on: another's could be set-id.
    // Nor is the file readable by a wider group than the one it replaces.
    const bool keep = ::fstatat(folder_, name_.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISREG(old.st_mode) && old.st_uid == ::geteuid();
    mode_t mode = keep ? old.st_mode & 07777 : 0666 & ~currentUmask();
    if (keep && old.st_gid != own.st_gid &&
        ::fchown(fd_, static_cast<uid_t>(-1), old.st_gid) != 0) {
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
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (folder_ >= 0) {
        ::close(folder_);
    }
    fd_ = -1;
    folder_ = -1;
    name_.clear();
}

} // namespace platform
