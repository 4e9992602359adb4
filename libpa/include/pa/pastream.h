#pragma once
// Byte streams and persistent objects. Streams carry outside input (files the
// user picks), so every helper that parses fails with a framework error on a
// short or malformed stream instead of returning garbage.

#include "pa/pabase.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace pa {

class TStream : public virtual TBase {
public:
    // Bytes transferred; a short count is not an error by itself.
    virtual std::size_t write(const void* buffer, std::size_t count) = 0;
    virtual std::size_t read(void* buffer, std::size_t count) = 0;
    // origin 0 start, 1 current, 2 end; returns the new position.
    virtual std::int64_t seek(std::int64_t offset, int origin) = 0;
    virtual std::int64_t size() = 0;
    virtual std::int64_t position() = 0;
    // Leaves the position where it was.
    virtual bool eof() = 0;

    // 4 bytes, little-endian; raise on a short transfer.
    std::int32_t readInt();
    void writeInt(std::int32_t value);
    // Bytes up to a zero byte, which is consumed and not stored; appended to
    // `text`. Raises when the stream ends first or the string exceeds
    // `maxLength` bytes.
    void readString(std::string& text, std::size_t maxLength = kMaxStringLength);
    // The bytes and one zero byte; raises on a short transfer.
    void writeString(const std::string& text);

    // Longer strings are taken for a damaged file.
    static constexpr std::size_t kMaxStringLength = 16u << 20;

protected:
    ~TStream() override = default;
};

// A stream on a file opened in binary mode: the bytes are written and read
// exactly, without line-end translation.
class TFStream : public TStream {
public:
    // Opens at once; raises "TFStream::open -> Cannot open file '<path>'".
    TFStream(const std::string& path, const std::string& mode);
    // Writes to a copy of fd, a file opened by other means for writing; path
    // names it in messages.
    TFStream(int fd, const std::string& path);

    // mode "w" or "r".
    void open(const std::string& path, const std::string& mode);
    // Closes the file if one is open and forgets it. Raises when the final
    // flush or close fails, so that a write that never reached the file is
    // not taken for success.
    void close();
    bool isOpen() const { return file_ != nullptr; }
    // The system's error number of the first write, flush or close that
    // failed; 0 while none did.
    int writeError() const { return writeError_; }

    std::size_t write(const void* buffer, std::size_t count) override;
    std::size_t read(void* buffer, std::size_t count) override;
    std::int64_t seek(std::int64_t offset, int origin) override;
    std::int64_t size() override;
    std::int64_t position() override;
    bool eof() override;

protected:
    // Closes quietly; callers that need to know close() first.
    ~TFStream() override;

private:
    std::FILE* checkedFile(const char* operation) const;

    std::FILE* file_ = nullptr;
    std::string path_;
    bool readable_ = false;
    int writeError_ = 0;
};

// A persistent object. Files made by saveTo hold the class-name tag
// (className and a zero byte), then the save payload.
class TStorable : public virtual TBase {
public:
    virtual void save(TStream& stream) = 0;
    virtual void load(TStream& stream) = 0;

    // The file appears whole or not at all: it is written beside the target
    // and takes its place only once it is complete and closed, so a failed
    // save keeps the previous file. A name the user may not write there
    // (platform::judgeFileToWrite) raises the open error with the reason, as
    // does every failure the system gave a reason for.
    void saveTo(const std::string& path);
    // Raises "TStorable::loadFrom -> Expect <own class> receive <tag>" and
    // leaves the object untouched when the tag is another class's.
    void loadFrom(const std::string& path);

protected:
    ~TStorable() override = default;
};

} // namespace pa
