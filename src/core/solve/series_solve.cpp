#include "solve/series_solve.hpp"

#include <vector>

#include "base/fault.hpp"
#include "base/working_input.hpp"
#include "lanes/lane_kernel.hpp"
#include "lanes/lane_solver.hpp"
#include "runtime/parallel.hpp"
#include "runtime/scratch.hpp"
#include "solve/banded_solve.hpp"
#include "solve/single_pass.hpp"

namespace tarnwold {

template <typename T>
void read_series(const Smoothing<T>& call, std::size_t s, T* w, T* y, std::size_t step) {
    const std::size_t n = call.y.cols;
    for (std::size_t t = 0; t < n; ++t) {
        const T value = call.y.at(s, t);
        const T weight =
            working_weight(value, call.base_weights != nullptr ? call.base_weights->at(s, t) : T(1));
        w[t * step] = weight;
        y[t * step] = working_value(value, weight);
    }
}

template <typename T>
void solve_series(const Smoothing<T>& call, const PenaltyBand<T>& band, std::size_t s, T* destination) {
    const std::size_t n = band.columns;
    const StridedMatrix<T>* base = call.base_weights;
    if (s >= call.y.rows || call.y.cols != n || (base != nullptr && (s >= base->rows || base->cols != n))) {
        throw InternalFault("series index or length out of range in solve_series");
    }
    std::vector<T> w(n);
    std::vector<T> y(n);
    read_series(call, s, w.data(), y.data(), 1);
    banded_solve(band.data(), n, band.k, w.data(), y.data(), call.lam, call.ridge, call.eps, destination);
}

template void read_series<float>(const Smoothing<float>&, std::size_t, float*, float*, std::size_t);
template void read_series<double>(const Smoothing<double>&, std::size_t, double*, double*, std::size_t);
template void solve_series<float>(const Smoothing<float>&, const PenaltyBand<float>&, std::size_t, float*);
template void solve_series<double>(const Smoothing<double>&, const PenaltyBand<double>&, std::size_t,
                                   double*);

namespace {

// Series [lo, hi) in blocks of the solver's width. Each series is read once,
// straight into the block's interleaved inputs, as solve_series reads it.
template <typename T>
void solve_range(const Smoothing<T>& call, const PenaltyBand<T>& band, T* destination,
                 const LaneKernels<T>* kernels, std::size_t lo, std::size_t hi) {
    const std::size_t n = band.columns;
    LaneSolver<T> solver(band, call.lam, call.ridge, call.eps, kernels, hi - lo);
    const std::size_t width = solver.width();
    const StridedMatrix<T>& y = call.y;
    const StridedMatrix<T>* base = call.base_weights;
    std::vector<T*> rows(width);
    std::vector<const std::byte*> y_rows(width);
    std::vector<const std::byte*> base_rows(width);
    std::vector<const std::byte*> next_rows(width);
    // The next block's rows are far ahead of any hardware prefetcher (each
    // is short, and a block reads many at once): the solve fetches them when
    // they are contiguous.
    const bool dense = y.col_stride == static_cast<std::ptrdiff_t>(sizeof(T));
    for (std::size_t first = lo; first < hi; first += width) {
        const std::size_t lanes = hi - first < width ? hi - first : width;
        const bool more = dense && first + width < hi;
        point_block_rows(y, first, hi, y_rows);
        if (more) {
            point_block_rows(y, first + width, hi, next_rows);
        }
        if (base != nullptr) {
            point_block_rows(*base, first, hi, base_rows);
        }
        solver.read(y_rows.data(), y.col_stride, base != nullptr ? base_rows.data() : nullptr,
                    base != nullptr ? base->col_stride : 0);
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            rows[lane] = destination + (first + lane) * n;
        }
        solver.solve(lanes, rows.data(), more ? next_rows.data() : nullptr);
    }
}

}  // namespace

template <typename T>
void solve_all_series(const Smoothing<T>& call, const PenaltyBand<T>& band, T* destination) {
    const std::size_t series = call.y.rows;
    const std::size_t n = band.columns;
    const StridedMatrix<T>* base = call.base_weights;
    if (call.y.cols != n || (base != nullptr && (base->rows != series || base->cols != n))) {
        throw InternalFault("series matrices do not match the grid length in solve_all_series");
    }
    const LaneKernels<T>* kernels = lane_kernels<T>(call.kernel);
    if (kernels == nullptr) {
        for_each_series(series, call.parallel,
                        [&](std::size_t s) { solve_series(call, band, s, destination + s * n); });
        return;
    }
    // A single series would fill one lane of a wide block: the one-lane
    // kernel keeps the half-width factor without the unused lanes.
    if (series == 1) {
        solve_range(call, band, destination, &lone_series_kernels<T>(), 0, 1);
        return;
    }
    for_each_series_range(
        series, call.parallel,
        [&](std::size_t lo, std::size_t hi) { solve_range(call, band, destination, kernels, lo, hi); },
        lane_grain(*kernels));
}

template <typename T>
void smooth_single_pass(const T* x, const Smoothing<T>& call, T* destination) {
    const std::size_t length = call.y.cols;
    PenaltyBand<T> band;
    if (call.normalize) {
        // Scratch: megabytes for long grids, which freed through malloc
        // would stay resident in the calling thread's heap.
        Scratch<T> positions(length);
        normalize_grid(x, length, *call.normalize, positions.data());
        band = build_penalty_band(positions.data(), length, call.d, call.eps);
    } else {
        band = build_penalty_band(x, length, call.d, call.eps);
    }
    solve_all_series(call, band, destination);
}

template void smooth_single_pass<float>(const float*, const Smoothing<float>&, float*);
template void smooth_single_pass<double>(const double*, const Smoothing<double>&, double*);
template void solve_all_series<float>(const Smoothing<float>&, const PenaltyBand<float>&, float*);
template void solve_all_series<double>(const Smoothing<double>&, const PenaltyBand<double>&, double*);

}  // namespace tarnwold
