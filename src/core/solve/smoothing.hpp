// What both smoothers take from a call besides the grid: the series, their
// base weights, the solve's parameters and how to run it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/series_matrix.hpp"
#include "lanes/kernel_choice.hpp"

namespace tarnwold {

template <typename T>
struct Smoothing {
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

}  // namespace tarnwold
