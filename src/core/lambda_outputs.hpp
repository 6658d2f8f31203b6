// Writing one series' results of a selection or an evaluation, from a
// workspace of one series (stride 1) or from one lane of a block (stride =
// the block's lane count), so that both paths write the same values.
#pragma once

#include <cstddef>
#include <optional>

#include "lambda_selection.hpp"

namespace tarnwold {

// A series' working weights, fit and band of Sigma, element t at t * stride
// (the band's Sigma(t + j, t) at (t * (d + 1) + j) * stride).
struct SeriesView {
    const double* w;
    const double* z;
    const double* sigma;
    std::size_t stride;
};

void fill(double* target, std::size_t n, double value);
void copy_strided(const double* source, std::size_t stride, std::size_t n, double* target);

// Writes what is known before any evaluation: n_obs, NaN in the results
// still to come, and the whole result of an empty series (status `empty`)
// or the status of one with too few points. Returns the grid's scale, or
// nothing for an empty series.
std::optional<double> start_selection(const SelectionModel& model, const SelectionOptions& options,
                                      const SeriesTotals& series, std::size_t s, const SelectionOutputs& out);

// The lam a series with too few points is fitted at: the geometric middle of
// its grid.
double too_few_lam(const double* grid, std::size_t points);

// lam, score, EDF, sigma2 and the status from the final evaluation.
void finish_selection(Criterion criterion, const Evaluation& e, const SeriesTotals& series, std::size_t order,
                      double lam, double score, LambdaStatus status, std::size_t s,
                      const SelectionOutputs& out);

// se_t = sqrt(sigma2 Sigma_tt) for points first .. last - 1.
void standard_errors(std::size_t first, std::size_t last, std::size_t order, const double* sigma,
                     std::size_t stride, double sigma2, double* se);

// Whether evaluate_lambdas needs the band of Sigma for these outputs.
inline bool wants_inverse(const EvaluationOutputs& out) {
    return out.output == nullptr || out.hat != nullptr || out.se != nullptr;
}

// evaluate_lambdas' results of series s: NaN for a series without
// observations, else those of the evaluation e with the inverse, its
// values per point for points first .. last - 1.
void write_empty_evaluation(std::size_t n, std::size_t s, const EvaluationOutputs& out);
void write_evaluation(const SelectionModel& model, const SeriesTotals& series, const Evaluation& e,
                      const SeriesView& view, std::size_t first, std::size_t last, std::size_t s,
                      const EvaluationOutputs& out);

}  // namespace tarnwold
