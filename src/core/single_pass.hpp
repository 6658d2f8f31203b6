// The single-pass smoother of a batch: the penalty band of the caller's grid
// and one weighted Whittaker solve per series.
//
// The caller validates first: at least one position, strictly increasing,
// d at most their count, and the shapes of the matrices.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "kernel_choice.hpp"
#include "series_matrix.hpp"

namespace tarnwold {

template <typename T>
struct SinglePassSmoothing {
    const T* x;                            // y.cols positions
    StridedMatrix<T> y;                    // (S, T) observations, NaN/inf = missing
    const StridedMatrix<T>* base_weights;  // (S, T), or nullptr for weight 1
    T lam;
    std::uint64_t d;
    T ridge;
    std::optional<std::string_view> normalize;  // none: the positions as they are
    T eps;
    bool parallel;
    Kernel kernel;  // the module's choice, active_kernel()
};

// Writes the fits, (S, T) row-major, every element.
template <typename T>
void smooth_single_pass(const SinglePassSmoothing<T>& problem, T* destination);

}  // namespace tarnwold
