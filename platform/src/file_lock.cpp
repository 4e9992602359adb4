#include "platform/file_lock.h"

#include <cerrno>

#include <sys/file.h>

namespace platform {

int lockFileWithin(int fd, Duration wait, bool shared) {
    const TimePoint deadline = addSaturating(now(), wait);
    for (;;) {
        if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return errno;
        }
        if (now() >= deadline || !sleepFor(std::chrono::milliseconds(10))) {
            return EWOULDBLOCK;
        }
    }
}

} // namespace platform
