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

}  // namespace tarnwold
