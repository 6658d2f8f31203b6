// Checks on a sampling grid that several functions share.
#pragma once

#include <cmath>
#include <cstddef>
#include <string_view>
#include <vector>

#include "grid_band.hpp"
#include "python_support.hpp"

namespace tarnwold::py {

// Every position must exceed its predecessor; a NaN fails the comparison.
template <typename T>
bool strictly_increasing(const std::vector<T>& positions) {
    for (std::size_t i = 1; i < positions.size(); ++i) {
        if (!(positions[i] > positions[i - 1])) {
            return false;
        }
    }
    return true;
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

// The grid normalised as `text` asks. Shifted and scaled positions grow
// with their index, so the last one is the largest: when it is not finite,
// the span overflowed (or the span over a tiny spacing did) and every
// penalty built on the grid would be meaningless.
template <typename T>
std::vector<T> normalized_grid(const T* x, std::size_t n, std::string_view text) {
    std::vector<T> normalized = normalize_grid(x, n, text);
    if (normalized.size() >= 2 && !std::isfinite(normalized.back())) {
        fail(PyExc_ValueError,
             "normalizing x overflows: its span (over the spacing) exceeds the floating-point range");
    }
    return normalized;
}

}  // namespace tarnwold::py
