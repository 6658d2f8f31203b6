// Lane kernels on 16-byte vectors, compiled for the baseline instruction set
// of the target (SSE2 on x86-64): 2 doubles or 4 floats per vector. Also the
// one-lane kernels: the same body on one-element vectors, which compile to
// scalar code with the half-width factor and its checks.
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "lanes/lane_kernel_body.hpp"
#include "lanes/lane_selection_body.hpp"

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
    // SSE2 cannot compare 64-bit integers, so -0 is told by float
    // comparisons: a zero whose sign, moved onto 1, makes a negative number.
    static M negative_zero(V v) {
        const V signed_one = _mm_or_pd(_mm_and_pd(v, _mm_set1_pd(-0.0)), _mm_set1_pd(1.0));
        return reinterpret_cast<M>(
            _mm_and_pd(_mm_cmpeq_pd(v, _mm_setzero_pd()), _mm_cmplt_pd(signed_one, _mm_setzero_pd())));
    }
#else
    static V sqrt(V v) { return V{__builtin_sqrt(v[0]), __builtin_sqrt(v[1])}; }
    static V broadcast(T x) { return V{x, x}; }
#endif
};

struct F32 {
    using T = float;
    typedef float V __attribute__((vector_size(16)));
    typedef int M __attribute__((vector_size(16)));
    static constexpr std::size_t width = 4;
#if defined(__x86_64__)
    static V sqrt(V v) { return _mm_sqrt_ps(v); }
    static V broadcast(T x) { return _mm_set1_ps(x); }
#else
    static V sqrt(V v) {
        return V{__builtin_sqrtf(v[0]), __builtin_sqrtf(v[1]), __builtin_sqrtf(v[2]), __builtin_sqrtf(v[3])};
    }
    static V broadcast(T x) { return V{x, x, x, x}; }
#endif
};

// One lane as plain scalars: a value and a flag in place of the vectors and
// their masks, so that the compiler keeps them in registers (one-element
// GCC vectors pass through memory on every step of the solve's chains).
struct OneFlag {
    bool on;
    OneFlag operator|(OneFlag other) const { return {on || other.on}; }
    OneFlag operator&(OneFlag other) const { return {on && other.on}; }
    OneFlag& operator|=(OneFlag other) {
        on = on || other.on;
        return *this;
    }
    OneFlag operator~() const { return {!on}; }
    explicit operator bool() const { return on; }
    bool operator[](std::size_t) const { return on; }
};

template <typename E>
struct OneValue {
    E v;
    OneValue operator+(OneValue o) const { return {v + o.v}; }
    OneValue operator-(OneValue o) const { return {v - o.v}; }
    OneValue operator*(OneValue o) const { return {v * o.v}; }
    OneValue operator/(OneValue o) const { return {v / o.v}; }
    OneFlag operator==(OneValue o) const { return {v == o.v}; }
    OneFlag operator!=(OneValue o) const { return {v != o.v}; }
    OneFlag operator<(OneValue o) const { return {v < o.v}; }
    OneFlag operator<=(OneValue o) const { return {v <= o.v}; }
    OneFlag operator>(OneValue o) const { return {v > o.v}; }
};

template <typename E>
struct One {
    using T = E;
    using V = OneValue<E>;
    using M = OneFlag;
    static constexpr std::size_t width = 1;
    static V sqrt(V x) {
        if constexpr (sizeof(E) == 4) {
            return {__builtin_sqrtf(x.v)};
        } else {
            return {__builtin_sqrt(x.v)};
        }
    }
};

using F64One = One<double>;
using F32One = One<float>;

}  // namespace

// The lane operations on one plain value, each the scalar form of the
// vector one (a NaN is neither finite nor -0; -0 is told by its bits).
template <typename E>
struct LaneOps<One<E>> {
    using T = E;
    using V = OneValue<E>;
    using M = OneFlag;
    static constexpr std::size_t width = 1;
    static constexpr bool mask_registers = false;

    static V load(const T* p) { return {*p}; }
    static void store(T* p, V x) { *p = x.v; }
    static V broadcast(T x) { return {x}; }
    // A branch, not a select: the floor almost never applies, and a
    // predicted branch keeps the comparison off the solve's chain of
    // dependent operations, which is all a lone series waits on.
    static V floored(V x, V floor) {
        if (__builtin_expect(x.v != x.v || x.v < floor.v, 0)) {
            return floor;
        }
        return x;
    }
    static M finite(V x) { return {x.v - x.v == T(0)}; }
    static M negative_zero(V x) { return {x.v == T(0) && __builtin_signbit(x.v)}; }
    static V magnitude(V x) {
        if constexpr (sizeof(E) == 4) {
            return {__builtin_fabsf(x.v)};
        } else {
            return {__builtin_fabs(x.v)};
        }
    }
    static V larger(V a, V b) { return {a.v < b.v ? b.v : a.v}; }
};

constinit const LaneKernelSet baseline_lane_kernels{lane_kernels_of<F32>(), lane_kernels_of<F64>()};
constinit const SelectionKernelSet baseline_selection_kernels = selection_kernels_of<F64>();

constinit const LaneKernelSet single_lane_kernels{lane_kernels_of<F32One>(), lane_kernels_of<F64One>()};

}  // namespace tarnwold
