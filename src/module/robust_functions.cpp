// robust_whittaker_irls_f32 / robust_whittaker_irls_f64: the robust smoother
// with optional merging of near-duplicate positions and, in single
// precision, a double-precision rerun of the batch when the result is not
// trustworthy.
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include "arguments.hpp"
#include "arrays.hpp"
#include "functions.hpp"
#include "grid_band.hpp"
#include "grid_checks.hpp"
#include "irls.hpp"
#include "merge.hpp"
#include "parallel.hpp"
#include "plausibility.hpp"
#include "module.hpp"
#include "robust.hpp"
#include "working_weights.hpp"

namespace tarnwold::py {
namespace {

constexpr const char* parameters[] = {
    "x",     "y_st",      "w_base_st", "lam",    "d",      "iterations",     "weighting",  "scale",
    "ridge", "normalize", "eps",       "parallel", "tuning", "return_weights", "merge_x_tol"};

template <typename T>
struct RobustArguments {
    GridArray<T> x;
    StridedMatrix<T> y;
    std::optional<StridedMatrix<T>> base_weights;
    T lam = T(10.0);
    std::uint64_t d = 2;
    std::uint64_t iterations = 1;
    std::string_view weighting = "tukey";
    std::string_view scale = "mad";
    T ridge = static_cast<T>(1e-10);
    std::optional<std::string_view> normalize = "mean";  // None: no normalisation
    T eps = static_cast<T>(1e-10);
    bool parallel = true;
    std::optional<TuningTriple<T>> tuning;
    bool return_weights = false;
    T merge_tolerance = static_cast<T>(1e-2);  // None: 0, no merging
};

// Converts the fifteen arguments in parameter order; the first failure ends
// the call.
template <typename T>
RobustArguments<T> convert_arguments(const char* name, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
    const MatchedArguments<15> matched({name, parameters, 15, 2}, args, nargs, kwnames);
    RobustArguments<T> a;
    a.x = convert_grid<T>(matched[0], "x");
    a.y = convert_series<T>(matched[1], "y_st");
    if (matched.given(2)) a.base_weights = convert_series<T>(matched[2], "w_base_st");
    if (matched[3]) a.lam = convert_real<T>(matched[3], "lam");
    if (matched[4]) a.d = convert_count(matched[4], "d");
    if (matched[5]) a.iterations = convert_count(matched[5], "iterations");
    if (matched[6]) a.weighting = convert_text(matched[6], "weighting");
    if (matched[7]) a.scale = convert_text(matched[7], "scale");
    if (matched[8]) a.ridge = convert_real<T>(matched[8], "ridge");
    if (matched[9]) {
        a.normalize = matched.given(9) ? std::optional(convert_text(matched[9], "normalize")) : std::nullopt;
    }
    if (matched[10]) a.eps = convert_real<T>(matched[10], "eps");
    if (matched[11]) a.parallel = convert_flag(matched[11], "parallel");
    if (matched.given(12)) a.tuning = convert_triple<T>(matched[12], "tuning");
    if (matched[13]) a.return_weights = convert_flag(matched[13], "return_weights");
    if (matched[14]) {
        a.merge_tolerance = matched.given(14) ? convert_real<T>(matched[14], "merge_x_tol") : T(0);
    }
    return a;
}

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

// Whether any of the values is NaN, infinite or larger in magnitude than
// limit (a finite float). Written as one comparison per value and no branch,
// so that it runs on vectors.
bool any_beyond(const float* values, std::size_t n, float limit) {
    int beyond = 0;
    for (std::size_t i = 0; i < n; ++i) {
        beyond |= !(std::fabs(values[i]) <= limit);
    }
    return beyond != 0;
}

// The single-precision result (fits and total weights, (S, Tm) each) is not
// trusted when any fit or weight is not finite, or when a series' fit exceeds
// 1e6 times its largest finite observation (or 1e6 for observations below 1):
// an ill-conditioned float solve, not the data, produced it.
bool needs_f64_fallback(const float* fits, const float* total_weights, std::size_t solve_length,
                        const StridedMatrix<float>& y, bool parallel) {
    // Read by the pool's workers, one range of rows each: the scan reads
    // every value of three (S, T) matrices, too much for the calling thread
    // alone once the passes themselves run in parallel. With every value
    // finite, the largest fit exceeds the bound exactly when some fit does.
    constexpr float largest_float = std::numeric_limits<float>::max();
    std::atomic<bool> fails{false};
    for_each_series_range(y.rows, parallel, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t s = lo; s < hi && !fails.load(std::memory_order_relaxed); ++s) {
            const float h =
                y.col_stride == static_cast<std::ptrdiff_t>(sizeof(float))
                    ? largest_finite_magnitude(y.data + static_cast<std::ptrdiff_t>(s) * y.row_stride, y.cols)
                    : largest_finite_magnitude(y.cols, [&](std::size_t t) { return y.at(s, t); });
            const float bound = plausible_bound(h);
            if (any_beyond(fits + s * solve_length, solve_length, bound < largest_float ? bound : largest_float) ||
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
// rounds the results back into fits and total_weights.
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
    const BaseWeights<double> base_weights{narrow.full != nullptr ? &base : nullptr,
                                           narrow.full == nullptr && narrow.given != nullptr ? &given : nullptr};
    const IrlsProblem<double> widened{
        &band,
        view_of(y),
        base_weights,
        problem.lam,
        problem.ridge,
        problem.iterations,
        problem.weighting,
        {problem.tuning.t0, problem.tuning.t1, problem.tuning.t2},
        problem.scale,
        problem.eps,
        problem.parallel};
    const IrlsResult<double> result = irls_batch(widened);
    const std::size_t count = result.fits.values.size();
    for (std::size_t i = 0; i < count; ++i) {
        fits[i] = static_cast<float>(result.fits.values[i]);
        total_weights[i] = static_cast<float>(result.total_weights.values[i]);
    }
    if (any_beyond(fits, count, std::numeric_limits<float>::max()) ||
        any_beyond(total_weights, count, std::numeric_limits<float>::max())) {
        fail(PyExc_ValueError,
             "Numerical instability in f32 solver; try robust_whittaker_irls_f64 or increase eps/ridge");
    }
}

// Runs the batch into fits and total_weights ((S, Tm) each, zero-filled),
// with the single-precision fall-back.
template <typename T>
void solve_batch(const IrlsProblem<T>& problem, const StridedMatrix<T>& caller_y,
                 const std::vector<T>& solve_grid, std::uint64_t d, T* fits, T* total_weights) {
    irls_batch(problem, fits, total_weights);
    if constexpr (std::is_same_v<T, float>) {
        if (needs_f64_fallback(fits, total_weights, solve_grid.size(), caller_y, problem.parallel)) {
            rerun_in_double(problem, solve_grid, d, fits, total_weights);
        }
    }
}

template <typename T>
PyObject* copy_to_array(const SeriesMatrix<T>& m) {
    ResultArray<T> array = make_unfilled_result_array<T>(m.rows, m.cols);
    if (!m.values.empty()) {
        std::memcpy(array.data, m.values.data(), m.values.size() * sizeof(T));
    }
    return array.array.release();
}

// The call's result: the fits alone, or the pair with the total weights.
PyObject* result_of(OwnedRef fits, std::optional<OwnedRef> weights) {
    if (!weights) {
        return fits.release();
    }
    OwnedRef pair = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, fits.release());
    PyTuple_SET_ITEM(pair.get(), 1, weights->release());
    return pair.release();
}

template <typename T>
PyObject* robust_whittaker_irls(const char* name, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    const RobustArguments<T> a = convert_arguments<T>(name, args, nargs, kwnames);

    require_contiguous(a.x);
    const std::size_t length = a.x.length;
    if (a.y.cols != length) {
        fail(PyExc_ValueError, "y_st shape must be (S,T) with T=len(x)");
    }
    const std::vector<T> x = a.x.copy();
    require_strictly_increasing(x, "x must be strictly increasing");
    const std::optional<Weighting> weighting = parse_weighting(a.weighting);
    if (!weighting) {
        fail(PyExc_ValueError, "Unknown weighting: " + std::string(a.weighting));
    }
    const TuningTriple<T> tuning = a.tuning ? *a.tuning : default_tuning<T>(*weighting);

    // Merging is on only for a positive tolerance (0, negative and NaN: off).
    const MergedGrid<T> merged_grid = a.merge_tolerance > T(0)
                                          ? merge_positions(x.data(), length, a.merge_tolerance)
                                          : identity_grouping(x.data(), length);
    const std::size_t solve_length = merged_grid.positions.size();
    if (solve_length < 2) {
        fail(PyExc_ValueError, "x must have length >=2 after merging");
    }
    if (solve_length <= a.d) {
        fail(PyExc_ValueError, "x must have length > d after merging");
    }
    require_strictly_increasing(merged_grid.positions, "x must be strictly increasing after merging");
    const std::vector<T> solve_grid =
        a.normalize ? normalized_grid(merged_grid.positions.data(), solve_length, *a.normalize)
                    : merged_grid.positions;
    const PenaltyBand<T> band = build_penalty_band(solve_grid.data(), solve_length, a.d, a.eps);

    if (a.base_weights && (a.base_weights->rows != a.y.rows || a.base_weights->cols != a.y.cols)) {
        fail(PyExc_ValueError, "w_base_st must match y_st shape");
    }
    // Merging needs the base weights in full; otherwise the passes form them
    // from the caller's weights as they read each series.
    const bool merging = solve_length < length;
    SeriesMatrix<T> base_weights;
    std::optional<MergedSeries<T>> merged;
    if (merging) {
        base_weights = working_weights(a.y, a.base_weights);
        merged = merge_observations(a.y, base_weights, merged_grid.groups);
    }
    const IrlsProblem<T> problem{&band,
                                 merging ? view_of(merged->y) : a.y,
                                 merging ? BaseWeights<T>{&merged->weights, nullptr}
                                         : BaseWeights<T>{nullptr, a.base_weights ? &*a.base_weights : nullptr},
                                 a.lam,
                                 a.ridge,
                                 a.iterations,
                                 *weighting,
                                 tuning,
                                 parse_scale_estimator(a.scale),
                                 a.eps,
                                 a.parallel};
    if (!merging) {
        // The batch writes straight into the result arrays. Without
        // return_weights, the total weights are kept only where the float
        // fall-back test reads them; in double precision nothing does.
        // Every pass writes every fit and the last one every total weight;
        // only a call without passes returns the arrays as they come.
        const auto result_array = a.iterations > 0 ? make_unfilled_result_array<T>
                                                   : make_result_array<T>;
        ResultArray<T> fits = result_array(a.y.rows, length);
        std::optional<ResultArray<T>> weights_array;
        SeriesMatrix<T> weights_only;
        T* total_weights = nullptr;
        if (a.return_weights) {
            weights_array = result_array(a.y.rows, length);
            total_weights = weights_array->data;
        } else if constexpr (std::is_same_v<T, float>) {
            weights_only = SeriesMatrix<T>(a.y.rows, length);
            total_weights = weights_only.values.data();
        }
        solve_batch(problem, a.y, solve_grid, a.d, fits.data, total_weights);
        std::optional<OwnedRef> weights;
        if (weights_array) weights = std::move(weights_array->array);
        return result_of(std::move(fits.array), std::move(weights));
    }

    IrlsResult<T> result{SeriesMatrix<T>(a.y.rows, solve_length), SeriesMatrix<T>(a.y.rows, solve_length)};
    solve_batch(problem, a.y, solve_grid, a.d, result.fits.values.data(), result.total_weights.values.data());
    ExpandedResult<T> expanded =
        expand_to_grid(result.fits, result.total_weights, merged->weights, base_weights, merged_grid.groups);
    OwnedRef fits = checked(copy_to_array(expanded.fits));
    std::optional<OwnedRef> weights;
    if (a.return_weights) weights = checked(copy_to_array(expanded.weights));
    return result_of(std::move(fits), std::move(weights));
}

}  // namespace

PyObject* robust_whittaker_irls_f64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call(
        [&] { return robust_whittaker_irls<double>("robust_whittaker_irls_f64", args, nargs, kwnames); });
}

PyObject* robust_whittaker_irls_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call(
        [&] { return robust_whittaker_irls<float>("robust_whittaker_irls_f32", args, nargs, kwnames); });
}

}  // namespace tarnwold::py
