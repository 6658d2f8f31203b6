#include "lambda_search.hpp"

#include <cmath>
#include <limits>

namespace tarnwold {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr double golden = 0.6180339887498949;  // (sqrt(5) - 1) / 2

}  // namespace

double comparable(double value) { return std::isnan(value) ? infinity : value; }

double criterion_value(Criterion criterion, const Evaluation& e) {
    switch (criterion) {
        case Criterion::Gcv:
            return e.gcv;
        case Criterion::Loocv:
            return e.loocv;
        default:
            return e.reml;
    }
}

double sigma2_of(Criterion criterion, const Evaluation& e, std::size_t observed, std::size_t order) {
    const double m = static_cast<double>(observed);
    return criterion == Criterion::Reml ? e.objective / (m - static_cast<double>(order))
                                        : e.rss / (m - e.edf);
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

GoldenSection::GoldenSection(double low, double high) : a_(std::log(low)), b_(std::log(high)) {
    c_ = b_ - golden * (b_ - a_);
    d_ = a_ + golden * (b_ - a_);
}

double GoldenSection::point() const { return std::exp(at_c_ ? c_ : d_); }

void GoldenSection::take(double value) {
    if (steps_ < 0) {
        fc_ = value;
        at_c_ = false;
        steps_ = 0;
        return;
    }
    (at_c_ ? fc_ : fd_) = value;
    if (steps_ == refinement_steps) {
        ++steps_;
        return;
    }
    if (fc_ < fd_) {
        b_ = d_;
        d_ = c_;
        fd_ = fc_;
        c_ = b_ - golden * (b_ - a_);
        at_c_ = true;
    } else {
        a_ = c_;
        c_ = d_;
        fc_ = fd_;
        d_ = a_ + golden * (b_ - a_);
        at_c_ = false;
    }
    ++steps_;
}

double GoldenSection::best_lam() const { return std::exp(fc_ < fd_ ? c_ : d_); }

}  // namespace tarnwold
