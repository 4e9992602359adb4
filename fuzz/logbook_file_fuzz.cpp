// A logbook file is outside input: whatever lies at a logbook's path is
// opened and loaded.
#include "fuzz_check.h"
#include "glimra/logbookfile.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

// One scratch file per process, removed at exit.
struct Scratch {
    Scratch() {
        char name[] = "/tmp/logbook-fuzz-XXXXXX";
        const int fd = ::mkstemp(name);
        fuzz::check(fd >= 0);
        ::close(fd);
        path = name;
    }
    ~Scratch() { ::unlink(path.c_str()); }
    std::string path;
};

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
    fuzz::check(fd >= 0);
    fuzz::check(size == 0 || ::write(fd, data, size) == static_cast<ssize_t>(size));
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    writeFile(scratch.path, data, size);

    glimra::LogbookFile file;
    fuzz::check(file.open(scratch.path));
    const std::int64_t count = file.recordCount();
    fuzz::check(count == (size < 4 ? 0 : static_cast<std::int64_t>((size - 4) / 388)));
    const int header = file.readHeader();
    const int next = glimra::nextLogIndex(header, count);
    fuzz::check(next >= -1 && next <= count + 1);

    std::int64_t shown = 0;
    const bool loaded = file.load(count, [&](int index, glimra::LogRecordBytes& record) {
        fuzz::check(index == ++shown);
        // Texts end inside their fields; heights are sane; nothing is new.
        fuzz::check(record[glimra::kLogRecordTextOffset + glimra::kLogRecordTextSize - 1] == 0);
        fuzz::check(record[glimra::kLogRecordFaceOffset + glimra::kLogRecordFaceSize - 1] == 0);
        const std::int32_t height = glimra::recordFontHeight(record);
        fuzz::check(height >= -glimra::kLogMostFontHeight && height <= glimra::kLogMostFontHeight);
        fuzz::check(
            std::all_of(record.begin(), record.begin() + 4, [](uint8_t b) { return b == 0; }));
        return true;
    });
    fuzz::check(loaded == (size >= 4));
    fuzz::check(shown == (size >= 4 ? std::clamp<std::int64_t>(header, 0, count) : 0));
    return 0;
}
