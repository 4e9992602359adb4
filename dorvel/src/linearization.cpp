#include "dorvel/linearization.h"

#include "platform/config_store.h"

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace dorvel {
namespace {

int32_t openFault(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
        return kLinFileNotFound;
    default:
        return kLinFileOpenFailed;
    }
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// Reads a whole coefficient file. Opened without blocking and refused unless it
// is a regular file, so a named pipe or a device cannot hang the load.
int32_t readFile(const std::filesystem::path& path, std::string& text) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0) {
        return openFault(errno);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return kLinFileReadFailed;
    }
    if (!S_ISREG(st.st_mode)) {
        return kLinNotRegularFile;
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxCoefficientFileSize) {
        return kLinFileTooLarge;
    }
    std::string buffer(static_cast<size_t>(st.st_size), '\0');
    size_t have = 0;
    // The file may change while it is read: take what is there, up to the limit.
    for (;;) {
        if (have > kMaxCoefficientFileSize) {
            return kLinFileTooLarge;
        }
        if (have == buffer.size()) {
            buffer.resize(buffer.size() + 4096);
        }
        const ssize_t got = ::read(fd.get(), buffer.data() + have, buffer.size() - have);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return kLinFileReadFailed;
        }
        if (got == 0) {
            break;
        }
        have += static_cast<size_t>(got);
    }
    buffer.resize(have);
    text = std::move(buffer);
    return kLinOk;
}

} // namespace

std::filesystem::path LinearizationDirectory() {
    const char* dir = std::getenv("VELDON_LINEARIZATION_DIR");
    if (dir != nullptr && *dir != '\0') {
        return dir;
    }
    return platform::systemConfigDirectory() / "linearization";
}

CLinearizationBase::CLinearizationBase() = default;
CLinearizationBase::~CLinearizationBase() = default;

int32_t CLinearizationBase::Load(const std::filesystem::path& path, int32_t requiredPixels) {
    std::string text;
    int32_t r = readFile(path, text);
    if (r != kLinOk) {
        return r;
    }
    auto set = std::make_unique<CoefficientSet>();
    r = ParseCoefficientFile(text, *set);
    if (r != kLinOk) {
        return r;
    }
    if (requiredPixels != 0 && set->pixelCount != requiredPixels) {
        return kLinPixelCountMismatch;
    }
    coefficients_ = std::move(set);
    return kLinOk;
}

bool CLinearizationBase::LoadFile(const char* path) {
    if (path == nullptr) {
        lastResult_ = kLinInvalidArgument;
        return false;
    }
    try {
        lastResult_ = Load(path, 0);
    } catch (const std::exception&) {
        lastResult_ = kLinFileReadFailed;
    }
    return lastResult_ == kLinOk;
}

bool CLinearizationBase::LoadForSensor(int32_t sensorType, int32_t pixelCount) {
    if (sensorType < 0) {
        lastResult_ = kLinNoFileForSensor;
        return false;
    }
    if (pixelCount < 1 || pixelCount > kMaxCoefficientPixels) {
        lastResult_ = kLinPixelCountMismatch;
        return false;
    }
    try {
        const std::filesystem::path dir = LinearizationDirectory();
        const std::string type = std::to_string(sensorType);
        const std::filesystem::path candidates[] = {
            dir / ("sensor-" + type + "-" + std::to_string(pixelCount) + ".tlc"),
            dir / ("sensor-" + type + ".tlc"),
        };
        lastResult_ = kLinNoFileForSensor;
        for (const std::filesystem::path& candidate : candidates) {
            const int32_t r = Load(candidate, pixelCount);
            if (r != kLinFileNotFound) {
                lastResult_ = r;
                break;
            }
        }
    } catch (const std::exception&) {
        lastResult_ = kLinFileReadFailed;
    }
    return lastResult_ == kLinOk;
}

int32_t CLinearizationBase::GetPixelCount() const {
    return coefficients_ ? coefficients_->pixelCount : 0;
}

bool CLinearizationBase::Linearize(double* values, int32_t n) {
    if (!coefficients_) {
        lastResult_ = kLinNotLoaded;
        return false;
    }
    lastResult_ = ApplyCoefficients(*coefficients_, values, n);
    return lastResult_ == kLinOk;
}

int32_t CLinearizationBase::GetLastResult() const {
    return lastResult_;
}

void CLinearizationBase::Unload() {
    coefficients_.reset();
    lastResult_ = kLinOk;
}

} // namespace dorvel
