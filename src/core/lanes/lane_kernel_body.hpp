// The code of the lane kernels, written once for every instruction set.
//
// Each instruction-set specific translation unit includes this header and
// instantiates its templates with operation sets of its own, local to that
// unit (see lane_ops.hpp), so every instantiation stays inside the unit
// compiled for its instruction set: nothing here has external linkage.
//
// Only the compiler's vector operators are used besides sqrt: lane-wise
// IEEE +, -, *, / and comparisons, no fused multiply-add (the build disables
// contraction), so every lane rounds exactly like the scalar code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "base/working_input.hpp"
#include "lanes/lane_kernel.hpp"
#include "lanes/lane_median_body.hpp"
#include "lanes/lane_ops.hpp"
#include "robust/weight_functions.hpp"

namespace tarnwold {

static std::size_t smaller(std::size_t a, std::size_t b) { return a < b ? a : b; }

// Prefetches the cache lines of some rows in turn, an equal share at each
// of `steps` calls of step(); Write prefetches them for writing. A row's
// last line is fetched by its last byte, since rows need not start on a line.
template <int Write>
class LineWalk {
public:
    LineWalk(const PrefetchRows& rows, std::size_t steps)
        : rows_(rows), per_step_((rows.count * (rows.bytes / line + 2)) / (steps > 0 ? steps : 1) + 1) {
        if (rows.rows == nullptr || rows.bytes == 0) {
            row_ = rows.count;
        }
    }

    void step() {
        for (std::size_t k = 0; k < per_step_ && row_ < rows_.count; ++k) {
            __builtin_prefetch(rows_.rows[row_] + offset_, Write, 2);
            if (offset_ + 1 == rows_.bytes) {
                ++row_;
                offset_ = 0;
            } else {
                offset_ = smaller(offset_ + line, rows_.bytes - 1);
            }
        }
    }

private:
    static constexpr std::size_t line = 64;
    const PrefetchRows& rows_;
    std::size_t per_step_;
    std::size_t row_ = 0;
    std::size_t offset_ = 0;
};

// With Factor, the factor is computed column by column; without, the one a
// previous run left in system.factor is read and nothing is written to it.
// A nonzero FixedD must equal system.d: it lets the compiler unroll the
// loops over the band, which changes no operation and no order.
//
// A block holds Blocks vectors of lanes side by side (element (i, lane) at
// [i * Blocks * width + lane] as for any block width), and every step runs
// on all of them before the next: the solve is one long chain of dependent
// square roots and divisions per lane, so a second independent chain keeps
// the divider busy while the first waits for its latest result.
template <class Ops, bool Factor, std::size_t Blocks, std::size_t FixedD = 0>
void solve_lanes(const LaneSystem<typename Ops::T>& system) {
    using O = LaneOps<Ops>;
    using T = typename O::T;
    using V = typename O::V;
    using M = typename O::M;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t B = Blocks;
    constexpr std::size_t W = VW * B;
    const std::size_t n = system.n;
    const std::size_t d = FixedD != 0 ? FixedD : system.d;
    const std::size_t rows = d + 1;
    const bool checked = d > 0;
    const V floor = O::broadcast(system.eps);
    const V ridge = O::broadcast(system.ridge);
    const V zero{};
    // Local copies: the compiler cannot tell whether the stores below change
    // the system, and would read these again at every vector.
    const T* const lam_band = system.lam_band;
    const T* const weights = system.w;
    const T* const values = system.y;
    T* const z = system.z;
    T* const factor = system.factor;
    M unverified[B]{};
    M factor_unverified[B]{};
    V largest_y[B]{};

    // The right-hand side w * y at position j, formed just before the
    // forward sweep first subtracts from it, at column j - d (its own
    // column when d = 0): inside the sweep, whose divisions leave room for
    // it, rather than in a pass of its own over the block. In single
    // precision the largest |y| then stays live through the sweep, which
    // with 16 vector registers spills the sweep's own values: there the
    // pass of its own stays.
    constexpr bool in_sweep = sizeof(T) == 8 || O::mask_registers;
    const auto form_right_side = [&](std::size_t j) {
#pragma GCC unroll 4
        for (std::size_t b = 0; b < B; ++b) {
            const V y = O::load(values + j * W + b * VW);
            const V product = O::load(weights + j * W + b * VW) * y;
            O::store(z + j * W + b * VW, product);
            if (checked) {
                unverified[b] |= O::negative_zero(product);
            }
            largest_y[b] = O::larger(largest_y[b], O::magnitude(y));
        }
    };
    for (std::size_t j = 0; j < (in_sweep ? d : n) && j < n; ++j) {
        form_right_side(j);
    }

    // Column i of the factor, then at once the forward substitution of
    // column i: its value is final, since columns i-d .. i-1 have updated it
    // already, and every value receives its updates in ascending columns as
    // in the separate sweep.
    LineWalk<0> upcoming(system.upcoming, n);
    LineWalk<1> destinations(system.destinations, n);
    for (std::size_t i = 0; i < n; ++i) {
        upcoming.step();
        destinations.step();
        if (in_sweep && i + d < n) {
            form_right_side(i + d);
        }
        T* const row_i = factor + i * rows * W;
        const std::size_t reach_down = smaller(d, n - 1 - i);
        if constexpr (Factor) {
            const std::size_t reach_back = smaller(d, i);
            const V lam_diagonal = O::broadcast(lam_band[i]);
            V diagonal[B];
#pragma GCC unroll 4
            for (std::size_t b = 0; b < B; ++b) {
                V c = (lam_diagonal + O::load(weights + i * W + b * VW)) + ridge;
                for (std::size_t m = 1; m <= reach_back; ++m) {
                    const V l = O::load(row_i + m * W + b * VW);
                    c = c - l * l;
                }
                diagonal[b] = Ops::sqrt(O::floored(c, floor));
                if (checked) {
                    factor_unverified[b] |= ~O::finite(diagonal[b]) | ~(diagonal[b] > zero);
                }
            }
            for (std::size_t r = 1; r <= reach_down; ++r) {
                T* const row_r = factor + (i + r) * rows * W;
                const V lam_below = O::broadcast(lam_band[r * n + i + r]);
                const std::size_t terms = smaller(d - r, reach_back);
#pragma GCC unroll 4
                for (std::size_t b = 0; b < B; ++b) {
                    V s = lam_below;
                    for (std::size_t m = 1; m <= terms; ++m) {
                        s = s - O::load(row_r + (r + m) * W + b * VW) * O::load(row_i + m * W + b * VW);
                    }
                    const V l = s / diagonal[b];
                    O::store(row_r + r * W + b * VW, l);
                    if (checked) {
                        factor_unverified[b] |= ~O::finite(l) | O::negative_zero(l);
                    }
                }
            }
            // The substitutions divide by the floored diagonal; only they
            // read the diagonal from here on, so it is stored floored.
#pragma GCC unroll 4
            for (std::size_t b = 0; b < B; ++b) {
                O::store(row_i + b * VW, O::floored(diagonal[b], floor));
            }
        }

#pragma GCC unroll 4
        for (std::size_t b = 0; b < B; ++b) {
            const V u = O::load(z + i * W + b * VW) / O::load(row_i + b * VW);
            O::store(z + i * W + b * VW, u);
            if (checked) {
                unverified[b] |= ~O::finite(u) | O::negative_zero(u);
            }
            for (std::size_t r = 1; r <= reach_down; ++r) {
                T* const target = z + (i + r) * W + b * VW;
                O::store(target, O::load(target) - O::load(factor + ((i + r) * rows + r) * W + b * VW) * u);
            }
        }
    }

    V largest_z[B]{};
    for (std::size_t i = n; i-- > 0;) {
        const T* const row_i = factor + i * rows * W;
        const std::size_t reach_back = smaller(d, i);
#pragma GCC unroll 4
        for (std::size_t b = 0; b < B; ++b) {
            const V value = O::load(z + i * W + b * VW) / O::load(row_i + b * VW);
            O::store(z + i * W + b * VW, value);
            unverified[b] |= ~O::finite(value);
            largest_z[b] = O::larger(largest_z[b], O::magnitude(value));
            for (std::size_t r = 1; r <= reach_back; ++r) {
                T* const target = z + (i - r) * W + b * VW;
                O::store(target, O::load(target) - O::load(row_i + r * W + b * VW) * value);
            }
        }
    }

    for (std::size_t b = 0; b < B; ++b) {
        if constexpr (sizeof(T) == 4) {
            // The float acceptance test on verified lanes, whose solutions
            // and values are all finite, so maxima over all entries are the
            // maxima over the finite ones.
            const V bound = O::larger(largest_y[b], O::broadcast(T(1))) * O::broadcast(T(1e6f));
            unverified[b] |= ~(largest_z[b] <= bound);
        }
        unverified[b] |= factor_unverified[b];
        for (std::size_t l = 0; l < VW; ++l) {
            system.unverified[b * VW + l] = unverified[b][l] != 0 ? 1 : 0;
            if constexpr (Factor) {
                system.factor_unverified[b * VW + l] = factor_unverified[b][l] != 0 ? 1 : 0;
            }
        }
    }
}

// solve_lanes with the common orders fixed at compile time, so that their
// loops over the band unroll; other orders take the general loops.
template <class Ops, bool Factor, std::size_t Blocks = 1>
void solve_by_order(const LaneSystem<typename Ops::T>& system) {
    switch (system.d) {
        case 1:
            solve_lanes<Ops, Factor, Blocks, 1>(system);
            return;
        case 2:
            solve_lanes<Ops, Factor, Blocks, 2>(system);
            return;
        case 3:
            solve_lanes<Ops, Factor, Blocks, 3>(system);
            return;
        default:
            solve_lanes<Ops, Factor, Blocks>(system);
    }
}

// Sets lane l of v, for whole vectors and for the one-lane kind alike.
template <class Ops>
void set_lane(typename Ops::V& v, std::size_t l, typename Ops::T x) {
    if constexpr (Ops::width == 1) {
        v.v = x;
    } else {
        v[l] = x;
    }
}

// One stage of the tile transpose and then the finer ones, on the first
// Count vectors of a tile: vectors i and i + H trade their halves of H lanes
// so that, after the stage with H = 1, lane l of vector j holds what lane j
// of vector l held. A stage pairs vectors within runs of 2H, so the stages
// below H = Count/2 never reach beyond the first Count vectors.
template <class Ops, std::size_t H, std::size_t Count, std::size_t... J>
[[gnu::always_inline]] inline void transpose_stage(typename Ops::V* v, std::index_sequence<J...> lanes) {
    constexpr std::size_t N = sizeof...(J);
    for (std::size_t i = 0; i < Count; ++i) {
        if ((i & H) == 0) {
            const typename Ops::V a = v[i];
            const typename Ops::V b = v[i + H];
            v[i] = __builtin_shufflevector(a, b, ((J & H) == 0 ? J : N + J - H)...);
            v[i + H] = __builtin_shufflevector(a, b, ((J & H) == 0 ? J + H : N + J)...);
        }
    }
    if constexpr (H > 1) {
        transpose_stage<Ops, H / 2, Count>(v, lanes);
    }
}

// Transposes a square tile of width vectors in registers: a width x width
// block of rows becomes width vectors of lanes, or back.
// Inlined, so that the tile stays in registers.
template <class Ops>
[[gnu::always_inline]] inline void transpose_tile(typename Ops::V* v) {
    if constexpr (Ops::width > 1) {
        transpose_stage<Ops, Ops::width / 2, Ops::width>(v, std::make_index_sequence<Ops::width>());
    }
}

// The half-width vectors at low and high joined into one vector.
template <class Ops, std::size_t... J>
typename Ops::V load_joined(const std::byte* low, const std::byte* high, std::index_sequence<J...>) {
    typedef typename Ops::T Half __attribute__((vector_size(sizeof(typename Ops::V) / 2)));
    Half a;
    Half b;
    __builtin_memcpy(&a, low, sizeof(a));
    __builtin_memcpy(&b, high, sizeof(b));
    return __builtin_shufflevector(a, b, J...);
}

// Half a tile transposed: positions [H * half, H * half + H) of the width
// rows from byte `offset` (H = width / 2) as H vectors of lanes, v[j] the
// lanes of position H * half + j. The coarsest stage of the whole tile's
// transpose only joins the first halves of rows l and l + H, or their
// second halves: loaded joined, the tile falls into two halves that the
// finer stages transpose apart. Half a tile keeps half the registers live:
// a whole float tile of 16 vectors with its shuffles' temporaries does not
// fit in 32 registers, and its spills bound the read.
template <class Ops>
[[gnu::always_inline]] inline void load_half_tile(const std::byte* const* rows, std::ptrdiff_t offset,
                                                  std::size_t half, typename Ops::V* v) {
    constexpr std::size_t H = Ops::width / 2;
    const std::ptrdiff_t at = offset + static_cast<std::ptrdiff_t>(half * H * sizeof(typename Ops::T));
    const auto lanes = std::make_index_sequence<Ops::width>();
    for (std::size_t l = 0; l < H; ++l) {
        v[l] = load_joined<Ops>(rows[l] + at, rows[l + H] + at, lanes);
    }
    if constexpr (H > 1) {
        transpose_stage<Ops, H / 2, H>(v, lanes);
    }
}

// One vector of a block's inputs: the weight, and the observation's working
// value at it (working_input.hpp).
template <class Ops>
void store_inputs(typename Ops::V observation, typename Ops::V weight, typename Ops::T* w,
                  typename Ops::T* y) {
    LaneOps<Ops>::store(w, weight);
    LaneOps<Ops>::store(y, working_value(observation, weight));
}

// One vector of what `read` stores at [at]: from the observations and
// what the rows of bases hold there (1 without them), see LaneRead.
template <class Ops, bool Robust>
void store_read(const LaneRead<typename Ops::T>& read, std::size_t at, typename Ops::V observation,
                typename Ops::V given) {
    using O = LaneOps<Ops>;
    using V = typename Ops::V;
    if constexpr (!Robust) {
        store_inputs<Ops>(observation, working_weight(observation, given), read.w + at, read.y + at);
    } else {
        const V base = read.full_bases ? given : working_weight(observation, given);
        O::store(read.base_lanes + at, base);
        const V robust = usable(observation, base) ? O::broadcast(typename Ops::T(1)) : V{};
        store_inputs<Ops>(observation, base * robust, read.w + at, read.y + at);
    }
}

template <class Ops, std::size_t Blocks, bool Robust>
void read_rows(const LaneRead<typename Ops::T>& read) {
    using O = LaneOps<Ops>;
    using T = typename O::T;
    using V = typename O::V;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
    const V one = O::broadcast(T(1));
    std::size_t t = 0;
    // Rows stored densely: whole tiles are loaded row-wise and transposed,
    // half a tile at a time.
    if constexpr (VW > 1) {
        constexpr std::size_t H = VW / 2;
        if (read.step == size && (read.bases == nullptr || read.base_step == size)) {
            for (; t + VW <= read.n; t += VW) {
                const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(t) * size;
                for (std::size_t b = 0; b < Blocks; ++b) {
                    for (std::size_t half = 0; half < 2; ++half) {
                        V values[H];
                        V bases[H];
                        load_half_tile<Ops>(read.rows + b * VW, offset, half, values);
                        if (read.bases != nullptr) {
                            load_half_tile<Ops>(read.bases + b * VW, offset, half, bases);
                        } else {
                            for (std::size_t j = 0; j < H; ++j) {
                                bases[j] = one;
                            }
                        }
                        for (std::size_t j = 0; j < H; ++j) {
                            store_read<Ops, Robust>(read, (t + half * H + j) * W + b * VW, values[j],
                                                    bases[j]);
                        }
                    }
                }
            }
        }
    }
    // Any other layout, and the last positions, one value at a time.
    for (; t < read.n; ++t) {
        const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(t) * read.step;
        const std::ptrdiff_t base_offset = static_cast<std::ptrdiff_t>(t) * read.base_step;
        for (std::size_t b = 0; b < Blocks; ++b) {
            V value{};  // every lane is set below; the compiler cannot see it
            V base = one;
            for (std::size_t l = 0; l < VW; ++l) {
                T x;
                __builtin_memcpy(&x, read.rows[b * VW + l] + offset, sizeof(T));
                set_lane<Ops>(value, l, x);
                if (read.bases != nullptr) {
                    __builtin_memcpy(&x, read.bases[b * VW + l] + base_offset, sizeof(T));
                    set_lane<Ops>(base, l, x);
                }
            }
            store_read<Ops, Robust>(read, t * W + b * VW, value, base);
        }
    }
}

template <class Ops, std::size_t Blocks>
void read_lanes(const LaneRead<typename Ops::T>& read) {
    if (read.base_lanes != nullptr) {
        read_rows<Ops, Blocks, true>(read);
    } else {
        read_rows<Ops, Blocks, false>(read);
    }
}

// Whole VW x VW tiles of the first n positions between rows and a block's
// lane layout: load(t, b, i) gives vector i of the tile at position t of
// vector b (a row's values, or one position's lanes), store(t, b, i, v)
// puts vector i of the transposed tile. Only the first `vectors` of the
// block's vectors are moved. Returns the first position left over.
template <class Ops, std::size_t Blocks, class Load, class Store>
std::size_t transpose_tiles(std::size_t n, std::size_t vectors, const Load& load, const Store& store) {
    constexpr std::size_t VW = Ops::width;
    std::size_t t = 0;
    for (; t + VW <= n; t += VW) {
        for (std::size_t b = 0; b < Blocks && b < vectors; ++b) {
            typename Ops::V tile[VW];
            for (std::size_t i = 0; i < VW; ++i) {
                tile[i] = load(t, b, i);
            }
            transpose_tile<Ops>(tile);
            for (std::size_t i = 0; i < VW; ++i) {
                store(t, b, i, tile[i]);
            }
        }
    }
    return t;
}

template <class Ops, std::size_t Blocks>
void write_lanes(const LaneWrite<typename Ops::T>& write) {
    using O = LaneOps<Ops>;
    using V = typename O::V;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    std::size_t t = transpose_tiles<Ops, Blocks>(
        write.n, (write.lanes + VW - 1) / VW,
        [&](std::size_t at, std::size_t b, std::size_t j) {
            return O::load(write.z + (at + j) * W + b * VW);
        },
        [&](std::size_t at, std::size_t b, std::size_t l, V v) {
            if (b * VW + l < write.lanes) {
                O::store(write.rows[b * VW + l] + at, v);
            }
        });
    for (; t < write.n; ++t) {
        for (std::size_t lane = 0; lane < write.lanes; ++lane) {
            write.rows[lane][t] = write.z[t * W + lane];
        }
    }
}

// The residuals of a pass: y - fit at the mask (where the working value y
// is usable at this pass's weight w, and so the observation itself), NaN
// elsewhere; and the magnitudes the scales are taken over: those of the
// finite residuals, +inf for the others, so that they sort last.
template <class O>
typename O::V masked_residual(typename O::V y, typename O::V w, typename O::V fit) {
    using M = typename O::M;
    return M(usable(y, w)) ? y - fit : O::broadcast(__builtin_nan(""));
}

template <class O>
typename O::V scale_magnitude(typename O::V residual) {
    using M = typename O::M;
    return M(O::finite(residual)) ? O::magnitude(residual) : O::broadcast(__builtin_inf());
}

// The Huber scale lane by lane, in the order of operations of huber_scale,
// for the Blocks vectors of lanes side by side: squares holds r * r of
// the residuals the scale is taken over, in the order of the positions, and
// +0 for the others, which leaves every sum as it is; counts holds how many
// there are; scales the MAD scales on entry, the Huber scales on return.
// A lane stops at its own step.
template <class Ops, std::size_t Blocks>
void huber_lanes(const typename Ops::T* squares, std::size_t n, const typename Ops::V* counts,
                 typename Ops::T eps, typename Ops::T* scales) {
    using O = LaneOps<Ops>;
    using T = typename O::T;
    using V = typename O::V;
    using M = typename O::M;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    const V clip = O::broadcast(decimal<T>(1.345f, 1.345));
    const V tolerance = O::broadcast(decimal<T>(1e-4f, 1e-4));
    const V floor = O::broadcast(eps);
    constexpr int max_steps = 30;
    V s[Blocks];
    V s_new[Blocks];
    V result[Blocks];
    M running[Blocks];
    bool active[Blocks];
    for (std::size_t b = 0; b < Blocks; ++b) {
        s[b] = O::load(scales + b * VW);
        s_new[b] = s[b];
        // A lane without residuals has the floor.
        const M none = M(counts[b] == V{});
        result[b] = none ? floor : V{};
        running[b] = ~none;
        active[b] = true;
    }
    for (int step = 0; step < max_steps; ++step) {
        V k2[Blocks];
        V acc[Blocks];
        for (std::size_t b = 0; b < Blocks; ++b) {
            k2[b] = (clip * s[b]) * (clip * s[b]);
            acc[b] = V{};
        }
        // Independent sums side by side: each is a chain of dependent
        // additions. A vector whose lanes have all stopped sits the sweeps
        // out (a branch the same at every position).
        for (std::size_t t = 0; t < n; ++t) {
#pragma GCC unroll 4
            for (std::size_t b = 0; b < Blocks; ++b) {
                if (active[b]) {
                    const V square = O::load(squares + t * W + b * VW);
                    acc[b] = acc[b] + ((k2[b] < square) ? k2[b] : square);
                }
            }
        }
        bool any_running = false;
        for (std::size_t b = 0; b < Blocks; ++b) {
            if (!active[b]) {
                continue;
            }
            s_new[b] = O::floored(Ops::sqrt(acc[b] / counts[b]), floor);
            const V rel = O::magnitude(s_new[b] - s[b]) / O::floored(s[b], floor);
            const M done = running[b] & M(rel < tolerance);
            result[b] = done ? s_new[b] : result[b];
            running[b] &= ~done;
            active[b] = false;
            for (std::size_t l = 0; l < VW; ++l) {
                active[b] = active[b] || running[b][l] != 0;
            }
            any_running = any_running || active[b];
            s[b] = s_new[b];
        }
        if (!any_running) {
            break;
        }
    }
    for (std::size_t b = 0; b < Blocks; ++b) {
        O::store(scales + b * VW, running[b] ? s_new[b] : result[b]);
    }
}

// The robust weights, 0 outside the mask, and with them the next pass's
// inputs in place of this pass's (see reweigh_lanes), for one weighting
// fixed at compile time: its operations then interleave across the block's
// vectors instead of waiting behind a jump on the weighting at each vector.
// This pass's inputs go to the scratch the scales are done with, weights
// to task.candidates and values to task.listed, for the lanes that keep
// them; weighed[b] marks the lanes of vector b with a next weight other
// than 0 (NaN included). The task's pointers are copied first, since the
// compiler cannot tell whether a store through one of them changes the task
// itself.
template <class Ops, std::size_t Blocks, Weighting Chosen>
void next_inputs(const ReweighTask<typename Ops::T>& task, const typename LaneOps<Ops>::V* scales,
                 typename LaneOps<Ops>::M* weighed) {
    using O = LaneOps<Ops>;
    using T = typename O::T;
    using V = typename O::V;
    using M = typename O::M;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    const std::size_t n = task.n;
    const TuningTriple<T> tuning = task.tuning;
    const T* const base = task.base;
    const T* const fit = task.fit;
    T* const weights = task.w;
    T* const values = task.y;
    T* const welsch_weights = task.magnitudes;
    T* const kept_weights = task.candidates;
    T* const kept_values = task.listed;
    // The Welsch weights call the library's exp value by value. A call
    // clobbers every vector register, so they get a loop of their own, one
    // vector at a time: in the loop below the calls would push its
    // registers to memory for every vector.
    if constexpr (Chosen == Weighting::Welsch) {
        for (std::size_t t = 0; t < n; ++t) {
#pragma GCC unroll 1
            for (std::size_t b = 0; b < Blocks; ++b) {
                const std::size_t at = t * W + b * VW;
                const V residual =
                    masked_residual<O>(O::load(values + at), O::load(weights + at), O::load(fit + at));
                O::store(welsch_weights + at, weight_lanes<O>(Chosen, tuning, residual / scales[b]));
            }
        }
    }
    for (std::size_t t = 0; t < n; ++t) {
#pragma GCC unroll 4
        for (std::size_t b = 0; b < Blocks; ++b) {
            const std::size_t at = t * W + b * VW;
            const V y = O::load(values + at);
            const V w = O::load(weights + at);
            const V weight = [&] {
                if constexpr (Chosen == Weighting::Welsch) {
                    return O::load(welsch_weights + at);
                } else {
                    const V residual = masked_residual<O>(y, w, O::load(fit + at));
                    return weight_lanes<O>(Chosen, tuning, residual / scales[b]);
                }
            }();
            const V next = O::load(base + at) * (M(usable(y, w)) ? weight : V{});
            weighed[b] |= M(next != V{});
            O::store(kept_weights + at, w);
            O::store(kept_values + at, y);
            O::store(weights + at, next);
            O::store(values + at, working_value(y, next));
        }
    }
}

// next_inputs for the task's weighting, from one instance per entry of
// all_weightings; a weighting outside them is a broken invariant, never a
// pass that leaves the inputs as they were.
template <class Ops, std::size_t Blocks>
void next_inputs_by(const ReweighTask<typename Ops::T>& task, const typename LaneOps<Ops>::V* scales,
                    typename LaneOps<Ops>::M* weighed) {
    // Whether one of them was the task's, which it then ran.
    const auto ran_one = [&]<std::size_t... I>(std::index_sequence<I...>) {
        return ((task.weighting == all_weightings[I] &&
                 (next_inputs<Ops, Blocks, all_weightings[I]>(task, scales, weighed), true)) ||
                ...);
    };
    if (!ran_one(std::make_index_sequence<all_weightings.size()>{})) {
        unknown_weighting();
    }
}

// Puts back this pass's inputs, saved by next_inputs, in the lanes of
// `keep`; a vector without such a lane is left alone.
template <class Ops, std::size_t Blocks>
void keep_inputs(const ReweighTask<typename Ops::T>& task, const typename LaneOps<Ops>::M* keep) {
    using O = LaneOps<Ops>;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    for (std::size_t b = 0; b < Blocks; ++b) {
        bool any = false;
        for (std::size_t l = 0; l < VW; ++l) {
            any = any || keep[b][l] != 0;
        }
        for (std::size_t t = 0; any && t < task.n; ++t) {
            const std::size_t at = t * W + b * VW;
            O::store(task.w + at, keep[b] ? O::load(task.candidates + at) : O::load(task.w + at));
            O::store(task.y + at, keep[b] ? O::load(task.listed + at) : O::load(task.y + at));
        }
    }
}

template <class Ops, std::size_t Blocks>
void reweigh_lanes(const ReweighTask<typename Ops::T>& task) {
    using O = LaneOps<Ops>;
    using T = typename O::T;
    using V = typename O::V;
    using M = typename O::M;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    const std::size_t n = task.n;
    const V inf = O::broadcast(__builtin_inf());
    const V one = O::broadcast(T(1));
    const bool huber = is_huber_scale(task.scale);
    V counts[Blocks]{};
    V masked[Blocks]{};
    // Local copies: see next_inputs.
    const T* const fit = task.fit;
    const T* const weights = task.w;
    const T* const values = task.y;
    T* const magnitudes = task.magnitudes;
    T* const squares = task.squares;
    for (std::size_t t = 0; t < n; ++t) {
#pragma GCC unroll 4
        for (std::size_t b = 0; b < Blocks; ++b) {
            const std::size_t at = t * W + b * VW;
            const V y = O::load(values + at);
            const V w = O::load(weights + at);
            const V a = scale_magnitude<O>(masked_residual<O>(y, w, O::load(fit + at)));
            O::store(magnitudes + at, a);
            const M kept = M(a < inf);
            if (huber) {
                O::store(squares + at, kept ? a * a : V{});
            }
            counts[b] = kept ? counts[b] + one : counts[b];
            masked[b] = M(usable(y, w)) ? masked[b] + one : masked[b];
        }
    }
    mad_scales<O, Blocks>(task, counts);
    if (huber) {
        // |r| * |r| is r * r; the count of the sums is the same at every step.
        huber_lanes<Ops, Blocks>(task.squares, n, counts, task.eps, task.scales);
    }
    // The robust weights, 0 outside the mask, and with them the next pass's
    // inputs: a weight > 0 there needs a robust weight other than +0, so a
    // position of the mask, whose working value is the observation itself.
    // A lane with positions in use whose next weights would all be 0 (every
    // residual non-finite or beyond the cut-off) keeps this pass's inputs,
    // as the scalar passes keep its weights, instead of falling to a fit
    // that looks like a series without data.
    V scales[Blocks];
    M weighed[Blocks];
    for (std::size_t b = 0; b < Blocks; ++b) {
        scales[b] = O::load(task.scales + b * VW);
        weighed[b] = M{};
    }
    next_inputs_by<Ops, Blocks>(task, scales, weighed);
    M keep[Blocks];
    for (std::size_t b = 0; b < Blocks; ++b) {
        keep[b] = ~weighed[b] & M(V{} < masked[b]);
    }
    keep_inputs<Ops, Blocks>(task, keep);
}

// Four vectors per step hide the latency of the divisions and square roots
// of one chain behind three others; more add work without gaining speed.
constexpr std::size_t wide_blocks = 4;

// The kernels of blocks of `Blocks` vectors of Ops.
template <class Ops, std::size_t Blocks>
constexpr LaneBlockKernels<typename Ops::T> block_kernels() {
    void (*reweigh)(const ReweighTask<typename Ops::T>&) = nullptr;
    if constexpr (Ops::width > 1) {
        reweigh = reweigh_lanes<Ops, Blocks>;
    }
    return {solve_by_order<Ops, true, Blocks>,
            solve_by_order<Ops, false, Blocks>,
            read_lanes<Ops, Blocks>,
            write_lanes<Ops, Blocks>,
            reweigh,
            Blocks * Ops::width};
}

// The kernels of one precision: the wide and the narrow block shape.
template <class Ops>
constexpr LaneKernels<typename Ops::T> lane_kernels_of() {
    return {block_kernels<Ops, wide_blocks>(), block_kernels<Ops, 1>()};
}

}  // namespace tarnwold
