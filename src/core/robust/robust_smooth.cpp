#include "robust/robust_smooth.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include "base/fault.hpp"
#include "base/plausibility.hpp"
#include "robust/irls.hpp"
#include "runtime/parallel.hpp"
#include "solve/grid_band.hpp"

namespace tarnwold {

namespace {

template <typename U, typename T>
SeriesMatrix<U> converted(const StridedMatrix<T>& source) {
    SeriesMatrix<U> result(source.rows, source.cols);
    for (std::size_t s = 0; s < source.rows; ++s) {
        for (std::size_t t = 0; t < source.cols; ++t) {
            result.row(s)[t] = static_cast<U>(source.at(s, t));
        }
    }
    return result;
}

// The single-precision result (fits and total weights, (S, Tm) each) is not
// trusted when any fit or weight is not finite, or when a series' fit exceeds
// 1e6 times its largest finite observation (or 1e6 for observations below 1):
// an ill-conditioned float solve, not the data, produced it. The passes run
// this test themselves on the caller's own series (irls_batch); merged
// series are judged against the caller's observations here.
bool needs_f64_fallback(const float* fits, const float* total_weights, std::size_t solve_length,
                        const StridedMatrix<float>& y, bool parallel) {
    // Read by the pool's workers, one range of rows each: the scan reads
    // every value of three (S, T) matrices, too much for the calling thread
    // alone once the passes themselves run in parallel.
    constexpr float largest_float = std::numeric_limits<float>::max();
    std::atomic<bool> fails{false};
    for_each_series_range(y.rows, parallel, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t s = lo; s < hi && !fails.load(std::memory_order_relaxed); ++s) {
            const float h =
                y.col_stride == static_cast<std::ptrdiff_t>(sizeof(float))
                    ? largest_finite_magnitude(y.data + static_cast<std::ptrdiff_t>(s) * y.row_stride, y.cols)
                    : largest_finite_magnitude(y.cols, [&](std::size_t t) { return y.at(s, t); });
            if (implausible_fits(fits + s * solve_length, solve_length, h) ||
                any_beyond(total_weights + s * solve_length, solve_length, largest_float)) {
                fails.store(true, std::memory_order_relaxed);
                return;
            }
        }
    });
    return fails.load();
}

// Reruns the whole batch in double precision from the single-precision
// inputs, widened exactly (nothing is recomputed from the caller's x), and
// rounds the results back into fits and total_weights (nullptr when the
// caller does not want them; they are judged all the same).
void rerun_in_double(const IrlsProblem<float>& problem, const std::vector<float>& solve_grid, std::uint64_t d,
                     float* fits, float* total_weights) {
    const std::vector<double> grid(solve_grid.begin(), solve_grid.end());
    const PenaltyBand<double> band = build_penalty_band(grid.data(), grid.size(), d, double(problem.eps));
    // Widening keeps every value and whether it is finite, so base weights
    // formed from widened inputs are the widened base weights.
    const SeriesMatrix<double> y = converted<double>(problem.y);
    const BaseWeights<float>& narrow = problem.base_weights;
    SeriesMatrix<double> base;
    if (narrow.full != nullptr) {
        base = converted<double>(view_of(*narrow.full));
    } else if (narrow.given != nullptr) {
        base = converted<double>(*narrow.given);
    }
    const StridedMatrix<double> given = view_of(base);
    const BaseWeights<double> base_weights{
        narrow.full != nullptr ? &base : nullptr,
        narrow.full == nullptr && narrow.given != nullptr ? &given : nullptr};
    const IrlsProblem<double> widened{&band,
                                      view_of(y),
                                      base_weights,
                                      problem.lam,
                                      problem.ridge,
                                      problem.iterations,
                                      problem.weighting,
                                      {problem.tuning.t0, problem.tuning.t1, problem.tuning.t2},
                                      problem.scale,
                                      problem.eps,
                                      problem.parallel,
                                      problem.kernel};
    const IrlsResult<double> result = irls_batch(widened);
    const std::size_t count = result.fits.values.size();
    bool weights_beyond = false;
    for (std::size_t i = 0; i < count; ++i) {
        fits[i] = static_cast<float>(result.fits.values[i]);
        const float weight = static_cast<float>(result.total_weights.values[i]);
        weights_beyond |= !(std::fabs(weight) <= std::numeric_limits<float>::max());
        if (total_weights != nullptr) {
            total_weights[i] = weight;
        }
    }
    if (any_beyond(fits, count, std::numeric_limits<float>::max()) || weights_beyond) {
        throw NumericalInstability(
            "Numerical instability in f32 solver; try robust_whittaker_irls_f64 or increase eps/ridge");
    }
}

// The passes into fits and total_weights ((S, Tm) each), with the
// single-precision fall-back, which judges the fits against the caller's
// observations: during the passes when they solve the caller's own series
// (total_weights then may be nullptr), else afterwards.
template <typename T>
void solve_batch(const IrlsProblem<T>& problem, const StridedMatrix<T>& caller_y,
                 const std::vector<T>& solve_grid, std::uint64_t d, T* fits, T* total_weights,
                 bool own_series) {
    if constexpr (std::is_same_v<T, float>) {
        std::atomic<bool> implausible{false};
        irls_batch(problem, fits, total_weights, own_series ? &implausible : nullptr);
        if (own_series
                ? implausible.load()
                : needs_f64_fallback(fits, total_weights, solve_grid.size(), caller_y, problem.parallel)) {
            rerun_in_double(problem, solve_grid, d, fits, total_weights);
        }
    } else {
        irls_batch(problem, fits, total_weights);
    }
}

// The base weights in full, as merging needs them.
template <typename T>
SeriesMatrix<T> full_base_weights(const StridedMatrix<T>& y, const StridedMatrix<T>* given) {
    SeriesMatrix<T> weights(y.rows, y.cols);
    for (std::size_t s = 0; s < y.rows; ++s) {
        form_base_row(y, given, s, weights.row(s));
    }
    return weights;
}

}  // namespace

template <typename T>
MergedGrid<T> solve_grid(const T* x, std::size_t n, T merge_tolerance) {
    return merge_tolerance > T(0) ? merge_positions(x, n, merge_tolerance) : identity_grouping(x, n);
}

template <typename T>
void robust_smooth(const MergedGrid<T>& grid, const Smoothing<T>& call, const Robustness<T>& robustness,
                   T* fits, T* total_weights) {
    const std::size_t series = call.y.rows;
    const std::size_t length = call.y.cols;
    const std::size_t solve_length = grid.positions.size();
    const std::vector<T> positions =
        call.normalize ? normalize_grid(grid.positions.data(), solve_length, *call.normalize)
                       : grid.positions;
    const PenaltyBand<T> band = build_penalty_band(positions.data(), solve_length, call.d, call.eps);
    const auto problem_of = [&](StridedMatrix<T> y, BaseWeights<T> base_weights) {
        return IrlsProblem<T>{&band,
                              y,
                              base_weights,
                              call.lam,
                              call.ridge,
                              robustness.iterations,
                              robustness.weighting,
                              robustness.tuning,
                              robustness.scale,
                              call.eps,
                              call.parallel,
                              call.kernel};
    };

    if (solve_length == length) {
        // The passes write straight into the caller's results, forming the
        // base weights row by row as they read each series, and keep no
        // total weights that nobody wants.
        solve_batch(problem_of(call.y, {nullptr, call.base_weights}), call.y, positions, call.d, fits,
                    total_weights, true);
        return;
    }

    // Merging needs the base weights in full, and the results on the merged
    // grid before they are spread over the caller's.
    const SeriesMatrix<T> base = full_base_weights(call.y, call.base_weights);
    const MergedSeries<T> merged = merge_observations(call.y, base, grid.groups);
    SeriesMatrix<T> merged_fits(series, solve_length);
    SeriesMatrix<T> merged_totals(series, solve_length);
    solve_batch(problem_of(view_of(merged.y), {&merged.weights, nullptr}), call.y, positions, call.d,
                merged_fits.values.data(), merged_totals.values.data(), false);
    expand_to_grid(merged_fits, merged_totals, merged.weights, base, grid.groups, fits, total_weights);
}

template MergedGrid<float> solve_grid<float>(const float*, std::size_t, float);
template MergedGrid<double> solve_grid<double>(const double*, std::size_t, double);
template void robust_smooth<float>(const MergedGrid<float>&, const Smoothing<float>&,
                                   const Robustness<float>&, float*, float*);
template void robust_smooth<double>(const MergedGrid<double>&, const Smoothing<double>&,
                                    const Robustness<double>&, double*, double*);

}  // namespace tarnwold
