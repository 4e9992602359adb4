#pragma once
// Private profile (ini) files.
//
//   [section]            names are trimmed; text after ']' is ignored
//   key = value          key and value trimmed of blanks
//   ; comment            also '#'; a line of its own
//
// Sections and keys compare without regard to ASCII case. When a section or a
// key appears twice, the first one counts. Lines before the first section,
// lines without '=', lines with a NUL byte and lines longer than
// kMaxIniLineLength hold nothing (they are kept when the file is written).
// A '[' line without ']' opens a section that no name reaches, so its keys
// never leak into the section before it. LF and CR LF line ends are read alike;
// a UTF-8 byte order mark at the start is skipped.
//
// Values: a ';' at the start of the value or after a blank starts a comment
// ("dark = 500 ; counts" reads "500"); a ';' inside a word stays ("a;b").
// A value in matching double or single quotes loses its quotes, and a ';'
// inside them stays ("\"a ; b\" ; note" reads "a ; b"). An empty value
// ("key=") is a present, empty value: the default is returned only for a
// missing key.
//
// Numbers are read in the C locale whatever the process locale:
//   integers  optional sign and decimal digits; text after the digits is
//             ignored ("12 px" reads 12); no digits, or a hexadecimal "0x..",
//             reads as the default; values beyond int saturate.
//   doubles   decimal with optional exponent ("0.5", "-1e-3"); text after the
//             number is ignored ("1,5" reads 1); no number, inf, nan or out of
//             range reads as the default.
//
// Files larger than kMaxIniFileSize are refused: reads give the defaults and
// writes fail with EFBIG, never touching the file. Writes keep every other
// line, comment and line end of the file as it was; a new line takes the line
// end of the file's first line (CR LF for a new file, as the program's files
// always had), and the file is replaced atomically. Writes are serialised
// within the process.
//
// Results of writes are errno values: 0, EINVAL for a name or value that
// cannot be written (empty name, line break, NUL, '=' or a leading '[', ';',
// '#' in a key, ']' in a section), EFBIG, or the file system's error.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr std::size_t kMaxIniFileSize = 1024 * 1024;
inline constexpr std::size_t kMaxIniLineLength = 16 * 1024;

std::optional<int> parseIniInt(std::string_view text);
std::optional<double> parseIniDouble(std::string_view text);

// A parsed ini text for readers of many keys, and for editing.
class IniFile {
public:
    IniFile() = default;
    explicit IniFile(std::string text) { parse(std::move(text)); }

    // 0, or ENOENT, EFBIG, ...; on failure the object is empty.
    int load(const std::filesystem::path& path);
    // As the user's own file: see the functions on a file named per call.
    int save(const std::filesystem::path& path) const;
    void parse(std::string text);
    const std::string& text() const { return text_; }

    bool hasSection(std::string_view section) const;
    std::optional<std::string> value(std::string_view section, std::string_view key) const;

    std::string getString(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const;
    // Copies at most size - 1 characters and a NUL; returns the characters
    // copied (size - 1 when the value was cut).
    std::size_t getString(std::string_view section, std::string_view key,
                          std::string_view defaultValue, char* buffer, std::size_t size) const;
    int getInt(std::string_view section, std::string_view key, int defaultValue) const;
    double getDouble(std::string_view section, std::string_view key, double defaultValue) const;

    std::vector<std::string> sectionNames() const;                     // file order, first spelling
    std::vector<std::string> keyNames(std::string_view section) const; // file order, first spelling

    // Lines that are neither blank nor a comment and yet give nothing, for
    // readers that tell their users: numbered from 1, in file order.
    struct UnusedLine {
        enum class Why {
            NotParsed,       // no "key = value", a NUL byte, or too long
            OutsideSection,  // a key before the first section
            UnclosedSection, // '[' without ']' (or "[]"): its keys are lost too
        };
        std::size_t number;
        Why why;
        std::string text; // the line as it stands, at most 80 bytes
    };
    std::vector<UnusedLine> unusedLines() const;
    // The line number (from 1) of the section's header, or of the key that is
    // read in it; nothing when there is none.
    std::optional<std::size_t> lineOf(std::string_view section, std::string_view key = {}) const;

    int setString(std::string_view section, std::string_view key, std::string_view value);
    bool removeKey(std::string_view section, std::string_view key); // every copy in the section
    bool removeSection(std::string_view section);                   // every copy of it

private:
    enum class Kind : uint8_t { Other, Section, BadSection, Entry };
    struct Line {
        uint32_t begin;   // offset of the line in text_
        uint32_t length;  // without the line end
        uint32_t mark;    // ']' of a section, '=' of an entry
        uint32_t section; // index of the section line it belongs to, or kNone
        Kind kind;
    };
    static constexpr uint32_t kNone = 0xFFFFFFFF;

    std::string_view lineText(const Line& line) const;
    std::string_view sectionName(const Line& line) const;
    std::string_view keyName(const Line& line) const;
    std::optional<std::size_t> findSection(std::string_view section) const;
    std::optional<std::size_t> findEntry(std::string_view section, std::string_view key) const;
    std::string lineEnd() const;
    std::size_t lineEndOffset(std::size_t index) const; // past the line end of lines_[index]
    void removeLines(const std::vector<std::size_t>& indices);

    std::string text_;
    std::vector<Line> lines_;
};

// The same on a file named per call, a user's own settings; a missing or
// refused file reads as empty. In a folder that others may write (safe_folder.h:
// /tmp, a folder of another user), no link is followed and only the user's own
// file is read (or root's) and replaced; anything else there is refused (ELOOP,
// EPERM) and left as it is. Under a folder another user may change (every
// folder from the root is looked at) nothing is read or written (EPERM). A
// new file has the mode the umask gives; a replaced file of the user's keeps
// its permission bits. A read leaves the reason of a refusal in errno.
std::string getPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue,
                                    const std::filesystem::path& path);
std::size_t getPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, char* buffer, std::size_t size,
                                    const std::filesystem::path& path);
int getPrivateProfileInt(std::string_view section, std::string_view key, int defaultValue,
                         const std::filesystem::path& path);
double getPrivateProfileDouble(std::string_view section, std::string_view key, double defaultValue,
                               const std::filesystem::path& path);
std::vector<std::string> getPrivateProfileSectionNames(const std::filesystem::path& path);
std::vector<std::string> getPrivateProfileKeyNames(std::string_view section,
                                                   const std::filesystem::path& path);

// Creates the file, the section and the key as needed.
int writePrivateProfileString(std::string_view section, std::string_view key,
                              std::string_view value, const std::filesystem::path& path);
// The null value / null key forms of the Windows call; 0 also when there was
// nothing to remove (the file is then left untouched, or not created).
int deletePrivateProfileKey(std::string_view section, std::string_view key,
                            const std::filesystem::path& path);
int deletePrivateProfileSection(std::string_view section, const std::filesystem::path& path);

} // namespace platform
