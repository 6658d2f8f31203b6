#include "lambda/lambda_lanes.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <vector>

#include "base/fault.hpp"
#include "lambda/lambda_outputs.hpp"
#include "lambda/slope_refinement.hpp"
#include "runtime/parallel.hpp"

namespace tarnwold {

namespace {

// The buffers of a block of `width` lanes, allocated once per range of
// series, and the series' totals lane by lane.
class LaneBlock {
public:
    LaneBlock(const SelectionModel& model, const LaneEvaluationKernels& kernels,
              const LaneBlockKernels<double>& io)
        : model_(model), kernels_(kernels), io_(io), width(kernels.width), one_(model) {
        if (io.width != width) {
            throw InternalFault("lane selection: the read and write kernels have another block width");
        }
        if (width % 2 != 0) {
            throw InternalFault("lane selection: a block of lanes of odd width");
        }
        const std::size_t n = model.length;
        const std::size_t lanes = checked_product(n, width);
        const std::size_t band = checked_product(lanes, model.order + 1);
        for (std::vector<double>* v : {&w_, &y_, &reciprocal_, &z_, &dz_, &differences_, &scratch_}) {
            v->resize(lanes);
        }
        factor_.resize(band);
        sigma_.resize(band);
        for (std::vector<double>* v : {&lam, &ridges_, &product_, &rss_, &norm_, &roughness_, &edf_, &trace_,
                                       &loo_, &psi_rate_, &phi_rate_}) {
            v->resize(width);
        }
        exponent_.resize(width);
        for (std::vector<double>* v : {&observed_, &unusual_, &weight_sum_}) {
            v->resize(width);
        }
        basis_.resize(checked_product(lanes, model.order));
        totals.resize(width);
        null_space.resize(width);
        unsettled_.resize(width);
        rows_.resize(width);
        bases_.resize(width);
        targets_.resize(width);
    }

    // Reads series first .. first + lanes - 1 into the lanes; the lanes past
    // them repeat the last. With null_test, also tells for each series with
    // enough points to select whether its data lie in the null space of P
    // (the one-series test decides the lanes the lane test leaves
    // unsettled).
    void read(const SeriesBatch& batch, std::size_t first, std::size_t lanes, bool null_test) {
        const std::size_t n = model_.length;
        for (std::size_t l = 0; l < width; ++l) {
            totals[l] = SeriesTotals{};
        }
        const auto row = [](const double* values) { return reinterpret_cast<const std::byte*>(values); };
        for (std::size_t l = 0; l < width; ++l) {
            const std::size_t s = first + (l < lanes ? l : lanes - 1);
            rows_[l] = row(batch.row(s));
            ridges_[l] = batch.ridge(model_, s);
            bases_[l] = batch.base_weights != nullptr ? row(batch.base_row(s)) : nullptr;
        }
        constexpr auto step = static_cast<std::ptrdiff_t>(sizeof(double));
        const auto read_rows = [&](double* w, double* y) {
            io_.read({batch.row_length, rows_.data(), step,
                      batch.base_weights != nullptr ? bases_.data() : nullptr, step, w, y});
        };
        if (batch.source != nullptr) {
            // Rows spread over a longer grid: read as they are, then spread.
            const std::size_t values = checked_product(batch.row_length, width);
            row_w_.resize(values);
            row_y_.resize(values);
            read_rows(row_w_.data(), row_y_.data());
            add_totals(row_w_.data(), batch.row_length);
            spread(row_w_.data(), row_y_.data(), batch.source);
        } else {
            read_rows(w_.data(), y_.data());
            add_totals(w_.data(), n);
        }
        if (!null_test) {
            return;
        }
        kernels_.null_space({n, model_.order, model_.positions.data(), w_.data(), y_.data(), basis_.data(),
                             scratch_.data(), null_space.data(), unsettled_.data()});
        for (std::size_t l = 0; l < lanes; ++l) {
            if (unsettled_[l] != 0 && totals[l].observed >= model_.order + 2) {
                null_space[l] = null_test_of(l);
            }
        }
    }

    // The series of another block, whose model's points this block's grid
    // holds (source: for each point of the grid the index of the other
    // block's point, or -1), as read() would read them on this grid.
    void take(const LaneBlock& rows, const std::int64_t* source) {
        if (rows.width != width) {
            throw InternalFault("lane selection: blocks of different widths");
        }
        totals = rows.totals;
        ridges_ = rows.ridges_;
        spread(rows.w_.data(), rows.y_.data(), source);
    }

    // What an evaluation forms beyond the fit (LaneEvaluation's flags);
    // leverages (with inverse) go to spare().
    struct Needs {
        bool log_det = false;
        bool inverse = false;
        bool leave_one_out = false;
        bool speed = false;
        bool leverages = false;
        bool fit_only = false;
    };

    // Evaluates every lane at its lam.
    void evaluate(const Needs& needs) {
        const LaneEvaluation task{model_.length,
                                  model_.order,
                                  model_.penalty.data(),
                                  model_.difference.values.data(),
                                  ridges_.data(),
                                  model_.eps,
                                  needs.log_det,
                                  needs.inverse,
                                  needs.leave_one_out,
                                  needs.speed,
                                  needs.fit_only,
                                  lam.data(),
                                  w_.data(),
                                  y_.data(),
                                  factor_.data(),
                                  reciprocal_.data(),
                                  sigma_.data(),
                                  z_.data(),
                                  dz_.data(),
                                  differences_.data(),
                                  scratch_.data(),
                                  needs.leverages ? dz_.data() : nullptr,
                                  product_.data(),
                                  exponent_.data(),
                                  rss_.data(),
                                  norm_.data(),
                                  roughness_.data(),
                                  edf_.data(),
                                  trace_.data(),
                                  loo_.data(),
                                  psi_rate_.data(),
                                  phi_rate_.data()};
        kernels_.evaluate(task);
        log_det_ = needs.log_det;
        inverse_ = needs.inverse;
        leave_one_out_ = needs.leave_one_out;
    }

    // Lane l's criteria from the last evaluation.
    Evaluation result(std::size_t l, double gamma) const {
        EvaluationSums sums;
        sums.pivots = {product_[l], static_cast<long>(exponent_[l])};
        sums.rss = rss_[l];
        sums.norm = norm_[l];
        sums.roughness = roughness_[l];
        sums.edf = edf_[l];
        sums.trace = trace_[l];
        sums.loo = leave_one_out_ ? loo_[l] : std::numeric_limits<double>::quiet_NaN();
        return finish_evaluation(model_, totals[l], ridges_[l], lam[l], gamma, sums, inverse_, log_det_);
    }
    double speed(std::size_t l, const Evaluation& at) const {
        return speed_of(lam[l], psi_rate_[l], phi_rate_[l], at);
    }
    // Writes lanes 0 .. lanes - 1 of a lane-interleaved vector (length
    // values per lane, n by default) to the rows of series first .. first +
    // lanes - 1 of out.
    void write(const double* lane_values, std::size_t first, std::size_t lanes, double* out) {
        write(lane_values, model_.length, first, lanes, out);
    }
    void write(const double* lane_values, std::size_t length, std::size_t first, std::size_t lanes,
               double* out) {
        for (std::size_t l = 0; l < lanes; ++l) {
            targets_[l] = out + (first + l) * length;
        }
        io_.write({length, lanes, lane_values, targets_.data()});
    }

    // The lane-interleaved fit, working weights and band of Sigma.
    const double* fit() const { return z_.data(); }
    const double* weights() const { return w_.data(); }
    const double* sigma() const { return sigma_.data(); }
    // A lane-interleaved vector of n values for the caller's use between
    // evaluations.
    double* spare() { return dz_.data(); }

private:
    const SelectionModel& model_;
    const LaneEvaluationKernels& kernels_;
    const LaneBlockKernels<double>& io_;

public:
    const std::size_t width;
    std::vector<double> lam;  // each lane's lam for the next evaluation
    std::vector<SeriesTotals> totals;
    std::vector<unsigned char> null_space;  // after a read with the test, for lanes that select

private:
    // Each point of the grid takes the inputs of its row element (source)
    // or those of a missing value (weight 0, value 0), as read_points gives
    // them.
    void spread(const double* row_w, const double* row_y, const std::int64_t* source) {
        for (std::size_t t = 0; t < model_.length; ++t) {
            const std::int64_t i = source[t];
            double* const w = w_.data() + t * width;
            double* const y = y_.data() + t * width;
            if (i < 0) {
                std::fill(w, w + width, 0.0);
                std::fill(y, y + width, 0.0);
            } else {
                std::copy_n(row_w + static_cast<std::size_t>(i) * width, width, w);
                std::copy_n(row_y + static_cast<std::size_t>(i) * width, width, y);
            }
        }
    }

    // The totals of the lanes from their working weights (`length` points,
    // lane-interleaved), which are > 0 exactly at the usable points:
    // add_point's sums, each lane's in the order of its points, formed
    // across the lanes without branches so that the loop compiles to vector
    // code. The logarithms of weights other than 1 are added afterwards in
    // the lanes that have any. Points without an observation add nothing,
    // so the rows' own points give a longer grid's totals.
    void add_totals(const double* weights, std::size_t length) {
        // Counts and flags in doubles (exact), two lanes at a time in a
        // vector (the widths of the blocks are even), which the compiler
        // does not form from the scalar choices by itself.
        using Pair = double __attribute__((vector_size(16)));
        const std::size_t lanes = width;
        double* const observed = observed_.data();
        double* const unusual = unusual_.data();
        double* const weight_sum = weight_sum_.data();
        const Pair zero{}, one = {1.0, 1.0};
        for (std::size_t l = 0; l < lanes; l += 2) {
            Pair count{}, sum{}, other{};
            for (std::size_t t = 0; t < length; ++t) {
                Pair w;
                __builtin_memcpy(&w, weights + t * lanes + l, sizeof(Pair));
                const auto usable = w > zero;
                count = count + (usable ? one : zero);
                sum = sum + (usable ? w : zero);
                other = (usable & (w != one)) ? one : other;
            }
            __builtin_memcpy(observed + l, &count, sizeof(Pair));
            __builtin_memcpy(weight_sum + l, &sum, sizeof(Pair));
            __builtin_memcpy(unusual + l, &other, sizeof(Pair));
        }
        for (std::size_t l = 0; l < lanes; ++l) {
            totals[l].observed = static_cast<std::size_t>(observed[l]);
            totals[l].weight_sum = weight_sum[l];
            for (std::size_t t = 0; unusual[l] != 0 && t < length; ++t) {
                const double w = weights[t * lanes + l];
                if (w > 0 && w != 1) {
                    totals[l].log_weight_sum = totals[l].log_weight_sum + std::log(w);
                }
            }
        }
    }

    bool null_test_of(std::size_t l) {
        copy_strided(w_.data() + l, width, model_.length, one_.w.data());
        copy_strided(y_.data() + l, width, model_.length, one_.y.data());
        return in_null_space(model_, one_);
    }

    SeriesWorkspace one_;  // one series, for the null-space test of an unsettled lane
    std::vector<double> w_, y_, factor_, reciprocal_, sigma_, z_, dz_, differences_, scratch_, basis_;
    std::vector<double> row_w_, row_y_;  // rows read as they are, for a longer grid
    std::vector<unsigned char> unsettled_;
    std::vector<const std::byte*> rows_, bases_;
    std::vector<double*> targets_;
    std::vector<double> ridges_;  // each lane's series' ridge
    std::vector<double> product_, rss_, norm_, roughness_, edf_, trace_, loo_, psi_rate_, phi_rate_;
    std::vector<std::int64_t> exponent_;
    std::vector<double> observed_, unusual_, weight_sum_;
    bool log_det_ = false, inverse_ = false, leave_one_out_ = false;
};

// The selection block's buffers, in vectors of T values per lane.
std::size_t block_vectors(const SelectionModel& model) { return 9 + 3 * model.order; }

// The selection of one block at a time, lane by lane what SeriesSelector
// does for one series.
class BlockSelector {
public:
    BlockSelector(const SelectionModel& model, const SelectionOptions& options,
                  const LaneEvaluationKernels& kernels, const LaneBlockKernels<double>& io,
                  const SelectionOutputs& out)
        : model_(model),
          options_(options),
          out_(out),
          block_(model, kernels, io),
          points_(options.grid.size()) {
        const std::size_t width = block_.width;
        count_ = vcurve() ? points_ - 1 : points_;
        grid_.resize(checked_product(width, points_));
        psi_.resize(grid_.size());
        phi_.resize(grid_.size());
        lams_.resize(checked_product(width, count_));
        scores_.resize(lams_.size());
        slopes_.resize(lams_.size());
        lanes_.resize(width);
    }

    void run(const SeriesBatch& batch, std::size_t first, std::size_t lanes) {
        const std::size_t width = block_.width;
        block_.read(batch, first, lanes, true);
        first_ = first;
        bool selecting = false;
        for (std::size_t l = 0; l < width; ++l) {
            Lane& lane = lanes_[l];
            lane = Lane{};
            const std::optional<double> scale =
                l < lanes ? start_selection(model_, options_, block_.totals[l], first + l, out_)
                          : std::nullopt;
            lane.used = scale.has_value();
            lane.selecting = lane.used && block_.totals[l].observed >= model_.order + 2;
            lane.status = !lane.used        ? LambdaStatus::Empty
                          : !lane.selecting ? LambdaStatus::TooFew
                                            : LambdaStatus::Ok;
            lane.grid_scale = scale.value_or(std::numeric_limits<double>::quiet_NaN());
            selecting = selecting || lane.selecting;
            for (std::size_t j = 0; lane.used && j < points_; ++j) {
                grid_[l * points_ + j] = options_.grid[j] * *scale;
            }
        }
        if (selecting) {
            score_grid();
            refine();
        }

        for (std::size_t l = 0; l < width; ++l) {
            const Lane& lane = lanes_[l];
            block_.lam[l] =
                fitted_lam(static_cast<std::int8_t>(lane.status), lane.lam, options_.grid, lane.grid_scale);
        }
        block_.evaluate(
            {.log_det = true, .inverse = true, .leave_one_out = true, .leverages = out_.hat != nullptr});
        const std::size_t n = model_.length;
        block_.write(block_.fit(), first, lanes, out_.z);
        for (std::size_t l = 0; l < lanes; ++l) {
            const Lane& lane = lanes_[l];
            const std::size_t s = first + l;
            if (!lane.used) {
                fill(out_.z + s * n, n, std::numeric_limits<double>::quiet_NaN());
                continue;
            }
            // The kernel left the leverages in spare.
            if (out_.hat != nullptr) {
                copy_strided(block_.spare() + l, width, n, out_.hat + s * n);
            }
            const Evaluation e = block_.result(l, options_.gamma);
            if (!lane.selecting) {
                out_.edf[s] = e.edf;
                continue;
            }
            finish_selection(options_.criterion, e, block_.totals[l], model_.order, lane.lam, lane.score,
                             lane.status, s, out_);
            if (out_.se != nullptr) {
                standard_errors(n, model_.order, block_.sigma() + l, width, out_.sigma2[s], out_.se + s * n);
            }
        }
    }

private:
    // One lane's state through the search.
    struct Lane {
        bool used = false;       // a series with observations
        bool selecting = false;  // with enough of them to select
        bool refining = false;
        bool waiting = false;  // for the value at its search's point
        LambdaStatus status = LambdaStatus::Ok;
        double lam = 0, score = 0;
        double grid_scale = 0;    // the factor of its grid
        Refinement search;        // for a criterion without a slope
        SlopeRefinement descent;  // for one with
        bool searching(bool slopes) const { return refining && !(slopes ? descent.done() : search.done()); }
    };

    bool vcurve() const { return options_.criterion == Criterion::Vcurve; }

    // Evaluates every selecting lane at the lam `at` gives it (the others at
    // 1, discarded) with the criterion's needs.
    template <typename At>
    void evaluate_selecting(At at, bool speed) {
        for (std::size_t l = 0; l < block_.width; ++l) {
            block_.lam[l] = lanes_[l].selecting ? at(l) : 1.0;
        }
        block_.evaluate({.log_det = needs_log_det(options_.criterion),
                         .inverse = needs_inverse(options_.criterion),
                         .leave_one_out = needs_leave_one_out(options_.criterion),
                         .speed = speed});
    }

    // The criterion at each lane's lam off the grid: the speed for the V-curve.
    double criterion_at(std::size_t l) const {
        const Evaluation e = block_.result(l, options_.gamma);
        return vcurve() ? block_.speed(l, e) : criterion_value(options_.criterion, e);
    }

    void score_grid() {
        const std::size_t width = block_.width;
        for (std::size_t j = 0; j < points_; ++j) {
            evaluate_selecting([&](std::size_t l) { return grid_[l * points_ + j]; }, false);
            for (std::size_t l = 0; l < width; ++l) {
                if (!lanes_[l].selecting) {
                    continue;
                }
                const Evaluation e = block_.result(l, options_.gamma);
                if (vcurve()) {
                    psi_[l * points_ + j] = std::log(e.rss);
                    phi_[l * points_ + j] = std::log(e.roughness);
                } else {
                    lams_[l * count_ + j] = grid_[l * points_ + j];
                    scores_[l * count_ + j] = criterion_value(options_.criterion, e);
                    slopes_[l * count_ + j] = has_slope(options_.criterion)
                                                  ? criterion_slope(options_.criterion, e)
                                                  : std::numeric_limits<double>::quiet_NaN();
                }
            }
        }
        for (std::size_t l = 0; l < width; ++l) {
            Lane& lane = lanes_[l];
            if (!lane.selecting) {
                continue;
            }
            double* lams = &lams_[l * count_];
            double* scores = &scores_[l * count_];
            if (vcurve()) {
                vcurve_candidates(&grid_[l * points_], points_, &psi_[l * points_], &phi_[l * points_], lams,
                                  scores);
            }
            if (out_.scores != nullptr) {
                copy_strided(scores, 1, count_, out_.scores + (first_ + l) * count_);
            }
            lane.status = LambdaStatus::Ok;
            std::size_t best = pick_minimum(scores, count_, lane.status);
            if (block_.null_space[l]) {
                lane.status = LambdaStatus::Flat;
                best = count_ - 1;
            }
            lane.lam = lams[best];
            lane.score = scores[best];
            lane.refining = options_.refine && refinable(lane.status);
            if (lane.refining && has_slope(options_.criterion)) {
                lane.descent = start_slope_refinement(lams, scores, &slopes_[l * count_], count_, best);
            } else if (lane.refining) {
                lane.search = start_refinement(lams, scores, count_, best, vcurve());
            }
        }
    }

    void refine() {
        const std::size_t width = block_.width;
        // A lane that does not refine, or has finished, rides along at its own lam.
        const bool slopes = has_slope(options_.criterion);
        for (;;) {
            bool any = false;
            for (std::size_t l = 0; l < width; ++l) {
                lanes_[l].waiting = lanes_[l].searching(slopes);
                any = any || lanes_[l].waiting;
            }
            if (!any) {
                break;
            }
            evaluate_selecting(
                [&](std::size_t l) {
                    const Lane& lane = lanes_[l];
                    return !lane.waiting ? lane.lam : slopes ? lane.descent.point() : lane.search.point();
                },
                vcurve());
            for (std::size_t l = 0; l < width; ++l) {
                if (!lanes_[l].waiting) {
                    continue;
                }
                if (slopes) {
                    const Evaluation e = block_.result(l, options_.gamma);
                    lanes_[l].descent.take(comparable(criterion_value(options_.criterion, e)),
                                           criterion_slope(options_.criterion, e));
                } else {
                    lanes_[l].search.take(comparable(criterion_at(l)));
                }
            }
        }
        const auto finish = [](Lane& lane, const auto& search) {
            lane.status = refined_status(lane.status, search);
            if (search.best_value() < search.start_value()) {
                lane.lam = search.best_lam();
                lane.score = search.best_value();
            }
        };
        for (std::size_t l = 0; l < width; ++l) {
            Lane& lane = lanes_[l];
            if (lane.refining && slopes) {
                finish(lane, lane.descent);
            } else if (lane.refining) {
                finish(lane, lane.search);
            }
            if (lane.selecting && lane.status == LambdaStatus::Flat) {
                lane.lam = grid_[l * points_ + points_ - 1];
            }
        }
    }

    const SelectionModel& model_;
    const SelectionOptions& options_;
    const SelectionOutputs out_;
    LaneBlock block_;
    std::size_t points_, count_ = 0;
    std::vector<double> grid_, psi_, phi_, lams_, scores_, slopes_;  // lane by lane
    std::vector<Lane> lanes_;
    std::size_t first_ = 0;
};

}  // namespace

bool wide_blocks(const SelectionKernelSet& kernels, std::size_t count, const SelectionModel& model,
                 std::size_t vectors) {
    constexpr double cached_bytes = 24.0 * 1024 * 1024;
    const double wide_bytes = static_cast<double>(vectors) * static_cast<double>(model.length) *
                              static_cast<double>(kernels.wide.width) * sizeof(double);
    return count >= kernels.wide.width && wide_bytes <= cached_bytes;
}

void select_in_lanes(const SelectionModel& model, const SeriesBatch& batch, const SelectionOptions& options,
                     const SelectionKernelSet& kernels, const LaneKernels<double>& io,
                     const SelectionOutputs& out) {
    for_each_series_range(
        batch.count, options.parallel,
        [&](std::size_t lo, std::size_t hi) {
            const bool wide = wide_blocks(kernels, hi - lo, model, block_vectors(model));
            BlockSelector selector(model, options, wide ? kernels.wide : kernels.narrow,
                                   wide ? io.wide : io.narrow, out);
            const std::size_t width = wide ? kernels.wide.width : kernels.narrow.width;
            for (std::size_t first = lo; first < hi; first += width) {
                selector.run(batch, first, hi - first < width ? hi - first : width);
            }
        },
        kernels.wide.width);
}

void evaluate_in_lanes(const SelectionModel& model, const SeriesBatch& batch, const double* lams,
                       bool per_series, double gamma, bool parallel, const SelectionKernelSet& kernels,
                       const LaneKernels<double>& io, const EvaluationOutputs& out) {
    const std::size_t n = model.length;
    const std::size_t k = model.order;
    SeriesBatch rows = batch;
    rows.source = nullptr;
    // With the values on x as well, two blocks (x and the grid) at most as
    // long as the grid's.
    const std::size_t vectors = block_vectors(model) * (out.on_x != nullptr ? 2 : 1);
    for_each_series_range(
        batch.count, parallel,
        [&](std::size_t lo, std::size_t hi) {
            const bool wide = wide_blocks(kernels, hi - lo, model, vectors);
            const LaneEvaluationKernels& shape = wide ? kernels.wide : kernels.narrow;
            const LaneBlockKernels<double>& io_shape = wide ? io.wide : io.narrow;
            LaneBlock block(model, shape, io_shape);
            // The block on x, for its values: read once, then spread over the grid.
            std::optional<LaneBlock> on_x;
            if (out.on_x != nullptr) {
                on_x.emplace(*out.on_x, shape, io_shape);
            }
            const std::size_t width = block.width;
            std::vector<Evaluation> results(width);
            std::vector<double> sigma2(width);
            for (std::size_t first = lo; first < hi; first += width) {
                const std::size_t lanes = hi - first < width ? hi - first : width;
                for (std::size_t l = 0; l < width; ++l) {
                    block.lam[l] = per_series ? lams[first + (l < lanes ? l : lanes - 1)] : lams[0];
                }
                if (on_x) {
                    on_x->read(rows, first, lanes, false);
                    on_x->lam = block.lam;
                    on_x->evaluate({.log_det = true,
                                    .inverse = true,
                                    .leave_one_out = true,
                                    .leverages = out.hat != nullptr});
                    for (std::size_t l = 0; l < lanes; ++l) {
                        if (on_x->totals[l].observed != 0) {
                            write_evaluation_values(on_x->result(l, gamma), first + l, out);
                        }
                    }
                    if (out.hat != nullptr) {
                        on_x->write(on_x->spare(), first, lanes, out.hat);
                    }
                    block.take(*on_x, batch.source);
                } else {
                    block.read(batch, first, lanes, false);
                }
                // Fitted at output points without standard errors, a series
                // needs nothing but its fit.
                const bool fit_only = out.output != nullptr && out.se == nullptr;
                block.evaluate({.log_det = out.output == nullptr,
                                .inverse = wants_inverse(out),
                                .leave_one_out = wants_inverse(out),
                                .leverages = out.output == nullptr && out.hat != nullptr,
                                .fit_only = fit_only});
                for (std::size_t l = 0; l < width && !fit_only; ++l) {
                    results[l] = block.result(l, gamma);
                    const std::size_t s = first + (l < lanes ? l : lanes - 1);
                    sigma2[l] = evaluation_sigma2(block.totals[l], results[l], k, out, s);
                }
                if (out.output != nullptr) {
                    // Lane by lane as one series writes them: several output
                    // points may read the same point of the grid, so they
                    // are more than the block holds.
                    for (std::size_t l = 0; l < lanes; ++l) {
                        if (block.totals[l].observed == 0) {
                            write_empty_evaluation(n, first + l, out);
                            continue;
                        }
                        if (!on_x) {
                            write_no_values(first + l, out);
                        }
                        write_output_points(k, block.fit() + l, block.weights() + l, block.sigma() + l, width,
                                            sigma2[l], block.lam[l], first + l, out);
                    }
                    continue;
                }
                double* spare = block.spare();
                if (out.z != nullptr) {
                    block.write(block.fit(), first, lanes, out.z);
                }
                // The kernel left the leverages in spare.
                if (out.hat != nullptr) {
                    block.write(spare, first, lanes, out.hat);
                }
                // Point by point across the lanes, in the order of the buffers.
                if (out.se != nullptr) {
                    for (std::size_t t = 0; t < n; ++t) {
                        const double* diagonal = block.sigma() + t * (k + 1) * width;
                        for (std::size_t l = 0; l < width; ++l) {
                            spare[t * width + l] = standard_error(sigma2[l], diagonal[l]);
                        }
                    }
                    block.write(spare, first, lanes, out.se);
                }
                for (std::size_t l = 0; l < lanes; ++l) {
                    if (block.totals[l].observed == 0) {
                        write_empty_evaluation(n, first + l, out);
                    } else {
                        write_evaluation_values(results[l], first + l, out);
                    }
                }
            }
        },
        kernels.wide.width);
}

}  // namespace tarnwold
