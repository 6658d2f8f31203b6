// The lane kernels against the full-width scalar solve, on systems built from
// special values: signed zeros in the band, the weights, the values and lam,
// negative weights and pivots, eps <= 0 and eps > 1, NaN weights. Every lane
// a kernel reports as verified must carry exactly the reference bits, and
// every lane of LaneSolver (verified or patched) must too. The radix
// selection of the MAD scale is checked against a full sort.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "banded_solve.hpp"
#include "check.hpp"
#include "decimal.hpp"
#include "kernel_choice.hpp"
#include "lane_kernel.hpp"
#include "lane_solver.hpp"
#include "order_statistic.hpp"
#include "robust.hpp"

using namespace tarnwold;

namespace {

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

template <typename T>
struct KernelPair {
    void (*solve)(const LaneSystem<T>&);
    void (*substitute)(const LaneSystem<T>&);
    std::size_t width;
};

template <typename T>
KernelPair<T> kernel_of(const LaneBlockKernels* kernels) {
    if constexpr (sizeof(T) == 4) {
        return {kernels->f32, kernels->f32_substitute, kernels->f32_width};
    } else {
        return {kernels->f64, kernels->f64_substitute, kernels->f64_width};
    }
}

// Lanes the kernel verifies equal the reference; returns the verified count.
// With `shared`, every lane gets the weights of lane 0, and the factor of a
// first run serves a second one, with other values, that only substitutes.
template <typename T>
std::size_t check_kernel(const LaneBlockKernels* kernel, std::mt19937_64& g, std::size_t n, std::size_t d,
                         bool shared) {
    const KernelPair<T> kernels = kernel_of<T>(kernel);
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
void check_solver(const LaneKernels* kernel, std::mt19937_64& g, std::size_t n, std::size_t d) {
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
    std::vector<const LaneKernels*> kernels{&single_lane_kernels};
    for (const char* name : {"sse2", "avx2", "avx512"}) {
        const LaneKernels* kernel = lane_kernels(supported_kernel(name));
        if (std::find(kernels.begin(), kernels.end(), kernel) == kernels.end()) {
            kernels.push_back(kernel);
        }
    }
    std::mt19937_64 g(sizeof(T));
    for (const LaneKernels* kernel : kernels) {
        for (const LaneBlockKernels* shape : {&kernel->wide, &kernel->narrow}) {
            const std::size_t width = kernel_of<T>(shape).width;
            for (const bool shared : {false, true}) {
                std::size_t verified = 0;
                std::size_t lanes = 0;
                for (int round = 0; round < 2000; ++round) {
                    const std::size_t d = std::uniform_int_distribution<std::size_t>(0, 4)(g);
                    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 24)(g);
                    verified += check_kernel<T>(shape, g, n, d, shared);
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

// The vectorised weight functions against robust_weight, value by value, on
// special residuals, scales and tunings (Hampel breakpoints out of order).
template <typename T>
void test_weights() {
    const T inf = std::numeric_limits<T>::infinity();
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const std::vector<T> specials = {T(0),     T(-0.0), T(1),     T(-1),     T(1.5),   T(-2.25), T(3.5),
                                     T(4.685), T(8),    T(1e-13), T(1e30),   inf,      -inf,     nan,
                                     T(-7.9),  T(0.3),  T(2.385), T(-1.345), T(1e-40), T(100)};
    const Weighting all[] = {Weighting::Tukey,  Weighting::Huber, Weighting::Cauchy,
                             Weighting::Welsch, Weighting::Fair,  Weighting::Hampel};
    const TuningTriple<T> tunings[] = {{T(1.5), T(3.5), T(8)},
                                       {T(0), T(0), T(4.685)},
                                       {T(4), T(2), T(1)},
                                       {T(2), T(2), T(2)},
                                       {T(-1), T(1e-13), T(0)}};
    std::mt19937_64 g(11);
    std::normal_distribution<double> normal;
    for (const char* name : {"sse2", "avx2", "avx512"}) {
        const LaneKernels* kernels = lane_kernels(supported_kernel(name));
        for (const Weighting weighting : all) {
            for (const TuningTriple<T>& tuning : tunings) {
                for (const T scale : {T(1), T(0.37), T(1e-10), T(3e7)}) {
                    const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 45)(g);
                    std::vector<T> r(n), got(n, T(-5));
                    std::vector<std::uint8_t> mask(n);
                    for (std::size_t t = 0; t < n; ++t) {
                        r[t] = t % 3 == 0 ? pick(g, specials) : static_cast<T>(4 * normal(g));
                        mask[t] = std::uniform_int_distribution<int>(0, 4)(g) != 0 ? 1 : 0;
                    }
                    const WeightTask<T> task{
                        weighting, tuning.t0, tuning.t1,   tuning.t2, decimal<T>(1e-12f, 1e-12),
                        r.data(),  scale,     mask.data(), n,         got.data()};
                    if constexpr (sizeof(T) == 4) {
                        kernels->weigh_f32(task);
                    } else {
                        kernels->weigh_f64(task);
                    }
                    for (std::size_t t = 0; t < n; ++t) {
                        const T expected =
                            mask[t] != 0 ? robust_weight(weighting, tuning, r[t] / scale) : T(0);
                        // NaN matches NaN whatever its sign: the compiler may
                        // order the operands of (-t) * t either way.
                        CHECK(same_bits(&got[t], &expected, 1) ||
                              (std::isnan(got[t]) && std::isnan(expected)));
                    }
                }
            }
        }
    }
}

template <typename T>
void test_select_rank() {
    std::mt19937_64 g(7);
    std::vector<T> values, sorted;
    for (int round = 0; round < 3000; ++round) {
        const std::size_t count = std::uniform_int_distribution<std::size_t>(1, 700)(g);
        const int kind = std::uniform_int_distribution<int>(0, 3)(g);
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
                default:
                    value = std::numeric_limits<T>::max() * static_cast<T>(u);
                    break;
            }
        }
        sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t rank = std::uniform_int_distribution<std::size_t>(0, count - 1)(g);
        // Every other round with the extremes given, as the MAD scale does.
        std::vector<T> copy = values;
        T below = T(-1);
        const T got = round % 2 == 0 ? select_rank(copy.data(), count, rank, rank > 0 ? &below : nullptr)
                                     : select_rank(copy.data(), count, rank, rank > 0 ? &below : nullptr,
                                                   sorted.front(), sorted.back());
        CHECK(got == sorted[rank]);
        if (rank > 0) {
            CHECK(below == sorted[rank - 1]);
        }
    }
}

}  // namespace

int main() {
    test_kernels<float>();
    test_kernels<double>();
    test_weights<float>();
    test_weights<double>();
    test_select_rank<float>();
    test_select_rank<double>();
    return tarnwold_test::check_summary();
}
