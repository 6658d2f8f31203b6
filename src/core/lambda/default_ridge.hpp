// The ridge a series is solved with when the caller gives none.
//
// A ridge makes the system positive definite whatever the weights, at a
// price: it pulls every value towards 0 in proportion to how little the data
// hold it, so beyond the last observation the fit bends towards 0 instead of
// continuing as the polynomial of degree d - 1 the penalty leaves free (with
// d = 2, lam 4 and 1000 positions beyond, a 1e-10 ridge collapses the
// straight line). A series with at least d observations pins that
// polynomial down and goes without one, provided it is observed at both ends
// of x: a long run of missing values at an end is solved as part of the
// system, whose condition grows with the run's length to the power 2d, and
// loses the polynomial to rounding without a ridge. The other series keep
// fallback_ridge, whose solution is then the smallest one that fits them.
//
// Series are solved in one group per ridge, their rows gathered; a series'
// results depend on nothing but its own data, so they are the same bits in
// any group.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "lambda/lambda_evaluation.hpp"

namespace tarnwold {

inline constexpr double fallback_ridge = 1e-10;

// The observations of series s: finite values of positive base weight.
std::size_t observation_count(const SeriesBatch& batch, std::size_t s);

// The series of a batch solved with one ridge; `rows` empty: all of them.
struct RidgeGroup {
    std::vector<std::size_t> rows;
    double ridge;
};

// One group with `ridge` when given; otherwise ridge 0 for the series with at
// least d observations (finite value, positive base weight), the first and
// last position among them, and fallback_ridge for the others, in one group
// when all series share their ridge.
std::vector<RidgeGroup> ridge_groups(const SeriesBatch& batch, std::uint64_t d, std::optional<double> ridge);

// A result with one row of row_bytes per series of the batch, or null.
struct SeriesRows {
    void* data;
    std::size_t row_bytes;
};

// Calls solve(group, rows, outputs) once per group: with the batch and the
// outputs themselves for a group of all series, otherwise with the group's
// rows gathered and outputs in scratch, then scattered into place.
// `outputs` holds the results' row pointers in the order of `results`.
using GroupSolve = std::function<void(const RidgeGroup&, const SeriesBatch&, const std::vector<void*>&)>;
void solve_in_groups(const std::vector<RidgeGroup>& groups, const SeriesBatch& batch,
                     const std::vector<SeriesRows>& results, const GroupSolve& solve);

}  // namespace tarnwold
