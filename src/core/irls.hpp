// Iteratively reweighted least squares over a batch of series.
//
// Exactly `iterations` passes; in each pass every series is solved with its
// current total weights, its residuals are scaled robustly and turned into new
// robust weights. All series finish a pass before the next pass begins. A
// robust weight of 0 is final: the position leaves the mask for good.
#pragma once

#include <cstddef>
#include <cstdint>

#include "grid_band.hpp"
#include "robust.hpp"
#include "series_matrix.hpp"

namespace tarnwold {

template <typename T>
struct IrlsProblem {
    const PenaltyBand<T>* band;
    StridedMatrix<T> y;                   // (S, T) observations, NaN/inf = missing
    const SeriesMatrix<T>* base_weights;  // (S, T), 0 where y is missing
    T lam;
    T ridge;
    std::uint64_t iterations;
    Weighting weighting;
    TuningTriple<T> tuning;
    ScaleEstimator scale;
    T eps;       // floor of the solver and of the scale estimators
    bool parallel;
};

template <typename T>
struct IrlsResult {
    SeriesMatrix<T> fits;           // Z: the fits of the last pass
    SeriesMatrix<T> total_weights;  // W: base * robust weights of that solve
};

template <typename T>
IrlsResult<T> irls_batch(const IrlsProblem<T>& problem);

}  // namespace tarnwold
