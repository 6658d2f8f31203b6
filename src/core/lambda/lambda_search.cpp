#include "lambda/lambda_search.hpp"

#include <cmath>
#include <limits>

#include "base/fault.hpp"

namespace tarnwold {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double golden_step = 0.3819660112501051;  // (3 - sqrt(5)) / 2

}  // namespace

double comparable(double value) { return std::isnan(value) ? infinity : value; }

void unexpected_criterion() { throw InternalFault("unexpected criterion"); }

bool has_slope(Criterion criterion) {
    switch (criterion) {
        case Criterion::Reml:
            return true;
        case Criterion::Gcv:
        case Criterion::Loocv:
        case Criterion::Vcurve:
            return false;
    }
    unexpected_criterion();
}

bool needs_inverse(Criterion criterion) {
    switch (criterion) {
        case Criterion::Reml:
        case Criterion::Gcv:
        case Criterion::Loocv:
            return true;
        case Criterion::Vcurve:
            return false;
    }
    unexpected_criterion();
}

bool needs_leave_one_out(Criterion criterion) {
    switch (criterion) {
        case Criterion::Loocv:
            return true;
        case Criterion::Reml:
        case Criterion::Gcv:
        case Criterion::Vcurve:
            return false;
    }
    unexpected_criterion();
}

double criterion_slope(Criterion criterion, const Evaluation& e) {
    if (!has_slope(criterion)) {
        unexpected_criterion();
    }
    return e.reml_slope;
}

double default_grid_decades(Criterion criterion) { return has_slope(criterion) ? 1.0 : 0.5; }

bool needs_log_det(Criterion criterion) {
    switch (criterion) {
        case Criterion::Reml:
            return true;
        case Criterion::Gcv:
        case Criterion::Loocv:
        case Criterion::Vcurve:
            return false;
    }
    unexpected_criterion();
}

double criterion_value(Criterion criterion, const Evaluation& e) {
    switch (criterion) {
        case Criterion::Reml:
            return e.reml;
        case Criterion::Gcv:
            return e.gcv;
        case Criterion::Loocv:
            return e.loocv;
        case Criterion::Vcurve:
            // The V-curve scores difference quotients between evaluations,
            // not one evaluation.
            break;
    }
    unexpected_criterion();
}

double sigma2_of(Criterion criterion, const Evaluation& e, std::size_t observed, std::size_t order) {
    const double m = static_cast<double>(observed);
    switch (criterion) {
        case Criterion::Reml:
            return e.objective / (m - static_cast<double>(order));
        case Criterion::Gcv:
        case Criterion::Loocv:
        case Criterion::Vcurve:
            return e.rss / (m - e.edf);
    }
    unexpected_criterion();
}

void vcurve_candidates(const double* grid, std::size_t points, const double* log_rss,
                       const double* log_roughness, double* lams, double* scores) {
    for (std::size_t j = 0; j + 1 < points; ++j) {
        const double step = std::log(grid[j + 1]) - std::log(grid[j]);
        lams[j] = std::sqrt(grid[j] * grid[j + 1]);
        scores[j] = std::hypot(log_rss[j + 1] - log_rss[j], log_roughness[j + 1] - log_roughness[j]) / step;
    }
}

std::size_t pick_minimum(const double* f, std::size_t count, LambdaStatus& status) {
    double low = infinity;
    double high = -infinity;
    for (std::size_t j = 0; j < count; ++j) {
        low = std::fmin(low, comparable(f[j]));
        high = std::fmax(high, comparable(f[j]));
    }
    if (!(high - low > 1e-10 * std::fabs(low))) {
        status = LambdaStatus::Flat;
        return count - 1;
    }
    const double bound = low + 1e-12 * std::fabs(low);
    std::size_t best = 0;
    for (std::size_t j = 0; j < count; ++j) {
        if (comparable(f[j]) <= bound) {
            best = j;
        }
    }
    if (best == 0) {
        status = LambdaStatus::AtLower;
    } else if (best == count - 1) {
        status = LambdaStatus::AtUpper;
    }
    return best;
}

Refinement::Refinement(double low, double high, Point best, Point second, Point third)
    : a_(std::log(low)),
      b_(std::log(high)),
      x_(std::log(best.lam)),
      w_(std::log(second.lam)),
      v_(std::log(third.lam)),
      fx_(best.value),
      fw_(second.value),
      fv_(third.value),
      before_(b_ - a_),
      start_(best.value),
      started_(true) {
    next();
}

Refinement::Refinement(double low, double start, double high)
    : a_(std::log(low)), b_(std::log(high)), x_(std::log(start)), w_(x_), v_(x_), pending_(x_) {}

double Refinement::point() const { return std::exp(pending_); }

double Refinement::best_lam() const { return std::exp(x_); }

void Refinement::take(double value) {
    if (!started_) {
        fx_ = fw_ = fv_ = start_ = value;
        started_ = true;
        next();
        return;
    }
    ++evaluations_;
    const double u = pending_;
    if (value <= fx_) {
        (u >= x_ ? a_ : b_) = x_;
        v_ = w_;
        fv_ = fw_;
        w_ = x_;
        fw_ = fx_;
        x_ = u;
        fx_ = value;
    } else {
        (u < x_ ? a_ : b_) = u;
        if (value <= fw_ || w_ == x_) {
            v_ = w_;
            fv_ = fw_;
            w_ = u;
            fw_ = value;
        } else if (value <= fv_ || v_ == x_ || v_ == w_) {
            v_ = u;
            fv_ = value;
        }
    }
    next();
}

void Refinement::next() {
    constexpr double tolerance = refinement_tolerance;
    const double middle = 0.5 * (a_ + b_);
    if (evaluations_ >= refinement_evaluations || std::fabs(x_ - middle) <= 2 * tolerance - 0.5 * (b_ - a_)) {
        done_ = true;
        return;
    }
    bool parabolic = false;
    if (std::fabs(before_) > tolerance) {
        // The vertex of the parabola through x, w and v is x + p / q. It is
        // taken only where it is finite (the comparisons fail on NaN), lies
        // inside the interval and moves less than half the step before last,
        // which keeps the steps shrinking.
        const double r = (x_ - w_) * (fx_ - fv_);
        double q = (x_ - v_) * (fx_ - fw_);
        double p = (x_ - v_) * q - (x_ - w_) * r;
        q = 2 * (q - r);
        if (q > 0) {
            p = -p;
        }
        q = std::fabs(q);
        const double limit = before_;
        before_ = step_;
        if (q > 0 && std::fabs(p) < std::fabs(0.5 * q * limit) && p > q * (a_ - x_) && p < q * (b_ - x_)) {
            step_ = p / q;
            const double u = x_ + step_;
            if (u - a_ < 2 * tolerance || b_ - u < 2 * tolerance) {
                step_ = std::copysign(tolerance, middle - x_);
            }
            parabolic = true;
        }
    }
    if (!parabolic) {
        before_ = x_ >= middle ? a_ - x_ : b_ - x_;
        step_ = golden_step * before_;
    }
    pending_ = std::fabs(step_) >= tolerance ? x_ + step_ : x_ + std::copysign(tolerance, step_);
}

bool refinable(LambdaStatus status) {
    switch (status) {
        case LambdaStatus::Ok:
        case LambdaStatus::AtLower:
        case LambdaStatus::AtUpper:
            return true;
        case LambdaStatus::Flat:
            return false;
        case LambdaStatus::TooFew:
        case LambdaStatus::Empty:
            break;
    }
    throw InternalFault("refinement: a status without a grid choice");
}

Refinement start_refinement(const double* lams, const double* scores, std::size_t count, std::size_t best,
                            bool vcurve) {
    if (count < 2 || best >= count) {
        throw InternalFault("refinement: no neighbour to refine towards");
    }
    // The interval: between the neighbours, or from an end to its neighbour.
    const std::size_t low = best == 0 ? 0 : best - 1;
    const std::size_t high = best == count - 1 ? best : best + 1;
    if (vcurve) {
        return {lams[low], lams[best], lams[high]};
    }
    const auto at = [&](std::size_t j) { return Refinement::Point{lams[j], comparable(scores[j])}; };
    if (best == 0 || best == count - 1) {
        // The neighbour is the second point, the one beyond it the third
        // (the grid has at least 3 points).
        if (count < 3) {
            throw InternalFault("refinement: a grid of fewer than 3 points");
        }
        const std::size_t neighbour = best == 0 ? 1 : count - 2;
        const std::size_t beyond = best == 0 ? 2 : count - 3;
        return {lams[low], lams[high], at(best), at(neighbour), at(beyond)};
    }
    // The better end is the second best point, the other the third.
    const bool low_better = at(low).value <= at(high).value;
    return {lams[low], lams[high], at(best), at(low_better ? low : high), at(low_better ? high : low)};
}

}  // namespace tarnwold
