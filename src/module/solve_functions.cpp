// whittaker_solve_f32 / whittaker_solve_f64: one weighted Whittaker solve
// per series.
#include <cmath>
#include <optional>

#include "arguments.hpp"
#include "arrays.hpp"
#include "functions.hpp"
#include "grid_checks.hpp"
#include "module.hpp"
#include "solve/single_pass.hpp"

namespace tarnwold::py {
namespace {

constexpr const char* parameters[] = {"x",     "y_st",      "w_base_st", "lam",     "d",
                                      "ridge", "normalize", "eps",       "parallel"};

template <typename T>
PyObject* whittaker_solve(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const MatchedArguments<9> matched({name, parameters, 9, 2}, args, nargs, kwnames);
    const GridArray<T> x = convert_grid<T>(matched[0], "x");
    const StridedMatrix<T> y = convert_series<T>(matched[1], "y_st");
    std::optional<StridedMatrix<T>> base_weights;
    if (matched.given(2)) base_weights = convert_series<T>(matched[2], "w_base_st");
    const T lam = matched[3] ? convert_real<T>(matched[3], "lam") : T(10.0);
    const std::uint64_t d = matched[4] ? convert_count(matched[4], "d") : 2;
    const T ridge = matched[5] ? convert_real<T>(matched[5], "ridge") : static_cast<T>(1e-10);
    // Left out means "mean"; an explicit None means no normalisation.
    std::optional<std::string_view> normalize = "mean";
    if (matched[6] != nullptr) {
        normalize = matched.given(6) ? std::optional(convert_text(matched[6], "normalize")) : std::nullopt;
    }
    const T eps = matched[7] ? convert_real<T>(matched[7], "eps") : static_cast<T>(1e-10);
    const bool parallel = matched[8] ? convert_flag(matched[8], "parallel") : true;

    require_contiguous(x);
    const std::size_t length = x.length;
    if (y.cols != length) {
        fail(PyExc_ValueError, "y_st shape must be (S,T) with T=len(x)");
    }
    const std::vector<T> grid = x.copy();
    require_strictly_increasing(grid, "x must be strictly increasing");
    require_finite_ends(grid);
    // An empty grid has nothing to smooth and no band to build.
    if (length == 0) {
        fail(PyExc_ValueError, "x must have length >=1");
    }
    require_order_within(d, length);
    if (base_weights && (base_weights->rows != y.rows || base_weights->cols != y.cols)) {
        fail(PyExc_ValueError, "w_base_st must match y_st shape");
    }

    ResultArray<T> z = make_unfilled_result_array<T>(y.rows, length);
    const Smoothing<T> call{
        y, base_weights ? &*base_weights : nullptr, lam, d, ridge, normalize, eps, parallel, active_kernel()};
    smooth_single_pass(grid.data(), call, z.data);
    return z.array.release();
}

}  // namespace

PyObject* whittaker_solve_f64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&] { return whittaker_solve<double>("whittaker_solve_f64", args, nargs, kwnames); });
}

PyObject* whittaker_solve_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&] { return whittaker_solve<float>("whittaker_solve_f32", args, nargs, kwnames); });
}

}  // namespace tarnwold::py
