// Lane kernels on 32-byte AVX2 vectors: 4 doubles or 8 floats per vector.
// Compiled with -mavx2 alone; called only after the processor has been seen
// to support it (kernel_choice.cpp).
#include "lane_kernel.hpp"

#include <utility>

#include <immintrin.h>

namespace tarnwold {
namespace {

struct F64 {
    using T = double;
    typedef double V __attribute__((vector_size(32)));
    typedef long long M __attribute__((vector_size(32)));
    static constexpr std::size_t width = 4;
    static V sqrt(V v) { return _mm256_sqrt_pd(v); }
    static V broadcast(T x) { return _mm256_set1_pd(x); }
};

struct F32 {
    using T = float;
    typedef float V __attribute__((vector_size(32)));
    typedef int M __attribute__((vector_size(32)));
    static constexpr std::size_t width = 8;
    static V sqrt(V v) { return _mm256_sqrt_ps(v); }
    static V broadcast(T x) { return _mm256_set1_ps(x); }
};

#include "lane_kernel_body.inc"

}  // namespace

const LaneKernels avx2_lane_kernels{BlockKernels<F32, F64, wide_blocks>::table,
                                    BlockKernels<F32, F64, 1>::table,
                                    weigh_f32,
                                    weigh_f64,
                                    residuals_f32,
                                    residuals_f64};

}  // namespace tarnwold
