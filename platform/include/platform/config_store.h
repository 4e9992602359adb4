#pragma once
// Configuration store: keys and values in place of the registry.
//
// Two roots, each a directory:
//   machine  $VELDON_MACHINE_CONFIG, else /etc/veldon
//   user     $VELDON_USER_CONFIG, else $XDG_CONFIG_HOME/veldon (when absolute),
//            else $HOME/.config/veldon, else the home directory of the user
// The environment is read at every open, so a test or a demo can move a root
// to a temporary directory at any time. The same directories hold the plain
// text configuration files (systemConfigDirectory, userConfigDirectory).
//
// A key is addressed by a backslash path below its root
// ("Software\Orvo\VELDON\Parameters") and is a directory of the same path
// ("Software/Orvo/VELDON/Parameters/"). Key and value names compare without
// regard to ASCII case; a new key keeps the case it was created with. A key's
// values live in the file "values.conf" of its directory, one value a line:
//
//   ; comment (lines starting with ';' or '#'), blank lines
//   "MUX-KRD Delay time"=dword:00000019        DWORD: 1 to 8 hex digits
//   "Ext Sensor Desc file name"="/etc/veldon/sensor.ini"   string
//   "Table"=hex:01,02,ff                       binary: bytes in hex, comma separated
//
// Names and strings are in double quotes with the escapes \\ \" \n \r \t and
// \xHH; any other byte, UTF-8 included, stands for itself. Blanks are allowed
// around '=' and at the line ends, CR LF and LF line ends both. A line that
// does not parse, is longer than kMaxConfigLineLength or holds more than the limits
// below is skipped (and kept as it is when the key is written); when a name
// appears twice the last line wins. Writes keep comments and unknown lines,
// replace a value's line in place and append new values; the file is replaced
// atomically (temp file, fsync, rename), so neither a reader nor a crash ever
// sees a half-written key. A file above kMaxConfigFileSize is refused (EFBIG),
// never read in part and never overwritten.
//
// Results are errno values: 0 success, ENOENT (2) key or value not found,
// ENOMSG value of another type, EINVAL bad name or path, EACCES write through
// a key opened for reading, EBADF key not open, EFBIG a size limit, ENOTEMPTY
// key with subkeys; anything else is the file system's error.
//
// Thread-safe: one ConfigKey may be used by many threads, and writes to the
// store are serialised within the process. Two processes writing one key at
// the same time each write a whole file, and the later rename wins.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

enum class ConfigRoot { Machine, User };
enum class ConfigAccess { Read, Write };
enum class ConfigValueType { Dword, String, Binary };

inline constexpr int kConfigNotFound = ENOENT;
inline constexpr int kConfigWrongType = ENOMSG;

inline constexpr std::size_t kMaxConfigFileSize = 1024 * 1024;
inline constexpr std::size_t kMaxConfigLineLength = 256 * 1024;
inline constexpr std::size_t kMaxConfigNameLength = 16383;
inline constexpr std::size_t kMaxConfigDataSize = 64 * 1024; // string bytes or binary bytes
inline constexpr std::size_t kMaxConfigKeyNameLength = 255;  // one path component
inline constexpr std::size_t kMaxConfigKeyDepth = 64;

using ConfigData = std::variant<uint32_t, std::string, std::vector<uint8_t>>;

struct ConfigValue {
    std::string name;
    ConfigData data;

    ConfigValueType type() const { return static_cast<ConfigValueType>(data.index()); }
    bool operator==(const ConfigValue&) const = default;
};

// The directory of a root as the environment names it now; empty when no
// home directory can be found for the user root.
std::filesystem::path configRootDirectory(ConfigRoot root);
std::filesystem::path systemConfigDirectory(); // machine root
std::filesystem::path userConfigDirectory();   // user root

class ConfigKey {
public:
    ConfigKey() = default;
    // A moved-from key is closed.
    ConfigKey(ConfigKey&& other) noexcept { *this = std::move(other); }
    ConfigKey& operator=(ConfigKey&& other) noexcept {
        if (this != &other) {
            directory_ = std::move(other.directory_);
            access_ = other.access_;
            other.close();
        }
        return *this;
    }

    // Read: the key must exist (ENOENT otherwise). Write: creates the key and
    // every missing parent. An empty path is the root itself.
    int open(ConfigRoot root, std::string_view path, ConfigAccess access = ConfigAccess::Read);
    // A driver's form of a machine key: "\Registry\Machine\<path>".
    int openAbsolute(std::string_view absolutePath, ConfigAccess access = ConfigAccess::Read);
    void close() noexcept;
    bool isOpen() const { return !directory_.empty(); }
    const std::filesystem::path& directory() const { return directory_; }

    int query(std::string_view name, ConfigData& out) const;
    int queryDword(std::string_view name, uint32_t& out) const;
    int queryString(std::string_view name, std::string& out) const;
    int queryBinary(std::string_view name, std::vector<uint8_t>& out) const;
    // Every value of the key in file order.
    int enumValues(std::vector<ConfigValue>& out) const;

    int set(std::string_view name, const ConfigData& data);
    int setDword(std::string_view name, uint32_t value);
    int setString(std::string_view name, std::string_view value);
    int setBinary(std::string_view name, std::span<const uint8_t> value);
    int deleteValue(std::string_view name); // ENOENT when there was none

private:
    int readFile(std::string& text) const;
    int modify(std::string_view name, const ConfigData* data);

    std::filesystem::path directory_;
    ConfigAccess access_ = ConfigAccess::Read;
};

// Removes a key with its values. ENOENT when missing, ENOTEMPTY while it has
// subkeys, EINVAL for the root itself.
int deleteConfigKey(ConfigRoot root, std::string_view path);

// The parsed text of a values file. Parsing never fails: lines that do not
// parse are kept for writing back but hold no value.
class ConfigValueFile {
public:
    ConfigValueFile() = default;
    explicit ConfigValueFile(std::string text) { parse(std::move(text)); }

    void parse(std::string text);
    const std::string& text() const { return text_; }
    const std::vector<ConfigValue>& values() const { return values_; } // file order, no duplicates
    const ConfigValue* find(std::string_view name) const;

    // EINVAL for a name or string that cannot be stored, EFBIG beyond the limits.
    int set(std::string_view name, const ConfigData& data);
    bool remove(std::string_view name);

    static std::string formatLine(std::string_view name, const ConfigData& data);
    static int checkValue(std::string_view name, const ConfigData& data);

private:
    struct Span {
        std::size_t begin; // first byte of the line
        std::size_t end;   // past the line end
        std::size_t value; // index into values_
    };

    std::string text_;
    std::vector<ConfigValue> values_;
    std::vector<Span> lines_; // every line that defines a value, file order
};

} // namespace platform
