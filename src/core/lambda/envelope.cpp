#include "lambda/envelope.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "base/fault.hpp"
#include "lambda/lambda_lanes.hpp"
#include "lambda/lambda_outputs.hpp"
#include "runtime/parallel.hpp"

namespace tarnwold {

namespace {

// The steps of the iteration point by point, shared by the one-series path
// and the lanes so that both take the same decisions on the same bits.

// The helpers below are written without branches (both sides of every
// choice are formed, then one is taken) so that the lanes' loops over a
// point of all series compile to vector code: the sides of a fit are as
// good as random, and a branch on them would be mispredicted half the time.
// Flags are doubles (1 or 0), like the values they sit beside: the
// baseline instruction set compares doubles in vectors, not 64-bit integers.

// Whether a usable point lies above the fit: 1 or 0.
inline double side_of(double base, double y, double z) { return (base > 0) & (y > z) ? 1.0 : 0.0; }

// base * p above the fit, base * (1 - p) at or below it, where base > 0;
// unusable points keep their working weight (base * 1 is base itself).
inline double weight_of(double base, double above, double p, double below) {
    return base * (base > 0 ? (above != 0 ? p : below) : 1.0);
}

// One series' weights from its sides.
void weigh(const double* base, const double* above, std::size_t n, double p, double* w) {
    const double below = 1 - p;
    for (std::size_t t = 0; t < n; ++t) {
        w[t] = weight_of(base[t], above[t], p, below);
    }
}

// Records on which side of the fit z each of a series' points lies and
// returns how many changed side.
std::size_t take_sides(const double* base, const double* y, const double* z, std::size_t n, double* above) {
    std::size_t changed = 0;
    for (std::size_t t = 0; t < n; ++t) {
        const double side = side_of(base[t], y[t], z[t]);
        changed += side != above[t] ? 1 : 0;
        above[t] = side;
    }
    return changed;
}

// Whether a series stops after a refit that moved `changed` of its m points.
bool settled(std::size_t changed, std::size_t observed, double tol) {
    return static_cast<double>(changed) <= tol * static_cast<double>(observed);
}

void write_empty(std::size_t n, std::size_t s, const double* w, std::size_t stride,
                 const EnvelopeOutputs& out) {
    fill(out.z + s * n, n, std::numeric_limits<double>::quiet_NaN());
    copy_strided(w, stride, n, out.weights + s * n);
    out.iterations[s] = 0;
}

// The block for a range of `count` series; the envelope's buffers are 7 + d
// vectors of T values per lane.
const LaneEvaluationKernels& block_shape(const SelectionKernelSet& kernels, std::size_t count,
                                         const SelectionModel& model) {
    return wide_blocks(kernels, count, model, 7 + model.order) ? kernels.wide : kernels.narrow;
}

// Whether a series given start weights keeps them: the fit with them moved
// no more points to the other side than a refit would stop at.
bool settled_start(const double* start, std::size_t changed, std::size_t observed, double tol) {
    return start != nullptr && settled(changed, observed, tol);
}

// The reweightings series s has already taken, with start weights.
std::uint64_t taken_before(const double* start, std::size_t s, const EnvelopeOutputs& out) {
    return start != nullptr ? static_cast<std::uint64_t>(out.iterations[s]) : 0;
}

// Puts the working weights of a row of start weights in place of those of
// the base weights (the values and totals stay those of the base weights)
// and marks the sides they were given for: above where w = base * p.
void read_start(const double* values, const double* start, std::size_t n, std::size_t stride, double p,
                const double* base, double* w, double* y, double* above) {
    SeriesTotals unused;
    read_points(values, start, nullptr, 0, n, w, y, stride, unused);
    for (std::size_t t = 0; t < n; ++t) {
        const std::size_t i = t * stride;
        above[i] = base[i] > 0 && w[i] == base[i] * p ? 1.0 : 0.0;
    }
}

void envelope_one_by_one(const SelectionModel& model, const SeriesBatch& batch, const double* lams,
                         bool per_series, const EnvelopeOptions& options, const EnvelopeOutputs& out,
                         const double* start) {
    const std::size_t n = model.length;
    for_each_series_range(batch.count, options.parallel, [&](std::size_t lo, std::size_t hi) {
        SeriesWorkspace ws(model);
        std::vector<double> base(n);
        std::vector<double> above(n);
        for (std::size_t s = lo; s < hi; ++s) {
            ws.read(model, batch, s);
            if (ws.observed == 0) {
                write_empty(n, s, ws.w.data(), 1, out);
                continue;
            }
            const double lam = per_series ? lams[s] : lams[0];
            base = ws.w;
            if (start != nullptr) {
                read_start(batch.row(s), start + s * n, n, 1, options.p, base.data(), ws.w.data(),
                           ws.y.data(), above.data());
            }
            evaluate_series(model, ws, lam, 1.0, false, false);
            std::size_t changed = take_sides(base.data(), ws.y.data(), ws.z.data(), n, above.data());
            std::uint64_t taken = taken_before(start, s, out);
            bool moving =
                taken < options.iterations && !settled_start(start, changed, ws.observed, options.tol);
            while (moving) {
                weigh(base.data(), above.data(), n, options.p, ws.w.data());
                evaluate_series(model, ws, lam, 1.0, false, false);
                ++taken;
                changed = take_sides(base.data(), ws.y.data(), ws.z.data(), n, above.data());
                moving = !settled(changed, ws.observed, options.tol) && taken < options.iterations;
            }
            copy_strided(ws.z.data(), 1, n, out.z + s * n);
            copy_strided(ws.w.data(), 1, n, out.weights + s * n);
            out.iterations[s] = static_cast<std::int64_t>(taken);
        }
    });
}

// A block of series in lanes with the buffers of the iteration, allocated
// once per range of series.
class EnvelopeBlock {
public:
    EnvelopeBlock(const SelectionModel& model, const LaneEvaluationKernels& kernels)
        : model_(model), kernels_(kernels), width(kernels.width) {
        if (width % 2 != 0) {
            throw InternalFault("envelope: a block of lanes of odd width");
        }
        const std::size_t values = checked_product(model.length, width);
        w_.resize(values);
        y_.resize(values);
        base_.resize(values);
        above_.resize(values);
        z_.resize(values);
        reciprocal_.resize(values);
        factor_.resize(checked_product(values, model.order + 1));
        lam_.resize(width);
        ridges_.resize(width);
        totals_.resize(width);
        taken_.resize(width);
        fresh_.resize(width);
        moving_.resize(width);
        changed_.resize(width);
        series_.resize(width);
    }

    // Series lo .. hi - 1, streamed through the lanes: a lane whose series
    // stops writes its results and takes the next series, so no lane idles
    // while another still iterates.
    void run(const SeriesBatch& batch, std::size_t lo, std::size_t hi, const double* lams, bool per_series,
             const EnvelopeOptions& options, const EnvelopeOutputs& out, const double* start) {
        const Stream stream{batch, lams, per_series, options, out, start};
        std::size_t next = lo;
        bool busy = false;
        for (std::size_t l = 0; l < width; ++l) {
            busy = load(stream, l, next, hi) || busy;
        }
        while (busy) {
            evaluate();
            take_block_sides();
            for (std::size_t l = 0; l < width; ++l) {
                moving_[l] = series_[l] != idle && step(stream, l) ? 1 : 0;
                if (series_[l] != idle && moving_[l] == 0) {
                    finish(stream, l);
                }
            }
            // Every lane is reweighted, the stopped ones' results being
            // written: they take their next series below.
            weigh_block(options.p);
            busy = false;
            for (std::size_t l = 0; l < width; ++l) {
                if (series_[l] != idle && moving_[l] == 0) {
                    load(stream, l, next, hi);
                }
                busy = busy || series_[l] != idle;
            }
        }
    }

private:
    static constexpr std::size_t idle = static_cast<std::size_t>(-1);

    struct Stream {
        const SeriesBatch& batch;
        const double* lams;
        bool per_series;
        const EnvelopeOptions& options;
        const EnvelopeOutputs& out;
        const double* start;
    };

    // Puts the next series with observations into lane l for its first fit,
    // writing the results of those without on the way; false when none is left.
    bool load(const Stream& in, std::size_t l, std::size_t& next, std::size_t hi) {
        const std::size_t n = model_.length;
        series_[l] = idle;
        while (next < hi) {
            const std::size_t s = next++;
            const double* values = in.batch.row(s);
            totals_[l] = SeriesTotals{};
            read_points(values, in.batch.base_row(s), nullptr, 0, n, w_.data() + l, y_.data() + l, width,
                        totals_[l]);
            if (totals_[l].observed == 0) {
                write_empty(n, s, w_.data() + l, width, in.out);
                continue;
            }
            for (std::size_t t = 0; t < n; ++t) {
                base_[t * width + l] = w_[t * width + l];
            }
            if (in.start != nullptr) {
                read_start(values, in.start + s * n, n, width, in.options.p, base_.data() + l, w_.data() + l,
                           y_.data() + l, above_.data() + l);
            }
            lam_[l] = in.per_series ? in.lams[s] : in.lams[0];
            ridges_[l] = in.batch.ridge(model_, s);
            taken_[l] = taken_before(in.start, s, in.out);
            fresh_[l] = 1;
            series_[l] = s;
            return true;
        }
        return false;
    }

    // The sides of every lane's points after a fit, and how many changed,
    // a point of all lanes at a time.
    void take_block_sides() {
        const std::size_t n = model_.length;
        double* const changed = changed_.data();
        std::fill(changed, changed + width, 0.0);
        for (std::size_t t = 0; t < n; ++t) {
            const std::size_t i = t * width;
            const double* const base = base_.data() + i;
            const double* const y = y_.data() + i;
            const double* const z = z_.data() + i;
            double* const above = above_.data() + i;
            for (std::size_t l = 0; l < width; ++l) {
                const double side = side_of(base[l], y[l], z[l]);
                changed[l] = changed[l] + (side != above[l] ? 1.0 : 0.0);
                above[l] = side;
            }
        }
    }

    // The weights of every lane from its sides: weight_of two values at a
    // time in a vector, which the compiler does not form from weight_of's
    // nested choice by itself (the widths of the blocks are even).
    void weigh_block(double p) {
        using Pair = double __attribute__((vector_size(16)));
        const double below = 1 - p;
        const Pair up = {p, p}, down = {below, below}, one = {1.0, 1.0}, zero{};
        for (std::size_t i = 0; i < w_.size(); i += 2) {
            Pair base, above;
            __builtin_memcpy(&base, base_.data() + i, sizeof(Pair));
            __builtin_memcpy(&above, above_.data() + i, sizeof(Pair));
            const Pair factor = above != zero ? up : down;
            const Pair w = base * (base > zero ? factor : one);
            __builtin_memcpy(w_.data() + i, &w, sizeof(Pair));
        }
    }

    // Whether lane l goes on after a fit that moved changed_[l] of its points,
    // as the one-series path decides.
    bool step(const Stream& in, std::size_t l) {
        const auto changed = static_cast<std::size_t>(changed_[l]);
        bool moving;
        if (fresh_[l] != 0) {
            fresh_[l] = 0;
            moving = taken_[l] < in.options.iterations &&
                     !settled_start(in.start, changed, totals_[l].observed, in.options.tol);
        } else {
            ++taken_[l];
            moving =
                !settled(changed, totals_[l].observed, in.options.tol) && taken_[l] < in.options.iterations;
        }
        return moving;
    }

    void finish(const Stream& in, std::size_t l) {
        const std::size_t n = model_.length;
        const std::size_t s = series_[l];
        copy_strided(z_.data() + l, width, n, in.out.z + s * n);
        copy_strided(w_.data() + l, width, n, in.out.weights + s * n);
        in.out.iterations[s] = static_cast<std::int64_t>(taken_[l]);
    }

    // Factor and substitution in every lane at its lam, nothing more.
    void evaluate() {
        LaneEvaluation task{};
        task.n = model_.length;
        task.d = model_.order;
        task.penalty = model_.penalty.data();
        task.difference = model_.difference.values.data();
        task.ridge = ridges_.data();
        task.eps = model_.eps;
        task.lam = lam_.data();
        task.w = w_.data();
        task.y = y_.data();
        task.factor = factor_.data();
        task.reciprocal = reciprocal_.data();
        task.z = z_.data();
        task.fit_only = true;
        kernels_.evaluate(task);
    }

    const SelectionModel& model_;
    const LaneEvaluationKernels& kernels_;

public:
    const std::size_t width;

private:
    std::vector<double> w_, y_, base_, z_, reciprocal_, factor_, lam_, ridges_;
    std::vector<double> above_;
    std::vector<SeriesTotals> totals_;
    std::vector<std::uint64_t> taken_;
    std::vector<unsigned char> fresh_, moving_;
    std::vector<double> changed_;      // a count, exact in a double
    std::vector<std::size_t> series_;  // the lane's series, or idle
};

// The mean weight the reweighting gives a series' usable points on the
// sides of the fit z, relative to their mean base weight: a criterion's lam
// scales about with the weights (scaling both leaves the fit alone).
double reweighted_share(const double* values, const double* base, const double* z, std::size_t n, double p) {
    double before = 0, after = 0;
    for (std::size_t t = 0; t < n; ++t) {
        const double w = base != nullptr ? base[t] : 1.0;
        if (std::isfinite(values[t]) && w > 0) {
            before = before + w;
            after = after + w * (values[t] > z[t] ? p : 1 - p);
        }
    }
    return after / before;
}

}  // namespace

void envelope_at(const SelectionModel& model, const SeriesBatch& batch, const double* lams, bool per_series,
                 const EnvelopeOptions& options, const EnvelopeOutputs& out, const double* start) {
    const SelectionKernelSet* kernels = batch.count > 1 ? selection_kernels(options.kernel) : nullptr;
    if (kernels == nullptr) {
        envelope_one_by_one(model, batch, lams, per_series, options, out, start);
        return;
    }
    for_each_series_range(
        batch.count, options.parallel,
        [&](std::size_t lo, std::size_t hi) {
            EnvelopeBlock block(model, block_shape(*kernels, hi - lo, model));
            block.run(batch, lo, hi, lams, per_series, options, out, start);
        },
        kernels->wide.width);
}

void envelope_selected(const SelectionModel& model, const SeriesBatch& batch,
                       const SelectionOptions& selection, const EnvelopeOptions& options,
                       const EnvelopeOutputs& out, double* lam, std::int8_t* status, double* fitted) {
    const std::size_t S = batch.count;
    const std::size_t n = model.length;
    std::vector<double> score(S), edf(S), sigma2(S), grid_scale(S), at(S);
    std::vector<std::int64_t> observed(S), before(S);
    const auto outputs = [&](double* lams, std::int8_t* statuses, double* z) {
        return SelectionOutputs{lams,     score.data(),      edf.data(), sigma2.data(), observed.data(),
                                statuses, grid_scale.data(), z,          nullptr,       nullptr};
    };
    const auto iteration_lams = [&] {
        for (std::size_t s = 0; s < S; ++s) {
            at[s] = fitted_lam(status[s], lam[s], selection.grid, grid_scale[s]);
        }
    };
    // The first round's lam only sets where the iteration starts: the grid's
    // choice, without refinement.
    SelectionOptions on_grid = selection;
    on_grid.refine = false;
    select_lambdas(model, batch, on_grid, outputs(lam, status, out.z));
    iteration_lams();
    // Iterating at the symmetric choice would smooth the reweighted series
    // more than the criterion will want: its lam is scaled by the share of
    // the weight the sides of the symmetric fit leave.
    for (std::size_t s = 0; s < S; ++s) {
        if (status[s] != static_cast<std::int8_t>(LambdaStatus::Empty)) {
            at[s] = at[s] * reweighted_share(batch.row(s), batch.base_row(s), out.z + s * n, n, options.p);
        }
    }
    envelope_at(model, batch, at.data(), true, options, out);
    select_lambdas(model, {batch.values, out.weights, S, n, nullptr, batch.ridges}, selection,
                   outputs(lam, status, out.z));
    iteration_lams();
    std::copy(out.iterations, out.iterations + S, before.begin());
    envelope_at(model, batch, at.data(), true, options, out, out.weights);
    if (fitted != nullptr) std::copy(at.begin(), at.end(), fitted);

    // A series that kept its weights keeps the second selection: a third
    // would repeat it bit for bit (its fit included). The others, gathered,
    // are selected once more on their final weights.
    std::vector<std::size_t> moved;
    for (std::size_t s = 0; s < S; ++s) {
        if (out.iterations[s] != before[s]) moved.push_back(s);
    }
    const std::size_t M = moved.size();
    std::vector<double> values(checked_product(M, n)), weights(values.size()), z(values.size()), lams(M);
    std::vector<double> ridges(batch.ridges != nullptr ? M : 0);
    std::vector<std::int8_t> statuses(M);
    for (std::size_t k = 0; k < M; ++k) {
        std::copy_n(batch.row(moved[k]), n, values.begin() + k * n);
        std::copy_n(out.weights + moved[k] * n, n, weights.begin() + k * n);
        if (!ridges.empty()) ridges[k] = batch.ridges[moved[k]];
    }
    select_lambdas(model,
                   {values.data(), weights.data(), M, n, nullptr, ridges.empty() ? nullptr : ridges.data()},
                   selection, outputs(lams.data(), statuses.data(), z.data()));
    for (std::size_t k = 0; k < M; ++k) {
        lam[moved[k]] = lams[k];
        status[moved[k]] = statuses[k];
        if (fitted != nullptr)
            fitted[moved[k]] = fitted_lam(statuses[k], lams[k], selection.grid, grid_scale[k]);
        std::copy_n(z.begin() + k * n, n, out.z + moved[k] * n);
    }
}

}  // namespace tarnwold
