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
#include <optional>
#include <string_view>

#include "kernel_choice.hpp"
#include "merge.hpp"
#include "robust.hpp"
#include "series_matrix.hpp"

namespace tarnwold {

template <typename T>
struct RobustSmoothing {
    const MergedGrid<T>* grid;             // solve_grid of the caller's positions
    StridedMatrix<T> y;                    // (S, T) observations, NaN/inf = missing
    const StridedMatrix<T>* base_weights;  // (S, T), or nullptr for weight 1
    T lam;
    std::uint64_t d;
    std::uint64_t iterations;
    Weighting weighting;
    TuningTriple<T> tuning;
    ScaleEstimator scale;
    T ridge;
    std::optional<std::string_view> normalize;  // none: the positions as they are
    T eps;
    bool parallel;
    Kernel kernel;  // the module's choice, active_kernel()
};

// The positions the passes run on: every chain of spacings at most
// merge_tolerance merged into one position. Merging is on only for a
// positive tolerance; with 0, a negative or a NaN one, x itself. x must be
// strictly increasing.
template <typename T>
MergedGrid<T> solve_grid(const T* x, std::size_t n, T merge_tolerance);

// Writes the fits and, unless total_weights is nullptr, the total weights of
// the last solve: (S, T) row-major each, every element written. The merged
// grid must have at least two positions, more than d, strictly increasing.
// Throws NumericalInstability when a single-precision batch fails its
// plausibility test and its double-precision rerun still overflows float.
template <typename T>
void robust_smooth(const RobustSmoothing<T>& problem, T* fits, T* total_weights);

}  // namespace tarnwold
