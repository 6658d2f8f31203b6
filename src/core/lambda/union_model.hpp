// The selection model on the union of the observation grid x and an output
// grid, for fits returned at positions that carry no observation (their
// weight is zero).
//
// lam keeps the meaning it has on x alone:
// - the union is normalised with x's shift and scale, not its own;
// - each row of D is weighted by the share of x's spacing it covers: the
//   lengths of the union intervals it spans over the lengths of the x
//   intervals those lie in. Splitting an x interval into k pieces gives k
//   rows of weight 1/k, so a dense output grid adds no penalty beyond what
//   the observation grid already has (exactly so for d = 1, to the
//   discretisation's accuracy for larger d).
// The union lies within x's range: beyond it the fit is continued, not
// solved for (see union_of).
// Where the union is x itself every weight is exactly 1 and the model is
// make_selection_model's, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "lambda/lambda_evaluation.hpp"
#include "lambda/lambda_selection.hpp"

namespace tarnwold {

// Output positions in a run closer together than x's spacing make the
// system ill-conditioned: its rounding errors grow with about the 2d-th
// power of x's mean spacing over the run's (on a weekly sine at lam = 1e6,
// d = 2 keeps its digits down to 1/28 of the spacing and loses 1e-3 of the
// amplitude at 1/56, d = 3 loses 2e-2 at 1/28; a minute grid made d = 2
// lose 9 % and d = 3 all of it). The output positions the union takes lie
// at least run_share(d) = 10^(-3 / d) of x's mean spacing after the one it
// took before (1/1000 for d = 1, 1/32 for d = 2, 1/10 for d = 3), which
// keeps that power near 1e6.
double run_share(std::uint64_t d);

// A lone point close to another costs little (one in every x interval at
// 1e-3 of the spacing from an observation moves the fit no more than one at
// 0.3 of it) down to this share of x's mean spacing; closer, its divided
// differences lose the fit's digits (1e-5 costs about 1e-4 of the data's
// scale).
inline constexpr double close_share = 1e-4;

// The union of x (n) and x_out (n_out), both strictly increasing: x's
// positions, and the x_out positions within x's range at least close_share
// of x's mean spacing from the union's point before them and from the next
// x position, and at least run_share(d) of it from the x_out position the
// union took before. For each union point the index of its x position (-1
// where it has none), and where each x_out position is read (see
// OutputPoints): at the union point it coincides with; else, within x's
// range, between by the polynomial of degree d through the d + 1 union
// points around it; else, beyond x's range, by the polynomial of degree
// d - 1 through the union's first (last) d points.
// The d + 1 points around a position are the two ends of its union
// interval and, one at a time, the nearer of the next point on either side
// (the left one on a tie); the choice depends on the interval alone, so
// the fit is continuous across the union's points. For d = 1 that line is
// what the union model itself gives a zero-weight point (the ridge aside);
// for larger d it stands for the spline of degree 2d - 1 that the penalty
// makes of the fit between points, on spacings too short for their
// difference to show.
// Beyond x's range, without a ridge, that polynomial is exactly the fit the
// union model would give there: the penalty's rows can all be made 0 and
// nothing else involves those positions. Solved as part of the system it
// would be lost to rounding, whose condition grows with the distance to the
// power 2d (1000 spacings out, 1e-5 of the data for d = 2, all of it for
// d = 3); read from the end points it keeps their digits. A ridge does not
// bend it: the ridge acts on the system, which ends where x does.
struct UnionGrid {
    std::vector<double> positions;
    std::vector<std::int64_t> source;
    OutputPoints output;
};

UnionGrid union_of(const double* x, std::size_t n, const double* x_out, std::size_t n_out, std::uint64_t d);

// Beyond x's range no observation holds the fit: besides the uncertainty
// of the d union points it is continued from, the penalty lets it wander
// there as the d-fold integral of white noise of intensity (d!)^2 sigma2 /
// lam (the penalty's continuous limit on the normalised grid), whose
// variance about the continued polynomial grows with the normalised
// distance delta beyond x as (d!)^2 delta^(2d - 1) / ((2d - 1) ((d - 1)!)^2).
// Sets output.spread to that factor for the output positions x_out beyond
// x's range (union_of leaves 0 at the others), with the model's
// normalisation of the union.
void set_beyond_spread(OutputPoints& output, const double* x, std::size_t n, const double* x_out,
                       const SelectionModel& model);

// x: n strictly increasing positions, every one of them also in grid (u
// strictly increasing positions, from x[0] to x[n - 1]); d < n.
SelectionModel make_union_model(const double* x, std::size_t n, const double* grid, std::size_t u,
                                std::uint64_t d, double ridge, double eps,
                                std::optional<std::string_view> normalize);

// True when every position of x (n, increasing) is also one of grid (u,
// increasing).
bool contains_all(const double* grid, std::size_t u, const double* x, std::size_t n);

}  // namespace tarnwold
