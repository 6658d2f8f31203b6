// Robust smoothing with lam chosen per series: the criterion and the robust
// weights decided together.
//
// Pass 1 chooses lam on the base weights, as select_lambdas does, and fits
// at it. Each later pass first reweights: the residuals r = y - z at every
// observed point (positive base weight, finite value; points weighed out
// before are judged again, as lam has moved since), each divided by
// sqrt(1 - h) with h the point's leverage in the last fit (without it a
// point that pulls the fit towards itself, an isolated one or an end,
// looks better than it is), their scale by the MAD or Huber estimator
// floored at eps, and the weighting of the module's robust smoother maps
// each standardised residual to a robust weight; the total weight is base
// times robust. Then lam is chosen again on the total weights and the
// series fitted at it. Two reweightings differ: the first is made from a
// fit at 0.3 times the first choice (that choice, made on weights that
// trust every point, is too stiff on a contaminated series), and the one
// before the last choice is followed by one more, from a fit at the same
// lam with the new weights. The choices after the first search five lams a
// decade apart from lam / 100 to lam * 100 around the last lam (REML, whose
// slopes bracket the minimum, three from lam / 10 to lam * 10; the weights
// move the minimum little, and a window of the same points for every series
// keeps the lanes full), and the whole grid where that choice lands on an
// edge of its window or finds the criterion flat, or where the last choice
// was not inside the whole grid (at an end, or flat).
//
// A series stops early when no robust weight moved by more than tol, or
// when a reweighting would leave at most d + 1 points with positive weight:
// it then keeps its last choice and the weights of that fit. A series with
// at most d + 1 observations, or none, gets select_lambdas' result.
//
// Series run in ranges over the worker pool, a range in chunks of series
// whose selections run through the selection lanes (the one-series path
// for a lone series); every series' result depends on its own data alone,
// the same bits for any thread count, chunking or kernel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lambda/lambda_selection.hpp"
#include "robust/robust.hpp"

namespace tarnwold {

struct RobustSelectionOptions {
    SelectionOptions selection;  // criterion, grid for weight 1, parallel, kernel
    std::uint64_t iterations;    // passes, >= 1
    Weighting weighting;
    TuningTriple<double> tuning;
    ScaleEstimator scale;
    double tol;  // >= 0: the largest change of a robust weight that stops a series
};

// S * T values (z, weights) and S values (the others) each.
struct RobustSelectionOutputs {
    double* z;        // the fit of the last pass
    double* weights;  // the total weights of that fit
    double* lam;      // the last choice; NaN for too few points or none
    double* edf;
    double* sigma2;
    std::int8_t* status;  // LambdaStatus of the last choice
    std::int64_t* passes;
    double* grid_scale;  // the factor of the last choice's grid (for too few points, the default grid's)
};

// The batch holds the model's T points per row (no source).
void robust_selected(const SelectionModel& model, const SeriesBatch& batch,
                     const RobustSelectionOptions& options, const RobustSelectionOutputs& out);

}  // namespace tarnwold
