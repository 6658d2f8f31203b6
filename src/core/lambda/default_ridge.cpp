#include "lambda/default_ridge.hpp"

#include <cmath>

#include "runtime/parallel.hpp"

namespace tarnwold {
namespace {

bool observed(const SeriesBatch& batch, std::size_t s, std::size_t t) {
    const double* base = batch.base_row(s);
    return std::isfinite(batch.row(s)[t]) && (base == nullptr || base[t] > 0);
}

bool solvable_without_ridge(const SeriesBatch& batch, std::size_t s, std::uint64_t d) {
    const std::size_t n = batch.row_length;
    if (!observed(batch, s, 0) || !observed(batch, s, n - 1)) return false;
    // Counted only until d are found: the common series holds them at once.
    std::uint64_t found = 0;
    for (std::size_t t = 0; t < n && found < d; ++t) found += observed(batch, s, t) ? 1 : 0;
    return found >= d;
}

}  // namespace

std::size_t observation_count(const SeriesBatch& batch, std::size_t s) {
    std::size_t count = 0;
    for (std::size_t t = 0; t < batch.row_length; ++t) count += observed(batch, s, t) ? 1 : 0;
    return count;
}

std::vector<double> default_ridges(const SeriesBatch& batch, std::uint64_t d, bool parallel) {
    std::vector<double> ridges(batch.count);
    for_each_series_range(batch.count, parallel, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t s = lo; s < hi; ++s) {
            ridges[s] = solvable_without_ridge(batch, s, d) ? 0.0 : fallback_ridge;
        }
    });
    return ridges;
}

}  // namespace tarnwold
