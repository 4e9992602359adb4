#pragma once
// File and text helpers shared by the configuration store and the ini files.

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace platform::detail {

// Whose files are taken in a folder that others may write (safe_folder.h).
enum class FileOwners {
    Any,     // any file, through links too (shared configuration folders)
    UserOnly // a user's own settings: no link there is followed, and only the
             // user's own file is read (or root's) or replaced; nothing under
             // a folder another user may change is read or written
};

// Whole file into `out`. 0, or an errno value: ENOENT, EFBIG when the file is
// larger than `maxSize` (nothing beyond maxSize + 1 bytes is ever read), EISDIR
// or EINVAL for something that is not a regular file; with UserOnly, ELOOP for
// a link and EPERM for another user's file where others may write, or for a
// folder on the way that another user may change.
int readBoundedFile(const std::filesystem::path& path, std::size_t maxSize, std::string& out,
                    FileOwners owners = FileOwners::Any);

// Replaces `path` with `data` so that a reader (or a crash) sees either the
// old or the new file, never a part: temp file in the same directory, fsync,
// rename. The new file has the mode the umask gives, or the permission bits
// of the user's own file it replaces; the temp file is the owner's alone until
// written. A symbolic link keeps pointing at the file it named (with UserOnly,
// as readBoundedFile follows it). 0 or an errno value.
int writeFileAtomically(const std::filesystem::path& path, std::string_view data,
                        FileOwners owners = FileOwners::Any);

// Called, where set, with a FileReplacement's temp file (writeFileAtomically's
// too) once the data is in it and before it gets the file's mode: tests look
// at it there.
extern void (*tempFileWritten)(int fd);

// Serialises every read-modify-write of a configuration file (store keys and
// ini files) in this process.
std::mutex& fileWriteMutex();

// The name prefix of the temp files writeFileAtomically leaves after a crash:
// the file's name (cut where it is too long for a temporary's) and ".tmp.".
std::string tempFilePrefix(const std::filesystem::path& path);

// The platform layer leaves the reason of a failure in errno as well.
inline int leaveError(int rc) {
    if (rc != 0) {
        errno = rc;
    }
    return rc;
}

constexpr char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// ASCII case folding, as the names of keys, values, sections are compared.
bool equalsIgnoreCase(std::string_view a, std::string_view b);

std::string lowerCase(std::string_view text);

constexpr bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trimBlanks(std::string_view text);

} // namespace platform::detail
