// The single-pass smoother's loop over its series: what every series of a
// call shares, how one series is read and solved, and the batch over the
// worker pool.
#pragma once

#include <cstddef>

#include "grid_band.hpp"
#include "kernel_choice.hpp"
#include "series_matrix.hpp"

namespace tarnwold {

// What every series of one single-pass call shares, read-only.
//
// The working weight of (s, t) is the base weight (1 without base weights),
// or 0 where the observation is missing. It is formed where it is used, as
// the series is read, so no (S, T) matrix of weights is ever built.
template <typename T>
struct SeriesSolveContext {
    StridedMatrix<T> y;                    // (S, T) observations, NaN/inf = missing
    const StridedMatrix<T>* base_weights;  // (S, T), or nullptr for weight 1
    const PenaltyBand<T>* band;
    T lam;
    T ridge;
    T eps;
};

// Reads series s of the context: its working weights into w and, into y,
// its observations where they are finite and their weight is > 0, else 0.
// Element t goes to index t * step of both destinations.
template <typename T>
void read_series(const SeriesSolveContext<T>& context, std::size_t s, T* w, T* y,
                 std::size_t step);

// Solves series s of the context into destination (T values). Observations
// that are missing or whose weight is not > 0 enter the right-hand side as 0;
// the weights themselves are used unchanged.
template <typename T>
void solve_series(const SeriesSolveContext<T>& context, std::size_t s, T* destination);

// Solves every series of the context, series s into destination + s * T,
// over the worker pool when parallel is set (see for_each_series). The
// scalar kernel runs solve_series for each series; the vector kernels solve
// blocks of series in SIMD lanes with the same bits (lane_solver.hpp).
template <typename T>
void solve_all_series(const SeriesSolveContext<T>& context, T* destination, bool parallel, Kernel kernel);

}  // namespace tarnwold
