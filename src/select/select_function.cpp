#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <vector>

#include "functions.hpp"
#include "keyword_arguments.hpp"
#include "lambda/lambda_outputs.hpp"

namespace tarnwold::py::selection {

namespace {

const char* const select_parameters[] = {
    "x",     "y_st",      "w_base_st", "d",         "criterion",     "lam_grid", "refine", "gamma",
    "ridge", "normalize", "eps",       "return_se", "return_scores", "parallel", "x_out",  "derivative"};
const Signature select_signature{"select", select_parameters, std::size(select_parameters), 2};

}  // namespace

// select_lambda's results as a dict: the choice on x; the fit (or its
// derivative) and se at x_out when given, formed at the lam each series
// is fitted at.
PyObject* select(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const MatchedArguments<std::size(select_parameters)> a(select_signature, args, nargs, kwnames);
        const Py_ssize_t d = order_of(a[3]);
        const std::string_view criterion_text = a[4] == nullptr ? "reml" : convert_text(a[4], "criterion");
        const bool refine = flag_or(a[6], "refine", true);
        const double gamma = real_or(a[7], "gamma", 1.0);
        const std::optional<double> ridge = ridge_of(a[8]);
        const Normalize normalize = a[9] == nullptr ? "mean" : optional_text(a[9], "normalize");
        const double eps = real_or(a[10], "eps", 1e-10);
        const bool return_se = flag_or(a[11], "return_se", false);
        const bool return_scores = flag_or(a[12], "return_scores", false);
        const bool parallel = flag_or(a[13], "parallel", true);

        const Inputs in(a[0], a[1], none_if_absent(a[2]));
        const Criterion criterion = parse_criterion(criterion_text);
        require_order(in.positions, d);
        std::optional<OnUnion> on_union;
        if (a.given(14)) on_union.emplace(a[14], in, d, eps, normalize);
        Models models(in, d, ridge, eps, normalize, on_union);
        const std::size_t S = in.series, T = in.positions.length;
        const std::size_t points = on_union ? on_union->out.length : T;
        const std::uint64_t derivative = derivative_of(a[15], points);
        if (derivative > 0 && return_se) {
            fail(PyExc_ValueError,
                 "return_se gives the fit's standard errors: ask for them with derivative=0");
        }
        std::vector<double> lam_grid;
        if (a.given(5)) {
            const Buffer given(a[5], 'd', false, "lam_grid");
            const double* g = given.data<double>();
            lam_grid.assign(g, g + lambda_grid_length(given));
        } else {
            lam_grid = default_grid_on(in.positions, d, eps, normalize, criterion);
        }
        const std::size_t candidates = criterion == Criterion::Vcurve ? lam_grid.size() - 1 : lam_grid.size();

        const ResultArray lam("lam", 'd', S, std::nullopt), score("score", 'd', S, std::nullopt),
            edf("edf", 'd', S, std::nullopt), sigma2("sigma2", 'd', S, std::nullopt),
            observed("n_obs", 'q', S, std::nullopt), status("status", 'b', S, std::nullopt),
            grid_scale("grid_scale", 'd', S, std::nullopt), grid("grid", 'd', lam_grid.size(), std::nullopt),
            z("z", 'd', S, points);
        const std::optional<ResultArray> se = result_if(return_se, "se", S, points);
        const std::optional<ResultArray> scores = result_if(return_scores, "scores", S, candidates);
        std::copy(lam_grid.begin(), lam_grid.end(), grid.data<double>());
        const SelectionOptions options{criterion, lam_grid, !a.given(5),    refine,
                                       gamma,     parallel, active_kernel()};
        const auto solve = [&](const SeriesBatch& batch) {
            // With x_out the fit on x is only a step: it is formed again on
            // the union, and se there.
            std::vector<double> fit_on_x(on_union ? S * T : 0);
            const SelectionOutputs out{lam.data<double>(),
                                       score.data<double>(),
                                       edf.data<double>(),
                                       sigma2.data<double>(),
                                       observed.data<std::int64_t>(),
                                       status.data<std::int8_t>(),
                                       grid_scale.data<double>(),
                                       on_union ? fit_on_x.data() : z.data<double>(),
                                       on_union ? nullptr : data_or_null<double>(se),
                                       data_or_null<double>(scores)};
            select_lambdas(models.on_x, batch, options, out);
            if (!on_union) return;
            std::vector<double> fitted(S);
            for (std::size_t s = 0; s < S; ++s) {
                fitted[s] = fitted_lam(out.status[s], out.lam[s], lam_grid, out.grid_scale[s]);
            }
            const EvaluationOutputs at_out{z.data<double>(),
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           nullptr,
                                           data_or_null<double>(se),
                                           out.sigma2,
                                           &on_union->grid.output};
            SeriesBatch rows = batch;
            rows.source = on_union->grid.source.data();
            evaluate_lambdas(*models.on_union, rows, fitted.data(), S != 1, gamma, parallel, active_kernel(),
                             at_out);
        };
        solve_then_differentiate(models, in, solve, on_union, z.data<double>(), derivative, parallel);
        Results results_by_name;
        for (const ResultArray* array :
             {&lam, &score, &edf, &sigma2, &observed, &status, &grid_scale, &grid, &z}) {
            results_by_name.add(*array);
        }
        results_by_name.add("se", se);
        results_by_name.add("scores", scores);
        return results_by_name.release();
    });
}

}  // namespace tarnwold::py::selection
