#include "lambda/robust_at_lams.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <vector>

#include "base/fault.hpp"
#include "base/series_matrix.hpp"
#include "lambda/lambda_selection.hpp"
#include "runtime/parallel.hpp"

namespace tarnwold {

namespace {

// z.z, summed from the first position to the last.
double squared_norm(const double* z, std::size_t n) {
    double sum = 0;
    for (std::size_t t = 0; t < n; ++t) {
        sum += z[t] * z[t];
    }
    return sum;
}

// A row-major view of count rows of T values.
StridedMatrix<double> rows_view(const double* first, std::size_t count, std::size_t n) {
    return {reinterpret_cast<const std::byte*>(first), count, n,
            static_cast<std::ptrdiff_t>(n * sizeof(double)), static_cast<std::ptrdiff_t>(sizeof(double))};
}

// The robust smoother at one lam over the series rows[0 .. count - 1] of the
// batch, on this thread: straight from and into place when the rows are
// consecutive, else gathered and scattered.
void smooth_at_one_lam(const MergedGrid<double>& grid, const SelectionModel& model, const SeriesBatch& batch,
                       const std::size_t* rows, std::size_t count, double lam,
                       const RobustAtLamsOptions& options, const RobustAtLamsOutputs& out) {
    const std::size_t n = batch.row_length;
    const auto smooth = [&](const double* values, const double* base, double* z, double* weights) {
        const StridedMatrix<double> y = rows_view(values, count, n);
        const StridedMatrix<double> base_view = rows_view(base, count, n);
        const Smoothing<double> call{y,
                                     base != nullptr ? &base_view : nullptr,
                                     lam,
                                     model.order,
                                     model.ridge,
                                     options.normalize,
                                     model.eps,
                                     false,
                                     options.kernel};
        robust_smooth(grid, call, options.robustness, z, weights);
    };
    if (rows[count - 1] - rows[0] == count - 1) {
        const std::size_t s = rows[0];
        smooth(batch.row(s), batch.base_row(s), out.z + s * n, out.weights + s * n);
        return;
    }
    SeriesMatrix<double> values(count, n), base(batch.base_weights != nullptr ? count : 0, n), z(count, n),
        weights(count, n);
    for (std::size_t k = 0; k < count; ++k) {
        std::copy_n(batch.row(rows[k]), n, values.row(k));
        if (batch.base_weights != nullptr) {
            std::copy_n(batch.base_row(rows[k]), n, base.row(k));
        }
    }
    smooth(values.row(0), batch.base_weights != nullptr ? base.row(0) : nullptr, z.row(0), weights.row(0));
    for (std::size_t k = 0; k < count; ++k) {
        std::copy_n(z.row(k), n, out.z + rows[k] * n);
        std::copy_n(weights.row(k), n, out.weights + rows[k] * n);
    }
}

}  // namespace

void robust_at_lams(const SelectionModel& model, const double* x, const SeriesBatch& batch,
                    const double* lams, const RobustAtLamsOptions& options, const RobustAtLamsOutputs& out) {
    if (batch.source != nullptr || batch.ridges != nullptr || batch.row_length != model.length) {
        throw InternalFault(
            "robust at given lams: a source map, a ridge per series, or rows other than the model's points");
    }
    const std::size_t S = batch.count, n = batch.row_length;
    const MergedGrid<double> grid = solve_grid<double>(x, n, 0.0);
    // The series in order of their lam: each range of the pool smooths its
    // runs of one lam together.
    std::vector<std::size_t> order(S);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return lams[a] < lams[b]; });
    for_each_series_range(S, options.parallel, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t first = lo, last = lo; first < hi; first = last) {
            while (last < hi && lams[order[last]] == lams[order[first]]) {
                ++last;
            }
            smooth_at_one_lam(grid, model, batch, &order[first], last - first, lams[order[first]], options,
                              out);
        }
    });

    std::vector<double> fit(checked_product(S, n)), rss(S), roughness(S), gcv(S), loocv(S), reml(S);
    const EvaluationOutputs on_x{fit.data(),  out.edf, rss.data(), roughness.data(), gcv.data(), loocv.data(),
                                 reml.data(), nullptr, nullptr,    nullptr,          nullptr};
    evaluate_lambdas(model, {batch.values, out.weights, S, n, nullptr, nullptr}, lams, S != 1, 1.0,
                     options.parallel, options.kernel, on_x);
    for (std::size_t s = 0; s < S; ++s) {
        const double* weights = out.weights + s * n;
        const auto observed =
            static_cast<std::size_t>(std::count_if(weights, weights + n, [](double w) { return w > 0; }));
        out.passes[s] = observed > 0 ? static_cast<std::int64_t>(options.robustness.iterations) : 0;
        const double objective =
            (rss[s] + lams[s] * roughness[s]) + model.ridge * squared_norm(out.z + s * n, n);
        out.sigma2[s] = observed > model.order ? objective / static_cast<double>(observed - model.order)
                                               : std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace tarnwold
