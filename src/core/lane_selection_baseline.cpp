// Lane evaluation on 16-byte vectors of the target's baseline instruction
// set (SSE2 on x86-64): 2 doubles per vector.
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "lane_selection_body.hpp"

namespace tarnwold {
namespace {

struct F64 {
    using T = double;
    typedef double V __attribute__((vector_size(16)));
    typedef long long M __attribute__((vector_size(16)));
    static constexpr std::size_t width = 2;
#if defined(__x86_64__)
    static V sqrt(V v) { return _mm_sqrt_pd(v); }
    static V broadcast(T x) { return _mm_set1_pd(x); }
#else
    static V sqrt(V v) { return V{__builtin_sqrt(v[0]), __builtin_sqrt(v[1])}; }
    static V broadcast(T x) { return V{x, x}; }
#endif
};

}  // namespace

constinit const SelectionKernelSet baseline_selection_kernels = selection_kernels_of<F64>();

}  // namespace tarnwold
