#include "platform/version_info.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace platform;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kRecord{"VELDON-VERSIONINFO\0"
                          "CompanyName=Orvo\0"
                          "FileVersion=3.14.15.9265\0"
                          "ProductVersion=2.1\0"
                          "\0",
                          19 + 17 + 25 + 19 + 1};

std::string platformLibrary() {
    return modulePath(reinterpret_cast<const void*>(&readVersionInfo));
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

fs::path tempDir() {
    const char* dir = std::getenv("VELDON_TEST_TMP");
    fs::path p = dir != nullptr ? fs::path(dir) : fs::temp_directory_path();
    p /= "version_info_test." + std::to_string(::getpid());
    fs::create_directories(p);
    return p;
}

// A file that is removed at the end of the test.
struct TempFile {
    fs::path path;
    explicit TempFile(const Bytes& bytes) : path(tempDir() / "module.so") {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    ~TempFile() { fs::remove_all(path.parent_path()); }
};

// Both readers must agree on every input.
std::optional<VersionInfo> parseBoth(const Bytes& bytes) {
    auto fromBuffer = parseVersionInfo(bytes.data(), bytes.size());
    TempFile file(bytes);
    auto fromFile = readVersionInfo(file.path.string());
    EXPECT_EQ(fromBuffer.has_value(), fromFile.has_value());
    if (fromBuffer && fromFile) {
        EXPECT_EQ(fromBuffer->strings, fromFile->strings);
    }
    return fromBuffer;
}

template <typename T> void put(Bytes& b, size_t offset, T value, bool big) {
    for (size_t i = 0; i < sizeof(T); ++i) {
        const size_t shift = 8 * (big ? sizeof(T) - 1 - i : i);
        b[offset + i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> shift);
    }
}

// A minimal ELF64 file: the null section, the name table and the version
// section (with `section` as its bytes), the section headers at the end.
// With extended numbering the count and name index live in section 0.
Bytes buildElf(const std::string& section, bool big = false, bool extended = false) {
    const std::string names{"\0.shstrtab\0.veldon_version\0", 27};
    Bytes b(64);
    b[0] = 0x7F;
    b[1] = 'E';
    b[2] = 'L';
    b[3] = 'F';
    b[4] = ELFCLASS64;
    b[5] = big ? ELFDATA2MSB : ELFDATA2LSB;
    b[6] = EV_CURRENT;
    const size_t namesAt = b.size();
    b.insert(b.end(), names.begin(), names.end());
    const size_t sectionAt = b.size();
    b.insert(b.end(), section.begin(), section.end());
    const size_t headersAt = b.size();
    b.resize(headersAt + 3 * 64, 0);
    put<uint64_t>(b, 0x28, headersAt, big);
    put<uint16_t>(b, 0x34, 64, big);
    put<uint16_t>(b, 0x3A, 64, big);
    put<uint16_t>(b, 0x3C, extended ? 0 : 3, big);
    put<uint16_t>(b, 0x3E, extended ? SHN_XINDEX : 1, big);
    if (extended) {
        put<uint64_t>(b, headersAt + 32, 3, big); // sh_size: the count
        put<uint32_t>(b, headersAt + 40, 1, big); // sh_link: the name index
    }
    auto header = [&](size_t index, uint32_t name, uint32_t type, size_t offset, size_t size) {
        const size_t h = headersAt + index * 64;
        put<uint32_t>(b, h + 0, name, big);
        put<uint32_t>(b, h + 4, type, big);
        put<uint64_t>(b, h + 24, offset, big);
        put<uint64_t>(b, h + 32, size, big);
    };
    header(1, 1, SHT_STRTAB, namesAt, names.size());
    header(2, 11, SHT_PROGBITS, sectionAt, section.size());
    return b;
}

// Offset of the header of the version section in a little-endian ELF64 file.
size_t versionHeaderOffset(const Bytes& b) {
    Elf64_Ehdr eh;
    std::memcpy(&eh, b.data(), sizeof eh);
    Elf64_Shdr names;
    std::memcpy(&names, b.data() + eh.e_shoff + eh.e_shstrndx * sizeof(Elf64_Shdr), sizeof names);
    for (size_t i = 0; i < eh.e_shnum; ++i) {
        const size_t at = eh.e_shoff + i * sizeof(Elf64_Shdr);
        Elf64_Shdr sh;
        std::memcpy(&sh, b.data() + at, sizeof sh);
        if (std::strcmp(reinterpret_cast<const char*>(b.data()) + names.sh_offset + sh.sh_name,
                        kVersionSectionName) == 0) {
            return at;
        }
    }
    return 0;
}

Elf64_Shdr sectionAt(const Bytes& b, size_t headerOffset) {
    Elf64_Shdr sh;
    std::memcpy(&sh, b.data() + headerOffset, sizeof sh);
    return sh;
}

} // namespace

TEST(VersionInfo, ReadsTheRecordOfTheBuiltPlatformLibrary) {
    const std::string path = platformLibrary();
    ASSERT_FALSE(path.empty());
    // Loaded by its soname.
    EXPECT_EQ(fs::path(path).filename(), "libveldon_platform.so.1");
    const auto info = readVersionInfo(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->value("InternalName"), "veldon_platform");
    EXPECT_EQ(info->value("OriginalFilename"), "libveldon_platform.so");
    EXPECT_EQ(info->value("ProductName"), "VELDON");
    EXPECT_EQ(info->value("FileDescription"), "Platform layer");
    EXPECT_FALSE(info->value("CompanyName").empty());
    EXPECT_EQ(info->value("NoSuchKey"), "");
    for (auto [key, numbers] : {std::pair{"FileVersion", info->fileVersion},
                                std::pair{"ProductVersion", info->productVersion}}) {
        const std::string text = std::to_string(numbers[0]) + "." + std::to_string(numbers[1]) +
                                 "." + std::to_string(numbers[2]) + "." +
                                 std::to_string(numbers[3]);
        EXPECT_EQ(info->value(key), text) << key;
    }
    EXPECT_GE(info->fileVersion[0], 1);
}

TEST(VersionInfo, ModulePathFindsTheProgramAndNothingForOtherAddresses) {
    const std::string exe = currentExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(fs::path(exe).filename(), "platform_version_info_test");
    EXPECT_EQ(modulePath(reinterpret_cast<const void*>(&platformLibrary)), exe);
    int onTheStack = 0;
    EXPECT_EQ(modulePath(&onTheStack), "");
    EXPECT_EQ(modulePath(nullptr), "");
    EXPECT_FALSE(readVersionInfo(exe)) << "test programs carry no version record";
}

TEST(VersionInfo, MissingAndUnreadableFilesHaveNone) {
    EXPECT_FALSE(readVersionInfo(""));
    EXPECT_FALSE(readVersionInfo("/nonexistent/libnothing.so"));
    EXPECT_FALSE(readVersionInfo("/"));
    EXPECT_FALSE(readVersionInfo("/dev/zero"));
    const fs::path fifo = tempDir() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(readVersionInfo(fifo.string())) << "must not wait for a writer";
    fs::remove_all(fifo.parent_path());
    EXPECT_FALSE(parseVersionInfo(nullptr, 10));
    EXPECT_FALSE(parseBoth({}));
}

TEST(VersionInfo, ParsesBothByteOrdersAndExtendedNumbering) {
    for (bool big : {false, true}) {
        for (bool extended : {false, true}) {
            const auto info = parseBoth(buildElf(kRecord, big, extended));
            ASSERT_TRUE(info) << big << extended;
            EXPECT_EQ(info->value("CompanyName"), "Orvo");
            EXPECT_EQ(info->fileVersion, (std::array<uint16_t, 4>{3, 14, 15, 9265}));
            EXPECT_EQ(info->productVersion, (std::array<uint16_t, 4>{2, 1, 0, 0}));
        }
    }
}

TEST(VersionInfo, PaddingAfterTheRecordIsIgnored) {
    const auto info = parseBoth(buildElf(kRecord + std::string(32, '\0') + "junk"));
    ASSERT_TRUE(info);
    EXPECT_EQ(info->strings.size(), 3u);
}

TEST(VersionInfo, MalformedRecordsAreRefused) {
    const std::string magic{"VELDON-VERSIONINFO\0", 19};
    for (const std::string& bad : {
             std::string("VELDON-VERSIONINF"),                       // cut in the magic
             std::string("VELDON-versioninfo\0\0", 20),              // wrong magic
             magic + std::string("CompanyName=Orvo\0", 17),          // no closing empty string
             magic + std::string("CompanyName=Orvo", 16),            // cut inside an entry
             magic + std::string("CompanyName\0\0", 13),             // no '='
             magic + std::string("=Orvo\0\0", 7),                    // empty key
             magic + std::string("FileVersion=1.x.0.0\0\0", 21),     // not a number
             magic + std::string("FileVersion=1.0.0.0.0\0\0", 23),   // five parts
             magic + std::string("FileVersion=65536.0.0.0\0\0", 25), // out of range
             magic + std::string("ProductVersion=1..0\0\0", 21),     // empty part
             magic + std::string("ProductVersion=\0\0", 17),         // empty version
         }) {
        EXPECT_FALSE(parseBoth(buildElf(bad))) << bad;
    }
    EXPECT_TRUE(parseBoth(buildElf(magic + std::string("FileVersion=65535\0\0", 19))));
}

TEST(VersionInfo, BrokenHeadersAreRefused) {
    const Bytes good = buildElf(kRecord);
    ASSERT_TRUE(parseBoth(good));
    const size_t shoff = good.size() - 3 * 64;
    struct Case {
        const char* what;
        size_t offset;
        size_t width;
        uint64_t value;
    };
    for (const Case& c : {
             Case{"magic", 1, 1, 'e'},
             Case{"32-bit class", 4, 1, ELFCLASS32},
             Case{"byte order", 5, 1, 3},
             Case{"version", 6, 1, 0},
             Case{"no section table", 0x28, 8, 0},
             Case{"table past the end", 0x28, 8, good.size()},
             Case{"table offset near 2^64", 0x28, 8, ~uint64_t{0} - 63},
             Case{"entry size too small", 0x3A, 2, 32},
             Case{"entry size huge", 0x3A, 2, 0xFFFF},
             Case{"too many sections", 0x3C, 2, 4},
             Case{"name index out of range", 0x3E, 2, 3},
             Case{"name table past the end", shoff + 64 + 24, 8, good.size()},
             Case{"name table size huge", shoff + 64 + 32, 8, ~uint64_t{0}},
             Case{"version section past the end", shoff + 128 + 24, 8, good.size() - 4},
             Case{"version section size huge", shoff + 128 + 32, 8, uint64_t{1} << 40},
             Case{"version section without file bytes", shoff + 128 + 4, 4, SHT_NOBITS},
             Case{"version section name past the table", shoff + 128, 4, 1000},
             Case{"version section named without its dot", shoff + 128, 4, 12},
         }) {
        Bytes bad = good;
        for (size_t i = 0; i < c.width; ++i) {
            bad[c.offset + i] = static_cast<uint8_t>(c.value >> (8 * i));
        }
        EXPECT_FALSE(parseBoth(bad)) << c.what;
    }
}

TEST(VersionInfo, ExtendedNumberingWithBrokenSectionZeroIsRefused) {
    Bytes bad = buildElf(kRecord, false, true);
    const size_t shoff = bad.size() - 3 * 64;
    put<uint64_t>(bad, shoff + 32, 1u << 20, false); // count beyond the file
    EXPECT_FALSE(parseBoth(bad));
    bad = buildElf(kRecord, false, true);
    put<uint32_t>(bad, shoff + 40, 7, false); // name index beyond the count
    EXPECT_FALSE(parseBoth(bad));
}

TEST(VersionInfo, CorruptedCopiesOfARealModuleAreHandled) {
    const Bytes original = readFile(platformLibrary());
    ASSERT_GT(original.size(), 4096u);
    ASSERT_TRUE(parseBoth(original));
    const size_t header = versionHeaderOffset(original);
    ASSERT_NE(header, 0u);
    const Elf64_Shdr section = sectionAt(original, header);

    // Cut anywhere before the end of the section headers: gone.
    for (size_t cut :
         {size_t{0}, size_t{63}, size_t{64}, original.size() / 2, original.size() - 1}) {
        EXPECT_FALSE(parseBoth(Bytes(original.begin(), original.begin() + static_cast<long>(cut))))
            << cut;
    }
    // The record itself damaged.
    Bytes noMagic = original;
    noMagic[section.sh_offset] = 'X';
    EXPECT_FALSE(parseBoth(noMagic));
    Bytes unterminated = original;
    std::fill(unterminated.begin() + static_cast<long>(section.sh_offset + 19),
              unterminated.begin() + static_cast<long>(section.sh_offset + section.sh_size), 'x');
    EXPECT_FALSE(parseBoth(unterminated));
    // The section header pointing elsewhere.
    Bytes moved = original;
    Elf64_Shdr sh = section;
    sh.sh_offset = original.size() - 8;
    sh.sh_size = 64;
    std::memcpy(moved.data() + header, &sh, sizeof sh);
    EXPECT_FALSE(parseBoth(moved));
    // A field the reader has no use for changes nothing.
    Bytes otherEntry = original;
    otherEntry[0x18] ^= 0xFF; // e_entry
    EXPECT_TRUE(parseBoth(otherEntry));
}
