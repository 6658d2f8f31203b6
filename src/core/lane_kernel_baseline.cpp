// Lane kernels on 16-byte vectors, compiled for the baseline instruction set
// of the target (SSE2 on x86-64): 2 doubles or 4 floats per vector. Also the
// one-lane kernels: the same body on one-element vectors, which compile to
// scalar code with the half-width factor and its checks.
#include "lane_kernel.hpp"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace tarnwold {
namespace {

struct F64 {
    using T = double;
    typedef double V __attribute__((vector_size(16)));
    typedef long long M __attribute__((vector_size(16)));
    static constexpr std::size_t width = 2;
#if defined(__x86_64__)
    static V sqrt(V v) { return _mm_sqrt_pd(v); }
#else
    static V sqrt(V v) { return V{__builtin_sqrt(v[0]), __builtin_sqrt(v[1])}; }
#endif
};

struct F32 {
    using T = float;
    typedef float V __attribute__((vector_size(16)));
    typedef int M __attribute__((vector_size(16)));
    static constexpr std::size_t width = 4;
#if defined(__x86_64__)
    static V sqrt(V v) { return _mm_sqrt_ps(v); }
#else
    static V sqrt(V v) {
        return V{__builtin_sqrtf(v[0]), __builtin_sqrtf(v[1]), __builtin_sqrtf(v[2]),
                 __builtin_sqrtf(v[3])};
    }
#endif
};

// One value per vector: a single series without the cost of a wide block.
struct F64One {
    using T = double;
    typedef double V __attribute__((vector_size(8)));
    typedef long long M __attribute__((vector_size(8)));
    static constexpr std::size_t width = 1;
    static V sqrt(V v) { return V{__builtin_sqrt(v[0])}; }
};

struct F32One {
    using T = float;
    typedef float V __attribute__((vector_size(4)));
    typedef int M __attribute__((vector_size(4)));
    static constexpr std::size_t width = 1;
    static V sqrt(V v) { return V{__builtin_sqrtf(v[0])}; }
};

#include "lane_kernel_body.inc"

void solve_f32(const LaneSystem<float>& system) { solve_lanes<F32, true>(system); }
void solve_f64(const LaneSystem<double>& system) { solve_lanes<F64, true>(system); }
void substitute_f32(const LaneSystem<float>& system) { solve_lanes<F32, false>(system); }
void substitute_f64(const LaneSystem<double>& system) { solve_lanes<F64, false>(system); }
void weigh_f32(const WeightTask<float>& task) { weigh<F32>(task); }
void weigh_f64(const WeightTask<double>& task) { weigh<F64>(task); }
// A lone series pays for every loop step, so the common orders get their
// loops unrolled.
template <class Ops, bool Factor>
void solve_one(const LaneSystem<typename Ops::T>& system) {
    switch (system.d) {
        case 1:
            solve_lanes<Ops, Factor, 1>(system);
            return;
        case 2:
            solve_lanes<Ops, Factor, 2>(system);
            return;
        case 3:
            solve_lanes<Ops, Factor, 3>(system);
            return;
        default:
            solve_lanes<Ops, Factor>(system);
    }
}

void solve_one_f32(const LaneSystem<float>& system) { solve_one<F32One, true>(system); }
void solve_one_f64(const LaneSystem<double>& system) { solve_one<F64One, true>(system); }
void substitute_one_f32(const LaneSystem<float>& system) { solve_one<F32One, false>(system); }
void substitute_one_f64(const LaneSystem<double>& system) { solve_one<F64One, false>(system); }

}  // namespace

const LaneKernels baseline_lane_kernels{solve_f32, substitute_f32, F32::width,
                                       solve_f64, substitute_f64, F64::width,
                                       weigh_f32, weigh_f64};

const LaneKernels single_lane_kernels{solve_one_f32, substitute_one_f32, F32One::width,
                                      solve_one_f64, substitute_one_f64, F64One::width,
                                      weigh_f32, weigh_f64};

}  // namespace tarnwold
