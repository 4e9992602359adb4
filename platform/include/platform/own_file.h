#pragma once
// Files a program writes on its own behalf, such as its logs, in a folder
// that others may share: written only when what stands there is the user's.

#include <cstdio>
#include <string>

#include <sys/types.h>

namespace platform {

// Opens path with access O_WRONLY or O_RDWR; with create, makes a missing
// file with mode (less the umask). Never through a symbolic link, never
// blocking on a pipe or device and never taking a terminal as the controlling
// one; kept only when it is a regular file of the calling user with no other
// name (a hard link would carry the writes to a file named elsewhere), and
// truncated then when truncate is set. Answers the descriptor (close-on-exec,
// blocking from then on), or -1 with why saying what stood there ("is a
// symbolic link", "is a folder", ...), also where the system refused it (as
// in a sticky folder), empty when nothing stood in the way but the open
// failed (a missing folder, no permission).
int openOwnFile(const char* path, int access, bool create, bool truncate, mode_t mode,
                std::string& why);

// Creates path as a new file for writing, with mode (less the umask): fails
// with EEXIST when any name stands there, a link included, which is never
// followed. Answers the descriptor (close-on-exec) or -1 and errno.
int createNewFile(const char* path, mode_t mode);

// fopen() for "rb" and "wb" of a path the user named (links followed), which
// never makes a terminal the process's controlling one.
std::FILE* openStream(const char* path, const char* mode);

} // namespace platform
