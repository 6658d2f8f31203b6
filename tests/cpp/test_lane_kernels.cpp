// The lane kernels against the full-width scalar solve, on systems built from
// special values: signed zeros in the band, the weights, the values and lam,
// negative weights and pivots, eps <= 0 and eps > 1, NaN weights. Every lane
// a kernel reports as verified must carry exactly the reference bits, and
// every lane of LaneSolver (verified or patched) must too. Whole batches of
// both smoothers run through every kernel against the scalar one. The radix
// selection of the MAD scale is checked against a full sort. The choice of
// lam and the evaluation of given lams run through every kernel against the
// one-series path.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/decimal.hpp"
#include "base/fault.hpp"
#include "check.hpp"
#include "lambda/envelope.hpp"
#include "lambda/lambda_selection.hpp"
#include "lambda/union_model.hpp"
#include "lanes/kernel_choice.hpp"
#include "lanes/lane_kernel.hpp"
#include "lanes/lane_ops.hpp"
#include "lanes/lane_solver.hpp"
#include "robust/order_statistic.hpp"
#include "robust/robust.hpp"
#include "robust/robust_smooth.hpp"
#include "robust/weight_functions.hpp"
#include "solve/banded_solve.hpp"
#include "solve/single_pass.hpp"

using namespace tarnwold;

namespace {

// The vector kernels this processor runs, each once: every kernel but the
// scalar reference, resolved to the widest supported at or below it.
std::vector<Kernel> vector_kernels() {
    std::vector<Kernel> kernels;
    for (const Kernel named : all_kernels) {
        const Kernel kernel = supported_kernel(kernel_name(named));
        if (named != Kernel::Scalar && std::find(kernels.begin(), kernels.end(), kernel) == kernels.end()) {
            kernels.push_back(kernel);
        }
    }
    return kernels;
}

template <typename T>
T pick(std::mt19937_64& g, const std::vector<T>& values) {
    return values[std::uniform_int_distribution<std::size_t>(0, values.size() - 1)(g)];
}

template <typename T>
struct RandomSystem {
    PenaltyBand<T> band;
    T lam;
    T ridge;
    T eps;
};

// A band of half-width 2d whose rows beyond d are +0, as the penalty band's
// are, with the inner rows drawn from values that include signed zeros.
template <typename T>
RandomSystem<T> random_system(std::mt19937_64& g, std::size_t n, std::size_t d) {
    const T nan = std::numeric_limits<T>::quiet_NaN();
    RandomSystem<T> system;
    system.band.k = 2 * d;
    system.band.columns = n;
    system.band.values.assign((2 * d + 1) * n, T(0));
    const bool penalty_like = std::uniform_int_distribution<int>(0, 1)(g) == 0;
    std::normal_distribution<double> normal;
    for (std::size_t j = 0; j <= d; ++j) {
        for (std::size_t i = j; i < n; ++i) {
            T value = static_cast<T>(normal(g));
            if (penalty_like) {
                value = j == 0 ? T(2) + value * value : T(-1) + value / T(8);
            } else if (std::uniform_int_distribution<int>(0, 3)(g) == 0) {
                value = pick<T>(g, {T(0), T(-0.0), T(1), T(-1)});
            }
            system.band.values[j * n + i] = value;
        }
    }
    system.lam = pick<T>(g, {T(1), T(0.25), T(30), T(-0.0), T(0), T(-1), T(1e-30), T(1e4)});
    system.ridge = pick<T>(g, {T(1e-10), T(0), T(-0.0), T(0.5)});
    system.eps = pick<T>(g, {T(1e-10), T(1e-10), T(0), T(-1), T(2), nan});
    return system;
}

template <typename T>
void random_lane(std::mt19937_64& g, std::size_t n, T* w, T* y, std::size_t step) {
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const int kind = std::uniform_int_distribution<int>(0, 9)(g);
    std::normal_distribution<double> normal;
    for (std::size_t t = 0; t < n; ++t) {
        T weight = T(1);
        if (kind >= 3) {
            weight = pick<T>(g, {T(1), T(0.5), T(2), T(0), T(-0.0), T(-0.5), T(1e-30), T(1)});
        }
        if (kind == 9 && t == n / 2) {
            weight = nan;
        }
        T value = static_cast<T>(normal(g));
        if (kind == 2 || std::uniform_int_distribution<int>(0, 7)(g) == 0) {
            value = pick<T>(g, {T(0), T(-0.0), T(1e-30), T(-3)});
        }
        w[t * step] = weight;
        y[t * step] = weight > T(0) ? value : T(0);
    }
}

template <typename T>
bool same_bits(const T* a, const T* b, std::size_t n) {
    return std::memcmp(a, b, n * sizeof(T)) == 0;
}

// The same bits, except that a NaN matches a NaN of either sign: which
// operand's NaN an operation passes on depends on the order the compiler
// gave its operands, which may differ between the scalar and vector code.
template <typename T>
bool same_values(const T* a, const T* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!same_bits(a + i, b + i, 1) && !(std::isnan(a[i]) && std::isnan(b[i]))) {
            return false;
        }
    }
    return true;
}

// Lanes the kernel verifies equal the reference; returns the verified count.
// With `shared`, every lane gets the weights of lane 0, and the factor of a
// first run serves a second one, with other values, that only substitutes.
template <typename T>
std::size_t check_kernel(const LaneBlockKernels<T>& kernels, std::mt19937_64& g, std::size_t n, std::size_t d,
                         bool shared) {
    const std::size_t width = kernels.width;
    const RandomSystem<T> system = random_system<T>(g, n, d);
    std::vector<T> w(n * width), y(n * width), factor(n * (d + 1) * width), z(n * width);
    std::vector<unsigned char> unverified(width), factor_unverified(width);
    for (std::size_t lane = 0; lane < width; ++lane) {
        random_lane(g, n, w.data() + lane, y.data() + lane, width);
    }
    std::vector<T> lam_band((d + 1) * n);
    for (std::size_t i = 0; i < lam_band.size(); ++i) {
        lam_band[i] = system.lam * system.band.values[i];
    }
    const LaneSystem<T> lanes{lam_band.data(),
                              n,
                              d,
                              system.ridge,
                              system.eps,
                              w.data(),
                              y.data(),
                              factor.data(),
                              z.data(),
                              unverified.data(),
                              factor_unverified.data()};
    if (shared) {
        for (std::size_t t = 0; t < n; ++t) {
            for (std::size_t lane = 1; lane < width; ++lane) {
                w[t * width + lane] = w[t * width];
                y[t * width + lane] = w[t * width] > T(0) ? y[t * width + lane] : T(0);
            }
        }
    }
    kernels.solve(lanes);
    if (shared) {
        if (factor_unverified[0] != 0) {
            return 0;
        }
        std::vector<T> unused(n * width);
        for (std::size_t lane = 0; lane < width; ++lane) {
            random_lane(g, n, unused.data() + lane, y.data() + lane, width);
            for (std::size_t t = 0; t < n; ++t) {
                y[t * width + lane] = w[t * width] > T(0) ? y[t * width + lane] : T(0);
            }
        }
        std::fill(unverified.begin(), unverified.end(), 0);
        kernels.substitute(lanes);
    }

    std::size_t verified = 0;
    std::vector<T> lane_w(n), lane_y(n), lane_z(n), expected(n);
    for (std::size_t lane = 0; lane < width; ++lane) {
        if (unverified[lane] != 0) {
            continue;
        }
        ++verified;
        for (std::size_t t = 0; t < n; ++t) {
            lane_w[t] = w[t * width + lane];
            lane_y[t] = y[t * width + lane];
            lane_z[t] = z[t * width + lane];
        }
        banded_solve(system.band.data(), n, system.band.k, lane_w.data(), lane_y.data(), system.lam,
                     system.ridge, system.eps, expected.data());
        CHECK(same_bits(lane_z.data(), expected.data(), n));
    }
    return verified;
}

// LaneSolver patches every lane the kernel leaves, for any lane count.
template <typename T>
void check_solver(const LaneKernels<T>* kernel, std::mt19937_64& g, std::size_t n, std::size_t d) {
    const RandomSystem<T> system = random_system<T>(g, n, d);
    // Up to twice the widest block, so that both block shapes are chosen.
    const std::size_t series = std::uniform_int_distribution<std::size_t>(1, 64)(g);
    LaneSolver<T> solver(system.band, system.lam, system.ridge, system.eps, kernel, series);
    const std::size_t width = solver.width();
    // Some rounds repeat one weight row in every lane, a full block first so
    // that the blocks after it reuse its factor.
    const bool shared = std::uniform_int_distribution<int>(0, 2)(g) == 0;
    std::vector<T> row_w(n), row_y(n);
    random_lane(g, n, row_w.data(), row_y.data(), 1);
    std::vector<T> out(width * n);
    std::vector<T*> rows(width);
    for (std::size_t lane = 0; lane < width; ++lane) {
        rows[lane] = out.data() + lane * n;
    }
    std::vector<T> lane_w(n), lane_y(n), expected(n);
    for (int block = 0; block < 3; ++block) {
        const std::size_t lanes =
            shared && block == 0 ? width : std::uniform_int_distribution<std::size_t>(1, width)(g);
        for (std::size_t lane = 0; lane < width; ++lane) {
            random_lane(g, n, solver.weights() + lane, solver.values() + lane, width);
            for (std::size_t t = 0; shared && t < n; ++t) {
                T& value = solver.values()[t * width + lane];
                solver.weights()[t * width + lane] = row_w[t];
                value = row_w[t] > T(0) ? value : T(0);
            }
        }
        std::vector<T> w(solver.weights(), solver.weights() + n * width);
        std::vector<T> y(solver.values(), solver.values() + n * width);
        solver.solve(lanes, rows.data());
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            for (std::size_t t = 0; t < n; ++t) {
                lane_w[t] = w[t * width + lane];
                lane_y[t] = y[t * width + lane];
            }
            banded_solve(system.band.data(), n, system.band.k, lane_w.data(), lane_y.data(), system.lam,
                         system.ridge, system.eps, expected.data());
            CHECK(same_bits(rows[lane], expected.data(), n));
        }
    }
}

template <typename T>
void test_kernels() {
    // The one-lane set serves lone series; it has the same contract.
    std::vector<const LaneKernels<T>*> kernels{&lone_series_kernels<T>()};
    for (const Kernel kernel : vector_kernels()) {
        kernels.push_back(lane_kernels<T>(kernel));
    }
    std::mt19937_64 g(sizeof(T));
    for (const LaneKernels<T>* kernel : kernels) {
        for (const LaneBlockKernels<T>* shape : {&kernel->wide, &kernel->narrow}) {
            const std::size_t width = shape->width;
            for (const bool shared : {false, true}) {
                std::size_t verified = 0;
                std::size_t lanes = 0;
                for (int round = 0; round < 2000; ++round) {
                    const std::size_t d = std::uniform_int_distribution<std::size_t>(0, 4)(g);
                    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 24)(g);
                    verified += check_kernel<T>(*shape, g, n, d, shared);
                    lanes += width;
                    check_solver<T>(kernel, g, n, d);
                }
                // Both the kernels' results and the fall-backs are exercised.
                CHECK(verified > lanes / 10);
                CHECK(verified < lanes);
            }
        }
    }
}

// Vectors of 16 bytes in the compiler's generic form, for the lane form of
// the weight functions outside any kernel unit.
template <typename E>
struct GenericOps {
    using T = E;
    typedef E V __attribute__((vector_size(16)));
    typedef std::conditional_t<sizeof(E) == 4, std::int32_t, std::int64_t> M __attribute__((vector_size(16)));
    static constexpr std::size_t width = 16 / sizeof(E);
    static V broadcast(E x) {
        V v;
        for (std::size_t l = 0; l < width; ++l) {
            v[l] = x;
        }
        return v;
    }
};

// The lane form of the weight functions against robust_weight, value by
// value, on special residuals, scales and tunings (Hampel breakpoints out of
// order). The kernels run it inside their reweighting, which the batch
// tests compare with the reference for every weighting.
template <typename T>
void test_weights() {
    using O = LaneOps<GenericOps<T>>;
    const T inf = std::numeric_limits<T>::infinity();
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const std::vector<T> specials = {T(0),     T(-0.0), T(1),     T(-1),     T(1.5),   T(-2.25), T(3.5),
                                     T(4.685), T(8),    T(1e-13), T(1e30),   inf,      -inf,     nan,
                                     T(-7.9),  T(0.3),  T(2.385), T(-1.345), T(1e-40), T(100)};
    const TuningTriple<T> tunings[] = {{T(1.5), T(3.5), T(8)},
                                       {T(0), T(0), T(4.685)},
                                       {T(4), T(2), T(1)},
                                       {T(2), T(2), T(2)},
                                       {T(-1), T(1e-13), T(0)}};
    std::mt19937_64 g(11);
    std::normal_distribution<double> normal;
    for (const Weighting weighting : all_weightings) {
        for (const TuningTriple<T>& tuning : tunings) {
            for (const T scale : {T(1), T(0.37), T(1e-10), T(3e7)}) {
                typename O::V u{};
                for (std::size_t l = 0; l < O::width; ++l) {
                    const T r = l % 3 == 0 ? pick(g, specials) : static_cast<T>(4 * normal(g));
                    u[l] = r / scale;
                }
                const typename O::V got = weight_lanes<O>(weighting, tuning, u);
                for (std::size_t l = 0; l < O::width; ++l) {
                    const T expected = robust_weight(weighting, tuning, u[l]);
                    const T value = got[l];
                    // NaN matches NaN whatever its sign: the compiler may
                    // order the operands of (-t) * t either way.
                    CHECK(same_values(&value, &expected, 1));
                }
            }
        }
    }
}

// A weighting outside the enumeration stops the reweighting of every
// kernel and block shape with an internal fault, where a pass that skipped
// it would leave the inputs as they were and go on.
template <typename T>
void test_unknown_weighting() {
    const Weighting unknown = static_cast<Weighting>(all_weightings.size());
    const auto faults = [](auto call) { return tarnwold_test::throws<InternalFault>(call); };
    CHECK(faults([&] {
        weight_lanes<LaneOps<GenericOps<T>>>(unknown, default_tuning<T>(Weighting::Tukey),
                                             typename GenericOps<T>::V{});
    }));
    const std::size_t n = 6;
    for (const Kernel kernel : vector_kernels()) {
        const LaneKernels<T>* kernels = lane_kernels<T>(kernel);
        for (const LaneBlockKernels<T>* block : {&kernels->wide, &kernels->narrow}) {
            const std::size_t size = n * block->width;
            std::vector<T> base(size, T(1)), fit(size, T(0)), w(size, T(1)), y(size);
            std::vector<T> magnitudes(size), squares(size), candidates(size),
                listed(2 * size + 2 * block->width);
            std::vector<T> compacted(n), scales(block->width);
            for (std::size_t i = 0; i < size; ++i) {
                y[i] = static_cast<T>(i % 7);
            }
            CHECK(faults([&] {
                block->reweigh({n, unknown, default_tuning<T>(Weighting::Tukey), ScaleEstimator::Mad,
                                T(1e-10), base.data(), fit.data(), w.data(), y.data(), magnitudes.data(),
                                squares.data(), candidates.data(), listed.data(), compacted.data(),
                                scales.data()});
            }));
        }
    }
}

// Whether the reweighting's sampled selection samples position t of a
// series of n positions: t = (2j + 1) n / 128 for one of its 64 samples j.
bool sampled(std::size_t t, std::size_t n) {
    for (std::size_t j = 0; j < 64; ++j) {
        if ((2 * j + 1) * n / 128 == t) {
            return true;
        }
    }
    return false;
}

// Whole batches through every kernel in one process, each against the
// scalar kernel bit for bit: both smoothers, lone and many series, strided
// observations, missing values, zero, negative and NaN weights, merging,
// every weighting and both scale estimators.
template <typename T>
void test_batches() {
    std::mt19937_64 g(sizeof(T) + 100);
    std::normal_distribution<double> normal;
    // After the random rounds, every length up to 70 (every tile and vector
    // width's remainder) and around the larger sizes of the reweighting's
    // sorting network (powers of two, the sampled selection from 160
    // positions, the radix selection above 512), four rounds each, with
    // ties, missing series and block remainders. One round of each length
    // puts outliers at the positions the sampled selection samples, so that
    // its bracket misses the middle, and some series are all zeros, whose
    // equal residuals overflow the bracket.
    std::vector<std::size_t> lengths;
    for (std::size_t length = 1; length <= 70; ++length) {
        lengths.push_back(length);
    }
    lengths.insert(lengths.end(), {127, 128, 129, 159, 160, 161, 255, 256, 257, 365, 511, 512, 513});
    constexpr int random_rounds = 60;
    const std::vector<TuningTriple<T>> odd_tunings = {{T(0), T(0), T(0)},
                                                      {T(0), T(0), T(0.05)},
                                                      {T(0), T(0), T(-1)},
                                                      {T(-1), T(3), T(2)},
                                                      {T(0), T(0), std::numeric_limits<T>::quiet_NaN()}};
    for (int round = 0; round < random_rounds + 4 * static_cast<int>(lengths.size()); ++round) {
        const bool boundary = round >= random_rounds;
        const std::size_t series =
            boundary ? pick<std::size_t>(g, {7, 37, 97}) : pick<std::size_t>(g, {1, 2, 5, 17, 64});
        const std::size_t length = boundary ? lengths[(round - random_rounds) / 4]
                                            : std::uniform_int_distribution<std::size_t>(4, 40)(g);
        const std::uint64_t d =
            std::uniform_int_distribution<std::uint64_t>(0, length > 3 ? 3 : length - 1)(g);
        std::vector<T> x(length);
        for (std::size_t t = 0; t < length; ++t) {
            x[t] =
                (t == 0 ? T(0) : x[t - 1]) + (t == 3 ? T(0.005) : static_cast<T>(0.1 + std::fabs(normal(g))));
        }
        // Column-major observations, which every kernel reads through
        // strides, or rows one after another, which the kernels read in
        // tiles (the last overlapping the one before) and fetch ahead.
        const bool dense = (round / 3) % 2 == 0;
        const auto series_of = [&](std::size_t i) { return dense ? i / length : i % series; };
        std::vector<T> y(series * length), w(series * length);
        for (std::size_t i = 0; i < y.size(); ++i) {
            y[i] = static_cast<T>(std::sin(double(i % length) / 3.0) + 0.3 * normal(g));
            if (boundary && round % 3 == 0) {
                y[i] = std::round(y[i] * T(2)) / T(2);  // ties among the residuals
            }
            if (std::uniform_int_distribution<int>(0, 9)(g) == 0) {
                y[i] = pick<T>(
                    g, {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(), T(40)});
                if (boundary && round % 4 == 3) {
                    // The largest values make infinite and NaN residuals.
                    y[i] = pick<T>(g, {-std::numeric_limits<T>::infinity(), std::numeric_limits<T>::max(),
                                       -std::numeric_limits<T>::max()});
                }
            }
            if (boundary && round % 4 == 1 && sampled(dense ? i % length : i / series, length)) {
                y[i] = T(30);
            }
            if (boundary && series_of(i) % 5 == 1) {
                y[i] = std::numeric_limits<T>::quiet_NaN();  // a series without observations
            }
            if (boundary && series_of(i) % 5 == 2) {
                y[i] = T(0);
            }
            // Without NaN weights, which send a float batch to its
            // instability error, in the boundary rounds.
            w[i] = boundary ? pick<T>(g, {T(1), T(1), T(0.5), T(2), T(0), T(-1)})
                            : pick<T>(g, {T(1), T(1), T(0.5), T(2), T(0), T(-1),
                                          std::numeric_limits<T>::quiet_NaN()});
        }
        const auto byte_view = [&](const std::vector<T>& values) {
            const auto size = static_cast<std::ptrdiff_t>(sizeof(T));
            const auto across = static_cast<std::ptrdiff_t>(dense ? length : series) * size;
            return StridedMatrix<T>{reinterpret_cast<const std::byte*>(values.data()), series, length,
                                    dense ? across : size, dense ? size : across};
        };
        const StridedMatrix<T> observations = byte_view(y);
        const StridedMatrix<T> weights = byte_view(w);
        const StridedMatrix<T>* base = round % 3 == 0 ? nullptr : &weights;
        const Weighting weighting = all_weightings[round % all_weightings.size()];
        // Every seventh round takes odd constants as they are: a cut-off
        // of 0 (nearly every series keeps its weights), one so tight that
        // some series keep them and others not, negative and NaN constants;
        // no lam, ridge or floor at all, or a negative ridge.
        const bool odd = round % 7 == 6;
        const TuningTriple<T> tuning = odd ? pick(g, odd_tunings) : default_tuning<T>(weighting);
        const T lam = odd ? pick<T>(g, {T(0), T(10)}) : pick<T>(g, {T(0.5), T(10), T(1e4)});
        const T ridge = odd ? pick<T>(g, {T(0), T(-0.5)}) : T(1e-10);
        const T eps = odd && lam == T(0) ? T(0) : T(1e-10);
        const MergedGrid<T> grid = solve_grid(x.data(), length, round % 2 == 0 ? T(0.01) : T(0));
        const auto smoothed = [&](Kernel kernel) {
            std::vector<T> single(series * length), fits(series * length), totals(series * length);
            const Smoothing<T> call{observations, base, lam, d, ridge, "mean", eps, round % 5 != 0, kernel};
            smooth_single_pass(x.data(), call, single.data());
            // A NaN weight in single precision ends in the instability
            // error, which every kernel must report alike.
            try {
                if (grid.positions.size() > d && grid.positions.size() >= 2) {
                    robust_smooth(
                        grid, call,
                        {3, weighting, tuning, round % 4 < 2 ? ScaleEstimator::Mad : ScaleEstimator::Huber},
                        fits.data(), totals.data());
                }
            } catch (const NumericalInstability&) {
                fits.assign(fits.size(), T(-7));
            }
            single.insert(single.end(), fits.begin(), fits.end());
            single.insert(single.end(), totals.begin(), totals.end());
            return single;
        };
        const std::vector<T> expected = smoothed(Kernel::Scalar);
        for (const Kernel kernel : vector_kernels()) {
            const std::vector<T> got = smoothed(kernel);
            CHECK(same_values(got.data(), expected.data(), expected.size()));
        }
    }
}

// The scales of a block's reweighting, from residuals `values` (fits 0,
// weights 1) with the positions where `missing` is set left out, lane l
// holding them rotated by l positions (the same middle from a different
// sample), against the scalar MAD and Huber scales: every kernel set,
// both block shapes.
template <typename T>
void check_lane_scales(const std::vector<T>& values, const std::vector<std::uint8_t>& missing) {
    const std::size_t n = values.size();
    for (const Kernel kernel : vector_kernels()) {
        const LaneKernels<T>* kernels = lane_kernels<T>(kernel);
        for (const LaneBlockKernels<T>* block : {&kernels->wide, &kernels->narrow}) {
            const std::size_t width = block->width;
            std::vector<T> base(n * width, T(1)), fit(n * width, T(0)), w(n * width), y(n * width);
            std::vector<T> magnitudes(n * width), squares(n * width), candidates(n * width);
            std::vector<T> listed(2 * (n + 1) * width);
            std::vector<T> compacted(n), scales(width), r(n), scratch(n);
            std::vector<std::uint8_t> mask(n);
            for (const ScaleEstimator scale : {ScaleEstimator::Mad, ScaleEstimator::Huber}) {
                for (std::size_t t = 0; t < n; ++t) {
                    for (std::size_t l = 0; l < width; ++l) {
                        const std::size_t at = (t + l) % n;
                        w[t * width + l] = missing[at] != 0 ? T(0) : T(1);
                        y[t * width + l] = missing[at] != 0 ? T(0) : values[at];
                    }
                }
                block->reweigh({n, Weighting::Tukey, default_tuning<T>(Weighting::Tukey), scale, T(1e-10),
                                base.data(), fit.data(), w.data(), y.data(), magnitudes.data(),
                                squares.data(), candidates.data(), listed.data(), compacted.data(),
                                scales.data()});
                for (std::size_t l = 0; l < width; ++l) {
                    for (std::size_t t = 0; t < n; ++t) {
                        r[t] = values[(t + l) % n];
                        mask[t] = missing[(t + l) % n] != 0 ? 0 : 1;
                    }
                    const T expected = scale == ScaleEstimator::Mad
                                           ? mad_scale(r.data(), mask.data(), n, T(1e-10), scratch.data())
                                           : huber_scale(r.data(), mask.data(), n, T(1e-10), scratch.data());
                    CHECK(same_values(&scales[l], &expected, 1));
                }
            }
        }
    }
}

// The radix selection against a full sort; every tenth set also through
// the lane kernels' scales, with some positions missing: few distinct
// values put the middle on the edges of the sampled selection's bracket.
template <typename T>
void test_select_rank() {
    std::mt19937_64 g(7);
    std::vector<T> values, sorted;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t count = std::uniform_int_distribution<std::size_t>(1, 700)(g);
        const int kind = std::uniform_int_distribution<int>(0, 4)(g);
        values.resize(count);
        for (T& value : values) {
            const double u = std::uniform_real_distribution<double>(0, 1)(g);
            switch (kind) {
                case 0:
                    value = static_cast<T>(u);
                    break;
                case 1:
                    value = static_cast<T>(std::exp(60 * u - 30));
                    break;
                case 2:
                    value = pick<T>(g, {T(0), T(1), T(2.5), std::numeric_limits<T>::denorm_min()});
                    break;
                case 3:
                    value = static_cast<T>(std::floor(20 * u));
                    break;
                default:
                    value = std::numeric_limits<T>::max() * static_cast<T>(u);
                    break;
            }
        }
        sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t rank = std::uniform_int_distribution<std::size_t>(0, count - 1)(g);
        std::vector<T> copy = values;
        T below = T(-1);
        const T got = select_rank(copy.data(), count, rank, rank > 0 ? &below : nullptr);
        CHECK(got == sorted[rank]);
        if (rank > 0) {
            CHECK(below == sorted[rank - 1]);
        }
        if (round % 10 == 0) {
            std::vector<std::uint8_t> missing(count);
            for (std::uint8_t& m : missing) {
                m = std::uniform_int_distribution<int>(0, 19)(g) == 0 ? 1 : 0;
            }
            check_lane_scales(values, missing);
        }
    }
}

// Selection and evaluation through every kernel against the one-series path,
// all results bit for bit (a NaN matching any NaN): fewer series than lanes
// and block remainders, short and long series, orders 1 to 4, every
// criterion with and without refinement, the envelope, and beside ordinary series ones
// without observations, with too few, with data in the null space of P,
// with zero, negative, tiny and huge weights; ridge and eps 0 as well.
void test_selection_batches() {
    struct Case {
        std::size_t series, length, d;
        double ridge, eps;
    };
    const Case cases[] = {{2, 2, 1, 1e-10, 1e-10},    {3, 3, 2, 1e-10, 1e-10},    {5, 4, 3, 1e-10, 1e-10},
                          {7, 5, 4, 1e-10, 1e-10},    {17, 6, 2, 1e-10, 1e-10},   {37, 7, 1, 1e-10, 1e-10},
                          {9, 8, 3, 1e-10, 1e-10},    {33, 9, 2, 1e-10, 1e-10},   {65, 10, 4, 1e-10, 1e-10},
                          {11, 12, 2, 1e-10, 1e-10},  {40, 13, 1, 1e-10, 1e-10},  {70, 15, 3, 1e-10, 1e-10},
                          {31, 16, 2, 1e-10, 1e-10},  {100, 20, 4, 1e-10, 1e-10}, {97, 20, 2, 1e-10, 1e-10},
                          {33, 20, 2, 0, 0},          {17, 30, 1, 0, 1e-300},     {45, 64, 2, 1e-10, 1e-10},
                          {80, 150, 3, 1e-10, 1e-10}, {50, 365, 2, 1e-10, 1e-10}};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Kernel> kernels = vector_kernels();
    std::mt19937_64 g(13);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform(0, 1);
    int seen[6] = {};
    for (std::size_t c = 0; c < std::size(cases); ++c) {
        const auto [S, T, d, ridge, eps] = cases[c];
        std::vector<double> x(T), y(S * T), w(S * T);
        for (std::size_t t = 0; t < T; ++t) {
            x[t] = (t == 0 ? 0.0 : x[t - 1]) + 0.2 + uniform(g);
        }
        for (std::size_t s = 0; s < S; ++s) {
            const std::size_t kind = s % 9;
            for (std::size_t t = 0; t < T; ++t) {
                double& value = y[s * T + t];
                double& weight = w[s * T + t];
                value = std::sin(x[t] / 2) + 0.3 * normal(g);
                weight = 0.5 + uniform(g);
                if (uniform(g) < 0.1 && kind != 3 && kind != 4) {
                    value = pick<double>(g, {nan, std::numeric_limits<double>::infinity()});
                }
                switch (kind) {
                    case 1:  // no observations
                        value = nan;
                        break;
                    case 2:  // d + 1 observations: too few to select
                        value = t <= d ? value : nan;
                        break;
                    case 3:  // a constant
                        value = 2.5;
                        break;
                    case 4:  // a polynomial of degree d - 1
                        value = std::pow(x[t] - 3, static_cast<double>(d - 1));
                        break;
                    case 5:
                        weight = pick<double>(g, {0.0, 0.0, 1.0, 2.0, -1.0});
                        break;
                    case 6:
                        weight = 1e160;
                        break;
                    case 7:
                        weight = 1e-160;
                        break;
                    default:
                        break;
                }
            }
        }
        const std::optional<std::string_view> normalize = c % 3 == 0 ? std::optional<std::string_view>("mean")
                                                          : c % 3 == 1
                                                              ? std::optional<std::string_view>("median")
                                                              : std::nullopt;
        const SelectionModel model = make_selection_model(x.data(), T, d, ridge, eps, normalize);
        const std::vector<double> grid = *default_lambda_grid(model, 0.5);
        const bool parallel = c % 2 == 1;
        // Every other case gives each series its own ridge, neighbours in a
        // block of lanes differing, the model's ridge among them.
        std::vector<double> ridges(S);
        for (std::size_t s = 0; s < S; ++s) {
            ridges[s] = s % 3 == 0 ? ridge : s % 3 == 1 ? 0.0 : 1e-6;
        }
        const SeriesBatch batch{y.data(), c % 4 == 0 ? nullptr : w.data(),     S, T,
                                nullptr,  c % 2 == 0 ? ridges.data() : nullptr};
        // Every criterion on the half-decade grid and on its own default
        // grid where that is another.
        for (const Criterion criterion : all_criteria) {
            const std::vector<double> own = *default_lambda_grid(model, default_grid_decades(criterion));
            for (const bool refine : {true, false}) {
                for (const std::vector<double>* grids : {&grid, &own}) {
                    const std::vector<double>& lams = *grids;
                    if (grids == &own && own == grid) {
                        continue;
                    }
                    const std::size_t count = criterion == Criterion::Vcurve ? lams.size() - 1 : lams.size();
                    const auto selected = [&](Kernel kernel, std::vector<std::int8_t>& status) {
                        std::vector<double> v(S * (5 + 2 * T + count));
                        std::vector<std::int64_t> observed(S);
                        status.assign(S, 0);
                        double* p = v.data();
                        const SelectionOutputs out{p,
                                                   p + S,
                                                   p + 2 * S,
                                                   p + 3 * S,
                                                   observed.data(),
                                                   status.data(),
                                                   p + 4 * S,
                                                   p + 5 * S,
                                                   p + 5 * S + S * T,
                                                   p + 5 * S + 2 * S * T};
                        select_lambdas(model, batch, {criterion, lams, true, refine, 1.0, parallel, kernel},
                                       out);
                        for (std::size_t s = 0; s < S; ++s) {
                            v.push_back(static_cast<double>(observed[s]) +
                                        static_cast<double>(status[s]) / 8);
                        }
                        return v;
                    };
                    std::vector<std::int8_t> status;
                    const std::vector<double> expected = selected(Kernel::Scalar, status);
                    for (const std::int8_t value : status) {
                        ++seen[value];
                    }
                    for (const Kernel kernel : kernels) {
                        std::vector<std::int8_t> got_status;
                        const std::vector<double> got = selected(kernel, got_status);
                        CHECK(same_values(got.data(), expected.data(), expected.size()));
                    }
                }
            }
        }
        std::vector<double> lams(S);
        for (std::size_t s = 0; s < S; ++s) {
            lams[s] = s % 7 == 3 ? 0.0 : grid[s % grid.size()] * (0.5 + uniform(g));
        }
        const auto evaluated = [&](Kernel kernel, bool per_series, bool fit) {
            std::vector<double> v(S * (6 + 3 * T));
            double* p = v.data();
            const EvaluationOutputs out{fit ? p + 6 * S : nullptr,
                                        p,
                                        p + S,
                                        p + 2 * S,
                                        p + 3 * S,
                                        p + 4 * S,
                                        p + 5 * S,
                                        p + 6 * S + S * T,
                                        p + 6 * S + 2 * S * T,
                                        nullptr,
                                        nullptr};
            evaluate_lambdas(model, batch, lams.data(), per_series, 1.0, parallel, kernel, out);
            return v;
        };
        for (const bool per_series : {true, false}) {
            for (const bool fit : {true, false}) {
                const std::vector<double> expected = evaluated(Kernel::Scalar, per_series, fit);
                for (const Kernel kernel : kernels) {
                    const std::vector<double> got = evaluated(kernel, per_series, fit);
                    CHECK(same_values(got.data(), expected.data(), expected.size()));
                }
            }
        }
        // The fit on the union of x and output points before, between, on
        // and beyond x's, read at the output points: alone, with standard
        // errors, and with them and the values and leverages on x. Points
        // next to x's and runs of close ones are read between the union's
        // points, and outnumber them; points beyond x's, near and far, are
        // continued from the union's ends.
        std::vector<double> x_out{x[0] - 1000, x[0] - 1, x[0] - 1e-6};
        for (std::size_t t = 0; t < T; ++t) {
            if (t % 3 == 0) {
                x_out.push_back(x[t]);
            }
            if (t % 2 == 1) {
                x_out.push_back(x[t] + 1e-6);
            }
            x_out.push_back(x[t] + 0.1);
            for (int k = 1; t % 5 == 2 && k <= 20; ++k) {
                x_out.push_back(x[t] + 0.1 + 0.004 * k);
            }
        }
        x_out.push_back(x[T - 1] + 1.5);
        x_out.push_back(x[T - 1] + 1000);
        const std::size_t P = x_out.size();
        UnionGrid spread = union_of(x.data(), T, x_out.data(), P, d);
        const SelectionModel union_model = make_union_model(
            x.data(), T, spread.positions.data(), spread.positions.size(), d, ridge, eps, normalize);
        set_beyond_spread(spread.output, x.data(), T, x_out.data(), union_model);
        const auto on_union = [&](Kernel kernel, int mode) {
            std::vector<double> v(S * (6 + 2 * P + T));
            double* p = v.data();
            const EvaluationOutputs out{p + 6 * S,
                                        p,
                                        p + S,
                                        p + 2 * S,
                                        p + 3 * S,
                                        p + 4 * S,
                                        p + 5 * S,
                                        mode == 2 ? p + 6 * S + 2 * S * P : nullptr,
                                        mode >= 1 ? p + 6 * S + S * P : nullptr,
                                        nullptr,
                                        &spread.output,
                                        mode == 2 ? &model : nullptr};
            evaluate_lambdas(union_model,
                             {y.data(), batch.base_weights, S, T, spread.source.data(), batch.ridges},
                             lams.data(), true, 1.0, parallel, kernel, out);
            return v;
        };
        for (int mode = 0; mode < 3; ++mode) {
            const std::vector<double> expected = on_union(Kernel::Scalar, mode);
            for (const Kernel kernel : kernels) {
                const std::vector<double> got = on_union(kernel, mode);
                CHECK(same_values(got.data(), expected.data(), expected.size()));
            }
        }
        // The values and leverages on x are those of an evaluation on x alone.
        const std::vector<double> fused = on_union(Kernel::Scalar, 2);
        const std::vector<double> alone = evaluated(Kernel::Scalar, true, true);
        CHECK(same_values(fused.data(), alone.data(), 6 * S));
        CHECK(same_values(fused.data() + 6 * S + 2 * S * P, alone.data() + 6 * S + S * T, S * T));
        // The envelope at those lams and with a criterion, p on both sides of
        // 0.5, with and without a tolerance and a limit on the reweightings.
        const auto enveloped = [&](Kernel kernel, int mode) {
            std::vector<double> v(S * (2 * T + 2));
            std::vector<std::int64_t> taken(S);
            std::vector<std::int8_t> status(S);
            const EnvelopeOutputs out{v.data(), v.data() + S * T, taken.data()};
            const EnvelopeOptions options{mode % 2 == 0 ? 0.9 : 0.05, mode == 1 ? 2u : 30u,
                                          mode == 2 ? 0.05 : 0.0, parallel, kernel};
            if (mode < 3) {
                envelope_at(model, batch, lams.data(), mode != 1, options, out);
            } else {
                envelope_selected(
                    model, batch,
                    {all_criteria[c % all_criteria.size()], grid, true, true, 1.0, parallel, kernel}, options,
                    out, v.data() + 2 * S * T, status.data());
            }
            for (std::size_t s = 0; s < S; ++s) {
                v[2 * S * T + S + s] = static_cast<double>(taken[s]) + static_cast<double>(status[s]) / 8;
            }
            return v;
        };
        for (int mode = 0; mode < 4; ++mode) {
            const std::vector<double> expected = enveloped(Kernel::Scalar, mode);
            for (const Kernel kernel : kernels) {
                const std::vector<double> got = enveloped(kernel, mode);
                CHECK(same_values(got.data(), expected.data(), expected.size()));
            }
        }
    }
    // Every status occurs among the cases.
    for (const int count : seen) {
        CHECK(count > 0);
    }
}
// REML's slope in log lam against a central difference of its values, with
// missing points and with ridges large enough for their term to count.
void test_reml_slope() {
    struct Case {
        std::size_t length, d;
        double ridge, missing, lam;
    };
    const Case cases[] = {{40, 1, 0, 0.1, 3},     {60, 2, 0, 0.2, 30},  {80, 3, 0, 0.1, 300},
                          {50, 2, 0.5, 0.3, 10},  {45, 1, 2, 0.2, 0.5}, {70, 3, 0.05, 0.4, 1e3},
                          {30, 2, 1e-10, 0, 0.01}};
    std::mt19937_64 g(29);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform(0, 1);
    for (const auto [T, d, ridge, missing, lam] : cases) {
        std::vector<double> x(T), y(T);
        for (std::size_t t = 0; t < T; ++t) {
            x[t] = (t == 0 ? 0.0 : x[t - 1]) + 0.5 + uniform(g);
            y[t] = uniform(g) < missing ? std::numeric_limits<double>::quiet_NaN()
                                        : std::sin(x[t] / 3) + 0.2 * normal(g);
        }
        const SelectionModel model = make_selection_model(x.data(), T, d, ridge, 1e-10, "mean");
        SeriesWorkspace ws(model);
        ws.read(model, {y.data(), nullptr, 1, T, nullptr, nullptr}, 0);
        const double h = 1e-4;
        const double above = evaluate_series(model, ws, lam * std::exp(h), 1.0, false).reml;
        const double below = evaluate_series(model, ws, lam * std::exp(-h), 1.0, false).reml;
        const double slope = evaluate_series(model, ws, lam, 1.0, true).reml_slope;
        CHECK(std::fabs((above - below) / (2 * h) - slope) <= 1e-5 * (1 + std::fabs(slope)));
        // Without the inverse there is no slope.
        CHECK(std::isnan(evaluate_series(model, ws, lam, 1.0, false).reml_slope));
    }
}

// log det(D D^T) of a uniform grid against its closed form: with n = T - d
// rows of the plain differences Delta^d, det = prod over i, j = 1 .. d of
// (n + i + j - 1) / (i + j - 1), and D = Delta^d / (d! h^d) on spacing h.
// Factoring D D^T (cond about (T / pi)^(2d)) gave -infinity from T =
// 153,083 on for d = 2.
void test_penalty_log_determinant() {
    struct Case {
        std::size_t length, d;
        double spacing;
        bool normalize;
    };
    const Case cases[] = {{200000, 1, 1, true},  {200000, 2, 1, true},     {200000, 3, 1, true},
                          {2000000, 2, 1, true}, {50000, 2, 86400, false}, {40, 4, 0.01, false}};
    for (const auto [T, d, h, normalize] : cases) {
        std::vector<double> x(T);
        for (std::size_t t = 0; t < T; ++t) {
            x[t] = static_cast<double>(t) * h;
        }
        const SelectionModel model = make_selection_model(
            x.data(), T, d, 1e-10, 1e-10, normalize ? std::optional<std::string_view>("mean") : std::nullopt);
        const double n = static_cast<double>(T - d);
        double exact = 0;
        double factorial = 1;
        for (std::size_t i = 1; i <= d; ++i) {
            factorial *= static_cast<double>(i);
            for (std::size_t j = 1; j <= d; ++j) {
                exact += std::log((n + static_cast<double>(i + j - 1)) / static_cast<double>(i + j - 1));
            }
        }
        const double unit = normalize ? 1.0 : h;
        exact -= 2 * n * (std::log(factorial) + static_cast<double>(d) * std::log(unit));
        CHECK(std::fabs(model.log_pdet - exact) <= 1e-10 * std::fabs(exact));
    }
}
}  // namespace

int main() {
    test_kernels<float>();
    test_kernels<double>();
    test_weights<float>();
    test_weights<double>();
    test_unknown_weighting<float>();
    test_unknown_weighting<double>();
    test_batches<float>();
    test_batches<double>();
    test_select_rank<float>();
    test_select_rank<double>();
    test_selection_batches();
    test_reml_slope();
    test_penalty_log_determinant();
    return tarnwold_test::check_summary();
}
