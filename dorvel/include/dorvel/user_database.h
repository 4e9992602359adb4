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
// wait. A file that group or others may write, or that belongs to neither
// the calling user nor root, is refused (kUserFileUnsafe) and left alone.
//
// Texts are passed whole (zero-terminated); nothing is cut. Every operation
// sets the last result (kUserOk on success). Not synchronised: one object per
// dialog.

#include "dorvel/api.h"
#include "dorvel/user_file.h"

#include <cstdint>
#include <string>

namespace dorvel {

// CheckLogin's answer for a refused login, whatever the reason.
inline constexpr int32_t kLoginRefused = -1;

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

private:
    // Reads the open file afresh into contents_. With lockedFd, the file is
    // locked first and stays open and locked there (-1 on failure); the
    // caller closes it once its change is in place.
    int32_t reload(int* lockedFd = nullptr);
    // Writes next in place of the file (refused when a hash could not be
    // made); contents_ follows only a written file.
    bool commit(UserFileContents next);

    std::string path_;
    bool open_ = false;
    UserFileContents contents_;
    int32_t lastResult_ = kUserOk;
};

} // namespace dorvel
