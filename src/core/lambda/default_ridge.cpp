#include "lambda/default_ridge.hpp"

#include <cmath>
#include <cstring>

namespace tarnwold {
namespace {

bool observed(const SeriesBatch& batch, std::size_t s, std::size_t t) {
    const double* base = batch.base_row(s);
    return std::isfinite(batch.row(s)[t]) && (base == nullptr || base[t] > 0);
}

bool solvable_without_ridge(const SeriesBatch& batch, std::size_t s, std::uint64_t d) {
    const std::size_t n = batch.row_length;
    return observed(batch, s, 0) && observed(batch, s, n - 1) && observation_count(batch, s) >= d;
}

}  // namespace

std::size_t observation_count(const SeriesBatch& batch, std::size_t s) {
    std::size_t count = 0;
    for (std::size_t t = 0; t < batch.row_length; ++t) count += observed(batch, s, t) ? 1 : 0;
    return count;
}

std::vector<RidgeGroup> ridge_groups(const SeriesBatch& batch, std::uint64_t d, std::optional<double> ridge) {
    if (ridge) return {{{}, *ridge}};
    RidgeGroup without{{}, 0.0}, with{{}, fallback_ridge};
    for (std::size_t s = 0; s < batch.count; ++s) {
        (solvable_without_ridge(batch, s, d) ? without : with).rows.push_back(s);
    }
    if (with.rows.empty()) return {{{}, 0.0}};
    if (without.rows.empty()) return {{{}, fallback_ridge}};
    return {without, with};
}

void solve_in_groups(const std::vector<RidgeGroup>& groups, const SeriesBatch& batch,
                     const std::vector<SeriesRows>& results, const GroupSolve& solve) {
    for (const RidgeGroup& group : groups) {
        if (group.rows.empty()) {
            std::vector<void*> outputs;
            for (const SeriesRows& result : results) outputs.push_back(result.data);
            solve(group, batch, outputs);
            continue;
        }
        const std::size_t count = group.rows.size(), n = batch.row_length;
        std::vector<double> values(count * n), weights(batch.base_weights != nullptr ? count * n : 0);
        for (std::size_t k = 0; k < count; ++k) {
            std::memcpy(values.data() + k * n, batch.row(group.rows[k]), n * sizeof(double));
            if (!weights.empty()) {
                std::memcpy(weights.data() + k * n, batch.base_row(group.rows[k]), n * sizeof(double));
            }
        }
        std::vector<std::vector<unsigned char>> scratch;
        std::vector<void*> outputs;
        for (const SeriesRows& result : results) {
            scratch.emplace_back(result.data != nullptr ? count * result.row_bytes : 0);
            outputs.push_back(result.data != nullptr ? scratch.back().data() : nullptr);
        }
        solve(group,
              SeriesBatch{values.data(), weights.empty() ? nullptr : weights.data(), count, n, batch.source},
              outputs);
        for (std::size_t r = 0; r < results.size(); ++r) {
            if (results[r].data == nullptr) continue;
            const std::size_t bytes = results[r].row_bytes;
            for (std::size_t k = 0; k < count; ++k) {
                std::memcpy(static_cast<unsigned char*>(results[r].data) + group.rows[k] * bytes,
                            scratch[r].data() + k * bytes, bytes);
            }
        }
    }
}

}  // namespace tarnwold
