// Order statistics of finite, non-negative values by radix selection.
//
// For such values the IEEE bit patterns, read as unsigned integers, are in
// the same order as the values, so a few branch-free histogram passes over
// the bit patterns narrow the search to a handful of candidates. The result
// is the order statistic itself, identical to what any exact selection
// (std::nth_element, a full sort) gives.
#pragma once

#include <cstddef>

namespace tarnwold {

// The value of rank `rank` (0-based, ascending) among values[0..count), and,
// when below is not null, the value of rank `rank` - 1 (rank >= 1 then).
// The values must be finite and not negative (+0 allowed, -0 not); they are
// reordered and partly overwritten.
template <typename T>
T select_rank(T* values, std::size_t count, std::size_t rank, T* below);

}  // namespace tarnwold
