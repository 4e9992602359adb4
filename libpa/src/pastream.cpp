#include "pa/pastream.h"

#include "pa/palog.h"
#include "pa/sysutils.h"
#include "platform/own_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

TFStream::TFStream(int fd, const std::string& path) : path_(path) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    file_ = copy >= 0 ? ::fdopen(copy, "wb") : nullptr;
    if (!file_) {
        if (copy >= 0) {
            ::close(copy);
        }
        raiseError("TFStream::open -> Cannot open file '%s'", path.c_str());
    }
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
    if ((std::fclose(file) != 0 || writeFailed) && writeError_ == 0) {
        writeError_ = errno != 0 ? errno : EIO;
    }
    if (writeError_ != 0) {
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
    const std::size_t written = std::fwrite(buffer, 1, count, checkedFile("write"));
    if (written != count && writeError_ == 0) {
        writeError_ = errno != 0 ? errno : EIO;
    }
    return written;
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

void TStorable::saveTo(const std::string& path) {
    // Written whole beside the target, which it replaces only then; through
    // the descriptor it was made as, never again by name.
    platform::FileReplacement file;
    std::string why;
    if (const int rc = file.open(path.c_str(), why); rc != 0) {
        raiseError("TFStream::open -> Cannot open file '%s' (%s)", path.c_str(),
                   platform::failureText(rc, why).c_str());
    }
    Ref<TFStream> stream(new TFStream(file.fd(), path));
    try {
        stream->writeString(className());
        save(*stream);
        stream->close();
    } catch (const Exception& e) {
        // Whatever step met it, a write the system refused names its reason.
        if (stream->writeError() == 0) {
            throw;
        }
        raiseError("%s (%s)", e.message().c_str(), std::strerror(stream->writeError()));
    }
    if (const int rc = file.commit(why); rc != 0) {
        raiseError("TStorable::saveTo -> Cannot write file '%s' (%s)", path.c_str(),
                   platform::failureText(rc, why).c_str());
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
