#include "text_file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
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
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

int writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::atomic<unsigned> tempCounter{0};

} // namespace

int readBoundedFile(const std::filesystem::path& path, std::size_t maxSize, std::string& out) {
    out.clear();
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        return errno;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
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
        ssize_t n = ::read(fd.get(), data.data() + used, data.size() - used);
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

std::mutex& fileWriteMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string tempFilePrefix(const std::filesystem::path& path) {
    return path.filename().string() + ".tmp.";
}

int writeFileAtomically(const std::filesystem::path& requested, std::string_view data) {
    std::filesystem::path path = requested;
    std::error_code ec;
    if (std::filesystem::is_symlink(path, ec)) {
        // Renaming over the link would replace it by a plain file.
        path = std::filesystem::weakly_canonical(path, ec);
        if (ec) {
            return ec.value();
        }
    }
    struct stat old {};
    bool hadFile = ::stat(path.c_str(), &old) == 0;
    if (hadFile && S_ISDIR(old.st_mode)) {
        return EISDIR;
    }

    std::filesystem::path dir = path.parent_path();
    std::filesystem::path temp;
    int tempFd = -1;
    for (int attempt = 0; attempt < 100 && tempFd < 0; ++attempt) {
        temp = dir / (tempFilePrefix(path) + std::to_string(::getpid()) + "." +
                      std::to_string(tempCounter.fetch_add(1)));
        tempFd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (tempFd < 0 && errno != EEXIST) {
            return errno;
        }
    }
    if (tempFd < 0) {
        return EEXIST;
    }
    Fd fd(tempFd);
    int rc = writeAll(fd.get(), data);
    if (rc == 0 && hadFile && ::fchmod(fd.get(), old.st_mode & 07777) != 0) {
        rc = errno;
    }
    if (rc == 0 && ::fsync(fd.get()) != 0) {
        rc = errno;
    }
    if (rc == 0 && ::close(fd.release()) != 0) {
        rc = errno;
    }
    if (rc == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
        rc = errno;
    }
    if (rc != 0) {
        ::unlink(temp.c_str());
        return rc;
    }
    // Make the rename itself durable; failing here loses nothing already written.
    Fd dirFd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0) {
        ::fsync(dirFd.get());
    }
    return 0;
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
