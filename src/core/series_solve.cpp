// The loop of the single-pass smoother over its series.
#include <vector>

#include "banded_solve.hpp"
#include "fault.hpp"
#include "kernel_choice.hpp"
#include "lane_solver.hpp"
#include "parallel.hpp"

namespace tarnwold {

namespace {

// Series [lo, hi) in blocks of the solver's width. Each series is read once,
// straight into the block's interleaved inputs, as solve_series reads it.
template <typename T>
void solve_range(const SeriesSolveContext<T>& context, T* destination, const LaneKernels* kernels,
                 std::size_t lo, std::size_t hi) {
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
        if (!solver.read(y_rows.data(), y.col_stride, base != nullptr ? base_rows.data() : nullptr,
                         base != nullptr ? base->col_stride : 0, more ? next_rows.data() : nullptr)) {
            // A solver without lane kernels has a single lane.
            read_series(context, first, solver.weights(), solver.values(), 1);
        }
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            rows[lane] = destination + (first + lane) * n;
        }
        solver.solve(lanes, rows.data());
    }
}

}  // namespace

template <typename T>
void solve_all_series(const SeriesSolveContext<T>& context, T* destination, bool parallel) {
    const std::size_t series = context.y.rows;
    const std::size_t n = context.band->columns;
    const StridedMatrix<T>* base = context.base_weights;
    if (context.y.cols != n || (base != nullptr && (base->rows != series || base->cols != n))) {
        throw InternalFault("series matrices do not match the grid length in solve_all_series");
    }
    const Kernel kernel = active_kernel();
    if (kernel == Kernel::Scalar) {
        for_each_series(series, parallel,
                        [&](std::size_t s) { solve_series(context, s, destination + s * n); });
        return;
    }
    // A single series would fill one lane of a wide block: the one-lane
    // kernel keeps the half-width factor without the unused lanes.
    if (series == 1) {
        solve_range(context, destination, &single_lane_kernels, 0, 1);
        return;
    }
    const LaneKernels* kernels = lane_kernels(kernel);
    for_each_series_range(
        series, parallel,
        [&](std::size_t lo, std::size_t hi) { solve_range(context, destination, kernels, lo, hi); },
        lane_grain<T>(*kernels));
}

template void solve_all_series<float>(const SeriesSolveContext<float>&, float*, bool);
template void solve_all_series<double>(const SeriesSolveContext<double>&, double*, bool);

}  // namespace tarnwold
