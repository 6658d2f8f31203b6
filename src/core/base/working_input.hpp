// The working inputs of a solve: one rule for every path that reads series.
//
// An observation y is observed when it is finite (NaN and +-inf mark it
// missing), and usable at weight w when it is observed and w > 0. A solve
// sees
//   the weight  w = the base weight where y is observed, else 0 (a robust
//               pass multiplies it by the robust weight),
//   the value   y where y is usable at w, else 0,
// so that a missing observation never reaches the arithmetic. Zero,
// negative and NaN base weights at observed positions stay as given.
//
// Each function is one template for a scalar and for a lane vector alike:
// on a float or double it is the scalar reference; on a vector of the lane
// kernels (lane_ops.hpp) the comparisons give lane masks and the selections
// pick lane by lane, with no arithmetic on the selected values, so every
// lane gets the scalar result. v - v is 0 exactly when v is finite.
//
// Internal linkage throughout: the lane kernels include this header in
// units compiled for wider instruction sets, and no copy of theirs may stand
// in for the baseline one at link time.
#pragma once

namespace tarnwold {

template <typename V>
static auto observed(V y) {
    return (y - y) == V{};
}

template <typename V>
static auto usable(V y, V w) {
    return observed(y) & (w > V{});
}

template <typename V>
static V working_weight(V y, V base) {
    return observed(y) ? base : V{};
}

template <typename V>
static V working_value(V y, V w) {
    return usable(y, w) ? y : V{};
}

}  // namespace tarnwold
