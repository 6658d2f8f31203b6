// robust_whittaker_irls_f32 / robust_whittaker_irls_f64: the arguments of
// the robust smoother converted and checked, then one call of the core.
#include <optional>
#include <string>

#include "arguments.hpp"
#include "arrays.hpp"
#include "functions.hpp"
#include "grid_checks.hpp"
#include "module.hpp"
#include "robust/robust_smooth.hpp"

namespace tarnwold::py {
namespace {

constexpr const char* parameters[] = {
    "x",     "y_st",      "w_base_st", "lam",      "d",      "iterations",     "weighting",  "scale",
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
    require_finite_ends(x);
    const std::optional<Weighting> weighting = parse_weighting(a.weighting);
    if (!weighting) {
        fail(PyExc_ValueError, "Unknown weighting: " + std::string(a.weighting));
    }
    const TuningTriple<T> tuning = a.tuning ? *a.tuning : default_tuning<T>(*weighting);

    const MergedGrid<T> grid = solve_grid(x.data(), length, a.merge_tolerance);
    const std::size_t solve_length = grid.positions.size();
    if (solve_length < 2) {
        fail(PyExc_ValueError, "x must have length >=2 after merging");
    }
    if (solve_length <= a.d) {
        fail(PyExc_ValueError, "x must have length > d after merging");
    }
    require_strictly_increasing(grid.positions, "x must be strictly increasing after merging");
    if (a.base_weights && (a.base_weights->rows != a.y.rows || a.base_weights->cols != a.y.cols)) {
        fail(PyExc_ValueError, "w_base_st must match y_st shape");
    }

    ResultArray<T> fits = make_unfilled_result_array<T>(a.y.rows, length);
    std::optional<ResultArray<T>> weights;
    if (a.return_weights) weights = make_unfilled_result_array<T>(a.y.rows, length);
    const Smoothing<T> call{a.y,
                            a.base_weights ? &*a.base_weights : nullptr,
                            a.lam,
                            a.d,
                            a.ridge,
                            a.normalize,
                            a.eps,
                            a.parallel,
                            active_kernel()};
    robust_smooth(grid, call, {a.iterations, *weighting, tuning, parse_scale_estimator(a.scale)}, fits.data,
                  weights ? weights->data : nullptr);
    std::optional<OwnedRef> weights_array;
    if (weights) weights_array = std::move(weights->array);
    return result_of(std::move(fits.array), std::move(weights_array));
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
