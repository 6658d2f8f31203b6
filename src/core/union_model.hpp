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
//   discretisation's accuracy for larger d). Intervals outside x's range
//   keep weight 1; the fit there is the polynomial of degree d - 1 through
//   the last d fitted values, whatever their weight.
// Where the union is x itself every weight is exactly 1 and the model is
// make_selection_model's, bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "lambda_evaluation.hpp"

namespace tarnwold {

// An output position this share of x's mean spacing or closer to another
// point of the union is merged into it: points closer than that make the
// divided differences between them, and so the system, so ill-conditioned
// that the fit loses its digits (1e-5 of the spacing already costs about
// 1e-4 of the data's scale), while the fit moves by no more than its slope
// times 1e-4 spacings.
inline constexpr double merge_share = 1e-4;

// The union of x (n) and x_out (n_out), both strictly increasing, x_out's
// positions within merge_share of x's mean spacing of the nearer neighbour
// merged into it: for each union point the index of its x position (-1
// where it has none), and the union index of each x_out position.
struct UnionGrid {
    std::vector<double> positions;
    std::vector<std::int64_t> source;
    std::vector<std::size_t> output;
};

UnionGrid union_of(const double* x, std::size_t n, const double* x_out, std::size_t n_out);

// x: n strictly increasing positions, every one of them also in grid (u
// strictly increasing positions); d < n.
SelectionModel make_union_model(const double* x, std::size_t n, const double* grid, std::size_t u,
                                std::uint64_t d, double ridge, double eps,
                                std::optional<std::string_view> normalize);

// True when every position of x (n, increasing) is also one of grid (u,
// increasing).
bool contains_all(const double* grid, std::size_t u, const double* x, std::size_t n);

}  // namespace tarnwold
