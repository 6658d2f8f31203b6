// The search for a series' lam, step by step, shared by the path that
// evaluates one series at a time and the one that evaluates series in
// lanes: each step is a pure function of one series' values, so both paths
// take the same decisions on the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/enumerators.hpp"
#include "lambda/lambda_evaluation.hpp"

namespace tarnwold {

enum class Criterion : std::uint8_t { Reml, Gcv, Loocv, Vcurve };

// The name a criterion is called by; empty outside the enumeration. Its
// switch names every enumerator, which makes all_criteria complete.
constexpr std::string_view criterion_name(Criterion criterion) {
    switch (criterion) {
        case Criterion::Reml:
            return "reml";
        case Criterion::Gcv:
            return "gcv";
        case Criterion::Loocv:
            return "loocv";
        case Criterion::Vcurve:
            return "vcurve";
    }
    return {};
}

// Every criterion: the names the selection accepts, and the tests' cases.
inline constexpr auto all_criteria = enumerators<Criterion, criterion_name>;

// Thrown at a Criterion outside the enumeration, or at the V-curve where
// a criterion with a value at each lam is needed: a broken invariant.
[[noreturn]] void unexpected_criterion();

// The numbering is part of the Python interface (LAMBDA_OK ...).
enum class LambdaStatus : std::int8_t { Ok = 0, AtLower = 1, AtUpper = 2, Flat = 3, TooFew = 4, Empty = 5 };

// The refinement's budget: at most this many evaluations after its start,
// and points closer than refinement_tolerance in log lam (5e-4 decade) are
// not told apart. On smooth criteria its parabolic steps meet the tolerance
// within the budget; where they cannot be trusted, golden-section steps
// still shrink the interval.
constexpr int refinement_evaluations = 7;
constexpr double refinement_tolerance = 5e-4 * 2.302585092994046;

// Whether the search takes the criterion's slope in log lam with each
// value (REML's, from the band of Sigma, at the price of the selected
// inversion): its grid can then be coarser and its refinement shorter.
bool has_slope(Criterion criterion);

// What an evaluation must form for a criterion's scores (and slope).
bool needs_inverse(Criterion criterion);
bool needs_log_det(Criterion criterion);
bool needs_leave_one_out(Criterion criterion);

// The criterion's slope in an evaluation (REML only).
double criterion_slope(Criterion criterion, const Evaluation& e);

// The widest step of a criterion's default grid, in decades: one for a
// criterion with a slope (the slopes tell where between two points a
// minimum lies; measured on seasonal, spiky, gappy and short series, two
// decades apart missed minima that half a decade apart finds, one decade
// apart none), half a decade for the others.
double default_grid_decades(Criterion criterion);

// A NaN criterion never wins a comparison.
double comparable(double value);

// The criterion's value in an evaluation (not for the V-curve).
double criterion_value(Criterion criterion, const Evaluation& e);

// sigma2 after the final evaluation: Q / (m - d) for REML, else
// RSS / (m - EDF).
double sigma2_of(Criterion criterion, const Evaluation& e, std::size_t observed, std::size_t order);

// The V-curve's candidates from log RSS and log roughness on the grid
// (points values each): points - 1 geometric mid-points and their speeds.
void vcurve_candidates(const double* grid, std::size_t points, const double* log_rss,
                       const double* log_roughness, double* lams, double* scores);

// The index of the minimum of `count` scores, ties within 1e-12 relative to
// the largest lam; a flat criterion takes the last candidate, a minimum at
// an end is marked AtLower / AtUpper. status is set for those three cases
// only.
std::size_t pick_minimum(const double* scores, std::size_t count, LambdaStatus& status);

// Brent's minimisation in log lam on (low, high) from the grid's minimum,
// inside the interval or at one of its ends, one criterion value at a time: evaluate at point(), hand
// the value to take(), until done(). Parabolas through the three best points
// so far, where they fall well inside the interval, else golden-section
// steps. Its points depend on nothing but the values taken, so the
// one-series path and the lanes take the same steps on the same bits.
class Refinement {
public:
    Refinement() = default;
    // On (low, high) from `best`, with the grid's values at it and at two
    // more points (`second` the better), so that the first step can be a
    // parabola through the three. best may be an end of the interval, and
    // `third` may lie beyond it.
    struct Point {
        double lam, value;
    };
    Refinement(double low, double high, Point best, Point second, Point third);
    // With the points only: the value at `start` is the first one taken.
    Refinement(double low, double start, double high);
    bool done() const { return done_; }
    double point() const;
    void take(double value);
    // The best point and its value, and the middle's value (the best
    // unless a step found lower).
    double best_lam() const;
    double best_value() const { return fx_; }
    double start_value() const { return start_; }

private:
    // Chooses the next point, or finishes.
    void next();

    double a_ = 0, b_ = 0;          // the interval, in log lam
    double x_ = 0, w_ = 0, v_ = 0;  // the best, second best and previous second best points
    double fx_ = 0, fw_ = 0, fv_ = 0;
    double step_ = 0, before_ = 0;  // the last step and the one before
    double pending_ = 0;            // the point awaiting its value
    double start_ = 0;
    int evaluations_ = 0;
    bool started_ = false, done_ = false;
};

// Whether a grid choice is refined: an interior minimum, and one at an end
// too, whose true minimum may lie between the end and its neighbour (where
// the criterion only starts to rise again). A flat criterion is not; a
// series without a grid choice (too few points, none) never gets here.
bool refinable(LambdaStatus status);

// The refinement of the minimum `best` of a criterion's `count` scores at
// lams (increasing): between its neighbours, or from an end towards its
// neighbour, from the scores (at an end with the next point beyond the
// neighbour as the parabola's third), or for the V-curve (whose scores on
// the grid are difference quotients, not values of the continuous speed it
// refines) from the points alone.
Refinement start_refinement(const double* lams, const double* scores, std::size_t count, std::size_t best,
                            bool vcurve);

// The status once the refinement (Refinement or SlopeRefinement) is over: a
// minimum at an end stays there only when nothing inside the interval beat
// the end itself.
template <class Search>
LambdaStatus refined_status(LambdaStatus status, const Search& search) {
    return search.best_value() < search.start_value() ? LambdaStatus::Ok : status;
}

}  // namespace tarnwold
