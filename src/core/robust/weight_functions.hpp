// The six weight functions of the robust smoother: the scalar reference,
// robust_weight, and beside it its lane form, weight_lanes, which the
// vector kernels run. Change one, change the other: the C++ kernel tests
// compare them value by value on special residuals.
//
// Each function is evaluated in the stated order of operations in the
// working precision; max(v, 1e-12) is v when v > 1e-12, else 1e-12 (NaN
// included). The functions with one constant read only t2; Hampel reads all
// three as its breakpoints a, b, c.
//
// Internal linkage throughout: the lane kernels include this header in
// units compiled for wider instruction sets, and no copy of theirs may stand
// in for the baseline one at link time.
#pragma once

#include <cmath>
#include <cstddef>

#include "base/decimal.hpp"
#include "robust/robust.hpp"

namespace tarnwold {

// Weight of one standardised residual u = r / s.
template <typename T>
static T robust_weight(Weighting weighting, const TuningTriple<T>& tuning, T u) {
    const T tiny = decimal<T>(1e-12f, 1e-12);
    const auto above_tiny = [&](T v) { return v > tiny ? v : tiny; };
    const T a = std::fabs(u);
    const T c = tuning.t2;
    switch (weighting) {
        case Weighting::Tukey: {
            // Written so that t >= 1 and NaN t both give 0.
            const T t = a / c;
            if (t < T(1)) {
                const T v = T(1) - t * t;
                return v * v;
            }
            return T(0);
        }
        case Weighting::Huber:
            return a <= c ? T(1) : c / above_tiny(a);
        case Weighting::Cauchy: {
            const T t = u / c;
            return T(1) / (t * t + T(1));
        }
        case Weighting::Welsch: {
            const T t = u / c;
            return std::exp((-t) * t);
        }
        case Weighting::Fair:
            return T(1) / (a / c + T(1));
        case Weighting::Hampel: {
            // The branches are tried in this order whatever the breakpoints;
            // a NaN a falls through all of them to 0.
            const T ha = tuning.t0;
            const T hb = tuning.t1;
            const T hc = tuning.t2;
            if (a <= ha) {
                return T(1);
            }
            if (a <= hb) {
                return ha / above_tiny(a);
            }
            if (a <= hc) {
                return (ha * (hc - a)) / (above_tiny(hc - hb) * above_tiny(a));
            }
            return T(0);
        }
    }
    unknown_weighting();
}

// robust_weight lane by lane on the vectors of the lane operations O
// (lane_ops.hpp): each branch value is computed for every lane and the
// first branch that holds selects it, which gives what the branches give
// one value at a time, NaN included.
// Inlined into the loops of the reweighting, which then choose the
// weighting once instead of calling through it for every vector.
template <class O>
[[gnu::always_inline]] static inline typename O::V weight_lanes(Weighting weighting,
                                                                const TuningTriple<typename O::T>& tuning,
                                                                typename O::V u) {
    using T = typename O::T;
    using V = typename O::V;
    const V one = O::broadcast(T(1));
    const V zero{};
    const V tiny = O::broadcast(decimal<T>(1e-12f, 1e-12));
    const V c = O::broadcast(tuning.t2);
    const V a = O::magnitude(u);
    const auto above_tiny = [&](V v) { return (v > tiny) ? v : tiny; };
    switch (weighting) {
        case Weighting::Tukey: {
            const V t = a / c;
            const V v = one - t * t;
            return (t < one) ? v * v : zero;
        }
        case Weighting::Huber:
            return (a <= c) ? one : c / above_tiny(a);
        case Weighting::Cauchy: {
            const V t = u / c;
            return one / (t * t + one);
        }
        case Weighting::Welsch: {
            // exp is the library's, value by value, as in robust_weight.
            const V t = u / c;
            const V e = (-t) * t;
            V w;
            for (std::size_t l = 0; l < O::width; ++l) {
                if constexpr (sizeof(T) == 4) {
                    w[l] = __builtin_expf(e[l]);
                } else {
                    w[l] = __builtin_exp(e[l]);
                }
            }
            return w;
        }
        case Weighting::Fair:
            return one / (a / c + one);
        case Weighting::Hampel: {
            const V ha = O::broadcast(tuning.t0);
            const V hb = O::broadcast(tuning.t1);
            const V descending = ha / above_tiny(a);
            const V tapering = (ha * (c - a)) / (above_tiny(c - hb) * above_tiny(a));
            return (a <= ha) ? one : (a <= hb) ? descending : (a <= c) ? tapering : zero;
        }
    }
    unknown_weighting();
}

}  // namespace tarnwold
