// The robust smoother of a batch, from the caller's grid to the caller's
// results: near-duplicate positions merged, the penalty band of the merged
// grid, the passes of iteratively reweighted least squares, in single
// precision a rerun of the whole batch in double when its result is not
// trustworthy, and the results spread back over the caller's grid.
//
// The caller validates first: the merged grid's length and order, and the
// shapes of the matrices, are its preconditions here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "robust/robust.hpp"
#include "solve/merge.hpp"
#include "solve/smoothing.hpp"

namespace tarnwold {

// How the robust passes weigh the residuals.
template <typename T>
struct Robustness {
    std::uint64_t iterations;
    Weighting weighting;
    TuningTriple<T> tuning;
    ScaleEstimator scale;
};

// The positions the passes run on: every chain of spacings at most
// merge_tolerance merged into one position. Merging is on only for a
// positive tolerance; with 0, a negative or a NaN one, x itself. x must be
// strictly increasing.
template <typename T>
MergedGrid<T> solve_grid(const T* x, std::size_t n, T merge_tolerance);

// Writes the fits and, unless total_weights is nullptr, the total weights of
// the last solve: (S, T) row-major each, every element written. grid comes
// from solve_grid and must have at least two positions, more than d,
// strictly increasing.
// Throws NumericalInstability when a single-precision batch fails its
// plausibility test and its double-precision rerun still overflows float.
template <typename T>
void robust_smooth(const MergedGrid<T>& grid, const Smoothing<T>& call, const Robustness<T>& robustness,
                   T* fits, T* total_weights);

}  // namespace tarnwold
