// The plausibility rule of single-precision results.
//
// A float fit more than a million times larger than its data (or than 1 for
// data below 1) is the mark of a float factorisation that lost its pivots to
// rounding, not of the data. The per-solve acceptance test of the float
// solver and the whole-batch test of the robust float smoother apply the
// same rule, so both read it from here.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnwold {

// Largest magnitude among the finite values value_at(0 .. n-1), 0 when none
// is finite.
template <typename ValueAt>
float largest_finite_magnitude(std::size_t n, ValueAt&& value_at) {
    // Without branches on the data (m - m is 0 exactly when m is finite), so
    // that the compiler can keep several lanes of the maximum at once.
    float largest = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        const float magnitude = std::fabs(value_at(i));
        largest = (magnitude - magnitude == 0.0f) & (magnitude > largest) ? magnitude : largest;
    }
    return largest;
}

// The same over n contiguous floats at `values` (any alignment), written so
// that it runs on vectors: the bit patterns of finite magnitudes order like
// their values, and every non-finite value counts as 0 (v - v is 0 exactly
// when v is finite).
inline float largest_finite_magnitude(const std::byte* values, std::size_t n) {
    std::int32_t largest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        float value;
        std::memcpy(&value, values + i * sizeof(float), sizeof value);
        const float magnitude = std::fabs(value);
        std::int32_t bits;
        std::memcpy(&bits, &magnitude, sizeof bits);
        bits = magnitude - magnitude == 0.0f ? bits : 0;
        largest = bits > largest ? bits : largest;
    }
    float result;
    std::memcpy(&result, &largest, sizeof result);
    return result;
}

// The largest plausible fit magnitude for the largest finite observation,
// and whether the largest finite fit exceeds it; the comparison is strict,
// so a fit exactly at the bound is still plausible.
inline float plausible_bound(float largest_observation) {
    const float scale = largest_observation > 1.0f ? largest_observation : 1.0f;
    return scale * 1e6f;
}

inline bool implausibly_large(float largest_fit, float largest_observation) {
    return largest_fit > plausible_bound(largest_observation);
}

// Whether any of the values is NaN, infinite or larger in magnitude than
// limit (a finite float). Written as one comparison per value and no branch,
// so that it runs on vectors.
inline bool any_beyond(const float* values, std::size_t n, float limit) {
    int beyond = 0;
    for (std::size_t i = 0; i < n; ++i) {
        beyond |= !(std::fabs(values[i]) <= limit);
    }
    return beyond != 0;
}

// The whole-batch test of the robust float smoother on one series: whether
// a fit is not finite or exceeds the plausible bound of the series' largest
// finite observation. With every value finite, the largest fit exceeds the
// bound exactly when some fit does.
inline bool implausible_fits(const float* fits, std::size_t n, float largest_observation) {
    const float bound = plausible_bound(largest_observation);
    const float largest_float = 3.40282347e+38f;
    return any_beyond(fits, n, bound < largest_float ? bound : largest_float);
}

}  // namespace tarnwold
