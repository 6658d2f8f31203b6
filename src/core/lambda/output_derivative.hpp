// The derivative of a fit along its output grid: at each point that of the
// parabola through it and its two neighbours (the first or last three points
// at the ends, one-sided there); two points give the slope of their line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwold {

// Replaces each of the `rows` rows of z (`points` values each, read at the
// positions `at`) by its derivative of order 1 or 2 in the units of `at`.
// Needs at least derivative + 1 points.
void differentiate_rows(double* z, std::size_t rows, const double* at, std::size_t points,
                        std::uint64_t derivative);

}  // namespace tarnwold
