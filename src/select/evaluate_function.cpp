#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "functions.hpp"
#include "keyword_arguments.hpp"

namespace tarnwold::py::selection {

namespace {

const char* const evaluate_parameters[] = {"x",         "y_st",      "lam",   "w_base_st",  "d",
                                           "ridge",     "normalize", "eps",   "gamma",      "return_hat",
                                           "return_se", "parallel",  "x_out", "derivative", "sigma2"};
const Signature evaluate_signature{"evaluate", evaluate_parameters, std::size(evaluate_parameters), 3};

}  // namespace

// evaluate_lambda's results as a dict: the values on x; the fit (or its
// derivative) and se at x_out when given, formed on the union of x and x_out.
// sigma2: the noise variance of each series for se, by default the fit's
// own Q / (m - d).
PyObject* evaluate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const MatchedArguments<std::size(evaluate_parameters)> a(evaluate_signature, args, nargs, kwnames);
        const Py_ssize_t d = order_of(a[4]);
        const std::optional<double> ridge = ridge_of(a[5]);
        const Normalize normalize = a[6] == nullptr ? "mean" : optional_text(a[6], "normalize");
        const double eps = real_or(a[7], "eps", 1e-10);
        const double gamma = real_or(a[8], "gamma", 1.0);
        const bool return_hat = flag_or(a[9], "return_hat", false);
        const bool return_se = flag_or(a[10], "return_se", false);
        const bool parallel = flag_or(a[11], "parallel", true);

        const Inputs in(a[0], a[1], none_if_absent(a[3]));
        require_order(in.positions, d);
        const GivenLams lams(a[2], in.series);
        std::optional<OnUnion> on_union;
        if (a.given(12)) on_union.emplace(a[12], in, d, eps, normalize);
        Models models(in, d, ridge, eps, normalize, on_union);
        const std::size_t S = in.series, T = in.positions.length;
        const std::size_t points = on_union ? on_union->out.length : T;
        const std::uint64_t derivative = derivative_of(a[13], points);
        if (derivative > 0 && return_se) {
            fail(PyExc_ValueError,
                 "return_se gives the fit's standard errors: ask for them with derivative=0");
        }
        const ResultArray z("z", 'd', S, points), edf("edf", 'd', S, std::nullopt),
            rss("rss", 'd', S, std::nullopt), roughness("roughness", 'd', S, std::nullopt),
            gcv("gcv", 'd', S, std::nullopt), loocv("loocv", 'd', S, std::nullopt),
            reml("reml", 'd', S, std::nullopt);
        const std::optional<ResultArray> hat = result_if(return_hat, "hat", S, T);
        const std::optional<ResultArray> se = result_if(return_se, "se", S, points);
        const std::optional<Buffer> sigma2 = optional_buffer(none_if_absent(a[14]), 'd', false, "sigma2");
        if (sigma2) sigma2->require_shape(S, std::nullopt);
        const auto solve = [&](const SeriesBatch& batch) {
            // With x_out: the values on x, the fit (and se) on the union, in
            // one evaluation.
            const EvaluationOutputs out{z.data<double>(),
                                        edf.data<double>(),
                                        rss.data<double>(),
                                        roughness.data<double>(),
                                        gcv.data<double>(),
                                        loocv.data<double>(),
                                        reml.data<double>(),
                                        data_or_null<double>(hat),
                                        data_or_null<double>(se),
                                        data_or_null<double>(sigma2),
                                        on_union ? &on_union->grid.output : nullptr,
                                        on_union ? &models.on_x : nullptr};
            SeriesBatch rows = batch;
            if (on_union) rows.source = on_union->grid.source.data();
            evaluate_lambdas(on_union ? *models.on_union : models.on_x, rows, lams.data(), lams.per_series(S),
                             gamma, parallel, active_kernel(), out);
        };
        solve_then_differentiate(models, in, solve, on_union, z.data<double>(), derivative, parallel);
        Results results_by_name;
        for (const ResultArray* array : {&z, &edf, &rss, &roughness, &gcv, &loocv, &reml})
            results_by_name.add(*array);
        results_by_name.add("hat", hat);
        results_by_name.add("se", se);
        return results_by_name.release();
    });
}

}  // namespace tarnwold::py::selection
