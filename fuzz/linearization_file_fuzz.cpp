// The linearization coefficient file parser on arbitrary bytes: no crash, only
// its documented results, nothing changed when it refuses a file, every set it
// accepts is one the correction can use, and a correction is all or nothing.
#include "dorvel/linearization_file.h"

#include "fuzz_check.h"

#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    dorvel::CoefficientSet set;
    set.pixelCount = 3;
    set.degree = 1;
    set.coefficients = {1, 2};
    const int32_t result = dorvel::ParseCoefficientFile(text, set);
    check(result == dorvel::kLinOk || result == dorvel::kLinFileTooLarge ||
          result == dorvel::kLinBadSignature || result == dorvel::kLinBadHeader ||
          result == dorvel::kLinBadData);
    if (result != dorvel::kLinOk) {
        check(set.pixelCount == 3 && set.degree == 1 && !set.perPixel &&
              set.coefficients == std::vector<double>{1, 2});
        return 0;
    }
    check(set.pixelCount >= 1 && set.pixelCount <= dorvel::kMaxCoefficientPixels);
    check(set.degree >= 0 && set.degree <= dorvel::kMaxCoefficientDegree);
    const size_t rows = set.perPixel ? static_cast<size_t>(set.pixelCount) : 1;
    check(set.coefficients.size() == rows * static_cast<size_t>(set.degree + 1));
    for (const double c : set.coefficients) {
        check(std::isfinite(c));
    }

    // Counts across a detector's range, and one that overflows most polynomials.
    std::vector<double> values(static_cast<size_t>(set.pixelCount));
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<double>(i % 70000) - 2000.0;
    }
    values.back() = 1e200;
    const std::vector<double> before = values;
    const int32_t applied = dorvel::ApplyCoefficients(set, values.data(), set.pixelCount);
    check(applied == dorvel::kLinOk || applied == dorvel::kLinValueOutOfRange);
    if (applied == dorvel::kLinOk) {
        for (const double v : values) {
            check(std::isfinite(v));
        }
    } else {
        check(values == before);
    }
    check(dorvel::ApplyCoefficients(set, values.data(), set.pixelCount + 1) ==
          dorvel::kLinPixelCountMismatch);
    return 0;
}
