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
// Each series carries its ridge (SeriesBatch::ridges), so series of both
// ridges are solved in one pass over the batch; a series' results depend on
// nothing but its own data and ridge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lambda/lambda_evaluation.hpp"

namespace tarnwold {

inline constexpr double fallback_ridge = 1e-10;

// The observations of series s: finite values of positive base weight.
std::size_t observation_count(const SeriesBatch& batch, std::size_t s);

// Ridge 0 for each series with at least d observations (finite value,
// positive base weight), the first and last position among them, and
// fallback_ridge for the others; found over the worker pool.
std::vector<double> default_ridges(const SeriesBatch& batch, std::uint64_t d, bool parallel);

}  // namespace tarnwold
