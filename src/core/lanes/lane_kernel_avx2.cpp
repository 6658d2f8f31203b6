// Lane kernels on 32-byte AVX2 vectors: 4 doubles or 8 floats per vector.
// Compiled with -mavx2 alone; called only after the processor has been seen
// to support it (kernel_choice.cpp).
#include <immintrin.h>

#include "lanes/lane_kernel_body.hpp"
#include "lanes/lane_selection_body.hpp"

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

}  // namespace

constinit const LaneKernelSet avx2_lane_kernels{lane_kernels_of<F32>(), lane_kernels_of<F64>()};
constinit const SelectionKernelSet avx2_selection_kernels = selection_kernels_of<F64>();

}  // namespace tarnwold
