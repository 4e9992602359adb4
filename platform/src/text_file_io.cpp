#include "text_file_io.h"

#include "platform/own_file.h"
#include "platform/safe_folder.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::detail {

namespace {

// Closes the descriptor on every way out.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// Where a user's own file lies: reached without a link left where others may
// write, through folders no one else may change (EPERM otherwise, also when
// what is missing lies under such a folder).
int ownPlace(SafeFolder& place, const std::filesystem::path& path) {
    if (path.empty()) {
        return ENOENT;
    }
    const int rc = place.open(path.c_str(), true);
    return place.chainSafe() ? rc : EPERM;
}

} // namespace

namespace {

// The whole of an open file, as readBoundedFile gives it.
int readBoundedFd(int fd, std::size_t maxSize, std::string& out) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return errno;
    }
    if (S_ISDIR(st.st_mode)) {
        return EISDIR;
    }
    if (!S_ISREG(st.st_mode)) {
        return EINVAL;
    }
    if (static_cast<unsigned long long>(st.st_size) > maxSize) {
        return EFBIG;
    }
    // The file may grow between fstat and read: read at most one byte more
    // than allowed to notice that.
    std::string data;
    data.resize(maxSize + 1 < 65536 ? maxSize + 1 : 65536);
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (data.size() > maxSize) {
                return EFBIG;
            }
            data.resize(std::min(data.size() * 2, maxSize + 1));
        }
        ssize_t n = ::read(fd, data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<std::size_t>(n);
    }
    if (used > maxSize) {
        return EFBIG;
    }
    data.resize(used);
    out = std::move(data);
    return 0;
}

} // namespace

int readBoundedFile(const std::filesystem::path& path, std::size_t maxSize, std::string& out,
                    FileOwners owners) {
    out.clear();
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (owners == FileOwners::Any) {
        Fd fd(::open(path.c_str(), kFlags));
        return fd.get() < 0 ? errno : readBoundedFd(fd.get(), maxSize, out);
    }
    SafeFolder place;
    if (int rc = ownPlace(place, path); rc != 0) {
        return rc;
    }
    if (place.name().empty()) {
        return EISDIR;
    }
    Fd fd(::openat(place.fd(), place.name().c_str(), kFlags | O_NOFOLLOW));
    if (fd.get() < 0) {
        return errno;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return errno;
    }
    if (place.shared() && st.st_uid != ::geteuid() && st.st_uid != 0) {
        return EPERM;
    }
    return readBoundedFd(fd.get(), maxSize, out);
}

std::mutex& fileWriteMutex() {
    static std::mutex mutex;
    return mutex;
}

void (*tempFileWritten)(int fd) = nullptr;

std::string tempFilePrefix(const std::filesystem::path& path) {
    // Leaves room within the longest name the system takes for ".tmp.", a
    // process id (at most 7 digits), "." and a 32-bit counter.
    constexpr std::size_t kRoom = NAME_MAX - (5 + 7 + 1 + 10);
    std::string name = path.filename().string();
    if (name.size() > kRoom) {
        std::size_t cut = kRoom;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut; // not inside a UTF-8 character
        }
        name.resize(cut);
    }
    return name + ".tmp.";
}

int writeFileAtomically(const std::filesystem::path& requested, std::string_view data,
                        FileOwners owners) {
    // Where the file goes: a folder held open and the name in it.
    SafeFolder place;
    Fd parent(-1);
    int dirFd = -1;
    std::string name;
    if (owners == FileOwners::UserOnly) {
        if (int rc = ownPlace(place, requested); rc != 0) {
            return rc;
        }
        dirFd = place.fd();
        name = place.name();
    } else {
        std::filesystem::path path = requested;
        std::error_code ec;
        if (std::filesystem::is_symlink(path, ec)) {
            // Renaming over the link would replace it by a plain file.
            path = std::filesystem::weakly_canonical(path, ec);
            if (ec) {
                return ec.value();
            }
        }
        const std::filesystem::path dir = path.parent_path();
        parent.reset(::open(dir.empty() ? "." : dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (parent.get() < 0) {
            return errno;
        }
        dirFd = parent.get();
        name = path.filename().string();
    }
    if (name.empty() || name == "..") {
        return EISDIR;
    }
    struct stat old {};
    const bool hadFile = ::fstatat(dirFd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (hadFile && S_ISDIR(old.st_mode)) {
        return EISDIR;
    }
    if (hadFile && owners == FileOwners::UserOnly) {
        // A link here was left where others may write (else it was followed).
        if (S_ISLNK(old.st_mode)) {
            return ELOOP;
        }
        if (place.shared() && (!S_ISREG(old.st_mode) || old.st_uid != ::geteuid())) {
            return EPERM;
        }
    }
    platform::FileReplacement file;
    int rc = file.open(dirFd, name.c_str());
    if (rc == 0) {
        rc = file.write(data);
    }
    std::string why;
    return rc != 0 ? rc : file.commit(why);
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string lowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), asciiLower);
    return out;
}

std::string_view trimBlanks(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace platform::detail
