#pragma once
// Linearization coefficient files ("TLC files") and the results of loading and
// applying them.
//
// A linearization corrects the non-linear response of a detector: every
// measured count x of pixel p becomes
//     y = c0 + c1*x + c2*x^2 + ... + cD*x^D
// with the coefficients of that pixel's row (or of the one row that serves
// every pixel). The identity is degree 1 with the row "0 1".
//
// File format (text, ASCII; LF or CR LF line ends):
//
//     # Linearization of sensor type 7 with 1044 pixels
//     TLC 1
//     pixels 1044
//     degree 2
//     scope all
//     data
//     0 1.02 -1.5e-6
//     end
//
// - '#' starts a comment that runs to the end of the line; blank and
//   comment-only lines are ignored everywhere. Words are separated by blanks
//   or tabs.
// - The first line with content is "TLC 1" (signature and format version).
// - Then the header, each field exactly once, in any order:
//     pixels N    pixel count of the coefficients, 1..65535
//     degree D    polynomial degree, 0..7 (each row holds D+1 coefficients)
//     scope S     "all": one row for every pixel; "pixel": N rows, one per
//                 pixel in pixel order
// - "data" ends the header; then the rows, c0 first; then "end". Only comments
//   may follow "end", so a cut-off file is never taken for a whole one.
// - Numbers are read in the C locale whatever the process locale: decimal, a
//   point as decimal separator, optional sign and exponent ("-1.5e-6"); they
//   must be finite. Integers are plain decimal.
// - Bounds: at most kMaxCoefficientFileSize bytes, kMaxCoefficientLineLength
//   characters a line; control characters other than tab (and the CR of a
//   CR LF) are refused anywhere.
//
// Where the standard file of a sensor is found: see linearization.h.

#include "dorvel/api.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace dorvel {

// Results of CLinearizationBase::GetLastResult. The acquisition library maps
// 0x10 to "file not found", 0x11-0x14 to "file access failure", 0x20-0x22 to
// "invalid coefficients file", 0x23 to "no file for the sensor" and 0x24 to
// "pixel count does not match"; the 0x3x codes have no text of their own there.
enum LinearizationResult : int32_t {
    kLinOk = 0,
    kLinFileNotFound = 0x10,       // the path names nothing
    kLinFileOpenFailed = 0x11,     // exists but cannot be opened (permissions, ...)
    kLinFileReadFailed = 0x12,     // opened, but reading failed
    kLinNotRegularFile = 0x13,     // a directory, device, pipe, ...
    kLinFileTooLarge = 0x14,       // above kMaxCoefficientFileSize
    kLinBadSignature = 0x20,       // no "TLC 1" line first
    kLinBadHeader = 0x21,          // header field missing, repeated, unknown or out of range
    kLinBadData = 0x22,            // rows: wrong count, wrong width, bad number, no "end"
    kLinNoFileForSensor = 0x23,    // no standard file for the sensor
    kLinPixelCountMismatch = 0x24, // coefficients for another pixel count
    kLinNotLoaded = 0x30,          // Linearize without coefficients
    kLinInvalidArgument = 0x31,    // null pointer, count below 1
    kLinValueOutOfRange = 0x32,    // a value or its correction is not finite
};

inline constexpr int32_t kMaxCoefficientPixels = 65535;
inline constexpr int32_t kMaxCoefficientDegree = 7;
inline constexpr size_t kMaxCoefficientFileSize = 16u << 20;
inline constexpr size_t kMaxCoefficientLineLength = 4096;

// The coefficients of one file.
struct CoefficientSet {
    int32_t pixelCount = 0;
    int32_t degree = 0;
    bool perPixel = false;
    // perPixel ? pixelCount rows : 1 row, each of degree+1 values, c0 first.
    std::vector<double> coefficients;
};

// Parses the text of a coefficient file. Returns kLinOk and fills out, or
// kLinFileTooLarge / kLinBadSignature / kLinBadHeader / kLinBadData and leaves
// out as it was.
DORVEL_API int32_t ParseCoefficientFile(std::string_view text, CoefficientSet& out);

// Corrects n values in place with set. All or nothing: a null values, n below
// 1 (kLinInvalidArgument), n other than the set's pixel count
// (kLinPixelCountMismatch), or a value or correction that is not finite
// (kLinValueOutOfRange) change no value. Returns kLinOk on success.
DORVEL_API int32_t ApplyCoefficients(const CoefficientSet& set, double* values, int32_t n);

} // namespace dorvel
