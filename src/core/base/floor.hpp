// The one floor rule of the core, shared by spacings, pivots, divisors and
// scales: the value itself when it is not NaN and not below the floor, else
// the floor. Written so that a NaN value never survives, while a NaN floor
// leaves an ordinary value alone (both comparisons are false for it).
#pragma once

#include <cmath>

namespace tarnwold {

template <typename T>
inline T floored(T value, T floor) {
    return (std::isnan(value) || value < floor) ? floor : value;
}

}  // namespace tarnwold
