// What the selection module's functions take: the grid and the series,
// models and ridges, lam grids and given lams, the output grid,
// each checked.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "grid_checks.hpp"
#include "lambda/default_ridge.hpp"
#include "lambda/lambda_selection.hpp"
#include "lambda/output_derivative.hpp"
#include "lambda/union_model.hpp"
#include "result_buffers.hpp"

namespace tarnwold::py::selection {

// A grid of positions (x, or x_out), checked: one dimension, at least one
// position, strictly increasing, finite.
struct Positions {
    Buffer x;
    std::size_t length;

    explicit Positions(PyObject* x_object, const char* name = "x")
        : x(x_object, 'd', false, name), length(x.length(0)) {
        x.require_shape(length, std::nullopt);
        if (length == 0) fail(PyExc_ValueError, std::string(name) + " must have length >=1");
        if (!strictly_increasing(x.data<double>(), length)) {
            fail(PyExc_ValueError, std::string(name) + " must be strictly increasing");
        }
        require_finite_ends(x.data<double>(), length, name);
    }
};

// The positions of the observations: a grid of positions whose neighbours
// also lie more than close_share of its mean spacing apart. Closer ones
// (two sources' merged timestamps a rounding step apart, say) make the
// divided differences across them, and so every system, so ill-conditioned
// that the fit is lost (NaN for a rounding step, a straight line at 1e-9
// of the spacing); they are refused, naming them, since only the caller
// knows whether to average their observations or drop one. Halves keep
// the span finite for any finite ends.
struct Observations : Positions {
    explicit Observations(PyObject* x_object) : Positions(x_object) {
        const double* p = x.data<double>();
        if (length < 2) return;
        const double half_tolerance =
            close_share * ((0.5 * p[length - 1] - 0.5 * p[0]) / static_cast<double>(length - 1));
        for (std::size_t i = 1; i < length; ++i) {
            if (0.5 * (p[i] - p[i - 1]) <= half_tolerance) {
                char text[256];
                std::snprintf(
                    text, sizeof text,
                    "x[%zu] = %.17g and x[%zu] = %.17g lie within %g times x's mean spacing: average their "
                    "observations at one position, or drop one",
                    i - 1, p[i - 1], i, p[i], close_share);
                fail(PyExc_ValueError, text);
            }
        }
    }
};

// The grid and the series shared by the module's functions, checked.
struct Inputs {
    Observations positions;
    Buffer y;
    std::optional<Buffer> w;
    std::size_t series;

    Inputs(PyObject* x_object, PyObject* y_object, PyObject* w_object)
        : positions(x_object),
          y(y_object, 'd', false, "y_st"),
          w(optional_buffer(w_object, 'd', false, "w_base_st")),
          series(y.length(0)) {
        y.require_shape(series, positions.length);
        if (w) w->require_shape(series, positions.length);
    }
    SeriesBatch batch() const {
        return {y.data<double>(), data_or_null<double>(w), series, positions.length, nullptr, nullptr};
    }
};

// The normalisation's name, or nothing for None.
using Normalize = std::optional<std::string_view>;

inline void require_order(const Positions& at, Py_ssize_t d) {
    if (d < 1 || static_cast<std::size_t>(d) >= at.length) {
        fail(PyExc_ValueError, "d must be at least 1 and less than len(x)");
    }
}

inline SelectionModel model_of(const Positions& at, Py_ssize_t d, double ridge, double eps,
                               Normalize normalize) {
    require_order(at, d);
    return make_selection_model(at.x.data<double>(), at.length, static_cast<std::uint64_t>(d), ridge, eps,
                                normalize);
}

inline Criterion parse_criterion(std::string_view name) {
    std::string names;
    for (const Criterion criterion : all_criteria) {
        if (name == criterion_name(criterion)) return criterion;
        names += (names.empty() ? "'" : ", '") + std::string(criterion_name(criterion)) + "'";
    }
    fail(PyExc_ValueError, "criterion must be one of " + names);
}

// The length of a lam grid, checked: at least 3 increasing positive finite values.
inline std::size_t lambda_grid_length(const Buffer& grid) {
    const std::size_t points = grid.length(0);
    grid.require_shape(points, std::nullopt);
    const double* g = grid.data<double>();
    if (!(points >= 3 && g[0] > 0 && std::isfinite(g[points - 1]) && strictly_increasing(g, points))) {
        fail(PyExc_ValueError, "lam_grid must hold at least 3 increasing positive finite values");
    }
    return points;
}

// The criterion's default grid for weight 1 on x, or ValueError naming what
// leaves the range of float64.
inline std::vector<double> default_grid_on(const Positions& x, Py_ssize_t d, double eps, Normalize normalize,
                                           Criterion criterion) {
    const std::optional<std::vector<double>> grid =
        default_lambda_grid(model_of(x, d, 0.0, eps, normalize), default_grid_decades(criterion));
    if (grid) return *grid;
    // Appended piece by piece: g++ 12 reports a false -Wrestrict overlap for
    // a literal + std::string&& chain here.
    std::string message = "the default lam grid for d=";
    message += std::to_string(d);
    message += " and normalize=";
    if (normalize) {
        message += '\'';
        message += *normalize;
        message += '\'';
    } else {
        message += "None";
    }
    message += " leaves the range of float64; pass lam_grid";
    fail(PyExc_ValueError, message);
}

// The fit on the union of x and an output grid x_out within x's range (zero
// weight where x has no position), read at x_out and continued beyond that
// range.
struct OnUnion {
    Positions out;
    UnionGrid grid;

    OnUnion(PyObject* out_object, const Inputs& in, Py_ssize_t d, double eps, Normalize normalize)
        : out(out_object, "x_out") {
        grid = union_of(in.positions.x.data<double>(), in.positions.length, out.x.data<double>(), out.length,
                        static_cast<std::uint64_t>(d));
        set_beyond_spread(grid.output, in.positions.x.data<double>(), in.positions.length,
                          out.x.data<double>(), model(in, d, 0.0, eps, normalize));
    }
    SelectionModel model(const Inputs& in, Py_ssize_t d, double ridge, double eps,
                         Normalize normalize) const {
        return make_union_model(in.positions.x.data<double>(), in.positions.length, grid.positions.data(),
                                grid.positions.size(), static_cast<std::uint64_t>(d), ridge, eps, normalize);
    }
};

// The models of x (and of the union with x_out), made before the
// interpreter lock is released, and each series' ridge: the one given, in
// the models, or without one each series' default, carried by the series.
struct Models {
    std::optional<double> ridge;
    std::uint64_t order;
    SelectionModel on_x;
    std::optional<SelectionModel> on_union;
    std::vector<double> ridges;  // per series without a given ridge, once found

    Models(const Inputs& in, Py_ssize_t d, std::optional<double> given, double eps, Normalize normalize,
           const std::optional<OnUnion>& union_grid)
        : ridge(given),
          order(static_cast<std::uint64_t>(d)),
          on_x(model_of(in.positions, d, given.value_or(0.0), eps, normalize)) {
        if (union_grid) on_union = union_grid->model(in, d, given.value_or(0.0), eps, normalize);
    }
    // The series with their ridges.
    SeriesBatch batch(const Inputs& in) const {
        SeriesBatch series = in.batch();
        series.ridges = ridge ? nullptr : ridges.data();
        return series;
    }
};

// Without the interpreter lock: finds each series' default ridge (no ridge
// given), solves the series and then, with a derivative asked for, turns
// each row of the fit z into it along the positions it is returned at (x_out
// when given, x otherwise).
inline void solve_then_differentiate(Models& models, const Inputs& in,
                                     const std::function<void(const SeriesBatch&)>& solve,
                                     const std::optional<OnUnion>& on_union, double* z,
                                     std::uint64_t derivative, bool parallel) {
    const Positions& at = on_union ? on_union->out : in.positions;
    without_interpreter_lock([&] {
        if (!models.ridge) models.ridges = default_ridges(in.batch(), models.order, parallel);
        solve(models.batch(in));
        if (derivative > 0) differentiate_rows(z, in.series, at.x.data<double>(), at.length, derivative);
    });
}

// Given lams, checked: one for every series or one per series.
struct GivenLams {
    Buffer lams;
    std::size_t count;

    GivenLams(PyObject* object, std::size_t series) : lams(object, 'd', false, "lam"), count(lams.length(0)) {
        if (count != series && count != 1)
            fail(PyExc_ValueError, "lam must hold one value or one per series");
        lams.require_shape(count, std::nullopt);
        for (std::size_t s = 0; s < count; ++s) {
            const double value = lams.data<double>()[s];
            if (!(value >= 0) || !std::isfinite(value)) fail(PyExc_ValueError, "lam must be finite and >= 0");
        }
    }
    const double* data() const { return lams.data<double>(); }
    // One lam per series rather than a single one for all.
    bool per_series(std::size_t series) const { return count == series && series != 1; }
};

}  // namespace tarnwold::py::selection
