#pragma once
// SpectrumArray: a growable array of doubles that lives inside its owner's
// record (one spectrum, a dark current, pixel numbers).
//
// Not synchronised: the owner serialises access (the acquisition library holds
// its raw-data lock).

#include "dorvel/api.h"

#include <cstdint>
#include <vector>

namespace dorvel {

class DORVEL_API SpectrumArray {
public:
    // Largest size SetSize accepts: 2 GiB of values, which covers the largest
    // burst record (30,000 spectra of 8352 pixels).
    static constexpr int32_t kMaxSize = static_cast<int32_t>(0x7FFFFFFFu / sizeof(double));

    // A new array is empty.
    SpectrumArray();
    ~SpectrumArray();
    SpectrumArray(const SpectrumArray&) = delete;
    SpectrumArray& operator=(const SpectrumArray&) = delete;

    // Number of values.
    int32_t GetSize() const;

    // Element i (0-based), to be read and written in place; nullptr when i is
    // outside 0..GetSize()-1. Valid until the next SetSize or RemoveAll.
    double* GetElementPtr(int32_t i);
    const double* GetElementPtr(int32_t i) const;

    // Resizes to n values. The values that fit stay; new values are 0. When
    // the storage must grow it grows by at least growBy values beyond its
    // current capacity (0: exactly to n). A negative n or growBy, an n above
    // kMaxSize or memory that cannot be had leave the array unchanged and give
    // false.
    bool SetSize(int32_t n, int32_t growBy = 0);

    // Size 0; the storage is released.
    void RemoveAll();

private:
    std::vector<double> values_;
};

} // namespace dorvel
