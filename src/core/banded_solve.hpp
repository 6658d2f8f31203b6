// The banded Whittaker system (diag(w) + lam*P + ridge*I) z = w*y for one
// series, by lower Cholesky factorisation in band storage.
//
// The solve never fails. Pivots below the floor eps (or NaN) are raised to
// eps; the float entry re-solves in double precision when its own result is
// non-finite or implausibly large. The operation order of assembly,
// factorisation and both substitutions is fixed and determines the rounding
// of the result bit for bit; faster variants must reproduce it exactly.
#pragma once

#include <cstddef>

#include "grid_band.hpp"
#include "series_matrix.hpp"

namespace tarnwold {

// pb: (k + 1) * n band values; w, y: n values each; z: n values written.
// Preconditions: every y[i] is finite, and y[i] == 0 wherever w[i] > 0 fails.
void banded_solve_f32(const float* pb, std::size_t n, std::size_t k, const float* w, const float* y,
                      float lam, float ridge, float eps, float* z);
void banded_solve_f64(const double* pb, std::size_t n, std::size_t k, const double* w, const double* y,
                      double lam, double ridge, double eps, double* z);

// Overloads so that precision-generic code picks the entry of its precision.
inline void banded_solve(const float* pb, std::size_t n, std::size_t k, const float* w, const float* y,
                         float lam, float ridge, float eps, float* z) {
    banded_solve_f32(pb, n, k, w, y, lam, ridge, eps, z);
}
inline void banded_solve(const double* pb, std::size_t n, std::size_t k, const double* w, const double* y,
                         double lam, double ridge, double eps, double* z) {
    banded_solve_f64(pb, n, k, w, y, lam, ridge, eps, z);
}

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
void read_series(const SeriesSolveContext<T>& context, std::size_t s, T* w, T* y, std::size_t step);

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
void solve_all_series(const SeriesSolveContext<T>& context, T* destination, bool parallel);

}  // namespace tarnwold
