#include "platform/config_store.h"

#include "text_file_io.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace platform {

namespace {

using detail::asciiLower;
using detail::equalsIgnoreCase;
using detail::isBlank;
using detail::lowerCase;

constexpr std::string_view kValueFileName = "values.conf";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = asciiLower(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

constexpr char kHex[] = "0123456789abcdef";

// ---- value lines --------------------------------------------------------

// A quoted, escaped string starting at text[pos] == '"'; pos ends past the
// closing quote.
bool parseQuoted(std::string_view text, std::size_t& pos, std::size_t maxSize, std::string& out) {
    out.clear();
    if (pos >= text.size() || text[pos] != '"') {
        return false;
    }
    ++pos;
    while (pos < text.size()) {
        char c = text[pos++];
        if (c == '"') {
            return true;
        }
        if (c == '\\') {
            if (pos >= text.size()) {
                return false;
            }
            char e = text[pos++];
            switch (e) {
            case '\\':
            case '"':
                c = e;
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            case 'x': {
                if (pos + 2 > text.size()) {
                    return false;
                }
                int hi = hexDigit(text[pos]);
                int lo = hexDigit(text[pos + 1]);
                if (hi < 0 || lo < 0) {
                    return false;
                }
                c = static_cast<char>(hi * 16 + lo);
                pos += 2;
                break;
            }
            default:
                return false;
            }
        } else if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) {
            return false;
        }
        if (out.size() >= maxSize) {
            return false;
        }
        out.push_back(c);
    }
    return false; // no closing quote
}

void appendQuoted(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (u < 0x20 || u == 0x7f) {
                out += "\\x";
                out.push_back(kHex[u >> 4]);
                out.push_back(kHex[u & 15]);
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
}

std::optional<uint32_t> parseDword(std::string_view digits) {
    if (digits.empty() || digits.size() > 8) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : digits) {
        int d = hexDigit(c);
        if (d < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<uint32_t>(d);
    }
    return value;
}

std::optional<std::vector<uint8_t>> parseHexBytes(std::string_view text) {
    std::vector<uint8_t> bytes;
    text = detail::trimBlanks(text);
    if (text.empty()) {
        return bytes;
    }
    for (;;) {
        std::size_t n = 0;
        int value = 0;
        while (n < text.size() && n < 3 && hexDigit(text[n]) >= 0) {
            value = value * 16 + hexDigit(text[n]);
            ++n;
        }
        if (n == 0 || n > 2 || bytes.size() >= kMaxConfigDataSize) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(value));
        text = detail::trimBlanks(text.substr(n));
        if (text.empty()) {
            return bytes;
        }
        if (text.front() != ',') {
            return std::nullopt;
        }
        text = detail::trimBlanks(text.substr(1));
    }
}

std::optional<ConfigValue> parseValueLine(std::string_view line) {
    if (line.size() > kMaxConfigLineLength) {
        return std::nullopt;
    }
    line = detail::trimBlanks(line);
    if (line.empty() || line.front() != '"') {
        return std::nullopt;
    }
    ConfigValue value;
    std::size_t pos = 0;
    if (!parseQuoted(line, pos, kMaxConfigNameLength, value.name)) {
        return std::nullopt;
    }
    while (pos < line.size() && isBlank(line[pos])) {
        ++pos;
    }
    if (pos >= line.size() || line[pos] != '=') {
        return std::nullopt;
    }
    std::string_view rest = detail::trimBlanks(line.substr(pos + 1));
    if (!rest.empty() && rest.front() == '"') {
        std::string text;
        std::size_t end = 0;
        if (!parseQuoted(rest, end, kMaxConfigDataSize, text) || end != rest.size()) {
            return std::nullopt;
        }
        value.data = std::move(text);
    } else if (startsWithIgnoreCase(rest, "dword:")) {
        auto dword = parseDword(detail::trimBlanks(rest.substr(6)));
        if (!dword) {
            return std::nullopt;
        }
        value.data = *dword;
    } else if (startsWithIgnoreCase(rest, "hex:")) {
        auto bytes = parseHexBytes(rest.substr(4));
        if (!bytes) {
            return std::nullopt;
        }
        value.data = std::move(*bytes);
    } else {
        return std::nullopt;
    }
    return value;
}

// ---- keys ----------------------------------------------------------------

int splitKeyPath(std::string_view path, std::vector<std::string>& parts) {
    parts.clear();
    if (path.empty()) {
        return 0;
    }
    for (;;) {
        std::size_t cut = path.find('\\');
        std::string_view part = path.substr(0, cut);
        if (part.empty() || part == "." || part == ".." || part.size() > kMaxConfigKeyNameLength ||
            part.find('/') != std::string_view::npos || part.find('\0') != std::string_view::npos ||
            equalsIgnoreCase(part, kValueFileName) || parts.size() >= kMaxConfigKeyDepth) {
            return EINVAL;
        }
        parts.emplace_back(part);
        if (cut == std::string_view::npos) {
            return 0;
        }
        path.remove_prefix(cut + 1);
    }
}

bool isDirectory(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The subdirectory of `dir` named `name` in any case: the exact spelling
// first, else the first match in byte order so that the choice is stable.
int findChildKey(const std::filesystem::path& dir, const std::string& name,
                 std::filesystem::path& out) {
    if (isDirectory(dir / name)) {
        out = dir / name;
        return 0;
    }
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) {
        return ec.value();
    }
    std::optional<std::string> best;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::string entry = it->path().filename().string();
        if (equalsIgnoreCase(entry, name) && (!best || entry < *best) && isDirectory(it->path())) {
            best = entry;
        }
    }
    if (ec) {
        return ec.value();
    }
    if (!best) {
        return ENOENT;
    }
    out = dir / *best;
    return 0;
}

int resolveKey(ConfigRoot root, std::string_view path, bool create, std::filesystem::path& out) {
    std::vector<std::string> parts;
    if (int rc = splitKeyPath(path, parts); rc != 0) {
        return rc;
    }
    std::filesystem::path dir = configRootDirectory(root);
    if (dir.empty()) {
        return create ? EINVAL : ENOENT;
    }
    // Folders made for the user's own store are the user's alone whatever the
    // umask; the machine's are there for every user to read.
    const mode_t folderMode = root == ConfigRoot::User ? 0700 : 0777;
    if (create) {
        std::filesystem::path walked;
        for (const std::filesystem::path& name : dir) {
            walked /= name;
            if (!isDirectory(walked) && ::mkdir(walked.c_str(), folderMode) != 0 &&
                errno != EEXIST) {
                return errno;
            }
        }
    }
    if (!isDirectory(dir)) {
        return create ? ENOTDIR : ENOENT;
    }
    for (const std::string& part : parts) {
        std::filesystem::path next;
        int rc = findChildKey(dir, part, next);
        if (rc == ENOENT && create) {
            next = dir / part;
            if (::mkdir(next.c_str(), folderMode) != 0 && !(errno == EEXIST && isDirectory(next))) {
                return errno == EEXIST ? ENOTDIR : errno;
            }
            rc = 0;
        }
        if (rc != 0) {
            return rc;
        }
        dir = std::move(next);
    }
    out = std::move(dir);
    return 0;
}

} // namespace

// ---- roots ---------------------------------------------------------------

std::filesystem::path configRootDirectory(ConfigRoot root) {
    if (root == ConfigRoot::Machine) {
        std::string dir = environment("VELDON_MACHINE_CONFIG");
        return dir.empty() ? std::filesystem::path("/etc/veldon") : std::filesystem::path(dir);
    }
    if (std::string dir = environment("VELDON_USER_CONFIG"); !dir.empty()) {
        return dir;
    }
    if (std::string xdg = environment("XDG_CONFIG_HOME"); !xdg.empty() && xdg.front() == '/') {
        return std::filesystem::path(xdg) / "veldon";
    }
    std::string home = environment("HOME");
    if (home.empty()) {
        std::vector<char> buffer(16384);
        struct passwd pw {};
        struct passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr) {
            home = found->pw_dir;
        }
    }
    if (home.empty()) {
        return {};
    }
    return std::filesystem::path(home) / ".config" / "veldon";
}

std::filesystem::path systemConfigDirectory() {
    return configRootDirectory(ConfigRoot::Machine);
}

std::filesystem::path userConfigDirectory() {
    return configRootDirectory(ConfigRoot::User);
}

// ---- ConfigValueFile -----------------------------------------------------

void ConfigValueFile::parse(std::string text) {
    text_ = std::move(text);
    values_.clear();
    lines_.clear();
    std::unordered_map<std::string, std::size_t> index;
    std::size_t begin = 0;
    while (begin < text_.size()) {
        std::size_t newline = text_.find('\n', begin);
        std::size_t end = newline == std::string::npos ? text_.size() : newline + 1;
        std::string_view line(text_.data() + begin,
                              (newline == std::string::npos ? end : newline) - begin);
        if (auto value = parseValueLine(line)) {
            std::string key = lowerCase(value->name);
            auto [it, inserted] = index.emplace(std::move(key), values_.size());
            if (inserted) {
                values_.push_back(std::move(*value));
            } else {
                values_[it->second].data = std::move(value->data); // the last line wins
            }
            lines_.push_back({begin, end, it->second});
        }
        begin = end;
    }
}

const ConfigValue* ConfigValueFile::find(std::string_view name) const {
    for (const ConfigValue& value : values_) {
        if (equalsIgnoreCase(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

std::string ConfigValueFile::formatLine(std::string_view name, const ConfigData& data) {
    std::string line;
    appendQuoted(line, name);
    line.push_back('=');
    if (const auto* dword = std::get_if<uint32_t>(&data)) {
        line += "dword:";
        for (int shift = 28; shift >= 0; shift -= 4) {
            line.push_back(kHex[(*dword >> shift) & 15]);
        }
    } else if (const auto* text = std::get_if<std::string>(&data)) {
        appendQuoted(line, *text);
    } else {
        line += "hex:";
        const auto& bytes = std::get<std::vector<uint8_t>>(data);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (i != 0) {
                line.push_back(',');
            }
            line.push_back(kHex[bytes[i] >> 4]);
            line.push_back(kHex[bytes[i] & 15]);
        }
    }
    return line;
}

int ConfigValueFile::checkValue(std::string_view name, const ConfigData& data) {
    std::size_t size = 0;
    if (const auto* text = std::get_if<std::string>(&data)) {
        size = text->size();
    } else if (const auto* bytes = std::get_if<std::vector<uint8_t>>(&data)) {
        size = bytes->size();
    }
    if (name.size() > kMaxConfigNameLength || size > kMaxConfigDataSize ||
        formatLine(name, data).size() > kMaxConfigLineLength) {
        return EFBIG;
    }
    return 0;
}

int ConfigValueFile::set(std::string_view name, const ConfigData& data) {
    if (int rc = checkValue(name, data); rc != 0) {
        return rc;
    }
    std::string line = formatLine(name, data);
    std::vector<const Span*> spans;
    for (const Span& span : lines_) {
        if (equalsIgnoreCase(values_[span.value].name, name)) {
            spans.push_back(&span);
        }
    }
    std::string next;
    if (spans.empty()) {
        std::size_t firstNewline = text_.find('\n');
        bool crlf = firstNewline != std::string::npos && firstNewline > 0 &&
                    text_[firstNewline - 1] == '\r';
        std::string_view eol = crlf ? "\r\n" : "\n";
        next = text_;
        if (!next.empty() && next.back() != '\n') {
            next += eol;
        }
        next += line;
        next += eol;
    } else {
        // The last definition is replaced in place, earlier ones go.
        std::size_t copied = 0;
        for (const Span* span : spans) {
            next.append(text_, copied, span->begin - copied);
            if (span == spans.back()) {
                std::string_view old(text_.data() + span->begin, span->end - span->begin);
                std::size_t eolSize = 0;
                if (!old.empty() && old.back() == '\n') {
                    eolSize = (old.size() >= 2 && old[old.size() - 2] == '\r') ? 2 : 1;
                }
                next += line;
                next += old.substr(old.size() - eolSize);
            }
            copied = span->end;
        }
        next.append(text_, copied);
    }
    if (next.size() > kMaxConfigFileSize) {
        return EFBIG;
    }
    parse(std::move(next));
    return 0;
}

bool ConfigValueFile::remove(std::string_view name) {
    std::string next;
    std::size_t copied = 0;
    bool found = false;
    for (const Span& span : lines_) {
        if (equalsIgnoreCase(values_[span.value].name, name)) {
            next.append(text_, copied, span.begin - copied);
            copied = span.end;
            found = true;
        }
    }
    if (found) {
        next.append(text_, copied);
        parse(std::move(next));
    }
    return found;
}

// ---- ConfigKey -----------------------------------------------------------

int ConfigKey::open(ConfigRoot root, std::string_view path, ConfigAccess access) {
    close();
    std::filesystem::path dir;
    int rc;
    if (access == ConfigAccess::Write) {
        std::lock_guard lock(detail::fileWriteMutex());
        rc = resolveKey(root, path, true, dir);
    } else {
        rc = resolveKey(root, path, false, dir);
    }
    if (rc == 0) {
        directory_ = std::move(dir);
        access_ = access;
    }
    return detail::leaveError(rc);
}

int ConfigKey::openAbsolute(std::string_view absolutePath, ConfigAccess access) {
    constexpr std::string_view prefix = "\\Registry\\Machine";
    if (!startsWithIgnoreCase(absolutePath, prefix)) {
        close();
        return detail::leaveError(EINVAL);
    }
    std::string_view rest = absolutePath.substr(prefix.size());
    if (!rest.empty()) {
        if (rest.front() != '\\') {
            close();
            return detail::leaveError(EINVAL);
        }
        rest.remove_prefix(1);
    }
    return open(ConfigRoot::Machine, rest, access);
}

void ConfigKey::close() noexcept {
    directory_.clear();
    access_ = ConfigAccess::Read;
}

int ConfigKey::readFile(std::string& text) const {
    if (!isOpen()) {
        return detail::leaveError(EBADF);
    }
    return detail::leaveError(
        detail::readBoundedFile(directory_ / kValueFileName, kMaxConfigFileSize, text));
}

int ConfigKey::query(std::string_view name, ConfigData& out) const {
    std::string text;
    if (int rc = readFile(text); rc != 0) {
        return detail::leaveError(rc); // ENOENT: a key without values
    }
    ConfigValueFile file(std::move(text));
    const ConfigValue* value = file.find(name);
    if (value == nullptr) {
        return detail::leaveError(kConfigNotFound);
    }
    out = value->data;
    return 0;
}

namespace {

template <typename T> int queryAs(const ConfigKey& key, std::string_view name, T& out) {
    ConfigData data;
    if (int rc = key.query(name, data); rc != 0) {
        return detail::leaveError(rc);
    }
    if (auto* value = std::get_if<T>(&data)) {
        out = std::move(*value);
        return 0;
    }
    return detail::leaveError(kConfigWrongType);
}

} // namespace

int ConfigKey::queryDword(std::string_view name, uint32_t& out) const {
    return queryAs(*this, name, out);
}

int ConfigKey::queryString(std::string_view name, std::string& out) const {
    return queryAs(*this, name, out);
}

int ConfigKey::queryBinary(std::string_view name, std::vector<uint8_t>& out) const {
    return queryAs(*this, name, out);
}

int ConfigKey::enumValues(std::vector<ConfigValue>& out) const {
    out.clear();
    std::string text;
    int rc = readFile(text);
    if (rc == ENOENT) {
        return 0;
    }
    if (rc != 0) {
        return detail::leaveError(rc);
    }
    out = ConfigValueFile(std::move(text)).values();
    return 0;
}

int ConfigKey::modify(std::string_view name, const ConfigData* data) {
    if (!isOpen()) {
        return detail::leaveError(EBADF);
    }
    if (access_ != ConfigAccess::Write) {
        return detail::leaveError(EACCES);
    }
    if (data != nullptr) {
        if (int rc = ConfigValueFile::checkValue(name, *data); rc != 0) {
            return detail::leaveError(rc);
        }
    }
    std::lock_guard lock(detail::fileWriteMutex());
    std::string text;
    int rc = readFile(text);
    if (rc == ENOENT && data == nullptr) {
        return detail::leaveError(kConfigNotFound);
    }
    if (rc != 0 && rc != ENOENT) {
        return detail::leaveError(rc);
    }
    ConfigValueFile file(std::move(text));
    if (data != nullptr) {
        rc = file.set(name, *data);
    } else {
        rc = file.remove(name) ? 0 : kConfigNotFound;
    }
    if (rc != 0) {
        return detail::leaveError(rc);
    }
    return detail::leaveError(
        detail::writeFileAtomically(directory_ / kValueFileName, file.text()));
}

int ConfigKey::set(std::string_view name, const ConfigData& data) {
    return modify(name, &data);
}

int ConfigKey::setDword(std::string_view name, uint32_t value) {
    return set(name, value);
}

int ConfigKey::setString(std::string_view name, std::string_view value) {
    return set(name, std::string(value));
}

int ConfigKey::setBinary(std::string_view name, std::span<const uint8_t> value) {
    return set(name, std::vector<uint8_t>(value.begin(), value.end()));
}

int ConfigKey::deleteValue(std::string_view name) {
    return modify(name, nullptr);
}

int deleteConfigKey(ConfigRoot root, std::string_view path) {
    if (path.empty()) {
        return detail::leaveError(EINVAL);
    }
    std::lock_guard lock(detail::fileWriteMutex());
    std::filesystem::path dir;
    if (int rc = resolveKey(root, path, false, dir); rc != 0) {
        return detail::leaveError(rc);
    }
    std::error_code ec;
    std::vector<std::filesystem::path> litter;
    std::string tempPrefix = detail::tempFilePrefix(dir / kValueFileName);
    std::filesystem::directory_iterator it(dir, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (isDirectory(it->path())) {
            return detail::leaveError(ENOTEMPTY);
        }
        if (it->path().filename().string().starts_with(tempPrefix)) {
            litter.push_back(it->path());
        }
    }
    if (ec) {
        return detail::leaveError(ec.value());
    }
    if (::unlink((dir / kValueFileName).c_str()) != 0 && errno != ENOENT) {
        return detail::leaveError(errno);
    }
    for (const auto& file : litter) {
        ::unlink(file.c_str());
    }
    if (::rmdir(dir.c_str()) != 0) {
        return detail::leaveError(errno);
    }
    return 0;
}

} // namespace platform
