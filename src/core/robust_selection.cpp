#include "robust_selection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "fault.hpp"
#include "lambda_outputs.hpp"
#include "parallel.hpp"
#include "weight_functions.hpp"

namespace tarnwold {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// Series selected together: their five buffers of T values each stay far
// below the batch, and a chunk still fills many blocks of lanes.
constexpr std::size_t chunk_series = 256;

// The fit passes through a point of leverage 1 (to rounding), whose
// residual is then rounding noise: 1 - h floored here keeps it finite and
// small instead of 0 / 0.
constexpr double least_freedom = 1e-12;

// The choices after the first search the grid within this factor of the
// last lam, each way.
constexpr double window_factor = 100;

// Grid points first .. last (inclusive) of the selection's grid.
struct Window {
    std::size_t first, last;
    bool operator<(const Window& other) const {
        return first != other.first ? first < other.first : last < other.last;
    }
    bool operator==(const Window& other) const { return first == other.first && last == other.last; }
};

// Whether a choice in a window must be made again on the whole grid: its
// minimum lies on an edge of the window that is not an end of the grid, or
// the criterion looked flat in it.
bool leaves_window(LambdaStatus status, const Window& window, std::size_t points) {
    const bool whole = window.first == 0 && window.last + 1 == points;
    switch (status) {
        case LambdaStatus::Ok:
            return false;
        case LambdaStatus::AtLower:
            return window.first > 0;
        case LambdaStatus::AtUpper:
            return window.last + 1 < points;
        case LambdaStatus::Flat:
            return !whole;
        case LambdaStatus::TooFew:
        case LambdaStatus::Empty:
            break;
    }
    throw InternalFault("robust selection: a windowed choice without a grid minimum");
}

class RobustChunk {
public:
    RobustChunk(const SelectionModel& model, const SeriesBatch& batch, const RobustSelectionOptions& options,
                const RobustSelectionOutputs& out, std::size_t capacity)
        : model_(model), batch_(batch), options_(options), out_(out), n_(model.length) {
        const std::size_t values = checked_product(capacity, n_);
        values_.resize(values);
        weights_.resize(values);
        z_.resize(values);
        hat_.resize(values);
        robust_.resize(values);
        for (std::vector<double>* v : {&lam_, &score_, &edf_, &sigma2_, &grid_scale_, &rss_, &roughness_,
                                       &gcv_, &loocv_, &reml_, &at_}) {
            v->resize(capacity);
        }
        observed_.resize(capacity);
        status_.resize(capacity);
        windows_.resize(capacity);
        base_.resize(n_);
        y_.resize(n_);
        r_.resize(n_);
        next_.resize(n_);
        scratch_.resize(n_);
        mask_.resize(n_);
    }

    // Series lo .. lo + count - 1, every pass.
    void run(std::size_t lo, std::size_t count) {
        const Window whole{0, options_.selection.grid.size() - 1};
        std::vector<std::size_t> active(count);
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t s = lo + k;
            SeriesTotals totals;
            read_points(batch_.row(s), batch_.base_row(s), nullptr, 0, n_, out_.weights + s * n_, y_.data(),
                        1, totals);
            double* robust = robust_.data() + k * n_;
            for (std::size_t t = 0; t < n_; ++t) {
                robust[t] = out_.weights[s * n_ + t] > 0 ? 1.0 : 0.0;
            }
            out_.passes[s] = 0;
            windows_[k] = whole;
            active[k] = k;
        }
        for (std::uint64_t pass = 0; pass < options_.iterations && !active.empty(); ++pass) {
            // Series searching the same window are selected together.
            std::stable_sort(active.begin(), active.end(),
                             [&](std::size_t a, std::size_t b) { return windows_[a] < windows_[b]; });
            const std::size_t m = active.size();
            for (std::size_t g = 0; g < m; ++g) {
                const std::size_t s = lo + active[g];
                std::copy_n(batch_.row(s), n_, values_.data() + g * n_);
                std::copy_n(out_.weights + s * n_, n_, weights_.data() + g * n_);
            }
            select_windows(active);
            record(lo, active);
            if (pass + 1 == options_.iterations) {
                break;
            }
            leverages(m);
            std::vector<std::size_t> going;
            for (std::size_t g = 0; g < m; ++g) {
                if (reweigh(lo, active[g], g)) {
                    going.push_back(active[g]);
                }
            }
            active = std::move(going);
        }
    }

private:
    SelectionOutputs outputs_at(std::size_t g) {
        return {lam_.data() + g,
                score_.data() + g,
                edf_.data() + g,
                sigma2_.data() + g,
                observed_.data() + g,
                status_.data() + g,
                grid_scale_.data() + g,
                z_.data() + g * n_,
                nullptr,
                nullptr};
    }

    SeriesBatch gathered(std::size_t g, std::size_t count) const {
        return {values_.data() + g * n_, weights_.data() + g * n_, count, n_, nullptr};
    }

    SelectionOptions options_for(const Window& window) const {
        SelectionOptions options = options_.selection;
        options.parallel = false;
        options.grid.assign(options_.selection.grid.begin() + static_cast<std::ptrdiff_t>(window.first),
                            options_.selection.grid.begin() + static_cast<std::ptrdiff_t>(window.last + 1));
        return options;
    }

    // The choices of the gathered series, a run of equal windows at a time,
    // then on the whole grid for those whose choice left its window.
    void select_windows(const std::vector<std::size_t>& active) {
        const std::size_t m = active.size();
        const std::size_t points = options_.selection.grid.size();
        for (std::size_t g = 0; g < m;) {
            std::size_t end = g + 1;
            while (end < m && windows_[active[end]] == windows_[active[g]]) {
                ++end;
            }
            select_lambdas(model_, gathered(g, end - g), options_for(windows_[active[g]]), outputs_at(g));
            g = end;
        }
        const SelectionOptions whole = options_for({0, points - 1});
        for (std::size_t g = 0; g < m; ++g) {
            const auto status = static_cast<LambdaStatus>(status_[g]);
            const bool chosen = status != LambdaStatus::TooFew && status != LambdaStatus::Empty;
            if (chosen && leaves_window(status, windows_[active[g]], points)) {
                select_lambdas(model_, gathered(g, 1), whole, outputs_at(g));
            }
        }
    }

    // The results of the last choice, which a series keeps if it stops.
    void record(std::size_t lo, const std::vector<std::size_t>& active) {
        for (std::size_t g = 0; g < active.size(); ++g) {
            const std::size_t s = lo + active[g];
            out_.lam[s] = lam_[g];
            out_.edf[s] = edf_[g];
            out_.sigma2[s] = sigma2_[g];
            out_.status[s] = status_[g];
            out_.grid_scale[s] = grid_scale_[g];
            out_.passes[s] += status_[g] != static_cast<std::int8_t>(LambdaStatus::Empty) ? 1 : 0;
            std::copy_n(z_.data() + g * n_, n_, out_.z + s * n_);
        }
    }

    // The leverages of every gathered series at its choice (any lam for one
    // without a choice: it stops below).
    void leverages(std::size_t m) {
        for (std::size_t g = 0; g < m; ++g) {
            at_[g] = std::isnan(lam_[g]) ? 1.0 : lam_[g];
        }
        const EvaluationOutputs out{nullptr,     edf_.data(),   rss_.data(),  roughness_.data(),
                                    gcv_.data(), loocv_.data(), reml_.data(), hat_.data(),
                                    nullptr,     nullptr,       nullptr};
        evaluate_lambdas(model_, gathered(0, m), at_.data(), true, options_.selection.gamma, false,
                         options_.selection.kernel, out);
    }

    // The next weights of chunk series k (gathered at g) from its last fit;
    // false when the series stops.
    bool reweigh(std::size_t lo, std::size_t k, std::size_t g) {
        const std::size_t s = lo + k;
        const auto status = static_cast<LambdaStatus>(status_[g]);
        if (status == LambdaStatus::TooFew || status == LambdaStatus::Empty) {
            return false;
        }
        SeriesTotals base_totals;
        read_points(batch_.row(s), batch_.base_row(s), nullptr, 0, n_, base_.data(), y_.data(), 1,
                    base_totals);
        const double* z = z_.data() + g * n_;
        const double* h = hat_.data() + g * n_;
        for (std::size_t t = 0; t < n_; ++t) {
            mask_[t] = base_[t] > 0 ? 1 : 0;
            r_[t] =
                mask_[t] != 0 ? (y_[t] - z[t]) / std::sqrt(std::max(1 - h[t], least_freedom)) : not_a_number;
        }
        const double scale = options_.scale == ScaleEstimator::Huber
                                 ? huber_scale(r_.data(), mask_.data(), n_, model_.eps, scratch_.data())
                                 : mad_scale(r_.data(), mask_.data(), n_, model_.eps, scratch_.data());
        std::size_t positive = 0;
        bool moved = false;
        const double* robust = robust_.data() + k * n_;
        for (std::size_t t = 0; t < n_; ++t) {
            next_[t] =
                mask_[t] != 0 ? robust_weight(options_.weighting, options_.tuning, r_[t] / scale) : 0.0;
            positive += base_[t] * next_[t] > 0 ? 1 : 0;
            moved = moved || !(std::fabs(next_[t] - robust[t]) <= options_.tol);
        }
        if (positive <= model_.order + 1 || !moved) {
            return false;
        }
        std::copy(next_.begin(), next_.end(), robust_.begin() + static_cast<std::ptrdiff_t>(k * n_));
        double* weights = out_.weights + s * n_;
        for (std::size_t t = 0; t < n_; ++t) {
            weights[t] = base_[t] * next_[t];
        }
        windows_[k] = window_around(lam_[g], status, s);
        return true;
    }

    // The grid points within window_factor of lam, on the grid series s is
    // searched on with its new weights; the whole grid when fewer than three
    // lie there or the last choice found the criterion flat.
    Window window_around(double lam, LambdaStatus status, std::size_t s) {
        const std::vector<double>& grid = options_.selection.grid;
        const Window whole{0, grid.size() - 1};
        if (status == LambdaStatus::Flat) {
            return whole;
        }
        SeriesTotals totals;
        read_points(batch_.row(s), out_.weights + s * n_, nullptr, 0, n_, scratch_.data(), y_.data(), 1,
                    totals);
        const double scale = options_.selection.scale_by_weight
                                 ? totals.weight_sum / static_cast<double>(totals.observed)
                                 : 1.0;
        const double low = lam / window_factor;
        const double high = lam * window_factor;
        std::size_t first = grid.size(), last = 0;
        for (std::size_t j = 0; j < grid.size(); ++j) {
            const double point = grid[j] * scale;
            if (point >= low && point <= high) {
                first = std::min(first, j);
                last = j;
            }
        }
        return first < grid.size() && last >= first + 2 ? Window{first, last} : whole;
    }

    const SelectionModel& model_;
    const SeriesBatch& batch_;
    const RobustSelectionOptions& options_;
    const RobustSelectionOutputs& out_;
    const std::size_t n_;
    // Gathered, one row per active series: values, total weights, fits,
    // leverages; per chunk series: robust weights.
    std::vector<double> values_, weights_, z_, hat_, robust_;
    std::vector<double> lam_, score_, edf_, sigma2_, grid_scale_, rss_, roughness_, gcv_, loocv_, reml_, at_;
    std::vector<std::int64_t> observed_;
    std::vector<std::int8_t> status_;
    std::vector<Window> windows_;  // per chunk series
    std::vector<double> base_, y_, r_, next_, scratch_;
    std::vector<std::uint8_t> mask_;
};

}  // namespace

void robust_selected(const SelectionModel& model, const SeriesBatch& batch,
                     const RobustSelectionOptions& options, const RobustSelectionOutputs& out) {
    if (options.iterations == 0 || options.selection.grid.size() < 3 || batch.source != nullptr) {
        throw InternalFault("robust selection: no pass, a grid of fewer than 3 points, or a source map");
    }
    for_each_series_range(batch.count, options.selection.parallel, [&](std::size_t lo, std::size_t hi) {
        RobustChunk chunk(model, batch, options, out, std::min(chunk_series, hi - lo));
        for (std::size_t first = lo; first < hi; first += chunk_series) {
            chunk.run(first, std::min(chunk_series, hi - first));
        }
    });
}

}  // namespace tarnwold
