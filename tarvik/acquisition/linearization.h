#pragma once
// Linearization of the raw-data records: the coefficients of each record's
// CLinearization, loaded for its sensor or from a named file, released, and
// applied to a spectrum or dark current after each acquisition (through the
// preparation's hook). Callers hold the RawDataLock.

#include <cstdint>

namespace tarvik {

struct RawDataRecord;

inline constexpr int32_t kLinearizeDarkCurrent = 0;
inline constexpr int32_t kLinearizeSpectrum = 1;

// The info of a processing-library result: 851..855, or 0.
int32_t GetLinearizationErrorInfo(int32_t result);

// Loads the record's coefficients (for its sensor, or from fileName when it
// is not null) unless it holds some already. 0, or -1 with the record written
// (interface ID 0).
int32_t LoadLinearization(RawDataRecord* record, const char* fileName);
// Releases the record's coefficients. 0, or -1 without a record or object.
int32_t ReleaseLinearization(RawDataRecord* record);
// Corrects the k-th block (1-based) of n values of the dark current (kind 0)
// or the spectrum (1) when coefficients are loaded. 0, or -1 with the record
// written; a block outside the array is refused, never written.
int32_t ApplyLinearization(RawDataRecord* record, int32_t arrayKind, int32_t n, int32_t k);

} // namespace tarvik
