// The single-pass smoother's loop over its series: how one series is read
// and solved, and the batch over the worker pool. Every function takes the
// call (smoothing.hpp) and the penalty band of its grid, which must stay
// alive and unchanged.
//
// The working inputs of a series (working_input.hpp) are formed where they
// are used, as the series is read, so no (S, T) matrix of weights is ever
// built.
#pragma once

#include <cstddef>

#include "solve/grid_band.hpp"
#include "solve/smoothing.hpp"

namespace tarnwold {

// Reads series s of the call: its working weights into w and its working
// values into y, element t at index t * step of both.
template <typename T>
void read_series(const Smoothing<T>& call, std::size_t s, T* w, T* y, std::size_t step);

// Solves series s of the call into destination (T values) by the scalar
// reference.
template <typename T>
void solve_series(const Smoothing<T>& call, const PenaltyBand<T>& band, std::size_t s, T* destination);

// Solves every series of the call, series s into destination + s * T, over
// the worker pool when the call is parallel (see for_each_series). The
// scalar kernel runs solve_series for each series; the vector kernels solve
// blocks of series in SIMD lanes with the same bits (lane_solver.hpp).
template <typename T>
void solve_all_series(const Smoothing<T>& call, const PenaltyBand<T>& band, T* destination);

}  // namespace tarnwold
