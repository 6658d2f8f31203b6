// Merging of near-duplicate sampling positions.
//
// Adjacent positions whose spacing is at most a tolerance form one group; the
// robust smoother runs on one position per group and its results are copied
// back to every member. Sums are accumulated in double in both precisions and
// rounded once to the working precision.
#pragma once

#include <cstddef>
#include <vector>

#include "base/series_matrix.hpp"

namespace tarnwold {

// Input positions [start, end) that share one solve-grid position.
struct PositionGroup {
    std::size_t start;
    std::size_t end;
};

template <typename T>
struct MergedGrid {
    std::vector<PositionGroup> groups;
    std::vector<T> positions;  // one per group: the mean of its members
};

// Groups chain: each position is compared with its predecessor, so a group
// may be wider than tol. Called with tol > 0 and strictly increasing x.
template <typename T>
MergedGrid<T> merge_positions(const T* x, std::size_t n, T tol);

// Every position its own group, positions a copy of x.
template <typename T>
MergedGrid<T> identity_grouping(const T* x, std::size_t n);

template <typename T>
struct MergedSeries {
    SeriesMatrix<T> y;        // (S, Tm) base-weighted means of usable members
    SeriesMatrix<T> weights;  // (S, Tm) sums of the usable members' weights
};

// Members take part when their observation is finite and their base weight is
// finite and > 0; a group with none gets value 0 and weight 0.
template <typename T>
MergedSeries<T> merge_observations(const StridedMatrix<T>& y, const SeriesMatrix<T>& base_weights,
                                   const std::vector<PositionGroup>& groups);

// Every member gets its group's fit; the group's total weight is shared in
// proportion to the members' base weights: (base / merged_weight) * total,
// and 0 where the group had no usable member. Writes every element of
// fits_out and, unless it is nullptr, of weights_out ((S, T) each).
template <typename T>
void expand_to_grid(const SeriesMatrix<T>& fits, const SeriesMatrix<T>& total_weights,
                    const SeriesMatrix<T>& merged_weights, const SeriesMatrix<T>& base_weights,
                    const std::vector<PositionGroup>& groups, T* fits_out, T* weights_out);

}  // namespace tarnwold
