#include "robust/irls.hpp"

#include <algorithm>
#include <limits>
#include <type_traits>
#include <vector>

#include "base/fault.hpp"
#include "base/plausibility.hpp"
#include "base/working_input.hpp"
#include "lanes/lane_kernel.hpp"
#include "lanes/lane_solver.hpp"
#include "robust/weight_functions.hpp"
#include "runtime/parallel.hpp"
#include "runtime/scratch.hpp"
#include "solve/banded_solve.hpp"

namespace tarnwold {

template <typename T>
void form_base_row(const StridedMatrix<T>& y, const StridedMatrix<T>* given, std::size_t s, T* row) {
    for (std::size_t t = 0; t < y.cols; ++t) {
        row[t] = working_weight(y.at(s, t), given != nullptr ? given->at(s, t) : T(1));
    }
}

namespace {

// Row s of the problem's base weights: the row of B in full, or else formed
// into scratch (n values).
template <typename T>
const T* base_row(const IrlsProblem<T>& problem, std::size_t s, T* scratch) {
    if (problem.base_weights.full != nullptr) {
        return problem.base_weights.full->row(s);
    }
    form_base_row(problem.y, problem.base_weights.given, s, scratch);
    return scratch;
}

template <typename T>
struct IrlsState {
    T* fits;                         // Z
    SeriesMatrix<T> robust_weights;  // R, carried from one pass to the next
    T* total_weights;                // W
    std::atomic<bool>* implausible;  // see irls_batch
};

// The float acceptance test of a series' last pass (see irls_batch): the
// fits and total weights (n values each) of series s against its
// observations.
template <typename T>
void judge_series(const T* fit, const T* weights, const StridedMatrix<T>& y, std::size_t s,
                  std::atomic<bool>& implausible) {
    if constexpr (std::is_same_v<T, float>) {
        const float largest =
            y.col_stride == static_cast<std::ptrdiff_t>(sizeof(float))
                ? largest_finite_magnitude(y.data + static_cast<std::ptrdiff_t>(s) * y.row_stride, y.cols)
                : largest_finite_magnitude(y.cols, [&](std::size_t t) { return y.at(s, t); });
        if (implausible_fits(fit, y.cols, largest) ||
            any_beyond(weights, y.cols, std::numeric_limits<float>::max())) {
            implausible.store(true, std::memory_order_relaxed);
        }
    }
}

// Scale of the residuals r at the masked positions, by the problem's estimator.
template <typename T>
T residual_scale(const IrlsProblem<T>& problem, const T* r, const std::uint8_t* mask, std::size_t n,
                 T* scratch) {
    return is_huber_scale(problem.scale) ? huber_scale(r, mask, n, problem.eps, scratch)
                                         : mad_scale(r, mask, n, problem.eps, scratch);
}

// The robust weights of the next pass from the residuals of this one (NaN
// outside the mask) and their scale sigma; 0 outside the mask.
template <typename T>
void reweigh(const IrlsProblem<T>& problem, const T* r, const std::uint8_t* mask, std::size_t n, T sigma,
             T* robust) {
    for (std::size_t t = 0; t < n; ++t) {
        robust[t] = mask[t] != 0 ? robust_weight(problem.weighting, problem.tuning, r[t] / sigma) : T(0);
    }
}

// True when positions are in use but the robust weights `next` would give
// every position a total weight (base * robust, as the product evaluates:
// -0 counts, NaN does not) of exactly 0: every residual was non-finite or
// beyond the cut-off (a solve that overflowed, say). The next pass would
// then return zeros as if the series had no data; such a series keeps its
// weights instead, and every later pass repeats its fit.
template <typename T>
bool weighs_everything_out(const T* base, const T* next, const std::uint8_t* mask, std::size_t n) {
    bool in_use = false;
    for (std::size_t t = 0; t < n; ++t) {
        if (base[t] * next[t] != T(0)) {
            return false;
        }
        in_use = in_use || mask[t] != 0;
    }
    return in_use;
}

// One pass for series s: solve with base * robust weights, then turn the
// residuals into the robust weights of the next pass. Reads and writes only
// row s of the state, so series can run on any thread in any order.
template <typename T>
void irls_pass(const IrlsProblem<T>& problem, std::size_t s, bool next_pass, IrlsState<T>& state) {
    const std::size_t n = problem.band->columns;
    std::vector<T> base_scratch(n);
    const T* base = base_row(problem, s, base_scratch.data());
    T* robust = state.robust_weights.row(s);
    T* total = state.total_weights != nullptr ? state.total_weights + s * n : nullptr;
    T* fit = state.fits + s * n;

    // A robust weight of 0 makes wt = 0 (or -0 for a negative base weight),
    // which keeps the position out of the mask in every later pass.
    std::vector<T> wt(n);
    std::vector<T> yc(n, T(0));
    std::vector<std::uint8_t> mask(n, 0);
    for (std::size_t t = 0; t < n; ++t) {
        wt[t] = base[t] * robust[t];
        if (total != nullptr) {
            total[t] = wt[t];
        }
        const T value = problem.y.at(s, t);
        mask[t] = usable(value, wt[t]) ? 1 : 0;
        yc[t] = working_value(value, wt[t]);
    }
    banded_solve(problem.band->data(), n, problem.band->k, wt.data(), yc.data(), problem.lam, problem.ridge,
                 problem.eps, fit);
    if (!next_pass && state.implausible != nullptr) {
        judge_series(fit, wt.data(), problem.y, s, *state.implausible);
    }
    if (next_pass) {
        // Observations minus fit at the masked positions (where yc holds the
        // observation), NaN elsewhere.
        std::vector<T> r(n);
        std::vector<T> scratch(n);
        for (std::size_t t = 0; t < n; ++t) {
            r[t] = mask[t] != 0 ? yc[t] - fit[t] : std::numeric_limits<T>::quiet_NaN();
        }
        const T sigma = residual_scale(problem, r.data(), mask.data(), n, scratch.data());
        std::vector<T> next(n);
        reweigh<T>(problem, r.data(), mask.data(), n, sigma, next.data());
        if (!weighs_everything_out(base, next.data(), mask.data(), n)) {
            std::copy(next.begin(), next.end(), robust);
        }
    }
}

// The reference: passes over the whole batch, robust weights in a matrix.
template <typename T>
void scalar_passes(const IrlsProblem<T>& problem, std::uint64_t passes, T* fits, T* total_weights,
                   std::atomic<bool>* implausible) {
    const std::size_t series = problem.y.rows;
    const std::size_t n = problem.band->columns;
    IrlsState<T> state{fits, SeriesMatrix<T>(series, n), total_weights, implausible};
    std::vector<T> base_scratch(n);
    for (std::size_t s = 0; s < series; ++s) {
        const T* base = base_row(problem, s, base_scratch.data());
        T* robust = state.robust_weights.row(s);
        for (std::size_t t = 0; t < n; ++t) {
            robust[t] = usable(problem.y.at(s, t), base[t]) ? T(1) : T(0);
        }
    }
    // Every series finishes a pass before the next begins: the loop over
    // series returns only once all of them are done.
    for (std::uint64_t pass = 0; pass < passes; ++pass) {
        const bool next_pass = pass + 1 < problem.iterations;
        for_each_series(series, problem.parallel,
                        [&](std::size_t s) { irls_pass(problem, s, next_pass, state); });
    }
}

// Every pass of series [lo, hi), a block of lanes at a time. The first
// pass's inputs and the block's base weights are read once, straight from
// the observations and the base weights (or the caller's weights) into the
// lane layout; from then on the block stays there: the reweighting kernel
// turns each pass's inputs and solutions into the next pass's inputs across
// all lanes at once. The total weights are the weights of the last solve.
template <typename T>
void lane_passes(const IrlsProblem<T>& problem, std::uint64_t passes, const LaneKernels<T>& kernels, T* fits,
                 T* total_weights, std::atomic<bool>* implausible, std::size_t lo, std::size_t hi) {
    const std::size_t n = problem.band->columns;
    LaneSolver<T> solver(*problem.band, problem.lam, problem.ridge, problem.eps, &kernels, hi - lo);
    const LaneBlockKernels<T>& block = solver.block_kernels();
    const std::size_t width = solver.width();
    const std::size_t block_values = checked_product(width, n);
    Scratch<T> lane_bases(block_values);
    Scratch<T> magnitudes(block_values);
    Scratch<T> squares(is_huber_scale(problem.scale) ? block_values : 0);
    Scratch<T> candidates(block_values);
    Scratch<T> listed(checked_product(2 * width, n + 1));
    Scratch<T> compacted(n);
    Scratch<T> scales(width);
    Scratch<T> lane_weights(implausible != nullptr ? n : 0);
    const StridedMatrix<T>& y = problem.y;
    const SeriesMatrix<T>* full = problem.base_weights.full;
    const StridedMatrix<T> full_view = full != nullptr ? view_of(*full) : StridedMatrix<T>{};
    const StridedMatrix<T>* base = full != nullptr ? &full_view : problem.base_weights.given;
    std::vector<T*> fit_rows(width);
    std::vector<T*> total_rows(width);
    std::vector<const std::byte*> y_rows(width);
    std::vector<const std::byte*> base_rows(width);
    // The next block's observations, fetched into the cache during the last
    // solve of this one when they are contiguous.
    std::vector<const std::byte*> upcoming_rows(width);
    const bool dense = y.col_stride == static_cast<std::ptrdiff_t>(sizeof(T));

    for (std::size_t first = lo; first < hi; first += width) {
        const std::size_t lanes = hi - first < width ? hi - first : width;
        const bool more = dense && first + width < hi;
        point_block_rows(y, first, hi, y_rows);
        if (more) {
            point_block_rows(y, first + width, hi, upcoming_rows);
        }
        if (base != nullptr) {
            point_block_rows(*base, first, hi, base_rows);
        }
        block.read({n, y_rows.data(), y.col_stride, base != nullptr ? base_rows.data() : nullptr,
                    base != nullptr ? base->col_stride : 0, solver.weights(), solver.values(),
                    lane_bases.data(), full != nullptr});
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            fit_rows[lane] = fits + (first + lane) * n;
            total_rows[lane] = total_weights != nullptr ? total_weights + (first + lane) * n : nullptr;
        }
        for (std::uint64_t pass = 0; pass < passes; ++pass) {
            // Only the last pass's fits leave the block.
            const bool last = pass + 1 == passes;
            solver.solve(lanes, last ? fit_rows.data() : nullptr,
                         last && more ? upcoming_rows.data() : nullptr);
            if (!last) {
                block.reweigh({n, problem.weighting, problem.tuning, problem.scale, problem.eps,
                               lane_bases.data(), solver.solutions(), solver.weights(), solver.values(),
                               magnitudes.data(), squares.data(), candidates.data(), listed.data(),
                               compacted.data(), scales.data()});
            }
        }
        if (total_weights != nullptr) {
            block.write({n, lanes, solver.weights(), total_rows.data()});
        }
        // A lane the kernel verified passed the float acceptance test against
        // its usable observations, a bound no larger than that of all its
        // finite ones, and the kernel verifies no lane with a weight that is
        // not finite: only the lanes the reference solved can fail the test.
        for (std::size_t lane = 0; implausible != nullptr && lane < lanes; ++lane) {
            if (solver.unverified()[lane] != 0) {
                for (std::size_t t = 0; t < n; ++t) {
                    lane_weights[t] = solver.weights()[t * width + lane];
                }
                judge_series(fit_rows[lane], lane_weights.data(), y, first + lane, *implausible);
            }
        }
    }
}

}  // namespace

template <typename T>
void irls_batch(const IrlsProblem<T>& problem, T* fits, T* total_weights, std::atomic<bool>* implausible) {
    const std::size_t series = problem.y.rows;
    const std::size_t n = problem.band->columns;
    const SeriesMatrix<T>* full = problem.base_weights.full;
    const StridedMatrix<T>* given = problem.base_weights.given;
    if (problem.y.cols != n || (full != nullptr && (full->rows != series || full->cols != n)) ||
        (full == nullptr && given != nullptr && (given->rows != series || given->cols != n))) {
        throw InternalFault("IRLS inputs do not match the grid length");
    }
    // Without series a pass has no effect at all, so none is run: an empty
    // batch must not spin through up to 2^64 - 1 empty loops. The robust
    // weights of the last pass would feed no solve, so that pass skips them.
    const std::uint64_t passes = series == 0 ? 0 : problem.iterations;
    if (passes == 0) {
        std::fill(fits, fits + series * n, T(0));
        if (total_weights != nullptr) {
            std::fill(total_weights, total_weights + series * n, T(0));
        }
        return;
    }
    // A lone series gains nothing from a block: its unused lanes would be
    // computed and stored at every step, and for long series the block's
    // interleaved factor outgrows the caches.
    const LaneKernels<T>* kernels = lane_kernels<T>(problem.kernel);
    if (kernels == nullptr || series == 1 || !LaneSolver<T>::lanes_serve(*problem.band, problem.lam)) {
        scalar_passes(problem, passes, fits, total_weights, implausible);
        return;
    }
    for_each_series_range(
        series, problem.parallel,
        [&](std::size_t lo, std::size_t hi) {
            lane_passes(problem, passes, *kernels, fits, total_weights, implausible, lo, hi);
        },
        lane_grain(*kernels));
}

template <typename T>
IrlsResult<T> irls_batch(const IrlsProblem<T>& problem) {
    IrlsResult<T> result{SeriesMatrix<T>(problem.y.rows, problem.band->columns),
                         SeriesMatrix<T>(problem.y.rows, problem.band->columns)};
    irls_batch(problem, result.fits.values.data(), result.total_weights.values.data());
    return result;
}

template void form_base_row<float>(const StridedMatrix<float>&, const StridedMatrix<float>*, std::size_t,
                                   float*);
template void form_base_row<double>(const StridedMatrix<double>&, const StridedMatrix<double>*, std::size_t,
                                    double*);
template void irls_batch<float>(const IrlsProblem<float>&, float*, float*, std::atomic<bool>*);
template void irls_batch<double>(const IrlsProblem<double>&, double*, double*, std::atomic<bool>*);
template IrlsResult<float> irls_batch<float>(const IrlsProblem<float>&);
template IrlsResult<double> irls_batch<double>(const IrlsProblem<double>&);

}  // namespace tarnwold
