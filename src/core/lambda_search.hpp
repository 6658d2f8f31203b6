// The search for a series' lam, step by step, shared by the path that
// evaluates one series at a time and the one that evaluates series in
// lanes: each step is a pure function of one series' values, so both paths
// take the same decisions on the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lambda_evaluation.hpp"

namespace tarnwold {

enum class Criterion { Reml, Gcv, Loocv, Vcurve };

// The numbering is part of the Python interface (LAMBDA_OK ...).
enum class LambdaStatus : std::int8_t { Ok = 0, AtLower = 1, AtUpper = 2, Flat = 3, TooFew = 4, Empty = 5 };

// Golden-section steps of the refinement: 0.618^13 shrinks the two grid
// intervals around a minimum (at most one decade) below 2e-3 decade.
constexpr int refinement_steps = 13;

// What an evaluation must form for a criterion's scores.
inline bool needs_inverse(Criterion c) { return c == Criterion::Gcv || c == Criterion::Loocv; }
inline bool needs_log_det(Criterion c) { return c == Criterion::Reml; }

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
// an end stays there. status is set for those three cases only.
std::size_t pick_minimum(const double* scores, std::size_t count, LambdaStatus& status);

// Golden-section search in log lam on (low, high), one criterion value at a
// time: evaluate at point(), hand the value to take(), until done(). The
// number of evaluations is fixed (2 + refinement_steps).
class GoldenSection {
public:
    GoldenSection() = default;
    GoldenSection(double low, double high);
    bool done() const { return steps_ > refinement_steps; }
    double point() const;
    void take(double value);
    // The better of the last two points, and its value.
    double best_lam() const;
    double best_value() const { return fc_ < fd_ ? fc_ : fd_; }

private:
    double a_ = 0, b_ = 0, c_ = 0, d_ = 0;
    double fc_ = 0, fd_ = 0;
    bool at_c_ = true;  // the point awaiting its value is c, else d
    int steps_ = -1;    // -1 and 0: the first two values; then the steps made
};

}  // namespace tarnwold
