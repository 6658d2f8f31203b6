#include "lambda/lambda_selection.hpp"

#include <cmath>
#include <limits>
#include <optional>

#include "base/fault.hpp"
#include "lambda/lambda_lanes.hpp"
#include "lambda/lambda_outputs.hpp"
#include "lambda/slope_refinement.hpp"
#include "runtime/parallel.hpp"

namespace tarnwold {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// The lams whose scores are compared: the grid, or its geometric mid-points
// for the V-curve.
struct Candidates {
    std::vector<double> lams;
    std::vector<double> scores;
    std::vector<double> slopes;    // with the scores of a criterion with a slope
    std::vector<double> psi, phi;  // V-curve: log RSS and log roughness on the grid
};

class SeriesSelector {
public:
    SeriesSelector(const SelectionModel& model, const SelectionOptions& options)
        : model_(model), options_(options), workspace_(model) {
        const std::size_t points = options.grid.size();
        grid_.resize(points);
        candidates_.lams.resize(vcurve() ? points - 1 : points);
        candidates_.scores.resize(candidates_.lams.size());
        candidates_.slopes.resize(candidates_.lams.size());
        candidates_.psi.resize(points);
        candidates_.phi.resize(points);
    }

    void run(const SeriesBatch& batch, std::size_t s, const SelectionOutputs& out) {
        const std::size_t n = model_.length;
        const std::size_t count = candidates_.lams.size();
        SeriesWorkspace& ws = workspace_;
        ws.read(model_, batch, s);
        const std::optional<double> scale = start_selection(model_, options_, ws, s, out);
        if (!scale) {
            return;
        }
        double* z = out.z + s * n;
        for (std::size_t j = 0; j < grid_.size(); ++j) {
            grid_[j] = options_.grid[j] * *scale;
        }
        if (ws.observed <= model_.order + 1) {
            const Evaluation e =
                evaluate(fitted_lam(out.status[s], not_a_number, options_.grid, *scale), true);
            out.edf[s] = e.edf;
            copy_strided(ws.z.data(), 1, n, z);
            write_hat(s, out);
            return;
        }

        score_candidates();
        if (out.scores != nullptr) {
            copy_strided(candidates_.scores.data(), 1, count, out.scores + s * count);
        }
        LambdaStatus status = LambdaStatus::Ok;
        std::size_t best = pick_minimum(candidates_.scores.data(), count, status);
        if (in_null_space(model_, ws)) {
            status = LambdaStatus::Flat;
            best = count - 1;
        }
        double lam = candidates_.lams[best];
        double score = candidates_.scores[best];
        const auto finish = [&](const auto& search) {
            status = refined_status(status, search);
            if (search.best_value() < search.start_value()) {
                lam = search.best_lam();
                score = search.best_value();
            }
        };
        if (options_.refine && refinable(status) && has_slope(options_.criterion)) {
            SlopeRefinement search = start_slope_refinement(
                candidates_.lams.data(), candidates_.scores.data(), candidates_.slopes.data(), count, best);
            while (!search.done()) {
                const Evaluation e = evaluate(search.point(), true);
                search.take(comparable(criterion_value(options_.criterion, e)),
                            criterion_slope(options_.criterion, e));
            }
            finish(search);
        } else if (options_.refine && refinable(status)) {
            Refinement search =
                start_refinement(candidates_.lams.data(), candidates_.scores.data(), count, best, vcurve());
            while (!search.done()) {
                search.take(comparable(criterion_at(search.point())));
            }
            finish(search);
        }
        if (status == LambdaStatus::Flat) {
            lam = grid_.back();
        }
        const Evaluation e = evaluate(lam, true);
        finish_selection(options_.criterion, e, ws, model_.order, lam, score, status, s, out);
        copy_strided(ws.z.data(), 1, n, z);
        write_hat(s, out);
        if (out.se != nullptr) {
            standard_errors(n, model_.order, ws.sigma.data(), 1, out.sigma2[s], out.se + s * n);
        }
    }

private:
    bool vcurve() const { return options_.criterion == Criterion::Vcurve; }

    void write_hat(std::size_t s, const SelectionOutputs& out) {
        if (out.hat != nullptr) {
            const std::size_t n = model_.length;
            write_leverages(n, model_.order, workspace_.w.data(), workspace_.sigma.data(), out.hat + s * n);
        }
    }

    // The criterion's own needs; the final evaluation forms everything.
    Evaluation evaluate(double lam, bool inverse, bool log_det = true) {
        return evaluate_series(model_, workspace_, lam, options_.gamma, inverse, log_det);
    }

    // The criterion at lam, off the grid: the continuous speed for the V-curve.
    double criterion_at(double lam) {
        const Evaluation e =
            evaluate(lam, needs_inverse(options_.criterion), needs_log_det(options_.criterion));
        return vcurve() ? vcurve_speed(model_, workspace_, lam, e) : criterion_value(options_.criterion, e);
    }

    void score_candidates() {
        const std::size_t points = grid_.size();
        for (std::size_t j = 0; j < points; ++j) {
            const Evaluation e =
                evaluate(grid_[j], needs_inverse(options_.criterion), needs_log_det(options_.criterion));
            if (vcurve()) {
                candidates_.psi[j] = std::log(e.rss);
                candidates_.phi[j] = std::log(e.roughness);
            } else {
                candidates_.lams[j] = grid_[j];
                candidates_.scores[j] = criterion_value(options_.criterion, e);
                candidates_.slopes[j] =
                    has_slope(options_.criterion) ? criterion_slope(options_.criterion, e) : not_a_number;
            }
        }
        if (vcurve()) {
            vcurve_candidates(grid_.data(), points, candidates_.psi.data(), candidates_.phi.data(),
                              candidates_.lams.data(), candidates_.scores.data());
        }
    }

    const SelectionModel& model_;
    const SelectionOptions& options_;
    SeriesWorkspace workspace_;
    std::vector<double> grid_;
    Candidates candidates_;
};

}  // namespace

std::optional<std::vector<double>> default_lambda_grid(const SelectionModel& model, double decades) {
    const double order = static_cast<double>(model.order);
    double factorial = 1;
    for (std::size_t i = 2; i <= model.order && std::isfinite(factorial); ++i) {
        factorial = factorial * static_cast<double>(i);
    }
    // lam(p) = (d!)^2 (p / 2 pi)^(2d) halves a wave of period p. An infinite
    // (d!)^2 makes both exponents infinite, never NaN.
    const auto halving = [&](double period) {
        return std::log10(factorial * factorial) + 2 * order * std::log10(period / 6.283185307179586);
    };
    const double low = halving(2);
    const double high = halving(2 * static_cast<double>(model.length));
    const double scale = std::pow(model.unit_spacing, 2 * order);
    const double first = std::pow(10.0, low) * scale;
    const double last_value = std::pow(10.0, high) * scale;
    // Both ends positive and finite bound the span to about 632 decades, so
    // the point count below is finite and small.
    if (!(first > 0 && std::isfinite(last_value))) {
        return std::nullopt;
    }
    const auto points = static_cast<std::size_t>(std::ceil((high - low) / decades)) + 1;
    std::vector<double> grid(points < 3 ? 3 : points);
    const std::size_t last = grid.size() - 1;
    for (std::size_t j = 0; j <= last; ++j) {
        const double exponent =
            j == last ? high : low + (high - low) * static_cast<double>(j) / static_cast<double>(last);
        grid[j] = std::pow(10.0, exponent) * scale;
    }
    return grid;
}

void select_lambdas(const SelectionModel& model, const SeriesBatch& batch, const SelectionOptions& options,
                    const SelectionOutputs& out) {
    // A lone series gains nothing from lanes (its block would run unused
    // copies of it at the same speed) and would hold a block's buffers.
    const SelectionKernelSet* lanes = batch.count > 1 ? selection_kernels(options.kernel) : nullptr;
    if (lanes != nullptr) {
        select_in_lanes(model, batch, options, *lanes, *lane_kernels<double>(options.kernel), out);
        return;
    }
    for_each_series_range(batch.count, options.parallel, [&](std::size_t lo, std::size_t hi) {
        SeriesSelector selector(model, options);
        for (std::size_t s = lo; s < hi; ++s) {
            selector.run(batch, s, out);
        }
    });
}

void evaluate_lambdas(const SelectionModel& model, const SeriesBatch& batch, const double* lams,
                      bool per_series, double gamma, bool parallel, Kernel kernel,
                      const EvaluationOutputs& out) {
    if (out.on_x != nullptr && (out.output == nullptr || batch.source == nullptr || out.edf == nullptr)) {
        throw InternalFault("evaluation: the values on x go with a fit at output points");
    }
    if (out.output != nullptr && out.hat != nullptr && out.on_x == nullptr) {
        throw InternalFault("evaluation: leverages at output points need the model of x");
    }
    const SelectionKernelSet* lanes = batch.count > 1 ? selection_kernels(kernel) : nullptr;
    if (lanes != nullptr) {
        evaluate_in_lanes(model, batch, lams, per_series, gamma, parallel, *lanes,
                          *lane_kernels<double>(kernel), out);
        return;
    }
    const std::size_t n = model.length;
    SeriesBatch rows = batch;
    rows.source = nullptr;
    for_each_series_range(batch.count, parallel, [&](std::size_t lo, std::size_t hi) {
        SeriesWorkspace ws(model);
        std::optional<SeriesWorkspace> on_x;
        if (out.on_x != nullptr) {
            on_x.emplace(*out.on_x);
        }
        for (std::size_t s = lo; s < hi; ++s) {
            ws.read(model, batch, s);
            if (ws.observed == 0) {
                write_empty_evaluation(n, s, out);
                continue;
            }
            const double lam = per_series ? lams[s] : lams[0];
            if (on_x) {
                const std::size_t points = out.on_x->length;
                on_x->read(*out.on_x, rows, s);
                write_evaluation_values(evaluate_series(*out.on_x, *on_x, lam, gamma, true, true), s, out);
                if (out.hat != nullptr) {
                    write_leverages(points, model.order, on_x->w.data(), on_x->sigma.data(),
                                    out.hat + s * points);
                }
            }
            const Evaluation e =
                evaluate_series(model, ws, lam, gamma, wants_inverse(out), out.output == nullptr);
            const double sigma2 = evaluation_sigma2(ws, e, model.order, out, s);
            if (out.output != nullptr) {
                if (!on_x) {
                    write_no_values(s, out);
                }
                write_output_points(model.order, ws.z.data(), ws.w.data(), ws.sigma.data(), 1, sigma2, lam, s,
                                    out);
                continue;
            }
            write_evaluation_values(e, s, out);
            if (out.z != nullptr) {
                copy_strided(ws.z.data(), 1, n, out.z + s * n);
            }
            if (out.hat != nullptr) {
                write_leverages(n, model.order, ws.w.data(), ws.sigma.data(), out.hat + s * n);
            }
            if (out.se != nullptr) {
                standard_errors(n, model.order, ws.sigma.data(), 1, sigma2, out.se + s * n);
            }
        }
    });
}

}  // namespace tarnwold
