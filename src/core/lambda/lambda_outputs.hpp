// Writing one series' results of a selection or an evaluation, from a
// workspace of one series (stride 1) or from one lane of a block (stride =
// the block's lane count), so that both paths write the same values.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "lambda/lambda_selection.hpp"

namespace tarnwold {

void fill(double* target, std::size_t n, double value);
void copy_strided(const double* source, std::size_t stride, std::size_t n, double* target);

// Writes what is known before any evaluation: n_obs, NaN in the results
// still to come, and the whole result of an empty series (status `empty`)
// or the status of one with too few points. Returns the grid's scale, or
// nothing for an empty series.
std::optional<double> start_selection(const SelectionModel& model, const SelectionOptions& options,
                                      const SeriesTotals& series, std::size_t s, const SelectionOutputs& out);

// The lam a selected series' fit is formed at, given its status: the
// selected lam, the geometric middle of its own grid (`grid` times its
// grid_scale) for one with too few points, and 1 for an empty one, whose fit
// is NaN at any. The one rule for every path: one series at a time, lanes,
// and the fit again on an output grid.
double fitted_lam(std::int8_t status, double lam, const std::vector<double>& grid, double grid_scale);

// lam, score, EDF, sigma2 and the status from the final evaluation.
void finish_selection(Criterion criterion, const Evaluation& e, const SeriesTotals& series, std::size_t order,
                      double lam, double score, LambdaStatus status, std::size_t s,
                      const SelectionOutputs& out);

// A point's leverage w Sigma_tt (0 where w is not > 0) and standard error
// sqrt(sigma2 Sigma_tt).
inline double leverage(double w, double sigma_tt) { return w > 0 ? w * sigma_tt : 0.0; }
inline double standard_error(double sigma2, double sigma_tt) { return std::sqrt(sigma2 * sigma_tt); }

// The leverages of points 0 .. n - 1 of one series, written at hat[t].
void write_leverages(std::size_t n, std::size_t order, const double* w, const double* sigma, double* hat);

// se_t for points 0 .. n - 1, written at se[t].
void standard_errors(std::size_t n, std::size_t order, const double* sigma, std::size_t stride, double sigma2,
                     double* se);

// evaluate_lambdas' sigma2 for the standard errors of series s: the
// caller's where it gives one, else Q / (m - d), NaN without degrees of
// freedom.
double evaluation_sigma2(const SeriesTotals& series, const Evaluation& e, std::size_t order,
                         const EvaluationOutputs& out, std::size_t s);

// Whether evaluate_lambdas needs the band of Sigma for these outputs.
inline bool wants_inverse(const EvaluationOutputs& out) { return out.output == nullptr || out.se != nullptr; }

// evaluate_lambdas' results of series s: NaN for a series without
// observations (and its fit, where written); the values of the evaluation e
// with the inverse; NaN values for a fit at output points. The values only
// where they are wanted (edf not null).
void write_empty_evaluation(std::size_t n, std::size_t s, const EvaluationOutputs& out);
void write_no_values(std::size_t s, const EvaluationOutputs& out);
void write_evaluation_values(const Evaluation& e, std::size_t s, const EvaluationOutputs& out);
// With output points: the fit and se of series s at them only, from a
// series' fit, working weights and band of Sigma stored with the given
// stride, at its lam (NaN with lam = 0 where no observation lies).
void write_output_points(std::size_t order, const double* z, const double* w, const double* sigma,
                         std::size_t stride, double sigma2, double lam, std::size_t s,
                         const EvaluationOutputs& out);

}  // namespace tarnwold
