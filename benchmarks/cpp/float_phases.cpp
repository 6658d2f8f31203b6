// Where the single-precision solve spends its time against the double one:
// the single-pass lane path taken apart into its phases on the same series
// in both precisions, with the active kernel's wide blocks. Per block:
//
//   read   rows transposed into lanes, with the working weights and values
//   solve  factor, forward and back substitution, with the lane checks and
//          the float acceptance test (the largest |y| and |z| of each lane)
//   write  lanes transposed back into the result rows
//
// Run with one thread, or with `threads` threads each taking an equal
// share of the series at once (as the pool does). Each round times the
// float and then the double pass (the best of 3 of each), 7 rounds; prints
// per phase the share of each pass's time and the median (range) of the
// per-round ratios of the double phase's seconds to the float phase's.
//
//     float_phases [S=10000] [T=365] [d=2] [threads=1]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

#include "lanes/kernel_choice.hpp"
#include "lanes/lane_kernel.hpp"
#include "lanes/lane_solver.hpp"
#include "solve/grid_band.hpp"

using namespace tarnwold;

namespace {

constexpr int phases = 3;
const char* const phase_names[phases] = {"read", "solve", "write"};
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The benchmarks' kind of series: a seasonal curve with noise, about one
// value in twenty missing, on a grid of steps of 1 to 3 days.
struct Data {
    std::vector<double> x;
    std::vector<double> y;
};

Data make_data(std::size_t series, std::size_t n) {
    Data data{std::vector<double>(n), std::vector<double>(series * n)};
    std::uint64_t state = 20240917;
    const auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1p-53;
    };
    for (std::size_t t = 1; t < n; ++t) {
        data.x[t] = data.x[t - 1] + std::floor(1 + 3 * next());
    }
    for (std::size_t s = 0; s < series; ++s) {
        const double amplitude = 0.2 + 0.4 * next();
        const double phase = 6.283185307179586 * next();
        for (std::size_t t = 0; t < n; ++t) {
            const double value = 0.4 + amplitude * std::sin(6.283185307179586 * data.x[t] / 365.0 + phase) +
                                 0.05 * (next() - 0.5);
            data.y[s * n + t] = next() < 0.05 ? std::numeric_limits<double>::quiet_NaN() : value;
        }
    }
    return data;
}

template <typename T>
struct Problem {
    std::size_t series;
    std::size_t n;
    std::size_t d;
    std::vector<T> y;
    std::vector<T> lam_band;
    const LaneBlockKernels<T>* kernels;
};

template <typename T>
Problem<T> make_problem(const Data& data, std::size_t series, std::size_t n, std::size_t d) {
    Problem<T> problem{series, n, d, std::vector<T>(data.y.begin(), data.y.end()), {}, nullptr};
    const std::vector<T> x(data.x.begin(), data.x.end());
    const std::vector<T> positions = normalize_grid(x.data(), n, "mean");
    const PenaltyBand<T> band = build_penalty_band(positions.data(), n, d, T(1e-10));
    problem.lam_band.resize((d + 1) * n);
    for (std::size_t index = 0; index < problem.lam_band.size(); ++index) {
        problem.lam_band[index] = T(10) * band.values[index];
    }
    problem.kernels = &lane_kernels<T>(active_kernel())->wide;
    return problem;
}

// Series [lo, hi) through the three phases, block by block; adds each
// phase's seconds to `spent`.
template <typename T>
void run_range(const Problem<T>& p, T* fits, std::size_t lo, std::size_t hi, double* spent) {
    const LaneBlockKernels<T>& kernels = *p.kernels;
    const std::size_t width = kernels.width;
    const std::size_t n = p.n;
    std::vector<T> w(n * width), y(n * width), z(n * width), factor((p.d + 1) * n * width);
    std::vector<unsigned char> unverified(width), factor_unverified(width);
    std::vector<const std::byte*> rows(width), next_rows(width);
    std::vector<T*> destinations(width);
    const StridedMatrix<T> matrix{reinterpret_cast<const std::byte*>(p.y.data()), p.series, n,
                                  static_cast<std::ptrdiff_t>(n * sizeof(T)), sizeof(T)};
    for (std::size_t first = lo; first < hi; first += width) {
        const std::size_t lanes = std::min(width, hi - first);
        // As the module's loop does: the solve fetches the next block's
        // rows and this block's destinations into the cache.
        const bool more = first + width < hi;
        point_block_rows(matrix, first, hi, rows);
        if (more) {
            point_block_rows(matrix, first + width, hi, next_rows);
        }
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            destinations[lane] = fits + (first + lane) * n;
        }
        auto start = Clock::now();
        kernels.read({n, rows.data(), sizeof(T), nullptr, 0, w.data(), y.data()});
        spent[0] += seconds_since(start);
        start = Clock::now();
        kernels.solve({p.lam_band.data(), n, p.d, T(0), T(1e-10), w.data(), y.data(), factor.data(), z.data(),
                       unverified.data(), factor_unverified.data(),
                       PrefetchRows{more ? next_rows.data() : nullptr, more ? width : 0, n * sizeof(T)},
                       PrefetchRows{reinterpret_cast<const std::byte* const*>(destinations.data()), lanes,
                                    n * sizeof(T)}});
        spent[1] += seconds_since(start);
        start = Clock::now();
        kernels.write({n, lanes, z.data(), destinations.data()});
        spent[2] += seconds_since(start);
    }
}

// One pass over every series by `threads` threads; the phases' seconds are
// each thread's own, averaged over the threads, the total is the wall time.
template <typename T>
void one_pass(const Problem<T>& p, std::vector<T>& fits, std::size_t threads, double* phase_seconds,
              double& total) {
    std::vector<std::vector<double>> spent(threads, std::vector<double>(phases, 0.0));
    const std::size_t share = (p.series / threads + 63) / 64 * 64;
    const auto start = Clock::now();
    std::vector<std::thread> workers;
    for (std::size_t k = 0; k < threads; ++k) {
        const std::size_t lo = std::min(p.series, k * share);
        const std::size_t hi = k + 1 == threads ? p.series : std::min(p.series, lo + share);
        workers.emplace_back([&, k, lo, hi] { run_range(p, fits.data(), lo, hi, spent[k].data()); });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    total = seconds_since(start);
    for (int phase = 0; phase < phases; ++phase) {
        phase_seconds[phase] = 0.0;
        for (std::size_t k = 0; k < threads; ++k) {
            phase_seconds[phase] += spent[k][phase] / static_cast<double>(threads);
        }
    }
}

// The best of `calls` passes by wall time, with its phases.
template <typename T>
void best_pass(const Problem<T>& p, std::vector<T>& fits, std::size_t threads, double* phase_seconds,
               double& total) {
    total = std::numeric_limits<double>::infinity();
    for (int call = 0; call < 3; ++call) {
        double phase_now[phases];
        double total_now;
        one_pass(p, fits, threads, phase_now, total_now);
        if (total_now < total) {
            total = total_now;
            std::copy(phase_now, phase_now + phases, phase_seconds);
        }
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t series = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    const std::size_t n = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 365;
    const std::size_t d = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 2;
    const std::size_t threads = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1;
    const Data data = make_data(series, n);
    const Problem<float> f32 = make_problem<float>(data, series, n, d);
    const Problem<double> f64 = make_problem<double>(data, series, n, d);
    std::vector<float> fits32(series * n);
    std::vector<double> fits64(series * n);
    constexpr int rounds = 7;
    // [round][phase], the last phase the wall time of the pass
    std::vector<std::vector<double>> seconds32(rounds, std::vector<double>(phases + 1));
    std::vector<std::vector<double>> seconds64(rounds, std::vector<double>(phases + 1));
    for (int round = 0; round < rounds; ++round) {
        best_pass(f32, fits32, threads, seconds32[round].data(), seconds32[round][phases]);
        best_pass(f64, fits64, threads, seconds64[round].data(), seconds64[round][phases]);
    }
    std::printf("kernel %s, %zu + %zu lanes per block, S=%zu T=%zu d=%zu, %zu thread(s)\n",
                kernel_name(active_kernel()).data(), f32.kernels->width, f64.kernels->width, series, n, d,
                threads);
    std::printf("%-6s %10s %8s %10s %8s   %s\n", "phase", "f32 ms", "share", "f64 ms", "share",
                "f32 speed / f64: median (range)");
    for (int phase = 0; phase <= phases; ++phase) {
        std::vector<double> ratios, ms32, ms64, share32, share64;
        for (int round = 0; round < rounds; ++round) {
            ratios.push_back(seconds64[round][phase] / seconds32[round][phase]);
            ms32.push_back(seconds32[round][phase] * 1e3);
            ms64.push_back(seconds64[round][phase] * 1e3);
            share32.push_back(seconds32[round][phase] / seconds32[round][phases]);
            share64.push_back(seconds64[round][phase] / seconds64[round][phases]);
        }
        std::printf("%-6s %10.2f %7.0f%% %10.2f %7.0f%%   %.2fx (%.2f-%.2f)\n",
                    phase < phases ? phase_names[phase] : "total", median(ms32), 100 * median(share32),
                    median(ms64), 100 * median(share64), median(ratios),
                    *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()));
    }
    return 0;
}
