#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "functions.hpp"
#include "keyword_arguments.hpp"
#include "lambda/lambda_outputs.hpp"
#include "lambda/output_derivative.hpp"
#include "lambda/robust_at_lams.hpp"
#include "lambda/robust_selection.hpp"

namespace tarnwold::py::selection {

namespace {

const char* const robust_parameters[] = {
    "x",   "y_st",      "w_base_st", "lam", "d",        "weighting", "scale",      "tuning",   "iterations",
    "tol", "normalize", "ridge",     "eps", "parallel", "x_out",     "derivative", "return_se"};
const Signature robust_signature{"robust", robust_parameters, std::size(robust_parameters), 2};

}  // namespace

// robust's results as a dict. lam: a criterion's name, chosen per series on
// the robust weights, the weights and the choice decided together; or one
// value or one per series, the module's robust smoother at it (status None
// then). tuning: None for the weighting's default, or its three constants.
// With x_out or return_se, z and se are those of the fit at the lam each
// series was fitted at with its final weights on the union of x and x_out
// (x itself without x_out).
PyObject* robust(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        const MatchedArguments<std::size(robust_parameters)> a(robust_signature, args, nargs, kwnames);
        const bool chosen = a[3] == nullptr || PyUnicode_Check(a[3]);
        const std::string_view criterion_text =
            chosen && a[3] != nullptr ? convert_text(a[3], "lam") : "reml";
        const Py_ssize_t d = order_of(a[4]);
        const std::string_view weighting_text = a[5] == nullptr ? "tukey" : convert_text(a[5], "weighting");
        const std::string_view scale_text = a[6] == nullptr ? "mad" : convert_text(a[6], "scale");
        const std::uint64_t iterations = a[8] == nullptr ? 4 : convert_count(a[8], "iterations");
        const double tol = real_or(a[9], "tol", 0.0);
        const Normalize normalize = a[10] == nullptr ? "mean" : optional_text(a[10], "normalize");
        const double ridge = real_or(a[11], "ridge", 0.0);
        const double eps = real_or(a[12], "eps", 1e-10);
        const bool parallel = flag_or(a[13], "parallel", true);
        const bool return_se = flag_or(a[16], "return_se", false);
        if (iterations < 1) fail(PyExc_ValueError, "iterations must be >= 1");
        if (!(tol >= 0) || !std::isfinite(tol)) fail(PyExc_ValueError, "tol must be finite and >= 0");
        if (!(ridge >= 0) || !std::isfinite(ridge)) fail(PyExc_ValueError, "ridge must be finite and >= 0");
        const std::optional<Weighting> weighting = parse_weighting(weighting_text);
        if (!weighting) fail(PyExc_ValueError, "unknown weighting");
        const TuningTriple<double> tuning =
            a.given(7) ? convert_triple<double>(a[7], "tuning") : default_tuning<double>(*weighting);

        const Inputs in(a[0], a[1], none_if_absent(a[2]));
        const std::optional<Criterion> criterion =
            chosen ? std::optional(parse_criterion(criterion_text)) : std::nullopt;
        std::optional<GivenLams> given;
        if (!chosen) given.emplace(a[3], in.series);
        const SelectionModel model = model_of(in.positions, d, ridge, eps, normalize);
        std::optional<OnUnion> on_union;
        if (a.given(14) || return_se) on_union.emplace(a.given(14) ? a[14] : a[0], in, d, eps, normalize);
        const std::size_t S = in.series, T = in.positions.length;
        const std::size_t points = a.given(14) ? on_union->out.length : T;
        const std::uint64_t derivative = derivative_of(a[15], points);
        if (derivative > 0 && return_se) {
            fail(PyExc_ValueError,
                 "return_se gives the fit's standard errors: ask for them with derivative=0");
        }
        const std::vector<double> lam_grid =
            criterion ? default_grid_on(in.positions, d, eps, normalize, *criterion) : std::vector<double>();
        const std::optional<SelectionModel> union_model =
            on_union ? std::optional(on_union->model(in, d, ridge, eps, normalize)) : std::nullopt;

        const ResultArray z("z", 'd', S, points), weights("weights", 'd', S, T),
            lam("lam", 'd', S, std::nullopt), edf("edf", 'd', S, std::nullopt),
            sigma2("sigma2", 'd', S, std::nullopt), passes("iterations", 'q', S, std::nullopt);
        const std::optional<ResultArray> status =
            criterion ? std::optional<ResultArray>(std::in_place, "status", 'b', S, std::nullopt)
                      : std::nullopt;
        const std::optional<ResultArray> se = result_if(return_se, "se", S, points);
        const Robustness<double> robustness{iterations, *weighting, tuning,
                                            parse_scale_estimator(scale_text)};
        // With x_out the fit on x is only a step: it is formed again on the
        // union.
        std::vector<double> fit_on_x(a.given(14) ? S * T : 0);
        double* const fit = a.given(14) ? fit_on_x.data() : z.data<double>();
        without_interpreter_lock([&] {
            // The lam each series is fitted at on the union.
            std::vector<double> fitted(S);
            if (criterion) {
                const RobustSelectionOptions options{
                    {*criterion, lam_grid, true, true, 1.0, parallel, active_kernel()},
                    robustness.iterations,
                    robustness.weighting,
                    robustness.tuning,
                    robustness.scale,
                    tol};
                std::vector<double> grid_scale(S);
                const RobustSelectionOutputs out{fit,
                                                 weights.data<double>(),
                                                 lam.data<double>(),
                                                 edf.data<double>(),
                                                 sigma2.data<double>(),
                                                 status->data<std::int8_t>(),
                                                 passes.data<std::int64_t>(),
                                                 grid_scale.data()};
                robust_selected(model, in.batch(), options, out);
                for (std::size_t s = 0; s < S; ++s) {
                    fitted[s] = fitted_lam(out.status[s], out.lam[s], lam_grid, out.grid_scale[s]);
                }
            } else {
                const double* const each = given->lams.data<double>();
                for (std::size_t s = 0; s < S; ++s) fitted[s] = each[given->count == 1 ? 0 : s];
                std::copy(fitted.begin(), fitted.end(), lam.data<double>());
                robust_at_lams(model, in.positions.x.data<double>(), in.batch(), fitted.data(),
                               {robustness, normalize, parallel, active_kernel()},
                               {fit, weights.data<double>(), edf.data<double>(), sigma2.data<double>(),
                                passes.data<std::int64_t>()});
            }
            if (on_union) {
                // Without x_out the union is x itself: its fit is z's, bit
                // for bit, and only se is wanted from it.
                std::vector<double> union_fit(a.given(14) ? 0 : S * T);
                const EvaluationOutputs at_out{a.given(14) ? z.data<double>() : union_fit.data(),
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               nullptr,
                                               data_or_null<double>(se),
                                               sigma2.data<double>(),
                                               &on_union->grid.output};
                evaluate_lambdas(*union_model,
                                 {in.y.data<double>(), weights.data<double>(), S, T,
                                  on_union->grid.source.data(), nullptr},
                                 fitted.data(), S != 1, 1.0, parallel, active_kernel(), at_out);
            }
            if (derivative > 0) {
                const double* at =
                    a.given(14) ? on_union->out.x.data<double>() : in.positions.x.data<double>();
                differentiate_rows(z.data<double>(), S, at, points, derivative);
            }
        });
        Results results_by_name;
        for (const ResultArray* array : {&z, &weights, &lam, &edf, &sigma2}) results_by_name.add(*array);
        results_by_name.add("status", status);
        results_by_name.add(passes);
        results_by_name.add("se", se);
        return results_by_name.release();
    });
}

}  // namespace tarnwold::py::selection
