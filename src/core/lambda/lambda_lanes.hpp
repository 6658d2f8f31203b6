// The choice of lam and the evaluation of given lams with the series of a
// block in SIMD lanes (lane_selection.hpp), one lane per series, each with
// its own lam: every grid point for all lanes at once, the minimum and the
// statuses lane by lane, the refinement of every lane's minimum at once
// (each lane at its own search's next point, until every search has
// finished), the final evaluation with the band of Sigma. Each lane's
// results are the bits of the one-series path.
#pragma once

#include "lambda/lambda_selection.hpp"
#include "lanes/kernel_choice.hpp"
#include "lanes/lane_kernel.hpp"
#include "lanes/lane_selection.hpp"

namespace tarnwold {

// Whether a range of `count` series runs in wide blocks, four vectors side
// by side: where the range fills them and their buffers (`vectors` vectors
// of T values per lane) stay small enough to be cached (measured: for long
// series the narrow block, a quarter of the size, is as fast or faster).
bool wide_blocks(const SelectionKernelSet& kernels, std::size_t count, const SelectionModel& model,
                 std::size_t vectors);

// io: the lane kernels of the same instruction set, whose read and write
// move series between rows and the blocks' lanes.
void select_in_lanes(const SelectionModel& model, const SeriesBatch& batch, const SelectionOptions& options,
                     const SelectionKernelSet& kernels, const LaneKernels<double>& io,
                     const SelectionOutputs& out);

void evaluate_in_lanes(const SelectionModel& model, const SeriesBatch& batch, const double* lams,
                       bool per_series, double gamma, bool parallel, const SelectionKernelSet& kernels,
                       const LaneKernels<double>& io, const EvaluationOutputs& out);

}  // namespace tarnwold
