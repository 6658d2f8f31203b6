#include "lambda/slope_refinement.hpp"

#include <cmath>
#include <limits>

#include "base/fault.hpp"
#include "lambda/lambda_search.hpp"

namespace tarnwold {

namespace {

// The minimum of the cubic through (x, fx, gx) and (w, fw, gw) (values and
// slopes at two points), NaN where the cubic has none.
double cubic_minimum(double x, double fx, double gx, double w, double fw, double gw) {
    const double d1 = (gx + gw) - 3 * (fx - fw) / (x - w);
    const double discriminant = d1 * d1 - gx * gw;
    if (!(discriminant >= 0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const double d2 = std::copysign(std::sqrt(discriminant), w - x);
    return w - (w - x) * ((gw + d2) - d1) / ((gw - gx) + 2 * d2);
}

// The lowest value of the cubic through the two points on [a, b] (a < b in
// log lam): at its minimum where that lies inside, else at the lower end.
double cubic_dip(double a, const SlopeRefinement::Point& left, double b,
                 const SlopeRefinement::Point& right) {
    const double lower = left.value < right.value ? left.value : right.value;
    const double u = cubic_minimum(a, left.value, left.slope, b, right.value, right.slope);
    if (!(u > a && u < b)) {
        return lower;
    }
    const double h = b - a;
    const double s = (u - a) / h;
    const double s2 = s * s, s3 = s2 * s;
    const double value = ((left.value * ((2 * s3 - 3 * s2) + 1) + h * left.slope * ((s3 - 2 * s2) + s)) +
                          right.value * (3 * s2 - 2 * s3)) +
                         h * right.slope * (s3 - s2);
    return value < lower ? value : lower;
}

}  // namespace

SlopeRefinement::SlopeRefinement(Point from, Point towards, double start)
    : a_(std::log(from.lam < towards.lam ? from.lam : towards.lam)),
      b_(std::log(from.lam < towards.lam ? towards.lam : from.lam)),
      x_(std::log(from.lam)),
      fx_(from.value),
      gx_(from.slope),
      w_(std::log(towards.lam)),
      fw_(towards.value),
      gw_(towards.slope),
      // Twice the bracket: the first cubic step may go anywhere inside it.
      step_(2 * (b_ - a_)),
      before_(step_),
      start_(start),
      done_(false) {
    next();
}

SlopeRefinement::SlopeRefinement(Point best) : x_(std::log(best.lam)), fx_(best.value), start_(best.value) {}

double SlopeRefinement::point() const { return std::exp(pending_); }

double SlopeRefinement::best_lam() const { return std::exp(x_); }

void SlopeRefinement::take(double value, double slope) {
    ++evaluations_;
    const double u = pending_;
    if (value <= fx_) {
        if (slope > 0) {
            b_ = u;
            a_ = x_ < u ? x_ : a_;
        } else if (slope < 0) {
            a_ = u;
            b_ = x_ > u ? x_ : b_;
        } else {
            // A stationary point, or a slope that says nothing (NaN): the
            // search ends there.
            a_ = b_ = u;
        }
        w_ = x_;
        fw_ = fx_;
        gw_ = gx_;
        x_ = u;
        fx_ = value;
        gx_ = slope;
    } else {
        (u > x_ ? b_ : a_) = u;
        w_ = u;
        fw_ = value;
        gw_ = slope;
    }
    next();
}

void SlopeRefinement::next() {
    constexpr double tolerance = refinement_tolerance;
    if (evaluations_ >= refinement_evaluations || !(b_ - a_ > 2 * tolerance)) {
        done_ = true;
        return;
    }
    const double limit = before_;
    before_ = step_;
    const double u = cubic_minimum(x_, fx_, gx_, w_, fw_, gw_);
    if (u > a_ && u < b_ && std::fabs(u - x_) < 0.5 * std::fabs(limit)) {
        // A step shorter than a tenth of the tolerance: x is that close to
        // the minimum (the cubic's error shrinks with the square of the
        // last step), and the step is not taken.
        if (std::fabs(u - x_) < 0.1 * tolerance) {
            done_ = true;
            return;
        }
        step_ = u - x_;
    } else {
        before_ = gx_ < 0 ? b_ - x_ : a_ - x_;
        step_ = 0.5 * before_;
    }
    pending_ = x_ + step_;
}

SlopeRefinement start_slope_refinement(const double* lams, const double* values, const double* slopes,
                                       std::size_t count, std::size_t best) {
    if (best >= count) {
        throw InternalFault("slope refinement: no grid minimum");
    }
    const auto at = [&](std::size_t j) {
        return SlopeRefinement::Point{lams[j], comparable(values[j]), slopes[j]};
    };
    // The candidate step with the lowest dip: its lower end, and the dip.
    std::size_t from = count, towards = count;
    double lowest = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j + 1 < count; ++j) {
        const SlopeRefinement::Point left = at(j), right = at(j + 1);
        const bool from_left = left.slope < 0 && (right.value >= left.value || right.slope > 0);
        const bool from_right = right.slope > 0 && left.value >= right.value;
        if (!from_left && !from_right) {
            continue;
        }
        const bool left_lower = from_left && (!from_right || left.value <= right.value);
        const double dip = cubic_dip(std::log(left.lam), left, std::log(right.lam), right);
        if (dip < lowest) {
            lowest = dip;
            from = left_lower ? j : j + 1;
            towards = left_lower ? j + 1 : j;
        }
    }
    if (from == count) {
        return SlopeRefinement(at(best));
    }
    return {at(from), at(towards), comparable(values[best])};
}

}  // namespace tarnwold
