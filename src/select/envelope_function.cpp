#include <cstdint>
#include <iterator>
#include <limits>
#include <vector>

#include "functions.hpp"
#include "keyword_arguments.hpp"
#include "lambda/envelope.hpp"

namespace tarnwold::py::selection {

namespace {

const char* const envelope_parameters[] = {"x",   "y_st",       "w_base_st", "p",         "lam",
                                           "d",   "iterations", "tol",       "normalize", "ridge",
                                           "eps", "parallel",   "x_out",     "derivative"};
const Signature envelope_signature{"envelope", envelope_parameters, std::size(envelope_parameters), 2};

}  // namespace

// envelope's results as a dict. lam: a criterion's name, or one value or one
// per series (status None then). With x_out, z is the fit at the lam each
// series was fitted at with its final weights on the union of x and x_out.
PyObject* envelope(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const MatchedArguments<std::size(envelope_parameters)> a(envelope_signature, args, nargs, kwnames);
        const double p = real_or(a[3], "p", 0.9);
        const Py_ssize_t d = order_of(a[5]);
        const std::uint64_t iterations = a[6] == nullptr ? 10 : convert_count(a[6], "iterations");
        const double tol = real_or(a[7], "tol", 0.0);
        const Normalize normalize = a[8] == nullptr ? "mean" : optional_text(a[8], "normalize");
        const std::optional<double> ridge = ridge_of(a[9]);
        const double eps = real_or(a[10], "eps", 1e-10);
        const bool parallel = flag_or(a[11], "parallel", true);
        if (!(p > 0 && p < 1)) fail(PyExc_ValueError, "p must lie strictly between 0 and 1");
        if (!(tol >= 0) || !std::isfinite(tol)) fail(PyExc_ValueError, "tol must be finite and >= 0");

        const Inputs in(a[0], a[1], none_if_absent(a[2]));
        require_order(in.positions, d);
        const bool chosen = a[4] == nullptr || PyUnicode_Check(a[4]);
        std::optional<Criterion> criterion;
        std::optional<GivenLams> given;
        if (chosen) {
            criterion = parse_criterion(a[4] == nullptr ? "vcurve" : convert_text(a[4], "lam"));
        } else {
            given.emplace(a[4], in.series);
        }
        std::optional<OnUnion> on_union;
        if (a.given(12)) on_union.emplace(a[12], in, d, eps, normalize);
        Models models(in, d, ridge, eps, normalize, on_union);
        const std::size_t S = in.series, T = in.positions.length;
        const std::size_t points = on_union ? on_union->out.length : T;
        const std::uint64_t derivative = derivative_of(a[13], points);
        const std::vector<double> lam_grid =
            criterion ? default_grid_on(in.positions, d, eps, normalize, *criterion) : std::vector<double>();

        const ResultArray z("z", 'd', S, points), weights("weights", 'd', S, T),
            taken("iterations", 'q', S, std::nullopt), lam("lam", 'd', S, std::nullopt);
        const std::optional<ResultArray> status =
            criterion ? std::optional<ResultArray>(std::in_place, "status", 'b', S, std::nullopt)
                      : std::nullopt;
        const EnvelopeOptions options{p, iterations, tol, parallel, active_kernel()};
        const auto solve = [&](const SeriesBatch& batch) {
            double* const lams = lam.data<double>();
            // With x_out the fit on x is only a step: it is formed again on
            // the union.
            std::vector<double> fit_on_x(on_union ? S * T : 0);
            const EnvelopeOutputs out{on_union ? fit_on_x.data() : z.data<double>(), weights.data<double>(),
                                      taken.data<std::int64_t>()};
            std::vector<double> fitted;
            bool per_series = S != 1;
            if (criterion) {
                const SelectionOptions selection{*criterion, lam_grid, true,           true,
                                                 1.0,        parallel, active_kernel()};
                fitted.resize(S);
                envelope_selected(models.on_x, batch, selection, options, out, lams,
                                  status->data<std::int8_t>(), fitted.data());
            } else {
                fitted.assign(given->data(), given->data() + given->count);
                per_series = given->per_series(S);
                envelope_at(models.on_x, batch, fitted.data(), per_series, options, out);
                for (std::size_t s = 0; s < S; ++s) {
                    lams[s] = observation_count(batch, s) > 0 ? fitted[fitted.size() == 1 ? 0 : s]
                                                              : std::numeric_limits<double>::quiet_NaN();
                }
            }
            if (!on_union) return;
            const EvaluationOutputs at_out{z.data<double>(),
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           &on_union->grid.output};
            SeriesBatch rows = batch;
            rows.base_weights = weights.data<double>();
            rows.source = on_union->grid.source.data();
            evaluate_lambdas(*models.on_union, rows, fitted.data(), per_series, 1.0, parallel,
                             active_kernel(), at_out);
        };
        solve_then_differentiate(models, in, solve, on_union, z.data<double>(), derivative, parallel);
        Results results_by_name;
        for (const ResultArray* array : {&z, &weights, &taken, &lam}) results_by_name.add(*array);
        results_by_name.add("status", status);
        return results_by_name.release();
    });
}

}  // namespace tarnwold::py::selection
