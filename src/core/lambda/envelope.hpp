// Asymmetric weights: the upper envelope (p > 0.5) or the baseline
// (p < 0.5) of a series by iterative reweighting.
//
// The first fit uses the base weights alone (a symmetric fit, so the first
// sides are those of the ordinary smoother). Each reweighting gives an
// observed point base * p when it lies above the last fit (y > z) and
// base * (1 - p) at or below it, and refits. A series stops when at most
// tol * m of its points changed side in the last refit (tol = 0: none, so
// the weights are a fixed point of the fit), or after `iterations`
// reweightings. The weights returned are those of the returned fit.
//
// Series run in contiguous ranges over the worker pool, one at a time or a
// block of them in SIMD lanes (the selection's lane kernels, one lam per
// lane, factor and substitution only), the series streamed through the
// lanes: a lane whose series stops takes the next one, which starts with
// its first fit while the other lanes refit. Each series' results are those
// of the one-series path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lambda/lambda_selection.hpp"
#include "lanes/kernel_choice.hpp"

namespace tarnwold {

struct EnvelopeOptions {
    double p;                  // in (0, 1)
    std::uint64_t iterations;  // most reweightings
    double tol;                // >= 0
    bool parallel;
    Kernel kernel;  // Scalar: one series at a time; otherwise series in lanes
};

// S * T values each, and S reweighting counts. A series without
// observations gets a NaN fit, its working weights (all zero or
// unusable) and 0 reweightings.
struct EnvelopeOutputs {
    double* z;
    double* weights;
    std::int64_t* iterations;
};

// At given lams: one per series, or a single one for all when per_series is
// false. The batch holds the model's T points per row (no source). With start weights (S * T, as the weights
// of a previous call returned them), the first fit uses them instead of the base weights, and out.iterations
// holds on entry the reweightings already taken, which count towards options.iterations.
void envelope_at(const SelectionModel& model, const SeriesBatch& batch, const double* lams, bool per_series,
                 const EnvelopeOptions& options, const EnvelopeOutputs& out, const double* start = nullptr);

// With lam chosen by a criterion, in two rounds: lam is chosen on the grid
// for the base weights (not refined), scaled by the share of the weight the
// reweighting leaves on the sides of that fit, and the weights iterated at
// it from the symmetric fit; lam is selected again on those weights and the
// iteration continues at it from them with the reweightings left (few
// points move then); lam is selected a last time on the final weights where
// they moved, z is the fit at that lam with those weights. lam and status
// are those of the last selection (S values each). A series with
// too few points to select iterates at the lam the selection fits it at.
// fitted, when not null, receives the lam each series' z is fitted at (S
// values; fitted_lam of its last selection).
void envelope_selected(const SelectionModel& model, const SeriesBatch& batch,
                       const SelectionOptions& selection, const EnvelopeOptions& options,
                       const EnvelopeOutputs& out, double* lam, std::int8_t* status,
                       double* fitted = nullptr);

}  // namespace tarnwold
