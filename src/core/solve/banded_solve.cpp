#include "solve/banded_solve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "base/fault.hpp"
#include "base/floor.hpp"
#include "base/plausibility.hpp"

namespace tarnwold {

namespace {

// Solves (diag(w) + lam*P + ridge*I) z = w*y in band storage and returns z.
//
// Inputs are stored as In and computed as T: the double-precision re-solve of
// the float entry reads the float band, weights and values and widens each
// value where it is used, which is exact and spares a widened copy of the band.
//
// floor raises every pivot below it (and NaN) and replaces every substitution
// divisor below it. With FloorColumnDivisor the factorisation's column
// division uses the floored diagonal too; that matters only when the floor
// exceeds 1, where sqrt(floor) < floor, and is used by the re-solve alone.
template <typename T, bool FloorColumnDivisor, typename In>
std::vector<T> cholesky_band_solve(const In* pb, std::size_t n, std::size_t k, const In* w, const In* y,
                                   T lam, T ridge, T floor) {
    // factor[j*n + i] holds L(i, i-j); row 0 is the diagonal.
    std::vector<T> factor(checked_product(k + 1, n));
    std::vector<T> work(n);
    for (std::size_t i = 0; i < n; ++i) {
        work[i] = static_cast<T>(w[i]) * static_cast<T>(y[i]);
    }

    const auto band = [&](std::size_t j, std::size_t i) { return static_cast<T>(pb[j * n + i]); };
    const auto L = [&](std::size_t j, std::size_t i) -> T& { return factor[j * n + i]; };

    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t reach_back = std::min(k, i);
        T c = (lam * band(0, i) + static_cast<T>(w[i])) + ridge;
        for (std::size_t m = 1; m <= reach_back; ++m) {
            const T l = L(m, i);
            c = c - l * l;
        }
        // The only guard of the factorisation: a singular or indefinite
        // system still factors, with its lost pivots replaced by the floor.
        const T diagonal = std::sqrt(floored(c, floor));
        L(0, i) = diagonal;
        T column_divisor = diagonal;
        if constexpr (FloorColumnDivisor) {
            column_divisor = floored(diagonal, floor);
        }

        const std::size_t reach_down = std::min(k, n - 1 - i);
        for (std::size_t r = 1; r <= reach_down; ++r) {
            T s = lam * band(r, i + r);
            const std::size_t terms = std::min(k - r, reach_back);
            for (std::size_t m = 1; m <= terms; ++m) {
                s = s - L(r + m, i + r) * L(m, i);
            }
            L(r, i + r) = s / column_divisor;
        }
    }

    // Both substitutions divide by the floored diagonal. It equals the
    // diagonal whenever 0 <= floor <= 1; it differs only for larger floors.
    for (std::size_t i = 0; i < n; ++i) {
        const T u = work[i] / floored(L(0, i), floor);
        work[i] = u;
        const std::size_t reach_down = std::min(k, n - 1 - i);
        for (std::size_t r = 1; r <= reach_down; ++r) {
            work[i + r] = work[i + r] - L(r, i + r) * u;
        }
    }
    for (std::size_t i = n; i-- > 0;) {
        const T z = work[i] / floored(L(0, i), floor);
        work[i] = z;
        const std::size_t reach_back = std::min(k, i);
        for (std::size_t r = 1; r <= reach_back; ++r) {
            work[i - r] = work[i - r] - L(r, i) * z;
        }
    }
    return work;
}

// A float solution is trusted when it is finite and not more than a million
// times larger than the data (or than 1 for small data): beyond that the
// single-precision factor has almost certainly lost its pivots to rounding.
bool acceptable(const std::vector<float>& z, const float* y, std::size_t n) {
    for (const float value : z) {
        if (!std::isfinite(value)) {
            return false;
        }
    }
    return !implausibly_large(largest_finite_magnitude(n, [&](std::size_t i) { return z[i]; }),
                              largest_finite_magnitude(n, [&](std::size_t i) { return y[i]; }));
}

}  // namespace

void banded_solve_f32(const float* pb, std::size_t n, std::size_t k, const float* w, const float* y,
                      float lam, float ridge, float eps, float* z) {
    const std::vector<float> single = cholesky_band_solve<float, false>(pb, n, k, w, y, lam, ridge, eps);
    if (acceptable(single, y, n)) {
        std::copy(single.begin(), single.end(), z);
        return;
    }
    // The re-solve must succeed where float failed, so its floor never drops
    // below one unit of double precision (a NaN eps gives that unit too),
    // and the column division is floored as well, since eps may exceed 1.
    constexpr double unit = std::numeric_limits<double>::epsilon();  // 2^-52
    const double widened_eps = static_cast<double>(eps);
    const double floor = widened_eps > unit ? widened_eps : unit;
    const std::vector<double> precise = cholesky_band_solve<double, true>(
        pb, n, k, w, y, static_cast<double>(lam), static_cast<double>(ridge), floor);
    for (std::size_t i = 0; i < n; ++i) {
        z[i] = static_cast<float>(precise[i]);
    }
}

void banded_solve_f64(const double* pb, std::size_t n, std::size_t k, const double* w, const double* y,
                      double lam, double ridge, double eps, double* z) {
    const std::vector<double> solution = cholesky_band_solve<double, false>(pb, n, k, w, y, lam, ridge, eps);
    std::copy(solution.begin(), solution.end(), z);
}

}  // namespace tarnwold
