#pragma once
// Files a program writes on its own behalf, such as its logs, in a folder
// that others may share: written only when what stands there is the user's.

#include "platform/safe_folder.h"

#include <cstdio>
#include <string>

#include <sys/types.h>

namespace platform {

// The folder path's last name stands in, reached from the root as SafeFolder
// does, only when every folder on the way is the user's or root's and no one
// else may replace it: that is where the user's own files are opened, made
// and removed. False with why saying what stands in the way ("lies in or under a
// folder another user may change", ...), or with why empty and errno where
// nothing did but the walk failed (a missing folder, no permission).
bool reachOwnFolder(const char* path, SafeFolder& place, std::string& why);

// Opens name in folder (a descriptor, as SafeFolder::fd gives) with access
// O_WRONLY or O_RDWR; with create, makes a missing file with mode (less the
// umask). Never through a symbolic link, never blocking on a pipe or device
// and never taking a terminal as the controlling one; kept only when it is a
// regular file of the calling user with no other name (a hard link would
// carry the writes to a file named elsewhere), and truncated then when
// truncate is set. Answers the descriptor (close-on-exec, blocking from then
// on), or -1 with why saying what stood there ("is a symbolic link", "is a
// folder", ...), also where the system refused it (as in a sticky folder),
// empty when nothing stood in the way but the open failed (no permission).
int openOwnFile(int folder, const char* name, int access, bool create, bool truncate, mode_t mode,
                std::string& why);
// The same for a path, whose folder is reached as reachOwnFolder does.
int openOwnFile(const char* path, int access, bool create, bool truncate, mode_t mode,
                std::string& why);

// Creates name in folder as a new file for writing, with mode (less the
// umask): fails with EEXIST when any name stands there, a link included,
// which is never followed. Answers the descriptor (close-on-exec) or -1 and
// errno.
int createNewFile(int folder, const char* name, mode_t mode);

// The process's umask, read without setting it (that would change it for a
// moment for every thread); 077 where it cannot be read.
mode_t currentUmask();

// fopen() for "rb" and "wb" of a path the user named (links followed), which
// never makes a terminal the process's controlling one.
std::FILE* openStream(const char* path, const char* mode);

} // namespace platform
