// How many workers the pool gets, as a pure function of the two environment
// texts and the processor count, so that the rule can be tested without
// touching the process environment.
#pragma once

#include <cstddef>

namespace tarnwold {

// rayon_num_threads and rayon_rs_num_cpus are the values of the variables
// RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS, nullptr when unset; hardware is
// the logical processor count (0 when unknown). A value counts only when the
// whole text is an unsigned 64-bit decimal integer with at most one leading
// '+'. A positive first value wins; a zero first value selects the default
// at once; otherwise a positive second value wins; the default is hardware,
// at least 1. The result is capped at 65535.
std::size_t pool_size_from(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                           std::size_t hardware);

}  // namespace tarnwold
