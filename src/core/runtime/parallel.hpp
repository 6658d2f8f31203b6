// The loop over series and the process-wide worker pool.
//
// for_each_series runs body(s) for every s in [0, S). With parallel set and
// S >= 2 the series are spread over a pool of worker threads by fork-join
// over contiguous ranges; the calling thread only waits. Otherwise they run
// in ascending order on the calling thread and the pool is not touched.
//
// body must write only the outputs of series s and read only shared,
// read-only data, so that results never depend on which thread ran a series.
// An exception thrown by body on a worker is carried back and rethrown on the
// calling thread once the whole loop has settled.
#pragma once

#include <cstddef>
#include <functional>

namespace tarnwold {

void for_each_series(std::size_t series_count, bool parallel, const std::function<void(std::size_t)>& body);

// The same loop handing out whole contiguous ranges: body(lo, hi) must do the
// work of the series lo, lo + 1, ..., hi - 1 in this order. A sequential loop
// is the single range [0, S); a parallel one calls body once for every range
// that is not split further. Lets a thread set up its scratch once per range.
// With a grain, the pool splits groups of that many series instead of single
// series, so that every range but the last is a multiple of the grain: a
// block of SIMD lanes is then never cut in two.
using RangeBody = std::function<void(std::size_t lo, std::size_t hi)>;
void for_each_series_range(std::size_t series_count, bool parallel, const RangeBody& body,
                           std::size_t grain = 1);

// The number of workers the pool has or will have when created: read once
// from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the processor count.
std::size_t worker_pool_size();

}  // namespace tarnwold
