// Checks on a sampling grid that several functions share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "python_support.hpp"

namespace tarnwold::py {

// Every position must exceed its predecessor; a NaN fails the comparison.
template <typename T>
bool strictly_increasing(const T* positions, std::size_t length) {
    for (std::size_t i = 1; i < length; ++i) {
        if (!(positions[i] > positions[i - 1])) {
            return false;
        }
    }
    return true;
}

template <typename T>
bool strictly_increasing(const std::vector<T>& positions) {
    return strictly_increasing(positions.data(), positions.size());
}

template <typename T>
void require_strictly_increasing(const std::vector<T>& positions, const char* message) {
    if (!strictly_increasing(positions)) {
        fail(PyExc_ValueError, message);
    }
}

// An order above the grid length has no divided differences at all; it is
// rejected before the band is built (and before k = 2*d could overflow).
inline void require_order_within(std::uint64_t d, std::size_t length) {
    if (d > length) {
        fail(PyExc_ValueError, "d must not exceed len(x)");
    }
}

}  // namespace tarnwold::py
