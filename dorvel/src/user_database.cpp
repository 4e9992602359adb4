#include "dorvel/user_database.h"

#include "platform/file_lock.h"
#include "platform/safe_folder.h"

#include <crypt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvel {
namespace {

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() { close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int close() {
        const int rc = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return rc;
    }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd) {
        close();
        fd_ = fd;
    }

private:
    int fd_;
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

int32_t checkFolder(const UserFileLocation& at, std::string* why) {
    struct stat st {};
    if (::fstat(at.folder(), &st) != 0) {
        return kUserFileOpenFailed;
    }
    if (!platform::othersMayReplaceIn(st)) {
        return kUserOk;
    }
    if (why != nullptr) {
        *why = platform::whoElseMayWrite(at.folderPath(), st);
    }
    return kUserFileUnsafe;
}

} // namespace

// The path resolved once: links are followed here and never again, so that
// every later read and write goes to the folder and name found now.
int32_t UserFileLocation::resolve(const char* path, bool existing, std::string* why) {
    close();
    platform::SafeFolder place;
    const int rc = place.open(path, existing);
    if (!place.chainSafe() || rc == ELOOP) {
        // Others could have put anything at the path, or taken it away.
        if (why != nullptr) {
            *why = place.why();
        }
        return kUserFileUnsafe;
    }
    const int32_t failed = existing ? kUserFileOpenFailed : kUserFileWriteFailed;
    if (rc != 0) {
        return existing && (rc == ENOENT || rc == ENOTDIR) ? kUserFileNotFound : failed;
    }
    if (place.name().empty() || place.name() == "..") {
        // The root or a path ending in a folder: no file name to open.
        return existing ? kUserNotRegularFile : failed;
    }
    dirFd_ = ::fcntl(place.fd(), F_DUPFD_CLOEXEC, 0);
    name_ = place.name();
    folderPath_ = place.path();
    shared_ = place.shared();
    return dirFd_ >= 0 ? kUserOk : failed;
}

void UserFileLocation::close() {
    if (dirFd_ >= 0) {
        ::close(dirFd_);
    }
    dirFd_ = -1;
    name_.clear();
    folderPath_.clear();
    shared_ = false;
}

namespace {

// Waits for an exclusive advisory lock on the file, kUserFileLockWait at
// most: whoever may read the file may hold a shared one as long as it likes.
static_assert(kUserFileLockWait == platform::kFileLockWait, "one bound for every file's lock");
int32_t lockWithin(int fd) {
    const int error = platform::lockFileWithin(
        fd, std::chrono::duration_cast<platform::Duration>(kUserFileLockWait));
    return error == 0 ? kUserOk : error == EWOULDBLOCK ? kUserFileBusy : kUserFileOpenFailed;
}

// Opens the file for reading and checks what it is and where it lies; with
// lock, waits for an exclusive advisory lock on it, taken again when the name
// was given to a new file meanwhile (the lock of a replaced file guards
// nothing). For a file refused as unsafe, why says what to mend.
int32_t openUserFile(const UserFileLocation& at, bool lock, Descriptor& out,
                     std::string* why = nullptr) {
    const std::string file = joined(at.folderPath(), at.name());
    for (;;) {
        // Without blocking, so that a pipe or device named as the file cannot
        // hang; a link put in its place since it was resolved is not followed.
        Descriptor fd(::openat(at.folder(), at.name().c_str(),
                               O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
        if (fd.get() < 0) {
            const int error = errno;
            if (error == ELOOP && why != nullptr) {
                *why = file + " was replaced by a link";
            }
            return error == ENOENT  ? kUserFileNotFound
                   : error == ELOOP ? kUserFileUnsafe
                                    : kUserFileOpenFailed;
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) {
            return kUserFileReadFailed;
        }
        if (!S_ISREG(st.st_mode)) {
            return kUserNotRegularFile;
        }
        if (platform::othersMayWrite(st)) {
            if (why != nullptr) {
                *why = platform::whoElseMayWrite(file, st);
            }
            return kUserFileUnsafe;
        }
        if (const int32_t folder = checkFolder(at, why); folder != kUserOk) {
            return folder;
        }
        if (lock) {
            if (const int32_t locked = lockWithin(fd.get()); locked != kUserOk) {
                return locked;
            }
            struct stat now {};
            if (::fstatat(at.folder(), at.name().c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
                !sameFile(st, now)) {
                continue;
            }
        }
        out.reset(fd.release());
        return kUserOk;
    }
}

// Up to most bytes from the start of the file.
int32_t readUpTo(int fd, size_t most, std::vector<uint8_t>& out) {
    std::vector<uint8_t> bytes(most);
    size_t have = 0;
    while (have < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + have, bytes.size() - have);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return kUserFileReadFailed;
        }
        if (got == 0) {
            break;
        }
        have += static_cast<size_t>(got);
    }
    bytes.resize(have);
    out = std::move(bytes);
    return kUserOk;
}

int32_t readUserFile(int fd, std::vector<uint8_t>& out) {
    // One byte more than allowed shows a file that grew past the limit.
    std::vector<uint8_t> bytes;
    const int32_t result = readUpTo(fd, kMaxUserFileSize + 1, bytes);
    if (result != kUserOk) {
        return result;
    }
    if (bytes.size() > kMaxUserFileSize) {
        return kUserFileTooLarge;
    }
    out = std::move(bytes);
    return kUserOk;
}

bool writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// A new file beside name in the folder, readable and writable by its owner
// alone: its name is left in temp.
int makeTempFile(int dirFd, const std::string& name, std::string& temp) {
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        // The name need not be secret: the file is made only where nothing is.
        unsigned char random[8] = {};
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            random[0] = static_cast<unsigned char>(attempt);
        }
        temp = "." + name + ".";
        for (const unsigned char r : random) {
            temp += kLetters[r % (sizeof kLetters - 1)];
        }
        const int fd =
            ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                     S_IRUSR | S_IWUSR);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Writes a whole file beside the target, readable and writable by its owner
// alone, and only then puts it in the target's place: replacing what is there,
// or (replace false) only where nothing is. Readers see the old file or the
// new one, never a part.
int32_t writeUserFile(const UserFileLocation& at, const std::vector<uint8_t>& bytes, bool replace) {
    const int dirFd = at.folder();
    std::string temp;
    Descriptor fd(makeTempFile(dirFd, at.name(), temp));
    if (fd.get() < 0) {
        return kUserFileWriteFailed;
    }
    bool ok = ::fchmod(fd.get(), S_IRUSR | S_IWUSR) == 0 && writeAll(fd.get(), bytes) &&
              ::fsync(fd.get()) == 0;
    ok = fd.close() == 0 && ok;
    int32_t result = ok ? kUserOk : kUserFileWriteFailed;
    if (ok && replace) {
        if (::renameat(dirFd, temp.c_str(), dirFd, at.name().c_str()) != 0) {
            result = kUserFileWriteFailed;
        }
    } else if (ok) {
        // link refuses an existing name, so a file made meanwhile is kept.
        if (::linkat(dirFd, temp.c_str(), dirFd, at.name().c_str(), 0) != 0) {
            result = errno == EEXIST ? kUserFileExists : kUserFileWriteFailed;
        }
    }
    if (result != kUserOk || !replace) {
        ::unlinkat(dirFd, temp.c_str(), 0);
    }
    if (result == kUserOk) {
        // The folder is held for the *at calls only: its entries are synced
        // where it may be read.
        Descriptor folder(::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.get() >= 0) {
            ::fsync(folder.get());
        }
    }
    return result;
}

// The crypt library's working area, wiped when it goes: it held a password.
class CryptArea {
public:
    CryptArea() : data_(new (std::nothrow) crypt_data{}) {}
    ~CryptArea() {
        if (data_) {
            ::explicit_bzero(data_.get(), sizeof(crypt_data));
        }
    }
    CryptArea(const CryptArea&) = delete;
    CryptArea& operator=(const CryptArea&) = delete;

    // The hash of password under setting (a hash or a fresh salt), empty on failure.
    std::string hash(const char* password, const char* setting) {
        if (!data_) {
            return {};
        }
        const char* out = ::crypt_rn(password, setting, data_.get(), sizeof(crypt_data));
        if (out == nullptr || out[0] == '*') {
            return {};
        }
        return out;
    }

private:
    std::unique_ptr<crypt_data> data_;
};

std::string newHash(const char* password, uint16_t cost) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // Null prefix: the library's default method, salted from the system's random source.
    if (::crypt_gensalt_rn(nullptr, cost, nullptr, 0, setting, sizeof setting) == nullptr) {
        return {};
    }
    CryptArea area;
    std::string hash = area.hash(password, setting);
    return IsAcceptedHash(hash) ? hash : std::string();
}

// Compares every byte up to the longest hash, whatever differs first.
bool sameInConstantTime(std::string_view a, std::string_view b) {
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (size_t i = 0; i < kMaxHashBytes; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        diff |= static_cast<unsigned>(x ^ y);
    }
    return diff == 0;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned diff = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^
                                      static_cast<unsigned char>(b[i]));
    }
    return diff == 0;
}

// The index of the user whose password this is, -1 otherwise. The hash is
// computed also for an unknown name (under the first user's setting, which
// costs as much), so that the time taken does not tell which names exist.
int32_t findLogin(const UserFileContents& contents, const char* user, const char* password) {
    if (user == nullptr || password == nullptr || contents.users.empty() ||
        !IsValidUserName(user) || !IsValidPassword(password)) {
        return -1;
    }
    int32_t found = -1;
    for (size_t i = 0; i < contents.users.size(); ++i) {
        if (sameName(contents.users[i].name, user)) {
            found = static_cast<int32_t>(i);
        }
    }
    const std::string& stored = contents.users[found >= 0 ? static_cast<size_t>(found) : 0].hash;
    CryptArea area;
    const std::string computed = area.hash(password, stored.c_str());
    const bool match = !computed.empty() && sameInConstantTime(computed, stored);
    return match && found >= 0 ? found : -1;
}

// The user's record, null when no user has the name.
const UserRecord* findUser(const UserFileContents& contents, const char* user) {
    for (const UserRecord& u : contents.users) {
        if (u.name == user) {
            return &u;
        }
    }
    return nullptr;
}

} // namespace

UserDatabase::UserDatabase() = default;
UserDatabase::~UserDatabase() = default;

int32_t ReadUserFileHeaderAt(const char* path, UserFileHeader& out) {
    if (path == nullptr || *path == '\0') {
        return kUserInvalidArgument;
    }
    UserFileLocation at;
    int32_t result = at.resolve(path, true);
    Descriptor fd(-1);
    if (result == kUserOk) {
        result = openUserFile(at, false, fd);
    }
    std::vector<uint8_t> bytes;
    if (result == kUserOk) {
        result = readUpTo(fd.get(), kUserFileHeaderSize, bytes);
    }
    if (result == kUserOk && !ReadUserFileHeader(bytes, out)) {
        result = kUserBadFile;
    }
    return result;
}

bool UserDatabase::OpenUserFile(const char* path) {
    open_ = false;
    location_.close();
    contents_ = {};
    if (path == nullptr || *path == '\0') {
        lastResult_ = kUserInvalidArgument;
        return false;
    }
    lastReason_.clear();
    lastResult_ = location_.resolve(path, true, &lastReason_);
    if (lastResult_ == kUserOk) {
        lastResult_ = reload();
    }
    open_ = lastResult_ == kUserOk;
    if (!open_) {
        location_.close();
    }
    return open_;
}

bool UserDatabase::commit(UserFileContents next) {
    for (const UserRecord& user : next.users) {
        if (user.hash.empty()) {
            lastResult_ = kUserHashFailed;
            return false;
        }
    }
    lastResult_ = writeUserFile(location_, EncodeUserFile(next), true);
    if (lastResult_ == kUserOk) {
        contents_ = std::move(next);
    }
    return lastResult_ == kUserOk;
}

int32_t UserDatabase::reload(int* lockedFd) {
    Descriptor fd(-1);
    lastReason_.clear();
    int32_t result = openUserFile(location_, lockedFd != nullptr, fd, &lastReason_);
    std::vector<uint8_t> bytes;
    if (result == kUserOk) {
        result = readUserFile(fd.get(), bytes);
    }
    if (result == kUserOk) {
        result = ParseUserFile(bytes, contents_);
    }
    if (lockedFd != nullptr) {
        *lockedFd = result == kUserOk ? fd.release() : -1;
    }
    return result;
}

int32_t UserDatabase::CheckLogin(const char* user, const char* password) {
    if (!open_) {
        lastResult_ = kUserNoFile;
        return kLoginRefused;
    }
    const int32_t index = findLogin(contents_, user, password);
    if (index < 0) {
        lastResult_ = kUserRefused;
        return kLoginRefused;
    }
    lastResult_ = kUserOk;
    return contents_.users[static_cast<size_t>(index)].level;
}

bool UserDatabase::ChangePassword(const char* user, const char* oldPassword,
                                  const char* newPassword) {
    if (!open_) {
        lastResult_ = kUserNoFile;
        return false;
    }
    if (user == nullptr || oldPassword == nullptr || newPassword == nullptr ||
        !IsValidPassword(newPassword)) {
        lastResult_ = kUserInvalidArgument;
        return false;
    }
    // The hashes are made before the lock is taken, so that others wait for it
    // only while the file is read and written: the old password is checked
    // against the user's record as last read, which must still be the file's.
    const uint16_t cost = contents_.header.hashCost;
    const UserRecord* seen = findUser(contents_, user);
    const std::string checked = seen != nullptr ? seen->hash : std::string();
    const bool matched = findLogin(contents_, user, oldPassword) >= 0;
    std::string hash = matched ? newHash(newPassword, cost) : std::string();
    int lockedFd = -1;
    const int32_t reloaded = reload(&lockedFd);
    const Descriptor locked(lockedFd); // held until the new file is in place
    if (reloaded != kUserOk) {
        lastResult_ = reloaded;
        return false;
    }
    const UserRecord* now = findUser(contents_, user);
    const bool same = (now != nullptr ? now->hash : std::string()) == checked;
    // A record changed meanwhile is checked again, now against the file.
    if (same ? !matched : findLogin(contents_, user, oldPassword) < 0) {
        lastResult_ = kUserRefused;
        return false;
    }
    UserFileContents next = contents_;
    if (hash.empty() || next.header.hashCost != cost) {
        // Right only against the file, or a file made anew meanwhile.
        hash = newHash(newPassword, next.header.hashCost);
    }
    next.users[static_cast<size_t>(now - contents_.users.data())].hash = std::move(hash);
    return commit(std::move(next));
}

bool UserDatabase::CreateUserFile(const char* path, uint32_t flags, uint16_t hashCost) {
    if (path == nullptr || *path == '\0' || (flags & ~kUserFileLoginRequired) != 0 ||
        hashCost > kMaxHashCost) {
        lastResult_ = kUserInvalidArgument;
        return false;
    }
    UserFileContents contents;
    contents.header.flags = flags;
    contents.header.hashCost = hashCost;
    UserFileLocation at;
    lastReason_.clear();
    lastResult_ = at.resolve(path, false, &lastReason_);
    if (lastResult_ == kUserOk) {
        lastResult_ = writeUserFile(at, EncodeUserFile(contents), false);
    }
    if (lastResult_ != kUserOk) {
        return false;
    }
    // The new file is the open one; the one open before is closed.
    location_ = std::move(at);
    contents_ = std::move(contents);
    open_ = true;
    return true;
}

bool UserDatabase::AddUser(const char* user, const char* password, int32_t level) {
    if (!open_) {
        lastResult_ = kUserNoFile;
        return false;
    }
    if (user == nullptr || password == nullptr || !IsValidUserName(user) ||
        !IsValidPassword(password) || level < 0) {
        lastResult_ = kUserInvalidArgument;
        return false;
    }
    // The hash does not depend on the file: it is made before the lock is
    // taken, so that others wait for the lock only while the file is read and
    // written.
    const uint16_t cost = contents_.header.hashCost;
    std::string hash = newHash(password, cost);
    int lockedFd = -1;
    const int32_t reloaded = reload(&lockedFd);
    const Descriptor locked(lockedFd); // held until the new file is in place
    if (reloaded != kUserOk) {
        lastResult_ = reloaded;
        return false;
    }
    for (const UserRecord& u : contents_.users) {
        if (u.name == user) {
            lastResult_ = kUserAlreadyExists;
            return false;
        }
    }
    if (contents_.users.size() >= kMaxUsers) {
        lastResult_ = kUserTooMany;
        return false;
    }
    UserFileContents next = contents_;
    if (next.header.hashCost != cost) {
        hash = newHash(password, next.header.hashCost); // a file made anew meanwhile
    }
    next.users.push_back({user, level, std::move(hash)});
    return commit(std::move(next));
}

} // namespace dorvel
