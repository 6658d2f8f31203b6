// The refinement of a criterion whose slope in log lam comes with each value
// (REML, whose slope the band of Sigma gives): the slope at the grid's
// minimum tells on which side of it the minimum lies, so the search starts
// in one grid step, and cubic steps through the values and slopes of the
// best point and the last other one converge in a few evaluations.
#pragma once

#include <cstddef>

namespace tarnwold {

// The search in log lam, one evaluation at a time: evaluate at point(),
// hand the value and slope to take(), until done(). It keeps a bracket
// [a, b] around the best point x that holds a local minimum no higher than
// x's value: a point lower than x becomes x, and the bracket shrinks to the
// side its slope descends to; a higher point bounds the bracket on its
// side. Each step is the minimum of the cubic through the values and slopes
// of x and the other latest point, where it lies inside the bracket and
// moves less than half the step before last (which keeps the steps
// shrinking); else half of the bracket's part on x's descending side. The
// search ends where a cubic step would be shorter than a tenth of
// refinement_tolerance (x is then that close to the minimum), once the
// bracket is narrower than twice the tolerance, or after
// refinement_evaluations. Its points depend on nothing but the values
// taken, so the one-series path and the lanes take the same steps on the
// same bits.
class SlopeRefinement {
public:
    struct Point {
        double lam, value, slope;  // slope: d value / d log lam
    };
    SlopeRefinement() = default;
    // Between `from` and `towards` (a grid step, `from` no higher, its slope
    // descending towards the other), to beat `start`, the grid's minimum.
    SlopeRefinement(Point from, Point towards, double start);
    // Nothing to refine: the grid's minimum stays.
    explicit SlopeRefinement(Point best);
    bool done() const { return done_; }
    double point() const;
    void take(double value, double slope);
    double best_lam() const;
    double best_value() const { return fx_; }
    double start_value() const { return start_; }

private:
    void next();

    double a_ = 0, b_ = 0;            // the bracket, in log lam
    double x_ = 0, fx_ = 0, gx_ = 0;  // the best point
    double w_ = 0, fw_ = 0, gw_ = 0;  // the other point of the cubic
    double step_ = 0, before_ = 0;    // the last step and the one before
    double pending_ = 0;              // the point awaiting its value
    double start_ = 0;
    int evaluations_ = 0;
    bool done_ = true;
};

// The refinement of a grid's minimum `best` from `count` values with their
// slopes at lams (increasing). Every grid step whose ends' slopes and values
// hold a local minimum between them (the lower end's slope descends towards
// the other, and the other's value is not below it or its slope rises) is a
// candidate; the one whose cubic through both ends dips lowest is refined,
// so that a minimum between two points higher than the grid's minimum is
// still found. None where no step holds one (the values are monotone in
// the slopes' sense, or a slope is NaN).
SlopeRefinement start_slope_refinement(const double* lams, const double* values, const double* slopes,
                                       std::size_t count, std::size_t best);

}  // namespace tarnwold
