#pragma once
// Version information of a module file. The build embeds into every module
// the section ".veldon_version": "VELDON-VERSIONINFO\0", then "Key=Value\0"
// pairs, then an empty string. The reader takes the file apart as outside
// input: every offset and size is checked against the file.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace platform {

inline constexpr char kVersionSectionName[] = ".veldon_version";

struct VersionInfo {
    // CompanyName, FileDescription, FileVersion, InternalName,
    // OriginalFilename, ProductName, ProductVersion.
    std::map<std::string, std::string> strings;
    // FileVersion and ProductVersion as four numbers, most significant first;
    // zero when the record has no such value.
    std::array<uint16_t, 4> fileVersion{};
    std::array<uint16_t, 4> productVersion{};

    // The value of a key; empty when the record has none.
    std::string value(const std::string& key) const;
};

// The version information of an ELF64 file; nothing when the file cannot be
// read, is no ELF64 file, has no version section or a malformed one.
std::optional<VersionInfo> readVersionInfo(const std::string& path);

// The same for a file's bytes in memory.
std::optional<VersionInfo> parseVersionInfo(const uint8_t* data, size_t size);

// The file of the loaded module (executable or shared library) that holds an
// address; empty when no module holds it.
std::string modulePath(const void* addressInModule);

// The file of the running program; empty when it cannot be found.
std::string currentExecutablePath();

} // namespace platform
