#pragma once
// The bounded wait for an advisory lock on a file that several processes
// change: whoever may read the file may hold a lock on it as long as he likes,
// so no one waits for it for ever.

#include "platform/clock.h"

#include <chrono>

namespace platform {

// How long a change waits for the lock of a file others hold.
inline constexpr std::chrono::seconds kFileLockWait{5};

// Takes an exclusive flock() on fd (a shared one, for a reader, with shared
// set), waiting on the platform clock at most wait for whoever holds it. 0,
// EWOULDBLOCK when the wait ran out, or the errno value of a lock that cannot
// be had.
int lockFileWithin(int fd, Duration wait, bool shared = false);

} // namespace platform
