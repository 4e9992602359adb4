#include "platform/own_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Why what stands at a path is not the user's own file; empty when it is.
std::string refusal(const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        return "is a symbolic link";
    }
    if (S_ISDIR(st.st_mode)) {
        return "is a folder";
    }
    if (!S_ISREG(st.st_mode)) {
        return "is not a regular file";
    }
    if (st.st_uid != ::geteuid()) {
        return "belongs to another user";
    }
    if (st.st_nlink != 1) {
        return "has other names (hard links)";
    }
    return {};
}

} // namespace

int openOwnFile(const char* path, int access, bool create, bool truncate, mode_t mode,
                std::string& why) {
    // Nothing is truncated before the file is known to be the user's.
    const int flags =
        access | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
    const int fd = ::open(path, flags, mode);
    if (fd < 0) {
        // The system refuses some plants itself (a folder, a pipe without a
        // reader, another user's link in a sticky folder): what stands there
        // says why.
        struct stat st {};
        why = ::lstat(path, &st) == 0 ? refusal(st) : "";
        return -1;
    }
    struct stat st {};
    const bool known = ::fstat(fd, &st) == 0;
    why = known ? refusal(st) : "";
    if (known && why.empty() && (!truncate || ::ftruncate(fd, 0) == 0) &&
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
        return fd;
    }
    ::close(fd);
    return -1;
}

int createNewFile(const char* path, mode_t mode) {
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, mode);
}

std::FILE* openStream(const char* path, const char* mode) {
    const bool write = std::strcmp(mode, "wb") == 0;
    if (!write && std::strcmp(mode, "rb") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    const int fd = ::open(
        path, (write ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY) | O_CLOEXEC | O_NOCTTY, 0666);
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

} // namespace platform
