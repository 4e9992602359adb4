#include "platform/own_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

int openOwnFile(const char* path, int access, bool create, bool truncate, mode_t mode,
                std::string& why) {
    // Nothing is truncated before the file is known to be the user's.
    const int flags =
        access | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | (create ? O_CREAT : 0);
    const int fd = ::open(path, flags, mode);
    if (fd < 0) {
        // A pipe without a reader refuses a writer that would not wait.
        why = errno == ELOOP ? "is a symbolic link" : errno == ENXIO ? "is not a regular file" : "";
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        why.clear();
    } else if (!S_ISREG(st.st_mode)) {
        why = "is not a regular file";
    } else if (st.st_uid != ::geteuid()) {
        why = "belongs to another user";
    } else if (st.st_nlink != 1) {
        why = "has other names (hard links)";
    } else if ((truncate && ::ftruncate(fd, 0) != 0) ||
               ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        why.clear();
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

} // namespace platform
