// The code of the lane evaluation (lane_selection.hpp), written once for
// every instruction set. Each instruction-set specific unit includes it and
// instantiates it with an operation set local to that unit (lane_ops.hpp),
// so nothing here has external linkage.
//
// Only lane-wise IEEE +, -, *, /, sqrt and comparisons, no contraction: each
// lane rounds exactly like evaluate_series. Sums skip unobserved points by
// adding +0 in their place, which changes no sum: each starts at +0 and adds
// terms in order, so it is never -0, and x + 0 = x for every other x.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "lanes/lane_ops.hpp"
#include "lanes/lane_selection.hpp"

namespace tarnwold {

// The product of the pivots with its binary exponent taken out, as
// std::frexp does, by its bits. Right for a normal positive product only:
// `irregular` marks the lanes where the product was not (0, subnormal,
// infinite, NaN), whose product replay_pivots forms again.
template <class Ops>
void take_exponent(typename LaneOps<Ops>::V& product, typename LaneOps<Ops>::M& exponent,
                   typename LaneOps<Ops>::M& irregular) {
    using O = LaneOps<Ops>;
    using V = typename O::V;
    using M = typename O::M;
    constexpr long long field = 0x7ffLL << 52;
    constexpr long long half = 1022LL << 52;  // the exponent field of [0.5, 1)
    irregular |= ~((product >= O::broadcast(DBL_MIN)) & (product <= O::broadcast(DBL_MAX)));
    const M bits = reinterpret_cast<M>(product);
    exponent = exponent + (((bits & field) >> 52) - 1022);
    product = reinterpret_cast<V>((bits & ~field) | half);
}

// The product of one lane's stored pivots (the diagonal of the factor,
// element i at diagonal[i * stride]) in the one-series order, with
// std::frexp itself.
static void replay_pivots(const double* diagonal, std::size_t n, std::size_t stride, double& product,
                          std::int64_t& exponent) {
    product = 1;
    exponent = 0;
    for (std::size_t i = 0; i < n; ++i) {
        product = product * diagonal[i * stride];
        if (i % 4 == 3) {
            int taken = 0;
            product = __builtin_frexp(product, &taken);
            exponent = exponent + taken;
        }
    }
}

// Calls body with the reaches of point i into the band before and after it:
// compile-time constants where both are the full half-width FixedD (all
// but the first and the last FixedD points), so that the loops over the
// band unroll, plain counts elsewhere.
template <std::size_t FixedD, typename Body>
void with_reaches(std::size_t i, std::size_t n, std::size_t d, Body&& body) {
    if constexpr (FixedD != 0) {
        if (i >= FixedD && i + FixedD < n) {
            body(std::integral_constant<std::size_t, FixedD>{},
                 std::integral_constant<std::size_t, FixedD>{});
            return;
        }
    }
    body(i < d ? i : d, n - 1 - i < d ? n - 1 - i : d);
}

// Blocks vectors of lanes side by side, every step on all of them before
// the next, so that their chains of square roots and divisions overlap. A
// nonzero FixedD equals task.d and lets the loops over the band unroll.
template <class Ops, std::size_t Blocks, std::size_t FixedD = 0>
void evaluate_lanes(const LaneEvaluation& task) {
    using O = LaneOps<Ops>;
    using V = typename O::V;
    using M = typename O::M;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t B = Blocks;
    constexpr std::size_t W = VW * B;
    const std::size_t n = task.n;
    const std::size_t d = FixedD != 0 ? FixedD : task.d;
    const std::size_t rows = d + 1;
    const V floor = O::broadcast(task.eps);
    const V zero{};
    const V one = O::broadcast(1.0);
    // Element i of a lane-interleaved vector, or element index of a band,
    // for vector b.
    const auto lane = [](double* base, std::size_t index, std::size_t b) {
        return base + index * W + b * VW;
    };
    const auto value = [](const double* base, std::size_t index, std::size_t b) {
        return O::load(base + index * W + b * VW);
    };
    const auto smaller = [](std::size_t a, std::size_t c) { return a < c ? a : c; };
    double* const F = task.factor;
    double* const z = task.z;

    V lam[B], ridge[B], product[B], rss[B], norm[B], roughness[B];
    M exponent[B], irregular[B];
#pragma GCC unroll 4
    for (std::size_t b = 0; b < B; ++b) {
        lam[b] = O::load(task.lam + b * VW);
        ridge[b] = O::load(task.ridge + b * VW);
        product[b] = one;
        exponent[b] = irregular[b] = M{};
        rss[b] = norm[b] = roughness[b] = zero;
    }

    // Column i of the factor, then the forward substitution of point i,
    // which needs only columns up to i.
    for (std::size_t i = 0; i < n; ++i) {
        const V band_diagonal = O::broadcast(task.penalty[i]);
        with_reaches<FixedD>(i, n, d, [&](auto reach_back, auto reach_down) {
#pragma GCC unroll 4
            for (std::size_t b = 0; b < B; ++b) {
                const V w = value(task.w, i, b);
                V c = (lam[b] * band_diagonal + w) + ridge[b];
                for (std::size_t m = 1; m <= reach_back; ++m) {
                    const V l = value(F, (i - m) * rows + m, b);
                    c = c - l * l;
                }
                const V diagonal = Ops::sqrt(O::floored(c, floor));
                const V inverse = one / diagonal;
                O::store(lane(F, i * rows, b), diagonal);
                O::store(lane(task.reciprocal, i, b), inverse);
                if (task.log_det) {
                    product[b] = product[b] * diagonal;
                }
                for (std::size_t r = 1; r <= reach_down; ++r) {
                    V s = lam[b] * O::broadcast(task.penalty[r * n + i + r]);
                    const std::size_t terms = smaller(d - r, reach_back);
                    for (std::size_t m = 1; m <= terms; ++m) {
                        s = s - value(F, (i - m) * rows + r + m, b) * value(F, (i - m) * rows + m, b);
                    }
                    O::store(lane(F, i * rows + r, b), s * inverse);
                }
                V s = w * value(task.y, i, b);
                for (std::size_t t = 1; t <= reach_back; ++t) {
                    s = s - value(F, (i - t) * rows + t, b) * value(z, i - t, b);
                }
                O::store(lane(z, i, b), s * inverse);
            }
        });
        if (task.log_det && i % 4 == 3) {
            for (std::size_t b = 0; b < B; ++b) {
                take_exponent<Ops>(product[b], exponent[b], irregular[b]);
            }
        }
    }

    // Back substitution of v (z or dz) in place and, with `invert`, at each
    // point i the rows of the band of Sigma that follow from those below it:
    // both run from the last point to the first, so one pass over the
    // factor serves them.
    double* const sigma = task.sigma;
    // Sigma(a, c) for a, c > i inside the band, from the stored lower half.
    const auto entry = [&](std::size_t a, std::size_t c, std::size_t b) {
        return a >= c ? value(sigma, c * rows + (a - c), b) : value(sigma, a * rows + (c - a), b);
    };
    const auto back = [&](double* v, auto invert) {
        for (std::size_t i = n; i-- > 0;) {
            with_reaches<FixedD>(i, n, d, [&](auto, auto reach) {
#pragma GCC unroll 4
                for (std::size_t b = 0; b < B; ++b) {
                    const V u = value(task.reciprocal, i, b);
                    V s = value(v, i, b);
                    for (std::size_t t = 1; t <= reach; ++t) {
                        s = s - value(F, i * rows + t, b) * value(v, i + t, b);
                    }
                    O::store(lane(v, i, b), s * u);
                    if constexpr (decltype(invert)::value) {
                        for (std::size_t j = reach; j >= 1; --j) {
                            V e = zero;
                            for (std::size_t t = 1; t <= reach; ++t) {
                                e = e + value(F, i * rows + t, b) * entry(i + t, i + j, b);
                            }
                            O::store(lane(sigma, i * rows + j, b), -u * e);
                        }
                        V e = zero;
                        for (std::size_t t = 1; t <= reach; ++t) {
                            e = e + value(F, i * rows + t, b) * value(sigma, i * rows + t, b);
                        }
                        O::store(lane(sigma, i * rows, b), u * u - u * e);
                    }
                }
            });
        }
    };
    if (task.inverse) {
        back(z, std::true_type{});
    } else {
        back(z, std::false_type{});
    }
    if (task.fit_only) {
        return;
    }

    // One pass over the points: point(t, b) at every point t and, as soon
    // as v holds the points of row r = t - d of D, that row: out = D v and
    // the sum of out * weigh over the rows (out itself where weigh is null).
    // Each sum still adds its terms in ascending order.
    const std::size_t count = n - d;
    const auto pass = [&](const double* v, double* out, const double* weigh, V* sum, auto&& point) {
        for (std::size_t t = 0; t < n; ++t) {
#pragma GCC unroll 4
            for (std::size_t b = 0; b < B; ++b) {
                point(t, b);
            }
            if (t < d) {
                continue;
            }
            const std::size_t r = t - d;
            const double* coefficients = task.difference + r * rows;
#pragma GCC unroll 4
            for (std::size_t b = 0; b < B; ++b) {
                V s = zero;
                for (std::size_t a = 0; a < rows; ++a) {
                    s = s + O::broadcast(coefficients[a]) * value(v, r + a, b);
                }
                O::store(lane(out, r, b), s);
                sum[b] = sum[b] + value(weigh == nullptr ? out : weigh, r, b) * s;
            }
        }
    };
    // The sums over the points, each in ascending order: RSS and ||z||^2
    // and, with the band of Sigma, EDF, tr(Sigma), the leverages and, when
    // asked, the leave-one-out error.
    V edf[B], trace[B], loo[B];
    for (std::size_t b = 0; b < B; ++b) {
        edf[b] = trace[b] = loo[b] = zero;
    }
    const auto sums = [&](auto invert, auto leave_one_out) {
        pass(z, task.differences, nullptr, roughness, [&](std::size_t t, std::size_t b) {
            const V w = value(task.w, t, b);
            const V fit = value(z, t, b);
            const V r = value(task.y, t, b) - fit;
            const M observed = w > zero;
            rss[b] = rss[b] + (observed ? w * (r * r) : zero);
            norm[b] = norm[b] + fit * fit;
            if constexpr (decltype(invert)::value) {
                const V diagonal = value(sigma, t * rows, b);
                const V h = w * diagonal;
                const V counted = observed ? h : zero;
                edf[b] = edf[b] + counted;
                trace[b] = trace[b] + diagonal;
                if (task.leverage != nullptr) {
                    O::store(lane(task.leverage, t, b), counted);
                }
                if constexpr (decltype(leave_one_out)::value) {
                    const V residual = r / (one - h);
                    loo[b] = loo[b] + (observed ? w * (residual * residual) : zero);
                }
            }
        });
    };
    if (task.inverse) {
        if (task.leave_one_out) {
            sums(std::true_type{}, std::true_type{});
        } else {
            sums(std::true_type{}, std::false_type{});
        }
        for (std::size_t b = 0; b < B; ++b) {
            O::store(task.edf + b * VW, edf[b]);
            O::store(task.trace + b * VW, trace[b]);
            O::store(task.loo + b * VW, loo[b]);
        }
    } else {
        sums(std::false_type{}, std::false_type{});
    }

    if (task.speed) {
        // dz = Sigma P z with P z = D^T (D z). Element i of D^T (D z) sums
        // the rows that reach point i in ascending order, as the row by row
        // accumulation of evaluate_series does, and is then final, so the
        // forward substitution of point i follows at once.
        double* const dz = task.dz;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t low = i < d ? 0 : i - d;
            const std::size_t high = i < count ? i : count - 1;
            with_reaches<FixedD>(i, n, d, [&](auto reach_back, auto) {
#pragma GCC unroll 4
                for (std::size_t b = 0; b < B; ++b) {
                    V s = zero;
                    for (std::size_t r = low; r <= high; ++r) {
                        s = s +
                            O::broadcast(task.difference[r * rows + (i - r)]) * value(task.differences, r, b);
                    }
                    for (std::size_t t = 1; t <= reach_back; ++t) {
                        s = s - value(F, (i - t) * rows + t, b) * value(dz, i - t, b);
                    }
                    O::store(lane(dz, i, b), s * value(task.reciprocal, i, b));
                }
            });
        }
        back(dz, std::false_type{});
        V psi[B], phi[B];
        for (std::size_t b = 0; b < B; ++b) {
            psi[b] = phi[b] = zero;
        }
        pass(dz, task.scratch, task.differences, phi, [&](std::size_t t, std::size_t b) {
            const V w = value(task.w, t, b);
            const V term = (w * (value(task.y, t, b) - value(z, t, b))) * value(dz, t, b);
            psi[b] = psi[b] + ((w > zero) ? term : zero);
        });
        for (std::size_t b = 0; b < B; ++b) {
            O::store(task.psi_rate + b * VW, psi[b]);
            O::store(task.phi_rate + b * VW, phi[b]);
        }
    }

    for (std::size_t b = 0; b < B; ++b) {
        O::store(task.product + b * VW, product[b]);
        for (std::size_t l = 0; l < VW; ++l) {
            task.exponent[b * VW + l] = exponent[b][l];
            if (irregular[b][l] != 0) {
                replay_pivots(F + b * VW + l, n, rows * W, task.product[b * VW + l],
                              task.exponent[b * VW + l]);
            }
        }
        O::store(task.rss + b * VW, rss[b]);
        O::store(task.norm + b * VW, norm[b]);
        O::store(task.roughness + b * VW, roughness[b]);
    }
}

// The steps of in_null_space in every lane, Blocks vectors side by side so
// that the chains of their sums overlap.
template <class Ops, std::size_t Blocks>
void null_space_lanes(const LaneNullSpace& task) {
    using O = LaneOps<Ops>;
    using V = typename O::V;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t B = Blocks;
    constexpr std::size_t W = VW * B;
    const std::size_t n = task.n;
    const V zero{};
    const auto value = [](const double* base, std::size_t index, std::size_t b) {
        return O::load(base + index * W + b * VW);
    };
    // out = sum over observed points of w a c, in the order of the points.
    const auto inner = [&](const double* a, const double* c, V* out) {
        for (std::size_t b = 0; b < B; ++b) {
            out[b] = zero;
        }
        for (std::size_t t = 0; t < n; ++t) {
#pragma GCC unroll 4
            for (std::size_t b = 0; b < B; ++b) {
                const V w = value(task.w, t, b);
                const V term = (w * value(a, t, b)) * value(c, t, b);
                out[b] = out[b] + ((w > zero) ? term : zero);
            }
        }
    };
    const auto orthogonalise = [&](double* v, std::size_t columns) {
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t c = 0; c < columns; ++c) {
                const double* p = task.basis + c * n * W;
                V projection[B];
                inner(v, p, projection);
                for (std::size_t t = 0; t < n; ++t) {
#pragma GCC unroll 4
                    for (std::size_t b = 0; b < B; ++b) {
                        O::store(v + t * W + b * VW, value(v, t, b) - projection[b] * value(p, t, b));
                    }
                }
            }
        }
    };
    V total[B];
    inner(task.y, task.y, total);
    // The observed span of each lane, scaled to [-1, 1].
    double centres[W], halves[W];
    for (std::size_t l = 0; l < W; ++l) {
        double low = 0, high = 0;
        bool first = true;
        for (std::size_t t = 0; t < n; ++t) {
            if (task.w[t * W + l] > 0) {
                low = first ? task.positions[t] : low;
                high = task.positions[t];
                first = false;
            }
        }
        centres[l] = (low + high) / 2;
        halves[l] = high > low ? (high - low) / 2 : 1.0;
        task.unsettled[l] = 0;
    }
    for (std::size_t j = 0; j < task.d; ++j) {
        double* q = task.basis + j * n * W;
        for (std::size_t t = 0; t < n; ++t) {
            const V position = O::broadcast(task.positions[t]);
#pragma GCC unroll 4
            for (std::size_t b = 0; b < B; ++b) {
                const V v = (position - O::load(centres + b * VW)) / O::load(halves + b * VW);
                V power = j == 0 ? O::broadcast(1.0) : v;
                for (std::size_t l = 0; j >= 2 && l < VW; ++l) {
                    power[l] = __builtin_pow(v[l], static_cast<double>(j));
                }
                O::store(q + t * W + b * VW, power);
            }
        }
        orthogonalise(q, j);
        V length[B];
        inner(q, q, length);
#pragma GCC unroll 4
        for (std::size_t b = 0; b < B; ++b) {
            length[b] = Ops::sqrt(length[b]);
            for (std::size_t l = 0; l < VW; ++l) {
                if (!(length[b][l] > 0)) {
                    task.unsettled[b * VW + l] = 1;
                }
            }
        }
        for (std::size_t t = 0; t < n; ++t) {
#pragma GCC unroll 4
            for (std::size_t b = 0; b < B; ++b) {
                O::store(q + t * W + b * VW, value(q, t, b) / length[b]);
            }
        }
    }
    double* r = task.scratch;
    for (std::size_t i = 0; i < n * W; ++i) {
        r[i] = task.y[i];
    }
    orthogonalise(r, task.d);
    V residual[B];
    inner(r, r, residual);
    for (std::size_t b = 0; b < B; ++b) {
        const auto flat = (total[b] == zero) | (residual[b] <= O::broadcast(1e-20) * total[b]);
        for (std::size_t l = 0; l < VW; ++l) {
            task.in_null_space[b * VW + l] = flat[l] != 0 ? 1 : 0;
        }
    }
}

template <class Ops, std::size_t Blocks>
void evaluate_by_order(const LaneEvaluation& task) {
    switch (task.d) {
        case 1:
            evaluate_lanes<Ops, Blocks, 1>(task);
            return;
        case 2:
            evaluate_lanes<Ops, Blocks, 2>(task);
            return;
        case 3:
            evaluate_lanes<Ops, Blocks, 3>(task);
            return;
        default:
            evaluate_lanes<Ops, Blocks>(task);
    }
}

template <class Ops>
constexpr SelectionKernelSet selection_kernels_of() {
    return {{evaluate_by_order<Ops, 4>, null_space_lanes<Ops, 4>, Ops::width * 4},
            {evaluate_by_order<Ops, 1>, null_space_lanes<Ops, 1>, Ops::width}};
}

}  // namespace tarnwold
