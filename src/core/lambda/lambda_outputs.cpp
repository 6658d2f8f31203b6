#include "lambda/lambda_outputs.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "base/fault.hpp"

namespace tarnwold {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// The number of grid points an output point is read from.
std::size_t points_read(Reading reading, std::size_t order) {
    switch (reading) {
        case Reading::At:
            return 1;
        case Reading::Between:
            return order + 1;
        case Reading::Beyond:
            return order;
    }
    throw InternalFault("an output point is read in an unknown way");
}

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
    const double scale = options.grid_scales != nullptr ? options.grid_scales[s]
                         : options.scale_by_weight ? series.weight_sum / static_cast<double>(series.observed)
                                                   : 1.0;
    out.grid_scale[s] = scale;
    if (series.observed <= model.order + 1) {
        out.status[s] = static_cast<std::int8_t>(LambdaStatus::TooFew);
    }
    return scale;
}

double fitted_lam(std::int8_t status, double lam, const std::vector<double>& grid, double grid_scale) {
    switch (static_cast<LambdaStatus>(status)) {
        case LambdaStatus::Ok:
        case LambdaStatus::AtLower:
        case LambdaStatus::AtUpper:
        case LambdaStatus::Flat:
            return lam;
        case LambdaStatus::TooFew:
            return std::sqrt((grid.front() * grid_scale) * (grid.back() * grid_scale));
        case LambdaStatus::Empty:
            return 1;
    }
    throw InternalFault("unknown lam status " + std::to_string(status));
}

void finish_selection(Criterion criterion, const Evaluation& e, const SeriesTotals& series, std::size_t order,
                      double lam, double score, LambdaStatus status, std::size_t s,
                      const SelectionOutputs& out) {
    out.lam[s] = lam;
    out.score[s] = criterion != Criterion::Vcurve ? criterion_value(criterion, e) : score;
    out.edf[s] = e.edf;
    out.sigma2[s] = sigma2_of(criterion, e, series.observed, order);
    out.status[s] = static_cast<std::int8_t>(status);
}

void standard_errors(std::size_t n, std::size_t order, const double* sigma, std::size_t stride, double sigma2,
                     double* se) {
    for (std::size_t t = 0; t < n; ++t) {
        se[t] = standard_error(sigma2, sigma[t * (order + 1) * stride]);
    }
}

double evaluation_sigma2(const SeriesTotals& series, const Evaluation& e, std::size_t order,
                         const EvaluationOutputs& out, std::size_t s) {
    if (out.sigma2 != nullptr) {
        return out.sigma2[s];
    }
    const double dof = static_cast<double>(series.observed) - static_cast<double>(order);
    return dof > 0 ? e.objective / dof : not_a_number;
}

void write_no_values(std::size_t s, const EvaluationOutputs& out) {
    if (out.edf == nullptr) {
        return;
    }
    out.edf[s] = out.rss[s] = out.roughness[s] = not_a_number;
    out.gcv[s] = out.loocv[s] = out.reml[s] = not_a_number;
}

void write_empty_evaluation(std::size_t n, std::size_t s, const EvaluationOutputs& out) {
    const std::size_t points = out.output != nullptr ? out.output->size() : n;
    const std::size_t on_x = out.on_x != nullptr ? out.on_x->length : n;
    write_no_values(s, out);
    fill(out.z ? out.z + s * points : nullptr, points, not_a_number);
    fill(out.hat ? out.hat + s * on_x : nullptr, on_x, not_a_number);
    fill(out.se ? out.se + s * points : nullptr, points, not_a_number);
}

void write_leverages(std::size_t n, std::size_t order, const double* w, const double* sigma, double* hat) {
    for (std::size_t t = 0; t < n; ++t) {
        hat[t] = leverage(w[t], sigma[t * (order + 1)]);
    }
}

void write_evaluation_values(const Evaluation& e, std::size_t s, const EvaluationOutputs& out) {
    if (out.edf == nullptr) {
        return;
    }
    out.edf[s] = e.edf;
    out.rss[s] = e.rss;
    out.roughness[s] = e.roughness;
    out.gcv[s] = e.gcv;
    out.loocv[s] = e.loocv;
    out.reml[s] = e.reml;
}

void write_output_points(std::size_t order, const double* z, const double* w, const double* sigma,
                         std::size_t stride, double sigma2, double lam, std::size_t s,
                         const EvaluationOutputs& out) {
    const OutputPoints& points = *out.output;
    const std::size_t width = order + 1;
    for (std::size_t j = 0; j < points.size(); ++j) {
        const std::size_t p = points.first[j];
        const std::size_t at = s * points.size() + j;
        const bool on_point = points.reading[j] == Reading::At;
        // Without a penalty nothing ties the fit at a point without an
        // observation to the others: the ridge alone would make it 0.
        if (lam == 0 && (!on_point || !(w[p * stride] > 0))) {
            out.z[at] = not_a_number;
            if (out.se != nullptr) {
                out.se[at] = not_a_number;
            }
            continue;
        }
        if (on_point) {
            out.z[at] = z[p * stride];
            if (out.se != nullptr) {
                out.se[at] = standard_error(sigma2, sigma[p * width * stride]);
            }
            continue;
        }
        const std::size_t count = points_read(points.reading[j], order);
        const double* c = &points.weights[j * width];
        double value = c[0] * z[p * stride];
        for (std::size_t k = 1; k < count; ++k) {
            value = value + c[k] * z[(p + k) * stride];
        }
        out.z[at] = value;
        if (out.se == nullptr) {
            continue;
        }
        // c^T Sigma c over the d + 1 or d points, all within the band.
        double variance = 0;
        for (std::size_t a = 0; a < count; ++a) {
            for (std::size_t b = 0; b < count; ++b) {
                const std::size_t low = a < b ? a : b;
                const std::size_t offset = a < b ? b - a : a - b;
                variance = variance + c[a] * c[b] * sigma[((p + low) * width + offset) * stride];
            }
        }
        // Beyond x the penalty's own spread about the continued polynomial.
        if (points.reading[j] == Reading::Beyond) {
            variance = variance + points.spread[j] / lam;
        }
        out.se[at] = standard_error(sigma2, variance);
    }
}

}  // namespace tarnwold
