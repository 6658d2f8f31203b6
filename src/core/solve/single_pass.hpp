// The single-pass smoother of a batch: the penalty band of the caller's grid
// and one weighted Whittaker solve per series.
#pragma once

#include "solve/smoothing.hpp"

namespace tarnwold {

// Writes the fits, (S, T) row-major, every element. The caller validates
// first: x holds T >= 1 strictly increasing positions, d <= T, and the
// base weights have the shape of the observations.
template <typename T>
void smooth_single_pass(const T* x, const Smoothing<T>& call, T* destination);

}  // namespace tarnwold
