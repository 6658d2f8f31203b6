// Lane kernels on 64-byte AVX-512 vectors: 8 doubles or 16 floats per
// vector. Compiled with -mavx512f -mavx512dq -mavx512vl; called only after
// the processor has been seen to support all three (kernel_choice.cpp).
#include <immintrin.h>

#include "lanes/lane_kernel_body.hpp"
#include "lanes/lane_selection_body.hpp"

namespace tarnwold {
namespace {

struct F64 {
    using T = double;
    typedef double V __attribute__((vector_size(64)));
    typedef long long M __attribute__((vector_size(64)));
    static constexpr std::size_t width = 8;
    static constexpr bool mask_registers = true;
    // Masked form with every lane selected: same result, no undefined source.
    static V sqrt(V v) { return _mm512_mask_sqrt_pd(v, 0xFF, v); }
    static V broadcast(T x) { return _mm512_set1_pd(x); }
    static std::size_t compress(V v, V u, M mask, T* v_out, T* u_out) {
        const __mmask8 selected = _mm512_movepi64_mask(mask);
        _mm512_storeu_pd(v_out, _mm512_maskz_compress_pd(selected, v));
        _mm512_storeu_pd(u_out, _mm512_maskz_compress_pd(selected, u));
        return static_cast<std::size_t>(__builtin_popcount(selected));
    }
};

struct F32 {
    using T = float;
    typedef float V __attribute__((vector_size(64)));
    typedef int M __attribute__((vector_size(64)));
    static constexpr std::size_t width = 16;
    static constexpr bool mask_registers = true;
    static V sqrt(V v) { return _mm512_mask_sqrt_ps(v, 0xFFFF, v); }
    static V broadcast(T x) { return _mm512_set1_ps(x); }
    static std::size_t compress(V v, V u, M mask, T* v_out, T* u_out) {
        const __mmask16 selected = _mm512_movepi32_mask(reinterpret_cast<__m512i>(mask));
        _mm512_storeu_ps(v_out, _mm512_maskz_compress_ps(selected, v));
        _mm512_storeu_ps(u_out, _mm512_maskz_compress_ps(selected, u));
        return static_cast<std::size_t>(__builtin_popcount(selected));
    }
};

}  // namespace

constinit const LaneKernelSet avx512_lane_kernels{lane_kernels_of<F32>(), lane_kernels_of<F64>()};
constinit const SelectionKernelSet avx512_selection_kernels = selection_kernels_of<F64>();

}  // namespace tarnwold
