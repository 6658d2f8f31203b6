// One evaluation of the choice of lam for a block of series, one series per
// SIMD lane, each lane with its own lam.
//
// Every lane performs exactly the operations of evaluate_series (and of
// vcurve_speed) in their order on its own values, so each lane's sums equal
// the bits the one-series code forms; the criteria are then finished lane by
// lane by the same scalar code (finish_evaluation, speed_of). No lane's
// values reach another lane: a lane whose data or lam make no sense computes
// garbage of its own.
//
// Like lane_kernel.hpp, this header is shared by the instruction-set
// specific translation units and must stay free of inline code; the code is
// in lane_selection_body.hpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwold {

// Lane-interleaved buffers as in lane_kernel.hpp: element (i, lane) of a
// vector of n values at [i * width + lane], the bands' element (i, t) at
// [(i * (d + 1) + t) * width + lane]. No alignment is required.
struct LaneEvaluation {
    std::size_t n;
    std::size_t d;
    const double* penalty;     // the penalty band: P(i + t, i) at [t * n + i + t]
    const double* difference;  // the n - d rows of D, d + 1 coefficients each
    const double* ridge;       // width: each lane's series' ridge
    double eps;
    bool log_det;        // form the product of the pivots
    bool inverse;        // form the band of Sigma, EDF and tr(Sigma)
    bool leave_one_out;  // with `inverse`, the leave-one-out sum too
    bool speed;          // form the V-curve's rates
    bool fit_only;       // the fit alone: none of the sums below, none of the flags above
    const double* lam;   // width
    const double* w;     // n * width working weights
    const double* y;     // n * width working values
    // Workspace and results, written.
    double* factor;       // n * (d + 1) * width: L(i + t, i) for t >= 1, L(i, i) at t = 0
    double* reciprocal;   // n * width: 1 / L(i, i)
    double* sigma;        // n * (d + 1) * width: Sigma(i + t, i), with `inverse`
    double* z;            // n * width: the fit
    double* dz;           // n * width: Sigma P z, with `speed`
    double* differences;  // n * width: D z
    double* scratch;      // n * width
    double* leverage;     // n * width or null: w Sigma_tt (0 where w is not > 0), with `inverse`
    // Per lane (width values each): the sums of EvaluationSums and, with
    // `speed`, the rates of the V-curve.
    double* product;
    std::int64_t* exponent;
    double* rss;
    double* norm;
    double* roughness;
    double* edf;
    double* trace;
    double* loo;
    double* psi_rate;
    double* phi_rate;
};

// The null-space test of lambda_evaluation.hpp (in_null_space) in every
// lane: whether the observed values lie on a polynomial of degree d - 1. A
// lane where a column of the polynomial basis vanishes (fewer distinct
// observed positions than d) is marked unsettled: the one-series test must
// decide it.
struct LaneNullSpace {
    std::size_t n;
    std::size_t d;
    const double* positions;       // n normalised positions
    const double* w;               // n * width working weights
    const double* y;               // n * width working values
    double* basis;                 // d * n * width
    double* scratch;               // n * width
    unsigned char* in_null_space;  // width results
    unsigned char* unsettled;      // width flags
};

struct LaneEvaluationKernels {
    void (*evaluate)(const LaneEvaluation&);
    void (*null_space)(const LaneNullSpace&);
    std::size_t width;  // lanes per call
};

// The kernels of one instruction set: `wide` runs four vectors side by side
// (four independent chains of square roots and divisions, which keep the
// divider busy), `narrow` one, for ranges of fewer series.
struct SelectionKernelSet {
    LaneEvaluationKernels wide;
    LaneEvaluationKernels narrow;
};

extern const SelectionKernelSet baseline_selection_kernels;  // 16-byte vectors
#if defined(__x86_64__)
extern const SelectionKernelSet avx2_selection_kernels;    // 32-byte vectors
extern const SelectionKernelSet avx512_selection_kernels;  // 64-byte vectors
#endif

}  // namespace tarnwold
