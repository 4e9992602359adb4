// Depends on nothing of the library but its own header and the platform ini
// reader, so that the fuzz target can build it on its own.
#include "sensor_description.h"

#include "platform/ini_file.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

namespace tarvik {
namespace {

constexpr const char* kGeneral = "GENERAL";
constexpr const char* kSensorParameter = "SENSOR_PARAMETER";
constexpr const char* kIntegrationTimeParameter = "INTEGRATIONTIME_PARAMETER";

constexpr int kVersion1000 = 1000;
constexpr int kVersion2000 = 2000;
constexpr int kVersion1000Technology = 2;
constexpr int kVersion1000MinimumCount = 9;
constexpr int kVersion2000MinimumCount = 11;
constexpr int kMaxTechnology = 15;
constexpr int kMaxPixels = 65535;
constexpr size_t kRowsCoefficient = 9;
constexpr size_t kFourthWordCoefficient = 10;
constexpr size_t kCoefficientTextSize = 256; // up to 255 characters
constexpr const char* kMissingCoefficient = "ERR";

// Rows and fourth sensor word come from coefficients; only values that
// truncate to 1..65535 fit the 16-bit fields they end in.
std::optional<uint32_t> wordOfCoefficient(double value) {
    if (!(value >= 1.0 && value < 65536.0)) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::string keyName(const char* pattern, long number) {
    char name[32];
    std::snprintf(name, sizeof name, pattern, number);
    return name;
}

template <class T> void store(T* target, T value) {
    if (target != nullptr) {
        *target = value;
    }
}

} // namespace

int32_t ReadSensorDescription(const platform::IniFile& file, const SensorDescriptionOutputs& out) {
    // Step 2: the version decides the minimum coefficient count.
    const int version = file.getInt(kGeneral, "VERSION", 0);
    if (version == 0) {
        return kInfoFileNotFound;
    }
    std::array<double, kSensorCoefficientCount> coefficients{};
    int technology = 0;
    int minimumCount = 0;
    if (version == kVersion1000) {
        minimumCount = kVersion1000MinimumCount;
        technology = kVersion1000Technology;
        coefficients[kRowsCoefficient] = 1.0;
        coefficients[kFourthWordCoefficient] = 1.0;
    } else if (version == kVersion2000) {
        minimumCount = kVersion2000MinimumCount;
    } else {
        return kInfoFileVersion;
    }
    if ((out.coefficientCapacity >= 1 && out.coefficients == nullptr) ||
        (out.revisionPixelCount >= 1 && out.revisionPixels == nullptr)) {
        return kInfoInvalidFunctionUse;
    }

    if (version == kVersion2000) {
        technology = file.getInt(kGeneral, "SENSOR_TECH", 0);
        if (technology < 0 || technology > kMaxTechnology) {
            return kInfoInvalidValue;
        }
    }
    const int pixels = file.getInt(kSensorParameter, "SENSOR_SIZE", 0);
    if (pixels < 1 || pixels > kMaxPixels) {
        return kInfoInvalidValue;
    }
    const bool reversed = file.getInt(kSensorParameter, "SENSOR_ORIENTATION", 0) != 0;

    // Revision pixels: entries of absent keys keep the caller's values.
    const size_t revisionCount = std::min<size_t>(
        kRevisionPixelCount, static_cast<size_t>(std::max(0, out.revisionPixelCount)));
    std::array<uint32_t, kRevisionPixelCount> revision{};
    std::copy_n(out.revisionPixels, revisionCount, revision.begin());
    for (long i = 1; i <= static_cast<long>(kRevisionPixelCount); ++i) {
        const int value = file.getInt(kSensorParameter, keyName("REVISION_PIXEL_%1ld", i),
                                      static_cast<int>(kNoRevisionPixel));
        if (value == static_cast<int>(kNoRevisionPixel)) {
            continue;
        }
        if (value < 0 || value >= pixels) {
            return kInfoInvalidValue;
        }
        revision[static_cast<size_t>(i - 1)] =
            static_cast<uint32_t>(reversed ? pixels - (value + 1) : value);
    }

    const int count = file.getInt(kIntegrationTimeParameter, "N", 0);
    if (count < minimumCount || count > static_cast<int>(kSensorCoefficientCount)) {
        return kInfoInvalidValue;
    }
    for (long i = 0; i < count; ++i) {
        char text[kCoefficientTextSize];
        file.getString(kIntegrationTimeParameter, keyName("PAR_A%ld", i), kMissingCoefficient, text,
                       sizeof text);
        if (std::strcmp(text, kMissingCoefficient) == 0) {
            return kInfoInvalidValue;
        }
        const std::optional<double> value = platform::parseIniDouble(text);
        if (!value) {
            return kInfoInvalidValue;
        }
        coefficients[static_cast<size_t>(i)] = *value;
    }
    const std::optional<uint32_t> rows = wordOfCoefficient(coefficients[kRowsCoefficient]);
    const std::optional<uint32_t> fourth = wordOfCoefficient(coefficients[kFourthWordCoefficient]);
    if (!rows || !fourth) {
        return kInfoInvalidValue;
    }

    // Accepted: now the outputs.
    store(out.pixelCount, static_cast<uint32_t>(pixels));
    store(out.rows, *rows);
    store(out.fourthSensorWord, *fourth);
    store(out.technology, static_cast<uint16_t>(technology));
    store(out.reversed, static_cast<uint8_t>(reversed ? 1 : 0));
    if (out.coefficients != nullptr) {
        std::copy_n(coefficients.begin(),
                    std::min<size_t>(kSensorCoefficientCount,
                                     static_cast<size_t>(std::max(0, out.coefficientCapacity))),
                    out.coefficients);
    }
    std::copy_n(revision.begin(), revisionCount, out.revisionPixels);
    return 0;
}

int32_t ReadSensorDescriptionFile(const char* fileName, uint32_t* pixelCount, uint32_t* rows,
                                  uint32_t* fourthSensorWord, uint16_t* technology,
                                  int32_t coefficientCapacity, double* coefficients,
                                  int32_t revisionPixelCount, uint32_t* revisionPixels,
                                  uint8_t* reversed) {
    if (fileName == nullptr || fileName[0] == '\0') {
        return kInfoFileNotFound;
    }
    // A file that cannot be read (missing, too large) reads as empty: VERSION 0.
    platform::IniFile file;
    file.load(fileName);
    return ReadSensorDescription(file, {pixelCount, rows, fourthSensorWord, technology,
                                        coefficientCapacity, coefficients, revisionPixelCount,
                                        revisionPixels, reversed});
}

} // namespace tarvik
