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

#include "lane_kernel.hpp"
#include "lane_ops.hpp"
#include "weight_functions.hpp"
#include "working_input.hpp"

namespace tarnwold {

static std::size_t smaller(std::size_t a, std::size_t b) { return a < b ? a : b; }

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
    T* const z = system.z;
    T* const factor = system.factor;
    M unverified[B]{};
    M factor_unverified[B]{};
    V largest_y[B]{};

    for (std::size_t i = 0; i < n; ++i) {
#pragma GCC unroll 4
        for (std::size_t b = 0; b < B; ++b) {
            const V y = O::load(system.y + i * W + b * VW);
            const V product = O::load(system.w + i * W + b * VW) * y;
            O::store(z + i * W + b * VW, product);
            if (checked) {
                unverified[b] |= O::negative_zero(product);
            }
            largest_y[b] = O::larger(largest_y[b], O::magnitude(y));
        }
    }

    // Column i of the factor, then at once the forward substitution of
    // column i: its value is final, since columns i-d .. i-1 have updated it
    // already, and every value receives its updates in ascending columns as
    // in the separate sweep.
    for (std::size_t i = 0; i < n; ++i) {
        T* const row_i = factor + i * rows * W;
        const std::size_t reach_down = smaller(d, n - 1 - i);
        if constexpr (Factor) {
            const std::size_t reach_back = smaller(d, i);
            const V lam_diagonal = O::broadcast(system.lam_band[i]);
            V diagonal[B];
#pragma GCC unroll 4
            for (std::size_t b = 0; b < B; ++b) {
                V c = (lam_diagonal + O::load(system.w + i * W + b * VW)) + ridge;
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
                const V lam_below = O::broadcast(system.lam_band[r * n + i + r]);
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

// One stage of the tile transpose and then the finer ones: vectors i and
// i + H trade their halves of H lanes so that, after the stage with H = 1,
// lane l of vector j holds what lane j of vector l held.
template <class Ops, std::size_t H, std::size_t... J>
[[gnu::always_inline]] inline void transpose_stage(typename Ops::V* v, std::index_sequence<J...> lanes) {
    constexpr std::size_t N = sizeof...(J);
    for (std::size_t i = 0; i < N; ++i) {
        if ((i & H) == 0) {
            const typename Ops::V a = v[i];
            const typename Ops::V b = v[i + H];
            v[i] = __builtin_shufflevector(a, b, ((J & H) == 0 ? J : N + J - H)...);
            v[i + H] = __builtin_shufflevector(a, b, ((J & H) == 0 ? J + H : N + J)...);
        }
    }
    if constexpr (H > 1) {
        transpose_stage<Ops, H / 2>(v, lanes);
    }
}

// Transposes a square tile of width vectors in registers: a width x width
// block of rows becomes width vectors of lanes, or back.
// Inlined, so that the tile stays in registers.
template <class Ops>
[[gnu::always_inline]] inline void transpose_tile(typename Ops::V* v) {
    if constexpr (Ops::width > 1) {
        transpose_stage<Ops, Ops::width / 2>(v, std::make_index_sequence<Ops::width>());
    }
}

template <class Ops>
typename Ops::V load_bytes(const std::byte* p) {
    typename Ops::V v;
    __builtin_memcpy(&v, p, sizeof(v));
    return v;
}

// One vector of a block's inputs: the weight, and the observation's working
// value at it (working_input.hpp).
template <class Ops>
void store_inputs(typename Ops::V observation, typename Ops::V weight, typename Ops::T* w,
                  typename Ops::T* y) {
    LaneOps<Ops>::store(w, weight);
    LaneOps<Ops>::store(y, working_value(observation, weight));
}

template <class Ops, std::size_t Blocks>
void read_lanes(const LaneRead<typename Ops::T>& read) {
    using O = LaneOps<Ops>;
    using T = typename O::T;
    using V = typename O::V;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    constexpr auto size = static_cast<std::ptrdiff_t>(sizeof(T));
    const V one = O::broadcast(T(1));
    std::size_t t = 0;
    // Rows stored densely: whole tiles are loaded row-wise and transposed.
    if (VW > 1 && read.step == size && (read.bases == nullptr || read.base_step == size)) {
        for (; t + VW <= read.n; t += VW) {
            const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(t) * size;
            for (std::size_t b = 0; b < Blocks; ++b) {
                V values[VW];
                V bases[VW];
                for (std::size_t l = 0; l < VW; ++l) {
                    values[l] = load_bytes<Ops>(read.rows[b * VW + l] + offset);
                    // The next block's rows are far ahead of any hardware
                    // prefetcher: each is short, and a block reads many at once.
                    if (read.next != nullptr) {
                        __builtin_prefetch(read.next[b * VW + l] + offset, 0, 2);
                    }
                }
                transpose_tile<Ops>(values);
                for (std::size_t l = 0; l < VW; ++l) {
                    bases[l] = read.bases != nullptr ? load_bytes<Ops>(read.bases[b * VW + l] + offset) : one;
                }
                if (read.bases != nullptr) {
                    transpose_tile<Ops>(bases);
                }
                for (std::size_t j = 0; j < VW; ++j) {
                    store_inputs<Ops>(values[j], working_weight(values[j], bases[j]),
                                      read.w + (t + j) * W + b * VW, read.y + (t + j) * W + b * VW);
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
            store_inputs<Ops>(value, working_weight(value, base), read.w + t * W + b * VW,
                              read.y + t * W + b * VW);
        }
    }
}

template <class Ops, std::size_t Blocks>
void read_pass_lanes(const LanePass<typename Ops::T>& pass) {
    using O = LaneOps<Ops>;
    using V = typename O::V;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    std::size_t t = 0;
    if (VW > 1) {
        for (; t + VW <= pass.n; t += VW) {
            for (std::size_t b = 0; b < Blocks; ++b) {
                V observations[VW];
                V bases[VW];
                V robust[VW];
                for (std::size_t l = 0; l < VW; ++l) {
                    observations[l] = O::load(pass.observations[b * VW + l] + t);
                    bases[l] = O::load(pass.bases[b * VW + l] + t);
                    robust[l] = O::load(pass.robust[b * VW + l] + t);
                }
                transpose_tile<Ops>(observations);
                transpose_tile<Ops>(bases);
                transpose_tile<Ops>(robust);
                for (std::size_t j = 0; j < VW; ++j) {
                    store_inputs<Ops>(observations[j], bases[j] * robust[j], pass.w + (t + j) * W + b * VW,
                                      pass.y + (t + j) * W + b * VW);
                }
            }
        }
    }
    for (; t < pass.n; ++t) {
        for (std::size_t b = 0; b < Blocks; ++b) {
            V observation{};
            V base{};
            V robust{};
            for (std::size_t l = 0; l < VW; ++l) {
                set_lane<Ops>(observation, l, pass.observations[b * VW + l][t]);
                set_lane<Ops>(base, l, pass.bases[b * VW + l][t]);
                set_lane<Ops>(robust, l, pass.robust[b * VW + l][t]);
            }
            store_inputs<Ops>(observation, base * robust, pass.w + t * W + b * VW, pass.y + t * W + b * VW);
        }
    }
}

template <class Ops, std::size_t Blocks>
void write_lanes(const LaneWrite<typename Ops::T>& write) {
    using O = LaneOps<Ops>;
    using V = typename O::V;
    constexpr std::size_t VW = O::width;
    constexpr std::size_t W = VW * Blocks;
    std::size_t t = 0;
    for (; t + VW <= write.n; t += VW) {
        for (std::size_t b = 0; b < Blocks && b * VW < write.lanes; ++b) {
            V tile[VW];
            for (std::size_t j = 0; j < VW; ++j) {
                tile[j] = O::load(write.z + (t + j) * W + b * VW);
            }
            transpose_tile<Ops>(tile);
            const std::size_t used = write.lanes - b * VW < VW ? write.lanes - b * VW : VW;
            for (std::size_t l = 0; l < used; ++l) {
                O::store(write.rows[b * VW + l] + t, tile[l]);
            }
        }
    }
    for (; t < write.n; ++t) {
        for (std::size_t lane = 0; lane < write.lanes; ++lane) {
            write.rows[lane][t] = write.z[t * W + lane];
        }
    }
}

// Stores the lanes of v where keep is set to out, in lane order, and returns
// how many; an instruction set with a compressing store uses it.
template <class Ops>
std::size_t compress_store(typename Ops::T* out, typename Ops::M keep, typename Ops::V v) {
    if constexpr (requires { Ops::compress_store(out, keep, v); }) {
        return Ops::compress_store(out, keep, v);
    } else {
        // Written only where kept: out may hold no more than the kept lanes.
        std::size_t count = 0;
        for (std::size_t l = 0; l < Ops::width; ++l) {
            if (keep[l] != 0) {
                out[count++] = v[l];
            }
        }
        return count;
    }
}

// W mask bytes (0 or 1) as a lane mask, widened in one step.
template <class Ops>
typename Ops::M mask_lanes(const std::uint8_t* bytes) {
    typedef std::uint8_t Bytes __attribute__((vector_size(Ops::width)));
    Bytes b;
    __builtin_memcpy(&b, bytes, sizeof(b));
    return __builtin_convertvector(b, typename Ops::M) != 0;
}

template <class Ops>
void residuals(const ResidualTask<typename Ops::T>& task) {
    using O = LaneOps<Ops>;
    using T = typename O::T;
    using V = typename O::V;
    using M = typename O::M;
    typedef std::uint8_t Bytes __attribute__((vector_size(O::width)));
    constexpr std::size_t W = O::width;
    const V nan = O::broadcast(__builtin_nan(""));
    // The tail runs through padded copies, so every vector is whole.
    T tail[4][W] = {};
    T r_tail[W];
    std::uint8_t mask_tail[W];
    std::size_t count = 0;
    V smallest = O::broadcast(__builtin_inf());
    V largest{};
    for (std::size_t t = 0; t < task.n; t += W) {
        // The values left from t, and with them the tail's length below
        // W, follow from t < n without any sum that could wrap.
        const std::size_t left = task.n - t;
        const bool whole = left >= W;
        const std::size_t used = whole ? W : left;
        const T* y = task.y + t;
        const T* base = task.base + t;
        const T* robust = task.robust + t;
        const T* fit = task.fit + t;
        std::uint8_t* mask = task.mask + t;
        T* r = task.r + t;
        if (!whole) {
            for (std::size_t l = 0; l < used; ++l) {
                tail[0][l] = y[l];
                tail[1][l] = base[l];
                tail[2][l] = robust[l];
                tail[3][l] = fit[l];
            }
            y = tail[0];
            base = tail[1];
            robust = tail[2];
            fit = tail[3];
            mask = mask_tail;
            r = r_tail;
        }
        const V observation = O::load(y);
        const M in = M(usable(observation, O::load(base) * O::load(robust)));
        const V residual = in ? observation - O::load(fit) : nan;
        O::store(r, residual);
        // Padded lanes are never usable (their base weight is 0).
        const M kept = in & O::finite(residual);
        const V magnitude = O::magnitude(residual);
        count += compress_store<Ops>(task.magnitudes + count, kept, magnitude);
        smallest = (kept & (magnitude < smallest)) ? magnitude : smallest;
        largest = (kept & (magnitude > largest)) ? magnitude : largest;
        const Bytes bytes = __builtin_convertvector(in & 1, Bytes);
        __builtin_memcpy(mask, &bytes, sizeof(bytes));
        if (!whole) {
            for (std::size_t l = 0; l < used; ++l) {
                task.r[t + l] = r_tail[l];
                task.mask[t + l] = mask_tail[l];
            }
        }
    }
    *task.count = count;
    *task.smallest = smallest[0];
    *task.largest = largest[0];
    for (std::size_t l = 1; l < W; ++l) {
        *task.smallest = smallest[l] < *task.smallest ? smallest[l] : *task.smallest;
        *task.largest = largest[l] > *task.largest ? largest[l] : *task.largest;
    }
}

template <class Ops>
void weigh(const WeightTask<typename Ops::T>& task) {
    using O = LaneOps<Ops>;
    using T = typename O::T;
    using V = typename O::V;
    using M = typename O::M;
    constexpr std::size_t W = O::width;
    const V scale = O::broadcast(task.scale);
    // The tail runs through a padded copy, so every vector is whole.
    T r_tail[W] = {};
    T w_tail[W];
    std::uint8_t mask_tail[W] = {};
    for (std::size_t t = 0; t < task.n; t += W) {
        // The values left from t, and with them the tail's length below
        // W, follow from t < n without any sum that could wrap.
        const std::size_t left = task.n - t;
        const bool whole = left >= W;
        const std::size_t count = whole ? W : left;
        const T* r = task.r + t;
        const std::uint8_t* mask = task.mask + t;
        T* weights = task.weights + t;
        if (!whole) {
            for (std::size_t l = 0; l < count; ++l) {
                r_tail[l] = r[l];
                mask_tail[l] = mask[l];
            }
            r = r_tail;
            mask = mask_tail;
            weights = w_tail;
        }
        const M in = mask_lanes<Ops>(mask);
        const V w = weight_lanes<O>(task.weighting, task.tuning, O::load(r) / scale);
        O::store(weights, (in != 0) ? w : V{});
        if (!whole) {
            for (std::size_t l = 0; l < count; ++l) {
                task.weights[t + l] = w_tail[l];
            }
        }
    }
}

// Four vectors per step hide the latency of the divisions and square roots
// of one chain behind three others; more add work without gaining speed.
constexpr std::size_t wide_blocks = 4;

// The kernels of blocks of `Blocks` vectors of Ops.
template <class Ops, std::size_t Blocks>
constexpr LaneBlockKernels<typename Ops::T> block_kernels() {
    return {solve_by_order<Ops, true, Blocks>, solve_by_order<Ops, false, Blocks>, read_lanes<Ops, Blocks>,
            write_lanes<Ops, Blocks>,          read_pass_lanes<Ops, Blocks>,       Blocks * Ops::width};
}

// The kernels of one precision: the wide and the narrow block shape on
// BlockOps, the weights and residuals of one series on SeriesOps.
template <class BlockOps, class SeriesOps = BlockOps>
constexpr LaneKernels<typename BlockOps::T> lane_kernels_of() {
    static_assert(std::is_same_v<typename BlockOps::T, typename SeriesOps::T>);
    return {block_kernels<BlockOps, wide_blocks>(), block_kernels<BlockOps, 1>(), weigh<SeriesOps>,
            residuals<SeriesOps>};
}

}  // namespace tarnwold
