// Iteratively reweighted least squares over a batch of series.
//
// Exactly `iterations` passes; in each pass every series is solved with its
// current total weights, its residuals are scaled robustly and turned into new
// robust weights. A series' pass depends on nothing but its own earlier
// passes, so the results are those of running the passes one after another
// over the whole batch, however the work is ordered (see irls_batch). A
// robust weight of 0 is final: the position leaves the mask for good. A
// series with positions in use whose next total weights would all be 0
// keeps its robust weights instead, and repeats its fit in later passes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/series_matrix.hpp"
#include "lanes/kernel_choice.hpp"
#include "robust/robust.hpp"
#include "solve/grid_band.hpp"

namespace tarnwold {

// The base weights B of a batch: 0 wherever the observation is missing.
// Merged series come with B in full. For the caller's own series, B is
// formed row by row where it is read, from the caller's weights (or 1
// without any), so that no (S, T) matrix of it is built.
template <typename T>
struct BaseWeights {
    const SeriesMatrix<T>* full = nullptr;    // B itself, or else
    const StridedMatrix<T>* given = nullptr;  // the caller's weights; neither: weight 1
};

// Row s of B as formed from the observations y and the caller's weights
// (nullptr for weight 1): the weight where y(s, t) is finite, else 0.
template <typename T>
void form_base_row(const StridedMatrix<T>& y, const StridedMatrix<T>* given, std::size_t s, T* row);

template <typename T>
struct IrlsProblem {
    const PenaltyBand<T>* band;
    StridedMatrix<T> y;           // (S, T) observations, NaN/inf = missing
    BaseWeights<T> base_weights;  // (S, T)
    T lam;
    T ridge;
    std::uint64_t iterations;
    Weighting weighting;
    TuningTriple<T> tuning;
    ScaleEstimator scale;
    T eps;  // floor of the solver and of the scale estimators
    bool parallel;
    Kernel kernel;  // the module's choice, active_kernel()
};

template <typename T>
struct IrlsResult {
    SeriesMatrix<T> fits;           // Z: the fits of the last pass
    SeriesMatrix<T> total_weights;  // W: base * robust weights of that solve
};

// Writes the fits and the total weights into fits and total_weights, (S, T)
// row-major each, every element (a batch without passes gives zeros);
// total_weights may be nullptr when nobody reads them. The scalar kernel
// runs the passes over the whole batch one after another, with the robust
// weights in an (S, T) matrix. The vector kernels let each thread run every
// pass of a block of series before the next block: a series' pass reads
// only its own rows and the shared read-only problem, so the order among
// series cannot change a bit, and the robust weights of a block live in the
// thread's scratch. Both give the same bits.
//
// With `implausible` given (single precision only), the last pass of each
// series also runs the float smoother's acceptance test while the series'
// values are in cache, and sets *implausible when a fit or total weight is
// not finite or a fit exceeds the plausible bound of the largest finite
// observation of y's row (plausibility.hpp).
template <typename T>
void irls_batch(const IrlsProblem<T>& problem, T* fits, T* total_weights,
                std::atomic<bool>* implausible = nullptr);

// The same into newly allocated matrices.
template <typename T>
IrlsResult<T> irls_batch(const IrlsProblem<T>& problem);

}  // namespace tarnwold
