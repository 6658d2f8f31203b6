#include "lambda_selection.hpp"

#include <cmath>
#include <limits>

#include "parallel.hpp"

namespace tarnwold {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double golden = 0.6180339887498949;  // (sqrt(5) - 1) / 2

// A NaN criterion never wins a comparison.
double comparable(double value) { return std::isnan(value) ? infinity : value; }

// The lams whose scores are compared: the grid, or its geometric mid-points
// for the V-curve.
struct Candidates {
    std::vector<double> lams;
    std::vector<double> scores;
    std::vector<double> psi, phi;  // V-curve: RSS and roughness on the grid
};

class SeriesSelector {
public:
    SeriesSelector(const SelectionModel& model, const SelectionOptions& options)
        : model_(model), options_(options), workspace_(model) {
        const std::size_t points = options.grid.size();
        grid_.resize(points);
        candidates_.lams.resize(vcurve() ? points - 1 : points);
        candidates_.scores.resize(candidates_.lams.size());
        candidates_.psi.resize(points);
        candidates_.phi.resize(points);
    }

    void run(const SeriesBatch& batch, std::size_t s, const SelectionOutputs& out) {
        const std::size_t n = model_.length;
        const std::size_t count = candidates_.lams.size();
        SeriesWorkspace& ws = workspace_;
        ws.read(model_, batch.values + s * n, batch.base_weights ? batch.base_weights + s * n : nullptr);
        out.observed[s] = static_cast<std::int64_t>(ws.observed);
        double* z = out.z + s * n;
        double* se = out.se ? out.se + s * n : nullptr;
        double* scores = out.scores ? out.scores + s * count : nullptr;
        out.lam[s] = out.score[s] = out.edf[s] = out.sigma2[s] = not_a_number;
        fill(scores, count, not_a_number);
        fill(se, n, not_a_number);
        if (ws.observed == 0) {
            out.status[s] = static_cast<std::int8_t>(LambdaStatus::Empty);
            out.grid_scale[s] = not_a_number;
            fill(z, n, not_a_number);
            return;
        }
        const double scale =
            options_.scale_by_weight ? ws.weight_sum / static_cast<double>(ws.observed) : 1.0;
        out.grid_scale[s] = scale;
        for (std::size_t j = 0; j < grid_.size(); ++j) {
            grid_[j] = options_.grid[j] * scale;
        }
        if (ws.observed <= model_.order + 1) {
            out.status[s] = static_cast<std::int8_t>(LambdaStatus::TooFew);
            const Evaluation e = evaluate(std::sqrt(grid_.front() * grid_.back()), true);
            out.edf[s] = e.edf;
            copy(ws.z.data(), n, z);
            return;
        }

        score_candidates();
        if (scores != nullptr) {
            copy(candidates_.scores.data(), count, scores);
        }
        LambdaStatus status = LambdaStatus::Ok;
        std::size_t best = pick_minimum(status);
        if (in_null_space(model_, ws)) {
            status = LambdaStatus::Flat;
            best = count - 1;
        }
        double lam = candidates_.lams[best];
        double score = candidates_.scores[best];
        if (options_.refine && status == LambdaStatus::Ok) {
            refine(best, lam, score);
        }
        if (status == LambdaStatus::Flat) {
            lam = grid_.back();
        }

        const Evaluation e = evaluate(lam, true);
        const double m = static_cast<double>(ws.observed);
        if (options_.criterion != Criterion::Vcurve) {
            score = criterion_value(e);
        }
        const double sigma2 = options_.criterion == Criterion::Reml
                                  ? e.objective / (m - static_cast<double>(model_.order))
                                  : e.rss / (m - e.edf);
        out.lam[s] = lam;
        out.score[s] = score;
        out.edf[s] = e.edf;
        out.sigma2[s] = sigma2;
        out.status[s] = static_cast<std::int8_t>(status);
        copy(ws.z.data(), n, z);
        if (se != nullptr) {
            for (std::size_t t = 0; t < n; ++t) {
                se[t] = std::sqrt(sigma2 * ws.sigma[t * (model_.order + 1)]);
            }
        }
    }

private:
    bool vcurve() const { return options_.criterion == Criterion::Vcurve; }
    bool needs_inverse() const {
        return options_.criterion == Criterion::Gcv || options_.criterion == Criterion::Loocv;
    }

    static void fill(double* target, std::size_t n, double value) {
        for (std::size_t i = 0; target != nullptr && i < n; ++i) {
            target[i] = value;
        }
    }
    static void copy(const double* source, std::size_t n, double* target) {
        for (std::size_t i = 0; i < n; ++i) {
            target[i] = source[i];
        }
    }

    // The criterion's own needs; the final evaluation forms everything.
    Evaluation evaluate(double lam, bool inverse, bool log_det = true) {
        return evaluate_series(model_, workspace_, lam, options_.gamma, inverse, log_det);
    }
    bool needs_log_det() const { return options_.criterion == Criterion::Reml; }

    double criterion_value(const Evaluation& e) const {
        switch (options_.criterion) {
            case Criterion::Gcv:
                return e.gcv;
            case Criterion::Loocv:
                return e.loocv;
            default:
                return e.reml;
        }
    }

    // The criterion at lam, off the grid: the continuous speed for the V-curve.
    double criterion_at(double lam) {
        const Evaluation e = evaluate(lam, needs_inverse(), needs_log_det());
        return vcurve() ? vcurve_speed(model_, workspace_, lam, e) : criterion_value(e);
    }

    void score_candidates() {
        const std::size_t points = grid_.size();
        for (std::size_t j = 0; j < points; ++j) {
            const Evaluation e = evaluate(grid_[j], needs_inverse(), needs_log_det());
            if (vcurve()) {
                candidates_.psi[j] = std::log(e.rss);
                candidates_.phi[j] = std::log(e.roughness);
            } else {
                candidates_.lams[j] = grid_[j];
                candidates_.scores[j] = criterion_value(e);
            }
        }
        if (vcurve()) {
            for (std::size_t j = 0; j + 1 < points; ++j) {
                const double step = std::log(grid_[j + 1]) - std::log(grid_[j]);
                candidates_.lams[j] = std::sqrt(grid_[j] * grid_[j + 1]);
                candidates_.scores[j] = std::hypot(candidates_.psi[j + 1] - candidates_.psi[j],
                                                   candidates_.phi[j + 1] - candidates_.phi[j]) /
                                        step;
            }
        }
    }

    // The index of the minimum, ties within 1e-12 relative to the largest
    // lam; a flat criterion takes the last candidate, a minimum at an end
    // stays there.
    std::size_t pick_minimum(LambdaStatus& status) const {
        const std::vector<double>& f = candidates_.scores;
        const std::size_t count = f.size();
        double low = infinity;
        double high = -infinity;
        for (const double value : f) {
            low = std::fmin(low, comparable(value));
            high = std::fmax(high, comparable(value));
        }
        if (!(high - low > 1e-10 * std::fabs(low))) {
            status = LambdaStatus::Flat;
            return count - 1;
        }
        const double bound = low + 1e-12 * std::fabs(low);
        std::size_t best = 0;
        for (std::size_t j = 0; j < count; ++j) {
            if (comparable(f[j]) <= bound) {
                best = j;
            }
        }
        if (best == 0) {
            status = LambdaStatus::AtLower;
        } else if (best == count - 1) {
            status = LambdaStatus::AtUpper;
        }
        return best;
    }

    // Golden-section search in log lam between the neighbours of candidate
    // `best`; the refined lam replaces it only when its criterion is lower.
    void refine(std::size_t best, double& lam, double& score) {
        const std::vector<double>& lams = candidates_.lams;
        double a = std::log(lams[best - 1]);
        double b = std::log(lams[best + 1]);
        double c = b - golden * (b - a);
        double d = a + golden * (b - a);
        double fc = comparable(criterion_at(std::exp(c)));
        double fd = comparable(criterion_at(std::exp(d)));
        for (int step = 0; step < refinement_steps; ++step) {
            if (fc < fd) {
                b = d;
                d = c;
                fd = fc;
                c = b - golden * (b - a);
                fc = comparable(criterion_at(std::exp(c)));
            } else {
                a = c;
                c = d;
                fc = fd;
                d = a + golden * (b - a);
                fd = comparable(criterion_at(std::exp(d)));
            }
        }
        const double refined = fc < fd ? c : d;
        const double refined_score = fc < fd ? fc : fd;
        // The V-curve's grid score is a difference quotient; the refined one
        // is compared with the continuous speed at the same mid-point.
        const double reference = vcurve() ? comparable(criterion_at(lam)) : comparable(score);
        if (refined_score < reference) {
            lam = std::exp(refined);
            score = refined_score;
        }
    }

    const SelectionModel& model_;
    const SelectionOptions& options_;
    SeriesWorkspace workspace_;
    std::vector<double> grid_;
    Candidates candidates_;
};

}  // namespace

std::optional<std::vector<double>> default_lambda_grid(const SelectionModel& model) {
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
    const auto points = static_cast<std::size_t>(std::ceil((high - low) / 0.5)) + 1;
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
    for_each_series_range(batch.count, options.parallel, [&](std::size_t lo, std::size_t hi) {
        SeriesSelector selector(model, options);
        for (std::size_t s = lo; s < hi; ++s) {
            selector.run(batch, s, out);
        }
    });
}

void evaluate_lambdas(const SelectionModel& model, const SeriesBatch& batch, const double* lams,
                      bool per_series, double gamma, bool parallel, const EvaluationOutputs& out) {
    const std::size_t n = model.length;
    const std::size_t k = model.order;
    for_each_series_range(batch.count, parallel, [&](std::size_t lo, std::size_t hi) {
        SeriesWorkspace ws(model);
        for (std::size_t s = lo; s < hi; ++s) {
            ws.read(model, batch.values + s * n, batch.base_weights ? batch.base_weights + s * n : nullptr);
            double* z = out.z + s * n;
            double* hat = out.hat ? out.hat + s * n : nullptr;
            double* se = out.se ? out.se + s * n : nullptr;
            if (ws.observed == 0) {
                out.edf[s] = out.rss[s] = out.roughness[s] = not_a_number;
                out.gcv[s] = out.loocv[s] = out.reml[s] = not_a_number;
                for (std::size_t t = 0; t < n; ++t) {
                    z[t] = not_a_number;
                    if (hat) hat[t] = not_a_number;
                    if (se) se[t] = not_a_number;
                }
                continue;
            }
            const Evaluation e = evaluate_series(model, ws, per_series ? lams[s] : lams[0], gamma, true);
            out.edf[s] = e.edf;
            out.rss[s] = e.rss;
            out.roughness[s] = e.roughness;
            out.gcv[s] = e.gcv;
            out.loocv[s] = e.loocv;
            out.reml[s] = e.reml;
            const double dof = static_cast<double>(ws.observed) - static_cast<double>(k);
            const double sigma2 = dof > 0 ? e.objective / dof : not_a_number;
            for (std::size_t t = 0; t < n; ++t) {
                z[t] = ws.z[t];
                if (hat) hat[t] = leverage(model, ws, t);
                if (se) se[t] = std::sqrt(sigma2 * ws.sigma[t * (k + 1)]);
            }
        }
    });
}

}  // namespace tarnwold
