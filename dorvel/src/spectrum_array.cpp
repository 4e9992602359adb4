#include "dorvel/spectrum_array.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace dorvel {

SpectrumArray::SpectrumArray() = default;
SpectrumArray::~SpectrumArray() = default;

int32_t SpectrumArray::GetSize() const {
    return static_cast<int32_t>(values_.size());
}

double* SpectrumArray::GetElementPtr(int32_t i) {
    if (i < 0 || static_cast<size_t>(i) >= values_.size()) {
        return nullptr;
    }
    return values_.data() + i;
}

const double* SpectrumArray::GetElementPtr(int32_t i) const {
    return const_cast<SpectrumArray*>(this)->GetElementPtr(i);
}

bool SpectrumArray::SetSize(int32_t n, int32_t growBy) {
    if (n < 0 || n > kMaxSize || growBy < 0) {
        return false;
    }
    const size_t wanted = static_cast<size_t>(n);
    try {
        if (wanted > values_.capacity()) {
            const size_t grown = std::min(values_.capacity() + static_cast<size_t>(growBy),
                                          static_cast<size_t>(kMaxSize));
            values_.reserve(std::max(wanted, grown));
        }
        values_.resize(wanted);
    } catch (const std::bad_alloc&) {
        return false; // reserve and resize of doubles leave the vector as it was
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

void SpectrumArray::RemoveAll() {
    std::vector<double>().swap(values_);
}

} // namespace dorvel
