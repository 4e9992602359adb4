#include "dorvel/user_file.h"

#include <crypt.h>

#include <algorithm>
#include <limits>
#include <set>

namespace dorvel {
namespace {

uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// Reads the records one field at a time; every read is bounded by the file.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool take(size_t n, std::span<const uint8_t>& out) {
        if (bytes_.size() - pos_ < n) {
            return false;
        }
        out = bytes_.subspan(pos_, n);
        pos_ += n;
        return true;
    }
    bool u8(uint8_t& v) {
        std::span<const uint8_t> s;
        if (!take(1, s)) {
            return false;
        }
        v = s[0];
        return true;
    }
    bool u16(uint16_t& v) {
        std::span<const uint8_t> s;
        if (!take(2, s)) {
            return false;
        }
        v = get16(s.data());
        return true;
    }
    bool u32(uint32_t& v) {
        std::span<const uint8_t> s;
        if (!take(4, s)) {
            return false;
        }
        v = get32(s.data());
        return true;
    }
    bool text(size_t n, std::string& out) {
        std::span<const uint8_t> s;
        if (!take(n, s)) {
            return false;
        }
        out.assign(s.begin(), s.end());
        return true;
    }
    bool atEnd() const { return pos_ == bytes_.size(); }

private:
    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
};

bool readRecord(Reader& in, UserRecord& user) {
    uint8_t nameLength = 0;
    uint32_t level = 0;
    uint16_t hashLength = 0;
    if (!in.u8(nameLength) || !in.text(nameLength, user.name) || !in.u32(level) ||
        !in.u16(hashLength) || !in.text(hashLength, user.hash)) {
        return false;
    }
    if (level > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        return false;
    }
    user.level = static_cast<int32_t>(level);
    return IsValidUserName(user.name) && IsAcceptedHash(user.hash);
}

} // namespace

bool IsValidUserName(std::string_view name) {
    if (name.empty() || name.size() > kMaxUserNameBytes) {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}

bool IsValidPassword(std::string_view password) {
    return !password.empty() && password.size() <= kMaxPasswordBytes &&
           password.find('\0') == std::string_view::npos;
}

bool IsAcceptedHash(std::string_view hash) {
    if (hash.size() < 2 || hash.size() > kMaxHashBytes || hash[0] != '$') {
        return false;
    }
    const bool plain = std::all_of(hash.begin(), hash.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '/' || c == '$' || c == '=' || c == ',';
    });
    // The library names weak, legacy and disabled methods; only what it
    // counts as sound is taken.
    return plain && crypt_checksalt(std::string(hash).c_str()) == CRYPT_SALT_OK;
}

bool ReadUserFileHeader(std::span<const uint8_t> bytes, UserFileHeader& out) {
    if (bytes.size() < kUserFileHeaderSize || get32(bytes.data()) != kUserFileMagic) {
        return false;
    }
    out.magic = kUserFileMagic;
    out.version = get16(bytes.data() + 4);
    out.hashCost = get16(bytes.data() + 6);
    out.flags = get32(bytes.data() + 8);
    out.userCount = get32(bytes.data() + 12);
    return true;
}

int32_t ParseUserFile(std::span<const uint8_t> bytes, UserFileContents& out) {
    if (bytes.size() > kMaxUserFileSize) {
        return kUserFileTooLarge;
    }
    UserFileContents parsed;
    if (!ReadUserFileHeader(bytes, parsed.header)) {
        return kUserBadFile;
    }
    const UserFileHeader& h = parsed.header;
    const auto reserved = bytes.subspan(16, kUserFileHeaderSize - 16);
    if (h.version != kUserFileVersion || h.hashCost > kMaxHashCost ||
        (h.flags & ~kUserFileLoginRequired) != 0 || h.userCount > kMaxUsers ||
        std::any_of(reserved.begin(), reserved.end(), [](uint8_t b) { return b != 0; })) {
        return kUserBadFile;
    }
    Reader in(bytes.subspan(kUserFileHeaderSize));
    std::set<std::string> names;
    parsed.users.resize(h.userCount);
    for (UserRecord& user : parsed.users) {
        if (!readRecord(in, user) || !names.insert(user.name).second) {
            return kUserBadFile;
        }
    }
    if (!in.atEnd()) {
        return kUserBadFile;
    }
    out = std::move(parsed);
    return kUserOk;
}

std::vector<uint8_t> EncodeUserFile(const UserFileContents& contents) {
    std::vector<uint8_t> out;
    put32(out, kUserFileMagic);
    put16(out, kUserFileVersion);
    put16(out, contents.header.hashCost);
    put32(out, contents.header.flags);
    put32(out, static_cast<uint32_t>(contents.users.size()));
    out.resize(kUserFileHeaderSize, 0);
    for (const UserRecord& user : contents.users) {
        out.push_back(static_cast<uint8_t>(user.name.size()));
        out.insert(out.end(), user.name.begin(), user.name.end());
        put32(out, static_cast<uint32_t>(user.level));
        put16(out, static_cast<uint16_t>(user.hash.size()));
        out.insert(out.end(), user.hash.begin(), user.hash.end());
    }
    return out;
}

} // namespace dorvel
