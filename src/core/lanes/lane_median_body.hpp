// The MAD scales of a block of lanes: the exact middle order statistics of
// each lane's residual magnitudes, part of the lane kernels' code (see
// lane_kernel_body.hpp, which includes this header; nothing here has
// external linkage).
//
// Every lane's scale is the scalar reference's bit for bit: the order
// statistics of finite non-negative values do not depend on how they are
// found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "lanes/lane_kernel.hpp"
#include "lanes/lane_ops.hpp"
#include "robust/robust.hpp"

namespace tarnwold {

// Up to this many positions the MAD orders each lane's magnitudes with
// sorting networks across the lanes: their comparisons serve a whole block
// at once and take no branch on the data, and measured on AVX-512 they beat
// one radix selection per lane up to about a thousand positions (a year of
// daily values included); longer series select theirs one lane at a time by
// radix selection.
constexpr std::size_t network_positions = 512;

// From this many positions on, the network sorts a sample and then only
// the values near the middle instead of all of them (see sampled_scales).
constexpr std::size_t sampled_positions = 160;
// The sample: sample_size positions spread evenly over the series (the
// j-th at (2j + 1) n / (2 sample_size)). The middle of a lane lies within
// sample_margin sample ranks of where the sample puts it unless the sample
// is off by more than two and a half of its standard errors (a lane in
// about eighty); such a lane falls back to the radix selection.
constexpr std::size_t sample_size = 64;
constexpr std::size_t sample_margin = 10;
// The bracket is cut every `slice` sample ranks: one pass counts each
// lane's values below every cut, and only the values between the two cuts
// around the lane's middle ranks (about a quarter of the bracket) are
// gathered and sorted.
constexpr std::size_t slice = 5;
constexpr std::size_t cuts = 2 * sample_margin / slice + 1;

// Sorts the n vectors at values[i * stride] lane by lane, ascending, with
// Batcher's merge exchange (Knuth's Algorithm 5.2.2M), which sorts any n.
// The values must not be NaN; equal values carry equal bits here (no -0),
// so the sorted lanes are the order statistics bit for bit.
template <class O, std::size_t Blocks>
void sort_lanes(typename O::T* values, std::size_t n, std::size_t stride) {
    using V = typename O::V;
    constexpr std::size_t VW = O::width;
    std::size_t top = 1;
    while (top < n) {
        top *= 2;
    }
    for (std::size_t p = top / 2; p > 0; p /= 2) {
        std::size_t q = top / 2;
        std::size_t r = 0;
        std::size_t d = p;
        for (;;) {
            // Every i < n - d whose bit p equals r is compared with i + d.
            for (std::size_t start = r; start + d < n; start += 2 * p) {
                const std::size_t end = start + p < n - d ? start + p : n - d;
                for (std::size_t i = start; i < end; ++i) {
                    typename O::T* const a = values + i * stride;
                    typename O::T* const b = values + (i + d) * stride;
#pragma GCC unroll 4
                    for (std::size_t k = 0; k < Blocks; ++k) {
                        const V x = O::load(a + k * VW);
                        const V y = O::load(b + k * VW);
                        O::store(a + k * VW, (y < x) ? y : x);
                        O::store(b + k * VW, (x < y) ? y : x);
                    }
                }
            }
            if (q == p) {
                break;
            }
            d = q - p;
            q /= 2;
            r = p;
        }
    }
}

// The magnitudes of a lane: those of its usable residuals, and +inf for
// the other positions. The count of usable ones is an exact small integer.
template <class O>
std::size_t lane_count(const typename O::V* counts, std::size_t lane) {
    return static_cast<std::size_t>(counts[lane / O::width][lane % O::width]);
}

// The reference selection for one lane: its finite magnitudes gathered,
// every one written and only those kept, with no branch on the data.
template <class O, std::size_t Blocks>
typename O::T radix_scale(const ReweighTask<typename O::T>& task, std::size_t lane) {
    using T = typename O::T;
    constexpr std::size_t W = O::width * Blocks;
    std::size_t count = 0;
    for (std::size_t t = 0; t < task.n; ++t) {
        const T a = task.magnitudes[t * W + lane];
        task.compacted[count] = a;
        count += a < __builtin_inf() ? 1 : 0;
    }
    return mad_of_magnitudes(task.compacted, count, task.eps);
}

// The scales from sorted lanes: rows[i * W + lane] holds the lane's values
// of ranks first + i, up to and including its middle ones.
template <class O, std::size_t Blocks>
typename O::T middle_scale(const typename O::T* rows, std::size_t first, std::size_t count, typename O::T eps,
                           std::size_t lane) {
    constexpr std::size_t W = O::width * Blocks;
    const std::size_t half = count / 2;
    const std::size_t below = half > first ? half - 1 : first;
    return mad_of_middle(rows[(half - first) * W + lane], rows[(below - first) * W + lane], count, eps);
}

// The middle of each lane from a sorted sample and the values near it.
// The sample brackets where each lane's middle should lie, cut into
// slices; one pass over the positions counts, lane by lane, the values
// below every cut, a second gathers those of the slices that hold the
// middle ranks, and one network sorts all lanes' gathered values at once.
// A lane whose bracket does not hold both middle ranks, or whose slices
// hold more than half of its values (many ties), is selected by radix
// selection instead, so the result is exact whatever the data.
template <class O, std::size_t Blocks>
void sampled_scales(const ReweighTask<typename O::T>& task, const typename O::V* counts) {
    using T = typename O::T;
    using V = typename O::V;
    using M = typename O::M;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    const std::size_t n = task.n;
    T* const rows = task.candidates;
    // A local copy: the compiler cannot tell whether the stores below change
    // the task, and would read the pointer again at every vector.
    const T* const magnitudes = task.magnitudes;

    for (std::size_t j = 0; j < sample_size; ++j) {
        const std::size_t t = (2 * j + 1) * n / (2 * sample_size);
        for (std::size_t b = 0; b < Blocks; ++b) {
            O::store(rows + j * W + b * VW, O::load(magnitudes + t * W + b * VW));
        }
    }
    sort_lanes<O, Blocks>(rows, sample_size, W);

    // The cuts of each lane: sample values, 0 below the sample and +inf
    // above it, so that they ascend.
    const T inf = std::numeric_limits<T>::infinity();
    V cut[Blocks][cuts];
    for (std::size_t lane = 0; lane < W; ++lane) {
        const auto guess = static_cast<std::ptrdiff_t>(lane_count<O>(counts, lane) / 2 * sample_size / n);
        for (std::size_t c = 0; c < cuts; ++c) {
            const std::ptrdiff_t rank = guess - static_cast<std::ptrdiff_t>(sample_margin - c * slice);
            cut[lane / VW][c][lane % VW] = rank < 0 ? T(0)
                                           : rank < static_cast<std::ptrdiff_t>(sample_size)
                                               ? rows[rank * W + lane]
                                               : inf;
        }
    }

    // The counts below every cut, all lanes at once.
    M below[Blocks][cuts]{};
    for (std::size_t b = 0; b < Blocks; ++b) {
        for (std::size_t t = 0; t < n; ++t) {
            const V a = O::load(magnitudes + t * W + b * VW);
#pragma GCC unroll 8
            for (std::size_t c = 0; c < cuts; ++c) {
                below[b][c] = O::count_where(below[b][c], M(a < cut[b][c]));
            }
        }
    }

    // Each lane's slices [low, high): those from the last cut at or below
    // its first middle rank to the first cut above its second.
    V low[Blocks];
    V high[Blocks];
    std::size_t under[W];
    bool bracketed[W];
    std::size_t sorted = 0;
    for (std::size_t lane = 0; lane < W; ++lane) {
        const std::size_t b = lane / VW;
        const std::size_t l = lane % VW;
        const std::size_t count = lane_count<O>(counts, lane);
        const std::size_t half = count / 2;
        const std::size_t first_needed = count % 2 == 0 && half > 0 ? half - 1 : half;
        std::size_t first = cuts;
        std::size_t last = cuts;
        for (std::size_t c = 0; c < cuts; ++c) {
            const auto at = static_cast<std::size_t>(below[b][c][l]);
            first = at <= first_needed ? c : first;
            last = last == cuts && at > half ? c : last;
        }
        const std::size_t from = first < cuts ? static_cast<std::size_t>(below[b][first][l]) : 0;
        const std::size_t to = last < cuts ? static_cast<std::size_t>(below[b][last][l]) : 0;
        bracketed[lane] = count > 0 && first < cuts && last < cuts && to - from <= n / 2;
        under[lane] = from;
        low[b][l] = bracketed[lane] ? cut[b][first][l] : T(0);
        high[b][l] = bracketed[lane] ? cut[b][last][l] : T(0);
        sorted = bracketed[lane] && to - from > sorted ? to - from : sorted;
    }

    // One pass over the positions, all lanes at once, lists the values
    // inside their lane's slices with their lane numbers (no branch on the
    // data); each then goes to its lane's next free row.
    T* const values = task.listed;
    T* const owners = task.listed + (n + 1) * W;
    V numbers[Blocks];
    for (std::size_t b = 0; b < Blocks; ++b) {
        for (std::size_t l = 0; l < VW; ++l) {
            numbers[b][l] = static_cast<T>(b * VW + l);
        }
    }
    std::size_t listed = 0;
    for (std::size_t t = 0; t < n; ++t) {
#pragma GCC unroll 4
        for (std::size_t b = 0; b < Blocks; ++b) {
            const V a = O::load(magnitudes + t * W + b * VW);
            listed +=
                O::compress(a, numbers[b], M(low[b] <= a) & M(a < high[b]), values + listed, owners + listed);
        }
    }
    std::size_t kept[W]{};
    for (std::size_t i = 0; i < listed; ++i) {
        const auto lane = static_cast<std::size_t>(owners[i]);
        rows[kept[lane]++ * W + lane] = values[i];
    }

    // Rows past a lane's own values, up to the most any bracketed lane
    // kept, sort last as +inf.
    for (std::size_t lane = 0; lane < W; ++lane) {
        for (std::size_t i = kept[lane]; i < sorted; ++i) {
            rows[i * W + lane] = inf;
        }
    }
    sort_lanes<O, Blocks>(rows, sorted, W);
    for (std::size_t lane = 0; lane < W; ++lane) {
        const std::size_t count = lane_count<O>(counts, lane);
        task.scales[lane] = count == 0 ? task.eps
                            : bracketed[lane]
                                ? middle_scale<O, Blocks>(rows, under[lane], count, task.eps, lane)
                                : radix_scale<O, Blocks>(task, lane);
    }
}

// The MAD scale of every lane into task.scales, from the magnitudes and
// the counts of usable residuals (a vector per vector of the block).
template <class O, std::size_t Blocks>
void mad_scales(const ReweighTask<typename O::T>& task, const typename O::V* counts) {
    constexpr std::size_t W = O::width * Blocks;
    const std::size_t n = task.n;
    if (n >= sampled_positions && n <= network_positions) {
        sampled_scales<O, Blocks>(task, counts);
    } else if (n <= network_positions) {
        sort_lanes<O, Blocks>(task.magnitudes, n, W);
        for (std::size_t lane = 0; lane < W; ++lane) {
            const std::size_t count = lane_count<O>(counts, lane);
            task.scales[lane] =
                count == 0 ? task.eps : middle_scale<O, Blocks>(task.magnitudes, 0, count, task.eps, lane);
        }
    } else {
        for (std::size_t lane = 0; lane < W; ++lane) {
            task.scales[lane] = radix_scale<O, Blocks>(task, lane);
        }
    }
}

}  // namespace tarnwold
