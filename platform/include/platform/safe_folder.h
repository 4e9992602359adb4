#pragma once
// The folder a path's last name stands in, reached from the root one folder
// at a time, so that a file can be opened, made or replaced there without
// anyone else deciding where that is.
//
// Others (anyone but the calling user and root) may write a folder that they
// own, whose other write bit is set, or whose group write bit is set while
// the group may hold one of them: a member, or a user whose primary group it
// is (a group that cannot be looked up may hold anyone). So a user private
// group, as a umask of 002 goes with, is the user's own. Others may replace
// the names in a folder they may write unless the sticky bit is set (which
// lets only a name's owner rename or remove it). A link is followed only
// where it stands in a folder that others may not write: one they left in a
// shared folder never leads anywhere.

#include <string>

#include <sys/stat.h>

namespace platform {

// Whether others may write the file st describes: add names, for a folder.
bool othersMayWrite(const struct stat& st);
// Whether others may rename or remove the names that stand in it.
bool othersMayReplaceIn(const struct stat& st);
// Who else may write the file st describes, at path, and what makes it safe:
// "<path> belongs to another user (name), not to you", "<path> can be
// written by its group lab; chmod g-w <path> makes it safe", "<path> can be
// written by others; chmod o-w <path> makes it safe"; empty when
// othersMayWrite is false.
std::string whoElseMayWrite(const std::string& path, const struct stat& st);

class SafeFolder {
public:
    SafeFolder() = default;
    ~SafeFolder() { close(); }
    SafeFolder(const SafeFolder&) = delete;
    SafeFolder& operator=(const SafeFolder&) = delete;
    SafeFolder(SafeFolder&& other) noexcept;
    SafeFolder& operator=(SafeFolder&& other) noexcept;

    // Walks path (a relative one from the working folder) down to the folder
    // of its last name; followLast: a link named last is followed too, under
    // the same rule. A path that ends in "/" or "/." names a folder: its last
    // name is entered as one (ENOTDIR where it is none), leaving name empty. 0, or an errno value: ELOOP for a link that is not
    // followed on the way (or more than 40 of them), ENOENT, ENOTDIR, EACCES,
    // ... Needs no read permission on any folder, only the right to pass.
    int open(const char* path, bool followLast);
    void close();

    // The folder held open (O_PATH: for the *at calls and fstat), -1 when none.
    int fd() const { return fd_; }
    // The last name, empty when the path names the root.
    const std::string& name() const { return name_; }
    // Every folder walked (the root included, also by an open that failed)
    // belongs to the user or root and lets no one else replace its names: as
    // a careful login server checks the folders of its key files.
    bool chainSafe() const { return chainSafe_; }
    // Others may add names to the folder reached.
    bool shared() const { return shared_; }
    // The folder reached, as walked from the root (links resolved).
    const std::string& path() const { return path_; }
    // What a user must mend for the path to be safe, naming the folder or
    // link: the first folder walked that makes the chain unsafe, or else the
    // link not followed (ELOOP) because others may write where it stands;
    // empty when neither.
    const std::string& why() const { return why_; }

private:
    int fd_ = -1;
    std::string name_;
    std::string path_;
    std::string why_;
    bool chainSafe_ = false;
    bool shared_ = false;
};

} // namespace platform
