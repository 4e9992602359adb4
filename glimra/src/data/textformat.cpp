// Expanding a client's one-integer format without printf's trust in it.

#include "glimra/textformat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace glimra {

namespace {

constexpr int kMostWidth = 1000;

bool isFlag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a number of at most four digits at i; -1 when there is none.
int readNumber(std::string_view s, size_t& i) {
    int n = -1;
    while (i < s.size() && isDigit(s[i])) {
        n = std::min((n < 0 ? 0 : n) * 10 + (s[i] - '0'), 99999);
        ++i;
    }
    return n;
}

} // namespace

std::string formatInteger(std::string_view format, int value) {
    std::string out;
    out.reserve(format.size() + 16);
    bool used = false;
    size_t i = 0;
    while (i < format.size()) {
        const char c = format[i];
        if (c != '%') {
            out += c;
            ++i;
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            i += 2;
            continue;
        }
        // A conversion: %[flags][width][.precision][length]type
        size_t j = i + 1;
        std::string spec = "%";
        while (j < format.size() && isFlag(format[j])) {
            if (spec.find(format[j]) == std::string::npos) {
                spec += format[j];
            }
            ++j;
        }
        const int width = readNumber(format, j);
        int precision = -1;
        bool dot = false;
        if (j < format.size() && format[j] == '.') {
            dot = true;
            ++j;
            precision = std::max(0, readNumber(format, j));
        }
        while (j < format.size() && std::strchr("hljztL", format[j]) != nullptr) {
            ++j;
        }
        const char type = j < format.size() ? format[j] : '\0';
        const bool integer = type != '\0' && std::strchr("diuxXo", type) != nullptr;
        if (!integer || used || width > kMostWidth || precision > kMostWidth) {
            // Not ours to expand: shown as it stands.
            const size_t end = type == '\0' ? format.size() : j + 1;
            out.append(format.substr(i, end - i));
            i = end;
            continue;
        }
        if (width >= 0) {
            spec += std::to_string(width);
        }
        if (dot) {
            spec += '.' + std::to_string(precision);
        }
        spec += type;
        char buffer[2 * kMostWidth + 64];
        int n = 0;
        if (type == 'd' || type == 'i') {
            n = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
        } else {
            n = std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<unsigned>(value));
        }
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(std::min<int>(n, sizeof buffer - 1)));
        }
        used = true;
        i = j + 1;
    }
    return out;
}

} // namespace glimra
