#include "series_solve.hpp"

#include <vector>

#include "banded_solve.hpp"
#include "fault.hpp"
#include "lane_kernel.hpp"
#include "lane_solver.hpp"
#include "parallel.hpp"
#include "single_pass.hpp"
#include "working_input.hpp"

namespace tarnwold {

template <typename T>
void read_series(const SeriesSolveContext<T>& context, std::size_t s, T* w, T* y,
                 std::size_t step) {
    const std::size_t n = context.y.cols;
    for (std::size_t t = 0; t < n; ++t) {
        const T value = context.y.at(s, t);
        const T weight = working_weight(value, context.base_weights != nullptr ? context.base_weights->at(s, t) : T(1));
        w[t * step] = weight;
        y[t * step] = working_value(value, weight);
    }
}

template <typename T>
void solve_series(const SeriesSolveContext<T>& context, std::size_t s, T* destination) {
    const std::size_t n = context.band->columns;
    const StridedMatrix<T>* base = context.base_weights;
    if (s >= context.y.rows || context.y.cols != n ||
        (base != nullptr && (s >= base->rows || base->cols != n))) {
        throw InternalFault("series index or length out of range in solve_series");
    }
    std::vector<T> w(n);
    std::vector<T> y(n);
    read_series(context, s, w.data(), y.data(), 1);
    banded_solve(context.band->data(), n, context.band->k, w.data(), y.data(), context.lam,
                 context.ridge, context.eps, destination);
}

template void read_series<float>(const SeriesSolveContext<float>&, std::size_t, float*,
                                  float*, std::size_t);
template void read_series<double>(const SeriesSolveContext<double>&, std::size_t, double*,
                                   double*, std::size_t);
template void solve_series<float>(const SeriesSolveContext<float>&, std::size_t, float*);
template void solve_series<double>(const SeriesSolveContext<double>&, std::size_t, double*);

namespace {

// Series [lo, hi) in blocks of the solver's width. Each series is read once,
// straight into the block's interleaved inputs, as solve_series reads it.
template <typename T>
void solve_range(const SeriesSolveContext<T>& context, T* destination,
                 const LaneKernels<T>* kernels, std::size_t lo, std::size_t hi) {
    const std::size_t n = context.band->columns;
    LaneSolver<T> solver(*context.band, context.lam, context.ridge, context.eps, kernels, hi - lo);
    const std::size_t width = solver.width();
    const StridedMatrix<T>& y = context.y;
    const StridedMatrix<T>* base = context.base_weights;
    std::vector<T*> rows(width);
    std::vector<const std::byte*> y_rows(width);
    std::vector<const std::byte*> base_rows(width);
    std::vector<const std::byte*> next_rows(width);
    // One row pointer per lane of the block from `first`; unused lanes read
    // the block's first series again.
    const auto point_rows = [&](const StridedMatrix<T>& matrix, std::size_t first,
                                std::vector<const std::byte*>& pointers) {
        const std::size_t lanes = hi - first < width ? hi - first : width;
        for (std::size_t lane = 0; lane < width; ++lane) {
            const auto s = static_cast<std::ptrdiff_t>(lane < lanes ? first + lane : first);
            pointers[lane] = matrix.data + s * matrix.row_stride;
        }
    };
    for (std::size_t first = lo; first < hi; first += width) {
        const std::size_t lanes = hi - first < width ? hi - first : width;
        const bool more = first + width < hi;
        point_rows(y, first, y_rows);
        if (more) {
            point_rows(y, first + width, next_rows);
        }
        if (base != nullptr) {
            point_rows(*base, first, base_rows);
        }
        solver.read(y_rows.data(), y.col_stride, base != nullptr ? base_rows.data() : nullptr,
                    base != nullptr ? base->col_stride : 0, more ? next_rows.data() : nullptr);
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            rows[lane] = destination + (first + lane) * n;
        }
        solver.solve(lanes, rows.data());
    }
}

}  // namespace

template <typename T>
void solve_all_series(const SeriesSolveContext<T>& context, T* destination, bool parallel, Kernel kernel) {
    const std::size_t series = context.y.rows;
    const std::size_t n = context.band->columns;
    const StridedMatrix<T>* base = context.base_weights;
    if (context.y.cols != n || (base != nullptr && (base->rows != series || base->cols != n))) {
        throw InternalFault("series matrices do not match the grid length in solve_all_series");
    }
    const LaneKernels<T>* kernels = lane_kernels<T>(kernel);
    if (kernels == nullptr) {
        for_each_series(series, parallel,
                        [&](std::size_t s) { solve_series(context, s, destination + s * n); });
        return;
    }
    // A single series would fill one lane of a wide block: the one-lane
    // kernel keeps the half-width factor without the unused lanes.
    if (series == 1) {
        solve_range(context, destination, &lone_series_kernels<T>(), 0, 1);
        return;
    }
    for_each_series_range(
        series, parallel,
        [&](std::size_t lo, std::size_t hi) { solve_range(context, destination, kernels, lo, hi); },
        lane_grain(*kernels));
}

template <typename T>
void smooth_single_pass(const SinglePassSmoothing<T>& p, T* destination) {
    const std::size_t length = p.y.cols;
    PenaltyBand<T> band;
    if (p.normalize) {
        const std::vector<T> positions = normalize_grid(p.x, length, *p.normalize);
        band = build_penalty_band(positions.data(), length, p.d, p.eps);
    } else {
        band = build_penalty_band(p.x, length, p.d, p.eps);
    }
    solve_all_series(SeriesSolveContext<T>{p.y, p.base_weights, &band, p.lam, p.ridge, p.eps}, destination,
                     p.parallel, p.kernel);
}

template void smooth_single_pass<float>(const SinglePassSmoothing<float>&, float*);
template void smooth_single_pass<double>(const SinglePassSmoothing<double>&, double*);
template void solve_all_series<float>(const SeriesSolveContext<float>&, float*, bool, Kernel);
template void solve_all_series<double>(const SeriesSolveContext<double>&, double*, bool, Kernel);

}  // namespace tarnwold
