#pragma once
// An invariant of a fuzz target: a violation aborts, so libFuzzer keeps the input.

#include <cstdlib>

namespace fuzz {

inline void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace fuzz
