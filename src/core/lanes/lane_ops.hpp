// The lane operations of the kernels: what lane_kernel_body.hpp asks of a
// vector, on top of the operation set Ops that each instruction-set
// specific translation unit defines for itself, inside an anonymous
// namespace. Ops provides:
//   T      the element type,
//   V, M   a GCC vector of `width` T and the integer vector of the same shape
//          that comparisons yield (all bits set where true),
//   width  the lane count,
//   sqrt   the correctly rounded lane-wise square root,
//   broadcast  a vector with x in every lane (a move, no arithmetic, so
//          that every bit of x, NaN payloads included, arrives unchanged),
// and may provide a cheaper form of negative_zero and a compress instruction.
// A unit whose V is no GCC vector specialises LaneOps for it (the one-lane
// kernels).
#pragma once

#include <cstddef>

namespace tarnwold {

template <class Ops>
struct LaneOps {
    using T = typename Ops::T;
    using V = typename Ops::V;
    using M = typename Ops::M;
    static constexpr std::size_t width = Ops::width;

    static V load(const T* p) {
        V v;
        __builtin_memcpy(&v, p, sizeof(V));
        return v;
    }
    static void store(T* p, V v) { __builtin_memcpy(p, &v, sizeof(V)); }
    static V broadcast(T x) { return Ops::broadcast(x); }
    // The scalar floor rule lane by lane: the floor where v is NaN or below it.
    static V floored(V v, V floor) { return ((v != v) | (v < floor)) ? floor : v; }
    static M finite(V v) { return (v - v) == V{}; }
    // An instruction set may have a cheaper test of its own (see the SSE2
    // doubles); both tell -0 by its bits.
    static M negative_zero(V v) {
        if constexpr (requires { Ops::negative_zero(v); }) {
            return Ops::negative_zero(v);
        } else {
            return reinterpret_cast<M>(v) == reinterpret_cast<M>(broadcast(T(-0.0)));
        }
    }
    static V magnitude(V v) {
        return reinterpret_cast<V>(reinterpret_cast<M>(v) & ~reinterpret_cast<M>(broadcast(T(-0.0))));
    }
    static V larger(V a, V b) { return (a < b) ? b : a; }  // std::max(a, b)
    // Whether the instruction set has mask registers (AVX-512, which also
    // has 32 vector registers where the others have 16).
    static constexpr bool mask_registers = [] {
        if constexpr (requires { Ops::mask_registers; }) {
            return Ops::mask_registers;
        } else {
            return false;
        }
    }();
    // counter + 1 in the lanes where mask is set. Subtracting the mask
    // (all ones there) is one instruction where comparisons give vectors;
    // an instruction set with mask registers adds under the mask instead
    // of first spreading the mask into a vector.
    static M count_where(M counter, M mask) {
        if constexpr (mask_registers) {
            return mask ? counter + 1 : counter;
        } else {
            return counter - mask;
        }
    }
    // The lanes of v and of u where the mask is set, packed in lane order
    // at the front of v_out and u_out; returns how many. Up to `width`
    // values are written to each: an instruction set may store whole
    // vectors.
    static std::size_t compress(V v, V u, M mask, T* v_out, T* u_out) {
        if constexpr (requires { Ops::compress(v, u, mask, v_out, u_out); }) {
            return Ops::compress(v, u, mask, v_out, u_out);
        } else {
            std::size_t count = 0;
            for (std::size_t l = 0; l < width; ++l) {
                v_out[count] = v[l];
                u_out[count] = u[l];
                count += mask[l] != 0 ? 1 : 0;
            }
            return count;
        }
    }
};

}  // namespace tarnwold
