#include "irls.hpp"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "banded_solve.hpp"
#include "fault.hpp"
#include "parallel.hpp"

namespace tarnwold {

namespace {

template <typename T>
struct IrlsState {
    SeriesMatrix<T> fits;            // Z
    SeriesMatrix<T> robust_weights;  // R, carried from one pass to the next
    SeriesMatrix<T> total_weights;   // W
};

// One pass for series s: solve with base * robust weights, then turn the
// residuals into the robust weights of the next pass. Reads and writes only
// row s of the state, so series can run on any thread in any order.
template <typename T>
void irls_pass(const IrlsProblem<T>& problem, std::size_t s, bool reweight, IrlsState<T>& state) {
    const std::size_t n = problem.band->columns;
    const T* base = problem.base_weights->row(s);
    T* robust = state.robust_weights.row(s);
    T* total = state.total_weights.row(s);
    T* fit = state.fits.row(s);

    // A robust weight of 0 makes wt = 0 (or -0 for a negative base weight),
    // which keeps the position out of the mask in every later pass.
    std::vector<T> wt(n);
    std::vector<T> yc(n, T(0));
    std::vector<std::uint8_t> mask(n, 0);
    for (std::size_t t = 0; t < n; ++t) {
        wt[t] = base[t] * robust[t];
        total[t] = wt[t];
        const T value = problem.y.at(s, t);
        if (std::isfinite(value) && wt[t] > T(0)) {
            mask[t] = 1;
            yc[t] = value;
        }
    }
    banded_solve(problem.band->data(), n, problem.band->k, wt.data(), yc.data(), problem.lam,
                 problem.ridge, problem.eps, fit);
    if (!reweight) {
        return;
    }

    // Masked positions hold their observation in yc, so yc - fit is the
    // residual there.
    std::vector<T> r(n, std::numeric_limits<T>::quiet_NaN());
    for (std::size_t t = 0; t < n; ++t) {
        if (mask[t] != 0) {
            r[t] = yc[t] - fit[t];
        }
    }
    const T sigma = problem.scale == ScaleEstimator::Huber
                        ? huber_scale(r.data(), mask.data(), n, problem.eps)
                        : mad_scale(r.data(), mask.data(), n, problem.eps);
    for (std::size_t t = 0; t < n; ++t) {
        robust[t] = mask[t] != 0 ? robust_weight(problem.weighting, problem.tuning, r[t] / sigma)
                                 : T(0);
    }
}

}  // namespace

template <typename T>
IrlsResult<T> irls_batch(const IrlsProblem<T>& problem) {
    const std::size_t series = problem.y.rows;
    const std::size_t n = problem.band->columns;
    if (problem.y.cols != n || problem.base_weights->rows != series ||
        problem.base_weights->cols != n) {
        throw InternalFault("IRLS inputs do not match the grid length");
    }

    IrlsState<T> state{SeriesMatrix<T>(series, n), SeriesMatrix<T>(series, n),
                       SeriesMatrix<T>(series, n)};
    for (std::size_t s = 0; s < series; ++s) {
        const T* base = problem.base_weights->row(s);
        T* robust = state.robust_weights.row(s);
        for (std::size_t t = 0; t < n; ++t) {
            robust[t] = std::isfinite(problem.y.at(s, t)) && base[t] > T(0) ? T(1) : T(0);
        }
    }

    // Every series finishes a pass before the next begins: the loop over
    // series returns only once all of them are done. The robust weights of
    // the last pass would feed no solve, so that pass skips them. Without
    // series a pass has no effect at all, so none is run: an empty batch
    // must not spin through up to 2^64 - 1 empty loops.
    const std::uint64_t passes = series == 0 ? 0 : problem.iterations;
    for (std::uint64_t pass = 0; pass < passes; ++pass) {
        const bool reweight = pass + 1 < problem.iterations;
        for_each_series(series, problem.parallel,
                        [&](std::size_t s) { irls_pass(problem, s, reweight, state); });
    }
    return {std::move(state.fits), std::move(state.total_weights)};
}

template IrlsResult<float> irls_batch<float>(const IrlsProblem<float>&);
template IrlsResult<double> irls_batch<double>(const IrlsProblem<double>&);

}  // namespace tarnwold
