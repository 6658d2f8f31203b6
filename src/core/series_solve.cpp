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
void solve_range(const SeriesSolveContext<T>& context, T* destination,
                 const LaneKernels* kernels, std::size_t lo, std::size_t hi) {
    const std::size_t n = context.band->columns;
    LaneSolver<T> solver(*context.band, context.lam, context.ridge, context.eps, kernels);
    const std::size_t width = solver.width();
    std::vector<T*> rows(width);
    for (std::size_t first = lo; first < hi; first += width) {
        const std::size_t lanes = hi - first < width ? hi - first : width;
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            read_series(context, first + lane, solver.weights() + lane, solver.values() + lane,
                        width);
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
    for_each_series_range(series, parallel, [&](std::size_t lo, std::size_t hi) {
        solve_range(context, destination, kernels, lo, hi);
    });
}

template void solve_all_series<float>(const SeriesSolveContext<float>&, float*, bool);
template void solve_all_series<double>(const SeriesSolveContext<double>&, double*, bool);

}  // namespace tarnwold
