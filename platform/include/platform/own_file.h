#pragma once
// Files a program writes on its own behalf, such as its logs, in a folder
// that others may share: written only when what stands there is the user's.
// A file-size limit fails a write here with EFBIG, as a full disk does: every
// open for writing below ignores SIGXFSZ where it still has its default
// action (which would end the process).

#include "platform/safe_folder.h"

#include <cstdio>
#include <string>
#include <string_view>

#include <sys/stat.h>
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

// fopen() for "rb" and "wb" of a path the user named, which never makes a
// terminal the process's controlling one nor waits on a pipe or device: "rb"
// reads a regular file only (links followed), "wb" opens as openFileToWrite.
std::FILE* openStream(const char* path, const char* mode);

// A path the user named for a file to write (Save, Export), judged as the
// user's own files are. Its folder is reached as SafeFolder walks with the
// last name followed, so the user's own links lead on, but none where others
// may write. Where others may add names to that folder, or change a folder
// above it, only nothing or a regular file of the user's own (with no other
// name) may stand at the name; anywhere, a folder, pipe, device or socket is
// refused, so nothing ever waits on one, and so is a file the user may not
// write (EACCES, "is read-only"). The path is judged as written: one that
// ends in "/" or "/." names a folder. 0 when the path may be written;
// else an errno value with why naming the path and what stands in the way
// ("/tmp/x.txt belongs to another user", ...), or with why empty where the
// system failed the walk (a missing folder, no permission).
int judgeFileToWrite(const char* path, std::string& why);

// Opens a file the user named to be written as data arrives: judged as
// above, then opened as openOwnFile does (made with 0666 less the umask, or
// truncated once it is known to be the user's). The descriptor, or -1 with
// errno and why as judgeFileToWrite gives them.
int openFileToWrite(const char* path, std::string& why);

// What a failure says: why where it is given, else the system's text.
std::string failureText(int error, const std::string& why);

// A file made whole beside the one it replaces: written to a new temporary
// of the owner's alone in the same folder, which takes the target's place
// only at commit. A failure or a destruction without commit leaves the old
// file as it was and no temporary behind. The mode and group it takes are
// decided at open from what stands at the name then: the user's own regular
// file with one name hands on its own; else 0666 less the umask, never wider
// than a file found there.
class FileReplacement {
public:
    FileReplacement() = default;
    ~FileReplacement() { abort(); }
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // For a path the user named, judged as judgeFileToWrite does (same
    // answers); a link of the user's own keeps naming the file it names.
    // The user's own file in a folder the user may not write, where no one
    // else may change that folder either, is written in place at commit.
    int open(const char* path, std::string& why);
    // For name in folder (a descriptor, as SafeFolder::fd gives), where the
    // caller has judged what may be replaced. 0 or an errno value.
    int open(int folder, const char* name);
    // The temporary, to be written (not closed by the writer).
    int fd() const { return fd_; }
    // Writes all of data at the descriptor's position. 0 or an errno value.
    int write(std::string_view data);
    // Gives the temporary the mode decided at open, makes it durable and
    // renames it over the target. Fails, with why saying so, where the
    // temporary's name no longer held it when it was renamed (another user
    // swapped it). In place, the file takes the data only once room for all
    // of it is found. 0 or an errno value; the object is closed either way.
    int commit(std::string& why);
    // Removes the temporary while its name still holds it, and closes.
    void abort();

private:
    int begin(int folder, const char* name, const struct stat& found);
    int beginInPlace(int folder, const char* name, std::string& why);
    void close();

    int folder_ = -1;
    int fd_ = -1;
    int target_ = -1; // in place: the file itself
    mode_t mode_ = 0;
    gid_t group_ = static_cast<gid_t>(-1);
    std::string name_;
    std::string temp_;
};

} // namespace platform
