#include "platform/ini_file.h"

#include "text_file_io.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace platform {

namespace {

using detail::equalsIgnoreCase;
using detail::isBlank;
using detail::lowerCase;
using detail::trimBlanks;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool isHexPrefix(std::string_view text) {
    return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

// Trims the text and takes one leading sign off it; true for '-'.
bool takeSign(std::string_view& text) {
    text = trimBlanks(text);
    bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        text.remove_prefix(1);
    }
    return negative;
}

struct DecodedValue {
    std::string_view value;
    std::size_t comment; // offset of the ';' of an inline comment in the raw text, or npos
};

DecodedValue decodeValue(std::string_view raw) {
    std::size_t start = 0;
    while (start < raw.size() && isBlank(raw[start])) {
        ++start;
    }
    std::string_view text = trimBlanks(raw.substr(start));
    if (!text.empty() && (text.front() == '"' || text.front() == '\'')) {
        char quote = text.front();
        for (std::size_t p = text.find(quote, 1); p != std::string_view::npos;
             p = text.find(quote, p + 1)) {
            std::size_t after = p + 1;
            while (after < text.size() && isBlank(text[after])) {
                ++after;
            }
            if (after == text.size()) {
                return {text.substr(1, p - 1), std::string_view::npos};
            }
            if (text[after] == ';') {
                return {text.substr(1, p - 1), start + after};
            }
        }
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ';' && (i == 0 || isBlank(text[i - 1]))) {
            return {trimBlanks(text.substr(0, i)), start + i};
        }
    }
    return {text, std::string_view::npos};
}

bool hasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool validSectionName(std::string_view name) {
    return !name.empty() && !hasLineBreakOrNul(name) && name.find(']') == std::string_view::npos;
}

bool validKeyName(std::string_view key) {
    return !key.empty() && !hasLineBreakOrNul(key) && key.find('=') == std::string_view::npos &&
           key.front() != '[' && key.front() != ';' && key.front() != '#';
}

// The shortest spelling of `value` that reads back as `value`.
std::optional<std::string> encodeValue(std::string_view value) {
    std::string candidates[] = {std::string(value), '"' + std::string(value) + '"',
                                '\'' + std::string(value) + '\''};
    for (std::string& candidate : candidates) {
        if (decodeValue(candidate).value == value) {
            return std::move(candidate);
        }
    }
    return std::nullopt;
}

} // namespace

// ---- numbers -------------------------------------------------------------

std::optional<int> parseIniInt(std::string_view text) {
    bool negative = takeSign(text);
    if (text.empty() || text.front() < '0' || text.front() > '9' || isHexPrefix(text)) {
        return std::nullopt;
    }
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = std::min(value * 10 + (c - '0'), static_cast<long long>(INT_MAX) + 1);
    }
    if (negative) {
        return static_cast<int>(-value);
    }
    return static_cast<int>(std::min(value, static_cast<long long>(INT_MAX)));
}

std::optional<double> parseIniDouble(std::string_view text) {
    bool negative = takeSign(text);
    if (text.empty() || text.front() == '+' || text.front() == '-' || isHexPrefix(text)) {
        return std::nullopt;
    }
    double value = 0;
    auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    (void)end;
    if (ec != std::errc() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

// ---- parsing -------------------------------------------------------------

void IniFile::parse(std::string text) {
    text_ = std::move(text);
    lines_.clear();
    if (text_.size() > kMaxIniFileSize) {
        text_.clear();
    }
    std::size_t begin =
        std::string_view(text_).starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
    uint32_t section = kNone;
    while (begin < text_.size()) {
        std::size_t newline = text_.find('\n', begin);
        std::size_t end = newline == std::string::npos ? text_.size() : newline;
        if (newline != std::string::npos && end > begin && text_[end - 1] == '\r') {
            --end;
        }
        Line line{static_cast<uint32_t>(begin), static_cast<uint32_t>(end - begin), 0, section,
                  Kind::Other};
        std::string_view content(text_.data() + begin, end - begin);
        std::string_view trimmed = trimBlanks(content);
        if (content.size() > kMaxIniLineLength || content.find('\0') != std::string_view::npos ||
            trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#') {
            // nothing to read here
        } else if (trimmed.front() == '[') {
            std::size_t close = content.find(']');
            std::size_t open = content.find('[');
            line.kind = Kind::BadSection;
            if (close != std::string_view::npos &&
                !trimBlanks(content.substr(open + 1, close - open - 1)).empty()) {
                line.kind = Kind::Section;
                line.mark = static_cast<uint32_t>(close);
            }
            section = static_cast<uint32_t>(lines_.size());
            line.section = section;
        } else if (std::size_t eq = content.find('='); eq != std::string_view::npos &&
                                                       !trimBlanks(content.substr(0, eq)).empty() &&
                                                       section != kNone) {
            line.kind = Kind::Entry;
            line.mark = static_cast<uint32_t>(eq);
        }
        lines_.push_back(line);
        begin = newline == std::string::npos ? text_.size() : newline + 1;
    }
}

int IniFile::load(const std::filesystem::path& path) {
    std::string text;
    int rc = detail::readBoundedFile(path, kMaxIniFileSize, text);
    parse(rc == 0 ? std::move(text) : std::string());
    return detail::leaveError(rc);
}

int IniFile::save(const std::filesystem::path& path) const {
    return detail::leaveError(
        detail::writeFileAtomically(path, text_, detail::FileOwners::UserOnly));
}

std::string_view IniFile::lineText(const Line& line) const {
    return std::string_view(text_).substr(line.begin, line.length);
}

std::string_view IniFile::sectionName(const Line& line) const {
    std::string_view text = lineText(line);
    std::size_t open = text.find('[');
    return trimBlanks(text.substr(open + 1, line.mark - open - 1));
}

std::string_view IniFile::keyName(const Line& line) const {
    return trimBlanks(lineText(line).substr(0, line.mark));
}

std::optional<std::size_t> IniFile::findSection(std::string_view section) const {
    section = trimBlanks(section);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == Kind::Section && equalsIgnoreCase(sectionName(lines_[i]), section)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> IniFile::findEntry(std::string_view section,
                                              std::string_view key) const {
    auto header = findSection(section);
    if (!header) {
        return std::nullopt;
    }
    key = trimBlanks(key);
    for (std::size_t i = *header + 1; i < lines_.size() && lines_[i].section == *header; ++i) {
        if (lines_[i].kind == Kind::Entry && equalsIgnoreCase(keyName(lines_[i]), key)) {
            return i;
        }
    }
    return std::nullopt;
}

std::size_t IniFile::lineEndOffset(std::size_t index) const {
    return index + 1 < lines_.size() ? lines_[index + 1].begin : text_.size();
}

std::string IniFile::lineEnd() const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        std::size_t end = lines_[i].begin + lines_[i].length;
        if (end < text_.size()) {
            return text_[end] == '\r' ? "\r\n" : "\n";
        }
    }
    return "\r\n";
}

// ---- reading -------------------------------------------------------------

bool IniFile::hasSection(std::string_view section) const {
    return findSection(section).has_value();
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
    auto entry = findEntry(section, key);
    if (!entry) {
        return std::nullopt;
    }
    const Line& line = lines_[*entry];
    return std::string(decodeValue(lineText(line).substr(line.mark + 1)).value);
}

std::string IniFile::getString(std::string_view section, std::string_view key,
                               std::string_view defaultValue) const {
    auto found = value(section, key);
    return found ? std::move(*found) : std::string(defaultValue);
}

std::size_t IniFile::getString(std::string_view section, std::string_view key,
                               std::string_view defaultValue, char* buffer,
                               std::size_t size) const {
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    std::string text = getString(section, key, defaultValue);
    std::size_t count = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), count);
    buffer[count] = '\0';
    return count;
}

int IniFile::getInt(std::string_view section, std::string_view key, int defaultValue) const {
    auto found = value(section, key);
    auto number = found ? parseIniInt(*found) : std::nullopt;
    return number.value_or(defaultValue);
}

double IniFile::getDouble(std::string_view section, std::string_view key,
                          double defaultValue) const {
    auto found = value(section, key);
    auto number = found ? parseIniDouble(*found) : std::nullopt;
    return number.value_or(defaultValue);
}

std::vector<std::string> IniFile::sectionNames() const {
    std::vector<std::string> names;
    std::unordered_set<std::string> seen;
    for (const Line& line : lines_) {
        if (line.kind == Kind::Section) {
            std::string_view name = sectionName(line);
            if (seen.insert(lowerCase(name)).second) {
                names.emplace_back(name);
            }
        }
    }
    return names;
}

std::vector<std::string> IniFile::keyNames(std::string_view section) const {
    std::vector<std::string> names;
    auto header = findSection(section);
    if (!header) {
        return names;
    }
    std::unordered_set<std::string> seen;
    for (std::size_t i = *header + 1; i < lines_.size() && lines_[i].section == *header; ++i) {
        if (lines_[i].kind == Kind::Entry) {
            std::string_view name = keyName(lines_[i]);
            if (seen.insert(lowerCase(name)).second) {
                names.emplace_back(name);
            }
        }
    }
    return names;
}

std::vector<IniFile::UnusedLine> IniFile::unusedLines() const {
    std::vector<UnusedLine> unused;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        const std::string_view content = lineText(line);
        const std::string_view trimmed = trimBlanks(content);
        UnusedLine::Why why = UnusedLine::Why::NotParsed;
        if (line.kind == Kind::BadSection) {
            why = UnusedLine::Why::UnclosedSection;
        } else if (line.kind != Kind::Other || trimmed.empty() || trimmed.front() == ';' ||
                   trimmed.front() == '#') {
            continue;
        } else if (line.section == kNone && content.find('=') != std::string_view::npos &&
                   content.size() <= kMaxIniLineLength &&
                   content.find('\0') == std::string_view::npos) {
            why = UnusedLine::Why::OutsideSection;
        }
        unused.push_back({i + 1, why, std::string(content.substr(0, 80))});
    }
    return unused;
}

std::optional<std::size_t> IniFile::lineOf(std::string_view section, std::string_view key) const {
    const auto found = key.empty() ? findSection(section) : findEntry(section, key);
    if (!found) {
        return std::nullopt;
    }
    return *found + 1;
}

// ---- writing -------------------------------------------------------------

int IniFile::setString(std::string_view section, std::string_view key, std::string_view value) {
    section = trimBlanks(section);
    key = trimBlanks(key);
    if (!validSectionName(section) || !validKeyName(key) || hasLineBreakOrNul(value)) {
        return detail::leaveError(EINVAL);
    }
    auto encoded = encodeValue(value);
    if (!encoded) {
        return detail::leaveError(EINVAL);
    }
    std::string eol = lineEnd();
    std::string next;
    if (auto entry = findEntry(section, key)) {
        // Keep the key's spelling, the spacing and an inline comment.
        const Line& line = lines_[*entry];
        std::string_view raw = lineText(line).substr(line.mark + 1);
        std::size_t lead = 0;
        while (lead < raw.size() && isBlank(raw[lead])) {
            ++lead;
        }
        std::string newRaw = std::string(raw.substr(0, lead)) + *encoded;
        if (std::size_t comment = decodeValue(raw).comment; comment != std::string_view::npos) {
            std::size_t gap = comment;
            while (gap > lead && isBlank(raw[gap - 1])) {
                --gap;
            }
            std::string candidate =
                newRaw +
                (gap == comment ? std::string(" ") : std::string(raw.substr(gap, comment - gap))) +
                std::string(raw.substr(comment));
            if (decodeValue(candidate).value == value) {
                newRaw = std::move(candidate);
            }
        }
        std::size_t rawBegin = line.begin + line.mark + 1;
        next = text_.substr(0, rawBegin) + newRaw + text_.substr(line.begin + line.length);
    } else if (auto header = findSection(section)) {
        std::size_t after = *header;
        for (std::size_t i = *header + 1; i < lines_.size() && lines_[i].section == *header; ++i) {
            if (lines_[i].kind == Kind::Entry) {
                after = i;
            }
        }
        std::size_t at = lineEndOffset(after);
        bool hasEnd = at > lines_[after].begin + lines_[after].length;
        std::string insert = hasEnd ? std::string(key) + "=" + *encoded + eol
                                    : eol + std::string(key) + "=" + *encoded;
        next = text_.substr(0, at) + insert + text_.substr(at);
    } else {
        next = text_;
        if (!next.empty() && next.back() != '\n' && next != kByteOrderMark) {
            next += eol;
        }
        next += "[" + std::string(section) + "]" + eol + std::string(key) + "=" + *encoded + eol;
    }
    if (next.size() > kMaxIniFileSize) {
        return detail::leaveError(EFBIG);
    }
    parse(std::move(next));
    return 0;
}

void IniFile::removeLines(const std::vector<std::size_t>& indices) {
    std::string next;
    std::size_t copied = 0;
    for (std::size_t index : indices) {
        next.append(text_, copied, lines_[index].begin - copied);
        copied = lineEndOffset(index);
    }
    next.append(text_, copied);
    parse(std::move(next));
}

bool IniFile::removeKey(std::string_view section, std::string_view key) {
    auto header = findSection(section);
    if (!header) {
        return false;
    }
    key = trimBlanks(key);
    std::vector<std::size_t> doomed;
    for (std::size_t i = *header + 1; i < lines_.size() && lines_[i].section == *header; ++i) {
        if (lines_[i].kind == Kind::Entry && equalsIgnoreCase(keyName(lines_[i]), key)) {
            doomed.push_back(i);
        }
    }
    if (doomed.empty()) {
        return false;
    }
    removeLines(doomed);
    return true;
}

bool IniFile::removeSection(std::string_view section) {
    section = trimBlanks(section);
    std::vector<std::size_t> doomed;
    bool inside = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == Kind::Section || line.kind == Kind::BadSection) {
            inside = line.kind == Kind::Section && equalsIgnoreCase(sectionName(line), section);
        }
        if (inside) {
            doomed.push_back(i);
        }
    }
    if (doomed.empty()) {
        return false;
    }
    removeLines(doomed);
    return true;
}

// ---- file-backed calls ---------------------------------------------------

namespace {

// The files named per call are the user's own settings.
int loadOwn(const std::filesystem::path& path, IniFile& file) {
    std::string text;
    const int rc =
        detail::readBoundedFile(path, kMaxIniFileSize, text, detail::FileOwners::UserOnly);
    file.parse(rc == 0 ? std::move(text) : std::string());
    return detail::leaveError(rc);
}

IniFile loadOrEmpty(const std::filesystem::path& path) {
    IniFile file;
    loadOwn(path, file);
    return file;
}

// Loads, edits and saves under the writer lock; a missing file starts empty
// unless `createFile` is false, when nothing is written.
template <typename Edit>
int editFile(const std::filesystem::path& path, bool createFile, Edit edit) {
    std::lock_guard lock(detail::fileWriteMutex());
    IniFile file;
    int rc = loadOwn(path, file);
    if (rc == ENOENT && !createFile) {
        return 0;
    }
    if (rc != 0 && rc != ENOENT) {
        return detail::leaveError(rc);
    }
    bool changed = false;
    rc = edit(file, changed);
    if (rc != 0 || !changed) {
        return rc;
    }
    return file.save(path);
}

} // namespace

std::string getPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue,
                                    const std::filesystem::path& path) {
    return loadOrEmpty(path).getString(section, key, defaultValue);
}

std::size_t getPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, char* buffer, std::size_t size,
                                    const std::filesystem::path& path) {
    return loadOrEmpty(path).getString(section, key, defaultValue, buffer, size);
}

int getPrivateProfileInt(std::string_view section, std::string_view key, int defaultValue,
                         const std::filesystem::path& path) {
    return loadOrEmpty(path).getInt(section, key, defaultValue);
}

double getPrivateProfileDouble(std::string_view section, std::string_view key, double defaultValue,
                               const std::filesystem::path& path) {
    return loadOrEmpty(path).getDouble(section, key, defaultValue);
}

std::vector<std::string> getPrivateProfileSectionNames(const std::filesystem::path& path) {
    return loadOrEmpty(path).sectionNames();
}

std::vector<std::string> getPrivateProfileKeyNames(std::string_view section,
                                                   const std::filesystem::path& path) {
    return loadOrEmpty(path).keyNames(section);
}

int writePrivateProfileString(std::string_view section, std::string_view key,
                              std::string_view value, const std::filesystem::path& path) {
    return editFile(path, true, [&](IniFile& file, bool& changed) {
        int rc = file.setString(section, key, value);
        changed = rc == 0;
        return rc;
    });
}

int deletePrivateProfileKey(std::string_view section, std::string_view key,
                            const std::filesystem::path& path) {
    return editFile(path, false, [&](IniFile& file, bool& changed) {
        changed = file.removeKey(section, key);
        return 0;
    });
}

int deletePrivateProfileSection(std::string_view section, const std::filesystem::path& path) {
    return editFile(path, false, [&](IniFile& file, bool& changed) {
        changed = file.removeSection(section);
        return 0;
    });
}

} // namespace platform
