// One series at one lam, in double precision: the fit, the band of the
// inverse, and every quantity the choice of lam is made from.
//
// Model: A z = W y with A = W + lam P + ridge I, P = D^T D (D the divided
// differences of order d on the normalised grid), W the working weights.
// A = L L^T is factored with half-width d (A has no wider band and the factor
// no fill beyond it). The band of Sigma = A^-1 follows from L by selected
// inversion, O(T d^2): Sigma(i+j, i) = -u sum_t l_t Sigma(i+t, i+j) and
// Sigma(i, i) = u^2 - u sum_t l_t Sigma(i+t, i), u = 1 / L(i, i),
// l_t = L(i+t, i), from the last point back to the first.
//
// The routine works in a SeriesWorkspace allocated once per range of series,
// so nothing is allocated per series or per lam; a lane version across
// series can keep the same steps with vectors in place of doubles.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "solve/grid_band.hpp"

namespace tarnwold {

// What every series of a call shares: the normalised grid's difference
// rows and the constant log pdet P = log det(D D^T).
struct SelectionModel {
    std::size_t length = 0;  // T
    std::size_t order = 0;   // d
    double ridge = 0;
    double eps = 0;
    std::vector<double> positions;  // normalised
    DifferenceRows<double> difference;
    PenaltyBand<double> penalty;
    double log_pdet = 0;
    // The spacing the default lam grid is calibrated to: the mean spacing of
    // the positions when they keep the caller's units (no normalisation, or
    // a shift only), 1 when they are scaled to a unit spacing.
    double unit_spacing = 1;
};

// x: T >= 1 strictly increasing positions, d <= T.
SelectionModel make_selection_model(const double* x, std::size_t length, std::uint64_t d, double ridge,
                                    double eps, std::optional<std::string_view> normalize);

// Sets the model's penalty band and log pdet P from its difference rows.
void finish_penalty(SelectionModel& model);

// The series: S rows of row_length contiguous values, NaN/inf missing; base
// weights of the same shape, or null for weight 1. Without source the rows
// hold the model's T points; with it, point t of the model takes value
// source[t] of its row, and a point with source[t] < 0 is missing (an output
// position that carries no observation). Ridges: one per series, or null for
// the model's. A series' ridge travels with it rather than with the model, so
// that series of different ridges are solved side by side, in one pass over
// the batch and in the same block of lanes, without being gathered apart.
struct SeriesBatch {
    const double* values;
    const double* base_weights;
    std::size_t count;
    std::size_t row_length;
    const std::int64_t* source;
    const double* ridges;

    const double* row(std::size_t s) const { return values + s * row_length; }
    const double* base_row(std::size_t s) const {
        return base_weights != nullptr ? base_weights + s * row_length : nullptr;
    }
    double ridge(const SelectionModel& model, std::size_t s) const {
        return ridges != nullptr ? ridges[s] : model.ridge;
    }
};

// What a series' criteria take from its observed points.
struct SeriesTotals {
    std::size_t observed = 0;   // m: points with w > 0
    double weight_sum = 0;      // sum of w over them
    double log_weight_sum = 0;  // sum of log w over them
};

// The working inputs and buffers of one series.
struct SeriesWorkspace : SeriesTotals {
    double ridge;                    // the series' ridge: the model's until read() takes the batch's
    std::vector<double> w, y;        // working weights and values
    std::vector<double> factor;      // L(i+t, i) at i * (d + 1) + t
    std::vector<double> reciprocal;  // 1 / L(i, i)
    std::vector<double> sigma;       // Sigma(i+j, i) at i * (d + 1) + j
    std::vector<double> z, dz, differences, scratch;
    std::vector<double> basis;  // d columns of T, for the null-space test

    explicit SeriesWorkspace(const SelectionModel& model);
    // Takes the working inputs (working_input.hpp's rule) and the ridge of series s.
    void read(const SelectionModel& model, const SeriesBatch& batch, std::size_t s);
};

// Adds a point of working weight w to the totals where it is usable (the
// count, the sum of w and of log w; log 1 = +0 exactly, and adding +0
// changes no sum that starts at +0). Without branches but for the rare log.
inline void add_point(SeriesTotals& totals, bool usable, double w) {
    totals.observed += usable ? 1 : 0;
    totals.weight_sum = totals.weight_sum + (usable ? w : 0.0);
    if (usable && w != 1) {
        totals.log_weight_sum = totals.log_weight_sum + std::log(w);
    }
}

// The working inputs of points first .. last - 1 of one row of values and
// of base weights (null for weight 1), written to w and y at t * stride,
// their observed points added to the totals in order. With source, point t
// takes element source[t] of the rows, or is missing where it is < 0.
void read_points(const double* values, const double* base, const std::int64_t* source, std::size_t first,
                 std::size_t last, double* w, double* y, std::size_t stride, SeriesTotals& totals);

struct Evaluation {
    double edf = 0;                       // NaN unless the inverse was formed
    double rss = 0;                       // sum w (y - z)^2 over observed points
    double roughness = 0;                 // ||D z||^2
    double objective = 0;                 // Q = rss + lam roughness + ridge ||z||^2
    double log_det = 0;                   // log det A
    double gcv = 0, loocv = 0, reml = 0;  // NaN where not formed or undefined
    // dREML / dlog lam, with the inverse and log det A (NaN otherwise):
    // (m - d) lam z^T P z / Q + lam tr(Sigma P) - (T - d), the last two
    // terms formed as d - EDF - ridge tr(Sigma), since lam P = A - W - ridge I.
    double reml_slope = 0;
};

// The product of the factor's diagonal as product * 2^exponent, the
// product's binary exponent taken out (std::frexp) after every fourth point.
struct PivotProduct {
    double product = 1;
    long exponent = 0;
};

// log det A = 2 log(product * 2^exponent).
double log_of(const PivotProduct& pivots);

// The sums over one series' points an evaluation is made of, in the order
// of the points: sum w (y - z)^2 over observed points, ||z||^2, ||D z||^2;
// with the inverse, EDF = sum w Sigma_tt, tr(Sigma) and sum w e_t^2 of the
// leave-one-out errors e_t = (y - z) / (1 - w Sigma_tt) (NaN where the lanes
// were not asked for it).
struct EvaluationSums {
    PivotProduct pivots;
    double rss = 0, norm = 0, roughness = 0;
    double edf = 0, trace = 0, loo = 0;
};

// The criteria from the sums of a series solved with `ridge`, the same
// formulas for one series at a time and for series in lanes.
Evaluation finish_evaluation(const SelectionModel& model, const SeriesTotals& series, double ridge,
                             double lam, double gamma, const EvaluationSums& sums, bool inverse,
                             bool log_det);

// The V-curve's speed from the rates (y - z)^T W u and (D z)^T (D u),
// u = Sigma P z.
double speed_of(double lam, double psi_rate, double phi_rate, const Evaluation& at);

// Factors A, fits z (into workspace.z) and forms RSS, roughness and Q; with
// `log_det` also log det A and REML (NaN otherwise), with `inverse` also the
// band of Sigma, EDF, GCV and LOOCV, and with both REML's slope.
Evaluation evaluate_series(const SelectionModel& model, SeriesWorkspace& workspace, double lam, double gamma,
                           bool inverse, bool log_det = true);

// The V-curve's continuous speed lam * hypot(psi'/psi, phi'/phi) at lam, from
// the fit evaluate_series left in the workspace (one more solve).
double vcurve_speed(const SelectionModel& model, SeriesWorkspace& workspace, double lam,
                    const Evaluation& at);

// True when the observed values lie on a polynomial of degree d - 1 (the null
// space of P) to a relative weighted RSS of 1e-20, all zeros included.
bool in_null_space(const SelectionModel& model, SeriesWorkspace& workspace);

}  // namespace tarnwold
