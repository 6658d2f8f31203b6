// Solves a block of series with a lane kernel and patches up every lane the
// kernel could not verify with the scalar reference, so that each solution
// is bit for bit the one banded_solve gives for that series.
//
// One solver serves one thread's contiguous range of series: its scratch is
// allocated once and reused by every block of the range.
#pragma once

#include <cstddef>
#include <vector>

#include "base/series_matrix.hpp"
#include "lanes/lane_kernel.hpp"
#include "runtime/scratch.hpp"
#include "solve/grid_band.hpp"

namespace tarnwold {

template <typename T>
class LaneSolver {
public:
    // kernels: the lane kernels of one instruction set, or nullptr for the
    // reference alone. The band must stay alive and unchanged. series: how
    // many series it will solve, which chooses the block shape.
    LaneSolver(const PenaltyBand<T>& band, T lam, T ridge, T eps, const LaneKernels<T>* kernels,
               std::size_t series);

    // Whether the lane kernels can serve this band and lam at all; otherwise
    // every series takes the reference.
    static bool lanes_serve(const PenaltyBand<T>& band, T lam);

    // Lanes per block: the kernel's vector width, or 1 when no kernel can
    // serve this band and these parameters and every lane takes the reference.
    std::size_t width() const { return width_; }

    // The block's inputs, element (t, lane) at [t * width() + lane]: the
    // weights and the values meeting the preconditions of banded_solve.
    T* weights() { return weights_.data(); }
    T* values() { return values_.data(); }

    // Fills the block's inputs from series rows with the working inputs of
    // the single-pass smoother (see LaneRead), one row pointer per lane of
    // the block.
    void read(const std::byte* const* rows, std::ptrdiff_t step, const std::byte* const* bases,
              std::ptrdiff_t base_step);

    // Solves lanes [0, lanes) of the block and writes the solution of lane l
    // to destinations[l] (n values), or, with a kernel and destinations
    // nullptr, keeps the solutions in the block only (see solutions()).
    // Unused lanes are computed and ignored. upcoming: rows of n contiguous
    // values (one per lane of the block) that the caller reads next, fetched
    // into the cache meanwhile, as are the destinations, or nullptr.
    //
    // A full block whose lanes all carry bit-identical weights leaves its
    // factor behind; a later block with those same weights in every used
    // lane (all rows observed and unweighted, say) only substitutes.
    void solve(std::size_t lanes, T* const* destinations, const std::byte* const* upcoming = nullptr);

    // With a kernel: the kernels of the block shape, and the solutions of
    // the last solve in the block's layout, lanes the kernel could not
    // verify solved by the reference.
    const LaneBlockKernels<T>& block_kernels() const { return *kernels_; }
    const T* solutions() const { return solution_.data(); }
    // With a kernel: width flags, 1 for the lanes of the last solve that
    // the reference solved because the kernel could not verify them.
    const unsigned char* unverified() const { return unverified_.data(); }

private:
    void solve_with_reference(std::size_t lane, T* destination);
    bool lanes_share_weights(std::size_t lanes) const;
    bool weights_are_shared_row() const;

    const PenaltyBand<T>& band_;
    T lam_;
    T ridge_;
    T eps_;
    // The kernels of the block shape, nullptr when the reference solves alone.
    const LaneBlockKernels<T>* kernels_ = nullptr;
    std::size_t width_ = 1;
    std::size_t n_;
    std::size_t d_ = 0;
    Scratch<T> lam_band_;
    Scratch<T> weights_;
    Scratch<T> values_;
    Scratch<T> factor_;
    Scratch<T> solution_;
    Scratch<T> lane_weights_;
    Scratch<T> lane_values_;
    Scratch<T> lane_solution_;
    Scratch<unsigned char> unverified_;
    Scratch<unsigned char> factor_unverified_;
    // The verified factor of the weights shared_row_, in every lane.
    bool shared_ = false;
    Scratch<T> shared_row_;
    Scratch<T> shared_factor_;
};

// The lanes of a narrow block: the grain in which a parallel loop hands out
// series, so that no block is cut in two.
template <typename T>
std::size_t lane_grain(const LaneKernels<T>& kernels) {
    return kernels.narrow.width;
}

// One row pointer per lane of a block of series from `first`, series
// [first, end) of the matrix; unused lanes read the block's first series
// again.
template <typename T>
void point_block_rows(const StridedMatrix<T>& matrix, std::size_t first, std::size_t end,
                      std::vector<const std::byte*>& pointers) {
    const std::size_t lanes = end - first < pointers.size() ? end - first : pointers.size();
    for (std::size_t lane = 0; lane < pointers.size(); ++lane) {
        const auto s = static_cast<std::ptrdiff_t>(lane < lanes ? first + lane : first);
        pointers[lane] = matrix.data + s * matrix.row_stride;
    }
}

}  // namespace tarnwold
