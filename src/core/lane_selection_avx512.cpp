// Lane evaluation on 64-byte AVX-512 vectors: 8 doubles per vector.
// Compiled with -mavx512f -mavx512dq -mavx512vl; called only after the
// processor has been seen to support all three (kernel_choice.cpp).
#include <immintrin.h>

#include "lane_selection_body.hpp"

namespace tarnwold {
namespace {

struct F64 {
    using T = double;
    typedef double V __attribute__((vector_size(64)));
    typedef long long M __attribute__((vector_size(64)));
    static constexpr std::size_t width = 8;
    static V sqrt(V v) { return _mm512_mask_sqrt_pd(v, 0xFF, v); }
    static V broadcast(T x) { return _mm512_set1_pd(x); }
};

}  // namespace

constinit const SelectionKernelSet avx512_selection_kernels = selection_kernels_of<F64>();

}  // namespace tarnwold
