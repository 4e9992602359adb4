// The sensor description file reader on arbitrary text: no crash, only the
// documented results, nothing written beyond the arrays it is given, nothing
// written when it refuses the file, and every value it accepts is one the
// library can use.
#include "hardware/sensor_description.h"

#include "platform/ini_file.h"

#include "fuzz_check.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

using fuzz::check;

namespace {

constexpr double kUnwritten = -12345.0;
constexpr uint32_t kUnwrittenPixel = 0xDEADBEEF;

struct Outputs {
    uint32_t pixels = kUnwrittenPixel;
    uint32_t rows = kUnwrittenPixel;
    uint32_t fourth = kUnwrittenPixel;
    uint16_t technology = 0xBEEF;
    uint8_t reversed = 0xAA;
    // Guards on both sides of what the reader is told it may write.
    std::array<double, 13> coefficients;
    std::array<uint32_t, 7> revision;

    Outputs() {
        coefficients.fill(kUnwritten);
        revision.fill(kUnwrittenPixel);
    }

    int32_t read(const platform::IniFile& file, int32_t capacity, int32_t revisionCount) {
        tarvik::SensorDescriptionOutputs out;
        out.pixelCount = &pixels;
        out.rows = &rows;
        out.fourthSensorWord = &fourth;
        out.technology = &technology;
        out.coefficientCapacity = capacity;
        out.coefficients = coefficients.data() + 1;
        out.revisionPixelCount = revisionCount;
        out.revisionPixels = revision.data() + 1;
        out.reversed = &reversed;
        return tarvik::ReadSensorDescription(file, out);
    }
};

bool unwritten(const Outputs& o) {
    const Outputs fresh;
    return o.pixels == fresh.pixels && o.rows == fresh.rows && o.fourth == fresh.fourth &&
           o.technology == fresh.technology && o.reversed == fresh.reversed &&
           std::memcmp(o.coefficients.data(), fresh.coefficients.data(), sizeof o.coefficients) ==
               0 &&
           o.revision == fresh.revision;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const platform::IniFile file(std::string(reinterpret_cast<const char*>(data), size));

    Outputs full;
    const int32_t result = full.read(file, 11, 5);
    check(result == 0 || result == tarvik::kInfoFileNotFound ||
          result == tarvik::kInfoFileVersion || result == tarvik::kInfoInvalidValue);
    check(full.coefficients.front() == kUnwritten && full.coefficients.back() == kUnwritten);
    check(full.revision.front() == kUnwrittenPixel && full.revision.back() == kUnwrittenPixel);
    if (result != 0) {
        check(unwritten(full));
    } else {
        check(full.pixels >= 1 && full.pixels <= 65535);
        check(full.rows >= 1 && full.rows <= 65535);
        check(full.fourth >= 1 && full.fourth <= 65535);
        check(full.technology <= 15);
        check(full.reversed <= 1);
        for (size_t i = 1; i <= 11; ++i) {
            check(std::isfinite(full.coefficients[i]));
        }
        check(static_cast<uint32_t>(full.coefficients[10]) == full.rows);
        check(static_cast<uint32_t>(full.coefficients[11]) == full.fourth);
        for (size_t i = 1; i <= 5; ++i) {
            check(full.revision[i] == kUnwrittenPixel || full.revision[i] < full.pixels);
        }
    }

    // Short arrays: the same answer, and nothing beyond them.
    Outputs small;
    check(small.read(file, 3, 2) == result);
    check(small.coefficients[4] == kUnwritten && small.revision[3] == kUnwrittenPixel);
    if (result == 0) {
        check(std::memcmp(small.coefficients.data() + 1, full.coefficients.data() + 1,
                          3 * sizeof(double)) == 0);
        check(small.pixels == full.pixels && small.rows == full.rows);
    }
    return 0;
}
