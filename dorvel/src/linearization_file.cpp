#include "dorvel/linearization_file.h"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>

namespace dorvel {
namespace {

// Where in the file a line stands decides which result a fault in it gives.
enum class Stage { Signature, Header, Data, AfterEnd };

int32_t faultOf(Stage stage) {
    switch (stage) {
    case Stage::Signature:
        return kLinBadSignature;
    case Stage::Header:
        return kLinBadHeader;
    default:
        return kLinBadData;
    }
}

// The widest line: a row of the highest degree, plus one word to notice more.
constexpr size_t kMaxWords = kMaxCoefficientDegree + 2;

struct Words {
    std::array<std::string_view, kMaxWords> word;
    size_t count = 0;
    bool tooMany = false;
};

// Splits a line without its comment into words; false for a control character.
bool splitLine(std::string_view line, Words& out) {
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7F) {
            return false;
        }
    }
    if (const size_t hash = line.find('#'); hash != std::string_view::npos) {
        line = line.substr(0, hash);
    }
    size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) {
            ++pos;
        }
        if (pos == line.size()) {
            break;
        }
        size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') {
            ++end;
        }
        if (out.count == kMaxWords) {
            out.tooMany = true;
            return true;
        }
        out.word[out.count++] = line.substr(pos, end - pos);
        pos = end;
    }
    return true;
}

bool parseInt(std::string_view word, int32_t min, int32_t max, int32_t& value) {
    int32_t v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (ec != std::errc() || end != word.data() + word.size() || v < min || v > max) {
        return false;
    }
    value = v;
    return true;
}

// from_chars reads the C locale's form whatever the process locale is.
bool parseNumber(std::string_view word, double& value) {
    if (word.size() > 1 && word[0] == '+' && word[1] != '-' && word[1] != '+') {
        word.remove_prefix(1);
    }
    double v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (ec != std::errc() || end != word.data() + word.size() || !std::isfinite(v)) {
        return false;
    }
    value = v;
    return true;
}

struct Header {
    int32_t pixels = -1;
    int32_t degree = -1;
    int scope = -1; // 0 all, 1 pixel
};

int32_t headerLine(const Words& w, Header& h) {
    if (w.tooMany || w.count != 2) {
        return kLinBadHeader;
    }
    const std::string_view key = w.word[0];
    const std::string_view value = w.word[1];
    if (key == "pixels" && h.pixels < 0) {
        return parseInt(value, 1, kMaxCoefficientPixels, h.pixels) ? kLinOk : kLinBadHeader;
    }
    if (key == "degree" && h.degree < 0) {
        return parseInt(value, 0, kMaxCoefficientDegree, h.degree) ? kLinOk : kLinBadHeader;
    }
    if (key == "scope" && h.scope < 0) {
        if (value == "all" || value == "pixel") {
            h.scope = value == "pixel" ? 1 : 0;
            return kLinOk;
        }
    }
    return kLinBadHeader;
}

double evaluate(const double* c, int32_t degree, double x) {
    double r = c[degree];
    for (int32_t k = degree - 1; k >= 0; --k) {
        r = r * x + c[k];
    }
    return r;
}

} // namespace

int32_t ParseCoefficientFile(std::string_view text, CoefficientSet& out) {
    if (text.size() > kMaxCoefficientFileSize) {
        return kLinFileTooLarge;
    }
    Stage stage = Stage::Signature;
    Header header;
    CoefficientSet set;
    size_t rowsExpected = 0;
    size_t rows = 0;

    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        Words w;
        if (line.size() > kMaxCoefficientLineLength || !splitLine(line, w)) {
            return faultOf(stage);
        }
        if (w.count == 0) {
            continue;
        }
        switch (stage) {
        case Stage::Signature:
            if (w.tooMany || w.count != 2 || w.word[0] != "TLC" || w.word[1] != "1") {
                return kLinBadSignature;
            }
            stage = Stage::Header;
            break;
        case Stage::Header:
            if (w.count == 1 && w.word[0] == "data") {
                if (header.pixels < 0 || header.degree < 0 || header.scope < 0) {
                    return kLinBadHeader;
                }
                set.pixelCount = header.pixels;
                set.degree = header.degree;
                set.perPixel = header.scope == 1;
                rowsExpected = set.perPixel ? static_cast<size_t>(set.pixelCount) : 1;
                set.coefficients.reserve(rowsExpected * static_cast<size_t>(set.degree + 1));
                stage = Stage::Data;
            } else if (const int32_t r = headerLine(w, header); r != kLinOk) {
                return r;
            }
            break;
        case Stage::Data:
            if (w.count == 1 && w.word[0] == "end") {
                if (rows != rowsExpected) {
                    return kLinBadData;
                }
                stage = Stage::AfterEnd;
                break;
            }
            if (w.tooMany || w.count != static_cast<size_t>(set.degree + 1) ||
                rows == rowsExpected) {
                return kLinBadData;
            }
            for (size_t i = 0; i < w.count; ++i) {
                double c = 0;
                if (!parseNumber(w.word[i], c)) {
                    return kLinBadData;
                }
                set.coefficients.push_back(c);
            }
            ++rows;
            break;
        case Stage::AfterEnd:
            return kLinBadData;
        }
    }
    if (stage != Stage::AfterEnd) {
        return faultOf(stage);
    }
    out = std::move(set);
    return kLinOk;
}

int32_t ApplyCoefficients(const CoefficientSet& set, double* values, int32_t n) {
    if (values == nullptr || n < 1) {
        return kLinInvalidArgument;
    }
    if (set.degree < 0 || set.degree > kMaxCoefficientDegree || set.pixelCount < 1) {
        return kLinInvalidArgument;
    }
    const size_t width = static_cast<size_t>(set.degree + 1);
    const size_t rows = set.perPixel ? static_cast<size_t>(set.pixelCount) : 1;
    if (set.coefficients.size() != rows * width) {
        return kLinInvalidArgument;
    }
    if (n != set.pixelCount) {
        return kLinPixelCountMismatch;
    }
    const auto row = [&](int32_t i) {
        return set.coefficients.data() + (set.perPixel ? static_cast<size_t>(i) * width : 0);
    };
    // Checked first and written second, so that a fault changes nothing; the
    // evaluation is deterministic, so both passes compute the same values.
    for (int32_t i = 0; i < n; ++i) {
        if (!std::isfinite(values[i]) || !std::isfinite(evaluate(row(i), set.degree, values[i]))) {
            return kLinValueOutOfRange;
        }
    }
    for (int32_t i = 0; i < n; ++i) {
        values[i] = evaluate(row(i), set.degree, values[i]);
    }
    return kLinOk;
}

} // namespace dorvel
