// Lane kernels on 64-byte AVX-512 vectors: 8 doubles or 16 floats per
// vector. Compiled with -mavx512f -mavx512dq -mavx512vl; called only after
// the processor has been seen to support all three (kernel_choice.cpp).
#include "lane_kernel.hpp"

#include <utility>

#include <immintrin.h>

namespace tarnwold {
namespace {

struct F64 {
    using T = double;
    typedef double V __attribute__((vector_size(64)));
    typedef long long M __attribute__((vector_size(64)));
    static constexpr std::size_t width = 8;
    // Masked form with every lane selected: same result, no undefined source.
    static V sqrt(V v) { return _mm512_mask_sqrt_pd(v, 0xFF, v); }
    static V broadcast(T x) { return _mm512_set1_pd(x); }
    static std::size_t compress_store(T* out, M keep, V v) {
        const __mmask8 lanes = _mm512_test_epi64_mask(keep, keep);
        _mm512_mask_compressstoreu_pd(out, lanes, v);
        return static_cast<std::size_t>(__builtin_popcount(lanes));
    }
};

struct F32 {
    using T = float;
    typedef float V __attribute__((vector_size(64)));
    typedef int M __attribute__((vector_size(64)));
    static constexpr std::size_t width = 16;
    static V sqrt(V v) { return _mm512_mask_sqrt_ps(v, 0xFFFF, v); }
    static V broadcast(T x) { return _mm512_set1_ps(x); }
    static std::size_t compress_store(T* out, M keep, V v) {
        const __m512i bits = reinterpret_cast<__m512i>(keep);
        const __mmask16 lanes = _mm512_test_epi32_mask(bits, bits);
        _mm512_mask_compressstoreu_ps(out, lanes, v);
        return static_cast<std::size_t>(__builtin_popcount(lanes));
    }
};

#include "lane_kernel_body.inc"

constexpr std::size_t blocks = 4;

void solve_f32(const LaneSystem<float>& system) { solve_by_order<F32, true, blocks>(system); }
void solve_f64(const LaneSystem<double>& system) { solve_by_order<F64, true, blocks>(system); }
void substitute_f32(const LaneSystem<float>& system) { solve_by_order<F32, false, blocks>(system); }
void substitute_f64(const LaneSystem<double>& system) { solve_by_order<F64, false, blocks>(system); }
void weigh_f32(const WeightTask<float>& task) { weigh<F32>(task); }
void weigh_f64(const WeightTask<double>& task) { weigh<F64>(task); }
void residuals_f32(const ResidualTask<float>& task) { residuals<F32>(task); }
void residuals_f64(const ResidualTask<double>& task) { residuals<F64>(task); }
void read_f32(const LaneRead<float>& read) { read_lanes<F32, blocks>(read); }
void read_f64(const LaneRead<double>& read) { read_lanes<F64, blocks>(read); }
void write_f32(const LaneWrite<float>& write) { write_lanes<F32, blocks>(write); }
void write_f64(const LaneWrite<double>& write) { write_lanes<F64, blocks>(write); }
void pass_f32(const LanePass<float>& pass) { read_pass_lanes<F32, blocks>(pass); }
void pass_f64(const LanePass<double>& pass) { read_pass_lanes<F64, blocks>(pass); }

}  // namespace

const LaneKernels avx512_lane_kernels{solve_f32, substitute_f32, blocks * F32::width,
                                       solve_f64, substitute_f64, blocks * F64::width,
                                       weigh_f32, weigh_f64, read_f32, read_f64, write_f32, write_f64,
                                       pass_f32, pass_f64, residuals_f32, residuals_f64};

}  // namespace tarnwold
