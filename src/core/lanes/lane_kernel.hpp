// The banded solve of many series at once, one series per SIMD lane.
//
// Every lane performs exactly the operations of the scalar solve, in its
// order, on its own values, so each lane's bits equal the scalar result.
// The kernels carry the factor with half-width d instead of the documented
// 2*d: the rows d+1 .. 2*d of the full-width factor hold only signed zeros
// whenever every value stays finite and every pivot positive, and the extra
// operations they take part in subtract those zeros before any regular
// update of the same value. Such a subtraction leaves every value unchanged
// except a -0, which it may turn into +0. A kernel therefore marks a lane as
// unverified when any of these fails: every factor value finite, every
// diagonal value > 0, no off-diagonal factor value -0 (a -0 numerator shows
// there, divided by a positive diagonal), no right-hand side value -0, every
// forward value finite and not -0, every solution value finite. An
// unverified lane must be solved again by the scalar reference; its values
// from the kernel mean nothing. With d = 0 there is no extra row and the
// only check is the single-precision acceptance test.
//
// This header is shared by the instruction-set specific translation units.
// It must stay free of inline functions and templates with code, so that no
// function compiled for a wider instruction set can be merged by the linker
// into code that runs on every x86-64 processor. The kernels' code is in
// lane_kernel_body.hpp; kernel_choice.hpp picks a set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "robust/robust.hpp"

namespace tarnwold {

// Rows to bring into the cache while a solve computes, a few cache lines at
// each position of its forward sweep: the solve is a long chain of divisions
// that leaves the memory system idle, while reading a block's rows and
// writing its results wait on memory.
struct PrefetchRows {
    const std::byte* const* rows = nullptr;  // `count` rows, or nullptr for none
    std::size_t count = 0;
    std::size_t bytes = 0;  // of each row
};

// Lane-interleaved buffers: element (i, lane) of a vector of n values lives
// at [i * width + lane]; the factor's element L(i, i - m), 0 <= m <= d, at
// [(i * (d + 1) + m) * width + lane]. All pointers refer to buffers of the
// caller; none needs any alignment.
template <typename T>
struct LaneSystem {
    const T* lam_band;  // (d + 1) * n values: lam * pb[j * n + i], computed by the caller
    std::size_t n;
    std::size_t d;
    T ridge;
    T eps;
    const T* w;                 // n * width weights
    const T* y;                 // n * width values, finite, 0 where the weight is not > 0
    T* factor;                  // n * (d + 1) * width: L, and the floored divisors in place of the diagonal
    T* z;                       // n * width solutions
    unsigned char* unverified;  // width flags, 1 where the lane needs the scalar solve
    unsigned char* factor_unverified;  // width flags, 1 where the factor alone fails its checks
    PrefetchRows upcoming{};           // read next, by the caller
    PrefetchRows destinations{};       // written with the solutions after the solve
};

// Series rows read into a block's lane layout with the single-pass working
// inputs of working_input.hpp, the base weight 1 without base weights. A
// row pointer is given for every lane of the block, the unused ones
// repeating a used row, whose values those lanes then carry.
//
// With base_lanes given, the block is read for the robust passes instead:
// the base weights go to base_lanes, and w and y are the first pass's
// inputs, w = base * (1 where usable at the base weight, else 0).
template <typename T>
struct LaneRead {
    std::size_t n;
    const std::byte* const* rows;   // observations, one row per lane
    std::ptrdiff_t step;            // bytes from one position to the next
    const std::byte* const* bases;  // base weights, one row per lane, or nullptr
    std::ptrdiff_t base_step;
    T* w;                     // n * width
    T* y;                     // n * width
    T* base_lanes = nullptr;  // n * width, or nullptr
    // The rows of `bases` hold the base weights themselves (merged series)
    // rather than the caller's weights, which count only where y is observed.
    bool full_bases = false;
};

// A block's solutions, lanes [0, lanes), each written to its row of n values.
template <typename T>
struct LaneWrite {
    std::size_t n;
    std::size_t lanes;
    const T* z;      // n * width
    T* const* rows;  // lanes destinations
};

// One robust reweighting of a block, every lane at once, with the values of
// the reference pass by pass: the mask (usable at this pass's weight), the
// residuals y - fit there, their scale (the exact MAD or the Huber scale)
// and the weighting's robust weights, which make the next pass's weights
// base * robust and its working values in place of this pass's. A lane
// with positions in use whose next weights would all be 0 keeps this
// pass's weights and values, as the reference keeps the robust weights.
template <typename T>
struct ReweighTask {
    std::size_t n;
    Weighting weighting;
    TuningTriple<T> tuning;
    ScaleEstimator scale;
    T eps;          // floor of the scales
    const T* base;  // n * width base weights
    const T* fit;   // n * width solutions of this pass
    T* w;           // n * width: this pass's weights, then the next pass's
    T* y;           // n * width: this pass's working values, then the next pass's
    T* magnitudes;  // n * width scratch
    T* squares;     // n * width scratch, read with the Huber scale only
    T* candidates;  // n * width scratch; after the scales, this pass's weights
    T* listed;      // 2 * (n + 1) * width scratch; after the scales, this pass's values
    T* compacted;   // n scratch
    T* scales;      // width scratch
};

// The kernels of one block shape in precision T, `width` lanes per block.
//
// `solve` factors and substitutes. `substitute` reuses a factor that `solve`
// left for the same weights and substitutes only, for series whose weights
// are bit for bit those of the factored ones: it neither writes the factor
// nor sets factor_unverified, and checks only the right-hand side, the
// forward and the solution values (and the float acceptance). In single
// precision, a lane whose solution fails the acceptance test of the float
// solve (a value above max(max|y|, 1) * 1e6) is marked unverified too,
// since its result comes from the double-precision re-solve.
template <typename T>
struct LaneBlockKernels {
    void (*solve)(const LaneSystem<T>&);
    void (*substitute)(const LaneSystem<T>&);
    void (*read)(const LaneRead<T>&);
    void (*write)(const LaneWrite<T>&);
    // nullptr in the one-lane kernels: a lone series runs the reference passes.
    void (*reweigh)(const ReweighTask<T>&);
    std::size_t width;
};

// The lane kernels of one instruction set in precision T.
template <typename T>
struct LaneKernels {
    // Several vectors side by side per block: independent chains of
    // divisions that keep the divider busy, for ranges of many series.
    LaneBlockKernels<T> wide;
    // One vector per block, for ranges of few series, which would leave most
    // lanes of a wide block unused.
    LaneBlockKernels<T> narrow;
};

// One instruction set's kernels in both precisions.
struct LaneKernelSet {
    LaneKernels<float> f32;
    LaneKernels<double> f64;
};

// 16-byte vectors: SSE2 on x86-64 (every such processor has it), the
// compiler's generic vectors elsewhere.
extern const LaneKernelSet baseline_lane_kernels;
// One lane, scalar instructions of the baseline set: for a lone series, where
// a wide block would mostly compute unused lanes.
extern const LaneKernelSet single_lane_kernels;
#if defined(__x86_64__)
extern const LaneKernelSet avx2_lane_kernels;    // 32-byte vectors
extern const LaneKernelSet avx512_lane_kernels;  // 64-byte vectors
#endif

}  // namespace tarnwold
