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

} // namespace pa
