#include "platform/version_info.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

// Sizes beyond these are not a module of ours: refuse rather than allocate.
constexpr uint64_t kMaxSections = 1u << 16;
constexpr uint64_t kMaxNameTable = 1u << 20;
constexpr uint64_t kMaxRecord = 1u << 16;

constexpr size_t kElfHeaderSize = 64;
constexpr size_t kSectionHeaderSize = 64;
constexpr uint32_t kNoBits = 8;           // SHT_NOBITS: the section has no bytes in the file
constexpr uint16_t kIndexEscape = 0xFFFF; // SHN_XINDEX
constexpr uint8_t kElfMagic[4] = {0x7F, 'E', 'L', 'F'};
constexpr std::string_view kRecordMagic{"VELDON-VERSIONINFO\0", 19};

// Random access to the bytes of a file or a buffer.
class Bytes {
public:
    virtual ~Bytes() = default;
    virtual uint64_t size() const = 0;
    // False unless all of [offset, offset + count) lies inside.
    virtual bool read(uint64_t offset, void* out, size_t count) const = 0;

protected:
    bool inside(uint64_t offset, uint64_t count) const {
        return offset <= size() && count <= size() - offset;
    }
};

class BufferBytes : public Bytes {
public:
    BufferBytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* out, size_t count) const override {
        if (!inside(offset, count)) {
            return false;
        }
        if (count > 0) {
            std::memcpy(out, data_ + offset, count);
        }
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

class FileBytes : public Bytes {
public:
    // Non-blocking, so that a FIFO cannot hang the open; only regular files
    // count.
    explicit FileBytes(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) {
        struct stat st {};
        if (fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
            size_ = static_cast<uint64_t>(st.st_size);
        }
    }
    ~FileBytes() override {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;

    uint64_t size() const override { return size_; }
    bool read(uint64_t offset, void* out, size_t count) const override {
        if (fd_ < 0 || !inside(offset, count)) {
            return false;
        }
        auto* p = static_cast<char*>(out);
        while (count > 0) {
            const ssize_t n = ::pread(fd_, p, count, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false; // the file shrank under us, or a read error
            }
            p += n;
            offset += static_cast<uint64_t>(n);
            count -= static_cast<size_t>(n);
        }
        return true;
    }

private:
    int fd_;
    uint64_t size_ = 0;
};

// Fixed-width fields of either byte order.
class Fields {
public:
    Fields(const uint8_t* p, bool bigEndian) : p_(p), big_(bigEndian) {}
    uint64_t get(size_t offset, size_t width) const {
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i) {
            const uint64_t byte = p_[offset + (big_ ? i : width - 1 - i)];
            v = (v << 8) | byte;
        }
        return v;
    }
    uint16_t u16(size_t offset) const { return static_cast<uint16_t>(get(offset, 2)); }
    uint32_t u32(size_t offset) const { return static_cast<uint32_t>(get(offset, 4)); }
    uint64_t u64(size_t offset) const { return get(offset, 8); }

private:
    const uint8_t* p_;
    bool big_;
};

struct SectionHeader {
    uint32_t name;
    uint32_t type;
    uint64_t offset;
    uint64_t size;
    uint32_t link;
};

struct SectionTable {
    uint64_t offset;
    uint64_t entrySize;
    bool bigEndian;

    std::optional<SectionHeader> at(const Bytes& bytes, uint64_t index) const {
        uint8_t raw[kSectionHeaderSize];
        // index < kMaxSections and entrySize < 2^16: no overflow.
        if (!bytes.read(offset + index * entrySize, raw, sizeof raw)) {
            return std::nullopt;
        }
        const Fields f(raw, bigEndian);
        return SectionHeader{f.u32(0), f.u32(4), f.u64(24), f.u64(32), f.u32(40)};
    }
};

std::optional<std::vector<uint8_t>> sectionBytes(const Bytes& bytes, const SectionHeader& s,
                                                 uint64_t limit) {
    if (s.type == kNoBits || s.size > limit) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(static_cast<size_t>(s.size));
    if (!bytes.read(s.offset, out.data(), out.size())) {
        return std::nullopt;
    }
    return out;
}

// "a.b.c.d" with one to four parts, each 0..65535.
bool parseVersion(const std::string& text, std::array<uint16_t, 4>& out) {
    std::array<uint16_t, 4> v{};
    size_t part = 0;
    size_t digits = 0;
    uint32_t value = 0;
    for (char c : text) {
        if (c == '.') {
            if (digits == 0 || ++part == v.size()) {
                return false;
            }
            digits = 0;
            value = 0;
        } else if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<uint32_t>(c - '0');
            if (++digits > 5 || value > 0xFFFF) {
                return false;
            }
            v[part] = static_cast<uint16_t>(value);
        } else {
            return false;
        }
    }
    if (digits == 0) {
        return false;
    }
    out = v;
    return true;
}

std::optional<VersionInfo> parseRecord(const std::vector<uint8_t>& section) {
    const std::string_view all(reinterpret_cast<const char*>(section.data()), section.size());
    if (!all.starts_with(kRecordMagic)) {
        return std::nullopt;
    }
    VersionInfo info;
    size_t pos = kRecordMagic.size();
    for (;;) {
        const size_t end = all.find('\0', pos);
        if (end == std::string_view::npos) {
            return std::nullopt; // cut off before the closing empty string
        }
        const std::string_view entry = all.substr(pos, end - pos);
        pos = end + 1;
        if (entry.empty()) {
            break;
        }
        const size_t eq = entry.find('=');
        if (eq == 0 || eq == std::string_view::npos) {
            return std::nullopt;
        }
        info.strings.emplace(std::string(entry.substr(0, eq)), std::string(entry.substr(eq + 1)));
    }
    for (auto [key, numbers] : {std::pair{"FileVersion", &info.fileVersion},
                                std::pair{"ProductVersion", &info.productVersion}}) {
        auto it = info.strings.find(key);
        if (it != info.strings.end() && !parseVersion(it->second, *numbers)) {
            return std::nullopt;
        }
    }
    return info;
}

std::optional<VersionInfo> parse(const Bytes& bytes) {
    uint8_t header[kElfHeaderSize];
    if (!bytes.read(0, header, sizeof header) || std::memcmp(header, kElfMagic, 4) != 0) {
        return std::nullopt;
    }
    // 64-bit class, either byte order, version 1.
    if (header[4] != 2 || (header[5] != 1 && header[5] != 2) || header[6] != 1) {
        return std::nullopt;
    }
    const bool big = header[5] == 2;
    const Fields eh(header, big);
    SectionTable table{eh.u64(0x28), eh.u16(0x3A), big};
    uint64_t count = eh.u16(0x3C);
    uint64_t nameIndex = eh.u16(0x3E);
    if (table.offset == 0 || table.entrySize < kSectionHeaderSize) {
        return std::nullopt;
    }
    // Many sections: the real count and name-table index sit in section 0.
    if (table.offset > bytes.size()) {
        return std::nullopt;
    }
    if (count == 0 || nameIndex == kIndexEscape) {
        const auto first = table.at(bytes, 0);
        if (!first) {
            return std::nullopt;
        }
        if (count == 0) {
            count = first->size;
        }
        if (nameIndex == kIndexEscape) {
            nameIndex = first->link;
        }
    }
    // Every header must lie inside the file; this also keeps the offsets
    // computed from them from overflowing.
    if (count == 0 || count > kMaxSections || nameIndex >= count || table.offset > bytes.size() ||
        count * table.entrySize > bytes.size() - table.offset) {
        return std::nullopt;
    }
    const auto nameSection = table.at(bytes, nameIndex);
    if (!nameSection) {
        return std::nullopt;
    }
    const auto names = sectionBytes(bytes, *nameSection, kMaxNameTable);
    if (!names) {
        return std::nullopt;
    }
    const std::string_view nameTable(reinterpret_cast<const char*>(names->data()), names->size());
    const std::string_view wanted(kVersionSectionName);
    for (uint64_t i = 1; i < count; ++i) {
        const auto section = table.at(bytes, i);
        if (!section) {
            return std::nullopt;
        }
        if (section->name >= nameTable.size()) {
            continue;
        }
        const std::string_view rest = nameTable.substr(section->name);
        if (rest.size() <= wanted.size() || !rest.starts_with(wanted) ||
            rest[wanted.size()] != '\0') {
            continue;
        }
        const auto record = sectionBytes(bytes, *section, kMaxRecord);
        return record ? parseRecord(*record) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace

std::string VersionInfo::value(const std::string& key) const {
    const auto it = strings.find(key);
    return it == strings.end() ? std::string() : it->second;
}

std::optional<VersionInfo> readVersionInfo(const std::string& path) {
    return parse(FileBytes(path));
}

std::optional<VersionInfo> parseVersionInfo(const uint8_t* data, size_t size) {
    if (data == nullptr) {
        return std::nullopt;
    }
    return parse(BufferBytes(data, size));
}

std::string modulePath(const void* addressInModule) {
    Dl_info info{};
    link_map* map = nullptr;
    if (addressInModule == nullptr ||
        dladdr1(addressInModule, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
        return {};
    }
    // The program itself has an empty name in the loader's list.
    if (map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
        return map->l_name;
    }
    if (map != nullptr && map->l_prev == nullptr) {
        return currentExecutablePath();
    }
    return info.dli_fname != nullptr ? info.dli_fname : std::string();
}

std::string currentExecutablePath() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<size_t>(n) < buffer.size()) {
            return std::string(buffer.data(), static_cast<size_t>(n));
        }
        if (buffer.size() >= (1u << 16)) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace platform
