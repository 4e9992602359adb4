#include "pa/pastream.h"

#include "pa/palog.h"
#include "platform/own_file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pa {

// ---- TStream helpers ----

std::int32_t TStream::readInt() {
    unsigned char bytes[4];
    if (read(bytes, sizeof bytes) != sizeof bytes) {
        raiseError("TStream::readInt -> Unexpected end of stream");
    }
    const std::uint32_t value = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                                std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
    return static_cast<std::int32_t>(value);
}

void TStream::writeInt(std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
        static_cast<unsigned char>(u >> 16), static_cast<unsigned char>(u >> 24)};
    if (write(bytes, sizeof bytes) != sizeof bytes) {
        raiseError("TStream::writeInt -> Write failed");
    }
}

void TStream::readString(std::string& text, std::size_t maxLength) {
    std::size_t length = 0;
    for (;;) {
        char c = 0;
        if (read(&c, 1) != 1) {
            raiseError("TStream::readString -> Unexpected end of stream");
        }
        if (c == '\0') {
            return;
        }
        if (++length > maxLength) {
            raiseError("TStream::readString -> String longer than %zu bytes", maxLength);
        }
        text += c;
    }
}

void TStream::writeString(const std::string& text) {
    // c_str() ends in the zero byte.
    if (write(text.c_str(), text.size() + 1) != text.size() + 1) {
        raiseError("TStream::writeString -> Write failed");
    }
}

// ---- TFStream ----

TFStream::TFStream(const std::string& path, const std::string& mode) {
    open(path, mode);
}

TFStream::~TFStream() {
    if (file_) {
        std::fclose(file_);
    }
}

void TFStream::open(const std::string& path, const std::string& mode) {
    if (file_) {
        close();
    }
    path_ = path;
    if (mode == "w" || mode == "r") {
        file_ = platform::openStream(path.c_str(), (mode + "b").c_str());
    }
    if (!file_) {
        raiseError("TFStream::open -> Cannot open file '%s'", path.c_str());
    }
    readable_ = mode == "r";
}

void TFStream::close() {
    if (!file_) {
        return;
    }
    std::FILE* file = file_;
    file_ = nullptr;
    // Buffered writes reach the disk only now; their failure shows here.
    const bool writeFailed = !readable_ && std::ferror(file) != 0;
    if (std::fclose(file) != 0 || writeFailed) {
        raiseError("TFStream::close -> Cannot write file '%s'", path_.c_str());
    }
}

std::FILE* TFStream::checkedFile(const char* operation) const {
    if (!file_) {
        raiseError("TFStream::%s -> File not open", operation);
    }
    return file_;
}

std::size_t TFStream::write(const void* buffer, std::size_t count) {
    return std::fwrite(buffer, 1, count, checkedFile("write"));
}

std::size_t TFStream::read(void* buffer, std::size_t count) {
    return std::fread(buffer, 1, count, checkedFile("read"));
}

std::int64_t TFStream::seek(std::int64_t offset, int origin) {
    static const int kWhence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    std::FILE* file = checkedFile("seek");
    if (origin >= 0 && origin <= 2) {
        fseeko(file, static_cast<off_t>(offset), kWhence[origin]);
    }
    return ftello(file);
}

std::int64_t TFStream::size() {
    std::FILE* file = checkedFile("size");
    const off_t here = ftello(file);
    fseeko(file, 0, SEEK_END);
    const off_t end = ftello(file);
    fseeko(file, here, SEEK_SET);
    return end;
}

std::int64_t TFStream::position() {
    return ftello(checkedFile("position"));
}

bool TFStream::eof() {
    std::FILE* file = checkedFile("eof");
    if (!readable_) {
        // Reading a stream opened for writing is undefined; its end is where
        // the writing stands unless it was moved back.
        return position() >= size();
    }
    char c = 0;
    if (std::fread(&c, 1, 1, file) == 1) {
        seek(-1, 1);
    }
    return std::feof(file) != 0;
}

// ---- TStorable ----

namespace {

// The temporary file beside the target: same directory, so that rename
// replaces the target in one step.
std::string createSiblingTemp(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name =
            target + ".~" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1));
        // The owner's alone until written: whoever opened it before could
        // read every byte written later, whatever mode it ends with.
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return {};
}

} // namespace

void TStorable::saveTo(const std::string& path) {
    // The target as the user named it; a link is followed so that it stays a
    // link. Existing files keep their permissions.
    std::string target = path;
    struct stat existing {};
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        // Not a plain file (a device, a pipe): written in place.
        Ref<TFStream> stream(new TFStream(path, "w"));
        stream->writeString(className());
        save(*stream);
        stream->close();
        return;
    }
    if (exists) {
        if (::access(path.c_str(), W_OK) != 0) {
            raiseError("TFStream::open -> Cannot open file '%s'", path.c_str());
        }
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    const std::string temp = createSiblingTemp(target);
    if (temp.empty()) {
        raiseError("TFStream::open -> Cannot open file '%s'", path.c_str());
    }
    try {
        Ref<TFStream> stream(new TFStream(temp, "w"));
        stream->writeString(className());
        save(*stream);
        stream->close();
        ::chmod(temp.c_str(), exists ? existing.st_mode & 07777 : 0666 & ~platform::currentUmask());
        if (std::rename(temp.c_str(), target.c_str()) != 0) {
            raiseError("TStorable::saveTo -> Cannot write file '%s'", path.c_str());
        }
    } catch (...) {
        std::remove(temp.c_str());
        throw;
    }
}

void TStorable::loadFrom(const std::string& path) {
    Ref<TFStream> stream(new TFStream(path, "r"));
    const std::string expected = className();
    std::string tag;
    // A tag is a class name; a longer run of bytes is no tag.
    constexpr std::size_t kMaxTagLength = 1024;
    stream->readString(tag, kMaxTagLength);
    if (tag.size() != expected.size() || tag != expected) {
        raiseError("TStorable::loadFrom -> Expect %s receive %s", expected.c_str(), tag.c_str());
    }
    load(*stream);
    stream->close();
}

} // namespace pa
