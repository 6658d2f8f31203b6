// Robust smoothing at lams the caller gives, one per series: the module's
// robust smoother (robust_smooth.hpp) at each series' own lam on x itself,
// positions never merged (the selection's callers refuse positions closer
// than a share of x's spacing), then the fit at that lam with the final total
// weights evaluated once on x for its EDF, and the noise variance
// sigma2 = Q / (m - d) with Q = RSS + lam * roughness + ridge * z.z, z the
// smoother's own fit and m its points of positive total weight.
//
// Series sharing a lam are smoothed together: the batch is ordered by lam,
// and each range of the worker pool smooths its runs of equal lams in lanes.
// A series' results depend on its own data and lam alone, the same bits for
// any thread count, grouping or kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "lambda/lambda_evaluation.hpp"
#include "lanes/kernel_choice.hpp"
#include "robust/robust_smooth.hpp"

namespace tarnwold {

struct RobustAtLamsOptions {
    Robustness<double> robustness;
    std::optional<std::string_view> normalize;  // as the model was made with
    bool parallel;
    Kernel kernel;
};

// S * T values (z, weights) and S values (the others) each.
struct RobustAtLamsOutputs {
    double* z;        // the robust smoother's fit
    double* weights;  // its total weights
    double* edf;
    double* sigma2;        // NaN for at most d points of positive total weight
    std::int64_t* passes;  // the passes asked for; 0 for a series without observations
};

// model: x's selection model with the ridge and eps of the smoothing; x its
// positions as the caller gave them; lams one per series of the batch (no
// source), each finite and >= 0.
void robust_at_lams(const SelectionModel& model, const double* x, const SeriesBatch& batch,
                    const double* lams, const RobustAtLamsOptions& options, const RobustAtLamsOutputs& out);

}  // namespace tarnwold
