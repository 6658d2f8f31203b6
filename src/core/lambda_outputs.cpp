#include "lambda_outputs.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

namespace tarnwold {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

}  // namespace

void fill(double* target, std::size_t n, double value) {
    for (std::size_t i = 0; target != nullptr && i < n; ++i) {
        target[i] = value;
    }
}

void copy_strided(const double* source, std::size_t stride, std::size_t n, double* target) {
    for (std::size_t i = 0; i < n; ++i) {
        target[i] = source[i * stride];
    }
}

std::optional<double> start_selection(const SelectionModel& model, const SelectionOptions& options,
                                      const SeriesTotals& series, std::size_t s,
                                      const SelectionOutputs& out) {
    const std::size_t n = model.length;
    const std::size_t count =
        options.criterion == Criterion::Vcurve ? options.grid.size() - 1 : options.grid.size();
    out.observed[s] = static_cast<std::int64_t>(series.observed);
    out.lam[s] = out.score[s] = out.edf[s] = out.sigma2[s] = not_a_number;
    fill(out.scores ? out.scores + s * count : nullptr, count, not_a_number);
    fill(out.se ? out.se + s * n : nullptr, n, not_a_number);
    if (series.observed == 0) {
        out.status[s] = static_cast<std::int8_t>(LambdaStatus::Empty);
        out.grid_scale[s] = not_a_number;
        fill(out.z + s * n, n, not_a_number);
        return std::nullopt;
    }
    const double scale =
        options.scale_by_weight ? series.weight_sum / static_cast<double>(series.observed) : 1.0;
    out.grid_scale[s] = scale;
    if (series.observed <= model.order + 1) {
        out.status[s] = static_cast<std::int8_t>(LambdaStatus::TooFew);
    }
    return scale;
}

double too_few_lam(const double* grid, std::size_t points) { return std::sqrt(grid[0] * grid[points - 1]); }

void finish_selection(Criterion criterion, const Evaluation& e, const SeriesTotals& series, std::size_t order,
                      double lam, double score, LambdaStatus status, std::size_t s,
                      const SelectionOutputs& out) {
    out.lam[s] = lam;
    out.score[s] = criterion != Criterion::Vcurve ? criterion_value(criterion, e) : score;
    out.edf[s] = e.edf;
    out.sigma2[s] = sigma2_of(criterion, e, series.observed, order);
    out.status[s] = static_cast<std::int8_t>(status);
}

void standard_errors(std::size_t first, std::size_t last, std::size_t order, const double* sigma,
                     std::size_t stride, double sigma2, double* se) {
    for (std::size_t t = first; t < last; ++t) {
        se[t] = std::sqrt(sigma2 * sigma[t * (order + 1) * stride]);
    }
}

void write_empty_evaluation(std::size_t n, std::size_t s, const EvaluationOutputs& out) {
    n = out.output != nullptr ? out.output_count : n;
    out.edf[s] = out.rss[s] = out.roughness[s] = not_a_number;
    out.gcv[s] = out.loocv[s] = out.reml[s] = not_a_number;
    fill(out.z + s * n, n, not_a_number);
    fill(out.hat ? out.hat + s * n : nullptr, n, not_a_number);
    fill(out.se ? out.se + s * n : nullptr, n, not_a_number);
}

void write_evaluation(const SelectionModel& model, const SeriesTotals& series, const Evaluation& e,
                      const SeriesView& view, std::size_t first, std::size_t last, std::size_t s,
                      const EvaluationOutputs& out) {
    const std::size_t n = model.length;
    const std::size_t k = model.order;
    out.edf[s] = e.edf;
    out.rss[s] = e.rss;
    out.roughness[s] = e.roughness;
    out.gcv[s] = e.gcv;
    out.loocv[s] = e.loocv;
    out.reml[s] = e.reml;
    const double dof = static_cast<double>(series.observed) - static_cast<double>(k);
    const double sigma2 = out.sigma2 != nullptr ? out.sigma2[s] : dof > 0 ? e.objective / dof : not_a_number;
    if (out.output != nullptr) {
        // The output points among first .. last - 1.
        const std::size_t* begin = std::lower_bound(out.output, out.output + out.output_count, first);
        const std::size_t* end = std::lower_bound(begin, out.output + out.output_count, last);
        for (const std::size_t* p = begin; p != end; ++p) {
            const std::size_t at = s * out.output_count + static_cast<std::size_t>(p - out.output);
            out.z[at] = view.z[*p * view.stride];
            if (out.se != nullptr) {
                // standard_errors' expression, for one point.
                out.se[at] = std::sqrt(sigma2 * view.sigma[*p * (k + 1) * view.stride]);
            }
        }
        return;
    }
    copy_strided(view.z + first * view.stride, view.stride, last - first, out.z + s * n + first);
    if (out.hat != nullptr) {
        // Locals, since the stores to hat could alias the view.
        const double* weights = view.w;
        const double* sigma = view.sigma;
        const std::size_t stride = view.stride;
        double* hat = out.hat + s * n;
        for (std::size_t t = first; t < last; ++t) {
            const double w = weights[t * stride];
            hat[t] = w > 0 ? w * sigma[t * (k + 1) * stride] : 0.0;
        }
    }
    if (out.se != nullptr) {
        standard_errors(first, last, k, view.sigma, view.stride, sigma2, out.se + s * n);
    }
}

}  // namespace tarnwold
