// build_pb_f32 / build_pb_f64: the banded penalty matrix of a grid.
#include <cstring>
#include <optional>

#include "arguments.hpp"
#include "arrays.hpp"
#include "base/decimal.hpp"
#include "functions.hpp"
#include "grid_checks.hpp"
#include "module.hpp"
#include "solve/grid_band.hpp"

namespace tarnwold::py {
namespace {

constexpr const char* parameters[] = {"x", "d", "normalize", "eps"};

template <typename T>
PyObject* build_pb(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const MatchedArguments<4> matched({name, parameters, 4, 1}, args, nargs, kwnames);
    const GridArray<T> x = convert_grid<T>(matched[0], "x");
    const std::uint64_t d = matched[1] ? convert_count(matched[1], "d") : 2;
    std::optional<std::string_view> normalize;
    if (matched.given(2)) normalize = convert_text(matched[2], "normalize");
    // Without eps the floor is about 1e-6 in single and 1e-12 in double
    // precision: tiny against unit spacing, far above each type's epsilon.
    T eps = decimal<T>(1e-6f, 1e-12);
    if (matched.given(3)) eps = convert_real<T>(matched[3], "eps");

    require_contiguous(x);
    std::vector<T> grid = x.copy();
    if (grid.size() < 2) {
        fail(PyExc_ValueError, "x must have length >=2");
    }
    require_strictly_increasing(grid, "x must be strictly increasing");
    require_finite_ends(grid);
    require_order_within(d, grid.size());
    if (normalize) {
        grid = normalize_grid(grid.data(), grid.size(), *normalize);
    }
    const PenaltyBand<T> band = build_penalty_band(grid.data(), grid.size(), d, eps);

    ResultArray<T> pb = make_unfilled_result_array<T>(band.k + 1, band.columns);
    if (!band.values.empty()) {
        std::memcpy(pb.data, band.data(), band.values.size() * sizeof(T));
    }
    OwnedRef k = checked(PyLong_FromUnsignedLongLong(band.k));
    OwnedRef result = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(result.get(), 0, pb.array.release());
    PyTuple_SET_ITEM(result.get(), 1, k.release());
    return result.release();
}

}  // namespace

PyObject* build_pb_f64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&] { return build_pb<double>("build_pb_f64", args, nargs, kwnames); });
}

PyObject* build_pb_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&] { return build_pb<float>("build_pb_f32", args, nargs, kwnames); });
}

}  // namespace tarnwold::py
