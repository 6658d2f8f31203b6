// Choosing lam per series and evaluating given lams, over a batch of series
// in double precision (lambda_evaluation.hpp holds the per-series model).
//
// Selection: the criterion on a grid of lams (the default grid scaled by the
// series' mean positive weight, or the caller's), its minimum with ties to
// the largest lam, flat criteria and data in the null space of P to the
// largest lam, any other minimum refined in log lam (at most
// refinement_evaluations steps; deterministic) between its neighbours, or
// from an end towards its neighbour; a minimum stays at an end (status
// AtLower / AtUpper) only when nothing inside beat the end. REML's slope
// comes with each value: its refinement starts on the side of the minimum
// the slope descends to and takes cubic steps (slope_refinement.hpp); the
// other criteria's is Brent's search (parabolic and golden-section steps).
// For the V-curve the grid minimum is taken over the geometric mid-points
// of the grid and refined on its continuous speed.
//
// Series run over the worker pool in contiguous ranges, each with its own
// workspace, one series at a time or a block of series in SIMD lanes
// (lambda_lanes.hpp); a series' results depend on nothing but its own data,
// so they are the same bits for any thread count, sequentially and in any
// lane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "lambda/lambda_evaluation.hpp"
#include "lambda/lambda_search.hpp"
#include "lanes/kernel_choice.hpp"

namespace tarnwold {

// The default grid for weight 1, in the model's units: log-uniform from the
// lam that halves a wave of period 2 to the one for period 2T, at most
// `decades` apart (default_grid_decades), times unit_spacing^(2d). Nothing
// when an end of the grid leaves the positive finite doubles (a large d, or
// positions in units far from 1 that are not scaled).
std::optional<std::vector<double>> default_lambda_grid(const SelectionModel& model, double decades);

struct SelectionOptions {
    Criterion criterion;
    std::vector<double> grid;  // increasing, at least 3 positive values
    bool scale_by_weight;      // multiply the grid by each series' mean positive weight
    bool refine;
    double gamma;
    bool parallel;
    Kernel kernel;  // Scalar: one series at a time; otherwise series in lanes
    // Null, or one factor per series of the batch that its grid is
    // multiplied by in place of the one scale_by_weight chooses: a grid
    // relative to a lam known beforehand.
    const double* grid_scales = nullptr;
};

// Per-series outputs, S values each (z and se S * T, scores S * points);
// se and scores may be null when not wanted.
struct SelectionOutputs {
    double* lam;
    double* score;
    double* edf;
    double* sigma2;
    std::int64_t* observed;
    std::int8_t* status;
    double* grid_scale;
    double* z;
    double* se;
    double* scores;
    // S * T or null: the leverages of the final fit, for series with
    // observations (the rows of the others are left as they are).
    double* hat = nullptr;
};

void select_lambdas(const SelectionModel& model, const SeriesBatch& batch, const SelectionOptions& options,
                    const SelectionOutputs& out);

// How the fit at an output point is read on the model's grid.
enum class Reading : unsigned char {
    At,       // the fit at a point of the grid
    Between,  // the polynomial of degree order through order + 1 points
    Beyond,   // beyond the grid's ends: that of degree order - 1 through order points
};

// Where the fit at each output point is read on the model's grid: at point
// first[j] itself (reading[j] At), or as the sum over k = 0, 1, .. of
// weights[j * (order + 1) + k] times the fit at first[j] + k, over the
// order + 1 (Between) or order (Beyond) points the reading takes. Beyond
// the grid, spread[j] is the prior's share of the fit's variance there, in
// units of sigma2 / lam (see set_beyond_spread; 0 elsewhere).
struct OutputPoints {
    std::vector<std::size_t> first;
    std::vector<Reading> reading;
    std::vector<double> weights;
    std::vector<double> spread;
    std::size_t size() const { return first.size(); }
};

struct EvaluationOutputs {
    double* z;  // or null: the fit is not written
    // The values of each series, S each; with output points, null (all six)
    // unless on_x is given.
    double* edf;
    double* rss;
    double* roughness;
    double* gcv;
    double* loocv;
    double* reml;
    double* hat;  // S * T or null
    double* se;   // S * T or null
    // The noise variance of each series for se, or null for Q / (m - d).
    const double* sigma2;
    // Null, or the points z and se are written at (S * output->size()
    // values each); then the fit is formed on the model's grid (a union of x
    // and output points), with the band of Sigma for se, and the six values
    // are those of on_x (the model of x alone, whose points the batch's rows
    // hold) or, without it, NaN.
    const OutputPoints* output;
    const SelectionModel* on_x = nullptr;
};

// lams: one per series, or a single one for all when per_series is false.
void evaluate_lambdas(const SelectionModel& model, const SeriesBatch& batch, const double* lams,
                      bool per_series, double gamma, bool parallel, Kernel kernel,
                      const EvaluationOutputs& out);

}  // namespace tarnwold
