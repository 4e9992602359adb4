#include "pa/sysutils.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace pa {

namespace {

// Read by worker threads (closures that format numbers), set by the GUI thread.
std::atomic<char> gDecimalSeparator{'.'};

constexpr int kGeneralPrecision = 15;

std::string trimBlanks(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

char decimalSeparator() {
    return gDecimalSeparator.load(std::memory_order_relaxed);
}

void setDecimalSeparator(char separator) {
    gDecimalSeparator.store(separator, std::memory_order_relaxed);
}

std::string intToStr(std::int32_t value) {
    return std::to_string(value);
}

std::string floatToStr(long double value) {
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-INF" : "INF";
    }
    if (value == 0) {
        return "0";
    }
    // to_chars is locale-independent: "d.ddddddddddddddde[+-]xx".
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(value),
                                   std::chars_format::scientific, kGeneralPrecision - 1);
    const std::string sci(buf, res.ptr);
    const auto ePos = sci.find('e');
    std::string digits;
    for (std::size_t i = 0; i < ePos; ++i) {
        if (isDigit(sci[i])) {
            digits += sci[i];
        }
    }
    const int exponent = std::atoi(sci.c_str() + ePos + 1);
    while (digits.size() > 1 && digits.back() == '0') {
        digits.pop_back();
    }

    const char sep = decimalSeparator();
    std::string out = value < 0 ? "-" : "";
    if (exponent >= -5 && exponent < kGeneralPrecision) {
        if (exponent >= 0) {
            const auto intDigits = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= intDigits) {
                out += digits + std::string(intDigits - digits.size(), '0');
            } else {
                out += digits.substr(0, intDigits) + sep + digits.substr(intDigits);
            }
        } else {
            out += std::string("0") + sep +
                   std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
        }
    } else {
        out += digits.substr(0, 1);
        if (digits.size() > 1) {
            out += sep + digits.substr(1);
        }
        out += 'E';
        if (exponent < 0) {
            out += '-';
        }
        out += std::to_string(std::abs(exponent));
    }
    return out;
}

bool tryStrToInt(const std::string& text, std::int32_t& value) {
    const std::string t = trimBlanks(text);
    std::size_t pos = 0;
    bool negative = false;
    if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) {
        negative = t[pos] == '-';
        ++pos;
    }
    if (pos == t.size()) {
        return false;
    }
    std::int64_t result = 0;
    for (; pos < t.size(); ++pos) {
        if (!isDigit(t[pos])) {
            return false;
        }
        result = result * 10 + (t[pos] - '0');
        if (result > std::int64_t{1} << 31) {
            return false;
        }
    }
    result = negative ? -result : result;
    if (result > INT32_MAX) {
        return false;
    }
    value = static_cast<std::int32_t>(result);
    return true;
}

bool tryStrToFloat(const std::string& text, long double& value) {
    const std::string t = trimBlanks(text);
    const char sep = decimalSeparator();
    // Validate the shape first: [sign] digits [sep digits] [(E|e) [sign] digits],
    // at least one mantissa digit; then convert a copy with a point in place of
    // the separator.
    std::string canonical;
    std::size_t pos = 0;
    if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) {
        canonical += t[pos++];
    }
    std::size_t mantissaDigits = 0;
    for (; pos < t.size() && isDigit(t[pos]); ++pos, ++mantissaDigits) {
        canonical += t[pos];
    }
    if (pos < t.size() && t[pos] == sep) {
        canonical += '.';
        for (++pos; pos < t.size() && isDigit(t[pos]); ++pos, ++mantissaDigits) {
            canonical += t[pos];
        }
    }
    if (mantissaDigits == 0) {
        return false;
    }
    if (pos < t.size() && (t[pos] == 'E' || t[pos] == 'e')) {
        canonical += 'e';
        ++pos;
        if (pos < t.size() && (t[pos] == '+' || t[pos] == '-')) {
            canonical += t[pos++];
        }
        std::size_t expDigits = 0;
        for (; pos < t.size() && isDigit(t[pos]); ++pos, ++expDigits) {
            canonical += t[pos];
        }
        if (expDigits == 0) {
            return false;
        }
    }
    if (pos != t.size()) {
        return false;
    }
    // from_chars takes no leading '+'.
    const char* begin = canonical.c_str();
    if (*begin == '+') {
        ++begin;
    }
    long double result = 0;
    const auto res = std::from_chars(begin, canonical.c_str() + canonical.size(), result);
    if (res.ec != std::errc() || res.ptr != canonical.c_str() + canonical.size()) {
        return false;
    }
    value = result;
    return true;
}

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The character of the well-formed UTF-8 sequence at text[i], with i moved
// past it; -1 where none starts there (i then unmoved).
long nextCharacter(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    // C0, C1 and F5 to FF never start one; neither does a continuation byte.
    if (lead < 0xC2 || lead > 0xF4) {
        return -1;
    }
    const std::size_t more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    static constexpr long kLeast[] = {0, 0x80, 0x800, 0x10000};
    long c = lead & (0x3F >> more);
    for (std::size_t k = 1; k <= more; ++k) {
        if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
            return -1;
        }
        c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    // Overlong forms, surrogates and what lies beyond Unicode are not UTF-8.
    if (c < kLeast[more] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return -1;
    }
    i += more + 1;
    return c;
}

bool isUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        if (nextCharacter(text, i) < 0) {
            return false;
        }
    }
    return true;
}

void appendLatin1AsUtf8(std::string& out, unsigned char c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The text's Latin-1 bytes; false where a character lies beyond Latin-1.
bool toLatin1(std::string_view text, std::string& latin1) {
    latin1.clear();
    for (std::size_t i = 0; i < text.size();) {
        long c = nextCharacter(text, i);
        if (c < 0) {
            c = static_cast<unsigned char>(text[i++]);
        }
        if (c > 0xFF) {
            return false;
        }
        latin1 += static_cast<char>(c);
    }
    return true;
}

// The mark, then UTF-8 that Latin-1 cannot hold or whose Latin-1 bytes would
// read as marked themselves (a Latin-1 text that begins with the mark's signs).
bool readsAsMarked(std::string_view bytes) {
    std::string latin1;
    while (bytes.starts_with(kByteOrderMark) && isUtf8(bytes.substr(kByteOrderMark.size()))) {
        std::string inner;
        if (!toLatin1(bytes.substr(kByteOrderMark.size()), inner)) {
            return true;
        }
        latin1 = std::move(inner);
        bytes = latin1;
    }
    return false;
}

} // namespace

std::string storedText(std::string_view text) {
    std::string latin1;
    if (toLatin1(text, latin1) && !readsAsMarked(latin1)) {
        return latin1;
    }
    std::string marked(kByteOrderMark);
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        if (nextCharacter(text, i) < 0) {
            appendLatin1AsUtf8(marked, static_cast<unsigned char>(text[i++]));
        } else {
            marked.append(text.substr(at, i - at));
        }
    }
    return marked;
}

std::string textFromStored(std::string_view bytes) {
    if (readsAsMarked(bytes)) {
        return std::string(bytes.substr(kByteOrderMark.size()));
    }
    std::string text;
    for (char c : bytes) {
        appendLatin1AsUtf8(text, static_cast<unsigned char>(c));
    }
    return text;
}

} // namespace pa
