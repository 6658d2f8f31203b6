// Sampling grid normalisation and the banded penalty P = D^T D.
//
// D is the divided-difference operator of order d on an irregular grid. The
// band is returned in lower band storage: k + 1 rows of T columns, k = 2*d,
// element (j, c) at index j*T + c holding P[c, c-j]. Rows d+1 .. 2d are always
// zero (P has only d sub-diagonals); they are kept because the solver works
// with half-width k and processes every row.
//
// All arithmetic is done in T_ itself: the float variant never widens to
// double, so its results equal step-by-step single-precision arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "runtime/scratch.hpp"

namespace tarnwold {

// How a grid is scaled after its shift to 0; a caller that wants no
// normalisation at all does not call normalize_grid.
enum class NormalizeMode { Mean, Median, Shift };

// "mean" -> Mean, "median" -> Median (byte for byte), any other text -> Shift.
NormalizeMode normalize_mode(std::string_view text);

template <typename T>
struct PenaltyBand {
    std::vector<T> values;  // (k + 1) * columns, row-major
    std::size_t k = 0;
    std::size_t columns = 0;

    const T* data() const { return values.data(); }
};

// The rows of D, the divided-difference operator of order d: count = n - d
// rows (n for d = 0) of width = d + 1 coefficients, row-major; row r acts on
// positions r .. r + d. P = D^T D is formed from exactly these coefficients.
template <typename T>
struct DifferenceRows {
    Scratch<T> values;
    std::size_t count = 0;
    std::size_t width = 0;
};

// Shifts the grid to start at 0 and divides by the scale the text selects.
// Grids shorter than 2 come back unchanged. Throws NumericalInstability when
// a normalised position overflows the type's range.
template <typename T>
std::vector<T> normalize_grid(const T* x, std::size_t n, std::string_view text);
// The same into normalized (n values).
template <typename T>
void normalize_grid(const T* x, std::size_t n, std::string_view text, T* normalized);
// The scale normalize_grid divides the shifted grid by (1 for n < 2).
template <typename T>
T grid_scale(const T* x, std::size_t n, std::string_view text);

// Requires d <= n (and n >= 1 when d >= 1); otherwise throws InternalFault,
// because no rows of the requested order exist. Callers validate first.
// Same preconditions as build_penalty_band.
template <typename T>
DifferenceRows<T> divided_difference_rows(const T* x, std::size_t n, std::uint64_t d, T eps);

template <typename T>
PenaltyBand<T> build_penalty_band(const T* x, std::size_t n, std::uint64_t d, T eps);

// P = D^T D from rows of D built for n positions with order d (rows that
// may have been rescaled since, each by its own factor).
template <typename T>
PenaltyBand<T> penalty_band_from_rows(const DifferenceRows<T>& difference, std::size_t n, std::uint64_t d);

}  // namespace tarnwold
