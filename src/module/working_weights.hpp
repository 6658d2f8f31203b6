// The working base weights of a call: the caller's weights (or 1 without
// any), forced to 0 wherever the observation is missing (NaN or infinite).
// Zero, negative and NaN weights at finite observations are kept as given.
#pragma once

#include <optional>

#include "irls.hpp"
#include "series_matrix.hpp"

namespace tarnwold::py {

template <typename T>
SeriesMatrix<T> working_weights(const StridedMatrix<T>& y, const std::optional<StridedMatrix<T>>& base) {
    SeriesMatrix<T> weights(y.rows, y.cols);
    for (std::size_t s = 0; s < y.rows; ++s) {
        form_base_row(y, base ? &*base : nullptr, s, weights.row(s));
    }
    return weights;
}

}  // namespace tarnwold::py
