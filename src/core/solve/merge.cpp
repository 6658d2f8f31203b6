#include "solve/merge.hpp"

#include "base/fault.hpp"
#include "base/working_input.hpp"

namespace tarnwold {

namespace {

// The groups must tile [0, columns); anything else is a caller's bug.
void check_groups(const std::vector<PositionGroup>& groups, std::size_t columns) {
    std::size_t expected_start = 0;
    for (const PositionGroup& group : groups) {
        if (group.start != expected_start || group.end <= group.start) {
            throw InternalFault("position groups do not tile the grid");
        }
        expected_start = group.end;
    }
    if (expected_start != columns) {
        throw InternalFault("position groups do not tile the grid");
    }
}

}  // namespace

template <typename T>
MergedGrid<T> merge_positions(const T* x, std::size_t n, T tol) {
    MergedGrid<T> merged;
    std::size_t start = 0;
    while (start < n) {
        std::size_t end = start + 1;
        // Compared with the predecessor, not the group's first member, so a
        // run of close positions chains into one group.
        while (end < n && x[end] - x[end - 1] <= tol) {
            ++end;
        }
        // Summed in double from +0, so a single member comes back exactly
        // (a -0 as +0) and float groups are rounded once, at the end.
        double sum = 0.0;
        for (std::size_t i = start; i < end; ++i) {
            sum += static_cast<double>(x[i]);
        }
        merged.groups.push_back({start, end});
        merged.positions.push_back(static_cast<T>(sum / static_cast<double>(end - start)));
        start = end;
    }
    return merged;
}

template <typename T>
MergedGrid<T> identity_grouping(const T* x, std::size_t n) {
    MergedGrid<T> merged;
    merged.groups.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        merged.groups.push_back({i, i + 1});
    }
    merged.positions.assign(x, x + n);
    return merged;
}

template <typename T>
MergedSeries<T> merge_observations(const StridedMatrix<T>& y, const SeriesMatrix<T>& base_weights,
                                   const std::vector<PositionGroup>& groups) {
    if (base_weights.rows != y.rows || base_weights.cols != y.cols) {
        throw InternalFault("base weights do not match the observations");
    }
    check_groups(groups, y.cols);
    MergedSeries<T> merged{SeriesMatrix<T>(y.rows, groups.size()), SeriesMatrix<T>(y.rows, groups.size())};
    for (std::size_t s = 0; s < y.rows; ++s) {
        const T* base = base_weights.row(s);
        for (std::size_t g = 0; g < groups.size(); ++g) {
            double sw = 0.0;
            double swy = 0.0;
            for (std::size_t i = groups[g].start; i < groups[g].end; ++i) {
                const double value = static_cast<double>(y.at(s, i));
                const double weight = static_cast<double>(base[i]);
                // Negative, NaN and infinite weights would make the mean
                // meaningless; such members simply stay out of it.
                if (usable(value, weight) && observed(weight)) {
                    sw = sw + weight;
                    swy = swy + value * weight;
                }
            }
            if (sw > 0.0) {
                merged.y.row(s)[g] = static_cast<T>(swy / sw);
                merged.weights.row(s)[g] = static_cast<T>(sw);
            }
        }
    }
    return merged;
}

template <typename T>
void expand_to_grid(const SeriesMatrix<T>& fits, const SeriesMatrix<T>& total_weights,
                    const SeriesMatrix<T>& merged_weights, const SeriesMatrix<T>& base_weights,
                    const std::vector<PositionGroup>& groups, T* fits_out, T* weights_out) {
    const std::size_t rows = base_weights.rows;
    const std::size_t columns = base_weights.cols;
    for (const SeriesMatrix<T>* merged : {&fits, &total_weights, &merged_weights}) {
        if (merged->rows != rows || merged->cols != groups.size()) {
            throw InternalFault("merged results do not match the groups");
        }
    }
    check_groups(groups, columns);
    for (std::size_t s = 0; s < rows; ++s) {
        const T* base = base_weights.row(s);
        T* fit_row = fits_out + s * columns;
        T* weight_row = weights_out != nullptr ? weights_out + s * columns : nullptr;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            const T fit = fits.row(s)[g];
            const T merged_weight = merged_weights.row(s)[g];
            const T total = total_weights.row(s)[g];
            for (std::size_t i = groups[g].start; i < groups[g].end; ++i) {
                fit_row[i] = fit;
                // Dividing first keeps a lone member's share exact: w / w is
                // 1, so its weight is the total weight itself.
                if (weight_row != nullptr) {
                    weight_row[i] = merged_weight > T(0) ? (base[i] / merged_weight) * total : T(0);
                }
            }
        }
    }
}

template MergedGrid<float> merge_positions<float>(const float*, std::size_t, float);
template MergedGrid<double> merge_positions<double>(const double*, std::size_t, double);
template MergedGrid<float> identity_grouping<float>(const float*, std::size_t);
template MergedGrid<double> identity_grouping<double>(const double*, std::size_t);
template MergedSeries<float> merge_observations<float>(const StridedMatrix<float>&,
                                                       const SeriesMatrix<float>&,
                                                       const std::vector<PositionGroup>&);
template MergedSeries<double> merge_observations<double>(const StridedMatrix<double>&,
                                                         const SeriesMatrix<double>&,
                                                         const std::vector<PositionGroup>&);
template void expand_to_grid<float>(const SeriesMatrix<float>&, const SeriesMatrix<float>&,
                                    const SeriesMatrix<float>&, const SeriesMatrix<float>&,
                                    const std::vector<PositionGroup>&, float*, float*);
template void expand_to_grid<double>(const SeriesMatrix<double>&, const SeriesMatrix<double>&,
                                     const SeriesMatrix<double>&, const SeriesMatrix<double>&,
                                     const std::vector<PositionGroup>&, double*, double*);

}  // namespace tarnwold
