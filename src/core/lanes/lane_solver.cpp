#include "lanes/lane_solver.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "base/fault.hpp"
#include "base/working_input.hpp"
#include "solve/banded_solve.hpp"

namespace tarnwold {

namespace {

// The lane kernels rely on the band's rows beyond d being +0 exactly, as
// build_penalty_band leaves them (P = D^T D has only d sub-diagonals).
template <typename T>
bool outer_rows_are_positive_zero(const PenaltyBand<T>& band, std::size_t d) {
    using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>;
    static_assert(sizeof(Bits) == sizeof(T));
    const std::size_t n = band.columns;
    for (std::size_t index = (d + 1) * n; index < (band.k + 1) * n; ++index) {
        Bits bits;
        std::memcpy(&bits, &band.values[index], sizeof(T));
        if (bits != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

template <typename T>
bool LaneSolver<T>::lanes_serve(const PenaltyBand<T>& band, T lam) {
    // A non-finite lam turns the zero rows into NaN, which the kernels do not
    // see, so such calls take the reference for every series.
    const std::size_t n = band.columns;
    return std::isfinite(lam) && band.k % 2 == 0 && n > 0 &&
           band.values.size() == checked_product(band.k + 1, n) &&
           outer_rows_are_positive_zero(band, band.k / 2);
}

template <typename T>
LaneSolver<T>::LaneSolver(const PenaltyBand<T>& band, T lam, T ridge, T eps,
                          const LaneKernels<T>* all_kernels, std::size_t series)
    : band_(band), lam_(lam), ridge_(ridge), eps_(eps), n_(band.columns) {
    const std::size_t d = band.k / 2;
    if (all_kernels != nullptr && lanes_serve(band, lam)) {
        kernels_ = series >= all_kernels->wide.width ? &all_kernels->wide : &all_kernels->narrow;
        width_ = kernels_->width;
        d_ = d;
        lam_band_.resize(checked_product(d + 1, n_));
        for (std::size_t index = 0; index < lam_band_.size(); ++index) {
            lam_band_[index] = lam * band.values[index];
        }
        factor_.resize(checked_product(checked_product(d + 1, n_), width_));
        solution_.resize(checked_product(n_, width_));
        unverified_.resize(width_);
        factor_unverified_.resize(width_);
    }
    weights_.resize(checked_product(n_, width_));
    values_.resize(checked_product(n_, width_));
}

// Bitwise equality, so that -0 and +0 differ and equal NaNs match.
template <typename T>
bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

template <typename T>
bool LaneSolver<T>::lanes_share_weights(std::size_t lanes) const {
    for (std::size_t t = 0; t < n_; ++t) {
        const T* row = weights_.data() + t * width_;
        for (std::size_t lane = 1; lane < lanes; ++lane) {
            if (!same_bits(row[lane], row[0])) {
                return false;
            }
        }
    }
    return true;
}

template <typename T>
bool LaneSolver<T>::weights_are_shared_row() const {
    for (std::size_t t = 0; t < n_; ++t) {
        if (!same_bits(weights_[t * width_], shared_row_[t])) {
            return false;
        }
    }
    return true;
}

template <typename T>
void LaneSolver<T>::solve_with_reference(std::size_t lane, T* destination) {
    // Most calls never fall back, so these are sized at the first need.
    lane_weights_.resize(n_);
    lane_values_.resize(n_);
    for (std::size_t t = 0; t < n_; ++t) {
        lane_weights_[t] = weights_[t * width_ + lane];
        lane_values_[t] = values_[t * width_ + lane];
    }
    banded_solve(band_.data(), n_, band_.k, lane_weights_.data(), lane_values_.data(), lam_, ridge_, eps_,
                 destination);
}

template <typename T>
void LaneSolver<T>::solve(std::size_t lanes, T* const* destinations, const std::byte* const* upcoming) {
    if (kernels_ == nullptr) {
        if (lanes > 0) {
            banded_solve(band_.data(), n_, band_.k, weights_.data(), values_.data(), lam_, ridge_, eps_,
                         destinations[0]);
        }
        return;
    }
    const PrefetchRows ahead{upcoming, upcoming != nullptr ? width_ : 0, n_ * sizeof(T)};
    const PrefetchRows written{reinterpret_cast<const std::byte* const*>(destinations),
                               destinations != nullptr ? lanes : 0, n_ * sizeof(T)};
    // One lane has no other lane to share a factor with.
    const bool uniform = width_ > 1 && lanes_share_weights(lanes);
    if (uniform && shared_ && weights_are_shared_row()) {
        kernels_->substitute({lam_band_.data(), n_, d_, ridge_, eps_, weights_.data(), values_.data(),
                              shared_factor_.data(), solution_.data(), unverified_.data(),
                              factor_unverified_.data(), ahead, written});
    } else {
        kernels_->solve({lam_band_.data(), n_, d_, ridge_, eps_, weights_.data(), values_.data(),
                         factor_.data(), solution_.data(), unverified_.data(), factor_unverified_.data(),
                         ahead, written});
        // Every lane then holds the same factor; keep it if it is verified.
        if (uniform && lanes == width_ && factor_unverified_[0] == 0) {
            shared_row_.resize(n_);
            shared_factor_.resize(factor_.size());
            for (std::size_t t = 0; t < n_; ++t) {
                shared_row_[t] = weights_[t * width_];
            }
            std::swap(factor_, shared_factor_);
            shared_ = true;
        }
    }
    if (destinations != nullptr) {
        kernels_->write({n_, lanes, solution_.data(), destinations});
    }
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        if (unverified_[lane] != 0) {
            lane_solution_.resize(n_);
            T* const solution = destinations != nullptr ? destinations[lane] : lane_solution_.data();
            solve_with_reference(lane, solution);
            for (std::size_t t = 0; t < n_; ++t) {
                solution_[t * width_ + lane] = solution[t];
            }
        }
    }
}

template <typename T>
void LaneSolver<T>::read(const std::byte* const* rows, std::ptrdiff_t step, const std::byte* const* bases,
                         std::ptrdiff_t base_step) {
    if (kernels_ != nullptr) {
        kernels_->read({n_, rows, step, bases, base_step, weights_.data(), values_.data()});
        return;
    }
    // The reference's single lane.
    for (std::size_t t = 0; t < n_; ++t) {
        const auto at = [t](const std::byte* row, std::ptrdiff_t stride) {
            T value;
            std::memcpy(&value, row + static_cast<std::ptrdiff_t>(t) * stride, sizeof(T));
            return value;
        };
        const T value = at(rows[0], step);
        weights_[t] = working_weight(value, bases != nullptr ? at(bases[0], base_step) : T(1));
        values_[t] = working_value(value, weights_[t]);
    }
}

template class LaneSolver<float>;
template class LaneSolver<double>;

}  // namespace tarnwold
