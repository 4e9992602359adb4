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

int openOwnFile(int folder, const char* name, int access, bool create, bool truncate, mode_t mode,
                std::string& why) {
    // Nothing is truncated before the file is known to be the user's.
    const int flags =
        access | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
    const int fd = ::openat(folder, name, flags, mode);
    if (fd < 0) {
        // The system refuses some plants itself (a folder, a pipe without a
        // reader, another user's link in a sticky folder): what stands there
        // says why.
        const int error = errno;
        struct stat st {};
        why = ::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 ? refusal(st) : "";
        errno = error;
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
