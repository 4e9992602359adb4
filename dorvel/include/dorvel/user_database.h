#pragma once
// UserDatabase: the users of a user information file (format in user_file.h),
// for a login dialog: open the file, check a login, change a password; and,
// so that such a file can be made at all, create one and add users.
//
// Passwords exist only as salted slow hashes from the system's crypt library
// (its default method, at the file's cost), checked in constant time. An
// unknown user and a wrong password get the same answer, after the same
// work. Every change re-reads the file, so that changes made meanwhile by
// others are kept, and replaces it atomically by a file only its owner may
// read and write; it holds an exclusive advisory lock (flock) on the file
// from that read to the replacement, so that changes of other processes
// wait (the hashes are made before it is taken, so none waits for a hash).
// Whoever may read the file may hold a lock on it too, so a change waits for
// the lock kUserFileLockWait at most (on the platform clock) and is then
// refused (kUserFileBusy).
//
// A file that group or others may write, or that belongs to neither the
// calling user nor root, is refused (kUserFileUnsafe) and left alone; so is
// every file below a folder where others could replace it: the folders from
// the root down to the file must each belong to the user or root and let no
// one else write them, unless they are sticky (platform/safe_folder.h).
//
// The path is resolved once, when the file is opened or created: a link in it
// is followed then (only where it stands in a folder no one else may write)
// and never again, and every later read and write goes to the folder and
// name found then. Reading needs no read permission on the folders.
//
// Texts are passed whole (zero-terminated); nothing is cut. Every operation
// sets the last result (kUserOk on success). Not synchronised: one object per
// dialog.

#include "dorvel/api.h"
#include "dorvel/user_file.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace dorvel {

// CheckLogin's answer for a refused login, whatever the reason.
inline constexpr int32_t kLoginRefused = -1;

// How long a change waits for the lock on the file.
inline constexpr std::chrono::seconds kUserFileLockWait{5};

// The header of the user file at path, opened and checked as
// UserDatabase::OpenUserFile opens it: kUserOk and out filled, the result
// OpenUserFile gives for the path (kUserFileUnsafe for a file others could
// have written or replaced, whatever stands there then), or kUserBadFile when
// the file is shorter than its header or lacks the magic.
DORVEL_API int32_t ReadUserFileHeaderAt(const char* path, UserFileHeader& out);

// Where a user file lies: its folder, held open, and its name there.
class DORVEL_API UserFileLocation {
public:
    UserFileLocation() = default;
    ~UserFileLocation() { close(); }
    UserFileLocation(const UserFileLocation&) = delete;
    UserFileLocation& operator=(const UserFileLocation&) = delete;
    UserFileLocation(UserFileLocation&& other) noexcept
        : dirFd_(std::exchange(other.dirFd_, -1)), name_(std::move(other.name_)),
          folderPath_(std::move(other.folderPath_)), shared_(other.shared_) {}
    UserFileLocation& operator=(UserFileLocation&& other) noexcept {
        if (this != &other) {
            close();
            dirFd_ = std::exchange(other.dirFd_, -1);
            name_ = std::move(other.name_);
            folderPath_ = std::move(other.folderPath_);
            shared_ = other.shared_;
        }
        return *this;
    }

    // Resolves path: an existing file's real place, or (existing false) the
    // folder a new file goes to. A result of UserDatabaseResult:
    // kUserFileUnsafe when a folder on the way could be replaced by others,
    // with the folder or link to mend and why in *why (when why is not null).
    int32_t resolve(const char* path, bool existing, std::string* why = nullptr);
    void close();
    // The folder, open for the *at calls only.
    int folder() const { return dirFd_; }
    const std::string& name() const { return name_; }
    // The folder's path as found from the root, for messages.
    const std::string& folderPath() const { return folderPath_; }
    // Others may add names to the folder (a sticky one).
    bool shared() const { return shared_; }

private:
    int dirFd_ = -1;
    std::string name_;
    std::string folderPath_;
    bool shared_ = false;
};

class DORVEL_API UserDatabase {
public:
    // No file open.
    UserDatabase();
    ~UserDatabase();
    UserDatabase(const UserDatabase&) = delete;
    UserDatabase& operator=(const UserDatabase&) = delete;

    // Reads and checks the file; true when it is a sound user file, which is
    // then the one the other operations work on. A failure leaves no file open.
    bool OpenUserFile(const char* path);

    // The user's level (0 or more) when the password is the user's;
    // kLoginRefused otherwise, also without an open file or for texts out of
    // bounds.
    int32_t CheckLogin(const char* user, const char* password);

    // Gives the user a new password when oldPassword is the user's present
    // one; the new one must be a valid password.
    bool ChangePassword(const char* user, const char* oldPassword, const char* newPassword);

    // Makes a new file without users and opens it; never replaces a file.
    // flags: the header's flag word; hashCost: 0..kMaxHashCost.
    bool CreateUserFile(const char* path, uint32_t flags, uint16_t hashCost);

    // Adds a user to the open file; level 0 or more.
    bool AddUser(const char* user, const char* password, int32_t level);

    int32_t GetLastResult() const { return lastResult_; }
    // When the last result is kUserFileUnsafe: the folder, link or file that
    // makes the file unsafe and why, for the user to mend ("/home/u/lab can be
    // written by its group"); empty otherwise or when no one thing is to blame.
    std::string GetLastReason() const {
        return lastResult_ == kUserFileUnsafe ? lastReason_ : std::string();
    }

private:
    // Reads the open file afresh into contents_. With lockedFd, the file is
    // locked first and stays open and locked there (-1 on failure); the
    // caller closes it once its change is in place.
    int32_t reload(int* lockedFd = nullptr);
    // Writes next in place of the file (refused when a hash could not be
    // made); contents_ follows only a written file.
    bool commit(UserFileContents next);

    UserFileLocation location_;
    bool open_ = false;
    UserFileContents contents_;
    int32_t lastResult_ = kUserOk;
    std::string lastReason_;
};

} // namespace dorvel
