#pragma once
// The SensorDescriptionFile: a private-profile (ini) file, named per interface
// ID by the library parameters, that describes a sensor of type 128.
//
//   [GENERAL]                    VERSION 1000 or 2000; SENSOR_TECH (2000 only)
//   [SENSOR_PARAMETER]           SENSOR_SIZE, SENSOR_ORIENTATION,
//                                REVISION_PIXEL_1 .. REVISION_PIXEL_5 (65535 none)
//   [INTEGRATIONTIME_PARAMETER]  N, PAR_A0 .. PAR_A<N-1>
//
// The file is outside input. Besides what the format itself refuses (no
// file or VERSION 0: 851; another version: 844; N out of range or a
// coefficient missing: 505), the reader refuses with 505 every value that the
// library could not use safely:
//   - SENSOR_TECH outside 0..15 (the technology is a 4-bit field);
//   - SENSOR_SIZE outside 1..65535;
//   - a REVISION_PIXEL that is not 65535 and not a pixel index below
//     SENSOR_SIZE;
//   - a PAR_A text that is not a finite decimal number;
//   - rows (PAR_A9) or fourth sensor word (PAR_A10) that do not truncate to
//     1..65535.
// A refused file changes none of the outputs.

#include <cstddef>
#include <cstdint>

namespace platform {
class IniFile;
}

namespace tarvik {

inline constexpr size_t kSensorCoefficientCount = 11; // PAR_A0..PAR_A10
inline constexpr size_t kRevisionPixelCount = 5;
inline constexpr uint32_t kNoRevisionPixel = 65535;

// Results besides 0 (error infos; the callers record level 4, code 311).
inline constexpr int32_t kInfoFileNotFound = 851;       // "FILE COULD NOT BE FOUND"
inline constexpr int32_t kInfoFileVersion = 844;        // "FILE VERSION NOT SUPPORTED"
inline constexpr int32_t kInfoInvalidValue = 505;       // "INVALID PARAMETER VALUE"
inline constexpr int32_t kInfoInvalidFunctionUse = 808; // "INVALID USE OF FUNCTION"

// What a description yields.
struct SensorDescriptionOutputs {
    uint32_t* pixelCount = nullptr;
    uint32_t* rows = nullptr;             // PAR_A9, truncated
    uint32_t* fourthSensorWord = nullptr; // PAR_A10, truncated
    uint16_t* technology = nullptr;
    int32_t coefficientCapacity = 0; // entries of coefficients
    double* coefficients = nullptr;  // the first min(capacity, 11) PAR_A values
    int32_t revisionPixelCount = 0;  // entries of revisionPixels
    // Entries of keys that are absent or 65535 keep their value.
    uint32_t* revisionPixels = nullptr;
    uint8_t* reversed = nullptr; // 1 when the pixel order is reversed
};

// 0, or 851, 844, 808, 505 (see above). Null output pointers are skipped; a
// capacity or revision count of 1 or more with a null array gives 808.
// Arrays shorter than 11 coefficients or 5 revision pixels get only what fits.
int32_t ReadSensorDescriptionFile(const char* fileName, uint32_t* pixelCount, uint32_t* rows,
                                  uint32_t* fourthSensorWord, uint16_t* technology,
                                  int32_t coefficientCapacity, double* coefficients,
                                  int32_t revisionPixelCount, uint32_t* revisionPixels,
                                  uint8_t* reversed);

// The same on a file already parsed (a missing file is an empty one).
int32_t ReadSensorDescription(const platform::IniFile& file, const SensorDescriptionOutputs& out);

} // namespace tarvik
