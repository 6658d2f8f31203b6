// What a lone series costs in the numerical core alone, for comparison with
// a module call on the same grid: building the penalty band, and the solve
// of one series with the one-lane kernels (reading, solving and writing),
// from a band built beforehand. Prints the median of many timed repetitions
// in nanoseconds, one line per part:
//
//     lone_series [T=46] [d=2]
//
// The series is the benchmarks' kind: a seasonal curve with every
// twentieth value missing, on a grid of steps of 1 to 3 days.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "lanes/kernel_choice.hpp"
#include "solve/grid_band.hpp"
#include "solve/series_solve.hpp"

using namespace tarnwold;

namespace {

// Median nanoseconds per call of f over rounds of `calls` calls each.
template <class F>
double median_ns(const F& f, int calls) {
    std::vector<double> rounds;
    for (int round = 0; round < 51; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int call = 0; call < calls; ++call) {
            f();
        }
        const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
        rounds.push_back(took.count() / calls);
    }
    std::nth_element(rounds.begin(), rounds.begin() + rounds.size() / 2, rounds.end());
    return rounds[rounds.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 46;
    const std::uint64_t d = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2;
    std::vector<double> x(n), y(n), fit(n);
    for (std::size_t t = 0; t < n; ++t) {
        x[t] = t == 0 ? 0.0 : x[t - 1] + double(1 + t * 7 % 3);
        y[t] = t % 20 == 7 ? std::numeric_limits<double>::quiet_NaN() : 0.4 + 0.3 * std::sin(x[t] / 58.0);
    }
    const std::vector<double> positions = normalize_grid(x.data(), n, "mean");
    const double eps = 1e-10;
    const PenaltyBand<double> band = build_penalty_band(positions.data(), n, d, eps);
    const StridedMatrix<double> series{reinterpret_cast<const std::byte*>(y.data()), 1, n,
                                       static_cast<std::ptrdiff_t>(n * sizeof(double)), sizeof(double)};
    const Smoothing<double> call{series, nullptr, 10.0, d, 1e-10, "mean", eps, false, active_kernel()};

    volatile double sink = 0;
    const double band_ns = median_ns(
        [&] {
            const PenaltyBand<double> built = build_penalty_band(positions.data(), n, d, eps);
            sink = built.values[0];
        },
        2000);
    const double solve_ns = median_ns(
        [&] {
            solve_all_series(call, band, fit.data());
            sink = fit[0];
        },
        2000);
    std::printf("build_penalty_band T=%zu d=%llu: %.0f ns\n", n, static_cast<unsigned long long>(d), band_ns);
    std::printf("one-lane solve T=%zu d=%llu: %.0f ns\n", n, static_cast<unsigned long long>(d), solve_ns);
    return 0;
}
