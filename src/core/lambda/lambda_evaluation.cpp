#include "lambda/lambda_evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

#include "base/fault.hpp"
#include "base/floor.hpp"
#include "base/working_input.hpp"

namespace tarnwold {

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();
constexpr double two_pi = 6.283185307179586;

// Calls body with the half-width as a compile-time constant for the usual
// orders (so the short inner loops unroll) and as a plain count otherwise.
template <typename Body>
decltype(auto) with_width(std::size_t k, Body&& body) {
    switch (k) {
        case 1:
            return body(std::integral_constant<std::size_t, 1>{});
        case 2:
            return body(std::integral_constant<std::size_t, 2>{});
        case 3:
            return body(std::integral_constant<std::size_t, 3>{});
        default:
            return body(k);
    }
}

// Cholesky factor of a symmetric band matrix of half-width k, element(i, t)
// giving M(i+t, i). Writes L(i+t, i) at i * (k + 1) + t and 1 / L(i, i) at
// reciprocal[i]. Pivots below the floor (or NaN) are raised to it, as in
// the smoother's own solve, so a factor always exists. With want_log_det,
// returns the product of the L(i, i) (log_of gives log det M), kept in
// range by taking its binary exponent out every four factors (one log per
// call instead of one per point); otherwise {1, 0}.
template <typename Width, typename Element>
PivotProduct factor_band(std::size_t n, Width k, Element element, double floor, double* factor,
                         double* reciprocal, bool want_log_det) {
    const std::size_t width = k + 1;
    double product = 1;
    long exponent = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t reach_back = i < k ? i : k;
        double c = element(i, 0);
        for (std::size_t m = 1; m <= reach_back; ++m) {
            const double l = factor[(i - m) * width + m];
            c = c - l * l;
        }
        const double diagonal = std::sqrt(floored(c, floor));
        const double inverse = 1 / diagonal;
        factor[i * width] = diagonal;
        reciprocal[i] = inverse;
        if (want_log_det) {
            product = product * diagonal;
            if (i % 4 == 3) {
                int taken = 0;
                product = std::frexp(product, &taken);
                exponent += taken;
            }
        }
        const std::size_t reach_down = n - 1 - i < k ? n - 1 - i : k;
        for (std::size_t r = 1; r <= reach_down; ++r) {
            double s = element(i, r);
            const std::size_t terms = k - r < reach_back ? k - r : reach_back;
            for (std::size_t m = 1; m <= terms; ++m) {
                s = s - factor[(i - m) * width + r + m] * factor[(i - m) * width + m];
            }
            factor[i * width + r] = s * inverse;
        }
    }
    return {product, exponent};
}

// Solves L L^T v = v in place with the factor of factor_band.
template <typename Width>
void substitute(std::size_t n, Width k, const double* factor, const double* reciprocal, double* v) {
    const std::size_t width = k + 1;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t reach_back = i < k ? i : k;
        double s = v[i];
        for (std::size_t t = 1; t <= reach_back; ++t) {
            s = s - factor[(i - t) * width + t] * v[i - t];
        }
        v[i] = s * reciprocal[i];
    }
    for (std::size_t i = n; i-- > 0;) {
        const std::size_t reach_down = n - 1 - i < k ? n - 1 - i : k;
        double s = v[i];
        for (std::size_t t = 1; t <= reach_down; ++t) {
            s = s - factor[i * width + t] * v[i + t];
        }
        v[i] = s * reciprocal[i];
    }
}

// The band of Sigma = (L L^T)^-1, Sigma(i+j, i) at i * (k + 1) + j, by the
// selected-inversion recursion from the last point back.
template <typename Width>
void invert_band(std::size_t n, Width k, const double* factor, const double* reciprocal, double* sigma) {
    const std::size_t width = k + 1;
    // Sigma(a, b) for a, b > i inside the band, by symmetry from the stored
    // lower half.
    const auto at = [&](std::size_t a, std::size_t b) {
        return a >= b ? sigma[b * width + (a - b)] : sigma[a * width + (b - a)];
    };
    for (std::size_t i = n; i-- > 0;) {
        const double u = reciprocal[i];
        const std::size_t reach = n - 1 - i < k ? n - 1 - i : k;
        for (std::size_t j = reach; j >= 1; --j) {
            double s = 0;
            for (std::size_t t = 1; t <= reach; ++t) {
                s = s + factor[i * width + t] * at(i + t, i + j);
            }
            sigma[i * width + j] = -u * s;
        }
        double s = 0;
        for (std::size_t t = 1; t <= reach; ++t) {
            s = s + factor[i * width + t] * sigma[i * width + t];
        }
        sigma[i * width] = u * u - u * s;
    }
}

// out = D v, one value per difference row.
void apply_differences(const DifferenceRows<double>& difference, const double* v, double* out) {
    for (std::size_t r = 0; r < difference.count; ++r) {
        const double* row = difference.values.data() + r * difference.width;
        double s = 0;
        for (std::size_t a = 0; a < difference.width; ++a) {
            s = s + row[a] * v[r + a];
        }
        out[r] = s;
    }
}

}  // namespace

SelectionModel make_selection_model(const double* x, std::size_t length, std::uint64_t d, double ridge,
                                    double eps, std::optional<std::string_view> normalize) {
    SelectionModel model;
    model.length = length;
    model.order = static_cast<std::size_t>(d);
    model.ridge = ridge;
    model.eps = eps;
    model.positions = normalize ? normalize_grid(x, length, *normalize) : std::vector<double>(x, x + length);
    const bool scaled = normalize && normalize_mode(*normalize) != NormalizeMode::Shift;
    if (length >= 2 && !scaled) {
        model.unit_spacing = (x[length - 1] - x[0]) / static_cast<double>(length - 1);
    }
    model.difference = divided_difference_rows(model.positions.data(), length, d, eps);
    finish_penalty(model);
    return model;
}

namespace {

// log det(D D^T) from the banded Cholesky factor of D D^T (half-width d).
// Right for any rows, but D D^T is as ill-conditioned as P (cond about
// (T / pi)^(2d)): from about 1.5e5 points for d = 2 rounding drives the
// last pivots to zero and the logarithm to -infinity.
double factored_log_pdet(const DifferenceRows<double>& D, std::size_t k) {
    std::vector<double> factor(checked_product(D.count, k + 1));
    std::vector<double> reciprocal(D.count);
    const auto gram = [&](std::size_t r, std::size_t j) {
        const double* a = D.values.data() + r * D.width;
        const double* b = D.values.data() + (r + j) * D.width;
        double s = 0;
        for (std::size_t c = j; c < D.width; ++c) {
            s = s + a[c] * b[c - j];
        }
        return s;
    };
    return log_of(factor_band(D.count, k, gram, 0.0, factor.data(), reciprocal.data(), true));
}

// log det(D D^T) for rows that are divided differences (each row possibly
// scaled), whose null space is the polynomials of degree < d, without
// factoring D D^T. With C the first d unit rows, M = [C; D] is lower
// triangular (row r of D ends in column r + d), and for any basis N of the
// null space det(D D^T) = det(M)^2 det(N^T N) / det(C N)^2. N is taken as
// the monic polynomials orthogonal on the positions, in t = (x - centre) /
// half-span: det(C N) is then the Vandermonde determinant of the first d
// t, prod (t_j - t_i), and det(N^T N) the product of the squared norms,
// from an Arnoldi process (twice orthogonalised, so orthonormal to working
// precision for any d): ||p_0||^2 = T and ||p_{j+1}|| = ||p_j|| b_{j+1}, b
// the norm of t q_j after its projection on q_0 .. q_j is removed. Every
// factor is formed from well-conditioned quantities and summed as a
// logarithm, so the result stays finite and accurate for any length.
double polynomial_log_pdet(const DifferenceRows<double>& D, const std::vector<double>& x, std::size_t d) {
    const std::size_t n = x.size();
    double log_det = 0;
    for (std::size_t r = 0; r < D.count; ++r) {
        log_det = log_det + std::log(std::fabs(D.values[r * D.width + d]));
    }
    log_det = 2 * log_det;
    const double centre = 0.5 * (x[0] + x[n - 1]);
    const double half_span = 0.5 * (x[n - 1] - x[0]);
    const auto t = [&](std::size_t i) { return (x[i] - centre) / half_span; };
    // t_j - t_i from the positions' own difference, positive and exact to
    // rounding however close they lie.
    for (std::size_t j = 1; j < d; ++j) {
        for (std::size_t i = 0; i < j; ++i) {
            log_det = log_det - 2 * std::log((x[j] - x[i]) / half_span);
        }
    }
    std::vector<double> q(checked_product(n, d));
    std::fill_n(q.begin(), n, 1 / std::sqrt(static_cast<double>(n)));
    double log_norm = std::log(static_cast<double>(n));  // log ||p_j||^2
    log_det = log_det + log_norm;
    for (std::size_t j = 0; j + 1 < d; ++j) {
        double* v = q.data() + (j + 1) * n;
        const double* previous = q.data() + j * n;
        for (std::size_t i = 0; i < n; ++i) {
            v[i] = t(i) * previous[i];
        }
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t c = 0; c <= j; ++c) {
                const double* column = q.data() + c * n;
                double h = 0;
                for (std::size_t i = 0; i < n; ++i) {
                    h = h + column[i] * v[i];
                }
                for (std::size_t i = 0; i < n; ++i) {
                    v[i] = v[i] - h * column[i];
                }
            }
        }
        double b = 0;
        for (std::size_t i = 0; i < n; ++i) {
            b = b + v[i] * v[i];
        }
        b = std::sqrt(b);
        for (std::size_t i = 0; i < n; ++i) {
            v[i] = v[i] / b;
        }
        log_norm = log_norm + 2 * std::log(b);
        log_det = log_det + log_norm;
    }
    return log_det;
}

}  // namespace

void finish_penalty(SelectionModel& model) {
    model.penalty = penalty_band_from_rows(model.difference, model.length, model.order);
    // D has full row rank. Its rows are divided differences unless a
    // spacing was floored (not above 0, or below eps, as the smoother floors
    // it), which only the positions' first differences can be: wider spans
    // are larger. Without a penalty (d = 0) or a difference row (d = T)
    // there is nothing to factor.
    const std::vector<double>& x = model.positions;
    bool divided = model.order >= 1 && model.order < model.length;
    for (std::size_t i = 1; i < x.size(); ++i) {
        const double h = x[i] - x[i - 1];
        divided = divided && h > 0 && floored(h, model.eps) == h;
    }
    model.log_pdet = divided ? polynomial_log_pdet(model.difference, x, model.order)
                             : factored_log_pdet(model.difference, model.order);
}

SeriesWorkspace::SeriesWorkspace(const SelectionModel& model) : ridge(model.ridge) {
    const std::size_t n = model.length;
    const std::size_t band = checked_product(n, model.order + 1);
    w.resize(n);
    y.resize(n);
    factor.resize(band);
    reciprocal.resize(n);
    sigma.resize(band);
    z.resize(n);
    dz.resize(n);
    differences.resize(n);
    scratch.resize(n);
    basis.resize(checked_product(n, model.order));
}

void SeriesWorkspace::read(const SelectionModel& model, const SeriesBatch& batch, std::size_t s) {
    static_cast<SeriesTotals&>(*this) = SeriesTotals{};
    ridge = batch.ridge(model, s);
    read_points(batch.row(s), batch.base_row(s), batch.source, 0, model.length, w.data(), y.data(), 1, *this);
}

namespace {

// read_points for a point's value and base weight from input(t).
template <typename Input>
void read_each(Input input, std::size_t first, std::size_t last, double* w, double* y, std::size_t stride,
               SeriesTotals& totals) {
    // Kept in locals: the stores to w and y could alias the totals.
    SeriesTotals sums = totals;
    for (std::size_t t = first; t < last; ++t) {
        const auto [value, base] = input(t);
        const double weight = working_weight(value, base);
        w[t * stride] = weight;
        y[t * stride] = working_value(value, weight);
        add_point(sums, usable(value, weight), weight);
    }
    totals = sums;
}

}  // namespace

void read_points(const double* values, const double* base, const std::int64_t* source, std::size_t first,
                 std::size_t last, double* w, double* y, std::size_t stride, SeriesTotals& totals) {
    if (source == nullptr) {
        const auto input = [&](std::size_t t) {
            return std::pair{values[t], base != nullptr ? base[t] : 1.0};
        };
        read_each(input, first, last, w, y, stride, totals);
        return;
    }
    const auto input = [&](std::size_t t) {
        const std::int64_t i = source[t];
        if (i < 0) return std::pair{std::numeric_limits<double>::quiet_NaN(), 1.0};
        return std::pair{values[i], base != nullptr ? base[i] : 1.0};
    };
    read_each(input, first, last, w, y, stride, totals);
}

double log_of(const PivotProduct& pivots) {
    return 2 * (std::log(pivots.product) + static_cast<double>(pivots.exponent) * 0.6931471805599453);
}

Evaluation finish_evaluation(const SelectionModel& model, const SeriesTotals& series, double ridge,
                             double lam, double gamma, const EvaluationSums& sums, bool inverse,
                             bool log_det) {
    const std::size_t n = model.length;
    const std::size_t k = model.order;
    Evaluation e;
    e.rss = sums.rss;
    e.roughness = sums.roughness;
    e.objective = (e.rss + lam * e.roughness) + ridge * sums.norm;
    e.log_det = log_det ? log_of(sums.pivots) : 0;
    const double m = static_cast<double>(series.observed);
    const double dof = m - static_cast<double>(k);
    e.reml = dof > 0 && log_det ? (((dof * (1 + std::log(two_pi * e.objective / dof)) + e.log_det) -
                                    static_cast<double>(n - k) * std::log(lam)) -
                                   model.log_pdet) -
                                      series.log_weight_sum
                                : not_a_number;
    e.edf = e.gcv = e.loocv = e.reml_slope = not_a_number;
    if (!inverse) {
        return e;
    }
    e.edf = sums.edf;
    if (dof > 0 && log_det) {
        e.reml_slope = (dof * (lam * e.roughness) / e.objective + (static_cast<double>(k) - sums.edf)) -
                       ridge * sums.trace;
    }
    const double denominator = m - gamma * sums.edf;
    e.gcv =
        denominator > 0 ? m * e.rss / (denominator * denominator) : std::numeric_limits<double>::infinity();
    e.loocv = series.observed > 0 ? sums.loo / series.weight_sum : not_a_number;
    return e;
}

double speed_of(double lam, double psi_rate, double phi_rate, const Evaluation& at) {
    // dz = -u: psi' = 2 (y - z)^T W u and phi' = -2 (D z)^T (D u).
    return lam * std::hypot(2 * psi_rate / at.rss, -2 * phi_rate / at.roughness);
}

Evaluation evaluate_series(const SelectionModel& model, SeriesWorkspace& ws, double lam, double gamma,
                           bool inverse, bool log_det) {
    const std::size_t n = model.length;
    const std::size_t k = model.order;
    const double* band = model.penalty.data();
    const auto element = [&](std::size_t i, std::size_t t) {
        if (t == 0) {
            return (lam * band[i] + ws.w[i]) + ws.ridge;
        }
        return lam * band[t * n + i + t];
    };
    EvaluationSums sums;
    for (std::size_t t = 0; t < n; ++t) {
        ws.z[t] = ws.w[t] * ws.y[t];
    }
    with_width(k, [&](auto width) {
        sums.pivots =
            factor_band(n, width, element, model.eps, ws.factor.data(), ws.reciprocal.data(), log_det);
        substitute(n, width, ws.factor.data(), ws.reciprocal.data(), ws.z.data());
    });

    for (std::size_t t = 0; t < n; ++t) {
        if (ws.w[t] > 0) {
            const double r = ws.y[t] - ws.z[t];
            sums.rss = sums.rss + ws.w[t] * (r * r);
        }
        sums.norm = sums.norm + ws.z[t] * ws.z[t];
    }
    apply_differences(model.difference, ws.z.data(), ws.differences.data());
    for (std::size_t r = 0; r < model.difference.count; ++r) {
        sums.roughness = sums.roughness + ws.differences[r] * ws.differences[r];
    }
    if (inverse) {
        with_width(k, [&](auto width) {
            invert_band(n, width, ws.factor.data(), ws.reciprocal.data(), ws.sigma.data());
        });
        for (std::size_t t = 0; t < n; ++t) {
            if (ws.w[t] > 0) {
                const double h = ws.w[t] * ws.sigma[t * (k + 1)];
                sums.edf = sums.edf + h;
                const double residual = (ws.y[t] - ws.z[t]) / (1 - h);
                sums.loo = sums.loo + ws.w[t] * (residual * residual);
            }
            sums.trace = sums.trace + ws.sigma[t * (k + 1)];
        }
    }
    return finish_evaluation(model, ws, ws.ridge, lam, gamma, sums, inverse, log_det);
}

double vcurve_speed(const SelectionModel& model, SeriesWorkspace& ws, double lam, const Evaluation& at) {
    const std::size_t n = model.length;
    const DifferenceRows<double>& D = model.difference;
    // dz/dlam = -Sigma P z with P z = D^T (D z).
    for (std::size_t t = 0; t < n; ++t) {
        ws.dz[t] = 0;
    }
    for (std::size_t r = 0; r < D.count; ++r) {
        const double* row = D.values.data() + r * D.width;
        for (std::size_t a = 0; a < D.width; ++a) {
            ws.dz[r + a] = ws.dz[r + a] + row[a] * ws.differences[r];
        }
    }
    with_width(model.order, [&](auto width) {
        substitute(n, width, ws.factor.data(), ws.reciprocal.data(), ws.dz.data());
    });
    double psi_rate = 0;
    for (std::size_t t = 0; t < n; ++t) {
        if (ws.w[t] > 0) {
            psi_rate = psi_rate + ws.w[t] * (ws.y[t] - ws.z[t]) * ws.dz[t];
        }
    }
    apply_differences(D, ws.dz.data(), ws.scratch.data());
    double phi_rate = 0;
    for (std::size_t r = 0; r < D.count; ++r) {
        phi_rate = phi_rate + ws.differences[r] * ws.scratch[r];
    }
    return speed_of(lam, psi_rate, phi_rate, at);
}

bool in_null_space(const SelectionModel& model, SeriesWorkspace& ws) {
    const std::size_t n = model.length;
    const std::size_t order = model.order;
    // Unobserved points add +0, which changes no sum that starts at +0: a
    // select instead of a branch the missing points would mispredict.
    const auto inner = [&](const double* a, const double* b) {
        double s = 0;
        for (std::size_t t = 0; t < n; ++t) {
            const double term = ws.w[t] * a[t] * b[t];
            s = s + (ws.w[t] > 0 ? term : 0.0);
        }
        return s;
    };
    const double total = inner(ws.y.data(), ws.y.data());
    if (total == 0) {
        return true;
    }
    // Powers of the position scaled to [-1, 1] over the observed points,
    // orthonormalised twice by modified Gram-Schmidt in the weighted product.
    double low = 0, high = 0;
    bool first = true;
    for (std::size_t t = 0; t < n; ++t) {
        if (ws.w[t] > 0) {
            low = first ? model.positions[t] : low;
            high = model.positions[t];
            first = false;
        }
    }
    // Removes from v its components along the first `columns` basis vectors,
    // twice, which keeps it orthogonal to working precision.
    const auto orthogonalise = [&](double* v, std::size_t columns) {
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t c = 0; c < columns; ++c) {
                const double* p = ws.basis.data() + c * n;
                const double projection = inner(v, p);
                for (std::size_t t = 0; t < n; ++t) {
                    v[t] = v[t] - projection * p[t];
                }
            }
        }
    };
    const double centre = (low + high) / 2;
    const double half = high > low ? (high - low) / 2 : 1.0;
    std::size_t columns = 0;
    for (std::size_t j = 0; j < order; ++j) {
        double* q = ws.basis.data() + columns * n;
        for (std::size_t t = 0; t < n; ++t) {
            // pow gives exactly 1 and v for the first two powers: no call.
            const double v = (model.positions[t] - centre) / half;
            q[t] = j == 0 ? 1.0 : j == 1 ? v : std::pow(v, static_cast<double>(j));
        }
        orthogonalise(q, columns);
        const double length = std::sqrt(inner(q, q));
        if (!(length > 0)) {
            continue;  // fewer distinct observed positions than powers
        }
        for (std::size_t t = 0; t < n; ++t) {
            q[t] = q[t] / length;
        }
        ++columns;
    }
    double* r = ws.scratch.data();
    for (std::size_t t = 0; t < n; ++t) {
        r[t] = ws.y[t];
    }
    orthogonalise(r, columns);
    return inner(r, r) <= 1e-20 * total;
}

}  // namespace tarnwold
