// Checks on a sampling grid that several functions share.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
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

// An infinite position leaves every other position at zero distance from
// it in proportion, and every spacing next to it infinite, so the band (or
// the normalised grid) loses the data without a sign. Called after
// strictly_increasing has passed, when only an end can be infinite.
template <typename T>
void require_finite_ends(const T* positions, std::size_t length, const char* name = "x") {
    if (length == 0) {
        return;
    }
    for (const std::size_t i : {std::size_t{0}, length - 1}) {
        if (std::isinf(positions[i])) {
            fail(PyExc_ValueError, std::string(name) + " must be finite: " + name + "[" + std::to_string(i) +
                                       "] is " + (positions[i] > 0 ? "inf" : "-inf"));
        }
    }
}

template <typename T>
void require_finite_ends(const std::vector<T>& positions) {
    require_finite_ends(positions.data(), positions.size());
}

// An order above the grid length has no divided differences at all; it is
// rejected before the band is built (and before k = 2*d could overflow).
inline void require_order_within(std::uint64_t d, std::size_t length) {
    if (d > length) {
        fail(PyExc_ValueError, "d must not exceed len(x)");
    }
}

}  // namespace tarnwold::py
